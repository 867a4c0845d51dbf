#pragma once
// Process-wide debug log of the framework. Every call is a no-op until a log file has been opened,
// so framework code logs unconditionally.

#include <sstream>
#include <string>

// Name of the marker file in the working directory that keeps debug logging on across runs.
extern const std::string strEnableLogFileName;  // "zepdebuglog"
// Log file the package descriptor reader opens when it finds the marker file.
extern const std::string strBaseUtilsLogFileName;  // "baseutils.log"

// The marker file is in the working directory as a regular file: a FIFO, device or link in its place
// is nothing and leaves logging off.
bool loggingMarkerPresent();

class CLogger {
public:
    CLogger();

    // The one instance, created on first use and never destroyed.
    static CLogger* GetInstance();

    // Opens (truncates) the log file. True only when already initialized (nothing done);
    // false after an attempt to open, whether or not it succeeded. A symbolic link in the
    // file's place is never followed: the open then fails and logging stays off.
    bool Initialize(const std::string& fileName);

    // One time-stamped line: "[time] : <base name, width 25>:<line, width 5>: <message>".
    void log(const char* file, unsigned int line, const std::string& message);
    // As above with the stream's text; empties the stream afterwards (untouched when logging is off).
    void log(const char* file, unsigned int line, std::ostringstream& message);

    // True while a log file is open; the one test a log call costs when logging is off.
    static bool enabled() { return m_ptrInstance != nullptr && m_ptrInstance->m_bInitialized; }

    // Part of the path after its last '/', or the whole path.
    static std::string getFileName(const std::string& path);

    std::string m_strFileName;
    int m_nLogFd;         // the open log file, -1 while closed
    bool m_bInitialized;  // read directly by other modules as "debug logging is on"

    static CLogger* m_ptrInstance;

private:
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;
};

// The one way to log: a line from the current source file and line. The message expression is only
// evaluated when logging is on, so a disabled call builds no string.
#define ZEV_LOG(msg) ZEV_LOG_AS(__FILE__, msg)
// As ZEV_LOG for lines that must carry a fixed source name (code split out of the file that logs).
#define ZEV_LOG_AS(source, msg)                                                         \
    do {                                                                                \
        if (CLogger::enabled()) CLogger::GetInstance()->log((source), __LINE__, (msg)); \
    } while (0)
