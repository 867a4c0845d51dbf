// The emulated host tells the truth about the edges of a real one: the command starts with default
// signal dispositions and an empty mask, device nodes are root's alone unless the scenario says
// otherwise, and an unusable TMPDIR is reported (status 125) instead of aborting.
#include "HostileRun.h"

namespace {

using namespace hostile;

struct EdgeCase {
    const char* name;
    std::string nodeMode;  // scenario "node_mode" ("" = default)
    std::string tmpdir;    // "" = a usable one
    std::string script;    // run inside the emulated host
    int exitStatus;
    std::string out;  // its standard output
};

TEST(HostileEmulator, EdgesAsOnARealHost)
{
    const EdgeCase cases[] = {
        {"DefaultDispositionsAndEmptyMask", "", "", "grep -E '^Sig(Blk|Ign)' /proc/self/status", 0,
         "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"},
        // A writer to a closed pipe dies of SIGPIPE (141) instead of seeing an error it may ignore.
        {"BrokenPipeEndsTheWriter", "", "", "(yes; echo $? > yes.status) | head -c 1 > /dev/null; cat yes.status", 0,
         "141\n"},
        {"NodesAreRootsAlone", "", "", "stat -c '%a %U' /dev/sg0 /dev/sg1", 0, "600 root\n600 root\n"},
        {"ScenarioWidensTheMode", "0666", "", "stat -c '%a' /dev/sg0", 0, "666\n"},
        {"MissingTmpdir", "", "/nonexistent-zev", "true", 125, ""},
        {"TmpdirIsAFile", "", "/etc/hostname", "true", 125, ""},
    };
    for (const EdgeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg([&](json& host) {
            if (!c.nodeMode.empty()) host["node_mode"] = c.nodeMode;
        });
        E2EJob job = within(30);
        if (!c.tmpdir.empty()) job.env["TMPDIR"] = c.tmpdir;
        // zevsim itself starts with SIGPIPE ignored and SIGTERM blocked, as under some service managers.
        const Finished r = pkg.run({}, job,
                                   {"perl", "-MPOSIX", "-e",
                                    "$SIG{PIPE}='IGNORE'; "
                                    "sigprocmask(SIG_BLOCK, POSIX::SigSet->new(15)); exec @ARGV or die"},
                                   c.script);
        EXPECT_FALSE(r.result.timedOut);
        EXPECT_EQ(r.result.exitStatus, c.exitStatus) << r.result.err;
        EXPECT_EQ(r.result.out, c.out);
        if (!c.tmpdir.empty()) {
            EXPECT_NE(r.result.err.find("TMPDIR \"" + c.tmpdir + "\" is not a usable folder"), std::string::npos)
                << r.result.err;
        }
    }
}

}  // namespace
