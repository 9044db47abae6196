// Huffman block decoder: lookup tables built from a block's header, the
// serial stream decoder, the interleaved multi-chunk decoder for complete
// prefix codes, the whole-block decode, and the decode of a large block a
// stretch at a time on any number of threads.
//
// A code is found by trying lengths 1..8 in turn and taking, at the first
// length with a match, the first header entry of that length whose bits match
// the stream. Which entry that is depends only on the next 8 stream bits, so
// a 256-entry table made by applying that rule to every 8-bit value decodes
// any header the same way, however damaged: repeated values, codes that are
// not prefix-free, lengths that can never match.
#include <algorithm>
#include <atomic>
#include <cassert>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>

#include "codec/byte_order.h"
#include "codec/huffman_detail.h"

namespace pelko {

using detail::StreamDecoder;

namespace {

// Bits of stream looked up at once by the bulk decoder: a wide window yields
// more codes per lookup but its table costs more to build and falls out of
// L1, so large outputs take the wide one. Small outputs take the small one:
// for a file of a few kilobytes, building a 4096-entry table costs more than
// it saves (counted over a tree of C headers). The most codes one lookup may
// yield fill the 4 value bytes of an entry.
constexpr unsigned kSmallWindow = 10, kNarrowWindow = 12, kWideWindow = 16;
constexpr uint64_t kNarrowMinOutput = uint64_t{1} << 16, kWideMinOutput = uint64_t{1} << 22;
constexpr unsigned kMaxPerLookup = 4;
// A window holds at least one whole code, and its length fits the entry's
// byte for the bits taken.
static_assert(kSmallWindow >= 8 && kSmallWindow <= kNarrowWindow && kNarrowWindow <= kWideWindow &&
              kWideWindow < 256);
// Below this many output bytes the bulk table costs more than it saves.
constexpr uint64_t kBulkMinOutput = 6144;

// Single-code table entry: byte value in the low byte, code length above it;
// a length of 0 means no header entry matches these 8 bits.
void buildSingleTable(const uint8_t* entries, unsigned n, uint16_t* table) {
    // Each entry fills the windows its bits begin, the longest codes first
    // and, within a length, the last entries first: the shortest length, and
    // within it the first entry with those bits, is written last and holds.
    // Small blocks build one table each, so this is done without a pass
    // over every length for every window.
    unsigned count[9] = {};
    for (unsigned j = 0; j < n; ++j) {
        const unsigned len = entries[3 * j + 2];
        if (len >= 1 && len <= 8) ++count[len];
    }
    // Where each length's entries go in `order`: length 8 first.
    unsigned at[9] = {};
    for (unsigned len = 7; len >= 1; --len) at[len] = at[len + 1] + count[len + 1];
    const unsigned total = at[1] + count[1];
    uint8_t order[256];
    for (unsigned j = n; j-- > 0;) {
        const unsigned len = entries[3 * j + 2];
        if (len >= 1 && len <= 8) order[at[len]++] = static_cast<uint8_t>(j);
    }
    std::fill(table, table + 256, uint16_t{0});
    for (unsigned k = 0; k < total; ++k) {
        const unsigned j = order[k], len = entries[3 * j + 2], span = 1u << (8 - len);
        const unsigned from = (entries[3 * j + 1] >> (8 - len)) * span;
        const uint16_t value = static_cast<uint16_t>(entries[3 * j] | len << 8);
        std::fill(table + from, table + from + span, value);
    }
}

// Bulk table entry for a window of stream bits, 8 bytes: up to kMaxPerLookup
// byte values in bytes 0-3, the bits taken in byte 4, the number of codes in
// byte 5. An entry without codes means the first 8 bits match nothing. The
// entry holds every whole code in the window: a code's choice depends only on
// its own bits, so a code that ends inside the window is decoded right
// whatever follows. Each field has a byte of its own so that the decoders
// read it with a plain byte load instead of shifting and masking a packed
// word: on the interleaved path the instruction count, not the table's
// cache footprint, sets the pace.
constexpr unsigned kEntryBits = 4, kEntryCount = 5;
static_assert(kMaxPerLookup <= kEntryBits, "the codes of a lookup must fit the value bytes");
static_assert(kEntryCount < sizeof(uint64_t), "an entry's fields must fit its 8 bytes");

inline const uint8_t* entryAt(const uint64_t* table, size_t i) {
    return reinterpret_cast<const uint8_t*>(table + i);
}

void buildBulkTable(const uint16_t* single, unsigned window, uint64_t* table) {
    const unsigned mask = (1u << window) - 1;
    for (unsigned w = 0; w <= mask; ++w) {
        uint8_t e[8] = {};
        unsigned pos = 0, count = 0;
        while (count < kMaxPerLookup && pos < window) {
            unsigned next8 = ((w << pos) & mask) >> (window - 8);
            unsigned s = single[next8];
            unsigned len = s >> 8;
            if (len == 0 || len > window - pos) break;
            e[count++] = static_cast<uint8_t>(s);
            pos += len;
        }
        e[kEntryBits] = static_cast<uint8_t>(pos);
        e[kEntryCount] = static_cast<uint8_t>(count);
        std::memcpy(table + w, e, 8);
    }
}

// Stores an entry's 4 value bytes at `o`, of which the caller keeps its count.
inline void storeValues(uint8_t* o, const uint8_t* e) {
    std::memcpy(o, e, kMaxPerLookup);
}

// Stream bytes as the decoder reads them: 8 bytes at a byte index.
struct Direct {
    const uint8_t* base;
    uint64_t load(size_t i) const { return loadBE64(base + i); }
};
// A copy of the stream's last bytes followed by zeros, which stand for the
// zero bits past the block's end. Past the copied bytes every read sees only
// zeros, so reads are held in place there.
struct Padded {
    static constexpr size_t kCopied = 40, kHold = 48;
    uint8_t bytes[kHold + 16] = {};
    static_assert(kHold >= kCopied && kHold + 8 <= sizeof bytes,
                  "a held read must see only zeros inside the buffer");
    uint64_t load(size_t i) const { return loadBE64(bytes + std::min(i, kHold)); }
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
bool bulkDecode(const Source& src, const uint64_t* table, uint64_t& pos, uint8_t*& out,
                uint8_t* outEnd, More more) {
    constexpr unsigned kLookups = 56 / kWindow - 1;
    static_assert(kLookups >= 1 && (kLookups + 1) * kWindow <= 56,
                  "the windows between refills must fit the bits a refill guarantees");
    static_assert(kLookups * kMaxPerLookup <= 16, "an iteration must fit 16 output bytes");
    size_t p = pos >> 3;
    uint64_t buf = 0;
    unsigned cnt = 0;
    auto refill = [&] {
        buf |= src.load(p) >> cnt;
        p += (63 - cnt) >> 3;
        cnt |= 56;
    };
    auto lookup = [&](uint8_t* o, size_t i) {
        const uint8_t* e = entryAt(table, i);
        storeValues(o, e);
        buf <<= e[kEntryBits];
        cnt -= e[kEntryBits];
        return o + e[kEntryCount];
    };
    if (outEnd - out < 16 || !more(p)) return true;
    refill();
    buf <<= pos & 7;
    cnt -= pos & 7;
    uint8_t* o = out;
    while (outEnd - o >= 16 && more(p)) {
        uint8_t* const before = o;
#pragma GCC unroll 4
        for (unsigned k = 0; k + 1 < kLookups; ++k) o = lookup(o, buf >> (64 - kWindow));
        const size_t last = buf >> (64 - kWindow);
        refill();
        o = lookup(o, last);
        // A failed lookup takes no bits, so every later one fails too and an
        // iteration at the latest one later makes no progress.
        if (o == before) return false;
    }
    pos = 8 * uint64_t{p} - cnt;
    out = o;
    return true;
}

// One code at a time from bit `pos` until `outEnd` or until `more` fails for
// the byte index of the next load.
template <typename Source, typename More>
bool singleDecode(const Source& src, const uint16_t* single, uint64_t& pos, uint8_t*& out,
                  uint8_t* outEnd, More more) {
    for (; out < outEnd && more(pos >> 3); ++out) {
        unsigned s = single[src.load(pos >> 3) << (pos & 7) >> 56];
        if ((s >> 8) == 0) return false;
        *out = static_cast<uint8_t>(s);
        pos += s >> 8;
    }
    return true;
}

// The serial decoder: [out, outEnd) from bit `pos` of `in`, bits past its end
// reading as 0.
template <unsigned kWindow>
bool serialDecode(const StreamDecoder& dec, std::span<const uint8_t> in, uint64_t& pos, uint8_t* o,
                  uint8_t* const oEnd) {
    const uint64_t* bulk = dec.bulk.empty() ? nullptr : dec.bulk.data();
    const uint16_t* single = dec.single.data();
    // Straight from `in` while every load stays inside it.
    const Direct direct{in.data()};
    const size_t len = in.size();
    auto inside = [=](size_t p) { return p + 8 <= len; };
    if (bulk && !bulkDecode<kWindow>(direct, bulk, pos, o, oEnd, inside)) return false;
    if (!singleDecode(direct, single, pos, o, oEnd, inside)) return false;
    if (o == oEnd) return true;

    // The rest needs at most 16 more stream bytes, or fewer than 16 remain.
    Padded padded;
    const size_t at = pos >> 3;
    if (at < len) std::memcpy(padded.bytes, in.data() + at, std::min(len - at, Padded::kCopied));
    uint64_t local = pos & 7;
    auto always = [](size_t) { return true; };
    bool ok = !bulk || bulkDecode<kWindow>(padded, bulk, local, o, oEnd, always);
    ok = ok && singleDecode(padded, single, local, o, oEnd, always);
    // Past the copied bytes reads are held, so the position there is only
    // known to lie past the end of `in`, where every bit is 0 anyway.
    pos = std::min<uint64_t>(8 * uint64_t{at} + local, 8 * uint64_t{len});
    return ok;
}

// ---- Interleaved decoding of a complete prefix code ------------------------
//
// The stream is cut into kChunks chunks. The first is decoded from the true
// position; each later one from its cut, a guess that is most likely not a
// code boundary. Where a guessed decode goes wrong it still passes through
// code boundaries soon, since any bit string parses into codes of a complete
// prefix code: once it lands on one that the true decode also reaches, the
// two agree from there on. So the true decode of the chunk before is carried
// past the cut, one code at a time, until it lands on a position the guessed
// decode recorded; the guessed output from there on is the true one. When
// they do not meet within the recorded codes, the true decode goes on through
// that chunk serially.
// Several independent chains of lookups keep the processor busy where one
// chain waits on each lookup's latency.

constexpr unsigned kChunks = 6;
constexpr size_t kChunkBytes = size_t{32} << 10;
constexpr unsigned kRecorded = 64;  // code boundaries kept per guessed chunk
// Pieces smaller than this are decoded serially, and so are chunks shorter
// than this many bits, as recording a chunk's first codes and meeting them
// costs about as much as decoding a short chunk.
constexpr uint64_t kParallelMinOutput = uint64_t{64} << 10;
constexpr uint64_t kMinChunkBits = uint64_t{4} << 10;
constexpr uint64_t kRoundMinOutput = uint64_t{8} << 10;

// The single-code table entry for the code at bit `at`, read straight from
// the stream.
inline unsigned codeAt(const uint8_t* base, const uint16_t* single, uint64_t at) {
    return single[loadBE64(base + (at >> 3)) << (at & 7) >> 56];
}

// Decodes up to kRecorded codes from bit `at`, before `end`, one at a time
// into `out`, keeping in `marks` where each starts and where the last ends;
// moves `at` past them and returns the marks kept.
unsigned recordCodes(const uint8_t* base, const uint16_t* single, uint64_t& at, uint64_t end,
                     uint8_t* out, uint64_t* marks) {
    unsigned m = 0;
    for (; m < kRecorded && at < end; ++m) {
        marks[m] = at;
        const unsigned s = codeAt(base, single, at);
        out[m] = static_cast<uint8_t>(s);
        at += s >> 8;
    }
    marks[m] = at;
    return m + 1;
}

struct Chunk {
    uint64_t pos, end;  // bit positions in the stream
    uint8_t* o;
    uint8_t* oEnd;
};

// Decodes one chunk until its position reaches its end or its output is full.
template <unsigned kWindow>
void chunkDecode(const uint8_t* base, const uint64_t* table, const uint16_t* single, Chunk& c) {
    uint64_t pos = c.pos;
    uint8_t* o = c.o;
    while (pos < c.end && c.oEnd - o >= 4) {
        const uint8_t* e =
            entryAt(table, loadBE64(base + (pos >> 3)) << (pos & 7) >> (64 - kWindow));
        storeValues(o, e);
        o += e[kEntryCount];
        pos += e[kEntryBits];
    }
    // The last few output bytes one code at a time; a complete code always
    // matches.
    for (; pos < c.end && o < c.oEnd; ++o) {
        unsigned s = codeAt(base, single, pos);
        *o = static_cast<uint8_t>(s);
        pos += s >> 8;
    }
    c.pos = pos;
    c.o = o;
}

// Decodes every chunk until its position reaches its end or its output is
// full: bulk lookups on all chunks in turn while each can take a batch more
// without passing its end or overrunning its output, then each alone. Every
// load is at a position below its chunk's end, which the caller keeps at
// least 8 bytes before the end of the stream.
template <unsigned kWindow>
void interleavedDecode(const uint8_t* base, const uint64_t* table, const uint16_t* single,
                       Chunk* c) {
    uint64_t pos[kChunks];
    uint8_t* o[kChunks];
#pragma GCC unroll 8
    for (unsigned k = 0; k < kChunks; ++k) pos[k] = c[k].pos, o[k] = c[k].o;
    // One load of stream bits serves kPerLoad lookups: after the shift it
    // holds at least 57 valid bits, and each lookup takes at most kWindow.
    // Only the load depends on the position, so the lookups in between do
    // without the address arithmetic, the byte swap and the variable shift
    // that a fresh load costs.
    constexpr unsigned kPerLoad = 57 / kWindow;
    static_assert(kPerLoad >= 1 && kPerLoad * kWindow <= 57,
                  "the lookups of one load must fit the bits it guarantees");
    auto step = [&](unsigned k) {
        uint64_t w = loadBE64(base + (pos[k] >> 3)) << (pos[k] & 7);
#pragma GCC unroll 8
        for (unsigned i = 0; i < kPerLoad; ++i) {
            const uint8_t* e = entryAt(table, w >> (64 - kWindow));
            storeValues(o[k], e);
            o[k] += e[kEntryCount];
            w <<= e[kEntryBits];
            pos[k] += e[kEntryBits];
        }
    };
    for (;;) {
        // A step takes at most kPerLoad * kWindow bits and makes kPerLoad
        // lookups, each writing 4 bytes of which it keeps at most
        // kMaxPerLookup.
        uint64_t steps = UINT64_MAX;
#pragma GCC unroll 8
        for (unsigned k = 0; k < kChunks; ++k) {
            const uint64_t room = static_cast<uint64_t>(c[k].oEnd - o[k]);
            const uint64_t bySize = room >= 4 ? room / (4 * kPerLoad) : 0;
            const uint64_t byBits =
                pos[k] < c[k].end ? (c[k].end - pos[k]) / (kPerLoad * kWindow) : 0;
            steps = std::min(steps, std::min(bySize, byBits));
        }
        if (steps < 16) break;
        for (uint64_t s = 0; s < steps; ++s) {
#pragma GCC unroll 8
            for (unsigned k = 0; k < kChunks; ++k) step(k);
        }
    }
    for (unsigned k = 0; k < kChunks; ++k) {
        c[k].pos = pos[k];
        c[k].o = o[k];
        chunkDecode<kWindow>(base, table, single, c[k]);
    }
}

// Decodes from bit `pos` into [o, oEnd) in rounds while the output and the
// stream hold a whole round, advancing `pos` and `o` past the true decode;
// the caller decodes what is left serially. A round is kChunks chunks;
// `scratch` holds kChunks - 1 areas of `cap` bytes.
template <unsigned kWindow>
void roundsDecode(const StreamDecoder& dec, std::span<const uint8_t> in, uint64_t& pos, uint8_t*& o,
                  uint8_t* const oEnd, uint8_t* scratch, size_t cap, uint64_t chunkBits) {
    const uint8_t* base = in.data();
    const uint16_t* single = dec.single.data();
    const uint64_t* bulk = dec.bulk.data();
    const uint64_t limit = in.size() >= 8 ? 8 * uint64_t{in.size() - 8} : 0;
    uint64_t marks[kChunks][kRecorded + 1];
    unsigned marked[kChunks];
    Chunk c[kChunks];
    // Cuts fall a whole number of the common length divisor apart, and a
    // chunk's scratch holds every code its bits can carry.
    assert(chunkBits % dec.length_gcd == 0 && cap >= chunkBits / dec.min_length);
    // A round whose output overruns the room decodes chunks for nothing, so
    // a round is cut to the room: at the stream bits per output byte that
    // the rounds before measured, or at first at the fewest bits a code
    // takes.
    uint64_t roundBits = 0, roundBytes = 0;
    while (static_cast<uint64_t>(oEnd - o) >= kRoundMinOutput &&
           pos + kChunks * kMinChunkBits <= limit) {
        const uint64_t room = static_cast<uint64_t>(oEnd - o);
        const uint64_t fits = roundBytes
                                  ? static_cast<uint64_t>(static_cast<double>(room) * 15 / 16 *
                                                          static_cast<double>(roundBits) /
                                                          static_cast<double>(roundBytes))
                                  : room * dec.min_length;
        const uint64_t bits = std::min({chunkBits, fits / kChunks, (limit - pos) / kChunks}) /
                              dec.length_gcd * dec.length_gcd;
        if (bits < kMinChunkBits) break;
        const uint64_t roundPos = pos;
        const uint8_t* const roundOut = o;
        c[0] = {pos, pos + bits, o, oEnd};
        for (unsigned k = 1; k < kChunks; ++k) {
            uint64_t at = pos + k * bits;
            const uint64_t end = at + bits;
            uint8_t* so = scratch + (k - 1) * cap;
            marked[k] = recordCodes(base, single, at, end, so, marks[k]);
            c[k] = {at, end, so + marked[k] - 1, so + cap};
        }
        interleavedDecode<kWindow>(base, bulk, single, c);

        // Stitch the chunks onto the true decode in order.
        uint64_t t = c[0].pos;
        o = c[0].o;
        if (o == oEnd) {
            pos = t;
            return;
        }
        for (unsigned k = 1; k < kChunks; ++k) {
            unsigned j = 0;
            while (j < marked[k] && t != marks[k][j]) {
                if (t > marks[k][j]) {
                    ++j;
                    continue;
                }
                unsigned s = codeAt(base, single, t);
                *o++ = static_cast<uint8_t>(s);
                t += s >> 8;
                if (o == oEnd) {
                    pos = t;
                    return;
                }
            }
            if (j == marked[k]) {
                // No meeting, as in a long run of one code whose guessed
                // decode is out of step: the true decode goes on through
                // this chunk alone, and the next chunk is tried as usual.
                Chunk serial{t, c[k].end, o, oEnd};
                chunkDecode<kWindow>(base, bulk, single, serial);
                t = serial.pos;
                o = serial.o;
                if (o == oEnd) {
                    pos = t;
                    return;
                }
                continue;
            }
            const uint8_t* from = scratch + (k - 1) * cap + j;
            const size_t have = static_cast<size_t>(c[k].o - from);
            const size_t take = std::min(have, static_cast<size_t>(oEnd - o));
            std::memcpy(o, from, take);
            o += take;
            if (take < have) {
                // The output ends inside this chunk: find where by the
                // lengths of the codes taken.
                t = marks[k][j];
                for (size_t i = 0; i < take; ++i) t += dec.lengths[from[i]];
                pos = t;
                return;
            }
            t = c[k].pos;
            if (t < c[k].end) break;  // its scratch ran full: a new round from here
        }
        pos = t;
        roundBits += pos - roundPos;
        roundBytes += static_cast<uint64_t>(o - roundOut);
    }
}

// ---- Stretches guessed apart --------------------------------------------
//
// A stretch of the stream is decoded from guessed starts without waiting for
// the stretches before it (guessStretch), as kChunks parts, each started at a
// guess and recorded for its first codes, and joined onto the true decode
// later, once that decode's position at the stretch is known (joinStretch).
// For a complete prefix code with a bulk table only.
constexpr unsigned kStretchParts = kChunks, kStretchMarks = kRecorded;
// Bytes of the stream that a stretch's copy holds past its end, for the
// guessed decode of its last codes to read.
constexpr size_t kStretchTail = 32;
struct StretchPart {
    uint64_t end = 0;         // bit where the part's decode stops
    uint64_t pos = 0;         // bit where it stopped, at or past `end`
    uint8_t* room = nullptr;  // its share of the scratch
    uint8_t* roomEnd = nullptr;
    uint8_t* out = nullptr;  // its guessed output, kStretchBridge bytes into its room
    uint8_t* outEnd = nullptr;
    uint64_t marks[kStretchMarks + 1];  // where its first codes start
    unsigned marked = 0;
};
// Room before a part's guessed output for the codes that carry the true
// decode from the part's start to where it meets the guess, which lies
// within the recorded codes: at most a code per bit of them.
constexpr size_t kStretchBridge = 8 * kStretchMarks + 8;
struct StretchGuess {
    uint64_t base = 0;  // the stream bit of the stretch's first byte
    StretchPart parts[kStretchParts];
};

// A stretch's parts: where each starts, rounded up to a whole number of
// the codes' common length divisor from the stream's start (a guess must
// fall where a code may start), and the scratch each takes: the bridge,
// then a code per bit at most, the last code past the part's end, and the
// 4 bytes a lookup stores.
uint64_t partStart(const StreamDecoder& dec, uint64_t base, uint64_t bits, unsigned k) {
    const uint64_t at = base + bits * k / kStretchParts, gcd = dec.length_gcd;
    return (at + gcd - 1) / gcd * gcd;
}
size_t partRoom(size_t bytes, unsigned minLength) {
    return kStretchBridge + (8 * bytes / kStretchParts + 16) / minLength + 32;
}

template <unsigned kWindow>
void guessParts(const StreamDecoder& dec, std::span<const uint8_t> in, uint64_t base, size_t bytes,
                uint8_t* scratch, StretchGuess& g) {
    const uint8_t* b = in.data();
    const uint16_t* single = dec.single.data();
    const uint64_t bits = 8 * uint64_t{bytes};
    const size_t room = partRoom(bytes, dec.min_length);
    g.base = base;
    Chunk c[kChunks];
    // Positions relative to the stretch's first byte.
    for (unsigned k = 0; k < kChunks; ++k) {
        StretchPart& part = g.parts[k];
        uint64_t at = partStart(dec, base, bits, k) - base;
        part.end = partStart(dec, base, bits, k + 1) - base;
        part.room = scratch + k * room;
        part.roomEnd = part.room + room;
        part.out = part.room + kStretchBridge;
        part.marked = recordCodes(b, single, at, part.end, part.out, part.marks);
        c[k] = {at, part.end, part.out + part.marked - 1, part.roomEnd};
    }
    interleavedDecode<kWindow>(b, dec.bulk.data(), single, c);
    for (unsigned k = 0; k < kChunks; ++k) {
        g.parts[k].pos = c[k].pos;
        g.parts[k].outEnd = c[k].o;
    }
}

// The true decode carried from `pos` through each part until it lands where
// the part's guessed decode started a code; from there on the guess is the
// true output, and the codes before it go in front of it. A part where they
// never meet is decoded from the true position alone, over its guess.
template <unsigned kWindow>
size_t joinParts(const StreamDecoder& dec, std::span<const uint8_t> in, StretchGuess& g,
                 uint64_t& pos, size_t limit, std::span<const uint8_t>* runs, unsigned& count) {
    const uint8_t* b = in.data();
    const uint16_t* single = dec.single.data();
    size_t made = 0;
    count = 0;
    uint64_t t = pos - g.base;
    for (StretchPart& part : g.parts) {
        if (made == limit) break;
        // The bridge's codes go at the room's start for now.
        uint8_t* o = part.room;
        uint8_t* const oEnd = part.room + std::min<size_t>(kStretchBridge, limit - made);
        unsigned j = 0;
        while (j < part.marked && t != part.marks[j] && o < oEnd) {
            if (t > part.marks[j]) {
                ++j;
                continue;
            }
            unsigned v = codeAt(b, single, t);
            *o++ = static_cast<uint8_t>(v);
            t += v >> 8;
        }
        const size_t bridge = size_t(o - part.room);
        if (j == part.marked || t != part.marks[j]) {
            // No meeting, or the limit met within the bridge: the true
            // decode goes on from here alone.
            const size_t room = size_t(part.roomEnd - part.room);
            Chunk serial{t, part.end, o, part.room + std::min(room, limit - made)};
            if (made + bridge < limit) chunkDecode<kWindow>(b, dec.bulk.data(), single, serial);
            t = serial.pos;
            runs[count++] = {part.room, size_t(serial.o - part.room)};
            made += size_t(serial.o - part.room);
            continue;
        }
        uint8_t* from = part.out + j;
        const size_t have = size_t(part.outEnd - from);
        const size_t take = std::min(have, limit - made - bridge);
        std::memmove(from - bridge, part.room, bridge);
        runs[count++] = {from - bridge, bridge + take};
        made += bridge + take;
        if (take < have) {
            t = part.marks[j];
            for (size_t i = 0; i < take; ++i) t += dec.lengths[from[i]];
            break;
        }
        t = part.pos;
    }
    pos = g.base + t;
    return made;
}

// Copies out.size() bytes from bit `pos` on, for the header whose every code
// is its own value.
void copyStream(std::span<const uint8_t> in, uint64_t pos, std::span<uint8_t> out) {
    const size_t at = pos >> 3, len = in.size();
    const unsigned shift = pos & 7;
    size_t i = 0;
    if (shift == 0) {
        i = at < len ? std::min(out.size(), len - at) : 0;
        if (i) std::memcpy(out.data(), in.data() + at, i);
    } else {
        for (; i < out.size() && at + i + 1 < len; ++i)
            out[i] = static_cast<uint8_t>(in[at + i] << shift | in[at + i + 1] >> (8 - shift));
        if (i < out.size() && at + i < len) {
            out[i] = static_cast<uint8_t>(in[at + i] << shift);
            ++i;
        }
    }
    std::fill(out.begin() + i, out.end(), uint8_t{0});
}

// Decodes out.size() bytes from bit `pos`, bits past the end of `in` reading
// as 0: with `rounds`, a large piece of a complete code in rounds of
// interleaved chunks first.
template <unsigned kWindow>
bool decodePiece(const StreamDecoder& dec, std::span<const uint8_t> in, uint64_t& pos,
                 std::span<uint8_t> out, bool rounds) {
    uint8_t* o = out.data();
    uint8_t* const oEnd = o + out.size();
    if (rounds && dec.complete && !dec.bulk.empty() && out.size() >= kParallelMinOutput) {
        // Cuts a whole number of the codes' common length divisor apart, so
        // that codes of one length (or of multiples of one) can meet.
        const uint64_t chunkBits = 8 * kChunkBytes / dec.length_gcd * dec.length_gcd;
        const size_t cap = chunkBits / dec.min_length + 16;
        std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[(kChunks - 1) * cap]);
        // Without the scratch memory the serial decoder does it all.
        if (scratch) roundsDecode<kWindow>(dec, in, pos, o, oEnd, scratch.get(), cap, chunkBits);
    }
    return serialDecode<kWindow>(dec, in, pos, o, oEnd);
}

bool decodeAt(const StreamDecoder& dec, std::span<const uint8_t> in, uint64_t& pos,
              std::span<uint8_t> out, bool rounds) {
    if (dec.identity) {
        copyStream(in, pos, out);
        pos += 8 * uint64_t{out.size()};
        return true;
    }
    if (dec.window == kWideWindow) return decodePiece<kWideWindow>(dec, in, pos, out, rounds);
    if (dec.window == kSmallWindow) return decodePiece<kSmallWindow>(dec, in, pos, out, rounds);
    return decodePiece<kNarrowWindow>(dec, in, pos, out, rounds);
}

// The scratch a stretch of `bytes` bytes takes for its guessed output, for a
// code whose shortest length is `minLength`, 1 for any code; a stretch's
// true output is never longer.
size_t stretchRoom(size_t bytes, unsigned minLength) {
    return kStretchParts * partRoom(bytes, std::clamp(minLength, 1u, 8u));
}

// Guesses the output of the stretch of `bytes` bytes from stream bit `base`
// (a multiple of 8): `in` holds them and kStretchTail more, `scratch` at
// least stretchRoom bytes for the code, which `guess` then refers to.
void guessStretch(const StreamDecoder& dec, std::span<const uint8_t> in, uint64_t base,
                  size_t bytes, std::span<uint8_t> scratch, StretchGuess& guess) {
    assert(dec.complete && !dec.bulk.empty() && in.size() >= bytes + kStretchTail &&
           scratch.size() >= stretchRoom(bytes, dec.min_length) && base % 8 == 0);
    if (dec.window == kWideWindow)
        guessParts<kWideWindow>(dec, in, base, bytes, scratch.data(), guess);
    else if (dec.window == kSmallWindow)
        guessParts<kSmallWindow>(dec, in, base, bytes, scratch.data(), guess);
    else
        guessParts<kNarrowWindow>(dec, in, base, bytes, scratch.data(), guess);
}

// The true output of a guessed stretch, up to `limit` bytes, from stream bit
// `pos`, where the true decode stands; `in` as for guessStretch. The output
// is left in the guess's scratch, without a copy, as `count` runs of bytes in
// `runs`, which has room for kStretchParts (one per part at most). Returns
// the bytes made and sets `pos` to where the true decode stops: at or past
// the stretch's end unless `limit` was met.
size_t joinStretch(const StreamDecoder& dec, std::span<const uint8_t> in, StretchGuess& guess,
                   uint64_t& pos, size_t limit, std::span<const uint8_t>* runs, unsigned& count) {
    if (dec.window == kWideWindow)
        return joinParts<kWideWindow>(dec, in, guess, pos, limit, runs, count);
    if (dec.window == kSmallWindow)
        return joinParts<kSmallWindow>(dec, in, guess, pos, limit, runs, count);
    return joinParts<kNarrowWindow>(dec, in, guess, pos, limit, runs, count);
}

// The true decode of a stretch that is not guessed, from bit `pos` of `in`
// on, one lookup after another, until the codes pass bit `end` (a multiple
// of 8) or [o, oEnd) is full. Every load starts before byte end / 8, so `in`
// needs 8 bytes past it. The output's end, or null where no code matches.
template <unsigned kWindow>
uint8_t* boundedDecode(const StreamDecoder& dec, std::span<const uint8_t> in, uint64_t& pos,
                       uint64_t end, uint8_t* o, uint8_t* oEnd) {
    const Direct direct{in.data()};
    const size_t endByte = static_cast<size_t>(end / 8);
    assert(end % 8 == 0 && endByte + 8 <= in.size());
    auto before = [=](size_t p) { return p < endByte; };
    if (!dec.bulk.empty() && !bulkDecode<kWindow>(direct, dec.bulk.data(), pos, o, oEnd, before))
        return nullptr;
    if (!singleDecode(direct, dec.single.data(), pos, o, oEnd, before)) return nullptr;
    return o;
}

uint8_t* boundedDecodeAt(const StreamDecoder& dec, std::span<const uint8_t> in, uint64_t& pos,
                         uint64_t end, uint8_t* o, uint8_t* oEnd) {
    if (dec.window == kWideWindow) return boundedDecode<kWideWindow>(dec, in, pos, end, o, oEnd);
    if (dec.window == kSmallWindow) return boundedDecode<kSmallWindow>(dec, in, pos, end, o, oEnd);
    return boundedDecode<kNarrowWindow>(dec, in, pos, end, o, oEnd);
}

}  // namespace

namespace detail {

std::optional<StreamDecoder> startStreamDecode(std::span<const uint8_t> head,
                                               uint64_t block_length) {
    if (head.size() < kBlockHeaderFixed || block_length < head.size()) return std::nullopt;
    const unsigned n = head[0] ? head[0] : 256;
    StreamDecoder dec;
    dec.header_len = blockHeaderLength(n);
    if (head.size() < dec.header_len) return std::nullopt;
    dec.size = loadLE32(head.data() + 1);
    const uint8_t* entries = head.data() + kBlockHeaderFixed;
    buildSingleTable(entries, n, dec.single.data());

    // Past the stream every bit reads as 0, which a code of zeros decodes
    // for ever: a few forged bytes could declare gigabytes. Every code takes
    // at least the shortest length, so no honest block, nor one damaged
    // only in its stream, declares more than its stream holds at that
    // length. Checked before anything is decoded or allocated for the output.
    unsigned shortest = 0;  // 0: no code matches anything
    for (uint16_t s : dec.single) {
        const unsigned len = s >> 8;
        if (len != 0 && (shortest == 0 || len < shortest)) shortest = len;
    }
    const uint64_t stream_bits = 8 * (block_length - dec.header_len);
    if (dec.size > 0 && (shortest == 0 || dec.size * shortest > stream_bits)) return std::nullopt;

    dec.identity = true;
    for (unsigned w = 0; w < 256 && dec.identity; ++w)
        dec.identity = dec.single[w] == (w | 8u << 8);

    // Complete prefix code with distinct values: every 8-bit window matches,
    // and each entry matches exactly the windows its own bits begin, so none
    // is shadowed by another.
    bool complete = true;
    unsigned owned[256] = {};
    bool seen[256] = {};
    for (unsigned j = 0; j < n && complete; ++j) {
        const unsigned v = entries[3 * j], len = entries[3 * j + 2];
        complete = !seen[v] && len >= 1 && len <= 8;
        seen[v] = true;
        dec.lengths[v] = static_cast<uint8_t>(len);
    }
    for (unsigned w = 0; w < 256 && complete; ++w) {
        complete = (dec.single[w] >> 8) != 0;
        ++owned[dec.single[w] & 0xff];
    }
    unsigned gcd = 0, minLen = 8;
    for (unsigned v = 0; v < 256 && complete; ++v) {
        if (!seen[v]) continue;
        const unsigned len = dec.lengths[v];
        complete = owned[v] == 256u >> len;
        minLen = std::min(minLen, len);
        unsigned a = gcd, b = len;
        while (b) a %= b, std::swap(a, b);
        gcd = a;
    }
    dec.complete = complete && !dec.identity;
    dec.min_length = static_cast<uint8_t>(minLen);
    dec.length_gcd = static_cast<uint8_t>(gcd ? gcd : 1);

    if (dec.size >= kBulkMinOutput && !dec.identity) {
        dec.window = dec.size >= kWideMinOutput     ? kWideWindow
                     : dec.size >= kNarrowMinOutput ? kNarrowWindow
                                                    : kSmallWindow;
        try {
            dec.bulk.resize(size_t{1} << dec.window);
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        }
        buildBulkTable(dec.single.data(), dec.window, dec.bulk.data());
    }
    return dec;
}

std::optional<size_t> decodeStreamPiece(const StreamDecoder& dec, std::span<const uint8_t> in,
                                        unsigned& bit, std::span<uint8_t> out) {
    uint64_t pos = bit & 7;
    if (out.empty()) return 0;
    if (!decodeAt(dec, in, pos, out, false)) return std::nullopt;
    // Past the end of `in` every bit is 0, so any position there will do.
    const uint64_t end = 8 * uint64_t{in.size()};
    if (pos >= end) {
        bit = 0;
        return in.size();
    }
    bit = pos & 7;
    return static_cast<size_t>(pos >> 3);
}

}  // namespace detail

bool decodeBlockInto(std::span<const uint8_t> block, std::vector<uint8_t>& out) {
    auto dec = detail::startStreamDecode(
        block.first(std::min<size_t>(block.size(), kMaxBlockHeader)), block.size());
    if (!dec) return false;
    try {
        out.resize(dec->size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint64_t pos = 0;
    return out.empty() || decodeAt(*dec, block.subspan(dec->header_len), pos, out, true);
}

std::optional<std::vector<uint8_t>> decodeBlock(std::span<const uint8_t> block) {
    std::vector<uint8_t> out;
    if (!decodeBlockInto(block, out)) return std::nullopt;
    return out;
}

// ---- A large block on 1..N threads ----------------------------------------
//
// The stream is cut into stretches of `stretch` bytes, the last one holding
// the stream's end (between kStretchTail and a stretch and a tail long).
// Each thread takes the next stretch from a shared counter, reads it with
// kStretchTail bytes more into a room of its own and, for a complete code,
// guesses its output without knowing where the true decode enters it. The
// stretches are then joined in order: the thread whose stretch is next takes
// the true position from the one before, joins its guess onto it, hands the
// position on and writes the stretch's output at its place. The others guess
// meanwhile, so N threads keep N stretches in flight and each waits asleep;
// a thread the system deschedules holds the others up only at its own
// stretch, and stretches are small so that a share is soon done. A code
// that cannot be guessed (not complete, or too short for a bulk table) is
// decoded from the true position at the stretch's turn, overlapping the
// reading and writing of the others'; stored bytes are their own output.
//
// Why the output is decodeBlock's:
// - Legal positions. Every code's length is a multiple of the lengths'
//   common divisor g, so the true decode stands only on multiples of g from
//   the stream's start, and enters a stretch at or past its first byte (the
//   stretch before stops at or past its end). Parts start at multiples of g
//   (partStart): the true position is at or past the first part's start,
//   and can equal a mark that a guessed part recorded, where the two
//   decodes agree from there on.
// - The tail. A guessed part decodes only codes that start before the part's
//   end, reading the 8 bytes from each code's byte; the last part ends at
//   the stretch's end rounded up to g, less than a byte past it. The join
//   reads the same way, and a stretch decoded without a guess loads only
//   before its end's byte (boundedDecode). No read passes byte own + 8 of
//   the copy: kStretchTail's 32 bytes hold them, and every stretch but the
//   last has them inside the stream, so only the last stretch reads past the
//   stream's end, through the decoder that reads missing bits as 0.
// - The size bound cannot cut a stretch short. A stretch's true output is
//   at most a code per shortest code length of its bits, plus the bridge
//   codes before each part's meeting and one code past its end: that is the
//   scratch (stretchRoom). So the output is cut only at the block's size,
//   which ends the decode: no later stretch is decoded, and the bytes not
//   read are the caller's to read for a check.
// - Order. Each stretch starts from the position and output count the one
//   before published, under the lock, and writes its own place in the
//   output; the bytes of the output's last page wait for the next stretch
//   so that every write but the last covers whole pages.
namespace {

constexpr size_t kPage = 4096;

// A thread's room: the stretch's copy, a page for the bytes it holds back
// for the next stretch, a page for those the stretch before held back, which
// go just before its output, and the scratch where its guess becomes its
// output in place.
size_t roomBytes(size_t stretch) {
    const size_t n = stretch + kStretchTail + 2 * kPage + stretchRoom(stretch, 1);
    return (n + 63) & ~size_t{63};
}

struct Room {
    uint8_t* in = nullptr;
    uint8_t* held = nullptr;
    std::span<uint8_t> scratch;
    StretchGuess guess;
};

// Cuts the last `rest` bytes off the first `count` of `runs`, copying them
// to `tail`; the runs left.
unsigned holdBack(std::span<const uint8_t>* runs, unsigned count, size_t rest, uint8_t* tail) {
    while (rest > 0 && count > 0) {
        std::span<const uint8_t>& r = runs[count - 1];
        const size_t take = std::min(rest, r.size());
        rest -= take;
        std::memcpy(tail + rest, r.data() + r.size() - take, take);
        r = r.first(r.size() - take);
        if (r.empty()) --count;
    }
    return count;
}

class LargeDecode {
public:
    LargeDecode(const StreamDecoder& dec, uint64_t block_length, const BlockIo& io, size_t stretch)
        : dec_(dec),
          io_(io),
          stretch_(stretch),
          streamLen_(block_length - dec.header_len),
          last_(streamLen_ >= stretch + kStretchTail
                    ? static_cast<size_t>((streamLen_ - kStretchTail) / stretch)
                    : 0),
          guessed_(dec.complete && !dec.bulk.empty()),
          stop_(dec.size == 0) {}

    size_t stretches() const { return last_ + 1; }
    bool done() const { return !failed_ && made_ == dec_.size; }

    // One thread's part: stretches until none is left or the decode ends.
    void run(Room& room) {
        for (;;) {
            const size_t i = next_.fetch_add(1, std::memory_order_relaxed);
            if (i > last_ || stop_.load(std::memory_order_acquire)) return;
            const uint64_t from = uint64_t{i} * stretch_;
            const bool last = i == last_;
            const size_t own = last ? static_cast<size_t>(streamLen_ - from) : stretch_;
            const std::span<const uint8_t> in{room.in, last ? own : own + kStretchTail};
            bool ok = io_.read(dec_.header_len + from, {room.in, in.size()}, own);
            if (ok && !last && guessed_)
                guessStretch(dec_, in, 8 * from, own, room.scratch, room.guess);
            uint64_t pos, at;
            size_t lead;  // bytes of the output's last page so far, put before this stretch's
            {
                std::unique_lock lock(m_);
                turn_.wait(lock, [&] { return stop_.load() || joined_ == i; });
                if (stop_.load()) return;
                if (!ok) return failLocked();
                pos = pos_;
                at = made_;
                lead = static_cast<size_t>(at % kPage);
                std::memcpy(room.scratch.data() - lead, page_, lead);
            }
            ok = last ? decodeLast(room, in, from, pos, at, lead)
                      : decodeStretch(room, in, i, from, pos, at, lead);
            if (!ok) return fail();
        }
    }

private:
    bool decodeStretch(Room& room, std::span<const uint8_t> in, size_t i, uint64_t from,
                       uint64_t pos, uint64_t at, size_t lead) {
        std::span<const uint8_t> runs[1 + kStretchParts];
        runs[0] = {room.scratch.data() - lead, lead};
        unsigned count = 1;
        const size_t own = in.size() - kStretchTail;
        const size_t limit =
            static_cast<size_t>(std::min<uint64_t>(room.scratch.size(), dec_.size - at));
        // Where the true decode stands in the copy, past its end when the
        // stretch before ended with a code reaching past this whole one.
        const uint64_t local = std::min<uint64_t>(pos - 8 * from, 8 * uint64_t{own});
        size_t n;
        if (dec_.identity) {
            // A byte a code, each its own value: the copy is the output.
            n = std::min(own - static_cast<size_t>(local / 8), limit);
            runs[count++] = {in.data() + local / 8, n};
            pos = 8 * from + local + 8 * uint64_t{n};
        } else if (guessed_) {
            unsigned parts = 0;
            n = joinStretch(dec_, in, room.guess, pos, limit, runs + 1, parts);
            count += parts;
        } else {
            uint64_t p = local;
            uint8_t* o = room.scratch.data();
            uint8_t* e = boundedDecodeAt(dec_, in, p, 8 * uint64_t{own}, o, o + limit);
            if (!e) return false;
            n = static_cast<size_t>(e - o);
            runs[count++] = {o, n};
            pos = 8 * from + p;
        }
        // Whole pages only, but for the output's end: the rest of the last
        // page goes with the next stretch's.
        const size_t rest = at + n == dec_.size ? 0 : static_cast<size_t>((at + n) % kPage);
        count = holdBack(runs, count, rest, room.held);
        publish(i, pos, at + n, room.held, rest);
        return io_.write(at - lead, {runs, count});
    }

    // The last stretch, from the true position to the output's end, one code
    // after another, written a scratch at a time: past the stream's end
    // every bit reads as 0, as in decodeBlock.
    bool decodeLast(Room& room, std::span<const uint8_t> in, uint64_t from, uint64_t pos,
                    uint64_t at, size_t lead) {
        const size_t skip = static_cast<size_t>(std::min<uint64_t>(pos / 8 - from, in.size()));
        std::span<const uint8_t> rest = in.subspan(skip);
        unsigned bit = skip < in.size() ? pos % 8 : 0;
        while (at < dec_.size) {
            const size_t n =
                static_cast<size_t>(std::min<uint64_t>(room.scratch.size(), dec_.size - at));
            std::optional<size_t> used =
                detail::decodeStreamPiece(dec_, rest, bit, room.scratch.first(n));
            if (!used) return false;
            const std::span<const uint8_t> run{room.scratch.data() - lead, lead + n};
            if (!io_.write(at - lead, {&run, 1})) return false;
            rest = rest.subspan(*used);
            at += n;
            lead = 0;
        }
        publish(last_, pos, at, nullptr, 0);
        return true;
    }

    // Makes stretch `i` joined, with the bytes of the output's last page
    // that are not written yet.
    void publish(size_t i, uint64_t pos, uint64_t made, const uint8_t* rest, size_t restLen) {
        std::lock_guard lock(m_);
        joined_ = i + 1;
        pos_ = pos;
        made_ = made;
        if (restLen) std::memcpy(page_, rest, restLen);
        if (made_ == dec_.size) stop_.store(true);
        turn_.notify_all();
    }
    void fail() {
        std::lock_guard lock(m_);
        failLocked();
    }
    void failLocked() {
        failed_ = true;
        stop_.store(true);
        turn_.notify_all();
    }

    const StreamDecoder& dec_;
    const BlockIo& io_;
    const size_t stretch_;
    const uint64_t streamLen_;
    const size_t last_;   // the last stretch's index
    const bool guessed_;  // stretches are guessed apart and joined
    std::atomic<size_t> next_{0};
    // Set once the output is made or a stretch failed: no stretch is taken
    // after it, and none waits for its turn.
    std::atomic<bool> stop_;
    std::mutex m_;
    std::condition_variable turn_;
    // Guarded by `m_`: the stretches joined, where the true decode stands
    // after them and the output it made, the bytes of the output's last page
    // not yet written, and whether a stretch failed.
    size_t joined_ = 0;
    uint64_t pos_ = 0, made_ = 0;
    bool failed_ = false;
    uint8_t page_[kPage];
};

}  // namespace

size_t largeDecodeMemory(unsigned threads, size_t stretch) {
    return std::clamp(threads, 1u, kMaxThreads) * roomBytes(std::max<size_t>(stretch, 1));
}

bool decodeLargeBlock(std::span<const uint8_t> head, uint64_t block_length, const BlockIo& io,
                      Workers& team, unsigned threads, std::span<uint8_t> memory, size_t stretch) {
    std::optional<StreamDecoder> dec = detail::startStreamDecode(head, block_length);
    if (!dec) return false;
    stretch = std::max<size_t>(stretch, 1);
    const size_t room = roomBytes(stretch);
    threads = std::min({threads, team.size(), kMaxThreads});
    threads = static_cast<unsigned>(std::min<size_t>(threads, memory.size() / room));
    if (threads == 0) return false;
    LargeDecode job(*dec, block_length, io, stretch);
    // A block of one stretch is no work to share.
    threads = static_cast<unsigned>(std::min<size_t>(threads, job.stretches()));
    Room rooms[kMaxThreads];
    const size_t scratch = stretchRoom(stretch, dec->complete ? dec->min_length : 1);
    for (unsigned t = 0; t < threads; ++t) {
        uint8_t* at = memory.data() + t * room;
        rooms[t].in = at;
        rooms[t].held = at + stretch + kStretchTail;
        rooms[t].scratch = {rooms[t].held + 2 * kPage, scratch};
    }
    if (threads == 1)
        job.run(rooms[0]);
    else
        team.run(threads, [&](unsigned t) { job.run(rooms[t]); });
    return job.done();
}

}  // namespace pelko
