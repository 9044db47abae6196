// Fuzz target: the block decoder on arbitrary bytes. Besides never crashing
// or reading outside the block, every decode must agree with a plain
// bit-at-a-time decoder that follows the matching rule literally, so the
// table-driven fast paths are checked on every input, and so is decoding
// the block piece by piece and in stretches guessed apart and joined.
#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <vector>

#include "codec/huffman.h"
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

// The block decoded piece by piece as the extractor does, each piece from a
// copy of exactly the stream bytes it may use; nullopt where a piece fails.
std::optional<std::vector<uint8_t>> streamDecode(std::span<const uint8_t> block, size_t piece,
                                                 const pelko::DecodeOptions& options) {
    auto dec = pelko::startStreamDecode(
        block.first(std::min<size_t>(block.size(), pelko::kMaxBlockHeader)), block.size());
    if (!dec) return std::nullopt;
    std::span<const uint8_t> stream = block.subspan(dec->header_len);
    std::vector<uint8_t> out;
    size_t at = 0;
    unsigned bit = 0;
    while (out.size() < dec->size) {
        const size_t k = std::min<uint64_t>(piece, dec->size - out.size());
        const bool atEnd = stream.size() - at <= k + 16;
        std::vector<uint8_t> in(stream.begin() + at,
                                atEnd ? stream.end() : stream.begin() + at + k + 16);
        std::vector<uint8_t> part(k);
        auto used = pelko::decodeStreamPiece(*dec, in, bit, atEnd, part, options);
        if (!used) return std::nullopt;
        FUZZ_CHECK(*used <= in.size() && bit < 8);
        at += *used;
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// The block decoded as two threads extract a large entry: stretches of
// `bytes` guessed from their own bytes alone (each copied with exactly the
// tail it may read, into scratch of exactly the size it may use), joined in
// order, and the rest decoded from the true position. Nothing where the
// block has no complete code with a bulk table or no stretch before its end.
std::optional<std::vector<uint8_t>> stretchDecode(std::span<const uint8_t> block, size_t bytes) {
    auto dec = pelko::startStreamDecode(
        block.first(std::min<size_t>(block.size(), pelko::kMaxBlockHeader)), block.size());
    if (!dec || !dec->complete || dec->bulk.empty()) return std::nullopt;
    std::span<const uint8_t> stream = block.subspan(dec->header_len);
    if (stream.size() < bytes + pelko::kStretchTail) return std::nullopt;
    const size_t guessed = (stream.size() - pelko::kStretchTail) / bytes;
    std::vector<uint8_t> out;
    uint64_t pos = 0;
    for (size_t i = 0; i < guessed && out.size() < dec->size; ++i) {
        std::vector<uint8_t> in(stream.begin() + i * bytes,
                                stream.begin() + (i + 1) * bytes + pelko::kStretchTail);
        std::vector<uint8_t> scratch(pelko::stretchRoom(bytes, dec->min_length));
        pelko::StretchGuess guess;
        pelko::guessStretch(*dec, in, 8 * i * bytes, bytes, scratch, guess);
        std::span<const uint8_t> runs[pelko::kStretchParts];
        unsigned count = 0;
        const size_t before = out.size();
        const size_t n = pelko::joinStretch(*dec, in, guess, pos, dec->size - before, runs, count);
        for (unsigned k = 0; k < count; ++k) {
            FUZZ_CHECK(runs[k].data() >= scratch.data() &&
                       runs[k].data() + runs[k].size() <= scratch.data() + scratch.size());
            out.insert(out.end(), runs[k].begin(), runs[k].end());
        }
        FUZZ_CHECK(out.size() - before == n &&
                   (out.size() == dec->size || pos >= 8 * (i + 1) * bytes));
    }
    std::vector<uint8_t> rest(dec->size - out.size());
    unsigned bit = pos % 8;
    const size_t from = std::min<size_t>(pos / 8, stream.size());
    if (!pelko::decodeStreamPiece(*dec, stream.subspan(from), bit, true, rest)) return std::nullopt;
    out.insert(out.end(), rest.begin(), rest.end());
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
    // So does the same with the interleaved decoder's rounds cut among
    // three threads.
    static pelko::Workers team(3);
    std::vector<uint8_t> scratch;
    for (const pelko::DecodeOptions& options :
         {pelko::DecodeOptions{},
          pelko::DecodeOptions{pelko::DecodePath::Auto, &team, nullptr, &scratch}}) {
        std::optional<std::vector<uint8_t>> pieces = streamDecode(block, piece, options);
        FUZZ_CHECK(pieces.has_value() == want.has_value());
        if (pieces) FUZZ_CHECK(*pieces == *want);
    }
    // In stretches of a size taken from the input too.
    const size_t stretch = size ? 8 + data[size / 2] % 61 * (data[size - 1] & 1 ? 37 : 1) : 8;
    if (std::optional<std::vector<uint8_t>> s = stretchDecode(block, stretch)) {
        FUZZ_CHECK(want.has_value());
        FUZZ_CHECK(*s == *want);
    }
    return 0;
}
