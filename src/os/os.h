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
#include <span>
#include <string>
#include <utility>
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
    // Writes at `offset`; several threads may write parts of one file at
    // once. The current position is left where the system leaves it.
    bool writeAt(std::uint64_t offset, const void* data, std::size_t n);
    // The same for parts that follow one another in the file, in one call
    // where the system has one.
    bool writeAt(std::uint64_t offset, std::span<const std::span<const std::uint8_t>> parts);
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

// Memory for buffers that serve a whole run, asked of the system in one
// block and given back when destroyed. Its first touch costs a page fault per
// page, which large pages cut to a few: the block is aligned for them and the
// system asked to use them where it can. Its bytes start undefined.
class Memory {
public:
    Memory() = default;
    Memory(Memory&& o) noexcept { swap(o); }
    Memory& operator=(Memory&& o) noexcept {
        Memory taken(std::move(o));
        swap(taken);  // what this held goes with `taken`
        return *this;
    }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    ~Memory();

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    friend Memory allocateMemory(std::size_t n);
    void swap(Memory& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(base_, o.base_);
        std::swap(mapped_, o.mapped_);
    }
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    void* base_ = nullptr;  // as the system gave it
    std::size_t mapped_ = 0;
};
// `n` bytes; data() is null when they cannot be had.
Memory allocateMemory(std::size_t n);

// Opens a file a user names for reading: it never waits on a FIFO or a
// device that has no data.
File openInput(const std::string& path);

// Copies the rest of `in` to `out`, inside the kernel where it can.
bool copyContents(File& in, File& out);

// Which file a file is, the same while both stay the same: the device (or
// volume) and the file's number on it.
struct FileId {
    std::uint64_t device = 0, inode = 0;
    bool operator==(const FileId&) const = default;
};
// Of the file an open stream reads or writes.
std::optional<FileId> identity(std::FILE* f);

// A file written in place of an output below the current directory. Where
// something has the target's name, it is created under a short name of its
// own in the target's directory, so that it fits wherever the target's name
// fits; where nothing has, it may be created under the target's name itself,
// exclusively, since there is nothing to keep. Either way it is removed again
// unless committed, also when SIGINT, SIGTERM or SIGHUP ends the run (which
// then ends as the signal would).
struct Output {
    std::shared_ptr<File> dir;    // the target's directory, shared by outputs made there in a row
    std::string leaf;             // the target's name in it
    std::string temp;             // the file's own name in it; empty once gone
    File file;                    // open for writing
    int guard = -1;               // its place among the files a signal removes
    bool fresh = false;           // made under the target's name, where nothing was
    bool seen = false;            // something had the target's name when the file was made
    bool inMemory = false;        // its file system keeps files in memory alone (no disk)
    int lends = -1;               // permission bits the target had, or -1 if none was seen
    std::optional<FileId> spare;  // the file it must not replace
};
// Outputs that may be made and not yet committed at any one time, across
// all threads: a signal removes this many.
constexpr std::size_t kOutputsAtOnce = 128;
// Where createOutput may make the file.
enum class Placement {
    // Under the target's own name where nothing has it.
    Own,
    // Always under a name of its own, even where nothing has the target's
    // name: for outputs made ahead of their turn, whose commits come in
    // order, so that an output made early for a later entry never stands
    // where an earlier entry's output is to go.
    Beside,
};
// Creates the file for the target `path`, relative to the current directory,
// whose directory must exist and be reached without passing through a
// symbolic link (Error::Unsafe otherwise); nullopt on failure. A target that
// is the file `spare` (the archive a run reads, under whatever name), found
// in the opened directory without following a link, is Error::Unsafe too,
// here and again at the commit.
std::optional<Output> createOutput(const std::string& path, Error* err = nullptr,
                                   std::optional<FileId> spare = std::nullopt,
                                   Placement placement = Placement::Own);
// Closes the file and puts it in the target's place atomically; nothing is
// flushed to the disk. An existing regular file found there, without
// following links, lends its permission bits less the set-user-ID, set-group-ID
// and sticky bits; otherwise the file keeps the 0666 less the umask it was
// created with. A link in the target's place is replaced, never followed.
// `err` tells Error::Unsafe from other failures.
bool commitOutput(Output& out, Error* err = nullptr);
// Closes and removes the file unless it was committed.
void discardOutput(Output& out);

bool removeFile(const std::string& path);

// What adding stores and checks of a file.
struct FileInfo {
    std::uint64_t size = 0;
    bool regular = false;
    // Identity: a file is the same file while both stay the same.
    std::uint64_t device = 0, inode = 0;
    FileId id() const { return {device, inode}; }
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

// The archive a run rewrites, found once when its lock is taken: every later
// step reaches it, its directory and its working copies through these
// handles, never by its name again. A symbolic link archive is followed here,
// once, so that the file it leads to is what the commit replaces.
struct HeldArchive {
    std::string path;      // as given
    File file;             // the archive open for reading; closed when it did not exist
    File dir;              // the directory the archive's name finally leads into
    std::string leaf;      // its name there (Windows: its full final path)
    File copies;           // the directory of `path`, where working copies go
    std::string copyLeaf;  // the last component of `path`
    // The archive's file as it was locked and read; nullopt for a new one.
    std::optional<FileInfo> locked;
    File lock;  // a lock apart from the file, where the system needs one
};
// Waits until this process holds the archive at `path` (one writer at a time
// per archive, released when the record is destroyed or the process ends,
// however it ends). An archive that does not exist yet is not locked at all:
// its commit refuses to replace a file that appeared meanwhile. nullopt when
// the archive, or the directory it would be created in, cannot be opened.
std::optional<HeldArchive> holdArchive(const std::string& path);

// A working copy and the name it was created under.
struct NewFile {
    std::string name;  // as shown: the archive's path, ".swp" and the number
    std::string leaf;  // its name in the archive's `copies` directory
    File file;         // open for reading and writing, empty
};
// Creates `path` + ".swpN" with the smallest free N from 0 to 255,
// exclusively (an existing file is never opened) and readable by its owner
// alone until the commit; nullopt when all are taken or the file cannot be
// created.
std::optional<NewFile> createWorkingCopy(HeldArchive& archive);
// Removes a working copy whose name still leads to it.
void removeWorkingCopy(HeldArchive& archive, NewFile& copy);

enum class Commit {
    Done,
    Failed,
    Taken,  // the archive was new, and another file took its name meanwhile
};
// Puts the working copy in the archive's place, for good, and removes it.
// The working copy's name must still lead to the file written, and the
// archive's name to the file that was locked and read (or still to nothing,
// for a new archive); otherwise nothing is replaced and the commit fails.
// The new file takes the old one's owner and group where this process may
// set them, and then its permission bits less setuid, setgid and sticky, but
// no group bits the old file gives only its own group (a new archive: 0666
// less the umask). When this process may not write the old file, nothing
// happens and the commit fails. Normally the working copy is flushed and
// renamed into place (through a flushed copy beside the archive when it lies
// on another file system), so the file is wholly old or wholly new after a
// crash. Where renaming is refused (another user's file in a sticky
// directory) the locked file is rewritten in place: not atomic, except when
// `extends` gives the old file's length and the working copy is the old file
// with its last byte changed and more bytes after it: then the bytes after
// that one are written and flushed first, and that byte last.
Commit commitArchive(HeldArchive& archive, NewFile& copy,
                     std::optional<std::uint64_t> extends = std::nullopt);

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
// A stream on a second handle of the open file `f`, positioned at its start;
// `f` stays open when the stream is closed. Null on failure or when `f` is
// not open.
FilePtr streamOf(File& f, const char* mode);
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

// Called once at the start of a run: a write beyond the file-size limit
// (RLIMIT_FSIZE) then fails like any other write, so that the run reports it
// and removes its temporary files, instead of being ended by SIGXFSZ.
void treatFileSizeLimitAsWriteError();

#ifdef _WIN32
// The command line, which Windows gives as UTF-16, as UTF-8 strings.
std::vector<std::string> arguments(int argc, wchar_t** argv);
// Windows shells leave wildcards to the program: `*` and `?` in the last
// component of `arg` are matched against the names in that directory, as
// `dir` matches them. The matches come back sorted as `dir` sorts them, each
// behind the directory part as typed; a pattern that matches nothing, or
// has a wildcard before its last component, comes back as typed.
std::vector<std::string> expandWildcards(const std::string& arg);
// Standard output in binary mode, so that a line ends in "\n" as on other
// systems, and a console set to show UTF-8 while the program runs.
void setUpStandardOutput();
#endif

}  // namespace pelko::os
