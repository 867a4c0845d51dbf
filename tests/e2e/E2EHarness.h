#pragma once
// End-to-end harness: runs the built zevupdate in a throw-away working directory that holds its
// own copy of the executable, and reports what it printed, its exit status and the files it left.
//
// Programmatic use:
//   E2EWorkspace ws(ZEV_EXE);
//   ws.writeFile("payload/image.bin", "...");
//   E2EJob job; job.args = {"-u"};
//   E2EResult r = ws.run(job);
// Data-driven use: one folder per case under tests/e2e/cases (see README.md there).

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

struct E2EJob {
    std::vector<std::string> args;           // arguments after the executable
    std::vector<std::string> wrapper;        // command put before the executable, e.g.
                                             // {"zevsim", "run", "SCENARIO", "--"}; the word "{exe}"
                                             // stands for the executable, else it goes last
    std::map<std::string, std::string> env;  // extra environment for the run
    std::string exeRelPath = "zevupdate";    // which copy to start, relative to the workspace
    int timeoutSeconds = 120;                // then the run's whole process group is killed
    int stderrFd = -1;                       // when set, standard error goes there (not captured)
    // Polled every 10 ms while the run goes on: the first time it gives a process id, that process
    // gets `signal` once (e.g. the tool, whose pid a wrapper script wrote to a file).
    std::function<pid_t()> signalTarget;
    int signal = 0;
};

struct E2EResult {
    int exitStatus = -1;  // exit status, or 128 + signal number when killed by a signal
    bool timedOut = false;
    bool signalSent = false;  // the job's signal went out
    double seconds = 0;       // how long the run took
    std::string out;
    std::string err;
};

// Snapshot entry: a regular file's content, "symlink:" + target for links, "dir" for folders,
// "other" for anything else (FIFO, socket...).
using E2ESnapshot = std::map<std::string, std::string>;

class E2EWorkspace {
public:
    // Creates the temporary folder and copies the executable into it as "zevupdate".
    explicit E2EWorkspace(const std::string& executable);
    ~E2EWorkspace();
    E2EWorkspace(const E2EWorkspace&) = delete;
    E2EWorkspace& operator=(const E2EWorkspace&) = delete;

    const std::string& dir() const { return m_dir; }
    std::string path(const std::string& rel) const { return m_dir + "/" + rel; }

    // Writes a file (creating parent folders), relative to the workspace.
    void writeFile(const std::string& rel, const std::string& content);
    void makeDir(const std::string& rel);
    void symlink(const std::string& target, const std::string& rel);
    // Copies a tree (files, folders, links) into the workspace at rel ("" = the workspace itself).
    void copyTree(const std::string& source, const std::string& rel);
    // Copies the executable to another place in the workspace (e.g. "bin/zevupdate").
    void copyExecutable(const std::string& rel);
    // Runs "sh -c script" in the workspace; its exit status.
    int shell(const std::string& script);

    std::string readFile(const std::string& rel) const;
    bool exists(const std::string& rel) const;
    // Everything below the workspace except the executable copies, by relative path; links not followed.
    E2ESnapshot snapshot() const;

    E2EResult run(const E2EJob& job) const;

private:
    std::string m_executable;
    std::string m_dir;
    std::vector<std::string> m_exeCopies;
};

// Well-formedness check of a document; empty when it parses, else the parser's complaint.
std::string E2EXmlProblem(const std::string& document);
