#include "CLogger.h"
#include "CUpdateXMLWriter.h"

namespace {
const XMLWriterNames kNames{__FILE__, "CUpdateXMLWriter", "Update"};
}

CUpdateXMLWriter::CUpdateXMLWriter() : DeviceDocumentWriter(kNames), m_bRebootRequired(false)
{
    ZEV_LOG("CUpdateXMLWriter::CUpdateXMLWriter() In Constructor Method");
}

CUpdateXMLWriter::~CUpdateXMLWriter() { ZEV_LOG("CUpdateXMLWriter::~CUpdateXMLWriter() In Destructor Method"); }

void CUpdateXMLWriter::addXMLHeader()
{
    ZEV_LOG("CUpdateXMLWriter::addXMLHeader() In addXMLHeader Method");
    m_ossXML << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
}

void CUpdateXMLWriter::addUpdateHeader()
{
    ZEV_LOG("CUpdateXMLWriter::addUpdateHeader() In addUpdateHeader Method");
    m_ossXML << "<PXRExecution lang=\"en\">";
}

void CUpdateXMLWriter::addUpdateFooter()
{
    ZEV_LOG("CUpdateXMLWriter::addUpdateFooter() In addUpdateFooter Method");
    m_ossXML << "</PXRExecution>";
}

void CUpdateXMLWriter::addRebootRequiredStatus(bool rebootRequired)
{
    ZEV_LOG("CUpdateXMLWriter::addRebootRequiredStatus() In addRebootRequiredStatus Method");
    if (rebootRequired) {
        m_ossXML << "<RebootRequired>" << 1 << "</RebootRequired>";
        ZEV_LOG("CUpdateXMLWriter::addRebootRequiredStatus() Device need reboot");
    }
}

void CUpdateXMLWriter::openDocument()
{
    m_bRebootRequired = false;
    addXMLHeader();
    addUpdateHeader();
}

void CUpdateXMLWriter::writeDevice(CDeviceInfo& device, bool pci, const std::string& enumText)
{
    if (!pci) {
        m_ossXML << "<Device  componentID=\"" << EscapeXMLText(device.getComponentID()) << "\" ";
    } else {
        m_ossXML << "<Device  ";
        WritePCIAttributes(m_ossXML, device.getPCIInfo());
    }
    if (device.getRebootRequired()) m_bRebootRequired = true;
    m_ossXML << "display=\"" << EscapeXMLText(device.getDisplay()) << "\" " << enumText << ">"
             << "<Application componentType=\"" << EscapeXMLText(device.getComponentType()) << "\" "
             << "version=\"" << EscapeXMLText(device.getVersion()) << "\" "
             << "display=\"" << EscapeXMLText(device.getDeviceName()) << "\" >"
             << "<SPStatus result = \"true\" >"
             << "<Message id=\"" << device.getMessageID() << "\" >" << EscapeXMLText(device.getErrorMsg())
             << "</Message></SPStatus></Application></Device>";
}

void CUpdateXMLWriter::closeDocument()
{
    addRebootRequiredStatus(m_bRebootRequired);
    addUpdateFooter();
}
