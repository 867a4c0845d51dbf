// The scenario: a readable description of one emulated host (controllers, their SCSI devices, what the
// firmware answers, and the faults to inject), read from JSON.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emu_bytes.hpp"

namespace zev::emu {

// Bytes laid over a built reply after its fields are filled, for anything the named fields do not cover.
struct Patch {
    size_t offset = 0;
    Bytes bytes;
};

// A fixed answer to a read: matches a BMIC command (and optionally address/index) or a CDB prefix.
struct ReplyRule {
    int bmic = -1;         // BMIC command byte, or -1
    int64_t address = -1;  // BMIC address, or -1 for any
    int index = -1;        // BMIC index, or -1 for any
    Bytes cdb_prefix;      // any CDB starting with these bytes (used when bmic is -1)
    Bytes data;            // reply bytes, zero padded or cut to the requested length
};

struct FeaturePage {
    uint8_t page = 0;
    uint8_t subpage = 0;
    Bytes data;
    int page_length = -1;  // wPageLength written in the page header; -1 = data size
};

struct IdentifyConfig {
    std::string firmware_version = "1.00";
    std::string vendor_id = "ZEVORIDE";
    std::string product_id = "ZR CTRL 8i";
    std::string family_id = "ZR Family";
    uint32_t fixed_length = 470;
    uint32_t total_length = 647;
    bool feature_pages = true;
    bool encryption = false;           // feature page 07/01 bit 0, and identify byte 126 bit 1
    bool software_raid = false;        // feature page 0A/01 bit 0, and identify u32 at 184 bit 26
    bool family_id_supported = true;   // feature page 0C/01 data byte 3 bit 1
    std::optional<uint16_t> slot = 1;  // nullopt = unknown (0xFF old layout, 0xFFFF new layout)
    uint32_t encryption_status = 0;    // u32 at 282
    uint8_t pci_generation = 3;
    uint8_t pci_link_width = 8;
    uint32_t pci_max_link_rate = 8;
    uint32_t pci_max_link_width = 8;
    std::vector<Patch> patches;
};

struct FirmwareConfig {
    IdentifyConfig identify;
    uint32_t controller_parameters_total_length = 334;
    std::vector<Patch> controller_parameters_patches;
    std::string serial = "ZR00000001";
    std::optional<Bytes> serial_bytes;  // raw 32-byte field (non-printable bytes), wins over `serial`
    std::vector<Patch> subsystem_parameters_patches;
    bool cache_status_supported = true;
    uint32_t cache_status_total_length = 512;
    std::vector<Patch> cache_status_patches;
    std::optional<std::vector<FeaturePage>> feature_pages;  // nullopt = built from the identify flags
    std::optional<uint16_t> feature_total_length;           // wTotalLength override
    std::map<uint32_t, Bytes> encryption;                   // subpage -> reply bytes
    std::vector<ReplyRule> replies;
    std::string flash_new_version;  // firmware version reported after an image was programmed
    bool flash_refuse = false;      // the flash command is rejected (CHECK CONDITION)
};

struct FaultMatch {
    std::string ioctl;   // "passthru", "big_passthru", "pci_info", "send_fib", "raw_srb", "reset", "sg_io"; "" = any
    Bytes cdb_prefix;    // CDB starts with these bytes
    int bmic = -1;       // BMIC command byte (CDB 0x26/0x27, byte 6)
    int fib = -1;        // FIB command (703, 706)
    std::string target;  // "controller", "disk", or "" = any
};

struct Fault {
    FaultMatch match;
    uint32_t after = 0;          // let this many matching commands pass first
    uint32_t times = 0;          // apply this many times; 0 = every time
    int err = 0;                 // the ioctl fails with this errno
    bool node_vanished = false;  // the node is removed; the ioctl fails with ENODEV (or err)
    int command_status = -1;     // CISS command status in the reply
    int scsi_status = -1;        // SCSI status in the reply
    Bytes sense;                 // sense data given with scsi_status
    int reply_status = -1;       // aacraid SRB reply status field
    int srb_status = -1;         // aacraid SRB status field; anything but success (0x01) or data overrun
                                 // (0x12) in its low six bits means the command did not run
    uint32_t busy_attempts = 0;  // with errno EAGAIN or EBUSY: the matching command is refused this many
                                 // times in a row, then goes through; resends do not count as new commands
    std::string data;            // "garbage" or "truncate"
    uint32_t truncate_to = 0;    // bytes kept for "truncate"
    uint32_t delay_ms = 0;       // answer this much later
    // runtime
    uint32_t seen = 0;
    uint32_t applied = 0;
    uint32_t streak = 0;  // refusals of the busy command so far
};

struct DiskConfig {
    int sg = -1;
    int channel = 0, target = 0, lun = 0;  // SCSI address on the controller's host
    Bytes ciss_lun;                        // 8-byte CISS LUN address (derived from `index` when absent)
    int index = -1;                        // drive index the LUN address encodes
    Bytes sas_address;                     // 8 bytes (default 50 00 00 00 + index, big-endian); also the WWID
    uint8_t type = 0;                      // peripheral device type in sysfs and INQUIRY
    uint8_t report_type = 0;               // device type byte of the physical LUN report
    uint8_t report_flags = 0;
    std::string vendor = "ZEVDISK", model = "ZD 1TB", rev = "0001", serial = "DSK0000001";
    bool node = true;
    // Identify physical device (BMIC 0x15): where the device sits and what kind of drive it is.
    int box = -1;             // storage enclosure number; -1 = 1 for drives, 0xFFFF for other devices
    int bay = -1;             // -1 = index + 1 for drives, 0 for other devices
    std::string port = "1I";  // connector name (2 characters)
    int64_t basic_info = -1;  // basic information word; -1 = 0x01 (SAS hard drive) for drives, else 0
    bool identify = true;     // false: the identify physical device read is rejected
};

struct LogicalConfig {
    uint16_t number = 0;
    uint8_t kind = 0;
};

struct ControllerConfig {
    std::string id;
    std::string driver = "hpsa";
    std::string bdf;        // 0000:03:00.0
    std::string root_port;  // 0000:00:03.0
    uint16_t vendor = 0x1d5a, device = 0x0101, subsystem_vendor = 0x1d5a, subsystem_device = 0x0a01;
    uint32_t pci_class = 0x010400;
    int host = -1;
    int sg = -1;                            // the controller's own SCSI generic device (hpsa family, smartpqi)
    int channel = -1, target = 0, lun = 0;  // the controller's own SCSI address
    int type = 12;                          // peripheral device type of its own SCSI device
    std::string node = "present";           // "present", "missing"; aacraid also "stale", "not_char"
    int aac_instance = -1;                  // instance in host order among aacraid hosts (computed)
    int adapter_id = -1;                    // the driver's adapter id: /dev/aac<id> reaches it (default aac_instance)
    std::optional<std::pair<uint32_t, uint32_t>> aac_pci_info;  // bus and slot its PCI information request
                                                                // answers (default: its own)
    std::optional<bool> pci_info;  // answers the PCI information request (default: not on aacraid)
    bool sis_supplement = true;    // adapter information offers the supplement (aacraid)
    bool csmi = false;             // the node answers the CSMI SAS SSP passthrough ioctl
    std::vector<DiskConfig> disks;
    std::vector<LogicalConfig> logical_drives;
    FirmwareConfig firmware;
    std::vector<Fault> faults;
};

struct ExtraHost {
    int host = 0;
    std::string proc_name;
};
struct ExtraLink {
    std::string path;    // inside the test bed, e.g. "sys/bus/pci/drivers/hpsa/0000:77:00.0"
    std::string target;  // relative link target
};
struct ExtraFile {
    std::string path;
    std::string content;
};

struct Scenario {
    std::string description;
    int aac_major = 250;        // 0 = "/proc/devices" has no aac line
    bool proc_devices = true;   // write "/proc/devices" into the test bed
    unsigned node_mode = 0600;  // permissions of every emulated device node ("node_mode": "0660")
    bool privileged = true;     // false: the caller lacks root's capabilities (the drivers answer EPERM)
    std::vector<ControllerConfig> controllers;
    std::vector<std::string> extra_drivers;  // empty driver directories
    std::vector<ExtraHost> extra_hosts;      // SCSI hosts of other drivers
    std::vector<ExtraLink> extra_links;
    std::vector<ExtraFile> extra_files;

    // Throws std::runtime_error with a readable message on bad input.
    static Scenario FromJson(const nlohmann::json& j);
    static Scenario FromText(const std::string& text);
    static Scenario FromFile(const std::string& path);
};

// The nine driver directories discovery knows, in its order, and their protocol families.
bool IsKnownDriver(const std::string& driver);
bool IsCissDriver(const std::string& driver);  // hpsa family and smartdq rows: CISS passthrough, big allowed
bool IsAacraid(const std::string& driver);
bool IsSmartpqi(const std::string& driver);

}  // namespace zev::emu
