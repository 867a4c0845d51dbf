#include "CInventoryXMLWriter.h"
#include "CLogger.h"

namespace {
const XMLWriterNames kNames{__FILE__, "CInventoryXMLWriter", "Inventory"};
}

CInventoryXMLWriter::CInventoryXMLWriter()
{
    ZEV_LOG("CInventoryXMLWriter::CInventoryXMLWriter() In Constructor Method");
}

CInventoryXMLWriter::~CInventoryXMLWriter()
{
    ZEV_LOG("CInventoryXMLWriter::CInventoryXMLWriter() In Destructor Method");
}

void CInventoryXMLWriter::addXMLHeader()
{
    ZEV_LOG("CInventoryXMLWriter::addXMLHeader() In addXMLHeader Method");
    m_ossXML << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
}

void CInventoryXMLWriter::addInventoryHeader()
{
    ZEV_LOG("CInventoryXMLWriter::addInventoryHeader() In addInventoryHeader Method");
    m_ossXML << "<PXRInventory lang=\"en\">";
}

void CInventoryXMLWriter::addInventoryFooter()
{
    ZEV_LOG("CInventoryXMLWriter::addInventoryFooter() In addInventoryFooter Method");
    m_ossXML << "</PXRInventory>";
}

void CInventoryXMLWriter::print() { m_bWritten = WriteXMLDocument(m_ossXML, m_strOutputFileName, kNames); }

// true once the whole document has been written (to the file or to standard output).
bool CInventoryXMLWriter::GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFileName)
{
    m_strOutputFileName = outputFileName;
    m_bWritten = false;
    DeviceDocumentParts parts;
    parts.open = [this] {
        addXMLHeader();
        addInventoryHeader();
    };
    parts.device = [this](CDeviceInfo& device, bool pci, const std::string& enumText) {
        if (!pci) {
            m_ossXML << "<Device  componentID=\"" << EscapeXMLText(device.getComponentID()) << "\""
                     << " display=\"" << EscapeXMLText(device.getDisplay()) << "\" " << enumText << ">"
                     << "<Application componentType=\"" << EscapeXMLText(device.getComponentType()) << "\""
                     << " version=\"" << EscapeXMLText(device.getVersion()) << "\""
                     << " display=\"" << EscapeXMLText(device.getDeviceName()) << "\"/>"
                     << "</Device>";
        } else {
            m_ossXML << "<Device  ";
            WritePCIAttributes(m_ossXML, device.getPCIInfo());
            m_ossXML << " display=\"" << EscapeXMLText(device.getDisplay()) << "\" " << enumText << ">"
                     << "<Application componentType=\"" << EscapeXMLText(device.getComponentType()) << "\" "
                     << " version=\"" << EscapeXMLText(device.getVersion()) << "\" "
                     << " display=\"" << EscapeXMLText(device.getDeviceName()) << "\"/>"
                     << "</Device>";
        }
    };
    parts.close = [this] {
        addInventoryFooter();
        print();
    };
    WriteDeviceDocument(m_ossXML, devices, outputFileName, kNames, parts);
    return m_bWritten;
}
