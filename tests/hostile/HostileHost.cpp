#include "HostileHost.h"

#include "TestFiles.h"
#include "TestImage.h"
#include "TestPackage.h"
#include "TestSha256.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

using nlohmann::json;

namespace {

const std::string kPackage = zevtest::packageXml({{"5a3e", "4c21", "1d5a", "1d5a"}, {"028f", "0800", "9005", "9005"}});

const char kSuccess[] = "Success: The operation was successful";

using zevtest::countOf;
using zevtest::readFile;
using zevtest::sha256Hex;

}  // namespace

HostileHost::HostileHost(int delayedChunkMs) : m_ws(ZEV_EXE)
{
    json scenario = json::parse(readFile(HOSTILE_SCENARIO));
    if (delayedChunkMs > 0) {
        for (json& c : scenario.at("controllers"))
            c["faults"] = json::array({{{"match", {{"bmic", 0xD2}}}, {"times", 0}, {"delay_ms", delayedChunkMs}}});
    }
    m_scenario = m_ws.dir() + ".scenario.json";
    m_report = m_ws.dir() + ".report.json";
    std::ofstream(m_scenario) << scenario.dump();
    m_ws.writeFile("package.xml", kPackage);
    m_ws.writeFile("payload/fw.bin", image());
}

HostileHost::~HostileHost()
{
    ::unlink(m_scenario.c_str());
    ::unlink(m_report.c_str());
}

std::string HostileHost::image() { return zevtest::imageBytes(3 * 16384 + 777, 0x5eed1234u); }

HostileOutcome HostileHost::run(const std::vector<std::string>& args, const std::string& setup,
                                const std::string& prefix, const std::string& exeRel, const std::string& cwdRel,
                                int timeoutSeconds)
{
    HostileOutcome o;
    if (!setup.empty()) {
        EXPECT_EQ(m_ws.shell(setup), 0) << setup;
    }
    o.imageAtStart = m_ws.readFile("payload/fw.bin");
    const E2ESnapshot before = m_ws.snapshot();
    ::unlink(m_report.c_str());

    E2EJob job;
    job.exeRelPath = exeRel;
    job.args = args;
    job.timeoutSeconds = timeoutSeconds;
    job.env["TMPDIR"] = "/tmp";
    const std::string cd = cwdRel.empty() ? std::string() : "cd '" + m_ws.path(cwdRel) + "' && ";
    job.wrapper = {ZEVSIM_PATH, "run",    m_scenario,
                   "--report",  m_report, "--",
                   "/bin/sh",   "-c",     cd + prefix + (prefix.empty() ? "" : "\n") + "exec \"$0\" \"$@\"",
                   "{exe}"};
    o.result = m_ws.run(job);
    EXPECT_FALSE(o.result.timedOut) << "the run did not end within " << timeoutSeconds << " s";

    o.report = json::parse(readFile(m_report), nullptr, false);
    if (o.report.is_discarded()) o.report = json();
    const E2ESnapshot after = m_ws.snapshot();
    for (const auto& kv : before) {
        auto it = after.find(kv.first);
        if (it == after.end() || it->second != kv.second) o.changed.insert(kv.first);
    }
    for (const auto& kv : after)
        if (before.count(kv.first) == 0) o.changed.insert(kv.first);
    return o;
}

::testing::AssertionResult programmed(const HostileOutcome& o, const std::string& image)
{
    if (o.report.is_null() || !o.report.contains("controllers"))
        return ::testing::AssertionFailure() << "no emulator report";
    const std::string sha = image.empty() ? std::string() : sha256Hex(image);
    for (const json& c : o.report.at("controllers")) {
        const json& images = c.at("images");
        const std::string id = c.at("id").get<std::string>();
        if (image.empty()) {
            int flashCommands = 0;
            for (const json& cmd : c.at("commands")) {
                if (!cmd.contains("bmic")) continue;
                int op = cmd.at("bmic").at("command").get<int>();
                if (op == 0xD2 || op == 0xF7) ++flashCommands;
            }
            if (!images.empty() || flashCommands != 0)
                return ::testing::AssertionFailure() << id << " received " << flashCommands << " flash commands";
            continue;
        }
        if (images.size() != 2)
            return ::testing::AssertionFailure() << id << " programmed " << images.size() << " images";
        for (const json& i : images) {
            if (i.at("sha256") != sha || i.at("size").get<std::size_t>() != image.size())
                return ::testing::AssertionFailure() << id << " programmed another image: " << i.dump();
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult changedOnly(const HostileOutcome& o, const std::set<std::string>& allowed)
{
    for (const std::string& path : o.changed) {
        bool ok = allowed.count(path) != 0;
        for (const std::string& a : allowed)
            ok = ok || (!a.empty() && a.back() == '*' && path.compare(0, a.size() - 1, a, 0, a.size() - 1) == 0);
        if (!ok) return ::testing::AssertionFailure() << "unexpected change to " << path;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult noFalseSuccess(const HostileOutcome& o, const std::string& document)
{
    int fully = 0;
    if (!o.report.is_null() && o.report.contains("controllers")) {
        const std::string sha = sha256Hex(o.imageAtStart);
        for (const json& c : o.report.at("controllers")) {
            bool good = c.at("images").size() == 2;
            for (const json& i : c.at("images")) good = good && i.at("sha256") == sha;
            fully += good ? 1 : 0;
        }
    }
    int claimed = countOf(document, kSuccess) + countOf(o.result.out, kSuccess);
    if (claimed > fully)
        return ::testing::AssertionFailure() << claimed << " successes claimed, " << fully << " controllers programmed";
    return ::testing::AssertionSuccess();
}

unsigned modeOf(HostileHost& host, const std::string& rel)
{
    struct stat st;
    if (::lstat(host.ws().path(rel).c_str(), &st) != 0) return 07777 + 1;  // never a mode
    return static_cast<unsigned>(st.st_mode & 07777);
}
