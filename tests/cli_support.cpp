// Runs the built program in a child process and collects what it printed:
// fork and exec on POSIX, CreateProcessW on Windows, where arguments and
// paths pass as UTF-16 and names inside the tests stay UTF-8.
#include "cli_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "archive/crc32.h"

namespace testing_support {
namespace {

namespace fs = std::filesystem;

// A path from a UTF-8 name, so that the tests name files the same way on
// every platform.
fs::path fsPath(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8Of(const fs::path& p) {
    std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

std::string slurp(const std::string& path) {
    std::ifstream in(fsPath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

#ifdef _WIN32

std::wstring widen(const std::string& s) {
    if (s.empty()) return {};
    int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring w(size_t(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
    return w;
}

// One argument as the C runtime's command-line parser will split it again.
std::wstring quoteArgument(const std::wstring& a) {
    if (!a.empty() && a.find_first_of(L" \t\n\v\"") == std::wstring::npos) return a;
    std::wstring q = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : a) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them.
        q.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        q.push_back(c);
    }
    q.append(2 * backslashes, L'\\');
    q.push_back(L'"');
    return q;
}

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE && h != nullptr) ::CloseHandle(h);
    }
};

// PELKO_BIN is relative to the directory of the test programs, so the tests
// find the program however the build directory is reached (under Wine, a
// Unix path is no Windows path).
std::wstring pelkoProgram() {
    std::wstring self(32768, L'\0');
    DWORD n = ::GetModuleFileNameW(nullptr, self.data(), DWORD(self.size()));
    self.resize(n);
    self.erase(self.find_last_of(L"\\/") + 1);
    std::wstring rel = widen(PELKO_BIN);
    std::replace(rel.begin(), rel.end(), L'/', L'\\');
    return self + rel;
}

// A file handle the child inherits as a standard handle.
HANDLE inheritable(const std::wstring& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return ::CreateFileW(path.c_str(), access,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

#endif

}  // namespace

#ifdef _WIN32

RunResult runPelkoArgv0(const std::string& dir, const char* argv0,
                        const std::vector<std::string>& args) {
    std::string outPath = dir + "/../.pelko-test-out-" + std::to_string(::GetCurrentProcessId());
    std::string errPath = outPath + ".err";
    RunResult r;
    {
        Handle in(inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING));
        Handle out(inheritable(widen(outPath), GENERIC_WRITE, CREATE_ALWAYS));
        Handle err(inheritable(widen(errPath), GENERIC_WRITE, CREATE_ALWAYS));
        if (out.h == INVALID_HANDLE_VALUE || err.h == INVALID_HANDLE_VALUE) {
            ADD_FAILURE() << "cannot create the output files beside " << dir;
            return r;
        }
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in.h;
        si.hStdOutput = out.h;
        si.hStdError = err.h;
        // Argument 0 is whatever the caller chose; the program is named apart.
        std::wstring line = argv0 ? quoteArgument(widen(argv0)) : std::wstring();
        for (const std::string& a : args) line += L" " + quoteArgument(widen(a));
        std::wstring program = pelkoProgram(), cwd = widen(dir);
        PROCESS_INFORMATION pi{};
        if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                              cwd.c_str(), &si, &pi)) {
            ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError();
            return r;
        }
        Handle process(pi.hProcess), thread(pi.hThread);
        ::WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 0;
        ::GetExitCodeProcess(pi.hProcess, &code);
        r.status = int(code);
    }
    r.out = slurp(outPath);
    r.err = slurp(errPath);
    std::error_code ec;
    fs::remove(fsPath(outPath), ec);
    fs::remove(fsPath(errPath), ec);
    return r;
}

#else

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
    r.out = slurp(outPath);
    r.err = slurp(errPath);
    ::unlink(outPath.c_str());
    ::unlink(errPath.c_str());
    return r;
}

#endif

RunResult runPelko(const std::string& dir, const std::vector<std::string>& args) {
    RunResult r = runPelkoArgv0(dir, "pelko", args);
    EXPECT_EQ(r.err, "") << "nothing may go to standard error";
    return r;
}

Bytes readFile(const std::string& path) {
    // In blocks: a byte at a time through stream iterators is what made an
    // unoptimised build's round trips slow.
    std::ifstream in(fsPath(path), std::ios::binary);
    Bytes out;
    char buf[1 << 16];
    while (in.read(buf, sizeof buf) || in.gcount() > 0)
        out.insert(out.end(), buf, buf + in.gcount());
    return out;
}

void writeFile(const std::string& path, const Bytes& data) {
    std::ofstream out(fsPath(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

void writeFile(const std::string& path, const std::string& data) {
    writeFile(path, bytesOf(data));
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(fsPath(path), ec));
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(fsPath(dir)))
        names.push_back(utf8Of(e.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

bool makeDir(const std::string& path) {
    std::error_code ec;
    return fs::create_directory(fsPath(path), ec);
}

void setEnvironment(const char* name, const char* value) {
#ifdef _WIN32
    ::_putenv_s(name, value ? value : "");  // an empty value removes it
#else
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
#endif
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
#ifdef _WIN32
    // No mkdtemp: try random names until one is new.
    std::random_device random;
    std::string made;
    for (int tries = 0; tries < 100 && made.empty(); ++tries) {
        fs::path p = fs::temp_directory_path() / ("pelko-test-" + std::to_string(random()));
        std::error_code ec;
        if (fs::create_directory(p, ec)) made = utf8Of(p);
    }
    ASSERT_FALSE(made.empty());
    std::replace(made.begin(), made.end(), '\\', '/');
    dir = made + "/work";
    ASSERT_TRUE(fs::create_directory(fsPath(dir)));
#else
    char tmpl[] = "/tmp/pelko-test-XXXXXX";
    char* made = ::mkdtemp(tmpl);
    ASSERT_NE(made, nullptr);
    dir = std::string(made) + "/work";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
#endif
}

void TempDirTest::TearDown() {
    std::error_code ec;
    std::string parent = dir.substr(0, dir.rfind('/'));
    // Give back any permissions a test took away so everything can go.
    fs::permissions(fsPath(dir), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(fsPath(parent), ec);
}

}  // namespace testing_support
