#include "emu_host.hpp"

#include <fcntl.h>
#include <linux/cciss_ioctl.h>
#include <scsi/sg.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <glib.h>
#include <umockdev.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

#ifndef ZEV_EMU_PRELOAD_PATH
#define ZEV_EMU_PRELOAD_PATH ""
#endif

namespace zev::emu {

namespace {

// ---- ioctl request numbers -------------------------------------------------------------------
constexpr unsigned long kReqPassthru = CCISS_PASSTHRU;
constexpr unsigned long kReqBigPassthru = CCISS_BIG_PASSTHRU;
constexpr unsigned long kReqPciInfo = CCISS_GETPCIINFO;
constexpr unsigned long kReqSgIo = SG_IO;
constexpr unsigned long kReqSendFib = 0x42008;
constexpr unsigned long kReqRawSrb = 0x4204C;
constexpr unsigned long kReqReset = 0x42170;
constexpr unsigned long kReqCsmiSsp = 0xCC770018;
constexpr unsigned long kReqAacPciInfo = 0x4211C;  // FSACTL_GET_PCI_INFO
static_assert(kReqPassthru == 0xC058420Bul && kReqBigPassthru == 0xC0604212ul && kReqPciInfo == 0x80084201ul &&
                  kReqSgIo == 0x2285,
              "request numbers of the Linux headers");

// ---- CISS passthrough (linux/cciss_ioctl.h), offsets in the request ------------------------
constexpr size_t kCissLun = 0;
constexpr size_t kCissCdbLength = 8;
constexpr size_t kCissType = 9;
constexpr size_t kCissCdb = 12;
constexpr size_t kCissScsiStatus = 28;
constexpr size_t kCissSenseLength = 29;
constexpr size_t kCissCommandStatus = 30;
constexpr size_t kCissResidual = 32;
constexpr size_t kCissSenseInfo = 44;
constexpr size_t kCissSenseMax = 32;
constexpr size_t kCissBufSize = 76;  // u16 in the regular request
constexpr size_t kCissBuf = 80;
constexpr size_t kCissSize = 88;
constexpr size_t kBigMallocSize = 76;
constexpr size_t kBigBufSize = 80;
constexpr size_t kBigBuf = 88;
constexpr size_t kBigSize = 96;
static_assert(offsetof(IOCTL_Command_struct, LUN_info) == kCissLun);
static_assert(offsetof(IOCTL_Command_struct, Request) + offsetof(RequestBlock_struct, CDB) == kCissCdb);
static_assert(offsetof(IOCTL_Command_struct, error_info) + offsetof(ErrorInfo_struct, CommandStatus) ==
              kCissCommandStatus);
static_assert(offsetof(IOCTL_Command_struct, error_info) + offsetof(ErrorInfo_struct, SenseInfo) == kCissSenseInfo);
static_assert(offsetof(IOCTL_Command_struct, buf_size) == kCissBufSize);
static_assert(offsetof(IOCTL_Command_struct, buf) == kCissBuf && sizeof(IOCTL_Command_struct) == kCissSize);
static_assert(offsetof(BIG_IOCTL_Command_struct, malloc_size) == kBigMallocSize);
static_assert(offsetof(BIG_IOCTL_Command_struct, buf_size) == kBigBufSize);
static_assert(offsetof(BIG_IOCTL_Command_struct, buf) == kBigBuf && sizeof(BIG_IOCTL_Command_struct) == kBigSize);
constexpr uint32_t kBigMaxMalloc = 128000;  // the driver's largest single allocation
constexpr uint32_t kBigMaxEntries = 32;

// CISS command status values.
constexpr uint16_t kCmdSuccess = 0;
constexpr uint16_t kCmdTargetStatus = 1;
constexpr uint16_t kCmdDataUnderrun = 2;
constexpr uint16_t kCmdDataOverrun = 3;
constexpr uint16_t kCmdInvalid = 4;

// ---- PCI information ----------------------------------------------------------------------
constexpr size_t kPciBus = 0;
constexpr size_t kPciDevFn = 1;
constexpr size_t kPciDomain = 2;
constexpr size_t kPciBoardId = 4;
constexpr size_t kPciSize = 8;
static_assert(sizeof(cciss_pci_info_struct) == kPciSize);

// ---- SG_IO (scsi/sg.h) ----------------------------------------------------------------------
constexpr size_t kSgInterfaceId = offsetof(sg_io_hdr_t, interface_id);
constexpr size_t kSgDirection = offsetof(sg_io_hdr_t, dxfer_direction);
constexpr size_t kSgCmdLen = offsetof(sg_io_hdr_t, cmd_len);
constexpr size_t kSgMxSbLen = offsetof(sg_io_hdr_t, mx_sb_len);
constexpr size_t kSgIovecCount = offsetof(sg_io_hdr_t, iovec_count);
constexpr size_t kSgDxferLen = offsetof(sg_io_hdr_t, dxfer_len);
constexpr size_t kSgDxferp = offsetof(sg_io_hdr_t, dxferp);
constexpr size_t kSgCmdp = offsetof(sg_io_hdr_t, cmdp);
constexpr size_t kSgSbp = offsetof(sg_io_hdr_t, sbp);
constexpr size_t kSgStatus = offsetof(sg_io_hdr_t, status);
constexpr size_t kSgMaskedStatus = offsetof(sg_io_hdr_t, masked_status);
constexpr size_t kSgSbLenWr = offsetof(sg_io_hdr_t, sb_len_wr);
constexpr size_t kSgHostStatus = offsetof(sg_io_hdr_t, host_status);
constexpr size_t kSgDriverStatus = offsetof(sg_io_hdr_t, driver_status);
constexpr size_t kSgResid = offsetof(sg_io_hdr_t, resid);
constexpr size_t kSgDuration = offsetof(sg_io_hdr_t, duration);
constexpr size_t kSgInfo = offsetof(sg_io_hdr_t, info);
constexpr size_t kSgSize = sizeof(sg_io_hdr_t);
static_assert(kSgSize == 88 && kSgDxferp == 16 && kSgSbp == 32 && kSgStatus == 64 && kSgInfo == 80);

// ---- aacraid FIB and raw SRB -------------------------------------------------------------------
constexpr size_t kFibHeader = 32;
constexpr size_t kFibCommand = 4;
constexpr size_t kFibSize = 8;
constexpr size_t kFibSenderSize = 10;
constexpr size_t kFibMax = 2048;  // the adapter's largest FIB
constexpr uint16_t kFibAdapterInfo = 703;
constexpr uint16_t kFibSupplementInfo = 706;
constexpr size_t kAdapterInfoOptions = 80;  // in the data area
constexpr uint32_t kOptionSupplement = 1u << 16;
constexpr size_t kSupplementBus = 200;
constexpr size_t kSupplementTarget = 202;
constexpr size_t kSupplementLun = 204;

constexpr size_t kSrbHeader = 36;  // nine u32 fields
constexpr size_t kSrbChannel = 4;
constexpr size_t kSrbId = 8;
constexpr size_t kSrbLun = 12;
constexpr size_t kSrbFlags = 20;
constexpr size_t kSrbCount = 24;  // size of the SRB in bytes
constexpr size_t kSrbCdbSize = 32;
constexpr size_t kSrbCdb = 36;        // 16 bytes
constexpr size_t kSrbSgCount = 52;
constexpr size_t kSrbSgEntries = 56;
constexpr size_t kSrbMinSize = 56;
constexpr size_t kSrbReplySize = 50;  // status, SRB status, SCSI status, transfer length, sense size, 30 sense bytes
constexpr size_t kSrbReplyStatus = 0;
constexpr size_t kSrbReplySrbStatus = 4;
constexpr size_t kSrbReplyScsiStatus = 8;
constexpr size_t kSrbReplyXfer = 12;
constexpr size_t kSrbReplySenseSize = 16;
constexpr size_t kSrbReplySense = 20;
constexpr size_t kSrbReplySenseMax = 30;
constexpr uint32_t kSrbDataIn = 0x40;
constexpr uint32_t kSrbDataOut = 0x80;
constexpr uint32_t kSrbStatusSuccess = 0x01;
constexpr uint32_t kSrbStatusError = 0x04;
constexpr uint32_t kSrbStatusSelectionTimeout = 0x0A;
constexpr uint32_t kSrbStatusDataOverrun = 0x12;
constexpr uint32_t kSrbStatusInvalidRequest = 0x06;
constexpr uint32_t kSrbStatusMask = 0x3F;
constexpr uint32_t kAacMaxSgEmbedded = 28;     // HBA_MAX_SG_EMBEDDED
constexpr uint32_t kAacSgEntryMax = 65536;     // per entry, adapters without the new comm interface
constexpr size_t kAacPciInfoSize = 8;          // u32 bus, u32 slot

// ---- CSMI SAS SSP passthrough: 20-byte Linux CSMI header, then the parameter block ----------------
constexpr size_t kCsmiHeader = 20;
constexpr size_t kCsmiLength = 4;
constexpr size_t kCsmiReturnCode = 8;
constexpr size_t kWrapHeader = 28;        // the header of the structure the firmware model takes
constexpr size_t kWrapReturnCode = 20;
constexpr size_t kWrapLength = 24;
constexpr size_t kSspParamOverhead = 340;  // parameters and status before the data
constexpr size_t kCsmiMaxLength = 1u << 20;

std::atomic<bool> g_host_alive{false};

// ---- test bed files ----------------------------------------------------------------------------
void MakeDirs(const std::string& path) {
  if (g_mkdir_with_parents(path.c_str(), 0755) != 0)
    throw std::runtime_error("emulator: cannot create " + path + ": " + std::strerror(errno));
}
void WriteFile(const std::string& path, const std::string& content) {
  MakeDirs(path.substr(0, path.rfind('/')));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("emulator: cannot write " + path);
  out << content;
}
std::string Dirname(const std::string& p) {
  const size_t s = p.rfind('/');
  return s == std::string::npos ? "" : p.substr(0, s);
}
// Relative target from the directory holding the link to a path, both relative to the bed root.
std::string RelativeTarget(const std::string& link_rel, const std::string& target_rel) {
  std::string dir = Dirname(link_rel);
  std::string up;
  if (!dir.empty()) {
    up = "../";
    for (char c : dir)
      if (c == '/') up += "../";
  }
  return up + target_rel;
}
void Link(const std::string& root, const std::string& link_rel, const std::string& target_rel) {
  const std::string full = root + "/" + link_rel;
  MakeDirs(Dirname(full));
  const std::string target = RelativeTarget(link_rel, target_rel);
  if (symlink(target.c_str(), full.c_str()) != 0)
    throw std::runtime_error("emulator: cannot link " + full + ": " + std::strerror(errno));
}
void RawLink(const std::string& root, const std::string& link_rel, const std::string& target) {
  const std::string full = root + "/" + link_rel;
  MakeDirs(Dirname(full));
  unlink(full.c_str());
  if (symlink(target.c_str(), full.c_str()) != 0)
    throw std::runtime_error("emulator: cannot link " + full + ": " + std::strerror(errno));
}
// An emulated character device: an empty file plus dev/.node/<name> -> "major:minor".
void CharNode(const std::string& root, const std::string& name, unsigned major, unsigned minor, unsigned mode) {
  WriteFile(root + "/dev/" + name, "");
  // As on a real host, a node is root's alone unless the scenario says otherwise.
  if (chmod((root + "/dev/" + name).c_str(), mode) != 0)
    throw std::runtime_error("emulator: cannot set the mode of /dev/" + name);
  RawLink(root, "dev/.node/" + name, std::to_string(major) + ":" + std::to_string(minor));
}
void RemoveNode(const std::string& root, const std::string& abs) {
  if (abs.compare(0, 5, "/dev/") != 0) return;
  std::string name = abs.substr(5);
  unlink((root + abs).c_str());
  for (char& c : name)
    if (c == '/') c = '_';
  unlink((root + "/dev/.node/" + name).c_str());
}
std::string Hex4(unsigned v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%04x", v);
  return b;
}
std::string Padded(const std::string& s, size_t width) {
  std::string r = s.substr(0, width);
  r.resize(width, ' ');
  return r;
}

// Deterministic filler for the "garbage" fault.
void FillGarbage(Bytes& b, uint64_t seed) {
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (auto& v : b) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    v = static_cast<uint8_t>(x);
  }
}

}  // namespace

// ---- per-node and per-controller state -----------------------------------------------------------

struct NodeCtx {
  Host::Impl* impl = nullptr;
  size_t ctrl = 0;
  int disk = -1;  // -1: the controller's own node
  std::string node;
  UMockdevIoctlBase* handler = nullptr;
};

struct CtrlState {
  ControllerConfig config;
  std::unique_ptr<ControllerFirmware> fw;
  std::vector<CommandRecord> commands;
  std::string node;     // controller's node
  std::string devpath;  // "sys/devices/..." of the PCI function
};

struct Host::Impl {
  Scenario scenario;
  UMockdevTestbed* bed = nullptr;
  std::string root;
  std::vector<CtrlState> ctrls;
  std::vector<std::unique_ptr<NodeCtx>> nodes;
  mutable std::mutex mu;
  uint64_t seq = 0;
  std::FILE* trace = nullptr;

  void Build();
  void BuildController(size_t k);
  void ScsiDevice(const std::string& hostdir, int host, int ch, int tg, int lun, int type, int sg,
                  const std::string& vendor, const std::string& model, const std::string& rev, bool node);
  void Attach(size_t ctrl, int disk, const std::string& node);
  gboolean OnIoctl(NodeCtx* n, UMockdevIoctlClient* client);
};

namespace {

// What a fault rule looks at.
struct View {
  std::string ioctl;
  const Bytes* cdb = nullptr;
  int fib = -1;
  std::string target;  // "controller" or "disk"
};

bool Matches(const FaultMatch& m, const View& v) {
  if (!m.ioctl.empty() && m.ioctl != v.ioctl) return false;
  if (!m.target.empty() && m.target != v.target) return false;
  if (m.fib >= 0 && m.fib != v.fib) return false;
  if (!m.cdb_prefix.empty() || m.bmic >= 0) {
    if (!v.cdb) return false;
    if (v.cdb->size() < m.cdb_prefix.size() || !std::equal(m.cdb_prefix.begin(), m.cdb_prefix.end(), v.cdb->begin()))
      return false;
    if (m.bmic >= 0) {
      const BmicFields b = DecodeBmic(*v.cdb);
      if (!b.is_bmic || b.command != m.bmic) return false;
    }
  }
  return true;
}

Fault* PickFault(std::vector<Fault>& faults, const View& v) {
  Fault* chosen = nullptr;
  for (Fault& f : faults) {
    if (!Matches(f.match, v)) continue;
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

// A rejection by the controller: the command does not reach the firmware.
bool Rejects(const Fault* f) {
  const bool srb_failed = f && f->srb_status >= 0 && (static_cast<uint32_t>(f->srb_status) & kSrbStatusMask) != kSrbStatusSuccess &&
                          (static_cast<uint32_t>(f->srb_status) & kSrbStatusMask) != kSrbStatusDataOverrun;
  return f && ((f->scsi_status > 0) || (f->command_status > 0 && f->command_status != kCmdDataUnderrun) ||
               f->reply_status > 0 || srb_failed);
}

// Data faults on what the device returns.
void ApplyDataFault(const Fault* f, Bytes& data, uint64_t seq) {
  if (!f) return;
  if (f->data == "garbage") FillGarbage(data, seq);
  if (f->data == "truncate" && data.size() > f->truncate_to)
    std::fill(data.begin() + f->truncate_to, data.end(), 0);
}

// Resolves `len` bytes of client memory at `addr`, each call through a fresh slot of `arg` so that
// umockdev's per-offset cache never hands back an earlier, shorter block.
UMockdevIoctlData* ResolveAt(UMockdevIoctlData* arg, uint64_t addr, size_t len) {
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

Bytes Copy(const UMockdevIoctlData* d) {
  return d ? Bytes(d->data, d->data + d->data_len) : Bytes{};
}
void Store(UMockdevIoctlData* d, size_t off, const Bytes& b) {
  if (!d) return;
  for (size_t i = 0; i < b.size() && off + i < static_cast<size_t>(d->data_len); ++i) d->data[off + i] = b[i];
}
void StoreLE32(UMockdevIoctlData* d, size_t off, uint32_t v) {
  Bytes b;
  PutLE32(b, 0, v);
  Store(d, off, b);
}
void StoreLE16(UMockdevIoctlData* d, size_t off, uint16_t v) {
  Bytes b;
  PutLE16(b, 0, v);
  Store(d, off, b);
}
struct Unref {
  std::vector<UMockdevIoctlData*> list;
  ~Unref() {
    for (auto* d : list)
      if (d) g_object_unref(d);
  }
  UMockdevIoctlData* operator()(UMockdevIoctlData* d) {
    list.push_back(d);
    return d;
  }
};

gboolean HandleIoctlThunk(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  NodeCtx* n = static_cast<NodeCtx*>(user);
  return n->impl->OnIoctl(n, client);
}

}  // namespace

// ---- building the tree ---------------------------------------------------------------------------

void Host::Impl::Build() {
  for (size_t k = 0; k < ctrls.size(); ++k) BuildController(k);

  for (const std::string& d : scenario.extra_drivers) {
    const std::string dir = "sys/bus/pci/drivers/" + d;
    MakeDirs(root + "/" + dir);
    WriteFile(root + "/" + dir + "/bind", "");
    MakeDirs(root + "/sys/module/" + d);
    if (access((root + "/" + dir + "/module").c_str(), F_OK) != 0) Link(root, dir + "/module", "sys/module/" + d);
  }
  for (const ExtraHost& h : scenario.extra_hosts) {
    const std::string hostdir = "sys/devices/pci0000:00/0000:00:1f.2/ata" + std::to_string(h.host + 1) + "/host" +
                                std::to_string(h.host);
    WriteFile(root + "/" + hostdir + "/scsi_host/host" + std::to_string(h.host) + "/proc_name", h.proc_name + "\n");
    Link(root, "sys/class/scsi_host/host" + std::to_string(h.host),
         hostdir + "/scsi_host/host" + std::to_string(h.host));
  }
  if (scenario.proc_devices) {
    std::string pd =
        "Character devices:\n  1 mem\n  4 /dev/vc/0\n  4 tty\n  5 /dev/tty\n  5 /dev/console\n  5 /dev/ptmx\n"
        " 10 misc\n 21 sg\n";
    if (scenario.aac_major > 0) {
      char line[32];
      std::snprintf(line, sizeof line, "%3d aac\n", scenario.aac_major);
      pd += line;
    }
    pd += "128 ptm\n136 pts\n\nBlock devices:\n  7 loop\n  8 sd\n 65 sd\n";
    WriteFile(root + "/proc/devices", pd);
  }
  for (const ExtraFile& f : scenario.extra_files) WriteFile(root + "/" + f.path, f.content);
  for (const ExtraLink& l : scenario.extra_links) RawLink(root, l.path, l.target);
}

void Host::Impl::ScsiDevice(const std::string& hostdir, int host, int ch, int tg, int lun, int type, int sg,
                            const std::string& vendor, const std::string& model, const std::string& rev, bool node) {
  const std::string h = std::to_string(host);
  const std::string tgt = "target" + h + ":" + std::to_string(ch) + ":" + std::to_string(tg);
  const std::string addr = h + ":" + std::to_string(ch) + ":" + std::to_string(tg) + ":" + std::to_string(lun);
  const std::string sdev = hostdir + "/" + tgt + "/" + addr;
  WriteFile(root + "/" + sdev + "/type", std::to_string(type) + "\n");
  WriteFile(root + "/" + sdev + "/vendor", Padded(vendor, 8) + "\n");
  WriteFile(root + "/" + sdev + "/model", Padded(model, 16) + "\n");
  WriteFile(root + "/" + sdev + "/rev", Padded(rev, 4) + "\n");
  WriteFile(root + "/" + sdev + "/uevent", "DEVTYPE=scsi_device\nMODALIAS=scsi:t-0x" + std::to_string(type) + "\n");
  Link(root, "sys/bus/scsi/devices/" + addr, sdev);
  if (sg < 0) return;
  const std::string sgname = "sg" + std::to_string(sg);
  const std::string sgdir = sdev + "/scsi_generic/" + sgname;
  WriteFile(root + "/" + sgdir + "/dev", "21:" + std::to_string(sg) + "\n");
  WriteFile(root + "/" + sgdir + "/uevent", "MAJOR=21\nMINOR=" + std::to_string(sg) + "\nDEVNAME=" + sgname + "\n");
  RawLink(root, sgdir + "/device", "../../");
  Link(root, sgdir + "/subsystem", "sys/class/scsi_generic");
  Link(root, "sys/class/scsi_generic/" + sgname, sgdir);
  if (node) CharNode(root, sgname, 21, static_cast<unsigned>(sg), scenario.node_mode);
}

void Host::Impl::BuildController(size_t k) {
  CtrlState& cs = ctrls[k];
  const ControllerConfig& c = cs.config;
  unsigned dom = 0, bus = 0, dev = 0, fn = 0;
  std::sscanf(c.bdf.c_str(), "%4x:%2x:%2x.%1x", &dom, &bus, &dev, &fn);
  char rootbus[32];
  std::snprintf(rootbus, sizeof rootbus, "pci%04x:00", dom);
  cs.devpath = std::string("sys/devices/") + rootbus + "/" + c.root_port + "/" + c.bdf;
  const std::string d = root + "/" + cs.devpath;
  WriteFile(d + "/vendor", Hex4(c.vendor) + "\n");
  WriteFile(d + "/device", Hex4(c.device) + "\n");
  WriteFile(d + "/subsystem_vendor", Hex4(c.subsystem_vendor) + "\n");
  WriteFile(d + "/subsystem_device", Hex4(c.subsystem_device) + "\n");
  char cls[16];
  std::snprintf(cls, sizeof cls, "0x%06x", c.pci_class);
  WriteFile(d + "/class", std::string(cls) + "\n");
  char ids[64];
  std::snprintf(ids, sizeof ids, "PCI_ID=%04X:%04X\nPCI_SUBSYS_ID=%04X:%04X\n", c.vendor, c.device,
                c.subsystem_vendor, c.subsystem_device);
  WriteFile(d + "/uevent", "DRIVER=" + c.driver + "\nPCI_CLASS=" + std::string(cls + 2) + "\n" + ids +
                               "PCI_SLOT_NAME=" + c.bdf + "\n");
  const std::string drvdir = "sys/bus/pci/drivers/" + c.driver;
  if (access((root + "/" + drvdir + "/bind").c_str(), F_OK) != 0) {
    WriteFile(root + "/" + drvdir + "/bind", "");
    WriteFile(root + "/" + drvdir + "/unbind", "");
    WriteFile(root + "/" + drvdir + "/new_id", "");
    WriteFile(root + "/" + drvdir + "/uevent", "");
    MakeDirs(root + "/sys/module/" + c.driver);
    Link(root, drvdir + "/module", "sys/module/" + c.driver);
  }
  Link(root, drvdir + "/" + c.bdf, cs.devpath);
  Link(root, cs.devpath + "/driver", drvdir);
  Link(root, "sys/bus/pci/devices/" + c.bdf, cs.devpath);

  const std::string h = std::to_string(c.host);
  const std::string hostdir = cs.devpath + "/host" + h;
  WriteFile(root + "/" + hostdir + "/uevent", "DEVTYPE=scsi_host\n");
  WriteFile(root + "/" + hostdir + "/scsi_host/host" + h + "/proc_name", c.driver + "\n");
  Link(root, "sys/class/scsi_host/host" + h, hostdir + "/scsi_host/host" + h);

  const bool aac = IsAacraid(c.driver);
  const IdentifyConfig& id = c.firmware.identify;
  if (!aac) {
    ScsiDevice(hostdir, c.host, c.channel, c.target, c.lun, c.type, c.sg, id.vendor_id, id.product_id,
               id.firmware_version, c.node == "present");
    cs.node = "/dev/sg" + std::to_string(c.sg);
    Attach(k, -1, cs.node);
  } else {
    const unsigned major = scenario.aac_major > 0 ? static_cast<unsigned>(scenario.aac_major) : 250;
    // The driver's adapter id is the node's minor (aac_cfg_open); it need not follow the host order.
    const std::string name = "aac" + std::to_string(c.adapter_id);
    cs.node = "/dev/" + name;
    if (c.node == "present") CharNode(root, name, major, static_cast<unsigned>(c.adapter_id), scenario.node_mode);
    if (c.node == "stale") CharNode(root, name, major + 1, static_cast<unsigned>(c.adapter_id), scenario.node_mode);
    if (c.node == "not_char") WriteFile(root + "/dev/" + name, "");
    Attach(k, -1, cs.node);
  }
  for (size_t i = 0; i < c.disks.size(); ++i) {
    const DiskConfig& dk = c.disks[i];
    ScsiDevice(hostdir, c.host, dk.channel, dk.target, dk.lun, dk.type, dk.sg, dk.vendor, dk.model, dk.rev, dk.node);
    // Every attached handler slows each emulated ioctl down; a disk without a node needs none.
    if (dk.node) Attach(k, static_cast<int>(i), "/dev/sg" + std::to_string(dk.sg));
  }
}

void Host::Impl::Attach(size_t ctrl, int disk, const std::string& node) {
  auto n = std::make_unique<NodeCtx>();
  n->impl = this;
  n->ctrl = ctrl;
  n->disk = disk;
  n->node = node;
  n->handler = umockdev_ioctl_base_new();
  g_signal_connect(n->handler, "handle-ioctl", G_CALLBACK(HandleIoctlThunk), n.get());
  GError* err = nullptr;
  if (!umockdev_testbed_attach_ioctl(bed, node.c_str(), n->handler, &err)) {
    std::string msg = err ? err->message : "unknown error";
    if (err) g_error_free(err);
    g_object_unref(n->handler);
    throw std::runtime_error("emulator: cannot attach the driver to " + node + ": " + msg);
  }
  nodes.push_back(std::move(n));
}

// ---- the driver model ------------------------------------------------------------------------------

gboolean Host::Impl::OnIoctl(NodeCtx* n, UMockdevIoctlClient* client) {
  std::lock_guard<std::mutex> lock(mu);
  CtrlState& cs = ctrls[n->ctrl];
  const std::string& drv = cs.config.driver;
  const bool aac = IsAacraid(drv);
  const unsigned long req = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const uint64_t argp = GetLE64(Copy(arg), 0);
  Unref keep;

  CommandRecord rec;
  rec.seq = ++seq;
  rec.node = n->node;
  rec.request = req;
  auto finish = [&](long res, int e) {
    rec.err = res < 0 ? e : 0;
    rec.data_sha256 = Sha256Hex(rec.data);
    if (trace) {
      std::fprintf(trace, "zevsim: %s %s %s cdb=%s len=%u -> errno=%d status=%u scsi=%u%s\n", cs.config.id.c_str(),
                   rec.node.c_str(), rec.ioctl.c_str(), ToHex(rec.cdb).c_str(), rec.data_length, rec.err,
                   rec.command_status, rec.scsi_status, rec.faulted ? " (fault)" : "");
      std::fflush(trace);
    }
    cs.commands.push_back(rec);
    umockdev_ioctl_client_complete(client, res, e);
    return TRUE;
  };
  // A fault that fails the ioctl itself, or removes the node.
  auto ioctl_fault = [&](const Fault* f) -> bool {
    if (!f) return false;
    rec.faulted = true;
    if (f->delay_ms) g_usleep(static_cast<gulong>(f->delay_ms) * 1000);
    if (f->node_vanished) {
      RemoveNode(root, n->node);
      finish(-1, f->err ? f->err : ENODEV);
      return true;
    }
    if (f->err) {
      finish(-1, f->err);
      return true;
    }
    return false;
  };
  // A request the driver's own checks refuse before it reaches the adapter: listed in the report.
  auto refuse = [&](int e, const char* rule) {
    rec.refused_by = rule;
    return finish(-1, e);
  };
  const bool privileged = scenario.privileged;
  // Every aacraid request passes aac_cfg_ioctl, which wants CAP_SYS_RAWIO.
  if (aac && !privileged) {
    rec.ioctl = req == kReqSendFib ? "send_fib" : req == kReqRawSrb ? "raw_srb" : req == kReqReset ? "reset"
              : req == kReqAacPciInfo ? "aac_pci_info" : "unknown";
    return refuse(EPERM, "aac_cfg_ioctl: caller lacks CAP_SYS_RAWIO");
  }
  auto execute = [&](int disk, const ScsiCommand& cmd) {
    if (disk >= 0) return cs.fw->ExecuteOnDisk(static_cast<size_t>(disk), cmd);
    return cs.fw->ExecuteOnController(cmd);
  };

  // ---- CISS passthrough (hpsa family; smartpqi knows only the regular one) ----
  if (!aac && (req == kReqPassthru || (req == kReqBigPassthru && IsCissDriver(drv)))) {
    const bool big = req == kReqBigPassthru;
    rec.ioctl = big ? "big_passthru" : "passthru";
    UMockdevIoctlData* hdr = keep(ResolveAt(arg, argp, big ? kBigSize : kCissSize));
    if (!hdr) return finish(-1, EFAULT);
    const Bytes h = Copy(hdr);
    const uint8_t cdb_len = GetU8(h, kCissCdbLength);
    const uint8_t type = GetU8(h, kCissType);
    const uint8_t xfer = type >> 6;
    const uint32_t buf_size = big ? GetLE32(h, kBigBufSize) : GetLE16(h, kCissBufSize);
    const uint64_t bufp = GetLE64(h, big ? kBigBuf : kCissBuf);
    rec.cdb.assign(h.begin() + kCissCdb, h.begin() + kCissCdb + std::min<uint8_t>(cdb_len, 16));
    rec.dir = xfer == 1 ? Dir::Write : xfer == 2 ? Dir::Read : xfer == 3 ? Dir::Both : Dir::None;
    rec.data_length = buf_size;
    const bool pqi = IsSmartpqi(drv);
    // hpsa_passthru_ioctl, hpsa_big_passthru_ioctl and pqi_passthru_ioctl: CAP_SYS_RAWIO, then the
    // request's own consistency.
    if (!privileged)
      return refuse(EPERM, pqi ? "pqi_passthru_ioctl: caller lacks CAP_SYS_RAWIO"
                           : big ? "hpsa_big_passthru_ioctl: caller lacks CAP_SYS_RAWIO"
                                 : "hpsa_passthru_ioctl: caller lacks CAP_SYS_RAWIO");
    if (buf_size < 1 && xfer != 0)
      return refuse(EINVAL, pqi ? "pqi_passthru_ioctl: data phase without a buffer"
                            : big ? "hpsa_big_passthru_ioctl: data phase without a buffer"
                                  : "hpsa_passthru_ioctl: data phase without a buffer");
    if (cdb_len > 16)
      return refuse(EINVAL, pqi ? "pqi_passthru_ioctl: CDB longer than 16 bytes"
                            : big ? "hpsa_big_passthru_ioctl: CDB longer than 16 bytes"
                                  : "hpsa_passthru_ioctl: CDB longer than 16 bytes");
    if (pqi && (type & 7) != 0) return refuse(EINVAL, "pqi_passthru_ioctl: request type is not TYPE_CMD");
    // hpsa_big_passthru_ioctl: one piece at most MAX_KMALLOC_SIZE, at most SG_ENTRIES_IN_CMD pieces.
    if (big && GetLE32(h, kBigMallocSize) > kBigMaxMalloc)
      return refuse(EINVAL, "hpsa_big_passthru_ioctl: malloc_size above 128000");
    if (big && buf_size > GetLE32(h, kBigMallocSize) * kBigMaxEntries)
      return refuse(EINVAL, "hpsa_big_passthru_ioctl: buffer larger than 32 pieces of malloc_size");
    UMockdevIoctlData* buf = nullptr;
    if (buf_size > 0) {
      buf = keep(ResolveAt(arg, bufp, buf_size));
      if (!buf) return finish(-1, EFAULT);
    }
    const Bytes lun(h.begin() + kCissLun, h.begin() + kCissLun + 8);
    int disk = -1;
    bool to_ctrl = std::all_of(lun.begin(), lun.end(), [](uint8_t v) { return v == 0; });
    if (!to_ctrl) disk = cs.fw->FindDiskByLun(lun);
    rec.target = to_ctrl ? "controller" : disk >= 0 ? "disk" + std::to_string(disk) : "none";
    ScsiCommand cmd;
    cmd.cdb = rec.cdb;
    cmd.dir = rec.dir;
    if ((xfer & 1) && buf) cmd.data_out = Copy(buf);
    if (xfer & 2) cmd.data_in_length = buf_size;
    if (xfer & 1) rec.data = cmd.data_out;
    View v{rec.ioctl, &rec.cdb, -1, to_ctrl ? "controller" : "disk"};
    const Fault* f = PickFault(cs.config.faults, v);
    if (ioctl_fault(f)) return TRUE;

    ScsiResult r;
    if (!to_ctrl && disk < 0) {
      r.no_device = true;
    } else if (!Rejects(f)) {
      r = execute(disk, cmd);
    }
    uint16_t status = kCmdSuccess;
    uint32_t residual = 0;
    if (xfer & 2) {
      Bytes out = r.data_in;
      if (out.size() > buf_size) {
        status = kCmdDataOverrun;
      } else if (out.size() < buf_size && !r.no_device && r.scsi_status == 0) {
        status = kCmdDataUnderrun;
        residual = buf_size - static_cast<uint32_t>(out.size());
      }
      out.resize(buf_size, 0);  // the driver hands back the whole buffer, zero filled
      ApplyDataFault(f, out, rec.seq);
      Store(buf, 0, out);
      if (!(xfer & 1)) rec.data = out;
    }
    if (r.scsi_status) status = kCmdTargetStatus;
    if (r.no_device) status = kCmdInvalid;
    if (f && f->scsi_status >= 0) {
      r.scsi_status = static_cast<uint8_t>(f->scsi_status);
      r.sense = f->sense;
      status = r.scsi_status ? kCmdTargetStatus : status;
    }
    if (f && f->command_status >= 0) status = static_cast<uint16_t>(f->command_status);
    if (f && (f->scsi_status >= 0 || f->command_status >= 0 || !f->data.empty())) rec.faulted = true;
    rec.command_status = status;
    rec.scsi_status = r.scsi_status;
    rec.sense = r.sense;
    rec.inner_cdb = r.inner_cdb;
    rec.inner_lun = r.inner_lun;
    Bytes e(48, 0);
    e[kCissScsiStatus - kCissScsiStatus] = r.scsi_status;
    e[kCissSenseLength - kCissScsiStatus] = static_cast<uint8_t>(std::min(r.sense.size(), kCissSenseMax));
    PutLE16(e, kCissCommandStatus - kCissScsiStatus, status);
    PutLE32(e, kCissResidual - kCissScsiStatus, residual);
    Bytes sense = r.sense;
    sense.resize(kCissSenseMax, 0);
    PutBytes(e, kCissSenseInfo - kCissScsiStatus, sense);
    Store(hdr, kCissScsiStatus, e);
    return finish(0, 0);
  }

  // ---- PCI information ----
  if (req == kReqPciInfo && (aac ? cs.config.pci_info.value_or(false) : cs.config.pci_info.value_or(true))) {
    rec.ioctl = "pci_info";
    View v{rec.ioctl, nullptr, -1, ""};
    const Fault* f = PickFault(cs.config.faults, v);
    if (ioctl_fault(f)) return TRUE;
    UMockdevIoctlData* p = keep(ResolveAt(arg, argp, kPciSize));
    if (!p) return finish(-1, EFAULT);
    unsigned dom = 0, bus = 0, dev = 0, fn = 0;
    std::sscanf(cs.config.bdf.c_str(), "%4x:%2x:%2x.%1x", &dom, &bus, &dev, &fn);
    Bytes b(kPciSize, 0);
    b[kPciBus] = static_cast<uint8_t>(bus);
    b[kPciDevFn] = static_cast<uint8_t>((dev << 3) | fn);
    PutLE16(b, kPciDomain, static_cast<uint16_t>(dom));
    PutLE32(b, kPciBoardId, (static_cast<uint32_t>(cs.config.subsystem_device) << 16) | cs.config.subsystem_vendor);
    if (f && !f->data.empty()) rec.faulted = true;
    ApplyDataFault(f, b, rec.seq);
    Store(p, 0, b);
    rec.data = b;
    rec.data_length = kPciSize;
    return finish(0, 0);
  }

  // ---- SG_IO on any SCSI generic node ----
  if (req == kReqSgIo && !aac) {
    rec.ioctl = "sg_io";
    UMockdevIoctlData* hdr = keep(ResolveAt(arg, argp, kSgSize));
    if (!hdr) return finish(-1, EFAULT);
    const Bytes h = Copy(hdr);
    if (static_cast<int32_t>(GetLE32(h, kSgInterfaceId)) != 'S') return finish(-1, ENOSYS);
    const int32_t dirv = static_cast<int32_t>(GetLE32(h, kSgDirection));
    const uint8_t cmd_len = GetU8(h, kSgCmdLen);
    const uint8_t mx_sb = GetU8(h, kSgMxSbLen);
    const uint32_t len = GetLE32(h, kSgDxferLen);
    if (GetLE16(h, kSgIovecCount) != 0) return refuse(EINVAL, "emulator: SG_IO with an iovec is not emulated");
    // sg_new_write: a CDB of fewer than 6 or more than 16 bytes.
    if (cmd_len < 6 || cmd_len > 16) return refuse(EMSGSIZE, "sg_new_write: CDB length outside 6 to 16 bytes");
    UMockdevIoctlData* cdbd = keep(ResolveAt(arg, GetLE64(h, kSgCmdp), cmd_len));
    if (!cdbd) return finish(-1, EFAULT);
    rec.cdb = Copy(cdbd);
    rec.dir = dirv == SG_DXFER_TO_DEV ? Dir::Write : dirv == SG_DXFER_FROM_DEV ? Dir::Read
              : dirv == SG_DXFER_TO_FROM_DEV ? Dir::Both : Dir::None;
    rec.data_length = rec.dir == Dir::None ? 0 : len;
    UMockdevIoctlData* buf = nullptr;
    if (rec.dir != Dir::None && len > 0) {
      buf = keep(ResolveAt(arg, GetLE64(h, kSgDxferp), len));
      if (!buf) return finish(-1, EFAULT);
    }
    UMockdevIoctlData* sbp = mx_sb ? keep(ResolveAt(arg, GetLE64(h, kSgSbp), mx_sb)) : nullptr;
    ScsiCommand cmd;
    cmd.cdb = rec.cdb;
    cmd.dir = rec.dir;
    if (rec.dir == Dir::Write || rec.dir == Dir::Both) cmd.data_out = rec.data = Copy(buf);
    if (rec.dir == Dir::Read || rec.dir == Dir::Both) cmd.data_in_length = rec.data_length;
    rec.target = n->disk >= 0 ? "disk" + std::to_string(n->disk) : "controller";
    View v{rec.ioctl, &rec.cdb, -1, n->disk >= 0 ? "disk" : "controller"};
    const Fault* f = PickFault(cs.config.faults, v);
    if (ioctl_fault(f)) return TRUE;
    ScsiResult r;
    if (!Rejects(f)) r = execute(n->disk, cmd);
    if (f && f->scsi_status >= 0) {
      r.scsi_status = static_cast<uint8_t>(f->scsi_status);
      r.sense = f->sense;
      rec.faulted = true;
    }
    int32_t resid = 0;
    if (cmd.data_in_length && buf) {
      Bytes out = r.data_in;
      out.resize(std::min<size_t>(out.size(), len));
      resid = static_cast<int32_t>(len - out.size());
      ApplyDataFault(f, out, rec.seq);
      Store(buf, 0, out);
      if (rec.dir == Dir::Read) rec.data = out;
    }
    const size_t sb = std::min<size_t>(r.sense.size(), mx_sb);
    Store(sbp, 0, Bytes(r.sense.begin(), r.sense.begin() + static_cast<long>(sb)));
    Bytes tail;
    Store(hdr, kSgStatus, Bytes{r.scsi_status, static_cast<uint8_t>((r.scsi_status >> 1) & 0x7F), 0,
                                static_cast<uint8_t>(sb)});
    StoreLE16(hdr, kSgHostStatus, r.no_device ? 0x01 : 0);  // DID_NO_CONNECT
    StoreLE16(hdr, kSgDriverStatus, sb ? 0x08 : 0);          // DRIVER_SENSE
    StoreLE32(hdr, kSgResid, static_cast<uint32_t>(resid));
    StoreLE32(hdr, kSgDuration, 1);
    StoreLE32(hdr, kSgInfo, (r.scsi_status || r.no_device) ? SG_INFO_CHECK : 0);
    rec.scsi_status = r.scsi_status;
    rec.sense = r.sense;
    return finish(0, 0);
  }

  // ---- aacraid: send FIB ----
  if (aac && req == kReqSendFib) {
    rec.ioctl = "send_fib";
    UMockdevIoctlData* hdr = keep(ResolveAt(arg, argp, kFibHeader));
    if (!hdr) return finish(-1, EFAULT);
    const Bytes h = Copy(hdr);
    const uint16_t command = GetLE16(h, kFibCommand);
    size_t size = GetLE16(h, kFibSize) + kFibHeader;
    if (size < GetLE16(h, kFibSenderSize)) size = GetLE16(h, kFibSenderSize);
    rec.fib_command = command;
    rec.data_length = static_cast<uint32_t>(size);
    if (size > kFibMax) return refuse(EMSGSIZE, "ioctl_send_fib: FIB larger than the adapter's 2048 bytes");
    View v{rec.ioctl, nullptr, command, "controller"};
    const Fault* f = PickFault(cs.config.faults, v);
    if (ioctl_fault(f)) return TRUE;
    UMockdevIoctlData* body = keep(ResolveAt(arg, argp + kFibHeader, size - kFibHeader));
    Bytes data(size - kFibHeader, 0);
    if (command == kFibAdapterInfo) {
      PutLE32(data, kAdapterInfoOptions, cs.config.sis_supplement ? kOptionSupplement : 0);
    } else if (command == kFibSupplementInfo) {
      PutLE16(data, kSupplementBus, static_cast<uint16_t>(cs.config.channel));
      PutLE16(data, kSupplementTarget, static_cast<uint16_t>(cs.config.target));
      PutLE16(data, kSupplementLun, static_cast<uint16_t>(cs.config.lun));
    }
    if (f && !f->data.empty()) rec.faulted = true;
    ApplyDataFault(f, data, rec.seq);
    Store(body, 0, data);
    rec.data = data;
    return finish(0, 0);
  }

  // ---- aacraid: raw SRB ----
  if (aac && req == kReqRawSrb) {
    rec.ioctl = "raw_srb";
    UMockdevIoctlData* hdr = keep(ResolveAt(arg, argp, kSrbHeader));
    if (!hdr) return finish(-1, EFAULT);
    const Bytes h = Copy(hdr);
    const uint32_t fibsize = GetLE32(h, kSrbCount);
    // aac_send_raw_srb: the SRB must fit a FIB.
    if (fibsize < kSrbMinSize || fibsize > kFibMax - kFibHeader)
      return refuse(EINVAL, "aac_send_raw_srb: SRB size outside 56 to the FIB's data size");
    UMockdevIoctlData* rest = keep(ResolveAt(arg, argp + kSrbHeader, fibsize - kSrbHeader));
    if (!rest) return finish(-1, EFAULT);
    Bytes srb = h;
    PutBytes(srb, kSrbHeader, Copy(rest));
    const uint32_t flags = GetLE32(srb, kSrbFlags);
    const uint32_t sg_entries = GetLE32(srb, kSrbSgCount);
    // aac_send_raw_srb: entry count, a list needs a direction, and the size word must be the 32- or the
    // 64-bit scatter-gather layout of that count.
    if (sg_entries > kAacMaxSgEmbedded)
      return refuse(EINVAL, "aac_send_raw_srb: more scatter-gather entries than HBA_MAX_SG_EMBEDDED");
    if ((flags & (kSrbDataIn | kSrbDataOut)) == 0 && sg_entries != 0)
      return refuse(EINVAL, "aac_send_raw_srb: scatter-gather list without a data direction");
    const uint32_t sg_count = sg_entries & 0xFF;
    bool sg64 = false;
    if (fibsize == kSrbMinSize + sg_count * 12 && sg_count > 0) sg64 = true;
    else if (fibsize != kSrbMinSize + sg_count * 8)
      return refuse(EINVAL, "aac_send_raw_srb: SRB size is neither the 32- nor the 64-bit layout of its entries");
    if (sg_count > 1) return refuse(EINVAL, "emulator: one scatter-gather entry only");
    const uint32_t cdb_size = GetLE32(srb, kSrbCdbSize);
    rec.cdb.assign(srb.begin() + kSrbCdb, srb.begin() + kSrbCdb + std::min<uint32_t>(cdb_size, 16));
    const bool in = flags & kSrbDataIn, out = flags & kSrbDataOut;
    rec.dir = in && out ? Dir::Both : in ? Dir::Read : out ? Dir::Write : Dir::None;
    uint64_t bufp = 0;
    uint32_t len = 0;
    if (sg_count == 1) {
      bufp = sg64 ? GetLE64(srb, kSrbSgEntries) : GetLE32(srb, kSrbSgEntries);
      len = GetLE32(srb, kSrbSgEntries + (sg64 ? 8 : 4));
    }
    rec.data_length = len;
    // aac_send_raw_srb: one entry carries at most 64 KiB (adapters without the new comm interface).
    if (sg_count == 1 && len > kAacSgEntryMax)
      return refuse(EINVAL, "aac_send_raw_srb: scatter-gather entry above 65536 bytes");
    UMockdevIoctlData* buf = nullptr;
    if (len > 0 && rec.dir != Dir::None) {
      buf = keep(ResolveAt(arg, bufp, len));
      if (!buf) return finish(-1, EFAULT);
    }
    UMockdevIoctlData* reply = keep(ResolveAt(arg, argp + fibsize, kSrbReplySize));
    if (!reply) return finish(-1, EFAULT);
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
    View v{rec.ioctl, &rec.cdb, -1, to_ctrl ? "controller" : "disk"};
    const Fault* f = PickFault(cs.config.faults, v);
    if (ioctl_fault(f)) return TRUE;
    ScsiResult r;
    // The adapter takes at most 16 CDB bytes: a larger size is an invalid request, never run.
    const bool invalid = cdb_size > 16;
    if (!to_ctrl && disk < 0) r.no_device = true;
    else if (!invalid && !Rejects(f)) r = execute(disk, cmd);
    if (f && f->scsi_status >= 0) {
      r.scsi_status = static_cast<uint8_t>(f->scsi_status);
      r.sense = f->sense;
      rec.faulted = true;
    }
    uint32_t xfer = 0;
    if (in && buf) {
      Bytes o = r.data_in;
      o.resize(std::min<size_t>(o.size(), len));
      xfer = static_cast<uint32_t>(o.size());
      ApplyDataFault(f, o, rec.seq);
      if (f && !f->data.empty()) rec.faulted = true;
      Store(buf, 0, o);
      if (!out) rec.data = o;
    } else if (out) {
      xfer = len;
    }
    const uint32_t status = (f && f->reply_status >= 0) ? static_cast<uint32_t>(f->reply_status) : 0;
    if (f && f->reply_status >= 0) rec.faulted = true;
    Bytes rp(kSrbReplySize, 0);
    PutLE32(rp, kSrbReplyStatus, status);
    uint32_t srb_status = r.no_device ? kSrbStatusSelectionTimeout : r.scsi_status ? kSrbStatusError : kSrbStatusSuccess;
    if (invalid) srb_status = kSrbStatusInvalidRequest;
    if (f && f->srb_status >= 0) {
      srb_status = static_cast<uint32_t>(f->srb_status);
      rec.faulted = true;
    }
    PutLE32(rp, kSrbReplySrbStatus, srb_status);
    rec.srb_status = srb_status;
    PutLE32(rp, kSrbReplyScsiStatus, r.scsi_status);
    PutLE32(rp, kSrbReplyXfer, xfer);
    const size_t sn = std::min(r.sense.size(), kSrbReplySenseMax);
    PutLE32(rp, kSrbReplySenseSize, static_cast<uint32_t>(sn));
    PutBytes(rp, kSrbReplySense, Bytes(r.sense.begin(), r.sense.begin() + static_cast<long>(sn)));
    rp.resize(kSrbReplySize);
    Store(reply, 0, rp);
    rec.scsi_status = r.scsi_status;
    rec.sense = r.sense;
    rec.reply_status = status;
    rec.inner_cdb = r.inner_cdb;
    rec.inner_lun = r.inner_lun;
    return finish(0, 0);
  }

  // ---- CSMI SAS SSP passthrough (only where the scenario enables it) ----
  if (req == kReqCsmiSsp && cs.config.csmi) {
    rec.ioctl = "csmi";
    UMockdevIoctlData* hdr = keep(ResolveAt(arg, argp, kCsmiHeader));
    if (!hdr) return finish(-1, EFAULT);
    const uint32_t length = GetLE32(Copy(hdr), kCsmiLength);
    rec.data_length = length;
    if (length < kSspParamOverhead || length > kCsmiMaxLength) return finish(-1, EINVAL);
    UMockdevIoctlData* body = keep(ResolveAt(arg, argp + kCsmiHeader, length));
    if (!body) return finish(-1, EFAULT);
    Bytes wrapped(kWrapHeader, 0);
    PutLE32(wrapped, 0, kWrapHeader);
    PutLE32(wrapped, 16, 24);
    PutLE32(wrapped, kWrapLength, length);
    const Bytes b = Copy(body);
    wrapped.insert(wrapped.end(), b.begin(), b.end());
    rec.data = b;
    View v{rec.ioctl, nullptr, -1, ""};
    const Fault* f = PickFault(cs.config.faults, v);
    if (ioctl_fault(f)) return TRUE;
    ScsiResult r = cs.fw->ExecuteSsp(wrapped, true);
    if (r.data_in.size() != wrapped.size()) return finish(-1, EIO);
    rec.cdb = r.inner_cdb;
    rec.inner_lun = r.inner_lun;
    rec.target = "csmi";
    Store(body, 0, Bytes(r.data_in.begin() + kWrapHeader, r.data_in.end()));
    StoreLE32(hdr, kCsmiReturnCode, GetLE32(r.data_in, kWrapReturnCode));
    rec.scsi_status = r.inner_status;
    rec.sense = r.sense;
    return finish(0, 0);
  }

  // ---- aacraid: reset ----
  if (aac && req == kReqReset) {
    rec.ioctl = "reset";
    View v{rec.ioctl, nullptr, -1, "controller"};
    const Fault* f = PickFault(cs.config.faults, v);
    if (ioctl_fault(f)) return TRUE;
    UMockdevIoctlData* t = keep(ResolveAt(arg, argp, 1));
    rec.reset_type = t ? t->data[0] : -1;
    return finish(0, 0);
  }

  // ---- aacraid: FSACTL_GET_PCI_INFO (aac_get_pci_info): u32 bus number, u32 slot ----
  if (aac && req == kReqAacPciInfo) {
    rec.ioctl = "aac_pci_info";
    View v{rec.ioctl, nullptr, -1, "controller"};
    const Fault* f = PickFault(cs.config.faults, v);
    if (ioctl_fault(f)) return TRUE;
    UMockdevIoctlData* p = keep(ResolveAt(arg, argp, kAacPciInfoSize));
    if (!p) return finish(-1, EFAULT);
    unsigned dom = 0, bus = 0, dev = 0, fn = 0;
    std::sscanf(cs.config.bdf.c_str(), "%4x:%2x:%2x.%1x", &dom, &bus, &dev, &fn);
    Bytes b(kAacPciInfoSize, 0);
    PutLE32(b, 0, cs.config.aac_pci_info ? cs.config.aac_pci_info->first : bus);
    PutLE32(b, 4, cs.config.aac_pci_info ? cs.config.aac_pci_info->second : dev);
    if (f && !f->data.empty()) rec.faulted = true;
    ApplyDataFault(f, b, rec.seq);
    Store(p, 0, b);
    rec.data = b;
    rec.data_length = kAacPciInfoSize;
    return finish(0, 0);
  }

  // Requests a driver does not know: hpsa (hpsa_ioctl) and aacraid (aac_do_ioctl) answer ENOTTY,
  // smartpqi (pqi_ioctl) EINVAL; pqi_ioctl has no CCISS_BIG_PASSTHRU.
  rec.ioctl = "unknown";
  if (IsSmartpqi(drv)) return refuse(EINVAL, "pqi_ioctl: unknown request");
  return refuse(ENOTTY, aac ? "aac_do_ioctl: unknown request" : "hpsa_ioctl: unknown request");
}

// ---- Host ------------------------------------------------------------------------------------------

Host::Host(const Scenario& scenario) : impl_(std::make_unique<Impl>()) {
  bool expected = false;
  if (!g_host_alive.compare_exchange_strong(expected, true))
    throw std::runtime_error("emulator: only one emulated host may exist at a time");
  try {
    // The ioctl socket path "<tmp>/umockdev.XXXXXX/ioctl//dev/sgNNN" must fit a socket address.
    const std::string tmp = g_get_tmp_dir();
    if (tmp.size() > 60)
      throw std::runtime_error("emulator: TMPDIR \"" + tmp + "\" is too long for umockdev's sockets; use a short one");
    // umockdev aborts the process when it cannot make its folder there: say so instead.
    struct stat st;
    errno = 0;
    if (stat(tmp.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(tmp.c_str(), W_OK | X_OK) != 0)
      throw std::runtime_error("emulator: TMPDIR \"" + tmp + "\" is not a usable folder (" +
                               (errno != 0 ? std::strerror(errno) : "not a folder") + "); set TMPDIR to one");
    impl_->scenario = scenario;
    impl_->bed = umockdev_testbed_new();
    gchar* r = umockdev_testbed_get_root_dir(impl_->bed);
    impl_->root = r;
    g_free(r);
    for (const ControllerConfig& c : scenario.controllers) {
      CtrlState cs;
      cs.config = c;
      cs.fw = std::make_unique<ControllerFirmware>(c);
      impl_->ctrls.push_back(std::move(cs));
    }
    MakeDirs(impl_->root + "/dev/.node");
    MakeDirs(impl_->root + "/sys/bus/pci/drivers");
    MakeDirs(impl_->root + "/sys/class/scsi_generic");
    MakeDirs(impl_->root + "/sys/class/scsi_host");
    impl_->Build();
  } catch (...) {
    if (impl_->bed) {
      for (auto& n : impl_->nodes) g_object_unref(n->handler);
      g_object_unref(impl_->bed);
    }
    g_host_alive = false;
    throw;
  }
}

Host::~Host() {
  if (impl_->bed) {
    for (auto& n : impl_->nodes) {
      umockdev_testbed_detach_ioctl(impl_->bed, n->node.c_str(), nullptr);
      g_object_unref(n->handler);
    }
    g_object_unref(impl_->bed);
  }
  g_host_alive = false;
}

bool Host::PreloadActive() {
  const char* p = std::getenv("LD_PRELOAD");
  return p && std::strstr(p, "libumockdev-preload") != nullptr;
}

std::string Host::PreloadLibrary() {
  if (const char* e = std::getenv("ZEV_EMU_PRELOAD"); e && *e) return e;
  // Beside the executable (zevsim), else where the build put it.
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = '\0';
    std::string dir = Dirname(self);
    const std::string beside = dir + "/libzev_emulator_preload.so";
    if (access(beside.c_str(), R_OK) == 0) return beside;
  }
  return ZEV_EMU_PRELOAD_PATH;
}

std::string Host::ChildPreload() {
  std::string v = PreloadLibrary() + ":libumockdev-preload.so.0";
  if (const char* old = std::getenv("LD_PRELOAD"); old && *old) {
    // Keep what was there (a sanitizer runtime first), without loading ours twice.
    std::string o = old;
    if (o.find("libumockdev-preload") == std::string::npos) v = o + ":" + v;
    else v = o;
  }
  return v;
}

const std::string& Host::root() const { return impl_->root; }
const Scenario& Host::scenario() const { return impl_->scenario; }
size_t Host::controller_count() const { return impl_->ctrls.size(); }
int Host::FindController(const std::string& id) const {
  for (size_t i = 0; i < impl_->ctrls.size(); ++i)
    if (impl_->ctrls[i].config.id == id) return static_cast<int>(i);
  return -1;
}
std::string Host::NodePath(size_t ctrl) const { return impl_->ctrls.at(ctrl).node; }
std::string Host::SystemPath(size_t ctrl) const { return "/" + impl_->ctrls.at(ctrl).devpath; }

std::vector<CommandRecord> Host::Commands(size_t ctrl) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->ctrls.at(ctrl).commands;
}
std::vector<ImageRecord> Host::Images(size_t ctrl) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<ImageRecord> r;
  for (const ProgrammedImage& p : impl_->ctrls.at(ctrl).fw->images())
    r.push_back(ImageRecord{p.data.size(), p.sha256, p.chunks, p.data});
  return r;
}
bool Host::BackgroundPaused(size_t ctrl) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->ctrls.at(ctrl).fw->background_paused();
}
void Host::ClearCommands() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (auto& c : impl_->ctrls) c.commands.clear();
}
void Host::AddFault(size_t ctrl, const Fault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->ctrls.at(ctrl).config.faults.push_back(fault);
}
void Host::ClearFaults(size_t ctrl) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->ctrls.at(ctrl).config.faults.clear();
}

void Host::SetTrace(std::FILE* out) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->trace = out;
}

void Host::UpdateController(size_t ctrl, const std::function<void(ControllerConfig&)>& edit) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  CtrlState& cs = impl_->ctrls.at(ctrl);
  edit(cs.config);
  cs.fw->Reconfigure(cs.config);
}

std::string Host::BedPath(const std::string& abs) const { return impl_->root + abs; }

bool Host::NodeDevice(const std::string& abs, unsigned* major, unsigned* minor) const {
  if (abs.compare(0, 5, "/dev/") != 0 || access(BedPath(abs).c_str(), F_OK) != 0) return false;
  std::string name = abs.substr(5);
  for (char& c : name)
    if (c == '/') c = '_';
  char target[64];
  const ssize_t n = readlink((impl_->root + "/dev/.node/" + name).c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  return std::sscanf(target, "%u:%u", major, minor) == 2;
}

nlohmann::json CommandToJson(const CommandRecord& c) {
  nlohmann::json j;
  j["seq"] = c.seq;
  j["ioctl"] = c.ioctl;
  j["node"] = c.node;
  if (!c.target.empty()) j["target"] = c.target;
  if (!c.cdb.empty()) {
    j["cdb"] = ToHex(c.cdb);
    const BmicFields b = c.bmic();
    if (b.is_bmic)
      j["bmic"] = {{"command", b.command}, {"write", b.write}, {"address", b.address}, {"index", b.index},
                   {"transfer_length", b.transfer_length}};
  }
  j["direction"] = DirName(c.dir);
  j["data_length"] = c.data_length;
  j["data_sha256"] = c.data_sha256;
  if (c.fib_command >= 0) j["fib_command"] = c.fib_command;
  if (c.reset_type >= 0) j["reset_type"] = c.reset_type;
  nlohmann::json r;
  r["errno"] = c.err;
  r["command_status"] = c.command_status;
  r["scsi_status"] = c.scsi_status;
  r["sense"] = ToHex(c.sense);
  if (c.ioctl == "raw_srb") {
    r["reply_status"] = c.reply_status;
    r["srb_status"] = c.srb_status;
  }
  if (!c.refused_by.empty()) r["refused_by"] = c.refused_by;
  j["result"] = r;
  if (c.faulted) j["fault"] = true;
  if (!c.inner_cdb.empty()) j["inner"] = {{"cdb", ToHex(c.inner_cdb)}, {"lun", ToHex(c.inner_lun)}};
  return j;
}

nlohmann::json Host::Report() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  nlohmann::json j;
  j["description"] = impl_->scenario.description;
  j["controllers"] = nlohmann::json::array();
  j["refusals"] = nlohmann::json::array();
  for (const CtrlState& c : impl_->ctrls)
    for (const CommandRecord& r : c.commands)
      if (!r.refused_by.empty())
        j["refusals"].push_back({{"controller", c.config.id}, {"seq", r.seq}, {"node", r.node}, {"ioctl", r.ioctl},
                                 {"request", r.request}, {"errno", r.err}, {"rule", r.refused_by}});
  for (const CtrlState& c : impl_->ctrls) {
    nlohmann::json cj;
    cj["id"] = c.config.id;
    cj["driver"] = c.config.driver;
    cj["pci_address"] = c.config.bdf;
    cj["node"] = c.node;
    cj["commands"] = nlohmann::json::array();
    for (const CommandRecord& r : c.commands) cj["commands"].push_back(CommandToJson(r));
    cj["images"] = nlohmann::json::array();
    for (const ProgrammedImage& p : c.fw->images())
      cj["images"].push_back({{"size", p.data.size()}, {"sha256", p.sha256}, {"chunks", p.chunks}});
    j["controllers"].push_back(cj);
  }
  return j;
}

void Host::WriteReport(const std::string& path) const {
  const std::string text = Report().dump(2) + "\n";
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("emulator: cannot write report " + path);
    out << text;
    if (!out.flush()) throw std::runtime_error("emulator: cannot write report " + path);
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) throw std::runtime_error("emulator: cannot write report " + path);
}

}  // namespace zev::emu
