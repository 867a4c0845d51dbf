// Storage core: the physical devices behind a controller (drives, enclosure processors, expanders),
// their identity, SCSI commands to them, and pausing the controller's background activity.
//
// The physical device table of the CDA (SA_CDA::physical_devices, 384 records) is filled on first use
// from the controller's extended REPORT PHYSICAL LUNS (through the system core's device list, which
// gives every device its own descriptor). A record's slot is the device index the LUN address encodes
// (the same index the system core writes into the descriptor's tag 6); entries whose index is 384 or
// more are ignored, and of two entries with the same index the first one is kept. Nothing is ever
// written past the 384 records.
//
// Record layout (SA_PhysicalDeviceRecord):
//   device_index   the slot's index
//   state[0]       SA_PD_FLAG_* bits
//   state[1]       type code the system core gave the device (SC_PROPERTY_DEVICE_TYPE)
//   state[2..9]    8-byte LUN address of the report entry
//   block          owned, SA_MALLOC'ed: bytes [0, SA_IDENTIFY_PHYSICAL_DEVICE_SIZE) hold the identify
//                  physical device reply (zero until read), followed by the device's own descriptor
//   block_size     SA_IDENTIFY_PHYSICAL_DEVICE_SIZE + the descriptor's size
// The block is released by SA_UnInitializeCDA / SA_ReInitializeCDA with the rest of the table.
//
// Identify physical device: BMIC read 0x15, address 0, index = device index, 128 bytes. Reply layout
// (little-endian, offsets from the start of the reply):
//   0   u16  device index (echo)
//   2   u8   device type byte: 0-4 and 9 drives, 5 expander, 6 enclosure processor, 7, 8, 255 unknown
//   4   u16  storage enclosure (box) number, 0xFFFF when the device is not in an enclosure
//   6   u8   bay number
//   8   2    connector (port) name, e.g. "1I"
//   16  8    vendor identification
//   24  40   model
//   64  20   serial number
//   84  8    firmware revision
//   92  u32  basic information word (SA_PD_BASIC_*)
// Texts are blank or NUL padded; the queries trim them.
#ifndef STORC_PHYSICAL_H
#define STORC_PHYSICAL_H

#include <cstdint>

#include "storc.h"

constexpr uint8_t BMIC_IDENTIFY_PHYSICAL_DEVICE = 0x15;
constexpr uint8_t BMIC_PAUSE_BACKGROUND_ACTIVITY = 0x98;
constexpr uint8_t BMIC_RESUME_BACKGROUND_ACTIVITY = 0x99;

constexpr uint32_t SA_IDENTIFY_PHYSICAL_DEVICE_SIZE = 128;
constexpr size_t SA_IPD_OFF_DEVICE_INDEX = 0;
constexpr size_t SA_IPD_OFF_DEVICE_TYPE = 2;
constexpr uint8_t SA_IPD_DEVICE_TYPE_UNKNOWN = 0xFF;  // type byte of a device of no known type
constexpr size_t SA_IPD_OFF_ENCLOSURE = 4;
constexpr size_t SA_IPD_OFF_BAY = 6;
constexpr size_t SA_IPD_OFF_CONNECTOR = 8;
constexpr size_t SA_IPD_LEN_CONNECTOR = 2;
constexpr size_t SA_IPD_OFF_VENDOR = 16;
constexpr size_t SA_IPD_LEN_VENDOR = 8;
constexpr size_t SA_IPD_OFF_MODEL = 24;
constexpr size_t SA_IPD_LEN_MODEL = 40;
constexpr size_t SA_IPD_OFF_SERIAL = 64;
constexpr size_t SA_IPD_LEN_SERIAL = 20;
constexpr size_t SA_IPD_OFF_FIRMWARE = 84;
constexpr size_t SA_IPD_LEN_FIRMWARE = 8;
constexpr size_t SA_IPD_OFF_BASIC_INFO = 92;

// Flags of a physical device record (state[0]).
enum : uint8_t {
    SA_PD_FLAG_PRESENT = 0x01,
    SA_PD_FLAG_IDENTIFY_VALID = 0x02,
    SA_PD_FLAG_DRIVE = 0x04,
};
constexpr size_t SA_PD_STATE_FLAGS = 0;
constexpr size_t SA_PD_STATE_TYPE_CODE = 1;
constexpr size_t SA_PD_STATE_LUN = 2;

// Bits of the basic information word: the drive's kind (the lowest kind bit set wins) and state.
#define SA_PD_BASIC_BITS(X)                                                      \
    X(SA_PD_BASIC_SAS_HDD, 0x01)                                                 \
    X(SA_PD_BASIC_SATA_HDD, 0x02)                                                \
    X(SA_PD_BASIC_SAS_SSD, 0x04)                                                 \
    X(SA_PD_BASIC_CONFIGURED, 0x08) /* member of a logical drive (not a kind) */ \
    X(SA_PD_BASIC_SATA_SSD, 0x10)                                                \
    X(SA_PD_BASIC_NVME_SSD, 0x20)
enum : uint32_t { SA_PD_BASIC_BITS(SC_ENUMERATOR) };

// Storage core physical device types (SA_PhysicalDeviceType).
#define SA_PHYSICAL_DEVICE_TYPES(X)                                            \
    X(SA_PHYSICAL_DEVICE_TYPE_DRIVE, 0)                                        \
    X(SA_PHYSICAL_DEVICE_TYPE_EXPANDER, 1)                                     \
    X(SA_PHYSICAL_DEVICE_TYPE_ENCLOSURE, 2)                                    \
    X(SA_PHYSICAL_DEVICE_TYPE_FROM_BYTE7, 3) /* identify device type byte 7 */ \
    X(SA_PHYSICAL_DEVICE_TYPE_FROM_BYTE8, 4) /* identify device type byte 8 */ \
    X(SA_PHYSICAL_DEVICE_TYPE_UNKNOWN, 5)                                      \
    X(SA_PHYSICAL_DEVICE_TYPE_INVALID, 0xFF)
enum : uint8_t { SA_PHYSICAL_DEVICE_TYPES(SC_ENUMERATOR) };

// Standard SCSI INQUIRY: the opcode, the CDB byte of the allocation length, and in the reply the
// additional length byte, counted after the first five bytes.
#define SA_INQUIRY_FIELDS(X)               \
    X(SA_SCSI_INQUIRY, 0x12)               \
    X(SA_INQUIRY_CDB_ALLOCATION_LENGTH, 4) \
    X(SA_INQUIRY_ADDITIONAL_LENGTH, 4)     \
    X(SA_INQUIRY_HEADER_SIZE, 5)
enum : uint8_t { SA_INQUIRY_FIELDS(SC_ENUMERATOR) };

// Location formats of SA_GetPhysicalDriveLocation.
enum : uint8_t {
    SA_LOCATION_PORT_BOX_BAY = 1,  // "1I:1:3"
    SA_LOCATION_LONG = 2,          // "Port 1I Box 1 Bay 3"
    SA_LOCATION_BOX_BAY = 3,       // "1:3"
    SA_LOCATION_LABELLED = 4,      // "Port:1I Box:1 Bay:3"
};

constexpr uint16_t SA_NO_DEVICE_INDEX = 0xFFFF;
constexpr uint32_t SA_LENT_SENSE_SIZE = 32;

// Pure pieces.
// Storage core type of an identify reply's device-type byte (table above); 0xFF for other bytes.
uint8_t saPhysicalTypeFromByte(uint8_t device_type_byte);
// Writes the location text of the given format; empty for an unknown format. Returns destination.
char* saFormatPhysicalLocation(const uint8_t* identify, uint8_t format, char* destination, uint32_t size);
// Builds the pause (command 0x98) or resume (0x99) request: BMIC write without data.
void saBuildBackgroundActivityRequest(_BMICRequest* request, uint8_t command, uint32_t address);

// Makes sure the physical device table is filled. 1 when it holds the controller's devices, 0 when
// the LUN report could not be read or named no device (tried again on the next call).
uint8_t SA_RequestPhysicalDevices(SA_CDA* cda);

// Given the previous index (0xFFFF to start), the next larger index of a present physical device
// (respectively drive); 0xFFFF when there is none or the controller's identify data cannot be read.
uint16_t SA_EnumerateControllerPhysicalDevices(SA_CDA* cda, uint16_t previous_index);
uint16_t SA_EnumerateControllerPhysicalDrives(SA_CDA* cda, uint16_t previous_index);

// Storage core type (SA_PHYSICAL_DEVICE_TYPE_*) from the identify reply; 0xFF for an index of 384 or
// more, a device that is not present, an unreadable reply or an unknown device-type byte.
uint8_t SA_PhysicalDeviceType(SA_CDA* cda, uint16_t index);

// 1 when the CDA holds a descriptor for the device and the system core can send it SCSI commands.
uint8_t SA_CanSendPhysicalDeviceSCSICommand(SA_CDA* cda, uint16_t index);
// Sends the request to the device. 1 when the transport returned 0, 0 on failure or without a
// descriptor. A request without sense buffer gets a lent 32-byte one for the call; its sense
// pointer and size are null and 0 again on return.
uint8_t SA_SendPhysicalDeviceSCSICommand(SA_CDA* cda, uint16_t index, _SCSIRequest* request);
// Standard INQUIRY in two steps (5 bytes, then min(size, additional length + 5)) into the zeroed
// buffer. 1 when both were delivered with SCSI status GOOD, else 0.
uint8_t SA_PhysicalDriveStandardInquiryData(SA_CDA* cda, uint16_t index, void* buffer, uint32_t size);

// Drive texts from the identify physical device reply, trimmed and cut to fit the zeroed
// destination (empty when unreadable). They return the destination.
char* SA_GetPhysicalDriveFirmwareVersion(SA_CDA* cda, uint16_t index, char* destination, uint32_t size);
char* SA_GetPhysicalDriveModel(SA_CDA* cda, uint16_t index, char* destination, uint32_t size);
char* SA_GetPhysicalDriveSerialNumber(SA_CDA* cda, uint16_t index, char* destination, uint32_t size);
char* SA_GetPhysicalDriveVendorID(SA_CDA* cda, uint16_t index, char* destination, uint32_t size);
char* SA_GetPhysicalDriveLocation(SA_CDA* cda, uint16_t index, uint8_t format, char* destination, uint32_t size);
// Storage enclosure number; 0xFFFF when unreadable.
uint16_t SA_GetPhysicalDeviceStorageEnclosureNumber(SA_CDA* cda, uint16_t index);
// Basic information word (SA_PD_BASIC_*); 0 when unreadable.
uint32_t SA_GetPhysicalDriveBasicInfo(SA_CDA* cda, uint16_t index);

// Pause (0x98, address = argument) and resume (0x99, address 0) of background activity: 1 when the
// controller accepted the command, else 0.
uint8_t SA_ControllerPauseBackgroundActivity(SA_CDA* cda, uint32_t argument);
uint8_t SA_ControllerResumeBackgroundActivity(SA_CDA* cda);

#endif
