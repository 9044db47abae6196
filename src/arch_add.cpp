// Adding one file to a working copy: the file is counted in one pass and
// encoded in a second, in bounded pieces, so memory stays small whatever the
// file's size.
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

constexpr size_t kChunk = size_t(1) << 20;
constexpr uint64_t kWriteback = uint64_t(8) << 20;

struct FileInfo {
    uint64_t size = 0;
    uint32_t ctime = 0, mtime = 0;
    bool regular = false;
    // Nanosecond change and modification times, to notice a file written to
    // while it is being added.
    int64_t change_ns = 0, modify_ns = 0;
    bool sameContentAs(const FileInfo& o) const {
        return size == o.size && change_ns == o.change_ns && modify_ns == o.modify_ns;
    }
};

bool statInput(int fd, FileInfo& info) {
    struct statx stx;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME, &stx) ==
        0) {
        info.regular = S_ISREG(stx.stx_mode);
        info.size = stx.stx_size;
        info.mtime = uint32_t(stx.stx_mtime.tv_sec);
        // The birth time where the file system keeps one, else the
        // modification time.
        info.ctime = (stx.stx_mask & STATX_BTIME) ? uint32_t(stx.stx_btime.tv_sec) : info.mtime;
        info.change_ns = stx.stx_ctime.tv_sec * 1000000000LL + stx.stx_ctime.tv_nsec;
        info.modify_ns = stx.stx_mtime.tv_sec * 1000000000LL + stx.stx_mtime.tv_nsec;
        return true;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    info.regular = S_ISREG(st.st_mode);
    info.size = uint64_t(st.st_size);
    info.mtime = info.ctime = uint32_t(st.st_mtime);
    info.change_ns = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    info.modify_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    return true;
}

// Reads `n` bytes at `offset`, taking as many read calls as it needs.
bool readFully(int fd, uint64_t offset, uint8_t* buf, size_t n) {
    while (n > 0) {
        ssize_t r = ::pread(fd, buf, n, off_t(offset));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        buf += r;
        n -= size_t(r);
        offset += uint64_t(r);
    }
    return true;
}

// Counts the whole file, chunk by chunk.
bool countFile(int fd, uint64_t size, std::vector<uint8_t>& buf, ByteCounts& counts) {
    counts.fill(0);
    for (uint64_t off = 0; off < size;) {
        size_t n = size_t(std::min<uint64_t>(size - off, buf.size()));
        if (!readFully(fd, off, buf.data(), n)) return false;
        countBytes({buf.data(), n}, counts);
        off += n;
    }
    return true;
}

}  // namespace

int archAddFile(const std::string& temp, const std::string& file) {
    if (file == kRejectedName) return 0;
    // A name this long could never be read back from the archive.
    if (file.size() >= kNameBufferSize) return 1;
    Fd in;
    // Non-blocking so that opening a FIFO cannot hang; only regular files go on.
    in.fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    FilePtr out = openFile(temp, "r+b");
    FileInfo info;
    if (in.fd < 0 || !out || !statInput(in.fd, info) || !info.regular) return 1;
    if (info.size == 0) {
        std::printf("File \"%s\" is null. Skip it.\n", file.c_str());
        return 0;
    }
    if (info.size > UINT32_MAX) return 1;

    try {
        std::vector<uint8_t> buf(std::min<uint64_t>(info.size, kChunk));
        ByteCounts counts;
        if (!countFile(in.fd, info.size, buf, counts)) return 1;
        CodeTable code = buildCode(counts);
        uint64_t block_len = blockLength(code, counts);
        if (block_len > UINT32_MAX) return 1;

        if (fseeko(out.get(), -1, SEEK_END) != 0) return 1;
        EntryHead e;
        e.lead = 1;
        e.name = file;
        e.block_len = uint32_t(block_len);
        e.ctime = info.ctime;
        e.mtime = info.mtime;
        off_t head_pos = ftello(out.get());
        if (head_pos < 0 || !writeEntryHead(out.get(), e)) return 1;

        // Second pass: encode and checksum piece by piece.
        std::vector<uint8_t> block;
        block.reserve(buf.size() + 1024);
        if (!appendBlockHeader(code, info.size, block)) return 1;
        BitPacker packer;
        uint32_t crc = 0;
        uint64_t written = 0, synced = 0;
        auto flush = [&] {
            crc = crc32Update(crc, block.data(), block.size());
            written += block.size();
            bool ok = std::fwrite(block.data(), 1, block.size(), out.get()) == block.size();
            block.clear();
            // Start writing back what is done, so the flush before the
            // commit has little left to wait for.
            if (ok && written - synced >= kWriteback && std::fflush(out.get()) == 0) {
                ::sync_file_range(fileno(out.get()), off_t(head_pos) + off_t(synced),
                                  off_t(written - synced), SYNC_FILE_RANGE_WRITE);
                synced = written;
            }
            return ok;
        };
        for (uint64_t off = 0; off < info.size;) {
            size_t n = size_t(std::min<uint64_t>(info.size - off, buf.size()));
            if (!readFully(in.fd, off, buf.data(), n)) return 1;
            if (!packBytes(code, packer, {buf.data(), n}, block) || !flush()) return 1;
            off += n;
        }
        // A file written to between the passes would be stored with codes
        // that do not fit its bytes: refuse it instead.
        FileInfo after;
        if (!finishPack(packer, block) || !flush() || written != block_len ||
            !statInput(in.fd, after) || !after.sameContentAs(info))
            return 1;

        e.crc = crc;
        if (fseeko(out.get(), head_pos + off_t(e.name.size()) + 2 + 12, SEEK_SET) != 0 ||
            writeULong(crc, out.get()) != 0 || fseeko(out.get(), 0, SEEK_END) != 0 ||
            std::fputc(0, out.get()) == EOF)
            return 1;
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return closeFile(out) ? 0 : 1;
}

}  // namespace pelko
