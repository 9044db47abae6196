// The one home of operating-system calls: owned file handles, full and
// positioned I/O, exclusive creation of fresh files, the durable atomic
// replace, file identity and times, and the few stream operations standard
// C++ leaves to the platform. Nothing above this layer includes a system
// header; posix.cpp implements it, and a windows.cpp can sit beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pelko::os {

// Why an open or create failed, where the caller acts on the difference.
enum class Error {
    None,
    Missing,  // no such file
    Exists,   // exclusive creation found the name taken
    Unsafe,   // the path passes through a symbolic link or leads out
    Other,
};

// An owned file handle (a descriptor, or a Windows HANDLE), closed when it
// goes out of scope. Close explicitly where a failed close must be seen.
class File {
public:
    File() = default;
    explicit File(std::intptr_t native) : native_(native) {}
    File(File&& o) noexcept : native_(o.release()) {}
    File& operator=(File&& o) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    bool isOpen() const { return native_ != kInvalid; }
    std::intptr_t native() const { return native_; }
    std::intptr_t release() {
        std::intptr_t n = native_;
        native_ = kInvalid;
        return n;
    }
    // True when the handle was open and closed cleanly.
    bool close();

    // Reads or writes exactly `n` bytes at the current position, taking as
    // many calls as it needs; false on an error or an early end of file.
    bool readAll(void* buf, std::size_t n);
    bool writeAll(const void* data, std::size_t n);
    // The same at `offset`, leaving the current position alone.
    bool readAt(std::uint64_t offset, void* buf, std::size_t n);
    bool seek(std::uint64_t offset);
    std::optional<std::uint64_t> size();
    bool truncate(std::uint64_t size);
    // Flushes the contents to the disk.
    bool sync();
    // Starts writing `len` bytes at `offset` back to the disk without
    // waiting for them: a hint, so the final sync has less to wait for.
    void startWriteback(std::uint64_t offset, std::uint64_t len);

private:
    static constexpr std::intptr_t kInvalid = -1;
    std::intptr_t native_ = kInvalid;
};

// Opens for reading. openInput is for the files a user names: it never waits
// on a FIFO or a device that has no data.
File openRead(const std::string& path, Error* err = nullptr);
File openInput(const std::string& path);

// A freshly created file and the name it was created under.
struct NewFile {
    std::string name;
    File file;  // open for writing, empty
};
// Creates `prefix` followed by the smallest free number from 0 to 255,
// exclusively (an existing file is never opened), with at most the
// `permissions` bits; nullopt when all are taken or the file cannot be
// created.
std::optional<NewFile> createNumbered(const std::string& prefix, std::uint32_t permissions = 0666);

// Copies the rest of `in` to `out`, inside the kernel where it can.
bool copyContents(File& in, File& out);

// Puts the file at `from` in place of the file `to` leads to, for good, and
// removes `from`. A symbolic link `to` stays a link: its target is replaced.
// The new file keeps the old one's owner and group where this process may
// set them, and its permission bits less setuid, setgid and sticky. When this
// process may not write the old file, nothing happens and the call fails.
// Normally `from` is flushed and renamed into place (beside the target when
// it lies on another file system), so the file is wholly old or wholly new
// after a crash. Where renaming is refused (another user's file in a sticky
// directory) the file is rewritten in place: not atomic, except when
// `extends` gives the old file's length and `from` is the old file with its
// last byte changed and more bytes after it: then the bytes after that one
// are written and flushed first, and that byte last.
bool replaceDurably(const std::string& from, const std::string& to,
                    std::optional<std::uint64_t> extends = std::nullopt);

// A file written in place of an output below the current directory. It is
// created under a short name of its own in the target's directory, so that it
// fits wherever the target's name fits, and removed again unless committed,
// also when SIGINT, SIGTERM or SIGHUP ends the run (which then ends as the
// signal would).
struct Output {
    File dir;          // the target's directory
    std::string leaf;  // the target's name in it
    std::string temp;  // the file's own name in it; empty once gone
    File file;         // open for writing
    int guard = -1;    // its place among the files a signal removes
};
// Creates the file for the target `path`, relative to the current directory,
// whose directory must exist and be reached without passing through a
// symbolic link (Error::Unsafe otherwise); nullopt on failure.
std::optional<Output> createOutput(const std::string& path, Error* err = nullptr);
// Closes the file and puts it in the target's place atomically; nothing is
// flushed to the disk. An existing regular file found there, without
// following links, lends its permission bits less the set-user-ID, set-group-ID
// and sticky bits; otherwise the file keeps the 0666 less the umask it was
// created with. A link in the target's place is replaced, never followed.
bool commitOutput(Output& out);
// Closes and removes the file unless it was committed.
void discardOutput(Output& out);

bool removeFile(const std::string& path);

// What adding stores and checks of a file.
struct FileInfo {
    std::uint64_t size = 0;
    bool regular = false;
    // Identity: a file is the same file while both stay the same.
    std::uint64_t device = 0, inode = 0;
    // Permission bits as POSIX counts them (0777 and below).
    std::uint32_t permissions = 0;
    // Seconds since 1970 as the format stores them: the creation time where
    // the file system keeps one, else the modification time.
    std::uint32_t ctime = 0, mtime = 0;
    // Nanosecond change and modification times, which any write moves on.
    std::int64_t change_ns = 0, modify_ns = 0;
    bool sameContentAs(const FileInfo& o) const {
        return size == o.size && change_ns == o.change_ns && modify_ns == o.modify_ns;
    }
};
std::optional<FileInfo> fileInfo(File& f);
// Of the file a path names, following symbolic links.
std::optional<FileInfo> pathInfo(const std::string& path);

// Buffered standard streams carry the archive's field I/O; opening them, and
// positions past 2 GiB, are the platform's business.
struct StreamCloser {
    void operator()(std::FILE* f) const noexcept {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, StreamCloser>;
// fopen with a larger buffer; null on failure.
FilePtr openStream(const std::string& path, const char* mode);
// The stream takes the handle over; null on failure (the handle is closed).
FilePtr toStream(File&& f, const char* mode);
// `whence` is SEEK_SET, SEEK_CUR or SEEK_END.
bool seek(std::FILE* f, std::int64_t offset, int whence);
std::optional<std::uint64_t> tell(std::FILE* f);
std::optional<std::uint64_t> size(std::FILE* f);
// Flushes, cuts the file to `size` bytes and positions the stream there.
bool truncate(std::FILE* f, std::uint64_t size);
// As File::startWriteback, for what the stream has flushed.
void startWriteback(std::FILE* f, std::uint64_t offset, std::uint64_t len);

// Reads exactly `n` bytes at `offset` through the stream's descriptor,
// leaving the stream's position alone; threads may share the stream so.
bool readAt(std::FILE* f, std::uint64_t offset, void* buf, std::size_t n);

// One writer at a time per archive: held by a run that rewrites an archive
// from before it reads the archive until after its commit. Others wait for
// it, without a time-out; it is released when destroyed or when the process
// ends, however it ends.
class ArchiveLock {
public:
    explicit ArchiveLock(File held) : held_(std::move(held)) {}

private:
    File held_;
};
// Waits until this process holds the lock of the archive at `path` (which
// need not exist yet); nullopt when the archive, or the directory it would
// be created in, cannot be opened.
std::optional<ArchiveLock> lockArchive(const std::string& path);

// Called once at the start of a run: a write beyond the file-size limit
// (RLIMIT_FSIZE) then fails like any other write, so that the run reports it
// and removes its temporary files, instead of being ended by SIGXFSZ.
void treatFileSizeLimitAsWriteError();

#ifdef _WIN32
// The command line, which Windows gives as UTF-16, as UTF-8 strings.
std::vector<std::string> arguments(int argc, wchar_t** argv);
// Standard output in binary mode, so that a line ends in "\n" as on other
// systems, and a console set to show UTF-8 while the program runs.
void setUpStandardOutput();
#endif

}  // namespace pelko::os
