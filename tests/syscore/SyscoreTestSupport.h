#pragma once
// Shared helpers of the system core tests: request and descriptor builders and readers.

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "TestDebugLog.h"
#include "TestRequests.h"
#include "sysc.h"

using zevtest::LogCapture;
using zevtest::val;

// A read of one BMIC command or one CDB into data.
inline _BMICRequest BmicRead(uint8_t command, void* data, uint32_t length)
{
    return zevtest::bmicRequest<_BMICRequest>(SC_TRANSFER_READ, command, data, length);
}
inline _SCSIRequest ScsiRead(uint8_t* cdb, uint8_t cdbLength, void* data, uint32_t length)
{
    return zevtest::cdbRequest<_SCSIRequest>(SC_TRANSFER_READ, cdb, cdbLength, data, length);
}
// The request with a sense buffer filled with 0xEE, to see what the transport writes into it.
template <typename Request>
inline Request WithSense(Request r, uint8_t (&sense)[32])
{
    std::memset(sense, 0xEE, sizeof(sense));
    r.sense = sense;
    r.senseSize = sizeof(sense);
    return r;
}

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

// What one discovered descriptor says, read through the public lookups.
struct Found {
    std::string path, node;
    uint16_t protocol = 0, type = 0, index = 0;
    std::vector<uint8_t> address;
    uint32_t location = 0;
    uint16_t size = 0;
};

inline std::string StringProperty(const SC_DeviceDescriptor* d, uint8_t tag)
{
    uint16_t n = SC_GetDeviceSystemPropertySize(d, tag);
    std::string s(n, '\0');
    if (n == 0 || SC_GetDeviceSystemProperty(d, tag, &s[0], n) != 0) return "";
    return s;
}

inline uint32_t NumberProperty(const SC_DeviceDescriptor* d, uint8_t tag)
{
    uint8_t v[4] = {0};
    uint16_t n = SC_GetDeviceSystemPropertySize(d, tag);
    if (n > 4 || SC_GetDeviceSystemProperty(d, tag, v, n) != 0) return 0xDEADBEEF;
    return SC_GetLE32(v);
}

inline Found Describe(const SC_DeviceDescriptor* d)
{
    Found f;
    f.path = StringProperty(d, SC_PROPERTY_SYSTEM_PATH);
    f.node = StringProperty(d, SC_PROPERTY_DEVICE_NODE);
    f.protocol = (uint16_t)NumberProperty(d, SC_PROPERTY_PROTOCOL);
    f.type = (uint16_t)NumberProperty(d, SC_PROPERTY_DEVICE_TYPE);
    f.index = (uint16_t)NumberProperty(d, SC_PROPERTY_DEVICE_INDEX);
    f.address.resize(16);
    SC_GetDeviceSystemProperty(d, SC_PROPERTY_PROTOCOL_ADDRESS, f.address.data(), 16);
    f.location = NumberProperty(d, SC_PROPERTY_PCI_LOCATION);
    f.size = SC_GetDeviceDescriptorSize(d);
    return f;
}

// Every descriptor of a list, in list order.
inline std::vector<Found> DescribeList(SC_DescriptorList* list)
{
    std::vector<Found> all;
    SC_DeviceListIterator* it = SC_CreateDeviceListIterator(list);
    for (; !SC_IsDeviceListIteratorEnd(it); SC_MoveDeviceListIteratorNext(it))
        all.push_back(Describe(SC_GetDeviceListItemAt(it)));
    SC_DestroyDeviceListIterator(it);
    return all;
}

// Every descriptor of a list, which is then destroyed; none for no list.
inline std::vector<Found> TakeList(SC_DescriptorList* list)
{
    if (list == nullptr) return {};
    std::vector<Found> all = DescribeList(list);
    SC_DestroyDeviceDescriptorList(list);
    return all;
}
