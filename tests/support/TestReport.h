#pragma once
// Reading the emulator's report: a controller by id, the BMIC commands it received, what it programmed;
// and a scenario whose controllers answer one BMIC command late.

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace zevtest {

// Every controller of the scenario answers each of this BMIC command ms late (its only fault).
inline void delayBmic(nlohmann::json& scenario, int bmic, int ms)
{
    for (nlohmann::json& c : scenario.at("controllers"))
        c["faults"] = nlohmann::json::array({{{"match", {{"bmic", bmic}}}, {"times", 0}, {"delay_ms", ms}}});
}

// The BMIC command byte of a recorded command; -1 for one that carries none.
inline int bmicOf(const nlohmann::json& cmd)
{
    return cmd.contains("bmic") ? cmd.at("bmic").at("command").get<int>() : -1;
}

// Commands the controller received with any of these BMIC command bytes.
inline int bmicCount(const nlohmann::json& controller, std::initializer_list<int> opcodes)
{
    return static_cast<int>(std::count_if(
        controller.at("commands").begin(), controller.at("commands").end(), [&](const nlohmann::json& cmd) {
            return std::find(opcodes.begin(), opcodes.end(), bmicOf(cmd)) != opcodes.end();
        }));
}

inline const nlohmann::json& controllerOf(const nlohmann::json& report, const std::string& id)
{
    for (const nlohmann::json& c : report.at("controllers"))
        if (c.at("id") == id) return c;
    throw std::runtime_error("no controller " + id + " in the report");
}

// The controller programmed exactly `times` images, each of this digest and size.
inline ::testing::AssertionResult programmedTimes(const nlohmann::json& controller, const std::string& sha,
                                                  std::size_t size, std::size_t times = 2)
{
    const std::string id = controller.at("id").get<std::string>();
    const nlohmann::json& images = controller.at("images");
    if (images.size() != times)
        return ::testing::AssertionFailure() << id << " programmed " << images.size() << " images";
    for (const nlohmann::json& image : images) {
        if (image.at("sha256") != sha || image.at("size").get<std::size_t>() != size)
            return ::testing::AssertionFailure() << id << " programmed another image: " << image.dump();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace zevtest
