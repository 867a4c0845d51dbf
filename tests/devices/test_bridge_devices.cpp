// The bridge's device operations against the emulated host: drive and device handle lists, the
// virtual enclosure processor test, basic drive identity with and without INQUIRY, SCSI commands
// through both kinds of handle, pause and resume, and their log lines. The bridge is built once per
// process, so every case runs in a child process of its own.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "CLogger.h"
#include "ZevoridedUtils.h"
#include "devices_support.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "TestRequests.h"

using namespace CM_ZEVORIDED_UTILS;
using namespace devices_test;
using zev::emu::CommandRecord;
using zev::emu::Fault;
using zev::emu::Host;

namespace {

// Runs body in a child process; the child's assertion failures are printed there and make its
// exit status non-zero. The child works in a fresh folder with the framework log on.
void InChild(const std::function<void()>& body)
{
    const zevtest::ProcessResult r = zevtest::runInChild(
        [&] {
            {
                TempDir dir(true);
                CLogger::GetInstance()->Initialize("bridge.log");
                body();
            }
            return ::testing::Test::HasFailure() ? 1 : 0;
        },
        0);
    ASSERT_TRUE(r.started);
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << "child status " << r.status;
}

// Messages of the bridge's framework log lines, in order.
std::vector<std::string> BridgeLog()
{
    return zevtest::logMessagesOf(zevtest::readFile("bridge.log"), "ZevoridedUtils.cpp");
}

bool Logged(const std::string& message)
{
    const std::vector<std::string> all = BridgeLog();
    return std::find(all.begin(), all.end(), message) != all.end();
}

::testing::AssertionResult AllLogged(std::initializer_list<std::string> messages)
{
    for (const std::string& m : messages)
        if (!Logged(m)) return ::testing::AssertionFailure() << "not logged: " << m;
    return ::testing::AssertionSuccess();
}

// Bridge log messages written from the first one at or after index from.
std::vector<std::string> LogFrom(std::size_t from)
{
    std::vector<std::string> all = BridgeLog();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end());
}

Scenario TwoControllers()
{
    Scenario s = Scenario::FromText(R"({"controllers": [{"id": "c0", "driver": "hpsa", "disks": )" + StandardDisks() +
                                    R"(}, {"id": "c1", "driver": "smartpqi", "pci": {"address": "0000:05:00.0"}}]})");
    for (const PhysicalIdentity& id : StandardIdentities()) AddIdentifyReply(s, 0, id);
    return s;
}

std::vector<uint16_t> Indices(const std::vector<physical_device_handle*>& handles)
{
    std::vector<uint16_t> out;
    for (const physical_device_handle* h : handles) out.push_back(h->wDeviceIndex);
    return out;
}

// In a child: the host of the scenario and the bridge over it.
void OnBridge(const Scenario& scenario, const std::function<void(Host&, ZevoridedUtils&)>& body)
{
    InChild([&] {
        Host host(scenario);
        body(host, ZevoridedUtils::getInstance());
    });
}

using DrivesBody = std::function<void(Host&, ZevoridedUtils&, const std::vector<physical_device_handle*>&)>;

// In a child: the host of the scenario (the two controllers unless given), the bridge's physical drives
// (at least one) and no command recorded yet; the handles are freed after body.
void OnDrives(const Scenario& scenario, const DrivesBody& body)
{
    OnBridge(scenario, [&](Host& host, ZevoridedUtils& bridge) {
        std::vector<physical_device_handle*> drives;
        bridge.getPhysicalDriveHandles(drives);
        ASSERT_FALSE(drives.empty());
        host.ClearCommands();
        body(host, bridge, drives);
        bridge.freePhysicalDeviceHandles(drives);
    });
}
void OnDrives(const DrivesBody& body) { OnDrives(TwoControllers(), body); }

TEST(BridgeDevices, DriveHandlesOverEveryController)
{
    OnBridge(TwoControllers(), [](Host&, ZevoridedUtils& bridge) {
        ASSERT_EQ(bridge.getControllerCount(), 2u);
        std::vector<physical_device_handle*> drives;
        bridge.getPhysicalDriveHandles(drives);
        EXPECT_EQ(Indices(drives), (std::vector<uint16_t>{0, 1}));
        ASSERT_EQ(drives.size(), 2u);
        EXPECT_NE(drives[0]->pCDA, nullptr);
        EXPECT_EQ(drives[0]->pCDA, drives[1]->pCDA);
        EXPECT_TRUE(Logged("getPhysicalDriveHandles: Total physical drives count = 2"));

        // The count is the vector's total: what was there before counts too.
        bridge.getPhysicalDriveHandles(drives);
        EXPECT_EQ(drives.size(), 4u);
        EXPECT_TRUE(Logged("getPhysicalDriveHandles: Total physical drives count = 4"));
        bridge.freePhysicalDeviceHandles(drives);
        EXPECT_TRUE(drives.empty());
        EXPECT_TRUE(AllLogged({"Entering ZevoridedUtils::freePhysicalDriveHandles()",
                               "Leaving ZevoridedUtils::freePhysicalDriveHandles()"}));
    });
}

TEST(BridgeDevices, DrivesBehindDifferentDrivers)
{
    OnDrives(Scenario::FromFile(std::string(ZEV_EMU_SCENARIO_DIR) + "/devices.json"),
             [](Host& host, ZevoridedUtils& bridge, const std::vector<physical_device_handle*>& drives) {
                 ASSERT_EQ(bridge.getControllerCount(), 2u);
                 ASSERT_EQ(Indices(drives), (std::vector<uint16_t>{0, 1, 0}));
                 EXPECT_NE(drives[0]->pCDA, drives[2]->pCDA);
                 hdd_basic_info info;
                 bridge.getHDDBasicInfo(drives[2], &info);  // aacraid: INQUIRY through the wrapped request
                 EXPECT_STREQ(info.szModel, "ZEVSATA ");
                 EXPECT_STREQ(info.szFirmwareVersion, "0200");
                 EXPECT_EQ(info.dwDriveType, 2u);
                 EXPECT_STREQ(info.szLocation, "Port:1I Box:1 Bay:1");
                 bool wrapped = false;
                 for (const CommandRecord& c : host.Commands(1))
                     wrapped |= !c.inner_cdb.empty() && c.inner_cdb[0] == 0x12;
                 EXPECT_TRUE(wrapped);
                 std::vector<physical_device_handle*> enclosures;
                 bridge.getPhysicalDeviceHandles(enclosures, DEVICE_TYPE_ENCLOSURE);
                 EXPECT_EQ(Indices(enclosures), std::vector<uint16_t>{3});
                 EXPECT_TRUE(bridge.pauseControllerActivity(enclosures[0], true));
                 EXPECT_TRUE(host.BackgroundPaused(0));
                 EXPECT_FALSE(host.BackgroundPaused(1));
                 bridge.freePhysicalDeviceHandles(enclosures);
             });
}

TEST(BridgeDevices, ControllerWithoutDevices)
{
    OnBridge(ControllerWith("smartpqi", "[]", false), [](Host&, ZevoridedUtils& bridge) {
        std::vector<physical_device_handle*> drives;
        bridge.getPhysicalDriveHandles(drives);
        EXPECT_TRUE(drives.empty());
        EXPECT_TRUE(Logged("getPhysicalDriveHandles: Total physical drives count = 0"));
        std::vector<device_handle*> devices;
        bridge.getDeviceHandles(devices, DEVICE_TYPE_PHYSICAL_DRIVE);
        EXPECT_TRUE(devices.empty());
        EXPECT_TRUE(Logged("getDeviceHandles(): Requested Physical device handles count = 0"));
    });
}

TEST(BridgeDevices, PhysicalDeviceKinds)
{
    OnBridge(TwoControllers(), [](Host&, ZevoridedUtils& bridge) {
        const struct {
            int type;
            std::vector<uint16_t> indices;
        } cases[] = {{2, {3}}, {1, {4}}, {4, {5}}, {3, {}}, {0, {}}};
        for (const auto& c : cases) {
            std::vector<physical_device_handle*> handles;
            bridge.getPhysicalDeviceHandles(handles, static_cast<device_type>(c.type));
            EXPECT_EQ(Indices(handles), c.indices) << "type " << c.type;
            EXPECT_TRUE(Logged("getPhysicalDeviceHandles(): Requested device type = " + std::to_string(c.type)));
            EXPECT_TRUE(Logged("getPhysicalDeviceHandles(): Requested Physical device handles count = " +
                               std::to_string(c.indices.size())));
            bridge.freePhysicalDeviceHandles(handles);
        }
        EXPECT_TRUE(Logged("isPhysicalDeviceVSEPController():: Found VSEP controller"));
        std::vector<physical_device_handle*> drives;
        bridge.getPhysicalDriveHandles(drives);
        ASSERT_FALSE(drives.empty());
        SA_CDA* cda = drives[0]->pCDA;
        EXPECT_TRUE(bridge.isPhysicalDeviceVSEPController(cda, 2));
        EXPECT_FALSE(bridge.isPhysicalDeviceVSEPController(cda, 3));
        EXPECT_FALSE(bridge.isPhysicalDeviceVSEPController(cda, 40));
        bridge.freePhysicalDeviceHandles(drives);
    });
}

TEST(BridgeDevices, BasicInfoFromInquiry)
{
    OnDrives([](Host&, ZevoridedUtils& bridge, const std::vector<physical_device_handle*>& drives) {
        ASSERT_EQ(drives.size(), 2u);
        hdd_basic_info info;
        std::memset(&info, 0x5A, sizeof(info));
        bridge.getHDDBasicInfo(drives[0], &info);
        EXPECT_STREQ(info.szModel, "ZEVDISK ");                 // vendor identification
        EXPECT_STREQ(info.szSerialNumber, "ZD 1TB          ");  // product identification
        EXPECT_STREQ(info.szFirmwareVersion, "0001");
        EXPECT_STREQ(info.szLocation, "Port:1I Box:1 Bay:3");
        EXPECT_EQ(info.wEnclosure, 1);
        EXPECT_EQ(info.dwDriveType, 16u);  // bits 3 and 4: bit 3 is not a kind
        bridge.getHDDBasicInfo(drives[1], &info);
        EXPECT_EQ(info.dwDriveType, 2u);
        EXPECT_STREQ(info.szModel, "ZEVSSD  ");

        physical_device_handle vsep{drives[0]->pCDA, 2};
        bridge.getHDDBasicInfo(&vsep, &info);
        EXPECT_EQ(info.dwDriveType, 33u);  // no kind bit
        EXPECT_EQ(info.wEnclosure, 0xFFFF);

        physical_device_handle noCDA{nullptr, 0};
        std::memset(&info, 0x5A, sizeof(info));
        bridge.getHDDBasicInfo(&noCDA, &info);
        bridge.getHDDBasicInfo(nullptr, &info);
        EXPECT_EQ(info.dwDriveType, 0x5A5A5A5Au);  // untouched
        EXPECT_TRUE(Logged("Leaving ZevoridedUtils::getHDDBasicInfo() Got NULL controller data area"));
        EXPECT_TRUE(Logged("Leaving ZevoridedUtils::getHDDBasicInfo() Got NULL drive handle"));
        EXPECT_FALSE(
            Logged("Leaving ZevoridedUtils::getHDDBasicInfo() SA_PhysicalDriveStandardInquiryData() returned false"));
    });
}

TEST(BridgeDevices, BasicInfoWhenInquiryFails)
{
    Scenario s = TwoControllers();
    s.controllers[0].faults.push_back(DiskErrnoFault(0x12, 5));
    OnDrives(s, [](Host&, ZevoridedUtils& bridge, const std::vector<physical_device_handle*>& drives) {
        ASSERT_EQ(drives.size(), 2u);
        hdd_basic_info info;
        bridge.getHDDBasicInfo(drives[0], &info);
        EXPECT_TRUE(
            Logged("Leaving ZevoridedUtils::getHDDBasicInfo() SA_PhysicalDriveStandardInquiryData() returned false"));
        EXPECT_STREQ(info.szModel, "ZD 1TB SAS");
        EXPECT_STREQ(info.szSerialNumber, "IDSER0000");
        EXPECT_STREQ(info.szFirmwareVersion, "FW01");
        EXPECT_STREQ(info.szLocation, "Port:1I Box:1 Bay:3");
        EXPECT_EQ(info.dwDriveType, 16u);
        // With every INQUIRY failing no enclosure processor can be recognised as the virtual one.
        std::vector<physical_device_handle*> enclosures;
        bridge.getPhysicalDeviceHandles(enclosures, DEVICE_TYPE_ENCLOSURE);
        EXPECT_EQ(Indices(enclosures), (std::vector<uint16_t>{2, 3}));
        bridge.freePhysicalDeviceHandles(enclosures);
    });
}

TEST(BridgeDevices, InquiryAllocationLengthIsTheSizesLowByte)
{
    OnDrives([](Host& host, ZevoridedUtils& bridge, const std::vector<physical_device_handle*>& drives) {
        unsigned char buffer[300];
        EXPECT_TRUE(bridge.sendInquiryCommand(drives[0]->pCDA, 0, buffer, sizeof(buffer)));
        std::vector<CommandRecord> cmds = host.Commands(0);
        ASSERT_EQ(cmds.size(), 1u);
        EXPECT_EQ(cmds[0].cdb, (Bytes{0x12, 0, 0, 0, 0x2C, 0}));
        EXPECT_EQ(cmds[0].target, "disk0");
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 8), 7), "ZEVDISK");

        EXPECT_FALSE(bridge.sendInquiryCommand(drives[0]->pCDA, 0, nullptr, 10));
        EXPECT_FALSE(bridge.sendInquiryCommand(drives[0]->pCDA, 77, buffer, 10));
        EXPECT_TRUE(Logged("sendInquiryCommand():: SA_CanSendPhysicalDeviceSCSICommand() returned false."));
        host.AddFault(0, DiskErrnoFault(0x12, 5));
        EXPECT_FALSE(bridge.sendInquiryCommand(drives[0]->pCDA, 0, buffer, 10));
        EXPECT_TRUE(Logged("sendInquiryCommand():: SA_SendPhysicalDeviceSCSICommand failed."));
    });
}

TEST(BridgeDevices, PhysicalCommandWithoutSenseBuffer)
{
    Scenario s = TwoControllers();
    s.controllers[0].faults.push_back(DiskSenseFault(0x00, Sense(0x02, 0x04, 0x01)));
    OnDrives(s, [](Host&, ZevoridedUtils& bridge, const std::vector<physical_device_handle*>& drives) {
        EXPECT_TRUE(bridge.canExecuteSCSICommand(drives[0]));
        EXPECT_TRUE(
            Logged("Leaving ZevoridedUtils::canExecuteSCSICommand(PhysicalDriveHandle) "
                   "SA_CanSendPhysicalDeviceSCSICommand = true"));

        uint8_t tur[6] = {0};
        _SCSIRequest r = zevtest::cdbRequest<_SCSIRequest>(SC_TRANSFER_NONE, tur, sizeof(tur), nullptr, 0);
        EXPECT_TRUE(bridge.executeSCSICommand(drives[0], &r));
        EXPECT_EQ(zevtest::val(r.sense), nullptr);
        EXPECT_EQ(zevtest::val(r.senseSize), 0u);
        EXPECT_EQ(zevtest::val(r.scsiStatus), 2);
        EXPECT_TRUE(
            AllLogged({"Leaving ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle) senseData is set to "
                       "NULL, allocating some buffer",
                       "ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle) "
                       "SA_SendPhysicalDeviceSCSICommand = true",
                       "ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle): SCSI status = 2",
                       "ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle): low level status = 0"}));
        EXPECT_NE(zevtest::readFile("bridge.log")
                      .find("ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle): Sense Data\n"
                            "0x70 0x0 0x2 0x0 0x0 0x0 0x0 0xa 0x0 0x0 0x0 0x0 0x4 0x1 0x0 "),
                  std::string::npos);

        physical_device_handle missing{drives[0]->pCDA, 200};
        EXPECT_FALSE(bridge.canExecuteSCSICommand(&missing));
        EXPECT_FALSE(bridge.executeSCSICommand(&missing, &r));
        EXPECT_FALSE(bridge.executeSCSICommand(drives[0], nullptr));
        EXPECT_TRUE(
            Logged("Leaving ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle) unexpected Null pointers"));
        physical_device_handle noCDA{nullptr, 0};
        EXPECT_FALSE(bridge.canExecuteSCSICommand(&noCDA));
        EXPECT_TRUE(
            Logged("Leaving ZevoridedUtils::canExecuteSCSICommand(PhysicalDriveHandle) Null controller data area"));
    });
}

TEST(BridgeDevices, DeviceHandles)
{
    OnBridge(TwoControllers(), [](Host& host, ZevoridedUtils& bridge) {
        std::vector<device_handle*> drives;
        bridge.getDeviceHandles(drives, DEVICE_TYPE_PHYSICAL_DRIVE);
        ASSERT_EQ(drives.size(), 1u);  // the flagged drive has type code 3
        EXPECT_STREQ(drives[0]->pProperties->szVendorID, "1d5a");
        EXPECT_TRUE(Logged("getDeviceHandles(): Requested Physical device handles count = 1"));
        std::vector<device_handle*> enclosures;
        bridge.getDeviceHandles(enclosures, DEVICE_TYPE_ENCLOSURE);
        EXPECT_EQ(enclosures.size(), 2u);
        std::vector<device_handle*> expanders;
        bridge.getDeviceHandles(expanders, DEVICE_TYPE_EXPANDER);
        EXPECT_EQ(expanders.size(), 1u);
        bridge.freeDeviceHandles(enclosures);
        bridge.freeDeviceHandles(expanders);
        EXPECT_TRUE(enclosures.empty());
        EXPECT_TRUE(Logged("Leaving ZevoridedUtils::freeDeviceHandles()"));

        EXPECT_TRUE(bridge.canExecuteSCSICommand(drives[0]));
        EXPECT_TRUE(
            Logged("Leaving ZevoridedUtils::canExecuteSCSICommand(DeviceHandle) Can execute SCSI command = true"));
        uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0};
        uint8_t data[36] = {0};
        _SCSIRequest r = zevtest::cdbRequest<_SCSIRequest>(SC_TRANSFER_READ, cdb, sizeof(cdb), data, sizeof(data));
        EXPECT_TRUE(bridge.executeSCSICommand(drives[0], &r));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 7), "ZEVDISK");
        EXPECT_TRUE(Logged("Leaving ZevoridedUtils::executeSCSICommand(DeviceHandle) SC_ExecuteSCSICommand = true"));

        // The transport fails: the status fields are what they were before the call.
        host.AddFault(0, DiskErrnoFault(0x12, 5));
        r.scsiStatus = 0x5A;
        EXPECT_FALSE(bridge.executeSCSICommand(drives[0], &r));
        EXPECT_TRUE(
            AllLogged({"executeSCSICommand(DeviceHandle): SCSI status = 5a",
                       "executeSCSICommand(DeviceHandle): low level status = 5",
                       "Leaving ZevoridedUtils::executeSCSICommand(DeviceHandle) SC_ExecuteSCSICommand = false"}));

        device_handle empty{nullptr, nullptr};
        EXPECT_FALSE(bridge.canExecuteSCSICommand(&empty));
        EXPECT_FALSE(bridge.executeSCSICommand(&empty, &r));
        EXPECT_TRUE(AllLogged({"Leaving ZevoridedUtils::canExecuteSCSICommand(DeviceHandle) Null device handle",
                               "Leaving ZevoridedUtils::executeSCSICommand(DeviceHandle) Null device descriptor"}));
        bridge.freeDeviceHandles(drives);
    });
}

TEST(BridgeDevices, PauseAndResume)
{
    OnDrives([](Host& host, ZevoridedUtils& bridge, const std::vector<physical_device_handle*>& drives) {
        EXPECT_TRUE(bridge.pauseControllerActivity(drives[0], true));
        EXPECT_TRUE(bridge.pauseControllerActivity(drives[0], false));
        Fault resume;
        resume.match.bmic = 0x99;
        resume.err = 5;
        host.AddFault(0, resume);
        EXPECT_FALSE(bridge.pauseControllerActivity(drives[0], false));
        std::vector<CommandRecord> cmds = host.Commands(0);
        ASSERT_EQ(cmds.size(), 3u);
        EXPECT_EQ(cmds[0].bmic().command, 0x98);
        EXPECT_EQ(cmds[0].bmic().address, 1u);
        EXPECT_EQ(cmds[1].bmic().command, 0x99);
        EXPECT_TRUE(AllLogged({"pauseControllerActivity(): SA_ControllerPauseBackgroundActivity() returned true",
                               "pauseControllerActivity(): SA_ControllerResumeBackgroundActivity() returned true",
                               "pauseControllerActivity(): SA_ControllerResumeBackgroundActivity() returned false"}));
        EXPECT_FALSE(bridge.pauseControllerActivity(nullptr, true));
        EXPECT_TRUE(Logged("pauseControllerActivity(): SA_ControllerPauseBackgroundActivity() returned false"));
    });
}

// The path-based flash check and flash load the file with loadPayloadImage and run the image-based
// sequence: for every kind of payload file they give the same result, status, log lines and
// controller commands as loading the image first and calling the image-based ones.
TEST(BridgeDevices, PathBasedFlashEntriesRunTheImageSequence)
{
    struct Row {
        const char* name;
        const char* file;  // null: no file at the path
        std::size_t bytes;
        bool flashes;  // the image-based sequence accepts it
    };
    const Row rows[] = {
        {"a two-chunk image", "image.bin", 20000, true},
        {"no file", nullptr, 0, false},
        {"an empty file", "image.bin", 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        OnBridge(TwoControllers(), [&](Host& host, ZevoridedUtils& bridge) {
            std::vector<controller_properties*> records;
            bridge.getControllerInventory(records);
            ASSERT_FALSE(records.empty());
            controller_PCI_Info key{};
            copyToField(key.szVendorID, records[0]->szVendorID);
            copyToField(key.szSubVendorID, records[0]->szSubVendorID);
            copyToField(key.szDeviceID, records[0]->szDeviceID);
            copyToField(key.szSubDeviceID, records[0]->szSubDeviceID);
            copyToField(key.szSystemPath, records[0]->szSystemPath);
            bridge.freeControllerInfo(records);
            if (row.file != nullptr) std::ofstream(row.file, std::ios::binary) << std::string(row.bytes, 'Z');
            const char* path = row.file != nullptr ? row.file : "missing.bin";

            struct Outcome {
                bool can, flashed;
                unsigned short canStatus, flashStatus;
                std::vector<std::string> log;
                std::size_t commands;
            };
            auto run = [&](bool byPath) {
                Outcome o{};
                o.canStatus = o.flashStatus = 77;
                host.ClearCommands();
                const std::size_t from = BridgeLog().size();
                PayloadImage image;
                if (byPath) {
                    o.can = bridge.canFlashControllerFirmware(key, path, o.canStatus);
                    o.flashed = bridge.flashControllerFirmware(key, path, o.flashStatus);
                } else {
                    loadPayloadImage(path, image);
                    o.can = bridge.canFlashControllerFirmware(key, image, o.canStatus);
                    loadPayloadImage(path, image);
                    o.flashed = bridge.flashControllerFirmware(key, image, o.flashStatus);
                }
                o.log = LogFrom(from);
                o.commands = host.Commands(0).size();
                return o;
            };
            const Outcome byPath = run(true);
            const Outcome byImage = run(false);
            EXPECT_EQ(byPath.can, row.flashes);
            EXPECT_EQ(byPath.flashed, row.flashes);
            EXPECT_EQ(byPath.can, byImage.can);
            EXPECT_EQ(byPath.flashed, byImage.flashed);
            EXPECT_EQ(byPath.canStatus, byImage.canStatus);
            EXPECT_EQ(byPath.flashStatus, byImage.flashStatus);
            EXPECT_EQ(byPath.log, byImage.log);
            EXPECT_EQ(byPath.commands, byImage.commands);
            EXPECT_EQ(byPath.commands != 0, row.flashes);
        });
    }
}

}  // namespace
