// Adding one file to a working copy: the file is counted in one pass and
// encoded in a second, in bounded pieces, so memory stays small whatever the
// file's size.
#include <cstdio>

#include "archive/archive.h"
#include "archive/crc32.h"
#include "archive/format.h"
#include "codec/huffman.h"
#include "os/os.h"

namespace pelko {
namespace {

constexpr size_t kChunk = size_t(1) << 20;
constexpr uint64_t kWriteback = uint64_t(8) << 20;

// Counts the whole file, chunk by chunk.
bool countFile(os::File& in, uint64_t size, std::vector<uint8_t>& buf, ByteCounts& counts) {
    counts.fill(0);
    for (uint64_t off = 0; off < size;) {
        size_t n = size_t(std::min<uint64_t>(size - off, buf.size()));
        if (!in.readAt(off, buf.data(), n)) return false;
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
    // Nor could a name that every extraction refuses.
    if (!safeOutputPath(file)) {
        std::printf("Warning: \"%s\" - unsafe path, refused.\n", file.c_str());
        return 1;
    }
    // Opening a FIFO must not hang; only regular files go on.
    os::File in = os::openInput(file);
    FilePtr out = openFile(temp, "r+b");
    std::optional<os::FileInfo> got;
    if (!in.isOpen() || !out || !(got = os::fileInfo(in)) || !got->regular) return 1;
    const os::FileInfo& info = *got;
    if (info.size == 0) {
        std::printf("File \"%s\" is null. Skip it.\n", file.c_str());
        return 0;
    }
    if (info.size > UINT32_MAX) return 1;

    try {
        std::vector<uint8_t> buf(std::min<uint64_t>(info.size, kChunk));
        ByteCounts counts;
        if (!countFile(in, info.size, buf, counts)) return 1;
        CodeTable code = buildCode(counts);
        uint64_t block_len = blockLength(code, counts);
        if (block_len > UINT32_MAX) return 1;

        if (!os::seek(out.get(), -1, SEEK_END)) return 1;
        EntryHead e;
        e.lead = kEntryLead;
        e.name = file;
        e.block_len = uint32_t(block_len);
        e.ctime = info.ctime;
        e.mtime = info.mtime;
        std::optional<uint64_t> head_pos = os::tell(out.get());
        if (!head_pos || !writeEntryHead(out.get(), e)) return 1;

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
                os::startWriteback(out.get(), *head_pos + synced, written - synced);
                synced = written;
            }
            return ok;
        };
        for (uint64_t off = 0; off < info.size;) {
            size_t n = size_t(std::min<uint64_t>(info.size - off, buf.size()));
            if (!in.readAt(off, buf.data(), n)) return 1;
            if (!packBytes(code, packer, {buf.data(), n}, block) || !flush()) return 1;
            off += n;
        }
        // A file written to between the passes would be stored with codes
        // that do not fit its bytes: refuse it instead.
        if (!finishPack(packer, block) || !flush() || written != block_len) return 1;
        std::optional<os::FileInfo> after = os::fileInfo(in);
        if (!after || !after->sameContentAs(info)) return 1;

        e.crc = crc;
        if (!os::seek(out.get(), int64_t(entryOffset(*head_pos, e.name.size()) + kCrcFieldOffset),
                      SEEK_SET) ||
            writeULong(crc, out.get()) != 0 || !os::seek(out.get(), 0, SEEK_END) ||
            std::fputc(kEndMarker, out.get()) == EOF)
            return 1;
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return closeFile(out) ? 0 : 1;
}

}  // namespace pelko
