// Huffman codec: builds the code for one file's bytes, packs them into a
// self-describing block, and decodes such a block back. Bytes in, bytes out:
// no files, no printing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codec/workers.h"

namespace pelko {

// One byte value's code: `bits` holds the code most significant bit first
// (first code bit in bit 7), `len` is 1..8, or 0 for a value that does not occur.
struct Code {
    uint8_t bits = 0;
    uint8_t len = 0;
};

struct CodeTable {
    std::array<Code, 256> codes{};
    int count = 0;  // distinct byte values, 1..256
};

using ByteCounts = std::array<uint64_t, 256>;

// A block starts with a count byte (256 values wrap to 0) and the decoded
// size as an LE32, then one code entry (value, code bits, length) per value
// present; the bit stream follows.
constexpr size_t kBlockHeaderFixed = 5;
constexpr size_t kCodeEntryBytes = 3;
constexpr size_t blockHeaderLength(size_t values) {
    return kBlockHeaderFixed + kCodeEntryBytes * values;
}
// The longest header, 773 bytes: enough to start decoding any block.
constexpr size_t kMaxBlockHeader = blockHeaderLength(256);
static_assert(kMaxBlockHeader == 773);

// Adds the byte values of `data` to `counts` (which the caller zeroes once).
void countBytes(std::span<const uint8_t> data, ByteCounts& counts);

// Builds the code for the given counts (at least one non-zero).
CodeTable buildCode(const ByteCounts& counts);

// Length in bytes of the block that encodes input with these counts.
uint64_t blockLength(const CodeTable& code, const ByteCounts& counts);

// Whole-buffer encoder: the block for `input` (at least one byte), or
// nullopt when memory cannot be had.
std::optional<std::vector<uint8_t>> encodeBlock(std::span<const uint8_t> input);

// The same into `out`, whose memory is reused; false where encodeBlock gives
// nullopt.
bool encodeBlockInto(std::span<const uint8_t> input, std::vector<uint8_t>& out);

// Incremental encoder, for input that is counted first and then packed in
// pieces: header, then pack every piece in order, then finish. The bytes
// appended to `out` are exactly those of encodeBlock on the whole input.
// Each returns false when memory cannot be had (or, for the header, when the
// size does not fit the 32-bit size field); `out` then keeps its old bytes.
// Packing appends into spare capacity without zero-filling it, so a caller
// that reuses `out` (or reserved the block length, see blockLength) never
// sees a reallocation.
bool appendBlockHeader(const CodeTable& code, uint64_t size, std::vector<uint8_t>& out);
// The table that packs two bytes per lookup, and the code it was built for.
struct PairTable {
    std::vector<uint32_t> pairs;
    std::array<uint32_t, 256> code{};
};
struct BitPacker {
    uint64_t acc = 0;  // pending bits in the low `count` bits, oldest highest
    unsigned count = 0;
    // Kept from one piece to the next, and shared with the slices' packers.
    std::shared_ptr<const PairTable> pairs;
};
bool packBytes(const CodeTable& code, BitPacker& packer, std::span<const uint8_t> input,
               std::vector<uint8_t>& out);
bool finishPack(BitPacker& packer, std::vector<uint8_t>& out);
// The same into memory of the caller's, which is neither zero-filled nor
// grown: `out` must hold packRoom(input.size()) bytes, and packRoom(0) for
// finishing. Each returns the end of the bytes written; packInto gives null
// when memory for the pair table cannot be had.
constexpr size_t packRoom(size_t input) {
    return input + 16;
}
uint8_t* packInto(const CodeTable& code, BitPacker& packer, std::span<const uint8_t> input,
                  uint8_t* out);
uint8_t* finishInto(BitPacker& packer, uint8_t* out);

// Packing one stream on several threads. The stream is cut into slices;
// where each slice starts is known beforehand from the counts of the slices
// before it (streamBits). Each slice is packed on its own, by a packer from
// slicePacker and then finishInto: its bytes are those of the whole stream
// from the byte holding its first bit, with the bits before that bit (and
// after its last) zero. Neighbouring slices meet in one byte, which is the
// OR of the two.
constexpr size_t kSliceBytes = size_t{256} << 10;
uint64_t streamBits(const CodeTable& code, const ByteCounts& counts);
// A packer for a slice starting at bit `bit` (0..7) of its first byte,
// sharing the pair table of `from` (which prepareSlices builds).
BitPacker slicePacker(const BitPacker& from, unsigned bit);
// Builds the pair table into `packer` ahead of packing slices of at least
// 64 KiB; false when memory cannot be had.
bool prepareSlices(const CodeTable& code, BitPacker& packer);

// Decodes a block; nullopt when it is damaged beyond decoding (no code
// matches within 8 bits, header or code entries past the end, a size its
// stream cannot hold: more than it holds in its shortest code) or memory
// cannot be had. Never touches memory outside `block` and its result.
std::optional<std::vector<uint8_t>> decodeBlock(std::span<const uint8_t> block);

// The same into `out`, whose memory is reused: false where decodeBlock gives
// nullopt, and `out` then holds no meaningful bytes.
bool decodeBlockInto(std::span<const uint8_t> block, std::vector<uint8_t>& out);

// A large block, decoded a stretch of its stream at a time on 1..N threads
// with memory bounded whatever its size: its bytes are read through `read`
// and its output is written through `write`, both called from any of the
// threads at once.
struct BlockIo {
    // Fills `into` with the block's bytes from block offset `at` on. Its first
    // `fresh` bytes are read by no other call: the fresh bytes of all calls
    // lie back to back from the end of the block's header on and cover every
    // byte the decode used. The rest of `into`, read again by another call,
    // lets a stretch's last codes be read from its own copy.
    std::function<bool(uint64_t at, std::span<uint8_t> into, size_t fresh)> read;
    // Writes output bytes from output offset `at` on, gathered from `parts`.
    std::function<bool(uint64_t at, std::span<const std::span<const uint8_t>> parts)> write;
};

// Stream bytes a thread takes at once; tests take small stretches to reach
// many stretch boundaries with little data.
constexpr size_t kStretchBytes = size_t{128} << 10;

// The memory decodeLargeBlock takes for `threads` threads: the caller's, so
// that it is taken once for a run's large entries.
size_t largeDecodeMemory(unsigned threads, size_t stretch = kStretchBytes);

// Decodes the block of `block_length` bytes whose first min(block_length,
// kMaxBlockHeader) bytes are `head` on min(threads, team size) of the team's
// threads, in `memory` of largeDecodeMemory(threads, stretch) bytes. The
// output is written once, in pieces that may come in any order, and is
// exactly decodeBlock's. False where decodeBlock gives nullopt, or where a
// read or a write fails.
bool decodeLargeBlock(std::span<const uint8_t> head, uint64_t block_length, const BlockIo& io,
                      Workers& team, unsigned threads, std::span<uint8_t> memory,
                      size_t stretch = kStretchBytes);

}  // namespace pelko
