// Huffman block encoder: block header, bit packing and the whole-buffer
// encoder.
#include "codec/huffman.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <new>

#include "codec/byte_order.h"

namespace pelko {

namespace {

constexpr uint64_t kMaxSize = 0xFFFFFFFFu;  // the size field is 32 bits

bool isIdentity(const CodeTable& code) {
    for (int v = 0; v < 256; ++v)
        if (code.codes[v].len != 8 || code.codes[v].bits != v) return false;
    return true;
}

// Code bits right-aligned, above an 8-bit length.
inline uint32_t entryOf(const Code& c) {
    return (uint32_t{c.bits} >> (8 - (c.len ? c.len : 8))) << 8 | c.len;
}

// Packs with a right-aligned 64-bit accumulator holding fewer than 8 bits
// between groups; each group adds at most 56 bits and is flushed as one
// 8-byte store, so `out` needs 8 bytes of slack past the packed data.
template <int kPerGroup, int kStep, typename Lookup>
uint8_t* packGroups(const uint8_t* in, size_t groups, uint64_t& accIn, unsigned& countIn,
                    uint8_t* out, Lookup lookup) {
    static_assert(kPerGroup * kStep * 8 <= 56, "a group's codes must fit the accumulator");
    assert(countIn < 8);
    // Locals, so that the accumulator stays in a register even where this is
    // not inlined.
    uint64_t acc = accIn;
    unsigned count = countIn;
    for (size_t g = 0; g < groups; ++g) {
#pragma GCC unroll 8
        for (int k = 0; k < kPerGroup; ++k) {
            uint32_t e = lookup(in + kStep * k);
            unsigned len = e & 0xff;
            acc = (acc << len) | (e >> 8);
            count += len;
        }
        in += kPerGroup * kStep;
        storeBE64(out, count ? acc << (64 - count) : 0);
        out += count >> 3;
        count &= 7;
    }
    accIn = acc;
    countIn = count;
    return out;
}

void singleEntries(const CodeTable& code, uint32_t* single) {
    for (int v = 0; v < 256; ++v) single[v] = entryOf(code.codes[v]);
}

// Gives `packer` the pair table for `code` unless it has it already.
bool buildPairs(const CodeTable& code, const uint32_t* single, BitPacker& packer) {
    if (packer.pairs && std::memcmp(packer.pairs->code.data(), single, 256 * sizeof *single) == 0)
        return true;
    // The last table this thread built is taken again once no packer holds
    // it: a fresh one costs its allocation and a page fault per page, more
    // than packing a small file. Only the pairs of the code it held are set.
    thread_local std::shared_ptr<PairTable> spare;
    uint8_t present[256];
    int np = 0;
    std::shared_ptr<PairTable> t;
    if (spare && spare.use_count() == 1) {
        std::atomic_thread_fence(std::memory_order_acquire);
        t = spare;
        for (int v = 0; v < 256; ++v)
            if (t->code[v] & 0xff) present[np++] = static_cast<uint8_t>(v);
        for (int i = 0; i < np; ++i)
            for (int j = 0; j < np; ++j) t->pairs[present[i] | present[j] << 8] = 0;
        np = 0;
    } else {
        try {
            t = std::make_shared<PairTable>();
            t->pairs.assign(65536, 0);
        } catch (const std::bad_alloc&) {
            return false;
        }
        spare = t;
    }
    std::memcpy(t->code.data(), single, 256 * sizeof *single);
    for (int v = 0; v < 256; ++v)
        if (code.codes[v].len) present[np++] = static_cast<uint8_t>(v);
    for (int i = 0; i < np; ++i) {
        uint32_t a = single[present[i]];
        for (int j = 0; j < np; ++j) {
            uint32_t b = single[present[j]];
            uint32_t bits = (a >> 8) << (b & 0xff) | (b >> 8);
            t->pairs[present[i] | present[j] << 8] = bits << 8 | ((a & 0xff) + (b & 0xff));
        }
    }
    packer.pairs = std::move(t);
    return true;
}

}  // namespace

uint64_t streamBits(const CodeTable& code, const ByteCounts& counts) {
    uint64_t bits = 0;
    for (int v = 0; v < 256; ++v) bits += counts[v] * code.codes[v].len;
    return bits;
}

BitPacker slicePacker(const BitPacker& from, unsigned bit) {
    BitPacker p;
    p.count = bit & 7;
    p.pairs = from.pairs;
    return p;
}

bool prepareSlices(const CodeTable& code, BitPacker& packer) {
    uint32_t single[256];
    singleEntries(code, single);
    return buildPairs(code, single, packer);
}

uint64_t blockLength(const CodeTable& code, const ByteCounts& counts) {
    return blockHeaderLength(size_t(code.count)) + (streamBits(code, counts) + 7) / 8;
}

bool appendBlockHeader(const CodeTable& code, uint64_t size, std::vector<uint8_t>& out) {
    if (size > kMaxSize) return false;
    uint8_t header[kMaxBlockHeader];
    // 256 values wrap to a count byte of 0, which readers take as 256.
    header[0] = static_cast<uint8_t>(code.count);
    storeLE32(header + 1, static_cast<uint32_t>(size));
    size_t len = kBlockHeaderFixed;
    for (int v = 0; v < 256; ++v) {
        const Code& c = code.codes[v];
        if (c.len == 0) continue;
        header[len++] = static_cast<uint8_t>(v);
        header[len++] = c.bits;
        header[len++] = c.len;
    }
    try {
        out.insert(out.end(), header, header + len);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

namespace {

// The packer's state while a piece is packed, kept in locals so that the
// accumulator stays in a register.
struct PackState {
    const uint32_t* single;
    const uint32_t* pairs;  // null below the size that pays for the pair table
    uint64_t acc;
    unsigned count;
};

// Packs `n` bytes from `in` at `o` and returns the end of the whole bytes
// written: at most n + 1 bytes, and each group's 8-byte store may write 7
// past them.
uint8_t* packRun(PackState& st, const uint8_t* in, size_t n, uint8_t* o) {
    const uint32_t* pt = st.pairs;
    const uint32_t* single = st.single;
    auto pairLookup = [pt](const uint8_t* p) { return pt[p[0] | p[1] << 8]; };
    auto singleLookup = [single](const uint8_t* p) { return single[*p]; };
    if (pt) {
        const size_t groups = n / 6;
        o = packGroups<3, 2>(in, groups, st.acc, st.count, o, pairLookup);
        in += 6 * groups;
        n -= 6 * groups;
    }
    const size_t groups = n / 7;
    o = packGroups<7, 1>(in, groups, st.acc, st.count, o, singleLookup);
    in += 7 * groups;
    n -= 7 * groups;
    for (; n > 0; --n, ++in) {
        uint32_t e = single[*in];
        st.acc = (st.acc << (e & 0xff)) | (e >> 8);
        st.count += e & 0xff;
        while (st.count >= 8) {
            st.count -= 8;
            *o++ = static_cast<uint8_t>(st.acc >> st.count);
        }
    }
    return o;
}

// Whole bytes of pending bits, as an identity code leaves them.
uint8_t* flushWholeBytes(uint64_t acc, unsigned& count, uint8_t* o) {
    while (count >= 8) {
        count -= 8;
        *o++ = static_cast<uint8_t>(acc >> count);
    }
    return o;
}

}  // namespace

uint8_t* packInto(const CodeTable& code, BitPacker& packer, std::span<const uint8_t> input,
                  uint8_t* out) {
    if (isIdentity(code)) {
        // Pending bits are whole bytes here, so the stream is the input.
        unsigned count = packer.count;
        out = flushWholeBytes(packer.acc, count, out);
        if (count == 0) {
            if (!input.empty()) std::memcpy(out, input.data(), input.size());
            packer.acc = 0;
            packer.count = 0;
            return out + input.size();
        }
        packer.count = count;
    }
    uint32_t single[256];
    singleEntries(code, single);
    PackState st{single, nullptr, packer.acc, packer.count};
    if (input.size() >= (size_t{1} << 16)) {
        // Two symbols per lookup: the table costs about as much to build as
        // packing 64 KiB, and packing runs much faster with it. It is kept
        // for the next piece of the same block.
        if (!buildPairs(code, single, packer)) return nullptr;
        st.pairs = packer.pairs->pairs.data();
    }
    out = packRun(st, input.data(), input.size(), out);
    packer.acc = st.count ? st.acc & ((uint64_t{1} << st.count) - 1) : 0;
    packer.count = st.count;
    return out;
}

uint8_t* finishInto(BitPacker& packer, uint8_t* out) {
    unsigned count = packer.count;
    out = flushWholeBytes(packer.acc, count, out);
    if (count > 0) *out++ = static_cast<uint8_t>(packer.acc << (8 - count));
    packer.acc = 0;
    packer.count = 0;
    return out;
}

bool packBytes(const CodeTable& code, BitPacker& packer, std::span<const uint8_t> input,
               std::vector<uint8_t>& out) {
    const size_t start = out.size();
    const uint8_t* in = input.data();
    size_t n = input.size();
    auto append = [&](const uint8_t* from, size_t len) {
        try {
            out.insert(out.end(), from, from + len);
        } catch (const std::bad_alloc&) {
            out.resize(start);
            return false;
        }
        return true;
    };

    if (isIdentity(code)) {
        // Pending bits are whole bytes here, so the stream is the input.
        uint8_t pending[8];
        unsigned count = packer.count;
        const size_t np = size_t(flushWholeBytes(packer.acc, count, pending) - pending);
        if (!append(pending, np)) return false;
        packer.count = count;
        if (count == 0) {
            packer.acc = 0;
            return append(in, n);
        }
    }

    uint32_t single[256];
    singleEntries(code, single);
    PackState st{single, nullptr, packer.acc, packer.count};
    if (n >= (size_t{1} << 16)) {
        if (!buildPairs(code, single, packer)) return false;
        st.pairs = packer.pairs->pairs.data();
    }
    // A stage at a time straight into `out`'s spare capacity: each stage
    // grows it by its worst case, whose zero-fill is small enough to stay in
    // cache for the packing that overwrites it, then cuts it back. Where
    // little capacity is left, small stages go through a buffer and are
    // appended, so that `out` only reallocates when the bytes need it.
    constexpr size_t kStageInput = 16384, kSmall = 48;
    while (n > 0) {
        const size_t at = out.size();
        const size_t room = out.capacity() - at;
        if (room >= 16 + 4 * kSmall) {
            const size_t take = std::min({n, kStageInput, room - 16});
            out.resize(at + take + 16);  // within capacity: cannot throw
            uint8_t* o = packRun(st, in, take, out.data() + at);
            out.resize(static_cast<size_t>(o - out.data()));
            in += take;
            n -= take;
        } else {
            uint8_t buf[kSmall + 16];
            const size_t take = std::min(n, kSmall);
            uint8_t* o = packRun(st, in, take, buf);
            in += take;
            n -= take;
            try {
                out.insert(out.end(), buf, o);
            } catch (const std::bad_alloc&) {
                out.resize(start);
                return false;
            }
        }
    }

    packer.acc = st.count ? st.acc & ((uint64_t{1} << st.count) - 1) : 0;
    packer.count = st.count;
    return true;
}

bool finishPack(BitPacker& packer, std::vector<uint8_t>& out) {
    uint8_t tail[9];
    size_t len = 0;
    unsigned count = packer.count;
    while (count >= 8) {
        count -= 8;
        tail[len++] = static_cast<uint8_t>(packer.acc >> count);
    }
    if (count > 0) tail[len++] = static_cast<uint8_t>(packer.acc << (8 - count));
    try {
        out.insert(out.end(), tail, tail + len);
    } catch (const std::bad_alloc&) {
        return false;
    }
    packer.acc = 0;
    packer.count = 0;
    return true;
}

namespace {

// A buffer reused from block to block grows by half again at least, so that
// blocks of growing sizes do not each take fresh memory.
void reserveRoom(std::vector<uint8_t>& out, size_t n) {
    if (n > out.capacity()) out.reserve(std::max(n, out.capacity() + out.capacity() / 2));
}

}  // namespace

bool encodeBlockInto(std::span<const uint8_t> input, std::vector<uint8_t>& out) {
    if (input.empty() || input.size() > kMaxSize) return false;
    out.clear();
    ByteCounts counts{};
    countBytes(input, counts);
    CodeTable code = buildCode(counts);
    try {
        reserveRoom(out, blockLength(code, counts) + 16);
    } catch (const std::bad_alloc&) {
        return false;
    }
    BitPacker packer;
    return appendBlockHeader(code, input.size(), out) && packBytes(code, packer, input, out) &&
           finishPack(packer, out);
}

std::optional<std::vector<uint8_t>> encodeBlock(std::span<const uint8_t> input) {
    std::vector<uint8_t> block;
    if (!encodeBlockInto(input, block)) return std::nullopt;
    return block;
}

}  // namespace pelko
