// A recorded host's driver: every ioctl on a recorded node is answered by the recorded entry it
// matches (request number, argument bytes with the pointer fields masked, the bytes each pointer's
// buffer held), in order per node. A request nothing matches fails with EIO and is reported: a replay
// never answers a question it was not asked.
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <map>
#include <utility>

#include "emu_driver.hpp"

namespace zev::emu {

namespace {

struct Unmatched {
    uint64_t seq = 0;
    std::string node;
    unsigned long request = 0;
    std::string description;
};

// What the driver reads of the argument before anything else. Only these bytes are taken from the
// caller before they are compared: a longer recorded argument is resolved once they matched, as they
// carry its length (the FIB's size, the SRB's count, the CSMI header's length), so the caller is proved
// to hold it. Resolving past the caller's memory would abort it. The SRB's nine u32 fields are read
// whole.
constexpr size_t kUnknown = SIZE_MAX;

size_t SureLength(unsigned long req, size_t recorded = kUnknown)
{
    size_t sure = recorded;
    switch (req) {
    case kReqSgIo:
        sure = kSgSize;
        break;
    case kReqAacPciInfo:
        sure = kAacPciInfoSize;
        break;
    case kReqSendFib:
        sure = kFibHeader;
        break;
    case kReqRawSrb:
        sure = kSrbHeader;
        break;
    case kReqCsmiSsp:
        sure = kCsmiHeader;
        break;
    case kReqReset:
        sure = kResetSize;
        break;
    default:
        // An encoded request names the size the kernel copies in.
        if (_IOC_DIR(req) != _IOC_NONE && _IOC_SIZE(req) > 0) sure = _IOC_SIZE(req);
        break;
    }
    return std::min(sure, recorded);
}

constexpr size_t kCdbShown = 16;  // CDB bytes the unmatched list describes a request by

}  // namespace

struct ReplayState {
    Recording recording;
    std::string source;
    std::map<std::string, std::vector<size_t>> by_node;  // indices into recording.ioctls, in order
    std::map<std::string, size_t> next;                  // per node: position after the last answer
    std::vector<bool> used;
    uint64_t requests = 0;
    uint64_t served = 0;
    std::vector<Unmatched> unmatched;
};

namespace {

// One request as the replay sees it: the caller's memory, resolved at most once per address and length.
class ReplayCall {
public:
    explicit ReplayCall(UMockdevIoctlClient* c)
        : client(c),
          arg(umockdev_ioctl_client_get_arg(c)),
          argp(GetLE64(Copy(arg), 0)),
          request(umockdev_ioctl_client_get_request(c))
    {
    }
    ~ReplayCall()
    {
        for (auto& b : blocks_)
            if (b.second) g_object_unref(b.second);
    }
    ReplayCall(const ReplayCall&) = delete;
    ReplayCall& operator=(const ReplayCall&) = delete;

    // The caller's bytes at addr; nullptr for a null address (or zero length).
    UMockdevIoctlData* At(uint64_t addr, size_t len)
    {
        for (auto& b : blocks_)
            if (b.first.first == addr && b.first.second == len) return b.second;
        UMockdevIoctlData* d = ResolveAt(arg, addr, len);
        blocks_.push_back({{addr, len}, d});
        return d;
    }
    // Writes bytes at addr into every block held there, so that whichever is written back last the
    // caller sees the same answer.
    void Put(uint64_t addr, const Bytes& bytes)
    {
        for (auto& b : blocks_)
            if (b.first.first == addr && b.second) Store(b.second, 0, bytes);
    }

    UMockdevIoctlClient* const client;
    UMockdevIoctlData* const arg;
    const uint64_t argp;
    const unsigned long request;

private:
    std::vector<std::pair<std::pair<uint64_t, size_t>, UMockdevIoctlData*>> blocks_;
};

uint64_t PointerValue(const Bytes& arg, const RecordedPointer& p)
{
    return p.width == 8 ? GetLE64(arg, p.offset) : GetLE32(arg, p.offset);
}

// The caller's argument equals the recorded one over its first n bytes, pointer fields left out.
bool SameMasked(const Bytes& caller, const RecordedIoctl& e, size_t n)
{
    if (caller.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        const bool pointer = std::any_of(e.pointers.begin(), e.pointers.end(), [&](const RecordedPointer& p) {
            return i >= p.offset && i < p.offset + p.width;
        });
        if (!pointer && caller[i] != e.arg_before[i]) return false;
    }
    return true;
}

bool Matches(ReplayCall& call, const std::string& node, const RecordedIoctl& e)
{
    if (e.node != node || e.request != call.request) return false;
    if (!e.has_arg) return true;
    const size_t length = e.arg_before.size();
    const size_t sure = SureLength(call.request, length);
    UMockdevIoctlData* head = call.At(call.argp, sure);
    if (!head || !SameMasked(Copy(head), e, sure)) return false;
    UMockdevIoctlData* whole = length > sure ? call.At(call.argp, length) : head;
    if (!whole) return false;
    const Bytes arg = Copy(whole);
    if (!SameMasked(arg, e, length)) return false;
    // The matched argument holds the buffers' lengths: the caller has them.
    for (const RecordedPointer& p : e.pointers) {
        if (p.length == 0) continue;
        UMockdevIoctlData* buf = call.At(PointerValue(arg, p), p.length);
        if (!buf || Copy(buf) != p.before) return false;
    }
    return true;
}

gboolean Answer(ReplayCall& call, const RecordedIoctl& e)
{
    if (e.has_arg) {
        const Bytes caller = Copy(call.At(call.argp, e.arg_before.size()));
        Bytes out = e.arg_after;
        // The pointer fields stay the caller's own.
        for (const RecordedPointer& p : e.pointers)
            std::copy(caller.begin() + static_cast<long>(p.offset),
                      caller.begin() + static_cast<long>(p.offset + p.width),
                      out.begin() + static_cast<long>(p.offset));
        call.Put(call.argp, out);
        for (const RecordedPointer& p : e.pointers)
            if (p.length > 0) call.Put(PointerValue(caller, p), p.after);
    }
    umockdev_ioctl_client_complete(call.client, e.result, e.result < 0 ? e.err : 0);
    return TRUE;
}

std::string Hex(unsigned long v)
{
    char b[24];
    std::snprintf(b, sizeof b, "0x%lx", v);
    return b;
}

// A few words on an unmatched request, from bytes the caller surely holds: its command block where it
// has one.
std::string Describe(ReplayCall& call)
{
    const size_t sure = SureLength(call.request);
    if (sure == kUnknown) return "request not known to the replay";
    const Bytes a = Copy(call.At(call.argp, sure));
    if (a.empty()) return "no argument";
    const auto cdb = [](const Bytes& b, size_t off, size_t len) {
        len = std::min({len, kCdbShown, b.size() > off ? b.size() - off : 0});
        return "cdb " + ToHex(b.data() + off, len);
    };
    switch (call.request) {
    case kReqPassthru:
    case kReqBigPassthru:
        return cdb(a, kCissCdb, GetU8(a, kCissCdbLength));
    case kReqSgIo: {
        // The kernel reads cmd_len bytes at cmdp.
        const size_t len = std::min<size_t>(GetU8(a, kSgCmdLen), kCdbShown);
        const Bytes c = Copy(call.At(GetLE64(a, kSgCmdp), len));
        return c.empty() ? "no cdb" : cdb(c, 0, c.size());
    }
    case kReqSendFib:
        return "fib command " + std::to_string(GetLE16(a, kFibCommand));
    case kReqRawSrb: {
        // The SRB's count says how much of it the caller holds.
        if (GetLE32(a, kSrbCount) < kSrbCdb + kCdbShown)
            return "srb of " + std::to_string(GetLE32(a, kSrbCount)) + " bytes";
        const Bytes b = Copy(call.At(call.argp, kSrbCdb + kCdbShown));
        return cdb(b, kSrbCdb, GetLE32(b, kSrbCdbSize));
    }
    default:
        return "arg " + ToHex(a.data(), std::min<size_t>(a.size(), kCdbShown));
    }
}

}  // namespace

std::shared_ptr<ReplayState> NewReplay(const Recording& recording, const std::string& source)
{
    auto r = std::make_shared<ReplayState>();
    r->recording = recording;
    r->source = source;
    r->used.assign(recording.ioctls.size(), false);
    for (size_t i = 0; i < recording.ioctls.size(); ++i) r->by_node[recording.ioctls[i].node].push_back(i);
    return r;
}

gboolean ReplayIoctl(Host::Impl& host, const NodeCtx& node, UMockdevIoctlClient* client)
{
    ReplayState& rs = *host.replay;
    ReplayCall call(client);
    const uint64_t seq = ++rs.requests;
    const std::vector<size_t>& entries = rs.by_node[node.node];
    size_t& next = rs.next[node.node];
    // The next unused entry in order when it matches, else the first unused one that does.
    size_t pick = entries.size();
    size_t first_unused = next;
    while (first_unused < entries.size() && rs.used[entries[first_unused]]) ++first_unused;
    if (first_unused < entries.size() && Matches(call, node.node, rs.recording.ioctls[entries[first_unused]]))
        pick = first_unused;
    for (size_t k = 0; pick == entries.size() && k < entries.size(); ++k)
        if (k != first_unused && !rs.used[entries[k]] && Matches(call, node.node, rs.recording.ioctls[entries[k]]))
            pick = k;
    if (pick == entries.size()) {
        Unmatched u{seq, node.node, call.request, Describe(call)};
        if (host.trace)
            std::fprintf(host.trace, "zevsim: replay %s request %s %s -> unmatched (EIO)\n", u.node.c_str(),
                         Hex(u.request).c_str(), u.description.c_str());
        rs.unmatched.push_back(std::move(u));
        umockdev_ioctl_client_complete(client, -1, EIO);
        return TRUE;
    }
    const size_t index = entries[pick];
    rs.used[index] = true;
    next = pick + 1;
    ++rs.served;
    const RecordedIoctl& e = rs.recording.ioctls[index];
    if (host.trace)
        std::fprintf(host.trace, "zevsim: replay %s request %s -> ioctls[%zu] result %lld errno %d\n",
                     node.node.c_str(), Hex(call.request).c_str(), index, static_cast<long long>(e.result), e.err);
    return Answer(call, e);
}

nlohmann::json ReplayReport(const ReplayState& rs)
{
    nlohmann::json j;
    j["recording"] = rs.source;
    j["requests"] = rs.requests;
    j["served"] = rs.served;
    j["unmatched"] = nlohmann::json::array();
    for (const Unmatched& u : rs.unmatched)
        j["unmatched"].push_back(
            {{"seq", u.seq}, {"node", u.node}, {"request", u.request}, {"description", u.description}});
    j["unused"] = nlohmann::json::array();
    for (size_t i = 0; i < rs.used.size(); ++i)
        if (!rs.used[i])
            j["unused"].push_back(
                {{"index", i}, {"node", rs.recording.ioctls[i].node}, {"request", rs.recording.ioctls[i].request}});
    return j;
}

std::string ReplaySummary(const ReplayState& rs)
{
    const size_t unused = static_cast<size_t>(std::count(rs.used.begin(), rs.used.end(), false));
    return "zevsim: replay of " + rs.source + ": " + std::to_string(rs.served) + " request(s) served, " +
           std::to_string(rs.unmatched.size()) + " unmatched, " + std::to_string(unused) + " recorded entr" +
           (unused == 1 ? "y" : "ies") + " unused";
}

}  // namespace zev::emu
