// A recording of a host: what one command read of /sys and /proc/devices, the device nodes it opened
// and every ioctl it sent to them, as sent and as answered. `zevsim record` writes one; `zevsim run`
// replays it as an emulated host. The reader refuses anything it could not replay faithfully, naming
// the place of the fault, so a hand-edited or damaged file never half-works.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emu_bytes.hpp"

namespace zev::emu {

struct RecordedFile {
    std::string path;  // "/sys/..." or "/proc/devices"
    Bytes content;
};

struct RecordedLink {
    std::string path;
    std::string target;  // relative, as readlink gave it
};

struct RecordedDirEntry {
    std::string name;
    std::string type;  // "dir", "file", "link", "char", "block"
};

struct RecordedDir {
    std::string path;
    std::vector<RecordedDirEntry> entries;
};

struct RecordedNode {
    std::string path;  // "/dev/sg1"
    unsigned major = 0;
    unsigned minor = 0;
};

// A buffer the request structure points to; the pointer field itself is zeroed in the arg bytes.
struct RecordedPointer {
    size_t offset = 0;   // of the pointer field in the arg
    unsigned width = 8;  // 8, or 4 for 32-bit scatter-gather addresses
    size_t length = 0;
    Bytes before, after;
};

struct RecordedIoctl {
    std::string node;
    uint64_t request = 0;
    bool has_arg = true;          // false: the argument is not a pointer
    Bytes arg_before, arg_after;  // arg length is their size
    std::vector<RecordedPointer> pointers;
    int64_t result = 0;
    int err = 0;  // errno when result < 0
};

struct Recording {
    std::vector<std::string> command;
    bool redacted = false;
    std::vector<RecordedFile> files;
    std::vector<RecordedLink> links;
    std::vector<RecordedDir> dirs;
    std::vector<RecordedNode> nodes;
    std::vector<RecordedIoctl> ioctls;

    // Throw std::runtime_error with one line naming the fault's place ("recording: ioctls[3].arg: ...").
    static Recording FromJson(const nlohmann::json& j);
    static Recording FromText(const std::string& text);
    static Recording FromFile(const std::string& path);
    // Stable: equal recordings give equal text.
    nlohmann::json ToJson() const;

    // The same recording with every list in path (ioctls: node, then order) order: two recordings of
    // one run compare equal after this, whatever order their recorder met things in.
    Recording Sorted() const;
};

// True when the document is a recording (it carries the "zevsim_recording" key), not a scenario.
bool IsRecording(const nlohmann::json& j);
// The same for text that may not even parse (a truncated recording must still be reported as one).
bool LooksLikeRecording(const std::string& text);

}  // namespace zev::emu
