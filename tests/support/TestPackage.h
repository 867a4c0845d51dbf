#pragma once
// package.xml of an update package: version 6.62 of a firmware component for the listed controllers.

#include <string>
#include <vector>

namespace zevtest {

// PCIInfo attributes as written, so that a case can give upper case or short forms.
struct PciId {
    std::string device, subDevice, vendor, subVendor;
};

// One Device per id, componentIDs counted from 1001.
std::string packageXml(const std::vector<PciId>& ids);

}  // namespace zevtest
