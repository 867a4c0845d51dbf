// The image: a controller receives the package's payload as it was when the run started, or nothing.
// Names given on the command line never write over the package's own files; the executable's folder
// and the working directory are found at any length.
#include <set>
#include <string>
#include <vector>

#include "HostileRun.h"
#include "TestFiles.h"

namespace {

using namespace hostile;

struct AliasCase {
    const char* name;
    const char* args;
    const char* setup;
    const char* refusal;  // what the one line on standard error says; "" for an accepted run
};

void PrintTo(const AliasCase& c, std::ostream* os) { *os << c.name; }

const char kSamePayload[] = "the same file as the payload image";
const char kSamePackage[] = "the same file as package.xml";
const char kSameDocument[] = "the same file as -o both.xml";

const AliasCase kAliasCases[] = {
    {"PlainUpdate", "-u -o result.xml", "", ""},
    {"DebugLogOverPayload", "-u -o result.xml -d payload/fw.bin", "", kSamePayload},
    {"DocumentOverPayload", "-u -o payload/fw.bin", "", kSamePayload},
    {"DocumentOverPayloadOtherSpelling", "-u -o ./payload/../payload//fw.bin", "", kSamePayload},
    {"DocumentOverPayloadHardLink", "-u -o linked.bin", "ln payload/fw.bin linked.bin", kSamePayload},
    {"DocumentOverPackage", "-i -u -o package.xml", "", kSamePackage},
    {"DebugLogOverPackage", "-u -d package.xml", "", kSamePackage},
    {"DocumentOverExecutable", "-u -o zevupdate", "", "the same file as the executable"},
    {"DocumentIntoPayloadFolder", "-u -o payload/result.xml", "", "inside the payload folder"},
    {"DocumentAndDebugLogOneFile", "-u -o both.xml -d both.xml", "", kSameDocument},
    {"DocumentAndDebugLogOneFileResolved", "-u -o both.xml -d ./both.xml", "", kSameDocument},
};

class Aliasing : public ::testing::TestWithParam<AliasCase> {};

TEST_P(Aliasing, RefusedBeforeAnythingIsWrittenOrSent)
{
    const AliasCase& c = GetParam();
    Package pkg;
    pkg.plant(c.setup);
    const Finished o = pkg.run(zevtest::words(c.args), within(60));
    const bool refused = c.refusal[0] != '\0';
    EXPECT_EQ(o.result.exitStatus, refused ? 1 : 0) << o.result.err;
    if (refused) {
        EXPECT_NE(o.result.err.find(c.refusal), std::string::npos) << o.result.err;
        EXPECT_EQ(o.result.err.find('\n'), o.result.err.size() - 1) << "one line: " << o.result.err;
        EXPECT_EQ(o.result.out, "");
        EXPECT_TRUE(programmed(o, {}, ""));
        EXPECT_TRUE(changedOnly(o, {}));  // no document, no log, no marker
    } else {
        EXPECT_EQ(o.result.err, "");
        EXPECT_TRUE(programmed(o, kBoth, Package::image()));
        EXPECT_TRUE(changedOnly(o, {"result.xml"}));
    }
    EXPECT_TRUE(noFalseSuccess(o, pkg.ws.readFile("result.xml")));
}

INSTANTIATE_TEST_SUITE_P(Image, Aliasing, ::testing::ValuesIn(kAliasCases),
                         [](const ::testing::TestParamInfo<AliasCase>& info) { return info.param.name; });

// Nine folders of 249-character names: the executable's path is longer than 2,048 bytes.
std::string deepFolder()
{
    std::string deep;
    for (int i = 0; i < 9; ++i) deep += (i == 0 ? "" : "/") + std::string(249, static_cast<char>('a' + i));
    return deep;
}

TEST(ImageOnce, ChangedMidFlashStillFlashesTheStartingImage)
{
    Package pkg(delayEvery(0xD2, 120));
    // As soon as the first controller is being flashed, the payload file is rewritten.
    const std::string rewrite =
        "( while ! grep -q 'Entering ZevoridedUtils::flashControllerFirmware' debug_update.log 2>/dev/null; "
        "do sleep 0.02; done; printf changed > payload/fw.bin ) &";
    const Finished o = pkg.run({"-u", "-d", "-o", "result.xml"}, within(60), {}, thenTheTool(rewrite));
    EXPECT_EQ(o.result.exitStatus, 0) << o.result.err;
    ASSERT_EQ(pkg.ws.readFile("payload/fw.bin"), "changed") << "the payload was not rewritten mid-run";
    EXPECT_TRUE(programmed(o, kBoth, o.imageAtStart));
    EXPECT_EQ(zevtest::countOf(pkg.ws.readFile("result.xml"), kSuccess), 2);
    EXPECT_TRUE(
        changedOnly(o, {"result.xml", "payload/fw.bin", "debug_update.log", "debug_syscore.log", "zepdebuglog"}));
}

struct LongPathCase {
    const char* name;
    bool deepExecutable;  // the executable (and its payload) deep below the package folder
    bool deepCwd;         // the working directory (and package.xml) deep below it
};

void PrintTo(const LongPathCase& c, std::ostream* os) { *os << c.name; }

const LongPathCase kLongPathCases[] = {
    {"ExecutableFolder", true, false},
    {"WorkingDirectory", false, true},
};

class LongPaths : public ::testing::TestWithParam<LongPathCase> {};

TEST_P(LongPaths, NeverCutNeverAnotherFolder)
{
    const LongPathCase& c = GetParam();
    Package pkg;
    const std::string deep = deepFolder();
    std::string exe = "zevupdate";
    std::set<std::string> allowed = {"result.xml", "zepdebuglog", "debug_update.log", "debug_syscore.log", "a*"};
    if (c.deepExecutable) {
        exe = deep + "/zevupdate";
        pkg.ws.copyExecutable(exe);
        pkg.ws.writeFile(deep + "/payload/fw.bin", Package::image());
        // A decoy where a 2,048-byte cut of the executable's path would look for "payload".
        const std::string cut = pkg.ws.path(exe).substr(0, 2047);
        const std::string decoyFolder = cut.substr(pkg.ws.dir().size() + 1, cut.rfind('/') - pkg.ws.dir().size() - 1);
        pkg.ws.writeFile(decoyFolder + "/payload/decoy.bin", std::string(40000, 'D'));
        pkg.ws.writeFile("payload/fw.bin", std::string(30000, 'W'));  // nor the package folder's
    }
    if (c.deepCwd) {
        pkg.ws.writeFile(deep + "/package.xml", pkg.ws.readFile("package.xml"));
    }
    E2EJob job = within(60);
    job.exeRelPath = exe;
    const Finished o =
        pkg.run({"-u", "-d", "-o", "result.xml"}, job, {}, thenTheTool("", c.deepCwd ? pkg.ws.path(deep) : ""));
    EXPECT_EQ(o.result.exitStatus, 0) << o.result.err;
    EXPECT_TRUE(programmed(o, kBoth, Package::image()));
    const std::string where = c.deepCwd ? deep + "/" : "";
    EXPECT_EQ(zevtest::countOf(pkg.ws.readFile(where + "result.xml"), kSuccess), 2);
    EXPECT_TRUE(pkg.ws.exists(where + "zepdebuglog"));
    EXPECT_TRUE(changedOnly(o, allowed));
}

INSTANTIATE_TEST_SUITE_P(Image, LongPaths, ::testing::ValuesIn(kLongPathCases),
                         [](const ::testing::TestParamInfo<LongPathCase>& info) { return info.param.name; });

}  // namespace
