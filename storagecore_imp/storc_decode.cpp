// Pure decoders of BMIC replies and text conversions (see storc_decode.h).
#include "storc_decode.h"

#include <cstring>

uint8_t saIdentifyLevel(uint32_t fixed_structure_length, uint32_t ctrl_params_total_length)
{
    const uint32_t len = fixed_structure_length;
    if (len <= SA_ID_FIXED_LENGTH_UNSUPPORTED) return 0;
    if (len <= SA_ID_FIXED_LENGTH_LEVEL1) return 1;
    if (len <= SA_ID_FIXED_LENGTH_LEVEL2) return 2;
    if (len == SA_ID_FIXED_LENGTH_LEVEL3) return 3;
    if (len <= SA_ID_FIXED_LENGTH_LEVEL4) return 4;
    return ctrl_params_total_length < SA_SCP_TOTAL_LENGTH_LEVEL5 ? 4 : 5;
}

// ---- Feature pages ----

namespace {

// Slot sizes are page header plus data capacity; offsets follow from the order.
constexpr SA_FeatureSlot kSlots[SA_FEATURE_SLOT_COUNT] = {
    {0x01, 0x01, "page_cache", 0, 5},
    {0x01, 0x02, "page_lu_cache", 5, 24},
    {0x02, 0x01, "page_raid", 29, 12},
    {0x03, 0x01, "page_backup", 41, 5},
    {0x04, 0x01, "page_background", 46, 7},
    {0x04, 0x02, "page_background_erase", 53, 7},
    {0x05, 0x01, "page_connectivity", 60, 8},
    {0x06, 0x01, "page_drive", 68, 7},
    {0x07, 0x01, "page_encryption", 75, 5},
    {0x08, 0x01, "page_io", 80, 5},
    {0x09, 0x01, "page_power_management", 85, 6},
    {0x0A, 0x01, "page_software_raid", 91, 5},
    {0x0B, 0x01, "page_colossus", 96, 5},
    {0x0C, 0x01, "page_miscellaneous", 101, 9},
    {0x0D, 0x01, "page_nvme", 110, 8},
    {0x0E, 0x02, "page_perform_device_mgmt", 118, 9},
    {0x0E, 0x03, "page_oob_command", 127, 9},
    {0x0E, 0x04, "page_id_controller", 136, 8},
    {0x0E, 0x05, "page_set_controller_params", 144, 8},
};

constexpr bool SlotsAreContiguous()
{
    unsigned next = 0;
    for (const auto& s : kSlots) {
        if (s.offset != next) return false;
        next += s.size;
    }
    return next == SA_SENSE_FEATURE_CACHE_SIZE;
}
static_assert(SlotsAreContiguous(), "feature slots must tile the 152-byte cache");

void AddEvent(SA_FeatureWalkResult* r, SA_FeatureEventKind kind, uint8_t page, uint8_t subpage, uint8_t slot,
              uint32_t length)
{
    if (r->event_count >= SA_FEATURE_MAX_EVENTS) return;
    r->events[r->event_count++] = SA_FeatureEvent{kind, page, subpage, slot, length};
}

}  // namespace

const SA_FeatureSlot* saFeatureSlots() { return kSlots; }

int saFindFeatureSlot(uint8_t page, uint8_t subpage)
{
    for (unsigned i = 0; i < SA_FEATURE_SLOT_COUNT; ++i)
        if (kSlots[i].page == page && kSlots[i].subpage == subpage) return static_cast<int>(i);
    return -1;
}

void saWalkFeaturePages(const uint8_t* reply, uint8_t* cache, SA_FeatureWalkResult* result)
{
    std::memset(result, 0, sizeof(*result));
    std::memset(cache, 0, SA_SENSE_FEATURE_CACHE_SIZE);

    const uint32_t total = saGetLE16(reply, SA_SF_OFF_TOTAL_LENGTH);
    const uint32_t capacity = SA_SENSE_FEATURE_REPLY_SIZE - SA_SF_STARTING_HEADER_SIZE;
    if (total > capacity) AddEvent(result, SA_FEATURE_TOTAL_TOO_LONG, 0, 0, 0, total);
    // Whatever the header claims, only the pages inside the reply are walked.
    const uint32_t walk_length = total < capacity ? total : capacity;

    uint32_t consumed = 0;
    while (consumed < walk_length && walk_length - consumed > SA_SF_PAGE_HEADER_SIZE) {
        const uint8_t* page_header = reply + SA_SF_STARTING_HEADER_SIZE + consumed;
        const uint8_t page = page_header[0];
        const uint8_t subpage = page_header[1];
        const uint32_t page_length = saGetLE16(page_header, 2);
        const uint32_t page_size = page_length + SA_SF_PAGE_HEADER_SIZE;

        if (page_size <= walk_length - consumed) {
            const int slot = saFindFeatureSlot(page, subpage);
            if (slot >= 0) {
                const SA_FeatureSlot& s = kSlots[slot];
                if (page_length > s.size - SA_SF_PAGE_HEADER_SIZE)
                    AddEvent(result, SA_FEATURE_PAGE_TOO_LONG, page, subpage, static_cast<uint8_t>(slot), page_length);
                std::memset(cache + s.offset, 0, s.size);
                std::memcpy(cache + s.offset, page_header, page_size < s.size ? page_size : s.size);
                ++result->pages_stored;
            } else if (!(page == 0x0E && subpage == 0x01)) {
                AddEvent(result, SA_FEATURE_UNKNOWN_PAGE, page, subpage, 0, page_length);
            }
        }
        consumed += page_size;
    }
}

// ---- PCI values ----

SA_PCIValueResult saDecodePCIValue(const uint8_t* identify, uint8_t kind, uint32_t* value)
{
    *value = 0;
    // A value is reported when the fixed structure reaches past its first byte.
    switch (kind) {
    case PCI_VALUE_VENDOR_DEVICE:
    case PCI_VALUE_SUBSYSTEM_VENDOR_DEVICE: {
        const bool subsystem = kind == PCI_VALUE_SUBSYSTEM_VENDOR_DEVICE;
        const size_t device = subsystem ? SA_ID_OFF_PCI_SUB_DEVICE : SA_ID_OFF_PCI_DEVICE;
        const size_t vendor = subsystem ? SA_ID_OFF_PCI_SUB_VENDOR : SA_ID_OFF_PCI_VENDOR;
        if (saIdentifyFixedLength(identify) <= device) return SA_PCI_VALUE_NOT_REPORTED;
        *value = (static_cast<uint32_t>(saGetLE16(identify, vendor)) << 16) + saGetLE16(identify, device);
        return SA_PCI_VALUE_OK;
    }
    case PCI_VALUE_MAX_LINK_RATE:
    case PCI_VALUE_MAX_LINK_WIDTH: {
        const size_t offset =
            kind == PCI_VALUE_MAX_LINK_RATE ? SA_ID_OFF_PCI_MAX_LINK_RATE : SA_ID_OFF_PCI_MAX_LINK_WIDTH;
        if (saIdentifyFixedLength(identify) <= offset) return SA_PCI_VALUE_NOT_REPORTED;
        *value = saGetLE32(identify, offset);
        return SA_PCI_VALUE_OK;
    }
    case PCI_VALUE_GENERATION:
    case PCI_VALUE_LINK_WIDTH: {
        const size_t offset = kind == PCI_VALUE_GENERATION ? SA_ID_OFF_PCI_GENERATION : SA_ID_OFF_PCI_LINK_WIDTH;
        if (saIdentifyFixedLength(identify) <= offset) return SA_PCI_VALUE_NOT_REPORTED;
        *value = identify[offset];
        return SA_PCI_VALUE_OK;
    }
    default:
        return SA_PCI_VALUE_INVALID_KIND;
    }
}

// ---- Text conversions ----

char* __SA_ultoa(unsigned long value, char* destination, unsigned base)
{
    if (destination == nullptr || base == 0) return destination;
    if (base == 1) {
        unsigned long i = 0;
        for (; i < value; ++i) destination[i] = '1';
        destination[i] = '\0';
        return destination;
    }
    char reversed[8 * sizeof(unsigned long) + 1];
    size_t n = 0;
    do {
        const unsigned digit = static_cast<unsigned>(value % base);
        reversed[n++] = static_cast<char>(digit < 10 ? '0' + digit : 'A' + (digit - 10));
        value /= base;
    } while (value != 0);
    for (size_t i = 0; i < n; ++i) destination[i] = reversed[n - 1 - i];
    destination[n] = '\0';
    return destination;
}

char* SA_ultoa(unsigned long value, char* destination) { return __SA_ultoa(value, destination, 10); }

char* __SA_ConvertCharBufferToString(const char* source, size_t source_length, char* destination,
                                     size_t destination_size, int skip_leading_blanks, int trim_trailing_blanks,
                                     int accept_any_character)
{
    if (destination == nullptr || destination_size == 0) return destination;
    std::memset(destination, 0, destination_size);
    if (source == nullptr || source_length == 0) return destination;

    size_t start = 0;
    if (skip_leading_blanks)
        while (start < source_length && source[start] == ' ') ++start;
    if (start == source_length || source[start] == '\0') return destination;

    size_t end = source_length;
    while (end > start && (source[end - 1] == '\0' || (trim_trailing_blanks && source[end - 1] == ' '))) --end;

    size_t out = 0;
    for (size_t i = start; i < end && out < destination_size; ++i) {
        const char c = source[i];
        if (c == '\0') break;
        if (!accept_any_character) {
            const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
            if (!alnum) break;
        }
        destination[out++] = c;
    }
    return destination;
}

char* saCopyPrintablePrefix(const char* source, size_t source_length, char* destination, size_t destination_size)
{
    if (destination == nullptr || destination_size == 0) return destination;
    size_t out = 0;
    for (size_t i = 0; i < source_length && out + 1 < destination_size; ++i) {
        const signed char c = static_cast<signed char>(source[i]);
        if (c < 0x20 || c == 0x7F) break;
        destination[out++] = static_cast<char>(c);
    }
    destination[out] = '\0';
    return destination;
}

char* saCopyFirmwareRevision(const uint8_t* identify, char* destination, size_t destination_size)
{
    if (destination == nullptr || destination_size == 0) return destination;
    size_t out = 0;
    for (size_t i = 0; i < SA_ID_LEN_FIRMWARE_REV && out + 1 < destination_size; ++i) {
        const char c = static_cast<char>(identify[SA_ID_OFF_FIRMWARE_REV + i]);
        if (c == '\0') break;
        destination[out++] = c;
    }
    destination[out] = '\0';
    return destination;
}

char* saFormatPCILocation(uint32_t location, char* destination)
{
    static const char* const separators[] = {":", ":", ".", ""};
    char* p = destination;
    for (int i = 0; i < 4; ++i) {
        SA_ultoa((location >> (8 * (3 - i))) & 0xFFu, p);
        p += std::strlen(p);
        std::strcpy(p, separators[i]);
        p += std::strlen(p);
    }
    return destination;
}

// ---- Slot number ----

void saDecodeIdentifySlot(const uint8_t* identify, bool valid, uint32_t* slot, uint32_t* unknown)
{
    const bool new_layout = identify != nullptr && saIdentifyFixedLength(identify) > SA_ID_OFF_SLOT_NEW;
    *unknown = new_layout ? 0xFFFFu : 0xFFu;
    if (!valid || identify == nullptr)
        *slot = *unknown;
    else
        *slot = new_layout ? saGetLE16(identify, SA_ID_OFF_SLOT_NEW) : identify[SA_ID_OFF_SLOT_OLD];
}

char* saFormatSlot(const SA_SlotInputs& in, char* destination, size_t destination_size)
{
    if (destination == nullptr || destination_size == 0) return destination;

    uint32_t slot = 0;
    uint32_t unknown = 0;
    saDecodeIdentifySlot(in.identify, in.identify_valid, &slot, &unknown);

    char text[16] = {};
    if (in.identify_valid && in.software_raid && slot == 31)
        std::strcpy(text, "0b");
    else if (slot != unknown)
        SA_ultoa(slot, text);
    else if (in.descriptor_slot_present)
        SA_ultoa(in.descriptor_slot, text);
    else
        std::strcpy(text, "UNKNOWN");

    if (std::strlen(text) >= destination_size)
        std::strcpy(text, std::strlen("UNKNOWN") < destination_size ? "UNKNOWN" : "");
    std::strcpy(destination, text);
    return destination;
}
