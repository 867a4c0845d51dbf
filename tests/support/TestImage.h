#pragma once
// Deterministic firmware image bytes that differ from chunk to chunk; each suite keeps its own seed so
// that two suites' images never look alike.

#include <cstddef>
#include <cstdint>
#include <string>

namespace zevtest {

inline std::string imageBytes(std::size_t size, std::uint32_t seed)
{
    std::string image(size, '\0');
    std::uint32_t x = seed;
    for (char& c : image) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return image;
}

}  // namespace zevtest
