// Liveness: a terminal that stops reading never stalls a flash, and SIGINT, SIGTERM and SIGHUP end a
// run promptly outside a controller's flash sequence (discovery, lock wait, a document nobody reads).
#include <fcntl.h>
#include <pty.h>
#include <termios.h>

#include "UpdateRunControl.h"
#include "HostileRun.h"
#include "TestFiles.h"
#include "TestProcess.h"

namespace {

using namespace hostile;

// Writes the shell's pid to "pid" and becomes the tool.
const std::string kAsTool = "echo $$ > pid.tmp && mv pid.tmp pid && exec \"$@\"";
const std::set<std::string> kLogs = {"out.xml", "run.log", "zepdebuglog", "debug_syscore.log", "pid"};

struct LivenessCase {
    const char* name;
    int delayedBmic;       // every answer to this BMIC command comes 400 ms late (-1: none)
    bool holdLock;         // the test holds the update lock, as another run would
    bool stoppedTerminal;  // standard error is a terminal whose output is stopped (Ctrl-S)
    std::string script;    // run in the tool's place ("$@" = the tool)
    const char* args;
    std::string file, text;  // the signal goes once this file holds this text
    int signo;
    std::string document;  // the document's file ("" = standard output)
    Outcome want;
};

TEST(HostileLiveness, Table)
{
    const LivenessCase cases[] = {
        {"StoppedTerminalDropsProgress", 0xD2, false, true, "", "-u -o out.xml", "", "", 0, "out.xml",
         Outcome{0, kBoth, 2, {}, {"out.xml"}, 60}},
        {"SigtermInDiscovery", 0x11, false, false, kAsTool, "-u -o out.xml -d run.log", "run.log",
         "Entering RizizavadIrerInventory::DiscoverDevices()", SIGTERM, "out.xml",
         Outcome{143, {}, 0, {kFailed}, kLogs, 20}},
        {"SigintInLockWait", -1, true, false, kAsTool, "-u -o out.xml -d run.log", "run.log",
         "Update: waiting for another update run to finish", SIGINT, "out.xml",
         Outcome{130, {}, 0, {kFailed}, kLogs, 20}},
        // A full pipe nobody reads: the document's write blocks until the signal; the lock is free.
        {"SighupWhileTheDocumentWaitsOnAFullPipe", -1, false, false,
         "(head -c 65536 /dev/zero; sh -c '" + kAsTool +
             "' sh \"$@\"; echo $? > status; touch done) | "
             "{ while [ ! -e done ]; do sleep 0.05; done; }; exit $(cat status)",
         "-u -d", "debug_update.log", "CUpdateXMLWriter::print() Entering", SIGHUP, "",
         Outcome{
             129, kBoth, 0, {}, {"pid", "status", "done", "zepdebuglog", "debug_update.log", "debug_syscore.log"}, 30}},
    };
    for (const LivenessCase& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg(c.delayedBmic >= 0 ? delayEvery(c.delayedBmic, 400) : nullptr);
        E2EJob job = within(90);
        CUpdateLock held;
        if (c.holdLock) {
            ASSERT_EQ(held.acquire(updateLockCandidates(), nullptr, nullptr), UpdateLockResult::Acquired);
        }
        int master = -1, slave = -1, flags = 0;
        if (c.stoppedTerminal) {
            ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
            ASSERT_EQ(::tcflow(slave, TCOOFF), 0);
            flags = ::fcntl(slave, F_GETFL);
            job.stderrFd = slave;
        }
        bool lockHeld = false;
        job.signal = c.signo;
        if (c.signo != 0) {
            job.signalTarget = [&]() -> pid_t {
                pid_t pid = pkg.pidFrom("pid");
                if (pid <= 0 || pkg.ws.readFile(c.file).find(c.text) == std::string::npos) return 0;
                ::usleep(200 * 1000);  // well into the call that waits
                std::string locks;
                zevtest::commandOutput("awk '$2 == \"FLOCK\" && $5 == " + std::to_string(pid) + "' /proc/locks",
                                       &locks);
                lockHeld = !locks.empty();
                return pid;
            };
        }
        const Finished r = pkg.run(zevtest::words(c.args), job, {}, c.script);
        pkg.check(r, c.want, c.document.empty() ? r.result.out : pkg.ws.readFile(c.document));
        EXPECT_EQ(r.result.signalSent, c.signo != 0);
        EXPECT_FALSE(lockHeld && c.document.empty()) << "the update lock was kept while the document waited";
        // A signal in discovery: the second controller is never identified.
        EXPECT_LE(controllersSent(r, 0x11), c.signo == SIGTERM ? 1 : 2);
        if (c.stoppedTerminal) {
            EXPECT_EQ(::fcntl(slave, F_GETFL), flags) << "the terminal's file status flags changed";
            ::close(slave);
            ::close(master);
        }
    }
}

}  // namespace
