#pragma once
// The command line of a run inside the emulated host: `zevsim run SCENARIO --report REPORT -- ...`,
// with the words of ZEV_E2E_RUNNER (valgrind and its options) put before the program.

#include <string>
#include <vector>

namespace zevtest {

// ZEV_E2E_RUNNER as given; empty when unset.
std::string runnerWords();

// Seconds a run may take: more when a runner such as valgrind slows the tool down.
int emulatedRunSeconds();

// zevsim, its arguments, the runner's words, then program and args.
std::vector<std::string> zevsimCommand(const std::string& zevsim, const std::string& scenario,
                                       const std::string& report, const std::string& program,
                                       const std::vector<std::string>& args);

}  // namespace zevtest
