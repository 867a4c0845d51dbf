#pragma once
// The framework log of a whole test program (opened once, in a folder of its own) and the records a
// step added to it. Only for programs that link the framework library.

#include <string>
#include <vector>

#include "CLogger.h"
#include "TempDir.h"
#include "TestFiles.h"

namespace zevtest {

// Path of the program's log; the process-wide logger is pointed at it on first use.
inline const std::string& programLog()
{
    static TempDir dir;
    static const std::string path = [] {
        const std::string p = dir.file("program.log");
        CLogger::GetInstance()->Initialize(p);
        return p;
    }();
    return path;
}

// A place in the program's log; records() gives what was written after it.
class LogMark {
public:
    LogMark() : m_offset(readFile(programLog()).size()) {}

    // Records of one source file, or of all for an empty name.
    std::vector<LogRecord> records(const std::string& onlyFile = std::string()) const
    {
        std::vector<LogRecord> kept;
        for (const LogRecord& r : logRecords(readFile(programLog()).substr(m_offset)))
            if (onlyFile.empty() || r.file == onlyFile) kept.push_back(r);
        return kept;
    }

    std::vector<std::string> messages(const std::string& onlyFile = std::string()) const
    {
        return logMessagesOf(readFile(programLog()).substr(m_offset), onlyFile);
    }

private:
    std::size_t m_offset;
};

}  // namespace zevtest
