#pragma once
// Hostile-environment runs: the real zevupdate in a package folder (executable, payload/fw.bin,
// package.xml listing both controllers) inside the emulated two-controller host, under a time bound.
// A case plants what it likes around the package, runs one command line (optionally behind a shell
// prefix: umask, ulimit, closed descriptors...) and gets back everything a case checks: status,
// output, what each controller programmed and which files changed.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "E2EHarness.h"

struct HostileOutcome {
    E2EResult result;
    nlohmann::json report;          // the emulator's report (null when it wrote none)
    std::set<std::string> changed;  // paths created, removed or altered, relative to the package
    std::string imageAtStart;       // payload/fw.bin as it was when the run started
};

class HostileHost {
public:
    // delayedChunkMs > 0 slows every chunk of the flash sequence, to act on a run mid-flash.
    explicit HostileHost(int delayedChunkMs = 0);
    ~HostileHost();

    E2EWorkspace& ws() { return m_ws; }
    // The payload image every run starts with.
    static std::string image();

    // Runs setup (sh -e, in the package folder), then `prefix exec zevupdate ARGS` in the emulated host.
    // exeRel names the copy to start; cwdRel the working directory ("" = the package folder).
    HostileOutcome run(const std::vector<std::string>& args, const std::string& setup = "",
                       const std::string& prefix = "", const std::string& exeRel = "zevupdate",
                       const std::string& cwdRel = "", int timeoutSeconds = 60);

private:
    E2EWorkspace m_ws;
    std::string m_scenario;
    std::string m_report;
};

// Every emulated controller programmed exactly `image`, twice (a full update), or, with image
// empty, nothing at all.
::testing::AssertionResult programmed(const HostileOutcome& o, const std::string& image);
// The changed paths all lie within `allowed` (a path ending in "*" allows every path it begins).
::testing::AssertionResult changedOnly(const HostileOutcome& o, const std::set<std::string>& allowed);
// No success claimed (document or standard output) for a controller that was not fully programmed.
::testing::AssertionResult noFalseSuccess(const HostileOutcome& o, const std::string& document);
// Octal mode bits of a path in the package folder.
unsigned modeOf(HostileHost& host, const std::string& rel);
