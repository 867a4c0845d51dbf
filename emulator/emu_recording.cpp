#include "emu_recording.hpp"

#include "emu_json.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

namespace zev::emu {

namespace {

using nlohmann::json;

constexpr int kVersion = 1;
constexpr const char* kVersionKey = "zevsim_recording";

[[noreturn]] void Fail(const std::string& where, const std::string& what)
{
    throw std::runtime_error("recording: " + where + ": " + what);
}

std::string At(const std::string& list, size_t i) { return list + "[" + std::to_string(i) + "]"; }

// Every key present and none other: a typo in a hand-edited recording must not pass silently.
const json& Object(const json& j, const std::string& where, std::initializer_list<const char*> keys)
{
    if (!j.is_object()) Fail(where, "expected an object");
    for (auto it = j.begin(); it != j.end(); ++it)
        if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return it.key() == k; }))
            Fail(where, "unknown key " + Quoted(it.key()));
    for (const char* k : keys)
        if (!j.contains(k)) Fail(where, "missing key " + Quoted(k));
    return j;
}

const json& Array(const json& j, const char* key, const std::string& where)
{
    const json& a = j.at(key);
    if (!a.is_array()) Fail(where.empty() ? key : where + "." + key, "expected an array");
    return a;
}

std::string Str(const json& j, const std::string& where)
{
    if (!j.is_string()) Fail(where, "expected a string");
    return j.get<std::string>();
}

int64_t Int(const json& j, const std::string& where, int64_t min, int64_t max)
{
    if (!j.is_number_integer()) Fail(where, "expected a whole number");
    if (j.is_number_unsigned() && j.get<uint64_t>() > static_cast<uint64_t>(max)) Fail(where, "number out of range");
    const int64_t v = j.get<int64_t>();
    if (v < min || v > max) Fail(where, "number out of range");
    return v;
}

uint64_t Unsigned(const json& j, const std::string& where, uint64_t max)
{
    if (!j.is_number_unsigned() && !(j.is_number_integer() && j.get<int64_t>() >= 0))
        Fail(where, "expected a number of zero or more");
    const uint64_t v = j.get<uint64_t>();
    if (v > max) Fail(where, "number out of range");
    return v;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Strict: pairs of hex digits and nothing else.
Bytes Hex(const json& j, const std::string& where)
{
    const std::string s = Str(j, where);
    if (s.size() % 2 != 0) Fail(where, "odd number of hex digits (" + std::to_string(s.size()) + ")");
    Bytes b(s.size() / 2);
    for (size_t i = 0; i < s.size(); i += 2) {
        const int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) Fail(where, "not hex at character " + std::to_string(hi < 0 ? i : i + 1));
        b[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return b;
}

bool Under(const std::string& p, const char* top)
{
    const std::string t = top;
    return p == t || (p.size() > t.size() && p.compare(0, t.size(), t) == 0 && p[t.size()] == '/');
}

// Absolute, no "." or ".." or empty components, and inside what the test bed can hold.
std::string HostPath(const json& j, const std::string& where, bool sys, bool proc_devices, bool dev)
{
    const std::string p = Str(j, where);
    if (p.empty() || p[0] != '/') Fail(where, Quoted(p) + " is not an absolute path");
    std::stringstream ss(p.substr(1));
    std::string part;
    while (std::getline(ss, part, '/'))
        if (part.empty() || part == "." || part == "..")
            Fail(where, Quoted(p) + " must not hold empty, \".\" or \"..\" components");
    if (p.back() == '/') Fail(where, Quoted(p) + " must not end in \"/\"");
    const bool ok = (sys && Under(p, "/sys")) || (proc_devices && p == "/proc/devices") ||
                    (dev && Under(p, "/dev") && !Under(p, "/dev/.node"));
    if (!ok) {
        std::string allowed;
        if (sys) allowed += "/sys";
        if (proc_devices) allowed += std::string(allowed.empty() ? "" : ", ") + "/proc/devices";
        if (dev) allowed += std::string(allowed.empty() ? "" : ", ") + "/dev";
        Fail(where, Quoted(p) + " is outside " + allowed);
    }
    return p;
}

// A relative target that, taken from the link's folder, stays inside the host tree: the replayed link
// must never lead out of the test bed into the real filesystem.
std::string LinkTarget(const json& j, const std::string& where, const std::string& link)
{
    const std::string t = Str(j, where);
    if (t.empty() || t[0] == '/') Fail(where, Quoted(t) + " is not a relative link target");
    long depth = static_cast<long>(std::count(link.begin(), link.end(), '/')) - 1;  // of the link's folder
    std::stringstream ss(t);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (--depth < 0) Fail(where, Quoted(t) + " leads above /");
        } else {
            ++depth;
        }
    }
    return t;
}

// Each object of the list under key, all its keys present and none other.
template <typename Each>
void ForEachObject(const json& j, const char* key, std::initializer_list<const char*> keys, Each each)
{
    ForEachEntry(
        Array(j, key, ""), key, [&](const json& o, const std::string& where) { Object(o, where, keys); }, each);
}

const char* const kEntryTypes[] = {"dir", "file", "link", "char", "block"};

void Claim(std::map<std::string, std::string>& seen, const std::string& path, const std::string& where)
{
    const auto [it, fresh] = seen.emplace(path, where);
    if (!fresh) Fail(where, Quoted(path) + " is already given at " + it->second);
}

RecordedIoctl ParseIoctl(const json& o, const std::string& w, const std::set<std::string>& nodes)
{
    Object(o, w, {"node", "request", "arg", "pointers", "result", "errno"});
    RecordedIoctl r;
    r.node = Str(o.at("node"), w + ".node");
    if (!nodes.count(r.node)) Fail(w + ".node", Quoted(r.node) + " is not in nodes");
    r.request = Unsigned(o.at("request"), w + ".request", UINT32_MAX);
    r.result = Int(o.at("result"), w + ".result", INT32_MIN, INT32_MAX);
    r.err = static_cast<int>(Int(o.at("errno"), w + ".errno", 0, 4095));
    if (r.result >= 0 && r.err != 0) Fail(w + ".errno", "must be 0 when result is not negative");
    const json& pointers = Array(o, "pointers", w);
    if (o.at("arg").is_null()) {
        r.has_arg = false;
        if (!pointers.empty()) Fail(w + ".pointers", "an ioctl without an arg has no pointers");
        return r;
    }
    const std::string wa = w + ".arg";
    const json& a = Object(o.at("arg"), wa, {"length", "before", "after"});
    const size_t length = Unsigned(a.at("length"), wa + ".length", 1u << 24);
    r.arg_before = Hex(a.at("before"), wa + ".before");
    r.arg_after = Hex(a.at("after"), wa + ".after");
    if (r.arg_before.size() != length)
        Fail(wa + ".before",
             "holds " + std::to_string(r.arg_before.size()) + " bytes, not length " + std::to_string(length));
    if (r.arg_after.size() != length)
        Fail(wa + ".after",
             "holds " + std::to_string(r.arg_after.size()) + " bytes, not length " + std::to_string(length));
    for (size_t i = 0; i < pointers.size(); ++i) {
        const std::string wp = w + "." + At("pointers", i);
        const json& po = Object(pointers[i], wp, {"offset", "width", "length", "before", "after"});
        RecordedPointer p;
        p.offset = Unsigned(po.at("offset"), wp + ".offset", 1u << 24);
        p.width = static_cast<unsigned>(Unsigned(po.at("width"), wp + ".width", 64));
        if (p.width != 4 && p.width != 8) Fail(wp + ".width", std::to_string(p.width) + " is neither 4 nor 8");
        if (p.offset + p.width > length)
            Fail(wp, "runs past the arg (offset " + std::to_string(p.offset) + " + width " + std::to_string(p.width) +
                         " > length " + std::to_string(length) + ")");
        for (size_t k = 0; k < r.pointers.size(); ++k) {
            const RecordedPointer& q = r.pointers[k];
            if (p.offset < q.offset + q.width && q.offset < p.offset + p.width)
                Fail(wp, "overlaps " + w + "." + At("pointers", k));
        }
        p.length = Unsigned(po.at("length"), wp + ".length", 1u << 26);
        p.before = Hex(po.at("before"), wp + ".before");
        p.after = Hex(po.at("after"), wp + ".after");
        if (p.before.size() != p.length)
            Fail(wp + ".before",
                 "holds " + std::to_string(p.before.size()) + " bytes, not length " + std::to_string(p.length));
        if (p.after.size() != p.length)
            Fail(wp + ".after",
                 "holds " + std::to_string(p.after.size()) + " bytes, not length " + std::to_string(p.length));
        r.pointers.push_back(std::move(p));
    }
    return r;
}

json PointerJson(const RecordedPointer& p)
{
    return {{"offset", p.offset},
            {"width", p.width},
            {"length", p.length},
            {"before", ToHex(p.before)},
            {"after", ToHex(p.after)}};
}

}  // namespace

bool IsRecording(const json& j) { return j.is_object() && j.contains(kVersionKey); }

bool LooksLikeRecording(const std::string& text)
{
    // Keys only a recording has: its version key may sit at the end of a cut-off file.
    for (const char* key : {kVersionKey, "ioctls", "nodes", "dirs"})
        if (text.find(std::string("\"") + key + "\"") != std::string::npos) return true;
    return false;
}

Recording Recording::FromJson(const json& j)
{
    if (!j.is_object()) Fail("top level", "expected an object");
    if (!j.contains(kVersionKey)) Fail("top level", "missing key " + Quoted(kVersionKey));
    // The version first: a newer file is refused as such, not for keys this reader does not know.
    const json& v = j.at(kVersionKey);
    if (!v.is_number_integer() || v.get<int64_t>() != kVersion)
        Fail(kVersionKey,
             "version " + v.dump() + " is not supported (this zevsim reads version " + std::to_string(kVersion) + ")");
    Object(j, "top level", {kVersionKey, "command", "redacted", "files", "links", "dirs", "nodes", "ioctls"});
    Recording r;
    const json& cmd = Array(j, "command", "");
    for (size_t i = 0; i < cmd.size(); ++i) r.command.push_back(Str(cmd[i], At("command", i)));
    if (!j.at("redacted").is_boolean()) Fail("redacted", "expected true or false");
    r.redacted = j.at("redacted").get<bool>();

    std::map<std::string, std::string> seen;  // path -> where it was first given
    ForEachObject(j, "files", {"path", "hex"}, [&](const json& o, const std::string& w) {
        RecordedFile f;
        f.path = HostPath(o.at("path"), w + ".path", true, true, false);
        f.content = Hex(o.at("hex"), w + ".hex");
        Claim(seen, f.path, w);
        r.files.push_back(std::move(f));
    });
    std::set<std::string> link_paths;
    ForEachObject(j, "links", {"path", "target"}, [&](const json& o, const std::string& w) {
        RecordedLink l;
        l.path = HostPath(o.at("path"), w + ".path", true, false, true);
        l.target = LinkTarget(o.at("target"), w + ".target", l.path);
        Claim(seen, l.path, w);
        link_paths.insert(l.path);
        r.links.push_back(std::move(l));
    });
    ForEachObject(j, "dirs", {"path", "entries"}, [&](const json& o, const std::string& w) {
        RecordedDir d;
        d.path = HostPath(o.at("path"), w + ".path", true, false, true);
        Claim(seen, d.path, w);
        const json& entries = Array(o, "entries", w);
        std::set<std::string> names;
        for (size_t k = 0; k < entries.size(); ++k) {
            const std::string we = w + "." + At("entries", k);
            const json& eo = Object(entries[k], we, {"name", "type"});
            RecordedDirEntry e;
            e.name = Str(eo.at("name"), we + ".name");
            if (e.name.empty() || e.name == "." || e.name == ".." || e.name.find('/') != std::string::npos)
                Fail(we + ".name", Quoted(e.name) + " is not a file name");
            if (!names.insert(e.name).second) Fail(we + ".name", Quoted(e.name) + " is listed twice");
            e.type = Str(eo.at("type"), we + ".type");
            if (std::find(std::begin(kEntryTypes), std::end(kEntryTypes), e.type) == std::end(kEntryTypes))
                Fail(we + ".type", Quoted(e.type) + " is none of dir, file, link, char, block");
            d.entries.push_back(std::move(e));
        }
        r.dirs.push_back(std::move(d));
    });
    // A listed link is replayed from its recorded target; without one the folder could not be rebuilt.
    for (size_t i = 0; i < r.dirs.size(); ++i)
        for (size_t k = 0; k < r.dirs[i].entries.size(); ++k)
            if (r.dirs[i].entries[k].type == "link" &&
                !link_paths.count(r.dirs[i].path + "/" + r.dirs[i].entries[k].name))
                Fail(At("dirs", i) + "." + At("entries", k),
                     "link " + Quoted(r.dirs[i].entries[k].name) + " has no entry in links");

    std::set<std::string> node_paths;
    ForEachObject(j, "nodes", {"path", "major", "minor"}, [&](const json& o, const std::string& w) {
        RecordedNode n;
        n.path = HostPath(o.at("path"), w + ".path", false, false, true);
        if (n.path == "/dev") Fail(w + ".path", "\"/dev\" is not a device node");
        n.major = static_cast<unsigned>(Unsigned(o.at("major"), w + ".major", 4095));
        n.minor = static_cast<unsigned>(Unsigned(o.at("minor"), w + ".minor", (1u << 20) - 1));
        Claim(seen, n.path, w);
        node_paths.insert(n.path);
        r.nodes.push_back(std::move(n));
    });
    const json& ioctls = Array(j, "ioctls", "");
    for (size_t i = 0; i < ioctls.size(); ++i) r.ioctls.push_back(ParseIoctl(ioctls[i], At("ioctls", i), node_paths));
    return r;
}

Recording Recording::FromText(const std::string& text)
{
    const json j = ParseJson(text, [&](const json::exception& fault) {
        if (const auto* e = dynamic_cast<const json::parse_error*>(&fault)) {
            if (e->byte >= text.size())
                throw std::runtime_error("recording: the text ends early at byte " + std::to_string(text.size()) +
                                         " (a truncated file?)");
            throw std::runtime_error("recording: not valid JSON at byte " + std::to_string(e->byte));
        }
        // A number too large for any field (the parser's only other complaint).
        throw std::runtime_error("recording: not valid JSON: a number out of range");
    });
    return ReadAs("recording", [&] { return FromJson(j); });
}

Recording Recording::FromFile(const std::string& path) { return FromText(ReadFileText("recording", path)); }

json Recording::ToJson() const
{
    // nlohmann's object keeps its keys sorted, so the text is stable.
    json j;
    j[kVersionKey] = kVersion;
    j["command"] = command;
    j["redacted"] = redacted;
    j["files"] = json::array();
    for (const RecordedFile& f : files) j["files"].push_back({{"path", f.path}, {"hex", ToHex(f.content)}});
    j["links"] = json::array();
    for (const RecordedLink& l : links) j["links"].push_back({{"path", l.path}, {"target", l.target}});
    j["dirs"] = json::array();
    for (const RecordedDir& d : dirs) {
        json entries = json::array();
        for (const RecordedDirEntry& e : d.entries) entries.push_back({{"name", e.name}, {"type", e.type}});
        j["dirs"].push_back({{"path", d.path}, {"entries", entries}});
    }
    j["nodes"] = json::array();
    for (const RecordedNode& n : nodes)
        j["nodes"].push_back({{"path", n.path}, {"major", n.major}, {"minor", n.minor}});
    j["ioctls"] = json::array();
    for (const RecordedIoctl& c : ioctls) {
        json o;
        o["node"] = c.node;
        o["request"] = c.request;
        o["result"] = c.result;
        o["errno"] = c.err;
        o["pointers"] = json::array();
        if (c.has_arg) {
            o["arg"] = {
                {"length", c.arg_before.size()}, {"before", ToHex(c.arg_before)}, {"after", ToHex(c.arg_after)}};
            for (const RecordedPointer& p : c.pointers) o["pointers"].push_back(PointerJson(p));
        } else {
            o["arg"] = nullptr;
        }
        j["ioctls"].push_back(o);
    }
    return j;
}

Recording Recording::Sorted() const
{
    Recording r = *this;
    const auto by_path = [](const auto& a, const auto& b) { return a.path < b.path; };
    std::sort(r.files.begin(), r.files.end(), by_path);
    std::sort(r.links.begin(), r.links.end(), by_path);
    std::sort(r.dirs.begin(), r.dirs.end(), by_path);
    for (RecordedDir& d : r.dirs)
        std::sort(d.entries.begin(), d.entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    std::sort(r.nodes.begin(), r.nodes.end(), by_path);
    // Per node the order is the exchange itself; only the interleaving of nodes may differ.
    std::stable_sort(r.ioctls.begin(), r.ioctls.end(),
                     [](const RecordedIoctl& a, const RecordedIoctl& b) { return a.node < b.node; });
    return r;
}

}  // namespace zev::emu
