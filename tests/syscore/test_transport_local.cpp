// Transport failure paths that need no emulated controller: missing nodes, undecodable descriptors,
// and a node that knows none of the requests (/dev/null answers every ioctl with ENOTTY).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "SyscoreTestSupport.h"

namespace {

int g_observed = 0;
_SCSIRequest* g_observedRequest = nullptr;
void Observer(_SCSIRequest* r)
{
    ++g_observed;
    g_observedRequest = r;
}
}  // namespace

TEST(CanExecute, FollowsTheCommandFlag)
{
    OwnedDescriptor yes(MakeController("/dev/sg0", SC_PROTOCOL_CISS, 1));
    OwnedDescriptor no(MakeController("/dev/sg0", SC_PROTOCOL_CISS, 2));
    uint8_t proto[2] = {0, 0};
    SC_DescriptorProperty bare[] = {{SC_PROPERTY_PROTOCOL, 2, proto}};
    OwnedDescriptor undecodable(SC_BuildDeviceDescriptor(bare, 1));
    LogCapture capture(1);
    EXPECT_EQ(SC_CanExecuteBMICCommand(yes.d), 1);
    EXPECT_EQ(SC_CanExecuteSCSICommand(yes.d), 1);
    EXPECT_EQ(SC_CanExecuteBMICCommand(no.d), 2);
    EXPECT_EQ(SC_CanExecuteSCSICommand(no.d), 2);
    EXPECT_TRUE(LogCapture::Lines().empty());
    EXPECT_EQ(SC_CanExecuteBMICCommand(undecodable.d), 2);
    EXPECT_TRUE(LogCapture::Lines().empty());
    EXPECT_EQ(SC_CanExecuteSCSICommand(undecodable.d), 2);
    EXPECT_EQ(LogCapture::At(1), "Unable to obtain protocol info.\n");
    EXPECT_EQ(SC_CanExecuteATACommand(yes.d), 2);
    EXPECT_EQ(SC_CanExecuteNVMECommand(yes.d), 2);
    EXPECT_EQ(SC_CanExecuteIORequest(yes.d), 1);
}

TEST(Transport, MissingNodeGivesErrnoAndNoTrace)
{
    LogCapture capture(3);
    for (uint16_t protocol : {SC_PROTOCOL_CISS, SC_PROTOCOL_SIS, SC_PROTOCOL_PQI}) {
        OwnedDescriptor d(MakeController("/nonexistent-zev/sg9", protocol));
        uint8_t data[16];
        _BMICRequest r = BmicRead(0x11, data, sizeof(data));
        r.scsiStatus = 0x55;
        EXPECT_EQ(SC_ExecuteBMICCommand(d.d, &r), 1);
        EXPECT_EQ(val(r.lowLevelStatus), (uint32_t)ENOENT);
        EXPECT_EQ(val(r.lowLevelStatus), 2u);
        EXPECT_EQ(val(r.scsiStatus), 0x55);
    }
    EXPECT_TRUE(LogCapture::Lines().empty());
}

TEST(Transport, UndecodableDescriptorLeavesTheRecordAlone)
{
    uint8_t proto[2] = {0, 0};
    SC_DescriptorProperty bare[] = {{SC_PROPERTY_PROTOCOL, 2, proto}};
    OwnedDescriptor d(SC_BuildDeviceDescriptor(bare, 1));
    LogCapture capture(1);
    _BMICRequest b = BmicRead(0x11, nullptr, 0);
    b.lowLevelStatus = 77;
    EXPECT_EQ(SC_ExecuteBMICCommand(d.d, &b), 1);
    EXPECT_EQ(val(b.lowLevelStatus), 77u);
    EXPECT_EQ(SC_ExecuteBMICCommand(nullptr, &b), 1);
    EXPECT_TRUE(LogCapture::Lines().empty());

    g_observed = 0;
    SC_SetSCSICommandCallback(Observer);
    uint8_t cdb[6] = {0};
    _SCSIRequest s = zevtest::cdbRequest<_SCSIRequest>(0, cdb, 6, nullptr, 0);
    s.lowLevelStatus = 77;
    EXPECT_EQ(SC_ExecuteSCSICommand(d.d, &s), 1);
    SC_SetSCSICommandCallback(nullptr);
    EXPECT_EQ(val(s.lowLevelStatus), 77u);
    EXPECT_EQ(LogCapture::At(1), "Unable to decode protocol type, protocol address, or device node\n");
    EXPECT_EQ(g_observed, 1);  // the observer sees failures too
    EXPECT_EQ(g_observedRequest, &s);
}

TEST(Transport, FailedIoctlPerProtocol)
{
    struct Case {
        uint16_t protocol;
        uint32_t status;
        const char* name;
    } cases[] = {
        {SC_PROTOCOL_CISS, ENOTTY, "CISS"},
        {SC_PROTOCOL_PQI, ENOTTY, "PQI"},
        {SC_PROTOCOL_SIS, SC_SIS_STATUS_NOT_SUPPORTED, "SIS"},
        {SC_PROTOCOL_CSMI, 1, "CSMI"},
        {SC_PROTOCOL_SCSI, ENOTTY, "SCSI"},
    };
    for (const auto& c : cases) {
        OwnedDescriptor d(MakeController("/dev/null", c.protocol));
        LogCapture capture(3);
        uint8_t data[64] = {0};
        uint8_t sense[32];
        _BMICRequest r = WithSense(BmicRead(0x11, data, sizeof(data)), sense);
        r.commandStatus = 0x1234;
        r.scsiStatus = 0x56;
        EXPECT_EQ(SC_ExecuteBMICCommand(d.d, &r), 1) << c.name;
        EXPECT_EQ(val(r.lowLevelStatus), c.status) << c.name;
        // A failed ioctl writes no output field.
        EXPECT_EQ(val(r.commandStatus), 0x1234) << c.name;
        EXPECT_EQ(val(r.scsiStatus), 0x56) << c.name;
        EXPECT_EQ(sense[0], 0xEE) << c.name;
        EXPECT_EQ(LogCapture::Only().first, 1) << c.name;
        const std::string t = LogCapture::Only().second;
        EXPECT_EQ(t.rfind("__SendSCSICommand (rtn:" + std::to_string(c.status) + ")\n", 0), 0u) << t;
        EXPECT_NE(t.find(std::string("  Protocol Type                    : ") + c.name + "\n"), std::string::npos);
        EXPECT_NE(t.find("  CDB:10                           : [26,00,00,00,00,00,11,00,40,00,00,00,00,00,00,00]\n"),
                  std::string::npos)
            << t;
    }
}

TEST(Transport, ProtocolsWithoutPathSendNothing)
{
    for (uint16_t protocol : {(uint16_t)SC_PROTOCOL_NHPSA, (uint16_t)SC_PROTOCOL_NPQI, (uint16_t)42}) {
        OwnedDescriptor d(MakeController("/dev/null", protocol));
        LogCapture capture(3);
        _BMICRequest r = BmicRead(0x11, nullptr, 0);
        r.lowLevelStatus = 99;
        EXPECT_EQ(SC_ExecuteBMICCommand(d.d, &r), 0);
        EXPECT_EQ(val(r.lowLevelStatus), 0u);
        EXPECT_EQ(LogCapture::Only().first, 3);
    }
}

TEST(Transport, SisRequestWithoutBufferIsNotSent)
{
    OwnedDescriptor d(MakeController("/dev/null", SC_PROTOCOL_SIS));
    _BMICRequest r = BmicRead(0x11, nullptr, 0);
    EXPECT_EQ(SC_ExecuteBMICCommand(d.d, &r), 1);
    EXPECT_EQ(val(r.lowLevelStatus), (uint32_t)SC_SIS_STATUS_NOT_SENT);
    // Direction none needs no buffer; the ioctl itself then fails on this node.
    r.direction = SC_TRANSFER_NONE;
    EXPECT_EQ(SC_ExecuteBMICCommand(d.d, &r), 1);
    EXPECT_EQ(val(r.lowLevelStatus), (uint32_t)SC_SIS_STATUS_NOT_SUPPORTED);
}

TEST(Transport, SisReportLogicalLunsUsesItsOwnOpcode)
{
    uint8_t data[64] = {0};
    for (uint16_t protocol : {SC_PROTOCOL_SIS, SC_PROTOCOL_CISS}) {
        OwnedDescriptor d(MakeController("/dev/null", protocol));
        uint8_t cdb[12] = {0xC2, 0x01, 0, 0, 0, 0, 0, 0, 0, 64, 0, 0};
        _SCSIRequest s = zevtest::cdbRequest<_SCSIRequest>(0, cdb, 12, data, sizeof(data));
        SC_ExecuteSCSICommand(d.d, &s);
        EXPECT_EQ(cdb[0], protocol == SC_PROTOCOL_SIS ? 0xC4 : 0xC2);
    }
}

TEST(Transport, LunReportsAndResetFailCleanly)
{
    OwnedDescriptor d(MakeController("/dev/null", SC_PROTOCOL_CISS));
    OwnedDescriptor missing(MakeController("/nonexistent-zev/sg1", SC_PROTOCOL_CISS));
    EXPECT_EQ(CISS_Report_PhysicalEx(d.d), nullptr);
    EXPECT_EQ(CISS_Report_LogicalEx(missing.d), nullptr);
    EXPECT_EQ(SC_SendResetControllerCommand(d.d, 1), 1);
    EXPECT_EQ(SC_SendResetControllerCommand(missing.d, 1), 1);
    SC_DescriptorList* list = SC_CreateAllLogicalDeviceDescriptorList(d.d);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->first, nullptr);
    SC_DestroyDeviceDescriptorList(list);
}
