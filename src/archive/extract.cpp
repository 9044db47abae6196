// Extracting one entry: the block is decoded into a temporary file beside
// the target, which is renamed over the target only when the block was read,
// checked and decoded completely, so a failure never destroys a file.
#include <cassert>
#include <cstdio>
#include <cstring>
#include <memory>

#include "archive/archive.h"
#include "archive/crc32.h"
#include "archive/format.h"
#include "codec/byte_order.h"
#include "codec/huffman.h"
#include "os/os.h"

namespace pelko {
namespace {

// The file being written in place of the output; removed again unless it
// took the output's place.
struct TempOutput {
    os::Output out;
    ~TempOutput() { os::discardOutput(out); }
};

// The compressed block, read front to back in bounded pieces by positioned
// reads, with the CRC-32 of everything read so far.
struct BlockInput {
    std::FILE* f;
    uint64_t pos;   // archive position of the next block byte
    uint64_t left;  // block bytes not yet read
    uint32_t crc = 0;

    bool read(uint8_t* dst, size_t n) {
        if (n == 0) return true;
        if (!os::readAt(f, pos, dst, n)) return false;
        crc = crc32Update(crc, dst, n);
        pos += n;
        left -= n;
        return true;
    }
    // Reads what is left, for its CRC only.
    bool drain() {
        uint8_t buf[1 << 16];
        while (left > 0)
            if (!read(buf, size_t(std::min<uint64_t>(left, sizeof buf)))) return false;
        return true;
    }
};

// Output is decoded in pieces of this many bytes, so memory stays bounded
// whatever the entry's size.
constexpr size_t kPiece = size_t(4) << 20;

// Room for `n` bytes without zero-filling them; null when memory cannot be had.
std::unique_ptr<uint8_t[]> allocate(size_t n) {
    try {
        return std::make_unique_for_overwrite<uint8_t[]>(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Decodes the block into `out`. False when the block cannot be read or
// decoded, memory cannot be had, or the output cannot be written.
bool decodeTo(BlockInput& in, os::File& out) {
    // Stream bytes are buffered two pieces' worth at a time (a piece of
    // output never needs more than a piece of stream, plus a little).
    const size_t room = size_t(std::min<uint64_t>(in.left, 2 * kPiece)) + kMaxBlockHeader;
    std::unique_ptr<uint8_t[]> stream = allocate(room);
    if (!stream) return false;
    size_t have = size_t(std::min<uint64_t>(in.left, kMaxBlockHeader));
    if (!in.read(stream.get(), have)) return false;
    std::optional<StreamDecoder> dec = startStreamDecode({stream.get(), have});
    if (!dec) return false;
    std::unique_ptr<uint8_t[]> piece = allocate(size_t(std::min<uint64_t>(dec->size, kPiece)));
    if (!piece) return false;
    size_t pos = std::min(dec->header_len, have);
    unsigned bit = 0;
    for (uint64_t done = 0; done < dec->size;) {
        size_t k = size_t(std::min<uint64_t>(kPiece, dec->size - done));
        if (have - pos < k + 16 && in.left > 0) {
            std::memmove(stream.get(), stream.get() + pos, have - pos);
            have -= pos;
            pos = 0;
            size_t more = size_t(std::min<uint64_t>(in.left, room - have));
            if (!in.read(stream.get() + have, more)) return false;
            have += more;
        }
        // The decoder needs 16 bytes past the piece's stream, or the end.
        assert(have - pos >= k + 16 || in.left == 0);
        std::optional<size_t> used = decodeStreamPiece(*dec, {stream.get() + pos, have - pos}, bit,
                                                       in.left == 0, {piece.get(), k});
        if (!used) return false;
        pos = std::min(have, pos + *used);
        if (!out.writeAll(piece.get(), k)) return false;
        done += k;
    }
    return true;
}

}  // namespace

int archExtractFile(std::FILE* archive, const std::string& out, uint64_t offset) {
    if (offset == 0 || out == kRejectedName) return 0;
    if (!archive) return 1;
    std::optional<std::string> path = safeOutputPath(out);
    if (!path) {
        std::printf("Warning: \"%s\" - unsafe path, refused.\n", out.c_str());
        return 1;
    }
    if (path->empty()) return 1;
    uint8_t fields[kEntryFieldBytes];
    if (!os::readAt(archive, offset, fields, sizeof fields)) return 1;
    const uint32_t block_len = loadLE32(fields), crc = loadLE32(fields + kCrcFieldOffset);
    // A block that reaches past the end of the archive cannot be read whole.
    std::optional<uint64_t> archive_size = os::size(archive);
    if (!archive_size || offset + kEntryFieldBytes + block_len > *archive_size) return 1;
    os::Error err = os::Error::None;
    std::optional<os::Output> created = os::createOutput(*path, &err);
    if (!created) {
        if (err == os::Error::Unsafe)
            std::printf("Warning: \"%s\" - unsafe path, refused.\n", out.c_str());
        return 1;
    }
    TempOutput tmp{std::move(*created)};
    BlockInput in{archive, offset + kEntryFieldBytes, block_len};
    bool decoded = decodeTo(in, tmp.out.file);
    // The CRC covers the whole block, so what decoding left unread is read
    // for it too; the warning comes before any failure is reported.
    if (!in.drain()) return 1;
    if (in.crc != crc) std::printf("Warning: \"%s\" - bad hash.\n", out.c_str());
    if (!decoded) return 1;
    return os::commitOutput(tmp.out) ? 0 : 1;
}

}  // namespace pelko
