// The driver model inside the emulated host: the host's state, one ioctl as a handler sees it, the
// scenario faults, and the handlers, one per driver path (emu_ciss.cpp, emu_sgio.cpp, emu_sis.cpp,
// emu_csmi.cpp), reached from the one dispatch on the request number in emu_ioctl.cpp.
#pragma once

#include <glib.h>
#include <umockdev.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "emu_host.hpp"
#include "emu_requests.hpp"
#include "emu_structs.hpp"

namespace zev::emu {

// In the test bed root: where the preload asks for a node to be attached (emu_preload.c names it too).
inline constexpr const char* kAttachSocketName = "zevsim.attach";

// An emulated device node: which controller answers it, and as which device.
struct NodeCtx {
    size_t ctrl = 0;
    int disk = -1;  // -1: the controller's own node
    std::string node;
    bool attached = false;
};

struct CtrlState {
    ControllerConfig config;
    std::unique_ptr<ControllerFirmware> fw;
    std::vector<CommandRecord> commands;
    std::string node;     // controller's node
    std::string devpath;  // "sys/devices/..." of the PCI function
};

// A recording served in place of the driver model (emu_replay.cpp).
struct ReplayState;

struct Host::Impl {
    Scenario scenario;
    std::shared_ptr<ReplayState> replay;  // set: a recorded host, and no controller model
    UMockdevTestbed* bed = nullptr;
    std::string root;
    std::vector<CtrlState> ctrls;
    // One ioctl handler serves every node, which it finds here by the node the client opened. umockdev
    // listens on one socket per attached node and every listener slows every emulated ioctl, so disk
    // nodes are attached when a process first opens one (the preload asks through `attach_socket`).
    UMockdevIoctlBase* handler = nullptr;
    std::unordered_map<std::string, NodeCtx> nodes;
    std::vector<std::string> attached;  // nodes the handler listens on, in attach order
    int attach_socket = -1;
    int attach_stop[2] = {-1, -1};
    std::thread attach_thread;
    mutable std::mutex mu;
    uint64_t seq = 0;
    std::FILE* trace = nullptr;

    void Build();
    void BuildFromRecording(const Recording& recording);
    void BuildController(size_t k);
    void ScsiDevice(const std::string& hostdir, int host, int ch, int tg, int lun, int type, int sg,
                    const std::string& vendor, const std::string& model, const std::string& rev, bool node);
    void Attach(size_t ctrl, int disk, const std::string& node);  // now
    void AttachOnOpen(size_t ctrl, int disk, const std::string& node);
    void AttachNode(NodeCtx& n);
    void StartAttachService();
    void ServeAttachRequests();
    void DetachAll();
    gboolean OnIoctl(UMockdevIoctlClient* client);
};

// ---- replay of a recording ----------------------------------------------------------------------
std::shared_ptr<ReplayState> NewReplay(const Recording& recording, const std::string& source);
gboolean ReplayIoctl(Host::Impl& host, const NodeCtx& node, UMockdevIoctlClient* client);
nlohmann::json ReplayReport(const ReplayState& replay);
std::string ReplaySummary(const ReplayState& replay);

// Removes an emulated node and its device number link (the "node_vanished" fault).
void RemoveNode(const std::string& root, const std::string& abs);

// A PCI function's "dddd:bb:dd.f" address in numbers (zero where the text does not say).
struct PciLocation {
    unsigned domain = 0, bus = 0, device = 0, function = 0;
};
PciLocation ParseBdf(const std::string& bdf);

// ---- caller memory -----------------------------------------------------------------------------
// Resolves `len` bytes of client memory at `addr`, each call through a fresh slot of `arg` so that
// umockdev's per-offset cache never hands back an earlier, shorter block. nullptr for a null address
// or a zero length.
UMockdevIoctlData* ResolveAt(UMockdevIoctlData* arg, uint64_t addr, size_t len);
Bytes Copy(const UMockdevIoctlData* d);
void Store(UMockdevIoctlData* d, size_t off, const Bytes& b);
void StoreLE16(UMockdevIoctlData* d, size_t off, uint16_t v);
void StoreLE32(UMockdevIoctlData* d, size_t off, uint32_t v);

// ---- scenario faults -----------------------------------------------------------------------------
// What a fault rule looks at.
struct FaultView {
    std::string ioctl;
    const Bytes* cdb = nullptr;
    int fib = -1;
    std::string target;  // "controller", "disk" or "" (requests without an addressed device)
};
bool FaultMatches(const FaultMatch& m, const FaultView& v);
// The fault that applies to this command, counting it against every rule that matches; nullptr if none.
Fault* PickFault(std::vector<Fault>& faults, const FaultView& v);
// A rejection by the controller: the command does not reach the firmware.
bool FaultRejects(const Fault* f);
// Deterministic filler for the "garbage" fault.
void FillGarbage(Bytes& b, uint64_t seed);

// ---- one ioctl as a handler sees it ------------------------------------------------------------
class IoctlCall {
public:
    IoctlCall(Host::Impl& host, const NodeCtx& node, UMockdevIoctlClient* client);
    ~IoctlCall();
    IoctlCall(const IoctlCall&) = delete;
    IoctlCall& operator=(const IoctlCall&) = delete;

    // Client memory, held until the call ends (after the answer is written back).
    UMockdevIoctlData* Resolve(uint64_t addr, size_t len);
    // Completes the ioctl with its result and errno, and records it.
    gboolean Finish(long res, int err);
    // A request the driver's own checks refuse before it reaches the adapter: listed in the report.
    gboolean Refuse(int err, const std::string& rule);

    const Fault* PickFault(const Bytes* cdb, int fib, const std::string& target);
    // A fault that fails the ioctl itself, or removes the node: true when the call is finished.
    bool FailsIoctl(const Fault* f);
    // The fault's SCSI status and sense in place of the device's; false when it sets none.
    bool OverrideStatus(const Fault* f, ScsiResult& r);
    // The fault's damage to the bytes the device returns.
    void DamageData(const Fault* f, Bytes& data);
    ScsiResult Execute(int disk, const ScsiCommand& cmd);
    // Answers with a block of bytes at the argument (the information requests), faults applied.
    gboolean AnswerBlock(const char* ioctl, const std::string& fault_target, Bytes block);

    bool privileged() const { return host.scenario.privileged; }
    const std::string& driver() const { return cs.config.driver; }

    Host::Impl& host;
    CtrlState& cs;
    const NodeCtx& node;
    UMockdevIoctlClient* const client;
    UMockdevIoctlData* const arg;  // the ioctl's argument word
    const uint64_t argp;           // its value: the address the request points to
    const unsigned long request;
    CommandRecord rec;

private:
    std::vector<UMockdevIoctlData*> kept_;
};

// ---- the handlers, one per driver path ---------------------------------------------------------
gboolean CissPassthru(IoctlCall& call);  // emu_ciss.cpp
gboolean CissBigPassthru(IoctlCall& call);
gboolean CissPciInfo(IoctlCall& call);
gboolean SgIo(IoctlCall& call);        // emu_sgio.cpp
gboolean SisSendFib(IoctlCall& call);  // emu_sis.cpp
gboolean SisRawSrb(IoctlCall& call);
gboolean SisReset(IoctlCall& call);
gboolean SisPciInfo(IoctlCall& call);
gboolean CsmiSsp(IoctlCall& call);  // emu_csmi.cpp

}  // namespace zev::emu
