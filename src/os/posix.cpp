// The operating-system layer on POSIX systems (Linux calls where they save
// work: statx, copy_file_range, sync_file_range, renameat2).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

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

// The last component of `path`, as the *at calls take it ("dir/" names the
// directory itself).
std::string leafOf(const std::string& path) {
    size_t cut = path.find_last_of('/');
    std::string leaf = cut == std::string::npos ? path : path.substr(cut + 1);
    return leaf.empty() ? "." : leaf;
}

void syncDirectory(const File& dir) {
    File d(::openat(fdOf(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.isOpen()) ::fsync(fdOf(d));
}

// What `leaf` in `dir` is, without following a link there.
std::optional<struct stat> statAt(const File& dir, const std::string& leaf) {
    struct stat st;
    if (::fstatat(fdOf(dir), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return st;
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

bool leadsTo(const File& dir, const std::string& leaf, const struct stat& file) {
    std::optional<struct stat> st = statAt(dir, leaf);
    return st && sameFile(*st, file);
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

// Owner and group first, then the permission bits less setuid, setgid and
// sticky: a working copy stays owner-only until it has the archive's owner
// and group, and gets no group bits for a group other than the archive's
// beyond what the archive gives everyone.
void giveAttributes(File& f, uid_t uid, gid_t gid, mode_t mode) {
    if (::fchown(fdOf(f), uid, gid) != 0) (void)!::fchown(fdOf(f), uid_t(-1), gid);
    struct stat now;
    if (::fstat(fdOf(f), &now) != 0) return;
    mode &= 0777;
    if (now.st_gid != gid) mode = (mode & 0707) | (mode & ((mode & 07) << 3));
    ::fchmod(fdOf(f), mode);
}

// Exclusively creates `leaf` + ".swp" + the smallest free number in `dir`,
// owner-only; its name as shown starts with `shown`.
std::optional<NewFile> createNumbered(const File& dir, const std::string& leaf,
                                      const std::string& shown) {
    for (int n = 0; n < 256; ++n) {
        const std::string suffix = ".swp" + std::to_string(n);
        File f(::openat(fdOf(dir), (leaf + suffix).c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (f.isOpen()) return NewFile{shown + suffix, leaf + suffix, std::move(f)};
        if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;
}

// Swaps `from` in `fromDir` with `to` in `toDir` and keeps the swap only when
// `to` held `old` and `from` the file `mine`: then the old file is removed.
// Otherwise everything goes back, and no file is changed. Where the file
// system cannot swap, a rename checked afterwards. errno tells why it failed.
bool swapInto(const File& fromDir, const std::string& from, const File& toDir,
              const std::string& to, const struct stat& old, const struct stat& mine) {
    const int fd = fdOf(fromDir), td = fdOf(toDir);
    if (::renameat2(fd, from.c_str(), td, to.c_str(), RENAME_EXCHANGE) == 0) {
        if (leadsTo(fromDir, from, old) && leadsTo(toDir, to, mine)) {
            ::unlinkat(fd, from.c_str(), 0);
            return true;
        }
        ::renameat2(fd, from.c_str(), td, to.c_str(), RENAME_EXCHANGE);
        errno = ESTALE;
        return false;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    if (::renameat(fd, from.c_str(), td, to.c_str()) != 0) return false;
    if (leadsTo(toDir, to, mine)) return true;
    errno = ESTALE;
    return false;
}

// Puts `from` in `fromDir` at `to` in `toDir`, where nothing may be; false
// with EEXIST when something is. Where the file system cannot refuse to
// replace in the rename, a hard link can; where it has no hard links either,
// the name is checked just before a plain rename.
bool placeNew(const File& fromDir, const std::string& from, const File& toDir,
              const std::string& to) {
    const int fd = fdOf(fromDir), td = fdOf(toDir);
    if (::renameat2(fd, from.c_str(), td, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    if (::linkat(fd, from.c_str(), td, to.c_str(), 0) == 0) {
        ::unlinkat(fd, from.c_str(), 0);
        return true;
    }
    if (errno == EEXIST) return false;
    if (statAt(toDir, to) || errno != ENOENT) {
        errno = EEXIST;
        return false;
    }
    return ::renameat(fd, from.c_str(), td, to.c_str()) == 0;
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

bool File::writeAt(uint64_t offset, const void* data, size_t n) {
    const std::span<const uint8_t> part(static_cast<const uint8_t*>(data), n);
    return writeAt(offset, {&part, 1});
}

bool File::writeAt(uint64_t offset, std::span<const std::span<const uint8_t>> parts) {
    size_t k = 0, done = 0;  // the first part not written whole, and its bytes written
    for (;;) {
        while (k < parts.size() && done == parts[k].size()) ++k, done = 0;
        if (k == parts.size()) return true;
        iovec v[16];
        int n = 0;
        for (size_t i = k; i < parts.size() && n < 16; ++i) {
            const size_t skip = i == k ? done : 0;
            v[n].iov_base = const_cast<uint8_t*>(parts[i].data() + skip);
            v[n++].iov_len = parts[i].size() - skip;
        }
        ssize_t w = ::pwritev(fdOf(*this), v, n, off_t(offset));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        offset += uint64_t(w);
        for (size_t left = size_t(w); left > 0;) {
            const size_t step = std::min(left, parts[k].size() - done);
            left -= step;
            done += step;
            if (done == parts[k].size()) ++k, done = 0;
        }
    }
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

File openInput(const std::string& path) {
    return File(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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

std::optional<NewFile> createWorkingCopy(HeldArchive& archive) {
    return createNumbered(archive.copies, archive.copyLeaf, archive.path);
}

void removeWorkingCopy(HeldArchive& archive, NewFile& copy) {
    struct stat mine;
    if (::fstat(fdOf(copy.file), &mine) == 0 && leadsTo(archive.copies, copy.leaf, mine))
        ::unlinkat(fdOf(archive.copies), copy.leaf.c_str(), 0);
}

Commit commitArchive(HeldArchive& archive, NewFile& copy, std::optional<uint64_t> extends) {
    struct stat mine;
    if (::fstat(fdOf(copy.file), &mine) != 0) return Commit::Failed;
    if (!archive.locked) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        giveAttributes(copy.file, mine.st_uid, mine.st_gid, 0666 & ~mask);
        if (!copy.file.sync() || !leadsTo(archive.copies, copy.leaf, mine)) return Commit::Failed;
        if (!placeNew(archive.copies, copy.leaf, archive.dir, archive.leaf))
            return errno == EEXIST ? Commit::Taken : Commit::Failed;
        syncDirectory(archive.dir);
        // What took the name is this run's file, or the run failed.
        return leadsTo(archive.dir, archive.leaf, mine) ? Commit::Done : Commit::Failed;
    }
    // Replacing the file takes what writing it would take, and only the file
    // that was locked and read is replaced; what is kept of it is taken from
    // that file.
    File out(::openat(fdOf(archive.dir), archive.leaf.c_str(),
                      O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat old;
    if (!out.isOpen() || ::fstat(fdOf(out), &old) != 0 || !S_ISREG(old.st_mode) ||
        uint64_t(old.st_dev) != archive.locked->device ||
        uint64_t(old.st_ino) != archive.locked->inode)
        return Commit::Failed;
    giveAttributes(copy.file, old.st_uid, old.st_gid, old.st_mode);
    if (!copy.file.sync() || !leadsTo(archive.copies, copy.leaf, mine)) return Commit::Failed;
    if (swapInto(archive.copies, copy.leaf, archive.dir, archive.leaf, old, mine)) {
        syncDirectory(archive.dir);
        return Commit::Done;
    }
    if (errno == ESTALE) return Commit::Failed;
    if (errno == EXDEV) {
        // A flushed copy beside the archive, for a rename that cannot cross
        // file systems.
        if (std::optional<NewFile> staged = createNumbered(archive.dir, archive.leaf, "")) {
            struct stat st;
            if (copyFrom(copy.file, staged->file, 0) && ::fstat(fdOf(staged->file), &st) == 0) {
                giveAttributes(staged->file, old.st_uid, old.st_gid, old.st_mode);
                if (staged->file.sync() &&
                    swapInto(archive.dir, staged->leaf, archive.dir, archive.leaf, old, st)) {
                    syncDirectory(archive.dir);
                    ::unlinkat(fdOf(archive.copies), copy.leaf.c_str(), 0);
                    return Commit::Done;
                }
            }
            const int e = errno;
            ::unlinkat(fdOf(archive.dir), staged->leaf.c_str(), 0);
            if (e == ESTALE) return Commit::Failed;
        }
    }
    // Renaming refused (another user's file in a sticky directory, or no
    // room beside an archive on another file system): the locked file is
    // rewritten in place, while its name still leads to it.
    if (!leadsTo(archive.dir, archive.leaf, old) ||
        !updateInPlace(copy.file, out, uint64_t(old.st_size), extends) || !out.close())
        return Commit::Failed;
    removeWorkingCopy(archive, copy);
    return Commit::Done;
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

std::optional<HeldArchive> holdArchive(const std::string& path) {
    for (;;) {
        // The archive itself is locked (flock). The kernel follows a link
        // in its place, under the system's rules for links in shared
        // directories; the name it finally leads to is found here, once,
        // and must lead to the file opened. After the wait it must still:
        // a commit puts a new file in its place.
        HeldArchive a;
        a.path = path;
        a.file = File(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        const bool missing = !a.file.isOpen();
        if (missing && errno != ENOENT) return std::nullopt;
        std::optional<std::string> target = followLinks(path);
        if (!target) return std::nullopt;
        a.dir = File(::open(directoryOf(*target).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        a.copies = File(*target == path
                            ? ::fcntl(fdOf(a.dir), F_DUPFD_CLOEXEC, 0)
                            : ::open(directoryOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!a.dir.isOpen() || !a.copies.isOpen()) return std::nullopt;
        a.leaf = leafOf(*target);
        a.copyLeaf = path.empty() || path.back() == '/' ? std::string() : leafOf(path);
        if (!missing) {
            int r;
            while ((r = ::flock(fdOf(a.file), LOCK_EX)) != 0 && errno == EINTR) {
            }
            // A file system without locks leaves the run unguarded, as it was.
            if (r != 0 && errno != ENOLCK && errno != EOPNOTSUPP && errno != EINVAL)
                return std::nullopt;
        }
        std::optional<struct stat> now = statAt(a.dir, a.leaf);
        if (!now && errno != ENOENT) return std::nullopt;
        if (missing) {
            if (!now) return a;
            continue;
        }
        struct stat locked;
        if (now && ::fstat(fdOf(a.file), &locked) == 0 && sameFile(*now, locked)) {
            a.locked = infoOf(locked);
            return a;
        }
    }
}

FilePtr openStream(const std::string& path, const char* mode) {
    FilePtr f(std::fopen(path.c_str(), mode));
    if (f) std::setvbuf(f.get(), nullptr, _IOFBF, 1 << 16);
    return f;
}

FilePtr streamOf(File& file, const char* mode) {
    if (!file.isOpen()) return nullptr;
    File second(::fcntl(fdOf(file), F_DUPFD_CLOEXEC, 0));
    if (!second.isOpen() || ::lseek(fdOf(second), 0, SEEK_SET) != 0) return nullptr;
    return toStream(std::move(second), mode);
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

Memory::~Memory() {
    if (base_) ::munmap(base_, mapped_);
}

Memory allocateMemory(size_t n) {
    // Large pages are 2 MiB on the common processors; the block is mapped
    // with room to start at such a boundary.
    constexpr size_t kLargePage = size_t(2) << 20;
    Memory m;
    if (n == 0 || n > SIZE_MAX - 2 * kLargePage) return m;
    // Whole large pages only: a part of one is made of small pages.
    const size_t whole = (n + kLargePage - 1) & ~(kLargePage - 1);
    const size_t mapped = whole + kLargePage;
    void* base =
        ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return m;
    const uintptr_t at = (uintptr_t(base) + kLargePage - 1) & ~uintptr_t(kLargePage - 1);
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(at), whole, MADV_HUGEPAGE);
#endif
    m.base_ = base;
    m.mapped_ = mapped;
    m.data_ = reinterpret_cast<uint8_t*>(at);
    m.size_ = n;
    return m;
}

bool readAt(std::FILE* f, uint64_t offset, void* buf, size_t n) {
    return readAllAt(::fileno(f), offset, buf, n);
}

void startWriteback(std::FILE* f, uint64_t offset, uint64_t len) {
    ::sync_file_range(::fileno(f), off_t(offset), off_t(len), SYNC_FILE_RANGE_WRITE);
}

}  // namespace pelko::os
