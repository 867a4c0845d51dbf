#include "emu_host.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <glib.h>
#include <umockdev.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "emu_driver.hpp"

#ifndef ZEV_EMU_PRELOAD_PATH
#define ZEV_EMU_PRELOAD_PATH ""
#endif

namespace zev::emu {

namespace {

std::atomic<bool> g_host_alive{false};

// ---- test bed files ----------------------------------------------------------------------------
void MakeDirs(const std::string& path)
{
    if (g_mkdir_with_parents(path.c_str(), 0755) != 0)
        throw std::runtime_error("emulator: cannot create " + path + ": " + std::strerror(errno));
}
void WriteFile(const std::string& path, const std::string& content)
{
    MakeDirs(path.substr(0, path.rfind('/')));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("emulator: cannot write " + path);
    out << content;
}
std::string Dirname(const std::string& p)
{
    const size_t s = p.rfind('/');
    return s == std::string::npos ? "" : p.substr(0, s);
}
// Relative target from the directory holding the link to a path, both relative to the bed root.
std::string RelativeTarget(const std::string& link_rel, const std::string& target_rel)
{
    std::string dir = Dirname(link_rel);
    std::string up;
    if (!dir.empty()) {
        up = "../";
        for (char c : dir)
            if (c == '/') up += "../";
    }
    return up + target_rel;
}
void Link(const std::string& root, const std::string& link_rel, const std::string& target_rel)
{
    const std::string full = root + "/" + link_rel;
    MakeDirs(Dirname(full));
    const std::string target = RelativeTarget(link_rel, target_rel);
    if (symlink(target.c_str(), full.c_str()) != 0)
        throw std::runtime_error("emulator: cannot link " + full + ": " + std::strerror(errno));
}
void RawLink(const std::string& root, const std::string& link_rel, const std::string& target)
{
    const std::string full = root + "/" + link_rel;
    MakeDirs(Dirname(full));
    unlink(full.c_str());
    if (symlink(target.c_str(), full.c_str()) != 0)
        throw std::runtime_error("emulator: cannot link " + full + ": " + std::strerror(errno));
}
// An emulated character device: an empty file plus dev/.node/<name> -> "major:minor".
void CharNode(const std::string& root, const std::string& name, unsigned major, unsigned minor, unsigned mode)
{
    WriteFile(root + "/dev/" + name, "");
    // As on a real host, a node is root's alone unless the scenario says otherwise.
    if (chmod((root + "/dev/" + name).c_str(), mode) != 0)
        throw std::runtime_error("emulator: cannot set the mode of /dev/" + name);
    RawLink(root, "dev/.node/" + name, std::to_string(major) + ":" + std::to_string(minor));
}
// "/sys/x" -> "sys/x": a host path relative to the bed root ("" for the root itself).
std::string BedRel(const std::string& abs) { return abs.size() > 1 ? abs.substr(1) : std::string(); }
// Makes the folders of a path in the bed. A component that is a link to a folder not made yet gets its
// target made first, so a recording's files, folders and links can be laid down in any order.
void EnsureDirs(const std::string& root, const std::string& rel, int depth = 0)
{
    if (depth > 40) throw std::runtime_error("emulator: too many links on the way to /" + rel);
    std::string done;
    size_t from = 0;
    while (from <= rel.size()) {
        size_t to = rel.find('/', from);
        if (to == std::string::npos) to = rel.size();
        const std::string part = rel.substr(from, to - from);
        from = to + 1;
        if (part.empty()) continue;
        done += (done.empty() ? "" : "/") + part;
        const std::string full = root + "/" + done;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0) {
            if (mkdir(full.c_str(), 0755) != 0 && errno != EEXIST)
                throw std::runtime_error("emulator: cannot create " + full + ": " + std::strerror(errno));
            continue;
        }
        if (!S_ISLNK(st.st_mode) || stat(full.c_str(), &st) == 0) continue;
        // A link whose target is missing: make the target, taken from the link's real folder.
        char target[4096];
        const ssize_t n = readlink(full.c_str(), target, sizeof target - 1);
        char* parent = realpath(Dirname(full).c_str(), nullptr);
        char* base = realpath(root.c_str(), nullptr);
        std::string where = parent && base ? parent : "";
        const std::string top = base ? base : "";
        std::free(parent);
        std::free(base);
        if (n <= 0 || where.empty()) throw std::runtime_error("emulator: cannot follow the link " + full);
        target[n] = '\0';
        std::string rest = target;
        while (!rest.empty()) {
            const size_t s = rest.find('/');
            const std::string c = rest.substr(0, s);
            rest = s == std::string::npos ? "" : rest.substr(s + 1);
            if (c.empty() || c == ".") continue;
            if (c == "..")
                where = Dirname(where);
            else
                where += "/" + c;
        }
        if (where.compare(0, top.size() + 1, top + "/") != 0)
            throw std::runtime_error("emulator: the link " + full + " leads out of the test bed");
        EnsureDirs(root, where.substr(top.size() + 1), depth + 1);
    }
}
std::string Hex4(unsigned v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%04x", v);
    return b;
}
std::string Padded(const std::string& s, size_t width)
{
    std::string r = s.substr(0, width);
    r.resize(width, ' ');
    return r;
}

}  // namespace

void RemoveNode(const std::string& root, const std::string& abs)
{
    if (abs.compare(0, 5, "/dev/") != 0) return;
    std::string name = abs.substr(5);
    unlink((root + abs).c_str());
    for (char& c : name)
        if (c == '/') c = '_';
    unlink((root + "/dev/.node/" + name).c_str());
}

// ---- building the tree ---------------------------------------------------------------------------

void Host::Impl::Build()
{
    StartAttachService();
    for (size_t k = 0; k < ctrls.size(); ++k) BuildController(k);

    for (const std::string& d : scenario.extra_drivers) {
        const std::string dir = "sys/bus/pci/drivers/" + d;
        MakeDirs(root + "/" + dir);
        WriteFile(root + "/" + dir + "/bind", "");
        MakeDirs(root + "/sys/module/" + d);
        if (access((root + "/" + dir + "/module").c_str(), F_OK) != 0) Link(root, dir + "/module", "sys/module/" + d);
    }
    for (const ExtraHost& h : scenario.extra_hosts) {
        const std::string hostdir =
            "sys/devices/pci0000:00/0000:00:1f.2/ata" + std::to_string(h.host + 1) + "/host" + std::to_string(h.host);
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

// A recorded host: links first (their targets may come later), then the listed folders with their
// entries, the files with the content the command read, and the nodes.
void Host::Impl::BuildFromRecording(const Recording& rec)
{
    StartAttachService();
    for (const RecordedLink& l : rec.links) {
        const std::string full = root + l.path;
        EnsureDirs(root, BedRel(Dirname(l.path)));
        if (symlink(l.target.c_str(), full.c_str()) != 0)
            throw std::runtime_error("emulator: cannot link " + full + ": " + std::strerror(errno));
    }
    struct stat st;
    for (const RecordedDir& d : rec.dirs) {
        EnsureDirs(root, BedRel(d.path));
        for (const RecordedDirEntry& e : d.entries) {
            const std::string rel = BedRel(d.path) + "/" + e.name;
            if (lstat((root + "/" + rel).c_str(), &st) == 0) continue;
            if (e.type == "dir")
                EnsureDirs(root, rel);
            else if (e.type != "link")
                WriteFile(root + "/" + rel, "");
        }
    }
    for (const RecordedFile& f : rec.files) {
        EnsureDirs(root, BedRel(Dirname(f.path)));
        WriteFile(root + f.path, std::string(f.content.begin(), f.content.end()));
    }
    for (const RecordedNode& n : rec.nodes) {
        EnsureDirs(root, BedRel(Dirname(n.path)));
        WriteFile(root + n.path, "");
        if (chmod((root + n.path).c_str(), scenario.node_mode) != 0)
            throw std::runtime_error("emulator: cannot set the mode of " + n.path);
        std::string name = n.path.substr(5);
        for (char& c : name)
            if (c == '/') c = '_';
        RawLink(root, "dev/.node/" + name, std::to_string(n.major) + ":" + std::to_string(n.minor));
        // Attached when first opened, as the model's disks are: a listener per node slows every ioctl.
        nodes[n.path] = NodeCtx{0, -1, n.path, false};
    }
}

void Host::Impl::ScsiDevice(const std::string& hostdir, int host, int ch, int tg, int lun, int type, int sg,
                            const std::string& vendor, const std::string& model, const std::string& rev, bool node)
{
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

void Host::Impl::BuildController(size_t k)
{
    CtrlState& cs = ctrls[k];
    const ControllerConfig& c = cs.config;
    char rootbus[32];
    std::snprintf(rootbus, sizeof rootbus, "pci%04x:00", ParseBdf(c.bdf).domain);
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
        ScsiDevice(hostdir, c.host, dk.channel, dk.target, dk.lun, dk.type, dk.sg, dk.vendor, dk.model, dk.rev,
                   dk.node);
        // A disk without a node has nothing to attach the driver to.
        if (dk.node) AttachOnOpen(k, static_cast<int>(i), "/dev/sg" + std::to_string(dk.sg));
    }
}

// ---- Host ------------------------------------------------------------------------------------------

Host::Host(const Scenario& scenario) : impl_(std::make_unique<Impl>())
{
    Start([&] {
        impl_->scenario = scenario;
        for (const ControllerConfig& c : scenario.controllers) {
            CtrlState cs;
            cs.config = c;
            cs.fw = std::make_unique<ControllerFirmware>(c);
            impl_->ctrls.push_back(std::move(cs));
        }
        MakeDirs(impl_->root + "/sys/bus/pci/drivers");
        MakeDirs(impl_->root + "/sys/class/scsi_generic");
        MakeDirs(impl_->root + "/sys/class/scsi_host");
        impl_->Build();
    });
}

Host::Host(const Recording& recording, const std::string& source) : impl_(std::make_unique<Impl>())
{
    Start([&] {
        impl_->scenario.description = "replay of " + source;
        impl_->replay = NewReplay(recording, source);
        impl_->BuildFromRecording(recording);
    });
}

void Host::Start(const std::function<void()>& build)
{
    bool expected = false;
    if (!g_host_alive.compare_exchange_strong(expected, true))
        throw std::runtime_error("emulator: only one emulated host may exist at a time");
    try {
        // The ioctl socket path "<tmp>/umockdev.XXXXXX/ioctl//dev/sgNNN" must fit a socket address.
        const std::string tmp = g_get_tmp_dir();
        if (tmp.size() > 60)
            throw std::runtime_error("emulator: TMPDIR \"" + tmp +
                                     "\" is too long for umockdev's sockets; use a short one");
        // umockdev aborts the process when it cannot make its folder there: say so instead.
        struct stat st;
        errno = 0;
        if (stat(tmp.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(tmp.c_str(), W_OK | X_OK) != 0)
            throw std::runtime_error("emulator: TMPDIR \"" + tmp + "\" is not a usable folder (" +
                                     (errno != 0 ? std::strerror(errno) : "not a folder") + "); set TMPDIR to one");
        impl_->bed = umockdev_testbed_new();
        gchar* r = umockdev_testbed_get_root_dir(impl_->bed);
        impl_->root = r;
        g_free(r);
        MakeDirs(impl_->root + "/dev/.node");
        build();
    } catch (...) {
        if (impl_->bed) {
            impl_->DetachAll();
            g_object_unref(impl_->bed);
        }
        g_host_alive = false;
        throw;
    }
}

Host::~Host()
{
    if (impl_->bed) {
        impl_->DetachAll();
        g_object_unref(impl_->bed);
    }
    g_host_alive = false;
}

bool Host::PreloadActive()
{
    const char* p = std::getenv("LD_PRELOAD");
    return p && std::strstr(p, "libumockdev-preload") != nullptr;
}

std::string Host::PreloadLibrary()
{
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

std::string Host::ChildPreload()
{
    std::string v = PreloadLibrary() + ":libumockdev-preload.so.0";
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old) {
        // Keep what was there (a sanitizer runtime first), without loading ours twice.
        std::string o = old;
        if (o.find("libumockdev-preload") == std::string::npos)
            v = o + ":" + v;
        else
            v = o;
    }
    return v;
}

const std::string& Host::root() const { return impl_->root; }
const Scenario& Host::scenario() const { return impl_->scenario; }
size_t Host::controller_count() const { return impl_->ctrls.size(); }
int Host::FindController(const std::string& id) const
{
    for (size_t i = 0; i < impl_->ctrls.size(); ++i)
        if (impl_->ctrls[i].config.id == id) return static_cast<int>(i);
    return -1;
}
std::string Host::NodePath(size_t ctrl) const { return impl_->ctrls.at(ctrl).node; }
std::string Host::SystemPath(size_t ctrl) const { return "/" + impl_->ctrls.at(ctrl).devpath; }

std::vector<CommandRecord> Host::Commands(size_t ctrl) const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->ctrls.at(ctrl).commands;
}
std::vector<ImageRecord> Host::Images(size_t ctrl) const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::vector<ImageRecord> r;
    for (const ProgrammedImage& p : impl_->ctrls.at(ctrl).fw->images())
        r.push_back(ImageRecord{p.data.size(), p.sha256, p.chunks, p.data});
    return r;
}
bool Host::BackgroundPaused(size_t ctrl) const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->ctrls.at(ctrl).fw->background_paused();
}
void Host::ClearCommands()
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (auto& c : impl_->ctrls) c.commands.clear();
}
void Host::AddFault(size_t ctrl, const Fault& fault)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->ctrls.at(ctrl).config.faults.push_back(fault);
}
void Host::ClearFaults(size_t ctrl)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->ctrls.at(ctrl).config.faults.clear();
}

void Host::SetTrace(std::FILE* out)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->trace = out;
}

void Host::UpdateController(size_t ctrl, const std::function<void(ControllerConfig&)>& edit)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    CtrlState& cs = impl_->ctrls.at(ctrl);
    edit(cs.config);
    cs.fw->Reconfigure(cs.config);
}

std::string Host::BedPath(const std::string& abs) const { return impl_->root + abs; }

bool Host::NodeDevice(const std::string& abs, unsigned* major, unsigned* minor) const
{
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

nlohmann::json CommandToJson(const CommandRecord& c)
{
    nlohmann::json j;
    j["seq"] = c.seq;
    j["ioctl"] = c.ioctl;
    j["node"] = c.node;
    if (!c.target.empty()) j["target"] = c.target;
    if (!c.cdb.empty()) {
        j["cdb"] = ToHex(c.cdb);
        const BmicFields b = c.bmic();
        if (b.is_bmic)
            j["bmic"] = {{"command", b.command},
                         {"write", b.write},
                         {"address", b.address},
                         {"index", b.index},
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

std::string Host::ReplaySummary() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->replay ? zev::emu::ReplaySummary(*impl_->replay) : "";
}

nlohmann::json Host::Report() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (impl_->replay) return ReplayReport(*impl_->replay);
    nlohmann::json j;
    j["description"] = impl_->scenario.description;
    j["controllers"] = nlohmann::json::array();
    j["refusals"] = nlohmann::json::array();
    for (const CtrlState& c : impl_->ctrls)
        for (const CommandRecord& r : c.commands)
            if (!r.refused_by.empty())
                j["refusals"].push_back({{"controller", c.config.id},
                                         {"seq", r.seq},
                                         {"node", r.node},
                                         {"ioctl", r.ioctl},
                                         {"request", r.request},
                                         {"errno", r.err},
                                         {"rule", r.refused_by}});
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

void Host::WriteReport(const std::string& path) const
{
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
