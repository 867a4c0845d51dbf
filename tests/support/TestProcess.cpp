#include "TestProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace zevtest {

namespace {

bool redirect(const std::string& path, int fd)
{
    if (path.empty()) return true;
    const int opened = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return opened >= 0 && ::dup2(opened, fd) >= 0;
}

}  // namespace

pid_t startProcess(const ChildProcess& launch)
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

    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (launch.ownGroup) ::setpgid(0, 0);
    if (!launch.cwd.empty() && ::chdir(launch.cwd.c_str()) != 0) ::_exit(126);
    if (!redirect(launch.stdoutPath, 1) || !redirect(launch.stderrPath, 2)) ::_exit(126);
    if (launch.defaultSignals)
        for (int signo : {SIGINT, SIGTERM, SIGHUP}) ::signal(signo, SIG_DFL);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

ProcessResult finishProcess(pid_t pid, int timeoutMs, bool ownGroup)
{
    ProcessResult r;
    r.started = true;
    if (timeoutMs <= 0) {
        while (::waitpid(pid, &r.status, 0) < 0 && errno == EINTR) {
        }
        return r;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (::waitpid(pid, &r.status, WNOHANG) == pid) return r;
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.timedOut = true;
    ::kill(ownGroup ? -pid : pid, SIGKILL);
    ::waitpid(pid, &r.status, 0);
    return r;
}

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
