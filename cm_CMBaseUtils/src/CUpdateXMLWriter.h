#pragma once
#include <fstream>
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
    // Writes the buffer to the output file if open, else to standard output, and empties it.
    void print();

private:
    std::ostringstream m_ossXML;
    std::ofstream m_ofsXMLFile;
    bool m_bRebootRequired;
};
