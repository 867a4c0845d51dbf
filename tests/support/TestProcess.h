#pragma once
// The tests' one child runner: starts a program (or a function in a forked child) with its standard
// streams in files, on a given descriptor or captured, waits for it within a time bound and kills its
// whole process group when the bound passes.

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zevtest {

struct ChildProcess {
    std::vector<std::string> argv;           // argv[0] without a slash is looked up on PATH
    std::function<int()> body;               // instead of a program: run in the forked child, its exit status
    std::string cwd;                         // empty: the test's own
    std::map<std::string, std::string> env;  // set on top of the test's environment (for a program)
    std::string stdinPath;                   // empty: inherited
    std::string stdoutPath, stderrPath;      // empty: inherited; "/dev/null" to drop
    int stderrFd = -1;                       // when set: standard error is this descriptor of the test's
    bool capture = false;                    // runProcess: output and error not sent elsewhere are read into
                                             // the result until the child and its own children close them
    bool ownGroup = false;                   // its own process group, so that a hung run is killed whole
    bool defaultSignals = false;             // SIGINT, SIGTERM, SIGHUP to default as from an interactive shell
    // runProcess: polled every 10 ms while the child runs; the first process id it gives gets `signal` once.
    std::function<pid_t()> signalTarget;
    int signal = 0;
};

struct ProcessResult {
    bool started = false;
    int status = -1;  // wait status
    bool timedOut = false;
    bool signalSent = false;
    std::string out, err;  // with capture
};

// Starts the child; -1 when fork failed. The child exits 126 when it cannot set itself up, 127 when
// the program cannot be started.
pid_t startProcess(const ChildProcess& launch);

// Waits for a started child; timeoutMs <= 0 waits for ever. After the bound the child's group (or the
// child) gets SIGKILL and timedOut is set.
ProcessResult finishProcess(pid_t pid, int timeoutMs, bool ownGroup);

// Starts and finishes the child, with its output captured and its signal sent when asked.
ProcessResult runProcess(const ChildProcess& launch, int timeoutMs = 0);

inline ProcessResult runInChild(std::function<int()> body, int timeoutMs)
{
    ChildProcess launch;
    launch.body = std::move(body);
    return runProcess(launch, timeoutMs);
}

// Whether a started child has ended by now, without waiting; its wait status in *status then.
bool hasEnded(pid_t pid, int* status);

// Runs a command line with sh and collects its standard output; its exit status, -1 when it could
// not be started or did not exit.
int commandOutput(const std::string& shell, std::string* output);

// Exit status as a shell shows it: 128 + the signal number when killed by one.
int shellStatus(int waitStatus);

}  // namespace zevtest
