#pragma once
// Guards of one update run: the exclusive lock that keeps two runs from sending commands to the same
// controllers at the same time, and the deferral of termination signals while a controller is being
// flashed (an interrupted flash sequence can leave the controller without usable firmware).

#include <signal.h>

#include <string>
#include <vector>

// Lock file of the update runs: one place only root can create a file in, so that no other user
// can plant a file there that switches the lock off or holds it forever.
std::vector<std::string> updateLockCandidates();

// The guards below hold a process-wide state from construction to destruction: never copied.
class CRunGuard {
public:
    CRunGuard(const CRunGuard&) = delete;
    CRunGuard& operator=(const CRunGuard&) = delete;

protected:
    CRunGuard() = default;
    ~CRunGuard() = default;
};

// Outcome of taking the update lock.
enum class UpdateLockResult { Acquired, Interrupted, Unavailable };

// The exclusive advisory lock (flock) on the update lock file, held until destruction.
class CUpdateLock : private CRunGuard {
public:
    CUpdateLock() = default;
    ~CUpdateLock();

    // Opens the first usable candidate and waits until the lock is ours. A usable candidate is a
    // regular file owned by root, opened for writing without following a symbolic link; root creates
    // it (mode 0600) when missing, any other user only uses one root made and let it write to.
    // onWait runs once when another run holds it; stop is polled while waiting and ends the wait with
    // Interrupted when it returns true. Unavailable when no candidate can be opened and locked.
    UpdateLockResult acquire(const std::vector<std::string>& candidates, void (*onWait)(const std::string& path),
                             bool (*stop)());
    // The path of the file that is locked; empty when none.
    const std::string& path() const { return m_strPath; }
    // Gives the lock up early (once nothing more is sent to a controller).
    void release();

private:
    int m_nFd = -1;
    std::string m_strPath;
};

// Records SIGINT, SIGTERM and SIGHUP instead of ending the process, from construction until
// destruction (which restores the previous dispositions). A signal the process ignores at
// construction stays ignored. Blocking calls are not resumed after the handler (they fail with
// EINTR), so a recorded signal is seen at the next check instead of waiting on a pipe or a FIFO.
class CDeferredSignals : private CRunGuard {
public:
    CDeferredSignals();
    ~CDeferredSignals();

    // The first recorded signal number; 0 when none arrived.
    static int pending();
    // True when a signal was recorded (usable as the lock's stop test).
    static bool stopRequested() { return pending() != 0; }
    // When a signal was recorded: restores the default disposition, flushes standard output unless
    // a write to it already failed (a second signal ends a flush that blocks), and raises it, so the
    // process ends as that signal would have ended it. Returns when none was.
    static void raisePending();
};

// One controller's flash sequence: SIGINT, SIGTERM and SIGHUP are held back (blocked) from
// construction to destruction, where one that arrived meanwhile is recorded by CDeferredSignals.
// Nothing inside the sequence sees an interrupted call.
class CFlashSection : private CRunGuard {
public:
    CFlashSection();
    ~CFlashSection();

private:
    sigset_t m_previous;
};
