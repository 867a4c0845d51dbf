#include "rec_journal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include "emu_bytes.hpp"
#include "emu_requests.hpp"
#include "emu_structs.hpp"

namespace zev::emu {

namespace {

// ---- the update refusal ------------------------------------------------------------------------

const char kToolLetters[] = "iuofdvh";  // the tool's one-letter options

bool IsUpdateWord(const std::string& w)
{
    if (w == "-u") return true;
    if (w.size() < 3 || w[0] != '-' || w[1] == '-') return false;
    const std::string letters = w.substr(1);
    if (letters.find_first_not_of(kToolLetters) != std::string::npos) return false;
    return letters.find('u') != std::string::npos;
}

std::vector<std::string> Words(const std::string& s)
{
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string w;
    while (in >> w) {
        // a quoted word of a shell line
        if (w.size() >= 2 && (w.front() == '\'' || w.front() == '"') && w.back() == w.front())
            w = w.substr(1, w.size() - 2);
        out.push_back(w);
    }
    return out;
}

// ---- journals ------------------------------------------------------------------------------------

struct Journal {
    long long pid = 0;
    long long start_ns = 0;
    std::vector<nlohmann::json> events;
};

Journal ReadJournal(const std::string& path, long long pid)
{
    Journal j;
    j.pid = pid;
    std::ifstream in(path);
    std::string line;
    bool started = false;
    while (std::getline(in, line)) {
        nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
        if (e.is_discarded() || !e.is_object() || !e.contains("ev")) continue;
        if (e["ev"] == "start") {
            if (!started && e.contains("ns")) j.start_ns = e["ns"].get<long long>();
            started = true;
            continue;
        }
        j.events.push_back(std::move(e));
    }
    return j;
}

RecordingJson Pointer(const nlohmann::json& p)
{
    RecordingJson o;
    o["offset"] = p.at("offset");
    o["width"] = p.at("width");
    o["length"] = p.at("length");
    o["before"] = p.at("before");
    o["after"] = p.at("after");
    return o;
}

RecordingJson Ioctl(const nlohmann::json& e)
{
    RecordingJson o;
    o["node"] = e.at("node");
    o["request"] = e.at("request");
    if (e.at("arg").is_null()) {
        o["arg"] = nullptr;
    } else {
        const nlohmann::json& a = e.at("arg");
        o["arg"] = RecordingJson{{"length", a.at("length")}, {"before", a.at("before")}, {"after", a.at("after")}};
    }
    o["pointers"] = RecordingJson::array();
    for (const nlohmann::json& p : e.value("pointers", nlohmann::json::array())) o["pointers"].push_back(Pointer(p));
    o["result"] = e.at("result");
    o["errno"] = e.at("errno");
    return o;
}

// ---- serial numbers ------------------------------------------------------------------------------

constexpr size_t kCdbMax = 16;
constexpr size_t kMinSerial = 6;  // shorter texts turn up by chance in other data

Bytes Hex(const RecordingJson& v)
{
    Bytes b;
    if (v.is_string()) ParseHex(v.get<std::string>(), &b);
    return b;
}

std::string Trimmed(const Bytes& b, size_t off, size_t len)
{
    std::string s;
    for (size_t i = off; i < off + len && i < b.size(); ++i) s += static_cast<char>(b[i]);
    const size_t end = s.find_last_not_of(std::string(" \n\0", 3));
    s = end == std::string::npos ? "" : s.substr(0, end + 1);
    const size_t start = s.find_first_not_of(' ');
    return start == std::string::npos ? "" : s.substr(start);
}

void Keep(std::set<std::string>& out, const std::string& s)
{
    if (s.size() < kMinSerial) return;
    if (std::all_of(s.begin(), s.end(), [&](char c) { return c == s[0]; })) return;  // blank or filler
    if (!std::all_of(s.begin(), s.end(), [](char c) { return std::isprint(static_cast<unsigned char>(c)); })) return;
    out.insert(s);
}

void FromReply(const Bytes& cdb, const Bytes& data, std::set<std::string>& out)
{
    if (cdb.empty() || data.empty()) return;
    if (cdb[0] == kOpInquiry && (GetU8(cdb, 1) & 1) && GetU8(cdb, 2) == kUnitSerialPage &&
        GetU8(data, 1) == kUnitSerialPage) {
        Keep(out, Trimmed(data, kPageSerial, GetU8(data, kPageLength)));
    } else if (cdb[0] == kOpBmicRead || cdb[0] == kOpBmicWrite) {
        const uint8_t command = GetU8(cdb, kBmicCommand);
        if (command == kBmicSenseSubsystemParameters) Keep(out, Trimmed(data, kSubsysSerial, kSubsysSerialLen));
        if (command == kBmicIdentifyPhysicalDevice) Keep(out, Trimmed(data, kPhysicalSerial, kPhysicalSerialLen));
        if (command == kBmicCsmiPassthrough && GetLE32(data, kSspHeaderLength) == kSspHeaderSize &&
            data.size() > kSspData) {
            const size_t n = std::min<size_t>(GetU8(data, kSspCdbLength), kCdbMax);
            FromReply(Bytes(data.begin() + kSspCdb, data.begin() + kSspCdb + n),
                      Bytes(data.begin() + kSspData, data.end()), out);
        }
    }
}

const RecordingJson* PointerAt(const RecordingJson& io, size_t offset)
{
    if (!io.contains("pointers")) return nullptr;
    for (const RecordingJson& p : io["pointers"])
        if (p.value("offset", size_t{0}) == offset) return &p;
    return nullptr;
}

void FromIoctl(const RecordingJson& io, std::set<std::string>& out)
{
    if (!io.contains("arg") || !io["arg"].is_object()) return;
    const unsigned long request = io.value("request", 0ul);
    const Bytes arg = Hex(io["arg"]["before"]);
    Bytes cdb, data;
    if (request == kReqPassthru || request == kReqBigPassthru) {
        const size_t n = std::min<size_t>(GetU8(arg, kCissCdbLength), kCdbMax);
        if (arg.size() >= kCissCdb + n) cdb.assign(arg.begin() + kCissCdb, arg.begin() + kCissCdb + n);
        if (!io["pointers"].empty()) data = Hex(io["pointers"][0]["after"]);
    } else if (request == kReqRawSrb) {
        const size_t n = std::min<size_t>(GetLE32(arg, kSrbCdbSize), kCdbMax);
        if (arg.size() >= kSrbCdb + n) cdb.assign(arg.begin() + kSrbCdb, arg.begin() + kSrbCdb + n);
        if (!io["pointers"].empty()) data = Hex(io["pointers"][0]["after"]);
    } else if (request == kReqSgIo) {
        if (const RecordingJson* p = PointerAt(io, kSgCmdp)) cdb = Hex((*p)["before"]);
        if (const RecordingJson* p = PointerAt(io, kSgDxferp)) data = Hex((*p)["after"]);
    }
    FromReply(cdb, data, out);
}

std::string Base(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A neutral text of `len` characters, numbered: "X0000001".
std::string Neutral(size_t k, size_t len)
{
    std::string n = std::to_string(k);
    if (n.size() + 1 > len) n = n.substr(n.size() + 1 - len);
    return "X" + std::string(len - 1 - n.size(), '0') + n;
}

void ReplaceAll(std::string& s, const std::string& from, const std::string& to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

void ReplaceInBytes(Bytes& b, const Bytes& from, const Bytes& to)
{
    auto it = b.begin();
    while ((it = std::search(it, b.end(), from.begin(), from.end())) != b.end()) {
        std::copy(to.begin(), to.end(), it);
        it += static_cast<long>(to.size());
    }
}

using Swaps = std::vector<std::pair<std::string, std::string>>;

void RedactNode(RecordingJson& v, const Swaps& swaps, const std::string& key)
{
    if (v.is_object()) {
        for (auto it = v.begin(); it != v.end(); ++it) RedactNode(it.value(), swaps, it.key());
    } else if (v.is_array()) {
        for (RecordingJson& e : v) RedactNode(e, swaps, key);
    } else if (v.is_string()) {
        std::string s = v.get<std::string>();
        if (key == "hex" || key == "before" || key == "after") {
            Bytes b;
            if (!ParseHex(s, &b)) return;
            for (const auto& [from, to] : swaps)
                ReplaceInBytes(b, Bytes(from.begin(), from.end()), Bytes(to.begin(), to.end()));
            v = ToHex(b);
        } else if (key == "path" || key == "target" || key == "name" || key == "node") {
            for (const auto& [from, to] : swaps) ReplaceAll(s, from, to);
            v = s;
        }
    }
}

}  // namespace

bool AsksForUpdate(const std::vector<std::string>& command)
{
    std::vector<std::string> words;
    for (size_t i = 1; i < command.size(); ++i)
        for (const std::string& w : Words(command[i])) words.push_back(w);
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "-o") {
            ++i;  // the output file's name
            continue;
        }
        if (IsUpdateWord(words[i])) return true;
    }
    return false;
}

RecordingJson MergeJournals(const std::string& dir, const std::vector<std::string>& command)
{
    DIR* d = opendir(dir.c_str());
    if (!d) throw std::runtime_error("cannot read the journal folder " + dir + ": " + std::strerror(errno));
    std::vector<Journal> journals;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        const size_t dot = name.find(".jsonl");
        if (dot == std::string::npos || dot + 6 != name.size() || dot == 0) continue;
        if (name.substr(0, dot).find_first_not_of("0123456789") != std::string::npos) continue;
        journals.push_back(ReadJournal(dir + "/" + name, std::stoll(name.substr(0, dot))));
    }
    closedir(d);
    std::sort(journals.begin(), journals.end(), [](const Journal& a, const Journal& b) {
        return a.start_ns != b.start_ns ? a.start_ns < b.start_ns : a.pid < b.pid;
    });

    RecordingJson rec;
    rec["zevsim_recording"] = 1;
    rec["command"] = command;
    rec["redacted"] = false;
    RecordingJson files = RecordingJson::array(), links = RecordingJson::array(), dirs = RecordingJson::array(),
                  nodes = RecordingJson::array(), ioctls = RecordingJson::array();
    std::set<std::string> seen_files, seen_links, seen_dirs, seen_nodes;
    for (const Journal& j : journals) {
        for (const nlohmann::json& e : j.events) {
            try {
                const std::string ev = e.at("ev");
                if (ev == "ioctl") {
                    ioctls.push_back(Ioctl(e));
                    continue;
                }
                const std::string path = e.at("path");
                if (ev == "file" && seen_files.insert(path).second) {
                    files.push_back(RecordingJson{{"path", path}, {"hex", e.at("hex")}});
                } else if (ev == "link" && seen_links.insert(path).second) {
                    links.push_back(RecordingJson{{"path", path}, {"target", e.at("target")}});
                } else if (ev == "dir" && seen_dirs.insert(path).second) {
                    RecordingJson entries = RecordingJson::array();
                    for (const nlohmann::json& x : e.at("entries"))
                        entries.push_back(RecordingJson{{"name", x.at("name")}, {"type", x.at("type")}});
                    dirs.push_back(RecordingJson{{"path", path}, {"entries", entries}});
                } else if (ev == "node" && seen_nodes.insert(path).second) {
                    nodes.push_back(RecordingJson{{"path", path}, {"major", e.at("major")}, {"minor", e.at("minor")}});
                }
            } catch (const nlohmann::json::exception&) {
                // an event missing a field: a line the preload never writes; leave it out
            }
        }
    }
    rec["files"] = files;
    rec["links"] = links;
    rec["dirs"] = dirs;
    rec["nodes"] = nodes;
    rec["ioctls"] = ioctls;
    return rec;
}

std::vector<std::string> FindSerials(const RecordingJson& rec)
{
    std::set<std::string> found;
    if (rec.contains("ioctls"))
        for (const RecordingJson& io : rec["ioctls"]) FromIoctl(io, found);
    if (rec.contains("files")) {
        for (const RecordingJson& f : rec["files"]) {
            const std::string base = Base(f.value("path", ""));
            const Bytes b = Hex(f["hex"]);
            if (base == "vpd_pg80" && GetU8(b, 1) == kUnitSerialPage)
                Keep(found, Trimmed(b, kPageSerial, GetU8(b, kPageLength)));
            else if (base == "serial" || base == "serial_number")
                Keep(found, Trimmed(b, 0, b.size()));
        }
    }
    std::vector<std::string> out(found.begin(), found.end());
    std::stable_sort(out.begin(), out.end(),
                     [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    return out;
}

size_t Redact(RecordingJson& rec)
{
    const std::vector<std::string> serials = FindSerials(rec);
    Swaps swaps;
    std::set<std::string> used(serials.begin(), serials.end());
    size_t k = 0;
    for (const std::string& s : serials) {
        std::string n;
        do n = Neutral(++k, s.size());
        while (used.count(n));
        used.insert(n);
        swaps.emplace_back(s, n);
    }
    for (const char* key : {"files", "links", "dirs", "nodes", "ioctls"})
        if (rec.contains(key)) RedactNode(rec[key], swaps, key);
    rec["redacted"] = true;
    return swaps.size();
}

void WriteRecording(const std::string& path, const RecordingJson& rec)
{
    std::string tmpl = path + ".XXXXXX";
    const int fd = mkstemp(tmpl.data());
    if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    const std::string text = rec.dump(1) + "\n";
    size_t off = 0;
    bool ok = fchmod(fd, 0600) == 0;
    while (ok && off < text.size()) {
        const ssize_t n = write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) off += static_cast<size_t>(n);
    }
    const int err = errno;
    ok = ok && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (!ok || rename(tmpl.c_str(), path.c_str()) != 0) {
        const int e = ok ? errno : err;
        unlink(tmpl.c_str());
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(e));
    }
}

}  // namespace zev::emu
