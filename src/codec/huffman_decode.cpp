// Huffman block decoder: lookup tables built from a block's header, the
// serial stream decoder, the interleaved multi-chunk decoder for complete
// prefix codes, and the whole-block and piece-by-piece entry points.
//
// A code is found by trying lengths 1..8 in turn and taking, at the first
// length with a match, the first header entry of that length whose bits match
// the stream. Which entry that is depends only on the next 8 stream bits, so
// a 256-entry table made by applying that rule to every 8-bit value decodes
// any header the same way, however damaged: repeated values, codes that are
// not prefix-free, lengths that can never match.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <functional>
#include <memory>
#include <new>

#include "codec/byte_order.h"
#include "codec/huffman_detail.h"

namespace pelko {

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
constexpr size_t kSharedScale = 2;
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
// the caller decodes what is left serially. A round is `groups` groups of
// kChunks chunks each, one group per thread of the team; `scratch` holds
// kMaxGroups * kChunks - 1 areas of `cap` bytes.
constexpr unsigned kMaxGroups = kMaxThreads;
constexpr unsigned kMaxChunks = kMaxGroups * kChunks;

template <unsigned kWindow>
void parallelDecode(const StreamDecoder& dec, std::span<const uint8_t> in, uint64_t& pos,
                    uint8_t*& o, uint8_t* const oEnd, uint8_t* scratch, size_t cap,
                    uint64_t chunkBits, const DecodeOptions& options) {
    const uint8_t* base = in.data();
    const uint16_t* single = dec.single.data();
    const uint64_t* bulk = dec.bulk.data();
    const uint64_t limit = in.size() >= 8 ? 8 * uint64_t{in.size() - 8} : 0;
    const unsigned teamSize = options.team ? std::min(options.team->size(), kMaxGroups) : 1;
    uint64_t marks[kMaxChunks][kRecorded + 1];
    unsigned marked[kMaxChunks];
    Chunk c[kMaxChunks];
    // Cuts fall a whole number of the common length divisor apart, and a
    // chunk's scratch holds every code its bits can carry.
    assert(chunkBits % dec.length_gcd == 0 && cap >= chunkBits / dec.min_length);
    // Records the first codes of each guessed chunk of group g one at a
    // time, keeping where each starts, then decodes the group's chunks
    // interleaved.
    auto decodeGroup = [&](unsigned g) {
        for (unsigned k = g * kChunks + (g == 0); k < (g + 1) * kChunks; ++k) {
            uint64_t at = c[k].pos;
            const uint64_t end = c[k].end;
            uint8_t* so = scratch + (k - 1) * cap;
            marked[k] = recordCodes(base, single, at, end, so, marks[k]);
            c[k] = {at, end, so + marked[k] - 1, so + cap};
        }
        interleavedDecode<kWindow>(base, bulk, single, c + g * kChunks);
    };
    const std::function<void(unsigned)> groupTask = decodeGroup;
    // A round whose output overruns the room decodes chunks for nothing, so
    // a round is cut to the room: at the stream bits per output byte that
    // the rounds before measured, or at first at the fewest bits a code
    // takes.
    DecodeRate own;
    DecodeRate& rate = options.rate ? *options.rate : own;
    uint64_t& roundBits = rate.bits;
    uint64_t& roundBytes = rate.bytes;
    while (static_cast<uint64_t>(oEnd - o) >= kRoundMinOutput &&
           pos + kChunks * kMinChunkBits <= limit) {
        const uint64_t room = static_cast<uint64_t>(oEnd - o);
        const uint64_t fits = roundBytes
                                  ? static_cast<uint64_t>(static_cast<double>(room) * 15 / 16 *
                                                          static_cast<double>(roundBits) /
                                                          static_cast<double>(roundBytes))
                                  : room * dec.min_length;
        unsigned groups = static_cast<unsigned>(
            std::min<uint64_t>(teamSize, (limit - pos) / (kChunks * kMinChunkBits)));
        groups = static_cast<unsigned>(
            std::max<uint64_t>(1, std::min<uint64_t>(groups, fits / (kChunks * kMinChunkBits))));
        const uint64_t bits =
            std::min({chunkBits, fits / (groups * kChunks), (limit - pos) / (groups * kChunks)}) /
            dec.length_gcd * dec.length_gcd;
        if (bits < kMinChunkBits) break;
        const unsigned chunks = groups * kChunks;
        if (options.stats) {
            ++options.stats->rounds;
            options.stats->shared += groups > 1;
        }
        const uint64_t roundPos = pos;
        const uint8_t* const roundOut = o;
        c[0] = {pos, pos + bits, o, oEnd};
        for (unsigned k = 1; k < chunks; ++k)
            c[k] = {pos + k * bits, pos + (k + 1) * bits, nullptr, nullptr};
        if (groups > 1)
            options.team->run(groups, groupTask);
        else
            decodeGroup(0);

        // Stitch the chunks onto the true decode in order.
        uint64_t t = c[0].pos;
        o = c[0].o;
        if (o == oEnd) {
            pos = t;
            return;
        }
        for (unsigned k = 1; k < chunks; ++k) {
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
                if (options.stats) ++options.stats->fallbacks;
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
    static_assert(kStretchParts == kChunks && kStretchMarks == kRecorded);
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

template <unsigned kWindow>
bool decodePiece(const StreamDecoder& dec, std::span<const uint8_t> in, uint64_t& pos,
                 std::span<uint8_t> out, const DecodeOptions& options) {
    uint8_t* o = out.data();
    uint8_t* const oEnd = o + out.size();
    // With the rate of earlier pieces, a round fits a short piece from the
    // start, so short pieces take rounds too.
    const uint64_t minOutput =
        options.rate && options.rate->bytes ? 2 * kRoundMinOutput : kParallelMinOutput;
    if (options.path == DecodePath::Auto && dec.complete && !dec.bulk.empty() &&
        out.size() >= minOutput) {
        // Cuts a whole number of the codes' common length divisor apart, so
        // that codes of one length (or of multiples of one) can meet.
        // A team shares rounds of chunks kSharedScale times as long, so that
        // waking its threads costs little beside a round's work.
        const unsigned groups = options.team ? std::min(options.team->size(), kMaxGroups) : 1;
        const size_t chunkBytes = groups > 1 ? kSharedScale * kChunkBytes : kChunkBytes;
        const uint64_t chunkBits = 8 * chunkBytes / dec.length_gcd * dec.length_gcd;
        const size_t cap = chunkBits / dec.min_length + 16;
        const size_t need = (groups * kChunks - 1) * cap;
        std::unique_ptr<uint8_t[]> own;
        uint8_t* scratch = nullptr;
        if (options.scratchRoom.size() >= need) {
            scratch = options.scratchRoom.data();
        } else if (options.scratch) {
            try {
                if (options.scratch->size() < need) options.scratch->resize(need);
                scratch = options.scratch->data();
            } catch (const std::bad_alloc&) {
            }
        } else {
            own.reset(new (std::nothrow) uint8_t[need]);
            scratch = own.get();
        }
        // Without the scratch memory the serial decoder does it all.
        if (scratch) {
            DecodeOptions used = options;
            if (groups < 2) used.team = nullptr;
            parallelDecode<kWindow>(dec, in, pos, o, oEnd, scratch, cap, chunkBits, used);
        }
    }
    return serialDecode<kWindow>(dec, in, pos, o, oEnd);
}

}  // namespace

size_t decodeScratchBytes(unsigned threads) {
    const unsigned groups = std::clamp(threads, 1u, kMaxGroups);
    const size_t chunkBytes = groups > 1 ? kSharedScale * kChunkBytes : kChunkBytes;
    // The most codes a chunk holds, at one bit each.
    return (groups * kChunks - 1) * (8 * chunkBytes + 16);
}

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
                                        unsigned& bit, bool at_end, std::span<uint8_t> out,
                                        const DecodeOptions& options) {
    // Bits past the end of `in` read as 0 whether or not it is the stream's
    // end: before it, a caller keeps enough bytes that the decode never gets
    // there.
    (void)at_end;
    uint64_t pos = bit & 7;
    if (out.empty()) return 0;
    bool ok;
    if (dec.identity) {
        copyStream(in, pos, out);
        pos += 8 * uint64_t{out.size()};
        ok = true;
    } else if (dec.window == kWideWindow) {
        ok = decodePiece<kWideWindow>(dec, in, pos, out, options);
    } else if (dec.window == kSmallWindow) {
        ok = decodePiece<kSmallWindow>(dec, in, pos, out, options);
    } else {
        ok = decodePiece<kNarrowWindow>(dec, in, pos, out, options);
    }
    if (!ok) return std::nullopt;
    // Past the end of `in` every bit is 0, so any position there will do.
    const uint64_t end = 8 * uint64_t{in.size()};
    if (pos >= end) {
        bit = 0;
        return in.size();
    }
    bit = pos & 7;
    return static_cast<size_t>(pos >> 3);
}

bool decodeBlockInto(std::span<const uint8_t> block, std::vector<uint8_t>& out,
                     const DecodeOptions& options) {
    auto dec = startStreamDecode(block.first(std::min<size_t>(block.size(), kMaxBlockHeader)),
                                 block.size());
    if (!dec) return false;
    try {
        out.resize(dec->size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    unsigned bit = 0;
    return decodeStreamPiece(*dec, block.subspan(dec->header_len), bit, true, out, options)
        .has_value();
}

std::optional<std::vector<uint8_t>> decodeBlock(std::span<const uint8_t> block) {
    std::vector<uint8_t> out;
    if (!decodeBlockInto(block, out)) return std::nullopt;
    return out;
}

size_t stretchRoom(size_t bytes, unsigned minLength) {
    return kStretchParts * partRoom(bytes, std::clamp(minLength, 1u, 8u));
}

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

size_t joinStretch(const StreamDecoder& dec, std::span<const uint8_t> in, StretchGuess& guess,
                   uint64_t& pos, size_t limit, std::span<const uint8_t>* runs, unsigned& count) {
    if (dec.window == kWideWindow)
        return joinParts<kWideWindow>(dec, in, guess, pos, limit, runs, count);
    if (dec.window == kSmallWindow)
        return joinParts<kSmallWindow>(dec, in, guess, pos, limit, runs, count);
    return joinParts<kNarrowWindow>(dec, in, guess, pos, limit, runs, count);
}

}  // namespace pelko
