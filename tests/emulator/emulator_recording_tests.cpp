// The recording reader on its own: every fault named at its place, and the stable text it writes.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "emu_recording.hpp"

using namespace zev::emu;
using nlohmann::json;

namespace {

// One node, one file, one link in a listed folder, one passthrough with its buffer.
json Valid()
{
    return json::parse(R"({
      "zevsim_recording": 1, "command": ["zevupdate", "-i"], "redacted": false,
      "files": [{"path": "/sys/bus/pci/devices/x/vendor", "hex": "3078313233340a"},
                {"path": "/proc/devices", "hex": "3231207367"}],
      "links": [{"path": "/sys/class/scsi_generic/sg1", "target": "../../devices/sg1"}],
      "dirs": [{"path": "/sys/class/scsi_generic", "entries": [{"name": "sg1", "type": "link"}]}],
      "nodes": [{"path": "/dev/sg1", "major": 21, "minor": 1}],
      "ioctls": [{"node": "/dev/sg1", "request": 3227009547,
                  "arg": {"length": 16, "before": "00000000000000000200000000000000",
                                        "after":  "00000000000000000200000000000001"},
                  "pointers": [{"offset": 0, "width": 8, "length": 2, "before": "0000", "after": "abcd"}],
                  "result": 0, "errno": 0}]
    })");
}

// The reader's refusal of what read does, or a failure when it accepts it.
template <class Read>
std::string Refusal(Read read)
{
    try {
        read();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    ADD_FAILURE() << "accepted";
    return "";
}

}  // namespace

TEST(EmuRecording, ReadsEveryPart)
{
    const Recording r = Recording::FromJson(Valid());
    ASSERT_EQ(r.files.size(), 2u);
    EXPECT_EQ(ToHex(r.files[0].content), "3078313233340a");
    EXPECT_EQ(r.links.at(0).target, "../../devices/sg1");
    EXPECT_EQ(r.dirs.at(0).entries.at(0).type, "link");
    EXPECT_EQ(r.nodes.at(0).major, 21u);
    ASSERT_EQ(r.ioctls.size(), 1u);
    EXPECT_EQ(r.ioctls[0].request, 0xC058420Bu);
    EXPECT_EQ(r.ioctls[0].arg_before.size(), 16u);
    EXPECT_EQ(ToHex(r.ioctls[0].pointers.at(0).after), "abcd");
}

TEST(EmuRecording, WritesWhatItReadsStably)
{
    const json in = Valid();
    const Recording r = Recording::FromJson(in);
    EXPECT_EQ(r.ToJson(), in);
    EXPECT_EQ(Recording::FromJson(r.ToJson()).ToJson().dump(), r.ToJson().dump());
    // Sorting keeps per-node order and puts lists in path order.
    json two = in;
    two["files"] = json::array({in["files"][0], in["files"][1]});
    json swapped = in;
    swapped["files"] = json::array({in["files"][1], in["files"][0]});
    EXPECT_NE(Recording::FromJson(two).ToJson(), Recording::FromJson(swapped).ToJson());
    EXPECT_EQ(Recording::FromJson(two).Sorted().ToJson(), Recording::FromJson(swapped).Sorted().ToJson());
}

TEST(EmuRecording, RefusesEveryFaultAtItsPlace)
{
    struct Row {
        const char* name;
        const char* pointer;  // JSON pointer of the value to replace ("" = the whole document)
        const char* value;    // JSON text, or nullptr to remove the key
        const char* message;  // expected in the error
    };
    const Row rows[] = {
        {"version 2", "/zevsim_recording", "2", "zevsim_recording: version 2 is not supported"},
        {"version as text", "/zevsim_recording", "\"1\"", "version \"1\" is not supported"},
        {"unknown top key", "/comment", "\"x\"", "top level: unknown key \"comment\""},
        {"missing list", "/links", nullptr, "top level: missing key \"links\""},
        {"command not a list", "/command", "\"zevupdate\"", "command: expected an array"},
        {"redacted not boolean", "/redacted", "1", "redacted: expected true or false"},
        {"odd hex", "/files/0/hex", "\"abc\"", "files[0].hex: odd number of hex digits"},
        {"non-hex byte", "/files/0/hex", "\"zz\"", "files[0].hex: not hex at character 0"},
        {"hex not text", "/files/0/hex", "12", "files[0].hex: expected a string"},
        {"relative path", "/files/0/path", "\"sys/x\"", "files[0].path: \"sys/x\" is not an absolute path"},
        {"dot dot", "/files/0/path", "\"/sys/../etc/passwd\"", "files[0].path: \"/sys/../etc/passwd\" must not"},
        {"file outside /sys", "/files/0/path", "\"/etc/passwd\"", "files[0].path: \"/etc/passwd\" is outside"},
        {"other /proc file", "/files/1/path", "\"/proc/cpuinfo\"", "files[1].path: \"/proc/cpuinfo\" is outside"},
        {"unknown file key", "/files/0/content", "\"x\"", "files[0]: unknown key \"content\""},
        {"absolute link", "/links/0/target", "\"/sys/devices/sg1\"", "links[0].target: \"/sys/devices/sg1\" is not"},
        {"link above root", "/links/0/target", "\"../../../../etc\"", "links[0].target: \"../../../../etc\" leads"},
        {"duplicate path", "/links/0/path", "\"/sys/bus/pci/devices/x/vendor\"",
         "links[0]: \"/sys/bus/pci/devices/x/vendor\" is already given at files[0]"},
        {"listed link not recorded", "/dirs/0/entries/0/name", "\"sg2\"",
         "dirs[0].entries[0]: link \"sg2\" has no entry in links"},
        {"entry type", "/dirs/0/entries/0/type", "\"pipe\"", "dirs[0].entries[0].type: \"pipe\" is none of"},
        {"node outside /dev", "/nodes/0/path", "\"/sys/sg1\"", "nodes[0].path: \"/sys/sg1\" is outside /dev"},
        {"echoed name holds a line break", "/nodes/0/path", "\"/sys/a\\nb\"",
         "nodes[0].path: \"/sys/a\\nb\" is outside /dev"},
        {"node minor negative", "/nodes/0/minor", "-1", "nodes[0].minor: expected a number of zero or more"},
        {"ioctl node not in nodes", "/ioctls/0/node", "\"/dev/sg9\"", "ioctls[0].node: \"/dev/sg9\" is not in nodes"},
        {"missing errno", "/ioctls/0/errno", nullptr, "ioctls[0]: missing key \"errno\""},
        {"request not a number", "/ioctls/0/request", "\"0x2285\"", "ioctls[0].request: expected a number"},
        {"errno without failure", "/ioctls/0/errno", "5", "ioctls[0].errno: must be 0"},
        {"arg shorter than length", "/ioctls/0/arg/length", "17",
         "ioctls[0].arg.before: holds 16 bytes, not length 17"},
        {"pointer past arg", "/ioctls/0/pointers/0/offset", "12",
         "ioctls[0].pointers[0]: runs past the arg (offset 12 + width 8 > length 16)"},
        {"pointer width", "/ioctls/0/pointers/0/width", "2", "ioctls[0].pointers[0].width: 2 is neither 4 nor 8"},
        {"pointer buffer short", "/ioctls/0/pointers/0/after", "\"ab\"",
         "ioctls[0].pointers[0].after: holds 1 bytes, not length 2"},
        {"pointers overlap", "/ioctls/0/pointers/1",
         R"({"offset": 4, "width": 8, "length": 0, "before": "", "after": ""})",
         "ioctls[0].pointers[1]: overlaps ioctls[0].pointers[0]"},
        {"pointers on a null arg", "/ioctls/0/arg", "null",
         "ioctls[0].pointers: an ioctl without an arg has no pointers"},
        {"not an object", "", "[]", "top level: expected an object"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        json j = Valid();
        const json::json_pointer at(row.pointer);
        if (!row.value)
            j.at(at.parent_pointer()).erase(at.back());
        else
            j[at] = json::parse(row.value);
        const std::string m = Refusal([&] { Recording::FromJson(j); });
        EXPECT_NE(m.find(row.message), std::string::npos) << m;
        EXPECT_EQ(m.rfind("recording: ", 0), 0u) << m;
        EXPECT_EQ(m.find('\n'), std::string::npos) << m;
    }
}

TEST(EmuRecording, RefusesDamagedText)
{
    const std::string text = Valid().dump();
    struct Row {
        const char* name;
        std::string text;
        const char* message;
    };
    const Row rows[] = {
        {"truncated", text.substr(0, text.size() / 2), "ends early at byte"},
        {"doubled comma", text.substr(0, text.find(',')) + "," + text.substr(text.find(',')), "not valid JSON at byte"},
        {"empty", "", "ends early at byte 0"},
        {"number beyond any type", R"({"zevsim_recording": 1e999999})", "not valid JSON: a number out of range"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string m = Refusal([&] { Recording::FromText(row.text); });
        EXPECT_NE(m.find(row.message), std::string::npos) << m;
    }
    EXPECT_TRUE(LooksLikeRecording(text.substr(0, text.size() - 3)));
    EXPECT_TRUE(LooksLikeRecording(text.substr(0, text.find("\"nodes\"") + 8)));  // cut before the version
    EXPECT_FALSE(LooksLikeRecording(R"({"controllers": []})"));
}
