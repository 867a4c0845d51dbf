#include "UpdateRunControl.h"

#include <fcntl.h>
#include <pthread.h>
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

// Opens path as the update lock file; -1 when it is not usable. Only root may create it, and only a
// regular file owned by root is used: a file anybody else made could be held locked forever by its
// owner, or swapped for a link to somewhere the lock would not be shared.
int openLockFile(const std::string& path)
{
    const bool root = ::geteuid() == 0;
    int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    if (root) flags |= O_CREAT;
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::vector<std::string> updateLockCandidates() { return {std::string("/run/") + kLockFileName}; }

CUpdateLock::~CUpdateLock()
{
    // Closing the descriptor releases the lock.
    if (m_nFd >= 0) ::close(m_nFd);
}

void CUpdateLock::release()
{
    if (m_nFd >= 0) ::close(m_nFd);
    m_nFd = -1;
    m_strPath.clear();
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
        // No SA_RESTART: a call blocked on a pipe, FIFO or terminal must not hold the run after a
        // signal. The flash sequence, which must not see EINTR, runs with the signals blocked.
        action.sa_flags = 0;
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

int CDeferredSignals::pending() { return g_nPendingSignal; }

void CDeferredSignals::raisePending()
{
    int signo = g_nPendingSignal;
    if (signo == 0) return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signo, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    // The document may sit in the stream buffers; raising skips the exit processing that flushes them.
    // A stream whose write already failed (a pipe nobody reads, cut by the signal) is not tried again.
    if (!std::cout.bad() && std::ferror(stdout) == 0) {
        std::cout.flush();
        std::fflush(nullptr);
    }
    ::raise(signo);
}

CFlashSection::CFlashSection()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signo : kDeferredSignals) sigaddset(&set, signo);
    ::pthread_sigmask(SIG_BLOCK, &set, &m_previous);
}

CFlashSection::~CFlashSection()
{
    // A signal held back meanwhile is delivered here, to the recording handler.
    ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}
