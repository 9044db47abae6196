// The operating-system layer on POSIX systems (Linux calls where they save
// work: statx, copy_file_range, sync_file_range, renameat2).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "os/os.h"
#include "os/posix_common.h"

namespace pelko::os {
namespace {

// What fstat and stat report, for systems or files where statx does not
// answer; the creation time is not known there, so the modification time
// stands in for it.
FileInfo infoOf(const struct stat& st) {
    FileInfo info;
    info.regular = S_ISREG(st.st_mode);
    info.permissions = st.st_mode & 0777;
    info.size = uint64_t(st.st_size);
    info.device = uint64_t(st.st_dev);
    info.inode = uint64_t(st.st_ino);
    info.mtime = info.ctime = uint32_t(st.st_mtime);
    info.change_ns = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    info.modify_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    return info;
}

std::string directoryOf(const std::string& path) {
    size_t cut = path.find_last_of('/');
    return cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
}

void syncDirectoryOf(const std::string& path) {
    File d(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.isOpen()) ::fsync(fdOf(d));
}

// The path of the file that `path` finally leads to: symbolic links in its
// last component are followed (those in directory components the system
// follows itself). nullopt for a loop of links.
std::optional<std::string> followLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(size_t(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || size_t(n) >= target.size()) return std::nullopt;
        target.resize(size_t(n));
        size_t cut = path.find_last_of('/');
        path = target[0] == '/' || cut == std::string::npos ? target
                                                            : path.substr(0, cut + 1) + target;
    }
    return std::nullopt;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writes what `in` holds from `at` on to `out` at the same positions.
bool copyFrom(File& in, File& out, uint64_t at) {
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::pread(fdOf(in), buf, sizeof buf, off_t(at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::pwrite(fdOf(out), buf + done, size_t(n - done), off_t(at) + done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += w;
        }
        at += uint64_t(n);
    }
}

// Rewrites `out`, of `old_size` bytes, in place with the content of `in`,
// flushed. With `extends` (see replaceDurably) the old last byte is
// written last, after everything behind it is on the disk; when the update
// fails before that byte, the file is cut back to its old length.
bool updateInPlace(File& in, File& out, uint64_t old_size, std::optional<uint64_t> extends) {
    if (extends && *extends == old_size && old_size > 0) {
        const uint64_t last = old_size - 1;
        uint8_t changed;
        if (!in.readAt(last, &changed, 1)) return false;
        if (copyFrom(in, out, old_size) && out.sync())
            return ::pwrite(fdOf(out), &changed, 1, off_t(last)) == 1 && out.sync();
        if (out.truncate(old_size)) out.sync();
        return false;
    }
    std::optional<uint64_t> size = in.size();
    return size && copyFrom(in, out, 0) && out.truncate(*size) && out.sync();
}

// The new file keeps the old one's owner and group where this process may
// set them, and its permission bits less setuid, setgid and sticky.
void keepAttributes(File& f, const struct stat& old) {
    if (::fchown(fdOf(f), old.st_uid, old.st_gid) != 0)
        (void)!::fchown(fdOf(f), uid_t(-1), old.st_gid);
    ::fchmod(fdOf(f), old.st_mode & 0777);
}

// A flushed copy of `in` beside `target`, for a rename that cannot cross
// file systems; its name, or nullopt.
std::optional<std::string> stageBeside(File& in, const std::string& target,
                                       const struct stat& old) {
    std::optional<NewFile> staged = createNumbered(target + ".swp", old.st_mode | 0600);
    if (!staged) return std::nullopt;
    if (copyFrom(in, staged->file, 0) && staged->file.sync()) {
        keepAttributes(staged->file, old);
        if (staged->file.close()) return std::move(staged->name);
    }
    ::unlink(staged->name.c_str());
    return std::nullopt;
}

// Reads `n` bytes at `offset`, taking as many calls as it needs.
bool readAllAt(int fd, uint64_t offset, void* buf, size_t n) {
    auto p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        ssize_t r = ::pread(fd, p, n, off_t(offset));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
        offset += uint64_t(r);
    }
    return true;
}

}  // namespace

File& File::operator=(File&& o) noexcept {
    if (this != &o) {
        if (isOpen()) ::close(fdOf(*this));
        native_ = o.release();
    }
    return *this;
}

File::~File() {
    if (isOpen()) ::close(fdOf(*this));
}

bool File::close() {
    std::intptr_t f = release();
    return f != kInvalid && ::close(static_cast<int>(f)) == 0;
}

bool File::readAll(void* buf, size_t n) {
    auto p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        ssize_t r = ::read(fdOf(*this), p, std::min<size_t>(n, size_t(1) << 30));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

bool File::writeAll(const void* data, size_t n) {
    auto p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        ssize_t w = ::write(fdOf(*this), p, std::min<size_t>(n, size_t(1) << 30));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool File::readAt(uint64_t offset, void* buf, size_t n) {
    return readAllAt(fdOf(*this), offset, buf, n);
}

bool File::seek(uint64_t offset) {
    return ::lseek(fdOf(*this), off_t(offset), SEEK_SET) == off_t(offset);
}

std::optional<uint64_t> File::size() {
    struct stat st;
    if (::fstat(fdOf(*this), &st) != 0) return std::nullopt;
    return uint64_t(st.st_size);
}

bool File::truncate(uint64_t size) {
    return ::ftruncate(fdOf(*this), off_t(size)) == 0;
}

bool File::sync() {
    return ::fsync(fdOf(*this)) == 0;
}

void File::startWriteback(uint64_t offset, uint64_t len) {
    ::sync_file_range(fdOf(*this), off_t(offset), off_t(len), SYNC_FILE_RANGE_WRITE);
}

File openRead(const std::string& path, Error* err) {
    File f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (err) *err = f.isOpen() ? Error::None : errorOf(errno);
    return f;
}

File openInput(const std::string& path) {
    return File(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

std::optional<NewFile> createNumbered(const std::string& prefix, uint32_t permissions) {
    for (int n = 0; n < 256; ++n) {
        std::string name = prefix + std::to_string(n);
        File f(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                      mode_t(permissions & 0777)));
        if (f.isOpen()) return NewFile{std::move(name), std::move(f)};
        if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;
}

bool copyContents(File& in, File& out) {
    bool kernel = true;
    for (;;) {
        if (kernel) {
            ssize_t n =
                ::copy_file_range(fdOf(in), nullptr, fdOf(out), nullptr, size_t(1) << 30, 0);
            if (n > 0) continue;
            if (n == 0) return true;
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                return false;
            kernel = false;
        }
        char buf[1 << 16];
        ssize_t n = ::read(fdOf(in), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;  // a read error ends the copy as a failure
        if (n == 0) return true;
        if (!out.writeAll(buf, size_t(n))) return false;
    }
}

bool replaceDurably(const std::string& from, const std::string& to,
                    std::optional<uint64_t> extends) {
    File t(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!t.isOpen() || !t.sync()) return false;
    std::optional<std::string> target = followLinks(to);
    if (!target) return false;
    // Replacing the file takes what writing it would take; what is kept of
    // it is taken from the file opened, not from its name a moment earlier.
    File out(::open(target->c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    const bool exists = out.isOpen();
    if (!exists && errno != ENOENT) return false;
    struct stat old;
    if (exists) {
        if (::fstat(fdOf(out), &old) != 0 || !S_ISREG(old.st_mode)) return false;
        keepAttributes(t, old);
    }
    if (::rename(from.c_str(), target->c_str()) == 0) {
        syncDirectoryOf(*target);
        return true;
    }
    if (!exists) return false;
    if (errno == EXDEV) {
        if (std::optional<std::string> staged = stageBeside(t, *target, old)) {
            if (::rename(staged->c_str(), target->c_str()) == 0) {
                syncDirectoryOf(*target);
                ::unlink(from.c_str());
                return true;
            }
            ::unlink(staged->c_str());
        }
    }
    // Renaming refused (another user's file in a sticky directory, or no
    // room beside a target on another file system): rewrite in place.
    if (!updateInPlace(t, out, uint64_t(old.st_size), extends) || !out.close()) return false;
    t.close();
    ::unlink(from.c_str());
    return true;
}

bool removeFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

std::optional<FileInfo> fileInfo(File& f) {
    FileInfo info;
    struct statx stx;
    if (::statx(fdOf(f), "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME,
                &stx) == 0) {
        info.regular = S_ISREG(stx.stx_mode);
        info.permissions = stx.stx_mode & 0777;
        info.size = stx.stx_size;
        // Encoded as stat encodes it, so that both calls give one identity.
        info.device = uint64_t(makedev(stx.stx_dev_major, stx.stx_dev_minor));
        info.inode = stx.stx_ino;
        info.mtime = uint32_t(stx.stx_mtime.tv_sec);
        info.ctime = (stx.stx_mask & STATX_BTIME) ? uint32_t(stx.stx_btime.tv_sec) : info.mtime;
        info.change_ns = stx.stx_ctime.tv_sec * 1000000000LL + stx.stx_ctime.tv_nsec;
        info.modify_ns = stx.stx_mtime.tv_sec * 1000000000LL + stx.stx_mtime.tv_nsec;
        return info;
    }
    struct stat st;
    if (::fstat(fdOf(f), &st) != 0) return std::nullopt;
    return infoOf(st);
}

std::optional<FileInfo> pathInfo(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return infoOf(st);
}

std::optional<ArchiveLock> lockArchive(const std::string& path) {
    for (;;) {
        // The archive itself (flock), or the directory it will be created
        // in while it does not exist. After the wait the path must still
        // lead to what was locked: a commit puts a new file in its place.
        File held(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        const bool missing = !held.isOpen();
        if (missing) {
            if (errno != ENOENT) return std::nullopt;
            std::optional<std::string> target = followLinks(path);
            if (!target) return std::nullopt;
            held = File(::open(directoryOf(*target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!held.isOpen()) return std::nullopt;
        }
        int r;
        while ((r = ::flock(fdOf(held), LOCK_EX)) != 0 && errno == EINTR) {
        }
        // A file system without locks leaves the run unguarded, as it was.
        if (r != 0 && errno != ENOLCK && errno != EOPNOTSUPP && errno != EINVAL)
            return std::nullopt;
        struct stat now, locked;
        int found = ::stat(path.c_str(), &now);
        if (found != 0 && errno != ENOENT) return std::nullopt;
        if (missing ? found != 0
                    : found == 0 && ::fstat(fdOf(held), &locked) == 0 && sameFile(now, locked))
            return ArchiveLock(std::move(held));
    }
}

FilePtr openStream(const std::string& path, const char* mode) {
    FilePtr f(std::fopen(path.c_str(), mode));
    if (f) std::setvbuf(f.get(), nullptr, _IOFBF, 1 << 16);
    return f;
}

FilePtr toStream(File&& file, const char* mode) {
    FilePtr f(::fdopen(fdOf(file), mode));
    if (!f) return nullptr;  // `file` still owns the descriptor and closes it
    file.release();
    std::setvbuf(f.get(), nullptr, _IOFBF, 1 << 16);
    return f;
}

bool seek(std::FILE* f, int64_t offset, int whence) {
    return ::fseeko(f, off_t(offset), whence) == 0;
}

std::optional<uint64_t> tell(std::FILE* f) {
    off_t p = ::ftello(f);
    if (p < 0) return std::nullopt;
    return uint64_t(p);
}

std::optional<uint64_t> size(std::FILE* f) {
    struct stat st;
    if (::fstat(::fileno(f), &st) != 0) return std::nullopt;
    return uint64_t(st.st_size);
}

bool truncate(std::FILE* f, uint64_t size) {
    return std::fflush(f) == 0 && ::ftruncate(::fileno(f), off_t(size)) == 0 &&
           ::fseeko(f, off_t(size), SEEK_SET) == 0;
}

bool readAt(std::FILE* f, uint64_t offset, void* buf, size_t n) {
    return readAllAt(::fileno(f), offset, buf, n);
}

void startWriteback(std::FILE* f, uint64_t offset, uint64_t len) {
    ::sync_file_range(::fileno(f), off_t(offset), off_t(len), SYNC_FILE_RANGE_WRITE);
}

}  // namespace pelko::os
