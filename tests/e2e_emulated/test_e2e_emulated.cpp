// The real zevupdate, run by zevsim inside an emulated host: inventory and update documents compared
// byte for byte, and the emulator's report read to see what each controller really received.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "TestDocuments.h"
#include "TestEmulated.h"
#include "TestFiles.h"
#include "TestImage.h"
#include "TestPackage.h"
#include "TestProcess.h"
#include "TestReport.h"
#include "TestSha256.h"
#include "TestAssertions.h"
#include "TestWorkDir.h"
#include "emu_recording.hpp"
#include "emu_requests.hpp"

namespace {

using nlohmann::json;

using zevtest::failureRecord;
using zevtest::PciId;
using zevtest::readFile;
using zevtest::updateDocument;
using zevtest::writeFile;

// ---- expected documents ----

struct Ctrl {
    std::string vendor, device, subVendor, subDevice;
    std::string product;  // family id, blank, product id
    std::string slot, serial, version;
};

std::string inventoryDevice(const Ctrl& c)
{
    return "<Device  vendorID=\"" + c.vendor + "\" deviceID=\"" + c.device + "\" subVendorID=\"" + c.subVendor +
           "\" subDeviceID=\"" + c.subDevice + "\"  display=\"" + c.product + " Controller Slot Number " + c.slot +
           "\" enum = \"Serial Number: " + c.serial + "\" ><Application componentType=\"FRMW\"  version=\"" +
           c.version + "\"  display=\"" + c.product + " Controller Firmware\"/></Device>";
}

std::string inventoryDocument(const std::vector<Ctrl>& ctrls)
{
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><PXRInventory lang=\"en\">";
    for (const Ctrl& c : ctrls) doc += inventoryDevice(c);
    return doc + "</PXRInventory>";
}

std::string updatedDevice(const Ctrl& c)
{
    return "<Device  vendorID=\"" + c.vendor + "\" deviceID=\"" + c.device + "\" subVendorID=\"" + c.subVendor +
           "\" subDeviceID=\"" + c.subDevice + "\" display=\"" + c.product + " Controller Slot Number " + c.slot +
           "\" enum = \"Serial Number: " + c.serial + "\" ><Application componentType=\"FRMW\" version=\"" + c.version +
           "\" display=\"" + c.product +
           " Controller Firmware\" ><SPStatus result = \"true\" ><Message id=\"0\" >Success: The operation was "
           "successful</Message></SPStatus></Application></Device>";
}

const Ctrl kHpsa{"1d5a", "5a3e", "1d5a", "4c21", "Zevorided RAID ZR-840i", "0", "ZR0A1B2C3D4E5F", "6.60"};
const Ctrl kPqi{"9005", "28f", "9005", "800", "Zevorided HBA ZH-1208i", "3", "7A4263EAB3C", "4.11"};
// No family id: the product text starts with a blank; no slot anywhere: "UNKNOWN".
const Ctrl kAac{"9005", "2ad", "9005", "a54", " ZS-800 RAID", "UNKNOWN", "AAC0SER01", "7.20"};

Ctrl hpsaAt(const std::string& slot, const std::string& serial)
{
    return Ctrl{"1d5a", "5a3e", "1d5a", "4c21", "Zevorided RAID ZR-840i", slot, serial, "6.60"};
}
Ctrl aacAt(const std::string& slot, const std::string& serial)
{
    return Ctrl{"9005", "2ad", "9005", "a54", "Zevorided SAS ZS-800 RAID", slot, serial, "7.20"};
}

const PciId kHpsaId{"5A3E", "4c21", "1D5A", "1D5A"};  // upper case: compared as numbers
const PciId kAacId{"02ad", "0a54", "9005", "9005"};
const PciId kPqiId{"028f", "0800", "9005", "9005"};
const PciId kPqiOpenId{"028f", "0801", "9005", "9005"};

std::string imageBytes(std::size_t size) { return zevtest::imageBytes(size, 0x12345678u); }

// ---- one run ----

class EmulatedRun : public zevtest::WorkDirTest {
protected:
    EmulatedRun() : zevtest::WorkDirTest("zeve2e") {}
    void SetUp() override
    {
        zevtest::WorkDirTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(std::system(("cp '" ZEVUPDATE_PATH "' '" + work + "/zevupdate'").c_str()), 0);
        ASSERT_EQ(::mkdir((work + "/payload").c_str(), 0755), 0);
    }

    std::string payloadPath() const { return work + "/payload/firmware.bin"; }
    void setPayload(const std::string& bytes) { writeFile(payloadPath(), bytes); }
    void setPackage(const std::vector<PciId>& ids) { writeFile(work + "/package.xml", zevtest::packageXml(ids)); }

    // A name in the scenario folder, or an absolute path.
    static std::string scenarioFile(const std::string& scenario)
    {
        return scenario[0] == '/' ? scenario : std::string(SCENARIO_DIR) + "/" + scenario;
    }

    // A scenario of the scenario folder with faults added to one controller, written to the work folder.
    std::string scenarioWithFaults(const std::string& scenario, const std::string& id, const json& faults)
    {
        json s = json::parse(readFile(scenarioFile(scenario)));
        for (json& c : s.at("controllers"))
            if (c.at("id") == id) c["faults"] = faults;
        const std::string path = work + "/scenario.json";
        writeFile(path, s.dump(2));
        return path;
    }

    // Runs argv in the work folder (timeoutMs 0: unbounded); its wait status. Fills stdoutText,
    // stderrText and report.
    int launch(const std::vector<std::string>& argv, int timeoutMs = 0)
    {
        zevtest::ChildProcess launch;
        launch.argv = argv;
        launch.cwd = work;
        launch.stdoutPath = work + "/stdout.txt";
        launch.stderrPath = work + "/stderr.txt";
        launch.env["TMPDIR"] = "/tmp";
        const int status = zevtest::runProcess(launch, timeoutMs).status;
        stdoutText = readFile(work + "/stdout.txt");
        stderrText = readFile(work + "/stderr.txt");
        report = json::parse(readFile(reportPath()), nullptr, false);
        return status;
    }
    std::string reportPath() const { return work + "/report.json"; }

    // Runs zevupdate with args under zevsim; true when both exited with status 0. Fills report.
    // Every request a driver's own checks refused must be one the test expects (expectedRefusals), or
    // the run fails.
    bool run(const std::string& scenario, const std::vector<std::string>& args)
    {
        const int status = launch(
            zevtest::zevsimCommand(ZEVSIM_PATH, scenarioFile(scenario), reportPath(), work + "/zevupdate", args));
        if (!report.is_discarded()) {
            for (const json& r : report.at("refusals")) {
                const std::string rule = r.at("rule").get<std::string>();
                // Discovery asks every node for CISS PCI information; aacraid does not know it.
                const bool discoveryPciInfo =
                    rule == "aac_do_ioctl: unknown request" && r.at("request").get<unsigned long>() == 0x80084201ul;
                if (!discoveryPciInfo && expectedRefusals.count(rule) == 0)
                    ADD_FAILURE() << "the driver would refuse this request: " << r.dump();
            }
        }
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            std::fprintf(stderr, "zevsim status %d, stderr:\n%s\n", status, stderrText.c_str());
            return false;
        }
        return !report.is_discarded();
    }

    const json& controller(const std::string& id) const { return zevtest::controllerOf(report, id); }

    // Count of flash-sequence commands (free/write collect buffer, flash collected image).
    static int flashCommands(const json& c) { return zevtest::bmicCount(c, {0xD2, 0xD3, 0xF7}); }

    // The controller programmed exactly the payload, exactly twice.
    ::testing::AssertionResult programmedPayloadTwice(const std::string& id) const
    {
        return zevtest::programmedTimes(controller(id), zevtest::sha256OfFile(payloadPath()),
                                        readFile(payloadPath()).size());
    }

    ::testing::AssertionResult untouched(const std::string& id) const
    {
        const json& c = controller(id);
        if (!c.at("images").empty() || flashCommands(c) != 0)
            return ::testing::AssertionFailure() << id << " received " << flashCommands(c) << " flash commands";
        return ::testing::AssertionSuccess();
    }

    // Controllers in the order the tool found them: by the first identify command each one received.
    // (Controllers of one driver are found in the driver directory's order, which the file system picks.)
    std::vector<std::string> discoveryOrder() const
    {
        std::map<std::uint64_t, std::string> firsts;  // by the seq of each one's first identify
        for (const json& c : report.at("controllers")) {
            for (const json& cmd : c.at("commands")) {
                if (zevtest::bmicOf(cmd) == 0x11) {
                    firsts[cmd.at("seq").get<std::uint64_t>()] = c.at("id").get<std::string>();
                    break;
                }
            }
        }
        std::vector<std::string> ids;
        for (const auto& f : firsts) ids.push_back(f.second);
        return ids;
    }

    // The records (or controllers) of each controller, in discovery order.
    template <class T>
    std::vector<T> inOrder(const std::map<std::string, T>& byId) const
    {
        std::vector<T> out;
        for (const std::string& id : discoveryOrder()) out.push_back(byId.at(id));
        EXPECT_EQ(out.size(), byId.size());
        return out;
    }

    std::string document(const std::string& name) const { return readFile(work + "/" + name); }

    // Commands of a controller that carried data to it.
    static int writeCommands(const json& c)
    {
        return std::count_if(c.at("commands").begin(), c.at("commands").end(), [](const json& cmd) {
            return cmd.at("direction") == "write" || cmd.at("direction") == "both";
        });
    }

    // Chunk commands (BMIC 0xD2) of a controller with this position byte, refused ones included.
    static int chunkCommands(const json& c, unsigned chunk)
    {
        return std::count_if(c.at("commands").begin(), c.at("commands").end(), [&](const json& cmd) {
            return zevtest::bmicOf(cmd) == 0xD2 && (cmd.at("bmic").at("address").get<std::uint32_t>() & 0xFF) == chunk;
        });
    }

    std::string& work = workDir;
    std::string stdoutText, stderrText;
    json report;
    std::set<std::string> expectedRefusals;
};

// ---- inventory ----

TEST_F(EmulatedRun, InventoryOfAllThreeDriverKinds)
{
    ASSERT_TRUE(run("e2e_three_drivers.json", {"-i", "-o", "inventory.xml"}));
    // Discovery order: the hpsa row, then aacraid, then smartpqi.
    EXPECT_EQ(document("inventory.xml"), inventoryDocument({kHpsa, kAac, kPqi}));
    EXPECT_EQ(stdoutText, "");
    for (const char* id : {"hpsa0", "pqi0", "aac0"}) EXPECT_TRUE(untouched(id));
}

TEST_F(EmulatedRun, InventoryToStandardOutput)
{
    ASSERT_TRUE(run("e2e_hpsa_identical.json", {"-i"}));
    const std::map<std::string, Ctrl> ctrls{{"first", hpsaAt("1", "SERIAL-FIRST")},
                                            {"second", hpsaAt("2", "SERIAL-SECOND")}};
    EXPECT_EQ(stdoutText, inventoryDocument(inOrder(ctrls)));
}

// One update run per row: a payload and a package.xml, the document compared whole, and what each
// controller received.
using Ids = std::vector<PciId>;
using ById = std::map<std::string, std::string>;

struct UpdateCase {
    const char* name;
    const char* scenario;
    std::size_t payloadBytes;
    Ids package;  // none: no package.xml
    const char* args;
    const char* output;               // "" = standard output
    std::string document;             // the whole document, or ""...
    ById byId;                        // ...its records by controller, in the order the tool found them
    const char* programmed;           // the payload exactly twice
    const char* untouched;            // no image, no flash command
    const char* refused;              // asked to flash, programmed nothing
    const char* silent;               // sent nothing at all
    bool secondPayloadEntry = false;  // payload/readme.txt beside the image
};

void PrintTo(const UpdateCase& c, std::ostream* os) { *os << c.name; }

const std::string kMismatch = updateDocument({failureRecord("No matching device found (PCI mismatch).")});
const std::string kFailed = failureRecord("ERROR: Failed to update Firmware");

const UpdateCase kUpdateCases[] = {
    // 40,000 bytes: three chunks, the last one short.
    {"UpdateFlashesListedControllersOfEveryKindAndLeavesTheOtherAlone", "e2e_three_drivers.json", 40000,
     Ids{kHpsaId, kAacId}, "-u -o result.xml", "result.xml",
     updateDocument({updatedDevice(kHpsa), updatedDevice(kAac)}), ById(), "hpsa0 aac0", "pqi0", "", ""},
    {"UpdateOfSmartpqi", "e2e_three_drivers.json", 16384, Ids{kPqiId}, "-u -o result.xml", "result.xml",
     updateDocument({updatedDevice(kPqi)}), ById(), "pqi0", "hpsa0 aac0", "", ""},
    {"IdenticalHpsaControllersEachGetTheImageTwice", "e2e_hpsa_identical.json", 50000, Ids{kHpsaId}, "-u -o result.xml",
     "result.xml", "",
     ById{{"first", updatedDevice(hpsaAt("1", "SERIAL-FIRST"))},
          {"second", updatedDevice(hpsaAt("2", "SERIAL-SECOND"))}},
     "first second", "", "", ""},
    {"IdenticalAacraidControllersWithoutPciLocationEachGetTheImageTwice", "e2e_aacraid_identical.json", 20000,
     Ids{kAacId}, "-u -o result.xml", "result.xml", "",
     ById{{"first", updatedDevice(aacAt("4", "AAC-FIRST"))}, {"second", updatedDevice(aacAt("5", "AAC-SECOND"))}},
     "first second", "", "", ""},
    {"FaultOnTheSecondIdenticalControllerFailsOnlyTheSecond", "e2e_hpsa_identical_second_refuses.json", 30000,
     Ids{kHpsaId}, "-u -o result.xml", "result.xml", "",
     ById{{"first", updatedDevice(hpsaAt("1", "SERIAL-FIRST"))}, {"second", kFailed}}, "first", "", "second", ""},
    {"LockedFirmwareIsRefusedAndTheNextControllerStillFlashes", "e2e_locked_then_open.json", 16385,
     Ids{kPqiId, kPqiOpenId}, "-u -o result.xml", "result.xml",
     updateDocument({failureRecord("ERROR: Failed to update firmware. The target controller's firmware is locked."),
                     updatedDevice({"9005", "28f", "9005", "801", "Zevorided HBA ZH-1216i", "4", "OPEN01", "4.11"})}),
     ById(), "open", "locked", "", ""},
    // Early ends and refused payloads: nothing reaches a controller, nothing claims success.
    {"MissingPackageDescriptorEndsWithTheFailureRecordAlone", "e2e_hpsa_single.json", 1000, Ids(), "-u -o result.xml",
     "result.xml", kMismatch, ById(), "", "only", "", ""},
    {"PackageListingOtherControllersEndsWithTheFailureRecordAlone", "e2e_hpsa_single.json", 1000, Ids{kPqiId}, "-u", "",
     kMismatch, ById(), "", "only", "", ""},
    {"PayloadFolderWithTwoEntriesTouchesNoController", "e2e_hpsa_single.json", 1000, Ids{kHpsaId}, "-u -o result.xml",
     "result.xml", updateDocument({failureRecord("Payload directory is not proper.")}), ById(), "", "", "", "only",
     true},
    {"EmptyPayloadIsRefusedBeforeAnythingIsSent", "e2e_hpsa_single.json", 0, Ids{kHpsaId}, "-u -o result.xml",
     "result.xml", updateDocument({kFailed}), ById(), "", "only", "", ""},
};

class UpdateRun : public EmulatedRun, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(UpdateRun, DocumentAndWhatEachControllerReceived)
{
    const UpdateCase& c = GetParam();
    setPayload(imageBytes(c.payloadBytes));
    if (c.secondPayloadEntry) writeFile(work + "/payload/readme.txt", "second entry");
    if (!c.package.empty()) setPackage(c.package);
    ASSERT_TRUE(run(c.scenario, zevtest::words(c.args)));
    const std::string got = c.output[0] == '\0' ? stdoutText : document(c.output);
    EXPECT_EQ(got, c.byId.empty() ? c.document : updateDocument(inOrder(c.byId)));
    for (const std::string& id : zevtest::words(c.programmed)) EXPECT_TRUE(programmedPayloadTwice(id));
    for (const std::string& id : zevtest::words(c.untouched)) EXPECT_TRUE(untouched(id));
    for (const std::string& id : zevtest::words(c.refused)) {
        EXPECT_TRUE(controller(id).at("images").empty()) << id;
        EXPECT_GT(flashCommands(controller(id)), 0) << id << " was never asked";
    }
    for (const std::string& id : zevtest::words(c.silent)) EXPECT_TRUE(controller(id).at("commands").empty()) << id;
}

INSTANTIATE_TEST_SUITE_P(Update, UpdateRun, ::testing::ValuesIn(kUpdateCases),
                         [](const ::testing::TestParamInfo<UpdateCase>& info) { return info.param.name; });

// Sparse files: the size is what counts, no disk space is used.
TEST_F(EmulatedRun, PayloadsTheFlashSequenceCannotCarryAreRefused)
{
    struct Case {
        long long size;
        const char* what;
    };
    const Case cases[] = {
        {16384LL * 65535 + 1, "65,536 chunks"},
        {(1LL << 32) + 40000, "4 GiB and more (would wrap to 40,000 bytes)"},
    };
    setPackage({kHpsaId});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(payloadPath(), "");
        ASSERT_EQ(::truncate(payloadPath().c_str(), c.size), 0);
        ASSERT_TRUE(run("e2e_hpsa_single.json", {"-u", "-o", "result.xml"}));
        EXPECT_EQ(
            document("result.xml"),
            updateDocument({failureRecord("Firmware update failed due to invalid payload size or missing payload.")}));
        EXPECT_TRUE(untouched("only"));
    }
}

}  // namespace

using zevtest::containsInOrder;
using zevtest::countOf;

TEST_F(EmulatedRun, ControllerThatDoesNotIdentifyIsLeftOutAndLogged)
{
    ASSERT_TRUE(run("e2e_identify_fails_on_one.json", {"-i", "-d", "-o", "inventory.xml"}));
    EXPECT_EQ(document("inventory.xml"), inventoryDocument({hpsaAt("1", "SERIAL-GOOD")}));
    const std::string log = document("debug_inv.log");
    EXPECT_EQ(countOf(log, "initializeControllerDataArea(): Contoller data initialize failed"), 1);
    EXPECT_TRUE(containsInOrder(
        log, {"initializeControllerDataArea() Number of controller handles = 1\n",
              "DiscoverDevices(): DeviceID      = 5a3e\n", "DiscoverDevices(): SubDeviceID   = 4c21\n",
              "DiscoverDevices(): VendorID      = 1d5a\n", "DiscoverDevices(): SubvendorID   = 1d5a\n",
              "DiscoverDevices(): ProductID     = Zevorided RAID ZR-840i\n",
              "DiscoverDevices(): Serial Number = SERIAL-GOOD\n", "DiscoverDevices(): Slot Number   = 1\n",
              "~ZevoridedUtils():: Syscore debug file handle closed\n"}));
    // The cores' trace of every command went to their own file.
    EXPECT_NE(document("debug_syscore.log").find("Failed id ctrl"), std::string::npos);
    EXPECT_TRUE(untouched("good"));
}

TEST_F(EmulatedRun, UpdateLogsTheProgressOfBothPasses)
{
    setPayload(imageBytes(40000));  // three chunks
    setPackage({kHpsaId});
    ASSERT_TRUE(run("e2e_hpsa_single.json", {"-u", "-d", "-o", "result.xml"}));
    EXPECT_EQ(document("result.xml"), updateDocument({updatedDevice(hpsaAt("1", "SERIAL-ONLY"))}));
    const std::string log = document("debug_update.log");
    std::vector<std::string> expected = {"Update: Filtering of devices from package xml successful \n",
                                         "Update: Flashing firmware for below PCI\n",
                                         "Update: DeviceID    = 5a3e\n",
                                         "Update: SubDeviceID = 4c21\n",
                                         "Update: VendorID    = 1d5a\n",
                                         "Update: SubvendorID = 1d5a\n",
                                         "Leaving ZevoridedUtils::canFlashControllerFirmware()\n",
                                         "Entering ZevoridedUtils::flashControllerFirmware()\n"};
    for (int pass = 0; pass < 2; ++pass)
        for (const char* p : {"25", "50", "75", "100"})
            expected.push_back(std::string(": logControllerFlashprogress: Flash Progress: ") + p + "%\n\n");
    expected.push_back("Leaving ZevoridedUtils::flashControllerFirmware()\n");
    expected.push_back("Leaving RizizavadIrerUpdate::Update()\n");
    EXPECT_TRUE(containsInOrder(log, expected));
    EXPECT_EQ(countOf(log, "logControllerFlashprogress: "), 8);
    EXPECT_TRUE(programmedPayloadTwice("only"));
}

TEST_F(EmulatedRun, PayloadThatIsAFolderIsCheckedButNeverSent)
{
    ASSERT_EQ(::mkdir((work + "/payload/image").c_str(), 0755), 0);
    setPackage({kHpsaId});
    ASSERT_TRUE(run("e2e_hpsa_single.json", {"-u", "-d", "-o", "result.xml"}));
    EXPECT_EQ(document("result.xml"), updateDocument({kFailed}));
    EXPECT_TRUE(containsInOrder(document("debug_update.log"),
                                {"getPayloadPath: Payload file name is: ", "/payload/image\n",
                                 "loadPayloadImage(): the payload is not a readable regular file\n",
                                 "canFlashControllerFirmware():: error getting file size of payload\n",
                                 "Update: canFlashControllerFirmware() returned failure !!!\n"}));
    EXPECT_TRUE(untouched("only"));
}

// ---- real hosts: which node reaches which adapter, controllers out of reach, busy drivers ----

TEST_F(EmulatedRun, SwappedAdapterIdsFlashOnlyTheListedAdapter)
{
    setPayload(imageBytes(40000));
    setPackage({kAacId});
    ASSERT_TRUE(run("e2e_aacraid_swapped_ids.json", {"-u", "-o", "result.xml"}));
    EXPECT_EQ(document("result.xml"), updateDocument({updatedDevice(aacAt("4", "AAC-LISTED"))}));
    EXPECT_TRUE(programmedPayloadTwice("listed"));
    EXPECT_TRUE(untouched("other"));
    EXPECT_EQ(writeCommands(controller("other")), 0);
    EXPECT_EQ(stderrText.find("cannot be used"), std::string::npos) << stderrText;
}

TEST_F(EmulatedRun, AdapterNoNodeConfirmsIsNeverSentAnything)
{
    const std::string line =
        "zevupdate: controller 0000:07:00.0 (aacraid) cannot be used: no /dev/aac node reaches "
        "this adapter (checked by PCI bus and slot)\n";
    struct Row {
        const char* what;
        std::vector<std::string> args;
        std::vector<PciId> package;
        std::string document;
    } rows[] = {
        {"inventory leaves it out", {"-i", "-o", "out.xml"}, {}, inventoryDocument({hpsaAt("1", "SERIAL-ONLY")})},
        {"update names it failed",
         {"-u", "-o", "out.xml"},
         {kAacId, kHpsaId},
         updateDocument({updatedDevice(hpsaAt("1", "SERIAL-ONLY")), kFailed})},
        {"update of it alone", {"-u", "-o", "out.xml"}, {kAacId}, updateDocument({kFailed})},
    };
    setPayload(imageBytes(20000));
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        if (!r.package.empty()) setPackage(r.package);
        ASSERT_TRUE(run("e2e_aacraid_unconfirmed.json", r.args));
        EXPECT_EQ(document("out.xml"), r.document);
        EXPECT_EQ(stderrText.find(line), 0u) << stderrText;
        for (const json& cmd : controller("stranger").at("commands"))
            EXPECT_EQ(cmd.at("ioctl"), "aac_pci_info") << cmd.dump();
        EXPECT_TRUE(untouched("stranger"));
    }
}

TEST_F(EmulatedRun, ChunkOrFlashCommandTheAdapterDidNotRunFailsTheController)
{
    struct Row {
        const char* what;
        json fault;
    } rows[] = {
        {"selection timeout on the middle chunk",
         {{"match", {{"cdb", "270000000302d2"}}}, {"nth", 1}, {"srb_status", 0x0A}}},
        {"error on the last chunk", {{"match", {{"cdb", "270000000303d2"}}}, {"nth", 1}, {"srb_status", 0x04}}},
        {"aborted flash command", {{"match", {{"bmic", 0xF7}}}, {"nth", 1}, {"srb_status", 0x02}}},
        {"second pass chunk", {{"match", {{"cdb", "270000000301d2"}}}, {"nth", 2}, {"srb_status", 0x0A}}},
    };
    setPayload(imageBytes(40000));  // three chunks
    setPackage({kAacId});
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_TRUE(run(scenarioWithFaults("e2e_aacraid_identical.json", "first", json::array({r.fault})),
                        {"-u", "-o", "result.xml"}));
        std::map<std::string, std::string> fragments{{"first", kFailed},
                                                     {"second", updatedDevice(aacAt("5", "AAC-SECOND"))}};
        EXPECT_EQ(document("result.xml"), updateDocument(inOrder(fragments)));
        EXPECT_LT(controller("first").at("images").size(), 2u);
        EXPECT_TRUE(programmedPayloadTwice("second"));
    }
}

TEST_F(EmulatedRun, BusyDriverIsAskedAgain)
{
    setPayload(imageBytes(40000));
    setPackage({kHpsaId});
    const json busyTwice = {{"match", {{"cdb", "270000000302d2"}}}, {"nth", 1}, {"errno", 11}, {"busy_attempts", 2}};
    ASSERT_TRUE(
        run(scenarioWithFaults("e2e_hpsa_single.json", "only", json::array({busyTwice})), {"-u", "-o", "result.xml"}));
    EXPECT_EQ(document("result.xml"), updateDocument({updatedDevice(hpsaAt("1", "SERIAL-ONLY"))}));
    EXPECT_TRUE(programmedPayloadTwice("only"));
    EXPECT_EQ(chunkCommands(controller("only"), 2), 4) << "refused twice, then once in each pass";
}

TEST_F(EmulatedRun, DriverBusyForGoodFailsWithinTheBound)
{
    setPayload(imageBytes(40000));
    setPackage({kHpsaId});
    const json busy = {{"match", {{"cdb", "270000000301d2"}}}, {"errno", 11}};
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        run(scenarioWithFaults("e2e_hpsa_single.json", "only", json::array({busy})), {"-u", "-o", "result.xml"}));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(document("result.xml"), updateDocument({kFailed}));
    EXPECT_TRUE(controller("only").at("images").empty());
    EXPECT_GE(seconds, 10.0);
    EXPECT_LT(seconds, 25.0);
    const int attempts = chunkCommands(controller("only"), 1);
    EXPECT_GE(attempts, 8);  // fewer when each attempt is slow (valgrind): the pauses fill the bound
    EXPECT_LE(attempts, 14);
    EXPECT_EQ(chunkCommands(controller("only"), 2), 0) << "nothing after the chunk that never went through";
}

TEST_F(EmulatedRun, ControllersOutOfReachAreNamedOnStandardError)
{
    json s = json::parse(readFile(scenarioFile("e2e_three_drivers.json")));
    s["privileged"] = false;
    writeFile(work + "/scenario.json", s.dump(2));
    expectedRefusals = {"hpsa_passthru_ioctl: caller lacks CAP_SYS_RAWIO",
                        "pqi_passthru_ioctl: caller lacks CAP_SYS_RAWIO", "aac_cfg_ioctl: caller lacks CAP_SYS_RAWIO"};
    ASSERT_TRUE(run(work + "/scenario.json", {"-i", "-d", "-o", "inventory.xml"}));
    EXPECT_EQ(document("inventory.xml"), inventoryDocument({}));
    // aacraid is found out during discovery; hpsa and smartpqi when their identify is refused.
    for (const json& c : report.at("controllers")) {
        const std::string driver = c.at("driver").get<std::string>();
        const std::string reason =
            driver == "aacraid"
                ? "operation not permitted (needs root with CAP_SYS_RAWIO, and CAP_SYS_ADMIN for SCSI requests)"
                : "operation not permitted (needs root with CAP_SYS_RAWIO)";
        const std::string line = "zevupdate: controller " + c.at("pci_address").get<std::string>() + " (" + driver +
                                 ") cannot be used: " + reason;
        EXPECT_NE(stderrText.find(line + "\n"), std::string::npos) << line << "\n" << stderrText;
        EXPECT_NE(document("debug_inv.log").find("initializeControllerDataArea(): " + line + "\n"), std::string::npos)
            << line;
    }
    EXPECT_EQ(countOf(stderrText, "cannot be used"), 3) << stderrText;
}

// ---- recorded hosts: record a run inside the emulated host, replay it without the scenario ----

namespace {

using zev::emu::RecordedIoctl;
using zev::emu::Recording;

struct Outcome {
    int status = -1;
    std::string document, stdoutText, stderrText;
    json report;
};

// The bytes of every firmware chunk (BMIC write 0xD2) the recording sent to a node, in order.
std::string recordedChunks(const Recording& rec, const std::string& node)
{
    std::string bytes;
    for (const RecordedIoctl& c : rec.ioctls) {
        std::size_t cdb = 0;
        if (c.request == zev::emu::kReqPassthru || c.request == zev::emu::kReqBigPassthru)
            cdb = 12;
        else if (c.request == zev::emu::kReqRawSrb)
            cdb = 36;
        else
            continue;
        if (c.node != node || c.arg_before.size() < cdb + 10 || c.arg_before[cdb] != 0x27 ||
            c.arg_before[cdb + 6] != 0xD2)
            continue;
        for (const auto& p : c.pointers) bytes.append(p.before.begin(), p.before.end());
    }
    return bytes;
}

}  // namespace

class RecordedRun : public EmulatedRun {
protected:
    // zevsim run EMULATION --report R -- WORDS..., in the work folder; the document is OUTPUT.
    Outcome inside(const std::string& emulation, const std::vector<std::string>& words, const std::string& output)
    {
        std::remove(reportPath().c_str());
        std::remove((work + "/" + output).c_str());
        std::vector<std::string> argv{ZEVSIM_PATH, "run", emulation, "--report", reportPath(), "--"};
        argv.insert(argv.end(), words.begin(), words.end());
        Outcome o;
        o.status = launch(argv, zevtest::emulatedRunSeconds() * 1000);
        o.document = readFile(work + "/" + output);
        o.stdoutText = stdoutText;
        o.stderrText = stderrText;
        o.report = report;
        return o;
    }

    std::vector<std::string> tool(const std::vector<std::string>& args, const std::string& output) const
    {
        std::vector<std::string> w{work + "/zevupdate"};
        w.insert(w.end(), args.begin(), args.end());
        w.insert(w.end(), {"-o", output});
        return w;
    }

    // Records the tool with args inside the scenario to `file`.
    Outcome record(const std::string& emulation, const std::vector<std::string>& args, const std::string& file,
                   const std::string& output)
    {
        std::vector<std::string> w{ZEVSIM_PATH, "record", "--output", file};
        if (std::find(args.begin(), args.end(), "-u") != args.end()) w.push_back("--allow-update");
        w.push_back("--");
        for (const std::string& t : tool(args, output)) w.push_back(t);
        return inside(emulation, w, output);
    }

    void prepareUpdate()
    {
        setPayload(imageBytes(40000));
        setPackage({kHpsaId, kAacId, kPqiId, kPqiOpenId});
    }
};

// Every scenario the runs above use, inventory and update: the recording run and the replay give the
// original's document and status byte for byte; the replay answers every request from the recording
// and leaves no entry unused, so each controller was sent exactly the recorded payload.
TEST_F(RecordedRun, ReplayGivesTheOriginalRunsDocuments)
{
    const char* const scenarios[] = {"e2e_three_drivers.json",       "e2e_hpsa_single.json",
                                     "e2e_hpsa_identical.json",      "e2e_hpsa_identical_second_refuses.json",
                                     "e2e_aacraid_identical.json",   "e2e_aacraid_swapped_ids.json",
                                     "e2e_aacraid_unconfirmed.json", "e2e_identify_fails_on_one.json",
                                     "e2e_locked_then_open.json"};
    prepareUpdate();
    const std::string payload = readFile(payloadPath());
    std::size_t programmed = 0, succeeded = 0;  // over all rows: the rows flash and succeed somewhere
    for (const char* scenario : scenarios) {
        for (const char* mode : {"-i", "-u"}) {
            SCOPED_TRACE(std::string(scenario) + " " + mode);
            const std::string path = scenarioFile(scenario);
            const std::string file = work + "/" + std::string(scenario) + mode + ".rec.json";
            const Outcome original = inside(path, tool({mode}, "orig.xml"), "orig.xml");
            const Outcome recorded = record(path, {mode}, file, "recorded.xml");
            const Outcome replayed = inside(file, tool({mode}, "replayed.xml"), "replayed.xml");
            ASSERT_FALSE(original.document.empty()) << original.stderrText;
            EXPECT_EQ(recorded.status, original.status) << recorded.stderrText;
            EXPECT_EQ(replayed.status, original.status) << replayed.stderrText;
            EXPECT_EQ(recorded.document, original.document);
            EXPECT_EQ(replayed.document, original.document);
            EXPECT_EQ(replayed.stdoutText, original.stdoutText);
            succeeded += countOf(original.document, "result = \"true\"");

            const Recording rec = Recording::FromFile(file);
            ASSERT_FALSE(replayed.report.is_discarded());
            EXPECT_EQ(replayed.report.at("served"), rec.ioctls.size());
            EXPECT_EQ(replayed.report.at("unmatched"), json::array());
            EXPECT_EQ(replayed.report.at("unused"), json::array());
            EXPECT_NE(replayed.stderrText.find(std::to_string(rec.ioctls.size()) +
                                               " request(s) served, 0 unmatched, 0 recorded entries unused"),
                      std::string::npos)
                << replayed.stderrText;
            // What each controller programmed in the original run is what the recording sends it.
            for (const json& c : original.report.at("controllers")) {
                const std::size_t images = c.at("images").size();
                if (images == 0) continue;
                ++programmed;
                std::string expected;
                for (std::size_t k = 0; k < images; ++k) expected += payload;
                EXPECT_TRUE(recordedChunks(rec, c.at("node")) == expected) << c.at("id") << " chunks differ";
            }
        }
    }
    EXPECT_GE(programmed, 8u);
    EXPECT_GE(succeeded, 8u);
}

// A replay asked what was not recorded fails those requests and the tool reports no success for them.
TEST_F(RecordedRun, ReplayAskedSomethingNewAnswersNothing)
{
    prepareUpdate();
    const std::string update = work + "/update.rec.json";
    const std::string inventory = work + "/inventory.rec.json";
    ASSERT_EQ(record(scenarioFile("e2e_hpsa_single.json"), {"-u"}, update, "u.xml").status, 0);
    ASSERT_EQ(record(scenarioFile("e2e_three_drivers.json"), {"-i"}, inventory, "i.xml").status, 0);
    struct Row {
        const char* name;
        std::string recording;
        std::function<void()> change;
        std::vector<std::string> words;
        std::string document;         // the document of the run asked something new
        const char* unmatched_start;  // every unmatched request's description starts so
    };
    const std::string tool = work + "/zevupdate";
    const Row rows[] = {
        {"another payload",
         update,
         [&] { setPayload(zevtest::imageBytes(40000, 7)); },
         {tool, "-u", "-o", "new.xml"},
         updateDocument({kFailed}),
         "cdb 27"},
        {"the inventory asked again",
         inventory,
         [] {},
         {"/bin/sh", "-c", tool + " -i -o first.xml && " + tool + " -i -o new.xml"},
         inventoryDocument({}),
         ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        r.change();
        const Outcome o = inside(r.recording, r.words, "new.xml");
        EXPECT_EQ(o.document, r.document) << o.stderrText;
        EXPECT_EQ(countOf(o.document, "result = \"true\""), 0u);
        ASSERT_FALSE(o.report.is_discarded());
        ASSERT_FALSE(o.report.at("unmatched").empty());
        for (const json& u : o.report.at("unmatched"))
            EXPECT_EQ(u.at("description").get<std::string>().rfind(r.unmatched_start, 0), 0u) << u.dump();
        EXPECT_NE(o.stderrText.find(std::to_string(o.report.at("unmatched").size()) + " unmatched"), std::string::npos);
    }
}

// Recording a replay of a recording gives the same recording, up to the order things were met in.
TEST_F(RecordedRun, RecordingAReplayGivesTheSameRecording)
{
    prepareUpdate();
    const std::pair<const char*, const char*> rows[] = {{"e2e_three_drivers.json", "-i"},
                                                        {"e2e_hpsa_single.json", "-u"}};
    for (const auto& [scenario, mode] : rows) {
        SCOPED_TRACE(std::string(scenario) + " " + mode);
        const std::string first = work + "/first.rec.json", second = work + "/second.rec.json";
        ASSERT_EQ(record(scenarioFile(scenario), {mode}, first, "doc.xml").status, 0);
        ASSERT_EQ(record(first, {mode}, second, "doc.xml").status, 0);
        const Recording a = Recording::FromFile(first), b = Recording::FromFile(second);
        EXPECT_FALSE(a.ioctls.empty());
        EXPECT_EQ(a.Sorted().ToJson(), b.Sorted().ToJson());
    }
}

// The checked-in recordings: each replayed with -i gives the document checked in beside it.
TEST_F(RecordedRun, CheckedInRecordingsReplayToTheirDocuments)
{
    const std::filesystem::path dir = std::filesystem::path(SCENARIO_DIR).parent_path() / "recordings";
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << dir << " does not exist";
    std::vector<std::filesystem::path> recordings;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".json") recordings.push_back(e.path());
    std::sort(recordings.begin(), recordings.end());
    ASSERT_FALSE(recordings.empty()) << "no recording in " << dir;
    for (const std::filesystem::path& rec : recordings) {
        SCOPED_TRACE(rec.filename().string());
        const std::filesystem::path expected = rec.parent_path() / (rec.stem().string() + ".inventory.xml");
        ASSERT_TRUE(std::filesystem::exists(expected)) << expected;
        const Outcome o = inside(rec.string(), tool({"-i"}, "inventory.xml"), "inventory.xml");
        EXPECT_EQ(o.status, 0) << o.stderrText;
        EXPECT_EQ(o.document, readFile(expected.string()));
        ASSERT_FALSE(o.report.is_discarded());
        EXPECT_EQ(o.report.at("unmatched"), json::array());
    }
}
