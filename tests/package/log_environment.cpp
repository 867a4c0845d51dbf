#include "PackageTestSupport.h"

namespace {
// Every test of this program reads the lines it caused from one log, open from the start.
class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        zevtest::programLog();
        ASSERT_TRUE(CLogger::GetInstance()->m_bInitialized);
    }
};
::testing::Environment* const g_logEnvironment = ::testing::AddGlobalTestEnvironment(new LogEnvironment);
}  // namespace
