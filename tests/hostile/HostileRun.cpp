#include "HostileRun.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "TestDocuments.h"
#include "TestFiles.h"
#include "TestImage.h"
#include "TestReport.h"
#include "TestSha256.h"

namespace hostile {

const char kSuccess[] = "Success: The operation was successful";
const char kFailed[] = "ERROR: Failed to update Firmware";
const char kMismatch[] = "No matching device found (PCI mismatch).";
const char kRaidPci[] = "<PCIInfo vendorID=\"1d5a\" deviceID=\"5a3e\" subVendorID=\"1d5a\" subDeviceID=\"4c21\"/>";
const char kHbaPci[] = "<PCIInfo vendorID=\"9005\" deviceID=\"028f\" subVendorID=\"9005\" subDeviceID=\"0800\"/>";
const std::vector<std::string> kBoth = {"raidctl", "hbactl"};

namespace {

// The emulator's report lies beside the package files; it is never one of the run's changes.
const char kReport[] = "report.json";

}  // namespace

std::string packageXml(const std::string& prolog, const std::vector<std::string>& pciInfos)
{
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + prolog + "<SoftwareComponent><SupportedDevices>";
    for (const std::string& pci : pciInfos)
        s += "<Device componentID=\"1\">" + pci + "<Display>Controller</Display></Device>";
    return s + "</SupportedDevices></SoftwareComponent>\n";
}

std::function<void(json&)> delayEvery(int bmic, int ms)
{
    return [=](json& host) { zevtest::delayBmic(host, bmic, ms); };
}

std::string thenTheTool(const std::string& prefix, const std::string& cwd)
{
    return (cwd.empty() ? std::string() : "cd " + zevtest::shq(cwd) + " && ") + prefix + "\nexec \"$@\"";
}

E2EJob within(int seconds)
{
    E2EJob job;
    job.timeoutSeconds = seconds;
    return job;
}

Package::Package(const std::function<void(json&)>& changeHost) : ws(ZEV_EXE)
{
    json host = json::parse(zevtest::readFile(SCENARIO_DIR "/demo_two_controllers.json"));
    if (changeHost) changeHost(host);
    ws.writeFile("host.json", host.dump());
    ws.writeFile("payload/fw.bin", image());
    ws.writeFile("package.xml", packageXml("", {kRaidPci, kHbaPci}));
}

std::string Package::image() { return zevtest::imageBytes(3 * 16384 + 777, 0x5eed1234u); }

void Package::plant(const std::string& script)
{
    if (!script.empty()) {
        EXPECT_EQ(ws.shell(script), 0) << script;
    }
}

Finished Package::run(const std::vector<std::string>& args, E2EJob job, const std::vector<std::string>& prefix,
                      const std::string& script)
{
    Finished r;
    r.imageAtStart = ws.readFile("payload/fw.bin");
    const E2ESnapshot before = ws.snapshot();
    job.wrapper = prefix;
    for (const char* w : {ZEVSIM_PATH, "run", "host.json", "--report", kReport, "--"}) job.wrapper.push_back(w);
    if (!script.empty()) job.wrapper.insert(job.wrapper.end(), {"/bin/sh", "-c", script, "sh"});
    job.wrapper.push_back("{exe}");
    job.args = args;
    job.env.emplace("TMPDIR", "/tmp");
    r.result = ws.run(job);
    EXPECT_FALSE(r.result.timedOut) << "the run did not end within " << job.timeoutSeconds << " s";

    r.report = json::parse(ws.readFile(kReport), nullptr, false);
    if (r.report.is_discarded()) r.report = json();
    E2ESnapshot after = ws.snapshot();
    after.erase(kReport);
    for (const auto& kv : before) {
        auto it = after.find(kv.first);
        if (it == after.end()) r.removed.insert(kv.first);
        if (it == after.end() || it->second != kv.second) r.changed.insert(kv.first);
    }
    for (const auto& kv : after)
        if (before.count(kv.first) == 0) r.changed.insert(kv.first);
    return r;
}

void Package::check(const Finished& r, const Outcome& want, const std::string& document)
{
    EXPECT_LT(r.result.seconds, want.boundSeconds);
    EXPECT_EQ(r.result.exitStatus, want.exitStatus) << r.result.err;
    ASSERT_FALSE(r.report.is_null()) << "no emulator report: " << r.result.err;
    EXPECT_TRUE(programmed(r, want.programmed, r.imageAtStart));
    // No claimed success that did not happen; every failure reported, in order.
    std::string failures, got;
    for (const std::string& f : want.failures) failures += zevtest::failureRecord(f);
    for (std::size_t at = document.find("<SPStatus result = \"false\""); at != std::string::npos;
         at = document.find("<SPStatus result = \"false\"", at + 1))
        got += document.substr(at, document.find("</SPStatus>", at) + 11 - at);
    EXPECT_EQ(zevtest::countOf(document, std::string(">") + kSuccess + "<"), want.successes) << document;
    EXPECT_EQ(got, failures) << document;
    EXPECT_EQ(document.empty() ? "" : E2EXmlProblem(document), "") << document;
    // Nothing outside the expected set changed, and nothing was removed.
    for (const std::string& path : r.changed) {
        if (r.removed.count(path) != 0) {
            ADD_FAILURE() << path << " removed";
        } else {
            EXPECT_EQ(want.changed.count(path), 1u) << path << " changed";
        }
    }
}

pid_t Package::pidFrom(const std::string& rel) const { return static_cast<pid_t>(std::atoi(ws.readFile(rel).c_str())); }

unsigned Package::modeOf(const std::string& rel) const
{
    struct stat st;
    if (::lstat(ws.path(rel).c_str(), &st) != 0) return 07777 + 1;  // never a mode
    return static_cast<unsigned>(st.st_mode & 07777);
}

::testing::AssertionResult programmed(const Finished& r, const std::vector<std::string>& ids, const std::string& image)
{
    if (r.report.is_null() || !r.report.contains("controllers"))
        return ::testing::AssertionFailure() << "no emulator report";
    const std::string sha = zevtest::sha256Hex(image);
    for (const json& c : r.report.at("controllers")) {
        const std::string id = c.at("id").get<std::string>();
        if (std::count(ids.begin(), ids.end(), id) != 0) {
            const ::testing::AssertionResult twice = zevtest::programmedTimes(c, sha, image.size());
            if (!twice) return twice;
        } else if (!c.at("images").empty() || zevtest::bmicCount(c, {0xD2, 0xF7}) != 0) {
            return ::testing::AssertionFailure()
                   << id << " received " << zevtest::bmicCount(c, {0xD2, 0xF7}) << " flash commands";
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult changedOnly(const Finished& r, const std::set<std::string>& allowed)
{
    for (const std::string& path : r.changed) {
        bool ok = allowed.count(path) != 0;
        for (const std::string& a : allowed)
            ok = ok || (!a.empty() && a.back() == '*' && path.compare(0, a.size() - 1, a, 0, a.size() - 1) == 0);
        if (!ok) return ::testing::AssertionFailure() << "unexpected change to " << path;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult noFalseSuccess(const Finished& r, const std::string& document)
{
    int fully = 0;
    if (!r.report.is_null() && r.report.contains("controllers")) {
        const std::string sha = zevtest::sha256Hex(r.imageAtStart);
        for (const json& c : r.report.at("controllers"))
            fully += zevtest::programmedTimes(c, sha, r.imageAtStart.size()) ? 1 : 0;
    }
    const int claimed = zevtest::countOf(document, kSuccess) + zevtest::countOf(r.result.out, kSuccess);
    if (claimed > fully)
        return ::testing::AssertionFailure() << claimed << " successes claimed, " << fully << " controllers programmed";
    return ::testing::AssertionSuccess();
}

int controllersSent(const Finished& r, int opcode)
{
    int n = 0;
    for (const json& c : r.report.value("controllers", json::array())) n += zevtest::bmicCount(c, {opcode}) > 0;
    return n;
}

}  // namespace hostile
