#pragma once
// One update package in an E2EWorkspace, run by zevsim inside the two-controller demo host, and what
// every case of the hostile-environment tables checks afterwards: the exit status, the bytes each
// emulated controller programmed (the payload as it was at the start, or nothing), the document,
// which files changed, and that the run ended within its bound.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "E2EHarness.h"

namespace hostile {

using nlohmann::json;

const char kSuccess[] = "Success: The operation was successful";
const char kFailed[] = "ERROR: Failed to update Firmware";
const char kMismatch[] = "No matching device found (PCI mismatch).";

// The two controllers of the demo host, as package.xml lists them.
const char kRaidPci[] = "<PCIInfo vendorID=\"1d5a\" deviceID=\"5a3e\" subVendorID=\"1d5a\" subDeviceID=\"4c21\"/>";
const char kHbaPci[] = "<PCIInfo vendorID=\"9005\" deviceID=\"028f\" subVendorID=\"9005\" subDeviceID=\"0800\"/>";

inline std::string packageXml(const std::string& prolog, const std::vector<std::string>& pciInfos)
{
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + prolog +
                    "<SoftwareComponent vendorVersion=\"7.20\"><ComponentType value=\"FRMW\"><Display>Firmware</Display>"
                    "</ComponentType><SupportedDevices>";
    int id = 1;
    for (const std::string& pci : pciInfos)
        s += "<Device componentID=\"" + std::to_string(id++) + "\">" + pci + "<Display>Controller</Display></Device>";
    return s + "</SupportedDevices></SoftwareComponent>\n";
}

inline std::string failureRecord(const std::string& message)
{
    return "<SPStatus result = \"false\" ><Message id=\"0\" >" + message + "</Message></SPStatus>";
}

inline int occurrences(const std::string& text, const std::string& what)
{
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// What a case expects of a finished run.
struct Outcome {
    int exitStatus = 0;
    std::vector<std::string> programmed;     // controller ids whose images must all be the payload; the
                                             // others must have programmed nothing
    int successes = 0;                       // success records in the document
    std::vector<std::string> failures;       // failure messages in the document, in order
    std::set<std::string> changed;           // files of the workspace that may change (created or altered)
    double boundSeconds = 60;
};

class Package {
public:
    // The demo host with optional changes to its JSON; payload/fw.bin and a package.xml listing both.
    explicit Package(const std::function<void(json&)>& changeHost = nullptr) : ws(ZEV_EXE)
    {
        json host = json::parse(readAll(std::string(SCENARIO_DIR) + "/demo_two_controllers.json"));
        if (changeHost)
            changeHost(host);
        ws.writeFile("host.json", host.dump());
        std::string image(3 * 16384 + 777, '\0');
        unsigned x = 12345;
        for (char& c : image) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 16);
        }
        ws.writeFile("payload/fw.bin", image);
        ws.writeFile("package.xml", packageXml("", {kRaidPci, kHbaPci}));
    }

    // Runs the tool with args inside the emulated host. prefix goes before zevsim (e.g. a private
    // mount namespace); script, when given, is run by sh in place of the tool ("$@" = the tool's argv).
    E2EResult run(const std::vector<std::string>& args, E2EJob job = E2EJob(),
                  const std::vector<std::string>& prefix = {}, const std::string& script = "")
    {
        before = ws.snapshot();
        payloadAtStart = ws.readFile("payload/fw.bin");
        ::unlink(ws.path("report.json").c_str());
        job.wrapper = prefix;
        for (const char* w : {ZEVSIM_PATH, "run", "host.json", "--report", "report.json", "--"})
            job.wrapper.push_back(w);
        if (!script.empty()) {
            for (const char* w : {"/bin/sh", "-c"})
                job.wrapper.push_back(w);
            job.wrapper.push_back(script);
            job.wrapper.push_back("sh");
        }
        job.wrapper.push_back("{exe}");
        job.args = args;
        job.env.emplace("TMPDIR", "/tmp");
        E2EResult r = ws.run(job);
        report = json::parse(ws.readFile("report.json"), nullptr, false);
        return r;
    }

    // Every check a case makes; document is the document's text (file or standard output).
    void check(const E2EResult& r, const Outcome& want, const std::string& document)
    {
        EXPECT_FALSE(r.timedOut) << "the run hung";
        EXPECT_LT(r.seconds, want.boundSeconds);
        EXPECT_EQ(r.exitStatus, want.exitStatus) << r.err;

        ASSERT_FALSE(report.is_discarded()) << "no emulator report: " << r.err;
        const std::string sha = sha256(payloadAtStart);
        for (const json& c : report.at("controllers")) {
            const std::string id = c.at("id").get<std::string>();
            const bool flashed = std::find(want.programmed.begin(), want.programmed.end(), id) != want.programmed.end();
            const json& images = c.at("images");
            if (!flashed) {
                EXPECT_TRUE(images.empty()) << id << " programmed " << images.dump();
                continue;
            }
            EXPECT_EQ(images.size(), 2u) << id;  // both passes
            for (const json& image : images) {
                EXPECT_EQ(image.at("size").get<std::size_t>(), payloadAtStart.size()) << id;
                EXPECT_EQ(image.at("sha256").get<std::string>(), sha) << id;
            }
        }

        // No claimed success that did not happen; every failure reported.
        EXPECT_EQ(occurrences(document, std::string(">") + kSuccess + "<"), want.successes) << document;
        std::string failures;
        for (const std::string& f : want.failures)
            failures += failureRecord(f);
        std::string got;
        for (std::size_t at = document.find("<SPStatus result = \"false\""); at != std::string::npos;
             at = document.find("<SPStatus result = \"false\"", at + 1))
            got += document.substr(at, document.find("</SPStatus>", at) + 11 - at);
        EXPECT_EQ(got, failures) << document;
        if (!document.empty()) {
            EXPECT_EQ(E2EXmlProblem(document), "") << document;
        }

        // Nothing outside the expected set changed.
        E2ESnapshot after = ws.snapshot();
        std::set<std::string> changed;
        for (const auto& kv : after)
            if (kv.first != "report.json" && (before.count(kv.first) == 0 || before.at(kv.first) != kv.second))
                changed.insert(kv.first);
        for (const auto& kv : before)
            if (after.count(kv.first) == 0)
                changed.insert(kv.first);
        for (const std::string& f : changed)
            EXPECT_TRUE(want.changed.count(f) != 0) << f << " changed";
    }

    static std::string readAll(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    static std::string sha256(const std::string& bytes)
    {
        char tmpl[] = "/tmp/zevsha.XXXXXX";
        int fd = ::mkstemp(tmpl);
        if (fd < 0)
            return "";
        std::string all = bytes;
        for (std::size_t done = 0; done < all.size();) {
            ssize_t n = ::write(fd, all.data() + done, all.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
        std::string out;
        if (FILE* p = ::popen(("sha256sum " + std::string(tmpl)).c_str(), "r")) {
            char buf[128] = {};
            if (std::fgets(buf, sizeof buf, p) != nullptr)
                out = std::string(buf).substr(0, 64);
            ::pclose(p);
        }
        ::unlink(tmpl);
        return out;
    }

    // A process id the run wrote to the file (by "echo $$ > F.tmp && mv F.tmp F"); 0 until then.
    pid_t pidFrom(const std::string& rel) const
    {
        return static_cast<pid_t>(std::atoi(ws.readFile(rel).c_str()));
    }

    E2EWorkspace ws;
    E2ESnapshot before;
    std::string payloadAtStart;
    json report;
};

}  // namespace hostile
