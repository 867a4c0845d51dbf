// The package files: a refused package.xml ends the update as one that cannot be read, its reason in
// the debug log; a listed controller that is present but cannot be read is reported, never left out.
#include "HostileRun.h"

namespace {

using namespace hostile;

const std::set<std::string> kLogs = {"out.xml", "run.log", "zepdebuglog", "debug_syscore.log"};
const char kEntityInAttribute[] =
    "<PCIInfo vendorID=\"9005&v;\" deviceID=\"028f\" subVendorID=\"9005\" subDeviceID=\"0800\"/>";

struct DescriptorCase {
    const char* name;
    std::string plant;  // shell commands that put package.xml in place ("" = write text)
    std::string text;
    std::string reason;  // after "package.xml not used: " in the debug log ("" = the file is used)
};

const DescriptorCase kDescriptors[] = {
    // The entity reference used to cut the value short: "9005&v;" matched vendor 9005.
    {"DoctypeWithEntityInAttribute", "", packageXml("<!DOCTYPE S [<!ENTITY v \"1\">]>\n", {kEntityInAttribute}),
     "it declares a document type (DOCTYPE)"},
    {"DoctypeWithoutEntities", "", packageXml("<!DOCTYPE SoftwareComponent>\n", {kRaidPci, kHbaPci}),
     "it declares a document type (DOCTYPE)"},
    {"UndeclaredEntity", "", packageXml("", {kEntityInAttribute}), "not well-formed (line 2: Entity 'v' not defined)"},
    {"Malformed", "", "<SoftwareComponent><SupportedDevices>",
     "not well-formed (line 1: Premature end of data in tag SupportedDevices line 1)"},
    {"Missing", "rm package.xml", "", "not found"},
    {"Fifo", "rm package.xml && mkfifo package.xml", "", "not a regular file"},
    {"Directory", "rm package.xml && mkdir package.xml", "", "not a regular file"},
    {"LargerThan8MiB", "head -c 8388609 /dev/zero | tr '\\0' ' ' >> package.xml", "", "larger than 8388608 bytes"},
    // Character references and the predefined entities stay usable.
    {"CharacterReference", "",
     packageXml("", {kRaidPci,
                     "<PCIInfo vendorID=\"&#x39;005\" deviceID=\"028f\" subVendorID=\"9005\" subDeviceID=\"0800\"/>"}),
     ""},
};

TEST(HostilePackage, RefusedDescriptors)
{
    for (const DescriptorCase& c : kDescriptors) {
        SCOPED_TRACE(c.name);
        Package pkg;
        if (c.plant.empty()) pkg.ws.writeFile("package.xml", c.text);
        pkg.plant(c.plant);
        const Finished r = pkg.run({"-u", "-o", "out.xml", "-d", "run.log"});
        const Outcome refused{0, {}, 0, {kMismatch}, kLogs, 60};
        const Outcome used{0, kBoth, 2, {}, kLogs, 60};
        pkg.check(r, c.reason.empty() ? used : refused, pkg.ws.readFile("out.xml"));
        const std::string log = pkg.ws.readFile("run.log");
        EXPECT_EQ(log.find("not used:") == std::string::npos, c.reason.empty()) << log;
        EXPECT_EQ(log.find("package.xml not used: " + c.reason + "\n") == std::string::npos, c.reason.empty());
    }
}

struct UnreadableCase {
    const char* name;
    json fault;                       // on hbactl's identify
    std::vector<std::string> listed;  // PCIInfo entries of package.xml
    Outcome want;
};

TEST(HostilePackage, ListedControllerNeverVanishes)
{
    const UnreadableCase cases[] = {
        {"IoErrorBesideAGoodOne", {{"errno", 5}}, {kRaidPci, kHbaPci}, {0, {"raidctl"}, 1, {kFailed}, kLogs}},
        {"VanishedNodeBesideAGoodOne",
         {{"node_vanished", true}},
         {kRaidPci, kHbaPci},
         {0, {"raidctl"}, 1, {kFailed}, kLogs}},
        {"GarbageReplyBesideAGoodOne",
         {{"data", "garbage"}},
         {kRaidPci, kHbaPci},
         {0, {"raidctl"}, 1, {kFailed}, kLogs}},
        // The only one listed: its own failure, not "No matching device found".
        {"IoErrorOnTheOnlyListed", {{"errno", 5}}, {kHbaPci}, {0, {}, 0, {kFailed}, kLogs}},
        {"GarbageOnTheOnlyListed", {{"data", "garbage"}}, {kHbaPci}, {0, {}, 0, {kFailed}, kLogs}},
        // Not listed: it stays out of the update's document.
        {"UnlistedUnreadableStaysOut", {{"errno", 5}}, {kRaidPci}, {0, {"raidctl"}, 1, {}, kLogs}},
    };
    for (const UnreadableCase& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg([&](json& host) {
            json fault = c.fault;
            fault["match"] = {{"bmic", 0x11}};
            host.at("controllers")[1]["faults"] = json::array({fault});
        });
        pkg.ws.writeFile("package.xml", packageXml("", c.listed));
        const Finished r = pkg.run({"-u", "-o", "out.xml", "-d", "run.log"});
        pkg.check(r, c.want, pkg.ws.readFile("out.xml"));
        // Its record carries the sysfs identity: ids in lower case without leading zeros.
        EXPECT_NE(
            pkg.ws.readFile("run.log").find("/0000:05:00.0 vendor 9005 device 28f subvendor 9005 subdevice 800\n"),
            std::string::npos);
    }
}

}  // namespace
