#include <gtest/gtest.h>

#include <cctype>
#include <vector>

#include "CLogger.h"
#include "CPlatformLayer.h"
#include "TempDir.h"

namespace {

using zevtest::splitLines;

// True when text has the shape of mask, where '9' stands for any decimal digit.
bool matchesMask(const std::string& text, const std::string& mask)
{
    if (text.size() != mask.size()) return false;
    for (std::size_t i = 0; i < mask.size(); ++i) {
        if (mask[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != mask[i]) return false;
    }
    return true;
}

// The 22-byte time stamp "[YYYY-MM-DDTHH:MM:SS] " is checked by shape; the rest byte for byte.
void expectLine(const std::string& line, const std::string& afterStamp)
{
    ASSERT_GE(line.size(), 22u) << line;
    EXPECT_TRUE(matchesMask(line.substr(0, 22), "[9999-99-99T99:99:99] ")) << line;
    EXPECT_EQ(line.substr(22), afterStamp);
}

// The log holds exactly these lines.
void expectLines(const std::string& path, const std::vector<std::string>& afterStamps)
{
    const std::vector<std::string> got = splitLines(readFile(path));
    ASSERT_EQ(got.size(), afterStamps.size());
    for (std::size_t i = 0; i < got.size(); ++i) expectLine(got[i], afterStamps[i]);
}

TEST(Logger, LineFormatPadsNameTo25AndLineTo5)
{
    TempDir dir;
    CLogger logger;
    logger.Initialize(dir.file("a.log"));
    ASSERT_TRUE(logger.m_bInitialized);
    struct Case {
        const char* file;
        unsigned line;
        const char* expected;
    } cases[] = {
        {"/x/y/cm_CMBaseUtils/src/DeviceInfo.cpp", 48, ":            DeviceInfo.cpp:   48: msg"},
        {"noslash.cpp", 7, ":               noslash.cpp:    7: msg"},
        {"/p/ThisFileNameIsLongerThan25Chars.cpp", 1234567, ": ThisFileNameIsLongerThan25Chars.cpp:1234567: msg"},
        {"/p/abcdefghijklmnopqrstuvwxy", 12345, ": abcdefghijklmnopqrstuvwxy:12345: msg"},
        {"/p/abcdefghijklmnopqrstu.c", 99999, ":   abcdefghijklmnopqrstu.c:99999: msg"},
        {"/src/ABCDEFGHIJKLMNOPQRSTU", 48, ":     ABCDEFGHIJKLMNOPQRSTU:   48: msg"},  // 21 characters: four blanks
    };
    for (const Case& c : cases) logger.log(c.file, c.line, "msg");
    std::vector<std::string> got = splitLines(readFile(dir.file("a.log")));
    ASSERT_EQ(got.size(), sizeof(cases) / sizeof(cases[0]));
    for (std::size_t i = 0; i < got.size(); ++i) expectLine(got[i], cases[i].expected);
}

TEST(Logger, NothingWrittenBeforeInitializeAndStreamKept)
{
    CLogger logger;
    std::ostringstream msg;
    msg << "kept";
    logger.log("f.cpp", 1, msg);
    EXPECT_EQ(msg.str(), "kept");
    logger.log("f.cpp", 1, std::string("dropped"));
    EXPECT_FALSE(logger.m_bInitialized);
}

TEST(Logger, StreamVariantWritesAndEmptiesStream)
{
    TempDir dir;
    CLogger logger;
    logger.Initialize(dir.file("s.log"));
    std::ostringstream msg;
    msg << "first " << 1;
    logger.log("f.cpp", 2, msg);
    EXPECT_EQ(msg.str(), "");
    msg << "second";
    logger.log("f.cpp", 3, msg);
    expectLines(dir.file("s.log"),
                {":                     f.cpp:    2: first 1", ":                     f.cpp:    3: second"});
}

TEST(Logger, InitializeResultsAndFirstFileWins)
{
    TempDir dir;
    CLogger logger;
    EXPECT_FALSE(logger.Initialize(""));  // cannot open: an attempt, logging stays off
    EXPECT_FALSE(logger.m_bInitialized);
    EXPECT_FALSE(logger.Initialize(dir.file("missing/dir.log")));
    EXPECT_FALSE(logger.m_bInitialized);
    EXPECT_FALSE(logger.Initialize(dir.file("baseutils.log")));  // now opens
    EXPECT_TRUE(logger.m_bInitialized);
    EXPECT_TRUE(logger.Initialize(dir.file("other.log")));  // already on: nothing done
    EXPECT_EQ(logger.m_strFileName, dir.file("baseutils.log"));
    logger.log("f.cpp", 1, "line");
    EXPECT_FALSE(pathExists(dir.file("other.log")));
    EXPECT_EQ(splitLines(readFile(dir.file("baseutils.log"))).size(), 1u);
}

TEST(Logger, InitializeTruncatesThePreviousRun)
{
    TempDir dir;
    writeFile(dir.file("run.log"), "old run line\nanother\n");
    {
        CLogger logger;
        logger.Initialize(dir.file("run.log"));
        logger.log("f.cpp", 1, "new");
    }
    expectLines(dir.file("run.log"), {":                     f.cpp:    1: new"});
}

TEST(Logger, SymbolicLinkInPlaceOfLogIsNotFollowed)
{
    TempDir dir;
    writeFile(dir.file("target"), "precious");
    ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file("debug_inv.log").c_str()), 0);
    CLogger logger;
    logger.Initialize(dir.file("debug_inv.log"));
    EXPECT_FALSE(logger.m_bInitialized);
    logger.log("f.cpp", 1, "must not land anywhere");
    EXPECT_EQ(readFile(dir.file("target")), "precious");
    // A dangling link must not create its target either.
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dir.file("dangling.log").c_str()), 0);
    logger.Initialize(dir.file("dangling.log"));
    EXPECT_FALSE(logger.m_bInitialized);
    EXPECT_FALSE(pathExists(dir.file("nowhere")));
}

TEST(Logger, FifoInPlaceOfLogDoesNotBlock)
{
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo.log").c_str(), 0600), 0);
    CLogger logger;
    logger.Initialize(dir.file("fifo.log"));
    EXPECT_FALSE(logger.m_bInitialized);
}

TEST(Logger, GetFileName)
{
    EXPECT_EQ(CLogger::getFileName("a/b/c.cpp"), "c.cpp");
    EXPECT_EQ(CLogger::getFileName("c.cpp"), "c.cpp");
    EXPECT_EQ(CLogger::getFileName("dir/"), "");
    EXPECT_EQ(CLogger::getFileName(""), "");
}

TEST(Logger, GlobalNamesAndSingleInstance)
{
    EXPECT_EQ(strEnableLogFileName, "zepdebuglog");
    EXPECT_EQ(strBaseUtilsLogFileName, "baseutils.log");
    EXPECT_EQ(CLogger::GetInstance(), CLogger::GetInstance());
    EXPECT_NE(CLogger::GetInstance(), nullptr);
}

TEST(MarkerFile, CreatedEmptyAndTruncated)
{
    TempDir dir(true);
    EXPECT_TRUE(CPlatformLayer::CreateEmptyZEPDebuLogFile());
    EXPECT_TRUE(pathExists(dir.file("zepdebuglog")));
    writeFile(dir.file("zepdebuglog"), "content");
    EXPECT_TRUE(CPlatformLayer::CreateEmptyZEPDebuLogFile());
    EXPECT_EQ(readFile(dir.file("zepdebuglog")), "");
}

TEST(MarkerFile, SymbolicLinkIsNotFollowed)
{
    TempDir dir(true);
    writeFile(dir.file("victim"), "keep me");
    ASSERT_EQ(symlink("victim", "zepdebuglog"), 0);
    EXPECT_FALSE(CPlatformLayer::CreateEmptyZEPDebuLogFile());
    EXPECT_EQ(readFile(dir.file("victim")), "keep me");
}

}  // namespace

TEST(Logger, LogMacrosBuildTheMessageOnlyWhenLoggingIsOn)
{
    // One row per macro and logging state: how often the message expression ran, and the base name
    // the written line carries (none written when off).
    struct Case {
        bool on;
        const char* fixedSource;  // null: ZEV_LOG, from this file
        int evaluations;
        const char* name;
    } cases[] = {
        {false, nullptr, 0, nullptr},
        {false, "cm_Any/src/Fixed.cpp", 0, nullptr},
        {true, nullptr, 1, "test_logger.cpp"},
        {true, "cm_Any/src/Fixed.cpp", 1, "Fixed.cpp"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        CLogger local;
        CLogger* const saved = CLogger::m_ptrInstance;
        CLogger::m_ptrInstance = &local;
        if (c.on) local.Initialize(dir.file("m.log"));
        int evaluations = 0;
        auto message = [&evaluations] {
            ++evaluations;
            return std::string("built");
        };
        if (c.fixedSource == nullptr)
            ZEV_LOG(message());
        else
            ZEV_LOG_AS(c.fixedSource, message());
        CLogger::m_ptrInstance = saved;

        EXPECT_EQ(evaluations, c.evaluations) << c.on;
        EXPECT_EQ(CLogger::enabled(), saved != nullptr && saved->m_bInitialized);
        if (!c.on) {
            EXPECT_FALSE(CPlatformLayer::IsFileExits(dir.file("m.log")));
            continue;
        }
        std::vector<std::string> got = splitLines(readFile(dir.file("m.log")));
        ASSERT_EQ(got.size(), 1u);
        const std::string text = got[0];
        EXPECT_NE(text.find(std::string(" ") + c.name + ":"), std::string::npos) << text;
        EXPECT_EQ(text.substr(text.size() - 7), ": built") << text;
    }
}
