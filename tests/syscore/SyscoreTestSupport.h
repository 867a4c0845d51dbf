// Shared helpers of the system core tests: a capturing debug callback and descriptor builders.
#ifndef SYSCORE_TEST_SUPPORT_H
#define SYSCORE_TEST_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "TestRequests.h"
#include "sysc.h"

using zevtest::val;

// A read of one BMIC command or one CDB into data.
inline _BMICRequest BmicRead(uint8_t command, void* data, uint32_t length)
{
    return zevtest::bmicRequest<_BMICRequest>(SC_TRANSFER_READ, command, data, length);
}
// The same BMIC read with a sense buffer filled with 0xEE, to see what the transport writes into it.
inline _BMICRequest BmicReadSensed(uint8_t command, void* data, uint32_t length, uint8_t (&sense)[32])
{
    std::memset(sense, 0xEE, sizeof(sense));
    _BMICRequest r = BmicRead(command, data, length);
    r.sense = sense;
    r.senseSize = sizeof(sense);
    return r;
}
inline _SCSIRequest ScsiRead(uint8_t* cdb, uint8_t cdbLength, void* data, uint32_t length)
{
    return zevtest::cdbRequest<_SCSIRequest>(SC_TRANSFER_READ, cdb, cdbLength, data, length);
}

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
    // All texts of one level joined.
    static std::string At(uint8_t level)
    {
        std::string all;
        for (const auto& l : Lines())
            if (l.first == level) all += l.second;
        return all;
    }

private:
    static void Callback(uint8_t level, const char* text) { Lines().emplace_back(level, text); }
};

// A controller descriptor owned by the test.
struct OwnedDescriptor {
    SC_DeviceDescriptor* d = nullptr;
    OwnedDescriptor() = default;
    explicit OwnedDescriptor(SC_DeviceDescriptor* p) : d(p) {}
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
    ~OwnedDescriptor() { SC_DestroyDeviceDescriptor(d); }
};

inline SC_DeviceDescriptor* MakeController(const char* node, uint16_t protocol, uint8_t flags = 1,
                                           const char* path = "/sys/devices/pci0000:00/0000:00:03.0/0000:03:00.0",
                                           uint32_t location = 0x030000)
{
    uint8_t address[16] = {0};
    address[3] = flags;
    return SC_BuildControllerDescriptor(path, node, protocol, address, location);
}

#endif
