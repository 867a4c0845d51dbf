// What the scenario and the recording readers share: the file's text, each entry of a list named by
// its place in the file, and a fault of the JSON library inside a reader said under the reader's name.
#pragma once

#include <cstddef>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace zev::emu {

// text as a JSON string literal, quotes included: a fault message that echoes a name from the file
// stays one line whatever control characters or quotes the name holds.
inline std::string Quoted(const std::string& text)
{
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Each entry of list, named "key[i]"; check(entry, where) refuses a malformed one before each sees it.
template <typename Check, typename Each>
void ForEachEntry(const nlohmann::json& list, const char* key, Check check, Each each)
{
    for (size_t i = 0; i < list.size(); ++i) {
        const std::string where = std::string(key) + "[" + std::to_string(i) + "]";
        check(list[i], where);
        each(list[i], where);
    }
}

// The parsed text; a parse fault is handed to refuse(fault), which throws the reader's own words.
template <typename Refuse>
nlohmann::json ParseJson(const std::string& text, Refuse refuse)
{
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        refuse(e);
        throw;
    }
}

// read(), a fault the JSON library throws inside it said as "<kind>: <fault>".
template <typename Read>
auto ReadAs(const char* kind, Read read) -> decltype(read())
{
    try {
        return read();
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(std::string(kind) + ": " + e.what());
    }
}

// The whole text of the file at path, or "<kind>: cannot read <path>".
inline std::string ReadFileText(const char* kind, const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(std::string(kind) + ": cannot read " + path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace zev::emu
