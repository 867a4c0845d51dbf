// End-to-end checks that need more than a fixed expected output.

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

#include "E2EHarness.h"
#include "TestFiles.h"
#include "TestProcess.h"

namespace {

using zevtest::splitLines;

E2EResult runWith(const E2EWorkspace& ws, const std::vector<std::string>& args)
{
    E2EJob job;
    job.args = args;
    return ws.run(job);
}

TEST(Executable, CarriesTheVersionMarkerAsGlobalData)
{
    std::string cmd = std::string("nm -S --defined-only '") + ZEV_EXE + "'";
    std::string out;
    ASSERT_EQ(zevtest::commandOutput(cmd, &out), 0) << "nm failed";
    // "<address> <size> <type> qmr_version": global (upper-case) read-only or initialised data, 34 bytes.
    bool found = false;
    for (const std::string& line : splitLines(out)) {
        std::istringstream fields(line);
        std::string address, size, type, name;
        if (!(fields >> address >> size >> type >> name) || name != "qmr_version") continue;
        found = true;
        EXPECT_EQ(std::stoul(size, nullptr, 16), 34u);
        EXPECT_TRUE(type == "R" || type == "D") << "symbol type " << type;
    }
    EXPECT_TRUE(found) << "no qmr_version symbol";

    // Its bytes: the text followed by one NUL.
    E2EWorkspace ws(ZEV_EXE);
    std::string image = ws.readFile("zevupdate");
    const std::string text = std::string("QMR_VERSION = 18.06.000 (BLD_216)") + '\0';
    EXPECT_NE(image.find(text), std::string::npos);
}

TEST(Executable, PayloadIsFoundBesideTheLinkTarget)
{
    E2EWorkspace ws(ZEV_EXE);
    ws.copyExecutable("bin/zevupdate");
    ws.writeFile("bin/payload/image.bin", "img");
    ws.symlink("../bin/zevupdate", "link/zevupdate");
    ws.writeFile("link/payload/a", "1");  // beside the link: two entries, would fail
    ws.writeFile("link/payload/b", "2");
    E2EJob job;
    job.exeRelPath = "link/zevupdate";
    job.args = {"-u"};
    const E2EResult r = ws.run(job);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(r.out.find(">Device is not present in the system for update or has been removed<"), std::string::npos)
        << r.out;
}

TEST(Executable, DebugLogLinesAndFreshLogPerRun)
{
    E2EWorkspace ws(ZEV_EXE);
    ASSERT_EQ(runWith(ws, {"-i", "-d", "-o", "inv.xml"}).exitStatus, 0);
    std::vector<std::string> first = splitLines(ws.readFile("debug_inv.log"));
    ASSERT_GE(first.size(), 4u);
    // "[time] : " + name right-aligned in 25 + ":" + line number in 5 + ": " + message.
    auto isInitLine = [](const std::string& l) {
        const std::string head = ":     RizizavadIrerMain.cpp:";
        const std::string tail = ": Logger initialized";
        if (l.size() != 22 + head.size() + 5 + tail.size() || l[0] != '[' || l.compare(20, 2, "] ") != 0) return false;
        const std::string number = l.substr(22 + head.size(), 5);
        return l.compare(22, head.size(), head) == 0 && number.find_first_not_of(" 0123456789") == std::string::npos &&
               std::isdigit(static_cast<unsigned char>(number[4])) &&
               l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
    };
    EXPECT_TRUE(isInitLine(first[0])) << first[0];
    const std::string log = ws.readFile("debug_inv.log");
    for (const char* text :
         {": Output file name =inv.xml\n", ": Before RizizavadIrerInventory.Inventory \n",
          ": Entering IECommonUtils::generateXML()\n", ": WARNING: deviceInfo is empty. There seems to be no device.\n",
          ": After RizizavadIrerInventory.Inventory \n"})
        EXPECT_NE(log.find(text), std::string::npos) << text;

    // Second run (marker file now present, no -d): the log holds only its own lines.
    ASSERT_EQ(runWith(ws, {"-i"}).exitStatus, 0);
    std::vector<std::string> second = splitLines(ws.readFile("debug_inv.log"));
    ASSERT_FALSE(second.empty());
    EXPECT_TRUE(isInitLine(second[0])) << second[0];
    // Without -o there are no output-file lines: fewer lines, none of them left over from the first run.
    EXPECT_LT(second.size(), first.size());
    EXPECT_EQ(ws.readFile("debug_inv.log").find("Output file name"), std::string::npos);
}

TEST(Executable, OutputFileIsTheCallersChoiceButNeverALink)
{
    E2EWorkspace ws(ZEV_EXE);
    ws.writeFile("real/inv.xml", "old");
    ws.symlink("real/inv.xml", "out.xml");
    E2EResult r = runWith(ws, {"-i", "-o", "out.xml"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zevupdate: -o out.xml: is a symbolic link\n");
    EXPECT_EQ(ws.readFile("real/inv.xml"), "old");
    // The folder the link pointed into is the caller's choice all the same.
    r = runWith(ws, {"-i", "-o", "real/inv.xml"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(ws.readFile("real/inv.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><PXRInventory lang=\"en\"></PXRInventory>");
}

TEST(Harness, WrapperPlaceholderAndEnvironment)
{
    E2EWorkspace ws(ZEV_EXE);
    E2EJob job;
    job.wrapper = {"sh", "-c", "echo \"$MARK\"; exec \"$0\" \"$@\"", "{exe}"};
    job.env = {{"MARK", "wrapped"}};
    job.args = {"-x"};
    E2EResult r = ws.run(job);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out.substr(0, 8), "wrapped\n");
    EXPECT_NE(r.out.find("Usage: -h"), std::string::npos);
}

TEST(Harness, ReportsSignalsAndXmlProblems)
{
    E2EWorkspace ws(ZEV_EXE);
    E2EJob job;
    job.wrapper = {"sh", "-c", "kill -9 $$", "{exe}"};
    EXPECT_EQ(ws.run(job).exitStatus, 128 + 9);
    EXPECT_EQ(E2EXmlProblem("<a b=\"1\"/>"), "");
    EXPECT_NE(E2EXmlProblem("<a b=\"x\"y\"/>"), "");
    EXPECT_NE(E2EXmlProblem("<a>&</a>"), "");
}

}  // namespace
