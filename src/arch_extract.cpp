// Extracting one entry: the block is read, checked and decoded completely
// before the output path is touched, then written to a temporary file beside
// the target and renamed over it, so a failure never destroys a file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "arch.h"
#include "archio.h"
#include "crc32.h"
#include "huffman.h"

namespace pelko {
namespace {

// Stored names are untrusted: leading slashes are dropped so that absolute
// names land below the current directory, and a ".." component is refused.
std::optional<std::string> safeOutputPath(const std::string& name) {
    size_t start = name.find_first_not_of('/');
    std::string path = start == std::string::npos ? std::string() : name.substr(start);
    for (size_t pos = 0; pos <= path.size();) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        if (path.compare(pos, slash - pos, "..") == 0 && slash - pos == 2) return std::nullopt;
        pos = slash + 1;
    }
    return path;
}

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, std::min<size_t>(n, size_t(1) << 30));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

// Writes `data` to a fresh file beside `path` and renames it over `path`.
bool replaceFile(const std::string& path, const std::vector<uint8_t>& data) {
    struct stat st;
    bool keep_mode = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    for (int n = 0; n < 256; ++n) {
        std::string tmp = path + ".pelko-tmp" + std::to_string(::getpid()) + "-" + std::to_string(n);
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        bool ok = writeAll(fd, data.data(), data.size());
        if (ok && keep_mode) ::fchmod(fd, st.st_mode & 07777);
        ok = (::close(fd) == 0) && ok;
        if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return true;
        ::unlink(tmp.c_str());
        return false;
    }
    return false;
}

}  // namespace

int archExtractFile(const std::string& archive, const std::string& out, uint64_t offset) {
    FilePtr f = openFile(archive, "rb");
    if (offset == 0 || out == kRejectedName) return 0;
    if (!f) return 1;
    std::optional<std::string> path = safeOutputPath(out);
    if (!path) {
        std::printf("Warning: \"%s\" - unsafe path, refused.\n", out.c_str());
        return 1;
    }
    if (path->empty()) return 1;
    uint32_t block_len, ctime, mtime, crc;
    if (fseeko(f.get(), off_t(offset), SEEK_SET) != 0 || !readLE32(f.get(), block_len) ||
        !readLE32(f.get(), ctime) || !readLE32(f.get(), mtime) || !readLE32(f.get(), crc))
        return 1;
    std::vector<uint8_t> block;
    if (!readBlock(f.get(), block_len, block)) return 1;
    if (!closeFile(f)) return 1;
    if (crc32(block.data(), block.size()) != crc)
        std::printf("Warning: \"%s\" - bad hash.\n", out.c_str());
    std::optional<std::vector<uint8_t>> data = decodeBlock(block);
    if (!data) return 1;
    block = std::vector<uint8_t>();
    return replaceFile(*path, *data) ? 0 : 1;
}

}  // namespace pelko
