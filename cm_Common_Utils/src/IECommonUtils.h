#pragma once
// Helpers shared by the plug-ins: running a document writer, the supported-device filter and
// the naming of device records.

#include <memory>
#include <string>
#include <vector>

#include "CDeviceInfo.h"
#include "IDeviceXMLWriter.h"

// Has the writer produce its document for the list; the writer's result, false when the writer is
// null. Ends the process with status 1 when the writer throws. The caller keeps ownership.
bool generateXML(std::unique_ptr<IDeviceXMLWriter>& writer, std::vector<CDeviceInfo*>& devices,
                 std::string& outputFileName);

// PCI identities that package.xml in the working directory declares as supported (a fresh read).
std::vector<SPCIInfo> GetSupportedPCIDevicesFrmPkgXML();

// Removes from the list every device whose four PCI ids (compared as numbers) match no package
// entry. True when at least one device matched; an empty package list leaves the list untouched.
bool FilterSupportedDeviceInfo(std::vector<CDeviceInfo*>& devices);

// Names a discovered controller: device name and display = name, component type, PCI device type.
void setBasicDeviceInfo(CDeviceInfo* device, std::string name, std::string componentType);

// Appends a failure record (status 2, error message = message) to the list.
void setErrorDeviceInfo(std::vector<CDeviceInfo*>& devices, char const* message);
