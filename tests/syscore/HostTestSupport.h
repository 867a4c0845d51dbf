#pragma once
// Helpers for the system core tests that run against the emulated host.

#include <cstdio>
#include <string>
#include <vector>

#include "SyscoreTestSupport.h"
#include "emu_host.hpp"

inline std::vector<Found> Discover() { return TakeList(SC_CreateControllerDescriptorList()); }

// A copy of the first descriptor discovery lists that keep accepts, owned by the caller; null for none.
template <typename Keep>
inline SC_DeviceDescriptor* DiscoverWhere(Keep keep)
{
    SC_DescriptorList* list = SC_CreateControllerDescriptorList();
    SC_DeviceDescriptor* copy = nullptr;
    SC_DeviceListIterator* it = SC_CreateDeviceListIterator(list);
    for (; copy == nullptr && !SC_IsDeviceListIteratorEnd(it); SC_MoveDeviceListIteratorNext(it))
        if (keep(SC_GetDeviceListItemAt(it))) copy = SC_CopyDeviceDescriptor(SC_GetDeviceListItemAt(it));
    SC_DestroyDeviceListIterator(it);
    SC_DestroyDeviceDescriptorList(list);
    return copy;
}

inline SC_DeviceDescriptor* DiscoverFirst()
{
    return DiscoverWhere([](const SC_DeviceDescriptor*) { return true; });
}

// The descriptor of the controller with the given scenario id.
inline SC_DeviceDescriptor* DescriptorOf(const zev::emu::Host& host, const std::string& id)
{
    const std::string path = host.SystemPath(host.FindController(id));
    return DiscoverWhere(
        [&](const SC_DeviceDescriptor* d) { return StringProperty(d, SC_PROPERTY_SYSTEM_PATH) == path; });
}

inline void OverwriteBedFile(const zev::emu::Host& host, const std::string& abs, const std::string& content)
{
    FILE* f = std::fopen(host.BedPath(abs).c_str(), "w");
    ASSERT_NE(f, nullptr) << abs;
    std::fputs(content.c_str(), f);
    std::fclose(f);
}
