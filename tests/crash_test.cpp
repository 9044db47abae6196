// Crash safety: pelko is killed with SIGKILL at many points while it adds
// to, deletes from and repairs an archive of several megabytes. After every
// kill the archive must be byte-identical to the old archive or to the
// finished result, and a following run must work (the stale working copies
// that killed runs leave behind are allowed). An add that must update
// another user's archive in place may also leave the old archive followed by
// bytes after its end marker. Last, writers racing writers on one archive.
//
// The kill points follow a ladder of delays spread over the measured length
// of a whole run, denser near its end where the commit happens. The number
// of kills per command is PELKO_CRASH_KILLS (8 by default, a few seconds).
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>

#include "cli_support.h"

namespace {

using namespace testing_support;

int killsPerCommand() {
    const char* env = std::getenv("PELKO_CRASH_KILLS");
    int n = env ? std::atoi(env) : 0;
    return n > 0 ? n : 8;
}

// The archives here are megabytes; a plain read keeps a debug build quick.
Bytes slurp(const std::string& p) {
    Bytes b;
    int fd = ::open(p.c_str(), O_RDONLY);
    if (fd < 0) return b;
    uint8_t buf[1 << 16];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) b.insert(b.end(), buf, buf + n);
    ::close(fd);
    return b;
}

// Starts pelko with `args` in `dir`; with a gate (a pipe), the child first
// waits until the parent closes the pipe, so that many runs start together;
// with `uid`, it runs as that user.
pid_t spawn(const std::string& dir, const std::vector<std::string>& args, const int* gate = nullptr,
            std::optional<uid_t> uid = std::nullopt, const std::string& outFile = "/dev/null") {
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(null, 1);
        ::dup2(null, 2);
        if (::chdir(dir.c_str()) != 0) ::_exit(125);
        char c;
        if (gate && (::close(gate[1]) != 0 || ::read(gate[0], &c, 1) != 0)) ::_exit(125);
        if (uid && (::setgroups(0, nullptr) != 0 || ::setgid(*uid) != 0 || ::setuid(*uid) != 0))
            ::_exit(126);
        std::vector<char*> argv{const_cast<char*>("pelko")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(PELKO_BIN, argv.data());
        ::_exit(127);
    }
    return pid;
}

void sleepMicros(long us) {
    timespec ts{us / 1000000, (us % 1000000) * 1000};
    while (::nanosleep(&ts, &ts) != 0) {
    }
}

constexpr uid_t kNobody = 65534, kOther = 65533;

struct Tally {
    int kills = 0;     // runs that SIGKILL ended
    int survived = 0;  // of those, archive old or new and the next run fine
    int old = 0, fresh = 0;
    int tail = 0;      // of the old, those followed by bytes after the end marker
    int finished = 0;  // runs that ended before their kill, then retried
};

class Crash : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        for (int k = 1; k <= 4; ++k) writeFile(path("big" + std::to_string(k)), skewed(1500000, k));
        writeFile(path("extra"), skewed(1000000, 9));
        RunResult r = run({"-a", "t.pkz", "big1", "big2", "big3", "big4"});
        ASSERT_EQ(r.status, 0) << r.out;
        archive = slurp(path("t.pkz"));
        ASSERT_GT(archive.size(), 3u << 20);
    }

    void removeWorkingCopies() {
        for (const std::string& f : listDir(dir)) {
            if (f.rfind("t.pkz.swp", 0) == 0) {
                ::unlink(path(f).c_str());
            } else {
                EXPECT_TRUE(f == "t.pkz" || f == "extra" || f == "sticky" || f.rfind("big", 0) == 0)
                    << "unexpected file " << f;
            }
        }
        if (inPlace)
            for (const std::string& f : listDir(path("sticky")))
                if (f != "t.pkz") ::unlink(path("sticky/" + f).c_str());
    }

    // Puts `bytes` in the archive's place; in place, it belongs to nobody.
    void putArchive(const Bytes& bytes) {
        writeFile(path(arc), bytes);
        if (inPlace) {
            ASSERT_EQ(::chown(path(arc).c_str(), kNobody, kNobody), 0);
            ASSERT_EQ(::chmod(path(arc).c_str(), 0666), 0);
        }
    }

    // Runs `args` to the end, as the user the test runs them as.
    int runOnce(const std::vector<std::string>& args) {
        int st = 0;
        ::waitpid(spawn(dir, args, nullptr, as), &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    // Kills `args` run on `before` at `n` points and checks
    // each outcome against `before` and the finished result.
    Tally killRepeatedly(const Bytes& before, const std::vector<std::string>& args,
                         int n = killsPerCommand()) {
        putArchive(before);
        const Bytes extra = slurp(path("extra"));
        // The finished result, and how long a whole run takes here.
        std::vector<long> lengths;
        Bytes after;
        for (int i = 0; i < 3; ++i) {
            putArchive(before);
            auto t0 = std::chrono::steady_clock::now();
            pid_t pid = spawn(dir, args, nullptr, as);
            int st = 0;
            ::waitpid(pid, &st, 0);
            lengths.push_back(long(std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::steady_clock::now() - t0)
                                       .count()));
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
            after = slurp(path(arc));
        }
        std::sort(lengths.begin(), lengths.end());
        const double whole = double(lengths[1]);
        EXPECT_NE(after, before) << "the command must change the archive";

        Tally t;
        for (int i = 0; i < n; ++i) {
            // Even steps spread over the whole run, odd ones over its last
            // quarter, where the working copy is flushed and committed. A run
            // that ends before its kill is tried again with a shorter delay.
            double f = (i % 2 == 0) ? 1.1 * (i + 0.5) / n : 0.75 + 0.3 * (i + 0.5) / n;
            bool killed = false;
            for (int attempt = 0; attempt < 5 && !killed; ++attempt, f *= 0.7) {
                putArchive(before);
                pid_t pid = spawn(dir, args, nullptr, as);
                sleepMicros(long(f * whole));
                ::kill(pid, SIGKILL);
                int st = 0;
                ::waitpid(pid, &st, 0);
                killed = WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL;
                if (!killed) {
                    ++t.finished;
                    EXPECT_EQ(slurp(path(arc)), after);
                    removeWorkingCopies();
                }
            }
            Bytes now = slurp(path(arc));
            bool isOld = now == before, isNew = now == after;
            // Updated in place, an add may leave its new entries after the
            // old end marker: the archive still reads as the old one, and
            // repair cuts them off.
            bool tail = inPlace && !isNew && now.size() > before.size() &&
                        std::equal(before.begin(), before.end(), now.begin());
            EXPECT_TRUE(isOld || isNew || tail)
                << "kill " << i << " at " << long(f * whole) << " us left an archive of "
                << now.size() << " bytes";
            // The next run, beside whatever working copy the killed one left.
            if (tail) {
                EXPECT_EQ(runOnce({"-f", arc}), 0);
            }
            int status = runOnce(args);
            bool nextWorks = status == 0 && slurp(path(arc)) == after;
            EXPECT_TRUE(nextWorks) << "run after kill " << i << ": status " << status;
            EXPECT_EQ(slurp(path("extra")), extra) << "an input changed";
            removeWorkingCopies();
            if (!killed) continue;
            ++t.kills;
            t.old += isOld || tail;
            t.tail += tail;
            t.fresh += isNew;
            t.survived += (isOld || isNew || tail) && nextWorks;
        }
        return t;
    }

    void report(const char* command, const Tally& t) {
        std::printf(
            "crash safety %s on %zu bytes: %d/%d kills survived (archive old %d, %d of them "
            "with bytes after the end marker, new %d); %d runs ended before their kill\n",
            command, archive.size(), t.survived, t.kills, t.old, t.tail, t.fresh, t.finished);
        EXPECT_EQ(t.survived, t.kills);
    }

    Bytes archive;
    std::string arc = "t.pkz";  // the archive's name, in `dir`
    bool inPlace = false;       // another user's archive in a sticky directory
    std::optional<uid_t> as;    // the user the runs drop to
};

TEST_F(Crash, Add) {
    report("-a", killRepeatedly(archive, {"-a", "t.pkz", "extra"}));
}

TEST_F(Crash, Delete) {
    report("-d", killRepeatedly(archive, {"-d", "t.pkz", "big2"}));
}

TEST_F(Crash, Repair) {
    // A flipped bit in the last entry's block: repair cuts it off.
    Bytes damaged = archive;
    damaged[damaged.size() - 1000] ^= 0x10;
    report("-f", killRepeatedly(damaged, {"-f", "t.pkz"}));
}

// Another user's archive in a sticky directory, which rename may not
// replace, is updated in place: an add writes its entries after the old end
// marker, flushes them, and writes the lead byte over the old end marker
// last, so a kill leaves an archive that reads as the old one or the new.
TEST_F(Crash, AddInPlace) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as two other users";
    // The parent of `dir` comes from mkdtemp (0700).
    ASSERT_EQ(::chmod(dir.substr(0, dir.rfind('/')).c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(path("sticky").c_str(), 0777), 0);
    ASSERT_EQ(::chmod(path("sticky").c_str(), 01777), 0);
    ASSERT_EQ(::chmod(path("extra").c_str(), 0644), 0);
    arc = "sticky/t.pkz";
    inPlace = true;
    as = kOther;
    // The copy in place is a short part of the run: more kills find it.
    report("-a in place", killRepeatedly(archive, {"-a", arc, "extra"}, 3 * killsPerCommand()));
}

// Writers racing writers: adds, deletes and repairs of one archive, started
// together, each wait for the others instead of undoing their work. Every
// run exits with 0 and the archive ends with exactly the entries that were
// not deleted plus every added file. The first round starts without an
// archive, so that first adds race each other too.
class Race : public TempDirTest {
protected:
    // The stored names, from the listing.
    std::set<std::string> stored() {
        std::set<std::string> names;
        std::string out = run({"-l", "t.pkz"}).out;
        for (size_t at = 0; (at = out.find("\n \"", at)) != std::string::npos;) {
            size_t end = out.find("\" : ", at);
            names.insert(out.substr(at + 3, end - at - 3));
            at = end;
        }
        return names;
    }

    // Runs every command at once; empty when all of them exit with 0, else
    // what each failed run printed and how it ended, so that a failure that
    // load alone brings about can still be told apart.
    std::string runTogether(const std::vector<std::vector<std::string>>& commands) {
        int gate[2];
        if (::pipe(gate) != 0) return "no pipe";
        std::vector<pid_t> pids;
        for (size_t k = 0; k < commands.size(); ++k)
            pids.push_back(spawn(dir, commands[k], gate, std::nullopt, outOf(k)));
        ::close(gate[0]);
        ::close(gate[1]);
        std::string failures;
        for (size_t k = 0; k < pids.size(); ++k) {
            int st = 0;
            ::waitpid(pids[k], &st, 0);
            if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
                const Bytes out = readFile(outOf(k));
                failures += commands[k][0] + " " + commands[k].back() + ": wait status " +
                            std::to_string(st) + ", printed \"" +
                            std::string(out.begin(), out.end()) + "\"\n";
            }
        }
        return failures;
    }
    // Outside the archive's directory, whose listing the tests check.
    std::string outOf(size_t k) { return dir + ".run" + std::to_string(k); }
    void TearDown() override {
        for (size_t k = 0; k < 64; ++k) ::unlink(outOf(k).c_str());
        TempDirTest::TearDown();
    }
};

TEST_F(Race, WritersRacingWriters) {
    constexpr int kAdders = 12, kDeleters = 8;
    std::set<std::string> want;
    std::vector<std::vector<std::string>> first, second;
    for (int i = 0; i < kAdders; ++i) {
        for (const char* round : {"a", "b"}) {
            std::string name = round + std::to_string(i);
            writeFile(path(name), skewed(20000, uint32_t(i)));
            (round[0] == 'a' ? first : second).push_back({"-a", "t.pkz", name});
            want.insert(name);
        }
    }
    EXPECT_EQ(runTogether(first), "") << "first adds to a new archive";
    EXPECT_EQ(stored().size(), size_t(kAdders));

    std::vector<std::string> doomed{"-a", "t.pkz"};
    for (int i = 0; i < kDeleters; ++i) {
        std::string name = "d" + std::to_string(i);
        writeFile(path(name), skewed(60000, uint32_t(100 + i)));
        doomed.push_back(name);
        second.push_back({"-d", "t.pkz", name});
        if (i % 2 == 0) second.push_back({"-f", "t.pkz"});
    }
    ASSERT_EQ(run(doomed).status, 0);
    EXPECT_EQ(runTogether(second), "") << "adds, deletes and repairs together";
    EXPECT_EQ(stored(), want);
    for (const std::string& f : listDir(dir)) EXPECT_EQ(f.find(".swp"), std::string::npos) << f;
}

}  // namespace
