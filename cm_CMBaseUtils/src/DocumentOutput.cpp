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
