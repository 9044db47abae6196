// Huffman block decoder: rebuilds lookup tables from a block's header and
// turns its bit stream back into bytes.
//
// A code is found by trying lengths 1..8 in turn and taking, at the first
// length with a match, the first header entry of that length whose bits match
// the stream. Which entry that is depends only on the next 8 stream bits, so
// a 256-entry table made by applying that rule to every 8-bit value decodes
// any header the same way, however damaged: repeated values, codes that are
// not prefix-free, lengths that can never match.
#include <algorithm>
#include <cstring>
#include <new>

#include "huffman.h"

namespace pelko {

namespace {

// Bits of stream looked up at once by the bulk decoder: a wide window yields
// more codes per lookup but its table costs more to build and falls out of
// L1, so large outputs take the wide one. The most codes one lookup may
// yield fill a 4-byte entry with its bit count.
constexpr unsigned kNarrowWindow = 12, kWideWindow = 16;
constexpr uint64_t kWideMinOutput = uint64_t{1} << 22;
constexpr unsigned kMaxPerLookup = 3;
// Below this many output bytes the bulk table costs more than it saves.
constexpr uint64_t kBulkMinOutput = 8192;


inline uint64_t loadBigEndian64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

inline void storeLittleEndian32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// Single-code table entry: byte value in the low byte, code length above it;
// a length of 0 means no header entry matches these 8 bits.
using SingleTable = std::array<uint16_t, 256>;

SingleTable buildSingleTable(const uint8_t* entries, unsigned n) {
    // first[L][prefix]: the first header entry of length L with that prefix.
    int16_t first[9][256];
    for (auto& row : first) std::fill(std::begin(row), std::end(row), int16_t{-1});
    for (unsigned j = n; j-- > 0;) {
        unsigned len = entries[3 * j + 2];
        if (len < 1 || len > 8) continue;
        first[len][entries[3 * j + 1] >> (8 - len)] = static_cast<int16_t>(j);
    }
    SingleTable table{};
    for (unsigned w = 0; w < 256; ++w) {
        for (unsigned len = 1; len <= 8; ++len) {
            int j = first[len][w >> (8 - len)];
            if (j >= 0) {
                table[w] = static_cast<uint16_t>(entries[3 * j] | len << 8);
                break;
            }
        }
    }
    return table;
}

// Bulk table entry for a kWindow-bit window. Low byte: the bits taken (bits
// 0-5) and the number of codes (bits 6-7); above it up to kMaxPerLookup byte
// values. An entry without codes means the first 8 bits match nothing. The
// entry holds every whole code in the window: a code's choice depends only on
// its own bits, so a code that ends inside the window is decoded right
// whatever follows. The bit count sits lowest so that it serves as a shift
// count as is, keeping the lookup chain short.
template <unsigned kWindow>
void buildBulkTable(const SingleTable& single, uint32_t* table) {
    static_assert(kWindow >= 8 && kWindow <= 16);
    constexpr unsigned kMask = (1u << kWindow) - 1;
    for (unsigned w = 0; w <= kMask; ++w) {
        uint32_t e = 0;
        unsigned pos = 0, count = 0;
        while (count < kMaxPerLookup && pos < kWindow) {
            unsigned next8 = ((w << pos) & kMask) >> (kWindow - 8);
            unsigned s = single[next8];
            unsigned len = s >> 8;
            if (len == 0 || len > kWindow - pos) break;
            e |= (s & 0xff) << (8 * (1 + count));
            ++count;
            pos += len;
        }
        table[w] = e | pos | count << 6;
    }
}

// Stream bytes as the decoder reads them: 8 bytes at a byte index.
struct Direct {
    const uint8_t* base;
    uint64_t load(size_t i) const { return loadBigEndian64(base + i); }
};
// A copy of the stream's last bytes followed by zeros, which stand for the
// zero bits past the block's end. Past the copied bytes every read sees only
// zeros, so reads are held in place there.
struct Padded {
    static constexpr size_t kCopied = 40, kHold = 48;
    uint8_t bytes[kHold + 16] = {};
    uint64_t load(size_t i) const { return loadBigEndian64(bytes + std::min(i, kHold)); }
};

// Bulk decoding from bit `pos` while `more(p)` holds for the next refill's
// byte index and 16 output bytes remain. `buf` holds `cnt` valid bits at its
// top; a refill tops it up to at least 56 from byte `p` without a branch, and
// 8p - cnt is always the bit position. Each refill serves kLookups lookups.
// It is made just before the last of them, whose index is taken beforehand,
// so the refill works alongside that lookup instead of lengthening the chain
// from one lookup to the next; the load it needs was addressed long before.
// From one refill to the next index taken before a refill, kLookups + 1
// windows must fit the 56 bits.
template <unsigned kWindow, typename Source, typename More>
bool bulkDecode(const Source& src, const uint32_t* table, size_t& pos, uint8_t*& out,
                uint8_t* outEnd, More more) {
    constexpr unsigned kLookups = 56 / kWindow - 1;
    size_t p = pos >> 3;
    uint64_t buf = 0;
    unsigned cnt = 0;
    auto refill = [&] {
        buf |= src.load(p) >> cnt;
        p += (63 - cnt) >> 3;
        cnt |= 56;
    };
    auto lookup = [&](uint8_t* o, uint32_t e) {
        storeLittleEndian32(o, e >> 8);
        buf <<= e & 63;
        cnt -= e & 63;
        return o + (e >> 6 & 3);
    };
    if (outEnd - out < 16 || !more(p)) return true;
    refill();
    buf <<= pos & 7;
    cnt -= pos & 7;
    uint8_t* o = out;
    while (outEnd - o >= 16 && more(p)) {
        uint8_t* const before = o;
#pragma GCC unroll 4
        for (unsigned k = 0; k + 1 < kLookups; ++k) o = lookup(o, table[buf >> (64 - kWindow)]);
        const size_t last = buf >> (64 - kWindow);
        refill();
        o = lookup(o, table[last]);
        // A failed lookup takes no bits, so every later one fails too and an
        // iteration at the latest one later makes no progress.
        if (o == before) return false;
    }
    pos = 8 * p - cnt;
    out = o;
    return true;
}

// One code at a time from bit `pos` until `outEnd` or until `more` fails for
// the byte index of the next load.
template <typename Source, typename More>
bool singleDecode(const Source& src, const SingleTable& single, size_t& pos, uint8_t*& out,
                  uint8_t* outEnd, More more) {
    for (; out < outEnd && more(pos >> 3); ++out) {
        unsigned s = single[src.load(pos >> 3) << (pos & 7) >> 56];
        if ((s >> 8) == 0) return false;
        *out = static_cast<uint8_t>(s);
        pos += s >> 8;
    }
    return true;
}

// Decodes the whole stream into `out` (already sized), with the bulk table
// when `bulk` has room for one.
template <unsigned kWindow>
bool decodeStream(const SingleTable& single, std::vector<uint32_t>& bulk, const uint8_t* stream,
                  size_t streamLen, std::vector<uint8_t>& out) {
    if (!bulk.empty()) buildBulkTable<kWindow>(single, bulk.data());
    uint8_t* o = out.data();
    uint8_t* const oEnd = o + out.size();
    size_t pos = 0;  // in bits from the start of the stream

    // Straight from the block while every load stays inside it.
    const Direct direct{stream};
    auto inside = [=](size_t p) { return p + 8 <= streamLen; };
    if (!bulk.empty() && !bulkDecode<kWindow>(direct, bulk.data(), pos, o, oEnd, inside))
        return false;
    if (!singleDecode(direct, single, pos, o, oEnd, inside)) return false;

    // The rest needs at most 16 more stream bytes, or fewer than 16 remain.
    Padded padded;
    const size_t at = pos >> 3;
    if (at < streamLen) std::memcpy(padded.bytes, stream + at, std::min(streamLen - at, Padded::kCopied));
    pos &= 7;
    auto always = [](size_t) { return true; };
    if (!bulk.empty() && !bulkDecode<kWindow>(padded, bulk.data(), pos, o, oEnd, always)) return false;
    return singleDecode(padded, single, pos, o, oEnd, always);
}

}  // namespace

bool decodeBlockInto(std::span<const uint8_t> block, std::vector<uint8_t>& out) {
    if (block.size() < 5) return false;
    const unsigned n = block[0] ? block[0] : 256;
    const size_t headerLen = 5 + 3 * size_t{n};
    if (block.size() < headerLen) return false;
    const uint64_t size = uint64_t{block[1]} | uint64_t{block[2]} << 8 | uint64_t{block[3]} << 16 |
                          uint64_t{block[4]} << 24;

    std::vector<uint32_t> bulk;
    try {
        out.resize(size);
        if (size >= kBulkMinOutput) bulk.resize(size_t{1} << (size >= kWideMinOutput ? kWideWindow : kNarrowWindow));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (size == 0) return true;

    const uint8_t* stream = block.data() + headerLen;
    const size_t streamLen = block.size() - headerLen;
    const SingleTable single = buildSingleTable(block.data() + 5, n);

    bool identity = true;
    for (unsigned w = 0; w < 256 && identity; ++w) identity = single[w] == (w | 8u << 8);
    if (identity) {
        // Every 8 bits decode to themselves: the stream is the output, and
        // missing bytes are 0.
        size_t copied = std::min<uint64_t>(size, streamLen);
        std::memcpy(out.data(), stream, copied);
        std::memset(out.data() + copied, 0, size - copied);
        return true;
    }

    if (size >= kWideMinOutput) return decodeStream<kWideWindow>(single, bulk, stream, streamLen, out);
    return decodeStream<kNarrowWindow>(single, bulk, stream, streamLen, out);
}

std::optional<std::vector<uint8_t>> decodeBlock(std::span<const uint8_t> block) {
    std::vector<uint8_t> out;
    if (!decodeBlockInto(block, out)) return std::nullopt;
    return out;
}

}  // namespace pelko
