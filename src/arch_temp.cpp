// Working copies beside the archive, and the commit that puts one in the
// archive's place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "arch.h"
#include "archio.h"
#include "archtemp.h"

namespace pelko {
namespace {

// Copies the rest of `in` to `out`, in kernel space where the system allows.
bool copyContents(int in, int out) {
    bool kernel = true;
    for (;;) {
        if (kernel) {
            ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t(1) << 30, 0);
            if (n > 0) continue;
            if (n == 0) return true;
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                return false;
            kernel = false;
        }
        char buf[1 << 16];
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;  // a read error ends the copy as a failure
        if (n == 0) return true;
        if (!writeAll(out, buf, size_t(n))) return false;
    }
}

void syncDirectoryOf(const std::string& path) {
    size_t cut = path.find_last_of('/');
    std::string dir = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
    Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd >= 0) ::fsync(d.fd);
}

// The copy-in-place commit, for archives that rename cannot replace.
bool copyOver(const std::string& archive, int temp_fd) {
    if (::lseek(temp_fd, 0, SEEK_SET) != 0) return false;
    Fd out(::open(archive.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (out.fd < 0) return false;
    return copyContents(temp_fd, out.fd) && ::fsync(out.fd) == 0 && out.close();
}

}  // namespace

std::optional<WorkingCopy> createWorkingCopy(const std::string& archive) {
    for (int n = 0; n < 256; ++n) {
        std::string name = archive + ".swp" + std::to_string(n);
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return std::nullopt;
        }
        FilePtr f(::fdopen(fd, "wb"));
        if (!f) {
            ::close(fd);
            return std::nullopt;
        }
        std::setvbuf(f.get(), nullptr, _IOFBF, 1 << 16);
        return WorkingCopy{std::move(name), std::move(f)};
    }
    return std::nullopt;
}

std::optional<std::string> archMakeTemp(const std::string& archive) {
    Fd in(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    // Only a missing archive is new; one we cannot read must not be replaced.
    if (in.fd < 0 && errno != ENOENT) return std::nullopt;
    std::optional<WorkingCopy> wc = createWorkingCopy(archive);
    if (!wc) return std::nullopt;
    if (in.fd < 0) {
        if (std::fputc(0, wc->file.get()) == EOF || !closeFile(wc->file)) return std::nullopt;
        return std::move(wc->name);
    }
    std::fflush(wc->file.get());
    if (!copyContents(in.fd, fileno(wc->file.get())) || !closeFile(wc->file)) return std::nullopt;
    return std::move(wc->name);
}

bool archCutAfter(const std::string& temp, uint64_t end_pos) {
    struct stat st;
    if (::stat(temp.c_str(), &st) != 0) return false;
    if (uint64_t(st.st_size) <= end_pos) return true;
    return ::truncate(temp.c_str(), off_t(end_pos)) == 0;
}

int archMake(const std::string& archive, const std::string& temp) {
    Fd t(::open(temp.c_str(), O_RDONLY | O_CLOEXEC));
    if (t.fd < 0 || ::fsync(t.fd) != 0) return 1;
    struct stat st;
    bool exists = ::lstat(archive.c_str(), &st) == 0;
    if (!exists || S_ISREG(st.st_mode)) {
        if (exists) ::fchmod(t.fd, st.st_mode & 07777);
        if (::rename(temp.c_str(), archive.c_str()) == 0) {
            syncDirectoryOf(archive);
            return 0;
        }
    }
    if (!copyOver(archive, t.fd)) return 1;
    t.close();
    ::remove(temp.c_str());
    return 0;
}

}  // namespace pelko
