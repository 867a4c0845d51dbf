#include "IECommonUtils.h"

#include <cstdlib>
#include <exception>
#include <iostream>

#include "CLogger.h"

// The writer's result; false when there is no writer. A writer that throws ends the process (status 1).
bool generateXML(std::unique_ptr<IDeviceXMLWriter>& writer, std::vector<CDeviceInfo*>& devices,
                 std::string& outputFileName)
{
    CLogger* logger = CLogger::GetInstance();
    logger->log(__FILE__, __LINE__, "Entering IECommonUtils::generateXML()");
    if (!writer) {
        logger->log(__FILE__, __LINE__, "ERROR: Failed to create auto_ptr to CUpdateXMLWriter");
        return false;
    }
    bool result = false;
    try {
        result = writer->GetXML(devices, outputFileName);
    } catch (const std::exception& e) {
        logger->log(__FILE__, __LINE__, "ERROR: pDeviceXmlWriter->GetXML() created an exception and it is caught !");
        if (e.what() != nullptr)
            logger->log(__FILE__, __LINE__, std::string("Exception Is: ") + e.what());
        std::cout.flush();
        std::exit(1);
    } catch (...) {
        logger->log(__FILE__, __LINE__, "ERROR: pDeviceXmlWriter->GetXML() created an unkown exception");
        std::cout.flush();
        std::exit(1);
    }
    if (!result) {
        logger->log(__FILE__, __LINE__, "ERROR: Failed to create XML file for update.");
    } else {
        logger->log(__FILE__, __LINE__, "INFO: Successfully created XML file for update.");
        if (devices.empty())
            logger->log(__FILE__, __LINE__, "WARNING: deviceInfo is empty. There seems to be no device.");
    }
    logger->log(__FILE__, __LINE__, "Leaving IECommonUtils::generateXML()");
    return result;
}
