// The pure decoders behind the controller properties, over arbitrary identify and subsystem replies:
// interface level, PCI values, slot number, firmware revision, printable prefix, trimmed fields and
// the number texts. Destinations are exactly-sized heap blocks, so any write past them is reported.
//
// Input: 8 parameter bytes (p0 destination size, p1 flags, p2 field offset, p3 field length, p4 base,
// p5-p6 controller-parameters total length, p7 slot options), then the identify reply (zero-padded
// or cut to 647 bytes).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "storc_decode.h"

using fuzz_support::require;
using fuzz_support::terminatedWithin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8) return 0;
    const uint8_t* p = data;
    std::vector<uint8_t> identify(SA_IDENTIFY_CONTROLLER_SIZE, 0);
    std::memcpy(identify.data(), data + 8, size - 8 < identify.size() ? size - 8 : identify.size());
    const uint8_t* id = identify.data();
    const size_t destinationSize = 1 + p[0] % 64;
    std::vector<char> destination(destinationSize);

    // Interface level: 0 exactly when the fixed structure is 275 bytes or less.
    const uint32_t fixed = saIdentifyFixedLength(id);
    const uint8_t level = saIdentifyLevel(fixed, SC_GetLE16(p + 5));
    require(level <= 5 && (level == 0) == (fixed <= 275), "identify level");

    for (uint8_t kind = 0; kind <= 7; ++kind) {
        uint32_t value = 1;
        SA_PCIValueResult r = saDecodePCIValue(id, kind, &value);
        require(r == SA_PCI_VALUE_OK || value == 0, "PCI value is 0 unless reported");
        require((kind >= 1 && kind <= 6) == (r != SA_PCI_VALUE_INVALID_KIND), "PCI value kinds");
    }

    // Firmware revision: at most the 4 characters, terminated.
    char* text = saCopyFirmwareRevision(id, destination.data(), destinationSize);
    require(terminatedWithin(text, destinationSize) && std::strlen(text) <= SA_ID_LEN_FIRMWARE_REV, "firmware");

    // Any field of the reply as a fixed-width controller field.
    const size_t offset = p[2] * 2u;
    const size_t length =
        p[3] % 64 < SA_IDENTIFY_CONTROLLER_SIZE - offset ? p[3] % 64 : SA_IDENTIFY_CONTROLLER_SIZE - offset;
    const char* field = reinterpret_cast<const char*>(id + offset);
    text = saCopyPrintablePrefix(field, length, destination.data(), destinationSize);
    require(terminatedWithin(text, destinationSize) && std::strlen(text) <= length, "printable prefix");
    for (const char* c = text; *c != '\0'; ++c) require(*c >= 0x20 && *c < 0x7F, "printable prefix characters");
    text = __SA_ConvertCharBufferToString(field, length, destination.data(), destinationSize, p[1] & 1, p[1] & 2,
                                          p[1] & 4);
    // The copy may fill the destination; a larger destination always ends terminated.
    if (destinationSize > length) {
        require(terminatedWithin(text, destinationSize), "trimmed field terminated");
        const size_t n = std::strlen(text);
        require(n <= length && (n == 0 || (text[0] != ' ' || !(p[1] & 1))), "trimmed field");
        // Trailing blanks go, unless a zero byte inside the field ended the copy first.
        if (n > 0 && (p[1] & 2) && std::memchr(field, 0, length) == nullptr)
            require(text[n - 1] != ' ', "trailing blanks trimmed");
    }

    // Slot number.
    SA_SlotInputs in = {};
    in.identify_valid = (p[7] & 1) != 0;
    in.identify = id;
    in.software_raid = (p[7] & 2) != 0;
    in.descriptor_slot_present = (p[7] & 4) != 0;
    in.descriptor_slot = SC_GetLE32(id + 600);
    uint32_t slot = 0, unknown = 0;
    saDecodeIdentifySlot(id, in.identify_valid, &slot, &unknown);
    require(unknown == 0xFF || unknown == 0xFFFF, "unknown slot value");
    text = saFormatSlot(in, destination.data(), destinationSize);
    require(terminatedWithin(text, destinationSize), "slot text terminated");

    // Number texts: decimal against the C library, other bases by their length.
    const unsigned long value = SC_GetLE32(id + 4) | ((unsigned long)SC_GetLE32(id + 8) << 32);
    char decimal[32], expected[32];
    std::snprintf(expected, sizeof(expected), "%lu", value);
    require(std::strcmp(SA_ultoa(value, decimal), expected) == 0, "decimal text");
    const unsigned base = p[4] % 37;
    std::vector<char> digits(8 * sizeof(unsigned long) + 1);
    const unsigned long shown = base == 1 ? value % digits.size() : value;
    if (base != 0) {
        __SA_ultoa(shown, digits.data(), base);
        require(terminatedWithin(digits.data(), digits.size()), "number text");
        if (base == 1) require(std::strlen(digits.data()) == shown, "base 1 length");
    }
    char location[16];
    saFormatPCILocation(SC_GetLE32(id + 12), location);
    require(terminatedWithin(location, sizeof(location)), "PCI location text");
    return 0;
}
