// The emulated host tells the truth about the edges the tool meets on a real one: the command starts
// with default signal dispositions and an empty mask, device nodes are root's alone unless the
// scenario says otherwise, and an unusable TMPDIR is reported (status 125) instead of aborting.
#include <map>

#include "hostile_run.h"

namespace {

using hostile::Package;

struct EdgeCase {
    const char* name;
    std::string nodeMode;                 // scenario "node_mode" ("" = default)
    std::map<std::string, std::string> env;
    bool ignoreAndBlockFirst;             // zevsim itself starts with SIGPIPE ignored and SIGTERM blocked
    std::string script;                   // run inside the emulated host
    int exitStatus;
    std::string out;                      // its standard output
    std::string errHas;                   // text zevsim's standard error must hold ("" = none)
};

const std::vector<EdgeCase>& edgeCases()
{
    const std::string signals = "grep -E '^(SigBlk|SigIgn)' /proc/self/status";
    static const std::vector<EdgeCase> cases = {
        {"DefaultDispositionsAndEmptyMask", "", {}, true, signals, 0,
         "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n", ""},
        // A writer to a closed pipe dies of SIGPIPE (141), instead of seeing an error it may ignore.
        {"BrokenPipeEndsTheWriter", "", {}, true, "(yes; echo $? > yes.status) | head -c 1 > /dev/null; cat yes.status",
         0, "141\n", ""},
        {"NodesAreRootsAlone", "", {}, false, "stat -c '%a %U %F' /dev/sg0 /dev/sg1", 0,
         "600 root character special file\n600 root character special file\n", ""},
        {"ScenarioWidensTheMode", "0666", {}, false, "stat -c '%a' /dev/sg0", 0, "666\n", ""},
        {"MissingTmpdir", "", {{"TMPDIR", "/nonexistent-zev"}}, false, "true", 125, "",
         "TMPDIR \"/nonexistent-zev\" is not a usable folder"},
        {"TmpdirIsAFile", "", {{"TMPDIR", "/etc/hostname"}}, false, "true", 125, "",
         "TMPDIR \"/etc/hostname\" is not a usable folder"},
    };
    return cases;
}

TEST(HostileEmulator, EdgesAsOnARealHost)
{
    for (const EdgeCase& c : edgeCases()) {
        SCOPED_TRACE(c.name);
        Package pkg([&](hostile::json& host) {
            if (!c.nodeMode.empty())
                host["node_mode"] = c.nodeMode;
        });
        E2EJob job;
        job.timeoutSeconds = 30;
        job.env = c.env;
        std::vector<std::string> prefix;
        if (c.ignoreAndBlockFirst) {
            // zevsim inherits an ignored SIGPIPE and a blocked SIGTERM, as from some service managers.
            prefix = {"/usr/bin/perl", "-e", "$SIG{PIPE}='IGNORE'; use POSIX; sigprocmask(SIG_BLOCK, POSIX::SigSet->new(15)); exec @ARGV or die"};
        }
        E2EResult r = pkg.run({}, job, prefix, c.script);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitStatus, c.exitStatus) << r.err;
        EXPECT_EQ(r.out, c.out);
        if (!c.errHas.empty()) {
            EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
        }
    }
}

}  // namespace
