#include "UpdateRunControl.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>

namespace {

const char kLockFileName[] = "zevupdate.lock";
const int kDeferredSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = sizeof(kDeferredSignals) / sizeof(kDeferredSignals[0]);

volatile std::sig_atomic_t g_nPendingSignal = 0;
struct sigaction g_previous[kSignalCount];
bool g_bInstalled[kSignalCount] = {};

extern "C" void recordSignal(int signo)
{
    if (g_nPendingSignal == 0) g_nPendingSignal = signo;
}

// Opens path as our own regular lock file; -1 when it is not usable.
int openLockFile(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat st;
    // Someone else's file in a world-writable directory could be held locked forever by its owner.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::vector<std::string> updateLockCandidates()
{
    return {std::string("/run/lock/") + kLockFileName, std::string(P_tmpdir) + "/" + kLockFileName};
}

CUpdateLock::~CUpdateLock()
{
    // Closing the descriptor releases the lock.
    if (m_nFd >= 0) ::close(m_nFd);
}

UpdateLockResult CUpdateLock::acquire(const std::vector<std::string>& candidates,
                                      void (*onWait)(const std::string& path), bool (*stop)())
{
    for (const std::string& candidate : candidates) {
        int fd = openLockFile(candidate);
        if (fd < 0) continue;
        bool waited = false;
        for (;;) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                m_nFd = fd;
                m_strPath = candidate;
                return UpdateLockResult::Acquired;
            }
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK) break;
            if (!waited) {
                waited = true;
                if (onWait != nullptr) onWait(candidate);
            }
            // Polled rather than blocking, so that a termination signal ends the wait.
            if (stop != nullptr && stop()) {
                ::close(fd);
                return UpdateLockResult::Interrupted;
            }
            struct timespec pause = {0, 20 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
        ::close(fd);
    }
    return UpdateLockResult::Unavailable;
}

CDeferredSignals::CDeferredSignals()
{
    for (int i = 0; i < kSignalCount; ++i) {
        struct sigaction action {};
        action.sa_handler = recordSignal;
        sigemptyset(&action.sa_mask);
        // Interrupted system calls resume: the libraries below do not expect EINTR.
        action.sa_flags = SA_RESTART;
        if (::sigaction(kDeferredSignals[i], nullptr, &g_previous[i]) != 0) continue;
        if (g_previous[i].sa_handler == SIG_IGN) continue;  // e.g. started under nohup
        g_bInstalled[i] = ::sigaction(kDeferredSignals[i], &action, nullptr) == 0;
    }
}

CDeferredSignals::~CDeferredSignals()
{
    for (int i = 0; i < kSignalCount; ++i) {
        if (g_bInstalled[i]) ::sigaction(kDeferredSignals[i], &g_previous[i], nullptr);
        g_bInstalled[i] = false;
    }
}

int CDeferredSignals::pending()
{
    return g_nPendingSignal;
}

void CDeferredSignals::raisePending()
{
    int signo = g_nPendingSignal;
    if (signo == 0) return;
    // The document may sit in the stream buffers; raising skips the exit processing that flushes them.
    std::cout.flush();
    std::fflush(nullptr);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signo, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signo);
}
