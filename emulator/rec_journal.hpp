// What `zevsim record` does around the command it records: refuses a command line that would flash,
// merges the recording preload's per-process journals into one recording, hides serial numbers, and
// writes the file.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace zev::emu {

using RecordingJson = nlohmann::ordered_json;

// True when the command line (the program and its arguments) asks the tool for an update: "-u" alone
// or inside a cluster of the tool's one-letter options ("-iu"), also inside a shell line ("sh -c '...'").
// The value of "-o" is a file name, not an option.
bool AsksForUpdate(const std::vector<std::string>& command);

// One recording from the journals (<pid>.jsonl) in `dir`: processes in the order they started, each
// one's events in order; files, links, folders and nodes once per path (the first reading wins).
// A journal line cut short (a killed process) is skipped. Throws std::runtime_error when `dir` cannot
// be read.
RecordingJson MergeJournals(const std::string& dir, const std::vector<std::string>& command);

// The serial numbers the tool reads, decoded from the replies that carry them (the controller's
// subsystem information, each drive's identify and unit serial number pages, also inside the wrapped
// requests, and sysfs files that hold one), without padding, longest first.
std::vector<std::string> FindSerials(const RecordingJson& rec);

// Replaces every occurrence of every serial of FindSerials (in file contents, paths, and every request
// and buffer before and after) by a neutral text of the same length, the same one for the same serial
// throughout; sets "redacted". Returns the number of distinct serials replaced.
size_t Redact(RecordingJson& rec);

// Writes `rec` to `path` through a temporary file and a rename, mode 0600. Throws on failure.
void WriteRecording(const std::string& path, const RecordingJson& rec);

}  // namespace zev::emu
