// CSMI SAS SSP passthrough: the structure the SIS wrapped request carries, and the CSMI path.
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

#include "sysc_linux_x86.h"

namespace {
// CSMI path request: a header of its own, then the same parameter block as the wrapped structure.
enum {
    kCsmiHeaderSize = 20,
    kCsmiControllerNumber = 0,
    kCsmiLength = 4,
    kCsmiReturnCode = 8,
    kCsmiTimeout = 12,
    // parameter block offsets relative to its start
    kParamPhy = SC_SSP_PHY - SC_SSP_HEADER_LENGTH,
    kParamPort = SC_SSP_PORT - SC_SSP_HEADER_LENGTH,
    kParamSasAddress = SC_SSP_SAS_ADDRESS - SC_SSP_HEADER_LENGTH,
    kParamCdbLength = SC_SSP_CDB_LENGTH - SC_SSP_HEADER_LENGTH,
    kParamCdb = SC_SSP_CDB - SC_SSP_HEADER_LENGTH,
    kParamFlags = SC_SSP_FLAGS - SC_SSP_HEADER_LENGTH,
    kParamDataLength = SC_SSP_DATA_LENGTH - SC_SSP_HEADER_LENGTH,
    kParamDataPresent = SC_SSP_DATA_PRESENT - SC_SSP_HEADER_LENGTH,
    kParamResponseLength = SC_SSP_RESPONSE_LENGTH - SC_SSP_HEADER_LENGTH,
    kParamResponse = SC_SSP_RESPONSE - SC_SSP_HEADER_LENGTH,
    kParamData = SC_SSP_DATA - SC_SSP_HEADER_LENGTH,
    kParamOverhead = SC_SSP_OVERHEAD - SC_SSP_HEADER_LENGTH
};

bool DataIn(uint32_t direction) { return direction == SC_TRANSFER_READ || direction == SC_TRANSFER_BIDIRECTIONAL; }
bool DataOut(uint32_t direction) { return direction == SC_TRANSFER_WRITE || direction == SC_TRANSFER_BIDIRECTIONAL; }
}  // namespace

uint32_t scSspFlags(uint32_t direction)
{
    switch (direction) {
    case SC_TRANSFER_READ:
        return 1;
    case SC_TRANSFER_WRITE:
        return 2;
    case SC_TRANSFER_BIDIRECTIONAL:
        return 3;
    case SC_TRANSFER_NONE:
        return 4;
    default:
        return 0;
    }
}

uint8_t* scBuildSspPassthru(const uint8_t lunAddress[8], const SC_Command* cmd, uint32_t* size)
{
    if (cmd->cdbLength > 16 || (cmd->cdbLength > 0 && cmd->cdb == nullptr)) return nullptr;
    if (cmd->dataLength > 0 && cmd->data == nullptr) return nullptr;
    uint64_t total = (uint64_t)cmd->dataLength + SC_SSP_OVERHEAD;
    if (total > 0xFFFFFFFFull) return nullptr;
    uint8_t* s = (uint8_t*)_SA_malloc((size_t)total, __FILE__, __LINE__);
    if (s == nullptr) return nullptr;
    std::memset(s, 0, (size_t)total);
    SC_PutLE32(s + 0, SC_SSP_HEADER_LENGTH);
    SC_PutLE32(s + SC_SSP_TIMEOUT, 60);
    SC_PutLE32(s + SC_SSP_CONTROL_CODE, 24);
    SC_PutLE32(s + SC_SSP_LENGTH, (uint32_t)total - SC_SSP_HEADER_LENGTH);
    std::memcpy(s + SC_SSP_LUN, lunAddress, 8);
    s[SC_SSP_CDB_LENGTH] = cmd->cdbLength;
    if (cmd->cdbLength > 0) std::memcpy(s + SC_SSP_CDB, cmd->cdb, cmd->cdbLength);
    SC_PutLE32(s + SC_SSP_FLAGS, scSspFlags(cmd->direction));
    SC_PutLE32(s + SC_SSP_DATA_LENGTH, cmd->dataLength);
    if (DataOut(cmd->direction) && cmd->dataLength > 0) std::memcpy(s + SC_SSP_DATA, cmd->data, cmd->dataLength);
    *size = (uint32_t)total;
    return s;
}

void scCopySspSense(const uint8_t* params, SC_Command* cmd)
{
    if (params[kParamDataPresent] != 2 || cmd->sense == nullptr) return;
    uint32_t n = SC_GetBE16(params + kParamResponseLength);
    if (n > cmd->senseSize) n = cmd->senseSize;
    if (n > SC_SSP_DATA_BYTES - SC_SSP_RESPONSE) n = SC_SSP_DATA_BYTES - SC_SSP_RESPONSE;
    std::memcpy(cmd->sense, params + kParamResponse, n);
}

uint32_t scSendCSMI(int fd, const uint8_t address[16], SC_Command* cmd)
{
    if (cmd->cdbLength > 16 || (cmd->cdbLength > 0 && cmd->cdb == nullptr)) return 1;
    if (cmd->dataLength > 0 && cmd->data == nullptr) return 1;
    uint64_t total = (uint64_t)kCsmiHeaderSize + kParamOverhead + cmd->dataLength;
    if (total > 0xFFFFFFFFull) return 1;
    // The request code claims a size of its own; never hand the driver less than that.
    size_t allocated =
        (size_t)total < _IOC_SIZE(SC_IOCTL_CSMI_SSP_PASSTHRU) ? _IOC_SIZE(SC_IOCTL_CSMI_SSP_PASSTHRU) : (size_t)total;
    uint8_t* s = (uint8_t*)_SA_malloc(allocated, __FILE__, __LINE__);
    if (s == nullptr) return 1;
    std::memset(s, 0, allocated);
    uint8_t* p = s + kCsmiHeaderSize;
    SC_PutLE32(s + kCsmiControllerNumber, SC_GetLE32(address + 4));
    SC_PutLE32(s + kCsmiLength, (uint32_t)total - kCsmiHeaderSize);
    SC_PutLE32(s + kCsmiTimeout, 60);
    p[kParamPhy] = address[0];
    p[kParamPort] = SC_SSP_PORT_ANY;
    std::memcpy(p + kParamSasAddress, address + 8, 8);
    p[kParamCdbLength] = cmd->cdbLength;
    if (cmd->cdbLength > 0) std::memcpy(p + kParamCdb, cmd->cdb, cmd->cdbLength);
    uint32_t flags = cmd->direction == SC_TRANSFER_READ                                                     ? 1
                     : (cmd->direction == SC_TRANSFER_WRITE || cmd->direction == SC_TRANSFER_BIDIRECTIONAL) ? 2
                                                                                                            : 4;
    SC_PutLE32(p + kParamFlags, flags);
    SC_PutLE32(p + kParamDataLength, cmd->dataLength);
    if (DataOut(cmd->direction) && cmd->dataLength > 0) std::memcpy(p + kParamData, cmd->data, cmd->dataLength);

    uint32_t status = 1;
    if (ioctl(fd, SC_IOCTL_CSMI_SSP_PASSTHRU, s) == 0 && SC_GetLE32(s + kCsmiReturnCode) == 0) {
        status = 0;
        if (DataIn(cmd->direction) && cmd->dataLength > 0) std::memcpy(cmd->data, p + kParamData, cmd->dataLength);
        scCopySspSense(p, cmd);
    }
    _SA_free(s, __FILE__, __LINE__);
    return status;
}
