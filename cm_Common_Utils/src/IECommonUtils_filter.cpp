// Supported-device filter and naming of device records (the package side of IECommonUtils).

#include "IECommonUtils.h"

#include <cctype>
#include <new>
#include <string>

#include "CLogger.h"
#include "CSoftwareComponentInfo.h"
#include "CStringUtils.h"

namespace {
// These functions belong to IECommonUtils and log under its name.
const char kSourceTag[] = "cm_Common_Utils/src/IECommonUtils.cpp";

// True when the whole text (surrounding white space aside) is one hexadecimal number,
// with or without a 0x prefix.
bool isHexNumber(const std::string& raw)
{
    const std::string text = CStringUtils::trim_string(raw);
    std::string::size_type i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) i = 2;
    if (i >= text.size()) return false;
    for (; i < text.size(); ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// Two identifiers are the same when both are hexadecimal numbers of equal value. A text that is
// not a number (empty, or holding other characters) never matches, so a malformed package
// entry cannot select a controller.
bool sameIdentifier(const std::string& system, const std::string& package)
{
    if (!isHexNumber(system) || !isHexNumber(package)) return false;
    long a = CStringUtils::Hex2Dec(system);
    long b = CStringUtils::Hex2Dec(package);
    return a >= 0 && a == b;
}

std::string describeIds(const std::string& device, const std::string& subDevice, const std::string& vendor,
                        const std::string& subVendor)
{
    return device + " SubDevice ID " + subDevice + " Vendor ID " + vendor + " SubVendor ID " + subVendor + "\n";
}
}  // namespace

// The reader's supported-device list; empty without a usable package.xml.
std::vector<SPCIInfo> GetSupportedPCIDevicesFrmPkgXML()
{
    std::vector<SPCIInfo> supported;
    {
        CSoftwareComponentInfo reader;
        ZEV_LOG_AS(kSourceTag, "IECommonUtils::GetSupportedPCIDevices Entering");
        supported = reader.GetSupportedDevices();
        ZEV_LOG_AS(kSourceTag, "IECommonUtils::GetSupportedPCIDevices Leaving");
    }
    return supported;
}

// True when at least one device matched; devices that match no entry are taken out of the list.
bool FilterSupportedDeviceInfo(std::vector<CDeviceInfo*>& devices)
{
    std::vector<SPCIInfo> supported = GetSupportedPCIDevicesFrmPkgXML();
    ZEV_LOG_AS(kSourceTag, "IECommonUtils::FilterDeviceInfo Entering");
    if (supported.empty()) {
        ZEV_LOG_AS(kSourceTag,
                   "IECommonUtils::FilterDeviceInfo Could not find any devies from package.xml or package.xml is not "
                   "present \n");
        return false;
    }
    ZEV_LOG_AS(kSourceTag, "IECommonUtils::FilterDeviceInfo Found " + std::to_string(supported.size()) +
                               " set of supported devies from package.xml \n");
    ZEV_LOG_AS(kSourceTag, "IECommonUtils::FilterDeviceInfo Device vector size before filtering " +
                               std::to_string(devices.size()) + "\n");

    bool anyMatch = false;
    std::size_t position = 0;  // position in the list as it was on entry
    for (auto it = devices.begin(); it != devices.end(); ++position) {
        CDeviceInfo* device = *it;
        SPCIInfo pci = device != nullptr ? device->getPCIInfo() : SPCIInfo();
        ZEV_LOG_AS(kSourceTag,
                   "IECommonUtils::FilterDeviceInfo From system  Device ID " +
                       describeIds(pci.strDeviceID, pci.strSubDeviceID, pci.strVendorID, pci.strSubVendorID));
        bool matched = false;
        for (const SPCIInfo& entry : supported) {
            ZEV_LOG_AS(kSourceTag, "IECommonUtils::FilterDeviceInfo From package.xml Device ID " +
                                       describeIds(entry.strDeviceID, entry.strSubDeviceID, entry.strVendorID,
                                                   entry.strSubVendorID));
            if (device != nullptr && sameIdentifier(pci.strDeviceID, entry.strDeviceID) &&
                sameIdentifier(pci.strSubDeviceID, entry.strSubDeviceID) &&
                sameIdentifier(pci.strVendorID, entry.strVendorID) &&
                sameIdentifier(pci.strSubVendorID, entry.strSubVendorID)) {
                matched = true;
                break;
            }
        }
        if (matched) {
            anyMatch = true;
            ZEV_LOG_AS(kSourceTag,
                       "IECommonUtils::FilterDeviceInfo Match Found with package.xml for device for element " +
                           std::to_string(position) + " in device vector \n");
            ++it;
        } else {
            ZEV_LOG_AS(kSourceTag,
                       "IECommonUtils::FilterDeviceInfo Failed to find a match with package.xml for device element " +
                           std::to_string(position) + " in device vector and  hence skipping this Drive \n");
            it = devices.erase(it);
        }
    }
    ZEV_LOG_AS(kSourceTag, "IECommonUtils::FilterDeviceInfo device vector size after filtering " +
                               std::to_string(devices.size()) + "\n");
    ZEV_LOG_AS(kSourceTag, "IECommonUtils::FilterDeviceInfo Leaving");
    return anyMatch;
}

void setBasicDeviceInfo(CDeviceInfo* device, std::string name, std::string componentType)
{
    ZEV_LOG_AS(kSourceTag, "Entering IECommonUtils::setBasicDeviceInfo()");
    if (device != nullptr) {
        device->setDeviceName(name);
        ZEV_LOG_AS(kSourceTag, "IECommonUtils::setBasicDeviceInfo() Setting the Device Name: " + name);
        device->setComponentType(componentType);
        ZEV_LOG_AS(kSourceTag, "Setting the Component Type: " + componentType);
        device->setDeviceType(CDeviceInfo::PCI_DEVICE);
        device->setDisplay(name);
    }
    ZEV_LOG_AS(kSourceTag, "Leaving IECommonUtils :: setBasicDeviceInfo()");
}

void setErrorDeviceInfo(std::vector<CDeviceInfo*>& devices, char const* message)
{
    CDeviceInfo* record = nullptr;
    try {
        record = new CDeviceInfo();
        record->setStatus(2);
        record->setErrorMsg(message != nullptr ? message : "");
        devices.push_back(record);
    } catch (const std::bad_alloc& e) {
        delete record;  // not listed: the list is unchanged
        ZEV_LOG_AS(kSourceTag, std::string("IECommonUtils::setErrorDeviceInfo bad allocation exception ") + e.what());
    }
}
