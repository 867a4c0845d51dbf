// CISS path (hpsa family and smartpqi): the regular and the big passthrough, and the PCI information.
#include <linux/cciss_ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string>

#include "emu_driver.hpp"

namespace zev::emu {

namespace {

static_assert(kReqPassthru == CCISS_PASSTHRU && kReqBigPassthru == CCISS_BIG_PASSTHRU &&
                  kReqPciInfo == CCISS_GETPCIINFO,
              "request numbers of the Linux headers");

// ---- the passthrough request (linux/cciss_ioctl.h), offsets in it ----------------------------
static_assert(offsetof(IOCTL_Command_struct, LUN_info) == kCissLun);
static_assert(offsetof(IOCTL_Command_struct, Request) + offsetof(RequestBlock_struct, CDB) == kCissCdb);
static_assert(offsetof(IOCTL_Command_struct, error_info) == kCissErrorInfo &&
              sizeof(ErrorInfo_struct) == kCissErrorInfoSize);
static_assert(offsetof(IOCTL_Command_struct, error_info) + offsetof(ErrorInfo_struct, CommandStatus) ==
              kCissCommandStatus);
static_assert(offsetof(IOCTL_Command_struct, error_info) + offsetof(ErrorInfo_struct, SenseInfo) == kCissSenseInfo);
static_assert(offsetof(IOCTL_Command_struct, buf_size) == kCissBufSize);
static_assert(offsetof(IOCTL_Command_struct, buf) == kCissBuf && sizeof(IOCTL_Command_struct) == kCissSize);
static_assert(offsetof(BIG_IOCTL_Command_struct, malloc_size) == kBigMallocSize);
static_assert(offsetof(BIG_IOCTL_Command_struct, buf_size) == kBigBufSize);
static_assert(offsetof(BIG_IOCTL_Command_struct, buf) == kBigBuf && sizeof(BIG_IOCTL_Command_struct) == kBigSize);

// The transfer direction in the top two bits of the type byte.
constexpr uint8_t kXferShift = 6;
constexpr uint8_t kXferWrite = 1;
constexpr uint8_t kXferRead = 2;
constexpr uint8_t kTypeMask = 7;  // TYPE_CMD is 0

// CISS command status values.

// ---- PCI information ----------------------------------------------------------------------
static_assert(sizeof(cciss_pci_info_struct) == kPciInfoSize);

Dir XferDir(uint8_t xfer)
{
    return xfer == kXferWrite ? Dir::Write : xfer == kXferRead ? Dir::Read : xfer == 3 ? Dir::Both : Dir::None;
}

// hpsa_passthru_ioctl, hpsa_big_passthru_ioctl and pqi_passthru_ioctl each name their own refusals.
std::string Rule(bool pqi, bool big, const char* what)
{
    return std::string(pqi   ? "pqi_passthru_ioctl: "
                       : big ? "hpsa_big_passthru_ioctl: "
                             : "hpsa_passthru_ioctl: ") +
           what;
}

gboolean Passthru(IoctlCall& call, bool big)
{
    CommandRecord& rec = call.rec;
    CtrlState& cs = call.cs;
    rec.ioctl = big ? "big_passthru" : "passthru";
    UMockdevIoctlData* hdr = call.Resolve(call.argp, big ? kBigSize : kCissSize);
    if (!hdr) return call.Finish(-1, EFAULT);
    const Bytes h = Copy(hdr);
    const uint8_t cdb_len = GetU8(h, kCissCdbLength);
    const uint8_t type = GetU8(h, kCissType);
    const uint8_t xfer = type >> kXferShift;
    const bool writes = xfer & kXferWrite, reads = xfer & kXferRead;
    const uint32_t buf_size = big ? GetLE32(h, kBigBufSize) : GetLE16(h, kCissBufSize);
    const uint64_t bufp = GetLE64(h, big ? kBigBuf : kCissBuf);
    rec.cdb.assign(h.begin() + kCissCdb, h.begin() + kCissCdb + std::min<size_t>(cdb_len, kCissCdbMax));
    rec.dir = XferDir(xfer);
    rec.data_length = buf_size;
    const bool pqi = IsSmartpqi(call.driver());
    // CAP_SYS_RAWIO, then the request's own consistency.
    if (!call.privileged()) return call.Refuse(EPERM, Rule(pqi, big, "caller lacks CAP_SYS_RAWIO"));
    if (buf_size < 1 && xfer != 0) return call.Refuse(EINVAL, Rule(pqi, big, "data phase without a buffer"));
    if (cdb_len > kCissCdbMax) return call.Refuse(EINVAL, Rule(pqi, big, "CDB longer than 16 bytes"));
    if (pqi && (type & kTypeMask) != 0) return call.Refuse(EINVAL, "pqi_passthru_ioctl: request type is not TYPE_CMD");
    // hpsa_big_passthru_ioctl: one piece at most MAX_KMALLOC_SIZE, at most SG_ENTRIES_IN_CMD pieces.
    if (big && GetLE32(h, kBigMallocSize) > kBigMaxMalloc)
        return call.Refuse(EINVAL, "hpsa_big_passthru_ioctl: malloc_size above 128000");
    if (big && buf_size > GetLE32(h, kBigMallocSize) * kBigMaxEntries)
        return call.Refuse(EINVAL, "hpsa_big_passthru_ioctl: buffer larger than 32 pieces of malloc_size");
    UMockdevIoctlData* buf = nullptr;
    if (buf_size > 0) {
        buf = call.Resolve(bufp, buf_size);
        if (!buf) return call.Finish(-1, EFAULT);
    }
    const Bytes lun(h.begin() + kCissLun, h.begin() + kCissLun + kCissLunSize);
    const bool to_ctrl = std::all_of(lun.begin(), lun.end(), [](uint8_t v) { return v == 0; });
    const int disk = to_ctrl ? -1 : cs.fw->FindDiskByLun(lun);
    rec.target = to_ctrl ? "controller" : disk >= 0 ? "disk" + std::to_string(disk) : "none";
    ScsiCommand cmd;
    cmd.cdb = rec.cdb;
    cmd.dir = rec.dir;
    if (writes && buf) cmd.data_out = Copy(buf);
    if (reads) cmd.data_in_length = buf_size;
    if (writes) rec.data = cmd.data_out;
    const Fault* f = call.PickFault(&rec.cdb, -1, to_ctrl ? "controller" : "disk");
    if (call.FailsIoctl(f)) return TRUE;

    ScsiResult r;
    if (!to_ctrl && disk < 0) {
        r.no_device = true;
    } else if (!FaultRejects(f)) {
        r = call.Execute(disk, cmd);
    }
    uint16_t status = kCmdSuccess;
    uint32_t residual = 0;
    if (reads) {
        Bytes out = r.data_in;
        if (out.size() > buf_size) {
            status = kCmdDataOverrun;
        } else if (out.size() < buf_size && !r.no_device && r.scsi_status == 0) {
            status = kCmdDataUnderrun;
            residual = buf_size - static_cast<uint32_t>(out.size());
        }
        out.resize(buf_size, 0);  // the driver hands back the whole buffer, zero filled
        call.DamageData(f, out);
        Store(buf, 0, out);
        if (!writes) rec.data = out;
    }
    if (r.scsi_status) status = kCmdTargetStatus;
    if (r.no_device) status = kCmdInvalid;
    if (call.OverrideStatus(f, r)) status = r.scsi_status ? kCmdTargetStatus : status;
    if (f && f->command_status >= 0) {
        status = static_cast<uint16_t>(f->command_status);
        rec.faulted = true;
    }
    rec.command_status = status;
    rec.scsi_status = r.scsi_status;
    rec.sense = r.sense;
    rec.inner_cdb = r.inner_cdb;
    rec.inner_lun = r.inner_lun;
    Bytes e(kCissErrorInfoSize, 0);
    PutU8(e, kCissScsiStatus - kCissErrorInfo, r.scsi_status);
    PutU8(e, kCissSenseLength - kCissErrorInfo, static_cast<uint8_t>(std::min(r.sense.size(), kCissSenseMax)));
    PutLE16(e, kCissCommandStatus - kCissErrorInfo, status);
    PutLE32(e, kCissResidual - kCissErrorInfo, residual);
    Bytes sense = r.sense;
    sense.resize(kCissSenseMax, 0);
    PutBytes(e, kCissSenseInfo - kCissErrorInfo, sense);
    Store(hdr, kCissErrorInfo, e);
    return call.Finish(0, 0);
}

}  // namespace

gboolean CissPassthru(IoctlCall& call) { return Passthru(call, false); }
gboolean CissBigPassthru(IoctlCall& call) { return Passthru(call, true); }

gboolean CissPciInfo(IoctlCall& call)
{
    const ControllerConfig& c = call.cs.config;
    const PciLocation at = ParseBdf(c.bdf);
    Bytes b(kPciInfoSize, 0);
    PutU8(b, kPciBus, static_cast<uint8_t>(at.bus));
    PutU8(b, kPciDevFn, static_cast<uint8_t>((at.device << 3) | at.function));
    PutLE16(b, kPciDomain, static_cast<uint16_t>(at.domain));
    PutLE32(b, kPciBoardId, (static_cast<uint32_t>(c.subsystem_device) << 16) | c.subsystem_vendor);
    return call.AnswerBlock("pci_info", "", std::move(b));
}

}  // namespace zev::emu
