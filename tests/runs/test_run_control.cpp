// The update run's guards alone: lock file choice and waiting, deferred signals, progress lines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "UpdateProgress.h"
#include "UpdateRunControl.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "TestWorkDir.h"

namespace {

// ---- progress lines ----

TEST(ProgressLine, Format)
{
    struct Case {
        std::string name;
        int pass, percentage;
        std::string expected;
    } cases[] = {
        {"Ctrl A", 1, 0, "Ctrl A: pass 1 of 2   0% [....................]"},
        {"Ctrl A", 1, 25, "Ctrl A: pass 1 of 2  25% [#####...............]"},
        {"Ctrl A", 2, 99, "Ctrl A: pass 2 of 2  99% [###################.]"},
        {"Ctrl A", 2, 100, "Ctrl A: pass 2 of 2 100% [####################]"},
        {"Ctrl A", 1, 250, "Ctrl A: pass 1 of 2 100% [####################]"},  // clamped
        {"Ctrl A", 1, -3, "Ctrl A: pass 1 of 2   0% [....................]"},
        // Firmware-supplied names never carry terminal controls; long ones are cut.
        {"Evil\033]0;x\007\r\xc3\xa9", 1, 50, "Evil?]0;x????: pass 1 of 2  50% [##########..........]"},
        {std::string(50, 'n'), 1, 10,
         std::string(kProgressNameWidth, 'n') + ": pass 1 of 2  10% [##..................]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(formatProgressLine(c.name, c.pass, c.percentage), c.expected) << c.name << " " << c.percentage;
    EXPECT_LE(formatProgressLine(std::string(200, 'x'), 2, 100).size(), 79u);
    // Fitted to the terminal: one column short of the row, never narrower than 10 for the name.
    for (unsigned cols : {80u, 132u, 200u})
        EXPECT_EQ(formatProgressLine(std::string(300, 'x'), 1, 5, progressNameWidth(cols)).size(), cols - 1) << cols;
    EXPECT_EQ(progressNameWidth(0), kProgressNameWidth);
    EXPECT_EQ(progressNameWidth(20), 10u);
}

// Everything written to the other end of a pseudo-terminal.
std::string drain(int master)
{
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(master, buf, sizeof(buf));
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

TEST(Progress, PassesFollowTheReportsOnATerminal)
{
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    struct termios tio;
    ASSERT_EQ(::tcgetattr(slave, &tio), 0);
    ::cfmakeraw(&tio);  // bytes as written, no CR/LF translation
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &tio), 0);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    {
        CUpdateProgress progress(slave);
        ASSERT_TRUE(progress.enabled());
        progress.beginController("C0");
        for (int p : {33, 66, 100, 33, 66, 100}) CUpdateProgress::observe(&progress, p);
        progress.endController("C0", "Success: The operation was successful");
        progress.endController("C1", "ERROR: Failed to update Firmware");  // refused before flashing
        progress.beginController("C2");
        for (int p : {50, 100, 50}) progress.report(p);  // second pass stopped at 50
        progress.endController("C2", "ERROR: Failed to update Firmware");
        progress.report(70);  // after the end: ignored
    }
    const std::string e = "\033[K";
    std::string expected =
        "\rC0: pass 1 of 2   0% [....................]" + e + "\rC0: pass 1 of 2  33% [######..............]" + e +
        "\rC0: pass 1 of 2  66% [#############.......]" + e + "\rC0: pass 1 of 2 100% [####################]" + e +
        "\rC0: pass 2 of 2  33% [######..............]" + e + "\rC0: pass 2 of 2  66% [#############.......]" + e +
        "\rC0: pass 2 of 2 100% [####################]" + e +
        "\rC0: pass 2 of 2 100% [####################] Success: The operation was successful" + e + "\n" +
        "\rC1: ERROR: Failed to update Firmware" + e + "\n" + "\rC2: pass 1 of 2   0% [....................]" + e +
        "\rC2: pass 1 of 2  50% [##########..........]" + e + "\rC2: pass 1 of 2 100% [####################]" + e +
        "\rC2: pass 2 of 2  50% [##########..........]" + e +
        "\rC2: pass 2 of 2  50% [##########..........] ERROR: Failed to update Firmware" + e + "\n";
    EXPECT_EQ(drain(master), expected);
    ::close(slave);
    ::close(master);
}

TEST(Progress, SilentWhenNotATerminal)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        CUpdateProgress progress(fds[1]);
        EXPECT_FALSE(progress.enabled());
        progress.note("waiting");
        progress.beginController("C0");
        progress.report(100);
        progress.endController("C0", "done");
    }
    ::close(fds[1]);
    char c;
    EXPECT_EQ(::read(fds[0], &c, 1), 0);
    ::close(fds[0]);
}

// ---- update lock ----

class LockDir : public zevtest::WorkDirTest {
protected:
    LockDir() : zevtest::WorkDirTest("zevlock") {}
    std::string& dir = workDir;
};

int g_waits = 0;
std::string g_waitedOn;
void onWait(const std::string& path)
{
    ++g_waits;
    g_waitedOn = path;
}
bool g_stop = false;
int g_polls = 0;
bool stopAfterSomePolls() { return ++g_polls >= 3 || g_stop; }

TEST_F(LockDir, CandidateIsTheOnePlaceOnlyRootCanCreateIn)
{
    // Not the world-writable lock or temporary folders, where anybody could plant the file first.
    std::vector<std::string> c = updateLockCandidates();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0], "/run/zevupdate.lock");
}

TEST_F(LockDir, SkipsUnusableCandidatesAndLocksTheFirstUsable)
{
    const std::string missingDir = dir + "/nodir/zevupdate.lock";
    const std::string link = dir + "/link.lock";
    const std::string fifo = dir + "/fifo.lock";
    const std::string good = dir + "/good.lock";
    ASSERT_EQ(::symlink((dir + "/target").c_str(), link.c_str()), 0);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    CUpdateLock lock;
    g_waits = 0;
    EXPECT_EQ(lock.acquire({missingDir, link, fifo, good}, onWait, nullptr), UpdateLockResult::Acquired);
    EXPECT_EQ(lock.path(), good);
    EXPECT_EQ(g_waits, 0);
    struct stat st;
    EXPECT_NE(::lstat((dir + "/target").c_str(), &st), 0) << "a symbolic link was followed";

    // The lock is really held: another open file description cannot take it.
    int fd = ::open(good.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

TEST_F(LockDir, FileOfAnotherOwnerIsNotUsed)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
    const std::string foreign = dir + "/foreign.lock";
    const std::string good = dir + "/good.lock";
    zevtest::writeFile(foreign, "");
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    CUpdateLock lock;
    EXPECT_EQ(lock.acquire({foreign, good}, onWait, nullptr), UpdateLockResult::Acquired);
    EXPECT_EQ(lock.path(), good);
}

TEST_F(LockDir, NoUsableCandidate)
{
    CUpdateLock lock;
    EXPECT_EQ(lock.acquire({dir + "/a/b", dir + "/c/d"}, onWait, nullptr), UpdateLockResult::Unavailable);
    EXPECT_EQ(lock.path(), "");
}

TEST_F(LockDir, WaitsWhileHeldAndStopsWhenAsked)
{
    const std::string path = dir + "/held.lock";
    CUpdateLock holder;
    ASSERT_EQ(holder.acquire({path}, nullptr, nullptr), UpdateLockResult::Acquired);
    g_waits = 0;
    g_polls = 0;
    CUpdateLock waiter;
    EXPECT_EQ(waiter.acquire({path}, onWait, stopAfterSomePolls), UpdateLockResult::Interrupted);
    EXPECT_EQ(g_waits, 1);  // told once, however long it waits
    EXPECT_EQ(g_waitedOn, path);
    EXPECT_EQ(g_polls, 3);
    EXPECT_EQ(waiter.path(), "");
}

TEST_F(LockDir, SecondRunGetsTheLockWhenTheFirstEnds)
{
    const std::string path = dir + "/handover.lock";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    zevtest::ChildProcess holder;
    holder.body = [&] {
        CUpdateLock first;
        if (first.acquire({path}, nullptr, nullptr) != UpdateLockResult::Acquired) return 1;
        (void)!::write(ready[1], "x", 1);
        ::usleep(300 * 1000);
        return 0;  // the lock goes with the process
    };
    const pid_t child = zevtest::startProcess(holder);
    ASSERT_GT(child, 0);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    g_waits = 0;
    CUpdateLock second;
    EXPECT_EQ(second.acquire({path}, onWait, nullptr), UpdateLockResult::Acquired);
    EXPECT_EQ(g_waits, 1);
    int status = 0;
    ASSERT_TRUE(zevtest::hasEnded(child, &status)) << "got the lock while the first run still held it";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

// ---- deferred signals (each case in a child: the recorded signal lasts for the process) ----

// Runs body in a child; returns its wait status.
int inChild(std::function<int()> body) { return zevtest::runInChild(std::move(body), 10000).status; }

TEST(DeferredSignals, RecordedWhileGuardedThenRaisedWithTheDefaultAction)
{
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        int status = inChild([signo] {
            {
                CDeferredSignals guard;
                if (CDeferredSignals::pending() != 0) _exit(10);
                ::raise(signo);
                if (CDeferredSignals::pending() != signo) _exit(11);
                ::raise(SIGTERM == signo ? SIGINT : SIGTERM);  // a second one does not replace the first
                if (CDeferredSignals::pending() != signo) _exit(12);
            }
            CDeferredSignals::raisePending();
            return 13;  // not reached
        });
        EXPECT_TRUE(WIFSIGNALED(status)) << "signal " << signo << ", status " << status;
        if (WIFSIGNALED(status)) {
            EXPECT_EQ(WTERMSIG(status), signo);
        }
    }
}

TEST(DeferredSignals, PreviousDispositionsComeBackAndIgnoredStaysIgnored)
{
    int status = inChild([] {
        ::signal(SIGHUP, SIG_IGN);  // as under nohup
        {
            CDeferredSignals guard;
            ::raise(SIGHUP);
            if (CDeferredSignals::pending() != 0) _exit(20);
        }
        CDeferredSignals::raisePending();  // nothing recorded: returns
        struct sigaction now;
        ::sigaction(SIGHUP, nullptr, &now);
        if (now.sa_handler != SIG_IGN) _exit(21);
        ::sigaction(SIGINT, nullptr, &now);
        if (now.sa_handler != SIG_DFL) _exit(22);
        ::raise(SIGINT);  // unguarded again: ends the process at once
        return 23;
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status;
}

}  // namespace
