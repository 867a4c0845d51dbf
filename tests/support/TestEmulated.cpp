#include "TestEmulated.h"

#include <cstdlib>
#include <sstream>

namespace zevtest {

std::string runnerWords()
{
    const char* words = std::getenv("ZEV_E2E_RUNNER");
    return words ? words : "";
}

int emulatedRunSeconds() { return runnerWords().empty() ? 60 : 600; }

std::vector<std::string> zevsimCommand(const std::string& zevsim, const std::string& scenario,
                                       const std::string& report, const std::string& program,
                                       const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {zevsim, "run", scenario, "--report", report, "--"};
    std::istringstream runner(runnerWords());
    for (std::string word; runner >> word;) argv.push_back(word);
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace zevtest
