// Runs the built program in a child process and collects what it printed.
#include "cli_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "archive/crc32.h"

namespace testing_support {
namespace {

std::string drain(int fd) {
    std::string s;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, size_t(n));
    return s;
}

}  // namespace

RunResult runPelkoArgv0(const std::string& dir, const char* argv0,
                        const std::vector<std::string>& args) {
    std::string outPath = dir + "/../.pelko-test-out-" + std::to_string(::getpid());
    std::string errPath = outPath + ".err";
    pid_t pid = ::fork();
    if (pid == 0) {
        int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(o, 1);
        ::dup2(e, 2);
        if (::chdir(dir.c_str()) != 0) ::_exit(127);
        std::vector<char*> argv;
        if (argv0) argv.push_back(const_cast<char*>(argv0));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(PELKO_BIN, argv.data());
        ::_exit(127);
    }
    RunResult r;
    int st = 0;
    ::waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    int o = ::open(outPath.c_str(), O_RDONLY);
    int e = ::open(errPath.c_str(), O_RDONLY);
    r.out = drain(o);
    r.err = drain(e);
    ::close(o);
    ::close(e);
    ::unlink(outPath.c_str());
    ::unlink(errPath.c_str());
    return r;
}

RunResult runPelko(const std::string& dir, const std::vector<std::string>& args) {
    RunResult r = runPelkoArgv0(dir, "pelko", args);
    EXPECT_EQ(r.err, "") << "nothing may go to standard error";
    return r;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

void writeFile(const std::string& path, const std::string& data) {
    writeFile(path, bytesOf(data));
}

bool fileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

void appendLE32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

Bytes entryBytes(const std::string& name, const Bytes& block, uint32_t crc, uint8_t lead,
                 uint32_t ctime, uint32_t mtime) {
    Bytes b;
    b.reserve(name.size() + 18 + block.size());
    b.push_back(lead);
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0);
    appendLE32(b, uint32_t(block.size()));
    appendLE32(b, ctime);
    appendLE32(b, mtime);
    appendLE32(b, crc);
    b.insert(b.end(), block.begin(), block.end());
    return b;
}

Bytes goodEntry(const std::string& name, const Bytes& block) {
    return entryBytes(name, block, pelko::crc32(block.data(), block.size()));
}

Bytes archiveOf(const std::vector<Bytes>& entries) {
    Bytes b;
    for (const Bytes& e : entries) b.insert(b.end(), e.begin(), e.end());
    b.push_back(0);
    return b;
}

Bytes skewed(size_t size, uint32_t seed) {
    Bytes b(size);
    for (uint8_t& c : b) {
        seed = seed * 1664525u + 1013904223u;
        uint32_t r = seed >> 24;
        c = uint8_t(r < 128 ? 'a' + r % 4 : r < 224 ? 'e' + r % 16 : r);
    }
    return b;
}

Bytes abracadabraBlock() {
    return {0x05, 0x0B, 0x00, 0x00, 0x00, 0x61, 0x00, 0x01, 0x62, 0xC0, 0x03, 0x63,
            0xE0, 0x04, 0x64, 0xF0, 0x04, 0x72, 0x80, 0x02, 0x69, 0xCF, 0x68};
}

void TempDirTest::SetUp() {
    char tmpl[] = "/tmp/pelko-test-XXXXXX";
    char* made = ::mkdtemp(tmpl);
    ASSERT_NE(made, nullptr);
    dir = std::string(made) + "/work";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
}

void TempDirTest::TearDown() {
    std::error_code ec;
    std::string parent = dir.substr(0, dir.rfind('/'));
    // Give back any permissions a test took away so everything can go.
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(parent, ec);
}

}  // namespace testing_support
