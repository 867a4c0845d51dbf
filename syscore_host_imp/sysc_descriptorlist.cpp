#include "sysc_descriptorlist.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "sysc_platform.h"

namespace {
// One property entry found by the scan.
struct Entry {
    uint16_t tag;
    uint16_t length;
    size_t valueOffset;
};

// Walks the entries in order while visit returns true. Entries that would run past the total size end
// the walk, so a damaged descriptor is never read beyond its own bytes.
template <typename Visit>
void ScanEntries(const SC_DeviceDescriptor* d, Visit visit)
{
    if (d == nullptr) return;
    size_t total = SC_GetLE16(d);
    size_t offset = 2;
    while (offset + 4 <= total) {
        Entry e{SC_GetLE16(d + offset), SC_GetLE16(d + offset + 2), offset + 4};
        if (e.valueOffset + e.length > total) return;
        if (!visit(e)) return;
        offset = e.valueOffset + e.length;
    }
}

bool FindEntry(const SC_DeviceDescriptor* d, uint8_t tag, Entry* out)
{
    bool found = false;
    ScanEntries(d, [&](const Entry& e) {
        if (e.tag != tag) return true;
        *out = e;
        found = true;
        return false;
    });
    return found;
}
}  // namespace

SC_DescriptorList* scCreateEmptyDescriptorList(void)
{
    SC_DescriptorList* list = (SC_DescriptorList*)_SA_malloc(sizeof(SC_DescriptorList), __FILE__, __LINE__);
    if (list != nullptr) {
        list->first = nullptr;
        list->last = nullptr;
    }
    return list;
}

int scAppendDescriptor(SC_DescriptorList* list, SC_DeviceDescriptor* descriptor)
{
    if (list == nullptr) return 0;
    SC_DescriptorListNode* node = (SC_DescriptorListNode*)_SA_malloc(sizeof(SC_DescriptorListNode), __FILE__, __LINE__);
    if (node == nullptr) return 0;
    node->descriptor = descriptor;
    node->next = nullptr;
    if (list->last != nullptr) {
        list->last->next = node;
    } else {
        list->first = node;
    }
    list->last = node;
    return 1;
}

SC_DeviceListIterator* SC_CreateDeviceListIterator(SC_DescriptorList* list)
{
    if (list == nullptr) return nullptr;
    SC_DeviceListIterator* it = (SC_DeviceListIterator*)_SA_malloc(sizeof(SC_DeviceListIterator), __FILE__, __LINE__);
    if (it == nullptr) return nullptr;
    it->list = list;
    it->current = list->first;
    return it;
}

int SC_IsDeviceListIteratorEnd(const SC_DeviceListIterator* iterator)
{
    return iterator == nullptr || iterator->current == nullptr || iterator->current->descriptor == nullptr;
}

void SC_MoveDeviceListIteratorNext(SC_DeviceListIterator* iterator)
{
    if (!SC_IsDeviceListIteratorEnd(iterator)) iterator->current = iterator->current->next;
}

SC_DeviceDescriptor* SC_GetDeviceListItemAt(const SC_DeviceListIterator* iterator)
{
    if (SC_IsDeviceListIteratorEnd(iterator)) return nullptr;
    return iterator->current->descriptor;
}

void SC_DestroyDeviceListIterator(SC_DeviceListIterator* iterator) { _SA_free(iterator, __FILE__, __LINE__); }

void SC_DestroyDeviceDescriptorList(SC_DescriptorList* list)
{
    if (list == nullptr) return;
    SC_DescriptorListNode* node = list->first;
    while (node != nullptr) {
        SC_DescriptorListNode* next = node->next;
        _SA_free(node->descriptor, __FILE__, __LINE__);
        _SA_free(node, __FILE__, __LINE__);
        node = next;
    }
    _SA_free(list, __FILE__, __LINE__);
}

SC_DeviceDescriptor* SC_CopyDeviceDescriptor(const SC_DeviceDescriptor* descriptor)
{
    if (descriptor == nullptr) return nullptr;
    uint16_t size = SC_GetDeviceDescriptorSize(descriptor);
    if (size < 2) size = 2;
    SC_DeviceDescriptor* copy = (SC_DeviceDescriptor*)_SA_malloc(size, __FILE__, __LINE__);
    if (copy != nullptr) std::memcpy(copy, descriptor, size);
    return copy;
}

void SC_DestroyDeviceDescriptor(SC_DeviceDescriptor* descriptor) { _SA_free(descriptor, __FILE__, __LINE__); }

SC_PhysicalKind scPhysicalKind(uint8_t deviceType)
{
    if (deviceType < 16 && ((SC_LUN_DRIVE_TYPES >> deviceType) & 1) != 0) return SC_PHYSICAL_KIND_DRIVE;
    switch (deviceType) {
    case SC_LUN_DEVICE_EXPANDER:
        return SC_PHYSICAL_KIND_EXPANDER;
    case SC_LUN_DEVICE_ENCLOSURE:
        return SC_PHYSICAL_KIND_ENCLOSURE;
    case SC_LUN_DEVICE_TYPE7:
        return SC_PHYSICAL_KIND_TYPE7;
    case SC_LUN_DEVICE_TYPE8:
        return SC_PHYSICAL_KIND_TYPE8;
    default:
        return SC_PHYSICAL_KIND_OTHER;
    }
}

uint16_t SC_GetDeviceDescriptorSize(const SC_DeviceDescriptor* descriptor)
{
    return descriptor == nullptr ? 0 : SC_GetLE16(descriptor);
}

uint16_t SC_GetDeviceSystemPropertySize(const SC_DeviceDescriptor* descriptor, uint8_t tag)
{
    Entry e{};
    return FindEntry(descriptor, tag, &e) ? e.length : 0;
}

uint8_t SC_GetDeviceSystemProperty(const SC_DeviceDescriptor* descriptor, uint8_t tag, void* buffer,
                                   uint32_t bufferSize)
{
    if (buffer != nullptr) std::memset(buffer, 0, bufferSize);
    Entry e{};
    if (!FindEntry(descriptor, tag, &e)) return 1;
    if (e.length > bufferSize || (buffer == nullptr && e.length > 0)) return 2;
    if (e.length > 0) std::memcpy(buffer, descriptor + e.valueOffset, e.length);
    return 0;
}

SC_DeviceDescriptor* SC_BuildDeviceDescriptor(const SC_DescriptorProperty* properties, size_t count)
{
    size_t total = 2;
    for (size_t i = 0; i < count; ++i) total += 4 + (size_t)properties[i].length;
    if (total > 0xFFFF) return nullptr;
    SC_DeviceDescriptor* d = (SC_DeviceDescriptor*)_SA_malloc(total, __FILE__, __LINE__);
    if (d == nullptr) return nullptr;
    SC_PutLE16(d, (uint16_t)total);
    size_t offset = 2;
    for (size_t i = 0; i < count; ++i) {
        SC_PutLE16(d + offset, properties[i].tag);
        SC_PutLE16(d + offset + 2, properties[i].length);
        if (properties[i].length > 0) std::memcpy(d + offset + 4, properties[i].value, properties[i].length);
        offset += 4 + properties[i].length;
    }
    return d;
}

SC_DeviceDescriptor* SC_BuildControllerDescriptor(const char* systemPath, const char* deviceNode, uint16_t protocol,
                                                  const uint8_t address[16], uint32_t pciLocation)
{
    if (systemPath == nullptr || deviceNode == nullptr || address == nullptr) return nullptr;
    size_t pathLength = std::strlen(systemPath);
    size_t nodeLength = std::strlen(deviceNode);
    if (pathLength > 0xFFFF || nodeLength > 0xFFFF) return nullptr;
    uint8_t protocolValue[2], typeValue[2], indexValue[2], locationValue[4];
    SC_PutLE16(protocolValue, protocol);
    SC_PutLE16(typeValue, SC_DEVICE_TYPE_CONTROLLER);
    SC_PutLE16(indexValue, 0xFFFF);
    SC_PutLE32(locationValue, pciLocation);
    const SC_DescriptorProperty properties[] = {
        {SC_PROPERTY_SYSTEM_PATH, (uint16_t)pathLength, systemPath},
        {SC_PROPERTY_DEVICE_NODE, (uint16_t)nodeLength, deviceNode},
        {SC_PROPERTY_PROTOCOL, 2, protocolValue},
        {SC_PROPERTY_PROTOCOL_ADDRESS, SC_ADDRESS_SIZE, address},
        {SC_PROPERTY_DEVICE_TYPE, 2, typeValue},
        {SC_PROPERTY_DEVICE_INDEX, 2, indexValue},
        {SC_PROPERTY_PCI_LOCATION, 4, locationValue},
    };
    return SC_BuildDeviceDescriptor(properties, sizeof(properties) / sizeof(properties[0]));
}

int scSetDeviceSystemProperty(SC_DeviceDescriptor* descriptor, uint8_t tag, const void* value, uint16_t length)
{
    Entry e{};
    if (!FindEntry(descriptor, tag, &e) || e.length != length) return 0;
    if (length > 0) std::memcpy(descriptor + e.valueOffset, value, length);
    return 1;
}

int __DecodeDeviceProtocolInfo(const SC_DeviceDescriptor* descriptor, uint16_t* protocol, uint8_t* address,
                               uint16_t addressSize)
{
    bool haveProtocol = false, haveAddress = false;
    ScanEntries(descriptor, [&](const Entry& e) {
        if (e.tag == SC_PROPERTY_PROTOCOL && !haveProtocol) {
            // A value shorter than two bytes reads as zero-extended.
            uint8_t raw[2] = {0, 0};
            std::memcpy(raw, descriptor + e.valueOffset, e.length < 2 ? e.length : 2);
            if (protocol != nullptr) *protocol = SC_GetLE16(raw);
            haveProtocol = true;
        } else if (e.tag == SC_PROPERTY_PROTOCOL_ADDRESS && !haveAddress) {
            if (address != nullptr) {
                std::memset(address, 0, addressSize);
                std::memcpy(address, descriptor + e.valueOffset, e.length < addressSize ? e.length : addressSize);
            }
            haveAddress = true;
        }
        return !(haveProtocol && haveAddress);
    });
    return haveProtocol && haveAddress;
}

int __DecodeDeviceNodeName(const SC_DeviceDescriptor* descriptor, char* buffer, uint32_t bufferSize)
{
    if (buffer != nullptr) std::memset(buffer, 0, bufferSize);
    Entry e{};
    if (!FindEntry(descriptor, SC_PROPERTY_DEVICE_NODE, &e)) return 0;
    if (buffer != nullptr) {
        // Keep the last byte for the terminator so the name is always a C string.
        uint32_t room = bufferSize > 0 ? bufferSize - 1 : 0;
        std::memcpy(buffer, descriptor + e.valueOffset, e.length < room ? e.length : room);
    }
    return 1;
}

uint16_t _SC_GetDeviceProtocol(const SC_DeviceDescriptor* descriptor)
{
    uint16_t protocol = 0xFFFF;
    ScanEntries(descriptor, [&](const Entry& e) {
        if (e.tag != SC_PROPERTY_PROTOCOL || e.length < 2) return true;
        uint16_t value = SC_GetLE16(descriptor + e.valueOffset);
        if (value == 0xFFFF) return true;
        protocol = value;
        return false;
    });
    return protocol;
}

int __OpenDeviceNode(const char* path, int* fd, int nonBlocking)
{
    if (path == nullptr || fd == nullptr) return EINVAL;
    int flags = nonBlocking ? (O_RDONLY | O_NONBLOCK) : O_RDWR;
    int result = open(path, flags);
    if (result < 0) return errno;
    *fd = result;
    return 0;
}

void __CloseDeviceNode(int fd)
{
    if (fd >= 0) close(fd);
}

// ---------------------------------------------------------------------------------------------
// Device lists of one controller, from the extended CISS LUN reports.

#include "sysc.h"

namespace {

// Number of whole entries the report holds.
uint32_t ReportEntries(const uint8_t* report) { return SC_GetBE32(report) / SC_LUN_REPORT_ENTRY; }
const uint8_t* ReportEntry(const uint8_t* report, uint32_t i)
{
    return report + SC_LUN_REPORT_HEADER + i * SC_LUN_REPORT_ENTRY;
}

// Address flags of the descriptors derived from LUN reports.
constexpr uint8_t kPhysicalFlags = SC_ADDRESS_FLAG_PHYSICAL;  // no commands (an expander, or not reported)
constexpr uint8_t kPhysicalCommandFlags = SC_ADDRESS_FLAG_COMMANDS | SC_ADDRESS_FLAG_PHYSICAL;
constexpr uint8_t kLogicalCommandFlags = SC_ADDRESS_FLAG_COMMANDS | SC_ADDRESS_FLAG_LOGICAL;

uint16_t PhysicalTypeCode(uint8_t deviceType, uint8_t flags)
{
    static const uint16_t kCodes[] = {SC_DEVICE_TYPE_PHYSICAL_DRIVE, SC_DEVICE_TYPE_EXPANDER,
                                      SC_DEVICE_TYPE_ENCLOSURE,      SC_DEVICE_TYPE_REPORTED_TYPE7,
                                      SC_DEVICE_TYPE_REPORTED_TYPE8, SC_DEVICE_TYPE_OTHER};
    const SC_PhysicalKind kind = scPhysicalKind(deviceType);
    if (kind == SC_PHYSICAL_KIND_DRIVE && (flags & SC_LUN_FLAG_BIT0)) return SC_DEVICE_TYPE_PHYSICAL_DRIVE_FLAGGED;
    return kCodes[kind];
}

uint16_t PhysicalDriveIndex(const uint8_t* entry)
{
    const uint8_t* lun = entry;
    if (entry[SC_LUN_ENTRY_DEVICE_TYPE] == SC_LUN_DEVICE_TYPE7) return lun[0];
    if ((lun[SC_LUN_BYTE_MODE] & SC_LUN_MODE_MASK) == 0)
        return (uint16_t)((((lun[SC_LUN_BYTE_BUS] & SC_LUN_MODE_MASK) << 8) + lun[SC_LUN_BYTE_TARGET] - 256) & 0xFFFF);
    return 0;
}

// A copy of the controller's descriptor with flags, LUN address, type code and index rewritten.
// Null when the copy cannot be made or the controller lacks one of the three entries.
SC_DeviceDescriptor* DeriveDescriptor(const SC_DeviceDescriptor* controller, uint8_t flags, const uint8_t lun[8],
                                      uint16_t typeCode, uint16_t index)
{
    uint8_t address[SC_ADDRESS_SIZE];
    if (SC_GetDeviceSystemProperty(controller, SC_PROPERTY_PROTOCOL_ADDRESS, address, sizeof(address)) != 0)
        return nullptr;
    SC_DeviceDescriptor* d = SC_CopyDeviceDescriptor(controller);
    if (d == nullptr) return nullptr;
    address[SC_ADDRESS_FLAGS] = flags;
    if (lun != nullptr) std::memcpy(address + SC_ADDRESS_LUNADDR, lun, 8);
    uint8_t type[2], idx[2];
    SC_PutLE16(type, typeCode);
    SC_PutLE16(idx, index);
    uint16_t addressLength = SC_GetDeviceSystemPropertySize(controller, SC_PROPERTY_PROTOCOL_ADDRESS);
    if (!scSetDeviceSystemProperty(d, SC_PROPERTY_PROTOCOL_ADDRESS, address, addressLength) ||
        !scSetDeviceSystemProperty(d, SC_PROPERTY_DEVICE_TYPE, type, 2) ||
        !scSetDeviceSystemProperty(d, SC_PROPERTY_DEVICE_INDEX, idx, 2)) {
        SC_DestroyDeviceDescriptor(d);
        return nullptr;
    }
    return d;
}

void Append(SC_DescriptorList* list, SC_DeviceDescriptor* d)
{
    if (d != nullptr && !scAppendDescriptor(list, d)) SC_DestroyDeviceDescriptor(d);
}

uint16_t DeviceTypeOf(const SC_DeviceDescriptor* d)
{
    uint8_t value[2];
    return SC_GetDeviceSystemProperty(d, SC_PROPERTY_DEVICE_TYPE, value, sizeof(value)) == 0 ? SC_GetLE16(value) : 0;
}

// A list with one descriptor per requested number, in the order asked: matches(entry, number) picks
// the report entry, make(entry or null, number) derives the descriptor.
template <typename Matches, typename Make>
SC_DescriptorList* ByRequestedNumbers(const SC_DeviceDescriptor* controller,
                                      uint8_t* (*fetchReport)(const SC_DeviceDescriptor*), const uint16_t* numbers,
                                      uint32_t count, Matches matches, Make make)
{
    SC_DescriptorList* list = scCreateEmptyDescriptorList();
    if (list == nullptr) return nullptr;
    uint8_t* report = fetchReport(controller);
    if (report == nullptr || numbers == nullptr) {
        _SA_free(report, __FILE__, __LINE__);
        return list;
    }
    uint32_t entries = ReportEntries(report);
    for (uint32_t r = 0; r < count; ++r) {
        const uint8_t* match = nullptr;
        for (uint32_t i = 0; i < entries && match == nullptr; ++i) {
            if (matches(ReportEntry(report, i), numbers[r])) match = ReportEntry(report, i);
        }
        Append(list, make(match, numbers[r]));
    }
    _SA_free(report, __FILE__, __LINE__);
    return list;
}

SC_DescriptorList* PhysicalByIndex(const SC_DeviceDescriptor* controller, const uint16_t* indices, uint32_t count,
                                   bool (*wanted)(uint8_t))
{
    return ByRequestedNumbers(
        controller, CISS_Report_PhysicalEx, indices, count,
        [wanted](const uint8_t* e, uint16_t index) {
            return wanted(e[SC_LUN_ENTRY_DEVICE_TYPE]) && PhysicalDriveIndex(e) == index;
        },
        [controller](const uint8_t* match, uint16_t index) {
            if (match == nullptr)
                return DeriveDescriptor(controller, kPhysicalFlags, nullptr, DeviceTypeOf(controller), index);
            uint16_t code = PhysicalTypeCode(match[SC_LUN_ENTRY_DEVICE_TYPE], match[SC_LUN_ENTRY_FLAGS]);
            uint8_t flags = code == SC_DEVICE_TYPE_EXPANDER ? kPhysicalFlags : kPhysicalCommandFlags;
            return DeriveDescriptor(controller, flags, match, code, index);
        });
}

SC_DeviceDescriptor* UnreportedLogical(const SC_DeviceDescriptor* controller, uint16_t number)
{
    uint8_t lun[8] = {0};
    SC_PutLE16(lun, number);
    lun[SC_LUN_BYTE_LOGICAL] = SC_LUN_LOGICAL_UNREPORTED;
    return DeriveDescriptor(controller, kLogicalCommandFlags, lun, SC_DEVICE_TYPE_LOGICAL_DRIVE, number);
}

SC_DeviceDescriptor* ReportedLogical(const SC_DeviceDescriptor* controller, const uint8_t* entry)
{
    uint16_t code = entry[SC_LUN_BYTE_LOGICAL] == SC_LUN_LOGICAL_KIND1 ? SC_DEVICE_TYPE_LOGICAL_DRIVE_KIND1
                                                                       : SC_DEVICE_TYPE_LOGICAL_DRIVE;
    return DeriveDescriptor(controller, kLogicalCommandFlags, entry, code, SC_GetLE16(entry));
}
}  // namespace

SC_DescriptorList* SC_CreateAllPhysicalDeviceDescriptorList(const SC_DeviceDescriptor* controller)
{
    SC_DescriptorList* list = scCreateEmptyDescriptorList();
    if (list == nullptr) return nullptr;
    // Controllers enumerated through CSMI have no LUN report; this platform never produces them.
    if (DeviceTypeOf(controller) != SC_DEVICE_TYPE_CONTROLLER) return list;
    uint8_t* report = CISS_Report_PhysicalEx(controller);
    if (report == nullptr) return list;
    uint32_t entries = ReportEntries(report);
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t* e = ReportEntry(report, i);
        Append(list, DeriveDescriptor(controller, kPhysicalCommandFlags, e,
                                      PhysicalTypeCode(e[SC_LUN_ENTRY_DEVICE_TYPE], e[SC_LUN_ENTRY_FLAGS]),
                                      PhysicalDriveIndex(e)));
    }
    _SA_free(report, __FILE__, __LINE__);
    return list;
}

SC_DescriptorList* SC_CreatePhysicalDriveDescriptorList(const SC_DeviceDescriptor* controller, const uint16_t* indices,
                                                        uint32_t count)
{
    return PhysicalByIndex(controller, indices, count,
                           [](uint8_t t) { return t == SC_LUN_DEVICE_DRIVE1 || t == SC_LUN_DEVICE_DRIVE2; });
}

SC_DescriptorList* SC_CreateSEPDescriptorList(const SC_DeviceDescriptor* controller, const uint16_t* indices,
                                              uint32_t count)
{
    return PhysicalByIndex(controller, indices, count, [](uint8_t t) { return t == SC_LUN_DEVICE_ENCLOSURE; });
}

SC_DescriptorList* SC_CreateAllLogicalDeviceDescriptorList(const SC_DeviceDescriptor* controller)
{
    SC_DescriptorList* list = scCreateEmptyDescriptorList();
    if (list == nullptr) return nullptr;
    uint8_t* report = CISS_Report_LogicalEx(controller);
    if (report == nullptr) return list;
    uint32_t entries = ReportEntries(report);
    for (uint32_t i = 0; i < entries; ++i) Append(list, ReportedLogical(controller, ReportEntry(report, i)));
    _SA_free(report, __FILE__, __LINE__);
    return list;
}

SC_DescriptorList* SC_CreateLogicalDeviceDescriptorList(const SC_DeviceDescriptor* controller, const uint16_t* numbers,
                                                        uint32_t count)
{
    return ByRequestedNumbers(
        controller, CISS_Report_LogicalEx, numbers, count,
        [](const uint8_t* e, uint16_t number) { return SC_GetLE16(e) == number; },
        [controller](const uint8_t* match, uint16_t number) {
            return match != nullptr ? ReportedLogical(controller, match) : UnreportedLogical(controller, number);
        });
}

SC_DeviceDescriptor* SC_CreateSingleLogicalDeviceDescriptor(const SC_DeviceDescriptor* controller, uint16_t number)
{
    return UnreportedLogical(controller, number);
}
