// Shared pieces of the device tests: the emulated controller with its devices behind it, and the
// identify physical device replies its firmware gives.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "emu_bytes.hpp"
#include "emu_host.hpp"
#include "storc_physical.h"

namespace devices_test {

using zev::emu::Bytes;
using zev::emu::ReplyRule;
using zev::emu::Scenario;

struct PhysicalIdentity {
    uint16_t index;
    uint8_t typeByte;
    uint16_t box;
    uint8_t bay;
    const char* port;
    const char* vendor;
    const char* model;
    const char* serial;
    const char* firmware;
    uint32_t basicInfo;
};

// Fixed-format sense data with this key, additional sense code and qualifier.
inline Bytes Sense(uint8_t key, uint8_t asc, uint8_t ascq = 0)
{
    return Bytes{0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq};
}

// Lets the first matching command pass and fails only the second.
inline zev::emu::Fault SecondOnly(zev::emu::Fault f)
{
    f.after = 1;
    f.times = 1;
    return f;
}

// A fault on the disks' commands with this operation code.
inline zev::emu::Fault DiskFault(uint8_t opcode)
{
    zev::emu::Fault f;
    f.match.cdb_prefix = Bytes{opcode};
    f.match.target = "disk";
    return f;
}

// The same failed in the transport with this errno.
inline zev::emu::Fault DiskErrnoFault(uint8_t opcode, int err)
{
    zev::emu::Fault f = DiskFault(opcode);
    f.err = err;
    return f;
}

// The same answered CHECK CONDITION with this sense data.
inline zev::emu::Fault DiskSenseFault(uint8_t opcode, const Bytes& sense)
{
    zev::emu::Fault f = DiskFault(opcode);
    f.scsi_status = 2;
    f.sense = sense;
    return f;
}

// Identify physical device reply in the layout of storc_physical.h.
inline Bytes IdentifyPhysicalReply(const PhysicalIdentity& id)
{
    Bytes b(SA_IDENTIFY_PHYSICAL_DEVICE_SIZE, 0);
    zev::emu::PutLE16(b, SA_IPD_OFF_DEVICE_INDEX, id.index);
    b[SA_IPD_OFF_DEVICE_TYPE] = id.typeByte;
    zev::emu::PutLE16(b, SA_IPD_OFF_ENCLOSURE, id.box);
    b[SA_IPD_OFF_BAY] = id.bay;
    const struct {
        size_t off, len;
        const char* text;
    } texts[] = {{SA_IPD_OFF_CONNECTOR, SA_IPD_LEN_CONNECTOR, id.port},
                 {SA_IPD_OFF_VENDOR, SA_IPD_LEN_VENDOR, id.vendor},
                 {SA_IPD_OFF_MODEL, SA_IPD_LEN_MODEL, id.model},
                 {SA_IPD_OFF_SERIAL, SA_IPD_LEN_SERIAL, id.serial},
                 {SA_IPD_OFF_FIRMWARE, SA_IPD_LEN_FIRMWARE, id.firmware}};
    for (const auto& t : texts) zev::emu::PutText(b, t.off, t.len, t.text);
    zev::emu::PutLE32(b, SA_IPD_OFF_BASIC_INFO, id.basicInfo);
    return b;
}

inline void AddIdentifyReply(Scenario& s, size_t controller, const PhysicalIdentity& id)
{
    ReplyRule r;
    r.bmic = BMIC_IDENTIFY_PHYSICAL_DEVICE;
    r.index = id.index;
    r.data = IdentifyPhysicalReply(id);
    s.controllers[controller].firmware.replies.push_back(r);
}

// The devices behind the standard test controller, by index: two drives (the second flagged), an
// enclosure processor that is the controller's own virtual one ("Smart Adapter"), a real enclosure
// processor, an expander and a device of report type 7 (index from LUN byte 0).
inline const std::vector<PhysicalIdentity>& StandardIdentities()
{
    static const std::vector<PhysicalIdentity> ids = {
        {0, 0, 1, 3, "1I", "IDVEND", "ZD 1TB SAS", "IDSER0000", "FW01", 0x08 | 0x10},
        {1, 0, 1, 4, "1I", "IDVEND", "ZS 480G", "IDSER0001", "FW02", 0x02},
        {2, 6, 0xFFFF, 0, "", "ZEVORIDE", "Smart Adapter", "", "1.00", 0},
        {3, 6, 1, 0, "2E", "ZEVENCL", "ZE 12 Bay", "ENC0001", "0102", 0},
        {4, 5, 0xFFFF, 0, "", "ZEVEXP", "ZX 36 Port", "EXP0001", "0300", 0},
        {5, 7, 0xFFFF, 0, "", "ZEVPROC", "ZP", "PRC0001", "0001", 0},
    };
    return ids;
}

inline std::string StandardDisks()
{
    return R"([
      {"address": "0:0:0", "index": 0, "type": 0, "report_type": 1, "vendor": "ZEVDISK", "model": "ZD 1TB", "rev": "0001", "serial": "DSK0000001"},
      {"address": "0:1:0", "index": 1, "type": 0, "report_type": 2, "report_flags": 1, "vendor": "ZEVSSD", "model": "ZS 480G", "rev": "A2B3", "serial": "DSK0000002"},
      {"address": "0:2:0", "index": 2, "type": 13, "report_type": 6, "vendor": "ZEVORIDE", "model": "Smart Adapter", "rev": "1.00"},
      {"address": "0:3:0", "index": 3, "type": 13, "report_type": 6, "vendor": "ZEVENCL", "model": "ZE 12 Bay", "rev": "0102"},
      {"address": "0:4:0", "index": 4, "type": 13, "report_type": 5, "vendor": "ZEVEXP", "model": "ZX 36 Port", "rev": "0300"},
      {"address": "0:5:0", "index": 5, "type": 3, "report_type": 7, "ciss_lun": "0500000000000000", "vendor": "ZEVPROC", "model": "ZP", "rev": "0001"}])";
}

// One controller of the given driver with the given disks (JSON array text); identify replies for
// every standard identity when withIdentify.
inline Scenario ControllerWith(const std::string& driver, const std::string& disks, bool withIdentify = true,
                               const std::string& extra = "")
{
    Scenario s = Scenario::FromText(R"({"controllers": [{"id": "c0", "driver": ")" + driver + R"(", "disks": )" +
                                    disks + extra + "}]}");
    if (withIdentify)
        for (const PhysicalIdentity& id : StandardIdentities()) AddIdentifyReply(s, 0, id);
    return s;
}

inline Scenario StandardController(const std::string& driver = "hpsa")
{
    return ControllerWith(driver, StandardDisks());
}

// An extended physical LUN report whose header claims claimedEntries and which holds the entries
// for the given drive indices (device type 0).
inline Bytes PhysicalReport(uint32_t claimedEntries, const std::vector<uint16_t>& indices)
{
    Bytes b(8 + indices.size() * 24, 0);
    zev::emu::PutBE32(b, 0, claimedEntries * 24);
    for (size_t i = 0; i < indices.size(); ++i) {
        uint8_t* e = &b[8 + i * 24];
        const unsigned v = indices[i] + 256u;
        e[6] = v & 0xFF;
        e[7] = (v >> 8) & 0x3F;
    }
    return b;
}

inline void AddPhysicalReport(Scenario& s, size_t controller, const Bytes& report)
{
    ReplyRule r;
    r.cdb_prefix = Bytes{0xC3};
    r.data = report;
    s.controllers[controller].firmware.replies.insert(s.controllers[controller].firmware.replies.begin(), r);
}

}  // namespace devices_test
