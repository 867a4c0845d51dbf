// The emulated host: a umockdev test bed built from a scenario, with the drivers' ioctls answered by the
// firmware model. One Host may be alive per process at a time (umockdev keeps one test bed active).
//
// In-process use needs libumockdev-preload (and the emulator's own preload) loaded from process start:
// link the object library `zev_emulator_autopreload` into the test executable, which re-executes the
// process with LD_PRELOAD set. A child started with ChildEnvironment() runs inside the test bed too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emu_bytes.hpp"
#include "emu_firmware.hpp"
#include "emu_recording.hpp"
#include "emu_scenario.hpp"

namespace zev::emu {

// One ioctl as the emulated driver saw it.
struct CommandRecord {
    uint64_t seq = 0;    // order over all controllers of the host, from 1
    std::string ioctl;   // "passthru", "big_passthru", "pci_info", "send_fib", "raw_srb", "reset", "sg_io", "unknown"
    std::string node;    // "/dev/sg1"
    std::string target;  // "controller", "disk<k>", "none" (no device at the address), "" (no SCSI command)
    Bytes cdb;           // empty for requests without a CDB
    Dir dir = Dir::None;
    uint32_t data_length = 0;  // buffer length the request carried
    Bytes data;                // bytes sent (write, both) or returned (read)
    std::string data_sha256;   // of `data`
    int fib_command = -1;
    int reset_type = -1;
    unsigned long request = 0;  // raw ioctl request number
    int err = 0;                // errno the ioctl failed with; 0 = it returned 0
    uint16_t command_status = 0;
    uint8_t scsi_status = 0;
    Bytes sense;
    uint32_t reply_status = 0;   // aacraid SRB reply status
    uint32_t srb_status = 0;     // aacraid SRB status
    std::string refused_by;      // the kernel rule (driver function: what) that refused the request, or ""
    bool faulted = false;        // a scenario fault changed this command
    Bytes inner_cdb, inner_lun;  // the command inside a wrapped SSP passthrough

    BmicFields bmic() const { return DecodeBmic(cdb); }
};

struct ImageRecord {
    size_t size = 0;
    std::string sha256;
    uint16_t chunks = 0;
    Bytes data;
};

class Host {
public:
    // Builds the test bed and attaches the drivers. Throws std::runtime_error on failure (another Host
    // alive, test bed not creatable, socket path too long).
    explicit Host(const Scenario& scenario);
    // A recorded host: its files, links, folders and nodes, with every ioctl answered from the
    // recording (`source` names it in the report). No controller model stands behind it.
    Host(const Recording& recording, const std::string& source);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // True when libumockdev-preload is loaded into this process (in-process tests need it).
    static bool PreloadActive();
    // Path of the emulator's test-only preload library (mknod/unlink redirection, /dev guard).
    static std::string PreloadLibrary();
    // LD_PRELOAD value for a child that should run inside the test bed.
    static std::string ChildPreload();

    const std::string& root() const;  // test bed directory ($UMOCKDEV_DIR)
    const Scenario& scenario() const;
    size_t controller_count() const;
    int FindController(const std::string& id) const;  // -1 when unknown
    std::string NodePath(size_t ctrl) const;          // "/dev/sg1" or "/dev/aac0"
    std::string SystemPath(size_t ctrl) const;        // "/sys/devices/pci0000:00/0000:00:04.0/0000:03:00.0"

    std::vector<CommandRecord> Commands(size_t ctrl) const;
    std::vector<ImageRecord> Images(size_t ctrl) const;
    // The controller's background activity is paused (BMIC 0x98 seen, 0x99 not since).
    bool BackgroundPaused(size_t ctrl) const;
    void ClearCommands();
    void AddFault(size_t ctrl, const Fault& fault);
    void ClearFaults(size_t ctrl);
    // Changes what a controller answers from now on (firmware fields, disks, faults); the sysfs tree and
    // the nodes stay as built.
    void UpdateController(size_t ctrl, const std::function<void(ControllerConfig&)>& edit);

    // Test bed file for an absolute emulated path ("/dev/aac0" -> "<root>/dev/aac0").
    std::string BedPath(const std::string& abs) const;
    // Device number of an emulated node; false when it is missing or not a character device.
    bool NodeDevice(const std::string& abs, unsigned* major, unsigned* minor) const;

    // Prints one line per command to the stream as it is answered (nullptr: quiet).
    void SetTrace(std::FILE* out);

    // Report: every controller's commands and images, and "refusals": each request a driver's own
    // checks refused (not a scenario fault), with the rule. For a replay: the requests served, those no
    // recorded entry matched, and the entries left unused.
    nlohmann::json Report() const;
    void WriteReport(const std::string& path) const;
    // One line on how a replay went (served, unmatched, unused); "" for a scenario.
    std::string ReplaySummary() const;

    struct Impl;

private:
    void Start(const std::function<void()>& build);
    std::unique_ptr<Impl> impl_;
};

nlohmann::json CommandToJson(const CommandRecord& c);

}  // namespace zev::emu
