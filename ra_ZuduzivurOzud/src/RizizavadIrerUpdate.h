#pragma once
#include <string>
#include <vector>

#include "IDeviceExecution.h"

// Update plug-in of the controller module. Owns no records: they live until the process ends.
class RizizavadIrerUpdate : public IDeviceExecution {
public:
    explicit RizizavadIrerUpdate(const std::string& outputFileName);
    ~RizizavadIrerUpdate() override;

    // Flashes the payload into every supported controller and writes the update result document,
    // also when the run ends early (then holding the one failure record alone); returns the records.
    std::vector<CDeviceInfo*> Update() override;
    // 0 when the folder "payload" beside the executable holds exactly one entry (path = its full
    // path); 1 otherwise (path = the folder path). files receives the folder listing.
    int getPayloadFiles(std::string& path, std::vector<std::string>& files);

private:
    // Writes the update result document for m_vecDevices; false when it could not be written.
    bool writeResultDocument();
    // With an output file: replaces it with a document holding the one failure record. False when
    // that could not be written (reported on standard error; an earlier document is removed).
    bool writeFailurePlaceholder();

    std::vector<CDeviceInfo*> m_vecDevices;
    std::string m_strOutputFileName;
};

// Document message for a flash check that refused a controller with the given code.
const char* flashCheckFailureMessage(unsigned short code);

extern const char* const kUpdateSuccessMessage;  // "Success: The operation was successful"
extern const char* const kUpdateFailedMessage;   // "ERROR: Failed to update Firmware"
