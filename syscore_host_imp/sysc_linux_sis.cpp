// SIS path (aacraid): raw SRB requests, the wrapped request for devices behind the controller, and the
// adapter FIBs used by discovery.
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

#include "sysc_linux_x86.h"

namespace {
uint32_t SrbFlags(uint32_t direction)
{
    switch (direction) {
    case SC_TRANSFER_READ:
        return SC_SRB_FLAG_DATA_IN;
    case SC_TRANSFER_WRITE:
        return SC_SRB_FLAG_DATA_OUT;
    case SC_TRANSFER_BIDIRECTIONAL:
        return SC_SRB_FLAG_DATA_IN | SC_SRB_FLAG_DATA_OUT;
    default:
        return 0;
    }
}

// One raw SRB to bus/target/LUN. Result: the SIS low-level status.
uint32_t SendDirect(int fd, uint8_t bus, uint8_t target, uint8_t lun, SC_Command* cmd)
{
    uint8_t buffer[SC_SRB_BUFFER_SIZE];
    uint32_t srbSize = 0;
    uint32_t status = scBuildSisSrb(buffer, bus, target, lun, cmd, &srbSize);
    if (status != 0) return status;
    if (ioctl(fd, SC_IOCTL_AAC_SEND_RAW_SRB, buffer) != 0) {
        cmd->sysError = errno;
        return cmd->sysError == ENOTTY ? SC_SIS_STATUS_NOT_SUPPORTED : SC_SIS_STATUS_IOCTL_FAILED;
    }
    const uint8_t* reply = buffer + srbSize;
    if (SC_GetLE32(reply + SC_SRB_REPLY_STATUS) != 0) return SC_SIS_STATUS_SRB_FAILED;
    cmd->scsiStatus = (uint8_t)SC_GetLE32(reply + SC_SRB_REPLY_SCSI_STATUS);
    if (cmd->sense != nullptr && cmd->senseSize != 0) {
        uint32_t n = SC_GetLE32(reply + SC_SRB_REPLY_SENSE_LENGTH);
        if (n > cmd->senseSize) n = cmd->senseSize;
        if (n > SC_SRB_REPLY_SENSE_SIZE) n = SC_SRB_REPLY_SENSE_SIZE;
        std::memcpy(cmd->sense, reply + SC_SRB_REPLY_SENSE, n);
    }
    // A selection timeout or an aborted command comes back with reply status 0: only the SRB status
    // says whether the command ran, and a zeroed buffer must not pass for a reply. The SCSI status and
    // sense stay for the caller to see why.
    return scSisReplyStatus(0, SC_GetLE32(reply + SC_SRB_REPLY_SRB_STATUS));
}

// The command travels inside an SSP passthrough structure that a BMIC write carries to the controller.
uint32_t SendWrapped(int fd, const uint8_t address[16], SC_Command* cmd)
{
    uint32_t size = 0;
    uint8_t* wrap = scBuildSspPassthru(address + SC_ADDRESS_LUNADDR, cmd, &size);
    if (wrap == nullptr) return SC_SIS_STATUS_NOT_SENT;
    // The carrying CDB holds the size in 16 bits.
    if (size > 0xFFFF) {
        _SA_free(wrap, __FILE__, __LINE__);
        return SC_SIS_STATUS_NOT_SENT;
    }
    bool dataIn = cmd->direction == SC_TRANSFER_READ || cmd->direction == SC_TRANSFER_BIDIRECTIONAL;
    uint8_t carryCdb[16];
    scBuildSisWrapCDB(carryCdb, (uint16_t)size);
    uint8_t carrySense[32];
    std::memset(carrySense, 0, sizeof(carrySense));
    SC_Command carry =
        scMakeSCSIRequest<SC_Command>(dataIn ? (uint32_t)SC_TRANSFER_BIDIRECTIONAL : (uint32_t)SC_TRANSFER_WRITE, 0,
                                      carryCdb, sizeof(carryCdb), wrap, size, carrySense, sizeof(carrySense));
    carry.commandStatus = cmd->commandStatus;
    uint32_t status =
        SendDirect(fd, address[SC_ADDRESS_BUS], address[SC_ADDRESS_TARGET], address[SC_ADDRESS_LUN], &carry);
    cmd->sysError = carry.sysError;
    // An SRB status failure still carries the device's status and sense; the data only on delivery.
    if (status == 0 || (status == SC_SIS_STATUS_SRB_FAILED && carry.scsiStatus != 0)) {
        cmd->scsiStatus = carry.scsiStatus;
        if (status == 0 && dataIn && cmd->data != nullptr && cmd->dataLength > 0)
            std::memcpy(cmd->data, wrap + SC_SSP_DATA, cmd->dataLength);
        scCopySspSense(wrap + SC_SSP_HEADER_LENGTH, cmd);
    }
    _SA_free(wrap, __FILE__, __LINE__);
    return status;
}
}  // namespace

uint32_t scBuildSisSrb(uint8_t* buffer, uint8_t bus, uint8_t target, uint8_t lun, const SC_Command* cmd,
                       uint32_t* srbSize)
{
    std::memset(buffer, 0, SC_SRB_BUFFER_SIZE);
    bool noData = cmd->direction == SC_TRANSFER_NONE;
    if (cmd->cdbLength > 16 || (cmd->cdbLength > 0 && cmd->cdb == nullptr)) return SC_SIS_STATUS_NOT_SENT;
    if (!noData && (cmd->data == nullptr || cmd->dataLength == 0)) return SC_SIS_STATUS_NOT_SENT;
    uint32_t size = noData ? SC_SRB_SIZE_NO_DATA : SC_SRB_SIZE;
    SC_PutLE32(buffer + SC_SRB_FUNCTION, 0);  // execute SCSI
    SC_PutLE32(buffer + SC_SRB_CHANNEL, bus);
    SC_PutLE32(buffer + SC_SRB_ID, target);
    SC_PutLE32(buffer + SC_SRB_LUN, lun);
    SC_PutLE32(buffer + SC_SRB_TIMEOUT, 0);
    SC_PutLE32(buffer + SC_SRB_FLAGS, SrbFlags(cmd->direction));
    SC_PutLE32(buffer + SC_SRB_COUNT, size);
    SC_PutLE32(buffer + SC_SRB_RETRY, 0);
    SC_PutLE32(buffer + SC_SRB_CDB_SIZE, cmd->cdbLength);
    if (cmd->cdbLength > 0) std::memcpy(buffer + SC_SRB_CDB, cmd->cdb, cmd->cdbLength);
    if (!noData) {
        SC_PutLE32(buffer + SC_SRB_SG_COUNT, 1);
        SC_PutLE64(buffer + SC_SRB_SG_ADDRESS, (uint64_t)(uintptr_t)cmd->data);
        SC_PutLE32(buffer + SC_SRB_SG_LENGTH, cmd->dataLength);
    }
    *srbSize = size;
    return 0;
}

uint32_t scSisReplyStatus(uint32_t replyStatus, uint32_t srbStatus)
{
    if (replyStatus != 0) return SC_SIS_STATUS_SRB_FAILED;
    uint32_t masked = srbStatus & SC_SRB_STATUS_MASK;
    return masked == SC_SRB_STATUS_SUCCESS || masked == SC_SRB_STATUS_DATA_OVERRUN ? 0 : SC_SIS_STATUS_SRB_FAILED;
}

int scSisUsesDirectRequest(const uint8_t address[16])
{
    uint8_t flags = address[SC_ADDRESS_FLAGS];
    if ((flags & (SC_ADDRESS_FLAG_PHYSICAL | SC_ADDRESS_FLAG_LOGICAL)) == 0) return 1;
    const uint8_t* lun = address + SC_ADDRESS_LUNADDR;
    return (lun[SC_LUN_BYTE_MODE] & SC_LUN_MODE_MASK) == 0 &&
           (lun[SC_LUN_BYTE_BUS] & SC_LUN_MODE_MASK) == address[SC_ADDRESS_BUS] &&
           lun[SC_LUN_BYTE_TARGET] == address[SC_ADDRESS_TARGET];
}

void scBuildSisWrapCDB(uint8_t cdb[16], uint16_t structureSize)
{
    std::memset(cdb, 0, 16);
    cdb[0] = SC_OP_BMIC_WRITE;
    cdb[SC_BMIC_CDB_ADDRESS_LOW] = SC_SIS_WRAP_ADDRESS_HIGH;
    cdb[SC_BMIC_CDB_COMMAND] = SC_SIS_WRAP_ADDRESS_LOW;
    SC_PutBE16(cdb + SC_BMIC_CDB_LENGTH, structureSize);
}

uint32_t scSendSIS(int fd, const uint8_t address[16], SC_Command* cmd)
{
    if (scSisUsesDirectRequest(address)) {
        return SendDirect(fd, address[SC_ADDRESS_BUS], address[SC_ADDRESS_TARGET], address[SC_ADDRESS_LUN], cmd);
    }
    return SendWrapped(fd, address, cmd);
}

void scBuildAdapterFib(uint8_t* fib, uint16_t command)
{
    std::memset(fib, 0, SC_FIB_CLEARED_SIZE);
    SC_PutLE32(fib + SC_FIB_XFER_STATE, SC_FIB_XFER_STATE_VALUE);
    SC_PutLE16(fib + SC_FIB_COMMAND, command);
    fib[SC_FIB_STRUCT_TYPE] = SC_FIB_STRUCT_TYPE_VALUE;
    SC_PutLE16(fib + SC_FIB_SIZE_FIELD, SC_FIB_REQUEST_DATA_SIZE);
    SC_PutLE16(fib + SC_FIB_SENDER_SIZE, SC_FIB_CLEARED_SIZE);
    SC_PutLE32(fib + SC_FIB_HEADER_SIZE, 0);
}
