#pragma once
#include <string>
#include <sstream>

#include "IDeviceXMLWriter.h"

// Writes the one-line inventory document (root PXRInventory).
class CInventoryXMLWriter : public IDeviceXMLWriter {
public:
    CInventoryXMLWriter();
    ~CInventoryXMLWriter() override;

    bool GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFileName) override;

    void addXMLHeader();
    void addInventoryHeader();
    void addInventoryFooter();
    // Writes the buffer to the output file (replacing it whole) or to standard output, and empties it;
    // a failure is reported on standard error.
    void print();

private:
    std::ostringstream m_ossXML;
    std::string m_strOutputFileName;  // empty: standard output
    bool m_bWritten = false;
};
