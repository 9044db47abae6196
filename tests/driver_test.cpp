// Command recognition, argument counts, usage text and version line.
#include "cli_support.h"

namespace {

using namespace testing_support;

const char* kUsageTail =
    " -[axdl] archName.pkz firstFile secondFile .. lastFile\n"
    "a - add file to archive\n"
    "e - extract file from archive\n"
    "d - delete from archive\n"
    "l - print information about archive\n"
    "v - print version of Pelko\n"
    "f - fix an archive\n";

std::string usageFor(const std::string& prog) {
    return "Use: " + prog + kUsageTail;
}

class Driver : public TempDirTest {};

TEST_F(Driver, WrongShapesPrintUsageAndSucceed) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-"},
        {"-ab", "x.pkz"},
        {"a", "x.pkz", "f"},
        {"-x", "x.pkz", "f"},
        {"-z"},
        {"--", "x.pkz"},
        {"-l"},
        {"-l", "x.pkz", "extra"},
        {"-a", "x.pkz"},
        {"-d", "x.pkz"},
        {"-f"},
        {"-f", "x.pkz", "extra"},
        {"-e"},
        {"-A", "x.pkz", "f"},
    };
    for (const auto& args : cases) {
        RunResult r = run(args);
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        EXPECT_EQ(r.out, usageFor("pelko")) << shown;
        EXPECT_EQ(r.status, 0) << shown;
    }
    EXPECT_EQ(listDir(dir), std::vector<std::string>{}) << "usage must not touch any file";
}

TEST_F(Driver, VersionIgnoresOtherArguments) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-v"}, {"-v", "x.pkz"}, {"-v", "x.pkz", "a", "b"}}) {
        RunResult r = run(args);
        EXPECT_EQ(r.out, std::string("Pelko version: ") + PELKO_VERSION + "\n");
        EXPECT_EQ(r.status, 0);
    }
}

TEST_F(Driver, ProgramNameComesFromArgumentZero) {
    struct Case {
        const char* argv0;
        std::string shown;
    };
    std::vector<Case> cases{Case{"x.exe", "x.exe"}, Case{"/usr/local/bin/x.exe", "x.exe"},
                            Case{"C:\\tools\\x.exe", "x.exe"}, Case{"dir/", ""}, Case{"", "arch"}};
#ifndef _WIN32  // Windows always gives a program its own name as argument 0
    cases.push_back(Case{nullptr, "arch"});
#endif
    for (const Case& c : cases) {
        RunResult r = runPelkoArgv0(dir, c.argv0, {});
        EXPECT_EQ(r.out, usageFor(c.shown)) << (c.argv0 ? c.argv0 : "(none)");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
}

}  // namespace
