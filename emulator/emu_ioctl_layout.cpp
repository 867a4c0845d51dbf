#include "emu_ioctl_layout.hpp"

#include <utility>

#include "emu_requests.hpp"
#include "emu_structs.hpp"

namespace zev::emu {

namespace {

// What sg checks before it reads any pointer.
constexpr int32_t kSgDxferNone = -1;
constexpr uint32_t kSgMaxDxfer = 256u << 20;  // sg refuses 256 MiB and more
constexpr size_t kSgDriverCdbMax = 252;

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
                      GetU8(a, kSgCmdLen) <= kSgDriverCdbMax && GetLE32(a, kSgDxferLen) < kSgMaxDxfer;
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
    using Describe = IoctlLayout (*)(const Bytes&);
    static const std::pair<unsigned long, Describe> kPaths[] = {
        {kReqPassthru, [](const Bytes& a) { return Ciss(a, false); }},
        {kReqBigPassthru, [](const Bytes& a) { return Ciss(a, true); }},
        {kReqPciInfo, [](const Bytes&) { return Fixed(kPciInfoSize); }},
        {kReqAacPciInfo, [](const Bytes&) { return Fixed(kPciInfoSize); }},
        {kReqSgIo, SgIo},
        {kReqSendFib, SendFib},
        {kReqRawSrb, RawSrb},
        {kReqReset, [](const Bytes&) { return Fixed(kResetSize); }},
        {kReqCsmiSsp, Csmi},
    };
    for (const auto& [req, describe] : kPaths)
        if (req == request) return describe(arg);
    return IoctlLayout{};
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
