// The document and the files around it: the -o target is a regular file or a new name, replaced whole;
// a document that cannot be written is an error; no run leaves an earlier success behind; logs and
// the marker are regular files or nothing; closed descriptors and the umask change none of this.
#include <set>
#include <string>
#include <vector>

#include "HostileRun.h"
#include "TestDocuments.h"
#include "TestFiles.h"

namespace {

using namespace hostile;

const char kAbsent[] = "<absent>";
const std::string kFailureDocument = zevtest::updateDocument({zevtest::failureRecord(kFailed)});
// What an earlier, successful run left behind.
const char kEarlierSuccess[] =
    "printf '<PXRExecution><Message>Success: The operation was successful</Message></PXRExecution>' > result.xml";

struct DocumentCase {
    const char* name;
    const char* args;
    const char* setup;
    const char* prefix;  // shell commands before the tool is started (umask, ulimit, redirections)
    int status;
    const char* stderrHas;  // "" for an empty standard error
    bool flashed;           // both controllers updated, or nothing sent
    const char* document;   // path of a file that must afterwards hold...
    const char* holds;      // ...this text (kAbsent: must not exist)
    const char* mayChange;  // the files that may change
    unsigned mode;          // mode of every file created or replaced (0: not checked)
};

void PrintTo(const DocumentCase& c, std::ostream* os) { *os << c.name; }

const DocumentCase kCases[] = {
    {"ReplacesEarlierDocument", "-u -o result.xml", kEarlierSuccess, "", 0, "", true, "result.xml", "</Device><Device ",
     "result.xml", 0},
    {"TargetIsSymbolicLink", "-u -o result.xml", "printf keep > victim; ln -s victim result.xml", "", 1,
     "-o result.xml: is a symbolic link", false, "victim", "keep", "", 0},
    {"TargetIsDanglingLink", "-u -o result.xml", "ln -s created.xml result.xml", "", 1,
     "-o result.xml: is a symbolic link", false, "created.xml", kAbsent, "", 0},
    {"TargetIsDirectory", "-u -o result.xml", "mkdir result.xml", "", 1, "-o result.xml: is a directory", false, "", "",
     "", 0},
    {"TargetIsFifo", "-u -o result.xml", "mkfifo result.xml", "", 1, "-o result.xml: is not a regular file", false, "",
     "", "", 0},
    {"TargetIsDevice", "-u -o /dev/full", "", "", 1, "-o /dev/full: is not a regular file", false, "", "", "", 0},
    {"TargetFolderMissing", "-i -o nodir/inventory.xml", "", "", 1, "-o nodir/inventory.xml: No such file or directory",
     false, "nodir", kAbsent, "", 0},
    {"StandardOutputFull", "-u", "", "exec >/dev/full", 1,
     "cannot write the result document to standard output: No space left on device", true, "", "", "", 0},
    {"InventoryToFullOutput", "-i", "", "exec >/dev/full", 1,
     "cannot write the result document to standard output: No space left on device", false, "", "", "", 0},
    {"FileSizeLimitZero", "-u -o result.xml", kEarlierSuccess, "ulimit -f 0", 1,
     "cannot write the result document to result.xml: File too large", false, "result.xml", kAbsent, "result.xml", 0},
    {"StandardOutputClosed", "-u -d", "", "exec >&-", 0, "", true, "debug_update.log", "Update: Flashing",
     "debug_update.log debug_syscore.log zepdebuglog", 0},
    {"RejectedCommandLineCreatesNothing", "-u -d -x", "", "", 1, "", false, "zepdebuglog", kAbsent, "", 0},
    {"SystemCoreLogIsFifo", "-u -d -o result.xml", "mkfifo debug_syscore.log", "", 0, "", true, "result.xml",
     "</Device><Device ", "result.xml debug_update.log zepdebuglog", 0},
    {"DebugLogIsFifo", "-u -d -o result.xml", "mkfifo debug_update.log", "", 0, "", true, "result.xml",
     "</Device><Device ", "result.xml debug_syscore.log zepdebuglog baseutils.log", 0},
    {"MarkerIsFifo", "-u -o result.xml", "mkfifo zepdebuglog", "", 0, "", true, "debug_update.log", kAbsent,
     "result.xml", 0},
    {"UmaskAllowsEverything", "-u -d -o result.xml", "", "umask 000", 0, "", true, "result.xml", "</Device><Device ",
     "result.xml debug_update.log debug_syscore.log zepdebuglog", 0644},
    {"UmaskRemovesBits", "-u -d -o result.xml", kEarlierSuccess, "umask 077", 0, "", true, "result.xml",
     "</Device><Device ", "result.xml debug_update.log debug_syscore.log zepdebuglog", 0600},
};

class Documents : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(Documents, Outcome)
{
    const DocumentCase& c = GetParam();
    Package pkg;
    pkg.plant(c.setup);
    const Finished o = pkg.run(zevtest::words(c.args), within(60), {}, thenTheTool(c.prefix));
    EXPECT_EQ(o.result.exitStatus, c.status) << o.result.err;
    if (c.stderrHas[0] == '\0') {
        EXPECT_EQ(o.result.err, "");
    } else {
        EXPECT_NE(o.result.err.find(c.stderrHas), std::string::npos) << o.result.err;
        EXPECT_EQ(o.result.err.find('\n'), o.result.err.size() - 1) << "one line: " << o.result.err;
    }
    EXPECT_TRUE(programmed(o, c.flashed ? kBoth : std::vector<std::string>(), Package::image()));
    const std::vector<std::string> mayChange = zevtest::words(c.mayChange);
    EXPECT_TRUE(changedOnly(o, {mayChange.begin(), mayChange.end()}));
    std::string document;
    if (c.document[0] != '\0') {
        if (std::string(c.holds) == kAbsent) {
            EXPECT_FALSE(pkg.ws.exists(c.document)) << c.document;
        } else {
            document = pkg.ws.readFile(c.document);
            EXPECT_NE(document.find(c.holds), std::string::npos) << c.document << ": " << document;
        }
    }
    if (std::string(c.document) == "result.xml" && !document.empty()) {
        EXPECT_EQ(E2EXmlProblem(document), "");
    }
    EXPECT_TRUE(noFalseSuccess(o, document));
    // A document lands in the -o file or on standard output, never in a log or any other file.
    for (const std::string& path : o.changed) {
        if (path != "result.xml") {
            EXPECT_EQ(pkg.ws.readFile(path).find("<PXR"), std::string::npos) << path;
        }
    }
    if (c.mode != 0) {
        for (const std::string& path : o.changed) EXPECT_EQ(pkg.modeOf(path), c.mode) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Document, Documents, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DocumentCase>& info) { return info.param.name; });

struct KillCase {
    const char* name;
    const char* setup;
};

void PrintTo(const KillCase& c, std::ostream* os) { *os << c.name; }

const KillCase kKillCases[] = {
    {"EarlierSuccessInPlace", kEarlierSuccess},
    {"NoEarlierDocument", ""},
};

class KilledMidFlash : public ::testing::TestWithParam<KillCase> {};

// A run killed while the first controller is being flashed leaves the failure record, never an
// earlier success.
TEST_P(KilledMidFlash, LeavesTheFailureRecord)
{
    Package pkg(delayEvery(0xD2, 120));
    pkg.plant(GetParam().setup);
    // The first progress line is logged once the first chunk has been answered, so by then the
    // controller has received flash commands.
    const std::string killer =
        "( while ! grep -q 'Flash Progress: ' debug_update.log 2>/dev/null; "
        "do sleep 0.02; done; kill -9 $$ ) &";
    const Finished o = pkg.run({"-u", "-d", "-o", "result.xml"}, within(60), {}, thenTheTool(killer));
    EXPECT_EQ(o.result.exitStatus, 128 + 9);
    // The kill landed after the first flash command had been sent.
    EXPECT_GT(controllersSent(o, 0xD3), 0);
    EXPECT_EQ(pkg.ws.readFile("result.xml"), kFailureDocument);
    EXPECT_TRUE(noFalseSuccess(o, pkg.ws.readFile("result.xml")));
    EXPECT_TRUE(changedOnly(o, {"result.xml", "debug_update.log", "debug_syscore.log", "zepdebuglog"}));
}

INSTANTIATE_TEST_SUITE_P(Document, KilledMidFlash, ::testing::ValuesIn(kKillCases),
                         [](const ::testing::TestParamInfo<KillCase>& info) { return info.param.name; });

}  // namespace
