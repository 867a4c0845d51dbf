#include "CLogger.h"
#include "CUpdateXMLWriter.h"

CUpdateXMLWriter::CUpdateXMLWriter() : m_bRebootRequired(false)
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

void CUpdateXMLWriter::print()
{
    m_bWritten = WriteXMLDocument(m_ossXML, m_strOutputFileName, {__FILE__, "CUpdateXMLWriter", "Update"});
}

// true once the whole document has been written (to the file or to standard output).
bool CUpdateXMLWriter::GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFileName)
{
    ZEV_LOG("CUpdateXMLWriter::GetXML() Entering");
    m_bRebootRequired = false;
    m_strOutputFileName = outputFileName;
    m_bWritten = false;
    if (!outputFileName.empty()) ZEV_LOG("CUpdateXMLWriter::GetXML() udpate xml file opened");
    addXMLHeader();
    addUpdateHeader();
    for (CDeviceInfo* device : devices) {
        if (device == nullptr) continue;
        const std::string enumText = EnumAttribute(*device);
        const int status = device->getStatus();
        const CDeviceInfo::eDeviceType type = device->getDeviceType();
        const bool isNonPCI = type == CDeviceInfo::NON_PCI_DEVICE && status == 0;
        const bool isPCI = type == CDeviceInfo::PCI_DEVICE && status == 0;
        if (isNonPCI || isPCI) {
            if (isNonPCI) {
                ZEV_LOG("CUpdateXMLWriter::GetXML() Found one Non PCI Device");
                m_ossXML << "<Device  componentID=\"" << EscapeXMLText(device->getComponentID()) << "\" ";
            } else {
                ZEV_LOG("CUpdateXMLWriter::GetXML() Found one PCI Device");
                m_ossXML << "<Device  ";
                WritePCIAttributes(m_ossXML, device->getPCIInfo());
            }
            if (device->getRebootRequired()) m_bRebootRequired = true;
            m_ossXML << "display=\"" << EscapeXMLText(device->getDisplay()) << "\" " << enumText << ">"
                     << "<Application componentType=\"" << EscapeXMLText(device->getComponentType()) << "\" "
                     << "version=\"" << EscapeXMLText(device->getVersion()) << "\" "
                     << "display=\"" << EscapeXMLText(device->getDeviceName()) << "\" >"
                     << "<SPStatus result = \"true\" >"
                     << "<Message id=\"" << device->getMessageID() << "\" >" << EscapeXMLText(device->getErrorMsg())
                     << "</Message></SPStatus></Application></Device>";
        } else if (status != 0) {
            ZEV_LOG("CUpdateXMLWriter::GetXML() Update failed for one Device");
            WriteFailureStatus(m_ossXML, *device);
        }
    }
    addRebootRequiredStatus(m_bRebootRequired);
    addUpdateFooter();
    print();
    ZEV_LOG("CUpdateXMLWriter::GetXML() Exiting");
    return m_bWritten;
}
