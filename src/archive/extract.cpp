// Extracting one entry: the block is decoded into a temporary file beside
// the target, which is renamed over the target only when the block was read,
// checked and decoded completely, so a failure never destroys a file.
#include <cassert>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "archive/archive.h"
#include "archive/crc32.h"
#include "archive/format.h"
#include "archive/output_path.h"
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

// What the entries of one run share: the archive's own file, which no
// output may replace whatever name leads to it (an entry "./a.pkz" of
// a.pkz, a hard link's name), and whether every block so far checked.
struct Run {
    std::optional<os::FileId> archive_file;
    bool& intact;
};

void refused(const std::string& out) {
    std::printf("Warning: \"%s\" - unsafe path, refused.\n", out.c_str());
}

// The output for the safe path `path` of the stored name `out`, telling of
// a refused path; nullopt on failure.
std::optional<os::Output> create(const Run& run, const std::string& out, const std::string& path) {
    os::Error err = os::Error::None;
    std::optional<os::Output> created = os::createOutput(path, &err, run.archive_file);
    if (!created && err == os::Error::Unsafe) refused(out);
    return created;
}

int commit(TempOutput& tmp, const std::string& out) {
    os::Error err = os::Error::None;
    if (os::commitOutput(tmp.out, &err)) return 0;
    if (err == os::Error::Unsafe) refused(out);
    return 1;
}

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
bool decodeTo(BlockInput& in, os::File& out, const DecodeOptions& options) {
    // Stream bytes are buffered two pieces' worth at a time (a piece of
    // output never needs more than a piece of stream, plus a little).
    const size_t room = size_t(std::min<uint64_t>(in.left, 2 * kPiece)) + kMaxBlockHeader;
    std::unique_ptr<uint8_t[]> stream = allocate(room);
    if (!stream) return false;
    const uint64_t block_len = in.left;
    size_t have = size_t(std::min<uint64_t>(in.left, kMaxBlockHeader));
    if (!in.read(stream.get(), have)) return false;
    std::optional<StreamDecoder> dec = startStreamDecode({stream.get(), have}, block_len);
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
                                                       in.left == 0, {piece.get(), k}, options);
        if (!used) return false;
        pos = std::min(have, pos + *used);
        if (!out.writeAll(piece.get(), k)) return false;
        done += k;
    }
    return true;
}

// Entries whose block and output both fit these are decoded in memory,
// several at once on the team; larger ones are decoded straight into their
// files with the whole team, one at a time.
constexpr uint64_t kSmallBlock = uint64_t(1) << 20, kSmallOutput = uint64_t(1) << 20;
constexpr size_t kBatchEntries = 16;

// Extracting one entry from the open archive, as archExtractFile does;
// `options` choose the decoder.
int extractStreaming(std::FILE* archive, const std::string& out, uint64_t offset,
                     const DecodeOptions& options, Run& run) {
    if (offset == 0 || out == kRejectedName) return 0;
    if (!archive) return 1;
    std::optional<std::string> path = safeOutputPath(out);
    if (!path) {
        refused(out);
        return 1;
    }
    if (path->empty()) return 1;
    uint8_t fields[kEntryFieldBytes];
    if (!os::readAt(archive, offset, fields, sizeof fields)) return 1;
    const uint32_t block_len = loadLE32(fields), crc = loadLE32(fields + kCrcFieldOffset);
    // A block that reaches past the end of the archive cannot be read whole.
    std::optional<uint64_t> archive_size = os::size(archive);
    if (!archive_size || offset + kEntryFieldBytes + block_len > *archive_size) return 1;
    std::optional<os::Output> created = create(run, out, *path);
    if (!created) return 1;
    TempOutput tmp{std::move(*created)};
    BlockInput in{archive, offset + kEntryFieldBytes, block_len};
    bool decoded = decodeTo(in, tmp.out.file, options);
    // The CRC covers the whole block, so what decoding left unread is read
    // for it too; the warning comes before any failure is reported.
    if (!in.drain()) return 1;
    if (in.crc != crc) {
        std::printf("Warning: \"%s\" - bad hash.\n", out.c_str());
        run.intact = false;
    }
    if (!decoded) return 1;
    return commit(tmp, out);
}

// A small entry read, checked and decoded in memory by any thread of the
// team. Files are made only at the entry's turn, by one thread at a time,
// so that a signal finds at most one temporary file being made.
struct Decoded {
    enum class State { Skip, Failed, Large, Unsafe, Ready } state = State::Skip;
    bool readFailed = false;  // the block could not be read after its fields
    bool badHash = false, decoded = false;
    // Kept from batch to batch, so their memory is reused.
    std::vector<uint8_t> block, data;
};

void decodeEntry(std::FILE* archive, const std::string& out, uint64_t offset, Decoded& r) {
    using State = Decoded::State;
    r.readFailed = r.badHash = r.decoded = false;
    r.state = State::Skip;
    if (offset == 0 || out == kRejectedName) return;
    r.state = State::Failed;
    if (!archive) return;
    std::optional<std::string> path = safeOutputPath(out);
    if (!path) {
        r.state = State::Unsafe;
        return;
    }
    if (path->empty()) return;
    uint8_t fields[kEntryFieldBytes];
    if (!os::readAt(archive, offset, fields, sizeof fields)) return;
    const uint32_t block_len = loadLE32(fields), crc = loadLE32(fields + kCrcFieldOffset);
    std::optional<uint64_t> archive_size = os::size(archive);
    if (!archive_size || offset + kEntryFieldBytes + block_len > *archive_size) return;
    r.state = State::Large;
    if (block_len > kSmallBlock) return;
    try {
        r.block.resize(block_len);
    } catch (const std::bad_alloc&) {
        return;
    }
    // The output's size is in the block's header.
    if (block_len >= 5 && !os::readAt(archive, offset + kEntryFieldBytes, r.block.data(), 5))
        return;
    if (block_len >= 5 && loadLE32(r.block.data() + 1) > kSmallOutput) return;
    r.state = State::Ready;
    if (!os::readAt(archive, offset + kEntryFieldBytes, r.block.data(), block_len)) {
        r.readFailed = true;
        return;
    }
    r.badHash = crc32Update(0, r.block.data(), block_len) != crc;
    r.decoded = decodeBlockInto(r.block, r.data);
}

// Makes the file of a decoded entry, prints its warnings and commits it;
// the entry's status.
int writeEntry(const std::string& out, Decoded& r, Run& run) {
    using State = Decoded::State;
    switch (r.state) {
        case State::Skip:
            return 0;
        case State::Unsafe:
            refused(out);
            return 1;
        case State::Failed:
        case State::Large:
            return 1;
        case State::Ready:
            break;
    }
    std::optional<os::Output> created = create(run, out, *safeOutputPath(out));
    if (!created) return 1;
    TempOutput tmp{std::move(*created)};
    if (r.readFailed) return 1;
    const bool wrote = r.decoded && tmp.out.file.writeAll(r.data.data(), r.data.size());
    if (r.badHash) {
        std::printf("Warning: \"%s\" - bad hash.\n", out.c_str());
        run.intact = false;
    }
    if (!wrote) return 1;
    return commit(tmp, out);
}

}  // namespace

int archExtractFile(std::FILE* archive, const std::string& out, uint64_t offset) {
    bool intact = true;
    Run run{archive ? os::identity(archive) : std::nullopt, intact};
    return extractStreaming(archive, out, offset, {}, run);
}

int archExtractFiles(std::FILE* archive, const std::vector<std::string>& names,
                     const std::vector<uint64_t>& offsets, size_t& failed, bool& intact,
                     Workers& team) {
    failed = 0;
    intact = true;
    Run run{archive ? os::identity(archive) : std::nullopt, intact};
    const size_t n = std::min(names.size(), offsets.size());
    std::vector<Decoded> batch[2];
    std::vector<uint8_t> scratch;
    try {
        batch[0].resize(kBatchEntries);
        batch[1].resize(kBatchEntries);
    } catch (const std::bad_alloc&) {
        return n ? 1 : 0;
    }
    const DecodeOptions shared{DecodePath::Auto, &team, nullptr, &scratch};
    size_t next = 0;  // the next entry to decode
    size_t count[2] = {0, 0}, from[2] = {0, 0};
    auto fill = [&](int b) {
        from[b] = next;
        count[b] = std::min(kBatchEntries, n - next);
        next += count[b];
    };
    auto decodeTask = [&](int b) {
        return [&, b](unsigned i) {
            const size_t k = from[b] + i;
            decodeEntry(archive, names[k], offsets[k], batch[b][i]);
        };
    };
    fill(0);
    team.run(unsigned(count[0]), decodeTask(0));
    for (int cur = 0; count[cur] > 0; cur ^= 1) {
        const int nb = cur ^ 1;
        fill(nb);
        // Entries of this batch are written, in order, while the next batch
        // is decoded; a large entry waits for the whole team.
        size_t at = 0;
        int status = 0;
        auto writeSome = [&] {
            for (; at < count[cur]; ++at) {
                Decoded& r = batch[cur][at];
                if (r.state == Decoded::State::Large) return;
                status = writeEntry(names[from[cur] + at], r, run);
                if (status != 0) return;
            }
        };
        const auto decodeNext = decodeTask(nb);
        team.run(unsigned(count[nb] + 1), [&](unsigned t) {
            if (t == 0)
                writeSome();
            else
                decodeNext(t - 1);
        });
        while (status == 0 && at < count[cur]) {
            const size_t k = from[cur] + at;
            status = extractStreaming(archive, names[k], offsets[k], shared, run);
            if (status != 0) break;
            ++at;
            writeSome();
        }
        if (status != 0) {
            failed = from[cur] + at;
            return 1;
        }
    }
    return 0;
}

}  // namespace pelko
