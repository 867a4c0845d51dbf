// Update runs end to end inside the emulated host (zevsim): two runs at once, termination signals at
// every stage of a run, and what a terminal shows while the controllers are flashed.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "TestDocuments.h"
#include "TestFiles.h"
#include "TestImage.h"
#include "TestPackage.h"
#include "TestProcess.h"
#include "TestReport.h"
#include "UpdateRunControl.h"
#include "TestWorkDir.h"

namespace {

using nlohmann::json;

const char kSuccess[] = "Success: The operation was successful";
const char kFailed[] = "ERROR: Failed to update Firmware";
const char kWaitLine[] = "Update: waiting for another update run to finish";
const std::string kDocumentHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><PXRExecution lang=\"en\">";
const std::string kFailedStatus = zevtest::failureRecord(kFailed);
const std::string kFailedDocument = zevtest::updateDocument({kFailedStatus});

using zevtest::countOf;
using zevtest::readFile;
using zevtest::shq;
using zevtest::waitFor;
using zevtest::writeFile;

const std::string kPackage = zevtest::packageXml({{"0101", "0a01", "1d5a", "1d5a"}, {"0202", "0b02", "1d5a", "1d5a"}});

// 4 chunks of 16 KiB, the last one short.
std::string imageBytes() { return zevtest::imageBytes(3 * 16384 + 1000, 0x2468ace1u); }
constexpr int kChunks = 4;

// Two controllers of two drivers; their display names as the tool forms them.
const char kHost[] = R"({"controllers": [
  {"id": "c-hpsa", "driver": "hpsa",
   "pci": {"address": "0000:03:00.0", "vendor": "0x1d5a", "device": "0x0101", "subsystem_vendor": "0x1d5a",
           "subsystem_device": "0x0a01"},
   "firmware": {"identify": {"firmware_version": "1.98", "product_id": "ZR 8i", "family_id": "Zev Family", "slot": 0}}},
  {"id": "c-pqi", "driver": "smartpqi",
   "pci": {"address": "0000:05:00.0", "vendor": "0x1d5a", "device": "0x0202", "subsystem_vendor": "0x1d5a",
           "subsystem_device": "0x0b02"},
   "firmware": {"identify": {"firmware_version": "2.10", "product_id": "ZR 16e", "family_id": "Zev Family", "slot": 3}}}]})";
const std::string kNames[] = {"Zev Family ZR 8i Controller Slot Number 0",
                              "Zev Family ZR 16e Controller Slot Number 3"};

class UpdateRuns : public zevtest::WorkDirTest {
protected:
    UpdateRuns() : zevtest::WorkDirTest("zevruns") {}

    // A package folder: the executable, its payload and package.xml (also the working directory).
    std::string workspace(const std::string& name)
    {
        std::string dir = root + "/" + name;
        EXPECT_EQ(
            std::system(("mkdir -p " + shq(dir + "/payload") + " && cp '" ZEVUPDATE_PATH "' " + shq(dir + "/zevupdate"))
                            .c_str()),
            0);
        writeFile(dir + "/payload/firmware.bin", imageBytes());
        writeFile(dir + "/package.xml", kPackage);
        return dir;
    }

    // The two-controller host with every answer to the given BMIC command delayed.
    std::string scenario(int delayedBmic, int delayMs)
    {
        json s = json::parse(kHost);
        zevtest::delayBmic(s, delayedBmic, delayMs);
        std::string path = root + "/scenario.json";
        writeFile(path, s.dump());
        return path;
    }

    // Starts `zevsim run SCENARIO --report R -- sh -c SCRIPT` with standard streams to files in root.
    pid_t start(const std::string& scenarioPath, const std::string& script)
    {
        zevtest::ChildProcess launch;
        launch.argv = {ZEVSIM_PATH, "run",     scenarioPath, "--report", root + "/report.json",
                       "--",        "/bin/sh", "-c",         script};
        launch.stdoutPath = root + "/zevsim.out";
        launch.stderrPath = root + "/zevsim.err";
        launch.env["TMPDIR"] = "/tmp";
        launch.ownGroup = true;  // so that a hung run can be ended whole
        // As from an interactive shell: a test started in the background inherits SIGINT ignored,
        // and the tool rightly keeps an ignored signal ignored.
        launch.defaultSignals = true;
        return zevtest::startProcess(launch);
    }

    // Exit status as a shell shows it (128 + signal when killed). A run still going after two minutes
    // is a failure: its process group is killed.
    int finish(pid_t pid)
    {
        const zevtest::ProcessResult r = zevtest::finishProcess(pid, 120000, true);
        if (r.timedOut) ADD_FAILURE() << "the run did not end";
        report = json::parse(readFile(root + "/report.json"), nullptr, false);
        EXPECT_FALSE(report.is_discarded()) << readFile(root + "/zevsim.err");
        return zevtest::shellStatus(r.status);
    }

    // (seq, controller id, BMIC command, chunk index) of every BMIC command, in the order answered.
    struct Cmd {
        std::uint64_t seq;
        std::string id;
        int op;
        std::uint32_t address;  // a chunk's: count << 8 | position
    };
    std::vector<Cmd> bmicCommands() const
    {
        std::vector<Cmd> all;
        for (const json& c : report.at("controllers"))
            for (const json& cmd : c.at("commands"))
                if (cmd.contains("bmic"))
                    all.push_back({cmd.at("seq").get<std::uint64_t>(), c.at("id").get<std::string>(),
                                   cmd.at("bmic").at("command").get<int>(),
                                   cmd.at("bmic").at("address").get<std::uint32_t>()});
        std::sort(all.begin(), all.end(), [](const Cmd& a, const Cmd& b) { return a.seq < b.seq; });
        return all;
    }
    std::vector<Cmd> flashCommands() const
    {
        std::vector<Cmd> flash;
        for (const Cmd& c : bmicCommands())
            if (c.op == 0xD2 || c.op == 0xD3 || c.op == 0xF7) flash.push_back(c);
        return flash;
    }

    // Splits the flash commands into whole sequences (free, chunks 1..N, flash, free), in order, as
    // "<controller>#<k>" per sequence; a mixed or broken sequence gives a message instead.
    ::testing::AssertionResult flashSequences(std::vector<std::string>& out) const
    {
        const std::vector<Cmd> flash = flashCommands();
        const std::size_t len = kChunks + 3;
        if (flash.size() % len != 0) return ::testing::AssertionFailure() << flash.size() << " flash commands";
        std::map<std::string, int> perController;
        for (std::size_t at = 0; at < flash.size(); at += len) {
            const std::string& id = flash[at].id;
            for (std::size_t i = 0; i < len; ++i) {
                const Cmd& c = flash[at + i];
                int want = i == 0 || i == len - 1 ? 0xD3 : i == len - 2 ? 0xF7 : 0xD2;
                if (c.id != id || c.op != want || (want == 0xD2 && c.address != (kChunks << 8 | i)))
                    return ::testing::AssertionFailure() << "sequence at seq " << flash[at].seq << " broken by seq "
                                                         << c.seq << " (" << c.id << " " << std::hex << c.op << ")";
            }
            out.push_back(id + "#" + std::to_string(++perController[id]));
        }
        return ::testing::AssertionSuccess();
    }

    // Images each controller programmed: all the payload.
    int imagesOfPayload(const std::string& id) const
    {
        int n = 0;
        for (const json& image : zevtest::controllerOf(report, id).at("images"))
            n += image.at("size").get<std::size_t>() == imageBytes().size() && image.at("chunks") == kChunks;
        return n;
    }

    // The controller ids in the order the tool flashes them (discovery order: first identify).
    std::vector<std::string> order() const
    {
        std::vector<std::string> ids;
        for (const Cmd& c : bmicCommands())
            if (c.op == 0x11 && std::find(ids.begin(), ids.end(), c.id) == ids.end()) ids.push_back(c.id);
        return ids;
    }

    std::string& root = workDir;
    json report;
};

bool isSuccessDocument(const std::string& doc)
{
    return doc.rfind(kDocumentHead, 0) == 0 && doc.size() > 15 &&
           doc.compare(doc.size() - 15, 15, "</PXRExecution>") == 0 &&
           countOf(doc, std::string(">") + kSuccess + "<") == 2 && countOf(doc, "result = \"false\"") == 0;
}

// ---- two runs at once ----

TEST_F(UpdateRuns, ConcurrentRunsTakeTurnsAndNeverMixTheirCommands)
{
    const std::string a = workspace("a"), b = workspace("b");
    const std::string scen = scenario(0xD2, 15);
    const std::string run = " && exec ./zevupdate -u -o out.xml -d run.log";
    pid_t pid = start(scen, "(cd " + shq(a) + run + ") & pa=$!; (cd " + shq(b) + run +
                                ") & pb=$!; wait $pa; ra=$?; wait $pb; rb=$?; exit $((ra | rb))");
    ASSERT_EQ(finish(pid), 0) << readFile(root + "/zevsim.err");

    const std::string docA = readFile(a + "/out.xml"), docB = readFile(b + "/out.xml");
    EXPECT_TRUE(isSuccessDocument(docA)) << docA;
    EXPECT_EQ(docA, docB);

    // Each run flashes each controller twice, whole sequences only, one run after the other:
    // c0#1 c0#2 c1#1 c1#2 (first run), then the same again (second run).
    std::vector<std::string> sequences;
    ASSERT_TRUE(flashSequences(sequences));
    std::vector<std::string> ids = order();
    ASSERT_EQ(ids.size(), 2u);
    std::vector<std::string> expected = {ids[0] + "#1", ids[0] + "#2", ids[1] + "#1", ids[1] + "#2",
                                         ids[0] + "#3", ids[0] + "#4", ids[1] + "#3", ids[1] + "#4"};
    EXPECT_EQ(sequences, expected);
    EXPECT_EQ(imagesOfPayload(ids[0]), 4);
    EXPECT_EQ(imagesOfPayload(ids[1]), 4);

    // The second run's discovery (identify) only starts once the first run has flashed everything.
    const std::vector<Cmd> flash = flashCommands();
    const std::uint64_t firstFlash = flash.front().seq, firstRunEnd = flash[4 * (kChunks + 3) - 1].seq;
    int identifyBefore = 0, identifyDuring = 0, identifyAfter = 0;
    for (const Cmd& c : bmicCommands()) {
        if (c.op != 0x11) continue;
        if (c.seq < firstFlash)
            ++identifyBefore;
        else if (c.seq < firstRunEnd)
            ++identifyDuring;
        else
            ++identifyAfter;
    }
    EXPECT_EQ(identifyBefore, 2);
    EXPECT_EQ(identifyDuring, 0) << "the second run identified controllers while the first was flashing";
    EXPECT_EQ(identifyAfter, 2);

    // They really overlapped: one of them waited for the other (both may have waited when an update
    // elsewhere on this machine held the lock first).
    EXPECT_GE(countOf(readFile(a + "/run.log") + readFile(b + "/run.log"), kWaitLine), 1);
}

// ---- termination signals ----

struct SignalCase {
    int signo;
    const char* name;
};
const SignalCase kSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

// The run in dir was started with its pid written to dir/pid; sends signo to it.
void signalRun(const std::string& dir, int signo)
{
    pid_t pid = std::atoi(readFile(dir + "/pid").c_str());
    ASSERT_GT(pid, 1);
    ASSERT_EQ(::kill(pid, signo), 0);
}

// Waits until the debug log of the run in dir holds text.
bool logged(const std::string& dir, const std::string& text)
{
    return waitFor([&] { return countOf(readFile(dir + "/run.log"), text) > 0; });
}

std::string startScript(const std::string& dir)
{
    return "cd " + shq(dir) + " && echo $$ > pid.tmp && mv pid.tmp pid && exec ./zevupdate -u -o out.xml -d run.log";
}

TEST_F(UpdateRuns, SignalDuringAFlashEndsTheRunAfterThatController)
{
    for (const SignalCase& sc : kSignals) {
        SCOPED_TRACE(sc.name);
        const std::string dir = workspace(std::string("flash-") + sc.name);
        pid_t pid = start(scenario(0xD2, 60), startScript(dir));
        ASSERT_TRUE(logged(dir, "Entering ZevoridedUtils::flashControllerFirmware()"));
        signalRun(dir, sc.signo);
        EXPECT_EQ(finish(pid), 128 + sc.signo);

        // The first controller's two passes ran to their end; the second got nothing.
        std::vector<std::string> sequences;
        ASSERT_TRUE(flashSequences(sequences));
        std::vector<std::string> ids = order();
        ASSERT_EQ(ids.size(), 2u);
        EXPECT_EQ(sequences, (std::vector<std::string>{ids[0] + "#1", ids[0] + "#2"}));
        EXPECT_EQ(imagesOfPayload(ids[0]), 2);
        EXPECT_EQ(imagesOfPayload(ids[1]), 0);

        const std::string doc = readFile(dir + "/out.xml");
        EXPECT_EQ(countOf(doc, std::string(">") + kSuccess + "<"), 1) << doc;
        EXPECT_EQ(countOf(doc, kFailedStatus), 1) << doc;
        EXPECT_NE(readFile(dir + "/run.log").find("Update: stopped by signal " + std::to_string(sc.signo)),
                  std::string::npos);
    }
}

TEST_F(UpdateRuns, SignalDuringDiscoveryStopsBeforeTheFirstFlash)
{
    const SignalCase sc = kSignals[1];
    const std::string dir = workspace("discovery");
    pid_t pid = start(scenario(0x11, 400), startScript(dir));
    ASSERT_TRUE(logged(dir, "Entering RizizavadIrerInventory::DiscoverDevices()"));
    signalRun(dir, sc.signo);
    EXPECT_EQ(finish(pid), 128 + sc.signo);

    std::vector<std::string> sequences;
    ASSERT_TRUE(flashSequences(sequences));
    EXPECT_TRUE(sequences.empty());
    // Discovery stops before the next controller: the second one is never identified (the first
    // only when the signal came after discovery had reached it).
    EXPECT_LE(order().size(), 1u) << "discovery went on after the signal";
    EXPECT_EQ(readFile(dir + "/out.xml"), kFailedDocument);
}

TEST_F(UpdateRuns, SignalWhileWaitingForTheLockTouchesNoController)
{
    const std::string dir = workspace("lockwait");
    CUpdateLock held;  // as another update run would
    ASSERT_EQ(held.acquire(updateLockCandidates(), nullptr, nullptr), UpdateLockResult::Acquired);
    pid_t pid = start(scenario(0xD2, 1), startScript(dir));
    ASSERT_TRUE(logged(dir, kWaitLine));
    signalRun(dir, SIGINT);
    EXPECT_EQ(finish(pid), 128 + SIGINT);
    for (const json& c : report.at("controllers")) {
        EXPECT_TRUE(c.at("commands").empty()) << c.at("id");
    }
    EXPECT_EQ(readFile(dir + "/out.xml"), kFailedDocument);
}

TEST_F(UpdateRuns, IgnoredHangupStaysIgnored)
{
    const std::string dir = workspace("nohup");
    pid_t pid = start(scenario(0xD2, 20), "trap '' HUP; " + startScript(dir));
    ASSERT_TRUE(logged(dir, "Entering ZevoridedUtils::flashControllerFirmware()"));
    signalRun(dir, SIGHUP);
    EXPECT_EQ(finish(pid), 0);
    EXPECT_TRUE(isSuccessDocument(readFile(dir + "/out.xml")));
}

// ---- progress ----

TEST_F(UpdateRuns, NothingOnStandardErrorWithoutATerminal)
{
    const std::string dir = workspace("quiet");
    pid_t pid = start(scenario(0xD2, 1), "cd " + shq(dir) + " && ./zevupdate -u > doc.xml 2> err.txt");
    ASSERT_EQ(finish(pid), 0);
    EXPECT_EQ(readFile(dir + "/err.txt"), "");
    EXPECT_TRUE(isSuccessDocument(readFile(dir + "/doc.xml")));
}

// The progress states "pass P of 2 NNN%" a controller's line went through, in order, from the raw
// bytes written to the terminal; outcome receives the text after the last state.
std::vector<std::string> progressStates(const std::string& raw, const std::string& name, std::string& outcome)
{
    std::vector<std::string> states;
    std::size_t at = 0;
    const std::string head = "\r" + name + ": ";
    while ((at = raw.find(head, at)) != std::string::npos) {
        at += head.size();
        std::size_t end = raw.find("\033[K", at);
        if (end == std::string::npos) break;
        std::string line = raw.substr(at, end - at);
        std::size_t bar = line.find(" [");
        states.push_back(line.substr(0, bar));
        std::size_t close = line.find("] ");
        outcome = close == std::string::npos ? "" : line.substr(close + 2);
    }
    return states;
}

TEST_F(UpdateRuns, ProgressOnAPseudoTerminalLeavesTheDocumentAlone)
{
    const std::string dir = workspace("script");
    const std::string inner = "stty cols 132 rows 40; cd " + shq(dir) + " && ./zevupdate -u > doc.xml";
    pid_t pid = start(scenario(0xD2, 1), "script -qfec " + shq(inner) + " /dev/null > " + shq(dir + "/tty.raw"));
    ASSERT_EQ(finish(pid), 0) << readFile(root + "/zevsim.err");
    EXPECT_TRUE(isSuccessDocument(readFile(dir + "/doc.xml"))) << "progress reached standard output";

    // Each controller's line: 0%, every chunk, 100% for pass 1, the same for pass 2, then the outcome.
    const std::string raw = readFile(dir + "/tty.raw");
    std::vector<std::string> want = {"pass 1 of 2   0%"};
    for (int pass = 1; pass <= 2; ++pass) {
        for (int i = 1; i <= kChunks; ++i) {
            char s[32];
            std::snprintf(s, sizeof(s), "pass %d of 2 %3d%%", pass, 100 * i / (kChunks + 1));
            want.push_back(s);
        }
        want.push_back("pass " + std::to_string(pass) + " of 2 100%");
    }
    want.push_back("pass 2 of 2 100%");  // the outcome line
    for (const std::string& name : kNames) {
        std::string outcome;
        EXPECT_EQ(progressStates(raw, name, outcome), want) << name;
        EXPECT_EQ(outcome, kSuccess) << name;
    }
    // One line per controller (and a note when an update elsewhere on this machine held the lock).
    EXPECT_EQ(countOf(raw, "\n") - countOf(raw, "Waiting for another update run to finish...\r\n"), 2) << raw;
}

// What a terminal really shows, read back from tmux.
TEST_F(UpdateRuns, TerminalShowsOneLinePerControllerUpdatedInPlace)
{
    if (std::system("command -v tmux > /dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
    const std::string dir = workspace("tmux");
    const std::string socket = "zevruns" + std::to_string(::getpid());
    writeFile(dir + "/run.sh", "cd " + shq(dir) + "\nTMPDIR=/tmp '" ZEVSIM_PATH "' run " + shq(scenario(0xD2, 40)) +
                                   " --report report.json -- ./zevupdate -u > doc.xml\necho $? > status.tmp\n"
                                   "mv status.tmp status\nsleep 60\n");
    ASSERT_EQ(std::system(
                  ("tmux -L " + socket + " -f /dev/null new-session -d -x 160 -y 20 'sh " + dir + "/run.sh'").c_str()),
              0);
    auto capture = [&] {
        std::string path = dir + "/screen.txt";
        // An empty screen when the pane cannot be read: the wait below just tries again.
        if (std::system(("tmux -L " + socket + " capture-pane -p > " + shq(path) + " 2>/dev/null").c_str()) != 0)
            return std::string();
        return readFile(path);
    };
    bool midway = false;
    std::string screen;
    waitFor(
        [&] {
            screen = capture();
            if (screen.find(" 2 of 2  ") != std::string::npos || screen.find(" 1 of 2  ") != std::string::npos)
                midway = true;
            return !readFile(dir + "/status").empty();
        },
        60000);
    screen = capture();
    if (std::system(("tmux -L " + socket + " kill-server").c_str()) != 0)
        std::fprintf(stderr, "tmux server %s was already gone\n", socket.c_str());

    EXPECT_EQ(readFile(dir + "/status"), "0\n");
    EXPECT_TRUE(midway) << "never saw a line part way through a pass";
    std::vector<std::string> lines;
    std::istringstream in(screen);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    const std::string done = ": pass 2 of 2 100% [####################] Success: The operation was successful";
    if (!lines.empty() && lines.front() == "Waiting for another update run to finish...") lines.erase(lines.begin());
    EXPECT_EQ(lines, (std::vector<std::string>{kNames[0] + done, kNames[1] + done})) << screen;
    EXPECT_TRUE(isSuccessDocument(readFile(dir + "/doc.xml")));
}

}  // namespace
