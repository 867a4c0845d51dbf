#pragma once
// The framework log of a whole test program (opened once, in a folder of its own) and the records a
// step added to it. Only for programs that link the framework library.

#include <sstream>
#include <string>
#include <vector>

#include "CLogger.h"
#include "TempDir.h"

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

// One logged record: the base name of the source file and the message (line ends kept).
struct LogRecord {
    std::string file;
    std::string message;
};

// A place in the program's log; records() gives what was written after it.
class LogMark {
public:
    LogMark() : m_offset(readFile(programLog()).size()) {}

    // Records of one source file, or of all for an empty name.
    std::vector<LogRecord> records(const std::string& onlyFile = std::string()) const
    {
        std::istringstream in(readFile(programLog()).substr(m_offset));
        std::vector<LogRecord> out;
        LogRecord r;
        for (std::string line; std::getline(in, line);) {
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

    std::vector<std::string> messages(const std::string& onlyFile = std::string()) const
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

}  // namespace zevtest
