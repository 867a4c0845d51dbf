// The shared test helpers themselves: digests against published vectors, the child runner's exit
// statuses, time bound, environment, streams captured or redirected, signals, and the emulated
// run's command line.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <functional>

#include <map>
#include <string>
#include <vector>

#include "TempDir.h"
#include "TestEmulated.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "TestSha256.h"

namespace {

TEST(Sha256, PublishedVectors)
{
    const std::map<std::string, std::string> hexByInput = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    TempDir dir;
    for (const auto& [input, hex] : hexByInput) {
        EXPECT_EQ(zevtest::sha256Hex(input), hex) << input;
        writeFile(dir.file("f"), input);
        EXPECT_EQ(zevtest::sha256OfFile(dir.file("f")), hex) << input;
    }
    EXPECT_EQ(zevtest::sha256OfFile(dir.file("missing")), "");
}

TEST(Process, StatusTimeBoundEnvironmentAndStreams)
{
    TempDir dir;
    const struct {
        const char* name;
        std::vector<std::string> argv;
        std::string cwd;
        int timeoutMs;
        int shellStatus;
        bool timedOut;
    } rows[] = {
        {"exit status", {"/bin/sh", "-c", "exit 3"}, "", 0, 3, false},
        {"killed by a signal", {"/bin/sh", "-c", "kill -TERM $$"}, "", 0, 128 + 15, false},
        {"hung: its group killed", {"/bin/sh", "-c", "sleep 30 & wait"}, "", 200, 128 + 9, true},
        {"program missing", {"/nonexistent/zev-program"}, "", 0, 127, false},
        {"folder missing", {"/bin/true"}, "/nonexistent/zev-folder", 0, 126, false},
        {"environment set on top",
         {"/bin/sh", "-c", "test \"$ZEV_SUPPORT_TEST\" = set && test -n \"$PATH\""},
         "",
         0,
         0,
         false},
        {"working folder and streams", {"/bin/sh", "-c", "pwd; echo err >&2"}, dir.path(), 0, 0, false},
    };
    for (const auto& r : rows) {
        zevtest::ChildProcess launch;
        launch.argv = r.argv;
        launch.cwd = r.cwd;
        launch.env["ZEV_SUPPORT_TEST"] = "set";
        launch.stdoutPath = dir.file("out");
        launch.stderrPath = dir.file("err");
        launch.ownGroup = true;
        const zevtest::ProcessResult p = zevtest::runProcess(launch, r.timeoutMs);
        EXPECT_TRUE(p.started) << r.name;
        EXPECT_EQ(zevtest::shellStatus(p.status), r.shellStatus) << r.name;
        EXPECT_EQ(p.timedOut, r.timedOut) << r.name;
    }
    EXPECT_EQ(readFile(dir.file("out")), dir.path() + "\n");
    EXPECT_EQ(readFile(dir.file("err")), "err\n");

    // Captured streams are read until every holder closes them, not only the child.
    writeFile(dir.file("in"), "input\n");
    FILE* errFile = std::fopen(dir.file("fd-err").c_str(), "w");
    ASSERT_NE(errFile, nullptr);
    const struct {
        const char* name;
        std::vector<std::string> argv;
        std::function<void(zevtest::ChildProcess&)> setup;
        int shellStatus;
        std::string out, err;
    } captured[] = {
        {"on PATH, input from a file, a grandchild's output",
         {"sh", "-c", "cat; echo err >&2; (sleep 0.1; echo mid; sleep 0.2; echo late) & exit 5"},
         [&](zevtest::ChildProcess& p) { p.stdinPath = dir.file("in"); },
         5,
         "input\nmid\nlate\n",
         "err\n"},
        {"standard error to a descriptor",
         {"sh", "-c", "echo out; echo err >&2"},
         [&](zevtest::ChildProcess& p) { p.stderrFd = ::fileno(errFile); },
         0,
         "out\n",
         ""},
        {"signalled once its target shows",
         {"sh", "-c", "echo $$ > pid; exec sleep 30"},
         [&](zevtest::ChildProcess& p) {
             p.signal = SIGTERM;
             p.signalTarget = [&] { return static_cast<pid_t>(std::atoi(readFile(dir.file("pid")).c_str())); };
         },
         128 + SIGTERM,
         "",
         ""},
    };
    for (const auto& r : captured) {
        zevtest::ChildProcess launch;
        launch.argv = r.argv;
        launch.cwd = dir.path();
        launch.capture = true;
        r.setup(launch);
        const zevtest::ProcessResult p = zevtest::runProcess(launch, 10000);
        EXPECT_EQ(zevtest::shellStatus(p.status), r.shellStatus) << r.name;
        EXPECT_FALSE(p.timedOut) << r.name;
        EXPECT_EQ(p.out, r.out) << r.name;
        EXPECT_EQ(p.err, r.err) << r.name;
        EXPECT_EQ(p.signalSent, static_cast<bool>(launch.signalTarget)) << r.name;
    }
    std::fclose(errFile);
    EXPECT_EQ(readFile(dir.file("fd-err")), "err\n");
    EXPECT_EQ(zevtest::shellStatus(zevtest::runInChild([] { return 7; }, 1000).status), 7);

    std::string out;
    EXPECT_EQ(zevtest::commandOutput("printf 'a\\nb'; exit 4", &out), 4);
    EXPECT_EQ(zevtest::splitLines(out), (std::vector<std::string>{"a", "b"}));
}

TEST(EmulatedRun, RunnerWordsGoBeforeTheProgram)
{
    const struct {
        const char* runner;
        std::vector<std::string> argv;
    } rows[] = {
        {"", {"zevsim", "run", "s.json", "--report", "r.json", "--", "./zevupdate", "-i"}},
        {" valgrind  --quiet ",
         {"zevsim", "run", "s.json", "--report", "r.json", "--", "valgrind", "--quiet", "./zevupdate", "-i"}},
    };
    for (const auto& r : rows) {
        ::setenv("ZEV_E2E_RUNNER", r.runner, 1);
        EXPECT_EQ(zevtest::zevsimCommand("zevsim", "s.json", "r.json", "./zevupdate", {"-i"}), r.argv) << r.runner;
        EXPECT_EQ(zevtest::emulatedRunSeconds(), r.runner[0] == '\0' ? 60 : 600) << r.runner;
    }
    ::unsetenv("ZEV_E2E_RUNNER");
}

}  // namespace
