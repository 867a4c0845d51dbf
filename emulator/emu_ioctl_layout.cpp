#include "emu_ioctl_layout.hpp"

#include "emu_requests.hpp"

namespace zev::emu {

namespace {

// CISS passthrough (regular and big): LUN, request block, error information, then the buffer.
constexpr size_t kCissBufSize = 76;  // u16
constexpr size_t kCissBuf = 80;
constexpr size_t kCissSize = 88;
constexpr size_t kBigMallocSize = 76;
constexpr size_t kBigBufSize = 80;  // u32
constexpr size_t kBigBuf = 88;
constexpr size_t kBigSize = 96;
constexpr uint32_t kBigMaxMalloc = 128000;
constexpr uint32_t kBigMaxEntries = 32;
constexpr size_t kPciInfoSize = 8;

// sg_io_hdr.
constexpr size_t kSgInterfaceId = 0;
constexpr size_t kSgDirection = 4;
constexpr size_t kSgCmdLen = 8;
constexpr size_t kSgMxSbLen = 9;
constexpr size_t kSgIovecCount = 10;
constexpr size_t kSgDxferLen = 12;
constexpr size_t kSgDxferp = 16;
constexpr size_t kSgCmdp = 24;
constexpr size_t kSgSbp = 32;
constexpr size_t kSgSize = 88;
constexpr int32_t kSgDxferNone = -1;
constexpr uint32_t kSgMaxDxfer = 256u << 20;  // sg refuses 256 MiB and more
constexpr size_t kSgCdbMin = 6;
constexpr size_t kSgCdbMax = 252;

// aacraid FIB: the header says the size of the whole.
constexpr size_t kFibHeader = 32;
constexpr size_t kFibSize = 8;
constexpr size_t kFibSenderSize = 10;
constexpr size_t kFibMax = 2048;

// aacraid raw SRB: nine u32 fields, the CDB, the scatter-gather count and entries; the reply follows
// the SRB at its own size.
constexpr size_t kSrbCountEnd = 28;  // the driver reads up to the SRB's size field first
constexpr size_t kSrbCount = 24;
constexpr size_t kSrbFlags = 20;
constexpr size_t kSrbSgCount = 52;
constexpr size_t kSrbSgEntries = 56;
constexpr size_t kSrbMinSize = 56;
constexpr size_t kSrbSgEntry32 = 8;   // u32 address, u32 count
constexpr size_t kSrbSgEntry64 = 12;  // u64 address, u32 count
constexpr uint32_t kSrbSgCountMask = 0xFF;
constexpr uint32_t kSrbMaxEntries = 28;
constexpr uint32_t kSrbEntryMax = 65536;
constexpr uint32_t kSrbDataMask = 0xC0;  // data in | data out
constexpr size_t kSrbReplySize = 52;

// The reset request carries one byte (the reset type).
constexpr size_t kResetSize = 1;

// CSMI: a 20-byte header holding the length of what follows.
constexpr size_t kCsmiHeader = 20;
constexpr size_t kCsmiLength = 4;
constexpr uint32_t kCsmiMinLength = 340;
constexpr uint32_t kCsmiMaxLength = 1u << 20;

IoctlLayout Fixed(size_t length)
{
    IoctlLayout l;
    l.known = true;
    l.length = length;
    return l;
}

IoctlLayout Ciss(const Bytes& a, bool big)
{
    IoctlLayout l = Fixed(big ? kBigSize : kCissSize);
    size_t len = big ? GetLE32(a, kBigBufSize) : GetLE16(a, kCissBufSize);
    if (big && (GetLE32(a, kBigMallocSize) > kBigMaxMalloc ||
                GetLE32(a, kBigBufSize) > static_cast<uint64_t>(GetLE32(a, kBigMallocSize)) * kBigMaxEntries))
        len = 0;
    l.pointers.push_back({big ? kBigBuf : kCissBuf, 8, len});
    return l;
}

IoctlLayout SgIo(const Bytes& a)
{
    IoctlLayout l = Fixed(kSgSize);
    const bool sane = static_cast<int32_t>(GetLE32(a, kSgInterfaceId)) == 'S' && GetU8(a, kSgCmdLen) >= kSgCdbMin &&
                      GetU8(a, kSgCmdLen) <= kSgCdbMax && GetLE32(a, kSgDxferLen) < kSgMaxDxfer;
    const bool data =
        sane && static_cast<int32_t>(GetLE32(a, kSgDirection)) != kSgDxferNone && GetLE16(a, kSgIovecCount) == 0;
    l.pointers.push_back({kSgDxferp, 8, data ? GetLE32(a, kSgDxferLen) : 0});
    l.pointers.push_back({kSgCmdp, 8, sane ? size_t{GetU8(a, kSgCmdLen)} : 0});
    l.pointers.push_back({kSgSbp, 8, sane ? size_t{GetU8(a, kSgMxSbLen)} : 0});
    return l;
}

IoctlLayout SendFib(const Bytes& a)
{
    size_t size = GetLE16(a, kFibSize) + kFibHeader;
    if (size < GetLE16(a, kFibSenderSize)) size = GetLE16(a, kFibSenderSize);
    if (a.size() < kFibHeader || size > kFibMax) return Fixed(kFibHeader);
    return Fixed(size);
}

IoctlLayout RawSrb(const Bytes& a)
{
    if (a.size() < kSrbCountEnd) return Fixed(kSrbCountEnd);
    const uint32_t fibsize = GetLE32(a, kSrbCount);
    if (fibsize < kSrbMinSize || fibsize > kFibMax - kFibHeader) return Fixed(kSrbCountEnd);
    IoctlLayout l = Fixed(fibsize + kSrbReplySize);
    if (a.size() < fibsize) return l;
    const uint32_t count = GetLE32(a, kSrbSgCount);
    const uint32_t n = count & kSrbSgCountMask;
    const bool sg64 = n > 0 && fibsize == kSrbMinSize + n * kSrbSgEntry64;
    if (!sg64 && fibsize != kSrbMinSize + n * kSrbSgEntry32) return l;  // neither layout: refused
    const size_t step = sg64 ? kSrbSgEntry64 : kSrbSgEntry32;
    const size_t width = sg64 ? 8 : 4;
    bool refused = count > kSrbMaxEntries || ((GetLE32(a, kSrbFlags) & kSrbDataMask) == 0 && count != 0);
    for (uint32_t i = 0; i < n; ++i)
        if (GetLE32(a, kSrbSgEntries + i * step + width) > kSrbEntryMax) refused = true;
    for (uint32_t i = 0; i < n; ++i) {
        const size_t at = kSrbSgEntries + i * step;
        l.pointers.push_back({at, width, refused ? 0 : GetLE32(a, at + width)});
    }
    return l;
}

IoctlLayout Csmi(const Bytes& a)
{
    const uint32_t len = GetLE32(a, kCsmiLength);
    if (a.size() < kCsmiHeader || len < kCsmiMinLength || len > kCsmiMaxLength) return Fixed(kCsmiHeader);
    return Fixed(kCsmiHeader + len);
}

}  // namespace

IoctlLayout DescribeIoctl(unsigned long request, const Bytes& arg)
{
    switch (request) {
    case kReqPassthru:
        return Ciss(arg, false);
    case kReqBigPassthru:
        return Ciss(arg, true);
    case kReqPciInfo:
    case kReqAacPciInfo:
        return Fixed(kPciInfoSize);
    case kReqSgIo:
        return SgIo(arg);
    case kReqSendFib:
        return SendFib(arg);
    case kReqRawSrb:
        return RawSrb(arg);
    case kReqReset:
        return Fixed(kResetSize);
    case kReqCsmiSsp:
        return Csmi(arg);
    default:
        return IoctlLayout{};
    }
}

uint64_t PointerValue(const Bytes& arg, const PointerField& p)
{
    return p.width == 4 ? GetLE32(arg, p.offset) : GetLE64(arg, p.offset);
}

void MaskPointers(Bytes& arg, const IoctlLayout& layout)
{
    for (const PointerField& p : layout.pointers)
        for (size_t i = 0; i < p.width && p.offset + i < arg.size(); ++i) arg[p.offset + i] = 0;
}

}  // namespace zev::emu
