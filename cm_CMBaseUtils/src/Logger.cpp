#include "CLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iomanip>

#include "CPlatformLayer.h"
#include "SafeFiles.h"

const std::string strEnableLogFileName = "zepdebuglog";
const std::string strBaseUtilsLogFileName = "baseutils.log";

CLogger* CLogger::m_ptrInstance = nullptr;

bool loggingMarkerPresent()
{
    return CPlatformLayer::IsFileExits(strEnableLogFileName) && SafeFiles::isRegularFile(strEnableLogFileName);
}

CLogger::CLogger() : m_strFileName("debug.log"), m_nLogFd(-1), m_bInitialized(false) {}

CLogger* CLogger::GetInstance()
{
    if (m_ptrInstance == nullptr) m_ptrInstance = new CLogger();
    return m_ptrInstance;
}

// true when already initialized; false after an open attempt (check m_bInitialized for its outcome).
bool CLogger::Initialize(const std::string& fileName)
{
    if (m_bInitialized) return true;
    m_strFileName = fileName;
    // The working directory is not ours: a link, FIFO or device in the log's place leaves logging off.
    int fd = SafeFiles::openRegularForWriting(m_strFileName, true, true);
    if (fd < 0) return false;
    m_nLogFd = fd;
    m_bInitialized = true;
    return false;
}

std::string CLogger::getFileName(const std::string& path)
{
    std::string::size_type pos = path.rfind('/');
    if (pos == std::string::npos) return path;
    return path.substr(pos + 1);
}

void CLogger::log(const char* file, unsigned int line, const std::string& message)
{
    if (!m_bInitialized) return;
    char stamp[80];
    std::memset(stamp, 0, sizeof(stamp));
    std::time_t now = std::time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) std::strftime(stamp, sizeof(stamp), "[%Y-%m-%dT%H:%M:%S] ", &local);

    std::ostringstream out;
    out << stamp << ": " << std::setw(25) << getFileName(file ? file : "") << ":" << std::setw(5) << line << ": "
        << message << "\n";
    const std::string text = out.str();

    // One write per line (the file is in append mode); retry short writes, ignore errors.
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(m_nLogFd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void CLogger::log(const char* file, unsigned int line, std::ostringstream& message)
{
    if (!m_bInitialized) return;
    log(file, line, message.str());
    message.str(std::string());
    message.clear();
}
