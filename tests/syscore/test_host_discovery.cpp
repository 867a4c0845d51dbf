// Discovery against the emulated host: driver rows, SCSI generic matching, aacraid nodes, PCI location.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <map>

#include "HostTestSupport.h"

using zev::emu::Host;
using zev::emu::Scenario;

namespace {
std::atomic<int> g_genericOpens{0};
}  // namespace

// Counts how often the SCSI generic class directory is opened; everything is passed on unchanged.
extern "C" DIR* opendir(const char* name)
{
    using Fn = DIR* (*)(const char*);
    static Fn next = (Fn)dlsym(RTLD_NEXT, "opendir");
    if (std::strncmp(name, "/sys/class/scsi_generic", 23) == 0) ++g_genericOpens;
    return next(name);
}

namespace {
uint32_t Location(unsigned bus, unsigned dev, unsigned fn) { return (bus << 16) + (dev << 8) + fn; }

// The controller's own device and a disk behind it, in both sg numberings (so both directory orders).
const char* const kNumberings[] = {R"("sg": 0, "disks": [{"sg": 1, "type": 0}])",
                                   R"("sg": 1, "disks": [{"sg": 0, "type": 0}])"};
}  // namespace

TEST(Discovery, HostWithoutDriversGivesEmptyList)
{
    Host host(Scenario::FromText(R"({"description": "no controllers", "extra_drivers": []})"));
    SC_DescriptorList* list = SC_CreateControllerDescriptorList();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->first, nullptr);
    EXPECT_EQ(list->last, nullptr);
    SC_DestroyDeviceDescriptorList(list);
}

TEST(Discovery, EveryDriverRowInTableOrder)
{
    // Listed in the scenario in reverse order: the list follows the driver table, not the host.
    Host host(Scenario::FromText(R"({"controllers": [
    {"id": "pqi",  "driver": "smartpqi", "pci": {"address": "0000:19:00.0"}},
    {"id": "aac",  "driver": "aacraid",  "pci": {"address": "0000:18:00.0"}, "address": "1:2:0"},
    {"id": "dqg",  "driver": "smartdqg", "pci": {"address": "0000:17:00.0"}},
    {"id": "dq",   "driver": "smartdq",  "pci": {"address": "0000:16:00.0"}},
    {"id": "saw",  "driver": "hpdsaw",   "pci": {"address": "0000:15:02.3"}},
    {"id": "sag",  "driver": "hpdsag",   "pci": {"address": "0000:14:00.0"}},
    {"id": "sac",  "driver": "hpdsac",   "pci": {"address": "0000:13:00.0"}},
    {"id": "dsa",  "driver": "hpdsa",    "pci": {"address": "0000:12:00.0"}},
    {"id": "hpsa", "driver": "hpsa",     "pci": {"address": "0000:11:1f.7"}}]})"));
    std::vector<Found> found = Discover();
    ASSERT_EQ(found.size(), 9u);
    struct Expect {
        const char* id;
        uint16_t protocol;
        uint32_t location;
    } expect[] = {{"hpsa", 0, Location(0x11, 0x1f, 7)}, {"dsa", 0, Location(0x12, 0, 0)},
                  {"sac", 0, Location(0x13, 0, 0)},     {"sag", 0, Location(0x14, 0, 0)},
                  {"saw", 0, Location(0x15, 2, 3)},     {"dq", 2, Location(0x16, 0, 0)},
                  {"dqg", 2, Location(0x17, 0, 0)},     {"aac", 1, 0},
                  {"pqi", 2, Location(0x19, 0, 0)}};
    for (size_t i = 0; i < 9; ++i) {
        int c = host.FindController(expect[i].id);
        ASSERT_GE(c, 0);
        const Found& f = found[i];
        EXPECT_EQ(f.path, host.SystemPath(c)) << expect[i].id;
        EXPECT_EQ(f.path.rfind("/sys/devices/", 0), 0u);
        EXPECT_EQ(f.node, host.NodePath(c)) << expect[i].id;
        EXPECT_EQ(f.protocol, expect[i].protocol) << expect[i].id;
        EXPECT_EQ(f.type, SC_DEVICE_TYPE_CONTROLLER);
        EXPECT_EQ(f.index, 0xFFFF);
        // aacraid does not answer the PCI information request: its location stays 0.
        EXPECT_EQ(f.location, expect[i].location) << expect[i].id;
        EXPECT_EQ(f.size, 56 + f.path.size() + f.node.size());
        // The command flag on every controller; the aacraid one's own bus and target (1:2) lead its address.
        const bool sis = expect[i].protocol == SC_PROTOCOL_SIS;
        std::vector<uint8_t> address = {uint8_t(sis ? 1 : 0), uint8_t(sis ? 2 : 0), 0, 1};
        address.resize(16);
        EXPECT_EQ(f.address, address) << expect[i].id;
    }
    EXPECT_EQ(found[7].node, "/dev/aac0");
}

TEST(Discovery, ScsiGenericDirectoryIsReadOncePerDiscovery)
{
    Host host(Scenario::FromText(R"({"controllers": [
    {"driver": "hpsa"}, {"driver": "hpsa"}, {"driver": "smartpqi"}, {"driver": "hpdsa"}]})"));
    g_genericOpens = 0;
    EXPECT_EQ(Discover().size(), 4u);
    EXPECT_EQ(g_genericOpens.load(), 1);
    // No state is kept between discoveries: the next one reads the directory again.
    EXPECT_EQ(Discover().size(), 4u);
    EXPECT_EQ(g_genericOpens.load(), 2);
}

TEST(Discovery, LinksOutsideSysDevicesAreIgnored)
{
    Host host(Scenario::FromText(R"({"controllers": [{"driver": "hpsa", "pci": {"address": "0000:03:00.0"}}],
    "extra_files": [{"path": "sys/class/misc/fake/type", "content": "12\n"}],
    "extra_links": [{"path": "sys/bus/pci/drivers/hpsa/0000:99:00.0", "target": "../../../../class/misc/fake"},
                    {"path": "sys/bus/pci/drivers/hpsa/0000:98:00.0", "target": "../../../../devices/missing"}]})"));
    std::vector<Found> found = Discover();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, host.SystemPath(0));
}

TEST(Discovery, OnlyTheArrayControllerDeviceIsTheNode)
{
    for (const char* numbering : kNumberings) {
        Host host(Scenario::FromText(std::string(R"({"controllers": [{"driver": "hpsa", )") + numbering + "}]}"));
        std::vector<Found> found = Discover();
        ASSERT_EQ(found.size(), 1u) << numbering;
        EXPECT_EQ(found[0].node, host.NodePath(0)) << numbering;
    }
}

TEST(Discovery, ControllerWithoutTypeTwelveDeviceIsSkipped)
{
    for (const char* numbering : kNumberings) {
        Host host(Scenario::FromText(std::string(R"({"controllers": [
      {"driver": "hpsa", "pci": {"address": "0000:03:00.0"}, "host": 2, "address": "3:0:0", )") +
                                     numbering + R"(},
      {"driver": "hpsa", "pci": {"address": "0000:04:00.0"}, "sg": 7}]})"));
        // The first controller's own device now reports a disk type (13 would be enclosure services).
        OverwriteBedFile(host, host.SystemPath(0) + "/host2/target2:3:0/2:3:0:0/type", "13\n");
        std::vector<Found> found = Discover();
        ASSERT_EQ(found.size(), 1u) << numbering;
        EXPECT_EQ(found[0].path, host.SystemPath(1));
        EXPECT_EQ(found[0].node, "/dev/sg7");
    }
}

TEST(Discovery, ControllerNeverTakesAnotherControllersDevice)
{
    // Two functions of one card: the first has no array controller device of its own and must not take
    // the second's; only devices below the controller's own directory count.
    Host host(Scenario::FromText(R"({"controllers": [
    {"id": "a", "driver": "hpsa", "pci": {"address": "0000:03:00.1"}, "host": 2, "address": "3:0:0", "sg": 5},
    {"id": "b", "driver": "hpsa", "pci": {"address": "0000:03:00.0"}, "host": 3, "sg": 2}]})"));
    OverwriteBedFile(host, host.SystemPath(0) + "/host2/target2:3:0/2:3:0:0/type", "0\n");
    std::vector<Found> found = Discover();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, host.SystemPath(1));
    EXPECT_EQ(found[0].node, "/dev/sg2");
}

TEST(Discovery, AacraidInstancesCountOnlyAacraidHosts)
{
    Host host(Scenario::FromText(R"({"controllers": [
      {"id": "first",  "driver": "aacraid", "pci": {"address": "0000:05:00.0"}, "host": 0, "address": "0:1:0"},
      {"id": "second", "driver": "aacraid", "pci": {"address": "0000:06:00.0"}, "host": 3, "address": "2:7:1"}],
    "extra_hosts": [{"host": 1, "proc_name": "ahci"}, {"host": 2, "proc_name": "usb-storage"}]})"));
    std::vector<Found> found = Discover();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].path, host.SystemPath(0));
    EXPECT_EQ(found[0].node, "/dev/aac0");
    EXPECT_EQ(found[1].path, host.SystemPath(1));
    EXPECT_EQ(found[1].node, "/dev/aac1");
    EXPECT_EQ(found[0].address, (std::vector<uint8_t>{0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(found[1].address, (std::vector<uint8_t>{2, 7, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    unsigned major = 0, minor = 0;
    ASSERT_TRUE(host.NodeDevice("/dev/aac1", &major, &minor));
    EXPECT_EQ(major, 250u);
    EXPECT_EQ(minor, 1u);
}

TEST(Discovery, AacraidNodeIsCheckedAndCreated)
{
    struct Case {
        const char* node;
        bool sameFile;  // the node file in the test bed was left in place
    } cases[] = {{"present", true}, {"stale", false}, {"missing", false}};
    for (const auto& c : cases) {
        Host host(Scenario::FromText(
            std::string(R"({"aac_major": 244, "controllers": [{"driver": "aacraid", "node": ")") + c.node + R"("}]})"));
        struct stat before;
        bool existed = stat(host.BedPath("/dev/aac0").c_str(), &before) == 0;
        std::vector<Found> found = Discover();
        ASSERT_EQ(found.size(), 1u) << c.node;
        EXPECT_EQ(found[0].node, "/dev/aac0");
        unsigned major = 0, minor = 0;
        ASSERT_TRUE(host.NodeDevice("/dev/aac0", &major, &minor)) << c.node;
        EXPECT_EQ(major, 244u) << c.node;
        EXPECT_EQ(minor, 0u) << c.node;
        if (c.sameFile) {
            struct stat after;
            ASSERT_TRUE(existed);
            ASSERT_EQ(stat(host.BedPath("/dev/aac0").c_str(), &after), 0) << c.node;
            EXPECT_EQ(after.st_ino, before.st_ino) << c.node;
            EXPECT_EQ(after.st_mtime, before.st_mtime) << c.node;
        }
    }
}

TEST(Discovery, AacraidNodeThatCannotBeMadeSkipsTheController)
{
    // Something that is not a device sits where the node belongs and cannot be replaced.
    Host host(Scenario::FromText(R"({"controllers": [{"driver": "aacraid", "node": "missing"}, {"driver": "hpsa"}]})"));
    ASSERT_EQ(mkdir(host.BedPath("/dev/aac0").c_str(), 0755), 0);
    std::vector<Found> found = Discover();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].protocol, SC_PROTOCOL_CISS);
}

TEST(Discovery, AacraidWithoutMajorNumberIsSkippedWithOneLine)
{
    for (const char* scenario :
         {R"({"aac_major": 0, "controllers": [{"driver": "aacraid"}, {"driver": "hpsa"}]})",
          R"({"proc_devices": false, "controllers": [{"driver": "aacraid"}, {"driver": "hpsa"}]})"}) {
        Host host(Scenario::FromText(scenario));
        LogCapture capture(1);
        std::vector<Found> found = Discover();
        ASSERT_EQ(found.size(), 1u) << scenario;
        EXPECT_EQ(found[0].protocol, SC_PROTOCOL_CISS);
        EXPECT_EQ(LogCapture::At(1), "Did not find device major number\n") << scenario;
    }
}

TEST(Discovery, AacraidAdapterInformationDecidesListing)
{
    struct Case {
        const char* extra;
        bool listed;
    } cases[] = {
        {R"("sis_supplement": false)", false},
        {R"("faults": [{"match": {"ioctl": "send_fib", "fib": 703}, "errno": 5}])", false},
        {R"("faults": [{"match": {"ioctl": "send_fib", "fib": 706}, "errno": 22}])", false},
        {R"("pci_info": true, "pci": {"address": "0000:0a:01.2"})", true},
    };
    for (const auto& c : cases) {
        Host host(Scenario::FromText(std::string(R"({"controllers": [{"driver": "aacraid", )") + c.extra + "}]}"));
        std::vector<Found> found = Discover();
        ASSERT_EQ(found.size(), c.listed ? 1u : 0u) << c.extra;
        if (c.listed) {
            EXPECT_EQ(found[0].location, Location(0x0a, 1, 2));
        }
    }
}

TEST(Discovery, PciInformationRefusalLeavesLocationZero)
{
    Host host(Scenario::FromText(R"({"controllers": [
    {"id": "refuses", "driver": "hpsa", "pci": {"address": "0000:03:00.0"}, "pci_info": false},
    {"id": "fails", "driver": "hpsa", "pci": {"address": "0000:04:00.0"},
     "faults": [{"match": {"ioctl": "pci_info"}, "errno": 5}]},
    {"id": "nonode", "driver": "hpsa", "pci": {"address": "0000:05:00.0"}, "node": "missing"},
    {"id": "answers", "driver": "hpsa", "pci": {"address": "0000:06:00.0"}}]})"));
    std::vector<Found> found = Discover();
    ASSERT_EQ(found.size(), 4u);
    // Within one driver directory the order is the directory's: match by system path.
    std::map<std::string, uint32_t> locations;
    for (const Found& f : found) locations[f.path] = f.location;
    EXPECT_EQ(locations.at(host.SystemPath(host.FindController("refuses"))), 0u);
    EXPECT_EQ(locations.at(host.SystemPath(host.FindController("fails"))), 0u);
    // A node that cannot be opened still lists the controller.
    EXPECT_EQ(locations.at(host.SystemPath(host.FindController("nonode"))), 0u);
    EXPECT_EQ(locations.at(host.SystemPath(host.FindController("answers"))), Location(6, 0, 0));
}

TEST(Discovery, LookupsOnADiscoveredController)
{
    Host host(Scenario::FromText(R"({"controllers": [{"driver": "smartpqi"}]})"));
    OwnedDescriptor d(DiscoverFirst());
    ASSERT_NE(d.d, nullptr);
    uint8_t buffer[8];
    std::memset(buffer, 0x5A, sizeof(buffer));
    EXPECT_EQ(SC_GetDeviceSystemProperty(d.d, SC_PROPERTY_PLATFORM_ID, buffer, sizeof(buffer)), 1);
    for (uint8_t b : buffer) EXPECT_EQ(b, 0);
    std::string path = host.SystemPath(0);
    std::vector<char> shortBuffer(path.size() - 1, 'x');
    EXPECT_EQ(
        SC_GetDeviceSystemProperty(d.d, SC_PROPERTY_SYSTEM_PATH, shortBuffer.data(), (uint32_t)shortBuffer.size()), 2);
    for (char ch : shortBuffer) EXPECT_EQ(ch, 0);
    EXPECT_EQ(SC_GetDeviceSystemProperty(d.d, SC_PROPERTY_SLOT_TYPE, buffer, 4), 1);
    EXPECT_EQ(SC_GetDeviceSystemProperty(d.d, SC_PROPERTY_SLOT_NUMBER, buffer, 4), 1);
    EXPECT_EQ(SC_GetDeviceSystemPropertySize(d.d, SC_PROPERTY_CSMI_ADDRESS), 0);
}
