// Test fixture: one emulated controller, discovered by the system core and given a CDA.
#ifndef TESTS_STORAGECORE_EMU_FIXTURE_H
#define TESTS_STORAGECORE_EMU_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TestDebugLog.h"
#include "emu_host.hpp"
#include "storc.h"

namespace storc_test {

// Level-1 lines of the cores' debug log, captured while a test runs.
inline std::vector<std::string> Lines() { return zevtest::LogCapture::Texts(1); }

inline size_t CountExact(const std::string& line)
{
    const std::vector<std::string> lines = Lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// A scenario with one controller; firmware and faults are JSON object/array texts.
inline std::string OneController(const std::string& firmware = "{}", const std::string& driver = "hpsa",
                                 const std::string& faults = "[]")
{
    return R"({"description": "storage core test", "controllers": [{"id": "c0", "driver": ")" + driver +
           R"(", "pci": {"address": "0000:03:00.0", "vendor": "0x1d5a", "device": "0x0101",
              "subsystem_vendor": "0x1d5a", "subsystem_device": "0x0a01"},
              "firmware": )" +
           firmware + R"(, "faults": )" + faults + "}]}";
}

class EmulatedController : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InitializeSysCore(SC_HEADER_CHECKSUM); }
    static void TearDownTestSuite() { UnInitializeSysCore(); }

    void SetUp() override { m_log.emplace(1); }

    void TearDown() override
    {
        Release();
        m_log.reset();
    }

    // Builds the host from the scenario text, discovers the controller and initialises its CDA.
    void Start(const std::string& scenario_json) { Start(zev::emu::Scenario::FromText(scenario_json)); }
    void Start(const zev::emu::Scenario& scenario)
    {
        Release();
        m_host = std::make_unique<zev::emu::Host>(scenario);
        m_list = SC_CreateControllerDescriptorList();
        ASSERT_NE(nullptr, m_list);
        ASSERT_NE(nullptr, m_list->first) << "the emulated controller was not discovered";
        m_cda = static_cast<SA_CDA*>(SA_MALLOC(SA_GetCDASize()));
        ASSERT_NE(nullptr, m_cda);
        m_status = SA_InitializeCDA(m_cda, m_list->first->descriptor);
    }

    void Release()
    {
        if (m_cda != nullptr) {
            if (m_status != SA_CDA_STATUS_BAD_ARGUMENT) SA_UnInitializeCDA(m_cda);
            SA_FREE(m_cda);
            m_cda = nullptr;
        }
        SC_DestroyDeviceDescriptorList(m_list);
        m_list = nullptr;
        m_host.reset();
    }

    // BMIC commands the controller received, in order.
    std::vector<zev::emu::CommandRecord> Bmic() const
    {
        std::vector<zev::emu::CommandRecord> out;
        for (const auto& c : m_host->Commands(0))
            if (c.bmic().is_bmic) out.push_back(c);
        return out;
    }

    std::vector<uint8_t> BmicCommandBytes() const
    {
        std::vector<uint8_t> out;
        for (const auto& c : Bmic()) out.push_back(c.bmic().command);
        return out;
    }

    std::unique_ptr<zev::emu::Host> m_host;
    SC_DescriptorList* m_list = nullptr;
    SA_CDA* m_cda = nullptr;
    uint16_t m_status = 0;
    std::optional<zevtest::LogCapture> m_log;
};

}  // namespace storc_test

#endif
