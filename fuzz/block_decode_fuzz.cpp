// Fuzz target: the block decoder on arbitrary bytes. Besides never crashing
// or reading outside the block, every decode must agree with a plain
// bit-at-a-time decoder that follows the matching rule literally, so the
// table-driven fast paths are checked on every input, and so is decoding
// the block piece by piece and as a large block on 1, 2 and 3 threads.
#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "codec/huffman.h"
#include "codec/huffman_detail.h"
#include "fuzz_check.h"

namespace {

using pelko::loadLE32;

// The 8 stream bits from `bit` on, with bits past the block's end reading
// as 0.
unsigned streamWindow(std::span<const uint8_t> stream, uint64_t bit) {
    uint64_t at = bit / 8;
    unsigned hi = at < stream.size() ? stream[at] : 0;
    unsigned lo = at + 1 < stream.size() ? stream[at + 1] : 0;
    return ((hi << 8 | lo) >> (8 - bit % 8)) & 0xFF;
}

std::optional<std::vector<uint8_t>> referenceDecode(std::span<const uint8_t> block) {
    if (block.size() < 5) return std::nullopt;
    // A count byte of 0 stands for 256 values, the one count that does not fit.
    const size_t n = block[0] ? block[0] : 256;
    if (block.size() < 5 + 3 * n) return std::nullopt;
    const uint32_t size = loadLE32(&block[1]);
    std::span<const uint8_t> entries = block.subspan(5, 3 * n);
    std::span<const uint8_t> stream = block.subspan(5 + 3 * n);
    // No more bytes than the stream holds in the shortest code.
    unsigned shortest = 9;
    for (size_t j = 0; j < n; ++j)
        if (entries[3 * j + 2] >= 1) shortest = std::min<unsigned>(shortest, entries[3 * j + 2]);
    if (size > 0 && (shortest > 8 || uint64_t{size} * shortest > 8 * uint64_t{stream.size()}))
        return std::nullopt;

    // For each possible next 8 bits: shortest length first, then the first
    // entry in header order. -1 when nothing matches.
    std::array<int, 256> pick;
    for (unsigned w = 0; w < 256; ++w) {
        pick[w] = -1;
        for (unsigned len = 1; len <= 8 && pick[w] < 0; ++len)
            for (size_t j = 0; j < n && pick[w] < 0; ++j)
                if (entries[3 * j + 2] == len &&
                    unsigned{entries[3 * j + 1]} >> (8 - len) == w >> (8 - len))
                    pick[w] = int(j);
    }
    std::vector<uint8_t> out;
    out.reserve(size);
    uint64_t bit = 0;
    while (out.size() < size) {
        unsigned w = streamWindow(stream, bit);
        if (pick[w] < 0) return std::nullopt;
        out.push_back(entries[3 * size_t(pick[w])]);
        bit += entries[3 * size_t(pick[w]) + 2];
    }
    return out;
}

// The block decoded piece by piece one code after another, as a large
// block's last stretch is, each piece from a copy of exactly the stream bytes
// it may use; nullopt where a piece fails.
std::optional<std::vector<uint8_t>> streamDecode(std::span<const uint8_t> block, size_t piece) {
    auto dec = pelko::detail::startStreamDecode(
        block.first(std::min<size_t>(block.size(), pelko::kMaxBlockHeader)), block.size());
    if (!dec) return std::nullopt;
    std::span<const uint8_t> stream = block.subspan(dec->header_len);
    std::vector<uint8_t> out;
    size_t at = 0;
    unsigned bit = 0;
    while (out.size() < dec->size) {
        const size_t k = std::min<uint64_t>(piece, dec->size - out.size());
        const size_t take = std::min(stream.size() - at, k + 16);
        std::vector<uint8_t> in(stream.begin() + at, stream.begin() + at + take);
        std::vector<uint8_t> part(k);
        auto used = pelko::detail::decodeStreamPiece(*dec, in, bit, part);
        if (!used) return std::nullopt;
        FUZZ_CHECK(*used <= in.size() && bit < 8);
        at += *used;
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// The block decoded as a large entry is, on `threads` threads in stretches
// of `stretch` bytes: each read copied into a buffer of exactly its size and
// checked to stay inside the block, its fresh bytes back to back from the
// header's end, every output byte written once and inside the output, in
// memory of exactly the size asked for.
std::optional<std::vector<uint8_t>> largeDecode(std::span<const uint8_t> block, unsigned threads,
                                                size_t stretch) {
    static pelko::Workers team(3);
    std::mutex m;
    // No stream holds more than a code a bit: a larger size must fail
    // before anything is written.
    const uint32_t declared = block.size() >= 5 ? loadLE32(block.data() + 1) : 0;
    const size_t size = declared <= 8 * block.size() ? declared : 0;
    std::vector<uint8_t> out(size), written(size);
    std::vector<std::pair<uint64_t, size_t>> fresh;
    const pelko::BlockIo io{
        [&](uint64_t at, std::span<uint8_t> into, size_t n) {
            FUZZ_CHECK(n <= into.size() && at <= block.size() && into.size() <= block.size() - at);
            const std::span<const uint8_t> from = block.subspan(size_t(at), into.size());
            std::memcpy(into.data(), from.data(), from.size());
            std::lock_guard lock(m);
            fresh.emplace_back(at, n);
            return true;
        },
        [&](uint64_t at, std::span<const std::span<const uint8_t>> parts) {
            std::lock_guard lock(m);
            for (auto part : parts) {
                FUZZ_CHECK(at <= size && part.size() <= size - at);
                const auto mark = written.begin() + ptrdiff_t(at);
                FUZZ_CHECK(std::find(mark, mark + ptrdiff_t(part.size()), 1) ==
                           mark + ptrdiff_t(part.size()));
                std::fill_n(mark, part.size(), 1);
                std::copy(part.begin(), part.end(), out.begin() + ptrdiff_t(at));
                at += part.size();
            }
            return true;
        }};
    const size_t room = pelko::largeDecodeMemory(threads, stretch);
    std::vector<uint8_t> memory(room);
    const bool ok =
        pelko::decodeLargeBlock(block.first(std::min<size_t>(block.size(), pelko::kMaxBlockHeader)),
                                block.size(), io, team, threads, memory, stretch);
    std::sort(fresh.begin(), fresh.end());
    for (size_t k = 1; k < fresh.size(); ++k)
        FUZZ_CHECK(fresh[k].first == fresh[k - 1].first + fresh[k - 1].second);
    if (!ok) return std::nullopt;
    FUZZ_CHECK(std::all_of(written.begin(), written.end(), [](uint8_t w) { return w; }));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> block(data, size);
    std::optional<std::vector<uint8_t>> got = pelko::decodeBlock(block);
    std::optional<std::vector<uint8_t>> want = referenceDecode(block);
    FUZZ_CHECK(got.has_value() == want.has_value());
    if (got) {
        FUZZ_CHECK(got->size() == loadLE32(data + 1));
        FUZZ_CHECK(*got == *want);
    }
    // Piece by piece, in a size taken from the input, gives the same.
    const size_t piece = size ? 1 + data[size - 1] % 32 * (data[size - 1] & 0x80 ? 4099 : 1) : 1;
    std::optional<std::vector<uint8_t>> pieces = streamDecode(block, piece);
    FUZZ_CHECK(pieces.has_value() == want.has_value());
    if (pieces) FUZZ_CHECK(*pieces == *want);
    // So does a large block's decode on 1, 2 and 3 threads, in stretches of
    // a size taken from the input too.
    const size_t stretch = size ? 8 + data[size / 2] % 61 * (data[size - 1] & 1 ? 37 : 1) : 8;
    for (unsigned threads : {1u, 2u, 3u}) {
        std::optional<std::vector<uint8_t>> large = largeDecode(block, threads, stretch);
        FUZZ_CHECK(large.has_value() == want.has_value());
        if (large) FUZZ_CHECK(*large == *want);
    }
    return 0;
}
