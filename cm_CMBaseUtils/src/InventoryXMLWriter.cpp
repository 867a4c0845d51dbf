#include "CInventoryXMLWriter.h"
#include "CLogger.h"

namespace {
const XMLWriterNames kNames{__FILE__, "CInventoryXMLWriter", "Inventory"};
}

CInventoryXMLWriter::CInventoryXMLWriter() : DeviceDocumentWriter(kNames)
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

void CInventoryXMLWriter::openDocument()
{
    addXMLHeader();
    addInventoryHeader();
}

void CInventoryXMLWriter::writeDevice(CDeviceInfo& device, bool pci, const std::string& enumText)
{
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
}

void CInventoryXMLWriter::closeDocument() { addInventoryFooter(); }
