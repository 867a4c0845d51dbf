// Liveness: a terminal that stops reading never stalls a flash, and SIGINT, SIGTERM and SIGHUP end a
// run promptly outside a controller's flash sequence (discovery, lock wait, a document nobody reads).
#include <fcntl.h>
#include <pty.h>
#include <termios.h>

#include <fstream>

#include "UpdateRunControl.h"
#include "hostile_run.h"

namespace {

using hostile::Outcome;
using hostile::Package;

// Writes the shell's pid to "pid" and becomes the tool.
const char kAsTool[] = "echo $$ > pid.tmp && mv pid.tmp pid && exec \"$@\"";

// True when process pid holds an flock (as /proc/locks lists them).
bool holdsFlock(pid_t pid)
{
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream in(line);
        std::string n, kind, mode, access;
        pid_t holder = 0;
        in >> n >> kind;
        if (kind == "->")
            in >> kind;
        in >> mode >> access >> holder;
        if (kind == "FLOCK" && holder == pid)
            return true;
    }
    return false;
}

struct LivenessCase {
    const char* name;
    int delayedBmic;          // every answer to this BMIC command is delayed (-1: none)
    int delayMs;
    bool holdLock;            // the test holds the update lock as another run would
    bool stoppedTerminal;     // standard error is a terminal whose output is stopped (Ctrl-S)
    std::string script;       // run in place of the tool ("$@" = the tool)
    std::vector<std::string> args;
    std::string trigger;      // the signal goes when this file holds this text ("FILE:TEXT")
    int signo;
    std::string document;     // file holding the document ("" = standard output)
    Outcome want;
};

const std::vector<LivenessCase>& liveness()
{
    static const std::vector<LivenessCase> cases = {
        {"StoppedTerminalDropsProgress", 0xD2, 5, false, true, "", {"-u", "-o", "out.xml"}, "", 0, "out.xml",
         {0, {"raidctl", "hbactl"}, 2, {}, {"out.xml"}, 60}},
        {"SigtermInDiscovery", 0x11, 400, false, false, kAsTool, {"-u", "-o", "out.xml", "-d", "run.log"},
         "run.log:Entering RizizavadIrerInventory::DiscoverDevices()", SIGTERM, "out.xml",
         {128 + SIGTERM, {}, 0, {hostile::kFailed}, {"out.xml", "run.log", "zepdebuglog", "debug_syscore.log", "pid"}, 20}},
        {"SigintInLockWait", -1, 0, true, false, kAsTool, {"-u", "-o", "out.xml", "-d", "run.log"},
         "run.log:Update: waiting for another update run to finish", SIGINT, "out.xml",
         {128 + SIGINT, {}, 0, {hostile::kFailed}, {"out.xml", "run.log", "zepdebuglog", "pid"}, 20}},
        // A pipe already full that nobody reads: the document write blocks until the signal.
        {"SighupWhileTheDocumentWaitsOnAFullPipe", -1, 0, false, false,
         "(head -c 65536 /dev/zero; sh -c '" + std::string(kAsTool) + "' sh \"$@\"; echo $? > status; touch done) | "
         "{ while [ ! -e done ]; do sleep 0.05; done; }; exit $(cat status)",
         {"-u", "-d"}, "debug_update.log:CUpdateXMLWriter::print() Entering", SIGHUP, "",
         {128 + SIGHUP, {"raidctl", "hbactl"}, 0, {}, {"pid", "status", "done", "zepdebuglog", "debug_update.log",
                                                        "debug_syscore.log"}, 30}},
    };
    return cases;
}

TEST(HostileLiveness, Table)
{
    for (const LivenessCase& c : liveness()) {
        SCOPED_TRACE(c.name);
        Package pkg([&](hostile::json& host) {
            if (c.delayedBmic < 0)
                return;
            for (hostile::json& ctrl : host.at("controllers"))
                ctrl["faults"] = {{{"match", {{"bmic", c.delayedBmic}}}, {"times", 0}, {"delay_ms", c.delayMs}}};
        });
        E2EJob job;
        job.timeoutSeconds = 90;

        CUpdateLock held;
        if (c.holdLock) {
            ASSERT_EQ(held.acquire(updateLockCandidates(), nullptr, nullptr), UpdateLockResult::Acquired);
        }

        int master = -1, slave = -1, flagsBefore = 0;
        if (c.stoppedTerminal) {
            ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
            ASSERT_EQ(::tcflow(slave, TCOOFF), 0);
            flagsBefore = ::fcntl(slave, F_GETFL);
            job.stderrFd = slave;
        }

        bool lockHeldWhileBlocked = false;
        if (c.signo != 0) {
            const std::string file = c.trigger.substr(0, c.trigger.find(':'));
            const std::string text = c.trigger.substr(c.trigger.find(':') + 1);
            job.signal = c.signo;
            job.signalTarget = [&pkg, &lockHeldWhileBlocked, file, text]() -> pid_t {
                pid_t pid = pkg.pidFrom("pid");
                if (pid <= 0 || pkg.ws.readFile(file).find(text) == std::string::npos)
                    return 0;
                ::usleep(200 * 1000);  // into the call that waits
                lockHeldWhileBlocked = holdsFlock(pid);
                return pid;
            };
        }

        E2EResult r = pkg.run(c.args, job, {}, c.script);
        const std::string document = c.document.empty() ? r.out : pkg.ws.readFile(c.document);
        pkg.check(r, c.want, document);
        if (c.signo != 0) {
            EXPECT_TRUE(r.signalSent);
        }
        if (c.signo == SIGTERM) {
            // Discovery stopped before the second controller was even identified.
            int identified = 0;
            for (const hostile::json& ctrl : pkg.report.at("controllers")) {
                bool any = false;
                for (const hostile::json& cmd : ctrl.at("commands"))
                    any = any || (cmd.contains("bmic") && cmd.at("bmic").at("command") == 0x11);
                identified += any ? 1 : 0;
            }
            EXPECT_LE(identified, 1) << "discovery went on after the signal";
        }
        if (c.signo == SIGHUP) {
            EXPECT_FALSE(lockHeldWhileBlocked) << "the update lock was kept while the document waited";
        }
        if (c.stoppedTerminal) {
            EXPECT_EQ(::fcntl(slave, F_GETFL), flagsBefore) << "the terminal's file status flags changed";
            ::close(slave);
            ::close(master);
        }
    }
}

}  // namespace
