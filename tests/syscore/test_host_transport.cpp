// Command transport against the emulated host: what reaches the controller and what comes back.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "HostTestSupport.h"

using zev::emu::Bytes;
using zev::emu::CommandRecord;
using zev::emu::Host;
using zev::emu::Scenario;

namespace {

Bytes B(std::initializer_list<uint8_t> bytes) { return Bytes(bytes); }

// A LUN report as read, header and entries (none when nothing came back); the host's commands are cleared
// first, so what it records afterwards is what the read took.
Bytes ReadReport(Host& host, uint8_t* (*read)(const SC_DeviceDescriptor*), const SC_DeviceDescriptor* d)
{
    host.ClearCommands();
    uint8_t* report = read(d);
    if (report == nullptr) return {};
    Bytes out(report, report + 8 + SC_GetBE32(report));
    _SA_free(report, __FILE__, __LINE__);
    return out;
}

const char kThree[] = R"({"controllers": [
  {"id": "ciss", "driver": "hpsa", "pci": {"address": "0000:03:00.0"}},
  {"id": "pqi", "driver": "smartpqi", "pci": {"address": "0000:04:00.0"}},
  {"id": "sis", "driver": "aacraid", "pci": {"address": "0000:05:00.0"}, "address": "0:1:0"}]})";
}  // namespace

TEST(HostTransport, BmicReadOnEveryPath)
{
    Host host(Scenario::FromText(kThree));
    struct Case {
        const char* id;
        const char* ioctl;
        const char* name;
    } cases[] = {{"ciss", "passthru", "CISS"}, {"pqi", "passthru", "PQI"}, {"sis", "raw_srb", "SIS"}};
    for (const auto& c : cases) {
        OwnedDescriptor d(DescriptorOf(host, c.id));
        ASSERT_NE(d.d, nullptr) << c.id;
        host.ClearCommands();
        LogCapture capture(3);
        std::vector<uint8_t> identify(647, 0xEE);
        _BMICRequest r = BmicRead(0x11, identify.data(), 647);
        ASSERT_EQ(SC_ExecuteBMICCommand(d.d, &r), 0) << c.id;
        EXPECT_EQ(val(r.lowLevelStatus), 0u);
        EXPECT_EQ(val(r.scsiStatus), 0);
        std::vector<CommandRecord> cmds = host.Commands(host.FindController(c.id));
        ASSERT_EQ(cmds.size(), 1u) << c.id;
        EXPECT_EQ(cmds[0].ioctl, c.ioctl);
        EXPECT_EQ(cmds[0].target, "controller") << c.id;
        EXPECT_EQ(cmds[0].cdb, B({0x26, 0, 0, 0, 0, 0, 0x11, 0x02, 0x87, 0x00})) << c.id;
        EXPECT_EQ(cmds[0].data_length, 647u);
        EXPECT_EQ(cmds[0].data, Bytes(identify.begin(), identify.end())) << c.id;
        EXPECT_EQ(std::string((const char*)identify.data() + 5, 4), "1.00") << c.id;
        EXPECT_EQ(LogCapture::Only().first, 3);
        EXPECT_NE(LogCapture::Only().second.find(std::string("Protocol Type                    : ") + c.name),
                  std::string::npos);
    }
}

TEST(HostTransport, LargeTransfersUseTheBigRequest)
{
    Host host(Scenario::FromText(R"({"controllers": [{"driver": "hpsa"}]})"));
    OwnedDescriptor d(DiscoverFirst());
    ASSERT_NE(d.d, nullptr);
    for (uint32_t length : {16384u, 65535u, 65536u, 127999u, 128000u, 262144u}) {
        host.ClearCommands();
        std::vector<uint8_t> data(length);
        for (uint32_t i = 0; i < length; ++i) data[i] = (uint8_t)(i * 7 + length);
        _BMICRequest w = zevtest::bmicRequest<_BMICRequest>(SC_TRANSFER_WRITE, 0x99, data.data(), length);
        ASSERT_EQ(SC_ExecuteBMICCommand(d.d, &w), 0) << length;
        std::vector<CommandRecord> cmds = host.Commands(0);
        ASSERT_EQ(cmds.size(), 1u);
        EXPECT_EQ(cmds[0].ioctl, length < 65536 ? "passthru" : "big_passthru") << length;
        EXPECT_EQ(cmds[0].data_length, length);
        EXPECT_EQ(cmds[0].data_sha256, zev::emu::Sha256Hex(data.data(), data.size())) << length;
        EXPECT_EQ(cmds[0].cdb[7], (uint8_t)(length >> 8));
        EXPECT_EQ(cmds[0].cdb[8], (uint8_t)length);
    }
}

TEST(HostTransport, ControllerRejectionIsNotATransportFailure)
{
    Host host(Scenario::FromText(R"({"controllers": [{"driver": "hpsa", "faults": [
    {"match": {"bmic": 17}, "scsi_status": 2, "sense": "70000500000000000000000020000000"},
    {"match": {"bmic": 100}, "command_status": 4}]}]})"));
    OwnedDescriptor d(DiscoverFirst());
    ASSERT_NE(d.d, nullptr);
    LogCapture capture(3);
    uint8_t data[647] = {0};
    uint8_t sense[32];
    _BMICRequest r = WithSense(BmicRead(0x11, data, sizeof(data)), sense);
    EXPECT_EQ(SC_ExecuteBMICCommand(d.d, &r), 0);
    EXPECT_EQ(val(r.lowLevelStatus), 0u);
    EXPECT_EQ(val(r.scsiStatus), 2);
    EXPECT_EQ(val(r.commandStatus), 1);
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2], 0x05);
    EXPECT_EQ(sense[12], 0x20);
    const auto line = LogCapture::Only();
    EXPECT_EQ(line.first, 1);
    EXPECT_NE(line.second.find("ScsiStatus/0x02, CommandStatus/0x0001"), std::string::npos);
    EXPECT_NE(line.second.find("Sense Data:32                    : [70,00,05,00"), std::string::npos);

    // A command status alone is traced as a success.
    LogCapture::Lines().clear();
    uint8_t params[334] = {0};
    _BMICRequest p = BmicRead(0x64, params, sizeof(params));
    EXPECT_EQ(SC_ExecuteBMICCommand(d.d, &p), 0);
    EXPECT_EQ(val(p.commandStatus), 4);
    EXPECT_EQ(val(p.scsiStatus), 0);
    EXPECT_EQ(LogCapture::Only().first, 3);
}

TEST(HostTransport, FailedIoctlsAndMissingNodes)
{
    struct Case {
        const char* controller;
        uint32_t status;
        bool sent = true;
    } cases[] = {
        {R"({"driver": "hpsa", "faults": [{"match": {"bmic": 17}, "errno": 5}]})", 5},
        // EBUSY and EAGAIN are resent (HostTransport.BusyDriverIsAskedAgain); any other errno fails at once.
        {R"({"driver": "smartpqi", "faults": [{"match": {"bmic": 17}, "errno": 22}]})", 22},
        {R"({"driver": "hpsa", "node": "missing"})", ENOENT, false},
        {R"({"driver": "hpsa", "faults": [{"match": {"bmic": 17}, "node_vanished": true}]})", ENODEV},
        {R"({"driver": "aacraid", "faults": [{"match": {"ioctl": "raw_srb"}, "errno": 5}]})",
         SC_SIS_STATUS_IOCTL_FAILED},
        {R"({"driver": "aacraid", "faults": [{"match": {"ioctl": "raw_srb"}, "errno": 25}]})",
         SC_SIS_STATUS_NOT_SUPPORTED},
        {R"({"driver": "aacraid", "faults": [{"match": {"ioctl": "raw_srb"}, "reply_status": 1}]})",
         SC_SIS_STATUS_SRB_FAILED},
    };
    for (const auto& c : cases) {
        Host host(Scenario::FromText(std::string(R"({"controllers": [)") + c.controller + "]}"));
        OwnedDescriptor d(DiscoverFirst());
        ASSERT_NE(d.d, nullptr) << c.controller;
        LogCapture capture(3);
        uint8_t data[647] = {0};
        _BMICRequest r = BmicRead(0x11, data, sizeof(data));
        r.scsiStatus = 0x77;
        EXPECT_EQ(SC_ExecuteBMICCommand(d.d, &r), 1) << c.controller;
        EXPECT_EQ(val(r.lowLevelStatus), c.status) << c.controller;
        EXPECT_EQ(val(r.scsiStatus), 0x77) << c.controller;
        if (!c.sent) {
            EXPECT_TRUE(LogCapture::Lines().empty());  // nothing was sent, nothing to trace
        } else {
            EXPECT_EQ(LogCapture::Only().first, 1) << c.controller;
            EXPECT_EQ(LogCapture::Only().second.rfind("__SendSCSICommand (rtn:" + std::to_string(c.status) + ")\n", 0),
                      0u);
        }
    }
}

TEST(HostTransport, NodeThatVanishesGivesLowLevelStatusTwoNextTime)
{
    Host host(Scenario::FromText(
        R"({"controllers": [{"driver": "hpsa", "faults": [{"match": {"bmic": 17}, "node_vanished": true}]}]})"));
    OwnedDescriptor d(DiscoverFirst());
    uint8_t data[64] = {0};
    _BMICRequest r = BmicRead(0x11, data, sizeof(data));
    EXPECT_EQ(SC_ExecuteBMICCommand(d.d, &r), 1);
    _BMICRequest again = BmicRead(0x64, data, sizeof(data));
    EXPECT_EQ(SC_ExecuteBMICCommand(d.d, &again), 1);
    EXPECT_EQ(val(again.lowLevelStatus), 2u);
}

TEST(HostTransport, LogicalReportNeedsASecondRead)
{
    std::string drives;
    for (int i = 0; i < 30; ++i) drives += (i ? "," : "") + std::string(R"({"number": )") + std::to_string(i) + "}";
    Host host(Scenario::FromText(R"({"controllers": [{"driver": "hpsa", "logical_drives": [)" + drives + "]}]}"));
    OwnedDescriptor d(DiscoverFirst());
    Bytes report = ReadReport(host, CISS_Report_LogicalEx, d.d);
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(SC_GetBE32(report.data()), 720u);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(SC_GetLE16(report.data() + 8 + 24 * i), i);
    std::vector<CommandRecord> cmds = host.Commands(0);
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0].cdb, B({0xC2, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0x00, 0, 0}));
    EXPECT_EQ(cmds[0].data_length, 512u);
    EXPECT_EQ(cmds[1].cdb, B({0xC2, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0xD8, 0, 0}));
    EXPECT_EQ(cmds[1].data_length, 728u);

    // A short list is read once.
    report = ReadReport(host, CISS_Report_PhysicalEx, d.d);
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(SC_GetBE32(report.data()), 0u);
    cmds = host.Commands(0);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].cdb, B({0xC3, 0x02, 0, 0, 0, 0, 0, 0, 0x03, 0x08, 0, 0}));
    EXPECT_EQ(cmds[0].data_length, 776u);
}

TEST(HostTransport, GarbageReportLengthIsReadOnlyUpToTheLargestReport)
{
    // The controller claims almost 4 GiB of entries: the second read asks for the largest report any
    // controller can give (16384 entries) and the list is cut to what that read holds.
    Host host(Scenario::FromText(
        R"({"controllers": [{"driver": "hpsa", "firmware": {"replies": [{"cdb": "c3", "hex": "fffffff000000000"}]}}]})"));
    OwnedDescriptor d(DiscoverFirst());
    Bytes report = ReadReport(host, CISS_Report_PhysicalEx, d.d);
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(SC_GetBE32(report.data()), 24u * 16384);
    std::vector<CommandRecord> cmds = host.Commands(0);
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[1].data_length, 8u + 24 * 16384);
    EXPECT_EQ(cmds[1].cdb, B({0xC3, 0x02, 0, 0, 0, 0, 0x00, 0x06, 0x00, 0x08, 0, 0}));
}

TEST(HostTransport, FailedReportGivesNothing)
{
    Host host(Scenario::FromText(
        R"({"controllers": [{"driver": "hpsa", "faults": [{"match": {"cdb": "c2"}, "errno": 5}]}]})"));
    OwnedDescriptor d(DiscoverFirst());
    EXPECT_EQ(CISS_Report_LogicalEx(d.d), nullptr);
    SC_DescriptorList* list = SC_CreateAllLogicalDeviceDescriptorList(d.d);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->first, nullptr);
    SC_DestroyDeviceDescriptorList(list);
}

TEST(HostTransport, SisReportLogicalLunsGoesOutAsC4)
{
    Host host(Scenario::FromText(
        R"({"controllers": [{"driver": "aacraid", "logical_drives": [{"number": 3, "kind": 1}]}]})"));
    OwnedDescriptor d(DiscoverFirst());
    Bytes report = ReadReport(host, CISS_Report_LogicalEx, d.d);
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(SC_GetBE32(report.data()), 24u);
    std::vector<CommandRecord> cmds = host.Commands(0);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].ioctl, "raw_srb");
    EXPECT_EQ(cmds[0].cdb[0], 0xC4);
}

TEST(HostTransport, SisWrappedRequestReachesTheDisk)
{
    Host host(Scenario::FromText(R"({"controllers": [{"driver": "aacraid", "address": "0:1:0",
    "disks": [{"address": "1:4:0", "index": 4, "type": 0, "vendor": "WRAPDISK", "serial": "W1"}]}]})"));
    OwnedDescriptor ctrl(DiscoverFirst());
    ASSERT_NE(ctrl.d, nullptr);
    SC_DescriptorList* list = SC_CreateAllPhysicalDeviceDescriptorList(ctrl.d);
    ASSERT_NE(list, nullptr);
    std::vector<Found> disks = DescribeList(list);
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].address[3], 3);
    EXPECT_EQ(disks[0].address[0], 0);  // the controller's own bus, target and LUN stay
    EXPECT_EQ(disks[0].address[1], 1);
    EXPECT_EQ(disks[0].type, 2);
    EXPECT_EQ(disks[0].index, 4);
    SC_DeviceListIterator* it = SC_CreateDeviceListIterator(list);
    SC_DeviceDescriptor* disk = SC_GetDeviceListItemAt(it);
    SC_DestroyDeviceListIterator(it);

    host.ClearCommands();
    uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0};
    uint8_t inquiry[36] = {0};
    uint8_t sense[32];
    _SCSIRequest r = WithSense(ScsiRead(cdb, 6, inquiry, sizeof(inquiry)), sense);
    ASSERT_EQ(SC_ExecuteSCSICommand(disk, &r), 0);
    EXPECT_EQ(val(r.scsiStatus), 0);
    EXPECT_EQ(std::string((const char*)inquiry + 8, 8), "WRAPDISK");
    std::vector<CommandRecord> cmds = host.Commands(0);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].ioctl, "raw_srb");
    EXPECT_EQ(cmds[0].cdb, B({0x27, 0, 0, 0, 0, 0x18, 0x68, 0x01, 0x98, 0, 0, 0, 0, 0, 0, 0}));  // 372 + 36
    EXPECT_EQ(cmds[0].inner_cdb, B({0x12, 0, 0, 0, 36, 0}));
    EXPECT_EQ(cmds[0].inner_lun, Bytes(disks[0].address.begin() + 4, disks[0].address.begin() + 12));

    // A command the disk rejects comes back with its sense data; the adapter's SRB status (error) says it
    // was not delivered.
    host.ClearCommands();
    uint8_t bad[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    uint8_t block[512] = {0};
    _SCSIRequest rb = WithSense(ScsiRead(bad, 10, block, sizeof(block)), sense);
    EXPECT_EQ(SC_ExecuteSCSICommand(disk, &rb), 1);
    EXPECT_EQ(val(rb.lowLevelStatus), (uint32_t)SC_SIS_STATUS_SRB_FAILED);
    EXPECT_EQ(val(rb.scsiStatus), 2);
    EXPECT_EQ(sense[2] & 0x0F, 0x05);
    EXPECT_EQ(sense[12], 0x20);
    SC_DestroyDeviceDescriptorList(list);
}

TEST(HostTransport, DeviceListsOfAController)
{
    Host host(Scenario::FromText(R"({"controllers": [{"driver": "hpsa",
    "disks": [{"sg": 5, "address": "0:0:0", "index": 0, "type": 0, "report_type": 0},
              {"sg": 6, "address": "0:1:0", "index": 1, "type": 0, "report_type": 0, "report_flags": 1},
              {"sg": 7, "address": "0:2:0", "index": 9, "type": 13, "report_type": 6}],
    "logical_drives": [{"number": 0}, {"number": 1, "kind": 1}]}]})"));
    OwnedDescriptor ctrl(DiscoverFirst());
    ASSERT_NE(ctrl.d, nullptr);

    std::vector<Found> phys = TakeList(SC_CreateAllPhysicalDeviceDescriptorList(ctrl.d));
    ASSERT_EQ(phys.size(), 3u);
    std::map<uint16_t, uint16_t> typeByIndex;
    for (const Found& f : phys) {
        EXPECT_EQ(f.address[3], 3);
        EXPECT_EQ(f.node, host.NodePath(0));  // commands still go through the controller
        typeByIndex[f.index] = f.type;
    }
    EXPECT_EQ(typeByIndex, (std::map<uint16_t, uint16_t>{{0, 2}, {1, 3}, {9, SC_DEVICE_TYPE_ENCLOSURE}}));

    const uint16_t sepIndices[] = {9, 99};
    std::vector<Found> sep = TakeList(SC_CreateSEPDescriptorList(ctrl.d, sepIndices, 2));
    ASSERT_EQ(sep.size(), 2u);
    EXPECT_EQ(sep[0].type, SC_DEVICE_TYPE_ENCLOSURE);
    EXPECT_EQ(sep[0].address[3], 3);
    EXPECT_EQ(sep[0].index, 9);
    EXPECT_EQ(sep[1].type, SC_DEVICE_TYPE_CONTROLLER);  // no such enclosure: type stays the controller's
    EXPECT_EQ(sep[1].address[3], 2);
    EXPECT_EQ(sep[1].index, 99);

    std::vector<Found> logical = TakeList(SC_CreateAllLogicalDeviceDescriptorList(ctrl.d));
    ASSERT_EQ(logical.size(), 2u);
    EXPECT_EQ(logical[0].type, SC_DEVICE_TYPE_LOGICAL_DRIVE);
    EXPECT_EQ(logical[1].type, SC_DEVICE_TYPE_LOGICAL_DRIVE_KIND1);
    EXPECT_EQ(logical[1].index, 1);
    EXPECT_EQ(logical[1].address[3], 5);

    const uint16_t numbers[] = {1, 40};
    std::vector<Found> picked = TakeList(SC_CreateLogicalDeviceDescriptorList(ctrl.d, numbers, 2));
    ASSERT_EQ(picked.size(), 2u);
    EXPECT_EQ(picked[0].type, SC_DEVICE_TYPE_LOGICAL_DRIVE_KIND1);
    EXPECT_EQ(picked[1].type, SC_DEVICE_TYPE_LOGICAL_DRIVE);
    EXPECT_EQ(picked[1].index, 40);
    EXPECT_EQ(picked[1].address[4], 40);
    EXPECT_EQ(picked[1].address[8], 0x40);
}

TEST(HostTransport, ScsiGenericPathAndObserver)
{
    Host host(Scenario::FromText(R"({"controllers": [{"driver": "hpsa", "sg": 0,
    "disks": [{"sg": 3, "address": "0:0:0", "type": 0, "vendor": "SGDISK"}]}]})"));
    OwnedDescriptor d(MakeController("/dev/sg3", SC_PROTOCOL_SCSI));
    static int observed = 0;
    observed = 0;
    SC_SetSCSICommandCallback([](_SCSIRequest*) { ++observed; });
    uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0};
    uint8_t inquiry[36] = {0};
    _SCSIRequest r = ScsiRead(cdb, 6, inquiry, sizeof(inquiry));
    EXPECT_EQ(SC_ExecuteSCSICommand(d.d, &r), 0);
    SC_SetSCSICommandCallback(nullptr);
    EXPECT_EQ(observed, 1);
    EXPECT_EQ(std::string((const char*)inquiry + 8, 6), "SGDISK");
    std::vector<CommandRecord> cmds = host.Commands(0);
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds.back().ioctl, "sg_io");
    EXPECT_EQ(cmds.back().node, "/dev/sg3");
}

TEST(HostTransport, ResetRequest)
{
    Host host(Scenario::FromText(kThree));
    OwnedDescriptor sis(DescriptorOf(host, "sis"));
    OwnedDescriptor ciss(DescriptorOf(host, "ciss"));
    host.ClearCommands();
    EXPECT_EQ(SC_SendResetControllerCommand(sis.d, 3), 0);
    std::vector<CommandRecord> cmds = host.Commands(host.FindController("sis"));
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].ioctl, "reset");
    EXPECT_EQ(cmds[0].reset_type, 3);
    EXPECT_EQ(SC_SendResetControllerCommand(ciss.d, 3), 1);  // the CISS driver does not know it
}
