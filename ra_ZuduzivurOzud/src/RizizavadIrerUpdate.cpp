#include "RizizavadIrerUpdate.h"

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>

#include "CLogger.h"
#include "CPlatformLayer.h"
#include "CUpdateXMLWriter.h"
#include "IECommonUtils.h"
#include "RizizavadIrerInventory.h"
#include "SafeFiles.h"
#include "UpdateProgress.h"
#include "UpdateRunControl.h"
#include "ZevoridedUtils.h"

using CM_ZEVORIDED_UTILS::controller_PCI_Info;
using CM_ZEVORIDED_UTILS::copyToField;
using CM_ZEVORIDED_UTILS::ZevoridedUtils;

namespace {

CUpdateProgress* g_pWaitProgress = nullptr;

// Another run holds the update lock: say so, then wait for it.
void noteLockWait(const std::string& path)
{
    ZEV_LOG("Update: waiting for another update run to finish (lock " + path + ")");
    if (g_pWaitProgress != nullptr) g_pWaitProgress->note("Waiting for another update run to finish...");
}

}  // namespace

const char* const kUpdateSuccessMessage = "Success: The operation was successful";
const char* const kUpdateFailedMessage = "ERROR: Failed to update Firmware";

const char* flashCheckFailureMessage(unsigned short code)
{
    // A single check code has its own message; a combination of them, or any other code, the generic one.
    static const struct {
        unsigned short code;
        const char* message;
    } kMessages[] = {
        {SA_FLASH_NO_IMAGE, "Firmware update failed due to invalid payload size or missing payload."},
        {SA_FLASH_NO_BMIC, "ERROR: Failed to update firmware. The target controller does not support BMIC commands."},
        {SA_FLASH_BLOCKED_BY_ENCRYPTION,
         "ERROR: Failed to update firmware. The target controller's firmware is locked."},
    };
    for (const auto& m : kMessages)
        if (m.code == code) return m.message;
    return kUpdateFailedMessage;
}

RizizavadIrerUpdate::RizizavadIrerUpdate(const std::string& outputFileName)
{
    ZEV_LOG("Entering RizizavadIrerUpdate::RizizavadIrerUpdate()");
    m_strOutputFileName = outputFileName;
    ZEV_LOG("Leaving RizizavadIrerUpdate::RizizavadIrerUpdate()");
}

RizizavadIrerUpdate::~RizizavadIrerUpdate() { ZEV_LOG("RizizavadIrerUpdate::~RizizavadIrerUpdate() called"); }

// 0 when exactly one payload entry was found, 1 otherwise.
int RizizavadIrerUpdate::getPayloadFiles(std::string& path, std::vector<std::string>& files)
{
    const std::string folder = CPlatformLayer::getCurrentProcessDirectory();
    if (folder.empty()) {
        // Without the executable's own folder any "payload" found would be another package's.
        ZEV_LOG("getPayloadPath: the executable's folder cannot be had");
        path.clear();
        files.clear();
        return 1;
    }
    path = folder + "payload";
    files = CPlatformLayer::GetFileList(path);
    if (files.size() != 1) {
        ZEV_LOG("getPayloadPath: Zero or more than one payload file found");
        return 1;
    }
    ZEV_LOG("getPayloadPath: Payload file name is: " + files[0]);
    path = files[0];
    return 0;
}

bool RizizavadIrerUpdate::writeResultDocument()
{
    keepDeviceRecords(m_vecDevices);
    std::unique_ptr<IDeviceXMLWriter> writer(new (std::nothrow) CUpdateXMLWriter());
    return generateXML(writer, m_vecDevices, m_strOutputFileName);
}

bool RizizavadIrerUpdate::writeFailurePlaceholder()
{
    if (m_strOutputFileName.empty()) return true;
    std::vector<CDeviceInfo*> records;
    setErrorDeviceInfo(records, kUpdateFailedMessage);
    keepDeviceRecords(records);
    std::unique_ptr<IDeviceXMLWriter> writer(new (std::nothrow) CUpdateXMLWriter());
    if (generateXML(writer, records, m_strOutputFileName)) return true;
    // An earlier run's document must not pass for this run's: remove it (a regular file only).
    if (SafeFiles::isRegularFile(m_strOutputFileName)) ::unlink(m_strOutputFileName.c_str());
    return false;
}

std::vector<CDeviceInfo*> RizizavadIrerUpdate::Update()
{
    ZEV_LOG("Entering RizizavadIrerUpdate::Update()");

    // A termination signal is recorded, never acted on mid-flash; main raises it after the document.
    CDeferredSignals deferredSignals;
    CUpdateProgress progress(STDERR_FILENO);

    // One update run at a time: two runs would mix their chunks in a controller's collect buffer.
    CUpdateLock updateLock;
    g_pWaitProgress = &progress;
    UpdateLockResult lockResult =
        updateLock.acquire(updateLockCandidates(), noteLockWait, &CDeferredSignals::stopRequested);
    g_pWaitProgress = nullptr;
    if (lockResult == UpdateLockResult::Interrupted) {
        // Nothing was discovered, and without the lock nothing may be.
        ZEV_LOG("Update: stopped by a signal while waiting for the update lock");
        m_vecDevices.clear();
        setErrorDeviceInfo(m_vecDevices, kUpdateFailedMessage);
        writeResultDocument();
        return m_vecDevices;
    }
    if (lockResult == UpdateLockResult::Unavailable) {
        // Without the lock another run could mix its commands into a flash: nothing is sent.
        ZEV_LOG("Update: no usable update lock file (" + updateLockCandidates().front() + "), the update does not run");
        m_vecDevices.clear();
        setErrorDeviceInfo(m_vecDevices, kUpdateFailedMessage);
        writeResultDocument();
        return m_vecDevices;
    }

    // Every early end still writes its document, holding the one failure record: the caller must
    // always get an answer, and never one that claims a controller was updated.
    std::string payloadPath;
    std::vector<std::string> payloadFiles;
    if (getPayloadFiles(payloadPath, payloadFiles) != 0) {
        ZEV_LOG("Update:: Payload directory mismatch");
        m_vecDevices.clear();
        setErrorDeviceInfo(m_vecDevices, "Payload directory is not proper.");
        writeResultDocument();
        return m_vecDevices;
    }

    // The image is read once, now: every controller gets these bytes, whatever happens to the file.
    CM_ZEVORIDED_UTILS::PayloadImage image;
    CM_ZEVORIDED_UTILS::loadPayloadImage(payloadPath.c_str(), image);

    // Until the final document replaces it, the -o file says the update failed: a run that is killed
    // mid-flash never leaves an earlier success behind. A run that cannot say so sends nothing.
    if (!writeFailurePlaceholder()) {
        ZEV_LOG("Update: the result document cannot be written, nothing is flashed");
        return m_vecDevices;
    }

    RizizavadIrerInventory inventory(m_strOutputFileName);
    CM_ZEVORIDED_UTILS::setDiscoveryStopTest(&CDeferredSignals::stopRequested);
    m_vecDevices = inventory.DiscoverDevices();
    CM_ZEVORIDED_UTILS::setDiscoveryStopTest(nullptr);
    if (inventory.DiscoveryStopped() || CDeferredSignals::pending() != 0) {
        ZEV_LOG("Update: stopped by signal " + std::to_string(CDeferredSignals::pending()) +
                " during discovery, nothing flashed");
        m_vecDevices.clear();
        setErrorDeviceInfo(m_vecDevices, kUpdateFailedMessage);
        writeResultDocument();
        return m_vecDevices;
    }
    // A listed controller that is present but cannot be read is reported as not updated, never left out.
    m_vecDevices = inventory.WithUnreadableControllers(kUpdateFailedMessage);
    if (m_vecDevices.empty()) {
        ZEV_LOG("Update: Zero inventory during update");
        setErrorDeviceInfo(m_vecDevices, "Device is not present in the system for update or has been removed");
        writeResultDocument();
        return m_vecDevices;
    }

    if (!FilterSupportedDeviceInfo(m_vecDevices)) {
        ZEV_LOG("Update: No device match with package.xml");
        // Without a usable package.xml the filter leaves every discovered (good) record in the list;
        // none of them was flashed, so none may appear in the document.
        m_vecDevices.clear();
        setErrorDeviceInfo(m_vecDevices, "No matching device found (PCI mismatch).");
        writeResultDocument();
        return m_vecDevices;
    }
    ZEV_LOG("Update: Filtering of devices from package xml successful ");

    ZevoridedUtils& bridge = ZevoridedUtils::getInstance();
    CM_ZEVORIDED_UTILS::setFlashProgressObserver(&CUpdateProgress::observe, &progress);
    for (CDeviceInfo* device : m_vecDevices) {
        // Stop between controllers, never inside one's flash sequence.
        if (CDeferredSignals::pending() != 0) {
            ZEV_LOG("Update: stopped by signal " + std::to_string(CDeferredSignals::pending()) +
                    ", controller not updated");
            device->setStatus(1);
            device->setErrorMsg(kUpdateFailedMessage);
            progress.endController(device->getDisplay(), kUpdateFailedMessage);
            continue;
        }
        if (device->getStatus() != 0) {  // could not be read during discovery
            progress.endController(device->getDisplay(), device->getErrorMsg());
            continue;
        }
        SPCIInfo pciInfo = device->getPCIInfo();
        controller_PCI_Info key;
        copyToField(key.szVendorID, pciInfo.strVendorID);
        copyToField(key.szSubVendorID, pciInfo.strSubVendorID);
        copyToField(key.szDeviceID, pciInfo.strDeviceID);
        copyToField(key.szSubDeviceID, pciInfo.strSubDeviceID);
        // Names this record's own controller among controllers with the same PCI ids.
        copyToField(key.szSystemPath, inventory.getControllerIdentity(device));

        ZEV_LOG("Update: Flashing firmware for below PCI");
        ZEV_LOG("Update: DeviceID    = " + pciInfo.strDeviceID);
        ZEV_LOG("Update: SubDeviceID = " + pciInfo.strSubDeviceID);
        ZEV_LOG("Update: VendorID    = " + pciInfo.strVendorID);
        ZEV_LOG("Update: SubvendorID = " + pciInfo.strSubVendorID);

        // Signals wait until this controller's flash sequence is over.
        CFlashSection flashSection;
        unsigned short errorCode = 0;
        if (!bridge.canFlashControllerFirmware(key, image, errorCode)) {
            device->setStatus(1);
            device->setErrorMsg(flashCheckFailureMessage(errorCode));
            ZEV_LOG("Update: canFlashControllerFirmware() returned failure !!!");
            progress.endController(device->getDisplay(), device->getErrorMsg());
            continue;
        }
        progress.beginController(device->getDisplay());
        if (bridge.flashControllerFirmware(key, image, errorCode)) {
            device->setStatus(0);
            device->setErrorMsg(kUpdateSuccessMessage);
        } else {
            device->setStatus(1);
            device->setErrorMsg(kUpdateFailedMessage);
            ZEV_LOG("Update: Failed to flash firmware!!!");
        }
        progress.endController(device->getDisplay(), device->getErrorMsg());
    }
    CM_ZEVORIDED_UTILS::setFlashProgressObserver(nullptr, nullptr);

    // Nothing more goes to a controller: a document that cannot be written at once (a pipe nobody
    // reads) must not keep other update runs waiting.
    updateLock.release();
    writeResultDocument();
    ZEV_LOG("Leaving RizizavadIrerUpdate::Update()");
    return m_vecDevices;
}
