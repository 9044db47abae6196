// Adding files: entry layout, screening warnings, working copies, commit and
// the files that must be refused.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "archive/crc32.h"
#include "cli_support.h"

namespace {

using namespace testing_support;

class Add : public TempDirTest {
protected:
    // The stored names of an archive, read with the listing.
    std::string listing(const std::string& archive) { return run({"-l", archive}).out; }
};

// Blanks the two time fields of every entry so archives compare exactly.
Bytes withoutTimes(Bytes a) {
    size_t p = 0;
    while (p < a.size() && a[p] != 0) {
        size_t nul = p + 1;
        while (a[nul] != 0) ++nul;
        size_t f = nul + 1;
        uint32_t len = a[f] | a[f + 1] << 8 | a[f + 2] << 16 | uint32_t(a[f + 3]) << 24;
        std::fill(a.begin() + long(f + 4), a.begin() + long(f + 12), 0);
        p = f + 16 + len;
    }
    return a;
}

TEST_F(Add, AbracadabraGivesTheKnownArchive) {
    writeFile(path("a.txt"), "abracadabra");
    RunResult r = run({"-a", "t.pkz", "a.txt"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    Bytes archive = readFile(path("t.pkz"));
    ASSERT_EQ(archive.size(), 47u);
    EXPECT_EQ(withoutTimes(archive), archiveOf({goodEntry("a.txt", abracadabraBlock())}));
    // The modification time is the source file's.
    struct stat st;
    ASSERT_EQ(::stat(path("a.txt").c_str(), &st), 0);
    uint32_t mtime =
        archive[11] | archive[12] << 8 | archive[13] << 16 | uint32_t(archive[14]) << 24;
    EXPECT_EQ(mtime, uint32_t(st.st_mtime));
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"a.txt", "t.pkz"})) << "working copy gone";
}

TEST_F(Add, EntriesFollowCommandLineOrderWithNamesAsTyped) {
    ASSERT_TRUE(makeDir(path("sub")));
    writeFile(path("b.txt"), "bbbb");
    writeFile(path("sub/a.txt"), "abracadabra");
    writeFile(path("empty"), "");
    RunResult r = run({"-a", "t.pkz", "b.txt", "empty", "sub/a.txt"});
    EXPECT_EQ(r.out, "File \"empty\" is null. Skip it.\n");
    EXPECT_EQ(r.status, 0);
    Bytes bBlock{1, 4, 0, 0, 0, 'b', 0x00, 1, 0x00};
    EXPECT_EQ(withoutTimes(readFile(path("t.pkz"))),
              archiveOf({goodEntry("b.txt", bBlock), goodEntry("sub/a.txt", abracadabraBlock())}));
    // A second run appends after what is stored.
    writeFile(path("c"), "abracadabra");
    EXPECT_EQ(run({"-a", "t.pkz", "c"}).status, 0);
    EXPECT_EQ(withoutTimes(readFile(path("t.pkz"))),
              archiveOf({goodEntry("b.txt", bBlock), goodEntry("sub/a.txt", abracadabraBlock()),
                         goodEntry("c", abracadabraBlock())}));
}

TEST_F(Add, ScreeningWarningsInOrder) {
    for (const char* f : {"x", "y", "__warning__", "__warning__x", "a.txt", "A.TXT"})
        writeFile(path(f), "abracadabra");
    struct Case {
        std::vector<std::string> args;
        std::string out;
        std::vector<std::string> stored;
    };
    const std::string self = "Warning: \"t.pkz\" - bad name, couldn't use for compress itself.\n";
    const std::string dupX = "Warning: \"x\" - two identical name.\n";
    for (const Case& c : {
             Case{{"x", "x", "t.pkz"}, dupX + self, {"x"}},
             Case{{"x", "x", "y", "x"}, dupX + dupX, {"x", "y"}},
             Case{{"t.pkz", "y", "t.pkz"}, self + self, {"y"}},
             Case{{"__warning__", "__warning__x"}, "", {"__warning__x"}},
             Case{{"a.txt", "A.TXT"}, "", {"a.txt", "A.TXT"}},
         }) {
        ::unlink(path("t.pkz").c_str());
        std::vector<std::string> args{"-a", "t.pkz"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run(args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 0);
        std::vector<Bytes> entries;
        for (const auto& s : c.stored) entries.push_back(goodEntry(s, abracadabraBlock()));
        EXPECT_EQ(withoutTimes(readFile(path("t.pkz"))), archiveOf(entries)) << r.out;
    }
}

TEST_F(Add, AlreadyStoredNamesAreKept) {
    for (const char* f : {"x", "y", "z"}) writeFile(path(f), "abracadabra");
    ASSERT_EQ(run({"-a", "t.pkz", "x", "y"}).status, 0);
    Bytes before = readFile(path("t.pkz"));
    writeFile(path("x"), "something else entirely");
    RunResult r = run({"-a", "t.pkz", "y", "z", "x"});
    EXPECT_EQ(r.out,
              "Warning: \"x\" - bad name, archive already contain file with this name\n"
              "Warning: \"y\" - bad name, archive already contain file with this name\n");
    EXPECT_EQ(r.status, 0);
    Bytes after = readFile(path("t.pkz"));
    ASSERT_GT(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.end() - 1, after.begin()));
    EXPECT_EQ(withoutTimes(after),
              archiveOf({goodEntry("x", abracadabraBlock()), goodEntry("y", abracadabraBlock()),
                         goodEntry("z", abracadabraBlock())}));
}

TEST_F(Add, FailuresLeaveTheArchiveAndTheWorkingCopy) {
    writeFile(path("x"), "abracadabra");
    writeFile(path("y"), "abracadabra");
    ASSERT_EQ(run({"-a", "t.pkz", "x"}).status, 0);
    Bytes before = readFile(path("t.pkz"));
    RunResult r = run({"-a", "t.pkz", "y", "missing", "x2"});
    EXPECT_EQ(r.out, "Error: Couldn't add file \"missing\"\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(path("t.pkz")), before);
    // The working copy holds what was added before the failure.
    EXPECT_EQ(withoutTimes(readFile(path("t.pkz.swp0"))),
              archiveOf({goodEntry("x", abracadabraBlock()), goodEntry("y", abracadabraBlock())}));
}

TEST_F(Add, RefusesWhatCannotBeStored) {
    ASSERT_TRUE(makeDir(path("d")));
    std::vector<std::string> refused{"d"};
#ifndef _WIN32  // no FIFOs on Windows
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0644), 0);
    refused.push_back("fifo");
#endif
    // Names of exactly 1024 and 1023 bytes, through nested directories.
    auto nested = [&](size_t length) {
        std::string name;
        while (length - name.size() > 200) {
            name += std::string(99, char('a' + name.size() % 26)) + "/";
            makeDir(path(name));
        }
        name += std::string(length - name.size(), 'f');
        writeFile(path(name), "abracadabra");
        return name;
    };
    std::string longName = nested(1024), longest = nested(1023);
    ASSERT_EQ(readFile(path(longName)).size(), 11u);
    refused.push_back(longName);
    for (const std::string& bad : refused) {
        RunResult r = run({"-a", "t.pkz", bad});
        EXPECT_EQ(r.out, "Error: Couldn't add file \"" + bad + "\"\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(fileExists(path("t.pkz")));
    }
    EXPECT_EQ(run({"-a", "t.pkz", longest}).status, 0);
    EXPECT_EQ(run({"-l", "t.pkz"}).status, 0) << "a 1023-byte name reads back";
}

TEST_F(Add, FourGibibyteFileIsRefused) {
    writeFile(path("big"), "");
    std::filesystem::resize_file(path("big"), uint64_t(1) << 32);  // sparse
    RunResult r = run({"-a", "t.pkz", "big"});
    EXPECT_EQ(r.out, "Error: Couldn't add file \"big\"\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fileExists(path("t.pkz")));
}

TEST_F(Add, WorkingCopyNames) {
    writeFile(path("x"), "abracadabra");
    writeFile(path("t.pkz.swp0"), "stale0");
    writeFile(path("t.pkz.swp1"), "stale1");
    EXPECT_EQ(run({"-a", "t.pkz", "x"}).status, 0);
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"t.pkz", "t.pkz.swp0", "t.pkz.swp1", "x"}));
    EXPECT_EQ(readFile(path("t.pkz.swp1")), bytesOf("stale1"));
    Bytes before = readFile(path("t.pkz"));
    for (int n = 2; n < 256; ++n) writeFile(path("t.pkz.swp" + std::to_string(n)), "");
    writeFile(path("y"), "abracadabra");
    RunResult r = run({"-a", "t.pkz", "y"});
    EXPECT_EQ(r.out, "Error: Couldn't create temp archive for \"t.pkz\"\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(path("t.pkz")), before);
}

// Names read before the archive ends short are screened all the same: a cut
// inside the block length of "old" still warns that it is stored.
TEST_F(Add, DamagedArchivesFailScreening) {
    writeFile(path("x"), "abracadabra");
    writeFile(path("old"), "abracadabra");
    Bytes whole = archiveOf({goodEntry("old", abracadabraBlock())});
    const std::string err = "Error: Couldn't validation file names\n";
    struct Case {
        Bytes damaged;
        std::string file, out;
    };
    for (const Case& c : {
             Case{{}, "x", err},
             Case{Bytes(whole.begin(), whole.end() - 1), "x", err},
             Case{Bytes(whole.begin(), whole.begin() + 7), "old",
                  "Warning: \"old\" - bad name, archive already contain file with this name\n" +
                      err},
         }) {
        writeFile(path("t.pkz"), c.damaged);
        RunResult r = run({"-a", "t.pkz", c.file});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readFile(path("t.pkz")), c.damaged);
        ::unlink(path("t.pkz.swp0").c_str());
    }
}

// The format has no magic number: a file whose first end marker is not its
// last byte (bytes after the end marker, a lead byte damaged to 0, or no
// archive at all, like a video named in the archive's place) is refused, and
// stays byte for byte as it was.
TEST_F(Add, AFileThatIsNotAnArchiveIsRefused) {
    writeFile(path("x"), "abracadabra");
    Bytes old =
        archiveOf({goodEntry("old", abracadabraBlock()), goodEntry("more", abracadabraBlock())});
    Bytes stray = old;
    stray.insert(stray.end(), {1, 'q', 0, 5, 5});
    Bytes leadZero = old;
    leadZero[goodEntry("old", abracadabraBlock()).size()] = 0;
    const Bytes video =
        bytesOf(std::string("\0\0\0\x18"
                            "ftypmp42\0\0\0\0mp42isom",
                            24));
    for (const Bytes& notArchive : {stray, leadZero, video}) {
        writeFile(path("t.pkz"), notArchive);
        RunResult r = run({"-a", "t.pkz", "x"});
        EXPECT_EQ(r.out, "Error: Couldn't validation file names\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readFile(path("t.pkz")), notArchive);
        ::unlink(path("t.pkz.swp0").c_str());
    }
}

// A file argument that is the archive under another name (a path through
// "." or "..", a hard link, a symbolic link) would put the archive inside
// itself: it is turned away like the archive's own name.
TEST_F(Add, TheArchiveNeverGoesIntoItself) {
    namespace fs = std::filesystem;
    writeFile(path("x"), "abracadabra");
    writeFile(path("y"), "abracadabra");
    ASSERT_TRUE(makeDir(path("sub")));
    ASSERT_EQ(run({"-a", "t.pkz", "x"}).status, 0);
    std::vector<std::string> names{"./t.pkz", "sub/../t.pkz", "hard"};
    std::vector<std::string> files{"hard", "sub", "t.pkz", "x", "y"};
#ifndef _WIN32  // symbolic links need privileges on Windows
    fs::create_symlink("t.pkz", path("soft"));
    names.push_back("soft");
    files.insert(files.begin() + 1, "soft");
#endif
    const Bytes before = readFile(path("t.pkz"));
    const std::string self = "Warning: \"t.pkz\" - bad name, couldn't use for compress itself.\n";
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        writeFile(path("t.pkz"), before);
        fs::remove(path("hard"));
        fs::create_hard_link(path("t.pkz"), path("hard"));  // the commit replaces t.pkz
        RunResult r = run({"-a", "t.pkz", name, "y"});
        EXPECT_EQ(r.out, self);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(
            withoutTimes(readFile(path("t.pkz"))),
            archiveOf({goodEntry("x", abracadabraBlock()), goodEntry("y", abracadabraBlock())}));
        EXPECT_EQ(listDir(dir), files);
    }
}

#ifndef _WIN32  // Windows files have no permission bits, and links need privileges
TEST_F(Add, CommitKeepsPermissionsAndSymbolicLinks) {
    writeFile(path("x"), "abracadabra");
    writeFile(path("y"), "abracadabra");
    ASSERT_EQ(run({"-a", "t.pkz", "x"}).status, 0);
    ASSERT_EQ(::chmod(path("t.pkz").c_str(), 0640), 0);
    ASSERT_EQ(::symlink("t.pkz", path("link.pkz").c_str()), 0);
    EXPECT_EQ(run({"-a", "link.pkz", "y"}).status, 0);
    struct stat st;
    ASSERT_EQ(::lstat(path("link.pkz").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    ASSERT_EQ(::stat(path("t.pkz").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(withoutTimes(readFile(path("t.pkz"))),
              archiveOf({goodEntry("x", abracadabraBlock()), goodEntry("y", abracadabraBlock())}));
    writeFile(path("z"), "abracadabra");
    EXPECT_EQ(run({"-a", "t.pkz", "z"}).status, 0);
    ASSERT_EQ(::stat(path("t.pkz").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "rename keeps the archive's permission bits";
}
#endif

}  // namespace
