// Internals of the Huffman codec shared between its source files and its
// tests: the tree-built code, the length-limited fallback and canonical
// codes, and the decoder's tables.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/huffman.h"

namespace pelko::detail {

using CodeLengths = std::array<uint8_t, 256>;

// The code given by the fixed merging order and the left-0/right-1 walk, and
// the depth of its deepest leaf. Only the codes of leaves at depth 8 or less
// are filled in; when `depth` exceeds 8 the table must not be used.
struct TreeCode {
    CodeTable table;
    unsigned depth = 0;
};
TreeCode treeCode(const ByteCounts& counts);

// The least depth of any Huffman tree for the counts: that of the tree built
// with ties going to leaves and then to older merged nodes, which no
// tie-breaking order undercuts. 0 or 1 for fewer than two values.
unsigned leastTreeDepth(const ByteCounts& counts);

// Code lengths of 1..maxLen bits minimising the total bit count, for at least
// two and at most 2^maxLen non-zero counts (package-merge).
CodeLengths limitedLengths(const ByteCounts& counts, unsigned maxLen);

// Codes for the given lengths in order of (length, byte value).
CodeTable canonicalCode(const CodeLengths& lengths);

// A block's header read once, and the lookup tables built from it.
struct StreamDecoder {
    uint64_t size = 0;      // bytes the whole block decodes to
    size_t header_len = 0;  // where the stream starts in the block
    bool identity = false;  // every value's code is itself: the stream is the output

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

// Decodes out.size() bytes, one code after another. `in` holds stream bytes
// starting with the byte that holds the next unread bit, `bit` (0..7) is
// that bit's position in it from the most significant end; bits past the
// end of `in` read as 0. Returns how many whole bytes of `in` were used up,
// and updates `bit`; nullopt when no code matches within 8 bits. A decode
// that runs past the end of `in` returns in.size() with `bit` 0: from there
// on every bit is 0 wherever it starts.
std::optional<size_t> decodeStreamPiece(const StreamDecoder& dec, std::span<const uint8_t> in,
                                        unsigned& bit, std::span<uint8_t> out);

}  // namespace pelko::detail
