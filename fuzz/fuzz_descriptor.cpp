// Arbitrary bytes as a device descriptor: every property lookup, the size queries, the transport's
// decoders, copying and in-place rewriting. The block is exactly as large as the larger of the input
// and its own size field claims (zero-padded), so any read beyond it is reported.
//
// Input: one byte choosing the lookup buffer size (bits 0-4) and an extra tag to look up (bits 5-7
// give 0x10 + n), then the descriptor bytes.

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "sysc.h"

using fuzz_support::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 0xFFFF) return 0;
    const uint32_t lookupSize = data[0] & 31;
    const uint8_t extraTag = 0x10 + (data[0] >> 5);
    ++data;
    --size;
    uint8_t head[2] = {0, 0};
    std::memcpy(head, data, size < 2 ? size : 2);
    uint16_t claimed = SC_GetLE16(head);
    // A size field far beyond the input would only add zero padding to scan: it is taken as the
    // input's size instead.
    if (claimed > size + 256) claimed = (uint16_t)size;
    size_t blockSize = size > claimed ? size : claimed;
    if (blockSize < 2) blockSize = 2;
    uint8_t* descriptor = static_cast<uint8_t*>(std::calloc(1, blockSize));
    std::memcpy(descriptor, data, size);
    SC_PutLE16(descriptor, claimed);
    require(SC_GetDeviceDescriptorSize(descriptor) == claimed, "size field");

    std::vector<uint8_t> buffer(lookupSize + 1);
    // The tags the libraries look up, and one that nothing writes.
    const uint8_t tags[] = {0, 1, 2, 3, 4, 5, 6, 0x40, 0x41, 0x42, 0x43, 0x82, 0xFF, extraTag};
    for (uint8_t tag : tags) {
        const uint16_t valueSize = SC_GetDeviceSystemPropertySize(descriptor, tag);
        std::memset(buffer.data(), 0xA5, buffer.size());
        const uint8_t r = SC_GetDeviceSystemProperty(descriptor, tag, buffer.data(), lookupSize);
        require(r <= 2, "lookup result");
        // The value must lie inside the descriptor's own bytes.
        if (valueSize > 0) require(valueSize + 6u <= claimed, "value inside the descriptor");
        if (r == 2) require(valueSize > lookupSize, "too small only when longer");
        if (r == 0) require(valueSize <= lookupSize, "copied value fits");
        if (r != 0)
            for (uint32_t i = 0; i < lookupSize; ++i) require(buffer[i] == 0, "buffer zeroed unless found");
        require(buffer[lookupSize] == 0xA5, "nothing written past the buffer");
    }

    uint16_t protocol = 0xBEEF;
    uint8_t* address = static_cast<uint8_t*>(std::malloc(lookupSize + 1));
    __DecodeDeviceProtocolInfo(descriptor, &protocol, address, (uint16_t)lookupSize);
    std::free(address);
    char* node = static_cast<char*>(std::malloc(lookupSize + 1));
    if (__DecodeDeviceNodeName(descriptor, node, lookupSize + 1) == 1)
        require(
            node[lookupSize] == 0 || SC_GetDeviceSystemPropertySize(descriptor, SC_PROPERTY_DEVICE_NODE) > lookupSize,
            "node name zero-filled");
    std::free(node);
    _SC_GetDeviceProtocol(descriptor);
    SC_CanExecuteBMICCommand(descriptor);
    SC_CanExecuteSCSICommand(descriptor);

    SC_DeviceDescriptor* copy = SC_CopyDeviceDescriptor(descriptor);
    if (claimed > 0) {
        require(copy != nullptr && std::memcmp(copy, descriptor, claimed) == 0, "copy");
        uint8_t value[2] = {0x34, 0x12};
        if (scSetDeviceSystemProperty(copy, SC_PROPERTY_DEVICE_TYPE, value, 2) == 1) {
            uint8_t back[2];
            require(SC_GetDeviceSystemProperty(copy, SC_PROPERTY_DEVICE_TYPE, back, 2) == 0 && back[0] == 0x34 &&
                        back[1] == 0x12,
                    "rewritten value reads back");
        }
    }
    SC_DestroyDeviceDescriptor(copy);
    std::free(descriptor);
    return 0;
}
