// zevsim: runs a command inside an emulated host, or records what a command sees of a host.
//   zevsim run SCENARIO [--report FILE] [--trace] -- COMMAND [ARGS...]
// The command sees the scenario's controllers under /sys, /dev and /proc; at exit the report (every
// command each controller received, every image it programmed) is written to FILE as JSON. SCENARIO
// may instead be a recording of a host: the command then sees what was recorded, its ioctls are
// answered from the recording, and the report lists the requests served, unmatched and left unused.
//   zevsim record --output FILE [--allow-update] [--redact] -- COMMAND [ARGS...]
// Runs the command on the host as it is, with the recording preload in front of any preload already
// in force (so a host that is itself emulated can be recorded), and writes what it read under /sys and
// /proc/devices, the device nodes it opened and every ioctl it sent them to FILE (mode 0600: it holds
// serial numbers; --redact replaces them by neutral ones). A command line asking for an update (-u) is
// refused unless --allow-update is given: it would flash the host's controllers.
// Commands run with default signal dispositions and an empty signal mask. Status 125: zevsim itself
// failed (bad scenario, unusable TMPDIR, a recording it could not write); otherwise the command's
// status, or 128 + the signal that ended it.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "emu_host.hpp"
#include "rec_journal.hpp"

namespace {

const char kUsage[] =
    "usage: zevsim run SCENARIO [--report FILE] [--trace] -- COMMAND [ARGS...]\n"
    "       zevsim record --output FILE [--allow-update] [--redact] -- COMMAND [ARGS...]\n"
    "       zevsim check SCENARIO\n"
    "SCENARIO may be a recording of a host (zevsim record).\n";

volatile sig_atomic_t g_child = 0;

void Forward(int sig)
{
    if (g_child > 0) kill(g_child, sig);
}

std::string WithAsanLinkOrder()
{
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    if (asan.find("verify_asan_link_order") == std::string::npos)
        asan += std::string(asan.empty() ? "" : ":") + "verify_asan_link_order=0";
    return asan;
}

// Runs the command with `env` set on top of ours, forwards the terminating signals to it and returns
// its wait status, or -1 when it could not be started or waited for.
int Spawn(char** command, const std::vector<std::pair<std::string, std::string>>& env)
{
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("zevsim: fork");
        return -1;
    }
    if (pid == 0) {
        // The command starts as from a fresh shell: every signal at its default, none blocked. An
        // inherited SIG_IGN for SIGPIPE would make a write to a closed pipe look like success.
        for (int sig = 1; sig < NSIG; ++sig) {
            if (sig == SIGKILL || sig == SIGSTOP) continue;
            signal(sig, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        execvp(command[0], command);
        std::fprintf(stderr, "zevsim: cannot run %s: %s\n", command[0], std::strerror(errno));
        _exit(127);
    }
    g_child = pid;
    struct sigaction sa {};
    sa.sa_handler = Forward;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            std::perror("zevsim: waitpid");
            return -1;
        }
    }
    g_child = 0;
    return status;
}

int ExitCode(int status)
{
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 125;
}

void KeepSocketPathsShort()
{
    // umockdev's socket paths must stay short.
    const char* tmp = std::getenv("TMPDIR");
    if (!tmp || std::strlen(tmp) > 40) setenv("TMPDIR", "/tmp", 1);
}

// A scenario or a recording; a recording carries the "zevsim_recording" key, and is taken for one even
// when damaged, so that its fault is told as a recording's.
struct Emulation {
    std::unique_ptr<zev::emu::Scenario> scenario;
    std::unique_ptr<zev::emu::Recording> recording;
};

Emulation Load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("scenario: cannot read " + path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string t = text.str();
    Emulation e;
    bool recording = false;
    try {
        recording = zev::emu::IsRecording(nlohmann::json::parse(t));
    } catch (const nlohmann::json::exception&) {
        recording = zev::emu::LooksLikeRecording(t);
    }
    if (recording)
        e.recording = std::make_unique<zev::emu::Recording>(zev::emu::Recording::FromText(t));
    else
        e.scenario = std::make_unique<zev::emu::Scenario>(zev::emu::Scenario::FromText(t));
    return e;
}

int Run(const std::string& scenario_path, const std::string& report, bool trace, char** command)
{
    KeepSocketPathsShort();
    const Emulation emulation = Load(scenario_path);
    std::unique_ptr<zev::emu::Host> made;
    if (emulation.recording)
        made = std::make_unique<zev::emu::Host>(*emulation.recording, scenario_path);
    else
        made = std::make_unique<zev::emu::Host>(*emulation.scenario);
    zev::emu::Host& host = *made;
    if (trace) host.SetTrace(stderr);
    const int status =
        Spawn(command, {{"LD_PRELOAD", zev::emu::Host::ChildPreload()}, {"ASAN_OPTIONS", WithAsanLinkOrder()}});
    if (status < 0) return 125;
    if (!report.empty()) host.WriteReport(report);
    if (emulation.recording) std::fprintf(stderr, "%s\n", host.ReplaySummary().c_str());
    return ExitCode(status);
}

// The journal folder, removed with its journals whatever happens.
struct JournalDir {
    std::string path;
    ~JournalDir()
    {
        if (path.empty()) return;
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.') unlink((path + "/" + e->d_name).c_str());
            closedir(d);
        }
        rmdir(path.c_str());
    }
};

int Record(const std::string& output, bool redact, char** command)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/zevsim-record.XXXXXX";
    JournalDir journals;
    if (!mkdtemp(tmpl.data())) {
        std::fprintf(stderr, "zevsim: cannot make a journal folder %s: %s\n", tmpl.c_str(), std::strerror(errno));
        return 125;
    }
    journals.path = tmpl;
    // The recorder first, so that it sees the calls before a preload already in force answers them.
    std::string preload = ZEV_RECORDER_PATH;
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
    const int status =
        Spawn(command,
              {{"LD_PRELOAD", preload}, {"ZEVSIM_RECORD_DIR", journals.path}, {"ASAN_OPTIONS", WithAsanLinkOrder()}});
    if (status < 0) return 125;
    std::vector<std::string> words;
    for (char** w = command; *w; ++w) words.push_back(*w);
    zev::emu::RecordingJson rec = zev::emu::MergeJournals(journals.path, words);
    if (redact) zev::emu::Redact(rec);
    zev::emu::WriteRecording(output, rec);
    return ExitCode(status);
}

// An option of a subcommand: one taking the next word as its value, or a flag.
struct OptionDef {
    const char* name;
    std::string* value;
    bool* flag;
};

// Reads the options from argv[first] up to "--": the index of "--" (argc when there is none), or -1
// after an unknown option, said with the usage on standard error.
int ReadOptions(int argc, char** argv, int first, std::initializer_list<OptionDef> options)
{
    int i = first;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const OptionDef* found = nullptr;
        for (const OptionDef& option : options)
            if (std::strcmp(argv[i], option.name) == 0 && (option.flag || i + 1 < argc)) found = &option;
        if (!found) {
            std::fprintf(stderr, "zevsim: unknown option %s\n%s", argv[i], kUsage);
            return -1;
        }
        if (found->flag)
            *found->flag = true;
        else
            *found->value = argv[++i];
    }
    return i;
}

int RecordMain(int argc, char** argv)
{
    std::string output;
    bool allow_update = false, redact = false;
    const int i = ReadOptions(
        argc, argv, 2,
        {{"--output", &output, nullptr}, {"--allow-update", nullptr, &allow_update}, {"--redact", nullptr, &redact}});
    if (i < 0) return 2;
    if (output.empty() || i >= argc - 1) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    char** command = argv + i + 1;
    if (!allow_update && zev::emu::AsksForUpdate(std::vector<std::string>(command, argv + argc))) {
        std::fputs(
            "zevsim: the command asks for an update (-u), which would flash the host's controllers; "
            "give --allow-update to record it anyway\n",
            stderr);
        return 2;
    }
    // Found out before the command runs, not after it has done its work.
    const size_t slash = output.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : output.substr(0, slash);
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        std::fprintf(stderr, "zevsim: cannot write the recording into %s: %s\n", folder.c_str(), std::strerror(errno));
        return 125;
    }
    try {
        return Record(output, redact, command);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zevsim: %s\n", e.what());
        return 125;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // A recording keeps the preloads in force: recording inside a test bed is recording its host.
    if (argc >= 2 && std::strcmp(argv[1], "record") == 0) return RecordMain(argc, argv);
    // Started from inside another test bed (a test process with the preloads): start again without them,
    // so that this runner builds and serves its own test bed from outside.
    if (const char* p = std::getenv("LD_PRELOAD"); p && std::strstr(p, "libumockdev-preload")) {
        unsetenv("LD_PRELOAD");
        unsetenv("UMOCKDEV_DIR");
        execv("/proc/self/exe", argv);
        std::perror("zevsim: re-exec");
        return 125;
    }
    if (argc >= 3 && std::strcmp(argv[1], "check") == 0 && argc == 3) {
        try {
            const Emulation e = Load(argv[2]);
            if (e.recording)
                std::printf("%s: recording of %zu node(s), %zu ioctl(s), %zu file(s)\n", argv[2],
                            e.recording->nodes.size(), e.recording->ioctls.size(), e.recording->files.size());
            else
                std::printf("%s: %zu controller(s)\n", argv[2], e.scenario->controllers.size());
            return 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zevsim: %s\n", e.what());
            return 2;
        }
    }
    if (argc < 5 || std::strcmp(argv[1], "run") != 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string scenario = argv[2];
    std::string report;
    bool trace = false;
    const int i = ReadOptions(argc, argv, 3, {{"--report", &report, nullptr}, {"--trace", nullptr, &trace}});
    if (i < 0) return 2;
    if (i >= argc - 1) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        return Run(scenario, report, trace, argv + i + 1);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zevsim: %s\n", e.what());
        return 125;
    }
}
