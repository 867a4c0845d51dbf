// Arbitrary bytes as a package descriptor given as text: the supported-device list, the
// dependency records, the other queries, and the same bytes as an inventory document.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "CSoftwareComponentInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    CSoftwareComponentInfo reader(text);

    std::vector<SPCIInfo> supported = reader.GetSupportedDevices();
    if (!supported.empty()) reader.getMarketingNameForPCIDevice(supported.front());

    std::vector<CDeviceInfo*> dependencies = reader.getDependencyInfo();
    for (CDeviceInfo* record : dependencies) {
        record->getFilePath();
        delete record;
    }

    std::string componentID = reader.GetComponentID();
    reader.GetMinComponentID();
    reader.getMarketingNameForNonPCIDevice(componentID);
    reader.GetComponentDisplayString();
    reader.getPresenceOfRollbackInfo();
    reader.GetPackageID();
    reader.GetComponentVersion();
    reader.GetComponentType();
    reader.GetComponentTypeDisplayString();

    std::istringstream in(text);
    std::ostringstream out;
    reader.GetInvFromJVL(componentID.empty() ? std::string("1") : componentID, out, in);
    return 0;
}
