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

// Descriptor device type for getDeviceHandles' kinds 0, 1, 2; 0 (no device has it) otherwise.
std::uint16_t descriptorTypeFor(device_type type)
{
    switch (type) {
    case DEVICE_TYPE_PHYSICAL_DRIVE:
        return SC_DEVICE_TYPE_PHYSICAL_DRIVE;
    case DEVICE_TYPE_EXPANDER:
        return SC_DEVICE_TYPE_EXPANDER;
    case DEVICE_TYPE_ENCLOSURE:
        return SC_DEVICE_TYPE_ENCLOSURE;
    default:
        return 0;
    }
}

// Storage core physical device type for getPhysicalDeviceHandles' kinds 1, 2, 4; 0xFF otherwise.
std::uint8_t physicalTypeFor(int type)
{
    switch (type) {
    case DEVICE_TYPE_EXPANDER:
        return SA_PHYSICAL_DEVICE_TYPE_EXPANDER;
    case DEVICE_TYPE_ENCLOSURE:
        return SA_PHYSICAL_DEVICE_TYPE_ENCLOSURE;
    case DEVICE_TYPE_FROM_BYTE7:
        return SA_PHYSICAL_DEVICE_TYPE_FROM_BYTE7;
    default:
        return SA_PHYSICAL_DEVICE_TYPE_INVALID;
    }
}

// Drive kind code from the basic-information word: the lowest of bits 0, 1, 2, 4, 5 that is set, or 33.
std::uint32_t driveTypeFromBasicInfo(std::uint32_t word)
{
    static const std::uint32_t kKinds[] = {0x01, 0x02, 0x04, 0x10, 0x20};
    for (std::uint32_t bit : kKinds)
        if (word & bit) return bit;
    return 33;
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
    std::ostringstream os;
    os << "getDeviceHandles(): Requested Physical device handles count = " << handles.size();
    ZEV_LOG_AS(kBridgeSource, os.str());
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
    std::ostringstream os;
    os << "getPhysicalDriveHandles: Total physical drives count = " << handles.size();
    ZEV_LOG_AS(kBridgeSource, os.str());
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
    std::ostringstream count;
    count << "getPhysicalDeviceHandles(): Requested Physical device handles count = " << handles.size();
    ZEV_LOG_AS(kBridgeSource, count.str());
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

bool ZevoridedUtils::canExecuteSCSICommand(physical_device_handle* handle)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::canExecuteSCSICommand(PhysicalDriveHandle)");
    if (!m_bCDAInitialized) {
        ZEV_LOG_AS(kBridgeSource,
                   "Leaving ZevoridedUtils::canExecuteSCSICommand(PhysicalDriveHandle) controller data uninitialized");
        return false;
    }
    if (handle == nullptr || handle->pCDA == nullptr) {
        ZEV_LOG_AS(kBridgeSource,
                   "Leaving ZevoridedUtils::canExecuteSCSICommand(PhysicalDriveHandle) Null controller data area");
        return false;
    }
    const bool can = SA_CanSendPhysicalDeviceSCSICommand(handle->pCDA, handle->wDeviceIndex) == 1;
    ZEV_LOG_AS(kBridgeSource, can ? "Leaving ZevoridedUtils::canExecuteSCSICommand(PhysicalDriveHandle) "
                                    "SA_CanSendPhysicalDeviceSCSICommand = true"
                                  : "Leaving ZevoridedUtils::canExecuteSCSICommand(PhysicalDriveHandle) "
                                    "SA_CanSendPhysicalDeviceSCSICommand = false");
    return can;
}

bool ZevoridedUtils::canExecuteSCSICommand(device_handle* handle)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::canExecuteSCSICommand(DeviceHandle)");
    if (!m_bCDAInitialized) {
        ZEV_LOG_AS(kBridgeSource,
                   "Leaving ZevoridedUtils::canExecuteSCSICommand(DeviceHandle) controller data uninitialized");
        return false;
    }
    if (handle == nullptr || handle->pDescriptor == nullptr) {
        ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::canExecuteSCSICommand(DeviceHandle) Null device handle");
        return false;
    }
    const bool can = SC_CanExecuteSCSICommand(handle->pDescriptor) == 1;
    ZEV_LOG_AS(kBridgeSource,
               can ? "Leaving ZevoridedUtils::canExecuteSCSICommand(DeviceHandle) Can execute SCSI command = true"
                   : "Leaving ZevoridedUtils::canExecuteSCSICommand(DeviceHandle) Can execute SCSI command = false");
    return can;
}

bool ZevoridedUtils::executeSCSICommand(physical_device_handle* handle, _SCSIRequest* request)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle)");
    if (!m_bCDAInitialized) {
        ZEV_LOG_AS(kBridgeSource,
                   "Leaving ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle) controller data uninitialized");
        return false;
    }
    if (handle == nullptr || handle->pCDA == nullptr || request == nullptr) {
        ZEV_LOG_AS(kBridgeSource,
                   "Leaving ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle) unexpected Null pointers");
        return false;
    }
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
    ZEV_LOG_AS(
        kBridgeSource,
        sent ? "ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle) SA_SendPhysicalDeviceSCSICommand = true"
             : "ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle) SA_SendPhysicalDeviceSCSICommand = false");
    if (request->scsiStatus != 0) {
        ZEV_LOG_AS(kBridgeSource, "ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle): SCSI status = " +
                                      hexValue(request->scsiStatus));
        ZEV_LOG_AS(kBridgeSource, "ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle): low level status = " +
                                      hexValue(request->lowLevelStatus));
        ZEV_LOG_AS(kBridgeSource,
                   "ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle): Sense Data" + senseBytes(request));
    }
    if (lend) {
        request->sense = nullptr;
        request->senseSize = 0;
    }
    ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::executeSCSICommand(PhysicalDeviceHandle)");
    return sent;
}

bool ZevoridedUtils::executeSCSICommand(device_handle* handle, _SCSIRequest* request)
{
    ZEV_LOG_AS(kBridgeSource, "Entering ZevoridedUtils::executeSCSICommand(DeviceHandle)");
    if (!m_bCDAInitialized) {
        ZEV_LOG_AS(kBridgeSource,
                   "Leaving ZevoridedUtils::executeSCSICommand(DeviceHandle) controller data uninitialized");
        return false;
    }
    if (handle == nullptr || handle->pDescriptor == nullptr) {
        ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::executeSCSICommand(DeviceHandle) Null device descriptor");
        return false;
    }
    if (request == nullptr) {
        ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::executeSCSICommand(DeviceHandle) Null request");
        return false;
    }
    if (SC_ExecuteSCSICommand(handle->pDescriptor, request) != 0) {
        ZEV_LOG_AS(kBridgeSource, "executeSCSICommand(DeviceHandle): SCSI status = " + hexValue(request->scsiStatus));
        ZEV_LOG_AS(kBridgeSource,
                   "executeSCSICommand(DeviceHandle): low level status = " + hexValue(request->lowLevelStatus));
        ZEV_LOG_AS(kBridgeSource, "executeSCSICommand(DeviceHandle): Sense Data" + senseBytes(request));
        ZEV_LOG_AS(kBridgeSource,
                   "Leaving ZevoridedUtils::executeSCSICommand(DeviceHandle) SC_ExecuteSCSICommand = false");
        return false;
    }
    ZEV_LOG_AS(kBridgeSource, "Leaving ZevoridedUtils::executeSCSICommand(DeviceHandle) SC_ExecuteSCSICommand = true");
    return true;
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
