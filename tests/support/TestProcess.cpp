#include "TestProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>

namespace zevtest {

namespace {

bool redirect(const std::string& path, int fd, int flags)
{
    if (path.empty()) return true;
    const int opened = ::open(path.c_str(), flags, 0644);
    return opened >= 0 && ::dup2(opened, fd) >= 0;
}

bool onto(int from, int fd) { return from < 0 || ::dup2(from, fd) >= 0; }

pid_t spawn(const ChildProcess& launch, int outFd, int errFd)
{
    // Everything the child needs is built here: callers start runs from worker threads, and after
    // fork only async-signal-safe calls are sound.
    std::vector<std::string> words = launch.argv;
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (launch.env.count(entry.substr(0, entry.find('='))) == 0) envs.push_back(entry);
    }
    for (const auto& kv : launch.env) envs.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (std::string& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    // Else what is buffered would be written twice, once more by the child's own flush.
    if (launch.body) std::fflush(nullptr);

    const pid_t pid = ::fork();
    if (pid != 0) {
        // Here too, so that a time-out right after the fork still finds the group.
        if (pid > 0 && launch.ownGroup) ::setpgid(pid, pid);
        return pid;
    }
    if (launch.ownGroup) ::setpgid(0, 0);
    if (!launch.cwd.empty() && ::chdir(launch.cwd.c_str()) != 0) ::_exit(126);
    const int created = O_WRONLY | O_CREAT | O_TRUNC;
    if (!redirect(launch.stdinPath, 0, O_RDONLY) || !redirect(launch.stdoutPath, 1, created) ||
        !redirect(launch.stderrPath, 2, created) || !onto(outFd, 1) || !onto(errFd, 2))
        ::_exit(126);
    if (launch.defaultSignals)
        for (int signo : {SIGINT, SIGTERM, SIGHUP}) ::signal(signo, SIG_DFL);
    if (launch.body) {
        const int status = launch.body();
        std::fflush(nullptr);
        ::_exit(status);
    }
    // So that a PATH set in env is the one the program is looked up in.
    environ = envp.data();
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

// Waits for the child within the bound, reading the pipes given (closed here) until they close and
// sending the launch's signal when its target shows up.
ProcessResult await(pid_t pid, int timeoutMs, bool ownGroup, int outFd, int errFd, const ChildProcess* launch)
{
    using Clock = std::chrono::steady_clock;
    ProcessResult r;
    r.started = true;
    struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* into[2] = {&r.out, &r.err};
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool signalling = launch != nullptr && launch->signalTarget && !r.signalSent;
        if (signalling) {
            const pid_t target = launch->signalTarget();
            if (target > 0) {
                ::kill(target, launch->signal);
                r.signalSent = true;
                signalling = false;
            }
        }
        const bool reading = fds[0].fd >= 0 || fds[1].fd >= 0;
        if (!reading && timeoutMs <= 0 && !signalling) {
            while (::waitpid(pid, &r.status, 0) < 0 && errno == EINTR) {
            }
            return r;
        }
        if (!reading && ::waitpid(pid, &r.status, WNOHANG) == pid) return r;
        const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (timeoutMs > 0 && left <= 0) break;
        int waitMs = signalling ? 10 : (reading ? -1 : 5);
        if (timeoutMs > 0) waitMs = static_cast<int>(waitMs < 0 ? left : std::min<long long>(waitMs, left));
        // With both pipes closed (-1, which poll skips) this only waits.
        if (::poll(fds, 2, waitMs) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buf[65536];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                into[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    r.timedOut = true;
    if (ownGroup) ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    for (const pollfd& p : fds)
        if (p.fd >= 0) ::close(p.fd);
    ::waitpid(pid, &r.status, 0);
    return r;
}

}  // namespace

pid_t startProcess(const ChildProcess& launch) { return spawn(launch, -1, launch.stderrFd); }

ProcessResult finishProcess(pid_t pid, int timeoutMs, bool ownGroup)
{
    return await(pid, timeoutMs, ownGroup, -1, -1, nullptr);
}

ProcessResult runProcess(const ChildProcess& launch, int timeoutMs)
{
    int out[2] = {-1, -1}, err[2] = {-1, -1};  // read and write ends where captured
    const bool piped =
        (!launch.capture || !launch.stdoutPath.empty() || ::pipe2(out, O_CLOEXEC) == 0) &&
        (!launch.capture || !launch.stderrPath.empty() || launch.stderrFd >= 0 || ::pipe2(err, O_CLOEXEC) == 0);
    const pid_t pid = piped ? spawn(launch, out[1], err[1] >= 0 ? err[1] : launch.stderrFd) : -1;
    for (int fd : {out[1], err[1]})
        if (fd >= 0) ::close(fd);
    if (pid >= 0) return await(pid, timeoutMs, launch.ownGroup, out[0], err[0], &launch);
    for (int fd : {out[0], err[0]})
        if (fd >= 0) ::close(fd);
    return ProcessResult();
}

bool hasEnded(pid_t pid, int* status) { return ::waitpid(pid, status, WNOHANG) == pid; }

int commandOutput(const std::string& shell, std::string* output)
{
    FILE* p = ::popen(shell.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    while (const std::size_t n = std::fread(buf, 1, sizeof(buf), p)) output->append(buf, n);
    const int status = ::pclose(p);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int shellStatus(int waitStatus)
{
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return WEXITSTATUS(waitStatus);
}

}  // namespace zevtest
