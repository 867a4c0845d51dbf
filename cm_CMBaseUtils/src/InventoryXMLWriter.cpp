#include "CInventoryXMLWriter.h"
#include "CLogger.h"

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

void CInventoryXMLWriter::print()
{
    m_bWritten = WriteXMLDocument(m_ossXML, m_strOutputFileName, {__FILE__, "CInventoryXMLWriter", "Inventory"});
}

// true once the whole document has been written (to the file or to standard output).
bool CInventoryXMLWriter::GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFileName)
{
    ZEV_LOG("CInventoryXMLWriter::GetXML() Entering");
    m_strOutputFileName = outputFileName;
    m_bWritten = false;
    if (!outputFileName.empty()) ZEV_LOG("CInventoryXMLWriter::GetXML() udpate xml file opened");
    addXMLHeader();
    addInventoryHeader();
    for (CDeviceInfo* device : devices) {
        if (device == nullptr) continue;
        const std::string enumText = EnumAttribute(*device);
        const int status = device->getStatus();
        const CDeviceInfo::eDeviceType type = device->getDeviceType();
        if (type == CDeviceInfo::NON_PCI_DEVICE && status == 0) {
            ZEV_LOG("CInventoryXMLWriter::GetXML() Found one Non PCI Device");
            m_ossXML << "<Device  componentID=\"" << EscapeXMLText(device->getComponentID()) << "\""
                     << " display=\"" << EscapeXMLText(device->getDisplay()) << "\" " << enumText << ">"
                     << "<Application componentType=\"" << EscapeXMLText(device->getComponentType()) << "\""
                     << " version=\"" << EscapeXMLText(device->getVersion()) << "\""
                     << " display=\"" << EscapeXMLText(device->getDeviceName()) << "\"/>"
                     << "</Device>";
        } else if (type == CDeviceInfo::PCI_DEVICE && status == 0) {
            ZEV_LOG("CInventoryXMLWriter::GetXML() Found one PCI Device");
            m_ossXML << "<Device  ";
            WritePCIAttributes(m_ossXML, device->getPCIInfo());
            m_ossXML << " display=\"" << EscapeXMLText(device->getDisplay()) << "\" " << enumText << ">"
                     << "<Application componentType=\"" << EscapeXMLText(device->getComponentType()) << "\" "
                     << " version=\"" << EscapeXMLText(device->getVersion()) << "\" "
                     << " display=\"" << EscapeXMLText(device->getDeviceName()) << "\"/>"
                     << "</Device>";
        } else if (status != 0) {
            ZEV_LOG("CInventoryXMLWriter::GetXML() Update failed for one Device");
            WriteFailureStatus(m_ossXML, *device);
        }
    }
    addInventoryFooter();
    print();
    ZEV_LOG("CInventoryXMLWriter::GetXML() Exiting");
    return m_bWritten;
}
