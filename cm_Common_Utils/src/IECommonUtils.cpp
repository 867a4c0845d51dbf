#include "IECommonUtils.h"

#include <cstdlib>
#include <exception>
#include <iostream>

#include "CLogger.h"

// The writer's result; false when there is no writer. A writer that throws ends the process (status 1).
bool generateXML(std::unique_ptr<IDeviceXMLWriter>& writer, std::vector<CDeviceInfo*>& devices,
                 std::string& outputFileName)
{
    ZEV_LOG("Entering IECommonUtils::generateXML()");
    if (!writer) {
        ZEV_LOG("ERROR: Failed to create auto_ptr to CUpdateXMLWriter");
        return false;
    }
    bool result = false;
    try {
        result = writer->GetXML(devices, outputFileName);
    } catch (const std::exception& e) {
        ZEV_LOG("ERROR: pDeviceXmlWriter->GetXML() created an exception and it is caught !");
        if (e.what() != nullptr) ZEV_LOG(std::string("Exception Is: ") + e.what());
        std::cout.flush();
        std::exit(1);
    } catch (...) {
        ZEV_LOG("ERROR: pDeviceXmlWriter->GetXML() created an unkown exception");
        std::cout.flush();
        std::exit(1);
    }
    if (!result) {
        ZEV_LOG("ERROR: Failed to create XML file for update.");
    } else {
        ZEV_LOG("INFO: Successfully created XML file for update.");
        if (devices.empty()) ZEV_LOG("WARNING: deviceInfo is empty. There seems to be no device.");
    }
    ZEV_LOG("Leaving IECommonUtils::generateXML()");
    return result;
}
