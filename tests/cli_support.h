// Helpers for tests that run the built pelko in a temporary directory, and
// for building archives byte by byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

struct RunResult {
    std::string out;  // standard output
    std::string err;  // standard error, which must stay empty
    int status = -1;
};

// Runs pelko with `args` (argument 0 is added) in `dir`.
RunResult runPelko(const std::string& dir, const std::vector<std::string>& args);
// Runs with an explicit argument 0 (or none at all when `argv0` is null).
RunResult runPelkoArgv0(const std::string& dir, const char* argv0,
                        const std::vector<std::string>& args);

Bytes readFile(const std::string& path);
void writeFile(const std::string& path, const Bytes& data);
void writeFile(const std::string& path, const std::string& data);
bool fileExists(const std::string& path);
std::vector<std::string> listDir(const std::string& dir);  // sorted, without . and ..
bool makeDir(const std::string& path);                     // true when newly made
// Sets a variable of the environment the runs inherit; null removes it.
void setEnvironment(const char* name, const char* value);

Bytes bytesOf(const std::string& s);
void appendLE32(Bytes& b, uint32_t v);

// One entry's bytes: lead, name, NUL, the four fields and the block.
Bytes entryBytes(const std::string& name, const Bytes& block, uint32_t crc, uint8_t lead = 1,
                 uint32_t ctime = 0, uint32_t mtime = 0);
// An entry whose CRC field holds the block's true CRC-32.
Bytes goodEntry(const std::string& name, const Bytes& block);
// Entries followed by the end marker.
Bytes archiveOf(const std::vector<Bytes>& entries);

// Deterministic file contents: `size` bytes of a skewed distribution, so the
// blocks are neither trivial nor incompressible.
Bytes skewed(size_t size, uint32_t seed);

// The 23-byte block of the word "abracadabra".
Bytes abracadabraBlock();

// A fresh temporary directory, removed with everything in it at the end.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string& name) const { return dir + "/" + name; }
    RunResult run(const std::vector<std::string>& args) { return runPelko(dir, args); }
    std::string dir;
};

}  // namespace testing_support
