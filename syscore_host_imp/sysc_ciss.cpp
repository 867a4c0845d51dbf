// BMIC framing, the CISS/PQI passthrough path and the CISS LUN reports.
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

#include "sysc_linux_x86.h"

static_assert(sizeof(IOCTL_Command_struct) == 0x58, "CISS passthrough layout");
static_assert(sizeof(BIG_IOCTL_Command_struct) == 0x60, "CISS big passthrough layout");
static_assert(CCISS_PASSTHRU == SC_IOCTL_CCISS_PASSTHRU, "CISS passthrough request code");
static_assert(CCISS_BIG_PASSTHRU == SC_IOCTL_CCISS_BIG_PASSTHRU, "CISS big passthrough request code");
static_assert(CCISS_GETPCIINFO == SC_IOCTL_CCISS_GETPCIINFO, "CISS PCI information request code");

void scBuildBMICCDB(const _BMICRequest* request, uint8_t cdb[10])
{
    std::memset(cdb, 0, 10);
    cdb[0] = request->direction == SC_TRANSFER_READ ? SC_OP_BMIC_READ : SC_OP_BMIC_WRITE;
    cdb[SC_BMIC_CDB_INDEX_LOW] = (uint8_t)(request->index & 0xFF);
    SC_PutBE32(cdb + SC_BMIC_CDB_ADDRESS, request->address);
    cdb[SC_BMIC_CDB_COMMAND] = request->command;
    uint32_t length = request->transferLength != 0 ? request->transferLength : request->dataLength;
    SC_PutBE16(cdb + SC_BMIC_CDB_LENGTH, (uint16_t)(length & 0xFFFF));
    cdb[SC_BMIC_CDB_INDEX_HIGH] = (uint8_t)(request->index >> 8);
}

uint32_t scCissTimeout(uint32_t seconds)
{
    if (seconds < 30) return 30;
    if (seconds > 600) return 600;
    return seconds;
}

uint8_t scCissDirection(uint32_t direction, uint32_t dataLength)
{
    if (dataLength == 0) return XFER_NONE;
    switch (direction) {
    case SC_TRANSFER_WRITE:
        return XFER_WRITE;
    case SC_TRANSFER_BIDIRECTIONAL:
        return XFER_RSVD;  // both directions
    case SC_TRANSFER_READ:
        return XFER_READ;
    default:
        return XFER_NONE;
    }
}

// The regular request carries a 16-bit length, so anything from 64 KiB up needs the big one.
int scCissUsesBigPassthru(uint32_t dataLength) { return dataLength > 0xFFFF; }

uint32_t scCissChunkSize(uint32_t dataLength)
{
    uint32_t chunk = dataLength / 31;
    return (chunk + 1023) / 1024 * 1024;
}

namespace {
template <typename Ioctl>
int FillRequest(Ioctl* ioc, const uint8_t address[16], const SC_Command* cmd)
{
    std::memset(ioc, 0, sizeof(*ioc));
    if (cmd->cdbLength > sizeof(ioc->Request.CDB) || (cmd->cdbLength > 0 && cmd->cdb == nullptr)) return 0;
    std::memcpy(ioc->LUN_info.LunAddrBytes, address + SC_ADDRESS_LUNADDR, 8);
    ioc->Request.CDBLen = cmd->cdbLength;
    ioc->Request.Type.Type = TYPE_CMD;
    ioc->Request.Type.Attribute = ATTR_SIMPLE;
    ioc->Request.Type.Direction = scCissDirection(cmd->direction, cmd->dataLength) & 3;
    ioc->Request.Timeout = (HWORD)scCissTimeout(cmd->timeout);
    if (cmd->cdbLength > 0) std::memcpy(ioc->Request.CDB, cmd->cdb, cmd->cdbLength);
    ioc->buf = (BYTE*)cmd->data;
    return 1;
}

template <typename Ioctl>
void TakeReply(const Ioctl& ioc, SC_Command* cmd)
{
    cmd->scsiStatus = ioc.error_info.ScsiStatus;
    cmd->commandStatus = ioc.error_info.CommandStatus;
    if (cmd->sense != nullptr) {
        uint32_t n =
            cmd->senseSize < sizeof(ioc.error_info.SenseInfo) ? cmd->senseSize : sizeof(ioc.error_info.SenseInfo);
        std::memcpy(cmd->sense, ioc.error_info.SenseInfo, n);
    }
}
}  // namespace

int scBuildCissPassthru(IOCTL_Command_struct* ioc, const uint8_t address[16], const SC_Command* cmd)
{
    if (!FillRequest(ioc, address, cmd)) return 0;
    ioc->buf_size = (WORD)cmd->dataLength;
    return 1;
}

int scBuildCissBigPassthru(BIG_IOCTL_Command_struct* ioc, const uint8_t address[16], const SC_Command* cmd)
{
    if (!FillRequest(ioc, address, cmd)) return 0;
    ioc->buf_size = cmd->dataLength;
    ioc->malloc_size = scCissChunkSize(cmd->dataLength);
    return 1;
}

SC_CissRequest scCissRequestFor(uint16_t protocol, uint32_t dataLength)
{
    if (!scCissUsesBigPassthru(dataLength)) return SC_CISS_REGULAR;
    return protocol == SC_PROTOCOL_PQI ? SC_CISS_REFUSED : SC_CISS_BIG;
}

uint32_t scSendCISS(int fd, uint16_t protocol, const uint8_t address[16], SC_Command* cmd)
{
    if (cmd->dataLength > 0 && cmd->data == nullptr) return EINVAL;
    switch (scCissRequestFor(protocol, cmd->dataLength)) {
    case SC_CISS_REFUSED:
        // smartpqi would answer EINVAL to the big request; say so without asking it.
        return EINVAL;
    case SC_CISS_BIG: {
        BIG_IOCTL_Command_struct ioc;
        if (!scBuildCissBigPassthru(&ioc, address, cmd)) return EINVAL;
        if (ioctl(fd, SC_IOCTL_CCISS_BIG_PASSTHRU, &ioc) != 0) return (uint32_t)(cmd->sysError = errno);
        TakeReply(ioc, cmd);
        return 0;
    }
    case SC_CISS_REGULAR:
        break;
    }
    IOCTL_Command_struct ioc;
    if (!scBuildCissPassthru(&ioc, address, cmd)) return EINVAL;
    if (ioctl(fd, SC_IOCTL_CCISS_PASSTHRU, &ioc) != 0) return (uint32_t)(cmd->sysError = errno);
    TakeReply(ioc, cmd);
    return 0;
}

namespace {
// Largest report read. A LUN address carries a 14-bit device index, so no controller names more than
// 16384 devices; a list length beyond that is garbage and must not make us allocate gigabytes.
constexpr uint32_t kMaxReportSize = SC_LUN_REPORT_HEADER + SC_LUN_REPORT_ENTRY * 16384;

// Sends an extended LUN report, reading again with the full size (at most kMaxReportSize) when the
// first allocation was short.
uint8_t* ReportLuns(const SC_DeviceDescriptor* descriptor, uint8_t opcode, uint8_t format, uint32_t firstSize,
                    uint32_t timeout)
{
    uint8_t cdb[SC_LUN_CDB_SIZE] = {0};
    cdb[0] = opcode;
    cdb[SC_LUN_CDB_FORMAT] = format;
    uint32_t size = firstSize;
    for (int pass = 0; pass < 2; ++pass) {
        uint8_t* report = (uint8_t*)_SA_malloc(size, __FILE__, __LINE__);
        if (report == nullptr) return nullptr;
        std::memset(report, 0, size);
        SC_PutBE32(cdb + SC_LUN_CDB_ALLOCATION_LENGTH, size);
        _SCSIRequest request = scMakeSCSIRequest(SC_TRANSFER_READ, timeout, cdb, sizeof(cdb), report, size);
        if (SC_ExecuteSCSICommand(descriptor, &request) != 0) {
            _SA_free(report, __FILE__, __LINE__);
            return nullptr;
        }
        uint64_t needed = (uint64_t)SC_GetBE32(report) + SC_LUN_REPORT_HEADER;
        if (needed <= size || pass == 1) {
            // A list that grew between the two reads is cut to what the second read holds.
            if (needed > size) SC_PutBE32(report, size - SC_LUN_REPORT_HEADER);
            return report;
        }
        _SA_free(report, __FILE__, __LINE__);
        size = needed > kMaxReportSize ? kMaxReportSize : (uint32_t)needed;
    }
    return nullptr;
}
}  // namespace

uint8_t* CISS_Report_PhysicalEx(const SC_DeviceDescriptor* descriptor)
{
    return ReportLuns(descriptor, SC_OP_REPORT_PHYSICAL_LUNS, SC_LUN_FORMAT_PHYSICAL_EXTENDED, 776, 1000);
}

uint8_t* CISS_Report_LogicalEx(const SC_DeviceDescriptor* descriptor)
{
    return ReportLuns(descriptor, SC_OP_REPORT_LOGICAL_LUNS, SC_LUN_FORMAT_LOGICAL_EXTENDED, 512, 0);
}
