// Checks shared by the fuzz targets. A broken contract ends the process with a message, which
// libFuzzer reports as a finding together with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz_support {
inline void require(bool condition, const char* what)
{
    if (condition) return;
    std::fprintf(stderr, "broken contract: %s\n", what);
    std::abort();
}

// True when text is terminated within size bytes.
inline bool terminatedWithin(const char* text, size_t size)
{
    return text != nullptr && std::memchr(text, '\0', size) != nullptr;
}

// Debug callback of the cores: every delivered text must be a terminated, non-empty string of a
// level that was asked for. strlen touches every byte, so a missing terminator is an ASan report.
inline void checkingDebugCallback(uint8_t level, const char* text)
{
    require(level >= 1 && level <= 3, "debug level delivered");
    require(text != nullptr && text[0] != '\0', "debug text");
    volatile size_t n = std::strlen(text);
    (void)n;
}
}  // namespace fuzz_support
