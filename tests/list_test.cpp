// Listing archives built byte by byte, sound and damaged.
#include "cli_support.h"

namespace {

using namespace testing_support;

class List : public TempDirTest {};

TEST_F(List, SoundArchives) {
    Bytes two =
        archiveOf({goodEntry("a.txt", abracadabraBlock()), goodEntry("dir/b", Bytes(300, 0x11))});
    struct Case {
        Bytes archive;
        std::string out;
    };
    for (const Case& c : {
             Case{Bytes{0},
                  "Archive \"t.pkz\" contain:\n\n\nCompressing data: 0\nCount of files: 0\n"},
             Case{archiveOf({goodEntry("abra", abracadabraBlock())}),
                  "Archive \"t.pkz\" contain:\n\n \"abra\" : 23\n\nCompressing data: 23\n"
                  "Count of files: 1\n"},
             Case{two,
                  "Archive \"t.pkz\" contain:\n\n \"a.txt\" : 23\n \"dir/b\" : 300\n\n"
                  "Compressing data: 323\nCount of files: 2\n"},
         }) {
        writeFile(path("t.pkz"), c.archive);
        RunResult r = run({"-l", "t.pkz"});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(readFile(path("t.pkz")), c.archive) << "listing changes nothing";
    }
    // Stray bytes after the end marker are never looked at.
    Bytes stray = two;
    stray.insert(stray.end(), {1, 'z', 0, 9});
    writeFile(path("t.pkz"), stray);
    EXPECT_EQ(run({"-l", "t.pkz"}).status, 0);
}

TEST_F(List, UnreadableArchivesFailAfterWhatWasListed) {
    const std::string err = "Error: Couldn't read archive \"t.pkz\"\n";
    EXPECT_EQ(run({"-l", "t.pkz"}).out, err) << "missing archive";
    EXPECT_EQ(run({"-l", "t.pkz"}).status, 1);

    writeFile(path("t.pkz"), Bytes{});
    RunResult empty = run({"-l", "t.pkz"});
    EXPECT_EQ(empty.out, "Archive \"t.pkz\" contain:\n\n" + err);
    EXPECT_EQ(empty.status, 1);

    // Cutting a two-entry archive: an entry is listed once its name and
    // block length are whole, and the totals never appear.
    Bytes first = goodEntry("one", abracadabraBlock());
    Bytes second = goodEntry("two", Bytes(40, 7));
    Bytes whole = archiveOf({first, second});
    const std::string head = "Archive \"t.pkz\" contain:\n\n";
    for (size_t cut = 1; cut < whole.size(); ++cut) {
        writeFile(path("t.pkz"), Bytes(whole.begin(), whole.begin() + long(cut)));
        std::string want = head;
        if (cut >= 1 + 4 + 4) want += " \"one\" : 23\n";
        if (cut >= first.size() + 1 + 4 + 4) want += " \"two\" : 40\n";
        RunResult r = run({"-l", "t.pkz"});
        EXPECT_EQ(r.out, want + err) << "cut at " << cut;
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(List, OverlongStoredNameIsTreatedAsDamage) {
    Bytes archive = archiveOf({goodEntry(std::string(1500, 'n'), Bytes{1, 2, 3})});
    writeFile(path("t.pkz"), archive);
    RunResult r = run({"-l", "t.pkz"});
    EXPECT_EQ(r.out, "Archive \"t.pkz\" contain:\n\nError: Couldn't read archive \"t.pkz\"\n");
    EXPECT_EQ(r.status, 1);
}

}  // namespace
