// The image: a controller receives the package's payload as it was when the run started, or nothing.
// Names given on the command line never write over the package's own files; the executable's folder
// and the working directory are found at any length.
#include <set>
#include <string>
#include <vector>

#include "HostileHost.h"

namespace {

struct AliasCase {
    const char* name;
    std::vector<std::string> args;
    const char* setup;
    const char* refusal;  // what the one line on standard error says; "" for an accepted run
};

const AliasCase kAliasCases[] = {
    {"PlainUpdate", {"-u", "-o", "result.xml"}, "", ""},
    {"DebugLogOverPayload",
     {"-u", "-o", "result.xml", "-d", "payload/fw.bin"},
     "",
     "the same file as the payload image"},
    {"DocumentOverPayload", {"-u", "-o", "payload/fw.bin"}, "", "the same file as the payload image"},
    {"DocumentOverPayloadOtherSpelling",
     {"-u", "-o", "./payload/../payload//fw.bin"},
     "",
     "the same file as the payload image"},
    {"DocumentOverPayloadHardLink",
     {"-u", "-o", "linked.bin"},
     "ln payload/fw.bin linked.bin",
     "the same file as the payload image"},
    {"DocumentOverPackage", {"-i", "-u", "-o", "package.xml"}, "", "the same file as package.xml"},
    {"DebugLogOverPackage", {"-u", "-d", "package.xml"}, "", "the same file as package.xml"},
    {"DocumentOverExecutable", {"-u", "-o", "zevupdate"}, "", "the same file as the executable"},
    {"DocumentIntoPayloadFolder", {"-u", "-o", "payload/result.xml"}, "", "inside the payload folder"},
    {"DocumentAndDebugLogOneFile", {"-u", "-o", "both.xml", "-d", "both.xml"}, "", "the same file as -o both.xml"},
    {"DocumentAndDebugLogOneFileResolved",
     {"-u", "-o", "both.xml", "-d", "./both.xml"},
     "",
     "the same file as -o both.xml"},
};

class Aliasing : public ::testing::TestWithParam<AliasCase> {};

TEST_P(Aliasing, RefusedBeforeAnythingIsWrittenOrSent)
{
    const AliasCase& c = GetParam();
    HostileHost host;
    HostileOutcome o = host.run(c.args, c.setup);
    const bool refused = c.refusal[0] != '\0';
    EXPECT_EQ(o.result.exitStatus, refused ? 1 : 0) << o.result.err;
    if (refused) {
        EXPECT_NE(o.result.err.find(c.refusal), std::string::npos) << o.result.err;
        EXPECT_EQ(o.result.err.find('\n'), o.result.err.size() - 1) << "one line: " << o.result.err;
        EXPECT_EQ(o.result.out, "");
        EXPECT_TRUE(programmed(o, ""));
        EXPECT_TRUE(changedOnly(o, {}));  // no document, no log, no marker
    } else {
        EXPECT_EQ(o.result.err, "");
        EXPECT_TRUE(programmed(o, HostileHost::image()));
        EXPECT_TRUE(changedOnly(o, {"result.xml"}));
    }
    EXPECT_TRUE(noFalseSuccess(o, host.ws().readFile("result.xml")));
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

int successes(const std::string& document)
{
    int n = 0;
    const std::string what = "Success: The operation was successful";
    for (std::size_t at = document.find(what); at != std::string::npos; at = document.find(what, at + 1)) ++n;
    return n;
}

TEST(ImageOnce, ChangedMidFlashStillFlashesTheStartingImage)
{
    HostileHost host(120);
    // As soon as the first controller is being flashed, the payload file is rewritten.
    const std::string rewrite =
        "( while ! grep -q 'Entering ZevoridedUtils::flashControllerFirmware' debug_update.log 2>/dev/null; "
        "do sleep 0.02; done; printf changed > payload/fw.bin ) &";
    HostileOutcome o = host.run({"-u", "-d", "-o", "result.xml"}, "", rewrite);
    EXPECT_EQ(o.result.exitStatus, 0) << o.result.err;
    ASSERT_EQ(host.ws().readFile("payload/fw.bin"), "changed") << "the payload was not rewritten mid-run";
    EXPECT_TRUE(programmed(o, o.imageAtStart));
    EXPECT_EQ(successes(host.ws().readFile("result.xml")), 2);
    EXPECT_TRUE(
        changedOnly(o, {"result.xml", "payload/fw.bin", "debug_update.log", "debug_syscore.log", "zepdebuglog"}));
}

struct LongPathCase {
    const char* name;
    bool deepExecutable;  // the executable (and its payload) deep below the package folder
    bool deepCwd;         // the working directory (and package.xml) deep below it
};

const LongPathCase kLongPathCases[] = {
    {"ExecutableFolder", true, false},
    {"WorkingDirectory", false, true},
};

class LongPaths : public ::testing::TestWithParam<LongPathCase> {};

TEST_P(LongPaths, NeverCutNeverAnotherFolder)
{
    const LongPathCase& c = GetParam();
    HostileHost host;
    const std::string deep = deepFolder();
    std::string exe = "zevupdate";
    std::set<std::string> allowed = {"result.xml", "zepdebuglog", "debug_update.log", "debug_syscore.log", "a*"};
    if (c.deepExecutable) {
        exe = deep + "/zevupdate";
        host.ws().copyExecutable(exe);
        host.ws().writeFile(deep + "/payload/fw.bin", HostileHost::image());
        // A decoy where a 2,048-byte cut of the executable's path would look for "payload".
        const std::string cut = host.ws().path(exe).substr(0, 2047);
        const std::string decoyFolder =
            cut.substr(host.ws().dir().size() + 1, cut.rfind('/') - host.ws().dir().size() - 1);
        host.ws().writeFile(decoyFolder + "/payload/decoy.bin", std::string(40000, 'D'));
        host.ws().writeFile("payload/fw.bin", std::string(30000, 'W'));  // nor the package folder's
    }
    if (c.deepCwd) {
        host.ws().writeFile(deep + "/package.xml", host.ws().readFile("package.xml"));
    }
    HostileOutcome o = host.run({"-u", "-d", "-o", "result.xml"}, "", "", exe, c.deepCwd ? deep : "");
    EXPECT_EQ(o.result.exitStatus, 0) << o.result.err;
    EXPECT_TRUE(programmed(o, HostileHost::image()));
    const std::string where = c.deepCwd ? deep + "/" : "";
    EXPECT_EQ(successes(host.ws().readFile(where + "result.xml")), 2);
    EXPECT_TRUE(host.ws().exists(where + "zepdebuglog"));
    EXPECT_TRUE(changedOnly(o, allowed));
}

INSTANTIATE_TEST_SUITE_P(Image, LongPaths, ::testing::ValuesIn(kLongPathCases),
                         [](const ::testing::TestParamInfo<LongPathCase>& info) { return info.param.name; });

}  // namespace
