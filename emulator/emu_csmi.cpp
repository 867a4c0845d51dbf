// CSMI path: the SAS SSP passthrough, answered where the scenario enables it.
#include <cerrno>
#include <cstddef>

#include "emu_driver.hpp"

namespace zev::emu {

namespace {

// The 20-byte Linux CSMI header, then the parameter block.
constexpr size_t kCsmiHeader = 20;
constexpr size_t kCsmiLength = 4;
constexpr size_t kCsmiReturnCode = 8;
constexpr size_t kCsmiMaxLength = 1u << 20;
constexpr size_t kSspParamOverhead = 340;  // parameters and status before the data
// The header of the structure the firmware model takes.
constexpr size_t kWrapHeader = 28;
constexpr size_t kWrapHeaderLength = 0;
constexpr size_t kWrapControlCode = 16;
constexpr uint32_t kSspPassthruCode = 24;
constexpr size_t kWrapReturnCode = 20;
constexpr size_t kWrapLength = 24;

}  // namespace

gboolean CsmiSsp(IoctlCall& call)
{
    CommandRecord& rec = call.rec;
    rec.ioctl = "csmi";
    UMockdevIoctlData* hdr = call.Resolve(call.argp, kCsmiHeader);
    if (!hdr) return call.Finish(-1, EFAULT);
    const uint32_t length = GetLE32(Copy(hdr), kCsmiLength);
    rec.data_length = length;
    if (length < kSspParamOverhead || length > kCsmiMaxLength) return call.Finish(-1, EINVAL);
    UMockdevIoctlData* body = call.Resolve(call.argp + kCsmiHeader, length);
    if (!body) return call.Finish(-1, EFAULT);
    Bytes wrapped(kWrapHeader, 0);
    PutLE32(wrapped, kWrapHeaderLength, kWrapHeader);
    PutLE32(wrapped, kWrapControlCode, kSspPassthruCode);
    PutLE32(wrapped, kWrapLength, length);
    const Bytes b = Copy(body);
    wrapped.insert(wrapped.end(), b.begin(), b.end());
    rec.data = b;
    const Fault* f = call.PickFault(nullptr, -1, "");
    if (call.FailsIoctl(f)) return TRUE;
    ScsiResult r = call.cs.fw->ExecuteSsp(wrapped, true);
    if (r.data_in.size() != wrapped.size()) return call.Finish(-1, EIO);
    rec.cdb = r.inner_cdb;
    rec.inner_lun = r.inner_lun;
    rec.target = "csmi";
    Store(body, 0, Bytes(r.data_in.begin() + kWrapHeader, r.data_in.end()));
    StoreLE32(hdr, kCsmiReturnCode, GetLE32(r.data_in, kWrapReturnCode));
    rec.scsi_status = r.inner_status;
    rec.sense = r.sense;
    return call.Finish(0, 0);
}

}  // namespace zev::emu
