// Deleting entries and repairing archives, on archives built byte by byte.
#include <optional>

#include "cli_support.h"

namespace {

using namespace testing_support;

class DeleteFix : public TempDirTest {};

const Bytes kBlockA = abracadabraBlock();
const Bytes kBlockB{0x02, 0x03, 0, 0, 0, 0x00, 0x80, 0x01, 0x01, 0x00, 0x01, 0xC0};
const Bytes kBlockC{0x01, 0x10, 0, 0, 0, 'c', 0x00, 0x01, 0x00, 0x00};

Bytes corrupt(Bytes b, size_t at) {
    b[at] ^= 0x01;
    return b;
}

TEST_F(DeleteFix, DeleteKeepsOtherEntriesByteForByte) {
    Bytes a = goodEntry("a.txt", kBlockA);
    Bytes upper = goodEntry("A.TXT", kBlockB);
    Bytes inDir = goodEntry("dir/a.txt", kBlockC);
    Bytes badCrc = entryBytes("bad", kBlockB, 0xDEADBEEFu, 1, 11, 22);
    Bytes lead2 = goodEntry("two", kBlockA);
    lead2[0] = 2;
    Bytes dupe = goodEntry("a.txt", kBlockC);
    Bytes all = archiveOf({a, upper, badCrc, inDir, lead2, dupe});
    struct Case {
        std::vector<std::string> names;
        std::string out;
        Bytes want;
    };
    for (const Case& c : {
             Case{{"a.txt"}, "", archiveOf({upper, badCrc, inDir, lead2})},
             Case{{"a.txt", "a.txt"},
                  "Warning: \"a.txt\" - two identical name.\nFile __warning__ not found in archive",
                  archiveOf({upper, badCrc, inDir, lead2})},
             Case{{"nope"}, "File nope not found in archive", all},
             Case{{"t.pkz", "two"},
                  "Warning: \"t.pkz\" - bad name, couldn't use for compress itself.\nFile "
                  "__warning__ not found in archive",
                  archiveOf({a, upper, badCrc, inDir, dupe})},
             Case{{"a.txt", "A.TXT", "bad", "dir/a.txt", "two"}, "", Bytes{0}},
         }) {
        writeFile(path("t.pkz"), all);
        std::vector<std::string> args{"-d", "t.pkz"};
        args.insert(args.end(), c.names.begin(), c.names.end());
        RunResult r = run(args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(readFile(path("t.pkz")), c.want) << r.out;
        EXPECT_EQ(listDir(dir), std::vector<std::string>{"t.pkz"});
    }
}

// Cut short, or not ending at its first end marker (bytes after it, a lead
// byte damaged to 0, a file that is no archive at all): deleting fails at its
// lookup step and the file stays byte for byte as it was.
TEST_F(DeleteFix, DeleteFromDamagedArchivesChangesNothing) {
    Bytes whole = archiveOf({goodEntry("a", kBlockA), goodEntry("b", kBlockB)});
    std::vector<Bytes> damages;
    for (size_t cut : {size_t(0), size_t(3), whole.size() - 5, whole.size() - 1})
        damages.emplace_back(whole.begin(), whole.begin() + long(cut));
    damages.push_back(whole);
    damages.back().insert(damages.back().end(), {9, 9, 9});
    damages.push_back(whole);
    damages.back()[goodEntry("a", kBlockA).size()] = 0;
    damages.push_back(
        bytesOf(std::string("\0\0\0\x18"
                            "ftypmp42\0\0\0\0mp42isom",
                            24)));
    for (const Bytes& damaged : damages) {
        writeFile(path("t.pkz"), damaged);
        RunResult r = run({"-d", "t.pkz", "a"});
        EXPECT_EQ(r.out, "Error: Couldn't create offset table for files.\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readFile(path("t.pkz")), damaged);
        EXPECT_EQ(listDir(dir), std::vector<std::string>{"t.pkz"}) << "no working copy";
    }
    ::unlink(path("t.pkz").c_str());
    EXPECT_EQ(run({"-d", "t.pkz", "a"}).status, 1);
    EXPECT_EQ(listDir(dir), std::vector<std::string>{});
}

TEST_F(DeleteFix, RepairCutsAtTheFirstFailingBlock) {
    Bytes e1 = goodEntry("one", kBlockA);
    Bytes e2 = goodEntry("two", kBlockB);
    Bytes e3 = goodEntry("three", kBlockC);
    Bytes empty = goodEntry("empty", Bytes{});  // a zero-length block checks as CRC 0
    Bytes sound = archiveOf({e1, empty, e2, e3});
    auto fixed = [](const std::string& name) {
        return "Fixed: find a error on file \"" + name + "\", delete the rest of archive.\n";
    };
    Bytes timeChanged = e2;
    timeChanged[1 + 4 + 4 + 1] ^= 0x40;
    Bytes nameChanged = e2;
    nameChanged[2] = 'X';
    Bytes leadChanged = e2;
    leadChanged[0] = 7;
    Bytes crcChanged = e2;
    crcChanged[1 + 4 + 12] ^= 0x01;
    Bytes lenShorter = e2;
    lenShorter[1 + 4] -= 1;  // the block read is one byte short of the true one
    struct Case {
        const char* what;
        Bytes archive;
        std::string out;
        Bytes want;
    };
    for (const Case& c : {
             Case{"sound", sound, "", sound},
             Case{"second block", archiveOf({e1, corrupt(e2, 22), e3}), fixed("two"),
                  archiveOf({e1})},
             Case{"third of two bad", archiveOf({e1, e2, corrupt(e3, 24), corrupt(e1, 30)}),
                  fixed("three"), archiveOf({e1, e2})},
             Case{"time field", archiveOf({e1, timeChanged, e3}), "",
                  archiveOf({e1, timeChanged, e3})},
             Case{"name byte", archiveOf({e1, nameChanged}), "", archiveOf({e1, nameChanged})},
             Case{"lead byte", archiveOf({e1, leadChanged, e3}), "",
                  archiveOf({e1, leadChanged, e3})},
             Case{"lead to zero",
                  [&] {
                      Bytes b = archiveOf({e1, e2, e3});
                      b[e1.size()] = 0;
                      return b;
                  }(),
                  "", archiveOf({e1})},
             Case{"crc field", archiveOf({e1, crcChanged, e3}), fixed("two"), archiveOf({e1})},
             Case{"shorter length", archiveOf({e1, lenShorter, e3}), fixed("two"), archiveOf({e1})},
             Case{"bad then cut",
                  [&] {
                      Bytes b = archiveOf({e1, corrupt(e2, 22), e3});
                      b.resize(b.size() - 4);
                      return b;
                  }(),
                  fixed("two"), archiveOf({e1})},
             Case{"stray bytes",
                  [&] {
                      Bytes b = sound;
                      b.push_back(1);
                      b.push_back(2);
                      return b;
                  }(),
                  "", sound},
         }) {
        writeFile(path("t.pkz"), c.archive);
        RunResult r = run({"-f", "t.pkz"});
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(readFile(path("t.pkz")), c.want) << c.what;
        EXPECT_EQ(listDir(dir), std::vector<std::string>{"t.pkz"}) << c.what;
    }
}

// Cut short after a sound first entry: the run fails and keeps the working
// copy it wrote. Without a sound first entry (no archive at all, or one
// whose first block fails its check) nothing is kept and nothing is made.
TEST_F(DeleteFix, RepairOfUnreadableArchivesFails) {
    Bytes e1 = goodEntry("one", kBlockA);
    Bytes e2 = goodEntry("two", kBlockB);
    Bytes lenPastEnd = e2;
    lenPastEnd[1 + 4 + 3] = 0x7F;  // the block length now reaches far past the file
    Bytes lead2 = e1;
    lead2[0] = 2;
    const std::string err = "Error: Couldn't create temp archive for \"t.pkz\"\n";
    const std::string refused =
        "Warning: \"t.pkz\" - no sound entry to keep, archive left unchanged.\n" + err;
    struct Case {
        const char* what;
        Bytes archive;
        std::optional<Bytes> swap;  // what the working copy holds afterwards; none: refused
    };
    Bytes whole = archiveOf({e1, e2});
    Bytes tar(1024, 0);
    std::string tarName = "notes.txt";
    std::copy(tarName.begin(), tarName.end(), tar.begin());
    for (const Case& c : {
             Case{"no end marker", Bytes(whole.begin(), whole.end() - 1),
                  [&] {
                      Bytes b = e1;
                      b.insert(b.end(), e2.begin(), e2.end());
                      return b;
                  }()},
             Case{"cut in last entry", Bytes(whole.begin(), whole.end() - 6), e1},
             Case{"length past end", archiveOf({e1, lenPastEnd}), e1},
             Case{"zero length", Bytes{}, std::nullopt},
             Case{"first block", archiveOf({corrupt(e1, 30), e2}), std::nullopt},
             Case{"first block cut", Bytes(whole.begin(), whole.begin() + long(e1.size()) - 3),
                  std::nullopt},
             Case{"first name cut", Bytes{1, 'o', 'n'}, std::nullopt},
             Case{"first length past end", archiveOf({lenPastEnd, e1}), std::nullopt},
             Case{"first lead 2", archiveOf({lead2, e2}), std::nullopt},
             Case{"bytes after empty", Bytes{0, 0, 1}, std::nullopt},
             Case{"executable",
                  bytesOf(std::string("\x7f"
                                      "ELF\2\1\1\0\0\0\0\0\0\0\0\0",
                                      16)),
                  std::nullopt},
             Case{"tar", tar, std::nullopt},
             Case{"zip", bytesOf(std::string("PK\3\4\x14\0\0\0\0\0", 10)), std::nullopt},
             Case{"mp4",
                  bytesOf(std::string("\0\0\0\x18"
                                      "ftypmp42\0\0\0\0mp42isom",
                                      24)),
                  std::nullopt},
         }) {
        writeFile(path("t.pkz"), c.archive);
        RunResult r = run({"-f", "t.pkz"});
        EXPECT_EQ(r.out, c.swap ? err : refused) << c.what;
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(readFile(path("t.pkz")), c.archive) << c.what;
        if (c.swap) {
            EXPECT_EQ(readFile(path("t.pkz.swp0")), *c.swap) << c.what;
            ::unlink(path("t.pkz.swp0").c_str());
        }
        EXPECT_EQ(listDir(dir), std::vector<std::string>{"t.pkz"}) << c.what;
    }
    ::unlink(path("t.pkz").c_str());
    RunResult missing = run({"-f", "t.pkz"});
    EXPECT_EQ(missing.out, err);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(listDir(dir), std::vector<std::string>{});
}

}  // namespace
