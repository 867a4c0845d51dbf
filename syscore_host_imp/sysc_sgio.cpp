// SG_IO path (Linux SCSI generic).
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

#include "sysc_linux_x86.h"

static_assert(SG_IO == SC_IOCTL_SG_IO, "SG_IO request code");

void scBuildSgIoHdr(sg_io_hdr_t* hdr, SC_Command* cmd)
{
    std::memset(hdr, 0, sizeof(*hdr));
    hdr->interface_id = 'S';
    switch (cmd->direction) {
    case SC_TRANSFER_READ:
        hdr->dxfer_direction = SG_DXFER_FROM_DEV;
        break;
    case SC_TRANSFER_WRITE:
        hdr->dxfer_direction = SG_DXFER_TO_DEV;
        break;
    case SC_TRANSFER_BIDIRECTIONAL:
        hdr->dxfer_direction = SG_DXFER_TO_FROM_DEV;
        break;
    default:
        hdr->dxfer_direction = SG_DXFER_NONE;
        break;
    }
    hdr->cmd_len = cmd->cdbLength;
    hdr->cmdp = cmd->cdb;
    hdr->sbp = (unsigned char*)cmd->sense;
    // The header holds the sense size in one byte.
    hdr->mx_sb_len = cmd->sense == nullptr ? 0 : (unsigned char)(cmd->senseSize > 255 ? 255 : cmd->senseSize);
    hdr->dxferp = cmd->data;
    hdr->dxfer_len = cmd->dataLength;
    uint64_t ms = (uint64_t)cmd->timeout * 1000 + 1;
    hdr->timeout = ms > 0xFFFFFFFFull ? 0xFFFFFFFFu : (unsigned int)ms;
}

uint32_t scSgIoOutcome(const sg_io_hdr_t* hdr)
{
    const unsigned kDriverSense = 0x08;  // sense data came with the SCSI status: not a driver error
    return hdr->host_status != 0 || (hdr->driver_status & 0x0F & ~kDriverSense) != 0 ? EIO : 0;
}

uint32_t scSendSGIO(int fd, SC_Command* cmd)
{
    // The kernel's SG_IO handler refuses CDBs shorter than 6 bytes with EMSGSIZE.
    if (cmd->cdbLength < 6) return EMSGSIZE;
    sg_io_hdr_t hdr;
    scBuildSgIoHdr(&hdr, cmd);
    if (ioctl(fd, SG_IO, &hdr) != 0) return (uint32_t)(cmd->sysError = errno);
    cmd->scsiStatus = hdr.masked_status;
    return scSgIoOutcome(&hdr);
}
