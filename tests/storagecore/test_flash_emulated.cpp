// The firmware flash sequence end to end against an emulated controller: what reached the controller,
// in which order, with which CDBs; progress reports; failures and rejections at every step.
#include <string>
#include <vector>

#include "TestImage.h"
#include "emu_fixture.h"

namespace {

using storc_test::EmulatedController;
using storc_test::OneController;
using zev::emu::ToHex;

std::vector<int>& Progress()
{
    static std::vector<int> values;
    return values;
}
void RecordProgress(int percent) { Progress().push_back(percent); }

std::vector<uint8_t> Image(size_t size, uint32_t seed = 1)
{
    const std::string bytes = zevtest::imageBytes(size, seed);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

const std::string kFree = "270000000000d3000000";
const std::string kFlash = "270000000000f7000000";

// CDB of chunk i of n carrying len bytes.
std::string ChunkCdb(uint16_t n, uint16_t i, uint16_t len)
{
    const std::vector<uint8_t> cdb = {0x27,       0,    uint8_t(n >> 8),   uint8_t(i >> 8), uint8_t(n),
                                      uint8_t(i), 0xD2, uint8_t(len >> 8), uint8_t(len),    0};
    return ToHex(cdb);
}

class StorcFlash : public EmulatedController {
protected:
    // Starts the controller and forgets the start-up reads and any earlier progress.
    void StartFlashable(const std::string& firmware = "{}", const std::string& driver = "hpsa",
                        const std::string& faults = "[]")
    {
        Start(OneController(firmware, driver, faults));
        ASSERT_EQ(SA_CDA_STATUS_SUCCESS, m_status);
        // Let the check's lazy reads happen now, so only the flash sequence is recorded below.
        ASSERT_EQ(0, SA_CanFlashController(m_cda, 1));
        m_cda->config_valid_flags = SA_CONFIG_VALID_ARRAY | SA_CONFIG_VALID_LOGICAL_DRIVES;
        m_host->ClearCommands();
        Progress().clear();
    }

    std::vector<std::string> Cdbs() const
    {
        std::vector<std::string> out;
        for (const auto& c : Bmic()) out.push_back(ToHex(c.cdb));
        return out;
    }

    // The expected wire sequence: free, chunks 1..sent of an image of size bytes, then optionally the
    // flash command, then free again.
    static std::vector<std::string> Sequence(uint32_t size, uint32_t sent, bool flash)
    {
        const uint16_t n = static_cast<uint16_t>((size + 16383) / 16384);
        std::vector<std::string> out = {kFree};
        for (uint32_t i = 1; i <= sent; ++i) {
            const uint32_t len = i < n ? 16384 : size - (n - 1) * 16384u;
            out.push_back(ChunkCdb(n, static_cast<uint16_t>(i), static_cast<uint16_t>(len & 0xFFFF)));
        }
        if (flash) out.push_back(kFlash);
        out.push_back(kFree);
        return out;
    }

    void ExpectProgrammed(const std::vector<uint8_t>& image, size_t times = 1)
    {
        const auto images = m_host->Images(0);
        ASSERT_EQ(times, images.size());
        for (const auto& programmed : images) {
            EXPECT_EQ(image.size(), programmed.size);
            EXPECT_TRUE(programmed.data == image) << "assembled image differs from the input";
        }
    }
};

TEST_F(StorcFlash, OneChunk)
{
    StartFlashable();
    const auto image = Image(16384);
    EXPECT_EQ(1, SA_FlashController(m_cda, image.data(), image.size(), RecordProgress));
    EXPECT_EQ((std::vector<std::string>{kFree, "270000000101d2400000", kFlash, kFree}), Cdbs());
    EXPECT_EQ((std::vector<int>{50, 100}), Progress());
    ExpectProgrammed(image);
    EXPECT_EQ(SA_CONFIG_VALID_LOGICAL_DRIVES, m_cda->config_valid_flags);  // only the array bit is stale
    EXPECT_NE(0u, m_cda->valid_flags & SA_VALID_IDENTIFY_CONTROLLER);
}

TEST_F(StorcFlash, TwoChunksWithOneByteTail)
{
    StartFlashable();
    const auto image = Image(16385);
    EXPECT_EQ(1, SA_FlashController(m_cda, image.data(), image.size(), RecordProgress));
    EXPECT_EQ((std::vector<std::string>{kFree, "270000000201d2400000", "270000000202d2000100", kFlash, kFree}), Cdbs());
    const auto cmds = Bmic();
    ASSERT_EQ(5u, cmds.size());
    EXPECT_EQ(1u, cmds[2].data_length);
    EXPECT_EQ(std::vector<uint8_t>{image.back()}, cmds[2].data);
    EXPECT_EQ((std::vector<int>{33, 66, 100}), Progress());
    ExpectProgrammed(image);
}

TEST_F(StorcFlash, ThreeHundredChunks)
{
    StartFlashable();
    const uint32_t size = 300 * 16384 - 100;
    const auto image = Image(size, 7);
    EXPECT_EQ(1, SA_FlashController(m_cda, image.data(), size, RecordProgress));
    const auto cdbs = Cdbs();
    EXPECT_EQ(Sequence(size, 300, true), cdbs);
    ASSERT_EQ(303u, cdbs.size());
    EXPECT_EQ("01002c01", cdbs[1].substr(4, 8));
    EXPECT_EQ("01012c00", cdbs[256].substr(4, 8));
    ASSERT_EQ(301u, Progress().size());
    for (uint32_t i = 1; i <= 300; ++i) EXPECT_EQ(static_cast<int>(100 * i / 301), Progress()[i - 1]);
    EXPECT_EQ(100, Progress().back());
    ExpectProgrammed(image);
}

TEST_F(StorcFlash, TwoPassesProgramTheImageTwice)
{
    StartFlashable();
    const auto image = Image(40000, 3);
    EXPECT_EQ(1, SA_FlashController(m_cda, image.data(), image.size(), nullptr));
    EXPECT_EQ(1, SA_FlashController(m_cda, image.data(), image.size(), nullptr));
    ExpectProgrammed(image, 2);
    EXPECT_TRUE(Progress().empty());
}

TEST_F(StorcFlash, OtherDriverPaths)
{
    for (const char* driver : {"smartpqi", "aacraid"}) {
        StartFlashable("{}", driver);
        const auto image = Image(16385, 5);
        EXPECT_EQ(1, SA_FlashController(m_cda, image.data(), image.size(), RecordProgress)) << driver;
        EXPECT_EQ(Sequence(16385, 2, true), Cdbs()) << driver;
        ExpectProgrammed(image);
    }
}

// A chunk that does not get through ends the loop; the closing free still goes out.
TEST_F(StorcFlash, ChunkFailuresAndRejections)
{
    struct Case {
        const char* what;
        const char* fault;  // applied to the 2nd chunk of 5
    };
    const Case cases[] = {
        {"ioctl fails", R"("errno": 5)"},
        {"invalid command", R"("command_status": 4)"},
        {"target status", R"("command_status": 1, "scsi_status": 2, "sense": "700005000000000a00000000240000")"},
        {"check condition", R"("scsi_status": 2, "sense": "700005000000000a00000000240000")"},
        {"busy", R"("scsi_status": 8)"},
        {"overrun", R"("command_status": 3)"},
    };
    const uint32_t size = 5 * 16384;
    const auto image = Image(size, 9);
    for (const auto& c : cases) {
        StartFlashable("{}", "hpsa", std::string(R"([{"match": {"bmic": 210}, "nth": 2, )") + c.fault + "}]");
        EXPECT_EQ(0, SA_FlashController(m_cda, image.data(), size, RecordProgress)) << c.what;
        EXPECT_EQ(Sequence(size, 2, false), Cdbs()) << c.what;
        EXPECT_EQ(std::vector<int>{16}, Progress()) << c.what;
        EXPECT_TRUE(m_host->Images(0).empty()) << c.what;
        EXPECT_EQ(SA_CONFIG_VALID_LOGICAL_DRIVES, m_cda->config_valid_flags) << c.what;
    }
}

TEST_F(StorcFlash, FirstAndLastChunkFailures)
{
    const uint32_t size = 3 * 16384 + 5;
    const auto image = Image(size, 11);
    for (uint32_t k : {1u, 4u}) {
        StartFlashable("{}", "hpsa",
                       R"([{"match": {"bmic": 210}, "nth": )" + std::to_string(k) + R"(, "command_status": 4}])");
        EXPECT_EQ(0, SA_FlashController(m_cda, image.data(), size, RecordProgress));
        EXPECT_EQ(Sequence(size, k, false), Cdbs()) << k;
        EXPECT_EQ(k - 1, Progress().size()) << k;
    }
}

TEST_F(StorcFlash, DataUnderrunCountsAsAccepted)
{
    StartFlashable("{}", "hpsa", R"([{"match": {"bmic": 210}, "command_status": 2}])");
    const auto image = Image(20000);
    EXPECT_EQ(1, SA_FlashController(m_cda, image.data(), image.size(), RecordProgress));
    EXPECT_EQ((std::vector<int>{33, 66, 100}), Progress());
}

TEST_F(StorcFlash, FlashCommandFailuresAndRejections)
{
    const struct {
        const char *firmware, *faults;
    } cases[] = {
        {"{}", R"([{"match": {"bmic": 247}, "errno": 5}])"},
        {"{}", R"([{"match": {"bmic": 247}, "command_status": 4}])"},
        {"{}", R"([{"match": {"bmic": 247}, "scsi_status": 2, "sense": "700004000000000a00000000440000"}])"},
        {R"({"flash": {"refuse": true}})", "[]"},  // the controller's own refusal of the collected image
    };
    const auto image = Image(16385, 13);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.firmware) + " " + c.faults);
        StartFlashable(c.firmware, "hpsa", c.faults);
        EXPECT_EQ(0, SA_FlashController(m_cda, image.data(), image.size(), RecordProgress));
        EXPECT_EQ(Sequence(16385, 2, true), Cdbs());
        EXPECT_EQ((std::vector<int>{33, 66}), Progress());  // no 100
        EXPECT_TRUE(m_host->Images(0).empty());
        EXPECT_EQ(SA_CONFIG_VALID_LOGICAL_DRIVES, m_cda->config_valid_flags);
    }
}

TEST_F(StorcFlash, RefusedBeforeAnythingIsSent)
{
    StartFlashable();
    const auto image = Image(16);
    const uint32_t too_large = 65535u * 16384u + 1;

    EXPECT_EQ(SA_FLASH_NO_IMAGE, SA_CanFlashController(m_cda, 0));
    EXPECT_EQ(0, SA_FlashController(m_cda, image.data(), 0, RecordProgress));
    EXPECT_EQ(0, SA_FlashController(m_cda, nullptr, 16, RecordProgress));
    EXPECT_EQ(0, SA_CanFlashController(m_cda, 65535u * 16384u));
    EXPECT_EQ(SA_FLASH_NO_IMAGE, SA_CanFlashController(m_cda, too_large));
    EXPECT_EQ(SA_FLASH_NO_IMAGE, SA_CanFlashController(m_cda, 0xFFFFFFFFu));
    // The size is refused before the image is read, so a short buffer is never touched.
    EXPECT_EQ(0, SA_FlashController(m_cda, image.data(), too_large, RecordProgress));
    EXPECT_TRUE(Bmic().empty());
    EXPECT_TRUE(Progress().empty());
    EXPECT_EQ(SA_CONFIG_VALID_ARRAY | SA_CONFIG_VALID_LOGICAL_DRIVES, m_cda->config_valid_flags);

    // A descriptor that does not allow BMIC commands.
    uint8_t address[SC_ADDRESS_SIZE] = {};
    ASSERT_EQ(0, SC_GetDeviceSystemProperty(m_cda->device_descriptor, SC_PROPERTY_PROTOCOL_ADDRESS, address,
                                            sizeof(address)));
    address[SC_ADDRESS_FLAGS] = 0;
    ASSERT_EQ(
        1, scSetDeviceSystemProperty(m_cda->device_descriptor, SC_PROPERTY_PROTOCOL_ADDRESS, address, sizeof(address)));
    EXPECT_EQ(SA_FLASH_NO_BMIC, SA_CanFlashController(m_cda, 16));
    EXPECT_EQ(SA_FLASH_NO_BMIC | SA_FLASH_NO_IMAGE, SA_CanFlashController(m_cda, 0));
    EXPECT_EQ(0, SA_FlashController(m_cda, image.data(), image.size(), RecordProgress));
    EXPECT_TRUE(Bmic().empty());
}

TEST_F(StorcFlash, BlockedByEncryption)
{
    Start(OneController(R"({"identify": {"encryption": true, "encryption_status": 16384}})"));
    ASSERT_EQ(SA_CDA_STATUS_SUCCESS, m_status);
    const auto image = Image(100);
    EXPECT_EQ(SA_FLASH_BLOCKED_BY_ENCRYPTION, SA_CanFlashController(m_cda, 100));
    EXPECT_EQ(SA_FLASH_BLOCKED_BY_ENCRYPTION | SA_FLASH_NO_IMAGE, SA_CanFlashController(m_cda, 0));
    m_host->ClearCommands();
    EXPECT_EQ(0, SA_FlashController(m_cda, image.data(), image.size(), RecordProgress));
    EXPECT_TRUE(Bmic().empty());
}

}  // namespace
