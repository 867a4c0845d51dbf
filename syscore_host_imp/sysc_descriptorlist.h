// Device descriptors (self-sizing blocks of tagged properties), descriptor lists and iterators.
//
// Descriptor layout (little-endian, no gaps, no alignment):
//   0  u16  total size in bytes, this field included
//   2  ...  entries: u16 tag, u16 value length n, n value bytes
// Values sit at arbitrary offsets: read them with the lookups below, never by casting the block.
#ifndef SYSC_DESCRIPTORLIST_H
#define SYSC_DESCRIPTORLIST_H

#include <cstddef>
#include <cstdint>

// A descriptor is plain bytes; copying it is copying its total size.
typedef uint8_t SC_DeviceDescriptor;

// Property tags.
enum {
    SC_PROPERTY_SYSTEM_PATH = 0,       // string, canonical sysfs path of the PCI device
    SC_PROPERTY_DEVICE_NODE = 1,       // string, "/dev/sgN" or "/dev/aacN"
    SC_PROPERTY_PROTOCOL = 2,          // u16 protocol code
    SC_PROPERTY_PROTOCOL_ADDRESS = 3,  // 16 bytes, see SC_ADDRESS_*
    SC_PROPERTY_DEVICE_TYPE = 5,       // u16 device type code
    SC_PROPERTY_DEVICE_INDEX = 6,      // u16; 0xFFFF for a controller
    SC_PROPERTY_PLATFORM_ID = 0x40,    // 8 bytes; never written on this platform
    SC_PROPERTY_PCI_LOCATION = 0x41,   // u32 (bus << 16) + (device << 8) + function
    SC_PROPERTY_SLOT_TYPE = 0x42,      // never written on this platform
    SC_PROPERTY_SLOT_NUMBER = 0x43,    // never written on this platform
    SC_PROPERTY_CSMI_ADDRESS = 0x82    // written only by CSMI device lists
};

// Protocol codes (value of SC_PROPERTY_PROTOCOL).
enum {
    SC_PROTOCOL_CISS = 0,
    SC_PROTOCOL_SIS = 1,
    SC_PROTOCOL_PQI = 2,
    SC_PROTOCOL_CSMI = 3,
    SC_PROTOCOL_SCSI = 4,
    SC_PROTOCOL_NHPSA = 5,
    SC_PROTOCOL_NPQI = 6
};

// Device type codes (value of SC_PROPERTY_DEVICE_TYPE).
enum {
    SC_DEVICE_TYPE_CONTROLLER = 1,
    SC_DEVICE_TYPE_PHYSICAL_DRIVE = 2,
    SC_DEVICE_TYPE_PHYSICAL_DRIVE_FLAGGED = 3,
    SC_DEVICE_TYPE_ENCLOSURE = 4,
    SC_DEVICE_TYPE_EXPANDER = 5,
    SC_DEVICE_TYPE_REPORTED_TYPE8 = 6,  // physical LUN report device type 8
    SC_DEVICE_TYPE_OTHER = 7,
    SC_DEVICE_TYPE_REPORTED_TYPE7 = 8,  // physical LUN report device type 7
    SC_DEVICE_TYPE_LOGICAL_DRIVE = 9,
    SC_DEVICE_TYPE_LOGICAL_DRIVE_KIND1 = 10,
    SC_DEVICE_TYPE_CSMI_HBA = 12
};

// Protocol address (value of SC_PROPERTY_PROTOCOL_ADDRESS), 16 bytes.
enum {
    SC_ADDRESS_SIZE = 16,
    SC_ADDRESS_BUS = 0,  // SIS: bus (channel) of the controller's own SCSI device
    SC_ADDRESS_TARGET = 1,
    SC_ADDRESS_LUN = 2,
    SC_ADDRESS_FLAGS = 3,   // bit 0 commands allowed, bit 1 physical device, bit 2 logical drive
    SC_ADDRESS_LUNADDR = 4  // 8-byte CISS LUN address; zero for the controller
};
// The 10-byte BMIC CDB: opcode, low byte of the drive index, big-endian u32 address, BMIC command,
// big-endian u16 transfer length, high byte of the drive index.
enum : uint8_t {
    SC_BMIC_CDB_INDEX_LOW = 1,
    SC_BMIC_CDB_ADDRESS = 2,
    SC_BMIC_CDB_ADDRESS_LOW = 5,  // last byte of the address
    SC_BMIC_CDB_COMMAND = 6,
    SC_BMIC_CDB_LENGTH = 7,
    SC_BMIC_CDB_INDEX_HIGH = 9
};
// CDB opcodes the system core builds or rewrites.
enum : uint8_t {
    SC_OP_BMIC_READ = 0x26,
    SC_OP_BMIC_WRITE = 0x27,
    SC_OP_REPORT_LOGICAL_LUNS = 0xC2,
    SC_OP_REPORT_PHYSICAL_LUNS = 0xC3,
    SC_OP_SIS_REPORT_LOGICAL_LUNS = 0xC4  // the SIS firmware's own opcode for the logical report
};

// An entry of a LUN report: the 8-byte LUN address, then (physical reports) the device type and flags.
enum {
    SC_LUN_BYTE_MODE = 3,  // low six bits zero: bus and target are in bytes 7 and 6
    SC_LUN_BYTE_TARGET = 6,
    SC_LUN_BYTE_BUS = 7,
    SC_LUN_MODE_MASK = 0x3F,
    SC_LUN_ENTRY_DEVICE_TYPE = 16,
    SC_LUN_ENTRY_FLAGS = 17
};
// A LUN report: a header (big-endian u32 list length, then 4 reserved bytes) and 24-byte entries.
enum { SC_LUN_REPORT_HEADER = 8, SC_LUN_REPORT_ENTRY = 24 };
// The 12-byte CDB of a LUN report: the opcode, the report format, the big-endian u32 allocation length.
enum : uint8_t { SC_LUN_CDB_FORMAT = 1, SC_LUN_CDB_ALLOCATION_LENGTH = 6, SC_LUN_CDB_SIZE = 12 };
// Report formats: the physical report with device type and flags, the logical report.
enum : uint8_t { SC_LUN_FORMAT_PHYSICAL_EXTENDED = 0x02, SC_LUN_FORMAT_LOGICAL_EXTENDED = 0x01 };
// Byte 4 of a logical drive's LUN address: 0x40 in an address built for a drive no report named; 1
// in a reported entry marks the second kind of logical drive.
enum : uint8_t { SC_LUN_BYTE_LOGICAL = 4, SC_LUN_LOGICAL_UNREPORTED = 0x40, SC_LUN_LOGICAL_KIND1 = 1 };

// Physical LUN report device types and flag bits the descriptors are derived from.
enum : uint8_t {
    SC_LUN_DEVICE_DRIVE1 = 1,  // the two drive types the physical drive lists take
    SC_LUN_DEVICE_DRIVE2 = 2,
    SC_LUN_DEVICE_EXPANDER = 5,
    SC_LUN_DEVICE_ENCLOSURE = 6,
    SC_LUN_DEVICE_TYPE7 = 7,
    SC_LUN_DEVICE_TYPE8 = 8,
    SC_LUN_FLAG_BIT0 = 0x01
};

// Device type codes that name a drive, one bit per code (0 to 4 and 9).
constexpr uint16_t SC_LUN_DRIVE_TYPES = 0x021F;

// What a physical device type code names. The identify physical device reply's type byte uses the
// codes of the LUN report's entry.
enum SC_PhysicalKind : uint8_t {
    SC_PHYSICAL_KIND_DRIVE,
    SC_PHYSICAL_KIND_EXPANDER,
    SC_PHYSICAL_KIND_ENCLOSURE,
    SC_PHYSICAL_KIND_TYPE7,
    SC_PHYSICAL_KIND_TYPE8,
    SC_PHYSICAL_KIND_OTHER
};
SC_PhysicalKind scPhysicalKind(uint8_t deviceType);

enum { SC_ADDRESS_FLAG_COMMANDS = 0x01, SC_ADDRESS_FLAG_PHYSICAL = 0x02, SC_ADDRESS_FLAG_LOGICAL = 0x04 };

typedef struct SC_DescriptorListNode {
    SC_DeviceDescriptor* descriptor;
    struct SC_DescriptorListNode* next;
} SC_DescriptorListNode;

typedef struct SC_DescriptorList {
    SC_DescriptorListNode* first;
    SC_DescriptorListNode* last;
} SC_DescriptorList;

typedef struct SC_DeviceListIterator {
    SC_DescriptorList* list;
    SC_DescriptorListNode* current;
} SC_DeviceListIterator;

// Runs discovery over every supported driver; an empty list when nothing is found, null only when
// the list head cannot be allocated. Release with SC_DestroyDeviceDescriptorList.
SC_DescriptorList* SC_CreateControllerDescriptorList(void);
// Null for a null list or on allocation failure.
SC_DeviceListIterator* SC_CreateDeviceListIterator(SC_DescriptorList* list);
// 1 when the current node is null or holds a null descriptor, else 0.
int SC_IsDeviceListIteratorEnd(const SC_DeviceListIterator* iterator);
// Moves to the next node unless at the end.
void SC_MoveDeviceListIteratorNext(SC_DeviceListIterator* iterator);
// The current descriptor, still owned by the list; null at the end.
SC_DeviceDescriptor* SC_GetDeviceListItemAt(const SC_DeviceListIterator* iterator);
// Frees the iterator; null is accepted.
void SC_DestroyDeviceListIterator(SC_DeviceListIterator* iterator);
// Frees every descriptor, every node and the head; null is accepted.
void SC_DestroyDeviceDescriptorList(SC_DescriptorList* list);

// Appends a copy-free node holding descriptor (the list takes ownership). Result 1, or 0 when the
// node cannot be allocated (the descriptor is then still the caller's).
int scAppendDescriptor(SC_DescriptorList* list, SC_DeviceDescriptor* descriptor);
// A zeroed, empty list head; null on allocation failure.
SC_DescriptorList* scCreateEmptyDescriptorList(void);

// A new copy of the descriptor (its total size); null on allocation failure or a null argument.
SC_DeviceDescriptor* SC_CopyDeviceDescriptor(const SC_DeviceDescriptor* descriptor);
// Frees a descriptor; null is accepted.
void SC_DestroyDeviceDescriptor(SC_DeviceDescriptor* descriptor);
// The total size field; 0 for null.
uint16_t SC_GetDeviceDescriptorSize(const SC_DeviceDescriptor* descriptor);
// Value length of the first entry with the tag; 0 when there is none.
uint16_t SC_GetDeviceSystemPropertySize(const SC_DeviceDescriptor* descriptor, uint8_t tag);
// Zero-fills the buffer, then: 0 found and copied, 1 no entry with that tag, 2 value longer than the
// buffer (nothing copied).
uint8_t SC_GetDeviceSystemProperty(const SC_DeviceDescriptor* descriptor, uint8_t tag, void* buffer,
                                   uint32_t bufferSize);

// One property for SC_BuildDeviceDescriptor.
typedef struct SC_DescriptorProperty {
    uint16_t tag;
    uint16_t length;
    const void* value;
} SC_DescriptorProperty;
// Builds a descriptor holding the properties in the given order; null when it would not fit the
// 16-bit size or cannot be allocated.
SC_DeviceDescriptor* SC_BuildDeviceDescriptor(const SC_DescriptorProperty* properties, size_t count);
// Builds a controller descriptor (tags 0, 1, 2, 3, 5, 6, 65 in this order); null as above.
SC_DeviceDescriptor* SC_BuildControllerDescriptor(const char* systemPath, const char* deviceNode, uint16_t protocol,
                                                  const uint8_t address[16], uint32_t pciLocation);
// Overwrites the value of the first entry with the tag in place when its length equals length.
// Result 1 done, 0 no such entry or another length.
int scSetDeviceSystemProperty(SC_DeviceDescriptor* descriptor, uint8_t tag, const void* value, uint16_t length);

// Decoders used by the transport.
// 1 when both a protocol (tag 2, first u16 to *protocol) and an address (tag 3, min(size, length)
// bytes into the zero-filled address buffer) were seen; 0 when the descriptor ended first.
int __DecodeDeviceProtocolInfo(const SC_DeviceDescriptor* descriptor, uint16_t* protocol, uint8_t* address,
                               uint16_t addressSize);
// Zero-fills the buffer and copies min(size, length) bytes of the node name; 1 found, 0 not.
int __DecodeDeviceNodeName(const SC_DeviceDescriptor* descriptor, char* buffer, uint32_t bufferSize);
// First protocol value that is not 0xFFFF, or 0xFFFF.
uint16_t _SC_GetDeviceProtocol(const SC_DeviceDescriptor* descriptor);
// Opens the node read-write (nonBlocking 0) or read-only non-blocking; 0 with *fd set, else errno.
int __OpenDeviceNode(const char* path, int* fd, int nonBlocking);
// Closes a node opened by __OpenDeviceNode.
void __CloseDeviceNode(int fd);

// Device lists of one controller, built from the CISS LUN reports. Empty when a report cannot be
// read; null only on allocation failure of the head.
SC_DescriptorList* SC_CreateAllPhysicalDeviceDescriptorList(const SC_DeviceDescriptor* controller);
SC_DescriptorList* SC_CreatePhysicalDriveDescriptorList(const SC_DeviceDescriptor* controller, const uint16_t* indices,
                                                        uint32_t count);
SC_DescriptorList* SC_CreateSEPDescriptorList(const SC_DeviceDescriptor* controller, const uint16_t* indices,
                                              uint32_t count);
SC_DescriptorList* SC_CreateAllLogicalDeviceDescriptorList(const SC_DeviceDescriptor* controller);
SC_DescriptorList* SC_CreateLogicalDeviceDescriptorList(const SC_DeviceDescriptor* controller, const uint16_t* numbers,
                                                        uint32_t count);
SC_DeviceDescriptor* SC_CreateSingleLogicalDeviceDescriptor(const SC_DeviceDescriptor* controller, uint16_t number);
// Empty stub on this platform.
SC_DescriptorList* SC_CreateHostBusAdapterDescriptorList(void);

#endif
