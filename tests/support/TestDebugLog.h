#pragma once
// The cores' debug log, captured while a step runs. Only for programs that link the system core.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sysc.h"

namespace zevtest {

// Collects every delivered debug line; installs itself for the lifetime of the object.
class LogCapture {
public:
    explicit LogCapture(uint32_t level = 3)
    {
        Lines().clear();
        SC_SetDebugCallback(&LogCapture::Callback);
        SC_SetDebugLogLevel(level);
    }
    ~LogCapture()
    {
        SC_SetDebugCallback(nullptr);
        SC_SetDebugLogLevel(0);
    }
    static std::vector<std::pair<uint8_t, std::string>>& Lines()
    {
        static std::vector<std::pair<uint8_t, std::string>> lines;
        return lines;
    }
    // The one line delivered; level 0xFF and the count instead when there was not exactly one.
    static std::pair<uint8_t, std::string> Only()
    {
        if (Lines().size() == 1) return Lines()[0];
        return {0xFF, "(" + std::to_string(Lines().size()) + " lines delivered)"};
    }
    // All texts of one level joined.
    static std::string At(uint8_t level)
    {
        std::string all;
        for (const std::string& t : Texts(level)) all += t;
        return all;
    }
    // The texts of one level, in order.
    static std::vector<std::string> Texts(uint8_t level)
    {
        std::vector<std::string> out;
        for (const auto& l : Lines())
            if (l.first == level) out.push_back(l.second);
        return out;
    }

private:
    static void Callback(uint8_t level, const char* text) { Lines().emplace_back(level, text); }
};

}  // namespace zevtest
