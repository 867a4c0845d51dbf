#pragma once
// Starts a program as a child with its standard streams in files, waits for it within a time bound
// and kills its whole process group when the bound passes.

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zevtest {

struct ChildProcess {
    std::vector<std::string> argv;           // argv[0] is a path, not looked up
    std::string cwd;                         // empty: the test's own
    std::map<std::string, std::string> env;  // set on top of the test's environment
    std::string stdoutPath, stderrPath;      // empty: inherited; "/dev/null" to drop
    bool ownGroup = false;                   // its own process group, so that a hung run is killed whole
    bool defaultSignals = false;             // SIGINT, SIGTERM, SIGHUP to default as from an interactive shell
};

struct ProcessResult {
    bool started = false;
    int status = -1;  // wait status
    bool timedOut = false;
};

// Starts the child; -1 when fork failed. The child exits 126 when it cannot set itself up, 127 when
// the program cannot be started.
pid_t startProcess(const ChildProcess& launch);

// Waits for a started child; timeoutMs <= 0 waits for ever. After the bound the child's group (or the
// child) gets SIGKILL and timedOut is set.
ProcessResult finishProcess(pid_t pid, int timeoutMs, bool ownGroup);

inline ProcessResult runProcess(const ChildProcess& launch, int timeoutMs = 0)
{
    const pid_t pid = startProcess(launch);
    if (pid < 0) return ProcessResult();
    return finishProcess(pid, timeoutMs, launch.ownGroup);
}

// Runs a command line with sh and collects its standard output; its exit status, -1 when it could
// not be started or did not exit.
int commandOutput(const std::string& shell, std::string* output);

// Exit status as a shell shows it: 128 + the signal number when killed by one.
int shellStatus(int waitStatus);

}  // namespace zevtest
