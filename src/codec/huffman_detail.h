// Internals of the Huffman codec shared between its source files and its
// tests: the tree-built code, the length-limited fallback and canonical
// codes.
#pragma once

#include <array>
#include <cstdint>

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

}  // namespace pelko::detail
