// Tests of the decoders: every block, decoded whole, in pieces of any size,
// and as a large block on any number of threads in stretches of any size,
// must decode exactly as a plain one-code-at-a-time decoder says, valid or
// damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "codec/byte_order.h"
#include "codec/huffman.h"
#include "codec/huffman_detail.h"

namespace pelko {
namespace {

using Bytes = std::vector<uint8_t>;

// What the matching rule gives: the output up to the first code that matches
// nothing (ok false there), one code at a time, missing bits 0; nothing (ok
// false) for a size the stream cannot hold in the shortest code.
struct Reference {
    bool ok = false;
    Bytes out;
};
Reference referenceDecode(const Bytes& block) {
    Reference r;
    const size_t n = block[0] ? block[0] : 256;
    const uint32_t size = block[1] | block[2] << 8 | block[3] << 16 | uint32_t(block[4]) << 24;
    const uint8_t* e = block.data() + 5;
    const size_t start = 5 + 3 * n;
    std::array<int, 256> pick;
    for (unsigned w = 0; w < 256; ++w) {
        pick[w] = -1;
        for (unsigned len = 1; len <= 8 && pick[w] < 0; ++len)
            for (size_t j = 0; j < n && pick[w] < 0; ++j)
                if (e[3 * j + 2] == len && unsigned(e[3 * j + 1] >> (8 - len)) == w >> (8 - len))
                    pick[w] = int(j);
    }
    unsigned shortest = 9;
    for (size_t j = 0; j < n; ++j)
        if (e[3 * j + 2] >= 1) shortest = std::min<unsigned>(shortest, e[3 * j + 2]);
    if (size > 0 && (shortest > 8 || uint64_t{size} * shortest > 8 * (block.size() - start)))
        return r;
    auto at = [&](uint64_t i) -> unsigned {
        return start + i < block.size() ? block[start + i] : 0;
    };
    uint64_t bit = 0;
    while (r.out.size() < size) {
        int j = pick[((at(bit / 8) << 8 | at(bit / 8 + 1)) >> (8 - bit % 8)) & 0xff];
        if (j < 0) return r;
        r.out.push_back(e[3 * j]);
        bit += e[3 * j + 2];
    }
    r.ok = true;
    return r;
}

// Decodes one code after another in pieces of `piece` output bytes, each
// from a copy of exactly the stream bytes it may use (so that a read past
// them is caught by the sanitizer build), as a large block's last stretch is.
Reference streamDecode(const Bytes& block, size_t piece) {
    Reference r;
    const std::span<const uint8_t> all(block);
    auto dec =
        detail::startStreamDecode(all.first(std::min(all.size(), kMaxBlockHeader)), all.size());
    if (!dec) return r;
    const auto stream = all.subspan(dec->header_len);
    size_t at = 0;
    unsigned bit = 0;
    while (r.out.size() < dec->size) {
        const size_t k = std::min<uint64_t>(piece, dec->size - r.out.size());
        const size_t take = std::min(stream.size() - at, k + 16);
        const Bytes in(stream.begin() + at, stream.begin() + at + take);
        Bytes out(k);
        auto used = detail::decodeStreamPiece(*dec, in, bit, out);
        if (!used) return r;
        EXPECT_TRUE(*used <= in.size() && bit < 8);
        at += *used;
        r.out.insert(r.out.end(), out.begin(), out.end());
    }
    r.ok = true;
    return r;
}

// A large block decoded on `threads` threads in stretches of `stretch`
// bytes, read from the block and written to memory, in memory of exactly
// the size asked for. Reads must stay inside the block and their fresh
// bytes lie back to back from the header's end; every output byte must be
// written once.
Reference largeDecode(const Bytes& block, unsigned threads, size_t stretch) {
    static Workers team(kMaxThreads);
    Reference r;
    const std::span<const uint8_t> all(block);
    std::mutex m;
    std::vector<std::pair<uint64_t, size_t>> fresh;
    std::vector<uint8_t> written;
    bool inside = true;
    const BlockIo io{[&](uint64_t at, std::span<uint8_t> into, size_t n) {
                         std::lock_guard lock(m);
                         inside = inside && n <= into.size() && at + into.size() <= block.size();
                         if (!inside) return false;
                         std::copy_n(block.begin() + at, into.size(), into.begin());
                         fresh.emplace_back(at, n);
                         return true;
                     },
                     [&](uint64_t at, std::span<const std::span<const uint8_t>> parts) {
                         std::lock_guard lock(m);
                         for (auto part : parts) {
                             for (uint8_t v : part) {
                                 inside = inside && at < written.size() && !written[at];
                                 if (!inside) return false;
                                 r.out[at] = v;
                                 written[at++] = 1;
                             }
                         }
                         return true;
                     }};
    const uint32_t size = block.size() >= 5 ? loadLE32(block.data() + 1) : 0;
    r.out.resize(size);
    written.resize(size);
    const size_t room = largeDecodeMemory(threads, stretch);
    auto memory = std::make_unique_for_overwrite<uint8_t[]>(room);
    r.ok = decodeLargeBlock(all.first(std::min(all.size(), kMaxBlockHeader)), block.size(), io,
                            team, threads, {memory.get(), room}, stretch);
    EXPECT_TRUE(inside);
    std::sort(fresh.begin(), fresh.end());
    for (size_t k = 1; k < fresh.size(); ++k)
        EXPECT_EQ(fresh[k].first, fresh[k - 1].first + fresh[k - 1].second);
    if (r.ok) {
        EXPECT_TRUE(std::all_of(written.begin(), written.end(), [](uint8_t w) { return w; }));
        EXPECT_FALSE(fresh.empty() && size > 0);
    }
    return r;
}

// Decodes the block whole, in pieces of each size one code after another,
// and as a large block on 1, 2, 3, 7 and 8 threads in stretches of several
// sizes, the largest leaving the least a stretch can be at the end; every
// decode must give the reference output, or fail where it fails.
void expectSameAsReference(const Bytes& block, const std::string& what,
                           const std::vector<size_t>& pieces) {
    const Reference want = referenceDecode(block);
    auto whole = decodeBlock(block);
    EXPECT_EQ(whole.has_value(), want.ok) << what;
    if (whole) {
        EXPECT_TRUE(*whole == want.out) << what;
    }
    auto expectSame = [&](const Reference& got, const std::string& where, size_t piece) {
        EXPECT_EQ(got.ok, want.ok) << where;
        if (want.ok) {
            EXPECT_TRUE(got.out == want.out) << where;
        } else if (piece) {
            // Output up to the failing piece is still the true output.
            EXPECT_LE(got.out.size(), want.out.size()) << where;
            EXPECT_TRUE(std::equal(got.out.begin(), got.out.end(), want.out.begin())) << where;
            EXPECT_LT(want.out.size(), got.out.size() + piece) << where;
        }
    };
    for (size_t piece : pieces)
        expectSame(streamDecode(block, piece), what + ", pieces of " + std::to_string(piece),
                   piece);
    const size_t header = 5 + 3 * size_t{block[0] ? block[0] : 256u};
    const size_t stream = block.size() > header + 64 ? block.size() - header : 64;
    for (size_t stretch : {size_t{10007}, size_t{64} << 10, stream / 2, stream - 32}) {
        for (unsigned threads : {1u, 2u, 3u, 7u, 8u}) {
            expectSame(largeDecode(block, threads, stretch),
                       what + ", stretches of " + std::to_string(stretch) + " on " +
                           std::to_string(threads) + " threads",
                       0);
        }
    }
}

Bytes drawn(std::mt19937& rng, size_t size, const std::vector<double>& weights) {
    std::discrete_distribution<int> pick(weights.begin(), weights.end());
    Bytes out(size);
    for (auto& b : out) b = static_cast<uint8_t>(' ' + pick(rng));
    return out;
}

std::vector<double> geometric(int n, double ratio) {
    std::vector<double> w(n);
    for (int i = 0; i < n; ++i) w[i] = std::pow(ratio, i);
    return w;
}

// A block for `input` under a code of the given lengths (a complete code
// chosen by the test, not by the encoder).
Bytes blockWithLengths(const Bytes& input,
                       const std::vector<std::pair<uint8_t, uint8_t>>& lengths) {
    detail::CodeLengths len{};
    for (auto [v, l] : lengths) len[v] = l;
    CodeTable code = detail::canonicalCode(len);
    code.count = static_cast<int>(lengths.size());
    Bytes block;
    BitPacker packer;
    EXPECT_TRUE(appendBlockHeader(code, input.size(), block) &&
                packBytes(code, packer, input, block) && finishPack(packer, block));
    return block;
}

const std::vector<size_t> kPieces = {SIZE_MAX, size_t{1} << 20, (size_t{64} << 10) + 7, 4093};

TEST(CodecStream, ValidBlocksDecodeInterleavedAsTheReferenceDoes) {
    std::mt19937 rng(11);
    struct Case {
        std::string name;
        Bytes input;
    };
    std::vector<Case> cases = {
        {"text-like, narrow window", drawn(rng, 1500000, geometric(90, 0.93))},
        {"text-like, wide window", drawn(rng, (size_t{9} << 19) + 5, geometric(150, 0.96))},
        {"skewed, one-bit codes", drawn(rng, 700000, geometric(40, 0.55))},
        {"two values", drawn(rng, 600000, {1, 1})},
        {"one length of 3 bits", drawn(rng, 800000, std::vector<double>(8, 1))},
        {"stored, every value its own code", drawn(rng, 700000, std::vector<double>(256, 1))},
    };
    for (const auto& c : cases) {
        auto block = encodeBlock(c.input);
        ASSERT_TRUE(block);
        ASSERT_EQ(referenceDecode(*block).out, c.input) << c.name;
        expectSameAsReference(*block, c.name, kPieces);
    }
}

TEST(CodecStream, ChunksThatNeverMeetFallBackToTheTrueDecode) {
    // A long run of the 3-bit code 101: a guessed start out of step with it
    // reads 110 110 ... (after a 0), staying out of step, so those chunks
    // never meet the true decode.
    std::mt19937 rng(12);
    Bytes input = drawn(rng, 300000, {8, 2, 2, 2, 1, 1});
    input.insert(input.end(), 1500000, ' ' + 2);
    Bytes tail = drawn(rng, 300000, {8, 2, 2, 2, 1, 1});
    input.insert(input.end(), tail.begin(), tail.end());
    Bytes block = blockWithLengths(
        input, {{' ', 1}, {' ' + 1, 3}, {' ' + 2, 3}, {' ' + 3, 3}, {' ' + 4, 4}, {' ' + 5, 4}});
    expectSameAsReference(block, "long run", kPieces);
    ASSERT_EQ(decodeBlock(block), input);
}

TEST(CodecStream, DamagedAndForeignBlocksDecodeAsTheReferenceDoes) {
    std::mt19937 rng(13);
    auto valid = *encodeBlock(drawn(rng, 900000, geometric(70, 0.9)));
    const size_t header = 5 + 3 * size_t{valid[0]};
    std::vector<std::pair<std::string, Bytes>> cases;
    Bytes b = valid;
    for (int k = 0; k < 40; ++k) b[header + rng() % (b.size() - header)] ^= 1 << (rng() % 8);
    cases.push_back({"stray stream bits", b});
    cases.push_back({"stream cut short",
                     Bytes(valid.begin(), valid.begin() + header + (valid.size() - header) / 2)});
    b = valid;
    b[4] = 1;  // a longer output: the rest of it from the zero bits
    cases.push_back({"output past the stream", b});
    b = valid;
    b[3] = 5;  // a shorter output: it ends inside a stretch, before the stream does
    cases.push_back({"output short of the stream", b});
    for (int round = 0; round < 4; ++round) {
        b = valid;
        for (int k = 0; k < 2 + round; ++k)
            b[5 + rng() % (header - 5)] = static_cast<uint8_t>(rng());
        cases.push_back({"scrambled header " + std::to_string(round), b});
    }
    b = valid;
    b[7] = 0;  // a length that never matches: the code is no longer complete
    cases.push_back({"length 0", b});
    for (int round = 0; round < 6; ++round) {
        // Few entries of short codes, often clashing or leaving gaps.
        unsigned n = 2 + rng() % 6;
        Bytes f{static_cast<uint8_t>(n), 0x20, 0xA1, 0x07, 0};
        for (unsigned j = 0; j < n; ++j)
            f.insert(f.end(), {uint8_t(rng() % 5), uint8_t(rng()), uint8_t(1 + rng() % 3)});
        for (int i = 0; i < 150000; ++i) f.push_back(static_cast<uint8_t>(rng() & rng()));
        cases.push_back({"foreign " + std::to_string(round), f});
    }
    for (const auto& [name, block] : cases) expectSameAsReference(block, name, kPieces);
}

TEST(CodecStream, SmallBlocksInAnyPieceSize) {
    std::mt19937 rng(14);
    for (int round = 0; round < 40; ++round) {
        Bytes input =
            drawn(rng, 1 + rng() % 20000, geometric(1 + rng() % 60, 0.5 + (rng() % 45) / 100.0));
        Bytes block = *encodeBlock(input);
        if (round % 3 == 1)
            block[5 + 3 * (rng() % block[0]) + 2] = static_cast<uint8_t>(rng() % 10);
        if (round % 3 == 2) block.resize(block.size() - rng() % (block.size() - 5 - 3 * block[0]));
        expectSameAsReference(block, "round " + std::to_string(round), {1, 3, 8, 17, 1000});
    }
}

TEST(CodecStream, PieceContract) {
    // One value whose code is 0: 2^20 copies, which a stream of 2^17 bytes
    // holds and one byte fewer does not; the copies are read from the zero
    // bits past what a piece is given.
    const Bytes head{0x01, 0x00, 0x00, 0x10, 0x00, 0x5a, 0x00, 0x01};
    EXPECT_FALSE(detail::startStreamDecode(head, head.size() + 0x1FFFF));
    auto dec = detail::startStreamDecode(head, head.size() + 0x20000);
    ASSERT_TRUE(dec);
    EXPECT_EQ(dec->size, 0x100000u);
    EXPECT_EQ(dec->header_len, 8u);
    const Bytes stream{0x00, 0x00};
    struct Case {
        unsigned bit;
        size_t k;
        size_t used;
        unsigned bitAfter;
    };
    for (const Case c : {Case{0, 5, 0, 5}, Case{5, 3, 1, 0}, Case{3, 12, 1, 7}, Case{7, 9, 2, 0},
                         Case{0, 70000, 2, 0}, Case{0, 0, 0, 0}}) {
        Bytes out(c.k, 1);
        unsigned bit = c.bit;
        auto used = detail::decodeStreamPiece(*dec, stream, bit, out);
        ASSERT_TRUE(used);
        EXPECT_EQ(*used, c.used) << c.bit << " " << c.k;
        EXPECT_EQ(bit, c.bitAfter) << c.bit << " " << c.k;
        EXPECT_TRUE(out == Bytes(c.k, 0x5a));
    }
    // Code 1 matches nothing in zero bits.
    Bytes other = head;
    other[6] = 0x80;
    auto failing = detail::startStreamDecode(other, head.size() + 0x20000);
    ASSERT_TRUE(failing);
    Bytes out(5);  // four 1 bits, then a 0 that nothing matches
    unsigned bit = 0;
    EXPECT_FALSE(detail::decodeStreamPiece(*failing, Bytes{0xF0}, bit, out));
    // A head shorter than its entries.
    EXPECT_FALSE(detail::startStreamDecode(std::span(head).first(7), 7));
    EXPECT_FALSE(detail::startStreamDecode(std::span(head).first(4), 4));
}

}  // namespace
}  // namespace pelko
