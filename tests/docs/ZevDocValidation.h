// GoogleTest assertions that a zevupdate document is valid: one line in the tool's form and valid
// against the installed schema its root element names. They run tests/docs/validate.sh, so every
// test checks documents the same way. Link the CMake target zev_doc_validation to use them:
//   EXPECT_TRUE(zevdocs::ValidDocumentFile(path));
//   EXPECT_TRUE(zevdocs::ValidDocumentText(capturedStdout));
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "TestFiles.h"
#include "TestProcess.h"

#ifndef ZEV_VALIDATE_SCRIPT
#error "ZEV_VALIDATE_SCRIPT must name tests/docs/validate.sh (link zev_doc_validation)"
#endif

namespace zevdocs {

// Exit status of validate.sh for the file (0 valid, 1 invalid, 2 helper error, -1 not run);
// its messages are appended to *output.
inline int RunValidate(const std::string& path, std::string* output)
{
    std::string quoted = "'";
    for (char c : path) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    const std::string cmd = std::string("bash '") + ZEV_VALIDATE_SCRIPT + "' " + quoted + " 2>&1";
    return zevtest::commandOutput(cmd, output);
}

inline ::testing::AssertionResult ValidDocumentFile(const std::string& path)
{
    std::string output;
    const int rc = RunValidate(path, &output);
    if (rc == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << " is not a valid document (validate.sh status " << rc << "):\n"
                                         << output;
}

inline ::testing::AssertionResult ValidDocumentText(const std::string& text)
{
    char tmpl[] = "/tmp/zevdocXXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) return ::testing::AssertionFailure() << "cannot create a scratch file";
    close(fd);
    zevtest::writeFile(tmpl, text);
    std::string output;
    const int rc = RunValidate(tmpl, &output);
    unlink(tmpl);
    if (rc == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not a valid document (validate.sh status " << rc << "):\n"
                                         << output << "document:\n"
                                         << text;
}

}  // namespace zevdocs
