// Pure pieces of the controller bridge and the update plug-in: payload size limits, controller
// matching, product text, progress text, field copies and the update messages.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "RizizavadIrerUpdate.h"
#include "ZevoridedUtils.h"

using namespace CM_ZEVORIDED_UTILS;

namespace {

// A controller record or a matching key: both carry the same PCI identity fields.
template <typename T>
T makePci(const char* ven, const char* subVen, const char* dev, const char* subDev, const char* path)
{
    T r;
    std::memset(&r, 0, sizeof(r));
    copyToField(r.szVendorID, ven);
    copyToField(r.szSubVendorID, subVen);
    copyToField(r.szDeviceID, dev);
    copyToField(r.szSubDeviceID, subDev);
    copyToField(r.szSystemPath, path);
    return r;
}

const auto makeRecord = makePci<controller_properties>;
const auto makeKey = makePci<controller_PCI_Info>;

}  // namespace

TEST(PayloadSize, LimitsOfTheFlashSequence)
{
    struct Case {
        std::int64_t size;
        PayloadSizeCheck expected;
    };
    const std::int64_t chunk = 16384;
    const Case cases[] = {
        {-1, PayloadSizeCheck::Empty},
        {0, PayloadSizeCheck::Empty},
        {1, PayloadSizeCheck::Ok},
        {chunk, PayloadSizeCheck::Ok},
        {64 * 1024 * 1024, PayloadSizeCheck::Ok},
        {chunk * 65535, PayloadSizeCheck::Ok},            // exactly 65,535 chunks
        {chunk * 65535 + 1, PayloadSizeCheck::TooLarge},  // one byte spills into chunk 65,536
        {std::int64_t{1} << 32, PayloadSizeCheck::TooLarge},
        {(std::int64_t{1} << 32) + 100, PayloadSizeCheck::TooLarge},  // would wrap to 100 bytes
        {std::int64_t{1} << 40, PayloadSizeCheck::TooLarge},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(checkPayloadSize(c.size), c.expected) << "size " << c.size;
    }
}

TEST(ControllerMatch, PciIdsComparedAsNumbersAndIdentityMustAgree)
{
    const controller_properties record =
        makeRecord("9005", "9005", "28f", "800", "/sys/devices/pci0000:00/0000:00:03.0/0000:03:00.0");
    struct Case {
        controller_PCI_Info key;
        bool expected;
        const char* what;
    };
    const Case cases[] = {
        {makeKey("9005", "9005", "28f", "800", ""), true, "no identity: PCI ids alone"},
        {makeKey("9005", "9005", "028F", "0800", ""), true, "leading zeros and upper case"},
        {makeKey("0x9005", "0X9005", "0x28f", "0x800", ""), true, "0x prefixes"},
        {makeKey("9005", "9005", "28f", "801", ""), false, "sub device differs"},
        {makeKey("9005", "9004", "28f", "800", ""), false, "sub vendor differs"},
        {makeKey("1d5a", "9005", "28f", "800", ""), false, "vendor differs"},
        {makeKey("9005", "9005", "28e", "800", ""), false, "device differs"},
        {makeKey("9005", "9005", "28f", "800", "/sys/devices/pci0000:00/0000:00:03.0/0000:03:00.0"), true,
         "same identity"},
        {makeKey("9005", "9005", "28f", "800", "/sys/devices/pci0000:00/0000:00:04.0/0000:04:00.0"), false,
         "identical ids, other controller"},
        {makeKey("9005", "9005", "28f", "800", "/sys/devices/pci0000:00/0000:00:03.0"), false, "identity prefix only"},
        {makeKey("", "9005", "28f", "800", ""), false, "empty id never matches a real one"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(controllerMatchesKey(record, c.key), c.expected) << c.what;
    }
}

TEST(ProductText, FamilyBlankProductAndLimits)
{
    char text[102];
    buildProductText(text, "FAM", "CTRL 8i");
    EXPECT_STREQ(text, "FAM CTRL 8i");
    buildProductText(text, "", "CTRL");
    EXPECT_STREQ(text, " CTRL");  // no family id: the text starts with a blank
    const std::string longFamily(150, 'F');
    buildProductText(text, longFamily.c_str(), "P");
    EXPECT_EQ(std::strlen(text), 101u);
    EXPECT_EQ(std::string(text), std::string(101, 'F'));
    const std::string family100(100, 'F');
    buildProductText(text, family100.c_str(), "PRODUCT");
    EXPECT_EQ(std::string(text), family100 + " ");
}

TEST(FlashProgress, TextTakesThePercentageAsAByte)
{
    EXPECT_EQ(formatFlashProgress(25), "logControllerFlashprogress: Flash Progress: 25%\n");
    EXPECT_EQ(formatFlashProgress(100), "logControllerFlashprogress: Flash Progress: 100%\n");
    EXPECT_EQ(formatFlashProgress(0), "logControllerFlashprogress: Flash Progress: 0%\n");
    EXPECT_EQ(formatFlashProgress(300), "logControllerFlashprogress: Flash Progress: 44%\n");
}

TEST(FieldCopy, CutsToFitAndPadsWithNul)
{
    char field[10];
    std::memset(field, 'x', sizeof(field));
    copyToField(field, "28f");
    EXPECT_STREQ(field, "28f");
    for (std::size_t i = 3; i < sizeof(field); ++i) EXPECT_EQ(field[i], '\0') << i;
    copyToField(field, "0123456789abcdef");
    EXPECT_STREQ(field, "012345678");
}

TEST(UpdateMessages, FlashCheckCodes)
{
    struct Case {
        unsigned short code;
        const char* text;
    };
    const Case cases[] = {
        {1, "Firmware update failed due to invalid payload size or missing payload."},
        {2, "ERROR: Failed to update firmware. The target controller does not support BMIC commands."},
        {4, "ERROR: Failed to update firmware. The target controller's firmware is locked."},
        {0, "ERROR: Failed to update Firmware"},
        {3, "ERROR: Failed to update Firmware"},
        {5, "ERROR: Failed to update Firmware"},
        {6, "ERROR: Failed to update Firmware"},
    };
    for (const Case& c : cases) EXPECT_STREQ(flashCheckFailureMessage(c.code), c.text) << c.code;
}

TEST(UnusableController, OneLineNamesControllerDriverAndWhatToDo)
{
    struct Row {
        const char* driver;
        uint32_t reason;
        int error;
        const char* line;
    } rows[] = {
        {"hpsa", SC_UNUSABLE_NO_SCSI_GENERIC, 0,
         "zevupdate: controller 0000:03:00.0 (hpsa) cannot be used: no /sys/class/scsi_generic (load the sg module: "
         "modprobe sg)"},
        {"smartpqi", SC_UNUSABLE_NO_ACCESS, EACCES,
         "zevupdate: controller 0000:03:00.0 (smartpqi) cannot be used: permission denied on its device node (run as "
         "root)"},
        {"aacraid", SC_UNUSABLE_NO_ACCESS, EACCES,
         "zevupdate: controller 0000:03:00.0 (aacraid) cannot be used: permission denied on its device node (run as "
         "root)"},
        {"hpsa", SC_UNUSABLE_NO_ACCESS, EPERM,
         "zevupdate: controller 0000:03:00.0 (hpsa) cannot be used: operation not permitted (needs root with "
         "CAP_SYS_RAWIO)"},
        {"aacraid", SC_UNUSABLE_NO_ACCESS, EPERM,
         "zevupdate: controller 0000:03:00.0 (aacraid) cannot be used: operation not permitted (needs root with "
         "CAP_SYS_RAWIO, and CAP_SYS_ADMIN for SCSI requests)"},
        {"aacraid", SC_UNUSABLE_NODE_UNCONFIRMED, 0,
         "zevupdate: controller 0000:03:00.0 (aacraid) cannot be used: no /dev/aac node reaches this adapter (checked "
         "by PCI bus and slot)"},
    };
    for (const Row& r : rows) {
        SC_UnusableController u;
        std::memset(&u, 0, sizeof(u));
        std::strcpy(u.pciAddress, "0000:03:00.0");
        std::strcpy(u.driver, r.driver);
        u.reason = r.reason;
        u.error = r.error;
        EXPECT_EQ(describeUnusableController(u), r.line);
    }
}
