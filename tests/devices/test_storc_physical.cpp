// The storage core's physical device side against the emulated host: the device table from the
// extended LUN report (capacity, bad reports), device types, drive texts, the two-step INQUIRY,
// commands to devices on the CISS and SIS paths, pause and resume; and the pure pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices_support.h"
#include "emu_fixture.h"
#include "storc_physical.h"
#include "TestRequests.h"

using namespace devices_test;
using zev::emu::CommandRecord;
using zev::emu::Fault;

namespace {

// The storage core's one-controller fixture; every test starts from a controller that initialised.
class PhysicalDevices : public storc_test::EmulatedController {
protected:
    void Start(const Scenario& s)
    {
        EmulatedController::Start(s);
        ASSERT_EQ(m_status, SA_CDA_STATUS_SUCCESS);
        m_host->ClearCommands();
    }

    std::vector<uint16_t> Walk(uint16_t (*next)(SA_CDA*, uint16_t))
    {
        std::vector<uint16_t> out;
        for (uint16_t i = next(m_cda, 0xFFFF); i != 0xFFFF && out.size() < 1000; i = next(m_cda, i)) out.push_back(i);
        return out;
    }

    // Commands that reached one of the disks (directly or wrapped), with the CDB that got there.
    std::vector<Bytes> DiskCdbs(const std::string& disk)
    {
        std::vector<Bytes> out;
        for (const CommandRecord& c : m_host->Commands(0)) {
            if (c.target == disk)
                out.push_back(c.cdb);
            else if (!c.inner_cdb.empty() && c.target == "controller" && !c.inner_lun.empty())
                out.push_back(c.inner_cdb);
        }
        return out;
    }
};

TEST(PhysicalPure, DeviceTypeBytes)
{
    const std::pair<uint8_t, uint8_t> table[] = {{0, 0}, {1, 0}, {2, 0}, {3, 0},   {4, 0},     {9, 0},     {5, 1},
                                                 {6, 2}, {7, 3}, {8, 4}, {255, 5}, {10, 0xFF}, {13, 0xFF}, {254, 0xFF}};
    for (const auto& row : table) EXPECT_EQ(saPhysicalTypeFromByte(row.first), row.second) << int(row.first);
}

TEST(PhysicalPure, LocationFormats)
{
    Bytes reply = IdentifyPhysicalReply({7, 0, 2, 11, "1I", "V", "M", "S", "F", 0});
    char text[50];
    const std::pair<uint8_t, const char*> table[] = {
        {1, "1I:2:11"}, {2, "Port 1I Box 2 Bay 11"}, {3, "2:11"}, {4, "Port:1I Box:2 Bay:11"}, {0, ""}, {9, ""}};
    for (const auto& row : table) {
        std::memset(text, 'x', sizeof(text));
        EXPECT_STREQ(saFormatPhysicalLocation(reply.data(), row.first, text, sizeof(text)), row.second);
    }
    // Cut to the destination, always terminated.
    char small[6];
    EXPECT_STREQ(saFormatPhysicalLocation(reply.data(), 4, small, sizeof(small)), "Port:");
    EXPECT_STREQ(saFormatPhysicalLocation(nullptr, 4, text, sizeof(text)), "");
}

TEST(PhysicalPure, BackgroundActivityRequests)
{
    _BMICRequest r;
    std::memset(&r, 0xAB, sizeof(r));
    saBuildBackgroundActivityRequest(&r, BMIC_PAUSE_BACKGROUND_ACTIVITY, 1);
    EXPECT_EQ(zevtest::val(r.direction), uint32_t(SC_TRANSFER_NONE));
    EXPECT_EQ(zevtest::val(r.command), 0x98);
    EXPECT_EQ(zevtest::val(r.address), 1u);
    EXPECT_EQ(zevtest::val(r.dataLength), 0u);
    EXPECT_EQ(zevtest::val(r.data), nullptr);
    EXPECT_EQ(zevtest::val(r.sense), nullptr);
    EXPECT_EQ(zevtest::val(r.transferLength), 0u);
}

TEST_F(PhysicalDevices, TableFromTheReport)
{
    Start(StandardController());
    EXPECT_EQ(Walk(SA_EnumerateControllerPhysicalDevices), (std::vector<uint16_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(Walk(SA_EnumerateControllerPhysicalDrives), (std::vector<uint16_t>{0, 1}));
    // The report was read once for all of it.
    size_t reports = 0;
    for (const CommandRecord& c : m_host->Commands(0)) reports += !c.cdb.empty() && c.cdb[0] == 0xC3;
    EXPECT_EQ(reports, 1u);
    EXPECT_EQ(SA_EnumerateControllerPhysicalDevices(m_cda, 5), 0xFFFF);
    EXPECT_EQ(SA_EnumerateControllerPhysicalDevices(m_cda, 383), 0xFFFF);
    EXPECT_EQ(SA_EnumerateControllerPhysicalDevices(m_cda, 0xFFFE), 0xFFFF);
    EXPECT_EQ(SA_EnumerateControllerPhysicalDevices(nullptr, 0xFFFF), 0xFFFF);

    const uint8_t types[] = {0, 0, 2, 2, 1, 3};
    for (uint16_t i = 0; i < 6; ++i) EXPECT_EQ(SA_PhysicalDeviceType(m_cda, i), types[i]) << i;
    EXPECT_EQ(SA_PhysicalDeviceType(m_cda, 6), 0xFF);    // nothing there
    EXPECT_EQ(SA_PhysicalDeviceType(m_cda, 384), 0xFF);  // beyond the table
}

TEST_F(PhysicalDevices, ControllerWithoutDevices)
{
    Start(ControllerWith("hpsa", "[]", false));
    EXPECT_EQ(SA_EnumerateControllerPhysicalDevices(m_cda, 0xFFFF), 0xFFFF);
    EXPECT_EQ(SA_EnumerateControllerPhysicalDrives(m_cda, 0xFFFF), 0xFFFF);
    EXPECT_EQ(SA_CanSendPhysicalDeviceSCSICommand(m_cda, 0), 0);
    EXPECT_EQ(SA_GetPhysicalDeviceStorageEnclosureNumber(m_cda, 0), 0xFFFF);
    char text[20];
    EXPECT_STREQ(SA_GetPhysicalDriveModel(m_cda, 0, text, sizeof(text)), "");
}

TEST_F(PhysicalDevices, ReportWithMoreEntriesThanTheTableHolds)
{
    Scenario s = ControllerWith("hpsa", "[]", false);
    std::vector<uint16_t> indices;
    for (uint16_t i = 0; i < 400; ++i) indices.push_back(static_cast<uint16_t>(399 - i));  // highest first
    indices.push_back(7);  // a second entry for an index already taken
    AddPhysicalReport(s, 0, PhysicalReport(static_cast<uint32_t>(indices.size()), indices));
    Start(s);
    std::vector<uint16_t> walked = Walk(SA_EnumerateControllerPhysicalDrives);
    ASSERT_EQ(walked.size(), 384u);
    EXPECT_EQ(walked.front(), 0);
    EXPECT_EQ(walked.back(), 383);
    for (const SA_PhysicalDeviceRecord& r : m_cda->physical_devices) EXPECT_NE(r.block, nullptr);
    // The record past the table's end is the logical drive table's first one: untouched.
    EXPECT_EQ(m_cda->logical_drives[0].block, nullptr);
    EXPECT_EQ(SA_CanSendPhysicalDeviceSCSICommand(m_cda, 383), 1);
    EXPECT_EQ(SA_CanSendPhysicalDeviceSCSICommand(m_cda, 384), 0);
}

TEST_F(PhysicalDevices, ReportLengthClaimingMoreThanTheReplyHolds)
{
    Scenario s = ControllerWith("hpsa", "[]", false);
    AddPhysicalReport(s, 0, PhysicalReport(500, {4, 9}));  // 500 entries claimed, two present
    Start(s);
    EXPECT_EQ(Walk(SA_EnumerateControllerPhysicalDevices), (std::vector<uint16_t>{4, 9}));
}

TEST_F(PhysicalDevices, UnreadableReportIsAskedAgain)
{
    Scenario s = StandardController();
    Fault f;
    f.match.cdb_prefix = Bytes{0xC3};
    f.err = 5;
    f.times = 1;
    s.controllers[0].faults.push_back(f);
    Start(s);
    EXPECT_EQ(SA_EnumerateControllerPhysicalDevices(m_cda, 0xFFFF), 0xFFFF);
    EXPECT_EQ(SA_EnumerateControllerPhysicalDevices(m_cda, 0xFFFF), 0);
}

TEST_F(PhysicalDevices, DriveTextsFromIdentify)
{
    Start(StandardController());
    char fw[20], model[80], serial[80], vendor[20], location[50];
    EXPECT_STREQ(SA_GetPhysicalDriveFirmwareVersion(m_cda, 0, fw, sizeof(fw)), "FW01");
    EXPECT_STREQ(SA_GetPhysicalDriveModel(m_cda, 0, model, sizeof(model)), "ZD 1TB SAS");
    EXPECT_STREQ(SA_GetPhysicalDriveSerialNumber(m_cda, 0, serial, sizeof(serial)), "IDSER0000");
    EXPECT_STREQ(SA_GetPhysicalDriveVendorID(m_cda, 0, vendor, sizeof(vendor)), "IDVEND");
    EXPECT_STREQ(SA_GetPhysicalDriveLocation(m_cda, 1, 4, location, sizeof(location)), "Port:1I Box:1 Bay:4");
    EXPECT_EQ(SA_GetPhysicalDeviceStorageEnclosureNumber(m_cda, 3), 1);
    EXPECT_EQ(SA_GetPhysicalDeviceStorageEnclosureNumber(m_cda, 4), 0xFFFF);
    EXPECT_EQ(SA_GetPhysicalDriveBasicInfo(m_cda, 0), 0x18u);
    char small[4];
    EXPECT_STREQ(SA_GetPhysicalDriveModel(m_cda, 0, small, sizeof(small)), "ZD ");

    // Read once per device: all of the above sent one identify to devices 0, 1, 3 and 4 each.
    std::vector<uint16_t> identified;
    for (const CommandRecord& c : m_host->Commands(0))
        if (c.bmic().is_bmic && c.bmic().command == BMIC_IDENTIFY_PHYSICAL_DEVICE) identified.push_back(c.bmic().index);
    EXPECT_EQ(identified, (std::vector<uint16_t>{0, 1, 3, 4}));
}

TEST_F(PhysicalDevices, RejectedIdentifyLeavesNothingToRead)
{
    // The firmware rejects the identify reads (CHECK CONDITION).
    Scenario s = ControllerWith("hpsa", StandardDisks(), false);
    for (auto& disk : s.controllers[0].disks) disk.identify = false;
    Start(s);
    char model[80];
    EXPECT_STREQ(SA_GetPhysicalDriveModel(m_cda, 0, model, sizeof(model)), "");
    EXPECT_EQ(SA_PhysicalDeviceType(m_cda, 0), 0xFF);
    EXPECT_EQ(SA_GetPhysicalDeviceStorageEnclosureNumber(m_cda, 0), 0xFFFF);
    EXPECT_EQ(SA_GetPhysicalDriveBasicInfo(m_cda, 0), 0u);
    // Still a device: it takes commands.
    EXPECT_EQ(SA_CanSendPhysicalDeviceSCSICommand(m_cda, 0), 1);
}

TEST_F(PhysicalDevices, StandardInquiryInTwoSteps)
{
    for (const char* driver : {"hpsa", "aacraid", "smartpqi"}) {
        SCOPED_TRACE(driver);
        Start(StandardController(driver));
        uint8_t data[68];
        std::memset(data, 0xEE, sizeof(data));
        ASSERT_EQ(SA_PhysicalDriveStandardInquiryData(m_cda, 1, data, sizeof(data)), 1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 8), "ZEVSSD  ");
        EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 16), 16), "ZS 480G         ");
        EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 32), 4), "A2B3");
        std::vector<Bytes> cdbs = DiskCdbs("disk1");
        ASSERT_EQ(cdbs.size(), 2u);
        EXPECT_EQ(cdbs[0], (Bytes{0x12, 0, 0, 0, 5, 0}));
        EXPECT_EQ(cdbs[1][0], 0x12);
        EXPECT_EQ(cdbs[1][4], 36);  // min(68, additional length + 5): the disk has 36 bytes

        // A buffer smaller than the device's data gets what fits.
        uint8_t shortBuf[10];
        ASSERT_EQ(SA_PhysicalDriveStandardInquiryData(m_cda, 1, shortBuf, sizeof(shortBuf)), 1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(shortBuf + 8), 2), "ZE");
    }
}

TEST_F(PhysicalDevices, FailedInquiry)
{
    Scenario s = StandardController();
    // The first step passes, the second is rejected; then the second fails in the transport.
    s.controllers[0].faults = {SecondOnly(DiskSenseFault(0x12, Sense(0x05, 0x24))),
                               SecondOnly(DiskErrnoFault(0x12, 5))};
    Start(s);
    uint8_t data[68];
    EXPECT_EQ(SA_PhysicalDriveStandardInquiryData(m_cda, 0, data, sizeof(data)), 0);
    EXPECT_EQ(data[8], 0);  // nothing partial is left
    EXPECT_EQ(SA_PhysicalDriveStandardInquiryData(m_cda, 0, data, sizeof(data)), 0);
    EXPECT_EQ(SA_PhysicalDriveStandardInquiryData(m_cda, 0, data, sizeof(data)), 1);
    EXPECT_EQ(SA_PhysicalDriveStandardInquiryData(m_cda, 6, data, sizeof(data)), 0);  // no such device
}

TEST_F(PhysicalDevices, LentSenseBufferIsTakenBack)
{
    Scenario s = StandardController();
    s.controllers[0].faults.push_back(DiskSenseFault(0x00, Sense(0x02, 0x04, 0x01)));
    Start(s);
    uint8_t tur[6] = {0};
    _SCSIRequest r = zevtest::cdbRequest<_SCSIRequest>(SC_TRANSFER_NONE, tur, sizeof(tur), nullptr, 0);
    EXPECT_EQ(SA_SendPhysicalDeviceSCSICommand(m_cda, 0, &r), 1);
    EXPECT_EQ(zevtest::val(r.scsiStatus), 2);
    EXPECT_EQ(zevtest::val(r.sense), nullptr);
    EXPECT_EQ(zevtest::val(r.senseSize), 0u);

    uint8_t sense[32] = {0};
    r.sense = sense;
    r.senseSize = sizeof(sense);
    EXPECT_EQ(SA_SendPhysicalDeviceSCSICommand(m_cda, 0, &r), 1);
    EXPECT_EQ(zevtest::val(r.sense), static_cast<void*>(sense));
    EXPECT_EQ(sense[2], 0x02);
    EXPECT_EQ(sense[12], 0x04);

    EXPECT_EQ(SA_SendPhysicalDeviceSCSICommand(m_cda, 0, nullptr), 0);
    EXPECT_EQ(SA_SendPhysicalDeviceSCSICommand(m_cda, 9, &r), 0);
}

TEST_F(PhysicalDevices, PauseAndResume)
{
    Scenario s = StandardController();
    Fault pause, resume;
    pause.match.bmic = 0x98;
    pause.scsi_status = 2;
    pause.sense = Sense(0x05, 0x20);
    resume.match.bmic = 0x99;
    resume.err = 5;
    s.controllers[0].faults = {SecondOnly(pause), SecondOnly(resume)};
    Start(s);
    EXPECT_EQ(SA_ControllerPauseBackgroundActivity(m_cda, 1), 1);
    EXPECT_EQ(SA_ControllerResumeBackgroundActivity(m_cda), 1);
    EXPECT_EQ(SA_ControllerPauseBackgroundActivity(m_cda, 1), 0);  // rejected by the controller
    EXPECT_EQ(SA_ControllerResumeBackgroundActivity(m_cda), 0);    // never reached it
    EXPECT_EQ(SA_ControllerPauseBackgroundActivity(nullptr, 1), 0);
    std::vector<CommandRecord> cmds = m_host->Commands(0);
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ(cmds[0].cdb, (Bytes{0x27, 0, 0, 0, 0, 1, 0x98, 0, 0, 0}));
    EXPECT_EQ(cmds[1].cdb, (Bytes{0x27, 0, 0, 0, 0, 0, 0x99, 0, 0, 0}));
    EXPECT_EQ(cmds[0].data_length, 0u);
}

TEST_F(PhysicalDevices, IdentityFromTheEmulatedFirmware)
{
    // No canned replies: the emulated firmware builds the identify physical device replies itself.
    Scenario s = Scenario::FromFile(std::string(ZEV_EMU_SCENARIO_DIR) + "/devices.json");
    s.controllers.resize(1);
    s.controllers[0].disks[3].identify = false;
    Start(s);
    char text[80];
    EXPECT_STREQ(SA_GetPhysicalDriveModel(m_cda, 0, text, sizeof(text)), "ZD 1TB");
    EXPECT_STREQ(SA_GetPhysicalDriveSerialNumber(m_cda, 1, text, sizeof(text)), "DSK0000002");
    EXPECT_STREQ(SA_GetPhysicalDriveFirmwareVersion(m_cda, 1, text, sizeof(text)), "A2B3");
    EXPECT_STREQ(SA_GetPhysicalDriveLocation(m_cda, 1, 1, text, sizeof(text)), "1I:1:2");
    EXPECT_EQ(SA_GetPhysicalDriveBasicInfo(m_cda, 1), 0x18u);
    EXPECT_EQ(SA_GetPhysicalDeviceStorageEnclosureNumber(m_cda, 4), 0xFFFF);
    const uint8_t types[] = {0, 0, 2, 0xFF, 1, 3};  // device 3 does not identify
    for (uint16_t i = 0; i < 6; ++i) EXPECT_EQ(SA_PhysicalDeviceType(m_cda, i), types[i]) << i;

    EXPECT_FALSE(m_host->BackgroundPaused(0));
    EXPECT_EQ(SA_ControllerPauseBackgroundActivity(m_cda, 1), 1);
    EXPECT_TRUE(m_host->BackgroundPaused(0));
    EXPECT_EQ(SA_ControllerResumeBackgroundActivity(m_cda), 1);
    EXPECT_FALSE(m_host->BackgroundPaused(0));
}

TEST_F(PhysicalDevices, TableReleasedAndRebuiltOnReinitialisation)
{
    Start(StandardController());
    ASSERT_EQ(SA_EnumerateControllerPhysicalDevices(m_cda, 0xFFFF), 0);
    ASSERT_NE(m_cda->physical_devices[3].block, nullptr);
    ASSERT_EQ(SA_ReInitializeCDA(m_cda), SA_CDA_STATUS_SUCCESS);
    EXPECT_EQ(m_cda->physical_devices[3].block, nullptr);
    EXPECT_EQ(Walk(SA_EnumerateControllerPhysicalDevices).size(), 6u);
}

TEST_F(PhysicalDevices, DeviceListsByIndex)
{
    Start(StandardController());
    const uint16_t wanted[] = {1, 0, 77};
    SC_DescriptorList* drives = SC_CreatePhysicalDriveDescriptorList(m_cda->device_descriptor, wanted, 3);
    std::vector<std::pair<uint16_t, uint16_t>> got;  // (type code, index)
    std::vector<uint8_t> flags;
    SC_DeviceListIterator* it = SC_CreateDeviceListIterator(drives);
    for (; !SC_IsDeviceListIteratorEnd(it); SC_MoveDeviceListIteratorNext(it)) {
        uint8_t type[2], index[2], address[16];
        SC_GetDeviceSystemProperty(SC_GetDeviceListItemAt(it), SC_PROPERTY_DEVICE_TYPE, type, 2);
        SC_GetDeviceSystemProperty(SC_GetDeviceListItemAt(it), SC_PROPERTY_DEVICE_INDEX, index, 2);
        SC_GetDeviceSystemProperty(SC_GetDeviceListItemAt(it), SC_PROPERTY_PROTOCOL_ADDRESS, address, 16);
        got.emplace_back(SC_GetLE16(type), SC_GetLE16(index));
        flags.push_back(address[3]);
    }
    SC_DestroyDeviceListIterator(it);
    SC_DestroyDeviceDescriptorList(drives);
    EXPECT_EQ(got, (std::vector<std::pair<uint16_t, uint16_t>>{{3, 1}, {2, 0}, {1, 77}}));
    EXPECT_EQ(flags, (std::vector<uint8_t>{3, 3, 2}));

    SC_DeviceDescriptor* single = SC_CreateSingleLogicalDeviceDescriptor(m_cda->device_descriptor, 0x0102);
    ASSERT_NE(single, nullptr);
    uint8_t address[16];
    ASSERT_EQ(SC_GetDeviceSystemProperty(single, SC_PROPERTY_PROTOCOL_ADDRESS, address, 16), 0);
    EXPECT_EQ(address[3], 5);
    EXPECT_EQ(address[4], 0x02);
    EXPECT_EQ(address[5], 0x01);
    EXPECT_EQ(address[8], 0x40);
    SC_DestroyDeviceDescriptor(single);
}

}  // namespace
