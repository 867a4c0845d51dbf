// See fuzz_controller.h: the transport's ioctls answered from the fuzz input.
#include "fuzz_controller.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/cciss_ioctl.h>

#include "storc.h"
#include "sysc_linux_x86.h"

extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...);

namespace {
const uint8_t* g_data = nullptr;
size_t g_size = 0;
size_t g_pos = 0;
unsigned g_commands = 0;
uint32_t g_reportEntryLimit = 0xFFFFFFFFu / 24;

size_t remaining() { return g_size - g_pos; }

// ZEV_FUZZ_TRACE=1 prints each command as it is answered (to check what a seed reaches).
void trace(const uint8_t* cdb, size_t cdbLength, size_t dataLength)
{
    static const bool on = std::getenv("ZEV_FUZZ_TRACE") != nullptr;
    if (!on) return;
    std::fprintf(stderr, "command %u at input byte %zu: cdb", g_commands, g_pos);
    for (size_t i = 0; i < cdbLength; ++i) std::fprintf(stderr, " %02X", cdb[i]);
    std::fprintf(stderr, ", %zu data bytes\n", dataLength);
}

bool take(uint8_t* out, size_t n)
{
    if (remaining() < n) {
        g_pos = g_size;
        return false;
    }
    if (out != nullptr) std::memcpy(out, g_data + g_pos, n);
    g_pos += n;
    return true;
}

struct Answer {
    bool fail;
    int error;
    uint8_t control;
    uint8_t senseLength;
    uint8_t sense[32];
};

// Reads the control part of the next answer; fail is set when the ioctl is to fail.
Answer takeAnswer()
{
    Answer a{};
    ++g_commands;
    if (!take(&a.control, 1) || a.control >= 0xF0) {
        a.fail = true;
        a.error = a.control == 0xFF ? ENOTTY : EIO;
        return a;
    }
    if ((a.control & 0x08) != 0 && (!take(&a.senseLength, 1) || !take(a.sense, sizeof(a.sense)))) {
        a.fail = true;
        a.error = EIO;
    }
    return a;
}

// Copies the reply bytes into buffer (data-in only); the whole reply is consumed either way.
void takeReply(uint8_t* buffer, size_t bufferSize, bool dataIn)
{
    uint8_t length[2];
    if (!take(length, 2)) return;
    size_t n = SC_GetLE16(length);
    if (n > remaining()) n = remaining();
    if (dataIn && buffer != nullptr) std::memcpy(buffer, g_data + g_pos, n < bufferSize ? n : bufferSize);
    g_pos += n;
}

// Cuts the list length of a LUN report answer to the limit.
void limitReport(const uint8_t* cdb, uint8_t* buffer, size_t bufferSize)
{
    if (buffer == nullptr || bufferSize < 4 || (cdb[0] != 0xC2 && cdb[0] != 0xC3 && cdb[0] != 0xC4)) return;
    if (SC_GetBE32(buffer) / 24 > g_reportEntryLimit) SC_PutBE32(buffer, g_reportEntryLimit * 24);
}

template <typename Ioctl>
int answerCiss(Ioctl* ioc, size_t bufferSize)
{
    trace(ioc->Request.CDB, ioc->Request.CDBLen, bufferSize);
    Answer a = takeAnswer();
    if (a.fail) {
        errno = a.error;
        return -1;
    }
    ioc->error_info.ScsiStatus = (a.control & 0x08) ? 0x02 : 0x00;
    ioc->error_info.CommandStatus = a.control & 0x07;
    if (a.control & 0x08) {
        ioc->error_info.SenseLen = a.senseLength;
        std::memcpy(ioc->error_info.SenseInfo, a.sense, sizeof(ioc->error_info.SenseInfo));
    }
    const bool dataIn = (ioc->Request.Type.Direction & XFER_READ) != 0;
    takeReply(ioc->buf, bufferSize, dataIn);
    if (dataIn) limitReport(ioc->Request.CDB, ioc->buf, bufferSize);
    return 0;
}

int answerSrb(uint8_t* srb)
{
    trace(srb + SC_SRB_CDB, SC_GetLE32(srb + SC_SRB_CDB_SIZE) & 0x1F, SC_GetLE32(srb + SC_SRB_SG_LENGTH));
    Answer a = takeAnswer();
    if (a.fail) {
        errno = a.error;
        return -1;
    }
    uint32_t srbSize = SC_GetLE32(srb + SC_SRB_COUNT);
    fuzz_support::require(srbSize == SC_SRB_SIZE || srbSize == SC_SRB_SIZE_NO_DATA, "SRB size");
    uint8_t* reply = srb + srbSize;
    std::memset(reply, 0, SC_SRB_REPLY_SIZE);
    SC_PutLE32(reply + SC_SRB_REPLY_STATUS, (a.control & 0x10) ? 1 : 0);
    SC_PutLE32(reply + SC_SRB_REPLY_SRB_STATUS, (a.control & 0x20) ? 0x0A : SC_SRB_STATUS_SUCCESS);
    SC_PutLE32(reply + SC_SRB_REPLY_SCSI_STATUS, (a.control & 0x08) ? 0x02 : 0x00);
    if (a.control & 0x08) {
        SC_PutLE32(reply + SC_SRB_REPLY_SENSE_LENGTH, a.senseLength);
        std::memcpy(reply + SC_SRB_REPLY_SENSE, a.sense, SC_SRB_REPLY_SENSE_SIZE);
    }
    uint8_t* data = nullptr;
    uint32_t length = 0;
    if (srbSize == SC_SRB_SIZE && SC_GetLE32(srb + SC_SRB_SG_COUNT) == 1) {
        data = (uint8_t*)(uintptr_t)SC_GetLE64(srb + SC_SRB_SG_ADDRESS);
        length = SC_GetLE32(srb + SC_SRB_SG_LENGTH);
    }
    const bool dataIn = (SC_GetLE32(srb + SC_SRB_FLAGS) & 0x40) != 0;
    takeReply(data, length, dataIn);
    if (dataIn) limitReport(srb + SC_SRB_CDB, data, length);
    return 0;
}
}  // namespace

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    switch (request) {
    case SC_IOCTL_CCISS_PASSTHRU: {
        auto* ioc = static_cast<IOCTL_Command_struct*>(argument);
        return answerCiss(ioc, ioc->buf_size);
    }
    case SC_IOCTL_CCISS_BIG_PASSTHRU: {
        auto* ioc = static_cast<BIG_IOCTL_Command_struct*>(argument);
        return answerCiss(ioc, ioc->buf_size);
    }
    case SC_IOCTL_AAC_SEND_RAW_SRB:
        return answerSrb(static_cast<uint8_t*>(argument));
    default:
        return __real_ioctl(fd, request, argument);
    }
}

// Every target that talks to the controller starts both cores the same way, with every debug line
// checked (fuzz_support.h) at the highest level.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    InitializeSysCore(SC_HEADER_CHECKSUM);
    InitializeStorageCore(SA_HEADER_CHECKSUM);
    SC_SetDebugCallback(fuzz_support::checkingDebugCallback);
    SC_SetDebugLogLevel(3);
    return 0;
}

namespace fuzz_controller {
void begin(const uint8_t* data, size_t size)
{
    g_data = data;
    g_size = size;
    g_pos = 0;
    g_commands = 0;
}

unsigned commands() { return g_commands; }

void setReportEntryLimit(uint32_t entries) { g_reportEntryLimit = entries; }

SC_DeviceDescriptor* makeController(uint16_t protocol, uint8_t bus, uint8_t target, uint8_t lun)
{
    uint8_t address[SC_ADDRESS_SIZE] = {0};
    address[SC_ADDRESS_BUS] = bus;
    address[SC_ADDRESS_TARGET] = target;
    address[SC_ADDRESS_LUN] = lun;
    address[SC_ADDRESS_FLAGS] = SC_ADDRESS_FLAG_COMMANDS;
    return SC_BuildControllerDescriptor("/sys/devices/pci0000:00/0000:00:03.0/0000:03:00.0", "/dev/null", protocol,
                                        address, 0x030000);
}

}  // namespace fuzz_controller
