#pragma once
// Hostile-environment runs: the real zevupdate in a package folder (executable, payload/fw.bin, a
// package.xml listing both controllers) inside the emulated two-controller demo host, under a time
// bound. A case plants what it likes around the package, runs one command line (optionally through a
// shell script that becomes the tool) and checks what every table checks: exit status, the bytes each
// controller programmed (the payload as it was at the start, or nothing), the document's records, the
// files that changed, and that the run ended within its bound.
#include <gtest/gtest.h>

#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "E2EHarness.h"

namespace hostile {

using nlohmann::json;

extern const char kSuccess[];
extern const char kFailed[];
extern const char kMismatch[];
extern const char kRaidPci[];
extern const char kHbaPci[];
// Both controllers of the demo host, by the emulator's ids.
extern const std::vector<std::string> kBoth;

// package.xml with the given prolog (DOCTYPE...) and one Device per PCIInfo element as written.
std::string packageXml(const std::string& prolog, const std::vector<std::string>& pciInfos);
// The demo host changed so that every answer to a BMIC command comes ms late.
std::function<void(json&)> delayEvery(int bmic, int ms);
// A script for Package::run that runs the shell lines `prefix` (umask, ulimit, redirections...) in
// folder cwd ("" = the package folder) and then becomes the tool.
std::string thenTheTool(const std::string& prefix, const std::string& cwd = "");
// A job ended after the given seconds.
E2EJob within(int seconds);

// What a case expects of a finished run, for Package::check.
struct Outcome {
    int exitStatus = 0;
    std::vector<std::string> programmed;  // controllers that programmed the payload (twice); others nothing
    int successes = 0;                    // success records in the document
    std::vector<std::string> failures;    // failure messages in the document, in order
    std::set<std::string> changed;        // workspace files that may be created or altered
    double boundSeconds = 60;
};

// What a run did.
struct Finished {
    E2EResult result;
    json report;                    // the emulator's report (null when it wrote none)
    std::set<std::string> changed;  // paths created, altered or removed, relative to the package
    std::set<std::string> removed;
    std::string imageAtStart;  // payload/fw.bin as it was when the run started
};

class Package {
public:
    // The demo host (changed as given), payload/fw.bin (image()) and package.xml listing both controllers.
    explicit Package(const std::function<void(json&)>& changeHost = nullptr);

    static std::string image();
    // Runs a shell script (nothing when empty) in the package folder, before the run.
    void plant(const std::string& script);

    // Runs the tool with args in the emulated host; prefix goes before zevsim, script (when given) is
    // run by sh in the tool's place with the tool's command line as "$@".
    Finished run(const std::vector<std::string>& args, E2EJob job = E2EJob(),
                 const std::vector<std::string>& prefix = {}, const std::string& script = "");

    // Every check of an Outcome on a finished run and its document.
    void check(const Finished& r, const Outcome& want, const std::string& document);

    // The process id a run wrote to the file ("echo $$ > F.tmp && mv F.tmp F"); 0 until then.
    pid_t pidFrom(const std::string& rel) const;
    // Octal mode bits of a path in the package folder.
    unsigned modeOf(const std::string& rel) const;

    E2EWorkspace ws;
};

// The controllers named programmed exactly `image`, twice (a full update); the others nothing at all.
::testing::AssertionResult programmed(const Finished& r, const std::vector<std::string>& ids, const std::string& image);
// The changed paths all lie within `allowed` (a path ending in "*" allows every path it begins).
::testing::AssertionResult changedOnly(const Finished& r, const std::set<std::string>& allowed);
// No success claimed (document or standard output) for a controller that was not fully programmed.
::testing::AssertionResult noFalseSuccess(const Finished& r, const std::string& document);
// How many controllers received at least one BMIC command of this opcode.
int controllersSent(const Finished& r, int opcode);

}  // namespace hostile
