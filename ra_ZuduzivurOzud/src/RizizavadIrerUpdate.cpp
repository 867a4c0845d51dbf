#include "RizizavadIrerUpdate.h"

#include <memory>
#include <new>

#include "CLogger.h"
#include "CPlatformLayer.h"
#include "CUpdateXMLWriter.h"
#include "IECommonUtils.h"
#include "RizizavadIrerInventory.h"
#include "ZevoridedUtils.h"

using CM_ZEVORIDED_UTILS::controller_PCI_Info;
using CM_ZEVORIDED_UTILS::copyToField;
using CM_ZEVORIDED_UTILS::ZevoridedUtils;

const char* const kUpdateSuccessMessage = "Success: The operation was successful";
const char* const kUpdateFailedMessage = "ERROR: Failed to update Firmware";

const char* flashCheckFailureMessage(unsigned short code)
{
    switch (code) {
    case 1:
        return "Firmware update failed due to invalid payload size or missing payload.";
    case 2:
        return "ERROR: Failed to update firmware. The target controller does not support BMIC commands.";
    case 4:
        return "ERROR: Failed to update firmware. The target controller's firmware is locked.";
    default:
        return kUpdateFailedMessage;
    }
}

RizizavadIrerUpdate::RizizavadIrerUpdate(const std::string& outputFileName)
{
    CLogger::GetInstance()->log(__FILE__, __LINE__, "Entering RizizavadIrerUpdate::RizizavadIrerUpdate()");
    m_strOutputFileName = outputFileName;
    CLogger::GetInstance()->log(__FILE__, __LINE__, "Leaving RizizavadIrerUpdate::RizizavadIrerUpdate()");
}

RizizavadIrerUpdate::~RizizavadIrerUpdate()
{
    CLogger::GetInstance()->log(__FILE__, __LINE__, "RizizavadIrerUpdate::~RizizavadIrerUpdate() called");
}

// 0 when exactly one payload entry was found, 1 otherwise.
int RizizavadIrerUpdate::getPayloadFiles(std::string& path, std::vector<std::string>& files)
{
    path = CPlatformLayer::getCurrentProcessDirectory() + "payload";
    files = CPlatformLayer::GetFileList(path);
    if (files.size() != 1) {
        CLogger::GetInstance()->log(__FILE__, __LINE__, "getPayloadPath: Zero or more than one payload file found");
        return 1;
    }
    CLogger::GetInstance()->log(__FILE__, __LINE__, "getPayloadPath: Payload file name is: " + files[0]);
    path = files[0];
    return 0;
}

void RizizavadIrerUpdate::writeResultDocument()
{
    keepDeviceRecords(m_vecDevices);
    std::unique_ptr<IDeviceXMLWriter> writer(new (std::nothrow) CUpdateXMLWriter());
    generateXML(writer, m_vecDevices, m_strOutputFileName);
}

std::vector<CDeviceInfo*> RizizavadIrerUpdate::Update()
{
    CLogger* logger = CLogger::GetInstance();
    logger->log(__FILE__, __LINE__, "Entering RizizavadIrerUpdate::Update()");

    // Every early end still writes its document, holding the one failure record: the caller must
    // always get an answer, and never one that claims a controller was updated.
    std::string payloadPath;
    std::vector<std::string> payloadFiles;
    if (getPayloadFiles(payloadPath, payloadFiles) != 0) {
        logger->log(__FILE__, __LINE__, "Update:: Payload directory mismatch");
        m_vecDevices.clear();
        setErrorDeviceInfo(m_vecDevices, "Payload directory is not proper.");
        writeResultDocument();
        return m_vecDevices;
    }

    RizizavadIrerInventory inventory(m_strOutputFileName);
    m_vecDevices = inventory.DiscoverDevices();
    if (m_vecDevices.empty()) {
        logger->log(__FILE__, __LINE__, "Update: Zero inventory during update");
        setErrorDeviceInfo(m_vecDevices, "Device is not present in the system for update or has been removed");
        writeResultDocument();
        return m_vecDevices;
    }

    if (!FilterSupportedDeviceInfo(m_vecDevices)) {
        logger->log(__FILE__, __LINE__, "Update: No device match with package.xml");
        // Without a usable package.xml the filter leaves every discovered (good) record in the list;
        // none of them was flashed, so none may appear in the document.
        m_vecDevices.clear();
        setErrorDeviceInfo(m_vecDevices, "No matching device found (PCI mismatch).");
        writeResultDocument();
        return m_vecDevices;
    }
    logger->log(__FILE__, __LINE__, "Update: Filtering of devices from package xml successful ");

    ZevoridedUtils& bridge = ZevoridedUtils::getInstance();
    for (CDeviceInfo* device : m_vecDevices) {
        SPCIInfo pciInfo = device->getPCIInfo();
        controller_PCI_Info key;
        copyToField(key.szVendorID, pciInfo.strVendorID);
        copyToField(key.szSubVendorID, pciInfo.strSubVendorID);
        copyToField(key.szDeviceID, pciInfo.strDeviceID);
        copyToField(key.szSubDeviceID, pciInfo.strSubDeviceID);
        // Names this record's own controller among controllers with the same PCI ids.
        copyToField(key.szSystemPath, inventory.getControllerIdentity(device));

        logger->log(__FILE__, __LINE__, "Update: Flashing firmware for below PCI");
        logger->log(__FILE__, __LINE__, "Update: DeviceID    = " + pciInfo.strDeviceID);
        logger->log(__FILE__, __LINE__, "Update: SubDeviceID = " + pciInfo.strSubDeviceID);
        logger->log(__FILE__, __LINE__, "Update: VendorID    = " + pciInfo.strVendorID);
        logger->log(__FILE__, __LINE__, "Update: SubvendorID = " + pciInfo.strSubVendorID);

        unsigned short errorCode = 0;
        if (!bridge.canFlashControllerFirmware(key, payloadPath.c_str(), errorCode)) {
            device->setStatus(1);
            device->setErrorMsg(flashCheckFailureMessage(errorCode));
            logger->log(__FILE__, __LINE__, "Update: canFlashControllerFirmware() returned failure !!!");
            continue;
        }
        if (bridge.flashControllerFirmware(key, payloadPath.c_str(), errorCode)) {
            device->setStatus(0);
            device->setErrorMsg(kUpdateSuccessMessage);
        } else {
            device->setStatus(1);
            device->setErrorMsg(kUpdateFailedMessage);
            logger->log(__FILE__, __LINE__, "Update: Failed to flash firmware!!!");
        }
    }

    writeResultDocument();
    logger->log(__FILE__, __LINE__, "Leaving RizizavadIrerUpdate::Update()");
    return m_vecDevices;
}
