// SG_IO path (Linux SCSI generic): any node of the hpsa family and smartpqi, controller or disk.
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "emu_driver.hpp"

namespace zev::emu {

namespace {

static_assert(kReqSgIo == SG_IO, "request number of the Linux headers");

// ---- the request (scsi/sg.h), offsets in it --------------------------------------------------
static_assert(offsetof(sg_io_hdr_t, interface_id) == kSgInterfaceId &&
              offsetof(sg_io_hdr_t, dxfer_direction) == kSgDirection && offsetof(sg_io_hdr_t, cmd_len) == kSgCmdLen &&
              offsetof(sg_io_hdr_t, mx_sb_len) == kSgMxSbLen && offsetof(sg_io_hdr_t, iovec_count) == kSgIovecCount);
static_assert(offsetof(sg_io_hdr_t, dxfer_len) == kSgDxferLen && offsetof(sg_io_hdr_t, dxferp) == kSgDxferp &&
              offsetof(sg_io_hdr_t, cmdp) == kSgCmdp && offsetof(sg_io_hdr_t, sbp) == kSgSbp);
static_assert(offsetof(sg_io_hdr_t, status) == kSgStatus && offsetof(sg_io_hdr_t, masked_status) == kSgMaskedStatus &&
              offsetof(sg_io_hdr_t, sb_len_wr) == kSgSbLenWr && offsetof(sg_io_hdr_t, host_status) == kSgHostStatus &&
              offsetof(sg_io_hdr_t, driver_status) == kSgDriverStatus);
static_assert(offsetof(sg_io_hdr_t, resid) == kSgResid && offsetof(sg_io_hdr_t, duration) == kSgDuration &&
              offsetof(sg_io_hdr_t, info) == kSgInfo && sizeof(sg_io_hdr_t) == kSgSize);
static_assert(kSgMaskedStatus == kSgStatus + 1 && kSgSbLenWr == kSgStatus + 3, "status bytes written as one run");
constexpr size_t kSgCdbMax = 16;  // the controllers take no longer CDB
constexpr uint16_t kDidNoConnect = 0x01;
constexpr uint16_t kDriverSense = 0x08;

Dir SgDir(int32_t d)
{
    return d == SG_DXFER_TO_DEV        ? Dir::Write
           : d == SG_DXFER_FROM_DEV    ? Dir::Read
           : d == SG_DXFER_TO_FROM_DEV ? Dir::Both
                                       : Dir::None;
}

}  // namespace

gboolean SgIo(IoctlCall& call)
{
    CommandRecord& rec = call.rec;
    const int disk = call.node.disk;
    rec.ioctl = "sg_io";
    UMockdevIoctlData* hdr = call.Resolve(call.argp, kSgSize);
    if (!hdr) return call.Finish(-1, EFAULT);
    const Bytes h = Copy(hdr);
    if (static_cast<int32_t>(GetLE32(h, kSgInterfaceId)) != 'S') return call.Finish(-1, ENOSYS);
    const uint8_t cmd_len = GetU8(h, kSgCmdLen);
    const uint8_t mx_sb = GetU8(h, kSgMxSbLen);
    const uint32_t len = GetLE32(h, kSgDxferLen);
    if (GetLE16(h, kSgIovecCount) != 0) return call.Refuse(EINVAL, "emulator: SG_IO with an iovec is not emulated");
    // sg_new_write: a CDB of fewer than 6 or more than 16 bytes.
    if (cmd_len < kSgCdbMin || cmd_len > kSgCdbMax)
        return call.Refuse(EMSGSIZE, "sg_new_write: CDB length outside 6 to 16 bytes");
    UMockdevIoctlData* cdbd = call.Resolve(GetLE64(h, kSgCmdp), cmd_len);
    if (!cdbd) return call.Finish(-1, EFAULT);
    rec.cdb = Copy(cdbd);
    rec.dir = SgDir(static_cast<int32_t>(GetLE32(h, kSgDirection)));
    rec.data_length = rec.dir == Dir::None ? 0 : len;
    UMockdevIoctlData* buf = nullptr;
    if (rec.dir != Dir::None && len > 0) {
        buf = call.Resolve(GetLE64(h, kSgDxferp), len);
        if (!buf) return call.Finish(-1, EFAULT);
    }
    UMockdevIoctlData* sbp = mx_sb ? call.Resolve(GetLE64(h, kSgSbp), mx_sb) : nullptr;
    ScsiCommand cmd;
    cmd.cdb = rec.cdb;
    cmd.dir = rec.dir;
    if (rec.dir == Dir::Write || rec.dir == Dir::Both) cmd.data_out = rec.data = Copy(buf);
    if (rec.dir == Dir::Read || rec.dir == Dir::Both) cmd.data_in_length = rec.data_length;
    rec.target = disk >= 0 ? "disk" + std::to_string(disk) : "controller";
    const Fault* f = call.PickFault(&rec.cdb, -1, disk >= 0 ? "disk" : "controller");
    if (call.FailsIoctl(f)) return TRUE;
    ScsiResult r;
    if (!FaultRejects(f)) r = call.Execute(disk, cmd);
    call.OverrideStatus(f, r);
    int32_t resid = 0;
    if (cmd.data_in_length && buf) {
        Bytes out = r.data_in;
        out.resize(std::min<size_t>(out.size(), len));
        resid = static_cast<int32_t>(len - out.size());
        call.DamageData(f, out);
        Store(buf, 0, out);
        if (rec.dir == Dir::Read) rec.data = out;
    }
    const size_t sb = std::min<size_t>(r.sense.size(), mx_sb);
    Store(sbp, 0, Bytes(r.sense.begin(), r.sense.begin() + static_cast<long>(sb)));
    Bytes status(kSgSbLenWr - kSgStatus + 1, 0);
    PutU8(status, 0, r.scsi_status);
    PutU8(status, kSgMaskedStatus - kSgStatus, static_cast<uint8_t>((r.scsi_status >> 1) & 0x7F));
    PutU8(status, kSgSbLenWr - kSgStatus, static_cast<uint8_t>(sb));
    Store(hdr, kSgStatus, status);
    StoreLE16(hdr, kSgHostStatus, r.no_device ? kDidNoConnect : 0);
    StoreLE16(hdr, kSgDriverStatus, sb ? kDriverSense : 0);
    StoreLE32(hdr, kSgResid, static_cast<uint32_t>(resid));
    StoreLE32(hdr, kSgDuration, 1);
    StoreLE32(hdr, kSgInfo, (r.scsi_status || r.no_device) ? SG_INFO_CHECK : 0);
    rec.scsi_status = r.scsi_status;
    rec.sense = r.sense;
    return call.Finish(0, 0);
}

}  // namespace zev::emu
