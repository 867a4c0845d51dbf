// Decoders of the storage core against replies built here, byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestDebugLog.h"
#include "TestRequests.h"
#include "storc.h"

namespace {

std::vector<uint8_t> Identify(uint32_t fixed_length)
{
    std::vector<uint8_t> id(SA_IDENTIFY_CONTROLLER_SIZE, 0);
    saPutLE32(id.data(), SA_ID_OFF_FIXED_LENGTH, fixed_length);
    return id;
}

// ---- Interface level ----

struct LevelCase {
    uint32_t fixed_length;
    uint8_t level_t206;
    uint8_t level_t207;
};

TEST(StorcIdentifyLevel, BoundariesWithBothParameterLengths)
{
    const LevelCase cases[] = {
        {0, 0, 0},   {275, 0, 0}, {276, 1, 1}, {289, 1, 1}, {290, 2, 2}, {291, 2, 2},
        {292, 3, 3}, {293, 4, 4}, {316, 4, 4}, {317, 4, 5}, {647, 4, 5}, {0xFFFFFFFF, 4, 5},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.level_t206, saIdentifyLevel(c.fixed_length, 206)) << "L=" << c.fixed_length;
        EXPECT_EQ(c.level_t207, saIdentifyLevel(c.fixed_length, 207)) << "L=" << c.fixed_length;
    }
    EXPECT_EQ(4, saIdentifyLevel(317, 0));
    EXPECT_EQ(5, saIdentifyLevel(317, 334));
}

// ---- Text conversions ----

struct TrimCase {
    std::string field;
    int skip, trim, any;
    std::string expected;
};

TEST(StorcConvertCharBuffer, FieldsToText)
{
    using namespace std::string_literals;
    const TrimCase cases[] = {
        {"AB      ", 1, 1, 1, "AB"},
        {"        ", 1, 1, 1, ""},
        {"\0BCDEFGH"s, 1, 1, 1, ""},
        {"  \0ABCDE"s, 1, 1, 1, ""},
        {"  CTRL 8i       ", 1, 1, 1, "CTRL 8i"},
        {"AB C\0\0\0\0"s, 1, 1, 1, "AB C"},
        {"AB  \0\0\0\0"s, 1, 0, 1, "AB  "},  // trailing blanks kept, zero bytes dropped
        {"  AB    ", 0, 1, 1, "  AB"},       // leading blanks kept
        {"AB-CD   ", 1, 1, 0, "AB"},         // strict: stops at the first non-alphanumeric
        {"AB\0CD   "s, 1, 1, 1, "AB"},       // inner zero ends the copy
        {"", 1, 1, 1, ""},
    };
    for (const auto& c : cases) {
        char out[40];
        std::memset(out, 'X', sizeof(out));
        __SA_ConvertCharBufferToString(c.field.data(), c.field.size(), out, sizeof(out), c.skip, c.trim, c.any);
        EXPECT_EQ(c.expected, std::string(out)) << "field [" << c.field << "]";
    }
}

TEST(StorcConvertCharBuffer, StopsWhenDestinationIsFull)
{
    char out[4];
    std::memset(out, 'X', sizeof(out));
    __SA_ConvertCharBufferToString("ABCDEFGH", 8, out, 3, 1, 1, 1);
    EXPECT_EQ(0, std::memcmp(out, "ABCX", 4));  // fills exactly 3 bytes, touches nothing after
    EXPECT_EQ(nullptr, __SA_ConvertCharBufferToString("AB", 2, nullptr, 8, 1, 1, 1));
}

TEST(StorcPrintablePrefix, SerialNumbers)
{
    struct Case {
        std::vector<uint8_t> field;
        std::string expected;
    };
    auto field = [](const std::string& text, std::initializer_list<uint8_t> tail = {}) {
        std::vector<uint8_t> f(text.begin(), text.end());
        f.insert(f.end(), tail);
        f.resize(SA_SSP_LEN_SERIAL_NUMBER, 0);
        return f;
    };
    const Case cases[] = {
        {field("SN0001  "), "SN0001  "},      {field("SN00", {0xC3, 'X'}), "SN00"},
        {field("SN00", {0x7F, 'X'}), "SN00"}, {field("SN00", {0x1F, 'X'}), "SN00"},
        {field(" ~!", {0x20}), " ~! "},       {field(std::string(32, 'Z')), std::string(32, 'Z')},
    };
    for (const auto& c : cases) {
        char out[100];
        std::memset(out, 'X', sizeof(out));
        saCopyPrintablePrefix(reinterpret_cast<const char*>(c.field.data()), c.field.size(), out, sizeof(out));
        EXPECT_EQ(c.expected, std::string(out));
    }
    char small[5];
    saCopyPrintablePrefix("ABCDEFGH", 8, small, sizeof(small));
    EXPECT_STREQ("ABCD", small);
}

TEST(StorcFirmwareRevision, FourCharactersUpToZero)
{
    auto id = Identify(300);
    std::memcpy(id.data() + SA_ID_OFF_FIRMWARE_REV, "1.98", 4);
    id[SA_ID_OFF_FIRMWARE_REV + 4] = 'Q';  // next field is not part of it
    char out[8];
    EXPECT_STREQ("1.98", saCopyFirmwareRevision(id.data(), out, sizeof(out)));
    id[SA_ID_OFF_FIRMWARE_REV + 3] = 0;
    EXPECT_STREQ("1.9", saCopyFirmwareRevision(id.data(), out, sizeof(out)));
    id[SA_ID_OFF_FIRMWARE_REV] = 0;
    EXPECT_STREQ("", saCopyFirmwareRevision(id.data(), out, sizeof(out)));
}

TEST(StorcUltoa, BasesAndLimits)
{
    char out[80];
    EXPECT_STREQ("0", SA_ultoa(0, out));
    EXPECT_STREQ("4294967295", SA_ultoa(4294967295ul, out));
    EXPECT_STREQ("18446744073709551615", SA_ultoa(~0ul, out));
    EXPECT_STREQ("FF", __SA_ultoa(255, out, 16));
    EXPECT_STREQ("101", __SA_ultoa(5, out, 2));
    EXPECT_STREQ("Z", __SA_ultoa(35, out, 36));
    EXPECT_STREQ("111", __SA_ultoa(3, out, 1));
    std::strcpy(out, "keep");
    EXPECT_STREQ("keep", __SA_ultoa(3, out, 0));
    EXPECT_EQ(nullptr, __SA_ultoa(3, nullptr, 10));
}

TEST(StorcPCILocation, DottedBytesMostSignificantFirst)
{
    char out[17];
    EXPECT_STREQ("0:4:0.0", saFormatPCILocation(4u << 16, out));
    EXPECT_STREQ("0:3:1.2", saFormatPCILocation((3u << 16) + (1u << 8) + 2, out));
    EXPECT_STREQ("255:255:255.255", saFormatPCILocation(0xFFFFFFFFu, out));
    EXPECT_STREQ("0:0:0.0", saFormatPCILocation(0, out));
}

// ---- Slot number ----

TEST(StorcSlotNumber, Rules)
{
    struct Case {
        const char* what;
        uint32_t fixed_length;
        bool valid;
        uint8_t old_slot;
        uint16_t new_slot;
        bool software_raid;
        bool descriptor_present;
        uint32_t descriptor_slot;
        size_t destination;
        const char* expected;
    };
    const Case cases[] = {
        {"old layout", 400, true, 3, 0, false, false, 0, 8, "3"},
        {"old unknown", 400, true, 0xFF, 0, false, false, 0, 8, "UNKNOWN"},
        {"old unknown, descriptor", 400, true, 0xFF, 0, false, true, 5, 8, "5"},
        {"software RAID slot 31", 400, true, 31, 0, true, false, 0, 8, "0b"},
        {"slot 31 not software RAID", 400, true, 31, 0, false, false, 0, 8, "31"},
        {"453 still old layout", 453, true, 7, 0x0102, false, false, 0, 8, "7"},
        {"new layout", 454, true, 7, 0x0102, false, false, 0, 8, "258"},
        {"new layout 0xFF is a slot", 454, true, 7, 0x00FF, false, false, 0, 8, "255"},
        {"new unknown", 454, true, 7, 0xFFFF, false, false, 0, 8, "UNKNOWN"},
        {"new unknown, descriptor", 454, true, 7, 0xFFFF, false, true, 12, 8, "12"},
        {"new layout software RAID", 454, true, 7, 31, true, false, 0, 8, "0b"},
        {"identify invalid", 400, false, 3, 0, false, false, 0, 8, "UNKNOWN"},
        {"identify invalid, descriptor", 400, false, 3, 0, true, true, 9, 8, "9"},
        {"identify invalid never 0b", 400, false, 31, 0, true, false, 0, 8, "UNKNOWN"},
        {"descriptor number too long", 400, true, 0xFF, 0, false, true, 4294967295u, 8, "UNKNOWN"},
        {"descriptor number fits", 400, true, 0xFF, 0, false, true, 4294967295u, 11, "4294967295"},
    };
    for (const auto& c : cases) {
        auto id = Identify(c.fixed_length);
        id[SA_ID_OFF_SLOT_OLD] = c.old_slot;
        saPutLE16(id.data(), SA_ID_OFF_SLOT_NEW, c.new_slot);
        SA_SlotInputs in = {};
        in.identify_valid = c.valid;
        in.identify = id.data();
        in.software_raid = c.software_raid;
        in.descriptor_slot_present = c.descriptor_present;
        in.descriptor_slot = c.descriptor_slot;
        std::vector<char> out(c.destination, 'X');
        saFormatSlot(in, out.data(), out.size());
        EXPECT_EQ(std::string(c.expected), std::string(out.data())) << c.what;
    }
}

// ---- PCI values ----

TEST(StorcPCIValue, KindsAndThresholds)
{
    struct Case {
        uint8_t kind;
        uint32_t threshold;
        uint32_t expected;
    };
    const Case cases[] = {
        {PCI_VALUE_VENDOR_DEVICE, 365, 0x1D5A5A3D},
        {PCI_VALUE_SUBSYSTEM_VENDOR_DEVICE, 369, 0x1D5BA1B2},
        {PCI_VALUE_MAX_LINK_RATE, 373, 0x08070605},
        {PCI_VALUE_MAX_LINK_WIDTH, 377, 0x0C0B0A09},
        {PCI_VALUE_GENERATION, 290, 3},
        {PCI_VALUE_LINK_WIDTH, 291, 8},
    };
    for (const auto& c : cases) {
        for (uint32_t length : {c.threshold, c.threshold + 1}) {
            auto id = Identify(length);
            saPutLE16(id.data(), SA_ID_OFF_PCI_DEVICE, 0x5A3D);
            saPutLE16(id.data(), SA_ID_OFF_PCI_VENDOR, 0x1D5A);
            saPutLE16(id.data(), SA_ID_OFF_PCI_SUB_DEVICE, 0xA1B2);
            saPutLE16(id.data(), SA_ID_OFF_PCI_SUB_VENDOR, 0x1D5B);
            saPutLE32(id.data(), SA_ID_OFF_PCI_MAX_LINK_RATE, 0x08070605);
            saPutLE32(id.data(), SA_ID_OFF_PCI_MAX_LINK_WIDTH, 0x0C0B0A09);
            id[SA_ID_OFF_PCI_GENERATION] = 3;
            id[SA_ID_OFF_PCI_LINK_WIDTH] = 8;
            uint32_t value = 77;
            const auto r = saDecodePCIValue(id.data(), c.kind, &value);
            if (length > c.threshold) {
                EXPECT_EQ(SA_PCI_VALUE_OK, r) << int(c.kind);
                EXPECT_EQ(c.expected, value) << int(c.kind);
            } else {
                EXPECT_EQ(SA_PCI_VALUE_NOT_REPORTED, r) << int(c.kind);
                EXPECT_EQ(0u, value);
            }
        }
    }
    auto id = Identify(647);
    uint32_t value = 77;
    EXPECT_EQ(SA_PCI_VALUE_INVALID_KIND, saDecodePCIValue(id.data(), 0, &value));
    EXPECT_EQ(SA_PCI_VALUE_INVALID_KIND, saDecodePCIValue(id.data(), 7, &value));
    EXPECT_EQ(0u, value);
}

// ---- Feature-page walk ----

// A sense-feature reply exactly 240 bytes long, so that a read past it is caught by the sanitizer.
class FeatureReply {
public:
    FeatureReply() : m_bytes(new uint8_t[SA_SENSE_FEATURE_REPLY_SIZE]()) {}
    FeatureReply& Page(uint8_t page, uint8_t subpage, std::vector<uint8_t> data, int claimed_length = -1)
    {
        const auto length = static_cast<uint16_t>(claimed_length < 0 ? static_cast<int>(data.size()) : claimed_length);
        const size_t need = 4 + data.size();
        if (m_used + need <= SA_SENSE_FEATURE_REPLY_SIZE - 4) {
            uint8_t* p = m_bytes.get() + 4 + m_used;
            p[0] = page;
            p[1] = subpage;
            saPutLE16(p, 2, length);
            if (!data.empty()) std::memcpy(p + 4, data.data(), data.size());
        }
        m_used += need;
        saPutLE16(m_bytes.get(), SA_SF_OFF_TOTAL_LENGTH, static_cast<uint16_t>(m_used));
        return *this;
    }
    FeatureReply& Total(uint16_t total)
    {
        saPutLE16(m_bytes.get(), SA_SF_OFF_TOTAL_LENGTH, total);
        return *this;
    }
    const uint8_t* data() const { return m_bytes.get(); }

private:
    std::unique_ptr<uint8_t[]> m_bytes;
    size_t m_used = 0;
};

struct Walked {
    uint8_t cache[SA_SENSE_FEATURE_CACHE_SIZE];
    SA_FeatureWalkResult result;
    explicit Walked(const FeatureReply& reply)
    {
        std::memset(cache, 0xAA, sizeof(cache));
        saWalkFeaturePages(reply.data(), cache, &result);
    }
    std::vector<uint8_t> Slot(unsigned slot) const
    {
        const auto& s = saFeatureSlots()[slot];
        return std::vector<uint8_t>(cache + s.offset, cache + s.offset + s.size);
    }
};

TEST(StorcFeatureWalk, SlotTableLookup)
{
    EXPECT_EQ(int(SA_SLOT_CACHE), saFindFeatureSlot(0x01, 0x01));
    EXPECT_EQ(int(SA_SLOT_ENCRYPTION), saFindFeatureSlot(0x07, 0x01));
    EXPECT_EQ(int(SA_SLOT_MISCELLANEOUS), saFindFeatureSlot(0x0C, 0x01));
    EXPECT_EQ(int(SA_SLOT_SET_CONTROLLER_PARAMS), saFindFeatureSlot(0x0E, 0x05));
    EXPECT_EQ(-1, saFindFeatureSlot(0x0E, 0x01));
    EXPECT_EQ(-1, saFindFeatureSlot(0x0F, 0x01));
    EXPECT_EQ(152u, saFeatureSlots()[SA_SLOT_SET_CONTROLLER_PARAMS].offset +
                        saFeatureSlots()[SA_SLOT_SET_CONTROLLER_PARAMS].size);
}

TEST(StorcFeatureWalk, KnownPagesAreCopiedWithTheirHeader)
{
    FeatureReply reply;
    reply.Page(0x07, 0x01, {0x01}).Page(0x0C, 0x01, {1, 2, 3, 0x02, 5}).Page(0x0A, 0x01, {0x01});
    Walked w(reply);
    EXPECT_EQ(0u, w.result.event_count);
    EXPECT_EQ(3u, w.result.pages_stored);
    EXPECT_EQ((std::vector<uint8_t>{0x07, 0x01, 1, 0, 0x01}), w.Slot(SA_SLOT_ENCRYPTION));
    EXPECT_EQ(0x02, saFeatureDataByte(w.cache, SA_SLOT_MISCELLANEOUS, 3));
    EXPECT_EQ(0x01, saFeatureDataByte(w.cache, SA_SLOT_SOFTWARE_RAID, 0));
    EXPECT_EQ(std::vector<uint8_t>(5, 0), w.Slot(SA_SLOT_CACHE));  // cache zeroed before the walk
}

TEST(StorcFeatureWalk, SilentUnknownAndOversizedPages)
{
    FeatureReply reply;
    reply.Page(0x0E, 0x01, {9, 9}).Page(0x0F, 0x01, {1}).Page(0x07, 0x01, {0x01, 0xEE, 0xEE}).Page(0x08, 0x01, {0x42});
    Walked w(reply);
    ASSERT_EQ(2u, w.result.event_count);
    EXPECT_EQ(SA_FEATURE_UNKNOWN_PAGE, w.result.events[0].kind);
    EXPECT_EQ(0x0F, w.result.events[0].page);
    EXPECT_EQ(0x01, w.result.events[0].subpage);
    EXPECT_EQ(SA_FEATURE_PAGE_TOO_LONG, w.result.events[1].kind);
    EXPECT_EQ(unsigned(SA_SLOT_ENCRYPTION), w.result.events[1].slot);
    EXPECT_EQ(3u, w.result.events[1].length);
    // Only the header and the first data byte fit; the next slot keeps its own page.
    EXPECT_EQ((std::vector<uint8_t>{0x07, 0x01, 3, 0, 0x01}), w.Slot(SA_SLOT_ENCRYPTION));
    EXPECT_EQ((std::vector<uint8_t>{0x08, 0x01, 1, 0, 0x42}), w.Slot(SA_SLOT_IO));
}

TEST(StorcFeatureWalk, StaysInsideTheReply)
{
    {  // pages fill all 236 bytes, the header claims 300: nothing after the reply is read
        FeatureReply reply;
        for (int i = 0; i < 10; ++i) reply.Page(0x0F, 0x02, std::vector<uint8_t>(16, 0));
        reply.Page(0x07, 0x01, {0x01});
        reply.Page(0x0C, 0x01, std::vector<uint8_t>(27, 0x02));
        reply.Total(300);
        Walked w(reply);
        ASSERT_EQ(12u, w.result.event_count);  // the total, ten unknown pages, one oversized
        EXPECT_EQ(SA_FEATURE_TOTAL_TOO_LONG, w.result.events[0].kind);
        EXPECT_EQ(300u, w.result.events[0].length);
        EXPECT_EQ(SA_FEATURE_UNKNOWN_PAGE, w.result.events[10].kind);
        EXPECT_EQ(SA_FEATURE_PAGE_TOO_LONG, w.result.events[11].kind);
        ASSERT_EQ(2u, w.result.pages_stored);
        EXPECT_EQ(0x01, saFeatureDataByte(w.cache, SA_SLOT_ENCRYPTION, 0));
    }
    {  // a page inside the claimed total but reaching past the reply is skipped
        FeatureReply reply;
        for (int i = 0; i < 10; ++i) reply.Page(0x0F, 0x02, std::vector<uint8_t>(16, 0));
        reply.Page(0x0C, 0x01, std::vector<uint8_t>(32, 0x02), 40);
        reply.Total(300);
        Walked w(reply);
        EXPECT_EQ(0u, w.result.pages_stored);
        EXPECT_EQ(std::vector<uint8_t>(9, 0), w.Slot(SA_SLOT_MISCELLANEOUS));
    }
}

TEST(StorcFeatureWalk, EndsOnShortRemainders)
{
    {  // four bytes left after a header-only page: the walk stops before them
        FeatureReply reply;
        reply.Page(0x01, 0x01, {}).Page(0x03, 0x01, {});
        Walked w(reply);
        EXPECT_EQ(1u, w.result.pages_stored);
        EXPECT_EQ((std::vector<uint8_t>{0x01, 0x01, 0, 0, 0}), w.Slot(SA_SLOT_CACHE));
        EXPECT_EQ(std::vector<uint8_t>(5, 0), w.Slot(SA_SLOT_BACKUP));
    }
    {  // a page longer than what is left is skipped without a lookup
        FeatureReply reply;
        reply.Page(0x07, 0x01, {0x01}).Page(0x0F, 0x01, {1, 2, 3}, 40);
        Walked w(reply);
        EXPECT_EQ(0u, w.result.event_count);
        EXPECT_EQ(1u, w.result.pages_stored);
    }
    {  // empty reply
        FeatureReply reply;
        Walked w(reply);
        EXPECT_EQ(0u, w.result.event_count);
        EXPECT_EQ(0u, w.result.pages_stored);
        EXPECT_EQ(std::vector<uint8_t>(152, 0), std::vector<uint8_t>(w.cache, w.cache + 152));
    }
}

// ---- Flash sequence pieces ----

using zevtest::val;  // request records are packed: their fields are read by value

TEST(StorcFlashPieces, ChunkCountsAndPositions)
{
    EXPECT_EQ(0u, saFlashChunkCount(0));
    EXPECT_EQ(1u, saFlashChunkCount(1));
    EXPECT_EQ(1u, saFlashChunkCount(16384));
    EXPECT_EQ(2u, saFlashChunkCount(16385));
    EXPECT_EQ(65535u, saFlashChunkCount(65535u * 16384u));
    EXPECT_EQ(65536u, saFlashChunkCount(65535u * 16384u + 1));
    EXPECT_EQ(262144u, saFlashChunkCount(0xFFFFFFFFu));

    struct Case {
        uint16_t n, i;
        uint8_t cdb[4];  // CDB bytes 2..5
    };
    const Case cases[] = {
        {1, 1, {0x00, 0x00, 0x01, 0x01}},         {2, 2, {0x00, 0x00, 0x02, 0x02}},
        {300, 1, {0x01, 0x00, 0x2C, 0x01}},       {300, 256, {0x01, 0x01, 0x2C, 0x00}},
        {65535, 65535, {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        const uint32_t a = saFlashChunkPosition(c.n, c.i);
        const uint8_t bytes[4] = {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
        EXPECT_EQ(0, std::memcmp(c.cdb, bytes, 4)) << c.n << "/" << c.i;
    }
}

TEST(StorcFlashPieces, ProgressNeverReaches100DuringChunks)
{
    EXPECT_EQ(50, saFlashChunkProgress(1, 1));
    EXPECT_EQ(33, saFlashChunkProgress(1, 2));
    EXPECT_EQ(66, saFlashChunkProgress(2, 2));
    EXPECT_EQ(25, saFlashChunkProgress(1, 3));
    EXPECT_EQ(75, saFlashChunkProgress(3, 3));
    EXPECT_EQ(16, saFlashChunkProgress(1, 5));
    EXPECT_EQ(99, saFlashChunkProgress(65535, 65535));
}

TEST(StorcFlashPieces, RequestBuilders)
{
    uint8_t chunk[4], buffer[647];
    const struct {
        const char* what;
        std::function<void(_BMICRequest*)> build;
        uint32_t direction;
        uint8_t command;
        uint32_t address;
        void* data;
        uint32_t dataLength, timeout;
    } rows[] = {
        {"write collect buffer", [&](_BMICRequest* r) { saBuildWriteCollectBufferRequest(r, chunk, 1, 300, 256); },
         SC_TRANSFER_WRITE, 0xD2, 0x01012C00u, chunk, 1, 0},
        {"free collect buffer", saBuildFreeCollectBufferRequest, SC_TRANSFER_NONE, 0xD3, 0, nullptr, 0, 0},
        {"flash collected image", saBuildFlashCollectedImageRequest, SC_TRANSFER_NONE, 0xF7, 0, nullptr, 0, 60},
        {"read", [&](_BMICRequest* r) { saBuildReadRequest(r, 0x61, 0xFFFF0000u, 0, buffer, 240); }, SC_TRANSFER_READ,
         0x61, 0xFFFF0000u, buffer, 240, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        _BMICRequest r;
        std::memset(&r, 0xFF, sizeof(r));
        row.build(&r);
        EXPECT_EQ(row.direction, val(r.direction));
        EXPECT_EQ(row.command, val(r.command));
        EXPECT_EQ(row.address, val(r.address));
        EXPECT_EQ(row.data, val(r.data));
        EXPECT_EQ(row.dataLength, val(r.dataLength));
        EXPECT_EQ(row.timeout, val(r.timeout));
        // Nothing left over from the record's earlier contents.
        EXPECT_EQ(0u, val(r.transferLength));
        EXPECT_EQ(0u, val(r.index));
        EXPECT_EQ(nullptr, val(r.sense));
        EXPECT_EQ(0u, val(r.lowLevelStatus));
        EXPECT_EQ(0u, val(r.senseSize));
    }
}

TEST(StorcFlashPieces, OnlyAcceptedCommandsCount)
{
    struct Case {
        uint8_t rc;
        uint8_t scsi;
        uint16_t command_status;
        uint8_t accepted;
    };
    const Case cases[] = {
        {0, 0, 0x0000, 1},    {0, 0, 0x0002, 1},  // success, data underrun
        {1, 0, 0x0000, 0},                        // ioctl failed
        {0, 2, 0x0000, 0},                        // CHECK CONDITION
        {0, 0x18, 0x0000, 0},                     // reservation conflict
        {0, 0, 0x0001, 0},    {0, 0, 0x0003, 0}, {0, 0, 0x0004, 0}, {0, 0, 0x0006, 0},
    };
    for (const auto& c : cases) {
        _BMICRequest r;
        saBuildFreeCollectBufferRequest(&r);
        r.scsiStatus = c.scsi;
        r.commandStatus = c.command_status;
        EXPECT_EQ(c.accepted, saFlashCommandAccepted(c.rc, &r))
            << int(c.rc) << " " << int(c.scsi) << " " << c.command_status;
    }
}

TEST(StorcFlashPieces, CheckWithoutController)
{
    EXPECT_EQ(SA_FLASH_NO_IMAGE | SA_FLASH_NO_BMIC, SA_CanFlashController(nullptr, 0));
    EXPECT_EQ(SA_FLASH_NO_BMIC, SA_CanFlashController(nullptr, 65535u * 16384u));
    EXPECT_EQ(SA_FLASH_NO_IMAGE | SA_FLASH_NO_BMIC, SA_CanFlashController(nullptr, 65535u * 16384u + 1));
    const uint8_t image[4] = {};
    EXPECT_EQ(0, SA_FlashController(nullptr, image, sizeof(image), nullptr));
}

// ---- Start-up check ----

TEST(StorcStartup, HeaderChecksumMismatchIsOneLevel1Line)
{
    {
        zevtest::LogCapture log(3);
        InitializeStorageCore(SA_HEADER_CHECKSUM);
        EXPECT_TRUE(log.Lines().empty());
        InitializeStorageCore("0000000000000000000000000000000000000000");
        InitializeStorageCore(nullptr);
        UnInitializeStorageCore();
    }
    const std::pair<uint8_t, std::string> expected = {
        1, std::string("InitializeStorageCore: Assertion `strcmp(checksum, \"") + SA_HEADER_CHECKSUM +
               "\") == 0' failed: Header/library checksum mismatch for 3.30.7 \"2018-01-31\"\n"};
    EXPECT_EQ((std::vector<std::pair<uint8_t, std::string>>{expected, expected}), zevtest::LogCapture::Lines());
    EXPECT_EQ(40u, std::strlen(SA_HEADER_CHECKSUM));
}

}  // namespace
