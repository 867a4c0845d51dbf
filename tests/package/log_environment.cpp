#include "PackageTestSupport.h"

namespace pkgtest {
std::string& logPath()
{
    static std::string path;
    return path;
}
}  // namespace pkgtest

// Every test of this program reads the lines it caused from one log file.
static ::testing::Environment* const g_logEnvironment =
    ::testing::AddGlobalTestEnvironment(new pkgtest::LogEnvironment);
