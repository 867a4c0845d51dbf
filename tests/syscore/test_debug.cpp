// Debug log delivery, hex dump layout and the start-up checksum line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "SyscoreTestSupport.h"

namespace {
std::string Dump(const std::vector<uint8_t>& bytes)
{
    char* text = SC_FormatDataBuffer(bytes.data(), (uint32_t)bytes.size());
    std::string s = text ? text : "";
    _SA_free(text, __FILE__, __LINE__);
    return s;
}

const std::string kHeader =
    "\n0F 0E 0D 0C 0B 0A 09 08 07 06 05 04 03 02 01 00 |      | 0123456789ABCDEF\n"
    "----------------------------------------------- + ---- + ----------------\n";
}  // namespace

TEST(DebugLog, DeliversOnlyLevelsUpToTheCurrentOne)
{
    struct Case {
        uint32_t current;
        uint8_t level;
        bool delivered;
    } cases[] = {{3, 0, false}, {0, 0, false}, {3, 4, false},   {3, 3, true},
                 {3, 1, true},  {1, 2, false}, {0x102, 2, true}};
    for (const auto& c : cases) {
        LogCapture capture(c.current);
        SC_DebugLog(c.level, "line %d\n", 7);
        EXPECT_EQ(LogCapture::Lines().size(), c.delivered ? 1u : 0u) << c.current << "/" << (int)c.level;
        if (c.delivered) {
            EXPECT_EQ(LogCapture::Only(), std::make_pair(c.level, std::string("line 7\n")));
        }
    }
}

TEST(DebugLog, LongMessagesAreNotCut)
{
    LogCapture capture(2);
    std::string big(10000, 'x');
    SC_DebugLog(2, "%s|%s", big.c_str(), big.c_str());
    EXPECT_EQ(LogCapture::Only().second.size(), 20001u);
}

TEST(DebugLog, WithoutCallbackNothingIsFormatted)
{
    SC_SetDebugCallback(nullptr);
    SC_SetDebugLogLevel(3);
    // Formatting this would dereference an invalid pointer.
    SC_DebugLog(1, "%s", (const char*)1);
    SC_LogDataBuffer(1, (const void*)1, 64);
    SC_SetDebugLogLevel(0);
    SUCCEED();
}

TEST(HexDump, EmptyBufferGivesTheHeaderOnly)
{
    EXPECT_EQ(Dump({}), kHeader);
    LogCapture capture(1);
    SC_LogDataBuffer(1, nullptr, 0);
    EXPECT_EQ(LogCapture::Only().second, kHeader);
}

TEST(HexDump, ThreeBytesStandRightAligned)
{
    std::string row = std::string(39, ' ') + "0A 42 41 | 0000 | AB.\n";
    EXPECT_EQ(Dump({0x41, 0x42, 0x0A}), kHeader + row);
}

TEST(HexDump, SeventeenBytesMakeTwoRows)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 17; ++i) bytes.push_back((uint8_t)(0x30 + i));
    std::string row1 = "3F 3E 3D 3C 3B 3A 39 38 37 36 35 34 33 32 31 30 | 0000 | 0123456789:;<=>?\n";
    std::string row2 = std::string(45, ' ') + "40 | 0010 | @\n";
    EXPECT_EQ(Dump(bytes), kHeader + row1 + row2);
}

TEST(HexDump, OffsetsAbove64KiBGetWiderLabels)
{
    std::vector<uint8_t> bytes(0x10011, 0xFF);
    bytes[0x10010] = 'Z';
    std::string text = Dump(bytes);
    EXPECT_NE(text.find("| FFF0 | "), std::string::npos);
    EXPECT_NE(text.find("| 10000 | "), std::string::npos);
    std::string last = std::string(45, ' ') + "5A | 10010 | Z\n";
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    // 0x1001 full rows of 74 characters (one more for 5-digit labels) and the final one.
    EXPECT_EQ(text.size(), kHeader.size() + 0x1000 * 74 + 75 + last.size());
}

TEST(HexDump, NonPrintableBytesShowAsDots)
{
    std::string text = Dump({0x00, 0x7F, 0x80, 0xFF, ' '});
    EXPECT_NE(text.find("| 0000 | .... \n"), std::string::npos);
}

TEST(StartUp, ChecksumMismatchLogsOneAssertionLine)
{
    LogCapture capture(1);
    EXPECT_EQ(InitializeSysCore("0000"), 0u);
    UnInitializeSysCore();
    EXPECT_EQ(LogCapture::Only().first, 1);
    EXPECT_EQ(LogCapture::Only().second,
              std::string("InitializeSysCore: Assertion `strcmp(checksum, \"") + SC_HEADER_CHECKSUM +
                  "\") == 0' failed: Header/library checksum mismatch for 3.30.7 \"2018-01-31\"\n");

    LogCapture::Lines().clear();
    EXPECT_EQ(InitializeSysCore(SC_HEADER_CHECKSUM), 1u);
    UnInitializeSysCore();
    EXPECT_TRUE(LogCapture::Lines().empty());
    EXPECT_EQ(std::strlen(SC_HEADER_CHECKSUM), 40u);
}

TEST(StartUp, LocksExistOnlyBetweenStartAndEnd)
{
    EXPECT_EQ(_SC_MutexLock(&_SC_SysCoreDebugMutex, __FILE__, __LINE__), 0);
    InitializeSysCore(SC_HEADER_CHECKSUM);
    EXPECT_EQ(_SC_SysCoreDebugMutex.initialized, 1u);
    EXPECT_EQ(_SC_SysCoreLocaltimeMutex.initialized, 1u);
    {
        // Logging still works with the lock in place.
        LogCapture capture(2);
        SC_DebugLog(2, "with lock\n");
        EXPECT_EQ(LogCapture::At(2), "with lock\n");
    }
    UnInitializeSysCore();
    EXPECT_EQ(_SC_SysCoreDebugMutex.initialized, 0u);
    EXPECT_EQ(_SC_SysCoreLocaltimeMutex.initialized, 0u);
}
