// Against the emulated host: which node reaches which aacraid adapter, controllers out of reach, busy
// drivers, the SRB status and the requests a driver would refuse.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "HostTestSupport.h"

using zev::emu::CommandRecord;
using zev::emu::Host;
using zev::emu::Scenario;

namespace {

struct Unusable {
    std::string pci, driver;
    uint32_t reason;
    int error;
    uint16_t vendor, device, subVendor, subDevice;

    bool operator==(const Unusable& o) const
    {
        return std::tie(pci, driver, reason, error, vendor, device, subVendor, subDevice) ==
               std::tie(o.pci, o.driver, o.reason, o.error, o.vendor, o.device, o.subVendor, o.subDevice);
    }
};

void PrintTo(const Unusable& u, std::ostream* os)
{
    *os << u.pci << " " << u.driver << " reason " << u.reason << " errno " << u.error << std::hex << " " << u.vendor
        << ":" << u.device << " " << u.subVendor << ":" << u.subDevice;
}

// Discovers the host; the descriptors found and the controllers left out.
std::vector<Found> DiscoverReporting(std::vector<Unusable>* unusable)
{
    SC_UnusableController* list = nullptr;
    SC_DescriptorList* found = SC_CreateControllerDescriptorListReporting(&list);
    std::vector<Found> all = DescribeList(found);
    SC_DestroyDeviceDescriptorList(found);
    for (SC_UnusableController* u = list; u != nullptr; u = u->next)
        unusable->push_back(Unusable{u->pciAddress, u->driver, u->reason, u->error, u->vendorId, u->deviceId,
                                     u->subsystemVendorId, u->subsystemDeviceId});
    SC_DestroyUnusableControllers(list);
    return all;
}

// The ioctl names of a controller's commands, in order.
std::vector<std::string> Ioctls(const Host& host, const std::string& id)
{
    std::vector<std::string> names;
    for (const CommandRecord& c : host.Commands(host.FindController(id))) names.push_back(c.ioctl);
    return names;
}

const char kTwoAdapters[] = R"({"controllers": [
    {"id": "a", "driver": "aacraid", "host": 0, "pci": {"address": "0000:05:00.0", "device": "0x28b"}%A%},
    {"id": "b", "driver": "aacraid", "host": 1, "pci": {"address": "0000:06:02.0", "device": "0x28c"}%B%}]%TOP%})";

std::string TwoAdapters(const std::string& a, const std::string& b, const std::string& top = "")
{
    std::string s = kTwoAdapters;
    s.replace(s.find("%A%"), 3, a);
    s.replace(s.find("%B%"), 3, b);
    s.replace(s.find("%TOP%"), 5, top);
    return s;
}

TEST(AacraidNodeCheck, EachAdapterIsReachedThroughTheNodeThatNamesIt)
{
    struct Row {
        const char* what;
        std::string scenario;
        std::vector<std::string> nodes;  // node of a, node of b ("" = not listed)
        std::vector<Unusable> unusable;
        std::vector<std::string> aIoctls;  // what a received
    } rows[] = {
        {"ids follow the host order",
         TwoAdapters("", ""),
         {"/dev/aac0", "/dev/aac1"},
         {},
         {"aac_pci_info", "send_fib", "send_fib", "unknown"}},
        // a's host-order node reaches b: b answers the check with its own slot, a is found on aac1.
        // b's probe asks aac1 (a) first, and is told another slot.
        {"ids swapped",
         TwoAdapters(R"(, "adapter_id": 1)", R"(, "adapter_id": 0)"),
         {"/dev/aac1", "/dev/aac0"},
         {},
         {"aac_pci_info", "send_fib", "send_fib", "unknown", "aac_pci_info"}},
        {"a's answer names another slot",
         TwoAdapters(R"(, "aac_pci_info": {"bus": 5, "slot": 1})", ""),
         {"", "/dev/aac1"},
         {{"0000:05:00.0", "aacraid", SC_UNUSABLE_NODE_UNCONFIRMED, 0, 0x1d5a, 0x28b, 0x1d5a, 0x0a01}},
         {"aac_pci_info"}},
        {"unprivileged caller",
         TwoAdapters("", "", R"(, "privileged": false)"),
         {"", ""},
         {{"0000:05:00.0", "aacraid", SC_UNUSABLE_NO_ACCESS, EPERM, 0x1d5a, 0x28b, 0x1d5a, 0x0a01},
          {"0000:06:02.0", "aacraid", SC_UNUSABLE_NO_ACCESS, EPERM, 0x1d5a, 0x28c, 0x1d5a, 0x0a01}},
         {"aac_pci_info", "aac_pci_info"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Host host(Scenario::FromText(r.scenario));
        std::vector<Unusable> unusable;
        std::vector<Found> found = DiscoverReporting(&unusable);
        std::vector<std::string> nodes(2);
        for (const Found& f : found) nodes[f.path == host.SystemPath(0) ? 0 : 1] = f.node;
        EXPECT_EQ(nodes, r.nodes);
        EXPECT_EQ(unusable, r.unusable);
        EXPECT_EQ(Ioctls(host, "a"), r.aIoctls);
        // Nothing but the PCI information request ever reached an adapter through a node that was not
        // confirmed for the controller being probed: every adapter got its FIBs exactly once.
        for (const char* id : {"a", "b"}) {
            int fibs = 0;
            for (const std::string& name : Ioctls(host, id)) fibs += name == "send_fib";
            EXPECT_EQ(fibs, nodes[id[0] - 'a'].empty() ? 0 : 2) << id;
        }
    }
}

TEST(Unreachable, MissingScsiGenericClassIsNamed)
{
    Host host(Scenario::FromText(R"({"controllers": [{"driver": "hpsa", "pci": {"address": "0000:03:00.0"}},
                                                   {"driver": "smartpqi", "pci": {"address": "0000:04:00.0"}}]})"));
    ASSERT_EQ(std::system(("rm -rf '" + host.BedPath("/sys/class/scsi_generic") + "'").c_str()), 0);
    std::vector<Unusable> unusable;
    EXPECT_TRUE(DiscoverReporting(&unusable).empty());
    ASSERT_EQ(unusable.size(), 2u);
    EXPECT_EQ(unusable[0].pci, "0000:03:00.0");
    EXPECT_EQ(unusable[0].driver, "hpsa");
    EXPECT_EQ(unusable[1].driver, "smartpqi");
    for (const Unusable& u : unusable) EXPECT_EQ(u.reason, (uint32_t)SC_UNUSABLE_NO_SCSI_GENERIC);
}

TEST(DriverAnswers, HowEachAnswerEnds)
{
    struct Row {
        const char* what;
        const char* controller;
        uint32_t length;
        uint8_t result;
        uint32_t lowLevel;
        int lastError;
        size_t commands;        // commands the controller saw (after discovery)
        size_t retryNotes;      // "Driver busy" lines
        const char* refusedBy;  // rule of the last command, "" for none
        const char* top = "";   // top-level scenario keys
    } rows[] = {
        {"hpsa busy twice",
         R"({"driver": "hpsa", "faults": [{"match": {"bmic": 17}, "errno": 11, "busy_attempts": 2}]})", 647, 0, 0, 0, 3,
         2, ""},
        {"smartpqi activating once",
         R"({"driver": "smartpqi", "faults": [{"match": {"bmic": 17}, "errno": 16, "busy_attempts": 1}]})", 647, 0, 0,
         0, 2, 1, ""},
        {"aacraid resetting twice",
         R"({"driver": "aacraid", "faults": [{"match": {"bmic": 17}, "errno": 16, "busy_attempts": 2}]})", 647, 0, 0, 0,
         3, 2, ""},
        {"aacraid selection timeout", R"({"driver": "aacraid", "faults": [{"match": {"bmic": 17}, "srb_status": 10}]})",
         647, 1, SC_SIS_STATUS_SRB_FAILED, 0, 1, 0, ""},
        {"aacraid success with autosense bit",
         R"({"driver": "aacraid", "faults": [{"match": {"bmic": 17}, "srb_status": 129}]})", 647, 0, 0, 0, 1, 0, ""},
        {"smartpqi transfer beyond the regular request", R"({"driver": "smartpqi"})", 70000, 1, EINVAL, 0, 0, 0, ""},
        {"hpsa takes the big request", R"({"driver": "hpsa"})", 70000, 0, 0, 0, 1, 0, ""},
        {"hpsa without CAP_SYS_RAWIO", R"({"driver": "hpsa"})", 647, 1, EPERM, EPERM, 1, 0,
         "hpsa_passthru_ioctl: caller lacks CAP_SYS_RAWIO", R"(, "privileged": false)"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        // Discovery of an unprivileged host still lists the hpsa controller: its node opens.
        Host host(Scenario::FromText(std::string(R"({"controllers": [)") + r.controller + "]" + r.top + "}"));
        OwnedDescriptor d(DiscoverFirst());
        ASSERT_NE(d.d, nullptr);
        host.ClearCommands();
        LogCapture capture(3);
        std::vector<uint8_t> data(r.length, 0xAB);
        _BMICRequest request = BmicRead(0x11, data.data(), r.length);
        EXPECT_EQ(SC_ExecuteBMICCommand(d.d, &request), r.result);
        EXPECT_EQ(val(request.lowLevelStatus), r.lowLevel);
        EXPECT_EQ(SC_GetLastCommandError(), r.lastError);
        std::vector<CommandRecord> cmds = host.Commands(0);
        EXPECT_EQ(cmds.size(), r.commands);
        size_t notes = 0, traces = 0;
        for (const auto& line : LogCapture::Lines()) {
            notes += line.second.find("Driver busy") == 0;
            traces += line.second.find("__SendSCSICommand") == 0;
        }
        EXPECT_EQ(notes, r.retryNotes);
        EXPECT_EQ(traces, 1u) << "one trace entry per command, resends included";
        if (r.result != 0) {
            EXPECT_NE(LogCapture::At(1).find("__SendSCSICommand (rtn:" + std::to_string(r.lowLevel) + ")"),
                      std::string::npos);
        }
        if (r.commands > 0) {
            EXPECT_EQ(cmds.back().refused_by, r.refusedBy);
            // Resends are the identical request.
            for (const CommandRecord& c : cmds) EXPECT_EQ(c.cdb, cmds.front().cdb);
        }
        if (r.result == 1 && r.lowLevel == SC_SIS_STATUS_SRB_FAILED) {
            EXPECT_EQ(data, std::vector<uint8_t>(r.length, 0xAB)) << "a command that never ran leaves the buffer alone";
        }
    }
}

}  // namespace
