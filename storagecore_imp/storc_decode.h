// Pure decoders of the controller's BMIC replies and the text conversions built on them.
// Nothing here touches a device, a lock or the debug log: every function works on byte buffers
// handed in by the caller, reading multi-byte fields little-endian at the named offsets below.
#ifndef STORC_DECODE_H
#define STORC_DECODE_H

#include <cstddef>
#include <cstdint>

#include "sysc_platform.h"

// ---- Little-endian fields at named offsets (replies are never cast onto structures) ----
inline uint16_t saGetLE16(const uint8_t* buffer, size_t offset) { return SC_GetLE16(buffer + offset); }
inline uint32_t saGetLE32(const uint8_t* buffer, size_t offset) { return SC_GetLE32(buffer + offset); }
inline void saPutLE16(uint8_t* buffer, size_t offset, uint16_t value) { SC_PutLE16(buffer + offset, value); }
inline void saPutLE32(uint8_t* buffer, size_t offset, uint32_t value) { SC_PutLE32(buffer + offset, value); }

// ---- BMIC reply sizes and field offsets ----
constexpr size_t SA_IDENTIFY_CONTROLLER_SIZE = 647;
constexpr size_t SA_SENSE_CONTROLLER_PARAMETERS_SIZE = 334;
constexpr size_t SA_CACHE_CONFIG_STATUS_SIZE = 512;
constexpr size_t SA_SENSE_SUBSYSTEM_PARAMETERS_SIZE = 1744;
constexpr size_t SA_SENSE_FEATURE_REPLY_SIZE = 240;
constexpr size_t SA_SENSE_FEATURE_CACHE_SIZE = 152;

// IDENTIFY CONTROLLER
constexpr size_t SA_ID_OFF_FIRMWARE_REV = 5;  // 4 chars, not terminated
constexpr size_t SA_ID_LEN_FIRMWARE_REV = 4;
constexpr size_t SA_ID_OFF_ENCRYPTION_BYTE = 126;   // bit 1: encryption supported (no feature pages)
constexpr size_t SA_ID_OFF_CONTROLLER_FLAGS = 184;  // u32, bit 26: software RAID (no feature pages)
constexpr size_t SA_ID_OFF_SLOT_OLD = 189;          // u8, 0xFF unknown
constexpr size_t SA_ID_OFF_TOTAL_LENGTH = 196;      // u32 dwTotalStructureLength
constexpr size_t SA_ID_OFF_VENDOR_ID = 200;         // 8 chars
constexpr size_t SA_ID_LEN_VENDOR_ID = 8;
constexpr size_t SA_ID_OFF_PRODUCT_ID = 208;  // 16 chars
constexpr size_t SA_ID_LEN_PRODUCT_ID = 16;
constexpr size_t SA_ID_OFF_FIXED_LENGTH = 240;        // u32 dwFixedStructureLength
constexpr size_t SA_ID_OFF_FEATURE_FLAGS = 268;       // u32, bit 31: feature pages supported
constexpr size_t SA_ID_OFF_ENCRYPTION_STATUS = 282;   // u32 encryption status word
constexpr size_t SA_ID_OFF_PCI_GENERATION = 290;      // u8
constexpr size_t SA_ID_OFF_PCI_LINK_WIDTH = 291;      // u8
constexpr size_t SA_ID_OFF_PCI_DEVICE = 365;          // u16
constexpr size_t SA_ID_OFF_PCI_VENDOR = 367;          // u16
constexpr size_t SA_ID_OFF_PCI_SUB_DEVICE = 369;      // u16
constexpr size_t SA_ID_OFF_PCI_SUB_VENDOR = 371;      // u16
constexpr size_t SA_ID_OFF_PCI_MAX_LINK_RATE = 373;   // u32
constexpr size_t SA_ID_OFF_PCI_MAX_LINK_WIDTH = 377;  // u32
constexpr size_t SA_ID_OFF_FAMILY_ID = 389;           // 32 chars
constexpr size_t SA_ID_LEN_FAMILY_ID = 32;
constexpr size_t SA_ID_OFF_SLOT_NEW = 453;  // u16, 0xFFFF unknown

// SENSE CONTROLLER PARAMETERS, CACHE CONFIG STATUS, SENSE SUBSYSTEM PARAMETERS
constexpr size_t SA_SCP_OFF_TOTAL_LENGTH = 188;
constexpr size_t SA_CCS_OFF_TOTAL_LENGTH = 16;
constexpr size_t SA_SSP_OFF_SERIAL_NUMBER = 44;
constexpr size_t SA_SSP_LEN_SERIAL_NUMBER = 32;

// Sense feature reply: 4-byte starting header (u16 total length at 2), then pages each with a
// 4-byte header (page, subpage, u16 data length).
constexpr size_t SA_SF_OFF_TOTAL_LENGTH = 2;
constexpr size_t SA_SF_STARTING_HEADER_SIZE = 4;
constexpr size_t SA_SF_PAGE_HEADER_SIZE = 4;

// Bits of the identify fields above.
constexpr uint8_t SA_ID_ENCRYPTION_SUPPORTED = 0x02;                      // encryption byte
constexpr uint32_t SA_ID_CONTROLLER_SOFTWARE_RAID = 1u << 26;             // controller flags
constexpr uint32_t SA_ID_FEATURE_PAGES_SUPPORTED = 0x80000000u;           // feature flags
constexpr uint32_t SA_ID_ENCRYPTION_STATUS_RECOVERY_QUESTION = 1u << 16;  // encryption status word
constexpr uint32_t SA_ID_ENCRYPTION_STATUS_LOCKED = 0x4000u;              // encryption status word

// Identify fields read straight off a reply.
inline uint32_t saIdentifyFixedLength(const uint8_t* identify) { return saGetLE32(identify, SA_ID_OFF_FIXED_LENGTH); }
inline uint32_t saIdentifyTotalLength(const uint8_t* identify) { return saGetLE32(identify, SA_ID_OFF_TOTAL_LENGTH); }
inline bool saIdentifyHasFeaturePages(const uint8_t* identify)
{
    return (saGetLE32(identify, SA_ID_OFF_FEATURE_FLAGS) & SA_ID_FEATURE_PAGES_SUPPORTED) != 0;
}
inline bool saIdentifyIsSoftwareRAID(const uint8_t* identify)
{
    return (saGetLE32(identify, SA_ID_OFF_CONTROLLER_FLAGS) & SA_ID_CONTROLLER_SOFTWARE_RAID) != 0;
}
inline bool saIdentifySupportsEncryption(const uint8_t* identify)
{
    return (identify[SA_ID_OFF_ENCRYPTION_BYTE] & SA_ID_ENCRYPTION_SUPPORTED) != 0;
}

// Largest identify fixed-structure length of each interface level: 275 or less is too short for
// this library (level 0), 292 exactly is level 3; above level 4, a controller-parameters total
// length of SA_SCP_TOTAL_LENGTH_LEVEL5 or more gives level 5.
constexpr uint32_t SA_ID_FIXED_LENGTH_UNSUPPORTED = 275;
constexpr uint32_t SA_ID_FIXED_LENGTH_LEVEL1 = 289;
constexpr uint32_t SA_ID_FIXED_LENGTH_LEVEL2 = 291;
constexpr uint32_t SA_ID_FIXED_LENGTH_LEVEL3 = 292;
constexpr uint32_t SA_ID_FIXED_LENGTH_LEVEL4 = 316;
constexpr uint32_t SA_SCP_TOTAL_LENGTH_LEVEL5 = 207;

// Interface level from the identify fixed-structure length and the controller-parameters total
// length; 0 means the identify structure is too short for this library (275 bytes or less).
uint8_t saIdentifyLevel(uint32_t fixed_structure_length, uint32_t ctrl_params_total_length);

// ---- Feature-page cache ----
struct SA_FeatureSlot {
    uint8_t page;
    uint8_t subpage;
    const char* name;  // member name used in diagnostics
    uint16_t offset;   // position inside the 152-byte cache
    uint16_t size;     // page header plus data capacity
};

enum : unsigned {
    SA_SLOT_CACHE,
    SA_SLOT_LU_CACHE,
    SA_SLOT_RAID,
    SA_SLOT_BACKUP,
    SA_SLOT_BACKGROUND,
    SA_SLOT_BACKGROUND_ERASE,
    SA_SLOT_CONNECTIVITY,
    SA_SLOT_DRIVE,
    SA_SLOT_ENCRYPTION,
    SA_SLOT_IO,
    SA_SLOT_POWER_MANAGEMENT,
    SA_SLOT_SOFTWARE_RAID,
    SA_SLOT_COLOSSUS,
    SA_SLOT_MISCELLANEOUS,
    SA_SLOT_NVME,
    SA_SLOT_PERFORM_DEVICE_MGMT,
    SA_SLOT_OOB_COMMAND,
    SA_SLOT_ID_CONTROLLER,
    SA_SLOT_SET_CONTROLLER_PARAMS,
    SA_FEATURE_SLOT_COUNT
};

// The slot table, in cache order.
const SA_FeatureSlot* saFeatureSlots();
// Slot index for a (page, subpage) pair, or -1 when the pair has no slot.
int saFindFeatureSlot(uint8_t page, uint8_t subpage);

// A capability bit of the feature pages: its slot, data byte and mask.
struct SA_FeatureBit {
    unsigned slot;
    unsigned byte;
    uint8_t mask;
};
constexpr SA_FeatureBit SA_FEATURE_FAMILY_ID = {SA_SLOT_MISCELLANEOUS, 3, 0x02};
constexpr SA_FeatureBit SA_FEATURE_SOFTWARE_RAID = {SA_SLOT_SOFTWARE_RAID, 0, 0x01};
constexpr SA_FeatureBit SA_FEATURE_ENCRYPTION = {SA_SLOT_ENCRYPTION, 0, 0x01};

enum SA_FeatureEventKind : uint8_t {
    SA_FEATURE_TOTAL_TOO_LONG,  // starting header claims more than the reply holds
    SA_FEATURE_PAGE_TOO_LONG,   // known page longer than its slot (truncated copy)
    SA_FEATURE_UNKNOWN_PAGE,    // page without a slot, skipped
};

struct SA_FeatureEvent {
    SA_FeatureEventKind kind;
    uint8_t page;
    uint8_t subpage;
    uint8_t slot;     // SA_FEATURE_PAGE_TOO_LONG only
    uint32_t length;  // wTotalLength or wPageLength
};

// A 240-byte reply holds at most 59 pages, plus the one total-length event.
constexpr unsigned SA_FEATURE_MAX_EVENTS = 64;

struct SA_FeatureWalkResult {
    unsigned event_count;
    SA_FeatureEvent events[SA_FEATURE_MAX_EVENTS];
    unsigned pages_stored;
};

// Walks a 240-byte sense-feature reply into the 152-byte cache (zeroed first) and records, in walk
// order, every diagnostic the caller must log. Never reads outside the reply.
void saWalkFeaturePages(const uint8_t* reply, uint8_t* cache, SA_FeatureWalkResult* result);

// Data byte n of a slot in the cache (after its page header).
inline uint8_t saFeatureDataByte(const uint8_t* cache, unsigned slot, unsigned n)
{
    return cache[saFeatureSlots()[slot].offset + SA_SF_PAGE_HEADER_SIZE + n];
}

// ---- PCI values ----
#define SA_PCI_VALUES(X)                    \
    X(PCI_VALUE_VENDOR_DEVICE, 1)           \
    X(PCI_VALUE_SUBSYSTEM_VENDOR_DEVICE, 2) \
    X(PCI_VALUE_MAX_LINK_RATE, 3)           \
    X(PCI_VALUE_MAX_LINK_WIDTH, 4)          \
    X(PCI_VALUE_GENERATION, 5)              \
    X(PCI_VALUE_LINK_WIDTH, 6)
enum : uint8_t { SA_PCI_VALUES(SC_ENUMERATOR) };

enum SA_PCIValueResult { SA_PCI_VALUE_OK, SA_PCI_VALUE_NOT_REPORTED, SA_PCI_VALUE_INVALID_KIND };

// Decodes one PCI value kind from an identify reply; *value is 0 unless the result is OK.
SA_PCIValueResult saDecodePCIValue(const uint8_t* identify, uint8_t kind, uint32_t* value);

// ---- Text conversions ----
// Decimal text of value; returns destination.
char* SA_ultoa(unsigned long value, char* destination);
// Text of value in base (digits above 9 are 'A'...; base 1 writes value '1's); returns destination.
// A null destination or base 0 does nothing.
char* __SA_ultoa(unsigned long value, char* destination, unsigned base);
// Fixed-width, blank-padded controller field to text; returns destination.
char* __SA_ConvertCharBufferToString(const char* source, size_t source_length, char* destination,
                                     size_t destination_size, int skip_leading_blanks, int trim_trailing_blanks,
                                     int accept_any_character);
// Copies source up to the first byte below 0x20, 0x7F or 0x80 and above (no trimming); the copy
// never exceeds destination_size - 1 characters and is terminated. Returns destination.
char* saCopyPrintablePrefix(const char* source, size_t source_length, char* destination, size_t destination_size);
// The 4-character firmware revision as it is, stopping at a zero byte; terminated. Returns destination.
char* saCopyFirmwareRevision(const uint8_t* identify, char* destination, size_t destination_size);
// "a:b:c.d" from the four bytes of a PCI location value, most significant first (16 bytes suffice).
char* saFormatPCILocation(uint32_t location, char* destination);

// ---- Slot number ----
// The identify slot and the value that means unknown: the u16 at 453 (unknown 0xFFFF) when the
// fixed-structure length exceeds 453, else the byte at 189 (unknown 0xFF); unknown when !valid.
void saDecodeIdentifySlot(const uint8_t* identify, bool valid, uint32_t* slot, uint32_t* unknown);
struct SA_SlotInputs {
    bool identify_valid;
    const uint8_t* identify;  // may be null when !identify_valid
    bool software_raid;
    bool descriptor_slot_present;  // slot type starts with 'S' and slot number readable as 4 bytes
    uint32_t descriptor_slot;
};

// Writes the slot text ("<decimal>", "0b" or "UNKNOWN") into destination, zero-terminated. A
// number whose text does not fit gives "UNKNOWN" rather than a cut-off number. Returns destination.
char* saFormatSlot(const SA_SlotInputs& in, char* destination, size_t destination_size);

#endif
