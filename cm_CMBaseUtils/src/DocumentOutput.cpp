#include <unistd.h>

#include <iostream>

#include "CLogger.h"
#include "IDeviceXMLWriter.h"
#include "SafeFiles.h"

bool WriteXMLDocument(std::ostringstream& document, const std::string& outputFileName, const XMLWriterNames& names)
{
    const std::string print = std::string(names.writer) + "::print() ";
    ZEV_LOG_AS(names.source, print + "Entering");
    const std::string text = document.str();
    std::string reason;
    bool written = false;
    if (!outputFileName.empty()) {
        written = SafeFiles::replaceFile(outputFileName, text, reason);
        if (written) ZEV_LOG_AS(names.source, print + "copying the contents to " + names.document + " XML file");
    } else {
        std::cout.flush();
        written = SafeFiles::writeAll(STDOUT_FILENO, text, reason);
    }
    if (!written) {
        ZEV_LOG_AS(names.source, print + "the document could not be written: " + reason);
        SafeFiles::reportDocumentFailure(outputFileName, reason);
    }
    document.str(std::string());
    document.clear();
    ZEV_LOG_AS(names.source, print + "Exiting");
    return written;
}

namespace {

std::string GetXMLLine(const XMLWriterNames& names, const char* what)
{
    return std::string(names.writer) + "::GetXML() " + what;
}

}  // namespace

void WriteDeviceDocument(std::ostringstream& document, const std::vector<CDeviceInfo*>& devices,
                         const std::string& outputFileName, const XMLWriterNames& names,
                         const DeviceDocumentParts& parts)
{
    ZEV_LOG_AS(names.source, GetXMLLine(names, "Entering"));
    if (!outputFileName.empty()) ZEV_LOG_AS(names.source, GetXMLLine(names, "udpate xml file opened"));
    parts.open();
    for (CDeviceInfo* device : devices) {
        if (device == nullptr) continue;
        const std::string enumText = EnumAttribute(*device);
        const int status = device->getStatus();
        const CDeviceInfo::eDeviceType type = device->getDeviceType();
        if (type == CDeviceInfo::NON_PCI_DEVICE && status == 0) {
            ZEV_LOG_AS(names.source, GetXMLLine(names, "Found one Non PCI Device"));
            parts.device(*device, false, enumText);
        } else if (type == CDeviceInfo::PCI_DEVICE && status == 0) {
            ZEV_LOG_AS(names.source, GetXMLLine(names, "Found one PCI Device"));
            parts.device(*device, true, enumText);
        } else if (status != 0) {
            ZEV_LOG_AS(names.source, GetXMLLine(names, "Update failed for one Device"));
            WriteFailureStatus(document, *device);
        }
    }
    parts.close();
    ZEV_LOG_AS(names.source, GetXMLLine(names, "Exiting"));
}

std::string EnumAttribute(CDeviceInfo& device)
{
    const std::string enumId = device.getEnumId();
    return enumId.empty() ? std::string() : "enum = \"" + EscapeXMLText(enumId) + "\" ";
}

void WritePCIAttributes(std::ostringstream& document, const SPCIInfo& pci)
{
    document << "vendorID=\"" << EscapeXMLText(pci.strVendorID) << "\" "
             << "deviceID=\"" << EscapeXMLText(pci.strDeviceID) << "\" "
             << "subVendorID=\"" << EscapeXMLText(pci.strSubVendorID) << "\" "
             << "subDeviceID=\"" << EscapeXMLText(pci.strSubDeviceID) << "\" ";
}

void WriteFailureStatus(std::ostringstream& document, CDeviceInfo& device)
{
    document << "<SPStatus result = \"false\" >"
             << "<Message id=\"" << device.getMessageID() << "\" >" << EscapeXMLText(device.getErrorMsg())
             << "</Message></SPStatus>";
}
