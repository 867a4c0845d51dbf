#pragma once
// Writer of one result document from a list of device records.

#include <sstream>
#include <string>
#include <vector>

#include "CDeviceInfo.h"

class IDeviceXMLWriter {
public:
    virtual ~IDeviceXMLWriter() {}
    // Builds the document and replaces the named file with it, or writes it to standard output when
    // the name is empty. False (and one line on standard error) when it could not be written whole.
    virtual bool GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFileName) = 0;
};

// Value escaped for an attribute or element text: & < > " become entities, tab, line feed and
// carriage return character references; control characters and bytes that are not well-formed
// UTF-8 (or not XML characters) become U+FFFD. Everything else is kept as it is.
std::string EscapeXMLText(const std::string& text);

// Pieces both documents write alike: the device's enum attribute ("enum = \"<id>\" ", empty without
// an enum id), the four PCI id attributes of a PCI device's element, and the failure status of a
// device whose update or reading failed.
std::string EnumAttribute(CDeviceInfo& device);
void WritePCIAttributes(std::ostringstream& document, const SPCIInfo& pci);
void WriteFailureStatus(std::ostringstream& document, CDeviceInfo& device);

// Who writes a document, for its log lines: the source file they carry, the writer's class name
// ("<writer>::print() ...") and the document's name ("copying the contents to <document> XML file").
struct XMLWriterNames {
    const char* source;
    const char* writer;
    const char* document;
};

// Replaces the named file with the finished document, or writes it to standard output when the name
// is empty, then empties the document. False, and one line on standard error, when it could not be
// written whole.
bool WriteXMLDocument(std::ostringstream& document, const std::string& outputFileName, const XMLWriterNames& names);

// The frame both documents share: the log lines name the writer ("<writer>::GetXML() ..."), a
// failed device becomes its failure status, the finished document is written out. A document adds
// what it writes around and for each device read or updated without failure.
class DeviceDocumentWriter : public IDeviceXMLWriter {
public:
    bool GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFileName) override;
    // Writes the buffer to the output file (replacing it whole) or to standard output, and empties it;
    // a failure is reported on standard error.
    void print();

protected:
    explicit DeviceDocumentWriter(const XMLWriterNames& names) : m_names(names) {}
    // The XML declaration and the root element's start.
    virtual void openDocument() = 0;
    // One device; pci tells which of the two element forms it takes.
    virtual void writeDevice(CDeviceInfo& device, bool pci, const std::string& enumText) = 0;
    // What follows the devices and the root element's end.
    virtual void closeDocument() = 0;

    std::ostringstream m_ossXML;

private:
    const XMLWriterNames m_names;
    std::string m_strOutputFileName;  // empty: standard output
    bool m_bWritten = false;
};
