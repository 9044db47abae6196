// Huffman codec: builds the code for one file's bytes, packs them into a
// self-describing block, and decodes such a block back. Bytes in, bytes out:
// no files, no printing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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

// The same into `out`, whose memory is reused, with the counting and the
// packing shared among the team's threads in slices of `slice` bytes: the
// bytes are those of encodeBlock whatever the team and the slice size. False
// where encodeBlock gives nullopt.
constexpr size_t kSliceBytes = size_t{256} << 10;
struct EncodeOptions {
    Workers* team = nullptr;
    size_t slice = kSliceBytes;
    // The slices' own buffers, kept from one call to the next so that their
    // memory is reused; null for buffers of the call's own.
    std::vector<std::vector<uint8_t>>* buffers = nullptr;
};
bool encodeBlockInto(std::span<const uint8_t> input, std::vector<uint8_t>& out,
                     const EncodeOptions& options = {});

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
// slicePacker and then finishPack: its bytes are those of the whole stream
// from the byte holding its first bit, with the bits before that bit (and
// after its last) zero. Neighbouring slices meet in one byte, which is the
// OR of the two; joinSlice appends a slice's bytes that way.
uint64_t streamBits(const CodeTable& code, const ByteCounts& counts);
// A packer for a slice starting at bit `bit` (0..7) of its first byte,
// sharing the pair table of `from` (which prepareSlices builds).
BitPacker slicePacker(const BitPacker& from, unsigned bit);
// Builds the pair table into `packer` ahead of packing slices of at least
// 64 KiB; false when memory cannot be had.
bool prepareSlices(const CodeTable& code, BitPacker& packer);
// Appends the bytes of a slice that starts at bit `bit` (0..7) of its first
// byte to `out`, which ends with the slice before; false when memory cannot
// be had (`out` unchanged).
bool joinSlice(std::vector<uint8_t>& out, unsigned bit, std::span<const uint8_t> slice);

// The decoder's choices. By default a large piece of a complete code goes
// through the interleaved decoder, on the team's threads when there is a
// team; DecodePath::Serial decodes one lookup after another, so that tests
// can tell the two apart. Both give the same bytes. `stats`, when given,
// counts what the interleaved decoder did.
enum class DecodePath { Auto, Serial };
struct DecodeStats {
    uint64_t rounds = 0;     // rounds of chunks decoded from guessed starts
    uint64_t fallbacks = 0;  // guessed chunks that never met the true decode
    uint64_t shared = 0;     // rounds whose chunks were shared among threads
};
// Stream bits and output bytes of the interleaved decoder's rounds so far,
// from which it sizes a round to the output left.
struct DecodeRate {
    uint64_t bits = 0, bytes = 0;
};
struct DecodeOptions {
    DecodePath path = DecodePath::Auto;
    Workers* team = nullptr;
    DecodeStats* stats = nullptr;
    // The interleaved decoder's scratch memory, kept from one piece to the
    // next so that its memory is reused; null for scratch of the call's own.
    std::vector<uint8_t>* scratch = nullptr;
    // Or memory of the caller's, used where it holds decodeScratchBytes.
    std::span<uint8_t> scratchRoom{};
    // Kept from one piece of a block to the next, so that a piece's first
    // round is sized as well as its later ones; null to measure each piece
    // on its own.
    DecodeRate* rate = nullptr;
};

// The scratch memory the interleaved decoder takes at most, for a piece
// shared among `threads` threads.
size_t decodeScratchBytes(unsigned threads);

// Decodes a block; nullopt when it is damaged beyond decoding (no code
// matches within 8 bits, header or code entries past the end, a size its
// stream cannot hold, see startStreamDecode) or memory cannot be had. Never
// touches memory outside `block` and its result.
std::optional<std::vector<uint8_t>> decodeBlock(std::span<const uint8_t> block);

// The same into `out`, whose memory is reused: false where decodeBlock gives
// nullopt, and `out` then holds no meaningful bytes.
bool decodeBlockInto(std::span<const uint8_t> block, std::vector<uint8_t>& out,
                     const DecodeOptions& options = {});

// Streaming decoder, for blocks decoded piece by piece with bounded memory.
// The header is read once; then the stream is decoded a piece of output at a
// time, each piece continuing exactly where the previous one stopped. The
// bytes produced are exactly those decodeBlock gives for the whole block.
struct StreamDecoder {
    uint64_t size = 0;      // bytes the whole block decodes to
    size_t header_len = 0;  // where the stream starts in the block
    bool identity = false;  // every value's code is itself: the stream is the output

    // Lookup tables built from the header, for the decoder's own use.
    std::array<uint16_t, 256> single{};      // next 8 bits -> value | length << 8
    std::vector<uint64_t> bulk;              // next `window` bits -> several codes
    unsigned window = 0;                     // 0: no bulk table (small blocks)
    bool complete = false;                   // a complete prefix code of distinct values
    uint8_t min_length = 8, length_gcd = 1;  // over the code lengths, when complete
    std::array<uint8_t, 256> lengths{};      // code length of each value, when complete
};

// Reads the header from the first bytes of a block of `block_length` bytes:
// `head` holds the first min(block length, kMaxBlockHeader) bytes. nullopt
// where decodeBlock would fail for the header alone: a block shorter than its
// header, or one that declares more bytes than its stream holds in its
// shortest code (size x shortest code length > 8 x stream bytes, which no
// code at all fails for any size but 0); or memory cannot be had.
std::optional<StreamDecoder> startStreamDecode(std::span<const uint8_t> head,
                                               uint64_t block_length);

// Decodes out.size() bytes. `in` holds stream bytes starting with the byte
// that holds the next unread bit, `bit` (0..7) is that bit's position in it
// from the most significant end. `in` must hold at least out.size() + 16
// bytes unless `at_end` says it reaches the end of the stream, where missing
// bits read as 0. Returns how many whole bytes of `in` were used up, and
// updates `bit`; nullopt when no code matches within 8 bits. A decode that
// runs past the end of `in` (into the zero bits) returns in.size() with `bit`
// 0: from there on every bit is 0 wherever it starts.
//
// `options` choose the decoder, as for decodeBlockInto.
std::optional<size_t> decodeStreamPiece(const StreamDecoder& dec, std::span<const uint8_t> in,
                                        unsigned& bit, bool at_end, std::span<uint8_t> out,
                                        const DecodeOptions& options = {});

// Decoding one stream on several threads in stretches of its bytes, each
// decoded from guessed starts without waiting for the stretches before it
// (guessStretch), then joined onto the true decode in order once that
// decode's position at the stretch is known (joinStretch). For a complete
// prefix code with a bulk table only (StreamDecoder::complete and bulk).
// The stretch's output is guessed as that of kStretchParts parts, each
// started at a guess and recorded for its first codes.
constexpr unsigned kStretchParts = 6, kStretchMarks = 64;
// Bytes of the stream that `in` holds past its stretch, for the guessed
// decode of the stretch's last codes to read.
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
// The scratch a stretch of `bytes` bytes takes for its guessed output, for
// a code whose shortest length is `minLength` (StreamDecoder::min_length),
// 1 for any code; a stretch's true output is never longer.
size_t stretchRoom(size_t bytes, unsigned minLength = 1);
// Guesses the output of the stretch of `bytes` bytes from stream bit `base`
// (a multiple of 8): `in` holds them and kStretchTail more, `scratch` at
// least stretchRoom bytes for the code, which `guess` then refers to.
void guessStretch(const StreamDecoder& dec, std::span<const uint8_t> in, uint64_t base,
                  size_t bytes, std::span<uint8_t> scratch, StretchGuess& guess);
// The true output of a guessed stretch, up to `limit` bytes, from stream bit
// `pos`, where the true decode stands, at or past the guess's first part's
// start and before its end; `in` as for guessStretch. The output is left in
// the guess's scratch, without a copy, as `count` runs of bytes in `runs`,
// which has room for kStretchParts (one per part at most). Returns the bytes made and sets `pos` to
// where the true decode stops: at or past the stretch's end unless `limit` was met.
size_t joinStretch(const StreamDecoder& dec, std::span<const uint8_t> in, StretchGuess& guess,
                   uint64_t& pos, size_t limit, std::span<const uint8_t>* runs, unsigned& count);

}  // namespace pelko
