#include <gtest/gtest.h>

#include <vector>

#include "CCommandLineParser.h"
#include "TempDir.h"

namespace {

const std::string kUsage =
    "\nUsage: -h\n\tProvides detailed help information\n\nUsage: -i [-o <output filename>] [-debug]\n\tProvides "
    "inventory information of all identified devices.\n\t-o Specifies the output filename.\n\t-d Specifies to create "
    "a debug log file.\n\nUsage: -u [-s <image folder>] [-f] [-o <output filename>] [-debug [filename]]\n"
    "===========================================================================\n";

struct ParseCase {
    std::vector<std::string> args;  // without the program name
    bool markerBefore;              // marker file present in the working directory beforehand
    bool result;
    bool usage;
    bool inventory, update, debug, force, verify;
    std::string debugName;
    std::string outputName;
    bool markerAfter;
};

// One row a line, under the column names.
// clang-format off
const ParseCase kCases[] = {
    // args                          marker res   usage  inv    upd    dbg    force  verify debugName output markerAfter
    {{}, false, false, true, false, false, false, false, false, "debug.log", "", false},
    {{"-h"}, false, true, true, false, false, false, false, false, "debug.log", "", false},
    {{"-i"}, false, true, false, true, false, false, false, false, "debug.log", "", false},
    {{"-u"}, false, true, false, false, true, false, false, false, "debug.log", "", false},
    {{"-i", "-u"}, false, true, false, true, true, false, false, false, "debug.log", "", false},
    {{"-i", "-h"}, false, true, true, true, false, false, false, false, "debug.log", "", false},
    {{"-h", "-i"}, false, true, true, false, false, false, false, false, "debug.log", "", false},
    {{"-h", "-bogus"}, false, true, true, false, false, false, false, false, "debug.log", "", false},
    {{"-o", "-i"}, false, true, false, false, false, false, false, false, "debug.log", "-i", false},
    {{"-i", "-o", "a.xml", "-o", "b.xml"}, false, true, false, true, false, false, false, false, "debug.log", "b.xml", false},
    {{"-i", "-o"}, false, false, true, true, false, false, false, false, "debug.log", "", false},
    {{"-o"}, false, false, true, false, false, false, false, false, "debug.log", "", false},
    {{"-i", "-d"}, false, true, false, true, false, true, false, false, "debug_inv.log", "", true},
    {{"-u", "-d"}, false, true, false, false, true, true, false, false, "debug_update.log", "", true},
    {{"-i", "-d", "my.log"}, false, true, false, true, false, true, false, false, "my.log", "", true},
    {{"-i", "-d", "-f"}, false, true, false, true, false, true, true, false, "debug_inv.log", "", true},
    {{"-d", "-i"}, false, true, false, true, false, true, false, false, "", "", true},
    {{"-i", "-u", "-d"}, false, true, false, true, true, true, false, false, "debug_update.log", "", true},
    {{"-u", "-i", "-d"}, false, true, false, true, true, true, false, false, "debug_inv.log", "", true},
    {{"-i"}, true, true, false, true, false, true, false, false, "debug_inv.log", "", true},
    {{"-u"}, true, true, false, false, true, true, false, false, "debug_update.log", "", true},
    {{"-i", "-h"}, true, true, true, true, false, false, false, false, "debug.log", "", true},
    {{"-f", "-v"}, false, true, false, false, false, false, true, true, "debug.log", "", false},
    {{"-debug"}, false, false, true, false, false, false, false, false, "debug.log", "", false},
    {{"-i", "-s", "folder"}, false, false, true, true, false, false, false, false, "debug.log", "", false},
    {{"-I"}, false, false, true, false, false, false, false, false, "debug.log", "", false},
    {{"-ix"}, false, false, true, false, false, false, false, false, "debug.log", "", false},
    {{"i"}, false, false, true, false, false, false, false, false, "debug.log", "", false},
    {{""}, false, false, true, false, false, false, false, false, "debug.log", "", false},
    {{"-i", "-i"}, false, true, false, true, false, false, false, false, "debug.log", "", false},
    {{"-i", "-d", "-d"}, false, true, false, true, false, true, false, false, "debug_inv.log", "", true},
    // Rejected: the marker of its -d is never created.
    {{"-i", "-d", "a.log", "extra"}, false, false, true, true, false, true, false, false, "a.log", "", false},
};
// clang-format on

// Shown by the test runner instead of the raw bytes of the record.
void PrintTo(const ParseCase& c, std::ostream* os)
{
    *os << "zevupdate";
    for (const std::string& a : c.args) *os << " '" << a << "'";
    if (c.markerBefore) *os << " (marker file present)";
}

class CommandLine : public ::testing::TestWithParam<ParseCase> {};

TEST_P(CommandLine, Parses)
{
    const ParseCase& c = GetParam();
    TempDir dir(true);
    if (c.markerBefore) writeFile(dir.file("zepdebuglog"), "");
    std::vector<std::string> storage{"zevupdate"};
    storage.insert(storage.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(&s[0]);
    argv.push_back(nullptr);

    CCommandLineParser parser;
    testing::internal::CaptureStdout();
    bool result = parser.parseCLI(static_cast<int>(storage.size()), argv.data());
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(out, c.usage ? kUsage : "");
    EXPECT_EQ(parser.isInventory(), c.inventory);
    EXPECT_EQ(parser.isUpdate(), c.update);
    EXPECT_EQ(parser.isDebug(), c.debug);
    EXPECT_EQ(parser.isForceMode(), c.force);
    EXPECT_EQ(parser.isVerify(), c.verify);
    EXPECT_EQ(parser.getDebugFilename(), c.debugName);
    EXPECT_EQ(parser.getOutputFileName(), c.outputName);
    EXPECT_EQ(pathExists(dir.file("zepdebuglog")), c.markerAfter);
}

std::string caseName(const ::testing::TestParamInfo<ParseCase>& info) { return "case" + std::to_string(info.index); }

INSTANTIATE_TEST_SUITE_P(Table, CommandLine, ::testing::ValuesIn(kCases), caseName);

TEST(CommandLineUsage, ExactTextAndNullVector)
{
    EXPECT_EQ(std::string(g_szUsageText), kUsage);
    CCommandLineParser parser;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(parser.parseCLI(3, nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kUsage);
}

}  // namespace
