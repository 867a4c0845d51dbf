#pragma once
// Small file and text helpers the test programs share.

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zevtest {

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Lines without their line ends.
inline std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// One record of the framework log: the base name of the source file and the message (line ends kept).
struct LogRecord {
    std::string file;
    std::string message;
};

// Records of a framework log text ("[YYYY-MM-DDTHH:MM:SS] : <blanks>FILE:<blanks>LINE: message" each), in
// order; a line without that head continues the message before it.
inline std::vector<LogRecord> logRecords(const std::string& logText)
{
    // Parsed by hand: a regular expression over a long message line can exhaust the stack.
    const auto head = [](const std::string& line, LogRecord& r) {
        if (line.size() < 24 || line[0] != '[' || line[20] != ']' || line.compare(21, 3, " : ") != 0) return false;
        std::size_t at = line.find_first_not_of(' ', 24);
        const std::size_t colon = line.find(':', at);
        if (at == std::string::npos || colon == std::string::npos || colon == at) return false;
        r.file = line.substr(at, colon - at);
        at = line.find_first_not_of(' ', colon + 1);
        const std::size_t digits = at == std::string::npos ? at : line.find_first_not_of("0123456789", at);
        if (digits == std::string::npos || digits == at || line.compare(digits, 2, ": ") != 0) return false;
        r.message = line.substr(digits + 2);
        return true;
    };
    std::vector<LogRecord> out;
    for (const std::string& line : splitLines(logText)) {
        LogRecord r;
        if (head(line, r))
            out.push_back(r);
        else if (!out.empty())
            out.back().message += "\n" + line;
    }
    return out;
}

// Messages of the records of one source file, or of all for an empty name, in order.
inline std::vector<std::string> logMessagesOf(const std::string& logText, const std::string& sourceFile)
{
    std::vector<std::string> out;
    for (const LogRecord& r : logRecords(logText))
        if (sourceFile.empty() || r.file == sourceFile) out.push_back(r.message);
    return out;
}

// Words separated by blanks: a table row's command line or file list in one string.
inline std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

// Single-quoted for sh.
inline std::string shq(const std::string& s) { return "'" + s + "'"; }

// Occurrences of what in text, overlapping ones too.
inline int countOf(const std::string& text, const std::string& what)
{
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Polls every 5 ms until done() or ms have passed; true when done.
inline bool waitFor(const std::function<bool()>& done, int ms = 20000)
{
    for (int waited = 0; waited < ms; waited += 5) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

}  // namespace zevtest
