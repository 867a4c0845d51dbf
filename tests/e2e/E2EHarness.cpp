#include "E2EHarness.h"
#include "TestFiles.h"
#include "TestProcess.h"

#include <libxml/parser.h>
#include <sys/stat.h>
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
    zevtest::ChildProcess launch;
    std::vector<std::string>& argv = launch.argv;
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
    launch.cwd = m_dir;
    launch.stdinPath = "/dev/null";
    launch.stderrFd = job.stderrFd;
    launch.capture = true;
    // Its own process group: a run that hangs is ended whole, wrapper and tool alike, so that no
    // orphan keeps holding a file or the update lock.
    launch.ownGroup = true;
    // The tool keeps its device records until the process ends, by design; a leak checker
    // in a sanitizer build would report them and change the exit status.
    launch.env = job.env;
    if (std::getenv("ASAN_OPTIONS") == nullptr) launch.env.emplace("ASAN_OPTIONS", "detect_leaks=0");
    launch.signalTarget = job.signalTarget;
    launch.signal = job.signal;
    const auto start = std::chrono::steady_clock::now();
    zevtest::ProcessResult r = zevtest::runProcess(launch, job.timeoutSeconds * 1000);
    if (!r.started) fail("start");
    E2EResult result;
    result.exitStatus = zevtest::shellStatus(r.status);
    result.timedOut = r.timedOut;
    result.signalSent = r.signalSent;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.out = std::move(r.out);
    result.err = std::move(r.err);
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
