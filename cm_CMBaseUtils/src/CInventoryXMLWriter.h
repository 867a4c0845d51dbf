#pragma once
#include <string>
#include <sstream>

#include "IDeviceXMLWriter.h"

// Writes the one-line inventory document (root PXRInventory).
class CInventoryXMLWriter : public DeviceDocumentWriter {
public:
    CInventoryXMLWriter();
    ~CInventoryXMLWriter() override;

    void addXMLHeader();
    void addInventoryHeader();
    void addInventoryFooter();

private:
    void openDocument() override;
    void writeDevice(CDeviceInfo& device, bool pci, const std::string& enumText) override;
    void closeDocument() override;
};
