// Helpers for the system core tests that run against the emulated host.
#ifndef SYSCORE_HOST_TEST_SUPPORT_H
#define SYSCORE_HOST_TEST_SUPPORT_H

#include <cstdio>
#include <string>
#include <vector>

#include "SyscoreTestSupport.h"
#include "emu_host.hpp"

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

inline std::vector<Found> Discover() { return TakeList(SC_CreateControllerDescriptorList()); }

// The first descriptor discovery lists, owned by the caller.
inline SC_DeviceDescriptor* DiscoverFirst(size_t which = 0)
{
    SC_DescriptorList* list = SC_CreateControllerDescriptorList();
    SC_DeviceDescriptor* copy = nullptr;
    SC_DeviceListIterator* it = SC_CreateDeviceListIterator(list);
    for (size_t i = 0; !SC_IsDeviceListIteratorEnd(it); SC_MoveDeviceListIteratorNext(it), ++i)
        if (i == which) copy = SC_CopyDeviceDescriptor(SC_GetDeviceListItemAt(it));
    SC_DestroyDeviceListIterator(it);
    SC_DestroyDeviceDescriptorList(list);
    return copy;
}

inline void OverwriteBedFile(const zev::emu::Host& host, const std::string& abs, const std::string& content)
{
    FILE* f = std::fopen(host.BedPath(abs).c_str(), "w");
    ASSERT_NE(f, nullptr) << abs;
    std::fputs(content.c_str(), f);
    std::fclose(f);
}

#endif
