#pragma once
// Shared helpers of the package tests: a scratch working directory, descriptor files and
// the lines the process-wide logger wrote during a step.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CDeviceInfo.h"
#include "CLogger.h"
#include "TempDir.h"
#include "TestFiles.h"

namespace pkgtest {

using zevtest::readFile;
using zevtest::writeFile;

// A fresh directory that is the working directory while the object lives.
class ScratchDir : public TempDir {
public:
    ScratchDir() : TempDir(true) {}
    void writePackage(const std::string& xml) const { writeFile(file("package.xml"), xml); }
};

// One logged record: the base name of the source file and the message (newlines kept).
struct LogRecord {
    std::string file;
    std::string message;
};

// Path of the log file the test program opened at start (log_environment.cpp).
std::string& logPath();

// Byte offset in the log; records() gives what was written after it.
class LogMark {
public:
    LogMark() : m_offset(readFile(logPath()).size()) {}

    std::vector<LogRecord> records(const std::string& onlyFile = std::string()) const
    {
        std::string text = readFile(logPath()).substr(m_offset);
        std::vector<LogRecord> out;
        std::istringstream in(text);
        std::string line;
        LogRecord r;
        while (std::getline(in, line)) {
            if (parseHead(line, r))
                out.push_back(r);
            else if (!out.empty())
                out.back().message += "\n" + line;  // a message that held a line end
        }
        std::vector<LogRecord> kept;
        for (const LogRecord& k : out)
            if (onlyFile.empty() || k.file == onlyFile) kept.push_back(k);
        return kept;
    }

    std::vector<std::string> messages(const std::string& onlyFile) const
    {
        std::vector<std::string> out;
        for (const LogRecord& r : records(onlyFile)) out.push_back(r.message);
        return out;
    }

private:
    // "[YYYY-MM-DDTHH:MM:SS] : <blanks><file>:<blanks><line>: <message>"
    static bool parseHead(const std::string& line, LogRecord& r)
    {
        if (line.size() < 24 || line[0] != '[' || line.compare(20, 4, "] : ") != 0) return false;
        std::string::size_type i = line.find_first_not_of(' ', 24);
        std::string::size_type colon = line.find(':', i);
        if (i == std::string::npos || colon == std::string::npos) return false;
        std::string::size_type digits = line.find_first_not_of(' ', colon + 1);
        std::string::size_type end = line.find_first_not_of("0123456789", digits);
        if (digits == std::string::npos || end == digits || line.compare(end, 2, ": ") != 0) return false;
        r.file = line.substr(i, colon - i);
        r.message = line.substr(end + 2);
        return true;
    }

    std::size_t m_offset;
};

// Opens the process-wide log once, in a directory of its own, for the whole test program.
class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        m_dir = std::make_unique<TempDir>();
        logPath() = m_dir->file("package_tests.log");
        CLogger::GetInstance()->Initialize(logPath());
        ASSERT_TRUE(CLogger::GetInstance()->m_bInitialized);
    }
    void TearDown() override { m_dir.reset(); }

private:
    std::unique_ptr<TempDir> m_dir;
};

inline std::vector<std::string> pciFields(const SPCIInfo& p)
{
    return {p.strComponentID, p.strDeviceID, p.strSubDeviceID, p.strVendorID, p.strSubVendorID, p.strDisplay};
}

}  // namespace pkgtest
