#pragma once
#include <string>
#include <sstream>

#include "IDeviceXMLWriter.h"

// Writes the one-line update result document (root PXRExecution).
class CUpdateXMLWriter : public DeviceDocumentWriter {
public:
    CUpdateXMLWriter();
    ~CUpdateXMLWriter() override;

    void addXMLHeader();
    void addUpdateHeader();
    void addUpdateFooter();
    void addRebootRequiredStatus(bool rebootRequired);

private:
    void openDocument() override;
    void writeDevice(CDeviceInfo& device, bool pci, const std::string& enumText) override;
    void closeDocument() override;

    bool m_bRebootRequired;
};
