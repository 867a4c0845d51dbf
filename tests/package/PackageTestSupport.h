#pragma once
// Shared helpers of the package tests: a scratch working directory, descriptor files and the
// lines the program's log received during a step.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CDeviceInfo.h"
#include "TempDir.h"
#include "TestProgramLog.h"
#include "TestRecordList.h"

namespace pkgtest {

using zevtest::LogMark;
using zevtest::LogRecord;
using zevtest::readFile;
using zevtest::writeFile;

// A fresh directory that is the working directory while the object lives.
class ScratchDir : public TempDir {
public:
    ScratchDir() : TempDir(true) {}
    void writePackage(const std::string& xml) const { writeFile(file("package.xml"), xml); }
};

using zevtest::pciFields;

// A descriptor whose supported devices are the given markup.
inline std::string descriptor(const std::string& devices)
{
    return "<SoftwareComponent><SupportedDevices>" + devices + "</SupportedDevices></SoftwareComponent>";
}

}  // namespace pkgtest
