// CSMI path: the SAS SSP passthrough, answered where the scenario enables it.
#include <cerrno>
#include <cstddef>

#include "emu_driver.hpp"

namespace zev::emu {

gboolean CsmiSsp(IoctlCall& call)
{
    CommandRecord& rec = call.rec;
    rec.ioctl = "csmi";
    UMockdevIoctlData* hdr = call.Resolve(call.argp, kCsmiHeader);
    if (!hdr) return call.Finish(-1, EFAULT);
    const uint32_t length = GetLE32(Copy(hdr), kCsmiLength);
    rec.data_length = length;
    if (length < kCsmiMinLength || length > kCsmiMaxLength) return call.Finish(-1, EINVAL);
    UMockdevIoctlData* body = call.Resolve(call.argp + kCsmiHeader, length);
    if (!body) return call.Finish(-1, EFAULT);
    Bytes wrapped(kSspHeaderSize, 0);
    PutLE32(wrapped, kSspHeaderLength, kSspHeaderSize);
    PutLE32(wrapped, kSspControlCode, kSspPassthruCode);
    PutLE32(wrapped, kSspLength, length);
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
    Store(body, 0, Bytes(r.data_in.begin() + kSspHeaderSize, r.data_in.end()));
    StoreLE32(hdr, kCsmiReturnCode, GetLE32(r.data_in, kSspReturnCode));
    rec.scsi_status = r.inner_status;
    rec.sense = r.sense;
    return call.Finish(0, 0);
}

}  // namespace zev::emu
