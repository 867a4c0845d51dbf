// The update lock: only root can create it, nobody else can switch it off, and without it nothing is
// sent. Each case runs in a mount namespace of its own with an empty /run, so the machine's real lock
// (and other update runs on it) are never touched.
#include "hostile_run.h"

namespace {

using hostile::Outcome;
using hostile::Package;

bool privateRunPossible()
{
    return std::system("unshare -m sh -c 'mount -t tmpfs tmpfs /run' > /dev/null 2>&1") == 0;
}

struct LockCase {
    const char* name;
    std::string plant;      // shell commands run in the namespace before the tool (with /run empty)
    bool asNobody;          // the tool runs as user 65534
    Outcome want;
    std::string lockAfter;  // "stat -c '%F %a %U'" of /run/zevupdate.lock after the run
    std::string document;   // expected failure-only document text, "" when the run flashes
};

const std::vector<LockCase>& lockCases()
{
    static const std::string ok = "regular empty file 600 root";
    static const std::vector<LockCase> cases = {
        {"RootCreatesItRootOnly", "", false, {0, {"raidctl", "hbactl"}, 2, {}, {"out.xml", "lock.stat"}}, ok, ""},
        // The places an earlier version used, planted by another user: no effect any more.
        {"OldPlacesPlantedByAUserAreIgnored",
         "mkdir -p /run/lock && chmod 1777 /run/lock && touch /run/lock/zevupdate.lock && "
         "chown 65534 /run/lock/zevupdate.lock",
         false, {0, {"raidctl", "hbactl"}, 2, {}, {"out.xml", "lock.stat"}}, ok, ""},
        {"SymbolicLinkIsNotFollowed", "ln -s /run/elsewhere /run/zevupdate.lock", false,
         {0, {}, 0, {hostile::kFailed}, {"out.xml", "lock.stat"}}, "symbolic link 777 root", "failure"},
        {"FileOfAnotherOwnerIsNotUsed", "touch /run/zevupdate.lock && chown 65534 /run/zevupdate.lock", false,
         {0, {}, 0, {hostile::kFailed}, {"out.xml", "lock.stat"}}, "regular empty file 644 nobody", "failure"},
        {"FifoIsNotUsedAndDoesNotHang", "mkfifo -m 600 /run/zevupdate.lock", false,
         {0, {}, 0, {hostile::kFailed}, {"out.xml", "lock.stat"}}, "fifo 600 root", "failure"},
        // Not root: the lock is never created; without it the update does not run.
        {"NonRootWithoutALockRootMade", "", true, {0, {}, 0, {hostile::kFailed}, {"out.xml", "lock.stat"}},
         "missing", "failure"},
    };
    return cases;
}

TEST(HostileLock, Table)
{
    if (::geteuid() != 0 || !privateRunPossible())
        GTEST_SKIP() << "needs root and mount namespaces";
    for (const LockCase& c : lockCases()) {
        SCOPED_TRACE(c.name);
        Package pkg;
        if (c.asNobody) {
            ASSERT_EQ(::chmod(pkg.ws.dir().c_str(), 0777), 0);
        }
        const std::string namespaceScript =
            "mount -t tmpfs -o mode=0755 tmpfs /run && " + (c.plant.empty() ? std::string("true") : c.plant) +
            " && { \"$@\"; rc=$?; stat -c '%F %a %U' /run/zevupdate.lock > lock.stat 2>/dev/null || "
            "echo missing > lock.stat; exit $rc; }";
        const std::vector<std::string> prefix = {"unshare", "-m", "sh", "-c", namespaceScript, "sh"};
        const std::string script =
            c.asNobody ? "exec setpriv --reuid=65534 --regid=65534 --clear-groups \"$@\"" : "exec \"$@\"";
        E2EJob job;
        job.timeoutSeconds = 60;
        E2EResult r = pkg.run({"-u", "-o", "out.xml"}, job, prefix, script);
        const std::string document = pkg.ws.readFile("out.xml");
        pkg.check(r, c.want, document);
        std::string lockAfter = pkg.ws.readFile("lock.stat");
        if (!lockAfter.empty() && lockAfter.back() == '\n')
            lockAfter.pop_back();
        EXPECT_EQ(lockAfter, c.lockAfter);
        if (!c.document.empty()) {
            EXPECT_EQ(document, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><PXRExecution lang=\"en\">" +
                                    hostile::failureRecord(hostile::kFailed) + "</PXRExecution>");
            // Nothing at all reached a controller.
            for (const hostile::json& ctrl : pkg.report.at("controllers"))
                EXPECT_TRUE(ctrl.at("commands").empty()) << ctrl.at("id");
        }
    }
}

}  // namespace
