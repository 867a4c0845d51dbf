// Runs every case folder under tests/e2e/cases (layout in cases/README.md) and compares standard
// output, standard error, exit status and the files of the working directory byte for byte.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "E2EHarness.h"
#include "TestFiles.h"

namespace {

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// One entry per line of a file that may be missing; a final newline does not start another entry.
std::vector<std::string> lines(const std::string& path) { return zevtest::splitLines(zevtest::readFile(path)); }

std::vector<std::string> caseNames()
{
    std::vector<std::string> names;
    std::error_code missing;
    for (const auto& e : std::filesystem::directory_iterator(ZEV_E2E_CASES, missing))
        if (e.path().filename().string().find('.') == std::string::npos) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool looksLikeDocument(const std::string& text) { return text.compare(0, 5, "<?xml") == 0; }

// The documents in a text, each starting at an XML declaration.
std::vector<std::string> documents(const std::string& text)
{
    std::vector<std::string> docs;
    std::string::size_type pos = text.find("<?xml");
    while (pos != std::string::npos) {
        std::string::size_type next = text.find("<?xml", pos + 1);
        docs.push_back(text.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
        pos = next;
    }
    return docs;
}

class Case : public ::testing::TestWithParam<std::string> {};

TEST_P(Case, Matches)
{
    const std::string dir = std::string(ZEV_E2E_CASES) + "/" + GetParam();
    ASSERT_TRUE(exists(dir + "/args")) << dir << "/args is required";

    E2EWorkspace ws(ZEV_EXE);
    E2EJob job;
    job.args = lines(dir + "/args");
    job.wrapper = lines(dir + "/wrapper");
    for (const std::string& kv : lines(dir + "/env")) {
        std::string::size_type eq = kv.find('=');
        ASSERT_NE(eq, std::string::npos) << "env line without '=': " << kv;
        job.env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    if (exists(dir + "/input")) ws.copyTree(dir + "/input", "");
    if (exists(dir + "/setup.sh")) {
        ASSERT_EQ(ws.shell(zevtest::readFile(dir + "/setup.sh")), 0) << "setup.sh failed";
    }

    const E2ESnapshot before = ws.snapshot();
    const E2EResult result = ws.run(job);
    const E2ESnapshot after = ws.snapshot();

    ASSERT_FALSE(result.timedOut);
    const std::string status = dir + "/expected/status", sharedOut = dir + "/expected/stdout_is";
    EXPECT_EQ(result.exitStatus, exists(status) ? std::stoi(zevtest::readFile(status)) : 0);
    // A text many cases print (the usage) is kept once in the cases folder.
    EXPECT_EQ(result.out,
              zevtest::readFile(exists(sharedOut) ? std::string(ZEV_E2E_CASES) + "/" + lines(sharedOut).at(0)
                                                  : dir + "/expected/stdout"));
    EXPECT_EQ(result.err, zevtest::readFile(dir + "/expected/stderr"));
    // Standard output may hold several documents (inventory and update in one run): check each.
    for (const std::string& doc : documents(result.out))
        EXPECT_EQ(E2EXmlProblem(doc), "") << "standard output holds a document that is not well-formed: " << doc;

    // Expected files: expected/files/<path> byte for byte; expected/present: exist, any content;
    // expected/absent: must not exist. Everything else must be left exactly as it was.
    E2ESnapshot expectedFiles;
    {
        E2EWorkspace scratch(ZEV_EXE);
        if (exists(dir + "/expected/files")) scratch.copyTree(dir + "/expected/files", "");
        for (const auto& entry : scratch.snapshot()) {
            if (entry.second != "dir") expectedFiles.insert(entry);
        }
    }
    const std::vector<std::string> present = lines(dir + "/expected/present");
    const std::vector<std::string> absent = lines(dir + "/expected/absent");
    auto listed = [](const std::vector<std::string>& v, const std::string& p) {
        return std::find(v.begin(), v.end(), p) != v.end();
    };

    for (const auto& entry : after) {
        const std::string& p = entry.first;
        auto exp = expectedFiles.find(p);
        if (exp != expectedFiles.end()) {
            EXPECT_EQ(entry.second, exp->second) << "content of " << p;
        } else if (listed(present, p)) {
            continue;
        } else if (before.count(p)) {
            EXPECT_EQ(entry.second, before.at(p)) << p << " changed";
        } else if (entry.second == "dir" && std::any_of(expectedFiles.begin(), expectedFiles.end(), [&](const auto& e) {
                       return e.first.compare(0, p.size() + 1, p + "/") == 0;
                   })) {
            continue;
        } else {
            ADD_FAILURE() << "unexpected new file " << p;
        }
        if (looksLikeDocument(entry.second)) {
            EXPECT_EQ(E2EXmlProblem(entry.second), "") << p << " is not a well-formed document";
        }
    }
    for (const auto& e : expectedFiles) EXPECT_TRUE(after.count(e.first)) << "missing " << e.first;
    for (const std::string& p : present) EXPECT_TRUE(after.count(p)) << "missing " << p;
    for (const std::string& p : absent) EXPECT_FALSE(after.count(p)) << p << " must not exist";
    for (const auto& entry : before) {
        if (!after.count(entry.first) && !listed(absent, entry.first)) ADD_FAILURE() << entry.first << " was removed";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Case, ::testing::ValuesIn(caseNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
