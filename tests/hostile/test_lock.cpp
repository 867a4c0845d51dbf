// The update lock: only root creates it, nobody else can switch it off, and without it nothing is
// sent. Each case runs in a mount namespace with an empty /run of its own, so the machine's real lock
// (and other update runs on it) are never touched.
#include "HostileRun.h"

namespace {

using namespace hostile;

struct LockCase {
    const char* name;
    std::string plant;  // shell commands run in the namespace before the tool
    bool asNobody;      // the tool runs as user 65534
    bool flashes;
    std::string lockAfter;  // "%F %a %U" of /run/zevupdate.lock after the run
};

TEST(HostileLock, Table)
{
    if (::geteuid() != 0 || std::system("unshare -m sh -c 'mount -t tmpfs tmpfs /run' 2>/dev/null") != 0)
        GTEST_SKIP() << "needs root and mount namespaces";
    const LockCase cases[] = {
        {"RootCreatesItForRootAlone", "true", false, true, "regular empty file 600 root"},
        // The places an earlier version used, planted by another user, change nothing any more.
        {"OldPlacePlantedByAUserIsIgnored",
         "mkdir -m 1777 /run/lock && touch /run/lock/zevupdate.lock && "
         "chown 65534 /run/lock/zevupdate.lock",
         false, true, "regular empty file 600 root"},
        {"SymbolicLinkIsNotFollowed", "ln -s /run/elsewhere /run/zevupdate.lock", false, false,
         "symbolic link 777 root"},
        {"FileOfAnotherOwnerIsNotUsed", "touch /run/zevupdate.lock && chown 65534 /run/zevupdate.lock", false, false,
         "regular empty file 644 nobody"},
        {"FifoIsNotUsedAndDoesNotHang", "mkfifo -m 600 /run/zevupdate.lock", false, false, "fifo 600 root"},
        {"NonRootNeverCreatesIt", "chmod 777 .", true, false, "missing"},
    };
    for (const LockCase& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg;
        const std::string inNamespace = "mount -t tmpfs -o mode=0755 tmpfs /run && " + c.plant +
                                        " && { \"$@\"; rc=$?; stat -c '%F %a %U' /run/zevupdate.lock > lock.stat "
                                        "2>/dev/null || echo missing > lock.stat; exit $rc; }";
        const Finished r =
            pkg.run({"-u", "-o", "out.xml"}, within(60), {"unshare", "-m", "sh", "-c", inNamespace, "sh"},
                    c.asNobody ? "exec setpriv --reuid=65534 --regid=65534 --clear-groups \"$@\"" : "");
        const std::set<std::string> changed = {"out.xml", "lock.stat"};
        const Outcome flashed{0, kBoth, 2, {}, changed}, refused{0, {}, 0, {kFailed}, changed};
        pkg.check(r, c.flashes ? flashed : refused, pkg.ws.readFile("out.xml"));
        EXPECT_EQ(pkg.ws.readFile("lock.stat"), c.lockAfter + "\n");
        for (const json& ctrl : r.report.at("controllers")) {  // without the lock nothing at all is sent
            EXPECT_EQ(ctrl.at("commands").empty(), !c.flashes) << ctrl.at("id");
        }
    }
}

}  // namespace
