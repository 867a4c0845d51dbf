// CDA start-up, cached reads, feature pages and controller properties against an emulated controller.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "emu_fixture.h"

namespace {

using storc_test::CountExact;
using storc_test::EmulatedController;
using storc_test::OneController;
using zev::emu::ToHex;

using StorcCdaStartup = EmulatedController;
using StorcProperties = EmulatedController;
using StorcFeaturePages = EmulatedController;
using StorcEncryption = EmulatedController;

TEST_F(StorcCdaStartup, ReadsIdentifyParametersAndCacheStatusOnce)
{
    Start(OneController());
    ASSERT_EQ(SA_CDA_STATUS_SUCCESS, m_status);
    EXPECT_EQ(SA_CDA_SIGNATURE, m_cda->signature);
    EXPECT_EQ(5, m_cda->identify_level);
    EXPECT_EQ(SA_VALID_IDENTIFY_CONTROLLER | SA_VALID_SENSE_CONTROLLER_PARAMETERS | SA_VALID_CACHE_CONFIG_STATUS,
              m_cda->valid_flags);
    const auto cmds = Bmic();
    ASSERT_EQ(3u, cmds.size());
    EXPECT_EQ("26000000000011028700", ToHex(cmds[0].cdb));
    EXPECT_EQ("26000000000064014e00", ToHex(cmds[1].cdb));
    EXPECT_EQ("260000000000c1020000", ToHex(cmds[2].cdb));

    EXPECT_EQ(1, SA_RequestIdentifyControllerBuffer(m_cda));
    EXPECT_EQ(1, SA_RequestSenseControllerParametersBuffer(m_cda));
    EXPECT_EQ(3u, Bmic().size());  // cached: nothing sent
    EXPECT_TRUE(storc_test::Lines().empty());
}

TEST_F(StorcCdaStartup, InterfaceLevelFromTheController)
{
    struct Case {
        uint32_t fixed_length;
        uint32_t parameters_length;
        uint16_t status;
        uint8_t level;
    };
    const Case cases[] = {
        {275, 334, SA_CDA_STATUS_CONTROLLER_UNSUPPORTED, 0},
        {276, 334, 1, 1},
        {289, 334, 1, 1},
        {290, 334, 1, 2},
        {291, 334, 1, 2},
        {292, 334, 1, 3},
        {316, 334, 1, 4},
        {317, 206, 1, 4},
        {317, 207, 1, 5},
    };
    for (const auto& c : cases) {
        Start(OneController(R"({"identify": {"fixed_length": )" + std::to_string(c.fixed_length) +
                            R"(}, "controller_parameters": {"total_length": )" + std::to_string(c.parameters_length) +
                            "}}"));
        EXPECT_EQ(c.status, m_status) << c.fixed_length;
        if (c.status == SA_CDA_STATUS_SUCCESS)
            EXPECT_EQ(c.level, m_cda->identify_level) << c.fixed_length << "/" << c.parameters_length;
        else  // too old: the parameters are not even asked for
            EXPECT_EQ(std::vector<uint8_t>{BMIC_IDENTIFY_CONTROLLER}, BmicCommandBytes());
    }
}

TEST_F(StorcCdaStartup, FailedReads)
{
    Start(OneController("{}", "hpsa", R"([{"match": {"bmic": 17}, "errno": 5}])"));
    EXPECT_EQ(SA_CDA_STATUS_IDENTIFY_FAILED, m_status);
    EXPECT_EQ(1u, CountExact("Failed id ctrl\n"));
    EXPECT_NE(nullptr, m_cda->cda_lock);  // released by SA_UnInitializeCDA in TearDown
    EXPECT_NE(nullptr, m_cda->device_descriptor);

    Start(OneController("{}", "hpsa", R"([{"match": {"bmic": 100}, "errno": 5}])"));
    EXPECT_EQ(SA_CDA_STATUS_CONTROLLER_UNSUPPORTED, m_status);

    // The cache status is optional: the CDA is usable and the next request tries again.
    Start(OneController("{}", "hpsa", R"([{"match": {"bmic": 193}, "nth": 1, "errno": 5}])"));
    EXPECT_EQ(SA_CDA_STATUS_SUCCESS, m_status);
    EXPECT_EQ(0u, m_cda->valid_flags & SA_VALID_CACHE_CONFIG_STATUS);
    EXPECT_EQ(1, SA_RequestSenseCacheConfigStatusBuffer(m_cda));
    EXPECT_EQ((std::vector<uint8_t>{0x11, 0x64, 0xC1, 0xC1}), BmicCommandBytes());
}

TEST_F(StorcCdaStartup, OversizedStructuresAreUsedTruncated)
{
    Start(OneController(R"({"identify": {"total_length": 700}, "controller_parameters": {"total_length": 335},
                           "cache_status": {"total_length": 513}})"));
    EXPECT_EQ(SA_CDA_STATUS_SUCCESS, m_status);
    EXPECT_EQ(1u, CountExact("SA_RequestIdentifyControllerBuffer: Assertion "
                             "`cda->identify_controller_buffer.dwTotalStructureLength <= sizeof(IDENTIFY_CONTROLLER)' "
                             "failed: Identify ctrl total struct len was 700\n"));
    EXPECT_EQ(1u, CountExact("SA_RequestSenseControllerParametersBuffer: Assertion "
                             "`cda->sense_controller_parameters_buffer.dwTotalStructureLength <= "
                             "sizeof(cda->sense_controller_parameters_buffer)' failed: Warning! CDA Sense Controller "
                             "Parameters Buffer not large enough for controller\n"));
    EXPECT_EQ(1u, CountExact("SA_RequestSenseCacheConfigStatusBuffer: Assertion "
                             "`cda->sense_cache_config_status_buffer.dwTotalStructureLength <= "
                             "sizeof(CACHE_CONFIG_STATUS)' failed: Failed to retrieve entire cache config status "
                             "buffer\n"));
    EXPECT_EQ(3u, storc_test::Lines().size());
}

TEST_F(StorcCdaStartup, ReInitializeReadsAgain)
{
    Start(OneController(R"({"subsystem_parameters": {"serial": "SN1"}})"));
    ASSERT_EQ(SA_CDA_STATUS_SUCCESS, m_status);
    char serial[100];
    SA_GetControllerSerialNumber(m_cda, serial, sizeof(serial));
    m_cda->config_valid_flags = SA_CONFIG_VALID_ARRAY;
    m_host->ClearCommands();

    EXPECT_EQ(SA_CDA_STATUS_SUCCESS, SA_ReInitializeCDA(m_cda));
    EXPECT_EQ(0u, m_cda->config_valid_flags);
    EXPECT_EQ(0u, m_cda->valid_flags & SA_VALID_SENSE_SUBSYSTEM_PARAMETERS);
    EXPECT_STREQ("SN1", SA_GetControllerSerialNumber(m_cda, serial, sizeof(serial)));
    EXPECT_EQ((std::vector<uint8_t>{0x11, 0x64, 0xC1, 0x66}), BmicCommandBytes());
}

TEST_F(StorcCdaStartup, ReleasesEverythingItOwns)
{
    Start(OneController());
    ASSERT_EQ(SA_CDA_STATUS_SUCCESS, m_status);
    auto give_blocks = [this] {
        m_cda->physical_devices[0].block = SA_MALLOC(32);
        m_cda->physical_devices[SA_MAX_PHYSICAL_DEVICES - 1].block = SA_MALLOC(32);
        m_cda->logical_drives[SA_MAX_LOGICAL_DRIVES - 1].block = SA_MALLOC(32);
        m_cda->arrays[3].array_number = 3;
        m_cda->drive_erase_buffer_size = 4096;
    };
    give_blocks();
    EXPECT_EQ(SA_CDA_STATUS_SUCCESS, SA_ReInitializeCDA(m_cda));
    EXPECT_EQ(nullptr, m_cda->physical_devices[0].block);
    EXPECT_EQ(nullptr, m_cda->physical_devices[SA_MAX_PHYSICAL_DEVICES - 1].block);
    EXPECT_EQ(nullptr, m_cda->logical_drives[SA_MAX_LOGICAL_DRIVES - 1].block);
    EXPECT_EQ(0, m_cda->arrays[3].array_number);
    EXPECT_EQ(0u, m_cda->drive_erase_buffer_size);
    EXPECT_NE(nullptr, m_cda->cda_lock);

    // Un-initialisation releases the blocks, the editing block, the descriptor copy and both locks
    // (the sanitizer build reports anything left behind).
    give_blocks();
    m_cda->editable_configuration = SA_MALLOC(64);
    EXPECT_EQ(1, SA_UnInitializeCDA(m_cda));
    EXPECT_EQ(nullptr, m_cda->editable_configuration);
    EXPECT_EQ(nullptr, m_cda->device_descriptor);
    EXPECT_EQ(nullptr, m_cda->cda_lock);
    EXPECT_EQ(nullptr, m_cda->event_lock);
    EXPECT_EQ(nullptr, m_cda->physical_devices[0].block);
    EXPECT_EQ(1, SA_UnInitializeCDA(m_cda));  // a second call finds nothing to release
}

TEST_F(StorcCdaStartup, BadArguments)
{
    Start(OneController());
    EXPECT_EQ(SA_CDA_STATUS_BAD_ARGUMENT, SA_InitializeCDA(nullptr, m_list->first->descriptor));
    SA_CDA* other = static_cast<SA_CDA*>(SA_MALLOC(SA_GetCDASize()));
    EXPECT_EQ(SA_CDA_STATUS_BAD_ARGUMENT, SA_InitializeCDA(other, nullptr));
    SA_FREE(other);
    EXPECT_EQ(SA_CDA_STATUS_BAD_ARGUMENT, SA_ReInitializeCDA(nullptr));
    EXPECT_EQ(SA_CDA_STATUS_BAD_ARGUMENT, SA_UnInitializeCDA(nullptr));
}

TEST_F(StorcCdaStartup, EveryQueryHoldsTheCdaLock)
{
    Start(OneController(R"({"identify": {"vendor_id": "LOCKED"}})"));
    ASSERT_EQ(SA_CDA_STATUS_SUCCESS, m_status);
    ASSERT_EQ(1, SC_RECURSIVE_MUTEX_LOCK(m_cda->cda_lock));
    std::atomic<bool> done{false};
    char vendor[20] = {};
    std::thread other([&] {
        SA_GetControllerVendorID(m_cda, vendor, sizeof(vendor));
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load());
    // A query on the owning thread nests.
    char product[20];
    SA_GetControllerProductID(m_cda, product, sizeof(product));
    SC_RECURSIVE_MUTEX_UNLOCK(m_cda->cda_lock);
    other.join();
    EXPECT_TRUE(done.load());
    EXPECT_STREQ("LOCKED", vendor);
}

// ---- Properties ----

TEST_F(StorcProperties, IdentityTexts)
{
    Start(OneController(R"({"identify": {"vendor_id": "AB", "product_id": "  CTRL 8i", "firmware_version": "1.98",
                                         "family_id": "  ZR Family  ", "slot": 3},
                           "subsystem_parameters": {"serial_hex": "534e303030312020"}})"));
    ASSERT_EQ(SA_CDA_STATUS_SUCCESS, m_status);
    char text[100];
    EXPECT_STREQ("AB", SA_GetControllerVendorID(m_cda, text, 20));
    EXPECT_STREQ("CTRL 8i", SA_GetControllerProductID(m_cda, text, 40));
    EXPECT_STREQ("1.98", SA_GetControllerFirmwareVersion(m_cda, text, 20));
    EXPECT_STREQ("ZR Family", SA_GetControllerFamilyID(m_cda, text, 60));
    EXPECT_STREQ("SN0001  ", SA_GetControllerSerialNumber(m_cda, text, 100));
    EXPECT_STREQ("SN0001  ", SA_GetControllerSerialNumber(m_cda, text, 100));
    EXPECT_STREQ("3", SA_GetControllerSlotNumber(m_cda, text, 20));
    EXPECT_STREQ("0:3:0.0", SA_GetControllerPCILocation(m_cda, text, 20));
    EXPECT_EQ(0x1D5A0101u, SA_GetControllerPCIValue(m_cda, PCI_VALUE_VENDOR_DEVICE));
    EXPECT_EQ(0x1D5A0A01u, SA_GetControllerPCIValue(m_cda, PCI_VALUE_SUBSYSTEM_VENDOR_DEVICE));
    // Subsystem parameters and feature pages are read lazily, once.
    EXPECT_EQ((std::vector<uint8_t>{0x11, 0x64, 0xC1, 0x61, 0x66}), BmicCommandBytes());
    EXPECT_TRUE(storc_test::Lines().empty());
}

TEST_F(StorcProperties, SerialNumberStopsAtNonPrintableBytes)
{
    Start(OneController(R"({"subsystem_parameters": {"serial_hex": "534e3030c3414243"}})"));
    char text[100];
    EXPECT_STREQ("SN00", SA_GetControllerSerialNumber(m_cda, text, sizeof(text)));
}

TEST_F(StorcProperties, PCIValueThresholdsAndKinds)
{
    Start(OneController(R"({"identify": {"fixed_length": 365}})"));
    EXPECT_EQ(0u, SA_GetControllerPCIValue(m_cda, PCI_VALUE_VENDOR_DEVICE));
    EXPECT_EQ(1u, CountExact("SA_GetControllerPCIValue: Assertion "
                             "`cda->identify_controller_buffer.dwFixedStructureLength > 365' failed: Ctrl does not "
                             "report PCI vendor/device id values\n"));
    EXPECT_EQ(3u, SA_GetControllerPCIValue(m_cda, PCI_VALUE_GENERATION));
    EXPECT_EQ(0u, SA_GetControllerPCIValue(m_cda, 7));
    EXPECT_EQ(1u, CountExact("Invalid pci_value parameter.\n"));

    Start(OneController(R"({"identify": {"fixed_length": 366}})"));
    EXPECT_EQ(0x1D5A0101u, SA_GetControllerPCIValue(m_cda, PCI_VALUE_VENDOR_DEVICE));
}

TEST_F(StorcProperties, SlotRulesOnTheController)
{
    struct Case {
        const char* identify;
        const char* expected;
    };
    const Case cases[] = {
        {R"({"fixed_length": 400, "slot": 3})", "3"},
        {R"({"fixed_length": 400, "slot": null})", "UNKNOWN"},
        {R"({"fixed_length": 470, "slot": 258})", "258"},
        {R"({"fixed_length": 470, "slot": null})", "UNKNOWN"},
        {R"({"fixed_length": 470, "slot": 31, "software_raid": true})", "0b"},
        {R"({"fixed_length": 400, "slot": 31, "software_raid": true, "feature_pages": false})", "0b"},
        {R"({"fixed_length": 470, "slot": 31})", "31"},
    };
    for (const auto& c : cases) {
        Start(OneController(std::string(R"({"identify": )") + c.identify + "}"));
        char text[20];
        EXPECT_STREQ(c.expected, SA_GetControllerSlotNumber(m_cda, text, sizeof(text))) << c.identify;
    }
}

TEST_F(StorcProperties, NoFeaturePagesFallsBackToIdentify)
{
    Start(OneController(R"({"identify": {"feature_pages": false, "encryption": true, "software_raid": true,
                                         "family_id": "ZR Family"}})"));
    char text[60];
    EXPECT_STREQ("", SA_GetControllerFamilyID(m_cda, text, sizeof(text)));
    EXPECT_EQ(0, SA_ControllerSupportsFamilyID(m_cda));
    EXPECT_EQ(1, SA_ControllerSupportsEncryption(m_cda));
    EXPECT_EQ(1, SA_ControllerIsSoftwareRAID(m_cda));
    EXPECT_EQ(1, SA_RequestFeaturePages(m_cda));
    EXPECT_EQ(std::vector<uint8_t>(SA_SENSE_FEATURE_CACHE_SIZE, 0),
              std::vector<uint8_t>(m_cda->sense_feature, m_cda->sense_feature + SA_SENSE_FEATURE_CACHE_SIZE));
    const auto sent = BmicCommandBytes();
    EXPECT_EQ(0, std::count(sent.begin(), sent.end(), BMIC_SENSE_FEATURE));
}

// ---- Feature pages ----

TEST_F(StorcFeaturePages, WalkDiagnostics)
{
    Start(OneController(R"({"feature_pages": {"pages": [
        {"page": 14, "subpage": 1, "data": "0102"},
        {"page": 15, "subpage": 1, "data": "01"},
        {"page": 7, "subpage": 1, "data": "01eeee"},
        {"page": 12, "subpage": 1, "data": "0000000200"}]}})"));
    ASSERT_EQ(SA_CDA_STATUS_SUCCESS, m_status);
    EXPECT_EQ(1, SA_ControllerSupportsEncryption(m_cda));
    EXPECT_EQ(1, SA_ControllerSupportsFamilyID(m_cda));
    EXPECT_EQ(0, SA_ControllerIsSoftwareRAID(m_cda));
    ASSERT_EQ(2u, storc_test::Lines().size());
    EXPECT_EQ("Unknown page 0x0F/0x01", storc_test::Lines()[0]);
    EXPECT_EQ(
        "SA_RequestFeaturePages: Assertion `sizeof(cda->sense_feature.page_encryption) - "
        "sizeof(SENSE_FEATURE_PAGE_HEADER) >= page_header->wPageLength' failed: Wrong size (got 3 B) for page "
        "0x07/0x01\n",
        storc_test::Lines()[1]);
    const uint8_t* slot = m_cda->sense_feature + saFeatureSlots()[SA_SLOT_ENCRYPTION].offset;
    EXPECT_EQ("0701030001", ToHex(slot, 5));
    const auto cmds = Bmic();
    ASSERT_EQ(4u, cmds.size());  // the walk ran once
    EXPECT_EQ("2600ffff00006100f000", ToHex(cmds[3].cdb));
}

TEST_F(StorcFeaturePages, TotalLengthBeyondTheReply)
{
    Start(OneController(
        R"({"feature_pages": {"total_length": 300, "pages": [{"page": 7, "subpage": 1, "data": "01"}]}})"));
    EXPECT_EQ(1, SA_RequestFeaturePages(m_cda));
    EXPECT_EQ(1u, CountExact("SA_RequestFeaturePages: Assertion `sizeof(page_buffer) >= "
                             "page_buffer.StartingHeader.wTotalLength+sizeof(SENSE_FEATURE_STARTING_HEADER)' failed: "
                             "Not enough memory for sense features command\n"));
    EXPECT_EQ(1, SA_ControllerSupportsEncryption(m_cda));
}

TEST_F(StorcFeaturePages, FailedReadIsRetried)
{
    Start(OneController("{}", "hpsa", R"([{"match": {"bmic": 97}, "nth": 1, "errno": 5}])"));
    EXPECT_EQ(0, SA_RequestFeaturePages(m_cda));
    EXPECT_EQ(0u, m_cda->valid_flags & SA_VALID_SENSE_FEATURE);
    char text[60];
    EXPECT_STREQ("ZR Family", SA_GetControllerFamilyID(m_cda, text, sizeof(text)));
    EXPECT_EQ(1, SA_RequestFeaturePages(m_cda));
    EXPECT_EQ((std::vector<uint8_t>{0x11, 0x64, 0xC1, 0x61, 0x61}), BmicCommandBytes());
}

// ---- Encryption status ----

TEST_F(StorcEncryption, StatusReadsAndFlashBlock)
{
    struct Case {
        uint32_t status_word;
        uint16_t check;
        std::vector<uint32_t> subpages;
    };
    const Case cases[] = {
        {0x00014000, SA_FLASH_BLOCKED_BY_ENCRYPTION, {3, 6, 8, 10, 7}},
        {0x00004000, SA_FLASH_BLOCKED_BY_ENCRYPTION, {6, 8, 10, 7}},
        {0x00010000, 0, {3, 6, 8, 10, 7}},
    };
    for (const auto& c : cases) {
        Start(OneController(R"({"identify": {"encryption": true, "encryption_status": )" +
                            std::to_string(c.status_word) + "}}"));
        m_host->ClearCommands();
        EXPECT_EQ(c.check, SA_CanFlashController(m_cda, 100));
        EXPECT_EQ(c.check, SA_CanFlashController(m_cda, 100));  // each status read goes out once
        std::vector<uint32_t> subpages;
        for (const auto& cmd : Bmic())
            if (cmd.bmic().command == BMIC_SENSE_ENCRYPTION) subpages.push_back(cmd.bmic().address);
        EXPECT_EQ(c.subpages, subpages) << c.status_word;
    }
    // Without encryption support nothing is read and nothing blocks.
    Start(OneController(R"({"identify": {"encryption": false, "encryption_status": 16384}})"));
    m_host->ClearCommands();
    EXPECT_EQ(0, SA_CanFlashController(m_cda, 100));
    EXPECT_EQ(std::vector<uint8_t>{BMIC_SENSE_FEATURE}, BmicCommandBytes());
}

// Every string query's two assertion lines, byte for byte: a null destination and one no larger than
// its limit; neither gets any text, and nothing is read from the controller for them.
struct DestinationRow {
    const char* name;
    char* (*query)(SA_CDA*, char*, uint32_t);
    uint32_t small;  // the largest size that is too small
    const char* null_line;
    const char* small_line;
    unsigned reads_when_small;  // controller reads a too-small destination still costs
};

void PrintTo(const DestinationRow& row, std::ostream* os) { *os << row.name; }

const DestinationRow kDestinationRows[] = {
    {"SerialNumber", SA_GetControllerSerialNumber, 32,
     "SA_GetControllerSerialNumber: Assertion `serial_number_buffer != NULL' failed: Destination for ctrl s/n "
     "NULL\n",
     "SA_GetControllerSerialNumber: Assertion `buffer_size > "
     "sizeof(cda->sense_subsystem_parameters_buffer.sControllerSerialNumber)' failed: Destination for ctrl s/n "
     "not large enough\n",
     1},
    {"VendorID", SA_GetControllerVendorID, 8,
     "SA_GetControllerVendorID: Assertion `vendor_id_buffer != NULL' failed: Destination for ctrl vendor ID NULL\n",
     "SA_GetControllerVendorID: Assertion `buffer_size > sizeof(cda->identify_controller_buffer.sVendorID)' "
     "failed: Destination for ctrl vendor ID not large enough\n",
     0},
    {"ProductID", SA_GetControllerProductID, 16,
     "SA_GetControllerProductID: Assertion `product_id_buffer != NULL' failed: Destination for ctrl product ID "
     "NULL\n",
     "SA_GetControllerProductID: Assertion `buffer_size > sizeof(cda->identify_controller_buffer.sProductID)' "
     "failed: Destination for ctrl product ID not large enough\n",
     0},
    {"FirmwareVersion", SA_GetControllerFirmwareVersion, 4,
     "SA_GetControllerFirmwareVersion: Assertion `hardware_version_buffer != NULL' failed: Destination for ctrl "
     "fw version NULL\n",
     "SA_GetControllerFirmwareVersion: Assertion `buffer_size > "
     "sizeof(cda->identify_controller_buffer.sRAMFirmwareRev)' failed: Destination for ctrl fw version not large "
     "enough\n",
     0},
    {"FamilyID", SA_GetControllerFamilyID, 32,
     "SA_GetControllerFamilyID: Assertion `family_id_buffer != NULL' failed: Destination for ctrl family ID NULL\n",
     "SA_GetControllerFamilyID: Assertion `buffer_size > sizeof(cda->identify_controller_buffer.sFamilyID)' "
     "failed: Destination for ctrl family ID not large enough\n",
     0},
    {"PCILocation", SA_GetControllerPCILocation, 16,
     "SA_GetControllerPCILocation: Assertion `location_buffer != NULL' failed: Destination for PCI location NULL\n",
     "SA_GetControllerPCILocation: Assertion `buffer_size > 16' failed: Destination for ctrl PCI location not "
     "large enough\n",
     0},
    {"SlotNumber", SA_GetControllerSlotNumber, 7,
     "SA_GetControllerSlotNumber: Assertion `slot_number_buffer != NULL' failed: Destination for ctrl slot number "
     "NULL\n",
     "SA_GetControllerSlotNumber: Assertion `buffer_size >= sizeof(\"UNKNOWN\")' failed: Destination for ctrl "
     "slot number not large enough\n",
     0},
};

class StorcStringQuery : public EmulatedController, public ::testing::WithParamInterface<DestinationRow> {};

TEST_P(StorcStringQuery, NamesItsDestination)
{
    const DestinationRow& row = GetParam();
    Start(OneController());
    zevtest::LogCapture::Lines().clear();
    char text[40];
    std::memset(text, 'X', sizeof(text));
    EXPECT_EQ(nullptr, row.query(m_cda, nullptr, 100));
    EXPECT_EQ(3u, Bmic().size()) << "nothing read for a null destination";
    EXPECT_STREQ("", row.query(m_cda, text, row.small));
    EXPECT_EQ(3u + row.reads_when_small, Bmic().size());
    EXPECT_EQ(1u, CountExact(row.null_line));
    EXPECT_EQ(1u, CountExact(row.small_line));
    EXPECT_EQ(2u, storc_test::Lines().size());
}

INSTANTIATE_TEST_SUITE_P(Destinations, StorcStringQuery, ::testing::ValuesIn(kDestinationRows),
                         [](const ::testing::TestParamInfo<DestinationRow>& info) { return info.param.name; });

}  // namespace
