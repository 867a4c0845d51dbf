#pragma once
#include <string>
#include <sstream>

#include "IDeviceXMLWriter.h"

// Writes the one-line update result document (root PXRExecution).
class CUpdateXMLWriter : public IDeviceXMLWriter {
public:
    CUpdateXMLWriter();
    ~CUpdateXMLWriter() override;

    bool GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFileName) override;

    void addXMLHeader();
    void addUpdateHeader();
    void addUpdateFooter();
    void addRebootRequiredStatus(bool rebootRequired);
    // Writes the buffer to the output file (replacing it whole) or to standard output, and empties it;
    // a failure is reported on standard error.
    void print();

private:
    std::ostringstream m_ossXML;
    std::string m_strOutputFileName;  // empty: standard output
    bool m_bWritten = false;
    bool m_bRebootRequired;
};
