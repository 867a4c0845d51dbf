#include "E2EHarness.h"
#include "TestFiles.h"
#include "TestProcess.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

// Creates the folders up to path's parent.
void makeParents(const std::string& path)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
}

// Reads both pipes until the child closes them or the deadline passes; sends the job's signal on the way.
void drain(int outFd, int errFd, std::string& out, std::string& err, std::chrono::steady_clock::time_point deadline,
           bool& timedOut, const E2EJob& job, bool& signalSent)
{
    struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buf[65536];
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            return;
        }
        bool polling = job.signalTarget && !signalSent;
        if (polling) {
            pid_t target = job.signalTarget();
            if (target > 0) {
                ::kill(target, job.signal);
                signalSent = true;
            }
        }
        int wait = polling ? std::min<int>(10, static_cast<int>(left.count())) : static_cast<int>(left.count());
        int n = ::poll(fds, 2, wait);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            ssize_t r = ::read(fds[i].fd, buf, sizeof(buf));
            if (r > 0) {
                (i == 0 ? out : err).append(buf, static_cast<std::size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

}  // namespace

E2EWorkspace::E2EWorkspace(const std::string& executable) : m_executable(executable)
{
    char tmpl[] = "/tmp/zeve2e.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) fail("mkdtemp");
    m_dir = tmpl;
    copyExecutable("zevupdate");
}

E2EWorkspace::~E2EWorkspace()
{
    if (std::getenv("ZEV_E2E_KEEP") != nullptr) return;  // leave the workspace behind for inspection
    std::string cmd = "chmod -R u+rwX '" + m_dir + "' 2>/dev/null; rm -rf '" + m_dir + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
}

void E2EWorkspace::writeFile(const std::string& rel, const std::string& content)
{
    std::string full = path(rel);
    makeParents(full);
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) fail("write " + full);
}

void E2EWorkspace::makeDir(const std::string& rel) { std::filesystem::create_directories(path(rel)); }

void E2EWorkspace::symlink(const std::string& target, const std::string& rel)
{
    std::string full = path(rel);
    makeParents(full);
    if (::symlink(target.c_str(), full.c_str()) != 0) fail("symlink " + full);
}

void E2EWorkspace::copyTree(const std::string& source, const std::string& rel)
{
    std::string cmd = "mkdir -p '" + path(rel) + "' && cp -a '" + source + "/.' '" + path(rel) + "/'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("copy failed: " + cmd);
}

void E2EWorkspace::copyExecutable(const std::string& rel)
{
    makeParents(path(rel));
    std::filesystem::copy_file(m_executable, path(rel), std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(path(rel), std::filesystem::perms(0755));
    m_exeCopies.push_back(rel);
}

int E2EWorkspace::shell(const std::string& script)
{
    zevtest::ChildProcess launch;
    launch.argv = {"/bin/sh", "-e", "-c", script};
    launch.cwd = m_dir;
    const zevtest::ProcessResult r = zevtest::runProcess(launch);
    if (!r.started) fail("fork");
    return zevtest::shellStatus(r.status);
}

std::string E2EWorkspace::readFile(const std::string& rel) const { return zevtest::readFile(path(rel)); }

bool E2EWorkspace::exists(const std::string& rel) const
{
    struct stat st;
    return ::lstat(path(rel).c_str(), &st) == 0;
}

E2ESnapshot E2EWorkspace::snapshot() const
{
    namespace fs = std::filesystem;
    E2ESnapshot snap;
    std::error_code walkError, entryError;
    for (fs::recursive_directory_iterator it(m_dir, fs::directory_options::skip_permission_denied, walkError), end;
         !walkError && it != end; it.increment(walkError)) {
        const std::string rel = it->path().string().substr(m_dir.size() + 1);
        const fs::file_status st = it->symlink_status(entryError);
        if (entryError || std::find(m_exeCopies.begin(), m_exeCopies.end(), rel) != m_exeCopies.end()) {
            it.disable_recursion_pending();
        } else if (fs::is_symlink(st)) {
            snap[rel] = "symlink:" + fs::read_symlink(it->path(), entryError).string();
        } else if (fs::is_directory(st)) {
            snap[rel] = "dir";
        } else {
            snap[rel] = fs::is_regular_file(st) ? zevtest::readFile(it->path()) : "other";
        }
    }
    return snap;
}

E2EResult E2EWorkspace::run(const E2EJob& job) const
{
    std::vector<std::string> argv;
    const std::string exe = path(job.exeRelPath);
    bool placed = false;
    for (const std::string& w : job.wrapper) {
        if (w == "{exe}") {
            argv.push_back(exe);
            placed = true;
        } else {
            argv.push_back(w);
        }
    }
    if (!placed) argv.push_back(exe);
    argv.insert(argv.end(), job.args.begin(), job.args.end());

    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) fail("pipe");
    pid_t pid = ::fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        // Its own process group: a run that hangs is ended whole, wrapper and tool alike, so that no
        // orphan keeps holding a file or the update lock.
        ::setpgid(0, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(job.stderrFd >= 0 ? job.stderrFd : errPipe[1], 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        if (::chdir(m_dir.c_str()) != 0) _exit(126);
        // The tool keeps its device records until the process ends, by design; a leak checker
        // in a sanitizer build would report them and change the exit status.
        ::setenv("ASAN_OPTIONS", "detect_leaks=0", 0);
        for (const auto& kv : job.env) ::setenv(kv.first.c_str(), kv.second.c_str(), 1);
        std::vector<char*> cargv;
        for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
        cargv.push_back(nullptr);
        ::execvp(cargv[0], cargv.data());
        _exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    E2EResult result;
    const auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::seconds(job.timeoutSeconds);
    drain(outPipe[0], errPipe[0], result.out, result.err, deadline, result.timedOut, job, result.signalSent);
    if (result.timedOut) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

std::string E2EXmlProblem(const std::string& document)
{
    xmlDocPtr doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), "document.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr) {
        const xmlError* e = xmlGetLastError();
        return e && e->message ? e->message : "not well-formed";
    }
    xmlFreeDoc(doc);
    return std::string();
}
