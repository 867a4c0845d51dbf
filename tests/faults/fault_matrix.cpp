// Fault-injection matrix: every command zevupdate sends during inventory and update, failed in every
// way a controller or its driver can fail it, on one controller and on either of two identical ones.
// Each case runs the real zevupdate under zevsim and checks: exit status 0 and no crash; a valid
// document whose entries are the outcome the tool's rules give for that fault; no controller reported
// updated unless the emulator saw it program exactly the payload twice; the other controller as if
// nothing had happened.
//
// The runs are started up front by a test environment, ZEV_FAULT_JOBS at a time (default 2), and each
// case's test then judges its run. The last line printed is the matrix size and the pass count.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "TestEmulated.h"
#include "TestFiles.h"
#include "TestImage.h"
#include "TestPackage.h"
#include "TestProcess.h"
#include "TestReport.h"
#include "TestSha256.h"
#include "ZevDocValidation.h"

namespace {

using nlohmann::json;

// ---------------------------------------------------------------------------------------------------
// The matrix

enum class Mode { Inventory, Update };

enum class Driver { Hpsa, Aacraid };

// ControllerStatus is the controller's own verdict in the driver's reply: the CISS command status on
// hpsa, the SRB reply status on aacraid. SrbStatus is the adapter's SRB status (aacraid only): the
// command never ran. Busy is the driver refusing the request twice (hpsa EAGAIN, aacraid EBUSY) before
// taking it.
enum class Kind { Errno, ControllerStatus, ScsiSense, Vanished, Garbage, Truncated, SrbStatus, Busy };

enum class Topology { Single, PairFaultA, PairFaultB };

// One command of the run, as the emulator recognises it.
struct Target {
    const char* name;
    json match;           // fault match
    unsigned nth;         // 0: every time the command comes, else only its nth occurrence
    unsigned kinds;       // fault kinds that apply (bits of Kind)
    unsigned drivers;     // drivers whose path sends it (bits of Driver)
    bool updateOnly;      // sent only by the update
    unsigned truncateTo;  // bytes kept by the truncated reply
};

constexpr unsigned bit(Kind k) { return 1u << static_cast<unsigned>(k); }
constexpr unsigned bit(Driver d) { return 1u << static_cast<unsigned>(d); }
constexpr unsigned kBoth = bit(Driver::Hpsa) | bit(Driver::Aacraid);
// Reads answer with data: every kind applies.
constexpr unsigned kRead = bit(Kind::Errno) | bit(Kind::ControllerStatus) | bit(Kind::ScsiSense) | bit(Kind::Vanished) |
                           bit(Kind::Garbage) | bit(Kind::Truncated) | bit(Kind::SrbStatus) | bit(Kind::Busy);
// Writes and commands without data: there is no reply data to spoil.
constexpr unsigned kNoReplyData = bit(Kind::Errno) | bit(Kind::ControllerStatus) | bit(Kind::ScsiSense) |
                                  bit(Kind::Vanished) | bit(Kind::SrbStatus) | bit(Kind::Busy);
// Requests the driver answers itself (PCI information, adapter FIBs): no controller status, and the
// drivers never answer them busy.
constexpr unsigned kDriverRequest = bit(Kind::Errno) | bit(Kind::Vanished) | bit(Kind::Garbage) | bit(Kind::Truncated);

// The payload is 3 chunks (16384 + 16384 + 7232 bytes), so the chunk position of chunk i is
// 00 00 03 i in CDB bytes 2-5 of the 0xD2 write.
const std::vector<Target>& targets()
{
    static const std::vector<Target> t = {
        {"pci_information", {{"ioctl", "pci_info"}}, 0, kDriverRequest, bit(Driver::Hpsa), false, 0},
        {"fib_adapter_information", {{"fib", 703}}, 0, kDriverRequest, bit(Driver::Aacraid), false, 16},
        {"fib_supplementary_information", {{"fib", 706}}, 0, kDriverRequest, bit(Driver::Aacraid), false, 16},
        {"identify", {{"bmic", 0x11}}, 0, kRead, kBoth, false, 300},
        {"controller_parameters", {{"bmic", 0x64}}, 0, kRead, kBoth, false, 16},
        {"cache_status", {{"bmic", 0xC1}}, 0, kRead, kBoth, false, 8},
        {"feature_pages", {{"bmic", 0x61}}, 0, kRead, kBoth, false, 16},
        {"subsystem_parameters", {{"bmic", 0x66}}, 0, kRead, kBoth, false, 50},
        {"encryption_reads", {{"bmic", 0x1E}}, 0, kRead, kBoth, true, 1},
        {"free_collect_buffer_first", {{"bmic", 0xD3}}, 1, kNoReplyData, kBoth, true, 0},
        {"chunk_first", {{"cdb", "270000000301d2"}}, 1, kNoReplyData, kBoth, true, 0},
        {"chunk_middle", {{"cdb", "270000000302d2"}}, 1, kNoReplyData, kBoth, true, 0},
        {"chunk_last", {{"cdb", "270000000303d2"}}, 1, kNoReplyData, kBoth, true, 0},
        {"flash_command", {{"bmic", 0xF7}}, 1, kNoReplyData, kBoth, true, 0},
        {"free_collect_buffer_closing", {{"bmic", 0xD3}}, 2, kNoReplyData, kBoth, true, 0},
        {"second_pass_free_collect_buffer", {{"bmic", 0xD3}}, 3, kNoReplyData, kBoth, true, 0},
        {"second_pass_chunk_first", {{"cdb", "270000000301d2"}}, 2, kNoReplyData, kBoth, true, 0},
        {"second_pass_chunk_middle", {{"cdb", "270000000302d2"}}, 2, kNoReplyData, kBoth, true, 0},
        {"second_pass_chunk_last", {{"cdb", "270000000303d2"}}, 2, kNoReplyData, kBoth, true, 0},
        {"second_pass_flash_command", {{"bmic", 0xF7}}, 2, kNoReplyData, kBoth, true, 0},
    };
    return t;
}

// Names in the order of the enumerators.
const char* kindName(Kind k)
{
    static const char* const names[] = {"errno",   "controller_status", "scsi_sense", "node_vanished",
                                        "garbage", "truncated",         "srb_status", "busy"};
    return names[static_cast<int>(k)];
}

const char* topologyName(Topology t)
{
    static const char* const names[] = {"single", "pair_fault_a", "pair_fault_b"};
    return names[static_cast<int>(t)];
}

struct Case {
    Driver driver;
    Mode mode;
    const Target* target;
    Kind kind;
    Topology topology;

    std::string name() const
    {
        return std::string(driver == Driver::Hpsa ? "hpsa_" : "aacraid_") +
               (mode == Mode::Inventory ? "inventory" : "update") + "_" + target->name + "_" + kindName(kind) + "_" +
               topologyName(topology);
    }
    std::string faulted() const { return topology == Topology::PairFaultB ? "b" : "a"; }
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name(); }

const Kind kKinds[] = {Kind::Errno,   Kind::ControllerStatus, Kind::ScsiSense, Kind::Vanished,
                       Kind::Garbage, Kind::Truncated,        Kind::SrbStatus, Kind::Busy};

constexpr unsigned kBusyAttempts = 2;
const Topology kTopologies[] = {Topology::Single, Topology::PairFaultA, Topology::PairFaultB};

struct Matrix {
    std::vector<Case> cases;
    int notApplicable = 0;  // cells whose fault the command cannot suffer
};

const Matrix& matrix()
{
    static const Matrix m = [] {
        Matrix r;
        for (Driver d : {Driver::Hpsa, Driver::Aacraid})
            for (Mode mode : {Mode::Inventory, Mode::Update})
                for (const Target& t : targets()) {
                    if ((mode == Mode::Inventory && t.updateOnly) || !(t.drivers & bit(d))) continue;
                    for (Kind k : kKinds)
                        for (Topology topo : kTopologies) {
                            if (!(t.kinds & bit(k)) || (k == Kind::SrbStatus && d != Driver::Aacraid)) {
                                ++r.notApplicable;
                                continue;
                            }
                            r.cases.push_back(Case{d, mode, &t, k, topo});
                        }
                }
        return r;
    }();
    return m;
}

json faultFor(const Case& c)
{
    const bool hpsa = c.driver == Driver::Hpsa;
    // The fault's own fields, in the order of the enumerators.
    const json byKind[] = {
        {{"errno", 5}},  // EIO
        // CISS hardware error; on aacraid the driver's SRB reply is not a success
        hpsa ? json{{"command_status", 6}} : json{{"reply_status", 1}},
        {{"scsi_status", 2}, {"sense", "700004000000000a000000004400000000000000"}},  // CHECK CONDITION, 44/00
        {{"node_vanished", true}},
        {{"data", "garbage"}},
        {{"data", "truncate"}, {"truncate_to", c.target->truncateTo}},
        {{"srb_status", 0x0A}},                                         // selection timeout, reply status 0
        {{"errno", hpsa ? 11 : 16}, {"busy_attempts", kBusyAttempts}},  // hpsa EAGAIN, aacraid EBUSY
    };
    json f = byKind[static_cast<int>(c.kind)];
    f["match"] = c.target->match;
    if (c.target->nth) f["nth"] = c.target->nth;
    return f;
}

// ---------------------------------------------------------------------------------------------------
// What each case must end in

// The text fields of a controller's document entry; nullopt = any text (a garbage reply decides).
struct Identity {
    bool any = false;  // a garbage identity: every text is whatever the bytes gave
    std::string vendor, device, subVendor, subDevice;
    std::optional<std::set<std::string>> product;
    std::string slot;
    std::optional<std::string> serial;
    std::string version;
};

enum class Fate {
    Dropped,   // not usable: left out at discovery
    Filtered,  // usable, but its PCI identity is not the package's
    Listed,    // inventory: listed with its identity
    Updated,   // update: flashed, status 0
    Failed,    // update: status 1, failure record
};

struct Outcome {
    Fate fate = Fate::Listed;
    Identity id;
    std::string message;  // Failed
    int images = -1;      // images the controller programmed; -1 when the fate does not say
};

// Outcomes any one of which is right (a garbage reply may go either way).
using Outcomes = std::vector<Outcome>;

const char* const kFlashFailed = "ERROR: Failed to update Firmware";

struct DriverTexts {
    const char *vendor, *device, *subVendor, *subDevice, *family, *product, *version, *slotA, *slotB;
};

const DriverTexts& texts(Driver d)
{
    static const DriverTexts hpsa{"1d5a", "5a3e", "1d5a", "4c21", "Zevorided RAID", "ZR-840i", "6.60", "1", "2"};
    static const DriverTexts aac{"1d5a", "5a2d", "1d5a", "4d12", "Zevorided HBA", "ZH-1200e", "7.20", "4", "5"};
    return d == Driver::Hpsa ? hpsa : aac;
}

Identity baseIdentity(Driver d, const std::string& ctrl)
{
    const DriverTexts& t = texts(d);
    const bool a = ctrl == "a";
    return {false,
            t.vendor,
            t.device,
            t.subVendor,
            t.subDevice,
            std::set<std::string>{std::string(t.family) + " " + t.product},
            a ? t.slotA : t.slotB,
            a ? "SERIAL-A" : "SERIAL-B",
            t.version};
}

// The product text of a controller whose family id cannot be read: a blank, then the product id.
std::set<std::string> withoutFamily(Driver d) { return {std::string(" ") + texts(d).product}; }

Outcome fine(Mode mode, const Identity& id)
{
    const bool inventory = mode == Mode::Inventory;
    return {inventory ? Fate::Listed : Fate::Updated, id, "", inventory ? 0 : 2};
}

Outcome failed(int images) { return {Fate::Failed, {}, kFlashFailed, images}; }

Outcome gone(Fate fate) { return {fate, {}, "", 0}; }

// The outcome for the faulted controller. Rules of the tool this rests on:
// - a command fails when the ioctl fails (errno, vanished node) or, on aacraid, when the driver's SRB
//   reply status is not 0 or the SRB status is neither success nor data overrun (a CHECK CONDITION
//   comes with an SRB status of error); on hpsa a command the controller rejects (CISS command status,
//   CHECK CONDITION) still comes back, and a rejected read has the zero-filled buffer as its reply;
// - EAGAIN and EBUSY are answered by sending the identical request again;
// - identify failing, or a fixed-structure length of 275 or less, or the controller parameters
//   failing, leave the controller out of an inventory; the cache status read is optional;
// - an update reports such a controller, when package.xml lists it (by its sysfs PCI ids), with the
//   failure record in its discovery place; the same for an identify reply whose PCI ids are not the
//   controller's own (garbage, cut short), which an inventory lists as the bytes gave;
// - without feature pages the family id is unsupported (product text: a blank and the product id),
//   software RAID and encryption are off; the serial number is the printable prefix at byte 44 of the
//   subsystem parameters;
// - encryption status replies never decide the flash check (identify byte 282 does);
// - the flash sequence's free-collect-buffer results are ignored; a chunk or the flash command that
//   does not come back accepted (ioctl ok, SCSI GOOD, CISS success or underrun) fails the pass, and
//   a failed pass fails the controller ("ERROR: Failed to update Firmware");
// - a vanished node stays gone: every later command to that controller fails;
// - the PCI-information request only gives the PCI location, which no document shows;
// - aacraid discovery needs both adapter FIBs, the first offering the supplement (bit 16 at data
//   offset 80) and the second giving the controller's own bus, target and LUN (data offsets 200-204);
//   commands sent to another address find no controller (its identify reads as zeros).
Outcomes faultedOutcomes(const Case& c)
{
    const std::string t = c.target->name;
    const Kind k = c.kind;
    const Mode mode = c.mode;
    Identity id = baseIdentity(c.driver, c.faulted());
    const bool aac = c.driver == Driver::Aacraid;
    // On aacraid a CHECK CONDITION comes with an SRB status of error: the command was not delivered.
    const bool fails = k == Kind::Errno || k == Kind::Vanished ||
                       (aac && (k == Kind::ControllerStatus || k == Kind::ScsiSense || k == Kind::SrbStatus));
    const bool rejects = !aac && (k == Kind::ScsiSense || k == Kind::ControllerStatus);

    // A driver busy for a moment is asked again: nothing changes.
    if (k == Kind::Busy) return {fine(mode, id)};

    const Outcome unreadable = mode == Mode::Update ? failed(0) : gone(Fate::Dropped);
    if (t == "pci_information") {
        // Only the PCI location depends on it; a vanished node fails identify.
        return {k == Kind::Vanished ? unreadable : fine(mode, id)};
    }
    if (t == "fib_adapter_information") {
        // Garbage may or may not offer the supplement; 16 bytes kept do not reach offset 80.
        if (k == Kind::Garbage) return {gone(Fate::Dropped), fine(mode, id)};
        return {gone(Fate::Dropped)};
    }
    if (t == "fib_supplementary_information") {
        // A spoilt reply gives the controller a wrong address: it is found, but its identify reads
        // as zeros there.
        if (k == Kind::Garbage || k == Kind::Truncated) return {unreadable};
        return {gone(Fate::Dropped)};
    }
    if (t == "identify") {
        if (fails || rejects) return {unreadable};
        if (k == Kind::Garbage) {
            if (mode == Mode::Update) return {failed(0)};
            Identity garbage;
            garbage.any = true;
            return {gone(Fate::Dropped), gone(Fate::Filtered), fine(mode, garbage)};
        }
        // First 300 bytes kept: lengths, vendor, product and the feature-page bit survive; the PCI
        // identifiers (365-371), the family id (389) and the new-layout slot (453) read as zero.
        id.vendor = id.device = id.subVendor = id.subDevice = "0";
        id.product = withoutFamily(c.driver);
        id.slot = "0";
        if (mode == Mode::Update) return {failed(0)};
        return {fine(mode, id)};
    }
    if (t == "controller_parameters") return {fails ? unreadable : fine(mode, id)};
    if (t == "cache_status") {
        if (k != Kind::Vanished) return {fine(mode, id)};
        // Optional read; but the node is gone before the feature pages and subsystem parameters.
        id.product = withoutFamily(c.driver);
        id.serial = "";
        return {mode == Mode::Inventory ? fine(mode, id) : failed(0)};
    }
    if (t == "feature_pages") {
        if (k == Kind::Garbage) {
            id.product->insert(*withoutFamily(c.driver).begin());
            return {fine(mode, id)};
        }
        // Truncated to 16 bytes: the miscellaneous page (family id support) is lost.
        id.product = withoutFamily(c.driver);
        if (k == Kind::Vanished) {
            id.serial = "";
            return {mode == Mode::Inventory ? fine(mode, id) : failed(0)};
        }
        return {fine(mode, id)};
    }
    if (t == "subsystem_parameters") {
        if (k == Kind::Garbage)
            id.serial.reset();
        else if (k == Kind::Truncated)
            id.serial = "SERIAL";  // bytes 44-49 kept
        else
            id.serial = "";
        if (k == Kind::Vanished) return {mode == Mode::Inventory ? fine(mode, id) : failed(0)};
        return {fine(mode, id)};
    }
    if (t == "encryption_reads") return {k == Kind::Vanished ? failed(0) : fine(mode, id)};
    if (t == "free_collect_buffer_first") return {k == Kind::Vanished ? failed(0) : fine(mode, id)};
    if (t == "free_collect_buffer_closing" || t == "second_pass_free_collect_buffer")
        return {k == Kind::Vanished ? failed(1) : fine(mode, id)};
    if (t == "chunk_first" || t == "chunk_middle" || t == "chunk_last" || t == "flash_command") return {failed(0)};
    if (t.rfind("second_pass_", 0) == 0) return {failed(1)};
    ADD_FAILURE() << "no outcome for " << t;
    return {};
}

// ---------------------------------------------------------------------------------------------------
// Running one case

using zevtest::readFile;
using zevtest::writeFile;

struct RunResult {
    bool started = false;
    int status = -1;  // wait status of zevsim
    bool timedOut = false;
    std::string dir;
    std::string document;  // empty when no document was written
    bool documentExists = false;
    int validateStatus = -1;
    std::string validateOutput;
    json report;
    std::string stdoutText, stderrText;
};

struct Workspace {
    std::string root;     // zevupdate and payload/ live here
    std::string payload;  // payload bytes
    std::string payloadSha;
    json scenarios[2];  // by Driver
};

Workspace& workspace()
{
    static Workspace w;
    return w;
}

json scenarioFor(const Case& c)
{
    json s = workspace().scenarios[static_cast<int>(c.driver)];
    json& ctrls = s.at("controllers");
    if (c.topology == Topology::Single) ctrls.erase(ctrls.begin() + 1);  // keep "a"
    for (json& ctrl : ctrls)
        if (ctrl.at("id") == c.faulted()) ctrl["faults"] = json::array({faultFor(c)});
    s["description"] = "fault matrix case " + c.name();
    return s;
}

// Runs zevsim with the case's scenario; never throws. Called from worker threads.
RunResult runCase(const Case& c)
{
    RunResult r;
    const Workspace& w = workspace();
    r.dir = w.root + "/" + c.name();
    if (::mkdir(r.dir.c_str(), 0755) != 0) return r;
    writeFile(r.dir + "/scenario.json", scenarioFor(c).dump(2));
    writeFile(r.dir + "/package.xml",
              zevtest::packageXml({{"5A3E", "4c21", "1D5A", "1D5A"}, {"5a2d", "4d12", "1d5a", "1d5a"}}));

    zevtest::ChildProcess launch;
    launch.argv =
        zevtest::zevsimCommand(ZEVSIM_PATH, r.dir + "/scenario.json", r.dir + "/report.json", w.root + "/zevupdate",
                               {c.mode == Mode::Inventory ? "-i" : "-u", "-o", r.dir + "/document.xml"});
    launch.cwd = r.dir;
    launch.env["TMPDIR"] = "/tmp";  // umockdev's socket path must stay short
    const std::string out = r.dir + "/stdout.txt", err = r.dir + "/stderr.txt";
    launch.stdoutPath = out;
    launch.stderrPath = err;
    launch.ownGroup = true;
    const zevtest::ProcessResult p = zevtest::runProcess(launch, zevtest::emulatedRunSeconds() * 1000);
    r.started = p.started;
    r.status = p.status;
    r.timedOut = p.timedOut;
    r.stdoutText = readFile(out);
    r.stderrText = readFile(err);
    const std::string doc = r.dir + "/document.xml";
    r.documentExists = std::filesystem::exists(doc);
    if (r.documentExists) {
        r.document = readFile(doc);
        r.validateStatus = zevdocs::RunValidate(doc, &r.validateOutput);
    }
    r.report = json::parse(readFile(r.dir + "/report.json"), nullptr, false);
    return r;
}

std::map<std::string, RunResult>& runs()
{
    static std::map<std::string, RunResult> r;
    return r;
}

std::map<std::string, Case>& casesByName()
{
    static std::map<std::string, Case> m = [] {
        std::map<std::string, Case> r;
        for (const Case& c : matrix().cases) r.emplace(c.name(), c);
        return r;
    }();
    return m;
}

const char* const kSuite = "Faults/FaultMatrix";

// Every test of the matrix's suite that the filter selected.
template <typename F>
void forEachSelected(const ::testing::UnitTest& ut, F each)
{
    for (int i = 0; i < ut.total_test_suite_count(); ++i) {
        const ::testing::TestSuite* suite = ut.GetTestSuite(i);
        if (std::string(suite->name()) != kSuite) continue;
        for (int j = 0; j < suite->total_test_count(); ++j)
            if (suite->GetTestInfo(j)->should_run()) each(*suite->GetTestInfo(j));
    }
}

// Runs every selected case before the tests judge them.
class MatrixRuns : public ::testing::Environment {
public:
    void SetUp() override
    {
        Workspace& w = workspace();
        char tmpl[] = "/tmp/zevfaultsXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        w.root = tmpl;
        ASSERT_EQ(std::system(("cp '" ZEVUPDATE_PATH "' '" + w.root + "/zevupdate'").c_str()), 0);
        ASSERT_EQ(::mkdir((w.root + "/payload").c_str(), 0755), 0);
        w.payload = zevtest::imageBytes(40000, 0x2545F491u);  // 3 chunks, the last one short
        writeFile(w.root + "/payload/firmware.bin", w.payload);
        w.payloadSha = zevtest::sha256OfFile(w.root + "/payload/firmware.bin");
        w.scenarios[static_cast<int>(Driver::Hpsa)] = json::parse(readFile(FAULT_SCENARIO_HPSA));
        w.scenarios[static_cast<int>(Driver::Aacraid)] = json::parse(readFile(FAULT_SCENARIO_AACRAID));
        for (const json& s : w.scenarios) ASSERT_EQ(s.at("controllers").size(), 2u);

        std::vector<const Case*> selected;
        forEachSelected(*::testing::UnitTest::GetInstance(), [&](const ::testing::TestInfo& info) {
            const std::string name = info.name();
            auto it = casesByName().find(name.substr(name.find('/') + 1));
            if (it != casesByName().end()) selected.push_back(&it->second);
        });
        const char* jobsText = std::getenv("ZEV_FAULT_JOBS");
        const unsigned jobs = std::max(1, jobsText ? std::atoi(jobsText) : 2);
        std::printf("[ fault matrix ] running %zu of %zu cases, %u at a time, in %s\n", selected.size(),
                    matrix().cases.size(), jobs, w.root.c_str());
        std::fflush(stdout);
        std::atomic<std::size_t> next{0};
        std::mutex mu;
        std::vector<std::thread> workers;
        for (unsigned j = 0; j < jobs; ++j)
            workers.emplace_back([&] {
                for (std::size_t i = next++; i < selected.size(); i = next++) {
                    RunResult r = runCase(*selected[i]);
                    std::lock_guard<std::mutex> lock(mu);
                    runs()[selected[i]->name()] = std::move(r);
                }
            });
        for (std::thread& t : workers) t.join();
    }
    void TearDown() override
    {
        const Workspace& w = workspace();
        if (w.root.empty()) return;
        std::error_code ignored;
        if (::testing::UnitTest::GetInstance()->Passed() && !std::getenv("ZEV_FAULT_KEEP"))
            std::filesystem::remove_all(w.root, ignored);
        else
            std::printf("[ fault matrix ] runs kept in %s\n", w.root.c_str());
    }
};

// Prints the matrix size and the pass count at the end of the program.
class MatrixSummary : public ::testing::EmptyTestEventListener {
    void OnTestProgramEnd(const ::testing::UnitTest& ut) override
    {
        int run = 0, passed = 0;
        forEachSelected(ut, [&](const ::testing::TestInfo& info) {
            ++run;
            if (info.result()->Passed()) ++passed;
        });
        std::printf(
            "[ fault matrix ] matrix size %zu cases (%d more cells not applicable: garbage or truncated "
            "replies to commands without reply data, controller statuses and busy answers on requests the driver "
            "answers itself, SRB statuses on hpsa); "
            "%d run, %d passed, %d failed\n",
            matrix().cases.size(), matrix().notApplicable, run, passed, run - passed);
        std::fflush(stdout);
    }
};

// ---------------------------------------------------------------------------------------------------
// Reading a document

struct Entry {
    bool device = false;                          // Device element, else a failure record at the root
    std::map<std::string, std::string> attrs;     // Device attributes
    std::map<std::string, std::string> appAttrs;  // Application attributes
    bool success = false;                         // update: SPStatus result="true" inside Application
    std::string message;
};

// Takes the library's string and frees it.
std::string taken(xmlChar* v)
{
    std::string s = v ? reinterpret_cast<const char*>(v) : "";
    xmlFree(v);
    return s;
}

std::string attr(xmlNodePtr n, const char* name)
{
    return taken(xmlGetProp(n, reinterpret_cast<const xmlChar*>(name)));
}

bool named(xmlNodePtr n, const char* name)
{
    return n->type == XML_ELEMENT_NODE && std::string(reinterpret_cast<const char*>(n->name)) == name;
}

// The text of a status element's Message child.
std::string messageOf(xmlNodePtr status)
{
    std::string message;
    for (xmlNodePtr m = status->children; m; m = m->next)
        if (named(m, "Message")) message = taken(xmlNodeGetContent(m));
    return message;
}

// Entries of a document that validated; nullopt when it cannot be read.
std::optional<std::vector<Entry>> entriesOf(const std::string& document)
{
    xmlDocPtr doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), "document.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) return std::nullopt;
    std::vector<Entry> out;
    for (xmlNodePtr n = xmlDocGetRootElement(doc)->children; n; n = n->next) {
        Entry e;
        if (named(n, "Device")) {
            e.device = true;
            for (const char* a : {"vendorID", "deviceID", "subVendorID", "subDeviceID", "display", "enum"})
                e.attrs[a] = attr(n, a);
            for (xmlNodePtr app = n->children; app; app = app->next) {
                if (!named(app, "Application")) continue;
                for (const char* a : {"componentType", "version", "display"}) e.appAttrs[a] = attr(app, a);
                for (xmlNodePtr st = app->children; st; st = st->next) {
                    if (!named(st, "SPStatus")) continue;
                    e.success = attr(st, "result") == "true";
                    e.message = messageOf(st);
                }
            }
        } else if (named(n, "SPStatus")) {
            e.message = messageOf(n);
        } else {
            continue;
        }
        out.push_back(e);
    }
    xmlFreeDoc(doc);
    return out;
}

// ---------------------------------------------------------------------------------------------------
// Judging one case

// Controllers in the order the tool found them: by the first command each one received (host
// discovery asks them in that order, before any identify), so that one whose node was gone before
// its identify keeps its place (an update reports it there).
std::vector<std::string> discoveryOrder(const json& report)
{
    std::vector<std::pair<std::uint64_t, std::string>> firsts;
    for (const json& c : report.at("controllers"))
        for (const json& cmd : c.at("commands")) {
            firsts.emplace_back(cmd.at("seq").get<std::uint64_t>(), c.at("id").get<std::string>());
            break;
        }
    std::sort(firsts.begin(), firsts.end());
    std::vector<std::string> ids;
    for (const auto& f : firsts) ids.push_back(f.second);
    // A controller that received nothing comes last (it has no entry anyway).
    for (const json& c : report.at("controllers"))
        if (std::find(ids.begin(), ids.end(), c.at("id").get<std::string>()) == ids.end())
            ids.push_back(c.at("id").get<std::string>());
    return ids;
}

// The flash-sequence commands the controller received, in order: D3 (free collect buffer), C<i>
// (chunk i), F7 (flash collected image), separated by blanks.
std::string flashSequence(const json& ctrl)
{
    std::string seq;
    for (const json& cmd : ctrl.at("commands")) {
        const int op = zevtest::bmicOf(cmd);
        if (op < 0) continue;
        std::string token;
        const int err = cmd.at("result").at("errno").get<int>();
        if (err == 11 || err == 16) continue;  // refused busy, and sent again
        if (op == 0xD3)
            token = "D3";
        else if (op == 0xF7)
            token = "F7";
        else if (op == 0xD2)
            token = "C" + std::to_string(cmd.at("bmic").at("address").get<std::uint32_t>() & 0xFF);
        else
            continue;
        seq += (seq.empty() ? "" : " ") + token;
    }
    return seq;
}

const std::vector<std::string> kTwoPasses = {"D3", "C1", "C2", "C3", "F7", "D3", "D3", "C1", "C2", "C3", "F7", "D3"};

std::string joined(const std::vector<std::string>& tokens, std::size_t count)
{
    std::string s;
    for (std::size_t i = 0; i < count && i < tokens.size(); ++i) s += (i ? " " : "") + tokens[i];
    return s;
}

// The flash-sequence commands a controller with this outcome receives. A pass whose chunk or flash
// command fails ends with its closing D3 and no second pass follows; after a vanished node nothing
// more reaches the controller; a failed read before the flash sends none.
std::string expectedFlashSequence(const Case& c, const Outcome& o, bool faulted)
{
    if (c.mode == Mode::Inventory || o.fate == Fate::Dropped || o.fate == Fate::Filtered) return "";
    if (o.fate == Fate::Updated) return joined(kTwoPasses, kTwoPasses.size());
    const std::string t = c.target->name;
    const json& m = c.target->match;
    if (!faulted || !c.target->nth) return "";  // the failure came before the flash sequence
    std::string token;
    if (m.contains("cdb"))
        token = "C" + std::string(1, m.at("cdb").get<std::string>()[11]);
    else
        token = m.at("bmic").get<int>() == 0xD3 ? "D3" : "F7";
    unsigned seen = 0;
    std::size_t at = 0;
    for (; at < kTwoPasses.size(); ++at)
        if (kTwoPasses[at] == token && ++seen == c.target->nth) break;
    if (c.kind == Kind::Vanished) return joined(kTwoPasses, at + 1);
    return joined(kTwoPasses, at + 1) + " D3";
}

// Images the controller programmed, and how many of them are exactly the payload.
std::pair<int, int> images(const json& ctrl)
{
    int all = 0, exact = 0;
    for (const json& image : ctrl.at("images")) {
        ++all;
        if (image.at("sha256") == workspace().payloadSha &&
            image.at("size").get<std::size_t>() == workspace().payload.size())
            ++exact;
    }
    return {all, exact};
}

// "" when the entry shows the identity, else what differs.
std::string identityMismatch(const Entry& e, const Identity& id, Mode mode)
{
    std::ostringstream why;
    auto differs = [&](const char* what, const std::string& got, const std::string& want) {
        why << what << " is \"" << got << "\", expected \"" << want << "\"";
        return why.str();
    };
    if (!e.device) return "a failure record (" + e.message + ") where the Device belongs";
    if (e.appAttrs.at("componentType") != "FRMW")
        return differs("componentType", e.appAttrs.at("componentType"), "FRMW");
    if (mode == Mode::Update) {
        if (!e.success) return "no success status in the Device";
        if (e.message != "Success: The operation was successful")
            return differs("message", e.message, "Success: The operation was successful");
    }
    if (id.any) return "";
    const std::pair<const char*, const std::string*> ids[] = {{"vendorID", &id.vendor},
                                                              {"deviceID", &id.device},
                                                              {"subVendorID", &id.subVendor},
                                                              {"subDeviceID", &id.subDevice}};
    for (const auto& [name, want] : ids)
        if (e.attrs.at(name) != *want) return differs(name, e.attrs.at(name), *want);
    if (e.appAttrs.at("version") != id.version) return differs("version", e.appAttrs.at("version"), id.version);
    if (id.product) {
        bool ok = false;
        for (const std::string& p : *id.product)
            ok = ok || (e.attrs.at("display") == p + " Controller Slot Number " + id.slot &&
                        e.appAttrs.at("display") == p + " Controller Firmware");
        if (!ok) {
            why << "display \"" << e.attrs.at("display") << "\" / \"" << e.appAttrs.at("display")
                << "\" is not the product text " << ::testing::PrintToString(*id.product) << " with slot " << id.slot;
            return why.str();
        }
    }
    const std::string enumPrefix = "Serial Number: ";
    if (e.attrs.at("enum").compare(0, enumPrefix.size(), enumPrefix) != 0)
        return differs("enum", e.attrs.at("enum"), enumPrefix + "...");
    if (id.serial && e.attrs.at("enum") != enumPrefix + *id.serial)
        return differs("enum", e.attrs.at("enum"), enumPrefix + *id.serial);
    return "";
}

// "" when the document entries and the controllers' images are what the outcomes say, else the
// first difference. Controllers are taken in discovery order; failure records stand at the failed
// controller's place; an update that keeps no controller ends with the one early-end record.
std::string outcomeMismatch(const Case& c, const json& report, const std::vector<Entry>& entries,
                            const std::vector<std::string>& order, const std::map<std::string, Outcome>& expected)
{
    std::ostringstream why;
    std::size_t at = 0;
    bool anyKept = false, anyFiltered = false;
    for (const std::string& id : order) {
        const Outcome& o = expected.at(id);
        const std::string who = "controller " + id + (id == c.faulted() ? " (faulted)" : " (not faulted)") + ": ";
        switch (o.fate) {
        case Fate::Dropped:
            break;
        case Fate::Filtered:
            anyFiltered = true;
            break;
        case Fate::Listed:
        case Fate::Updated: {
            anyKept = true;
            if (at >= entries.size()) return who + "no entry";
            const std::string m = identityMismatch(entries[at++], o.id, c.mode);
            if (!m.empty()) return who + m;
            break;
        }
        case Fate::Failed:
            anyKept = true;
            if (at >= entries.size()) return who + "no entry";
            if (entries[at].device) return who + "a Device where the failure record belongs";
            if (entries[at].message != o.message)
                return who + "failure record \"" + entries[at].message + "\", expected \"" + o.message + "\"";
            ++at;
            break;
        }
        const json& ctrl = zevtest::controllerOf(report, id);
        const int all = images(ctrl).first;
        const std::string sequence = flashSequence(ctrl),
                          expectedSequence = expectedFlashSequence(c, o, id == c.faulted());
        if (sequence != expectedSequence)
            return who + "flash commands \"" + sequence + "\", expected \"" + expectedSequence + "\"";
        if (c.mode == Mode::Update && o.images >= 0 && all != o.images) {
            why << who << "programmed " << all << " images, expected " << o.images;
            return why.str();
        }
    }
    if (c.mode == Mode::Update && !anyKept) {
        const std::string text = anyFiltered ? "No matching device found (PCI mismatch)."
                                             : "Device is not present in the system for update or has been removed";
        if (entries.size() != 1 || entries[0].device || entries[0].message != text)
            return "the run should end early with the one record \"" + text + "\"";
        return "";
    }
    if (at != entries.size()) {
        why << entries.size() << " entries, expected " << at;
        return why.str();
    }
    return "";
}

class FaultMatrix : public ::testing::TestWithParam<Case> {};

TEST_P(FaultMatrix, Judge)
{
    const Case& c = GetParam();
    auto it = runs().find(c.name());
    ASSERT_NE(it, runs().end()) << "the case was not run";
    const RunResult& r = it->second;
    SCOPED_TRACE("run directory " + r.dir);
    ASSERT_TRUE(r.started) << "zevsim could not be started";
    ASSERT_FALSE(r.timedOut) << "no end within " << zevtest::emulatedRunSeconds() << " s";
    ASSERT_TRUE(WIFEXITED(r.status)) << "ended by signal " << WTERMSIG(r.status) << "\n" << r.stderrText;
    ASSERT_EQ(WEXITSTATUS(r.status), 0) << "exit status (zevsim passes zevupdate's; 128+n = signal n)\n"
                                        << r.stderrText;
    ASSERT_FALSE(r.report.is_discarded()) << "no emulator report";
    ASSERT_TRUE(r.documentExists) << "no document written";
    EXPECT_EQ(r.stdoutText, "") << "the document goes to the -o file, nothing to standard output";
    ASSERT_EQ(r.validateStatus, 0) << "document is not valid:\n" << r.validateOutput << "\n" << r.document;
    const std::optional<std::vector<Entry>> entries = entriesOf(r.document);
    ASSERT_TRUE(entries.has_value());
    const std::vector<std::string> order = discoveryOrder(r.report);
    ASSERT_EQ(order.size(), c.topology == Topology::Single ? 1u : 2u);

    // The fault was really applied (a wrong match would make many cases pass untested).
    int faultedCommands = 0;
    for (const json& cmd : zevtest::controllerOf(r.report, c.faulted()).at("commands"))
        if (cmd.value("fault", false)) ++faultedCommands;
    const int perOccurrence = c.kind == Kind::Busy ? static_cast<int>(kBusyAttempts) : 1;
    if (c.target->nth)
        EXPECT_EQ(faultedCommands, perOccurrence) << "the fault hit " << faultedCommands << " commands";
    else
        EXPECT_GE(faultedCommands, 1) << "the fault hit no command";

    // Every request the tool sends is one the driver accepts; discovery's CISS PCI information request
    // is the one aacraid does not know.
    for (const json& refusal : r.report.at("refusals")) {
        const bool discoveryPciInfo = refusal.at("rule") == "aac_do_ioctl: unknown request" &&
                                      refusal.at("request").get<unsigned long>() == 0x80084201ul;
        EXPECT_TRUE(discoveryPciInfo) << "the driver would refuse this request: " << refusal.dump();
    }

    // Whatever else happens: nothing claims success unless that controller programmed exactly the
    // payload twice, and no controller programmed anything but the payload.
    for (const Entry& e : *entries) {
        if (!e.success) continue;
        std::string owner = c.faulted();  // a serial number the fault changed
        for (const std::string& id : order)
            if (e.attrs.at("enum") == "Serial Number: " + *baseIdentity(c.driver, id).serial) owner = id;
        const auto [all, exact] = images(zevtest::controllerOf(r.report, owner));
        EXPECT_TRUE(all == 2 && exact == 2) << "controller " << owner << " is reported updated but programmed " << all
                                            << " images, " << exact << " of them the payload\n"
                                            << r.document;
    }
    for (const std::string& id : order) {
        const auto [all, exact] = images(zevtest::controllerOf(r.report, id));
        EXPECT_EQ(all, exact) << "controller " << id << " programmed an image that is not the payload";
    }

    // The faulted controller's outcome (one of its alternatives); the other one's as without a fault.
    std::vector<std::string> mismatches;
    for (const Outcome& faulted : faultedOutcomes(c)) {
        std::map<std::string, Outcome> expected;
        for (const std::string& id : order)
            expected[id] = id == c.faulted() ? faulted : fine(c.mode, baseIdentity(c.driver, id));
        const std::string m = outcomeMismatch(c, r.report, *entries, order, expected);
        if (m.empty()) return;
        mismatches.push_back(m);
    }
    ADD_FAILURE() << "discovery order " << ::testing::PrintToString(order) << "; the outcome is none of the "
                  << mismatches.size() << " expected:\n  " << ::testing::PrintToString(mismatches) << "\n"
                  << r.document;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(matrix().cases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name(); });

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new MatrixRuns);
    ::testing::UnitTest::GetInstance()->listeners().Append(new MatrixSummary);
    return RUN_ALL_TESTS();
}
