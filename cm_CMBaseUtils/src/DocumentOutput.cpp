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

void DeviceDocumentWriter::print() { m_bWritten = WriteXMLDocument(m_ossXML, m_strOutputFileName, m_names); }

bool DeviceDocumentWriter::GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFileName)
{
    ZEV_LOG_AS(m_names.source, GetXMLLine(m_names, "Entering"));
    m_strOutputFileName = outputFileName;
    m_bWritten = false;
    if (!outputFileName.empty()) ZEV_LOG_AS(m_names.source, GetXMLLine(m_names, "udpate xml file opened"));
    openDocument();
    for (CDeviceInfo* device : devices) {
        if (device == nullptr) continue;
        const std::string enumText = EnumAttribute(*device);
        const int status = device->getStatus();
        const CDeviceInfo::eDeviceType type = device->getDeviceType();
        if (type == CDeviceInfo::NON_PCI_DEVICE && status == 0) {
            ZEV_LOG_AS(m_names.source, GetXMLLine(m_names, "Found one Non PCI Device"));
            writeDevice(*device, false, enumText);
        } else if (type == CDeviceInfo::PCI_DEVICE && status == 0) {
            ZEV_LOG_AS(m_names.source, GetXMLLine(m_names, "Found one PCI Device"));
            writeDevice(*device, true, enumText);
        } else if (status != 0) {
            ZEV_LOG_AS(m_names.source, GetXMLLine(m_names, "Update failed for one Device"));
            WriteFailureStatus(m_ossXML, *device);
        }
    }
    closeDocument();
    print();
    ZEV_LOG_AS(m_names.source, GetXMLLine(m_names, "Exiting"));
    return m_bWritten;
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
