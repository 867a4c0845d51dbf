#pragma once
// Temporary directory for a test, removed with everything in it at the end; optionally the working
// directory while it lives.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "TestFiles.h"

class TempDir {
public:
    explicit TempDir(bool enter = false)
    {
        char tmpl[] = "/tmp/zevtest.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
        m_path = tmpl;
        if (enter) {
            char buf[4096];
            if (getcwd(buf, sizeof(buf)) == nullptr) throw std::runtime_error("getcwd failed");
            m_oldCwd = buf;
            if (chdir(m_path.c_str()) != 0) throw std::runtime_error("chdir failed");
        }
    }
    ~TempDir()
    {
        if (!m_oldCwd.empty() && chdir(m_oldCwd.c_str()) != 0) {
        }
        std::string cmd = "rm -rf '" + m_path + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
    std::string m_oldCwd;
};

using zevtest::readFile;
using zevtest::writeFile;

inline bool pathExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
