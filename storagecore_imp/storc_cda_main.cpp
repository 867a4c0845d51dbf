// Storage core start-up, the CDA life cycle and the read-once BMIC buffers.
#include <cstdio>
#include <cstring>

#include "storc_internal.h"

namespace {

const char kHeaderChecksum[] = SA_HEADER_CHECKSUM;

// Shared body of the read-once requests: 1 when the reply behind flag is valid, else 0.
uint8_t RequestCachedReply(SA_CDA* cda, uint32_t flag, uint8_t command, uint8_t* buffer, uint32_t length)
{
    if (saIsValid(cda, flag)) return 1;
    std::memset(buffer, 0, length);
    if (!__SA_HelperReadBuffer(cda->device_descriptor, command, 0, 0, buffer, length)) return 0;
    cda->valid_flags |= flag;
    return 1;
}

// Releases what the device tables own and clears the cached state. 4 for a null CDA, else 1.
uint16_t ClearCDAState(SA_CDA* cda)
{
    if (cda == nullptr) return SA_CDA_STATUS_BAD_ARGUMENT;
    SA_CDALockGuard lock(cda);
    for (auto& device : cda->physical_devices) {
        SA_FREE(device.block);
        std::memset(&device, 0, sizeof(device));
    }
    for (auto& drive : cda->logical_drives) {
        SA_FREE(drive.block);
        std::memset(&drive, 0, sizeof(drive));
    }
    std::memset(cda->arrays, 0, sizeof(cda->arrays));
    cda->valid_flags = 0;
    cda->config_valid_flags = 0;
    cda->drive_erase_buffer_size = 0;
    return SA_CDA_STATUS_SUCCESS;
}

// The mandatory reads of a CDA's start. Result: SA_CDA_STATUS_*.
uint16_t RunInitializationReads(SA_CDA* cda)
{
    SA_CDALockGuard lock(cda);
    if (!SA_RequestIdentifyControllerBuffer(cda)) return SA_CDA_STATUS_IDENTIFY_FAILED;
    const uint32_t fixed_length = saIdentifyFixedLength(cda->identify_controller_buffer);
    if (fixed_length <= SA_ID_FIXED_LENGTH_UNSUPPORTED) return SA_CDA_STATUS_CONTROLLER_UNSUPPORTED;
    if (!SA_RequestSenseControllerParametersBuffer(cda)) return SA_CDA_STATUS_CONTROLLER_UNSUPPORTED;
    cda->identify_level =
        saIdentifyLevel(fixed_length, saGetLE32(cda->sense_controller_parameters_buffer, SA_SCP_OFF_TOTAL_LENGTH));
    SA_RequestSenseCacheConfigStatusBuffer(cda);  // optional
    return SA_CDA_STATUS_SUCCESS;
}

}  // namespace

void InitializeStorageCore(const char* checksum)
{
    char mismatch[512];
    std::snprintf(mismatch, sizeof(mismatch), "Header/library checksum mismatch for %u.%u.%u \"%s\"",
                  SA_INTERFACE_VERSION, SA_MAJOR_VERSION, SA_MINOR_VERSION, SA_BUILD_DATE);
    if (checksum == nullptr || std::strcmp(checksum, kHeaderChecksum) != 0)
        SC_DebugLog(1, "%s: Assertion `strcmp(checksum, \"%s\") == 0' failed: %s\n", "InitializeStorageCore",
                    kHeaderChecksum, mismatch);
}

void UnInitializeStorageCore(void) {}

uint32_t SA_GetCDASize(void) { return static_cast<uint32_t>(sizeof(SA_CDA)); }

void saBuildReadRequest(_BMICRequest* request, uint8_t command, uint32_t address, uint16_t index, void* buffer,
                        uint32_t length)
{
    std::memset(request, 0, sizeof(*request));
    request->direction = SC_TRANSFER_READ;
    request->timeout = 0;
    request->command = command;
    request->address = address;
    request->index = index;
    request->data = buffer;
    request->dataLength = length;
}

uint8_t __SA_HelperReadBuffer(const SC_DeviceDescriptor* descriptor, uint8_t command, uint32_t address, uint16_t index,
                              void* buffer, uint32_t length)
{
    if (descriptor == nullptr) return 0;
    _BMICRequest request;
    saBuildReadRequest(&request, command, address, index, buffer, length);
    return SC_ExecuteBMICCommand(descriptor, &request) == 0 ? 1 : 0;
}

uint16_t SA_InitializeCDA(SA_CDA* cda, const SC_DeviceDescriptor* descriptor)
{
    if (cda == nullptr || descriptor == nullptr) return SA_CDA_STATUS_BAD_ARGUMENT;
    SC_DeviceDescriptor* copy = SC_CopyDeviceDescriptor(descriptor);
    if (copy == nullptr) return SA_CDA_STATUS_BAD_ARGUMENT;

    std::memset(cda, 0, sizeof(*cda));
    cda->signature = SA_CDA_SIGNATURE;
    cda->device_descriptor = copy;
    // Platform identity: read for compatibility, not used on this platform.
    uint8_t platform_id[8];
    SC_GetDeviceSystemProperty(copy, SC_PROPERTY_PLATFORM_ID, platform_id, sizeof(platform_id));

    if (!SC_MUTEX_CREATE(&cda->cda_lock) || !SC_MUTEX_CREATE(&cda->event_lock)) {
        if (cda->cda_lock != nullptr) SC_MUTEX_DELETE(cda->cda_lock);
        cda->cda_lock = nullptr;
        return SA_CDA_STATUS_NO_LOCK;
    }
    return RunInitializationReads(cda);
}

uint8_t SA_UnInitializeCDA(SA_CDA* cda)
{
    if (cda == nullptr) return SA_CDA_STATUS_BAD_ARGUMENT;
    ClearCDAState(cda);
    if (cda->editable_configuration != nullptr) {
        SA_FREE(cda->editable_configuration);
        cda->editable_configuration = nullptr;
    }
    SC_DestroyDeviceDescriptor(cda->device_descriptor);
    cda->device_descriptor = nullptr;
    SC_MUTEX_DELETE(cda->event_lock);
    cda->event_lock = nullptr;
    SC_MUTEX_DELETE(cda->cda_lock);
    cda->cda_lock = nullptr;
    cda->signature = 0;
    return 1;
}

uint16_t SA_ReInitializeCDA(SA_CDA* cda)
{
    if (cda == nullptr) return SA_CDA_STATUS_BAD_ARGUMENT;
    SA_CDALockGuard lock(cda);
    ClearCDAState(cda);
    return RunInitializationReads(cda);
}

namespace {

// A reply read once whose total-length field (at total_offset) should fit its buffer. A longer one
// is still used, after the too_long assertion (formatted with the function name and the length);
// a failed read logs failure when given.
struct LengthCheckedReply {
    uint32_t flag;
    uint8_t command;
    uint32_t size;
    size_t total_offset;
    const char* failure;
    const char* too_long;
};

uint8_t RequestLengthCheckedReply(SA_CDA* cda, const LengthCheckedReply& r, uint8_t* buffer, const char* function)
{
    if (cda == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    if (saIsValid(cda, r.flag)) return 1;
    if (!RequestCachedReply(cda, r.flag, r.command, buffer, r.size)) {
        if (r.failure != nullptr) SC_DebugLog(1, "%s", r.failure);
        return 0;
    }
    const uint32_t total = saGetLE32(buffer, r.total_offset);
    if (total > r.size) SC_DebugLog(1, r.too_long, function, total);
    return 1;
}

const LengthCheckedReply kIdentifyController = {
    SA_VALID_IDENTIFY_CONTROLLER,
    BMIC_IDENTIFY_CONTROLLER,
    SA_IDENTIFY_CONTROLLER_SIZE,
    SA_ID_OFF_TOTAL_LENGTH,
    "Failed id ctrl\n",
    "%s: Assertion `cda->identify_controller_buffer.dwTotalStructureLength <= sizeof(IDENTIFY_CONTROLLER)' failed: "
    "Identify ctrl total struct len was %u\n"};
const LengthCheckedReply kSenseControllerParameters = {
    SA_VALID_SENSE_CONTROLLER_PARAMETERS,
    BMIC_SENSE_CONTROLLER_PARAMETERS,
    SA_SENSE_CONTROLLER_PARAMETERS_SIZE,
    SA_SCP_OFF_TOTAL_LENGTH,
    nullptr,
    "%s: Assertion `cda->sense_controller_parameters_buffer.dwTotalStructureLength <= "
    "sizeof(cda->sense_controller_parameters_buffer)' failed: Warning! CDA Sense Controller Parameters Buffer not "
    "large enough for controller\n"};
const LengthCheckedReply kSenseCacheConfigStatus = {
    SA_VALID_CACHE_CONFIG_STATUS,
    BMIC_SENSE_CACHE_CONFIG_STATUS,
    SA_CACHE_CONFIG_STATUS_SIZE,
    SA_CCS_OFF_TOTAL_LENGTH,
    nullptr,
    "%s: Assertion `cda->sense_cache_config_status_buffer.dwTotalStructureLength <= sizeof(CACHE_CONFIG_STATUS)' "
    "failed: Failed to retrieve entire cache config status buffer\n"};

}  // namespace

uint8_t SA_RequestIdentifyControllerBuffer(SA_CDA* cda)
{
    return RequestLengthCheckedReply(cda, kIdentifyController, cda ? cda->identify_controller_buffer : nullptr,
                                     __func__);
}

uint8_t SA_RequestSenseControllerParametersBuffer(SA_CDA* cda)
{
    return RequestLengthCheckedReply(cda, kSenseControllerParameters,
                                     cda ? cda->sense_controller_parameters_buffer : nullptr, __func__);
}

uint8_t SA_RequestSenseSubsystemParametersBuffer(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    return RequestCachedReply(cda, SA_VALID_SENSE_SUBSYSTEM_PARAMETERS, BMIC_SENSE_SUBSYSTEM_PARAMETERS,
                              cda->sense_subsystem_parameters_buffer, SA_SENSE_SUBSYSTEM_PARAMETERS_SIZE);
}

uint8_t SA_RequestSenseCacheConfigStatusBuffer(SA_CDA* cda)
{
    return RequestLengthCheckedReply(cda, kSenseCacheConfigStatus,
                                     cda ? cda->sense_cache_config_status_buffer : nullptr, __func__);
}
