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

// Bits of stream looked up at once by the bulk decoder, and the most codes
// one lookup may yield. 2^kWindow 8-byte entries stay within L1.
constexpr unsigned kWindow = 12;
constexpr unsigned kMaxPerLookup = 6;
// Below this many output bytes the bulk table costs more than it saves.
constexpr uint64_t kBulkMinOutput = 8192;

constexpr uint64_t kFailFlag = 0x40;

inline uint64_t loadBigEndian64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

inline void storeLittleEndian64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

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

// Bulk table entry for a kWindow-bit window: the bits taken (low 6 bits, or
// kFailFlag when the first 8 bits match nothing), up to kMaxPerLookup byte
// values in bytes 1..6 and their number in byte 7. It holds every whole code
// in the window: a code's choice depends only on its own bits, so a code that
// ends inside the window is decoded right whatever follows.
void buildBulkTable(const SingleTable& single, uint64_t* table) {
    constexpr unsigned kMask = (1u << kWindow) - 1;
    for (unsigned w = 0; w <= kMask; ++w) {
        uint64_t e = 0;
        unsigned pos = 0, count = 0;
        while (count < kMaxPerLookup && pos < kWindow) {
            unsigned next8 = ((w << pos) & kMask) >> (kWindow - 8);
            unsigned s = single[next8];
            unsigned len = s >> 8;
            if (len == 0) {
                if (count == 0) e = kFailFlag;
                break;
            }
            if (len > kWindow - pos) break;
            e |= uint64_t{s & 0xff} << (8 * (1 + count));
            ++count;
            pos += len;
        }
        table[w] = e | pos | uint64_t{count} << 56;
    }
}

// MSB-first bit reader that refills without branches: after a refill `buf`
// holds at least 56 valid bits at its top. It reads 8 bytes at `p`.
struct Reader {
    const uint8_t* p;
    uint64_t buf = 0;
    unsigned cnt = 0;

    void refill() {
        buf |= loadBigEndian64(p) >> cnt;
        p += (63 - cnt) >> 3;
        cnt |= 56;
    }
    void skip(unsigned n) {
        buf <<= n;
        cnt -= n;
    }
};

}  // namespace

std::optional<std::vector<uint8_t>> decodeBlock(std::span<const uint8_t> block) {
    if (block.size() < 5) return std::nullopt;
    const unsigned n = block[0] ? block[0] : 256;
    const size_t headerLen = 5 + 3 * size_t{n};
    if (block.size() < headerLen) return std::nullopt;
    const uint64_t size = uint64_t{block[1]} | uint64_t{block[2]} << 8 | uint64_t{block[3]} << 16 |
                          uint64_t{block[4]} << 24;

    std::vector<uint8_t> out;
    std::vector<uint64_t> bulk;
    try {
        out.resize(size);
        if (size >= kBulkMinOutput) bulk.resize(size_t{1} << kWindow);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    if (size == 0) return out;

    const uint8_t* stream = block.data() + headerLen;
    const size_t streamLen = block.size() - headerLen;
    const SingleTable single = buildSingleTable(block.data() + 5, n);

    bool identity = true;
    for (unsigned w = 0; w < 256 && identity; ++w) identity = single[w] == (w | 8u << 8);
    if (identity) {
        // Every 8 bits decode to themselves: the stream is the output, and
        // missing bytes are 0 as `out` already holds.
        std::memcpy(out.data(), stream, std::min<uint64_t>(size, streamLen));
        return out;
    }

    if (!bulk.empty()) buildBulkTable(single, bulk.data());
    uint8_t* o = out.data();
    uint8_t* const oEnd = o + size;
    Reader r{stream};
    uint64_t flags = 0;

    // Reading straight from the block while 8 bytes remain at the refill.
    if (streamLen >= 8) {
        const uint8_t* const pLast = stream + streamLen - 8;
        if (!bulk.empty()) {
            const uint64_t* t = bulk.data();
            while (oEnd - o >= 32 && r.p <= pLast) {
                r.refill();
                // Four windows of at most 12 bits fit the 56 refilled bits;
                // four lookups write at most 18 + 8 bytes.
#pragma GCC unroll 4
                for (int k = 0; k < 4; ++k) {
                    uint64_t e = t[r.buf >> (64 - kWindow)];
                    storeLittleEndian64(o, e >> 8);
                    o += e >> 56;
                    r.skip(e & 63);
                    flags |= e;
                }
                if (flags & kFailFlag) return std::nullopt;
            }
        } else {
            while (oEnd - o >= 7 && r.p <= pLast) {
                r.refill();
#pragma GCC unroll 7
                for (int k = 0; k < 7; ++k) {
                    unsigned s = single[r.buf >> 56];
                    if ((s >> 8) == 0) return std::nullopt;
                    *o++ = static_cast<uint8_t>(s);
                    r.skip(s >> 8);
                }
            }
        }
    }

    // The rest reads from a copy of the stream's last bytes followed by
    // zeros, standing for the zero bits past the block's end. What is left
    // here needs at most 32 more bytes of stream, or the stream has fewer
    // than 16 bytes left; once the reader is past the copied bytes it only
    // ever sees zeros, so it is held in place there.
    const size_t consumed = static_cast<size_t>(r.p - stream) * 8 - r.cnt;
    const size_t at = consumed / 8;
    uint8_t pad[64] = {};
    constexpr size_t kCopied = 40, kHold = 48;
    if (at < streamLen) std::memcpy(pad, stream + at, std::min(streamLen - at, kCopied));
    Reader t{pad};
    t.refill();
    t.skip(consumed % 8);
    auto refillPadded = [&t, &pad] {
        t.refill();
        if (t.p > pad + kHold) t.p = pad + kHold;
    };
    if (!bulk.empty()) {
        const uint64_t* bt = bulk.data();
        while (oEnd - o >= 32) {
            refillPadded();
#pragma GCC unroll 4
            for (int k = 0; k < 4; ++k) {
                uint64_t e = bt[t.buf >> (64 - kWindow)];
                storeLittleEndian64(o, e >> 8);
                o += e >> 56;
                t.skip(e & 63);
                flags |= e;
            }
            if (flags & kFailFlag) return std::nullopt;
        }
    }
    while (o < oEnd) {
        refillPadded();
        unsigned s = single[t.buf >> 56];
        if ((s >> 8) == 0) return std::nullopt;
        *o++ = static_cast<uint8_t>(s);
        t.skip(s >> 8);
    }
    return out;
}

}  // namespace pelko
