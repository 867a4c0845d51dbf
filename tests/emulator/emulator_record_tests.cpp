// The recording side of zevsim: what the recorder copies of each ioctl argument, the refusal of a
// command line that would flash, the serial redaction, the merge of per-process journals, and the
// recorder itself on a few real processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "TempDir.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "emu_bytes.hpp"
#include "emu_ioctl_layout.hpp"
#include "emu_recording.hpp"
#include "emu_requests.hpp"
#include "rec_journal.hpp"
#include "rec_paths.hpp"

using namespace zev::emu;
using zevtest::readFile;
using zevtest::writeFile;

namespace {

// ---- ioctl argument layouts ----------------------------------------------------------------------

Bytes Ciss(uint16_t buf_size)
{
    Bytes a(88, 0);
    PutU8(a, 8, 6);
    PutLE16(a, 76, buf_size);
    PutLE64(a, 80, 0x7f0000001000);
    return a;
}

Bytes Big(uint32_t malloc_size, uint32_t buf_size)
{
    Bytes a(96, 0);
    PutLE32(a, 76, malloc_size);
    PutLE32(a, 80, buf_size);
    PutLE64(a, 88, 0x7f0000002000);
    return a;
}

Bytes SgHdr(int32_t direction, uint8_t cmd_len, uint8_t mx_sb, uint32_t dxfer_len, int32_t interface_id = 'S')
{
    Bytes a(88, 0);
    PutLE32(a, 0, static_cast<uint32_t>(interface_id));
    PutLE32(a, 4, static_cast<uint32_t>(direction));
    PutU8(a, 8, cmd_len);
    PutU8(a, 9, mx_sb);
    PutLE32(a, 12, dxfer_len);
    return a;
}

Bytes Fib(uint16_t size, uint16_t sender_size)
{
    Bytes a(32, 0);
    PutLE16(a, 8, size);
    PutLE16(a, 10, sender_size);
    return a;
}

// A raw SRB with `lengths.size()` entries of the given width (4: 32-bit, 8: 64-bit addresses); `fibsize`
// 0 takes the size the entries give.
Bytes Srb(size_t width, const std::vector<uint32_t>& lengths, uint32_t flags = 0x40, uint32_t fibsize = 0)
{
    const size_t step = width + 4;
    const uint32_t size = fibsize ? fibsize : static_cast<uint32_t>(56 + lengths.size() * step);
    Bytes a(std::max<size_t>(size, 56), 0);
    PutLE32(a, 20, flags);
    PutLE32(a, 24, size);
    PutLE32(a, 52, static_cast<uint32_t>(lengths.size()));
    for (size_t i = 0; i < lengths.size(); ++i) {
        if (width == 8)
            PutLE64(a, 56 + i * step, 0x7f0000003000 + i);
        else
            PutLE32(a, 56 + i * step, 0x30000 + static_cast<uint32_t>(i));
        PutLE32(a, 56 + i * step + width, lengths[i]);
    }
    return a;
}

Bytes Csmi(uint32_t length)
{
    Bytes a(20, 0);
    PutLE32(a, 4, length);
    return a;
}

Bytes Prefix(Bytes b, size_t n)
{
    b.resize(n);
    return b;
}

struct LayoutCase {
    const char* name;
    unsigned long request;
    Bytes arg;
    bool known;
    size_t length;
    std::vector<PointerField> pointers;
};

std::vector<LayoutCase> LayoutCases()
{
    const std::vector<PointerField> sgRefused = {{16, 8, 0}, {24, 8, 0}, {32, 8, 0}};  // no buffer copied
    return {
        {"ciss_passthru_buffer", kReqPassthru, Ciss(512), true, 88, {{80, 8, 512}}},
        {"ciss_passthru_no_data", kReqPassthru, Ciss(0), true, 88, {{80, 8, 0}}},
        {"ciss_big_passthru", kReqBigPassthru, Big(4096, 65536), true, 96, {{88, 8, 65536}}},
        {"ciss_big_over_32_pieces_refused", kReqBigPassthru, Big(4096, 4096 * 32 + 1), true, 96, {{88, 8, 0}}},
        {"ciss_big_malloc_over_128000_refused", kReqBigPassthru, Big(128001, 512), true, 96, {{88, 8, 0}}},
        {"ciss_pci_info", kReqPciInfo, Bytes(8, 0), true, 8, {}},
        {"aac_pci_info", kReqAacPciInfo, Bytes(8, 0), true, 8, {}},
        {"sg_io_read", kReqSgIo, SgHdr(-3, 6, 32, 36), true, 88, {{16, 8, 36}, {24, 8, 6}, {32, 8, 32}}},
        {"sg_io_no_data", kReqSgIo, SgHdr(-1, 6, 32, 36), true, 88, {{16, 8, 0}, {24, 8, 6}, {32, 8, 32}}},
        {"sg_io_256_mib_refused", kReqSgIo, SgHdr(-3, 6, 32, 256u << 20), true, 88, sgRefused},
        {"sg_io_short_cdb_refused", kReqSgIo, SgHdr(-3, 5, 32, 36), true, 88, sgRefused},
        {"sg_io_not_v3_refused", kReqSgIo, SgHdr(-3, 6, 32, 36, 'Q'), true, 88, sgRefused},
        {"fib_whole_size", kReqSendFib, Fib(100, 0), true, 132, {}},
        {"fib_sender_size_larger", kReqSendFib, Fib(100, 600), true, 600, {}},
        {"fib_over_2048_refused", kReqSendFib, Fib(3000, 0), true, 32, {}},
        {"fib_header_first", kReqSendFib, Bytes{}, true, 32, {}},
        {"srb_32_bit_entry", kReqRawSrb, Srb(4, {512}), true, 64 + 52, {{56, 4, 512}}},
        {"srb_64_bit_entry", kReqRawSrb, Srb(8, {512}), true, 68 + 52, {{56, 8, 512}}},
        {"srb_two_64_bit_entries", kReqRawSrb, Srb(8, {512, 1024}), true, 80 + 52, {{56, 8, 512}, {68, 8, 1024}}},
        {"srb_no_entries", kReqRawSrb, Srb(4, {}, 0), true, 56 + 52, {}},
        {"srb_entry_over_65536_refused", kReqRawSrb, Srb(8, {65537}), true, 68 + 52, {{56, 8, 0}}},
        {"srb_entries_without_direction_refused", kReqRawSrb, Srb(4, {512}, 0), true, 64 + 52, {{56, 4, 0}}},
        {"srb_size_of_neither_layout", kReqRawSrb, Srb(4, {512}, 0x40, 70), true, 70 + 52, {}},
        {"srb_size_over_fib_refused", kReqRawSrb, Srb(4, {512}, 0x40, 2017), true, 28, {}},
        {"srb_size_field_first", kReqRawSrb, Bytes(4, 0), true, 28, {}},
        {"srb_rest_after_size", kReqRawSrb, Prefix(Srb(8, {512}), 28), true, 68 + 52, {}},
        {"aac_reset", kReqReset, Bytes(1, 0), true, 1, {}},
        {"csmi_header_and_body", kReqCsmiSsp, Csmi(400), true, 420, {}},
        {"csmi_short_refused", kReqCsmiSsp, Csmi(10), true, 20, {}},
        {"unknown_request", 0x5401, Bytes(16, 0), false, 0, {}},
    };
}

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class IoctlLayoutTable : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(IoctlLayoutTable, LengthAndPointers)
{
    const LayoutCase& c = GetParam();
    const IoctlLayout l = DescribeIoctl(c.request, c.arg);
    EXPECT_EQ(l.known, c.known);
    EXPECT_EQ(l.length, c.length);
    ASSERT_EQ(l.pointers.size(), c.pointers.size());
    for (size_t i = 0; i < c.pointers.size(); ++i) {
        SCOPED_TRACE("pointer " + std::to_string(i));
        EXPECT_EQ(l.pointers[i].offset, c.pointers[i].offset);
        EXPECT_EQ(l.pointers[i].width, c.pointers[i].width);
        EXPECT_EQ(l.pointers[i].length, c.pointers[i].length);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, IoctlLayoutTable, ::testing::ValuesIn(LayoutCases()),
                         [](const ::testing::TestParamInfo<LayoutCase>& i) { return std::string(i.param.name); });

TEST(IoctlLayout, MaskingZeroesOnlyThePointerFields)
{
    Bytes a = Srb(4, {512, 16});
    const IoctlLayout l = DescribeIoctl(kReqRawSrb, a);
    EXPECT_EQ(PointerValue(a, l.pointers[1]), 0x30001u);
    Bytes masked = a;
    MaskPointers(masked, l);
    for (size_t i = 0; i < a.size(); ++i) {
        const bool in_pointer = (i >= 56 && i < 60) || (i >= 64 && i < 68);
        EXPECT_EQ(masked[i], in_pointer ? 0 : a[i]) << "byte " << i;
    }
}

// ---- link targets ------------------------------------------------------------------------------

struct TargetCase {
    const char* name;
    const char* link;
    const char* target;
    const char* portable;
};

void PrintTo(const TargetCase& c, std::ostream* os) { *os << c.name; }

class LinkTargets : public ::testing::TestWithParam<TargetCase> {};

TEST_P(LinkTargets, ResolveAlikeFromTheLinksFolder)
{
    EXPECT_EQ(PortableTarget(GetParam().link, GetParam().target), GetParam().portable);
}

INSTANTIATE_TEST_SUITE_P(
    Recorder, LinkTargets,
    ::testing::Values(TargetCase{"relative_kept", "/sys/class/scsi_generic/sg0", "../../devices/x/sg0",
                                 "../../devices/x/sg0"},
                      TargetCase{"absolute_climbs_to_root", "/dev/disk/by-id/d0", "/dev/sda", "../../../dev/sda"},
                      TargetCase{"climb_above_root_cut", "/sys/bus/pci/drivers/hpsa/0000:03:00.0",
                                 "../../../../../../../sys/devices/x", "../../../../../sys/devices/x"},
                      TargetCase{"dots_and_empty_parts_dropped", "/sys/a/b", "./../c//d", "../c/d"},
                      TargetCase{"same_folder", "/sys/a/b", ".", "."}),
    [](const ::testing::TestParamInfo<TargetCase>& i) { return std::string(i.param.name); });

// ---- the update refusal --------------------------------------------------------------------------

struct RefusalCase {
    const char* name;
    std::vector<std::string> command;
    bool refused;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class UpdateRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(UpdateRefusal, Decides) { EXPECT_EQ(AsksForUpdate(GetParam().command), GetParam().refused); }

INSTANTIATE_TEST_SUITE_P(
    CommandLines, UpdateRefusal,
    ::testing::Values(RefusalCase{"inventory", {"zevupdate", "-i"}, false},
                      RefusalCase{"inventory_to_file", {"zevupdate", "-i", "-o", "inv.xml"}, false},
                      RefusalCase{"update", {"zevupdate", "-u"}, true},
                      RefusalCase{"update_after_other_options", {"zevupdate", "-f", "-o", "r.xml", "-u"}, true},
                      RefusalCase{"update_in_a_cluster", {"zevupdate", "-iu"}, true},
                      RefusalCase{"update_first_in_a_cluster", {"zevupdate", "-uf"}, true},
                      RefusalCase{"output_file_named_like_the_option", {"zevupdate", "-i", "-o", "-u"}, false},
                      RefusalCase{"debug_word_is_no_cluster", {"zevupdate", "-i", "-debug"}, false},
                      RefusalCase{"long_option_of_a_runner", {"valgrind", "--tool=none", "zevupdate", "-i"}, false},
                      RefusalCase{"update_behind_a_runner", {"valgrind", "--quiet", "zevupdate", "-u"}, true},
                      RefusalCase{"update_inside_a_shell_line", {"sh", "-c", "./zevupdate -u -o r.xml"}, true},
                      RefusalCase{"inventory_inside_a_shell_line", {"sh", "-c", "./zevupdate -i -o r.xml"}, false},
                      RefusalCase{"debug_file_then_update", {"zevupdate", "-d", "log.txt", "-u"}, true},
                      RefusalCase{"program_name_alone", {"-u"}, false}),
    [](const ::testing::TestParamInfo<RefusalCase>& i) { return std::string(i.param.name); });

// ---- redaction -----------------------------------------------------------------------------------

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Bmic(uint8_t command)
{
    Bytes c(10, 0);
    c[0] = 0x26;
    c[6] = command;
    return c;
}

Bytes UnitSerialPage(const std::string& serial)
{
    Bytes p = {0x00, 0x80, 0x00, static_cast<uint8_t>(serial.size())};
    PutBytes(p, 4, Text(serial));
    return p;
}

RecordingJson Pointer(size_t offset, const Bytes& before, const Bytes& after)
{
    return RecordingJson{{"offset", offset},
                         {"width", 8},
                         {"length", before.size()},
                         {"before", ToHex(before)},
                         {"after", ToHex(after)}};
}

RecordingJson Ioctl(unsigned long request, const Bytes& arg, RecordingJson pointers)
{
    return RecordingJson{{"node", "/dev/sg0"},
                         {"request", request},
                         {"arg", {{"length", arg.size()}, {"before", ToHex(arg)}, {"after", ToHex(arg)}}},
                         {"pointers", pointers},
                         {"result", 0},
                         {"errno", 0}};
}

// A small recording whose serials sit where the tool reads them: the controller's in the subsystem
// information (and again in a sysfs text), a drive's in an SG_IO unit serial number page, another's in
// an identify reply through a raw SRB, one inside a wrapped request, one in a vpd_pg80 file.
RecordingJson SmallRecording()
{
    Bytes ciss(88, 0);
    PutU8(ciss, 8, 10);
    PutBytes(ciss, 12, Bmic(0x66));
    Bytes subsystem(120, 0x5A);
    PutText(subsystem, 44, 32, "CTRLSER123", 0);

    Bytes sg(88, 0);
    const Bytes inquiry = {0x12, 0x01, 0x80, 0x00, 0xFF, 0x00};
    Bytes page = UnitSerialPage("DRIVE0042   ");

    Bytes srb(68, 0);
    PutLE32(srb, 32, 10);
    PutBytes(srb, 36, Bmic(0x15));
    Bytes identify(128, 0x11);
    PutText(identify, 64, 20, "SRBDISK7");

    Bytes wrapped_srb(68, 0);
    PutLE32(wrapped_srb, 32, 10);
    PutBytes(wrapped_srb, 36, Bmic(0x68));
    Bytes wrap(368, 0);
    PutLE32(wrap, 0, 28);
    PutU8(wrap, 48, 6);
    PutBytes(wrap, 52, inquiry);
    PutBytes(wrap, 368, UnitSerialPage("WRAPSER9"));

    RecordingJson rec = {{"zevsim_recording", 1}, {"command", {"zevupdate", "-i"}}, {"redacted", false}};
    rec["files"] = {{{"path", "/sys/devices/x/0:0:1:0/vpd_pg80"}, {"hex", ToHex(UnitSerialPage("FILESER55"))}},
                    {{"path", "/sys/devices/x/host0/label"}, {"hex", ToHex(Text("ctrl CTRLSER123 label\n"))}}};
    rec["links"] = RecordingJson::array();
    rec["dirs"] = RecordingJson::array();
    rec["nodes"] = {{{"path", "/dev/sg0"}, {"major", 21}, {"minor", 0}}};
    rec["ioctls"] = {
        Ioctl(kReqPassthru, ciss, {Pointer(80, Bytes(120, 0), subsystem)}),
        Ioctl(kReqSgIo, sg,
              {Pointer(16, Bytes(page.size(), 0), page), Pointer(24, inquiry, inquiry), Pointer(32, {}, {})}),
        Ioctl(kReqRawSrb, srb, {Pointer(56, Bytes(128, 0), identify)}),
        Ioctl(kReqRawSrb, wrapped_srb, {Pointer(56, wrap, wrap)}),
    };
    return rec;
}

// Every hex blob of the recording, by where it sits.
void Blobs(const RecordingJson& v, const std::string& at, std::map<std::string, Bytes>& out)
{
    if (v.is_object()) {
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (it.value().is_string() && (it.key() == "hex" || it.key() == "before" || it.key() == "after")) {
                Bytes b;
                ParseHex(it.value().get<std::string>(), &b);
                out[at + "." + it.key()] = b;
            } else {
                Blobs(it.value(), at + "." + it.key(), out);
            }
        }
    } else if (v.is_array()) {
        for (size_t i = 0; i < v.size(); ++i) Blobs(v[i], at + "[" + std::to_string(i) + "]", out);
    }
}

size_t Find(const Bytes& hay, const std::string& needle, size_t from = 0)
{
    const Bytes n = Text(needle);
    auto it = std::search(hay.begin() + static_cast<long>(std::min(from, hay.size())), hay.end(), n.begin(), n.end());
    return it == hay.end() ? std::string::npos : static_cast<size_t>(it - hay.begin());
}

TEST(Redaction, FindsTheSerialsWhereTheToolReadsThem)
{
    const std::vector<std::string> found = FindSerials(SmallRecording());
    const std::set<std::string> got(found.begin(), found.end());
    EXPECT_EQ(got, (std::set<std::string>{"CTRLSER123", "DRIVE0042", "SRBDISK7", "WRAPSER9", "FILESER55"}));
}

TEST(Redaction, ReplacesEverySerialConsistentlyAndNothingElse)
{
    const RecordingJson original = SmallRecording();
    RecordingJson redacted = original;
    EXPECT_EQ(Redact(redacted), 5u);
    EXPECT_TRUE(redacted["redacted"].get<bool>());

    std::map<std::string, Bytes> before, after;
    Blobs(original, "", before);
    Blobs(redacted, "", after);
    ASSERT_EQ(before.size(), after.size());
    std::map<std::string, std::string> neutral_of;  // serial -> its replacement, one for the whole file
    std::set<std::string> neutrals;
    for (const auto& [where, b] : before) {
        SCOPED_TRACE(where);
        const Bytes& a = after.at(where);
        ASSERT_EQ(a.size(), b.size());
        std::vector<bool> serial_byte(b.size(), false);
        for (const std::string s : {"CTRLSER123", "DRIVE0042", "SRBDISK7", "WRAPSER9", "FILESER55"}) {
            EXPECT_EQ(Find(a, s), std::string::npos) << s << " is still there";
            for (size_t at = Find(b, s); at != std::string::npos; at = Find(b, s, at + 1)) {
                const std::string n(a.begin() + static_cast<long>(at), a.begin() + static_cast<long>(at + s.size()));
                EXPECT_NE(n, s);
                const auto [it, fresh] = neutral_of.emplace(s, n);
                EXPECT_EQ(it->second, n) << s << " replaced by two different texts";
                if (fresh) {
                    EXPECT_TRUE(neutrals.insert(n).second) << n << " stands for two serials";
                }
                for (size_t k = 0; k < s.size(); ++k) serial_byte[at + k] = true;
            }
        }
        for (size_t i = 0; i < b.size(); ++i)
            if (!serial_byte[i]) {
                EXPECT_EQ(a[i], b[i]) << "byte " << i << " changed";
            }
    }
    EXPECT_EQ(neutral_of.size(), 5u);
}

TEST(Redaction, NoSerialLeavesTheRecordingAsItWas)
{
    RecordingJson rec = SmallRecording();
    rec["ioctls"] = RecordingJson::array();
    rec["files"] = {{{"path", "/sys/devices/x/vendor"}, {"hex", ToHex(Text("0x1d5a\n"))}}};
    RecordingJson redacted = rec;
    EXPECT_EQ(Redact(redacted), 0u);
    EXPECT_EQ(redacted["files"], rec["files"]);
}

// ---- journal merge -------------------------------------------------------------------------------

TEST(JournalMerge, ProcessesInStartOrderFirstReadingWins)
{
    TempDir dir;
    // pid 900 started first (its journal's start line says so), pid 100 later.
    writeFile(dir.path() + "/100.jsonl", R"({"ev":"start","pid":100,"ppid":900,"ns":2000}
{"ev":"file","path":"/sys/a/vendor","hex":"6c61746572"}
{"ev":"link","path":"/sys/class/x","target":"../../devices/x"}
{"ev":"ioctl","node":"/dev/sg0","request":8837,"arg":null,"pointers":[],"result":-1,"errno":25}
{"ev":"file","path":"/sys/a/dev)");  // cut short by a kill
    writeFile(dir.path() + "/900.jsonl", R"({"ev":"start","pid":900,"ppid":1,"ns":1000}
{"ev":"node","path":"/dev/sg0","major":21,"minor":0}
{"ev":"file","path":"/sys/a/vendor","hex":"6669727374"}
{"ev":"ioctl","node":"/dev/sg0","request":2148024833,"arg":{"length":1,"before":"00","after":"07"},"pointers":[],"result":0,"errno":0}
{"ev":"link","path":"/sys/class/x","target":"../../devices/x"}
{"ev":"dir","path":"/sys/class","entries":[{"name":"x","type":"link"}]}
)");
    writeFile(dir.path() + "/notes.txt", "not a journal\n");

    const RecordingJson rec = MergeJournals(dir.path(), {"zevupdate", "-i"});
    EXPECT_EQ(rec["zevsim_recording"], 1);
    EXPECT_EQ(rec["command"], (RecordingJson{"zevupdate", "-i"}));
    EXPECT_FALSE(rec["redacted"].get<bool>());
    ASSERT_EQ(rec["files"].size(), 1u);
    EXPECT_EQ(rec["files"][0]["hex"], "6669727374");  // pid 900's reading: it started first
    EXPECT_EQ(rec["links"].size(), 1u);
    EXPECT_EQ(rec["dirs"].size(), 1u);
    EXPECT_EQ(rec["nodes"].size(), 1u);
    ASSERT_EQ(rec["ioctls"].size(), 2u);
    EXPECT_EQ(rec["ioctls"][0]["request"], 2148024833u);
    EXPECT_EQ(rec["ioctls"][0]["arg"]["after"], "07");
    EXPECT_EQ(rec["ioctls"][1]["request"], 8837u);
    EXPECT_TRUE(rec["ioctls"][1]["arg"].is_null());
    EXPECT_EQ(rec["ioctls"][1]["errno"], 25);
}

TEST(JournalMerge, AMissingFolderIsAnError)
{
    EXPECT_THROW(MergeJournals("/nonexistent/zevsim-journals", {"x"}), std::runtime_error);
}

// ---- the recorder on real processes --------------------------------------------------------------

struct Recorded {
    int status = -1;
    std::string err;
    RecordingJson rec;
    bool written = false;
    mode_t mode = 0;
    std::string path;
};

// `zevsim record` with the options and the command; inside the emulated host of `scenario` when given.
Recorded RecordCommand(const TempDir& dir, const std::vector<std::string>& options,
                       const std::vector<std::string>& command, const std::string& scenario = "")
{
    const std::string out = dir.path() + "/rec.json";
    zevtest::ChildProcess p;
    if (!scenario.empty()) p.argv = {ZEVSIM_PATH, "run", scenario, "--"};
    for (const char* w : {ZEVSIM_PATH, "record", "--output"}) p.argv.push_back(w);
    p.argv.push_back(out);
    p.argv.insert(p.argv.end(), options.begin(), options.end());
    p.argv.push_back("--");
    p.argv.insert(p.argv.end(), command.begin(), command.end());
    p.stderrPath = dir.path() + "/stderr.txt";
    p.env["TMPDIR"] = dir.path();
    Recorded r;
    const zevtest::ProcessResult res = zevtest::runProcess(p, 60000);
    r.status = WIFEXITED(res.status) ? WEXITSTATUS(res.status) : -1;
    r.err = readFile(p.stderrPath);
    struct stat st {};
    r.written = stat(out.c_str(), &st) == 0;
    r.path = out;
    r.mode = st.st_mode & 0777;
    if (r.written) r.rec = RecordingJson::parse(readFile(out));
    return r;
}

bool HasPath(const RecordingJson& list, const std::string& path)
{
    for (const RecordingJson& e : list)
        if (e["path"] == path) return true;
    return false;
}

TEST(Recorder, ChildrenAreRecordedAndTheStatusPassesThrough)
{
    TempDir dir;
    // cat and ls run as children of the shell: their readings land in the one recording.
    const Recorded r =
        RecordCommand(dir, {}, {"/bin/sh", "-c", "cat /proc/devices >/dev/null; ls /sys/class >/dev/null; exit 7"});
    EXPECT_EQ(r.status, 7) << r.err;
    ASSERT_TRUE(r.written);
    EXPECT_EQ(r.mode, 0600u);
    EXPECT_TRUE(HasPath(r.rec["files"], "/proc/devices"));
    EXPECT_TRUE(HasPath(r.rec["dirs"], "/sys/class"));
    EXPECT_EQ(r.rec["command"][0], "/bin/sh");
    // The journal folder under TMPDIR is gone: only what the test wrote is left.
    std::string left;
    ASSERT_EQ(zevtest::commandOutput("ls " + zevtest::shq(dir.path()), &left), 0);
    EXPECT_EQ(left, "rec.json\nstderr.txt\n");
}

TEST(Recorder, AKilledCommandKeepsWhatItDid)
{
    TempDir dir;
    const Recorded r = RecordCommand(dir, {}, {"/bin/sh", "-c", "cat /proc/devices >/dev/null; kill -9 $$"});
    EXPECT_EQ(r.status, 128 + 9) << r.err;
    ASSERT_TRUE(r.written);
    EXPECT_TRUE(HasPath(r.rec["files"], "/proc/devices"));
}

// The recorder between the tool and the emulated driver: the node, and each request with its
// structure (pointer fields zeroed) and the buffer it points to, in a file the replay's reader takes.
TEST(Recorder, IoctlsOnTheEmulatedHostCarryTheirBuffers)
{
    TempDir dir;
    const Recorded r = RecordCommand(dir, {}, {ZEVUPDATE_PATH, "-i", "-o", dir.path() + "/inventory.xml"},
                                     ZEV_EMU_SCENARIO_DIR "/one-hpsa.json");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(r.written);
    EXPECT_NO_THROW(Recording::FromFile(r.path));
    ASSERT_EQ(r.rec["nodes"].size(), 1u);
    EXPECT_EQ(r.rec["nodes"][0]["major"], 21);
    const std::string node = r.rec["nodes"][0]["path"];
    size_t pci = 0, passthru = 0;
    for (const RecordingJson& io : r.rec["ioctls"]) {
        EXPECT_EQ(io["node"], node);
        ASSERT_TRUE(io["arg"].is_object());
        Bytes before, after;
        ASSERT_TRUE(ParseHex(io["arg"]["before"].get<std::string>(), &before));
        ASSERT_TRUE(ParseHex(io["arg"]["after"].get<std::string>(), &after));
        if (io["request"] == kReqPciInfo) {
            ++pci;
            EXPECT_EQ(after.size(), 8u);
            EXPECT_NE(ToHex(after), ToHex(Bytes(8, 0))) << "the answer is in the recording";
        } else if (io["request"] == kReqPassthru) {
            ++passthru;
            ASSERT_EQ(before.size(), 88u);
            EXPECT_EQ(GetLE64(before, 80), 0u) << "the buffer's address is zeroed";
            EXPECT_EQ(GetLE64(after, 80), 0u);
            ASSERT_EQ(io["pointers"].size(), 1u);
            EXPECT_EQ(io["pointers"][0]["offset"], 80);
            EXPECT_EQ(io["pointers"][0]["length"], GetLE16(before, 76));
            EXPECT_EQ(io["pointers"][0]["after"].get<std::string>().size(), 2u * GetLE16(before, 76));
        }
    }
    EXPECT_EQ(pci, 1u);
    EXPECT_GT(passthru, 0u);
}

TEST(Recorder, AnUpdateOrAnUnwritableOutputIsRefusedBeforeAnythingRuns)
{
    TempDir dir;
    const std::string marker = dir.path() + "/ran";
    const Recorded r = RecordCommand(dir, {}, {"/bin/sh", "-c", "touch " + marker + "; ./zevupdate -u"});
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(r.written);
    EXPECT_EQ(access(marker.c_str(), F_OK), -1);
    EXPECT_EQ(zevtest::splitLines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("--allow-update"), std::string::npos) << r.err;

    const Recorded nowhere =
        RecordCommand(dir, {"--output", dir.path() + "/missing/rec.json"}, {"/bin/sh", "-c", "touch " + marker});
    EXPECT_EQ(nowhere.status, 125) << "an output folder that cannot be written is zevsim's own failure";
    EXPECT_EQ(access(marker.c_str(), F_OK), -1) << "found before the command ran";

    const Recorded allowed =
        RecordCommand(dir, {"--allow-update"}, {"/bin/sh", "-c", "touch " + marker + "; exit 0; ./zevupdate -u"});
    EXPECT_EQ(allowed.status, 0) << allowed.err;
    EXPECT_EQ(access(marker.c_str(), F_OK), 0);
}

}  // namespace
