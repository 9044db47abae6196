// Real files of this machine through add, extract, delete and repair.
#include <sys/stat.h>

#include <bit>
#include <filesystem>
#include <map>
#include <optional>
#include <random>

#include "cli_support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// Up to `limit` regular files below `root`, smaller than `max_size`, in a
// fixed order so that runs are repeatable.
std::vector<fs::path> sampleFiles(const fs::path& root, size_t limit, uintmax_t max_size) {
    std::vector<fs::path> all;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        if (it->is_regular_file(ec) && !it->is_symlink(ec) && it->file_size(ec) < max_size)
            all.push_back(it->path());
        if (all.size() >= limit * 20) break;
    }
    std::sort(all.begin(), all.end());
    std::vector<fs::path> picked;
    for (size_t i = 0; i < all.size() && picked.size() < limit;
         i += std::max<size_t>(1, all.size() / limit))
        picked.push_back(all[i]);
    return picked;
}

class RoundTrip : public TempDirTest {};

TEST_F(RoundTrip, MachineFilesComeBackByteForByte) {
    ASSERT_TRUE(makeDir(path("in")));
    std::vector<std::string> names;
    std::map<std::string, Bytes> originals;
    auto addFile = [&](const std::string& name, const Bytes& data) {
        writeFile(path("in/" + name), data);
        names.push_back("in/" + name);
        originals["in/" + name] = data;
    };
    int n = 0;
    for (const char* root :
         {"/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/include", "/usr/share/doc"})
        for (const fs::path& p : sampleFiles(root, 60, 4u << 20))
            addFile(std::to_string(n++) + "_" + p.filename().string(), readFile(p.string()));
    // Inputs that stress the code: every byte value, one value, a very
    // skewed spread, and one large file.
    Bytes every(256 * 40);
    for (size_t i = 0; i < every.size(); ++i) every[i] = uint8_t(i * 7);
    addFile("every", every);
    addFile("single", Bytes(100001, 'z'));
    std::mt19937 rng(1);
    Bytes skewed(300000);
    for (auto& b : skewed) b = uint8_t(std::countr_zero(rng() | 0x80000000u));
    addFile("skewed", skewed);
    Bytes large(12u << 20);
    for (auto& b : large) b = uint8_t("etaoin shrdlu\n"[rng() % 14]);
    addFile("large", large);
    // Large entries go through memory in pieces of 256 KiB: one byte short
    // of a whole number of them, and one byte over.
    addFile("pieces-1", Bytes(large.begin(), large.begin() + (8 << 18) - 1));
    addFile("pieces+1", Bytes(large.end() - (8 << 18) - 1, large.end()));

    // An empty file in the middle: its message must come at its turn.
    writeFile(path("in/empty"), Bytes{});
    std::vector<std::string> args{"-a", "t.pkz"};
    args.insert(args.end(), names.begin(), names.end());
    args.insert(args.begin() + 2 + names.size() / 2, "in/empty");

    // The same archive, messages and extracted files whatever the thread
    // count; 1 is the single-threaded path.
    Bytes built;
    for (const char* threads : {"1", "2", "3", "7"}) {
        SCOPED_TRACE(std::string("PELKO_THREADS=") + threads);
        setEnvironment("PELKO_THREADS", threads);
        fs::remove(path("t.pkz"));
        RunResult added = run(args);
        ASSERT_EQ(added.status, 0) << added.out;
        EXPECT_EQ(added.out, "File \"in/empty\" is null. Skip it.\n");
        if (built.empty()) built = readFile(path("t.pkz"));
        ASSERT_TRUE(readFile(path("t.pkz")) == built);

        // Extract-all into a fresh directory.
        fs::remove_all(path("all"));
        ASSERT_TRUE(makeDir(path("all")));
        ASSERT_TRUE(makeDir(path("all/in")));
        RunResult all = runPelko(path("all"), {"-e", "../t.pkz"});
        ASSERT_EQ(all.status, 0) << all.out;
        EXPECT_EQ(all.out, "");
        for (const auto& [name, data] : originals)
            ASSERT_EQ(readFile(path("all/" + name)), data) << name;
    }
    setEnvironment("PELKO_THREADS", nullptr);

    // Delete every other entry, then extract the rest by name.
    std::vector<std::string> del{"-d", "t.pkz"}, keep{"-e", "../t.pkz"};
    for (size_t i = 0; i < names.size(); ++i) (i % 2 ? del : keep).push_back(names[i]);
    ASSERT_EQ(run(del).status, 0);
    ASSERT_TRUE(makeDir(path("kept")));
    ASSERT_TRUE(makeDir(path("kept/in")));
    RunResult kept = runPelko(path("kept"), keep);
    ASSERT_EQ(kept.status, 0) << kept.out;
    EXPECT_EQ(kept.out, "");
    for (size_t i = 0; i < names.size(); i += 2)
        ASSERT_EQ(readFile(path("kept/" + names[i])), originals[names[i]]) << names[i];
    EXPECT_EQ(listDir(path("kept/in")).size(), (names.size() + 1) / 2);

    // Damage one block near the middle of the archive, repair, and extract
    // what is left: everything before the damaged entry.
    Bytes archive = readFile(path("t.pkz"));
    size_t victim = archive.size() / 2;
    archive[victim] ^= 0xFF;
    writeFile(path("t.pkz"), archive);
    // Extracting it warns at the damaged entry, and what comes out before
    // and after is the same whatever the thread count.
    std::optional<RunResult> first;
    std::vector<std::string> firstFiles;
    for (const char* threads : {"1", "3"}) {
        SCOPED_TRACE(std::string("PELKO_THREADS=") + threads);
        setEnvironment("PELKO_THREADS", threads);
        fs::remove_all(path("bad"));
        ASSERT_TRUE(makeDir(path("bad")));
        ASSERT_TRUE(makeDir(path("bad/in")));
        RunResult r = runPelko(path("bad"), {"-e", "../t.pkz"});
        EXPECT_NE(r.out.find("\" - bad hash.\n"), std::string::npos) << r.out;
        if (!first) first = r, firstFiles = listDir(path("bad/in"));
        EXPECT_EQ(r.out, first->out);
        EXPECT_EQ(r.status, first->status);
        EXPECT_EQ(listDir(path("bad/in")), firstFiles);
    }
    setEnvironment("PELKO_THREADS", nullptr);
    RunResult fixed = run({"-f", "t.pkz"});
    ASSERT_EQ(fixed.status, 0);
    ASSERT_EQ(fixed.out.rfind("Fixed: find a error on file \"", 0), 0u) << fixed.out;
    fs::remove_all(path("kept/in"));
    ASSERT_TRUE(makeDir(path("kept/in")));
    RunResult rest = runPelko(path("kept"), {"-e", "../t.pkz"});
    ASSERT_EQ(rest.status, 0) << rest.out;
    std::vector<std::string> left = listDir(path("kept/in"));
    EXPECT_GT(left.size(), 0u);
    EXPECT_LT(left.size(), (names.size() + 1) / 2);
    for (const std::string& f : left)
        ASSERT_EQ(readFile(path("kept/in/" + f)), originals["in/" + f]) << f;
}

}  // namespace
