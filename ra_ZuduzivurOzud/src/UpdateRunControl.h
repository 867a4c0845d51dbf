#pragma once
// Guards of one update run: the exclusive lock that keeps two runs from sending commands to the same
// controllers at the same time, and the deferral of termination signals while a controller is being
// flashed (an interrupted flash sequence can leave the controller without usable firmware).

#include <string>
#include <vector>

// Lock file of the update runs, in order of preference: the system's lock directory, then the
// system's temporary directory (a fixed one, so that runs with different TMPDIR still meet).
std::vector<std::string> updateLockCandidates();

// Outcome of taking the update lock.
enum class UpdateLockResult { Acquired, Interrupted, Unavailable };

// The exclusive advisory lock (flock) on the update lock file, held until destruction.
class CUpdateLock {
public:
    CUpdateLock() = default;
    ~CUpdateLock();
    CUpdateLock(const CUpdateLock&) = delete;
    CUpdateLock& operator=(const CUpdateLock&) = delete;

    // Opens the first usable candidate (a regular file of ours, never through a symbolic link) and
    // waits until the lock is ours. onWait runs once when another run holds it; stop is polled while
    // waiting and ends the wait with Interrupted when it returns true. Unavailable when no candidate
    // can be opened and locked.
    UpdateLockResult acquire(const std::vector<std::string>& candidates, void (*onWait)(const std::string& path),
                             bool (*stop)());
    // The path of the file that is locked; empty when none.
    const std::string& path() const { return m_strPath; }

private:
    int m_nFd = -1;
    std::string m_strPath;
};

// Records SIGINT, SIGTERM and SIGHUP instead of ending the process, from construction until
// destruction (which restores the previous dispositions). A signal the process ignores at
// construction stays ignored.
class CDeferredSignals {
public:
    CDeferredSignals();
    ~CDeferredSignals();
    CDeferredSignals(const CDeferredSignals&) = delete;
    CDeferredSignals& operator=(const CDeferredSignals&) = delete;

    // The first recorded signal number; 0 when none arrived.
    static int pending();
    // True when a signal was recorded (usable as the lock's stop test).
    static bool stopRequested() { return pending() != 0; }
    // When a signal was recorded: flushes standard output, restores the default disposition and
    // raises it, so the process ends as that signal would have ended it. Returns when none was.
    static void raisePending();
};
