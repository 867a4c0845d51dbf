#pragma once
// One update package in an E2EWorkspace, run by zevsim inside the two-controller demo host, and the
// checks every case of the hostile-environment tables makes: exit status, the bytes each controller
// programmed (the payload as it was at the start, or nothing), the document's records, the files that
// changed, and that the run ended within its bound.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "E2EHarness.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "TestSha256.h"

namespace hostile {

using nlohmann::json;

const char kSuccess[] = "Success: The operation was successful";
const char kFailed[] = "ERROR: Failed to update Firmware";
const char kMismatch[] = "No matching device found (PCI mismatch).";
const char kRaidPci[] = "<PCIInfo vendorID=\"1d5a\" deviceID=\"5a3e\" subVendorID=\"1d5a\" subDeviceID=\"4c21\"/>";
const char kHbaPci[] = "<PCIInfo vendorID=\"9005\" deviceID=\"028f\" subVendorID=\"9005\" subDeviceID=\"0800\"/>";

inline std::string packageXml(const std::string& prolog, const std::vector<std::string>& pciInfos)
{
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + prolog + "<SoftwareComponent><SupportedDevices>";
    for (const std::string& pci : pciInfos)
        s += "<Device componentID=\"1\">" + pci + "<Display>Controller</Display></Device>";
    return s + "</SupportedDevices></SoftwareComponent>\n";
}

inline std::string failureRecord(const std::string& message)
{
    return "<SPStatus result = \"false\" ><Message id=\"0\" >" + message + "</Message></SPStatus>";
}

inline std::string command(const std::string& shell)
{
    std::string out;
    zevtest::commandOutput(shell, &out);
    return out;
}

// What a case expects of a finished run.
struct Outcome {
    int exitStatus = 0;
    std::vector<std::string> programmed;  // controllers that programmed the payload (twice); others nothing
    int successes = 0;                    // success records in the document
    std::vector<std::string> failures;    // failure messages in the document, in order
    std::set<std::string> changed;        // workspace files that may be created or altered
    double boundSeconds = 60;
};

class Package {
public:
    // The demo host (changed as given), payload/fw.bin and a package.xml listing both controllers.
    explicit Package(const std::function<void(json&)>& changeHost = nullptr) : ws(ZEV_EXE)
    {
        json host = json::parse(zevtest::readFile(SCENARIO_DIR "/demo_two_controllers.json"));
        if (changeHost) changeHost(host);
        ws.writeFile("host.json", host.dump());
        ws.shell("head -c 50000 /dev/urandom > payload.tmp && mkdir -p payload && mv payload.tmp payload/fw.bin");
        ws.writeFile("package.xml", packageXml("", {kRaidPci, kHbaPci}));
    }

    // Runs the tool with args in the emulated host; prefix goes before zevsim, script (when given) is
    // run by sh in the tool's place with the tool's command line as "$@".
    E2EResult run(const std::vector<std::string>& args, E2EJob job = E2EJob(),
                  const std::vector<std::string>& prefix = {}, const std::string& script = "")
    {
        before = ws.snapshot();
        payloadSha = zevtest::sha256OfFile(ws.path("payload/fw.bin"));
        payloadSize = ws.readFile("payload/fw.bin").size();
        job.wrapper = prefix;
        for (const char* w : {ZEVSIM_PATH, "run", "host.json", "--report", "report.json", "--"})
            job.wrapper.push_back(w);
        if (!script.empty()) job.wrapper.insert(job.wrapper.end(), {"/bin/sh", "-c", script, "sh"});
        job.wrapper.push_back("{exe}");
        job.args = args;
        job.env.emplace("TMPDIR", "/tmp");
        E2EResult r = ws.run(job);
        report = json::parse(ws.readFile("report.json"), nullptr, false);
        return r;
    }

    void check(const E2EResult& r, const Outcome& want, const std::string& document)
    {
        EXPECT_FALSE(r.timedOut) << "the run hung";
        EXPECT_LT(r.seconds, want.boundSeconds);
        EXPECT_EQ(r.exitStatus, want.exitStatus) << r.err;
        ASSERT_FALSE(report.is_discarded()) << "no emulator report: " << r.err;
        for (const json& c : report.at("controllers")) {
            const std::string id = c.at("id").get<std::string>();
            const bool flashed = std::count(want.programmed.begin(), want.programmed.end(), id) != 0;
            EXPECT_EQ(c.at("images").size(), flashed ? 2u : 0u) << id;
            for (const json& image : c.at("images")) {
                EXPECT_EQ(image.at("size").get<std::size_t>(), payloadSize) << id;
                EXPECT_EQ(image.at("sha256").get<std::string>(), payloadSha) << id;
            }
        }
        // No claimed success that did not happen; every failure reported, in order.
        std::string failures, got;
        for (const std::string& f : want.failures) failures += failureRecord(f);
        int successes = 0;
        for (std::size_t at = document.find(std::string(">") + kSuccess + "<"); at != std::string::npos;
             at = document.find(std::string(">") + kSuccess + "<", at + 1))
            ++successes;
        for (std::size_t at = document.find("<SPStatus result = \"false\""); at != std::string::npos;
             at = document.find("<SPStatus result = \"false\"", at + 1))
            got += document.substr(at, document.find("</SPStatus>", at) + 11 - at);
        EXPECT_EQ(successes, want.successes) << document;
        EXPECT_EQ(got, failures) << document;
        EXPECT_EQ(document.empty() ? "" : E2EXmlProblem(document), "") << document;
        // Nothing outside the expected set changed.
        E2ESnapshot after = ws.snapshot();
        for (const auto& kv : after) {
            if (kv.first != "report.json" && (before.count(kv.first) == 0 || before.at(kv.first) != kv.second)) {
                EXPECT_EQ(want.changed.count(kv.first), 1u) << kv.first << " changed";
            }
        }
        for (const auto& kv : before) EXPECT_EQ(after.count(kv.first), 1u) << kv.first << " removed";
    }

    // The process id a run wrote to the file ("echo $$ > F.tmp && mv F.tmp F"); 0 until then.
    pid_t pidFrom(const std::string& rel) const { return static_cast<pid_t>(std::atoi(ws.readFile(rel).c_str())); }

    E2EWorkspace ws;
    E2ESnapshot before;
    std::string payloadSha;
    std::size_t payloadSize = 0;
    json report;
};

}  // namespace hostile
