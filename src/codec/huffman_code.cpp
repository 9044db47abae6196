// Huffman code construction: byte counting, the merge-order tree, the
// length-limited fallback for trees deeper than 8 levels, canonical codes.
#include <algorithm>
#include <cstring>
#include <vector>

#include "codec/huffman_detail.h"

namespace pelko {

void countBytes(std::span<const uint8_t> data, ByteCounts& counts) {
    // Four tables break the store-to-load dependency when the same byte
    // repeats; 32-bit counters halve their cache footprint, so work in
    // chunks that cannot overflow them.
    constexpr size_t kChunk = size_t{1} << 30;
    static_assert(kChunk <= UINT32_MAX, "a chunk's counts must fit the 32-bit counters");
    const uint8_t* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        size_t n = std::min(left, kChunk);
        uint32_t t[4][256] = {};
        size_t i = 0;
        for (; i + 16 <= n; i += 16) {
            uint64_t a, b;
            std::memcpy(&a, p + i, 8);
            std::memcpy(&b, p + i + 8, 8);
#pragma GCC unroll 8
            for (int k = 0; k < 8; k += 2) {
                ++t[0][(a >> (8 * k)) & 0xff];
                ++t[1][(a >> (8 * k + 8)) & 0xff];
                ++t[2][(b >> (8 * k)) & 0xff];
                ++t[3][(b >> (8 * k + 8)) & 0xff];
            }
        }
        for (; i < n; ++i) ++t[0][p[i]];
        for (int v = 0; v < 256; ++v) counts[v] += uint64_t{t[0][v]} + t[1][v] + t[2][v] + t[3][v];
        p += n;
        left -= n;
    }
}

namespace detail {

namespace {

struct Node {
    int left = -1;  // -1 for a leaf
    int right = -1;
    uint8_t value = 0;
    uint64_t weight = 0;
};

// Index of the first least weight. The weights of the list's nodes sit in
// an array of their own, so that the scan, which runs twice per merge, reads
// contiguous memory.
int firstMinimum(const uint64_t* weight, int n) {
    int best = 0;
    uint64_t least = weight[0];
    for (int i = 1; i < n; ++i)
        if (weight[i] < least) least = weight[i], best = i;
    return best;
}

void walk(const std::vector<Node>& nodes, int at, unsigned depth, unsigned path, TreeCode& out) {
    const Node& node = nodes[at];
    if (node.left < 0) {
        out.depth = std::max(out.depth, depth);
        if (depth <= 8) {
            out.table.codes[node.value].bits = static_cast<uint8_t>(path << (8 - depth));
            out.table.codes[node.value].len = static_cast<uint8_t>(depth);
        }
        return;
    }
    // Past 8 levels the path no longer fits; only the depth matters there.
    unsigned next = depth < 8 ? path << 1 : 0;
    walk(nodes, node.left, depth + 1, next, out);
    walk(nodes, node.right, depth + 1, next | 1, out);
}

// The values present, by weight, equal weights in order of value (the order
// a stable sort by weight leaves them in), with room for one more.
struct Leaf {
    uint64_t weight;
    uint8_t value;
};
size_t sortedLeaves(const ByteCounts& counts, Leaf* leaves) {
    size_t n = 0;
    for (int v = 0; v < 256; ++v)
        if (counts[v] != 0) leaves[n++] = Leaf{counts[v], static_cast<uint8_t>(v)};
    std::sort(leaves, leaves + n, [](const Leaf& x, const Leaf& y) {
        return x.weight != y.weight ? x.weight < y.weight : x.value < y.value;
    });
    leaves[n] = Leaf{0, 0};  // read past the last leaf, never taken
    return n;
}

unsigned leastDepth(const Leaf* leaf, size_t n) {
    if (n < 2) return unsigned(n);
    // Merged nodes come out in order of weight, so two queues do: on equal
    // weights a leaf goes before a merged node, and an older merged node
    // before a younger one, which keeps the tree as shallow as it can be.
    uint64_t weight[255];
    uint8_t height[255];
    size_t next = 0, made = 0, li = 0;
    auto take = [&](uint64_t& w, unsigned& h) {
        if (li < n && (next == made || leaf[li].weight <= weight[next])) {
            w = leaf[li++].weight;
            h = 0;
        } else {
            w = weight[next];
            h = height[next++];
        }
    };
    while (made < n - 1) {
        uint64_t wa, wb;
        unsigned ha, hb;
        take(wa, ha);
        take(wb, hb);
        weight[made] = wa + wb;
        height[made++] = static_cast<uint8_t>(std::max(ha, hb) + 1);
    }
    return height[made - 1];
}

// Package-merge over sorted leaves, for 2 <= n <= 2^maxLen, maxLen <= 16.
CodeLengths limitedOfSorted(const Leaf* leaves, size_t n, unsigned maxLen) {
    CodeLengths lengths{};
    // Package-merge. Level 0 is the leaves alone; each further level merges
    // the leaves with pairs taken in order from the level before. An item is
    // a leaf index, or n for a package; weights are kept for the level being
    // built and the one before it. A level holds the n leaves and half the
    // items of the level before, so never more than 2n. The loops choose
    // without branches, since the choices follow the data.
    constexpr size_t kItems = 512;
    uint16_t item[16][kItems];
    size_t items[16];
    uint64_t weights[2][kItems + 2] = {};  // two past the last are read, never taken
    for (size_t i = 0; i < n; ++i) {
        item[0][i] = static_cast<uint16_t>(i);
        weights[0][i] = leaves[i].weight;
    }
    items[0] = n;
    for (unsigned l = 1; l < maxLen; ++l) {
        const uint64_t* prev = weights[(l - 1) & 1];
        uint64_t* cur = weights[l & 1];
        const size_t prevItems = items[l - 1];
        const size_t total = n + prevItems / 2;
        size_t li = 0, pi = 0;
        for (size_t k = 0; k < total; ++k) {
            const uint64_t lw = leaves[li].weight;
            const uint64_t pw = prev[pi] + prev[pi + 1];
            const bool takeLeaf = pi + 1 >= prevItems || (li < n && lw <= pw);
            cur[k] = takeLeaf ? lw : pw;
            item[l][k] = static_cast<uint16_t>(takeLeaf ? li : n);
            li += takeLeaf;
            pi += takeLeaf ? 0 : 2;
        }
        items[l] = total;
    }
    // The cheapest 2n-2 items of the top level make the code; every leaf
    // occurrence among them, followed down through the packages, adds one
    // bit to that leaf's code.
    uint16_t bits[257] = {};  // by leaf index; packages count in the last
    size_t take = 2 * n - 2;
    for (unsigned l = maxLen; l-- > 0;) {
        for (size_t i = 0; i < take; ++i) ++bits[item[l][i]];
        take = 2 * size_t(bits[n]);
        bits[n] = 0;
    }
    for (size_t i = 0; i < n; ++i) lengths[leaves[i].value] = static_cast<uint8_t>(bits[i]);
    return lengths;
}

}  // namespace

TreeCode treeCode(const ByteCounts& counts) {
    TreeCode result;
    std::vector<Node> nodes;
    nodes.reserve(512);
    int list[256];
    uint64_t weight[256];  // weight[i] is the weight of node list[i]
    int n = 0;
    for (int v = 0; v < 256; ++v) {
        if (counts[v] == 0) continue;
        nodes.push_back(Node{-1, -1, static_cast<uint8_t>(v), counts[v]});
        weight[n] = counts[v];
        list[n++] = static_cast<int>(nodes.size()) - 1;
    }
    result.table.count = n;
    if (n == 0) return result;
    if (n == 1) {
        result.table.codes[nodes[0].value] = Code{0, 1};
        result.depth = 1;
        return result;
    }
    while (n > 1) {
        int a = firstMinimum(weight, n);
        int nodeA = list[a];
        // The last node fills the gap; this reordering steers later ties.
        list[a] = list[n - 1];
        weight[a] = weight[n - 1];
        --n;
        int b = firstMinimum(weight, n);
        int nodeB = list[b];
        nodes.push_back(Node{nodeA, nodeB, 0, nodes[nodeA].weight + nodes[nodeB].weight});
        list[b] = static_cast<int>(nodes.size()) - 1;
        weight[b] = nodes.back().weight;
    }
    walk(nodes, list[0], 0, 0, result);
    return result;
}

CodeLengths limitedLengths(const ByteCounts& counts, unsigned maxLen) {
    Leaf leaves[257];
    const size_t n = sortedLeaves(counts, leaves);
    if (n < 2 || maxLen == 0 || maxLen > 16 || n > (size_t{1} << maxLen)) return CodeLengths{};
    return limitedOfSorted(leaves, n, maxLen);
}

unsigned leastTreeDepth(const ByteCounts& counts) {
    Leaf leaves[257];
    return leastDepth(leaves, sortedLeaves(counts, leaves));
}

CodeTable canonicalCode(const CodeLengths& lengths) {
    // Each length's first code follows from how many codes are shorter;
    // values then take the codes of their length in ascending order.
    unsigned perLength[9] = {};
    for (uint8_t len : lengths)
        if (len >= 1 && len <= 8) ++perLength[len];
    unsigned next[9] = {};
    unsigned code = 0;
    for (unsigned len = 1; len <= 8; ++len) {
        next[len] = code;
        code = (code + perLength[len]) << 1;
    }
    CodeTable table;
    for (int v = 0; v < 256; ++v) {
        const unsigned len = lengths[v];
        if (len < 1 || len > 8) continue;
        table.codes[v] =
            Code{static_cast<uint8_t>(next[len]++ << (8 - len)), static_cast<uint8_t>(len)};
        ++table.count;
    }
    return table;
}

}  // namespace detail

CodeTable buildCode(const ByteCounts& counts) {
    int present = 0;
    for (uint64_t c : counts) present += c != 0;
    if (present == 256) {
        // Every value needs 8 bits anyway; with each value as its own code
        // the stream is the input itself.
        CodeTable table;
        table.count = 256;
        for (int v = 0; v < 256; ++v) table.codes[v] = Code{static_cast<uint8_t>(v), 8};
        return table;
    }
    // Where even the shallowest tree for these counts is too deep, so is the
    // one the merging order builds: the fallback needs no tree built first.
    detail::Leaf leaves[257];
    const size_t n = detail::sortedLeaves(counts, leaves);
    if (detail::leastDepth(leaves, n) > 8)
        return detail::canonicalCode(detail::limitedOfSorted(leaves, n, 8));
    detail::TreeCode tree = detail::treeCode(counts);
    if (tree.depth <= 8) return tree.table;
    return detail::canonicalCode(detail::limitedLengths(counts, 8));
}

}  // namespace pelko
