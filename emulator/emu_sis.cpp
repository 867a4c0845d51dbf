// SIS path (aacraid): adapter FIBs, raw SRB requests, the adapter reset and the PCI information.
#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "emu_driver.hpp"

namespace zev::emu {

namespace {

// ---- FIB commands the adapter model answers --------------------------------------------------------
constexpr uint16_t kFibAdapterInfo = 703;
constexpr uint16_t kFibSupplementInfo = 706;
constexpr size_t kAdapterInfoOptions = 80;  // in the data area
constexpr uint32_t kOptionSupplement = 1u << 16;
constexpr size_t kSupplementBus = 200;
constexpr size_t kSupplementTarget = 202;
constexpr size_t kSupplementLun = 204;

// One raw SRB as the adapter reads it, after aac_send_raw_srb's checks.
struct Srb {
    uint32_t flags = 0;
    bool sg64 = false;
    uint32_t sg_count = 0;
    uint32_t cdb_size = 0;
    uint64_t bufp = 0;
    uint32_t len = 0;
};

}  // namespace

gboolean SisSendFib(IoctlCall& call)
{
    CommandRecord& rec = call.rec;
    const ControllerConfig& c = call.cs.config;
    rec.ioctl = "send_fib";
    UMockdevIoctlData* hdr = call.Resolve(call.argp, kFibHeader);
    if (!hdr) return call.Finish(-1, EFAULT);
    const Bytes h = Copy(hdr);
    const uint16_t command = GetLE16(h, kFibCommand);
    size_t size = GetLE16(h, kFibSize) + kFibHeader;
    if (size < GetLE16(h, kFibSenderSize)) size = GetLE16(h, kFibSenderSize);
    rec.fib_command = command;
    rec.data_length = static_cast<uint32_t>(size);
    if (size > kFibMax) return call.Refuse(EMSGSIZE, "ioctl_send_fib: FIB larger than the adapter's 2048 bytes");
    const Fault* f = call.PickFault(nullptr, command, "controller");
    if (call.FailsIoctl(f)) return TRUE;
    UMockdevIoctlData* body = call.Resolve(call.argp + kFibHeader, size - kFibHeader);
    Bytes data(size - kFibHeader, 0);
    if (command == kFibAdapterInfo) {
        PutLE32(data, kAdapterInfoOptions, c.sis_supplement ? kOptionSupplement : 0);
    } else if (command == kFibSupplementInfo) {
        PutLE16(data, kSupplementBus, static_cast<uint16_t>(c.channel));
        PutLE16(data, kSupplementTarget, static_cast<uint16_t>(c.target));
        PutLE16(data, kSupplementLun, static_cast<uint16_t>(c.lun));
    }
    call.DamageData(f, data);
    Store(body, 0, data);
    rec.data = data;
    return call.Finish(0, 0);
}

gboolean SisRawSrb(IoctlCall& call)
{
    CommandRecord& rec = call.rec;
    CtrlState& cs = call.cs;
    rec.ioctl = "raw_srb";
    UMockdevIoctlData* hdr = call.Resolve(call.argp, kSrbHeader);
    if (!hdr) return call.Finish(-1, EFAULT);
    const Bytes h = Copy(hdr);
    const uint32_t fibsize = GetLE32(h, kSrbCount);
    // aac_send_raw_srb: the SRB must fit a FIB.
    if (fibsize < kSrbMinSize || fibsize > kFibMax - kFibHeader)
        return call.Refuse(EINVAL, "aac_send_raw_srb: SRB size outside 56 to the FIB's data size");
    UMockdevIoctlData* rest = call.Resolve(call.argp + kSrbHeader, fibsize - kSrbHeader);
    if (!rest) return call.Finish(-1, EFAULT);
    Bytes srb = h;
    PutBytes(srb, kSrbHeader, Copy(rest));
    Srb s;
    s.flags = GetLE32(srb, kSrbFlags);
    const uint32_t sg_entries = GetLE32(srb, kSrbSgCount);
    // aac_send_raw_srb: entry count, a list needs a direction, and the size word must be the 32- or the
    // 64-bit scatter-gather layout of that count.
    if (sg_entries > kSrbMaxEntries)
        return call.Refuse(EINVAL, "aac_send_raw_srb: more scatter-gather entries than HBA_MAX_SG_EMBEDDED");
    if ((s.flags & (kSrbDataIn | kSrbDataOut)) == 0 && sg_entries != 0)
        return call.Refuse(EINVAL, "aac_send_raw_srb: scatter-gather list without a data direction");
    s.sg_count = sg_entries & kSrbSgCountMask;
    if (fibsize == kSrbMinSize + s.sg_count * kSrbSgEntry64 && s.sg_count > 0)
        s.sg64 = true;
    else if (fibsize != kSrbMinSize + s.sg_count * kSrbSgEntry32)
        return call.Refuse(EINVAL,
                           "aac_send_raw_srb: SRB size is neither the 32- nor the 64-bit layout of its entries");
    if (s.sg_count > 1) return call.Refuse(EINVAL, "emulator: one scatter-gather entry only");
    s.cdb_size = GetLE32(srb, kSrbCdbSize);
    rec.cdb.assign(srb.begin() + kSrbCdb, srb.begin() + kSrbCdb + std::min<size_t>(s.cdb_size, kSrbCdbMax));
    const bool in = s.flags & kSrbDataIn, out = s.flags & kSrbDataOut;
    rec.dir = in && out ? Dir::Both : in ? Dir::Read : out ? Dir::Write : Dir::None;
    if (s.sg_count == 1) {
        s.bufp = s.sg64 ? GetLE64(srb, kSrbSgEntries) : GetLE32(srb, kSrbSgEntries);
        s.len = GetLE32(srb, kSrbSgEntries + (s.sg64 ? 8 : 4));
    }
    const uint32_t len = s.len;
    rec.data_length = len;
    // aac_send_raw_srb: one entry carries at most 64 KiB (adapters without the new comm interface).
    if (s.sg_count == 1 && len > kSrbEntryMax)
        return call.Refuse(EINVAL, "aac_send_raw_srb: scatter-gather entry above 65536 bytes");
    UMockdevIoctlData* buf = nullptr;
    if (len > 0 && rec.dir != Dir::None) {
        buf = call.Resolve(s.bufp, len);
        if (!buf) return call.Finish(-1, EFAULT);
    }
    UMockdevIoctlData* reply = call.Resolve(call.argp + fibsize, kSrbReplySize);
    if (!reply) return call.Finish(-1, EFAULT);
    const int ch = static_cast<int>(GetLE32(srb, kSrbChannel)), id = static_cast<int>(GetLE32(srb, kSrbId)),
              ln = static_cast<int>(GetLE32(srb, kSrbLun));
    const bool to_ctrl = ch == cs.config.channel && id == cs.config.target && ln == cs.config.lun;
    const int disk = to_ctrl ? -1 : cs.fw->FindDiskByAddress(ch, id, ln);
    rec.target = to_ctrl ? "controller" : disk >= 0 ? "disk" + std::to_string(disk) : "none";
    ScsiCommand cmd;
    cmd.cdb = rec.cdb;
    cmd.dir = rec.dir;
    if (out && buf) cmd.data_out = rec.data = Copy(buf);
    if (in) cmd.data_in_length = len;
    const Fault* f = call.PickFault(&rec.cdb, -1, to_ctrl ? "controller" : "disk");
    if (call.FailsIoctl(f)) return TRUE;
    ScsiResult r;
    // The adapter takes at most 16 CDB bytes: a larger size is an invalid request, never run.
    const bool invalid = s.cdb_size > kSrbCdbMax;
    if (!to_ctrl && disk < 0)
        r.no_device = true;
    else if (!invalid && !FaultRejects(f))
        r = call.Execute(disk, cmd);
    call.OverrideStatus(f, r);
    uint32_t xfer = 0;
    if (in && buf) {
        Bytes o = r.data_in;
        o.resize(std::min<size_t>(o.size(), len));
        xfer = static_cast<uint32_t>(o.size());
        call.DamageData(f, o);
        Store(buf, 0, o);
        if (!out) rec.data = o;
    } else if (out) {
        xfer = len;
    }
    const uint32_t status = (f && f->reply_status >= 0) ? static_cast<uint32_t>(f->reply_status) : 0;
    uint32_t srb_status = r.no_device     ? kSrbStatusSelectionTimeout
                          : r.scsi_status ? kSrbStatusError
                                          : kSrbStatusSuccess;
    if (invalid) srb_status = kSrbStatusInvalidRequest;
    if (f && f->srb_status >= 0) srb_status = static_cast<uint32_t>(f->srb_status);
    // The driver copies its whole reply structure back, padding included.
    Bytes rp(kSrbReplySize, 0);
    PutLE32(rp, kSrbReplyStatus, status);
    PutLE32(rp, kSrbReplySrbStatus, srb_status);
    PutLE32(rp, kSrbReplyScsiStatus, r.scsi_status);
    PutLE32(rp, kSrbReplyXfer, xfer);
    const size_t sn = std::min(r.sense.size(), kSrbReplySenseMax);
    PutLE32(rp, kSrbReplySenseSize, static_cast<uint32_t>(sn));
    PutBytes(rp, kSrbReplySense, Bytes(r.sense.begin(), r.sense.begin() + static_cast<long>(sn)));
    rp.resize(kSrbReplySize);
    Store(reply, 0, rp);
    rec.srb_status = srb_status;
    rec.scsi_status = r.scsi_status;
    rec.sense = r.sense;
    rec.reply_status = status;
    rec.inner_cdb = r.inner_cdb;
    rec.inner_lun = r.inner_lun;
    return call.Finish(0, 0);
}

gboolean SisReset(IoctlCall& call)
{
    call.rec.ioctl = "reset";
    const Fault* f = call.PickFault(nullptr, -1, "controller");
    if (call.FailsIoctl(f)) return TRUE;
    UMockdevIoctlData* t = call.Resolve(call.argp, 1);
    call.rec.reset_type = t ? t->data[0] : -1;
    return call.Finish(0, 0);
}

// aac_get_pci_info: u32 bus number, u32 slot.
gboolean SisPciInfo(IoctlCall& call)
{
    const ControllerConfig& c = call.cs.config;
    const PciLocation at = ParseBdf(c.bdf);
    Bytes b(kAacPciInfoSize, 0);
    PutLE32(b, kAacPciInfoBus, c.aac_pci_info ? c.aac_pci_info->first : at.bus);
    PutLE32(b, kAacPciInfoSlot, c.aac_pci_info ? c.aac_pci_info->second : at.device);
    return call.AnswerBlock("aac_pci_info", "controller", std::move(b));
}

}  // namespace zev::emu
