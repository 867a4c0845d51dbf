#pragma once
// A fixture with a fresh folder under /tmp: removed after a passing test, kept and named on standard
// error after a failing one, to look at.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace zevtest {

class WorkDirTest : public ::testing::Test {
protected:
    explicit WorkDirTest(const std::string& prefix) : m_prefix(prefix) {}

    void SetUp() override
    {
        std::string tmpl = "/tmp/" + m_prefix + "XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        workDir = tmpl;
    }
    void TearDown() override
    {
        std::error_code ignored;
        if (workDir.empty()) return;
        if (!HasFailure())
            std::filesystem::remove_all(workDir, ignored);
        else
            std::fprintf(stderr, "work directory kept: %s\n", workDir.c_str());
    }

    std::string workDir;

private:
    std::string m_prefix;
};

}  // namespace zevtest
