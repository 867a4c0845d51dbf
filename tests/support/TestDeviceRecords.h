#pragma once
// PCI identities of device records, field by field. Only for programs that link the framework library.

#include <string>

#include "CDeviceInfo.h"

namespace zevtest {

inline SPCIInfo pciInfo(const std::string& vendor, const std::string& device, const std::string& subVendor,
                        const std::string& subDevice)
{
    SPCIInfo p;
    p.strVendorID = vendor;
    p.strDeviceID = device;
    p.strSubVendorID = subVendor;
    p.strSubDeviceID = subDevice;
    return p;
}

}  // namespace zevtest
