// Controller property queries: identity texts, PCI values, PCI location and slot number.
#include <cstring>

#include "storc_internal.h"

namespace {

// One string query: the destination's parameter name, what it is for and the size test, as the
// assertion lines print them.
struct StringQuery {
    uint32_t limit;           // the destination must be larger than this
    const char* destination;  // parameter name
    const char* null_what;
    const char* size_test;
    const char* small_what;
    bool take_lock;
};

const StringQuery kSerialNumber = {
    SA_SSP_LEN_SERIAL_NUMBER,
    "serial_number_buffer",
    "ctrl s/n",
    "buffer_size > sizeof(cda->sense_subsystem_parameters_buffer.sControllerSerialNumber)",
    "ctrl s/n",
    true};
const StringQuery kVendorID = {SA_ID_LEN_VENDOR_ID, "vendor_id_buffer",
                               "ctrl vendor ID",    "buffer_size > sizeof(cda->identify_controller_buffer.sVendorID)",
                               "ctrl vendor ID",    true};
const StringQuery kProductID = {
    SA_ID_LEN_PRODUCT_ID, "product_id_buffer",
    "ctrl product ID",    "buffer_size > sizeof(cda->identify_controller_buffer.sProductID)",
    "ctrl product ID",    true};
const StringQuery kFirmwareVersion = {
    SA_ID_LEN_FIRMWARE_REV, "hardware_version_buffer",
    "ctrl fw version",      "buffer_size > sizeof(cda->identify_controller_buffer.sRAMFirmwareRev)",
    "ctrl fw version",      true};
const StringQuery kFamilyID = {SA_ID_LEN_FAMILY_ID, "family_id_buffer",
                               "ctrl family ID",    "buffer_size > sizeof(cda->identify_controller_buffer.sFamilyID)",
                               "ctrl family ID",    true};
// Reads only the CDA's own descriptor copy: no lock.
const StringQuery kPCILocation = {16,   "location_buffer", "PCI location", "buffer_size > 16", "ctrl PCI location",
                                  false};
const StringQuery kSlotNumber = {sizeof("UNKNOWN") - 1, "slot_number_buffer",
                                 "ctrl slot number",    "buffer_size >= sizeof(\"UNKNOWN\")",
                                 "ctrl slot number",    true};

// Common frame of the string queries. convert(cda, destination, size, fits) fills the zeroed
// destination when its source can be obtained; fits says the destination is larger than the limit.
template <typename Convert>
char* RunStringQuery(const StringQuery& q, const char* function, SA_CDA* cda, char* destination, uint32_t size,
                     Convert convert)
{
    if (destination == nullptr)
        SC_DebugLog(1, "%s: Assertion `%s != NULL' failed: Destination for %s NULL\n", function, q.destination,
                    q.null_what);
    if (size <= q.limit)
        SC_DebugLog(1, "%s: Assertion `%s' failed: Destination for %s not large enough\n", function, q.size_test,
                    q.small_what);
    if (destination == nullptr || size == 0) return destination;
    std::memset(destination, 0, size);
    if (cda == nullptr) return destination;
    if (q.take_lock) {
        SA_CDALockGuard lock(cda);
        convert(cda, destination, size, size > q.limit);
    } else {
        convert(cda, destination, size, size > q.limit);
    }
    return destination;
}

// A blank-padded text field of the identify reply whose length is the query's limit; family says
// the field also needs the controller's family-id support.
char* IdentifyText(const StringQuery& q, const char* function, SA_CDA* cda, char* destination, uint32_t size,
                   size_t offset, bool family)
{
    return RunStringQuery(q, function, cda, destination, size, [&](SA_CDA* c, char* d, uint32_t n, bool fits) {
        if (SA_RequestIdentifyControllerBuffer(c) && fits && (!family || SA_ControllerSupportsFamilyID(c)))
            __SA_ConvertCharBufferToString(reinterpret_cast<const char*>(c->identify_controller_buffer + offset),
                                           q.limit, d, n, 1, 1, 1);
    });
}

// Slot number stored in the descriptor (slot type starting with 'S' plus a 4-byte slot number).
bool DescriptorSlot(const SC_DeviceDescriptor* descriptor, uint32_t* slot)
{
    if (descriptor == nullptr) return false;
    uint8_t slot_type[4];
    if (SC_GetDeviceSystemProperty(descriptor, SC_PROPERTY_SLOT_TYPE, slot_type, sizeof(slot_type)) != 0 ||
        slot_type[0] != 'S')
        return false;
    uint8_t number[4];
    if (SC_GetDeviceSystemPropertySize(descriptor, SC_PROPERTY_SLOT_NUMBER) == 0 ||
        SC_GetDeviceSystemProperty(descriptor, SC_PROPERTY_SLOT_NUMBER, number, sizeof(number)) != 0)
        return false;
    *slot = SC_GetLE32(number);
    return true;
}

}  // namespace

char* SA_GetControllerSerialNumber(SA_CDA* cda, char* serial_number_buffer, uint32_t buffer_size)
{
    auto convert = [](SA_CDA* c, char* d, uint32_t n, bool fits) {
        if (SA_RequestSenseSubsystemParametersBuffer(c) && fits)
            saCopyPrintablePrefix(
                reinterpret_cast<const char*>(c->sense_subsystem_parameters_buffer + SA_SSP_OFF_SERIAL_NUMBER),
                SA_SSP_LEN_SERIAL_NUMBER, d, n);
    };
    return RunStringQuery(kSerialNumber, __func__, cda, serial_number_buffer, buffer_size, convert);
}

char* SA_GetControllerVendorID(SA_CDA* cda, char* vendor_id_buffer, uint32_t buffer_size)
{
    return IdentifyText(kVendorID, __func__, cda, vendor_id_buffer, buffer_size, SA_ID_OFF_VENDOR_ID, false);
}

char* SA_GetControllerProductID(SA_CDA* cda, char* product_id_buffer, uint32_t buffer_size)
{
    return IdentifyText(kProductID, __func__, cda, product_id_buffer, buffer_size, SA_ID_OFF_PRODUCT_ID, false);
}

char* SA_GetControllerFirmwareVersion(SA_CDA* cda, char* hardware_version_buffer, uint32_t buffer_size)
{
    auto convert = [](SA_CDA* c, char* d, uint32_t n, bool fits) {
        if (SA_RequestIdentifyControllerBuffer(c) && fits) saCopyFirmwareRevision(c->identify_controller_buffer, d, n);
    };
    return RunStringQuery(kFirmwareVersion, __func__, cda, hardware_version_buffer, buffer_size, convert);
}

char* SA_GetControllerFamilyID(SA_CDA* cda, char* family_id_buffer, uint32_t buffer_size)
{
    return IdentifyText(kFamilyID, __func__, cda, family_id_buffer, buffer_size, SA_ID_OFF_FAMILY_ID, true);
}

char* SA_GetControllerPCILocation(SA_CDA* cda, char* location_buffer, uint32_t buffer_size)
{
    auto convert = [](SA_CDA* c, char* d, uint32_t, bool fits) {
        if (!fits) return;
        uint8_t value[4];
        if (c->device_descriptor != nullptr &&
            SC_GetDeviceSystemProperty(c->device_descriptor, SC_PROPERTY_PCI_LOCATION, value, sizeof(value)) == 0)
            saFormatPCILocation(SC_GetLE32(value), d);
        else
            std::strcpy(d, "UNKNOWN");
    };
    return RunStringQuery(kPCILocation, __func__, cda, location_buffer, buffer_size, convert);
}

char* SA_GetControllerSlotNumber(SA_CDA* cda, char* slot_number_buffer, uint32_t buffer_size)
{
    auto convert = [](SA_CDA* c, char* d, uint32_t n, bool fits) {
        if (!fits) return;
        SA_SlotInputs in = {};
        in.identify_valid = SA_RequestIdentifyControllerBuffer(c) != 0;
        in.identify = c->identify_controller_buffer;
        uint32_t slot = 0;
        uint32_t unknown = 0;
        saDecodeIdentifySlot(in.identify, in.identify_valid, &slot, &unknown);
        // The software RAID test may read the feature pages: only ask when it can matter.
        in.software_raid = in.identify_valid && slot == 31 && SA_ControllerIsSoftwareRAID(c);
        if (slot == unknown) in.descriptor_slot_present = DescriptorSlot(c->device_descriptor, &in.descriptor_slot);
        saFormatSlot(in, d, n);
    };
    return RunStringQuery(kSlotNumber, __func__, cda, slot_number_buffer, buffer_size, convert);
}

uint32_t SA_GetControllerPCIValue(SA_CDA* cda, uint8_t pci_value)
{
    static const char* const kNotReported[] = {
        "%s: Assertion `cda->identify_controller_buffer.dwFixedStructureLength > 365' failed: Ctrl does not report "
        "PCI vendor/device id values\n",
        "%s: Assertion `cda->identify_controller_buffer.dwFixedStructureLength > 369' failed: Ctrl does not report "
        "PCI SS vendor/device id values\n",
        "%s: Assertion `cda->identify_controller_buffer.dwFixedStructureLength > 373' failed: Ctrl does not report "
        "PCI max link rate value\n",
        "%s: Assertion `cda->identify_controller_buffer.dwFixedStructureLength > 377' failed: Ctrl does not report "
        "PCI max link width value\n",
        "%s: Assertion `cda->identify_controller_buffer.dwFixedStructureLength > 290' failed: Ctrl does not report "
        "PCI generation value\n",
        "%s: Assertion `cda->identify_controller_buffer.dwFixedStructureLength > 291' failed: Ctrl does not report "
        "PCI width value\n",
    };
    if (cda == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    if (!SA_RequestIdentifyControllerBuffer(cda)) return 0;
    uint32_t value = 0;
    switch (saDecodePCIValue(cda->identify_controller_buffer, pci_value, &value)) {
    case SA_PCI_VALUE_OK:
        return value;
    case SA_PCI_VALUE_NOT_REPORTED:
        SC_DebugLog(1, kNotReported[pci_value - 1], __func__);
        return 0;
    case SA_PCI_VALUE_INVALID_KIND:
        SC_DebugLog(1, "Invalid pci_value parameter.\n");
        return 0;
    }
    return 0;
}
