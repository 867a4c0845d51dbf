#pragma once
#include <fstream>
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
    // Writes the buffer to the output file if open, else to standard output, and empties it.
    void print();

private:
    std::ostringstream m_ossXML;
    std::ofstream m_ofsXMLFile;
};
