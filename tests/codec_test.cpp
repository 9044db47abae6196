// Tests of the Huffman codec: known blocks, comparison with plain reference
// implementations of tree building, packing and decoding, the length-limited
// code, and round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codec/huffman.h"
#include "codec/huffman_detail.h"

namespace pelko {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// ---- Plain references -------------------------------------------------------

// The merge-order tree built with owning nodes, one step per rule; nullopt when
// the tree is deeper than 8 levels.
std::optional<CodeTable> referenceTreeCode(const Bytes& input) {
    struct Node {
        int value;  // -1 for an internal node
        uint32_t weight;
        const Node* left;
        const Node* right;
    };
    uint32_t counts[256] = {};
    for (uint8_t b : input) ++counts[b];
    std::vector<std::unique_ptr<Node>> pool;
    std::vector<const Node*> list;
    for (int v = 0; v < 256; ++v) {
        if (!counts[v]) continue;
        pool.push_back(std::make_unique<Node>(Node{v, counts[v], nullptr, nullptr}));
        list.push_back(pool.back().get());
    }
    auto firstMin = [&] {
        size_t m = 0;
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i]->weight < list[m]->weight) m = i;
        return m;
    };
    while (list.size() > 1) {
        size_t a = firstMin();
        const Node* nodeA = list[a];
        list[a] = list.back();
        list.pop_back();
        size_t b = firstMin();
        pool.push_back(
            std::make_unique<Node>(Node{-1, nodeA->weight + list[b]->weight, nodeA, list[b]}));
        list[b] = pool.back().get();
    }
    CodeTable table;
    table.count = static_cast<int>(pool.size() + 1) / 2;
    if (list[0]->value >= 0) {
        table.codes[list[0]->value] = Code{0, 1};
        return table;
    }
    bool tooDeep = false;
    std::function<void(const Node*, std::string)> walk = [&](const Node* node, std::string path) {
        if (node->value < 0) {
            walk(node->left, path + "0");
            walk(node->right, path + "1");
            return;
        }
        if (path.size() > 8) {
            tooDeep = true;
            return;
        }
        uint8_t bits = 0;
        for (size_t k = 0; k < path.size(); ++k)
            if (path[k] == '1') bits += 128 >> k;
        table.codes[node->value] = Code{bits, static_cast<uint8_t>(path.size())};
    };
    walk(list[0], "");
    if (tooDeep) return std::nullopt;
    return table;
}

// Header plus the one-byte accumulator packing.
Bytes referenceEncode(const Bytes& input, const CodeTable& code) {
    Bytes out{static_cast<uint8_t>(code.count)};
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(input.size() >> (8 * i)));
    for (int v = 0; v < 256; ++v)
        if (code.codes[v].len)
            out.insert(out.end(), {uint8_t(v), code.codes[v].bits, code.codes[v].len});
    unsigned acc = 0, c = 0;
    for (uint8_t b : input) {
        unsigned a = code.codes[b].bits, len = code.codes[b].len;
        if (c + len <= 8) {
            acc += a >> c;
            c += len;
        } else {
            out.push_back(static_cast<uint8_t>(acc + (a >> c)));
            acc = (a << (8 - c)) & 0xff;
            c = c + len - 8;
        }
    }
    out.push_back(static_cast<uint8_t>(acc));
    return out;
}

// Searches the header for every code, shortest length first, in header order.
std::optional<Bytes> referenceDecode(const Bytes& block) {
    if (block.size() < 5) return std::nullopt;
    size_t n = block[0] ? block[0] : 256;
    if (block.size() < 5 + 3 * n) return std::nullopt;
    uint32_t size = block[1] | block[2] << 8 | block[3] << 16 | uint32_t(block[4]) << 24;
    auto at = [&](size_t i) -> unsigned { return i < block.size() ? block[i] : 0; };
    size_t p = 5 + 3 * n;
    // No more bytes than the stream holds in the shortest code.
    unsigned shortest = 9;
    for (size_t j = 0; j < n; ++j)
        if (block[5 + 3 * j + 2] >= 1)
            shortest = std::min<unsigned>(shortest, block[5 + 3 * j + 2]);
    if (size > 0 && (shortest > 8 || uint64_t{size} * shortest > 8 * (block.size() - p)))
        return std::nullopt;
    unsigned b = 0;
    Bytes out;
    while (out.size() < size) {
        unsigned window = ((at(p) << 8 | at(p + 1)) >> (8 - b)) & 0xff;
        unsigned found = 0;
        for (unsigned len = 1; len <= 8 && !found; ++len) {
            for (size_t j = 0; j < n; ++j) {
                const uint8_t* e = &block[5 + 3 * j];
                if (unsigned{e[2]} == len && unsigned(e[1] >> (8 - len)) == (window >> (8 - len))) {
                    out.push_back(e[0]);
                    found = len;
                    break;
                }
            }
        }
        if (!found) return std::nullopt;
        b += found;
        if (b >= 8) {
            ++p;
            b -= 8;
        }
    }
    return out;
}

// ---- Input generators -------------------------------------------------------

// `size` bytes drawn with weights proportional to `weights` over values
// `first`, `first`+1, ...
Bytes drawn(std::mt19937& rng, size_t size, const std::vector<double>& weights, int first = 0) {
    std::discrete_distribution<int> pick(weights.begin(), weights.end());
    Bytes out(size);
    for (auto& b : out) b = static_cast<uint8_t>(first + pick(rng));
    return out;
}

std::vector<double> geometric(int n, double ratio) {
    std::vector<double> w(n);
    for (int i = 0; i < n; ++i) w[i] = std::pow(ratio, i);
    return w;
}

uint64_t totalBits(const ByteCounts& counts, const CodeTable& code) {
    uint64_t bits = 0;
    for (int v = 0; v < 256; ++v) bits += counts[v] * code.codes[v].len;
    return bits;
}

ByteCounts countsOf(const Bytes& input) {
    ByteCounts counts{};
    countBytes(input, counts);
    return counts;
}

// ---- Known blocks -----------------------------------------------------------

TEST(CodecBlocks, WorkedExamplesEncodeAndDecodeExactly) {
    struct Case {
        const char* name;
        Bytes input;
        Bytes block;
    };
    const std::vector<Case> cases = {
        {"abracadabra", bytesOf("abracadabra"), {0x05, 0x0B, 0,    0,    0,    0x61, 0x00, 0x01,
                                                 0x62, 0xC0, 0x03, 0x63, 0xE0, 0x04, 0x64, 0xF0,
                                                 0x04, 0x72, 0x80, 0x02, 0x69, 0xCF, 0x68}},
        {"ties resolved by list position",
         bytesOf("aaaabbbbccdd"),
         {0x04, 0x0C, 0,    0,    0,    0x61, 0x80, 0x02, 0x62, 0x00,
          0x01, 0x63, 0xC0, 0x03, 0x64, 0xE0, 0x03, 0xAA, 0x0D, 0xBF}},
        {"value 0 gets a code",
         {0x00, 0x00, 0x01},
         {0x02, 0x03, 0, 0, 0, 0x00, 0x80, 0x01, 0x01, 0x00, 0x01, 0xC0}},
        {"one value, one byte", {0x7f}, {0x01, 0x01, 0, 0, 0, 0x7f, 0x00, 0x01, 0x00}},
        {"one value, full byte", Bytes(8, 0x41), {0x01, 0x08, 0, 0, 0, 0x41, 0x00, 0x01, 0x00}},
        {"one value, spills", Bytes(9, 0x41), {0x01, 0x09, 0, 0, 0, 0x41, 0x00, 0x01, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto block = encodeBlock(c.input);
        ASSERT_TRUE(block);
        EXPECT_EQ(*block, c.block);
        EXPECT_EQ(blockLength(buildCode(countsOf(c.input)), countsOf(c.input)), c.block.size());
        EXPECT_EQ(decodeBlock(c.block), c.input);
    }
}

TEST(CodecBlocks, WorkedCodes) {
    struct Case {
        std::string input;
        std::vector<std::pair<char, std::string>> codes;
    };
    const std::vector<Case> cases = {
        {"abracadabra", {{'a', "0"}, {'r', "10"}, {'b', "110"}, {'c', "1110"}, {'d', "1111"}}},
        {"abcdabcdabab", {{'b', "0"}, {'a', "10"}, {'c', "110"}, {'d', "111"}}},
        {"zzzz", {{'z', "0"}}},
    };
    for (const auto& c : cases) {
        CodeTable code = buildCode(countsOf(bytesOf(c.input)));
        EXPECT_EQ(code.count, static_cast<int>(c.codes.size())) << c.input;
        for (const auto& [value, bits] : c.codes) {
            const Code& got = code.codes[static_cast<uint8_t>(value)];
            std::string s;
            for (unsigned k = 0; k < got.len; ++k) s += (got.bits >> (7 - k)) & 1 ? '1' : '0';
            EXPECT_EQ(s, bits) << c.input << " value " << value;
        }
    }
}

TEST(CodecBlocks, EmptyInputHasNoBlock) {
    EXPECT_FALSE(encodeBlock({}));
}

TEST(CodecBlocks, AllValuesStoreTheInputItself) {
    std::mt19937 rng(7);
    Bytes input(1000);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i < 256 ? i : rng());
    auto block = encodeBlock(input);
    ASSERT_TRUE(block);
    ASSERT_EQ(block->size(), 5 + 768 + input.size());
    EXPECT_EQ((*block)[0], 0);  // 256 values
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ((*block)[5 + 3 * v], v);
        EXPECT_EQ((*block)[6 + 3 * v], v);
        EXPECT_EQ((*block)[7 + 3 * v], 8);
    }
    EXPECT_TRUE(std::equal(input.begin(), input.end(), block->begin() + kMaxBlockHeader));
    EXPECT_EQ(decodeBlock(*block), input);
}

// ---- Encoder against the references ----------------------------------------

TEST(CodecEncoder, MatchesReferenceWheneverTheTreeFits) {
    std::mt19937 rng(1);
    int compared = 0;
    for (int round = 0; round < 3000; ++round) {
        int values = 1 + static_cast<int>(rng() % 40);
        size_t size = 1 + rng() % (round % 10 == 0 ? 5000 : 60);
        std::vector<double> w(values);
        // Small integer weights make many ties, which exercise the merge order.
        for (auto& x : w) x = 1 + rng() % (round % 2 ? 4 : 100);
        Bytes input = drawn(rng, size, w, static_cast<int>(rng() % (257 - values)));
        auto ref = referenceTreeCode(input);
        if (!ref) continue;
        ++compared;
        auto block = encodeBlock(input);
        ASSERT_TRUE(block);
        ASSERT_EQ(*block, referenceEncode(input, *ref)) << "round " << round;
    }
    EXPECT_GT(compared, 2500);
}

TEST(CodecEncoder, PackingMatchesOneByteAccumulatorForEveryCode) {
    // Long inputs take the paired-lookup path; deep trees take the
    // length-limited code. Both must pack exactly as the plain packer does.
    std::mt19937 rng(2);
    const std::vector<std::pair<size_t, std::vector<double>>> cases = {
        {200000, geometric(100, 0.9)},
        {100000, geometric(30, 0.5)},
        {70000, {1, 1}},
        {65536 + 5, geometric(255, 0.98)},
        {300000, std::vector<double>(256, 1.0)},
    };
    for (const auto& [size, weights] : cases) {
        Bytes input = drawn(rng, size, weights);
        CodeTable code = buildCode(countsOf(input));
        auto block = encodeBlock(input);
        ASSERT_TRUE(block);
        EXPECT_EQ(*block, referenceEncode(input, code)) << weights.size() << " values";
    }
}

TEST(CodecEncoder, IncrementalPiecesGiveTheSameBlock) {
    std::mt19937 rng(3);
    for (int round = 0; round < 60; ++round) {
        size_t size = 1 + rng() % (round < 40 ? 3000 : 400000);
        Bytes input = drawn(rng, size, geometric(1 + rng() % 256, 0.5 + (rng() % 50) / 100.0));
        auto whole = encodeBlock(input);
        ASSERT_TRUE(whole);
        ByteCounts counts{};
        countBytes(input, counts);
        CodeTable code = buildCode(counts);
        Bytes out;
        if (round % 2) out.reserve(blockLength(code, counts) + 16);
        ASSERT_TRUE(appendBlockHeader(code, input.size(), out));
        BitPacker packer, raw;
        // The same pieces packed into bare memory, each given just its room.
        Bytes memory = out;
        for (size_t at = 0; at < input.size();) {
            size_t piece =
                std::min<size_t>(input.size() - at, rng() % 3 ? rng() % 20 : rng() % 100000);
            ASSERT_TRUE(packBytes(code, packer, std::span(input).subspan(at, piece), out));
            const size_t used = memory.size();
            memory.resize(used + packRoom(piece), 0xA5);
            uint8_t* end = packInto(code, raw, std::span(input).subspan(at, piece), &memory[used]);
            ASSERT_TRUE(end);
            memory.resize(size_t(end - memory.data()));
            at += piece;
        }
        ASSERT_TRUE(finishPack(packer, out));
        ASSERT_EQ(out, *whole) << "round " << round;
        memory.resize(memory.size() + packRoom(0));
        memory.resize(
            size_t(finishInto(raw, &memory[memory.size() - packRoom(0)]) - memory.data()));
        ASSERT_EQ(memory, *whole) << "round " << round;
        EXPECT_EQ(out.size(), blockLength(code, counts));
        // Packed in slices as a large file is added, each from where the
        // counts of the slices before put it: slices meet mid-byte, and from
        // 64 KiB on they share one pair table.
        const size_t slice = round % 4 == 3 ? 65536 + rng() % 100000 : 1 + rng() % (size / 2 + 1);
        BitPacker shared;
        ASSERT_TRUE(slice < 65536 || prepareSlices(code, shared));
        Bytes sliced(out.begin(),
                     out.begin() + ptrdiff_t(out.size() - (streamBits(code, counts) + 7) / 8));
        uint64_t bit = 0;
        for (size_t at = 0; at < input.size(); at += slice) {
            const auto part = std::span(input).subspan(at, std::min(slice, input.size() - at));
            BitPacker packer = slicePacker(shared, unsigned(bit & 7));
            Bytes room(packRoom(part.size()) + packRoom(0));
            uint8_t* end = packInto(code, packer, part, room.data());
            ASSERT_TRUE(end);
            room.resize(size_t(finishInto(packer, end) - room.data()));
            ByteCounts c{};
            countBytes(part, c);
            if (bit & 7) sliced.back() |= room[0];
            sliced.insert(sliced.end(), room.begin() + ((bit & 7) != 0), room.end());
            bit += streamBits(code, c);
        }
        ASSERT_EQ(sliced, *whole) << "round " << round << ", slices of " << slice;
    }
}

TEST(CodecEncoder, SizeFieldLimit) {
    CodeTable code = buildCode(countsOf(bytesOf("ab")));
    Bytes out;
    EXPECT_TRUE(appendBlockHeader(code, 0xFFFFFFFFu, out));
    EXPECT_EQ(Bytes(out.begin() + 1, out.begin() + 5), (Bytes{0xff, 0xff, 0xff, 0xff}));
    out.clear();
    EXPECT_FALSE(appendBlockHeader(code, 0x100000000u, out));
    EXPECT_TRUE(out.empty());
}

// ---- Length-limited code ----------------------------------------------------

// Least total bits over all length assignments of 1..maxLen bits that satisfy
// Kraft's inequality.
uint64_t bruteForceBits(const std::vector<uint64_t>& w, unsigned maxLen) {
    uint64_t best = UINT64_MAX;
    std::vector<unsigned> len(w.size(), 1);
    for (;;) {
        double kraft = 0;
        uint64_t bits = 0;
        for (size_t i = 0; i < w.size(); ++i) {
            kraft += std::ldexp(1.0, -static_cast<int>(len[i]));
            bits += w[i] * len[i];
        }
        if (kraft <= 1.0) best = std::min(best, bits);
        size_t i = 0;
        while (i < len.size() && ++len[i] > maxLen) len[i++] = 1;
        if (i == len.size()) return best;
    }
}

TEST(CodecLimited, OptimalOnSmallAlphabets) {
    std::mt19937 rng(4);
    for (int round = 0; round < 400; ++round) {
        unsigned maxLen = 2 + rng() % 3;
        size_t n = 2 + rng() % std::min<size_t>(6, (size_t{1} << maxLen) - 1);
        ByteCounts counts{};
        std::vector<uint64_t> w;
        for (size_t i = 0; i < n; ++i) {
            // Spread-out weights so that the limit binds often.
            uint64_t c = 1 + (rng() % 3 ? rng() % 10 : rng() % 100000);
            counts[(i * 37 + round) % 256] += c;
        }
        for (uint64_t c : counts)
            if (c) w.push_back(c);
        auto lengths = detail::limitedLengths(counts, maxLen);
        uint64_t bits = 0;
        double kraft = 0;
        for (int v = 0; v < 256; ++v) {
            ASSERT_EQ(lengths[v] == 0, counts[v] == 0);
            ASSERT_LE(lengths[v], maxLen);
            bits += counts[v] * lengths[v];
            if (lengths[v]) kraft += std::ldexp(1.0, -lengths[v]);
        }
        EXPECT_LE(kraft, 1.0);
        EXPECT_EQ(bits, bruteForceBits(w, maxLen)) << "round " << round;
    }
}

// Codes are at most 8 bits, prefix-free, complete, canonical in (length,
// value) order, and never cost more than the tree would have.
void expectValidLimitedCode(const ByteCounts& counts, const CodeTable& code) {
    int present = 0;
    double kraft = 0;
    std::vector<std::pair<int, int>> order;  // (length, value)
    for (int v = 0; v < 256; ++v) {
        ASSERT_EQ(code.codes[v].len == 0, counts[v] == 0) << v;
        if (!counts[v]) continue;
        ++present;
        ASSERT_LE(code.codes[v].len, 8);
        kraft += std::ldexp(1.0, -code.codes[v].len);
        order.push_back({code.codes[v].len, v});
    }
    EXPECT_EQ(code.count, present);
    EXPECT_DOUBLE_EQ(kraft, 1.0);
    std::sort(order.begin(), order.end());
    for (size_t i = 1; i < order.size(); ++i) {
        const Code& a = code.codes[order[i - 1].second];
        const Code& b = code.codes[order[i].second];
        // In canonical order each code is numerically greater than the one
        // before at the shorter length's precision, hence no prefix relation.
        EXPECT_LT(a.bits >> (8 - a.len), b.bits >> (8 - a.len));
    }
}

TEST(CodecLimited, DeepTreesGetValidOptimalCodes) {
    struct Case {
        const char* name;
        ByteCounts counts;
    };
    std::vector<Case> cases;
    ByteCounts fib{};
    uint64_t a = 1, b = 1;
    for (int v = 0; v < 20; ++v) {
        fib[v * 3] = a;
        uint64_t c = a + b;
        a = b;
        b = c;
    }
    cases.push_back({"fibonacci", fib});
    ByteCounts text{};
    for (int v = 32; v < 127; ++v) text[v] = 1000000 / (v - 31);
    text[0] = text[1] = text[2] = 1;
    cases.push_back({"text with rare values", text});
    ByteCounts most{};
    for (int v = 0; v < 255; ++v) most[v] = v < 20 ? 100000 : 1 + v % 3;
    cases.push_back({"255 values", most});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_GT(detail::treeCode(c.counts).depth, 8u);
        CodeTable code = buildCode(c.counts);
        expectValidLimitedCode(c.counts, code);
        EXPECT_EQ(totalBits(c.counts, code),
                  totalBits(c.counts, detail::canonicalCode(detail::limitedLengths(c.counts, 8))));
    }
}

TEST(CodecLimited, NoTreeOfTheCountsIsShallowerThanTheLeastDepth) {
    // Ties are many where weights are few and small; buildCode skips the
    // merging-order tree where the least depth is past 8, so the bound must
    // never exceed the tree's own depth.
    std::mt19937_64 rng(5);
    for (int round = 0; round < 20000; ++round) {
        ByteCounts c{};
        const int values = 2 + static_cast<int>(rng() % (round % 2 ? 200 : 20));
        for (int i = 0; i < values; ++i)
            c[rng() % 256] = round % 3 ? 1 + rng() % 3 : uint64_t{1} << (rng() % 24);
        const detail::TreeCode tree = detail::treeCode(c);
        ASSERT_LE(detail::leastTreeDepth(c), tree.depth) << "round " << round;
        const CodeTable want =
            tree.depth <= 8 ? tree.table : detail::canonicalCode(detail::limitedLengths(c, 8));
        const CodeTable got = buildCode(c);
        for (int v = 0; v < 256; ++v)
            ASSERT_TRUE(got.codes[v].bits == want.codes[v].bits &&
                        got.codes[v].len == want.codes[v].len)
                << "round " << round << ", value " << v;
    }
}

// ---- Decoder against the literal search -------------------------------------

void expectSameDecode(const Bytes& block, const char* what) {
    auto got = decodeBlock(block);
    auto want = referenceDecode(block);
    ASSERT_EQ(got.has_value(), want.has_value()) << what;
    if (got) {
        ASSERT_EQ(*got, *want) << what;
    }
}

TEST(CodecDecoder, MatchesLiteralSearchOnValidAndDamagedBlocks) {
    std::mt19937 rng(5);
    for (int round = 0; round < 600; ++round) {
        size_t size = 1 + rng() % (round % 4 ? 300 : 20000);
        Bytes input = drawn(rng, size, geometric(1 + rng() % 256, 0.3 + (rng() % 70) / 100.0));
        auto block = encodeBlock(input);
        ASSERT_TRUE(block);
        ASSERT_EQ(decodeBlock(*block), input);
        size_t header = 5 + 3 * size_t{(*block)[0] ? (*block)[0] : 256u};
        Bytes damaged = *block;
        switch (round % 5) {
            case 0:  // stray bits in the stream
                for (int k = 0; k < 3; ++k)
                    damaged[header + rng() % (damaged.size() - header)] ^= 1 << (rng() % 8);
                break;
            case 1:  // code bytes, lengths and values scrambled
                for (int k = 0; k < 4; ++k)
                    damaged[5 + rng() % (header - 5)] = static_cast<uint8_t>(rng());
                break;
            case 2:  // lengths that never match, or collide
                for (int k = 0; k < 3; ++k)
                    damaged[7 + 3 * (rng() % ((header - 5) / 3))] =
                        static_cast<uint8_t>(rng() % 11);
                break;
            case 3:  // stream cut short: the rest reads as zeros
                damaged.resize(header + rng() % (damaged.size() - header + 1));
                break;
            case 4:  // a different output length
                damaged[1] = static_cast<uint8_t>(rng());
                break;
        }
        expectSameDecode(damaged, "damaged");
    }
}

TEST(CodecDecoder, MatchesLiteralSearchOnForeignHeaders) {
    std::mt19937 rng(6);
    for (int round = 0; round < 1500; ++round) {
        unsigned n = rng() % (round % 50 ? 12 : 256);
        Bytes block{static_cast<uint8_t>(n)};
        uint32_t size = rng() % (round % 3 ? 64 : 12000);
        for (int i = 0; i < 4; ++i) block.push_back(static_cast<uint8_t>(size >> (8 * i)));
        for (unsigned j = 0; j < (n ? n : 256); ++j) {
            // Few distinct values, short codes: repeats and prefix clashes.
            block.push_back(static_cast<uint8_t>(rng() % 6));
            block.push_back(static_cast<uint8_t>(rng()));
            block.push_back(static_cast<uint8_t>(rng() % 5 ? 1 + rng() % 4 : rng() % 12));
        }
        size_t stream = rng() % (rng() % 3 ? 16 : 3000);
        for (size_t i = 0; i < stream; ++i)
            block.push_back(static_cast<uint8_t>(rng() % 4 ? rng() & rng() : rng()));
        expectSameDecode(block, "foreign");
    }
}

TEST(CodecDecoder, RejectsShortBlocks) {
    const std::vector<Bytes> cases = {
        {},
        {0x01, 0x01, 0, 0},
        {0x01, 0x01, 0, 0, 0, 0x41, 0x00},
        {0x00, 0x01, 0, 0, 0, 0x41, 0x00, 0x01},  // count 0 means 256 entries
    };
    for (const auto& block : cases) EXPECT_FALSE(decodeBlock(block)) << block.size() << " bytes";
}

TEST(CodecDecoder, SizeBoundByTheStreamInTheShortestCode) {
    // One value with the one-bit code 0: two stream bytes hold 16 copies, and
    // a 17th would come from the zero bits past the stream.
    Bytes block{0x01, 0x10, 0, 0, 0, 0x5a, 0x00, 0x01, 0x00, 0x00};
    EXPECT_EQ(decodeBlock(block), Bytes(16, 0x5a));
    block[1] = 0x11;
    EXPECT_FALSE(decodeBlock(block));
    // Within that bound the bits past the stream still read as 0: c (11),
    // six a (0), and the eighth a from past the stream.
    block = {0x03, 0x08, 0, 0, 0, 'a', 0x00, 0x01, 'b', 0x80, 0x02, 'c', 0xC0, 0x02, 0xC0};
    EXPECT_EQ(decodeBlock(block), bytesOf("caaaaaaa"));
    // Code 1 matches nothing in the zero bits.
    EXPECT_FALSE(decodeBlock(Bytes{0x01, 0x02, 0, 0, 0, 0x5a, 0x80, 0x01, 0x80}));
    // Empty output needs no stream.
    EXPECT_EQ(decodeBlock(Bytes{0x01, 0, 0, 0, 0, 0x5a, 0x80, 0x01}), Bytes{});
}

TEST(CodecDecoder, IdentityHeaderCopiesTheStream) {
    // All 256 values with 8-bit codes: one output byte per stream byte.
    Bytes block{0x00, 0x04, 0, 0, 0};
    for (int v = 0; v < 256; ++v) block.insert(block.end(), {uint8_t(v), uint8_t(v), 8});
    block.insert(block.end(), {9, 8, 7, 6});
    EXPECT_EQ(decodeBlock(block), (Bytes{9, 8, 7, 6}));
    block[1] = 0x05;
    EXPECT_FALSE(decodeBlock(block));
}

// ---- Round trips ------------------------------------------------------------

TEST(CodecRoundTrip, GeneratedInputs) {
    std::mt19937 rng(8);
    struct Shape {
        const char* name;
        std::vector<double> weights;
    };
    const std::vector<Shape> shapes = {
        {"one value", {1}},
        {"two values", {1, 1}},
        {"two skewed", {1, 1000}},
        {"skewed past the limit", geometric(40, 0.55)},
        {"many skewed", geometric(255, 0.93)},
        {"all values", std::vector<double>(256, 1)},
    };
    std::vector<size_t> sizes;
    for (size_t s = 1; s <= 70; ++s) sizes.push_back(s);
    for (size_t base : {6144u, 8192u, 65536u, 1u << 18})
        for (size_t d = 0; d < 17; d += 4) sizes.push_back(base - 8 + d);
    for (const auto& shape : shapes) {
        for (size_t size : sizes) {
            Bytes input =
                drawn(rng, size, shape.weights, static_cast<int>(256 - shape.weights.size()));
            auto block = encodeBlock(input);
            ASSERT_TRUE(block) << shape.name << " " << size;
            auto back = decodeBlock(*block);
            ASSERT_TRUE(back) << shape.name << " " << size;
            ASSERT_EQ(*back, input) << shape.name << " " << size;
        }
    }
}

TEST(CodecRoundTrip, LargeOutputs) {
    // Several megabytes take the decoder's widest table, then its tail paths.
    std::mt19937 rng(9);
    for (size_t size : {(size_t{1} << 22) + 13, size_t{5} << 20}) {
        Bytes input = drawn(rng, size, geometric(60, 0.8));
        auto block = encodeBlock(input);
        ASSERT_TRUE(block);
        Bytes out{1, 2, 3};
        ASSERT_TRUE(decodeBlockInto(*block, out));
        EXPECT_TRUE(out == input) << size;
    }
}

}  // namespace
}  // namespace pelko
