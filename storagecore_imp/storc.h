// Storage core: the per-controller data area (CDA), the cached BMIC replies, controller property
// queries and the controller firmware flash. Umbrella header: including it gives the whole public
// interface (and the system core's, which it is built on).
//
// Calling order: InitializeSysCore, InitializeStorageCore once; per controller SA_GetCDASize,
// allocation, SA_InitializeCDA; queries and flash; SA_UnInitializeCDA and release of the memory;
// UnInitializeStorageCore, then UnInitializeSysCore.
#ifndef STORC_H
#define STORC_H

#include <cstddef>
#include <cstdint>

#include "sysc.h"
#include "storc_decode.h"

// Library identity.
#define SA_INTERFACE_VERSION 3u
#define SA_MAJOR_VERSION 30u
#define SA_MINOR_VERSION 7u
#define SA_BUILD_NUMBER 0u
#define SA_BUILD_DATE "2018-01-31"
// Header checksum; callers pass their copy to InitializeStorageCore. Shared with the system core.
#define SA_HEADER_CHECKSUM SC_HEADER_CHECKSUM

#define SA_CDA_SIGNATURE 0xBAAAF000u

// Status of SA_InitializeCDA / SA_ReInitializeCDA.
#define SA_CDA_STATUSES(X)                      \
    X(SA_CDA_STATUS_SUCCESS, 1)                 \
    X(SA_CDA_STATUS_BAD_ARGUMENT, 4)            \
    X(SA_CDA_STATUS_IDENTIFY_FAILED, 18)        \
    X(SA_CDA_STATUS_CONTROLLER_UNSUPPORTED, 34) \
    X(SA_CDA_STATUS_NO_LOCK, 64)
enum : uint16_t { SA_CDA_STATUSES(SC_ENUMERATOR) };

// valid_flags: one bit per cached reply.
#define SA_VALID_FLAGS(X)                          \
    X(SA_VALID_IDENTIFY_CONTROLLER, 0x1)           \
    X(SA_VALID_SENSE_CONTROLLER_PARAMETERS, 0x2)   \
    X(SA_VALID_SENSE_SUBSYSTEM_PARAMETERS, 0x4)    \
    X(SA_VALID_CACHE_CONFIG_STATUS, 0x8)           \
    X(SA_VALID_ENCRYPTION_PASSWORD_RECOVERY, 0x20) \
    X(SA_VALID_ENCRYPTION_BOOT_PASSWORD, 0x40)     \
    X(SA_VALID_ENCRYPTION_KEY_MANAGER, 0x80)       \
    X(SA_VALID_ENCRYPTION_IKEK, 0x400)             \
    X(SA_VALID_ENCRYPTION_BOOT, 0x1000)            \
    X(SA_VALID_SENSE_FEATURE, 0x400000)
enum : uint32_t { SA_VALID_FLAGS(SC_ENUMERATOR) };

// config_valid_flags: validity of the configuration replies.
#define SA_CONFIG_VALID_FLAGS(X)           \
    X(SA_CONFIG_VALID_ARRAY, 0x1)          \
    X(SA_CONFIG_VALID_LOGICAL_DRIVES, 0x4) \
    X(SA_CONFIG_VALID_PHYSICAL_DRIVES, 0x8)
enum : uint32_t { SA_CONFIG_VALID_FLAGS(SC_ENUMERATOR) };

// BMIC commands sent by the storage core.
#define SA_BMIC_COMMANDS(X)                   \
    X(BMIC_IDENTIFY_CONTROLLER, 0x11)         \
    X(BMIC_SENSE_ENCRYPTION, 0x1E)            \
    X(BMIC_SENSE_FEATURE, 0x61)               \
    X(BMIC_SENSE_CONTROLLER_PARAMETERS, 0x64) \
    X(BMIC_SENSE_SUBSYSTEM_PARAMETERS, 0x66)  \
    X(BMIC_SENSE_CACHE_CONFIG_STATUS, 0xC1)   \
    X(BMIC_WRITE_COLLECT_BUFFER, 0xD2)        \
    X(BMIC_FREE_COLLECT_BUFFER, 0xD3)         \
    X(BMIC_FLASH_COLLECTED_IMAGE, 0xF7)
enum : uint8_t { SA_BMIC_COMMANDS(SC_ENUMERATOR) };
constexpr uint32_t SA_SENSE_FEATURE_ADDRESS = 0xFFFF0000u;
// Subpages of BMIC_SENSE_ENCRYPTION (sent as the request's address).
#define SA_ENCRYPTION_SUBPAGES(X)                 \
    X(SA_ENCRYPTION_SUBPAGE_PASSWORD_RECOVERY, 3) \
    X(SA_ENCRYPTION_SUBPAGE_BOOT_PASSWORD, 6)     \
    X(SA_ENCRYPTION_SUBPAGE_IKEK, 7)              \
    X(SA_ENCRYPTION_SUBPAGE_BOOT, 8)              \
    X(SA_ENCRYPTION_SUBPAGE_KEY_MANAGER, 10)
enum : uint8_t { SA_ENCRYPTION_SUBPAGES(SC_ENUMERATOR) };

// Capacity of the CDA's device tables.
constexpr unsigned SA_MAX_PHYSICAL_DEVICES = 384;
constexpr unsigned SA_MAX_LOGICAL_DRIVES = 64;
constexpr unsigned SA_MAX_ARRAYS = 64;

// Per-device state. The physical device table is filled by the physical device side (its record
// layout is described in storc_physical.h); the logical drive and array tables belong to the
// configuration editor, which the tool never runs.
struct SA_PhysicalDeviceRecord {
    void* block;  // owned, released at un-initialisation
    uint32_t block_size;
    uint16_t device_index;
    uint8_t state[18];
};
struct SA_LogicalDriveRecord {
    void* block;  // owned, released at un-initialisation
    uint32_t block_size;
    uint16_t drive_number;
    uint8_t state[18];
};
struct SA_ArrayRecord {
    uint16_t array_number;
    uint8_t state[14];
};

// The controller data area. Allocated by the caller (SA_GetCDASize bytes), filled by
// SA_InitializeCDA. Reply buffers are raw controller bytes: read them with the decoders of
// storc_decode.h, never by casting.
typedef struct SA_CDA {
    uint32_t signature;                      // SA_CDA_SIGNATURE once initialised
    SC_DeviceDescriptor* device_descriptor;  // own copy, released at un-initialisation
    uint8_t identify_level;                  // 1..5
    uint32_t valid_flags;                    // SA_VALID_*
    uint32_t config_valid_flags;             // SA_CONFIG_VALID_*
    uint8_t identify_controller_buffer[SA_IDENTIFY_CONTROLLER_SIZE];
    uint8_t sense_controller_parameters_buffer[SA_SENSE_CONTROLLER_PARAMETERS_SIZE];
    uint8_t sense_cache_config_status_buffer[SA_CACHE_CONFIG_STATUS_SIZE];
    uint8_t sense_subsystem_parameters_buffer[SA_SENSE_SUBSYSTEM_PARAMETERS_SIZE];
    uint8_t encryption_password_recovery_question[256];
    uint8_t encryption_boot_password_status[4];
    uint8_t encryption_ikek_status[4];
    uint8_t encryption_boot_status[8];
    uint8_t encryption_key_manager_status[4];
    uint8_t sense_feature[SA_SENSE_FEATURE_CACHE_SIZE];  // slots of saFeatureSlots()
    SA_PhysicalDeviceRecord physical_devices[SA_MAX_PHYSICAL_DEVICES];
    SA_LogicalDriveRecord logical_drives[SA_MAX_LOGICAL_DRIVES];
    SA_ArrayRecord arrays[SA_MAX_ARRAYS];
    uint32_t drive_erase_buffer_size;
    void* editable_configuration;  // configuration editor's block; released when set
    SC_Mutex* cda_lock;            // recursive; held by every request on this CDA
    SC_Mutex* event_lock;          // controller event queue (never started by the tool)
} SA_CDA;

// ---- Start-up and CDA life cycle (storc_cda_main) ----

// Checks the caller's header checksum; a mismatch writes one level-1 assertion line. No result.
void InitializeStorageCore(const char* checksum);
// Library shut-down; does nothing.
void UnInitializeStorageCore(void);
// Size in bytes of the CDA record the caller allocates per controller.
uint32_t SA_GetCDASize(void);
// Fills a freshly allocated CDA for the descriptor. Result: SA_CDA_STATUS_* (1 = usable).
uint16_t SA_InitializeCDA(SA_CDA* cda, const SC_DeviceDescriptor* descriptor);
// Releases everything the CDA owns (not its memory). Result: 1 (4 for a null CDA).
uint8_t SA_UnInitializeCDA(SA_CDA* cda);
// Clears the cached state and runs the initialisation reads again. Result: SA_CDA_STATUS_*.
uint16_t SA_ReInitializeCDA(SA_CDA* cda);

// Read-once requests: 1 when the named reply is cached and valid, else 0.
uint8_t SA_RequestIdentifyControllerBuffer(SA_CDA* cda);
uint8_t SA_RequestSenseControllerParametersBuffer(SA_CDA* cda);
uint8_t SA_RequestSenseSubsystemParametersBuffer(SA_CDA* cda);
uint8_t SA_RequestSenseCacheConfigStatusBuffer(SA_CDA* cda);

// One BMIC read into buffer. Result: 1 when the transport reports success, else 0.
uint8_t __SA_HelperReadBuffer(const SC_DeviceDescriptor* descriptor, uint8_t command, uint32_t address, uint16_t index,
                              void* buffer, uint32_t length);
// Fills a zeroed BMIC read request (direction read, timeout 0, no sense buffer). Pure.
void saBuildReadRequest(_BMICRequest* request, uint8_t command, uint32_t address, uint16_t index, void* buffer,
                        uint32_t length);

// ---- Feature pages and capabilities (storc_features) ----

// 1 when the identify reply is valid and announces feature pages, else 0.
uint8_t SA_ControllerFeaturePagesSupported(SA_CDA* cda);
// Makes sure the sense_feature cache is filled. Result: 1 when it is valid, else 0.
uint8_t SA_RequestFeaturePages(SA_CDA* cda);
// 1 when the controller reports family-id support (feature pages only), else 0.
uint8_t SA_ControllerSupportsFamilyID(SA_CDA* cda);
// 1 for a software RAID controller, else 0.
uint8_t SA_ControllerIsSoftwareRAID(SA_CDA* cda);
// 1 when the controller supports encryption, else 0.
uint8_t SA_ControllerSupportsEncryption(SA_CDA* cda);

// Encryption status reads: 1 when the reply behind flag is cached and valid, else 0.
uint8_t SA_RequestEncryptionBuffer(SA_CDA* cda, uint8_t subpage, void* destination, uint32_t length, uint32_t flag);
uint8_t SA_RequestEncryptionPasswordRecoveryQuestion(SA_CDA* cda);
uint8_t SA_RequestEncryptionBootPasswordStatus(SA_CDA* cda);
uint8_t SA_RequestEncryptionIKekStatus(SA_CDA* cda);
uint8_t SA_RequestEncryptionBootStatus(SA_CDA* cda);
uint8_t SA_RequestEncryptionKeyManagerStatus(SA_CDA* cda);

// Bit of the encryption status summary: the controller's encryption state blocks flashing.
constexpr uint64_t SA_ENCRYPTION_STATUS_FLASH_BLOCKED = 0x100;
// 64-bit encryption status summary; 0 when the identify reply cannot be read or the controller has
// no encryption. Only SA_ENCRYPTION_STATUS_FLASH_BLOCKED is defined; other bits are 0.
uint64_t SA_GetControllerEncryptionStatus(SA_CDA* cda);

// ---- Controller properties (storc_prop_controller) ----
// String queries: (CDA, destination, destination size); they return the destination, which holds
// an empty text when the source cannot be read or the destination is too small.

char* SA_GetControllerSerialNumber(SA_CDA* cda, char* serial_number_buffer, uint32_t buffer_size);        // > 32
char* SA_GetControllerVendorID(SA_CDA* cda, char* vendor_id_buffer, uint32_t buffer_size);                // > 8
char* SA_GetControllerProductID(SA_CDA* cda, char* product_id_buffer, uint32_t buffer_size);              // > 16
char* SA_GetControllerFirmwareVersion(SA_CDA* cda, char* hardware_version_buffer, uint32_t buffer_size);  // > 4
char* SA_GetControllerFamilyID(SA_CDA* cda, char* family_id_buffer, uint32_t buffer_size);                // > 32
// "bus:device:function" style text such as "0:4:0.0", or "UNKNOWN"; takes no lock.
char* SA_GetControllerPCILocation(SA_CDA* cda, char* location_buffer, uint32_t buffer_size);  // > 16
// Decimal slot, "0b" or "UNKNOWN".
char* SA_GetControllerSlotNumber(SA_CDA* cda, char* slot_number_buffer, uint32_t buffer_size);  // >= 8
// Value of one PCI_VALUE_* kind; 0 when unreadable, not reported or an unknown kind.
uint32_t SA_GetControllerPCIValue(SA_CDA* cda, uint8_t pci_value);

// ---- Controller firmware flash (storc_flash_controller) ----

// Flash check result bits (0 = the controller may be flashed).
enum : uint16_t {
    SA_FLASH_NO_IMAGE = 1,               // empty image, or more chunks than the 16-bit count holds
    SA_FLASH_NO_BMIC = 2,                // the controller does not take BMIC commands
    SA_FLASH_BLOCKED_BY_ENCRYPTION = 4,  // encryption state blocks flashing
};

constexpr uint32_t SA_FLASH_CHUNK_SIZE = 16384;
constexpr uint32_t SA_FLASH_MAX_CHUNKS = 65535;
constexpr uint32_t SA_FLASH_COMMAND_TIMEOUT = 60;

// Progress callback: percentage done, 0 to 100.
typedef void (*SA_FlashProgressCallback)(int percent);

// Flash check for an image of image_size bytes. Result: 0 or SA_FLASH_* bits.
uint16_t SA_CanFlashController(SA_CDA* cda, uint32_t image_size);
// Sends the image in 16 KiB chunks and programs it. Result: 1 when every chunk and the flash command
// were accepted by the controller, else 0. The image is only read.
uint8_t SA_FlashController(SA_CDA* cda, const void* image, uint32_t image_size, SA_FlashProgressCallback progress);
// Discards the controller's collect buffer; the result is ignored.
void __SA_FreeCollectBuffer(SA_CDA* cda);

// Pure pieces of the flash sequence.
// Number of 16 KiB chunks of an image (may exceed SA_FLASH_MAX_CHUNKS).
uint32_t saFlashChunkCount(uint32_t image_size);
// Address of chunk i of n: CDB bytes 2..5 = high n, high i, low n, low i.
uint32_t saFlashChunkPosition(uint16_t chunk_count, uint16_t chunk_number);
// Progress after chunk i of n: (100 * i) / (n + 1).
int saFlashChunkProgress(uint32_t chunk_number, uint32_t chunk_count);
void saBuildFreeCollectBufferRequest(_BMICRequest* request);
void saBuildWriteCollectBufferRequest(_BMICRequest* request, void* chunk, uint32_t length, uint16_t chunk_count,
                                      uint16_t chunk_number);
void saBuildFlashCollectedImageRequest(_BMICRequest* request);
// 1 when a flash command was delivered and accepted: transport result 0, SCSI status GOOD and CISS
// command status success or data underrun; else 0.
uint8_t saFlashCommandAccepted(uint8_t transport_result, const _BMICRequest* request);

// The physical devices behind the controller.
#include "storc_physical.h"

#endif
