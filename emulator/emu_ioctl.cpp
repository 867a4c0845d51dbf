// The driver model's entry: one handler for every node, one dispatch on the request number, and what
// every driver path shares (the call's record, caller memory, scenario faults).
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "emu_driver.hpp"

namespace zev::emu {

// ---- caller memory -----------------------------------------------------------------------------

UMockdevIoctlData* ResolveAt(UMockdevIoctlData* arg, uint64_t addr, size_t len)
{
    if (addr == 0 || len == 0) return nullptr;
    const size_t at = static_cast<size_t>(arg->data_len);
    guint8* grown = static_cast<guint8*>(g_malloc0(at + 8));
    std::memcpy(grown, arg->data, at);
    for (int i = 0; i < 8; ++i) grown[at + i] = static_cast<guint8>(addr >> (8 * i));
    g_free(arg->data);
    arg->data = grown;
    arg->data_len = static_cast<gint>(at + 8);
    GError* err = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, at, len, &err);
    if (err) g_error_free(err);
    return d;
}

Bytes Copy(const UMockdevIoctlData* d) { return d ? Bytes(d->data, d->data + d->data_len) : Bytes{}; }

void Store(UMockdevIoctlData* d, size_t off, const Bytes& b)
{
    if (!d) return;
    for (size_t i = 0; i < b.size() && off + i < static_cast<size_t>(d->data_len); ++i) d->data[off + i] = b[i];
}
void StoreLE32(UMockdevIoctlData* d, size_t off, uint32_t v)
{
    Bytes b;
    PutLE32(b, 0, v);
    Store(d, off, b);
}
void StoreLE16(UMockdevIoctlData* d, size_t off, uint16_t v)
{
    Bytes b;
    PutLE16(b, 0, v);
    Store(d, off, b);
}

// ---- scenario faults -----------------------------------------------------------------------------

bool FaultMatches(const FaultMatch& m, const FaultView& v)
{
    if (!m.ioctl.empty() && m.ioctl != v.ioctl) return false;
    if (!m.target.empty() && m.target != v.target) return false;
    if (m.fib >= 0 && m.fib != v.fib) return false;
    if (!m.cdb_prefix.empty() || m.bmic >= 0) {
        if (!v.cdb) return false;
        if (v.cdb->size() < m.cdb_prefix.size() ||
            !std::equal(m.cdb_prefix.begin(), m.cdb_prefix.end(), v.cdb->begin()))
            return false;
        if (m.bmic >= 0) {
            const BmicFields b = DecodeBmic(*v.cdb);
            if (!b.is_bmic || b.command != m.bmic) return false;
        }
    }
    return true;
}

Fault* PickFault(std::vector<Fault>& faults, const FaultView& v)
{
    Fault* chosen = nullptr;
    for (Fault& f : faults) {
        if (!FaultMatches(f.match, v)) continue;
        if (f.busy_attempts > 0 && f.streak > 0) {
            // The busy command sent again: refused until its attempts are used up, then it goes through.
            if (f.streak < f.busy_attempts && !chosen) {
                ++f.streak;
                chosen = &f;
            } else if (f.streak >= f.busy_attempts) {
                f.streak = 0;
            }
            continue;
        }
        ++f.seen;
        if (chosen || f.seen <= f.after || (f.times != 0 && f.applied >= f.times)) continue;
        ++f.applied;
        if (f.busy_attempts > 0) f.streak = 1;
        chosen = &f;
    }
    return chosen;
}

bool FaultRejects(const Fault* f)
{
    if (!f) return false;
    const uint32_t srb = static_cast<uint32_t>(f->srb_status) & kSrbStatusMask;
    const bool srb_failed = f->srb_status >= 0 && srb != kSrbStatusSuccess && srb != kSrbStatusDataOverrun;
    return f->scsi_status > 0 || (f->command_status > 0 && f->command_status != kCmdDataUnderrun) ||
           f->reply_status > 0 || srb_failed;
}

void FillGarbage(Bytes& b, uint64_t seed)
{
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (auto& v : b) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        v = static_cast<uint8_t>(x);
    }
}

// ---- one call ------------------------------------------------------------------------------------

IoctlCall::IoctlCall(Host::Impl& h, const NodeCtx& n, UMockdevIoctlClient* c)
    : host(h),
      cs(h.ctrls[n.ctrl]),
      node(n),
      client(c),
      arg(umockdev_ioctl_client_get_arg(c)),
      argp(GetLE64(Copy(arg), 0)),
      request(umockdev_ioctl_client_get_request(c))
{
    rec.seq = ++host.seq;
    rec.node = node.node;
    rec.request = request;
}

IoctlCall::~IoctlCall()
{
    for (UMockdevIoctlData* d : kept_)
        if (d) g_object_unref(d);
}

UMockdevIoctlData* IoctlCall::Resolve(uint64_t addr, size_t len)
{
    UMockdevIoctlData* d = ResolveAt(arg, addr, len);
    kept_.push_back(d);
    return d;
}

gboolean IoctlCall::Finish(long res, int err)
{
    rec.err = res < 0 ? err : 0;
    rec.data_sha256 = Sha256Hex(rec.data);
    if (host.trace) {
        std::fprintf(host.trace, "zevsim: %s %s %s cdb=%s len=%u -> errno=%d status=%u scsi=%u%s\n",
                     cs.config.id.c_str(), rec.node.c_str(), rec.ioctl.c_str(), ToHex(rec.cdb).c_str(), rec.data_length,
                     rec.err, rec.command_status, rec.scsi_status, rec.faulted ? " (fault)" : "");
        std::fflush(host.trace);
    }
    cs.commands.push_back(rec);
    umockdev_ioctl_client_complete(client, res, err);
    return TRUE;
}

gboolean IoctlCall::Refuse(int err, const std::string& rule)
{
    rec.refused_by = rule;
    return Finish(-1, err);
}

const Fault* IoctlCall::PickFault(const Bytes* cdb, int fib, const std::string& target)
{
    return zev::emu::PickFault(cs.config.faults, FaultView{rec.ioctl, cdb, fib, target});
}

bool IoctlCall::FailsIoctl(const Fault* f)
{
    if (!f) return false;
    rec.faulted = true;
    if (f->delay_ms) g_usleep(static_cast<gulong>(f->delay_ms) * 1000);
    if (f->node_vanished) {
        RemoveNode(host.root, node.node);
        Finish(-1, f->err ? f->err : ENODEV);
        return true;
    }
    if (f->err) {
        Finish(-1, f->err);
        return true;
    }
    return false;
}

bool IoctlCall::OverrideStatus(const Fault* f, ScsiResult& r)
{
    if (!f || f->scsi_status < 0) return false;
    r.scsi_status = static_cast<uint8_t>(f->scsi_status);
    r.sense = f->sense;
    rec.faulted = true;
    return true;
}

void IoctlCall::DamageData(const Fault* f, Bytes& data)
{
    if (!f || f->data.empty()) return;
    rec.faulted = true;
    if (f->data == "garbage") FillGarbage(data, rec.seq);
    if (f->data == "truncate" && data.size() > f->truncate_to) std::fill(data.begin() + f->truncate_to, data.end(), 0);
}

ScsiResult IoctlCall::Execute(int disk, const ScsiCommand& cmd)
{
    if (disk >= 0) return cs.fw->ExecuteOnDisk(static_cast<size_t>(disk), cmd);
    return cs.fw->ExecuteOnController(cmd);
}

gboolean IoctlCall::AnswerBlock(const char* ioctl, const std::string& fault_target, Bytes block)
{
    rec.ioctl = ioctl;
    const Fault* f = PickFault(nullptr, -1, fault_target);
    if (FailsIoctl(f)) return TRUE;
    UMockdevIoctlData* p = Resolve(argp, block.size());
    if (!p) return Finish(-1, EFAULT);
    DamageData(f, block);
    Store(p, 0, block);
    rec.data_length = static_cast<uint32_t>(block.size());
    rec.data = std::move(block);
    return Finish(0, 0);
}

PciLocation ParseBdf(const std::string& bdf)
{
    PciLocation l;
    std::sscanf(bdf.c_str(), "%4x:%2x:%2x.%1x", &l.domain, &l.bus, &l.device, &l.function);
    return l;
}

// ---- the dispatch --------------------------------------------------------------------------------

namespace {

const char* AacraidName(unsigned long req)
{
    switch (req) {
    case kReqSendFib:
        return "send_fib";
    case kReqRawSrb:
        return "raw_srb";
    case kReqReset:
        return "reset";
    case kReqAacPciInfo:
        return "aac_pci_info";
    default:
        return "unknown";
    }
}

// The path a driver takes for a request; nullptr when the driver does not know the request.
using Handler = gboolean (*)(IoctlCall&);
Handler Route(unsigned long req, const ControllerConfig& c)
{
    const bool aac = IsAacraid(c.driver);
    switch (req) {
    // smartpqi knows only the regular CISS passthrough.
    case kReqPassthru:
        return aac ? nullptr : CissPassthru;
    case kReqBigPassthru:
        return !aac && IsCissDriver(c.driver) ? CissBigPassthru : nullptr;
    case kReqPciInfo:
        return (aac ? c.pci_info.value_or(false) : c.pci_info.value_or(true)) ? CissPciInfo : nullptr;
    case kReqSgIo:
        return aac ? nullptr : SgIo;
    case kReqSendFib:
        return aac ? SisSendFib : nullptr;
    case kReqRawSrb:
        return aac ? SisRawSrb : nullptr;
    case kReqReset:
        return aac ? SisReset : nullptr;
    case kReqAacPciInfo:
        return aac ? SisPciInfo : nullptr;
    case kReqCsmiSsp:
        return c.csmi ? CsmiSsp : nullptr;  // only where the scenario enables it
    default:
        return nullptr;
    }
}

gboolean HandleIoctlThunk(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    return static_cast<Host::Impl*>(user)->OnIoctl(client);
}

}  // namespace

gboolean Host::Impl::OnIoctl(UMockdevIoctlClient* client)
{
    std::lock_guard<std::mutex> lock(mu);
    const auto found = nodes.find(umockdev_ioctl_client_get_devnode(client));
    if (found == nodes.end()) return FALSE;  // not one of ours: umockdev answers ENOTTY
    if (replay) return ReplayIoctl(*this, found->second, client);
    IoctlCall call(*this, found->second, client);
    const ControllerConfig& c = call.cs.config;
    const bool aac = IsAacraid(c.driver);
    // Every aacraid request passes aac_cfg_ioctl, which wants CAP_SYS_RAWIO.
    if (aac && !call.privileged()) {
        call.rec.ioctl = AacraidName(call.request);
        return call.Refuse(EPERM, "aac_cfg_ioctl: caller lacks CAP_SYS_RAWIO");
    }
    if (const Handler handler = Route(call.request, c)) return handler(call);
    // Requests a driver does not know: hpsa (hpsa_ioctl) and aacraid (aac_do_ioctl) answer ENOTTY,
    // smartpqi (pqi_ioctl) EINVAL; pqi_ioctl has no CCISS_BIG_PASSTHRU.
    call.rec.ioctl = "unknown";
    if (IsSmartpqi(c.driver)) return call.Refuse(EINVAL, "pqi_ioctl: unknown request");
    return call.Refuse(ENOTTY, aac ? "aac_do_ioctl: unknown request" : "hpsa_ioctl: unknown request");
}

void Host::Impl::Attach(size_t ctrl, int disk, const std::string& node)
{
    nodes[node] = NodeCtx{ctrl, disk, node, false};
    AttachNode(nodes[node]);
}

void Host::Impl::AttachOnOpen(size_t ctrl, int disk, const std::string& node)
{
    nodes[node] = NodeCtx{ctrl, disk, node, false};
}

void Host::Impl::AttachNode(NodeCtx& n)
{
    if (!handler) {
        handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(HandleIoctlThunk), this);
    }
    GError* err = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed, n.node.c_str(), handler, &err)) {
        std::string msg = err ? err->message : "unknown error";
        if (err) g_error_free(err);
        throw std::runtime_error("emulator: cannot attach the driver to " + n.node + ": " + msg);
    }
    n.attached = true;
    attached.push_back(n.node);
}

// The preload's request: the node path, then end of stream; the answer is one byte, '1' when the node
// is attached (or already was).
void Host::Impl::StartAttachService()
{
    const std::string path = root + "/" + kAttachSocketName;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("emulator: socket path too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    attach_socket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (attach_socket < 0 || bind(attach_socket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(attach_socket, 64) != 0 || pipe2(attach_stop, O_CLOEXEC) != 0)
        throw std::runtime_error("emulator: cannot listen on " + path + ": " + std::strerror(errno));
    attach_thread = std::thread([this] { ServeAttachRequests(); });
}

void Host::Impl::ServeAttachRequests()
{
    for (;;) {
        pollfd fds[2] = {{attach_socket, POLLIN, 0}, {attach_stop[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        const int c = accept4(attach_socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        std::string path;
        char buf[256];
        ssize_t got;
        while (path.size() < 4096 && (got = read(c, buf, sizeof buf)) > 0) path.append(buf, static_cast<size_t>(got));
        char answer = '0';
        {
            std::lock_guard<std::mutex> lock(mu);
            const auto found = nodes.find(path);
            if (found != nodes.end()) {
                try {
                    if (!found->second.attached) AttachNode(found->second);
                    answer = '1';
                } catch (const std::exception&) {
                    // The open goes on unattached: its ioctls fail with ENOTTY, which the test sees.
                }
            }
        }
        if (write(c, &answer, 1) != 1) {
            // The client gave up waiting; nothing to tell it.
        }
        close(c);
    }
}

void Host::Impl::DetachAll()
{
    if (attach_thread.joinable()) {
        const char stop = 1;
        if (write(attach_stop[1], &stop, 1) == 1)
            attach_thread.join();
        else
            attach_thread.detach();
    }
    for (int* fd : {&attach_socket, &attach_stop[0], &attach_stop[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    for (const std::string& n : attached) umockdev_testbed_detach_ioctl(bed, n.c_str(), nullptr);
    attached.clear();
    if (handler) g_object_unref(handler);
    handler = nullptr;
}

}  // namespace zev::emu
