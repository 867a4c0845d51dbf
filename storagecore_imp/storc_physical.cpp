// Storage core: the physical device table, device identity, SCSI commands to physical devices and
// the background activity commands. Record and reply layouts: storc_physical.h.
#include "storc_physical.h"

#include <cstdio>
#include <cstring>

#include "storc_internal.h"

namespace {

bool IsPresent(const SA_PhysicalDeviceRecord& r) { return (r.state[SA_PD_STATE_FLAGS] & SA_PD_FLAG_PRESENT) != 0; }

// The record of a present device, or null (index out of the table or nothing there).
SA_PhysicalDeviceRecord* PresentRecord(SA_CDA* cda, uint16_t index)
{
    if (index >= SA_MAX_PHYSICAL_DEVICES || !SA_RequestPhysicalDevices(cda)) return nullptr;
    SA_PhysicalDeviceRecord* r = &cda->physical_devices[index];
    return IsPresent(*r) && r->block != nullptr ? r : nullptr;
}

const SC_DeviceDescriptor* RecordDescriptor(const SA_PhysicalDeviceRecord* r)
{
    return static_cast<const uint8_t*>(r->block) + SA_IDENTIFY_PHYSICAL_DEVICE_SIZE;
}

uint8_t* RecordIdentify(const SA_PhysicalDeviceRecord* r) { return static_cast<uint8_t*>(r->block); }

// The identify physical device reply of a present device, read once; null when it cannot be read
// (a failed read is tried again on the next query). The caller holds the CDA lock.
const uint8_t* IdentifyReply(SA_CDA* cda, uint16_t index)
{
    SA_PhysicalDeviceRecord* r = PresentRecord(cda, index);
    if (r == nullptr) return nullptr;
    uint8_t* reply = RecordIdentify(r);
    if (r->state[SA_PD_STATE_FLAGS] & SA_PD_FLAG_IDENTIFY_VALID) return reply;
    std::memset(reply, 0, SA_IDENTIFY_PHYSICAL_DEVICE_SIZE);
    _BMICRequest request;
    saBuildReadRequest(&request, BMIC_IDENTIFY_PHYSICAL_DEVICE, 0, index, reply, SA_IDENTIFY_PHYSICAL_DEVICE_SIZE);
    // The transport only says the command came back; a rejected read leaves no reply to use.
    const uint8_t sent = SC_ExecuteBMICCommand(cda->device_descriptor, &request);
    if (!saFlashCommandAccepted(sent, &request)) {
        std::memset(reply, 0, SA_IDENTIFY_PHYSICAL_DEVICE_SIZE);
        return nullptr;
    }
    r->state[SA_PD_STATE_FLAGS] |= SA_PD_FLAG_IDENTIFY_VALID;
    return reply;
}

// Copies a fixed identify text, trimmed of blanks and NULs at both ends and cut to fit.
char* CopyTrimmed(const uint8_t* source, size_t length, char* destination, uint32_t size)
{
    size_t begin = 0, end = length;
    while (begin < end && (source[begin] == ' ' || source[begin] == '\0')) ++begin;
    while (end > begin && (source[end - 1] == ' ' || source[end - 1] == '\0')) --end;
    // A NUL inside the field ends the text.
    for (size_t i = begin; i < end; ++i) {
        if (source[i] == '\0') {
            end = i;
            break;
        }
    }
    size_t n = end - begin;
    if (n > size - 1) n = size - 1;
    std::memcpy(destination, source + begin, n);
    return destination;
}

// One field of the device's identify reply, or none when there is no reply.
template <typename T, typename Read>
T IdentifyValue(SA_CDA* cda, uint16_t index, T none, Read read)
{
    if (cda == nullptr) return none;
    SA_CDALockGuard lock(cda);
    const uint8_t* identify = IdentifyReply(cda, index);
    return identify == nullptr ? none : static_cast<T>(read(identify));
}

char* DriveText(SA_CDA* cda, uint16_t index, char* destination, uint32_t size, size_t offset, size_t length)
{
    if (destination == nullptr || size == 0) return destination;
    std::memset(destination, 0, size);
    return IdentifyValue<char*>(cda, index, destination, [&](const uint8_t* identify) {
        return CopyTrimmed(identify + offset, length, destination, size);
    });
}

// Next present index after previous whose record passes the test; 0xFFFF when none.
uint16_t NextIndex(SA_CDA* cda, uint16_t previous, uint8_t required_flags)
{
    if (cda == nullptr) return SA_NO_DEVICE_INDEX;
    SA_CDALockGuard lock(cda);
    if (!SA_RequestIdentifyControllerBuffer(cda) || !SA_RequestPhysicalDevices(cda)) return SA_NO_DEVICE_INDEX;
    const unsigned start = previous == SA_NO_DEVICE_INDEX ? 0u : previous + 1u;
    for (unsigned i = start; i < SA_MAX_PHYSICAL_DEVICES; ++i) {
        const uint8_t flags = cda->physical_devices[i].state[SA_PD_STATE_FLAGS];
        if ((flags & required_flags) == required_flags) return static_cast<uint16_t>(i);
    }
    return SA_NO_DEVICE_INDEX;
}

// Sends one BMIC write without data; 1 when the controller accepted it.
uint8_t BackgroundActivity(SA_CDA* cda, uint8_t command, uint32_t address)
{
    if (cda == nullptr || cda->device_descriptor == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    _BMICRequest request;
    saBuildBackgroundActivityRequest(&request, command, address);
    const uint8_t sent = SC_ExecuteBMICCommand(cda->device_descriptor, &request);
    return saFlashCommandAccepted(sent, &request);
}

}  // namespace

uint8_t saPhysicalTypeFromByte(uint8_t b)
{
    static const uint8_t kTypes[] = {SA_PHYSICAL_DEVICE_TYPE_DRIVE,      SA_PHYSICAL_DEVICE_TYPE_EXPANDER,
                                     SA_PHYSICAL_DEVICE_TYPE_ENCLOSURE,  SA_PHYSICAL_DEVICE_TYPE_FROM_BYTE7,
                                     SA_PHYSICAL_DEVICE_TYPE_FROM_BYTE8, SA_PHYSICAL_DEVICE_TYPE_INVALID};
    if (b == SA_IPD_DEVICE_TYPE_UNKNOWN) return SA_PHYSICAL_DEVICE_TYPE_UNKNOWN;
    return kTypes[scPhysicalKind(b)];
}

char* saFormatPhysicalLocation(const uint8_t* identify, uint8_t format, char* destination, uint32_t size)
{
    if (destination == nullptr || size == 0) return destination;
    std::memset(destination, 0, size);
    if (identify == nullptr) return destination;
    char port[SA_IPD_LEN_CONNECTOR + 1] = {0};
    CopyTrimmed(identify + SA_IPD_OFF_CONNECTOR, SA_IPD_LEN_CONNECTOR, port, sizeof(port));
    const unsigned box = saGetLE16(identify, SA_IPD_OFF_ENCLOSURE);
    const unsigned bay = identify[SA_IPD_OFF_BAY];
    switch (format) {
    case SA_LOCATION_PORT_BOX_BAY:
        std::snprintf(destination, size, "%s:%u:%u", port, box, bay);
        break;
    case SA_LOCATION_LONG:
        std::snprintf(destination, size, "Port %s Box %u Bay %u", port, box, bay);
        break;
    case SA_LOCATION_BOX_BAY:
        std::snprintf(destination, size, "%u:%u", box, bay);
        break;
    case SA_LOCATION_LABELLED:
        std::snprintf(destination, size, "Port:%s Box:%u Bay:%u", port, box, bay);
        break;
    default:
        break;
    }
    return destination;
}

void saBuildBackgroundActivityRequest(_BMICRequest* request, uint8_t command, uint32_t address)
{
    std::memset(request, 0, sizeof(*request));
    request->direction = SC_TRANSFER_NONE;
    request->timeout = 0;
    request->command = command;
    request->address = address;
    request->index = 0;
    request->data = nullptr;
    request->dataLength = 0;
}

uint8_t SA_RequestPhysicalDevices(SA_CDA* cda)
{
    if (cda == nullptr || cda->device_descriptor == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    if (cda->config_valid_flags & SA_CONFIG_VALID_PHYSICAL_DRIVES) return 1;
    SC_DescriptorList* list = SC_CreateAllPhysicalDeviceDescriptorList(cda->device_descriptor);
    if (list == nullptr) return 0;
    unsigned filled = 0;
    SC_DeviceListIterator* it = SC_CreateDeviceListIterator(list);
    for (; it != nullptr && !SC_IsDeviceListIteratorEnd(it); SC_MoveDeviceListIteratorNext(it)) {
        const SC_DeviceDescriptor* d = SC_GetDeviceListItemAt(it);
        uint8_t value[2], address[SC_ADDRESS_SIZE];
        if (SC_GetDeviceSystemProperty(d, SC_PROPERTY_DEVICE_INDEX, value, sizeof(value)) != 0) continue;
        const uint16_t index = SC_GetLE16(value);
        // Beyond the table's capacity, or an index already taken: ignored.
        if (index >= SA_MAX_PHYSICAL_DEVICES || IsPresent(cda->physical_devices[index])) continue;
        if (SC_GetDeviceSystemProperty(d, SC_PROPERTY_DEVICE_TYPE, value, sizeof(value)) != 0 ||
            SC_GetDeviceSystemProperty(d, SC_PROPERTY_PROTOCOL_ADDRESS, address, sizeof(address)) != 0)
            continue;
        const uint16_t type_code = SC_GetLE16(value);
        const uint16_t descriptor_size = SC_GetDeviceDescriptorSize(d);
        const uint32_t block_size = SA_IDENTIFY_PHYSICAL_DEVICE_SIZE + descriptor_size;
        uint8_t* block = static_cast<uint8_t*>(SA_MALLOC(block_size));
        if (block == nullptr) continue;
        std::memset(block, 0, SA_IDENTIFY_PHYSICAL_DEVICE_SIZE);
        std::memcpy(block + SA_IDENTIFY_PHYSICAL_DEVICE_SIZE, d, descriptor_size);

        SA_PhysicalDeviceRecord& r = cda->physical_devices[index];
        std::memset(&r, 0, sizeof(r));
        r.block = block;
        r.block_size = block_size;
        r.device_index = index;
        r.state[SA_PD_STATE_FLAGS] = SA_PD_FLAG_PRESENT;
        if (type_code == SC_DEVICE_TYPE_PHYSICAL_DRIVE || type_code == SC_DEVICE_TYPE_PHYSICAL_DRIVE_FLAGGED)
            r.state[SA_PD_STATE_FLAGS] |= SA_PD_FLAG_DRIVE;
        r.state[SA_PD_STATE_TYPE_CODE] = static_cast<uint8_t>(type_code);
        std::memcpy(&r.state[SA_PD_STATE_LUN], address + SC_ADDRESS_LUNADDR, 8);
        ++filled;
    }
    SC_DestroyDeviceListIterator(it);
    SC_DestroyDeviceDescriptorList(list);
    // An empty list is also what an unreadable report gives: ask again next time.
    if (filled == 0) return 0;
    cda->config_valid_flags |= SA_CONFIG_VALID_PHYSICAL_DRIVES;
    return 1;
}

uint16_t SA_EnumerateControllerPhysicalDevices(SA_CDA* cda, uint16_t previous_index)
{
    return NextIndex(cda, previous_index, SA_PD_FLAG_PRESENT);
}

uint16_t SA_EnumerateControllerPhysicalDrives(SA_CDA* cda, uint16_t previous_index)
{
    return NextIndex(cda, previous_index, SA_PD_FLAG_PRESENT | SA_PD_FLAG_DRIVE);
}

uint8_t SA_PhysicalDeviceType(SA_CDA* cda, uint16_t index)
{
    if (cda == nullptr || index >= SA_MAX_PHYSICAL_DEVICES) return SA_PHYSICAL_DEVICE_TYPE_INVALID;
    SA_CDALockGuard lock(cda);
    const uint8_t* identify = IdentifyReply(cda, index);
    if (identify == nullptr) return SA_PHYSICAL_DEVICE_TYPE_INVALID;
    return saPhysicalTypeFromByte(identify[SA_IPD_OFF_DEVICE_TYPE]);
}

uint8_t SA_CanSendPhysicalDeviceSCSICommand(SA_CDA* cda, uint16_t index)
{
    if (cda == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    const SA_PhysicalDeviceRecord* r = PresentRecord(cda, index);
    return r != nullptr && SC_CanExecuteSCSICommand(RecordDescriptor(r)) == 1 ? 1 : 0;
}

uint8_t SA_SendPhysicalDeviceSCSICommand(SA_CDA* cda, uint16_t index, _SCSIRequest* request)
{
    if (cda == nullptr || request == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    const SA_PhysicalDeviceRecord* r = PresentRecord(cda, index);
    if (r == nullptr) return 0;
    uint8_t lent[SA_LENT_SENSE_SIZE];
    const bool lend = request->sense == nullptr;
    if (lend) {
        std::memset(lent, 0, sizeof(lent));
        request->sense = lent;
        request->senseSize = sizeof(lent);
    }
    const uint8_t result = SC_ExecuteSCSICommand(RecordDescriptor(r), request) == 0 ? 1 : 0;
    if (lend) {
        request->sense = nullptr;
        request->senseSize = 0;
    }
    return result;
}

uint8_t SA_PhysicalDriveStandardInquiryData(SA_CDA* cda, uint16_t index, void* buffer, uint32_t size)
{
    if (cda == nullptr || buffer == nullptr || size == 0) return 0;
    std::memset(buffer, 0, size);
    SA_CDALockGuard lock(cda);
    uint8_t head[SA_INQUIRY_HEADER_SIZE] = {0};
    uint8_t cdb[6] = {SA_SCSI_INQUIRY, 0, 0, 0, 0, 0};
    cdb[SA_INQUIRY_CDB_ALLOCATION_LENGTH] = sizeof(head);
    _SCSIRequest request = scMakeSCSIRequest(SC_TRANSFER_READ, 0, cdb, sizeof(cdb), head, sizeof(head));
    if (!SA_SendPhysicalDeviceSCSICommand(cda, index, &request) || request.scsiStatus != 0) return 0;
    uint32_t length = static_cast<uint32_t>(head[SA_INQUIRY_ADDITIONAL_LENGTH]) + SA_INQUIRY_HEADER_SIZE;
    if (length > size) length = size;
    // The allocation length field of a 6-byte INQUIRY is one byte; head[4] + 5 is at most 260.
    if (length > 0xFF) length = 0xFF;
    cdb[SA_INQUIRY_CDB_ALLOCATION_LENGTH] = static_cast<uint8_t>(length);
    request = scMakeSCSIRequest(SC_TRANSFER_READ, 0, cdb, sizeof(cdb), buffer, length);
    if (!SA_SendPhysicalDeviceSCSICommand(cda, index, &request) || request.scsiStatus != 0) {
        std::memset(buffer, 0, size);
        return 0;
    }
    return 1;
}

char* SA_GetPhysicalDriveFirmwareVersion(SA_CDA* cda, uint16_t index, char* destination, uint32_t size)
{
    return DriveText(cda, index, destination, size, SA_IPD_OFF_FIRMWARE, SA_IPD_LEN_FIRMWARE);
}

char* SA_GetPhysicalDriveModel(SA_CDA* cda, uint16_t index, char* destination, uint32_t size)
{
    return DriveText(cda, index, destination, size, SA_IPD_OFF_MODEL, SA_IPD_LEN_MODEL);
}

char* SA_GetPhysicalDriveSerialNumber(SA_CDA* cda, uint16_t index, char* destination, uint32_t size)
{
    return DriveText(cda, index, destination, size, SA_IPD_OFF_SERIAL, SA_IPD_LEN_SERIAL);
}

char* SA_GetPhysicalDriveVendorID(SA_CDA* cda, uint16_t index, char* destination, uint32_t size)
{
    return DriveText(cda, index, destination, size, SA_IPD_OFF_VENDOR, SA_IPD_LEN_VENDOR);
}

char* SA_GetPhysicalDriveLocation(SA_CDA* cda, uint16_t index, uint8_t format, char* destination, uint32_t size)
{
    if (destination == nullptr || size == 0) return destination;
    std::memset(destination, 0, size);
    if (cda == nullptr) return destination;
    SA_CDALockGuard lock(cda);
    return saFormatPhysicalLocation(IdentifyReply(cda, index), format, destination, size);
}

uint16_t SA_GetPhysicalDeviceStorageEnclosureNumber(SA_CDA* cda, uint16_t index)
{
    return IdentifyValue<uint16_t>(cda, index, 0xFFFF,
                                   [](const uint8_t* identify) { return saGetLE16(identify, SA_IPD_OFF_ENCLOSURE); });
}

uint32_t SA_GetPhysicalDriveBasicInfo(SA_CDA* cda, uint16_t index)
{
    return IdentifyValue<uint32_t>(cda, index, 0,
                                   [](const uint8_t* identify) { return saGetLE32(identify, SA_IPD_OFF_BASIC_INFO); });
}

uint8_t SA_ControllerPauseBackgroundActivity(SA_CDA* cda, uint32_t argument)
{
    return BackgroundActivity(cda, BMIC_PAUSE_BACKGROUND_ACTIVITY, argument);
}

uint8_t SA_ControllerResumeBackgroundActivity(SA_CDA* cda)
{
    return BackgroundActivity(cda, BMIC_RESUME_BACKGROUND_ACTIVITY, 0);
}
