// The bridge object on a host without supported controllers: start-up and shut-down lines, the
// cores' debug file (never through a planted symbolic link), and every operation's answer when
// there is nothing to talk to. Each case runs in a child process, because the bridge is built once
// per process and torn down at exit.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "CLogger.h"
#include "ZevoridedUtils.h"
#include "TestAssertions.h"
#include "TestFiles.h"
#include "TestWorkDir.h"

using namespace CM_ZEVORIDED_UTILS;

namespace {

const char* const kDriverDirs[] = {"hpsa",    "hpdsa",    "hpdsac",  "hpdsag",  "hpdsaw",
                                   "smartdq", "smartdqg", "aacraid", "smartpqi"};

bool hostHasSupportedDriver()
{
    for (const char* d : kDriverDirs) {
        struct stat st;
        if (::stat((std::string("/sys/bus/pci/drivers/") + d).c_str(), &st) == 0) return true;
    }
    return false;
}

using zevtest::containsInOrder;
using zevtest::readFile;

class BridgeOnEmptyHost : public zevtest::WorkDirTest {
protected:
    BridgeOnEmptyHost() : zevtest::WorkDirTest("zevbridge") {}
    void SetUp() override
    {
        if (hostHasSupportedDriver()) GTEST_SKIP() << "this host has a supported controller driver";
        zevtest::WorkDirTest::SetUp();
    }
    std::string& dir = workDir;
};

#define CHILD_CHECK(cond, code)   \
    do {                          \
        if (!(cond)) _exit(code); \
    } while (0)

// Child of the logged run: checks what it can see itself, leaves the files to the parent.
void runLoggedOperations(const std::string& dir)
{
    CHILD_CHECK(::chdir(dir.c_str()) == 0, 10);
    CLogger::GetInstance()->Initialize("framework.log");
    ZevoridedUtils& bridge = ZevoridedUtils::getInstance();
    CHILD_CHECK(&bridge == &ZevoridedUtils::getInstance(), 11);
    CHILD_CHECK(bridge.getControllerCount() == 0, 12);

    std::vector<controller_properties*> records;
    bridge.getControllerInventory(records);
    CHILD_CHECK(records.empty(), 13);

    {
        std::ofstream image("image.bin", std::ios::binary);
        image << "0123456789";
    }
    controller_PCI_Info key{};
    copyToField(key.szVendorID, "9005");
    unsigned short status = 77;
    CHILD_CHECK(!bridge.canFlashControllerFirmware(key, "image.bin", status), 14);
    CHILD_CHECK(status == 77, 15);
    CHILD_CHECK(!bridge.flashControllerFirmware(key, "image.bin", status), 16);
    CHILD_CHECK(status == 77, 17);
    CHILD_CHECK(bridge.getControllerDataAreaFromPCIInfo(&key) == nullptr, 18);

    CHILD_CHECK(bridge.getFileSizeInBytes("image.bin") == 10, 19);
    CHILD_CHECK(bridge.getFileSizeInBytes("missing.bin") == 0, 20);
    unsigned char buffer[16] = {};
    CHILD_CHECK(bridge.fillImageBuffer(buffer, "image.bin", 10), 21);
    CHILD_CHECK(std::string(reinterpret_cast<char*>(buffer), 10) == "0123456789", 22);
    CHILD_CHECK(!bridge.fillImageBuffer(buffer, "image.bin", 11), 23);  // short file
    CHILD_CHECK(!bridge.fillImageBuffer(buffer, "missing.bin", 1), 24);
    CHILD_CHECK(!bridge.fillImageBuffer(nullptr, "image.bin", 1), 25);

    ZevoridedUtils::logControllerFlashprogress(50);
    SC_DebugLog(1, "first core line\n");
    SC_DebugLog(3, "second core line");
    std::exit(0);  // runs the bridge's destructor
}

}  // namespace

TEST_F(BridgeOnEmptyHost, LoggedRunWritesEveryLineAndTheCoreDebugFile)
{
    EXPECT_EXIT(runLoggedOperations(dir), ::testing::ExitedWithCode(0), "");
    const std::string log = readFile(dir + "/framework.log");
    EXPECT_TRUE(containsInOrder(log, {
                                         "ZevoridedUtils.cpp:",
                                         "Entering ZevoridedUtils::ZevoridedUtils()",
                                         "ZevoridedUtils() SC interface version 3\n",
                                         "ZevoridedUtils() SC major version 30\n",
                                         "ZevoridedUtils() SC minor version 7\n",
                                         "ZevoridedUtils() SC build number 0\n",
                                         "ZevoridedUtils() SC build date 2018-01-31\n",
                                         "Entering ZevoridedUtils::initializeControllerDataArea()",
                                         "initializeControllerDataArea() Number of controller handles = 0\n",
                                         "Leaving ZevoridedUtils::initializeControllerDataArea()",
                                         "ZevoridedUtils::ZevoridedUtils() zero controllers found",
                                         "Leaving ZevoridedUtils::ZevoridedUtils()",
                                         "Entering ZevoridedUtils::getControllerInventory()",
                                         "getControllerInventory():: zero controller handles",
                                         "Entering ZevoridedUtils::canFlashControllerFirmware()",
                                         "canFlashControllerFirmware():: zero controller handles",
                                         "Entering ZevoridedUtils::flashControllerFirmware()",
                                         "flashControllerFirmware():: zero controller handles",
                                         "Entering ZevoridedUtils::getControllerDataAreaFromPCIInfo()",
                                         "Found no matching controller with the requested PCIInfo",
                                         "Entering ZevoridedUtils::getFileSizeInBytes()",
                                         "Leaving ZevoridedUtils::getFileSizeInBytes()",
                                         "getFileSizeInBytes():: error on stat",
                                         "Entering ZevoridedUtils::fillImageBuffer()",
                                         "Leaving ZevoridedUtils::fillImageBuffer()",
                                         "fillImageBuffer():: fread() encountered problem while reading file",
                                         "fillImageBuffer():: fopen() returned null pointer",
                                         "Entering ZevoridedUtils::fillImageBuffer()",
                                         ": logControllerFlashprogress: Flash Progress: 50%\n\n",
                                         "Entering ZevoridedUtils::~ZevoridedUtils()",
                                         "~ZevoridedUtils():: Device descriptors destroyed",
                                         "~ZevoridedUtils():: StorageCore uninitialized",
                                         "~ZevoridedUtils():: Syscore uninitialized",
                                         "~ZevoridedUtils():: Syscore debug file handle closed",
                                         "Leaving ZevoridedUtils::~ZevoridedUtils()",
                                     }));
    // Refusals before the storage core is reached never say they are leaving.
    EXPECT_EQ(log.find("Leaving ZevoridedUtils::canFlashControllerFirmware()"), std::string::npos);
    EXPECT_EQ(log.find("Leaving ZevoridedUtils::flashControllerFirmware()"), std::string::npos);
    EXPECT_EQ(log.find("Syscore debug file handle not initialized"), std::string::npos);
    // Each core text is followed by a newline, also when it already ends in one.
    EXPECT_EQ(readFile(dir + "/debug_syscore.log"), "first core line\n\nsecond core line\n");
}

namespace {

void runWithPlantedLink(const std::string& dir)
{
    CHILD_CHECK(::chdir(dir.c_str()) == 0, 10);
    CHILD_CHECK(::symlink("target.txt", "debug_syscore.log") == 0, 11);
    CLogger::GetInstance()->Initialize("framework.log");
    ZevoridedUtils::getInstance();
    SC_DebugLog(1, "must not reach the link target\n");
    std::exit(0);
}

void runWithoutLogger(const std::string& dir)
{
    CHILD_CHECK(::chdir(dir.c_str()) == 0, 10);
    ZevoridedUtils::getInstance();
    SC_DebugLog(1, "nobody listens\n");
    std::exit(0);
}

}  // namespace

TEST_F(BridgeOnEmptyHost, PlantedLinkIsNotFollowed)
{
    {
        std::ofstream(dir + "/target.txt") << "keep";
    }
    EXPECT_EXIT(runWithPlantedLink(dir), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(readFile(dir + "/target.txt"), "keep");
    struct stat st;
    ASSERT_EQ(::lstat((dir + "/debug_syscore.log").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    const std::string log = readFile(dir + "/framework.log");
    EXPECT_TRUE(containsInOrder(log, {"ZevoridedUtils::sysCoreDebugCallback Syscore debug file handle not initialized",
                                      "Leaving ZevoridedUtils::~ZevoridedUtils()"}));
    EXPECT_EQ(log.find("Syscore debug file handle closed"), std::string::npos);
}

TEST_F(BridgeOnEmptyHost, NoLoggerNoCoreDebugFile)
{
    EXPECT_EXIT(runWithoutLogger(dir), ::testing::ExitedWithCode(0), "");
    struct stat st;
    EXPECT_NE(::lstat((dir + "/debug_syscore.log").c_str(), &st), 0);
}
