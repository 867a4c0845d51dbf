#include "UpdateProgress.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace {

// Return to the line's start; the text is followed by "erase to end of line".
const char kLineStart[] = "\r";
const char kEraseToEnd[] = "\033[K";

}  // namespace

std::string terminalSafeText(const std::string& text, std::size_t width)
{
    std::string safe;
    for (char c : text) {
        if (safe.size() == width) break;
        unsigned char u = static_cast<unsigned char>(c);
        safe += (u >= 0x20 && u < 0x7f) ? c : '?';
    }
    return safe;
}

std::size_t progressNameWidth(unsigned columns)
{
    if (columns == 0) return kProgressNameWidth;
    if (columns <= kProgressLineRest + 10) return 10;
    return columns - kProgressLineRest - 1;
}

std::string formatProgressLine(const std::string& name, int pass, int percentage, std::size_t nameWidth)
{
    if (percentage < 0) percentage = 0;
    if (percentage > 100) percentage = 100;
    int filled = percentage * kProgressBarWidth / 100;
    char head[64];
    std::snprintf(head, sizeof(head), ": pass %d of 2 %3d%% [", pass, percentage);
    return terminalSafeText(name, nameWidth) + head + std::string(filled, '#') +
           std::string(kProgressBarWidth - filled, '.') + "]";
}

CUpdateProgress::CUpdateProgress(int fd)
{
    if (::isatty(fd) != 1) return;
    // A new open file description of the same terminal: O_NONBLOCK on it is ours alone. Without one
    // there is no progress, since a write could block.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    m_nFd = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (m_nFd < 0) return;
    if (::isatty(m_nFd) != 1) {
        ::close(m_nFd);
        m_nFd = -1;
        return;
    }
    m_bEnabled = true;
    struct winsize size {};
    if (::ioctl(m_nFd, TIOCGWINSZ, &size) == 0) m_nNameWidth = progressNameWidth(size.ws_col);
}

CUpdateProgress::~CUpdateProgress()
{
    if (m_nFd >= 0) ::close(m_nFd);
}

void CUpdateProgress::write(const std::string& text)
{
    // One attempt: what the terminal does not take at once is dropped (the next update redraws the
    // whole line), and a terminal that went away must not stop the update either.
    ssize_t n = ::write(m_nFd, text.data(), text.size());
    (void)n;
}

void CUpdateProgress::note(const std::string& text)
{
    if (m_bEnabled) write(text + "\n");
}

void CUpdateProgress::beginController(const std::string& name)
{
    m_strName = name;
    m_nPass = 1;
    m_nPercentage = 0;
    m_bPassDone = false;
    m_bActive = true;
    if (m_bEnabled) write(kLineStart + formatProgressLine(m_strName, m_nPass, 0, m_nNameWidth) + kEraseToEnd);
}

void CUpdateProgress::report(int percentage)
{
    if (!m_bActive) return;
    if (m_bPassDone) {
        ++m_nPass;
        m_bPassDone = false;
    }
    m_nPercentage = percentage;
    if (percentage >= 100) m_bPassDone = true;
    if (m_bEnabled)
        write(kLineStart + formatProgressLine(m_strName, m_nPass, m_nPercentage, m_nNameWidth) + kEraseToEnd);
}

void CUpdateProgress::endController(const std::string& name, const std::string& outcome)
{
    std::string line = m_bActive ? formatProgressLine(m_strName, m_nPass, m_nPercentage, m_nNameWidth)
                                 : terminalSafeText(name, m_nNameWidth) + ":";
    m_bActive = false;
    if (m_bEnabled) write(kLineStart + line + " " + terminalSafeText(outcome, std::string::npos) + kEraseToEnd + "\n");
}

void CUpdateProgress::observe(void* context, int percentage)
{
    static_cast<CUpdateProgress*>(context)->report(percentage);
}
