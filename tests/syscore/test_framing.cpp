// Pure builders of the transport and discovery: CDBs, ioctl structures, trace text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "SyscoreTestSupport.h"
#include "sysc_linux_x86.h"

namespace {
std::vector<uint8_t> V(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

const auto Cmd = zevtest::cdbRequest<SC_Command>;

}  // namespace

TEST(BMICFraming, CdbTable)
{
    struct Case {
        uint32_t direction;
        uint8_t command;
        uint32_t address;
        uint16_t index;
        uint32_t dataLength;
        uint32_t transferLength;
        std::vector<uint8_t> cdb;
    } cases[] = {
        {SC_TRANSFER_READ, 0x11, 0, 0, 647, 0, {0x26, 0, 0, 0, 0, 0, 0x11, 0x02, 0x87, 0}},
        {SC_TRANSFER_READ, 0x11, 0, 0, 16, 0x200, {0x26, 0, 0, 0, 0, 0, 0x11, 0x02, 0x00, 0}},
        {SC_TRANSFER_WRITE, 0x40, 0, 0x0102, 0, 0, {0x27, 0x02, 0, 0, 0, 0, 0x40, 0, 0, 0x01}},
        {SC_TRANSFER_NONE, 0x66, 0xFFFF0000, 0, 0, 0, {0x27, 0, 0xFF, 0xFF, 0, 0, 0x66, 0, 0, 0}},
        {SC_TRANSFER_BIDIRECTIONAL,
         0x68,
         0x01020304,
         0xFFFF,
         0x12345,
         0,
         {0x27, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x68, 0x23, 0x45, 0xFF}},
    };
    for (const auto& c : cases) {
        _BMICRequest r = zevtest::bmicRequest<_BMICRequest>(c.direction, c.command, nullptr, c.dataLength);
        r.address = c.address;
        r.index = c.index;
        r.transferLength = c.transferLength;
        uint8_t cdb[10];
        scBuildBMICCDB(&r, cdb);
        EXPECT_EQ(V(cdb, 10), c.cdb) << std::hex << (int)c.command;
    }
}

TEST(CissPath, TimeoutDirectionAndSizeRules)
{
    EXPECT_EQ(scCissTimeout(0), 30u);
    EXPECT_EQ(scCissTimeout(29), 30u);
    EXPECT_EQ(scCissTimeout(30), 30u);
    EXPECT_EQ(scCissTimeout(600), 600u);
    EXPECT_EQ(scCissTimeout(1000), 600u);
    EXPECT_EQ(scCissDirection(SC_TRANSFER_WRITE, 1), 1);
    EXPECT_EQ(scCissDirection(SC_TRANSFER_BIDIRECTIONAL, 1), 3);
    EXPECT_EQ(scCissDirection(SC_TRANSFER_READ, 1), 2);
    EXPECT_EQ(scCissDirection(SC_TRANSFER_NONE, 1), 0);
    EXPECT_EQ(scCissDirection(1, 1), 0);
    EXPECT_EQ(scCissDirection(3, 1), 0);
    EXPECT_EQ(scCissDirection(SC_TRANSFER_READ, 0), 0);
    // The regular request's length field is 16 bits: 64 KiB and above go through the big one.
    EXPECT_FALSE(scCissUsesBigPassthru(65535));
    EXPECT_TRUE(scCissUsesBigPassthru(65536));
    EXPECT_TRUE(scCissUsesBigPassthru(127999));
    EXPECT_TRUE(scCissUsesBigPassthru(128000));
    EXPECT_EQ(scCissChunkSize(128000), 5120u);
    EXPECT_EQ(scCissChunkSize(31 * 1024), 1024u);  // already a multiple
    EXPECT_EQ(scCissChunkSize(65536), 3072u);
    // No more than 32 chunks are ever needed.
    for (uint32_t len : {65536u, 100000u, 127999u, 128000u, 1048576u, 16777216u})
        EXPECT_LE((len + scCissChunkSize(len) - 1) / scCissChunkSize(len), 32u) << len;
}

TEST(CissPath, PassthroughStructure)
{
    uint8_t address[16] = {0, 0, 0, 3, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
    uint8_t cdb[10] = {0x26, 0, 0, 0, 0, 0, 0x11, 0x02, 0x87, 0};
    std::vector<uint8_t> data(647);
    SC_Command c = Cmd(SC_TRANSFER_READ, cdb, 10, data.data(), 647);
    c.timeout = 0;
    IOCTL_Command_struct ioc;
    ASSERT_EQ(scBuildCissPassthru(&ioc, address, &c), 1);
    EXPECT_EQ(V(ioc.LUN_info.LunAddrBytes, 8), V(address + 4, 8));
    EXPECT_EQ(ioc.Request.CDBLen, 10);
    uint8_t typeByte;
    std::memcpy(&typeByte, &ioc.Request.Type, 1);
    EXPECT_EQ(typeByte, (2 << 6) | 0x20);
    EXPECT_EQ(ioc.Request.Timeout, 30);
    EXPECT_EQ(V(ioc.Request.CDB, 16),
              (std::vector<uint8_t>{0x26, 0, 0, 0, 0, 0, 0x11, 0x02, 0x87, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ioc.buf_size, 647);
    EXPECT_EQ((void*)ioc.buf, (void*)data.data());

    std::vector<uint8_t> big(128000);
    SC_Command w = Cmd(SC_TRANSFER_WRITE, cdb, 10, big.data(), 128000);
    w.timeout = 1000;
    BIG_IOCTL_Command_struct bioc;
    ASSERT_EQ(scBuildCissBigPassthru(&bioc, address, &w), 1);
    std::memcpy(&typeByte, &bioc.Request.Type, 1);
    EXPECT_EQ(typeByte, (1 << 6) | 0x20);
    EXPECT_EQ(bioc.Request.Timeout, 600);
    EXPECT_EQ(bioc.buf_size, 128000u);
    EXPECT_EQ(bioc.malloc_size, 5120u);

    uint8_t longCdb[17] = {0};
    SC_Command bad = Cmd(SC_TRANSFER_NONE, longCdb, 17, nullptr, 0);
    EXPECT_EQ(scBuildCissPassthru(&ioc, address, &bad), 0);
}

TEST(SisPath, RawSrbLayout)
{
    uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0};
    uint8_t data[36];
    SC_Command c = Cmd(SC_TRANSFER_READ, cdb, 6, data, sizeof(data));
    c.timeout = 99;
    uint8_t buffer[SC_SRB_BUFFER_SIZE];
    uint32_t size = 0;
    ASSERT_EQ(scBuildSisSrb(buffer, 1, 2, 3, &c, &size), 0u);
    EXPECT_EQ(size, 68u);
    const uint32_t expected[] = {0, 1, 2, 3, 0, 0x40, 68, 0, 6};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(SC_GetLE32(buffer + 4 * i), expected[i]) << "field " << i;
    EXPECT_EQ(V(buffer + 36, 16), (std::vector<uint8_t>{0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(SC_GetLE32(buffer + 52), 1u);
    EXPECT_EQ(SC_GetLE64(buffer + 56), (uint64_t)(uintptr_t)data);
    EXPECT_EQ(SC_GetLE32(buffer + 64), 36u);

    struct Flags {
        uint32_t direction;
        uint32_t flags;
    } flags[] = {{SC_TRANSFER_WRITE, 0x80}, {SC_TRANSFER_BIDIRECTIONAL, 0xC0}, {1, 0}, {3, 0}};
    for (const auto& f : flags) {
        SC_Command d = Cmd(f.direction, cdb, 6, data, sizeof(data));
        ASSERT_EQ(scBuildSisSrb(buffer, 0, 0, 0, &d, &size), 0u);
        EXPECT_EQ(SC_GetLE32(buffer + SC_SRB_FLAGS), f.flags);
        EXPECT_EQ(size, 68u);
    }
    SC_Command none = Cmd(SC_TRANSFER_NONE, cdb, 6, nullptr, 0);
    ASSERT_EQ(scBuildSisSrb(buffer, 0, 0, 0, &none, &size), 0u);
    EXPECT_EQ(size, 56u);
    EXPECT_EQ(SC_GetLE32(buffer + SC_SRB_COUNT), 56u);
    EXPECT_EQ(SC_GetLE32(buffer + SC_SRB_FLAGS), 0u);
}

TEST(SisPath, RequestsThatCannotBeSent)
{
    uint8_t cdb[17] = {0};
    uint8_t data[4];
    uint8_t buffer[SC_SRB_BUFFER_SIZE];
    uint32_t size = 0;
    SC_Command longCdb = Cmd(SC_TRANSFER_NONE, cdb, 17, nullptr, 0);
    SC_Command noBuffer = Cmd(SC_TRANSFER_READ, cdb, 6, nullptr, 4);
    SC_Command noLength = Cmd(SC_TRANSFER_WRITE, cdb, 6, data, 0);
    SC_Command oddNoBuffer = Cmd(1, cdb, 6, nullptr, 0);
    for (SC_Command* c : {&longCdb, &noBuffer, &noLength, &oddNoBuffer})
        EXPECT_EQ(scBuildSisSrb(buffer, 0, 0, 0, c, &size), (uint32_t)SC_SIS_STATUS_NOT_SENT);
}

TEST(SisPath, DirectOrWrapped)
{
    uint8_t controller[16] = {0, 1, 0, 1};
    EXPECT_TRUE(scSisUsesDirectRequest(controller));
    uint8_t behind[16] = {2, 5, 0, 3, 0, 0, 0, 0, 0, 0, 0x09, 0x00};
    EXPECT_FALSE(scSisUsesDirectRequest(behind));
    // A LUN address naming the controller's own bus and target goes direct.
    uint8_t own[16] = {2, 5, 0, 3, 0, 0, 0, 0x40, 0, 0, 5, 0x42};
    EXPECT_TRUE(scSisUsesDirectRequest(own));
    uint8_t logical[16] = {2, 5, 0, 5, 1, 0, 0, 0, 0x40, 0, 0, 0};
    EXPECT_FALSE(scSisUsesDirectRequest(logical));

    uint8_t cdb[16];
    scBuildSisWrapCDB(cdb, 0x0178);
    EXPECT_EQ(V(cdb, 16), (std::vector<uint8_t>{0x27, 0, 0, 0, 0, 0x18, 0x68, 0x01, 0x78, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SisPath, SspPassthroughStructure)
{
    uint8_t lun[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t cdb[6] = {0x0A, 0, 0, 1, 1, 0};
    uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    SC_Command c = Cmd(SC_TRANSFER_WRITE, cdb, 6, data, 4);
    uint32_t size = 0;
    uint8_t* s = scBuildSspPassthru(lun, &c, &size);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(size, 376u);
    EXPECT_EQ(SC_GetLE32(s + 0), 28u);
    EXPECT_EQ(SC_GetLE32(s + 12), 60u);
    EXPECT_EQ(SC_GetLE32(s + 16), 24u);
    EXPECT_EQ(SC_GetLE32(s + 24), 376u - 28u);
    EXPECT_EQ(V(s + 40, 8), V(lun, 8));
    EXPECT_EQ(s[48], 6);
    EXPECT_EQ(V(s + 52, 6), V(cdb, 6));
    EXPECT_EQ(SC_GetLE32(s + 68), 2u);
    EXPECT_EQ(SC_GetLE32(s + 96), 4u);
    EXPECT_EQ(V(s + 368, 4), V(data, 4));
    _SA_free(s, __FILE__, __LINE__);

    // Read: the data area is not filled from the caller's buffer.
    SC_Command r = Cmd(SC_TRANSFER_READ, cdb, 6, data, 4);
    s = scBuildSspPassthru(lun, &r, &size);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SC_GetLE32(s + 68), 1u);
    EXPECT_EQ(V(s + 368, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
    _SA_free(s, __FILE__, __LINE__);

    EXPECT_EQ(scSspFlags(SC_TRANSFER_BIDIRECTIONAL), 3u);
    EXPECT_EQ(scSspFlags(SC_TRANSFER_NONE), 4u);
    EXPECT_EQ(scSspFlags(1), 0u);
}

TEST(SgIoPath, DirectionAndTimeout)
{
    uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0};
    uint8_t data[36];
    SC_Command c = Cmd(SC_TRANSFER_READ, cdb, 6, data, 36);
    c.timeout = 20;
    sg_io_hdr_t h;
    struct D {
        uint32_t direction;
        int sg;
    } dirs[] = {{SC_TRANSFER_READ, SG_DXFER_FROM_DEV},
                {SC_TRANSFER_WRITE, SG_DXFER_TO_DEV},
                {SC_TRANSFER_BIDIRECTIONAL, SG_DXFER_TO_FROM_DEV},
                {SC_TRANSFER_NONE, SG_DXFER_NONE},
                {3, SG_DXFER_NONE}};
    for (const auto& d : dirs) {
        c.direction = d.direction;
        scBuildSgIoHdr(&h, &c);
        EXPECT_EQ(h.dxfer_direction, d.sg);
        EXPECT_EQ(h.interface_id, 'S');
        EXPECT_EQ(h.timeout, 20001u);
        EXPECT_EQ(h.mx_sb_len, 0);  // no sense buffer given
    }
}
TEST(Trace, FormatAndLevel)
{
    uint8_t cdb[10] = {0x26, 0, 0, 0, 0, 0, 0x11, 0x02, 0x87, 0};
    uint8_t data[20];
    for (int i = 0; i < 20; ++i) data[i] = (uint8_t)(0xA0 + i);
    uint8_t sense[3] = {0x70, 0, 0x05};
    SC_Command c = Cmd(SC_TRANSFER_READ, cdb, 10, data, 20);
    c.sense = sense;
    c.senseSize = 3;
    c.scsiStatus = 0;
    c.commandStatus = 0x0001;
    {
        LogCapture capture(3);
        scTraceCommand(SC_PROTOCOL_PQI, &c, 0);
        EXPECT_EQ(LogCapture::Only().first, 3);
        std::string expected =
            "__SendSCSICommand (rtn:0)\n"
            "  Transfer Direction               : 0\n"
            "  Protocol Type                    : PQI\n"
            "  CDB:10                           : [26,00,00,00,00,00,11,02,87,00,00,00,00,00,00,00]\n"
            "  I/O Buffer:20                    : [A0,A1,A2,A3,A4,A5,A6,A7,A8,A9,AA,AB,AC,AD,AE,AF,...]\n"
            "  Status                           : ScsiStatus/0x00, CommandStatus/0x0001\n"
            "  Sense Data:3                     : [70,00,05,00,00,00,00,00,00,00,00,00,00,00,00,00,"
            "00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00]\n";
        EXPECT_EQ(LogCapture::Only().second, expected);
    }
    {
        // A SCSI status or a low-level status lifts the entry to level 1.
        LogCapture capture(1);
        c.scsiStatus = 2;
        scTraceCommand(SC_PROTOCOL_CISS, &c, 0);
        c.scsiStatus = 0;
        scTraceCommand(SC_PROTOCOL_CISS, &c, 25);
        scTraceCommand(SC_PROTOCOL_CISS, &c, 0);
        ASSERT_EQ(LogCapture::Lines().size(), 2u);
        EXPECT_NE(LogCapture::Lines()[0].second.find("ScsiStatus/0x02"), std::string::npos);
        EXPECT_EQ(LogCapture::Lines()[1].second.rfind("__SendSCSICommand (rtn:25)\n", 0), 0u);
    }
    {
        LogCapture capture(3);
        SC_Command empty = Cmd(SC_TRANSFER_NONE, nullptr, 0, nullptr, 0);
        scTraceCommand(9, &empty, 0);
        const std::string& t = LogCapture::Lines().at(0).second;
        EXPECT_NE(t.find("  Protocol Type                    : Unknown\n"), std::string::npos);
        EXPECT_NE(
            t.find("  I/O Buffer:0                     : [00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,...]\n"),
            std::string::npos);
    }
}

TEST(DiscoveryHelpers, PciLocationPathsAndMajors)
{
    const uint8_t info[8] = {0x03, (2 << 3) | 1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(scPciLocationFromInfo(info), 0x030201u);
    const uint8_t high[8] = {0xFF, 0xFF};
    EXPECT_EQ(scPciLocationFromInfo(high), 0xFF1F07u);

    EXPECT_TRUE(scPathWithin("/sys/devices/pci0000:00/0000:03:00.0/host2/x", "/sys/devices/pci0000:00/0000:03:00.0"));
    EXPECT_TRUE(scPathWithin("/sys/devices/a", "/sys/devices/a"));
    EXPECT_FALSE(scPathWithin("/sys/devices/pci0000:00/0000:03:00.10/host2", "/sys/devices/pci0000:00/0000:03:00.1"));
    EXPECT_FALSE(scPathWithin("/sys/devices/b", "/sys/devices/a"));

    unsigned int major = 0;
    EXPECT_TRUE(scParseAacMajorLine("245 aac\n", &major));
    EXPECT_EQ(major, 245u);
    EXPECT_TRUE(scParseAacMajorLine(" 12 aacraid\n", &major));
    EXPECT_EQ(major, 12u);
    EXPECT_FALSE(scParseAacMajorLine("  4 tty\n", &major));
    EXPECT_FALSE(scParseAacMajorLine("Character devices: aac\n", &major));
}

TEST(DiscoveryHelpers, AdapterFib)
{
    uint8_t fib[SC_FIB_SIZE];
    std::memset(fib, 0xCC, sizeof(fib));
    scBuildAdapterFib(fib, SC_FIB_SUPPLEMENT_ADAPTER_INFO);
    EXPECT_EQ(SC_GetLE32(fib), 1u);
    EXPECT_EQ(SC_GetLE16(fib + 4), 706);
    EXPECT_EQ(fib[6], 4);
    EXPECT_EQ(SC_GetLE16(fib + 8), 4);
    EXPECT_EQ(SC_GetLE16(fib + 10), 512);
    EXPECT_EQ(SC_GetLE32(fib + 32), 0u);
    for (int i = 12; i < 512; ++i) ASSERT_EQ(fib[i], 0) << i;
    EXPECT_EQ(fib[512], 0xCC);  // only the first 512 bytes are prepared
}
