// Files of every kind, generated from a seed, through add, extract, delete
// and repair.
#include <bit>
#include <cmath>
#include <filesystem>
#include <map>
#include <optional>
#include <random>

#include "cli_support.h"
#include "codec/huffman.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// One of 0 .. n-1, the small ones far likelier, as letters and words are.
size_t frequent(std::mt19937& rng, size_t n) {
    const size_t a = rng() % n, b = rng() % n;
    return a * b / (n - 1);
}

// Text as documentation and source have it: words of a small vocabulary in
// indented lines, with punctuation and the odd number.
Bytes textOf(size_t size, std::mt19937& rng) {
    std::vector<std::string> words;
    for (int w = 0; w < 300; ++w) {
        std::string word;
        for (size_t n = 1 + rng() % 9; n > 0; --n)
            word += "etaoinshrdlucmfwypvbgkqjxz"[frequent(rng, 26)];
        words.push_back(word);
    }
    std::string out;
    while (out.size() < size) {
        out.append(rng() % 4 == 0 ? (rng() % 3 + 1) * 4 : 0, ' ');
        for (size_t n = 1 + rng() % 12; n > 0; --n) {
            out += rng() % 20 == 0 ? std::to_string(rng() % 10000)
                                   : words[frequent(rng, words.size())];
            out += ",.;:(){} "[rng() % 9 < 6 ? 8 : rng() % 8];
        }
        out += '\n';
    }
    return Bytes(out.begin(), out.begin() + std::ptrdiff_t(size));
}

// A binary as a linker leaves it: zero runs, little-endian counters and
// addresses, NUL-ended strings and stretches of machine code taken as noise.
Bytes binaryOf(size_t size, std::mt19937& rng) {
    Bytes out;
    out.reserve(size + 4096);
    while (out.size() < size) {
        const size_t run = 16 + rng() % 2048;
        switch (rng() % 5) {
            case 0:
                out.insert(out.end(), run, 0);
                break;
            case 1:
                for (uint32_t v = rng() % 1000, i = 0; i < run / 4; ++i, v += 1 + rng() % 8)
                    appendLE32(out, v);
                break;
            case 2:
                for (size_t i = 0; i < run / 8; ++i) {
                    appendLE32(out, 0x401000u + (rng() % 65536) * 16);
                    appendLE32(out, 0);
                }
                break;
            case 3:
                for (const uint8_t c : textOf(run / 4, rng)) out.push_back(c == '\n' ? 0 : c);
                break;
            default:
                for (size_t i = 0; i < run; ++i) out.push_back(uint8_t(rng() >> 24));
        }
    }
    out.resize(size);
    return out;
}

// Bytes no code shrinks: the block is larger than the file.
Bytes noiseOf(size_t size, std::mt19937& rng) {
    Bytes out(size);
    for (auto& b : out) b = uint8_t(rng() >> 24);
    return out;
}

class RoundTrip : public TempDirTest {};

TEST_F(RoundTrip, GeneratedFilesComeBackByteForByte) {
    ASSERT_TRUE(makeDir(path("in")));
    std::vector<std::string> names;
    std::map<std::string, Bytes> originals;
    auto addFile = [&](const std::string& name, const Bytes& data) {
        writeFile(path("in/" + name), data);
        names.push_back("in/" + name);
        originals["in/" + name] = data;
    };
    std::mt19937 rng(1);
    // Many files of a few bytes to a few hundred KiB, of each kind.
    for (int n = 0; n < 40; ++n) {
        const size_t size = size_t(std::exp2(double(rng() % 1800) / 100.0));
        addFile("text-" + std::to_string(n), textOf(size, rng));
        addFile("binary-" + std::to_string(n), binaryOf(size, rng));
        if (n % 4 == 0) addFile("noise-" + std::to_string(n), noiseOf(size, rng));
    }
    // Inputs that stress the code: every byte value, one value, a very
    // skewed spread.
    Bytes every(256 * 40);
    for (size_t i = 0; i < every.size(); ++i) every[i] = uint8_t(i * 7);
    addFile("every", every);
    addFile("single", Bytes(100001, 'z'));
    Bytes skewed(300000);
    for (auto& b : skewed) b = uint8_t(std::countr_zero(rng() | 0x80000000u));
    addFile("skewed", skewed);
    // One byte either side of the sizes where the work is cut up: the
    // encoder's slices, and 1 MiB, past which a file is read and an entry
    // decoded in parts rather than whole, then twice that. Noise codes every
    // byte in 8 bits, so its stream is as long as the file: at those sizes
    // it ends a byte before or after a stretch of the large-entry decoder,
    // and at 1 MiB its block is over 1 MiB from a file under it.
    const size_t mib = size_t(1) << 20;
    static_assert(mib % pelko::kStretchBytes == 0);
    for (const size_t edge : {pelko::kSliceBytes, mib, 2 * mib})
        for (const size_t size : {edge - 1, edge, edge + 1}) {
            addFile("text-" + std::to_string(size), textOf(size, rng));
            if (edge >= mib) addFile("noise-" + std::to_string(size), noiseOf(size, rng));
        }
    // One large file, decoded in many stretches.
    addFile("large", textOf(12u << 20, rng));

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
