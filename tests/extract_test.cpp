// Extracting: offset tables, not-found reports, damaged and hostile archives,
// the promise that a failed extraction never destroys a file, and the name
// rules of both platforms.
#include <sys/stat.h>

#include <filesystem>
#include <optional>

#include "archive/output_path.h"
#include "cli_support.h"

namespace {

using namespace testing_support;

class Extract : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_TRUE(makeDir(path("out")));
    }
    // Runs pelko inside the "out" directory, with the archive one level up.
    RunResult runOut(std::vector<std::string> args) { return runPelko(path("out"), args); }
};

const Bytes kAbra = bytesOf("abracadabra");
const Bytes kZeroOne{0x02, 0x03, 0, 0, 0, 0x00, 0x80, 0x01, 0x01, 0x00, 0x01, 0xC0};

TEST_F(Extract, NamedRequestsAndNotFoundReports) {
    writeFile(path("t.pkz"),
              archiveOf({goodEntry("a", abracadabraBlock()), goodEntry("bc", kZeroOne)}));
    struct Case {
        std::vector<std::string> names;
        std::string out;
        std::vector<std::string> files;
    };
    const std::string self =
        "Warning: \"../t.pkz\" - bad name, couldn't use for compress itself.\n";
    for (const Case& c : {
             Case{{"bc", "zz", "a"}, "File zz not found in archive", {"a", "bc"}},
             Case{{"a", "a"},
                  "Warning: \"a\" - two identical name.\nFile __warning__ not found in archive",
                  {"a"}},
             Case{{"../t.pkz", "bc"}, self + "File __warning__ not found in archive", {"bc"}},
             Case{{"q", "r"}, "File q not found in archiveFile r not found in archive", {}},
             Case{{"A"}, "File A not found in archive", {}},
         }) {
        std::vector<std::string> args{"-e", "../t.pkz"};
        args.insert(args.end(), c.names.begin(), c.names.end());
        RunResult r = runOut(args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(listDir(path("out")), c.files);
        for (const auto& f : c.files)
            EXPECT_EQ(readFile(path("out/" + f)), f == "a" ? kAbra : Bytes({0, 0, 1}));
        for (const auto& f : listDir(path("out"))) ::unlink(path("out/" + f).c_str());
    }
}

TEST_F(Extract, ExtractAllInArchiveOrder) {
    // Two entries under one name: extract-all writes both in turn, lookup
    // by name takes the later one.
    writeFile(path("t.pkz"),
              archiveOf({goodEntry("d", kZeroOne), goodEntry("x", abracadabraBlock()),
                         goodEntry("d", abracadabraBlock())}));
    // Also where files live in memory alone, where a file is replaced by
    // other calls.
    std::vector<std::string> outs{path("out")};
#ifndef _WIN32
    char shm[] = "/dev/shm/pelko-test-XXXXXX";
    if (::mkdtemp(shm)) outs.push_back(shm);
#endif
    for (const std::string& out : outs) {
        SCOPED_TRACE(out);
        RunResult r = runPelko(out, {"-e", path("t.pkz")});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(readFile(out + "/d"), kAbra);
        // Permission bits the creation mask would take, and bits it would not.
        for ([[maybe_unused]] unsigned mode : {0600u, 0666u}) {
            writeFile(out + "/d", "old");
#ifndef _WIN32
            ASSERT_EQ(::chmod((out + "/d").c_str(), mode), 0);
#endif
            EXPECT_EQ(runPelko(out, {"-e", path("t.pkz"), "d"}).status, 0);
            EXPECT_EQ(readFile(out + "/d"), kAbra) << "an existing file is replaced";
#ifndef _WIN32  // Windows files have no permission bits
            struct stat st;
            ASSERT_EQ(::stat((out + "/d").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, mode) << "and keeps its permission bits";
#endif
        }
        EXPECT_EQ(listDir(out), (std::vector<std::string>{"d", "x"})) << "no temporary left";
    }
    if (outs.size() > 1) std::filesystem::remove_all(outs.back());
}

TEST_F(Extract, ArchivesThatGiveNoTable) {
    const std::string err = "Error: Couldn't create offset table for files.\n";
    Bytes whole = archiveOf({goodEntry("a", abracadabraBlock())});
    struct Case {
        const char* what;
        std::optional<Bytes> archive;
    };
    for (const Case& c : {Case{"missing", std::nullopt}, Case{"zero bytes", Bytes{}},
                          Case{"no end marker", Bytes(whole.begin(), whole.end() - 1)},
                          Case{"cut in the block", Bytes(whole.begin(), whole.end() - 5)},
                          Case{"cut in the name", Bytes(whole.begin(), whole.begin() + 2)}}) {
        ::unlink(path("t.pkz").c_str());
        if (c.archive) writeFile(path("t.pkz"), *c.archive);
        for (const auto& args :
             std::vector<std::vector<std::string>>{{"-e", "../t.pkz"}, {"-e", "../t.pkz", "a"}}) {
            RunResult r = runOut(args);
            EXPECT_EQ(r.out, err) << c.what;
            EXPECT_EQ(r.status, 1) << c.what;
        }
        EXPECT_EQ(listDir(path("out")), std::vector<std::string>{}) << c.what;
    }
    // The empty archive: nothing to find by name, and no table for all.
    writeFile(path("t.pkz"), Bytes{0});
    RunResult named = runOut({"-e", "../t.pkz", "a"});
    EXPECT_EQ(named.out, "File a not found in archive");
    EXPECT_EQ(named.status, 0);
    RunResult all = runOut({"-e", "../t.pkz"});
    EXPECT_EQ(all.out, err);
    EXPECT_EQ(all.status, 1);
}

TEST_F(Extract, DamagedBlocks) {
    // A flipped stream bit: the warning, whatever the decoder makes, the
    // other entries, and then a failed run. A hard failure after it ends the
    // run with its own message.
    Bytes flipped = abracadabraBlock();
    flipped[21] ^= 0x10;
    const Bytes damaged = entryBytes("a", flipped, 0x12345678u);
    writeFile(path("t.pkz"), archiveOf({damaged, goodEntry("bc", kZeroOne)}));
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"-e", "../t.pkz", "a", "bc"}, {"-e", "../t.pkz"}}) {
        RunResult r = runOut(args);
        EXPECT_EQ(r.out, "Warning: \"a\" - bad hash.\nError: Couldn't extract every file intact\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readFile(path("out/a")).size(), 11u);
        EXPECT_EQ(readFile(path("out/bc")), Bytes({0, 0, 1}));
    }
    writeFile(path("t.pkz"), archiveOf({damaged, goodEntry("sub/x", kZeroOne)}));
    RunResult hard = runOut({"-e", "../t.pkz"});
    EXPECT_EQ(hard.out, "Warning: \"a\" - bad hash.\nError: Couldn't extract file \"sub/x\"\n");
    EXPECT_EQ(hard.status, 1);
    ::unlink(path("out/bc").c_str());

    // Blocks that cannot be decoded fail, leave an existing file as it was,
    // and leave no partial file behind, where a file existed or not.
    Bytes noMatch{0x01, 0x03, 0, 0, 0, 'q', 0x00, 0x01, 0x80};  // stream starts with a 1 bit
    Bytes shortHeader{0x05, 0x0B, 0, 0, 0, 0x61, 0x00};
    // 17 one-bit codes in a stream of 2 bytes.
    Bytes pastStream{0x01, 0x11, 0, 0, 0, 'q', 0x00, 0x01, 0x00, 0x00};
    // 2 MiB of one 1-bit code with a 1 bit halfway: it fails after its
    // first pieces were decoded and written, on one thread or overlapped.
    Bytes halfway{0x01, 0x00, 0x00, 0x20, 0x00, 'q', 0x00, 0x01};
    halfway.resize(halfway.size() + (size_t{1} << 18), 0x00);
    halfway[halfway.size() / 2] = 0x80;
    for (const char* threads : {"1", "2"}) {
        setEnvironment("PELKO_THREADS", threads);
        for (bool existing : {false, true}) {
            for (const Bytes& bad : {noMatch, shortHeader, Bytes{0x01}, pastStream, halfway}) {
                writeFile(path("t.pkz"),
                          archiveOf({goodEntry("a", abracadabraBlock()), goodEntry("keep", bad)}));
                ::unlink(path("out/keep").c_str());
                if (existing) writeFile(path("out/keep"), "precious");
                for (const auto& args : std::vector<std::vector<std::string>>{
                         {"-e", "../t.pkz"}, {"-e", "../t.pkz", "keep"}}) {
                    RunResult e = runOut(args);
                    EXPECT_EQ(e.out, "Error: Couldn't extract file \"keep\"\n");
                    EXPECT_EQ(e.status, 1);
                    if (existing) {
                        EXPECT_EQ(readFile(path("out/keep")), bytesOf("precious"));
                    }
                    EXPECT_EQ(listDir(path("out")), existing
                                                        ? (std::vector<std::string>{"a", "keep"})
                                                        : std::vector<std::string>{"a"});
                }
            }
        }
    }
    setEnvironment("PELKO_THREADS", nullptr);

    // 32 bytes that would decode to 1 GiB of zero bits' copies: not decoded.
    Bytes huge{0x01, 0x00, 0x00, 0x00, 0x40, 'z', 0x00, 0x01, 0x00, 0x00};
    writeFile(path("t.pkz"), archiveOf({goodEntry("big", huge)}));
    ASSERT_EQ(readFile(path("t.pkz")).size(), 32u);
    RunResult big = runOut({"-e", "../t.pkz"});
    EXPECT_EQ(big.out, "Error: Couldn't extract file \"big\"\n");
    EXPECT_EQ(big.status, 1);
    EXPECT_FALSE(fileExists(path("out/big")));
    EXPECT_EQ(listDir(path("out")), (std::vector<std::string>{"a", "keep"}));
}

TEST_F(Extract, StoredNamesWithDirectoriesAndHostileNames) {
    writeFile(path("t.pkz"), archiveOf({goodEntry("sub/f", abracadabraBlock())}));
    RunResult missingDir = runOut({"-e", "../t.pkz"});
    EXPECT_EQ(missingDir.out, "Error: Couldn't extract file \"sub/f\"\n");
    EXPECT_EQ(missingDir.status, 1);
    ASSERT_TRUE(makeDir(path("out/sub")));
    EXPECT_EQ(runOut({"-e", "../t.pkz"}).status, 0);
    EXPECT_EQ(readFile(path("out/sub/f")), kAbra);

#ifdef _WIN32  // two leading separators name another root there: refused
    const std::string absolute = "/abs";
#else
    const std::string absolute = "//abs";
#endif
    writeFile(path("t.pkz"), archiveOf({goodEntry(absolute, abracadabraBlock()),
                                        goodEntry("ok", abracadabraBlock()),
                                        goodEntry("a/../../b", abracadabraBlock()),
                                        goodEntry("never", abracadabraBlock())}));
    RunResult r = runOut({"-e", "../t.pkz"});
    EXPECT_EQ(r.out,
              "Warning: \"a/../../b\" - unsafe path, refused.\n"
              "Error: Couldn't extract file \"a/../../b\"\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(path("out/abs")), kAbra) << "absolute names land below the directory";
    EXPECT_EQ(readFile(path("out/ok")), kAbra);
    EXPECT_FALSE(fileExists(path("b")));
    EXPECT_FALSE(fileExists(path("out/never")));
    std::vector<std::string> hostiles{"..", "../x", "x/..", "/../x"};
#ifdef _WIN32  // where a backslash separates too
    hostiles.insert(hostiles.end(), {"..\\x", "sub\\..\\..\\x", "sub/..\\../x"});
#endif
    for (const std::string& hostile : hostiles) {
        writeFile(path("t.pkz"), archiveOf({goodEntry(hostile, abracadabraBlock())}));
        RunResult h = runOut({"-e", "../t.pkz"});
        EXPECT_EQ(h.status, 1) << hostile;
        EXPECT_FALSE(fileExists(path("x"))) << hostile;
    }
    // Names that merely contain dots are ordinary (where a name may end in
    // dots).
#ifdef _WIN32
    const std::string dots = "y..z";
#else
    const std::string dots = "y..";
#endif
    writeFile(path("t.pkz"), archiveOf({goodEntry("..x", abracadabraBlock()),
                                        goodEntry(dots, abracadabraBlock())}));
    EXPECT_EQ(runOut({"-e", "../t.pkz"}).status, 0);
    EXPECT_EQ(readFile(path("out/..x")), kAbra);
}

// No run writes over the archive it reads, whatever name leads to it (".",
// "..", a hard link): an entry stored under such a name is refused like an
// unsafe path, and a file argument naming it gets the self-name warning. The
// archive stays byte for byte as it was, and nothing else is left.
TEST_F(Extract, NoRunWritesOverTheArchiveItReads) {
    namespace fs = std::filesystem;
    ASSERT_TRUE(makeDir(path("sub")));
    const std::string self =
        "Warning: \"t.pkz\" - bad name, couldn't use for compress itself.\n"
        "File __warning__ not found in archive";
    auto refused = [](const std::string& name) {
        return "Warning: \"" + name +
               "\" - unsafe path, refused.\nError: Couldn't extract file \"" + name + "\"\n";
    };
    struct Case {
        std::string archive;  // its path in the run's directory; "hard" is a link to it
        std::string stored;   // the name of its one entry
        std::vector<std::string> args;
        std::string out;
        int status;
    };
    for (const Case& c : {
             Case{"t.pkz", "t.pkz", {"-e", "t.pkz"}, refused("t.pkz"), 1},
             Case{"t.pkz", "./t.pkz", {"-e", "t.pkz"}, refused("./t.pkz"), 1},
             Case{"t.pkz", "hard", {"-e", "t.pkz"}, refused("hard"), 1},
             Case{"sub/t.pkz", "sub/t.pkz", {"-e", "sub/t.pkz"}, refused("sub/t.pkz"), 1},
             Case{"t.pkz", "./t.pkz", {"-e", "t.pkz", "./t.pkz"}, self, 0},
             Case{"t.pkz", "hard", {"-e", "t.pkz", "hard"}, self, 0},
             Case{"t.pkz", "sub/../t.pkz", {"-d", "t.pkz", "sub/../t.pkz"}, self, 0},
             Case{"t.pkz", "hard", {"-d", "t.pkz", "hard"}, self, 0},
         }) {
        SCOPED_TRACE(c.args.back() + " of " + c.args[0] + " with an entry " + c.stored);
        const Bytes archive = archiveOf({goodEntry(c.stored, abracadabraBlock())});
        writeFile(path(c.archive), archive);
        fs::create_hard_link(path(c.archive), path("hard"));
        const std::vector<std::string> files = listDir(dir), inSub = listDir(path("sub"));
        RunResult r = run(c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(readFile(path(c.archive)), archive);
        EXPECT_EQ(listDir(dir), files);
        EXPECT_EQ(listDir(path("sub")), inSub);
        fs::remove(path("hard"));
        fs::remove(path(c.archive));
    }
}

// Stored names against both platforms' rules: the path written, or "refused".
// Each Windows refusal is a name that Windows would resolve outside the
// directory, to a device or an alternate stream, or to another file's name.
TEST(ExtractNameRules, PosixAndWindows) {
    using pelko::NameRules;
    const std::string refused = "(refused)";
    struct Case {
        const char* name;
        std::string posix, windows;
    };
    const Case cases[] = {
        {"a.txt", "a.txt", "a.txt"},
        {"sub/a.txt", "sub/a.txt", "sub/a.txt"},
        {"sub\\a.txt", "sub\\a.txt", "sub\\a.txt"},
        {"/abs", "abs", "abs"},
        {"\\abs", "\\abs", "abs"},
        {"//abs", "abs", refused},
        {"", "", ""},
        {"/", "", ""},
        {"./a", "./a", "./a"},
        {"..x", "..x", "..x"},
        {"x..y", "x..y", "x..y"},
        {"..", refused, refused},
        {"../x", refused, refused},
        {"x/..", refused, refused},
        {"a/../../b", refused, refused},
        {"/../x", refused, refused},
        {"..\\evil1", "..\\evil1", refused},
        {"sub\\..\\..\\evil4", "sub\\..\\..\\evil4", refused},
        {"sub/..\\x", "sub/..\\x", refused},
        {"C:evil2", "C:evil2", refused},
        {"C:\\evil3", "C:\\evil3", refused},
        {"c:/evil", "c:/evil", refused},
        {"file.txt:stream", "file.txt:stream", refused},
        {"\\\\?\\C:\\evil5", "\\\\?\\C:\\evil5", refused},
        {"\\\\server\\share\\x", "\\\\server\\share\\x", refused},
        {"/\\server", "\\server", refused},
        {"nul.txt", "nul.txt", refused},
        {"aux", "aux", refused},
        {"COM1.log", "COM1.log", refused},
        {"sub/Con", "sub/Con", refused},
        {"lpt9.a.b", "lpt9.a.b", refused},
        {"com0", "com0", refused},
        {"NUL .txt", "NUL .txt", refused},
        {"COM\xC2\xB9", "COM\xC2\xB9", refused},
        {"conout$", "conout$", refused},
        {"nul_", "nul_", "nul_"},
        {"com10", "com10", "com10"},
        {"lpt", "lpt", "lpt"},
        {"console.txt", "console.txt", "console.txt"},
        {"x.nul", "x.nul", "x.nul"},
        {"trail.", "trail.", refused},
        {"trail ", "trail ", refused},
        {"dir./x", "dir./x", refused},
        {"a<b", "a<b", refused},
        {"a>b", "a>b", refused},
        {"a\"b", "a\"b", refused},
        {"a|b", "a|b", refused},
        {"a?b", "a?b", refused},
        {"a*b", "a*b", refused},
        {"a\tb", "a\tb", refused},
        {" lead", " lead", " lead"},
        {"\xC3\xA9t\xC3\xA9.txt", "\xC3\xA9t\xC3\xA9.txt", "\xC3\xA9t\xC3\xA9.txt"},
    };
    auto shown = [&](std::string_view name, NameRules rules) {
        return pelko::safeOutputPath(name, rules).value_or(refused);
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shown(c.name, NameRules::Posix), c.posix) << c.name;
        EXPECT_EQ(shown(c.name, NameRules::Windows), c.windows) << c.name;
    }
}

}  // namespace
