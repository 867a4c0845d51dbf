// Controller access bridge: the devices behind the controllers (device handles, physical drive and
// device handles, INQUIRY, drive identity, SCSI commands, background activity).
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "CLogger.h"
#include "ZevoridedUtils.h"
#include "storc_physical.h"

namespace CM_ZEVORIDED_UTILS {

namespace {

// The bridge's log lines all carry the bridge's source file name.
const char* const kBridgeSource = "cm_ZevoridedUtils_API/src/ZevoridedUtils.cpp";

constexpr std::uint32_t kSenseSize = 32;
constexpr std::uint32_t kVsepInquirySize = 95;
constexpr std::uint32_t kBasicInquirySize = 68;
const char* const kVsepProductText = "Smart Adapter";

// Sense buffer the bridge lends to requests that come without one (the tool has one thread).
unsigned char g_lentSense[kSenseSize];

std::string hexValue(unsigned int value)
{
    std::ostringstream os;
    os << std::hex << value;
    return os.str();
}

// Every sense byte as "0x%x " after a line break.
std::string senseBytes(const _SCSIRequest* request)
{
    std::string text = "\n";
    const unsigned char* sense = static_cast<const unsigned char*>(request->sense);
    const std::uint32_t size = request->senseSize;
    char byte[8];
    for (std::uint32_t i = 0; sense != nullptr && i < size; ++i) {
        std::snprintf(byte, sizeof(byte), "0x%x ", sense[i]);
        text += byte;
    }
    return text;
}

// "<text><count>".
void logCount(const char* text, std::size_t count) { ZEV_LOG_AS(kBridgeSource, text + std::to_string(count)); }

// The three lines of a failed request: SCSI status, low-level status and the sense bytes, each
// after prefix.
void logFailedRequest(const std::string& prefix, const _SCSIRequest* request)
{
    ZEV_LOG_AS(kBridgeSource, prefix + " SCSI status = " + hexValue(request->scsiStatus));
    ZEV_LOG_AS(kBridgeSource, prefix + " low level status = " + hexValue(request->lowLevelStatus));
    ZEV_LOG_AS(kBridgeSource, prefix + " Sense Data" + senseBytes(request));
}

// What each device kind of the bridge is among the descriptors (getDeviceHandles) and in the
// storage core (getPhysicalDeviceHandles); 0 and SA_PHYSICAL_DEVICE_TYPE_INVALID: no device has it.
struct KindTypes {
    int kind;
    std::uint16_t descriptor;
    std::uint8_t physical;
};
const KindTypes kKindTypes[] = {
    {DEVICE_TYPE_PHYSICAL_DRIVE, SC_DEVICE_TYPE_PHYSICAL_DRIVE, SA_PHYSICAL_DEVICE_TYPE_INVALID},
    {DEVICE_TYPE_EXPANDER, SC_DEVICE_TYPE_EXPANDER, SA_PHYSICAL_DEVICE_TYPE_EXPANDER},
    {DEVICE_TYPE_ENCLOSURE, SC_DEVICE_TYPE_ENCLOSURE, SA_PHYSICAL_DEVICE_TYPE_ENCLOSURE},
    {DEVICE_TYPE_FROM_BYTE7, 0, SA_PHYSICAL_DEVICE_TYPE_FROM_BYTE7},
};
constexpr KindTypes kNoKind = {-1, 0, SA_PHYSICAL_DEVICE_TYPE_INVALID};

const KindTypes& kindTypes(int type)
{
    for (const KindTypes& k : kKindTypes)
        if (k.kind == type) return k;
    return kNoKind;
}

std::uint16_t descriptorTypeFor(device_type type) { return kindTypes(type).descriptor; }
std::uint8_t physicalTypeFor(int type) { return kindTypes(type).physical; }

// Drive kind code from the basic-information word: the lowest kind bit that is set, or
// kDriveTypeNone.
std::uint32_t driveTypeFromBasicInfo(std::uint32_t word)
{
    static const std::uint32_t kKinds[] = {SA_PD_BASIC_SAS_HDD, SA_PD_BASIC_SATA_HDD, SA_PD_BASIC_SAS_SSD,
                                           SA_PD_BASIC_SATA_SSD, SA_PD_BASIC_NVME_SSD};
    for (std::uint32_t bit : kKinds)
        if (word & bit) return bit;
    return kDriveTypeNone;
}

// Copies n raw bytes into a fixed field, cut to fit and NUL-terminated.
template <std::size_t N>
void copyBytesToField(char (&field)[N], const unsigned char* source, std::size_t n)
{
    std::memset(field, 0, N);
    std::memcpy(field, source, n < N - 1 ? n : N - 1);
}

physical_device_handle* newPhysicalHandle(SA_CDA* cda, std::uint16_t index)
{
    physical_device_handle* handle = static_cast<physical_device_handle*>(std::malloc(sizeof(physical_device_handle)));
    if (handle == nullptr) return nullptr;
    handle->pCDA = cda;
    handle->wDeviceIndex = index;
    return handle;
}

}  // namespace

void ZevoridedUtils::getDeviceHandles(std::vector<device_handle*>& handles, device_type type)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::getDeviceHandles()");
    const std::uint16_t wanted = descriptorTypeFor(type);
    for (controller_handle& controller : m_vecControllerHandles) {
        SC_DescriptorList* list = SC_CreateAllPhysicalDeviceDescriptorList(controller.pDescriptor);
        SC_DeviceListIterator* it = SC_CreateDeviceListIterator(list);
        for (; it != nullptr && !SC_IsDeviceListIteratorEnd(it); SC_MoveDeviceListIteratorNext(it)) {
            const SC_DeviceDescriptor* device = SC_GetDeviceListItemAt(it);
            device_handle* handle = static_cast<device_handle*>(std::calloc(1, sizeof(device_handle)));
            if (handle == nullptr) {
                ZEV_LOG_AS(kBridgeSource, "getDeviceHandles(): unable to allocate a device handle");
                continue;
            }
            handle->pProperties = static_cast<controller_properties*>(std::calloc(1, sizeof(controller_properties)));
            if (handle->pProperties != nullptr) getControllerProperties(handle->pProperties, controller.pCDA);
            std::uint8_t value[2];
            std::uint16_t deviceType = 0;
            if (SC_GetDeviceSystemProperty(device, SC_PROPERTY_DEVICE_TYPE, value, sizeof(value)) == 0)
                deviceType = SC_GetLE16(value);
            // The handle keeps its own copy: the list goes away here.
            if (wanted != 0 && deviceType == wanted) handle->pDescriptor = SC_CopyDeviceDescriptor(device);
            if (handle->pDescriptor == nullptr || handle->pProperties == nullptr) {
                SC_DestroyDeviceDescriptor(handle->pDescriptor);
                std::free(handle->pProperties);
                std::free(handle);
                continue;
            }
            handles.push_back(handle);
        }
        SC_DestroyDeviceListIterator(it);
        SC_DestroyDeviceDescriptorList(list);
    }
    logCount("getDeviceHandles(): Requested Physical device handles count = ", handles.size());
    ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::getDeviceHandles()");
}

void ZevoridedUtils::freeDeviceHandles(std::vector<device_handle*>& handles)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::freeDeviceHandles()");
    for (device_handle* handle : handles) {
        if (handle == nullptr) continue;
        std::free(handle->pProperties);
        SC_DestroyDeviceDescriptor(handle->pDescriptor);
        std::free(handle);
    }
    handles.clear();
    ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::freeDeviceHandles()");
}

namespace {

// Appends a handle for each device enumerate walks on every controller that keep accepts; an
// allocation failure logs allocationFailure and skips the device.
template <typename Controllers, typename Keep>
void collectPhysicalHandles(Controllers& controllers, std::uint16_t (*enumerate)(SA_CDA*, std::uint16_t), Keep keep,
                            const char* allocationFailure, std::vector<physical_device_handle*>& handles)
{
    for (auto& controller : controllers) {
        for (std::uint16_t index = enumerate(controller.pCDA, SA_NO_DEVICE_INDEX); index != SA_NO_DEVICE_INDEX;
             index = enumerate(controller.pCDA, index)) {
            if (!keep(controller.pCDA, index)) continue;
            physical_device_handle* handle = newPhysicalHandle(controller.pCDA, index);
            if (handle == nullptr) {
                ZEV_LOG_AS(kBridgeSource, allocationFailure);
                continue;
            }
            handles.push_back(handle);
        }
    }
}

}  // namespace

void ZevoridedUtils::getPhysicalDriveHandles(std::vector<physical_device_handle*>& handles)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::getPhysicalDriveHandles()");
    collectPhysicalHandles(
        m_vecControllerHandles, SA_EnumerateControllerPhysicalDrives, [](SA_CDA*, std::uint16_t) { return true; },
        "getPhysicalDriveHandles: unable to allocate a drive handle", handles);
    logCount("getPhysicalDriveHandles: Total physical drives count = ", handles.size());
    ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::getPhysicalDriveHandles()");
}

void ZevoridedUtils::getPhysicalDeviceHandles(std::vector<physical_device_handle*>& handles, device_type type)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::getPhysicalDeviceHandles()");
    std::ostringstream os;
    os << "getPhysicalDeviceHandles(): Requested device type = " << static_cast<int>(type);
    ZEV_LOG_AS(kBridgeSource, os.str());
    const std::uint8_t wanted = physicalTypeFor(static_cast<int>(type));
    if (wanted != SA_PHYSICAL_DEVICE_TYPE_INVALID)
        collectPhysicalHandles(
            m_vecControllerHandles, SA_EnumerateControllerPhysicalDevices,
            [&](SA_CDA* cda, std::uint16_t index) {
                return SA_PhysicalDeviceType(cda, index) == wanted && !isPhysicalDeviceVSEPController(cda, index);
            },
            "getPhysicalDeviceHandles(): unable to allocate a device handle", handles);
    logCount("getPhysicalDeviceHandles(): Requested Physical device handles count = ", handles.size());
    ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::getPhysicalDeviceHandles()");
}

void ZevoridedUtils::freePhysicalDeviceHandles(std::vector<physical_device_handle*>& handles)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::freePhysicalDriveHandles()");
    for (physical_device_handle* handle : handles) std::free(handle);
    handles.clear();
    ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::freePhysicalDriveHandles()");
}

bool ZevoridedUtils::sendInquiryCommand(SA_CDA* cda, std::uint16_t deviceIndex, unsigned char* buffer,
                                        std::uint32_t size)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::sendInquiryCommand()");
    if (SA_CanSendPhysicalDeviceSCSICommand(cda, deviceIndex) != 1 || buffer == nullptr) {
        ZEV_LOG_AS(kBridgeSource, "sendInquiryCommand():: SA_CanSendPhysicalDeviceSCSICommand() returned false.");
        return false;
    }
    std::memset(buffer, 0, size);
    std::uint8_t cdb[6] = {SA_SCSI_INQUIRY, 0, 0, 0, 0, 0};
    cdb[SA_INQUIRY_CDB_ALLOCATION_LENGTH] = static_cast<std::uint8_t>(size & 0xFF);
    std::memset(g_lentSense, 0, sizeof(g_lentSense));
    _SCSIRequest request =
        scMakeSCSIRequest(SC_TRANSFER_READ, 0, cdb, sizeof(cdb), buffer, size, g_lentSense, sizeof(g_lentSense));
    if (SA_SendPhysicalDeviceSCSICommand(cda, deviceIndex, &request) != 1) {
        ZEV_LOG_AS(kBridgeSource, "sendInquiryCommand():: SA_SendPhysicalDeviceSCSICommand failed.");
        return false;
    }
    ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::sendInquiryCommand()");
    return true;
}

bool ZevoridedUtils::isPhysicalDeviceVSEPController(SA_CDA* cda, std::uint16_t deviceIndex)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::isPhysicalDeviceVSEPController()");
    unsigned char inquiry[kVsepInquirySize];
    if (!sendInquiryCommand(cda, deviceIndex, inquiry, sizeof(inquiry))) {
        ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::isPhysicalDeviceVSEPController()");
        return false;
    }
    const std::string product(reinterpret_cast<const char*>(inquiry + 16), 16);
    const bool vsep = product.find(kVsepProductText) != std::string::npos;
    if (vsep) ZEV_LOG_AS(kBridgeSource, "isPhysicalDeviceVSEPController():: Found VSEP controller");
    ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::isPhysicalDeviceVSEPController()");
    return vsep;
}

void ZevoridedUtils::getHDDBasicInfo(physical_device_handle* handle, hdd_basic_info* info)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::getHDDBasicInfo()");
    if (!m_bCDAInitialized) {
        ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::getHDDBasicInfo() controller data uninitialized");
        return;
    }
    if (handle == nullptr) {
        ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::getHDDBasicInfo() Got NULL drive handle");
        return;
    }
    if (handle->pCDA == nullptr) {
        ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::getHDDBasicInfo() Got NULL controller data area");
        return;
    }
    if (info == nullptr) {
        ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::getHDDBasicInfo() Got NULL basic info record");
        return;
    }
    std::memset(info, 0, sizeof(*info));
    SA_CDA* cda = handle->pCDA;
    const std::uint16_t index = handle->wDeviceIndex;

    unsigned char inquiry[kBasicInquirySize];
    std::memset(inquiry, 0, sizeof(inquiry));
    if (SA_PhysicalDriveStandardInquiryData(cda, index, inquiry, sizeof(inquiry)) == 1) {
        copyBytesToField(info->szFirmwareVersion, inquiry + 32, 4);
        copyBytesToField(info->szModel, inquiry + 8, 8);
        copyBytesToField(info->szSerialNumber, inquiry + 16, 16);
    } else {
        ZEV_LOG_AS(kBridgeSource,
                   "Leaving ZevoridedUtils::getHDDBasicInfo() SA_PhysicalDriveStandardInquiryData() returned false");
        SA_GetPhysicalDriveFirmwareVersion(cda, index, info->szFirmwareVersion, sizeof(info->szFirmwareVersion));
        SA_GetPhysicalDriveModel(cda, index, info->szModel, sizeof(info->szModel));
        SA_GetPhysicalDriveSerialNumber(cda, index, info->szSerialNumber, sizeof(info->szSerialNumber));
    }
    SA_GetPhysicalDriveLocation(cda, index, SA_LOCATION_LABELLED, info->szLocation, sizeof(info->szLocation));
    info->wEnclosure = SA_GetPhysicalDeviceStorageEnclosureNumber(cda, index);
    info->dwDriveType = driveTypeFromBasicInfo(SA_GetPhysicalDriveBasicInfo(cda, index));
    ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::getHDDBasicInfo()");
}

namespace {

// The start of the SCSI calls on a handle: the entry line, then a refusal, logged as leaving with
// its reason, when the controller data is not set up or the handle cannot be used.
bool startHandleCall(const char* call, bool initialized, bool usable, const char* unusable)
{
    ZEV_LOG_AS(kBridgeSource, std::string("Entering ZevoridedUtils::") + call);
    const char* refusal = !initialized ? "controller data uninitialized" : !usable ? unusable : nullptr;
    if (refusal != nullptr) ZEV_LOG_AS(kBridgeSource, std::string("Leaving ZevoridedUtils::") + call + " " + refusal);
    return refusal == nullptr;
}

// "<head><call> <what> = true" or "... = false"; the text is built only when logging is on.
void logOutcome(const char* head, const char* call, const char* what, bool outcome)
{
    ZEV_LOG_AS(kBridgeSource, std::string(head) + call + " " + what + (outcome ? " = true" : " = false"));
}

}  // namespace

bool ZevoridedUtils::canExecuteSCSICommand(physical_device_handle* handle)
{
    static const char* const kCall = "canExecuteSCSICommand(PhysicalDriveHandle)";
    if (!startHandleCall(kCall, m_bCDAInitialized, handle != nullptr && handle->pCDA != nullptr,
                         "Null controller data area"))
        return false;
    const bool can = SA_CanSendPhysicalDeviceSCSICommand(handle->pCDA, handle->wDeviceIndex) == 1;
    logOutcome("Leaving ZevoridedUtils::", kCall, "SA_CanSendPhysicalDeviceSCSICommand", can);
    return can;
}

bool ZevoridedUtils::canExecuteSCSICommand(device_handle* handle)
{
    static const char* const kCall = "canExecuteSCSICommand(DeviceHandle)";
    if (!startHandleCall(kCall, m_bCDAInitialized, handle != nullptr && handle->pDescriptor != nullptr,
                         "Null device handle"))
        return false;
    const bool can = SC_CanExecuteSCSICommand(handle->pDescriptor) == 1;
    logOutcome("Leaving ZevoridedUtils::", kCall, "Can execute SCSI command", can);
    return can;
}

bool ZevoridedUtils::executeSCSICommand(physical_device_handle* handle, _SCSIRequest* request)
{
    static const char* const kCall = "executeSCSICommand(PhysicalDeviceHandle)";
    if (!startHandleCall(kCall, m_bCDAInitialized, handle != nullptr && handle->pCDA != nullptr && request != nullptr,
                         "unexpected Null pointers"))
        return false;
    const bool lend = request->sense == nullptr;
    if (lend) {
        ZEV_LOG_AS(kBridgeSource,
                   "Leaving ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle) senseData is set to NULL, "
                   "allocating some buffer");
        request->sense = g_lentSense;
        request->senseSize = sizeof(g_lentSense);
    }
    std::memset(request->sense, 0, request->senseSize);
    const bool sent = SA_SendPhysicalDeviceSCSICommand(handle->pCDA, handle->wDeviceIndex, request) == 1;
    logOutcome("ZevoridedUtils::", kCall, "SA_SendPhysicalDeviceSCSICommand", sent);
    if (request->scsiStatus != 0) logFailedRequest(std::string("ZevoridedUtils::") + kCall + ":", request);
    if (lend) {
        request->sense = nullptr;
        request->senseSize = 0;
    }
    ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle)");
    return sent;
}

bool ZevoridedUtils::executeSCSICommand(device_handle* handle, _SCSIRequest* request)
{
    static const char* const kCall = "executeSCSICommand(DeviceHandle)";
    if (!startHandleCall(kCall, m_bCDAInitialized, handle != nullptr && handle->pDescriptor != nullptr,
                         "Null device descriptor"))
        return false;
    if (request == nullptr) {
        ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::executeSCSICommand(DeviceHandle) Null request");
        return false;
    }
    const bool sent = SC_ExecuteSCSICommand(handle->pDescriptor, request) == 0;
    if (!sent) logFailedRequest("executeSCSICommand(DeviceHandle):", request);
    logOutcome("Leaving ZevoridedUtils::", kCall, "SC_ExecuteSCSICommand", sent);
    return sent;
}

bool ZevoridedUtils::pauseControllerActivity(physical_device_handle* handle, bool pause)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::pauseControllerActivity()");
    SA_CDA* cda = handle != nullptr ? handle->pCDA : nullptr;
    bool done;
    if (pause) {
        done = SA_ControllerPauseBackgroundActivity(cda, 1) == 1;
        ZEV_LOG_AS(kBridgeSource,
                   done ? "pauseControllerActivity(): SA_ControllerPauseBackgroundActivity() returned true"
                        : "pauseControllerActivity(): SA_ControllerPauseBackgroundActivity() returned false");
    } else {
        done = SA_ControllerResumeBackgroundActivity(cda) == 1;
        ZEV_LOG_AS(kBridgeSource,
                   done ? "pauseControllerActivity(): SA_ControllerResumeBackgroundActivity() returned true"
                        : "pauseControllerActivity(): SA_ControllerResumeBackgroundActivity() returned false");
    }
    ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::pauseControllerActivity()");
    return done;
}

}  // namespace CM_ZEVORIDED_UTILS
