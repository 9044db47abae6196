// Field I/O and the entry walk on archives built in memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "archive/format.h"

namespace {

using Bytes = std::vector<uint8_t>;

pelko::FilePtr memFile(const Bytes& b) {
    pelko::FilePtr f(std::tmpfile());
    if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f.get());
    std::rewind(f.get());
    return f;
}

Bytes contents(std::FILE* f) {
    std::rewind(f);
    Bytes b;
    int c;
    while ((c = std::getc(f)) != EOF) b.push_back(uint8_t(c));
    return b;
}

TEST(FieldIo, WriteULongIsLittleEndianAndReadsBack) {
    pelko::FilePtr f(std::tmpfile());
    ASSERT_EQ(pelko::writeULong(258, f.get()), 0);
    ASSERT_EQ(pelko::writeULong(0xA1B2C3D4u, f.get()), 0);
    EXPECT_EQ(contents(f.get()), (Bytes{0x02, 0x01, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1}));
    std::rewind(f.get());
    uint32_t v = 0;
    ASSERT_TRUE(pelko::readLE32(f.get(), v));
    EXPECT_EQ(v, 258u);
    ASSERT_TRUE(pelko::readLE32(f.get(), v));
    EXPECT_EQ(v, 0xA1B2C3D4u);
    EXPECT_FALSE(pelko::readLE32(f.get(), v));
}

Bytes entry(const std::string& name, uint32_t len) {
    Bytes b;
    b.reserve(name.size() + 18 + len);
    b.push_back(1);
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0);
    for (uint32_t v : {len, 0u, 0u, 0u})
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
    b.insert(b.end(), len, 0xEE);
    return b;
}

struct Walked {
    pelko::WalkEnd end;
    std::vector<std::pair<std::string, uint64_t>> entries;
    uint64_t end_pos = 0;
};

Walked walk(const Bytes& archive) {
    pelko::FilePtr f = memFile(archive);
    Walked w;
    w.end = pelko::walkEntries(
        f.get(), pelko::Fields::LengthOnly,
        [&](pelko::EntryHead& e) {
            w.entries.emplace_back(e.name, e.offset);
            return pelko::Visit::Next;
        },
        &w.end_pos);
    return w;
}

TEST(EntryWalk, OffsetsAndEnd) {
    Bytes a = entry("a", 10);
    Bytes bc = entry("bc", 5);
    Bytes archive = a;
    archive.insert(archive.end(), bc.begin(), bc.end());
    archive.push_back(0);
    ASSERT_EQ(archive.size(), 55u);
    Walked w = walk(archive);
    EXPECT_EQ(w.end, pelko::WalkEnd::EndMarker);
    ASSERT_EQ(w.entries.size(), 2u);
    EXPECT_EQ(w.entries[0].second, 3u);
    EXPECT_EQ(w.entries[1].second, 33u);
    EXPECT_EQ(w.end_pos, 55u);
}

TEST(EntryWalk, DamageEndsTheWalk) {
    Bytes whole = entry("abc", 4);
    whole.push_back(0);
    // Every cut before the end marker is a truncated archive.
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        Walked w = walk(Bytes(whole.begin(), whole.begin() + long(cut)));
        EXPECT_EQ(w.end, pelko::WalkEnd::Truncated) << "cut at " << cut;
    }
    // A name without a NUL within the name buffer reads as a short read.
    Bytes longName(1, 1);
    longName.insert(longName.end(), 2000, 'x');
    longName.push_back(0);
    EXPECT_EQ(walk(longName).end, pelko::WalkEnd::Truncated);
    // 1023 bytes of name still fit.
    Bytes ok = entry(std::string(1023, 'y'), 0);
    ok.push_back(0);
    EXPECT_EQ(walk(ok).end, pelko::WalkEnd::EndMarker);
    Bytes tooLong = entry(std::string(1024, 'y'), 0);
    tooLong.push_back(0);
    EXPECT_EQ(walk(tooLong).end, pelko::WalkEnd::Truncated);
}

}  // namespace
