#include "emu_scenario.hpp"

#include "emu_json.hpp"

#include <cstdio>
#include <set>
#include <sstream>
#include <stdexcept>

namespace zev::emu {

namespace {

using nlohmann::json;

[[noreturn]] void Fail(const std::string& where, const std::string& what)
{
    throw std::runtime_error("scenario: " + where + ": " + what);
}

// Unknown keys are errors: a typo in a scenario must not silently give a default.
void CheckKeys(const json& j, const std::string& where, std::initializer_list<const char*> keys)
{
    if (!j.is_object()) Fail(where, "expected an object");
    for (auto it = j.begin(); it != j.end(); ++it) {
        bool ok = false;
        for (const char* k : keys) ok = ok || it.key() == k;
        if (!ok) Fail(where, "unknown key " + Quoted(it.key()));
    }
}

// Numbers may be given as JSON numbers or as text ("0x1d5a", "250").
uint64_t Num(const json& j, const std::string& where, uint64_t max)
{
    uint64_t v = 0;
    if (j.is_number_unsigned()) {
        v = j.get<uint64_t>();
    } else if (j.is_number_integer()) {
        if (j.get<int64_t>() < 0) Fail(where, "negative number");
        v = static_cast<uint64_t>(j.get<int64_t>());
    } else if (j.is_string()) {
        const std::string s = j.get<std::string>();
        char* end = nullptr;
        v = std::strtoull(s.c_str(), &end, 0);
        if (s.empty() || *end != '\0') Fail(where, "bad number " + Quoted(s));
    } else {
        Fail(where, "expected a number");
    }
    if (v > max) Fail(where, "number out of range");
    return v;
}

template <typename T>
void OptNum(const json& j, const char* key, const std::string& where, T* out, uint64_t max)
{
    if (j.contains(key)) *out = static_cast<T>(Num(j.at(key), where + "." + key, max));
}
void OptStr(const json& j, const char* key, const std::string& where, std::string* out)
{
    if (!j.contains(key)) return;
    if (!j.at(key).is_string()) Fail(where + "." + key, "expected a string");
    *out = j.at(key).get<std::string>();
}
void OptBool(const json& j, const char* key, const std::string& where, bool* out)
{
    if (!j.contains(key)) return;
    if (!j.at(key).is_boolean()) Fail(where + "." + key, "expected true or false");
    *out = j.at(key).get<bool>();
}
Bytes Hex(const json& j, const std::string& where)
{
    Bytes b;
    if (!j.is_string() || !ParseHex(j.get<std::string>(), &b)) Fail(where, "expected hex text");
    return b;
}

std::vector<Patch> Patches(const json& j, const std::string& where)
{
    std::vector<Patch> r;
    if (!j.is_array()) Fail(where, "expected an array");
    for (size_t i = 0; i < j.size(); ++i) {
        const std::string w = where + "[" + std::to_string(i) + "]";
        CheckKeys(j[i], w, {"offset", "hex"});
        Patch p;
        p.offset = Num(j[i].at("offset"), w + ".offset", 1 << 20);
        p.bytes = Hex(j[i].at("hex"), w + ".hex");
        r.push_back(std::move(p));
    }
    return r;
}

// An optional object member, named by its path ("c0.firmware.cache_status"), its keys checked.
template <typename Each>
void WithObject(const json& j, const std::string& w, const char* key, std::initializer_list<const char*> keys,
                Each each)
{
    if (!j.contains(key)) return;
    const std::string where = w + "." + key;
    CheckKeys(j.at(key), where, keys);
    each(j.at(key), where);
}

void ParseIdentify(const json& j, const std::string& w, IdentifyConfig* id)
{
    CheckKeys(j, w,
              {"firmware_version", "vendor_id", "product_id", "family_id", "fixed_length", "total_length",
               "feature_pages", "encryption", "software_raid", "family_id_supported", "slot", "encryption_status",
               "pci_generation", "pci_link_width", "pci_max_link_rate", "pci_max_link_width", "patches"});
    OptStr(j, "firmware_version", w, &id->firmware_version);
    OptStr(j, "vendor_id", w, &id->vendor_id);
    OptStr(j, "product_id", w, &id->product_id);
    OptStr(j, "family_id", w, &id->family_id);
    OptNum(j, "fixed_length", w, &id->fixed_length, 0xFFFFFFFF);
    OptNum(j, "total_length", w, &id->total_length, 0xFFFFFFFF);
    OptBool(j, "feature_pages", w, &id->feature_pages);
    OptBool(j, "encryption", w, &id->encryption);
    OptBool(j, "software_raid", w, &id->software_raid);
    OptBool(j, "family_id_supported", w, &id->family_id_supported);
    if (j.contains("slot")) {
        if (j.at("slot").is_null())
            id->slot.reset();
        else
            id->slot = static_cast<uint16_t>(Num(j.at("slot"), w + ".slot", 0xFFFF));
    }
    OptNum(j, "encryption_status", w, &id->encryption_status, 0xFFFFFFFF);
    OptNum(j, "pci_generation", w, &id->pci_generation, 0xFF);
    OptNum(j, "pci_link_width", w, &id->pci_link_width, 0xFF);
    OptNum(j, "pci_max_link_rate", w, &id->pci_max_link_rate, 0xFFFFFFFF);
    OptNum(j, "pci_max_link_width", w, &id->pci_max_link_width, 0xFFFFFFFF);
    if (j.contains("patches")) id->patches = Patches(j.at("patches"), w + ".patches");
}

void ParseFirmware(const json& j, const std::string& w, FirmwareConfig* fw)
{
    CheckKeys(j, w,
              {"identify", "controller_parameters", "subsystem_parameters", "cache_status", "feature_pages",
               "encryption", "replies", "flash"});
    if (j.contains("identify")) ParseIdentify(j.at("identify"), w + ".identify", &fw->identify);
    WithObject(j, w, "controller_parameters", {"total_length", "patches"}, [&](const json& c, const std::string& cw) {
        OptNum(c, "total_length", cw, &fw->controller_parameters_total_length, 0xFFFFFFFF);
        if (c.contains("patches")) fw->controller_parameters_patches = Patches(c.at("patches"), cw + ".patches");
    });
    WithObject(j, w, "subsystem_parameters", {"serial", "serial_hex", "patches"},
               [&](const json& s, const std::string& sw) {
                   OptStr(s, "serial", sw, &fw->serial);
                   if (s.contains("serial_hex")) {
                       fw->serial_bytes = Hex(s.at("serial_hex"), sw + ".serial_hex");
                       if (fw->serial_bytes->size() > 32) Fail(sw + ".serial_hex", "more than 32 bytes");
                   }
                   if (s.contains("patches"))
                       fw->subsystem_parameters_patches = Patches(s.at("patches"), sw + ".patches");
               });
    WithObject(j, w, "cache_status", {"supported", "total_length", "patches"},
               [&](const json& c, const std::string& cw) {
                   OptBool(c, "supported", cw, &fw->cache_status_supported);
                   OptNum(c, "total_length", cw, &fw->cache_status_total_length, 0xFFFFFFFF);
                   if (c.contains("patches")) fw->cache_status_patches = Patches(c.at("patches"), cw + ".patches");
               });
    WithObject(j, w, "feature_pages", {"pages", "total_length"}, [&](const json& f, const std::string& fw_) {
        if (f.contains("total_length"))
            fw->feature_total_length = static_cast<uint16_t>(Num(f.at("total_length"), fw_ + ".total_length", 0xFFFF));
        if (f.contains("pages")) {
            const json& pages = f.at("pages");
            if (!pages.is_array()) Fail(fw_ + ".pages", "expected an array");
            std::vector<FeaturePage> list;
            for (size_t i = 0; i < pages.size(); ++i) {
                const std::string pw = fw_ + ".pages[" + std::to_string(i) + "]";
                CheckKeys(pages[i], pw, {"page", "subpage", "data", "page_length"});
                FeaturePage p;
                p.page = static_cast<uint8_t>(Num(pages[i].at("page"), pw + ".page", 0xFF));
                p.subpage = static_cast<uint8_t>(Num(pages[i].at("subpage"), pw + ".subpage", 0xFF));
                if (pages[i].contains("data")) p.data = Hex(pages[i].at("data"), pw + ".data");
                if (pages[i].contains("page_length"))
                    p.page_length = static_cast<int>(Num(pages[i].at("page_length"), pw + ".page_length", 0xFFFF));
                list.push_back(std::move(p));
            }
            fw->feature_pages = std::move(list);
        }
    });
    if (j.contains("encryption")) {
        const json& e = j.at("encryption");
        if (!e.is_object()) Fail(w + ".encryption", "expected an object of subpage: hex");
        for (auto it = e.begin(); it != e.end(); ++it) {
            const uint32_t sub = static_cast<uint32_t>(Num(json(it.key()), w + ".encryption key", 0xFFFFFFFF));
            fw->encryption[sub] = Hex(it.value(), w + ".encryption." + it.key());
        }
    }
    if (j.contains("replies")) {
        const json& r = j.at("replies");
        if (!r.is_array()) Fail(w + ".replies", "expected an array");
        for (size_t i = 0; i < r.size(); ++i) {
            const std::string rw = w + ".replies[" + std::to_string(i) + "]";
            CheckKeys(r[i], rw, {"bmic", "address", "index", "cdb", "hex"});
            ReplyRule rule;
            OptNum(r[i], "bmic", rw, &rule.bmic, 0xFF);
            OptNum(r[i], "address", rw, &rule.address, 0xFFFFFFFF);
            OptNum(r[i], "index", rw, &rule.index, 0xFFFF);
            if (r[i].contains("cdb")) rule.cdb_prefix = Hex(r[i].at("cdb"), rw + ".cdb");
            if (rule.bmic < 0 && rule.cdb_prefix.empty()) Fail(rw, "needs \"bmic\" or \"cdb\"");
            rule.data = Hex(r[i].at("hex"), rw + ".hex");
            fw->replies.push_back(std::move(rule));
        }
    }
    if (j.contains("flash")) {
        const json& f = j.at("flash");
        CheckKeys(f, w + ".flash", {"new_version", "refuse"});
        OptStr(f, "new_version", w + ".flash", &fw->flash_new_version);
        OptBool(f, "refuse", w + ".flash", &fw->flash_refuse);
    }
}

Fault ParseFault(const json& j, const std::string& w)
{
    CheckKeys(j, w,
              {"match", "nth", "after", "times", "errno", "node_vanished", "command_status", "scsi_status", "sense",
               "reply_status", "srb_status", "busy_attempts", "data", "truncate_to", "delay_ms"});
    Fault f;
    if (j.contains("match")) {
        const json& m = j.at("match");
        const std::string mw = w + ".match";
        CheckKeys(m, mw, {"ioctl", "cdb", "bmic", "fib", "target"});
        OptStr(m, "ioctl", mw, &f.match.ioctl);
        static const std::set<std::string> ioctls = {"",        "passthru", "big_passthru", "pci_info", "send_fib",
                                                     "raw_srb", "reset",    "sg_io",        "csmi",     "aac_pci_info"};
        if (!ioctls.count(f.match.ioctl)) Fail(mw + ".ioctl", "unknown ioctl " + Quoted(f.match.ioctl));
        if (m.contains("cdb")) f.match.cdb_prefix = Hex(m.at("cdb"), mw + ".cdb");
        OptNum(m, "bmic", mw, &f.match.bmic, 0xFF);
        OptNum(m, "fib", mw, &f.match.fib, 0xFFFF);
        OptStr(m, "target", mw, &f.match.target);
        if (f.match.target != "" && f.match.target != "controller" && f.match.target != "disk")
            Fail(mw + ".target", "expected \"controller\" or \"disk\"");
    }
    if (j.contains("nth")) {
        const uint32_t n = static_cast<uint32_t>(Num(j.at("nth"), w + ".nth", 0xFFFFFFFF));
        if (n == 0) Fail(w + ".nth", "counts from 1");
        f.after = n - 1;
        f.times = 1;
    }
    OptNum(j, "after", w, &f.after, 0xFFFFFFFF);
    OptNum(j, "times", w, &f.times, 0xFFFFFFFF);
    OptNum(j, "errno", w, &f.err, 4095);
    OptBool(j, "node_vanished", w, &f.node_vanished);
    OptNum(j, "command_status", w, &f.command_status, 0xFFFF);
    OptNum(j, "scsi_status", w, &f.scsi_status, 0xFF);
    if (j.contains("sense")) f.sense = Hex(j.at("sense"), w + ".sense");
    OptNum(j, "reply_status", w, &f.reply_status, 0x7FFFFFFF);
    OptNum(j, "srb_status", w, &f.srb_status, 0xFF);
    OptNum(j, "busy_attempts", w, &f.busy_attempts, 0xFFFF);
    if (f.busy_attempts > 0 && f.err != 11 && f.err != 16)  // EAGAIN, EBUSY
        Fail(w + ".busy_attempts", "needs \"errno\": 11 (EAGAIN) or 16 (EBUSY)");
    OptStr(j, "data", w, &f.data);
    if (f.data != "" && f.data != "garbage" && f.data != "truncate")
        Fail(w + ".data", "expected \"garbage\" or \"truncate\"");
    OptNum(j, "truncate_to", w, &f.truncate_to, 0xFFFFFFFF);
    OptNum(j, "delay_ms", w, &f.delay_ms, 600000);
    return f;
}

// "c:t:l" into its three numbers.
void ParseAddress(const json& j, const std::string& w, int* c, int* t, int* l)
{
    if (!j.is_string() || std::sscanf(j.get<std::string>().c_str(), "%d:%d:%d", c, t, l) != 3 || *c < 0 || *t < 0 ||
        *l < 0 || *c > 255 || *t > 255 || *l > 255)
        Fail(w, "expected \"channel:target:lun\"");
}

DiskConfig ParseDisk(const json& j, const std::string& w)
{
    CheckKeys(j, w,
              {"sg", "address", "ciss_lun", "sas_address", "index", "type", "report_type", "report_flags", "vendor",
               "model", "rev", "serial", "node", "box", "bay", "port", "basic_info", "identify"});
    DiskConfig d;
    OptNum(j, "sg", w, &d.sg, 32767);
    if (j.contains("address")) ParseAddress(j.at("address"), w + ".address", &d.channel, &d.target, &d.lun);
    if (j.contains("ciss_lun")) {
        d.ciss_lun = Hex(j.at("ciss_lun"), w + ".ciss_lun");
        if (d.ciss_lun.size() != 8) Fail(w + ".ciss_lun", "expected 8 bytes");
    }
    if (j.contains("sas_address")) {
        d.sas_address = Hex(j.at("sas_address"), w + ".sas_address");
        if (d.sas_address.size() != 8) Fail(w + ".sas_address", "expected 8 bytes");
    }
    OptNum(j, "index", w, &d.index, 0x3EFF);
    OptNum(j, "type", w, &d.type, 0x1F);
    OptNum(j, "report_type", w, &d.report_type, 0xFF);
    OptNum(j, "report_flags", w, &d.report_flags, 0xFF);
    OptStr(j, "vendor", w, &d.vendor);
    OptStr(j, "model", w, &d.model);
    OptStr(j, "rev", w, &d.rev);
    OptStr(j, "serial", w, &d.serial);
    OptBool(j, "node", w, &d.node);
    OptNum(j, "box", w, &d.box, 0xFFFF);
    OptNum(j, "bay", w, &d.bay, 0xFF);
    OptStr(j, "port", w, &d.port);
    if (d.port.size() > 2) Fail(w + ".port", "expected at most 2 characters");
    OptNum(j, "basic_info", w, &d.basic_info, 0xFFFFFFFFll);
    OptBool(j, "identify", w, &d.identify);
    return d;
}

ControllerConfig ParseController(const json& j, const std::string& w)
{
    CheckKeys(j, w,
              {"id", "driver", "pci", "host", "sg", "address", "type", "node", "pci_info", "sis_supplement", "csmi",
               "disks", "logical_drives", "firmware", "faults", "adapter_id", "aac_pci_info"});
    ControllerConfig c;
    OptStr(j, "id", w, &c.id);
    OptStr(j, "driver", w, &c.driver);
    if (!IsKnownDriver(c.driver)) Fail(w + ".driver", "unknown driver " + Quoted(c.driver));
    if (j.contains("pci")) {
        const json& p = j.at("pci");
        const std::string pw = w + ".pci";
        CheckKeys(p, pw, {"address", "root_port", "vendor", "device", "subsystem_vendor", "subsystem_device", "class"});
        OptStr(p, "address", pw, &c.bdf);
        OptStr(p, "root_port", pw, &c.root_port);
        OptNum(p, "vendor", pw, &c.vendor, 0xFFFF);
        OptNum(p, "device", pw, &c.device, 0xFFFF);
        OptNum(p, "subsystem_vendor", pw, &c.subsystem_vendor, 0xFFFF);
        OptNum(p, "subsystem_device", pw, &c.subsystem_device, 0xFFFF);
        OptNum(p, "class", pw, &c.pci_class, 0xFFFFFF);
        unsigned dom, bus, dev, fn;
        char tail;
        if (!c.bdf.empty() &&
            (std::sscanf(c.bdf.c_str(), "%4x:%2x:%2x.%1x%c", &dom, &bus, &dev, &fn, &tail) != 4 || dev > 31 || fn > 7))
            Fail(pw + ".address", "expected \"dddd:bb:dd.f\"");
    }
    OptNum(j, "host", w, &c.host, 65535);
    OptNum(j, "sg", w, &c.sg, 32767);
    if (j.contains("address")) ParseAddress(j.at("address"), w + ".address", &c.channel, &c.target, &c.lun);
    OptNum(j, "type", w, &c.type, 0x1F);
    OptStr(j, "node", w, &c.node);
    static const std::set<std::string> nodes = {"present", "missing", "stale", "not_char"};
    if (!nodes.count(c.node)) Fail(w + ".node", "unknown node state " + Quoted(c.node));
    if (!IsAacraid(c.driver) && (c.node == "stale" || c.node == "not_char"))
        Fail(w + ".node", "\"stale\" and \"not_char\" apply to aacraid nodes only");
    if (j.contains("pci_info")) {
        bool b = false;
        OptBool(j, "pci_info", w, &b);
        c.pci_info = b;
    }
    OptBool(j, "sis_supplement", w, &c.sis_supplement);
    OptNum(j, "adapter_id", w, &c.adapter_id, 255);
    if (j.contains("aac_pci_info")) {
        const json& p = j.at("aac_pci_info");
        const std::string pw = w + ".aac_pci_info";
        CheckKeys(p, pw, {"bus", "slot"});
        c.aac_pci_info = std::make_pair(static_cast<uint32_t>(Num(p.at("bus"), pw + ".bus", 0xFFFFFFFF)),
                                        static_cast<uint32_t>(Num(p.at("slot"), pw + ".slot", 0xFFFFFFFF)));
    }
    if (!IsAacraid(c.driver) && (c.adapter_id >= 0 || c.aac_pci_info))
        Fail(w, "\"adapter_id\" and \"aac_pci_info\" apply to aacraid controllers only");
    OptBool(j, "csmi", w, &c.csmi);
    if (j.contains("disks")) {
        if (!j.at("disks").is_array()) Fail(w + ".disks", "expected an array");
        for (size_t i = 0; i < j.at("disks").size(); ++i)
            c.disks.push_back(ParseDisk(j.at("disks")[i], w + ".disks[" + std::to_string(i) + "]"));
    }
    if (j.contains("logical_drives")) {
        const json& l = j.at("logical_drives");
        if (!l.is_array()) Fail(w + ".logical_drives", "expected an array");
        for (size_t i = 0; i < l.size(); ++i) {
            const std::string lw = w + ".logical_drives[" + std::to_string(i) + "]";
            CheckKeys(l[i], lw, {"number", "kind"});
            LogicalConfig s;
            OptNum(l[i], "number", lw, &s.number, 0xFFFF);
            OptNum(l[i], "kind", lw, &s.kind, 0xFF);
            c.logical_drives.push_back(s);
        }
    }
    if (j.contains("firmware")) ParseFirmware(j.at("firmware"), w + ".firmware", &c.firmware);
    if (j.contains("faults")) {
        const json& f = j.at("faults");
        if (!f.is_array()) Fail(w + ".faults", "expected an array");
        for (size_t i = 0; i < f.size(); ++i)
            c.faults.push_back(ParseFault(f[i], w + ".faults[" + std::to_string(i) + "]"));
    }
    return c;
}

// A path inside the test bed: relative, without "." or ".." components.
void CheckBedPath(const std::string& p, const std::string& w)
{
    if (p.empty() || p[0] == '/') Fail(w, "must be a relative path inside the test bed");
    std::stringstream ss(p);
    std::string part;
    while (std::getline(ss, part, '/'))
        if (part == ".." || part == ".") Fail(w, "must not contain \".\" or \"..\"");
}

// Numbers left open are given in order, skipping the ones the scenario fixed.
void AssignDefaults(Scenario* s)
{
    std::set<int> hosts, sgs;
    std::set<std::string> bdfs;
    for (const auto& h : s->extra_hosts)
        if (!hosts.insert(h.host).second) Fail("extra_hosts", "host " + std::to_string(h.host) + " used twice");
    for (const auto& c : s->controllers) {
        if (c.host >= 0 && !hosts.insert(c.host).second) Fail(c.id, "host " + std::to_string(c.host) + " used twice");
        if (c.sg >= 0 && !sgs.insert(c.sg).second) Fail(c.id, "sg" + std::to_string(c.sg) + " used twice");
        for (const auto& d : c.disks)
            if (d.sg >= 0 && !sgs.insert(d.sg).second) Fail(c.id, "sg" + std::to_string(d.sg) + " used twice");
        if (!c.bdf.empty() && !bdfs.insert(c.bdf).second) Fail(c.id, "PCI address " + c.bdf + " used twice");
    }
    int next_host = 0, next_sg = 0, next_bus = 3;
    auto take = [](std::set<int>& used, int& next) {
        while (used.count(next)) ++next;
        used.insert(next);
        return next++;
    };
    std::set<std::string> ids;
    for (size_t k = 0; k < s->controllers.size(); ++k) {
        ControllerConfig& c = s->controllers[k];
        if (c.id.empty()) c.id = "c" + std::to_string(k);
        if (!ids.insert(c.id).second) Fail(c.id, "controller id used twice");
        if (c.host < 0) c.host = take(hosts, next_host);
        const bool aac = IsAacraid(c.driver);
        if (!aac && c.sg < 0) c.sg = take(sgs, next_sg);
        if (c.channel < 0) c.channel = aac ? 3 : (IsCissDriver(c.driver) ? 3 : 2);
        for (DiskConfig& d : c.disks)
            if (d.sg < 0) d.sg = take(sgs, next_sg);
        while (c.bdf.empty()) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "0000:%02x:00.0", next_bus & 0xFF);
            ++next_bus;
            if (bdfs.insert(buf).second) c.bdf = buf;
        }
        if (c.root_port.empty()) {
            unsigned dom = 0, bus = 0;
            std::sscanf(c.bdf.c_str(), "%4x:%2x", &dom, &bus);
            char buf[32];
            std::snprintf(buf, sizeof buf, "%04x:00:%02x.0", dom, (bus % 31) + 1);
            c.root_port = buf;
        }
        for (size_t i = 0; i < c.disks.size(); ++i) {
            DiskConfig& d = c.disks[i];
            if (d.index < 0) d.index = static_cast<int>(i);
            if (d.ciss_lun.empty()) {
                // Physical address: byte 3 clear, bytes 6-7 hold index + 256 (bus in the low six bits of byte 7).
                d.ciss_lun.assign(8, 0);
                const int v = d.index + 256;
                d.ciss_lun[6] = static_cast<uint8_t>(v & 0xFF);
                d.ciss_lun[7] = static_cast<uint8_t>((v >> 8) & 0x3F);
            }
            if (d.sas_address.empty()) {
                d.sas_address.assign(8, 0);
                PutBE32(d.sas_address, 0, 0x50000000u);
                PutBE32(d.sas_address, 4, static_cast<uint32_t>(d.index));
            }
        }
    }
    // aacraid instance numbers follow the host order among aacraid hosts.
    std::map<int, ControllerConfig*> aac_by_host;
    for (auto& c : s->controllers)
        if (IsAacraid(c.driver)) aac_by_host[c.host] = &c;
    int n = 0;
    for (auto& [host, c] : aac_by_host) c->aac_instance = n++;
    std::set<int> adapter_ids;
    for (auto& c : s->controllers) {
        if (!IsAacraid(c.driver)) continue;
        if (c.adapter_id < 0) c.adapter_id = c.aac_instance;
        if (!adapter_ids.insert(c.adapter_id).second)
            Fail(c.id, "adapter id " + std::to_string(c.adapter_id) + " used twice");
    }
}

// The bed path of an extra link or file and what goes there (key other: its target or content).
void ReadBedEntry(const json& o, const std::string& w, const char* other, std::string* path, std::string* value)
{
    OptStr(o, "path", w, path);
    OptStr(o, other, w, value);
    CheckBedPath(*path, w + ".path");
}

// Each object of an optional array, named by its place ("extra_hosts[2]"), its keys checked.
template <typename Each>
void ForEachObject(const json& j, const char* key, std::initializer_list<const char*> keys, Each each)
{
    if (!j.contains(key)) return;
    ForEachEntry(
        j.at(key), key, [&](const json& o, const std::string& where) { CheckKeys(o, where, keys); }, each);
}

}  // namespace

Scenario Scenario::FromJson(const json& j)
{
    CheckKeys(j, "top level",
              {"description", "aac_major", "proc_devices", "node_mode", "privileged", "controllers", "extra_drivers",
               "extra_hosts", "extra_links", "extra_files"});
    Scenario s;
    OptStr(j, "description", "description", &s.description);
    OptNum(j, "aac_major", "aac_major", &s.aac_major, 511);
    OptBool(j, "proc_devices", "proc_devices", &s.proc_devices);
    if (j.contains("node_mode")) {
        std::string mode;
        OptStr(j, "node_mode", "node_mode", &mode);
        char* end = nullptr;
        const unsigned long m = std::strtoul(mode.c_str(), &end, 8);
        if (mode.empty() || *end != '\0' || m > 0777) Fail("node_mode", "expected octal permissions such as \"0660\"");
        s.node_mode = static_cast<unsigned>(m);
    }
    OptBool(j, "privileged", "privileged", &s.privileged);
    if (j.contains("controllers")) {
        if (!j.at("controllers").is_array()) Fail("controllers", "expected an array");
        for (size_t i = 0; i < j.at("controllers").size(); ++i)
            s.controllers.push_back(ParseController(j.at("controllers")[i], "controllers[" + std::to_string(i) + "]"));
    }
    if (j.contains("extra_drivers")) {
        for (const auto& d : j.at("extra_drivers")) {
            if (!d.is_string() || d.get<std::string>().empty() || d.get<std::string>().find('/') != std::string::npos)
                Fail("extra_drivers", "expected driver names");
            s.extra_drivers.push_back(d.get<std::string>());
        }
    }
    ForEachObject(j, "extra_hosts", {"host", "proc_name"}, [&](const json& h, const std::string& w) {
        ExtraHost e;
        e.host = static_cast<int>(Num(h.at("host"), w + ".host", 65535));
        OptStr(h, "proc_name", w, &e.proc_name);
        s.extra_hosts.push_back(e);
    });
    ForEachObject(j, "extra_links", {"path", "target"}, [&](const json& l, const std::string& w) {
        ExtraLink e;
        ReadBedEntry(l, w, "target", &e.path, &e.target);
        if (e.target.empty() || e.target[0] == '/') Fail(w + ".target", "must be a relative link target");
        s.extra_links.push_back(e);
    });
    ForEachObject(j, "extra_files", {"path", "content"}, [&](const json& f, const std::string& w) {
        ExtraFile e;
        ReadBedEntry(f, w, "content", &e.path, &e.content);
        s.extra_files.push_back(e);
    });
    AssignDefaults(&s);
    return s;
}

Scenario Scenario::FromText(const std::string& text)
{
    const json j = ParseJson(text, [](const json::exception& e) {
        throw std::runtime_error(std::string("scenario: not valid JSON: ") + e.what());
    });
    return ReadAs("scenario", [&] { return FromJson(j); });
}

Scenario Scenario::FromFile(const std::string& path) { return FromText(ReadFileText("scenario", path)); }

bool IsCissDriver(const std::string& d)
{
    return d == "hpsa" || d == "hpdsa" || d == "hpdsac" || d == "hpdsag" || d == "hpdsaw";
}
bool IsSmartpqi(const std::string& d) { return d == "smartpqi" || d == "smartdq" || d == "smartdqg"; }
bool IsAacraid(const std::string& d) { return d == "aacraid"; }
bool IsKnownDriver(const std::string& d) { return IsCissDriver(d) || IsSmartpqi(d) || IsAacraid(d); }

}  // namespace zev::emu
