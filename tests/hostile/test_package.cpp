// The package files: a package.xml that is refused ends the update as one that cannot be read, with
// its own reason in the debug log; and a controller package.xml lists that is present but cannot be
// read is reported as not updated instead of vanishing from the document.
#include <sys/stat.h>

#include "hostile_run.h"

namespace {

using hostile::kFailed;
using hostile::kHbaPci;
using hostile::kMismatch;
using hostile::kRaidPci;
using hostile::Outcome;
using hostile::Package;
using hostile::packageXml;

const std::set<std::string> kLogs = {"out.xml", "run.log", "zepdebuglog", "debug_syscore.log"};

struct DescriptorCase {
    const char* name;
    std::function<void(E2EWorkspace&)> plant;  // puts package.xml in place
    std::string reason;                         // after "package.xml not used: " in the debug log ("" = used)
    Outcome want;
};

void writePackage(E2EWorkspace& ws, const std::string& text)
{
    ::unlink(ws.path("package.xml").c_str());
    ws.writeFile("package.xml", text);
}

const std::vector<DescriptorCase>& descriptorCases()
{
    static const Outcome refused{0, {}, 0, {kMismatch}, kLogs, 60};
    static const std::vector<DescriptorCase> cases = {
        // An entity reference cut the attribute short: "9005&v;" matched vendor 9005.
        {"DoctypeWithEntityInAttribute",
         [](E2EWorkspace& ws) {
             writePackage(ws, packageXml("<!DOCTYPE SoftwareComponent [<!ENTITY v \"1\">]>\n",
                                         {"<PCIInfo vendorID=\"9005&v;\" deviceID=\"028f\" subVendorID=\"9005\" "
                                          "subDeviceID=\"0800\"/>"}));
         },
         "it declares a document type (DOCTYPE)", refused},
        {"DoctypeWithoutEntities",
         [](E2EWorkspace& ws) { writePackage(ws, packageXml("<!DOCTYPE SoftwareComponent>\n", {kRaidPci, kHbaPci})); },
         "it declares a document type (DOCTYPE)", refused},
        {"UndeclaredEntity",
         [](E2EWorkspace& ws) {
             writePackage(ws, packageXml("", {"<PCIInfo vendorID=\"9005&v;\" deviceID=\"028f\" subVendorID=\"9005\" "
                                              "subDeviceID=\"0800\"/>"}));
         },
         "not well-formed (line 2: Entity 'v' not defined)", refused},
        {"Missing", [](E2EWorkspace& ws) { ::unlink(ws.path("package.xml").c_str()); }, "not found", refused},
        {"Fifo",
         [](E2EWorkspace& ws) {
             ::unlink(ws.path("package.xml").c_str());
             ::mkfifo(ws.path("package.xml").c_str(), 0644);
         },
         "not a regular file", refused},
        {"Directory",
         [](E2EWorkspace& ws) {
             ::unlink(ws.path("package.xml").c_str());
             ws.makeDir("package.xml");
         },
         "not a regular file", refused},
        {"LargerThan8MiB",
         [](E2EWorkspace& ws) {
             std::string text = packageXml("", {kRaidPci, kHbaPci});
             text += "<!--" + std::string(8u * 1024 * 1024 - text.size() - 6, 'x') + "-->";  // one byte too many
             writePackage(ws, text);
         },
         "larger than 8388608 bytes", refused},
        {"Malformed",
         [](E2EWorkspace& ws) { writePackage(ws, "<SoftwareComponent><SupportedDevices>"); },
         "not well-formed (line 1: Premature end of data in tag SupportedDevices line 1)", refused},
        // The predefined entities and character references stay usable.
        {"CharacterReferenceIsFine",
         [](E2EWorkspace& ws) {
             writePackage(ws, packageXml("", {"<PCIInfo vendorID=\"&#x39;005\" deviceID=\"028f\" subVendorID=\"9005\" "
                                              "subDeviceID=\"0800\"/>",
                                              kRaidPci}));
         },
         "", {0, {"raidctl", "hbactl"}, 2, {}, kLogs, 60}},
    };
    return cases;
}

TEST(HostilePackage, RefusedDescriptors)
{
    for (const DescriptorCase& c : descriptorCases()) {
        SCOPED_TRACE(c.name);
        Package pkg;
        c.plant(pkg.ws);
        E2EResult r = pkg.run({"-u", "-o", "out.xml", "-d", "run.log"});
        const std::string document = pkg.ws.readFile("out.xml");
        pkg.check(r, c.want, document);
        const std::string log = pkg.ws.readFile("run.log");
        if (c.reason.empty()) {
            EXPECT_EQ(log.find("not used:"), std::string::npos) << log;
        } else {
            EXPECT_NE(log.find("package.xml not used: " + c.reason + "\n"), std::string::npos) << c.reason;
        }
    }
}

struct UnreadableCase {
    const char* name;
    hostile::json fault;                   // on hbactl's identify
    std::vector<std::string> listed;       // PCIInfo entries of package.xml
    Outcome want;
};

const std::vector<UnreadableCase>& unreadableCases()
{
    const std::set<std::string> files = {"out.xml", "run.log", "zepdebuglog", "debug_syscore.log"};
    static const std::vector<UnreadableCase> cases = {
        {"IoErrorBesideAGoodOne", {{"errno", 5}}, {kRaidPci, kHbaPci}, {0, {"raidctl"}, 1, {kFailed}, files, 60}},
        {"VanishedNodeBesideAGoodOne", {{"node_vanished", true}}, {kRaidPci, kHbaPci}, {0, {"raidctl"}, 1, {kFailed}, files, 60}},
        {"GarbageReplyBesideAGoodOne", {{"data", "garbage"}}, {kRaidPci, kHbaPci}, {0, {"raidctl"}, 1, {kFailed}, files, 60}},
        // The only listed controller: its own failure, not "No matching device found".
        {"IoErrorOnTheOnlyListed", {{"errno", 5}}, {kHbaPci}, {0, {}, 0, {kFailed}, files, 60}},
        {"GarbageOnTheOnlyListed", {{"data", "garbage"}}, {kHbaPci}, {0, {}, 0, {kFailed}, files, 60}},
        // Not listed: it stays out of the update's document as before.
        {"UnlistedUnreadableStaysOut", {{"errno", 5}}, {kRaidPci}, {0, {"raidctl"}, 1, {}, files, 60}},
    };
    return cases;
}

TEST(HostilePackage, ListedControllerNeverVanishes)
{
    for (const UnreadableCase& c : unreadableCases()) {
        SCOPED_TRACE(c.name);
        Package pkg([&](hostile::json& host) {
            hostile::json fault = c.fault;
            fault["match"] = {{"bmic", 0x11}};
            host.at("controllers")[1]["faults"] = hostile::json::array({fault});
        });
        pkg.ws.writeFile("package.xml", packageXml("", c.listed));
        E2EResult r = pkg.run({"-u", "-o", "out.xml", "-d", "run.log"});
        pkg.check(r, c.want, pkg.ws.readFile("out.xml"));
        // The record carries the controller's sysfs identity, ids in lower case without leading zeros.
        EXPECT_NE(pkg.ws.readFile("run.log").find("/0000:05:00.0 vendor 9005 device 28f subvendor 9005 subdevice 800\n"),
                  std::string::npos);
    }
}

}  // namespace
