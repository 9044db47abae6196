// Outputs below the current directory on POSIX systems: directories reached
// without passing through a symbolic link, files written under a short name
// of their own beside an existing target and swapped into its place, or
// under the target's own name where there was none, their removal when
// SIGINT, SIGTERM or SIGHUP ends the run, and a file-size limit that fails a
// write instead of ending the run.
#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "os/os.h"
#include "os/posix_common.h"

namespace pelko::os {
namespace {

// Files a signal must not leave behind: the directory's descriptor and the
// name in it, published by the descriptor last so that the handler never
// sees half a name. Several slots, so that threads may each write an output;
// room for any name a directory can hold.
struct Guard {
    std::atomic<bool> taken{false};
    std::atomic<int> dir{-1};
    char name[NAME_MAX + 1] = {};
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
Guard guards[kOutputsAtOnce];

// A file is made and then guarded: a signal between the two would leave it
// behind. While a thread is between them the handler only notes the signal,
// and the thread that finishes last acts on it. Whichever of the two sees the
// other's write last (sequentially consistent) acts; both acting is harmless.
std::atomic<int> creating{0};
std::atomic<int> pendingSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Only async-signal-safe calls: remove what is pending, then end as the
// signal would (the raised signal is delivered as the handler returns). The
// default disposition comes back only after the removal: the same signal
// sent again (as `timeout` does, to the process and then to its group)
// would otherwise end the run from another thread, leaving files behind;
// it runs this handler there too instead, which is harmless.
void removeAndEnd(int sig) {
    for (Guard& g : guards) {
        int d = g.dir.load(std::memory_order_acquire);
        if (d >= 0) ::unlinkat(d, g.name, 0);
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    ::raise(sig);
}

extern "C" void removePending(int sig) {
    if (creating.load() > 0) {
        pendingSignal.store(sig);
        if (creating.load() > 0) return;
    }
    removeAndEnd(sig);
}

// Brackets the making and guarding of a file.
struct Creating {
    Creating() { creating.fetch_add(1); }
    ~Creating() {
        if (creating.fetch_sub(1) == 1) {
            if (int sig = pendingSignal.load()) removeAndEnd(sig);
        }
    }
    Creating(const Creating&) = delete;
    Creating& operator=(const Creating&) = delete;
};

// Installs the handler for the signals that end a run, leaving alone any
// that the run was started with ignored.
void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = removePending;
        sa.sa_flags = 0;
        sigemptyset(&sa.sa_mask);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&sa.sa_mask, sig);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction old {};
            if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
                ::sigaction(sig, &sa, nullptr);
        }
    });
}

int guard(int dir, const std::string& name) {
    if (name.size() >= sizeof Guard::name) return -1;
    installHandlers();
    for (int i = 0; i < int(std::size(guards)); ++i) {
        Guard& g = guards[i];
        if (g.taken.exchange(true, std::memory_order_acquire)) continue;
        std::memcpy(g.name, name.c_str(), name.size() + 1);
        g.dir.store(dir, std::memory_order_release);
        return i;
    }
    return -1;
}

void unguard(int& slot) {
    if (slot < 0) return;
    guards[slot].dir.store(-1, std::memory_order_release);
    guards[slot].taken.store(false, std::memory_order_release);
    slot = -1;
}

// Opens `dir` below the current directory, one component at a time, none of
// them followed if it is a link: for systems without openat2.
File openDirByWalk(const std::string& dir, Error* err) {
    File cur(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (size_t pos = 0; cur.isOpen() && pos < dir.size();) {
        size_t slash = dir.find('/', pos);
        if (slash == std::string::npos) slash = dir.size();
        std::string part = dir.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            *err = Error::Unsafe;
            return File();
        }
        File next(::openat(fdOf(cur), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.isOpen()) {
            int e = errno;
            struct stat st;
            bool link = ::fstatat(fdOf(cur), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(st.st_mode);
            *err = link ? Error::Unsafe : errorOf(e);
            return File();
        }
        cur = std::move(next);
    }
    if (!cur.isOpen()) *err = errorOf(errno);
    return cur;
}

File openDirBeneath(const std::string& dir, Error* err) {
    *err = Error::None;
#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    const char* path = dir.empty() ? "." : dir.c_str();
    for (int attempt = 0; attempt < 4; ++attempt) {
        long fd = ::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
        if (fd >= 0) return File(fd);
        // ELOOP: a link on the way; EXDEV: a way out of the directory.
        if (errno == ELOOP || errno == EXDEV) {
            *err = Error::Unsafe;
            return File();
        }
        // A rename elsewhere raced the lookup: try again.
        if (errno == EAGAIN) continue;
        // Kernels or sandboxes without openat2 take the walk below.
        if (errno == ENOSYS || errno == EPERM || errno == EINVAL || errno == E2BIG) break;
        *err = errorOf(errno);
        return File();
    }
#endif
    return openDirByWalk(dir, err);
}

FileId idOf(const struct stat& st) {
    return {uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

// The directory of the last output, kept open for the next: extracted files
// come directory by directory, and each lookup of the same path would only
// find the same directory again. Whether its file system keeps files in
// memory alone is asked once with it.
struct LastDir {
    std::mutex lock;
    std::string path;
    std::shared_ptr<File> dir;
    bool inMemory = false;
} lastDir;

std::shared_ptr<File> openOutputDir(const std::string& dir, Error* err, bool* inMemory) {
    std::lock_guard<std::mutex> hold(lastDir.lock);
    *err = Error::None;
    if (!lastDir.dir || lastDir.path != dir) {
        File f = openDirBeneath(dir, err);
        if (!f.isOpen()) return nullptr;
        struct statfs fs;
        lastDir.inMemory =
            ::fstatfs(fdOf(f), &fs) == 0 && (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC);
        lastDir.dir = std::make_shared<File>(std::move(f));
        lastDir.path = dir;
    }
    *inMemory = lastDir.inMemory;
    return lastDir.dir;
}

// The permission bits taken away from files as they are created; asked once,
// before this run creates any, since asking means setting it.
mode_t creationMask() {
    static const mode_t mask = [] {
        mode_t m = ::umask(0);
        ::umask(m);
        return m;
    }();
    return mask;
}

}  // namespace

std::optional<FileId> identity(std::FILE* f) {
    struct stat st;
    if (::fstat(::fileno(f), &st) != 0) return std::nullopt;
    return idOf(st);
}

// Numbers for the temporary files' names, taken in turn: outputs made ahead
// of their commits stand side by side, and each should find its name free
// at the first try.
std::atomic<unsigned> nextTemp{0};

std::optional<Output> createOutput(const std::string& path, Error* err, std::optional<FileId> spare,
                                   Placement placement) {
    Error e = Error::None;
    size_t cut = path.find_last_of('/');
    std::string dir = cut == std::string::npos ? std::string() : path.substr(0, cut);
    Output out;
    out.leaf = cut == std::string::npos ? path : path.substr(cut + 1);
    out.spare = spare;
    creationMask();
    installHandlers();
    out.dir = openOutputDir(dir, &e, &out.inMemory);
    if (out.dir && !out.leaf.empty()) {
        const int d = fdOf(*out.dir);
        Creating making;
        struct stat st;
        bool seen = ::fstatat(d, out.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!seen && errno == ENOENT && placement == Placement::Own) {
            // Nothing has the name: the file is made under it, exclusively,
            // so that a file that has appeared since is never written over.
            out.file = File(::openat(d, out.leaf.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
            if (out.file.isOpen()) {
                out.temp = out.leaf;
                out.fresh = true;
                out.guard = guard(d, out.temp);
                return out;
            }
            seen = errno == EEXIST && ::fstatat(d, out.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        }
        if (seen && spare && idOf(st) == *spare) {
            if (err) *err = Error::Unsafe;
            return std::nullopt;
        }
        out.seen = seen;
        if (seen && S_ISREG(st.st_mode)) out.lends = int(st.st_mode & 0777);
        // The process id does not change during a run; asking once spares a
        // system call per extracted file.
        static const std::string prefix = ".pelko-tmp" + std::to_string(::getpid()) + "-";
        for (int n = 0; n < 256; ++n) {
            out.temp = prefix + std::to_string(nextTemp.fetch_add(1, std::memory_order_relaxed));
            out.file = File(::openat(d, out.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                     out.lends >= 0 ? mode_t(out.lends) : 0666));
            if (out.file.isOpen()) {
                out.guard = guard(d, out.temp);
                return out;
            }
            if (errno != EEXIST) break;
        }
        out.temp.clear();
        e = Error::Other;
    }
    if (err) *err = e == Error::None ? Error::Other : e;
    return std::nullopt;
}

// A file made under the target's name is in place already. An existing
// regular target is swapped out atomically and then removed: a plain rename
// over it would make ext4 flush the new file to disk first, which costs more
// than producing it.
bool commitOutput(Output& out, Error* err) {
    const int dir = fdOf(*out.dir);
    if (out.fresh) {
        // Complete before it is closed: a signal from here on keeps it.
        unguard(out.guard);
        if (out.file.close()) {
            out.temp.clear();
            return true;
        }
        ::unlinkat(dir, out.temp.c_str(), 0);
        out.temp.clear();
        return false;
    }
    // Where nothing had the target's name, the file takes it only if nothing
    // has it still: there is nothing to compare, and from then on it is as a
    // file made under that name.
    if (!out.seen) {
        if (::renameat2(dir, out.temp.c_str(), dir, out.leaf.c_str(), RENAME_NOREPLACE) == 0) {
            out.temp.clear();
            unguard(out.guard);
            if (out.file.close()) return true;
            ::unlinkat(dir, out.leaf.c_str(), 0);
            return false;
        }
        // Taken meanwhile, or a file system that cannot rename so: the
        // checks below.
        if (errno != EEXIST && errno != EINVAL && errno != ENOSYS) return false;
    }
    // Something else may have taken the target's name since it was made.
    struct stat st;
    const bool found = ::fstatat(dir, out.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (found && out.spare && idOf(st) == *out.spare) {
        if (err) *err = Error::Unsafe;
        return false;
    }
    const bool regular = found && S_ISREG(st.st_mode);
    // The file was made with the bits the target had then, less those the
    // creation mask took: a call only where that falls short.
    const mode_t made = (out.lends >= 0 ? mode_t(out.lends) : 0666) & ~creationMask();
    if (regular && (st.st_mode & 0777) != made) ::fchmod(fdOf(out.file), st.st_mode & 0777);
    if (!out.file.close()) return false;
    // Where files live in memory alone there is nothing to flush, and the
    // rename replaces the target in one call.
    if (regular && !out.inMemory &&
        ::renameat2(dir, out.temp.c_str(), dir, out.leaf.c_str(), RENAME_EXCHANGE) == 0) {
        // The temporary name now holds the old file, unless something
        // else took the target's place meanwhile; that is put back.
        if (::unlinkat(dir, out.temp.c_str(), 0) != 0) {
            ::renameat2(dir, out.temp.c_str(), dir, out.leaf.c_str(), RENAME_EXCHANGE);
            return false;
        }
    } else if (::renameat(dir, out.temp.c_str(), dir, out.leaf.c_str()) != 0) {
        return false;
    }
    out.temp.clear();
    unguard(out.guard);
    return true;
}

void treatFileSizeLimitAsWriteError() {
    ::signal(SIGXFSZ, SIG_IGN);
}

void discardOutput(Output& out) {
    out.file.close();
    if (!out.temp.empty()) ::unlinkat(fdOf(*out.dir), out.temp.c_str(), 0);
    out.temp.clear();
    unguard(out.guard);
}

}  // namespace pelko::os
