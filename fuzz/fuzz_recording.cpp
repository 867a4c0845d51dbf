// Arbitrary text as a host recording (zevsim run and zevsim check read them from users' hosts and from
// hand edits): the reader either refuses it with its one-line message or accepts it, and what it
// accepts it writes back so that reading that again gives the same text.
//
// Input: the recording's text.

#include <stdexcept>
#include <string>

#include "emu_recording.hpp"
#include "fuzz_support.h"

using fuzz_support::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    zev::emu::Recording r;
    try {
        r = zev::emu::Recording::FromText(text);
    } catch (const std::runtime_error& e) {
        const std::string m = e.what();
        require(m.rfind("recording: ", 0) == 0, "message names the recording");
        require(m.find('\n') == std::string::npos, "message is one line");
        return 0;
    }
    const std::string written = r.ToJson().dump();
    require(zev::emu::Recording::FromText(written).ToJson().dump() == written, "written text reads back the same");
    const std::string sorted = r.Sorted().ToJson().dump();
    require(r.Sorted().Sorted().ToJson().dump() == sorted, "sorting is stable");
    require(zev::emu::IsRecording(r.ToJson()), "written text is a recording");
    return 0;
}
