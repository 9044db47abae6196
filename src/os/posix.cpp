// The operating-system layer on POSIX systems (Linux calls where they save
// work: statx, copy_file_range, sync_file_range, renameat2).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "os/os.h"

namespace pelko::os {
namespace {

int fdOf(const File& f) {
    return static_cast<int>(f.native());
}

Error errorOf(int e) {
    return e == ENOENT ? Error::Missing : e == EEXIST ? Error::Exists : Error::Other;
}

void syncDirectoryOf(const std::string& path) {
    size_t cut = path.find_last_of('/');
    std::string dir = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
    File d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.isOpen()) ::fsync(fdOf(d));
}

// The copy-in-place replace, for targets that rename cannot replace.
bool copyOver(const std::string& to, File& from) {
    if (::lseek(fdOf(from), 0, SEEK_SET) != 0) return false;
    File out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out.isOpen()) return false;
    return copyContents(from, out) && out.sync() && out.close();
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

std::optional<NewFile> createNumbered(const std::string& prefix) {
    for (int n = 0; n < 256; ++n) {
        std::string name = prefix + std::to_string(n);
        File f(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
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

bool replaceDurably(const std::string& from, const std::string& to) {
    File t(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!t.isOpen() || !t.sync()) return false;
    struct stat st;
    bool exists = ::lstat(to.c_str(), &st) == 0;
    if (!exists || S_ISREG(st.st_mode)) {
        if (exists) ::fchmod(fdOf(t), st.st_mode & 07777);
        if (::rename(from.c_str(), to.c_str()) == 0) {
            syncDirectoryOf(to);
            return true;
        }
    }
    if (!copyOver(to, t)) return false;
    t.close();
    ::remove(from.c_str());
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
        info.size = stx.stx_size;
        info.device = (uint64_t(stx.stx_dev_major) << 32) | stx.stx_dev_minor;
        info.inode = stx.stx_ino;
        info.mtime = uint32_t(stx.stx_mtime.tv_sec);
        info.ctime = (stx.stx_mask & STATX_BTIME) ? uint32_t(stx.stx_btime.tv_sec) : info.mtime;
        info.change_ns = stx.stx_ctime.tv_sec * 1000000000LL + stx.stx_ctime.tv_nsec;
        info.modify_ns = stx.stx_mtime.tv_sec * 1000000000LL + stx.stx_mtime.tv_nsec;
        return info;
    }
    struct stat st;
    if (::fstat(fdOf(f), &st) != 0) return std::nullopt;
    info.regular = S_ISREG(st.st_mode);
    info.size = uint64_t(st.st_size);
    info.device = uint64_t(st.st_dev);
    info.inode = uint64_t(st.st_ino);
    info.mtime = info.ctime = uint32_t(st.st_mtime);
    info.change_ns = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    info.modify_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    return info;
}

std::optional<FileInfo> pathInfo(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    FileInfo info;
    info.regular = S_ISREG(st.st_mode);
    info.size = uint64_t(st.st_size);
    info.device = uint64_t(st.st_dev);
    info.inode = uint64_t(st.st_ino);
    info.mtime = info.ctime = uint32_t(st.st_mtime);
    info.change_ns = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    info.modify_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    return info;
}

bool truncatePath(const std::string& path, uint64_t size) {
    return ::truncate(path.c_str(), off_t(size)) == 0;
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
