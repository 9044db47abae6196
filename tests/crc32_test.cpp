// CRC-32 against known vectors and a bitwise reference on random buffers.
#include "archive/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

uint32_t bitwiseCrc(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

TEST(Crc32, KnownVectors) {
    struct Case {
        std::string in;
        uint32_t crc;
    };
    for (const Case& c : {Case{"", 0u}, Case{"a", 0xE8B7BE43u}, Case{"123456789", 0xCBF43926u},
                          Case{"The quick brown fox jumps over the lazy dog", 0x414FA339u}}) {
        auto p = reinterpret_cast<const uint8_t*>(c.in.data());
        EXPECT_EQ(pelko::crc32(p, c.in.size()), c.crc) << c.in;
        EXPECT_EQ(pelko::crc32Portable(0, p, c.in.size()), c.crc) << c.in;
    }
}

TEST(Crc32, MatchesBitwiseOnRandomBuffersAndSplits) {
    std::mt19937 rng(7);
    for (size_t len : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u, 255u, 1000u, 4096u, 70001u}) {
        for (size_t offset : {0u, 1u, 3u}) {
            std::vector<uint8_t> buf(len + offset);
            for (auto& b : buf) b = uint8_t(rng());
            const uint8_t* p = buf.data() + offset;
            uint32_t want = bitwiseCrc(p, len);
            ASSERT_EQ(pelko::crc32(p, len), want) << len << "+" << offset;
            ASSERT_EQ(pelko::crc32Portable(0, p, len), want);
            size_t cut = len / 3;
            ASSERT_EQ(pelko::crc32Update(pelko::crc32(p, cut), p + cut, len - cut), want);
            ASSERT_EQ(pelko::crc32Combine(pelko::crc32(p, cut), pelko::crc32(p + cut, len - cut),
                                          len - cut),
                      want);
        }
    }
}

}  // namespace
