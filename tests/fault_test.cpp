// Fault injection on the commands that can fail part way: writes cut short
// by a file-size limit, directories the program may not write, inputs it may
// not read, and a missing input in the middle of the file list. Whatever
// fails, the message and status are the documented ones, the archive stays
// byte-identical, no input changes, and a working copy is left only where a
// failed run is said to leave one.
#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "cli_support.h"

namespace {

using namespace testing_support;

// How the child that runs pelko is hampered.
struct Hamper {
    std::optional<rlim_t> fileSize;  // RLIMIT_FSIZE in bytes
    bool asNobody = false;           // drop to an unprivileged user when running as root
    bool fullOutput = false;         // standard output is /dev/full
    bool noOpenat2 = false;          // openat2 fails with ENOSYS, as on older kernels
    uid_t uid = 65534;               // the unprivileged user: nobody, or kOther
};

// Makes every later openat2 call of this process and its children fail with
// ENOSYS, so the code that does without it runs.
bool refuseOpenat2() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{sizeof filter / sizeof filter[0], filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

constexpr uid_t kNobody = 65534;
// A second unprivileged user, for files that belong to someone else.
constexpr uid_t kOther = 65533;

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, size_t(n));
    ::close(fd);
    return s;
}

// Starts pelko in `dir` with standard output and error on `out` and `err`,
// its limits and identity changed before exec; the child's pid.
pid_t startHampered(const std::string& dir, const std::vector<std::string>& args, const Hamper& h,
                    int out, int err) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (h.fullOutput) out = ::open("/dev/full", O_WRONLY);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (::chdir(dir.c_str()) != 0) ::_exit(125);
    // Signals start from their defaults, as a shell gives them, whatever
    // the test runner had: pelko itself must turn SIGXFSZ, which would end
    // it at a write past the limit, into a failed write.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) ::signal(sig, SIG_DFL);
    if (h.fileSize) {
        rlimit lim{*h.fileSize, *h.fileSize};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(125);
    }
    if (h.asNobody && ::geteuid() == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(h.uid) != 0 || ::setuid(h.uid) != 0)
            ::_exit(126);
    }
    if (h.noOpenat2 && !refuseOpenat2()) ::_exit(125);
    std::vector<char*> argv{const_cast<char*>("pelko")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(PELKO_BIN, argv.data());
    ::_exit(127);
}

// The exit status as runPelko reports it: 128 + the signal for a killed run.
int statusOf(pid_t pid) {
    int st = 0;
    ::waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Like runPelko, with the child hampered. Output goes through pipes, which
// the file-size limit does not cover.
RunResult runHampered(const std::string& dir, const std::vector<std::string>& args,
                      const Hamper& h) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    pid_t pid = startHampered(dir, args, h, out[1], err[1]);
    ::close(out[1]);
    ::close(err[1]);
    RunResult r;
    r.out = drain(out[0]);
    r.err = drain(err[0]);
    r.status = statusOf(pid);
    EXPECT_EQ(r.err, "") << "nothing may go to standard error";
    return r;
}

// Every file of a directory tree with its bytes, to see what a run changed.
using Snapshot = std::map<std::string, Bytes>;

Snapshot snapshot(const std::string& dir, const std::string& prefix = "") {
    Snapshot s;
    for (const std::string& name : listDir(dir)) {
        std::string p = dir + "/" + name;
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            Snapshot sub = snapshot(p, prefix + name + "/");
            s.insert(sub.begin(), sub.end());
            s[prefix + name + "/"] = {};
        } else {
            s[prefix + name] = readFile(p);
        }
    }
    return s;
}

class Fault : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        // The parent of `dir` comes from mkdtemp (0700); a child that drops
        // to nobody must be able to pass through it.
        std::string parent = dir.substr(0, dir.rfind('/'));
        ASSERT_EQ(::chmod(parent.c_str(), 0755), 0);
    }

    // An archive of three entries, "one" small, "two" some 40 KB, "three" a
    // few KB, added by pelko itself; returns its bytes.
    Bytes makeArchive(const std::string& where = "") {
        std::string d = where.empty() ? dir : where;
        writeFile(d + "/one", "abracadabra");
        writeFile(d + "/two", skewed(48 << 10, 7));
        writeFile(d + "/three", skewed(3000, 8));
        RunResult r = runPelko(d, {"-a", "t.pkz", "one", "two", "three"});
        EXPECT_EQ(r.status, 0) << r.out;
        return readFile(d + "/t.pkz");
    }

    // The archive that a successful run of `args` on `archive` leaves. It
    // runs here (or in `where`), on the same input files, so that their
    // times match; the archive is put back afterwards.
    Bytes resultOf(const Bytes& archive, const std::vector<std::string>& args,
                   const std::string& where = "") {
        std::string d = where.empty() ? dir : where;
        writeFile(d + "/t.pkz", archive);
        RunResult r = runPelko(d, args);
        EXPECT_EQ(r.status, 0) << r.out;
        Bytes result = readFile(d + "/t.pkz");
        writeFile(d + "/t.pkz", archive);
        return result;
    }

    // Skips the test when the child cannot be made unprivileged.
    bool canBeNobody() {
        if (::geteuid() != 0) return true;
        RunResult r = runHampered(dir, {"-v"}, Hamper{{}, true});
        return r.status == 0;
    }
};

// The names whose presence or bytes differ, for readable failure reports.
std::string changes(const Snapshot& after, const Snapshot& before) {
    std::string out;
    for (const auto& [name, bytes] : after) {
        auto it = before.find(name);
        if (it == before.end())
            out += " new:" + name;
        else if (it->second != bytes)
            out += " changed:" + name;
    }
    for (const auto& [name, bytes] : before)
        if (!after.count(name)) out += " gone:" + name;
    return out;
}

bool isPrefix(const Bytes& part, const Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

const std::string kTempError = "Error: Couldn't create temp archive for \"t.pkz\"\n";
const std::string kTableError = "Error: Couldn't create offset table for files.\n";

// A write that fails part way through building the working copy: the run
// fails, the archive is untouched, and the partial working copy stays on
// disk holding a leading part of what the finished run would have written.
TEST_F(Fault, WritesCutShortByFileSizeLimit) {
    const Bytes archive = makeArchive();
    ASSERT_GT(archive.size(), 24u << 10);
    writeFile(path("big"), skewed(64 << 10, 9));
    Bytes damaged = archive;
    damaged[damaged.size() - 10] ^= 0x40;  // inside the block of "three"
    struct Case {
        const char* what;
        Bytes before;
        std::vector<std::string> args;
        rlim_t limit;
        std::string out;
        bool crcLast = false;
    };
    for (const Case& c : {
             Case{
                 "add: copying the archive", archive, {"-a", "t.pkz", "big"}, 16 << 10, kTempError},
             Case{"add: appending a file",
                  archive,
                  {"-a", "t.pkz", "big"},
                  rlim_t(archive.size()) + (8 << 10),
                  "Error: Couldn't add file \"big\"\n",
                  true},
             Case{"delete", archive, {"-d", "t.pkz", "one"}, 16 << 10, kTempError},
             Case{"repair", damaged, {"-f", "t.pkz"}, 16 << 10, kTempError},
         }) {
        SCOPED_TRACE(c.what);
        Bytes want = resultOf(c.before, c.args);
        Snapshot inputs = snapshot(dir);
        RunResult r = runHampered(dir, c.args, Hamper{c.limit, false});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 1);
        Snapshot after = snapshot(dir);
        ASSERT_TRUE(after.count("t.pkz.swp0")) << "the working copy stays";
        Bytes wc = after["t.pkz.swp0"];
        EXPECT_LE(wc.size(), c.limit);
        if (c.crcLast) {
            // The entry's CRC field is filled in last; the old entries must
            // be there whole, and the new one begun.
            ASSERT_GT(wc.size(), c.before.size());
            EXPECT_TRUE(std::equal(c.before.begin(), c.before.end() - 1, wc.begin()));
        } else {
            EXPECT_TRUE(isPrefix(wc, want)) << "working copy of " << wc.size() << " bytes";
        }
        after.erase("t.pkz.swp0");
        EXPECT_EQ(changes(after, inputs), "")
            << "archive and inputs untouched, nothing else written";
        ::unlink(path("t.pkz.swp0").c_str());
    }
}

// Extraction writes each file beside its target and renames it into place:
// a write that fails leaves an existing file as it was and no partial file.
TEST_F(Fault, ExtractionCutShortByFileSizeLimit) {
    const Bytes archive = makeArchive();
    ASSERT_EQ(::mkdir(path("out").c_str(), 0755), 0);
    const std::string out = path("out");
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> extracted;
    };
    for (const Case& c : {
             Case{{"-e", "../t.pkz", "one", "two", "three"}, {"one"}},
             Case{{"-e", "../t.pkz"}, {"one"}},
             Case{{"-e", "../t.pkz", "two"}, {}},
         }) {
        std::filesystem::remove_all(out);
        ::mkdir(out.c_str(), 0755);
        writeFile(out + "/two", "the old two");
        Snapshot before = snapshot(dir);
        RunResult r = runHampered(out, c.args, Hamper{16 << 10, false});
        EXPECT_EQ(r.out, "Error: Couldn't extract file \"two\"\n");
        EXPECT_EQ(r.status, 1);
        Snapshot after = snapshot(dir);
        for (const std::string& f : c.extracted) {
            EXPECT_EQ(after["out/" + f], readFile(path(f)));
            after.erase("out/" + f);
        }
        EXPECT_EQ(changes(after, before), "") << "only the files before the failure were written";
    }
}

// A directory the program may not write: as root, the child drops to nobody
// in a directory owned by root; otherwise the directory loses its write bit.
TEST_F(Fault, UnwritableDirectory) {
    if (!canBeNobody()) GTEST_SKIP() << "cannot drop root privileges here";
    const Bytes archive = makeArchive();
    writeFile(path("new"), skewed(5000, 3));
    Bytes damaged = archive;
    damaged[damaged.size() - 10] ^= 0x40;
    ASSERT_EQ(::mkdir(path("out").c_str(), 0755), 0);
    writeFile(path("out/one"), "the old one");
    struct Case {
        Bytes before;
        std::string where;
        std::vector<std::string> args;
        std::string out;
    };
    for (const Case& c : {
             Case{archive, "", {"-a", "t.pkz", "new"}, kTempError},
             Case{archive, "", {"-d", "t.pkz", "two"}, kTempError},
             Case{damaged, "", {"-f", "t.pkz"}, kTempError},
             Case{archive,
                  "out",
                  {"-e", "../t.pkz", "one"},
                  "Error: Couldn't extract file \"one\"\n"},
             Case{archive, "out", {"-e", "../t.pkz"}, "Error: Couldn't extract file \"one\"\n"},
         }) {
        SCOPED_TRACE(c.args[0] + " " + c.where);
        writeFile(path("t.pkz"), c.before);
        Snapshot before = snapshot(dir);
        std::string d = c.where.empty() ? dir : path(c.where);
        if (::geteuid() != 0) {
            ASSERT_EQ(::chmod(d.c_str(), 0555), 0);
        }
        RunResult r = runHampered(d, c.args, Hamper{{}, true});
        ::chmod(d.c_str(), 0755);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(changes(snapshot(dir), before), "") << "nothing written, no working copy";
    }
}

// The commit itself refused: the archive is a symbolic link, which rename
// cannot replace, to a file the program may not write. The run fails with
// the commit's message, the archive is untouched and the finished working
// copy stays.
TEST_F(Fault, CommitRefusedThroughALink) {
    if (!canBeNobody()) GTEST_SKIP() << "cannot drop root privileges here";
    const Bytes archive = makeArchive();
    writeFile(path("new"), skewed(5000, 3));
    Bytes damaged = archive;
    damaged[damaged.size() - 10] ^= 0x40;
    ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(path("ro").c_str(), 0755), 0);
    ASSERT_EQ(::rename(path("t.pkz").c_str(), path("ro/real.pkz").c_str()), 0);
    ASSERT_EQ(::symlink("ro/real.pkz", path("t.pkz").c_str()), 0);
    struct Case {
        Bytes before;
        std::vector<std::string> args;
        std::string first = "";  // what the operation prints before the commit
    };
    for (const Case& c : {
             Case{archive, {"-a", "t.pkz", "new"}},
             Case{archive, {"-d", "t.pkz", "two"}},
             Case{damaged,
                  {"-f", "t.pkz"},
                  "Fixed: find a error on file \"three\", delete the rest of archive.\n"},
         }) {
        SCOPED_TRACE(c.args[0]);
        ::chmod(path("ro/real.pkz").c_str(), 0644);
        const Bytes want = resultOf(c.before, c.args);
        if (::geteuid() != 0) {
            ASSERT_EQ(::chmod(path("ro/real.pkz").c_str(), 0444), 0);
        }
        Snapshot before = snapshot(dir);
        RunResult r = runHampered(dir, c.args, Hamper{{}, true});
        EXPECT_EQ(r.out,
                  c.first + "Error: Couldn't copy temp archive \"t.pkz.swp0\" to \"t.pkz\"\n");
        EXPECT_EQ(r.status, 1);
        Snapshot after = snapshot(dir);
        EXPECT_EQ(after["t.pkz.swp0"], want);
        after.erase("t.pkz.swp0");
        ::unlink(path("t.pkz.swp0").c_str());
        EXPECT_EQ(changes(after, before), "");
    }
}

// Root-proof stand-ins for places that cannot be written: a path that runs
// through a regular file, and an archive that is a directory.
TEST_F(Fault, PathsThroughFilesAndDirectories) {
    const Bytes archive = makeArchive();
    ASSERT_EQ(::mkdir(path("out").c_str(), 0755), 0);
    writeFile(path("out/plain"), "a plain file");
    // An entry whose name puts it below that plain file.
    Bytes hostile =
        archiveOf({goodEntry("one", abracadabraBlock()), goodEntry("plain/x", abracadabraBlock())});
    writeFile(path("hostile.pkz"), hostile);
    ASSERT_EQ(::mkdir(path("dir.pkz").c_str(), 0755), 0);
    struct Case {
        std::string where;
        std::vector<std::string> args;
        std::string out;
        std::string leftover = "";  // an empty working copy a failed run leaves
    };
    for (const Case& c : {
             Case{"out", {"-e", "../hostile.pkz"}, "Error: Couldn't extract file \"plain/x\"\n"},
             Case{"out",
                  {"-e", "../hostile.pkz", "plain/x"},
                  "Error: Couldn't extract file \"plain/x\"\n"},
             Case{"",
                  {"-a", "one/t.pkz", "two"},
                  "Error: Couldn't create temp archive for \"one/t.pkz\"\n"},
             Case{"", {"-d", "one/t.pkz", "two"}, kTableError},
             Case{"",
                  {"-f", "one/t.pkz"},
                  "Error: Couldn't create temp archive for \"one/t.pkz\"\n"},
             Case{"", {"-e", "one/t.pkz"}, kTableError},
             // A directory opens, so adding makes a working copy before
             // the reading fails, as for a zero-length archive; repair reads
             // the first entry before it makes one.
             Case{"",
                  {"-a", "dir.pkz", "two"},
                  "Error: Couldn't create temp archive for \"dir.pkz\"\n",
                  "dir.pkz.swp0"},
             Case{"", {"-d", "dir.pkz", "two"}, kTableError},
             Case{"", {"-f", "dir.pkz"}, "Error: Couldn't create temp archive for \"dir.pkz\"\n"},
             Case{"", {"-e", "dir.pkz"}, kTableError},
         }) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        Snapshot before = snapshot(dir);
        RunResult r = runHampered(c.where.empty() ? dir : path(c.where), c.args, Hamper{});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 1);
        Snapshot after = snapshot(dir);
        // "one" was extracted before "plain/x" failed; nothing else changed.
        if (c.args[1] == "../hostile.pkz" && c.args.size() == 2) {
            EXPECT_EQ(after["out/one"], bytesOf("abracadabra"));
            after.erase("out/one");
        }
        if (!c.leftover.empty()) {
            EXPECT_EQ(after[c.leftover], Bytes{});
            after.erase(c.leftover);
            ::unlink(path(c.leftover).c_str());
        }
        EXPECT_EQ(changes(after, before), "");
    }
}

// Inputs the program may not read: a file without read permission (as
// nobody when running as root), a directory, a path through a file; and an
// archive that may not be read.
TEST_F(Fault, UnreadableInputs) {
    const Bytes archive = makeArchive();
    bool nobody = canBeNobody();
    // Writable for everyone, so that only the reading fails.
    ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    writeFile(path("secret"), "not for you");
    ASSERT_EQ(::chmod(path("secret").c_str(), 0), 0);
    ASSERT_EQ(::mkdir(path("adir").c_str(), 0755), 0);
    writeFile(path("new"), skewed(5000, 4));
    const Bytes withNew = resultOf(archive, {"-a", "t.pkz", "new"});
    struct Case {
        std::vector<std::string> args;
        std::string out;
        bool needsNobody;
        std::optional<Bytes> workingCopy;  // what a failed add leaves
    };
    for (const Case& c : {
             Case{{"-a", "t.pkz", "new", "secret"},
                  "Error: Couldn't add file \"secret\"\n",
                  true,
                  withNew},
             Case{{"-a", "t.pkz", "new", "adir"},
                  "Error: Couldn't add file \"adir\"\n",
                  false,
                  withNew},
             Case{{"-a", "t.pkz", "new", "one/x"},
                  "Error: Couldn't add file \"one/x\"\n",
                  false,
                  withNew},
             Case{{"-a", "secret", "new"},
                  "Error: Couldn't create temp archive for \"secret\"\n",
                  true,
                  {}},
             Case{{"-e", "secret"}, kTableError, true, {}},
             Case{{"-e", "secret", "one"}, kTableError, true, {}},
             Case{{"-d", "secret", "one"}, kTableError, true, {}},
             Case{{"-f", "secret"},
                  "Error: Couldn't create temp archive for \"secret\"\n",
                  true,
                  {}},
         }) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args.back());
        if (c.needsNobody && ::geteuid() == 0 && !nobody) continue;
        writeFile(path("t.pkz"), archive);
        Snapshot before = snapshot(dir);
        RunResult r = runHampered(dir, c.args, Hamper{{}, c.needsNobody});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 1);
        Snapshot after = snapshot(dir);
        if (c.workingCopy) {
            // Every file added before the failure is complete in it.
            EXPECT_EQ(after["t.pkz.swp0"], *c.workingCopy);
            after.erase("t.pkz.swp0");
            ::unlink(path("t.pkz.swp0").c_str());
        }
        EXPECT_EQ(changes(after, before), "");
    }
}

// A name missing from the middle of the list: adding fails there and keeps
// what came before in the working copy; extracting and deleting report it
// and go on with the others.
TEST_F(Fault, MissingInputInTheMiddle) {
    const Bytes archive = makeArchive();
    writeFile(path("first"), skewed(4000, 5));
    writeFile(path("last"), skewed(4000, 6));
    const Bytes withFirst = resultOf(archive, {"-a", "t.pkz", "first"});
    const Bytes withoutBoth = resultOf(archive, {"-d", "t.pkz", "one", "three"});

    Snapshot before = snapshot(dir);
    RunResult r = run({"-a", "t.pkz", "first", "missing", "last"});
    EXPECT_EQ(r.out, "Error: Couldn't add file \"missing\"\n");
    EXPECT_EQ(r.status, 1);
    Snapshot after = snapshot(dir);
    EXPECT_EQ(after["t.pkz.swp0"], withFirst);
    after.erase("t.pkz.swp0");
    EXPECT_EQ(changes(after, before), "");
    ::unlink(path("t.pkz.swp0").c_str());

    ASSERT_EQ(::mkdir(path("out").c_str(), 0755), 0);
    r = runPelko(path("out"), {"-e", "../t.pkz", "one", "missing", "three"});
    EXPECT_EQ(r.out, "File missing not found in archive");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(listDir(path("out")), (std::vector<std::string>{"one", "three"}));
    EXPECT_EQ(readFile(path("out/three")), readFile(path("three")));

    r = run({"-d", "t.pkz", "one", "missing", "three"});
    EXPECT_EQ(r.out, "File missing not found in archive");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(path("t.pkz")), withoutBoth);
}

// What the file system around a run may hold against it: links planted in
// place of outputs and of directories on the way to them, set-id modes, names
// that leave the directory, and names near the length limit of a component.
// Each row runs one command in a fresh directory of its own.
TEST_F(Fault, PathsAndPermissions) {
    const bool nobody = canBeNobody();
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const Bytes abra = bytesOf("abracadabra");
    const std::string long240(240, 'n'), long255(255, 'm');
    auto modeOf = [](const std::string& p) {
        struct stat st;
        return ::lstat(p.c_str(), &st) == 0 ? st.st_mode : mode_t(0);
    };
    auto archiveWith = [](const std::string& d, std::vector<std::string> names) {
        std::vector<Bytes> entries;
        for (const std::string& n : names) entries.push_back(goodEntry(n, abracadabraBlock()));
        writeFile(d + "/t.pkz", archiveOf(entries));
    };
    const auto refused = [](const std::string& n) {
        return "Warning: \"" + n + "\" - unsafe path, refused.\nError: Couldn't extract file \"" +
               n + "\"\n";
    };
    auto walked = [](bool walk) {
        Hamper h;
        h.noOpenat2 = walk;
        return h;
    };
    using Dir = const std::string&;
    struct Row {
        std::string what;
        std::function<void(Dir)> setup;  // given the row's directory
        std::string where;               // where pelko runs, below it
        std::vector<std::string> args;
        Hamper hamper;
        std::string out;
        int status;
        std::function<void(Dir)> check;
    };
    const std::vector<Row> rows = {
        {"a link in place of an output is replaced, and its target's set-id mode is not taken",
         [&](Dir d) {
             archiveWith(d, {"tool"});
             writeFile(d + "/passwd", "x");
             ASSERT_EQ(::chmod((d + "/passwd").c_str(), 04755), 0);
             ASSERT_EQ(::symlink("passwd", (d + "/tool").c_str()), 0);
         },
         "",
         {"-e", "t.pkz"},
         Hamper{},
         "",
         0,
         [&](Dir d) {
             EXPECT_EQ(modeOf(d + "/tool"), S_IFREG | (0666 & ~mask));
             EXPECT_EQ(readFile(d + "/tool"), abra);
             EXPECT_EQ(modeOf(d + "/passwd"), S_IFREG | 04755);
             EXPECT_EQ(readFile(d + "/passwd"), bytesOf("x"));
         }},
        {"an existing file keeps its mode less the set-id and sticky bits",
         [&](Dir d) {
             archiveWith(d, {"tool", "other"});
             writeFile(d + "/tool", "old");
             ASSERT_EQ(::chmod((d + "/tool").c_str(), 07750), 0);
             writeFile(d + "/other", "old");
             ASSERT_EQ(::chmod((d + "/other").c_str(), 0600), 0);
         },
         "",
         {"-e", "t.pkz"},
         Hamper{},
         "",
         0,
         [&](Dir d) {
             EXPECT_EQ(modeOf(d + "/tool"), S_IFREG | 0750);
             EXPECT_EQ(modeOf(d + "/other"), S_IFREG | 0600);
             EXPECT_EQ(readFile(d + "/tool"), abra);
         }},
        {"a link as the last component is replaced, never followed",
         [&](Dir d) {
             archiveWith(d, {"victim"});
             writeFile(d + "/outside", "keep");
             ASSERT_EQ(::symlink("../outside", (d + "/in/victim").c_str()), 0);
         },
         "in",
         {"-e", "../t.pkz", "victim"},
         Hamper{},
         "",
         0,
         [&](Dir d) {
             EXPECT_EQ(readFile(d + "/outside"), bytesOf("keep"));
             EXPECT_EQ(modeOf(d + "/in/victim"), S_IFREG | (0666 & ~mask));
             EXPECT_EQ(readFile(d + "/in/victim"), abra);
         }}};
    // A directory on the way that is a link, to the outside or not, refuses
    // the entry: extract-all stops there, by name the same. Each case runs
    // with openat2 and with the component walk that stands in for it.
    struct LinkedDir {
        std::string link, target, entry;
        std::vector<std::string> names;  // requested, or all
    };
    std::vector<Row> all = rows;
    for (const LinkedDir& l : {
             LinkedDir{"in/lnk", "../outside", "lnk/victim", {}},
             LinkedDir{"in/lnk", "../outside", "lnk/victim", {"lnk/victim"}},
             LinkedDir{"in/lnk", "sub", "lnk/victim", {}},
             LinkedDir{"in/sub/lnk", "..", "sub/lnk/victim", {"sub/lnk/victim"}},
             LinkedDir{"in/lnk", "../outside", "/lnk/victim", {"/lnk/victim"}},
         }) {
        for (bool walk : {false, true}) {
            std::vector<std::string> args{"-e", "../t.pkz"};
            args.insert(args.end(), l.names.begin(), l.names.end());
            all.push_back({"directory link " + l.link + " -> " + l.target + ", entry " + l.entry +
                               (walk ? ", walked" : ""),
                           [&, l](Dir d) {
                               archiveWith(d, {"ok", l.entry, "never"});
                               for (const char* sub : {"/in/sub", "/outside"})
                                   ASSERT_EQ(::mkdir((d + sub).c_str(), 0777), 0);
                               ASSERT_EQ(::symlink(l.target.c_str(), (d + "/" + l.link).c_str()),
                                         0);
                           },
                           "in", args, walked(walk), refused(l.entry), 1,
                           [&, l](Dir d) {
                               using Names = std::vector<std::string>;
                               EXPECT_EQ(listDir(d + "/outside"), Names{});
                               Names sub = l.link == "in/sub/lnk" ? Names{"lnk"} : Names{};
                               EXPECT_EQ(listDir(d + "/in/sub"), sub);
                               Names in{"sub"};
                               if (l.link == "in/lnk") in.insert(in.begin(), "lnk");
                               if (l.names.empty()) in.push_back("ok");
                               std::sort(in.begin(), in.end());
                               EXPECT_EQ(listDir(d + "/in"), in);
                           }});
        }
    }
    for (bool walk : {false, true})
        all.push_back({"a directory that is missing is no link",
                       [&](Dir d) { archiveWith(d, {"no/x"}); },
                       "",
                       {"-e", "t.pkz"},
                       walked(walk),
                       "Error: Couldn't extract file \"no/x\"\n",
                       1,
                       [&](Dir d) { EXPECT_FALSE(fileExists(d + "/no")); }});
    all.push_back({"names of 240 and 255 bytes come back",
                   [&](Dir d) {
                       archiveWith(d, {long240, long255});
                   },
                   "",
                   {"-e", "t.pkz"},
                   Hamper{},
                   "",
                   0,
                   [&](Dir d) {
                       EXPECT_EQ(readFile(d + "/" + long240), abra);
                       EXPECT_EQ(readFile(d + "/" + long255), abra);
                       EXPECT_EQ(listDir(d).size(), 4u) << "the two, the archive and in/";
                   }});
    // Adding refuses, at its turn, a name that extraction would refuse.
    for (const std::string& up : {std::string("../up"), std::string("in/../up")}) {
        all.push_back({"adding " + up,
                       [&](Dir d) {
                           archiveWith(d + "/in", {"old"});
                           writeFile(d + "/up", "up");
                           writeFile(d + "/in/up", "up");
                           writeFile(d + "/in/first", "abracadabra");
                       },
                       "in",
                       {"-a", "t.pkz", "first", up, "last"},
                       Hamper{},
                       "Warning: \"" + up +
                           "\" - unsafe path, refused.\nError: Couldn't add file \"" + up + "\"\n",
                       1,
                       [&](Dir d) {
                           Bytes old = archiveOf({goodEntry("old", abracadabraBlock())});
                           EXPECT_EQ(readFile(d + "/in/t.pkz"), old) << "archive unchanged";
                           Bytes wc = readFile(d + "/in/t.pkz.swp0");
                           EXPECT_TRUE(wc.size() > old.size() &&
                                       std::equal(old.begin(), old.end() - 1, wc.begin()))
                               << "the working copy holds what came before";
                       }});
    }
    // The commit keeps the old archive's owner and group (where the run may
    // set them) and never the setuid or setgid bit; a run that may not write
    // the archive cannot replace it; a symbolic link stays a link while its
    // target is replaced whole; another user's archive in a sticky directory,
    // which rename may not replace, is updated in place; a hard link keeps
    // the old archive; a working copy is owner-only until its commit.
    // Each row makes an archive with pelko, gives it the row's name, owner
    // and mode, and compares with what a plain run of the command gives.
    const bool root = ::geteuid() == 0;
    enum class Then { Replaced, InPlace, Unchanged };
    struct Commit {
        std::string what;
        std::string name;  // t.pkz, link.pkz (to real/t.pkz) or sticky/t.pkz
        mode_t mode;
        uid_t owner;  // given away only when running as root
        std::optional<uid_t> as;
        std::vector<std::string> args;  // after the archive name
        std::string out;
        Then then;
        mode_t wantMode;
        bool hardLink = false;                // other.pkz is a second name of the archive
        std::optional<mode_t> leftCopy = {};  // the mode of the working copy a failed run leaves
    };
    const std::string copyError = "Error: Couldn't copy temp archive \"t.pkz.swp0\" to \"t.pkz\"\n";
    // clang-format off
    const std::vector<Commit> commits = {
        {"setuid bit dropped, owner kept", "t.pkz", 04755, kNobody, {}, {"-d", "one"}, "",
         Then::Replaced, 0755},
        {"setgid bit dropped, owner kept", "t.pkz", 02750, kNobody, {}, {"-a", "new"}, "",
         Then::Replaced, 0750},
        {"read-only archive, add", "t.pkz", 0444, kNobody, kNobody, {"-a", "new"}, copyError,
         Then::Unchanged, 0444},
        {"read-only archive, delete", "t.pkz", 0444, kNobody, kNobody, {"-d", "two"}, copyError,
         Then::Unchanged, 0444},
        {"symbolic link", "link.pkz", 0640, kNobody, {}, {"-a", "new"}, "", Then::Replaced, 0640},
        {"sticky directory, add", "sticky/t.pkz", 0666, kNobody, kOther, {"-a", "new"}, "",
         Then::InPlace, 0666},
        {"sticky directory, delete", "sticky/t.pkz", 0666, kNobody, kOther, {"-d", "two"}, "",
         Then::InPlace, 0666},
        {"hard link", "t.pkz", 0644, 0, {}, {"-a", "new"}, "", Then::Replaced, 0644, true},
        {"private archive, failed add", "t.pkz", 0600, 0, {}, {"-a", "missing"},
         "Error: Couldn't add file \"missing\"\n", Then::Unchanged, 0600, false, 0600},
        {"shared archive, failed add", "t.pkz", 0644, 0, {}, {"-a", "missing"},
         "Error: Couldn't add file \"missing\"\n", Then::Unchanged, 0644, false, 0600},
    };
    // clang-format on
    for (const Commit& c : commits) {
        if (c.as && *c.as != kNobody && !root) continue;  // needs a second user
        struct Seen {
            Bytes archive, finished;
            ino_t inode = 0;
            Snapshot files;
        };
        auto seen = std::make_shared<Seen>();
        auto real = [c](Dir d) { return d + "/" + (c.name == "link.pkz" ? "real/t.pkz" : c.name); };
        std::vector<std::string> args{c.args[0], c.name};
        args.insert(args.end(), c.args.begin() + 1, c.args.end());
        Hamper h;
        h.asNobody = c.as.has_value();
        h.uid = c.as.value_or(kNobody);
        auto setup = [this, c, seen, real, root](Dir d) {
            ASSERT_EQ(::chmod(d.c_str(), 0777), 0);
            seen->archive = makeArchive(d);
            writeFile(d + "/new", skewed(5000, 3));
            for (const char* f : {"/one", "/two", "/three", "/new"}) ::chmod((d + f).c_str(), 0644);
            std::vector<std::string> plain{c.args[0], "t.pkz"};
            plain.insert(plain.end(), c.args.begin() + 1, c.args.end());
            // What a finished run gives; a failed add leaves the copy it began.
            seen->finished =
                c.args.back() == "missing" ? seen->archive : resultOf(seen->archive, plain, d);
            ::unlink((d + "/t.pkz").c_str());
            ASSERT_EQ(::mkdir((d + "/real").c_str(), 0777), 0);
            ASSERT_EQ(::mkdir((d + "/sticky").c_str(), 0777), 0);
            ASSERT_EQ(::chmod((d + "/real").c_str(), 0777), 0);
            ASSERT_EQ(::chmod((d + "/sticky").c_str(), 01777), 0);
            ASSERT_EQ(::symlink("real/t.pkz", (d + "/link.pkz").c_str()), 0);
            writeFile(real(d), seen->archive);
            if (root) {
                ASSERT_EQ(::chown(real(d).c_str(), c.owner, c.owner), 0);
            }
            ASSERT_EQ(::chmod(real(d).c_str(), c.mode), 0);
            if (c.hardLink) {
                ASSERT_EQ(::link(real(d).c_str(), (d + "/other.pkz").c_str()), 0);
            }
            struct stat st;
            ASSERT_EQ(::stat(real(d).c_str(), &st), 0);
            seen->inode = st.st_ino;
            seen->files = snapshot(d);
        };
        auto check = [c, seen, real, root](Dir d) {
            EXPECT_EQ(readFile(real(d)),
                      c.then == Then::Unchanged ? seen->archive : seen->finished);
            struct stat st;
            ASSERT_EQ(::stat(real(d).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, c.wantMode);
            if (root) {
                EXPECT_EQ(st.st_uid, c.owner);
                EXPECT_EQ(st.st_gid, c.owner);
            }
            EXPECT_EQ(st.st_ino == seen->inode, c.then != Then::Replaced) << "inode";
            EXPECT_TRUE(::lstat((d + "/link.pkz").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
            const std::string copy = d + "/" + c.name + ".swp0";
            EXPECT_EQ(fileExists(copy), c.then == Then::Unchanged);
            if (c.then == Then::Unchanged) {
                EXPECT_EQ(readFile(copy), seen->finished) << "working copy";
            }
            if (c.leftCopy && ::stat(copy.c_str(), &st) == 0) {
                EXPECT_EQ(st.st_mode & 07777, *c.leftCopy) << "working copy";
            }
            ::unlink(copy.c_str());
            Snapshot now = snapshot(d);
            for (const char* f : {"real/t.pkz", "sticky/t.pkz", "t.pkz", "link.pkz"}) {
                now.erase(f);
                seen->files.erase(f);
            }
            EXPECT_EQ(changes(now, seen->files), "") << "only the archive changed";
        };
        all.push_back({"commit: " + c.what, setup, "", args, h, c.out,
                       c.out.rfind("Error", 0) == 0 ? 1 : 0, check});
    }
    for (size_t i = 0; i < all.size(); ++i) {
        const Row& row = all[i];
        SCOPED_TRACE(row.what);
        if (row.hamper.asNobody && !nobody) continue;
        const std::string d = path("row" + std::to_string(i));
        ASSERT_EQ(::mkdir(d.c_str(), 0777), 0);
        ::mkdir((d + "/in").c_str(), 0777);
        row.setup(d);
        RunResult r =
            runHampered(row.where.empty() ? d : d + "/" + row.where, row.args, row.hamper);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.status, row.status);
        row.check(d);
    }
}

// The file of `dir` that process `pid` has open, by its path; empty if none.
std::string openFileIn(pid_t pid, const std::string& dir) {
    std::error_code ec;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& fd : std::filesystem::directory_iterator(fds, ec)) {
        std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
        if (!ec && target.rfind(dir + "/", 0) == 0) return target;
    }
    return "";
}

// An extraction ended by a signal removes the file it was writing, whether
// that was a temporary beside an existing file or a new file where there was
// none, and ends as the signal would. The run is held inside an entry, its
// file open, by a full output pipe: every entry fails its CRC, and the
// warnings come before the file takes its place. In m.pkz every other entry
// checks, and its file is made ahead of its turn, while the run is held.
TEST_F(Fault, SignalDuringExtraction) {
    std::vector<Bytes> entries, mixed;
    std::vector<std::string> names;
    for (int k = 0; k < 120; ++k) {
        names.push_back(std::string(197, 's') + std::to_string(100 + k));
        if (k < 60) entries.push_back(entryBytes(names.back(), abracadabraBlock(), 0x12345678u));
        mixed.push_back(k % 2 ? goodEntry(names.back(), abracadabraBlock())
                              : entryBytes(names.back(), abracadabraBlock(), 0x12345678u));
    }
    writeFile(path("t.pkz"), archiveOf(entries));
    writeFile(path("m.pkz"), archiveOf(mixed));
    ASSERT_EQ(::mkdir(path("out").c_str(), 0755), 0);
    const std::string out = std::filesystem::canonical(path("out")).string();
    for (const char* archive : {"../t.pkz", "../m.pkz"}) {
        for (bool existing : {true, false}) {
            for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
                SCOPED_TRACE(std::to_string(sig) + " " + archive +
                             (existing ? " over existing files" : " new files"));
                for (const std::string& n : listDir(out)) ::unlink((out + "/" + n).c_str());
                if (existing)
                    for (const std::string& n : names) writeFile(out + "/" + n, "precious");
                int pipe[2];
                ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
                ASSERT_GT(::fcntl(pipe[0], F_SETPIPE_SZ, 4096), 0);
                pid_t pid = startHampered(out, {"-e", archive}, Hamper{}, pipe[1], 2);
                ::close(pipe[1]);
                // Wait until the run sleeps on the full pipe, its file open: every
                // thread asleep, since any thread may be the one that writes.
                std::string held;
                while (held.empty()) {
                    std::string states;
                    std::error_code ec;
                    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
                    for (const auto& t : std::filesystem::directory_iterator(tasks, ec)) {
                        std::ifstream stat(t.path() / "stat");
                        std::string pidField, comm, state;
                        stat >> pidField >> comm >> state;
                        states += state.empty() ? "Z" : state;
                    }
                    if (states.empty() || states.find('Z') != std::string::npos) break;
                    if (states.find_first_not_of('S') == std::string::npos)
                        held = openFileIn(pid, out);
                    if (held.empty()) ::usleep(1000);
                }
                ASSERT_NE(held, "") << "the run did not wait on its output";
                // Sent twice, as `timeout` sends it (to the run, then to its
                // group): the second comes while the first is being handled.
                ::kill(pid, sig);
                ::usleep(150);
                ::kill(pid, sig);
                // The run ends before its output moves on: drained first, the pipe
                // would let a thread write on until the signal is handled.
                EXPECT_EQ(statusOf(pid), 128 + sig);
                drain(pipe[0]);
                EXPECT_FALSE(fileExists(held)) << "the file being written is removed";
                std::vector<std::string> extra;
                for (const std::string& n : listDir(out))
                    if (std::find(names.begin(), names.end(), n) == names.end()) extra.push_back(n);
                EXPECT_EQ(extra, std::vector<std::string>{}) << "no temporary file is left";
                for (const std::string& n : listDir(out)) {
                    Bytes b = readFile(out + "/" + n);
                    EXPECT_TRUE(b == bytesOf("abracadabra") ||
                                (existing && b == bytesOf("precious")));
                }
                if (existing) {
                    EXPECT_EQ(listDir(out).size(), names.size());
                }
            }
        }
    }
}

// A reader racing a delete reads one version of the archive. The reader is
// held right after it built its offset table by the not-found reports it
// writes to a pipe nobody reads; the delete then moves every entry.
TEST_F(Fault, ReaderRacingADelete) {
    std::vector<std::string> args{"-e", "t.pkz"};
    for (int k = 1; k <= 7; ++k) {
        std::string n = "x" + std::to_string(k);
        writeFile(path(n), skewed(3000 + 500 * size_t(k), uint32_t(k)));
        if (k > 1) args.push_back(n);
    }
    ASSERT_EQ(run({"-a", "t.pkz", "x1", "x2", "x3", "x4", "x5", "x6", "x7"}).status, 0);
    std::string reports;
    for (int k = 0; k < 100; ++k) {
        args.push_back(std::string(200, 'm') + std::to_string(k));
        reports += "File " + args.back() + " not found in archive";
    }
    ASSERT_EQ(::mkdir(path("out").c_str(), 0755), 0);
    ASSERT_EQ(::rename(path("t.pkz").c_str(), path("out/t.pkz").c_str()), 0);
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ASSERT_GT(::fcntl(out[0], F_SETPIPE_SZ, 4096), 0);
    pid_t pid = startHampered(path("out"), args, Hamper{}, out[1], 2);
    ::close(out[1]);
    char first = 0;
    ASSERT_EQ(::read(out[0], &first, 1), 1);
    RunResult del = runPelko(path("out"), {"-d", "t.pkz", "x1"});
    EXPECT_EQ(del.status, 0) << del.out;
    std::string printed = first + drain(out[0]);
    EXPECT_EQ(printed.substr(0, reports.size()), reports) << "reports first";
    EXPECT_EQ(printed.substr(std::min(printed.size(), reports.size())), "");
    EXPECT_EQ(statusOf(pid), 0);
    for (int k = 2; k <= 7; ++k) {
        std::string n = "x" + std::to_string(k);
        EXPECT_TRUE(readFile(path("out/" + n)) == readFile(path(n))) << n;
    }
}

// A name swapped while a run holds it. The add is held in its screening,
// after it made its working copy and read the archive, by the warnings it
// writes to a pipe nobody reads; then the working copy's or the archive's
// name is made a link to a victim file (root's own backup, or the running
// user's file). The commit must refuse, and the victim keep owner, mode and
// bytes.
TEST_F(Fault, NamesSwappedDuringARun) {
    if (::geteuid() != 0 || !canBeNobody()) GTEST_SKIP() << "needs root and a second user";
    const std::string twin(200, 'w');
    struct Case {
        std::string what, archive, swapped;
        bool asOther;  // the run is kOther's, in a sticky directory, against its own file
    };
    const std::vector<Case> cases = {
        {"working copy", "t.pkz", "t.pkz.swp0", false},
        {"archive", "t.pkz", "t.pkz", false},
        {"archive in a sticky directory", "sticky/t.pkz", "sticky/t.pkz", true},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        const std::string d = path("case" + std::to_string(i));
        ASSERT_EQ(::mkdir(d.c_str(), 0777), 0);
        ASSERT_EQ(::chmod(d.c_str(), 0777), 0);
        const Bytes archive = makeArchive(d);
        ASSERT_EQ(::mkdir((d + "/sticky").c_str(), 01777), 0);
        ASSERT_EQ(::chmod((d + "/sticky").c_str(), 01777), 0);
        ASSERT_EQ(::rename((d + "/t.pkz").c_str(), (d + "/" + c.archive).c_str()), 0);
        ASSERT_EQ(::chown((d + "/" + c.archive).c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(::chmod((d + "/" + c.archive).c_str(), 0666), 0);
        const std::string victim = d + "/victim";
        writeFile(victim, archive);
        const uid_t owner = c.asOther ? kOther : 0;
        ASSERT_EQ(::chown(victim.c_str(), owner, owner), 0);
        ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
        writeFile(d + "/" + twin, "abracadabra");
        ASSERT_EQ(::chmod((d + "/" + twin).c_str(), 0644), 0);
        std::vector<std::string> args{"-a", c.archive};
        std::string want;
        for (int k = 0; k < 100; ++k) {
            args.push_back(twin);
            if (k > 0) want += "Warning: \"" + twin + "\" - two identical name.\n";
        }
        want += "Error: Couldn't copy temp archive \"" + c.archive + ".swp0\" to \"" + c.archive +
                "\"\n";
        int out[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        ASSERT_GT(::fcntl(out[0], F_SETPIPE_SZ, 4096), 0);
        Hamper h;
        h.asNobody = c.asOther;
        h.uid = kOther;
        pid_t pid = startHampered(d, args, h, out[1], 2);
        ::close(out[1]);
        char first = 0;
        ASSERT_EQ(::read(out[0], &first, 1), 1);
        ASSERT_EQ(::symlink(victim.c_str(), (d + "/link").c_str()), 0);
        ASSERT_EQ(::rename((d + "/link").c_str(), (d + "/" + c.swapped).c_str()), 0);
        const std::string printed = first + drain(out[0]);
        const size_t last =
            printed.rfind('\n', printed.size() - std::min<size_t>(2, printed.size()));
        EXPECT_TRUE(printed == want)
            << "last line: " << printed.substr(last == std::string::npos ? 0 : last + 1);
        EXPECT_EQ(statusOf(pid), 1);
        struct stat st;
        ASSERT_EQ(::lstat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, owner);
        EXPECT_EQ(st.st_gid, owner);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(readFile(victim), archive);
    }
}

// A first add takes no lock that others can hold: a lock on the directory,
// which anyone who may read it can take, does not hold it up. The run is
// watched until it ends, or until the kernel lists it waiting for a lock.
TEST_F(Fault, FirstAddBesideALockedDirectory) {
    writeFile(path("x"), "abracadabra");
    const int held = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = startHampered(dir, {"-a", "t.pkz", "x"}, Hamper{}, null, null);
    ::close(null);
    const std::string waiter = " " + std::to_string(pid) + " ";
    bool waiting = false;
    int st = 0;
    while (!waiting && ::waitpid(pid, &st, WNOHANG) == 0) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
            waiting = waiting || (line.find("-> FLOCK") != std::string::npos &&
                                  line.find(waiter) != std::string::npos);
        if (waiting) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
        } else {
            ::usleep(1000);
        }
    }
    ::close(held);
    EXPECT_FALSE(waiting) << "the first add waited for the directory's lock";
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_EQ(run({"-l", "t.pkz"}).status, 0);
}

// A failure to write standard output fails the run.
TEST_F(Fault, StandardOutputThatCannotBeWritten) {
    writeFile(path("t.pkz"), archiveOf({goodEntry("one", abracadabraBlock())}));
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-v"}, {"-l", "t.pkz"}, {"-e", "t.pkz", "missing"}, {"-q"}, {"-a", "t.pkz"}, {}}) {
        RunResult r = runHampered(dir, args, Hamper{{}, false, true});
        EXPECT_EQ(r.status, 1) << (args.empty() ? "usage" : args[0]);
    }
}

}  // namespace
