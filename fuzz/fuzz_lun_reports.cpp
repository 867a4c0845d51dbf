// Extended REPORT PHYSICAL/LOGICAL LUNS answered with arbitrary bytes, and everything built from
// them: the system core's device lists (all devices, drives and enclosure processors by index,
// logical drives) and, when asked, the storage core's physical device table with the drive queries.
// Every element must be a well-formed copy of the controller's descriptor with the values the
// report gives it.
//
// Input: option byte (bits 0-1 protocol: CISS, SIS, PQI, CISS; bit 2 storage core table; bit 3
// report lengths of any size, else at most 400 entries, more than the storage core's table holds;
// bit 4 debug level 3 with the trace of every command, else level 1),
// count byte n (0-7), n little-endian u16 indices, then the answers (fuzz_controller.h).

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_controller.h"
#include "storc.h"
#include "storc_physical.h"

using fuzz_support::require;
using fuzz_support::terminatedWithin;

namespace {
uint16_t u16Property(const SC_DeviceDescriptor* d, uint8_t tag)
{
    uint8_t value[2];
    require(SC_GetDeviceSystemProperty(d, tag, value, sizeof(value)) == 0, "element keeps its 2-byte properties");
    return SC_GetLE16(value);
}

// Checks each element of a device list against the controller; returns the element count.
// expectedFlags 0 accepts 2 or 3 (physical devices and expanders).
size_t checkList(SC_DescriptorList* list, const SC_DeviceDescriptor* controller, uint8_t expectedFlags,
                 const uint16_t* indices)
{
    require(list != nullptr, "device list");
    size_t count = 0;
    SC_DeviceListIterator* it = SC_CreateDeviceListIterator(list);
    require(it != nullptr, "iterator");
    for (; !SC_IsDeviceListIteratorEnd(it); SC_MoveDeviceListIteratorNext(it), ++count) {
        const SC_DeviceDescriptor* d = SC_GetDeviceListItemAt(it);
        require(SC_GetDeviceDescriptorSize(d) == SC_GetDeviceDescriptorSize(controller), "element size");
        uint16_t protocol = 0xFFFF;
        uint8_t address[SC_ADDRESS_SIZE];
        require(__DecodeDeviceProtocolInfo(d, &protocol, address, sizeof(address)) == 1, "element decodes");
        require(protocol == _SC_GetDeviceProtocol(controller), "element protocol");
        if (expectedFlags != 0)
            require(address[SC_ADDRESS_FLAGS] == expectedFlags, "element flags");
        else
            require(address[SC_ADDRESS_FLAGS] == 2 || address[SC_ADDRESS_FLAGS] == 3, "physical element flags");
        uint16_t type = u16Property(d, SC_PROPERTY_DEVICE_TYPE);
        require(type >= 1 && type <= 10, "element type code");
        uint16_t index = u16Property(d, SC_PROPERTY_DEVICE_INDEX);
        if (indices != nullptr) require(index == indices[count], "element index is the requested one");
        char node[64];
        require(__DecodeDeviceNodeName(d, node, sizeof(node)) == 1 && std::strcmp(node, "/dev/null") == 0, "node");
    }
    SC_DestroyDeviceListIterator(it);
    SC_DestroyDeviceDescriptorList(list);
    return count;
}

void driveQueries(SA_CDA* cda)
{
    SA_RequestPhysicalDevices(cda);
    unsigned seen = 0;
    for (uint16_t i = SA_EnumerateControllerPhysicalDevices(cda, SA_NO_DEVICE_INDEX); i != SA_NO_DEVICE_INDEX;
         i = SA_EnumerateControllerPhysicalDevices(cda, i)) {
        require(i < SA_MAX_PHYSICAL_DEVICES, "enumerated index inside the table");
        require(++seen <= SA_MAX_PHYSICAL_DEVICES, "enumeration ends");
        char text[64];
        SA_PhysicalDeviceType(cda, i);
        SA_CanSendPhysicalDeviceSCSICommand(cda, i);
        require(terminatedWithin(SA_GetPhysicalDriveFirmwareVersion(cda, i, text, sizeof(text)), sizeof(text)), "fw");
        require(terminatedWithin(SA_GetPhysicalDriveModel(cda, i, text, sizeof(text)), sizeof(text)), "model");
        require(terminatedWithin(SA_GetPhysicalDriveSerialNumber(cda, i, text, 8), 8), "serial (cut)");
        require(terminatedWithin(SA_GetPhysicalDriveVendorID(cda, i, text, sizeof(text)), sizeof(text)), "vendor");
        for (uint8_t format = 0; format <= 5; ++format)
            require(terminatedWithin(SA_GetPhysicalDriveLocation(cda, i, format, text, 12), 12), "location");
        SA_GetPhysicalDeviceStorageEnclosureNumber(cda, i);
        SA_GetPhysicalDriveBasicInfo(cda, i);
        uint8_t inquiry[96];
        SA_PhysicalDriveStandardInquiryData(cda, i, inquiry, sizeof(inquiry));
    }
    for (uint16_t i = SA_EnumerateControllerPhysicalDrives(cda, SA_NO_DEVICE_INDEX); i != SA_NO_DEVICE_INDEX;
         i = SA_EnumerateControllerPhysicalDrives(cda, i))
        require(i < SA_MAX_PHYSICAL_DEVICES, "enumerated drive inside the table");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const uint8_t options = data[0];
    const size_t n = data[1] & 7;
    if (size < 2 + 2 * n) return 0;
    std::vector<uint16_t> indices(n);
    for (size_t i = 0; i < n; ++i) indices[i] = SC_GetLE16(data + 2 + 2 * i);
    const size_t head = 2 + 2 * n;

    static const uint16_t kProtocols[4] = {SC_PROTOCOL_CISS, SC_PROTOCOL_SIS, SC_PROTOCOL_PQI, SC_PROTOCOL_CISS};
    SC_DeviceDescriptor* controller = fuzz_controller::makeController(kProtocols[options & 3], 0, 1, 0);
    require(controller != nullptr, "controller descriptor");
    fuzz_controller::begin(data + head, size - head);
    fuzz_controller::setReportEntryLimit((options & 0x08) != 0 ? 0xFFFFFFFFu / 24 : 400);
    SC_SetDebugLogLevel((options & 0x10) != 0 ? 3 : 1);

    if ((options & 0x04) == 0) {
        checkList(SC_CreateAllPhysicalDeviceDescriptorList(controller), controller, 0, nullptr);
        size_t drives = checkList(SC_CreatePhysicalDriveDescriptorList(controller, indices.data(), (uint32_t)n),
                                  controller, 0, indices.data());
        size_t seps = checkList(SC_CreateSEPDescriptorList(controller, indices.data(), (uint32_t)n), controller, 0,
                                indices.data());
        checkList(SC_CreateAllLogicalDeviceDescriptorList(controller), controller, 5, nullptr);
        size_t logical = checkList(SC_CreateLogicalDeviceDescriptorList(controller, indices.data(), (uint32_t)n),
                                   controller, 5, indices.data());
        // One element per requested index, whether the report names it or not; none without a report.
        require((drives == 0 || drives == n) && (seps == 0 || seps == n) && (logical == 0 || logical == n),
                "one element per requested index");
    } else {
        SA_CDA* cda = static_cast<SA_CDA*>(std::malloc(SA_GetCDASize()));
        if (SA_InitializeCDA(cda, controller) == SA_CDA_STATUS_SUCCESS) driveQueries(cda);
        SA_UnInitializeCDA(cda);
        std::free(cda);
    }
    SC_DestroyDeviceDescriptor(controller);
    return 0;
}
