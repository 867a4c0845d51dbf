// Linux side of the system core: the protocol paths behind the transport's dispatch, and the pure
// builders and decoders they use (tested on their own, without a device).
#ifndef SYSC_LINUX_X86_H
#define SYSC_LINUX_X86_H

#include <cstddef>
#include <cstdint>
#include <linux/cciss_ioctl.h>
#include <scsi/sg.h>

#include "sysc.h"

// One command as the protocol paths see it. Outputs start as the caller's values and are copied
// back, so fields a path does not write keep them.
typedef struct SC_Command {
    uint32_t direction;
    uint32_t timeout;
    uint8_t* cdb;
    uint8_t cdbLength;
    void* data;
    uint32_t dataLength;
    void* sense;
    uint32_t senseSize;
    uint16_t commandStatus;  // out
    uint8_t scsiStatus;      // out
    int sysError;            // out: errno of the failed ioctl, 0 when it returned (the SIS status hides it)
} SC_Command;

// Request codes.
enum : unsigned long {
    SC_IOCTL_CCISS_PASSTHRU = 0xC058420BUL,
    SC_IOCTL_CCISS_BIG_PASSTHRU = 0xC0604212UL,
    SC_IOCTL_CCISS_GETPCIINFO = 0x80084201UL,
    SC_IOCTL_AAC_SEND_FIB = 0x42008UL,
    SC_IOCTL_AAC_SEND_RAW_SRB = 0x4204CUL,
    SC_IOCTL_AAC_RESET = 0x42170UL,
    SC_IOCTL_AAC_GET_PCI_INFO = 0x4211CUL,
    SC_IOCTL_SG_IO = 0x2285UL,
    SC_IOCTL_CSMI_SSP_PASSTHRU = 0xCC770018UL
};

// Dispatch: sends the command on the open node through the path of the protocol.
// Result: the low-level status (0 the request reached the driver and came back).
uint32_t scSendCommand(int fd, uint16_t protocol, const uint8_t address[16], SC_Command* cmd);

// ---- Busy drivers ----
// Time as the retry of a busy driver sees it; the transport uses the system's monotonic clock.
class SC_Clock {
public:
    virtual ~SC_Clock() = default;
    virtual uint64_t NowMs() = 0;
    virtual void SleepMs(uint32_t milliseconds) = 0;
};
SC_Clock& scSystemClock();

enum : uint32_t {
    SC_BUSY_BUDGET_MS = 10000,    // a command may be refused as busy for this long in all
    SC_BUSY_FIRST_PAUSE_MS = 50,  // pauses double from here
    SC_BUSY_LONGEST_PAUSE_MS = 2000
};

// Resending a refused request: hpsa answers EAGAIN while its passthrough slots are taken, smartpqi
// EBUSY during a firmware activation, aacraid EBUSY while the adapter resets. Each refusal waits a
// growing pause; after the budget the refusal stands.
class SC_BusyRetry {
public:
    explicit SC_BusyRetry(SC_Clock& clock, uint32_t budgetMs = SC_BUSY_BUDGET_MS);
    // Called after an attempt that failed with error (0 when it reached the driver). True when the
    // same request is to be sent again; the pause has then been taken and logged.
    bool Again(int error);
    uint32_t retries() const { return retries_; }
    static bool IsBusy(int error);

private:
    SC_Clock& clock_;
    uint32_t budgetMs_;
    uint64_t startMs_;
    uint32_t nextPauseMs_ = SC_BUSY_FIRST_PAUSE_MS;
    uint32_t retries_ = 0;
};
// Trace name of a protocol code ("CISS", ..., "Unknown").
const char* scProtocolName(uint16_t protocol);
// Writes the command trace entry: level 1 when a status is not 0, level 3 otherwise.
void scTraceCommand(uint16_t protocol, const SC_Command* cmd, uint32_t lowLevelStatus);

// ---- BMIC framing and the CISS/PQI path (sysc_ciss.cpp) ----
// Fills the 10-byte BMIC CDB of the request.
void scBuildBMICCDB(const _BMICRequest* request, uint8_t cdb[10]);
// Timeout in seconds sent on CISS/PQI: 30 to 600.
uint32_t scCissTimeout(uint32_t seconds);
// CISS direction bits: write 1, bidirectional 3, read 2, else 0; always 0 without data.
uint8_t scCissDirection(uint32_t direction, uint32_t dataLength);
// 1 when the transfer needs the big passthrough (does not fit the 16-bit length).
int scCissUsesBigPassthru(uint32_t dataLength);
// Chunk size of the big passthrough: length / 31 rounded up to a multiple of 1024.
uint32_t scCissChunkSize(uint32_t dataLength);
// Fill the passthrough structures (zeroed first). Result 1, or 0 when the CDB does not fit.
int scBuildCissPassthru(IOCTL_Command_struct* ioc, const uint8_t address[16], const SC_Command* cmd);
int scBuildCissBigPassthru(BIG_IOCTL_Command_struct* ioc, const uint8_t address[16], const SC_Command* cmd);
// The CISS request a transfer travels in. hpsa's ioctl handler (hpsa_ioctl) knows CCISS_PASSTHRU and
// CCISS_BIG_PASSTHRU; smartpqi's (pqi_ioctl) only CCISS_PASSTHRU and answers EINVAL to the big one.
enum SC_CissRequest { SC_CISS_REGULAR, SC_CISS_BIG, SC_CISS_REFUSED };
SC_CissRequest scCissRequestFor(uint16_t protocol, uint32_t dataLength);
uint32_t scSendCISS(int fd, uint16_t protocol, const uint8_t address[16], SC_Command* cmd);

// ---- SIS path (sysc_linux_sis.cpp) ----
enum {
    SC_SRB_SIZE = 68,          // with one scatter-gather entry
    SC_SRB_SIZE_NO_DATA = 56,  // direction none
    SC_SRB_REPLY_SIZE = 52,
    SC_SRB_REPLY_SENSE_SIZE = 32,
    SC_SRB_BUFFER_SIZE = SC_SRB_SIZE + SC_SRB_REPLY_SIZE,
    // SRB field offsets
    SC_SRB_FUNCTION = 0,
    SC_SRB_CHANNEL = 4,
    SC_SRB_ID = 8,
    SC_SRB_LUN = 12,
    SC_SRB_TIMEOUT = 16,
    SC_SRB_FLAGS = 20,
    SC_SRB_COUNT = 24,
    SC_SRB_RETRY = 28,
    SC_SRB_CDB_SIZE = 32,
    SC_SRB_CDB = 36,
    SC_SRB_SG_COUNT = 52,
    SC_SRB_SG_ADDRESS = 56,
    SC_SRB_SG_LENGTH = 64,
    // reply field offsets, from the end of the SRB
    SC_SRB_REPLY_STATUS = 0,
    SC_SRB_REPLY_SRB_STATUS = 4,
    SC_SRB_REPLY_SCSI_STATUS = 8,
    SC_SRB_REPLY_XFER_LENGTH = 12,
    SC_SRB_REPLY_SENSE_LENGTH = 16,
    SC_SRB_REPLY_SENSE = 20
};
// SRB status as aacraid's completion handler (aac_srb_callback) reads it: the low six bits; only
// success and data overrun (which also stands for an underrun) mean the command was delivered.
enum { SC_SRB_STATUS_MASK = 0x3F, SC_SRB_STATUS_SUCCESS = 0x01, SC_SRB_STATUS_DATA_OVERRUN = 0x12 };
// SRB flags word: the data direction.
enum : uint32_t { SC_SRB_FLAG_DATA_IN = 0x40, SC_SRB_FLAG_DATA_OUT = 0x80 };
// The carrying BMIC write of the wrapped request addresses the SSP passthrough control code.
enum : uint8_t { SC_SIS_WRAP_ADDRESS_HIGH = 0x18, SC_SIS_WRAP_ADDRESS_LOW = 0x68 };
// The SIS low-level status of a reply: 0 delivered, SC_SIS_STATUS_SRB_FAILED otherwise.
uint32_t scSisReplyStatus(uint32_t replyStatus, uint32_t srbStatus);
// Builds the raw SRB for bus/target/LUN into buffer (SC_SRB_BUFFER_SIZE bytes, zeroed first);
// *srbSize receives the SRB's own size. Result: 0, or SC_SIS_STATUS_NOT_SENT when it cannot be sent.
uint32_t scBuildSisSrb(uint8_t* buffer, uint8_t bus, uint8_t target, uint8_t lun, const SC_Command* cmd,
                       uint32_t* srbSize);
// 1 when the device is reached with a direct SRB rather than the wrapped request.
int scSisUsesDirectRequest(const uint8_t address[16]);
// The carrying BMIC write CDB of the wrapped request for a structure of the given size.
void scBuildSisWrapCDB(uint8_t cdb[16], uint16_t structureSize);
uint32_t scSendSIS(int fd, const uint8_t address[16], SC_Command* cmd);

// Adapter FIB exchange used by discovery.
enum {
    SC_FIB_SIZE = 2048,
    SC_FIB_HEADER_SIZE = 32,
    SC_FIB_CLEARED_SIZE = 512,  // bytes zeroed before each request, also the size handed back
    // header fields
    SC_FIB_XFER_STATE = 0,
    SC_FIB_COMMAND = 4,
    SC_FIB_STRUCT_TYPE = 6,
    SC_FIB_SIZE_FIELD = 8,
    SC_FIB_SENDER_SIZE = 10,
    SC_FIB_XFER_STATE_VALUE = 1,
    SC_FIB_STRUCT_TYPE_VALUE = 4,
    SC_FIB_REQUEST_DATA_SIZE = 4,
    SC_FIB_ADAPTER_INFO = 703,
    SC_FIB_SUPPLEMENT_ADAPTER_INFO = 706,
    SC_FIB_INFO_OPTIONS = 80,     // data offset of the options word in the 703 reply (bit 16)
    SC_FIB_SUPPLEMENT_BUS = 200,  // data offsets in the 706 reply
    SC_FIB_SUPPLEMENT_TARGET = 202,
    SC_FIB_SUPPLEMENT_LUN = 204
};
// Bit of the 703 reply's options word: the adapter answers the supplement (706) request.
constexpr uint32_t SC_FIB_OPTION_SUPPLEMENT = 1u << 16;
// Prepares the FIB (first 512 bytes zeroed, header filled) for the command.
void scBuildAdapterFib(uint8_t* fib, uint16_t command);

// ---- CSMI path and the SSP passthrough structure (sysc_csmi.cpp) ----
#define SC_SSP_FIELDS(X)           \
    X(SC_SSP_HEADER_LENGTH, 28)    \
    X(SC_SSP_TIMEOUT, 12)          \
    X(SC_SSP_CONTROL_CODE, 16)     \
    X(SC_SSP_RETURN_CODE, 20)      \
    X(SC_SSP_LENGTH, 24)           \
    X(SC_SSP_PHY, 28)              \
    X(SC_SSP_PORT, 29)             \
    X(SC_SSP_SAS_ADDRESS, 32)      \
    X(SC_SSP_LUN, 40)              \
    X(SC_SSP_CDB_LENGTH, 48)       \
    X(SC_SSP_CDB, 52)              \
    X(SC_SSP_FLAGS, 68)            \
    X(SC_SSP_DATA_LENGTH, 96)      \
    X(SC_SSP_DATA_PRESENT, 104)    \
    X(SC_SSP_STATUS, 105)          \
    X(SC_SSP_RESPONSE_LENGTH, 106) \
    X(SC_SSP_RESPONSE, 108)        \
    X(SC_SSP_DATA_BYTES, 364)      \
    X(SC_SSP_DATA, 368)            \
    X(SC_SSP_OVERHEAD, 372)
enum { SC_SSP_FIELDS(SC_ENUMERATOR) };
// Port byte value of an SSP passthrough that may go out through any port.
constexpr uint8_t SC_SSP_PORT_ANY = 0xFF;
// CSMI data direction flags: 1 read, 2 write, 3 bidirectional, 4 none, 0 otherwise.
uint32_t scSspFlags(uint32_t direction);
// Allocates and fills the SSP passthrough structure (data length + 372 bytes) that the SIS wrapped
// request carries; *size receives its size. Null when it cannot be allocated or the CDB is too long.
uint8_t* scBuildSspPassthru(const uint8_t lunAddress[8], const SC_Command* cmd, uint32_t* size);
// Copies the sense data of an SSP response that carries it into the command's sense buffer, at most
// its size; params is the parameter block (the structure past its header).
void scCopySspSense(const uint8_t* params, SC_Command* cmd);
uint32_t scSendCSMI(int fd, const uint8_t address[16], SC_Command* cmd);

// ---- SG_IO path (sysc_sgio.cpp) ----
// Fills the sg_io_hdr (zeroed first) for the command.
void scBuildSgIoHdr(sg_io_hdr_t* hdr, SC_Command* cmd);
// Low-level status of an SG_IO that returned: EIO when the host adapter or the driver reports an
// error (a driver status of sense alone is the SCSI status's business), else 0.
uint32_t scSgIoOutcome(const sg_io_hdr_t* hdr);
uint32_t scSendSGIO(int fd, SC_Command* cmd);

// ---- Discovery helpers (sysc_linux_x86.cpp) ----
// PCI location from the 8-byte PCI information reply: (bus << 16) + (device << 8) + function.
uint32_t scPciLocationFromInfo(const uint8_t info[8]);
// 1 when path lies inside the directory prefix (equal, or continuing with '/').
int scPathWithin(const char* path, const char* prefix);
// Parses the character major of a "/proc/devices" line that mentions "aac"; 1 found, else 0.
int scParseAacMajorLine(const char* line, unsigned int* major);
// Bus and device number of a PCI system path ending in "dddd:bb:dd.f"; 1 parsed, else 0.
int scParsePciAddress(const char* systemPath, unsigned int* bus, unsigned int* device);
// 1 when aacraid's PCI information reply (aac_get_pci_info: u32 bus, u32 slot) names this bus and device.
int scAacPciInfoMatches(const uint8_t reply[8], unsigned int bus, unsigned int device);
// The /dev/aacN minors to try for a controller: its host-order instance first, then 0 to hosts.
int scAacCandidateMinors(int instance, int aacraidHosts, int* minors, int capacity);

#endif
