// Fault injection on the commands that can fail part way: writes cut short
// by a file-size limit, directories the program may not write, inputs it may
// not read, and a missing input in the middle of the file list. Whatever
// fails, the message and status are the documented ones, the archive stays
// byte-identical, no input changes, and a working copy is left only where a
// failed run is said to leave one.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>

#include "cli_support.h"

namespace {

using namespace testing_support;

// How the child that runs pelko is hampered.
struct Hamper {
    std::optional<rlim_t> fileSize;  // RLIMIT_FSIZE in bytes
    bool asNobody = false;           // drop to uid/gid 65534 when running as root
};

constexpr uid_t kNobody = 65534;

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, size_t(n));
    ::close(fd);
    return s;
}

// Like runPelko, with the child's limits and identity changed before exec.
// Output goes through pipes, which the file-size limit does not cover.
RunResult runHampered(const std::string& dir, const std::vector<std::string>& args,
                      const Hamper& h) {
    int out[2], err[2];
    EXPECT_EQ(::pipe(out), 0);
    EXPECT_EQ(::pipe(err), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]);
        ::close(err[0]);
        if (::chdir(dir.c_str()) != 0) ::_exit(125);
        // Ignored, so that a write past the limit fails with EFBIG instead of
        // killing the process; the disposition survives exec.
        ::signal(SIGXFSZ, SIG_IGN);
        if (h.fileSize) {
            rlimit lim{*h.fileSize, *h.fileSize};
            if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(125);
        }
        if (h.asNobody && ::geteuid() == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(126);
        }
        std::vector<char*> argv{const_cast<char*>("pelko")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(PELKO_BIN, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    RunResult r;
    r.out = drain(out[0]);
    r.err = drain(err[0]);
    int st = 0;
    ::waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
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
    // runs here, on the same input files, so that their times match; the
    // archive is put back afterwards.
    Bytes resultOf(const Bytes& archive, const std::vector<std::string>& args) {
        writeFile(path("t.pkz"), archive);
        RunResult r = run(args);
        EXPECT_EQ(r.status, 0) << r.out;
        Bytes result = readFile(path("t.pkz"));
        writeFile(path("t.pkz"), archive);
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
             // A directory opens, so a working copy is made before the
             // reading fails, as for a zero-length archive.
             Case{"",
                  {"-a", "dir.pkz", "two"},
                  "Error: Couldn't create temp archive for \"dir.pkz\"\n",
                  "dir.pkz.swp0"},
             Case{"", {"-d", "dir.pkz", "two"}, kTableError},
             Case{"",
                  {"-f", "dir.pkz"},
                  "Error: Couldn't create temp archive for \"dir.pkz\"\n",
                  "dir.pkz.swp0"},
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

}  // namespace
