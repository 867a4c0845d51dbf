// System core: controller discovery, device descriptors, command transport, debug log and locks.
// Umbrella header: including it gives the whole public interface.
#ifndef SYSC_H
#define SYSC_H

#include <cstdint>

#include "sysc_debug.h"
#include "sysc_descriptorlist.h"
#include "sysc_platform.h"
#include "sysc_synchronization.h"

// Library identity.
#define SC_INTERFACE_VERSION 3u
#define SC_MAJOR_VERSION 30u
#define SC_MINOR_VERSION 7u
#define SC_BUILD_NUMBER 0u
#define SC_BUILD_DATE "2018-01-31"
// Header checksum: callers pass their copy to InitializeSysCore (and InitializeStorageCore).
#define SC_HEADER_CHECKSUM "5d1c0a7e93b24f68a0c17e52b9d4f3068e2a1c7b"

// Starts the system core: checks the caller's header checksum (a mismatch is only logged at level 1)
// and initialises the global locks. Result: 1 when the checksums match, 0 otherwise.
unsigned int InitializeSysCore(const char* checksum);
// Ends the system core: destroys the localtime lock, then the debug lock.
void UnInitializeSysCore(void);

// Transfer directions.
enum { SC_TRANSFER_READ = 0, SC_TRANSFER_WRITE = 2, SC_TRANSFER_BIDIRECTIONAL = 4, SC_TRANSFER_NONE = 5 };

#pragma pack(push, 1)
// One BMIC command (carried in a 10-byte CDB). The caller zeroes it, fills the inputs and owns the
// buffers; output fields a path does not write keep their values.
typedef struct _BMICRequest {
    uint32_t direction;       // in: SC_TRANSFER_*
    uint32_t timeout;         // in: seconds; 0 lets the protocol path apply its minimum
    uint8_t command;          // in: BMIC command byte
    uint32_t address;         // in: command-specific parameter
    uint16_t index;           // in: drive or LUN index
    void* data;               // in: data buffer (may be null when dataLength is 0)
    uint32_t dataLength;      // in
    uint32_t lowLevelStatus;  // out: 0 reached the driver and came back; else errno or SIS status
    uint16_t commandStatus;   // out: CISS command status (CISS, PQI)
    uint8_t scsiStatus;       // out
    void* sense;              // in: sense buffer, may be null
    uint32_t senseSize;       // in
    uint32_t transferLength;  // in: when non-zero, written into the CDB instead of dataLength
} _BMICRequest;

// One SCSI command.
typedef struct _SCSIRequest {
    uint32_t direction;       // in: SC_TRANSFER_*
    uint32_t timeout;         // in: seconds
    uint8_t* cdb;             // in: CDB (the SIS path may rewrite byte 0 of a REPORT LOGICAL LUNS)
    uint8_t cdbLength;        // in: at most 16
    void* data;               // in
    uint32_t dataLength;      // in
    uint32_t lowLevelStatus;  // out
    uint16_t commandStatus;   // out
    uint8_t scsiStatus;       // out
    void* sense;              // in
    uint32_t senseSize;       // in
} _SCSIRequest;
#pragma pack(pop)
static_assert(sizeof(_BMICRequest) == 50, "packed BMIC request");
static_assert(sizeof(_SCSIRequest) == 48, "packed SCSI request");

// A SCSI request (or the transport's command record, which has the same inputs) filled field by
// field: the inputs given, every output zero.
template <typename Record = _SCSIRequest>
inline Record scMakeSCSIRequest(uint32_t direction, uint32_t timeout, uint8_t* cdb, uint8_t cdbLength, void* data,
                                uint32_t dataLength, void* sense = nullptr, uint32_t senseSize = 0)
{
    Record request = {};
    request.direction = direction;
    request.timeout = timeout;
    request.cdb = cdb;
    request.cdbLength = cdbLength;
    request.data = data;
    request.dataLength = dataLength;
    request.sense = sense;
    request.senseSize = senseSize;
    return request;
}

// Low-level status values of the SIS path.
enum {
    SC_SIS_STATUS_NOT_SENT = 1,
    SC_SIS_STATUS_IOCTL_FAILED = 2,
    SC_SIS_STATUS_NOT_SUPPORTED = 3,
    SC_SIS_STATUS_SRB_FAILED = 4
};

// 1 when the descriptor decodes and allows commands (address flag bit 0), else 2.
uint8_t SC_CanExecuteBMICCommand(const SC_DeviceDescriptor* descriptor);
// As SC_CanExecuteBMICCommand; also logs at level 1 when the descriptor does not decode.
uint8_t SC_CanExecuteSCSICommand(const SC_DeviceDescriptor* descriptor);
// Sends one BMIC command. 0 when it reached the driver and came back (the controller's verdict is in
// the record's statuses and sense), 1 otherwise.
uint8_t SC_ExecuteBMICCommand(const SC_DeviceDescriptor* descriptor, _BMICRequest* request);
// Sends one CDB; result as SC_ExecuteBMICCommand. Calls the observer after every command.
uint8_t SC_ExecuteSCSICommand(const SC_DeviceDescriptor* descriptor, _SCSIRequest* request);

typedef void (*SC_SCSICommandCallback)(_SCSIRequest* request);
// Installs the observer SC_ExecuteSCSICommand calls after every command (null removes it).
void SC_SetSCSICommandCallback(SC_SCSICommandCallback callback);

// Extended CISS REPORT PHYSICAL/LOGICAL LUNS: 8-byte header (bytes 0-3 list length, big-endian) and
// 24-byte entries. The report, to be released with _SA_free, or null when the command failed.
uint8_t* CISS_Report_PhysicalEx(const SC_DeviceDescriptor* descriptor);
uint8_t* CISS_Report_LogicalEx(const SC_DeviceDescriptor* descriptor);

// Sends the driver's reset request with the one-byte reset type; 0 when the ioctl succeeded, else 1.
uint8_t SC_SendResetControllerCommand(const SC_DeviceDescriptor* descriptor, uint8_t resetType);

// errno of the open or ioctl that made the last command of this thread fail; 0 when it reached the
// driver. Lets a caller say why a controller is out of reach (EACCES, EPERM).
int SC_GetLastCommandError(void);

// Why a controller that a supported driver has bound cannot be used.
enum {
    SC_UNUSABLE_NO_SCSI_GENERIC = 1,  // "/sys/class/scsi_generic" is missing: the sg module is not loaded
    SC_UNUSABLE_NO_ACCESS = 2,        // EACCES or EPERM on its node (error holds which)
    SC_UNUSABLE_NODE_UNCONFIRMED = 3  // no aacraid node answers with this controller's PCI bus and slot
};

// One controller discovery had to leave out, with the PCI identity read from sysfs.
typedef struct SC_UnusableController {
    char pciAddress[32];  // "0000:03:00.0"
    char driver[16];
    uint32_t reason;                                                    // SC_UNUSABLE_*
    int error;                                                          // errno for SC_UNUSABLE_NO_ACCESS, else 0
    uint16_t vendorId, deviceId, subsystemVendorId, subsystemDeviceId;  // 0 when unreadable
    struct SC_UnusableController* next;
} SC_UnusableController;

// As SC_CreateControllerDescriptorList, and also lists (when unusable is not null) the controllers it
// left out for one of the reasons above, in discovery order; release them with
// SC_DestroyUnusableControllers.
SC_DescriptorList* SC_CreateControllerDescriptorListReporting(SC_UnusableController** unusable);
void SC_DestroyUnusableControllers(SC_UnusableController* list);
// Fills the record (next = null) for a listed controller found unusable later (a command refused with
// EACCES or EPERM): PCI address and identity from sysfs, the driver it is bound to. 1 on success, 0
// when the descriptor carries no system path.
uint8_t SC_DescribeUnusableController(const SC_DeviceDescriptor* controller, uint32_t reason, int error,
                                      SC_UnusableController* record);

// Unused on this platform: ATA and NVMe passthrough are never possible (2), I/O requests always (1).
uint8_t SC_CanExecuteATACommand(const SC_DeviceDescriptor* descriptor);
uint8_t SC_CanExecuteNVMECommand(const SC_DeviceDescriptor* descriptor);
uint8_t SC_CanExecuteIORequest(const SC_DeviceDescriptor* descriptor);

#endif
