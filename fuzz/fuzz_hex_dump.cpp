// The hex dump of the debug log over arbitrary buffers, parsed back: three header lines, one row per
// 16 bytes with the bytes right to left in their slots, the offset label (four or more hex digits)
// and the printable part. The text must be exactly as long as what was printed (it is allocated for
// the labels actually printed, also for offsets of 0x10000 and beyond).
//
// Input: one byte r, then the data; the buffer dumped is the data repeated (r & 7) + 1 times, so that
// inputs of libFuzzer's size reach the labels of five digits.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sysc.h"

using fuzz_support::require;

namespace {
const char kHeader[] =
    "\n0F 0E 0D 0C 0B 0A 09 08 07 06 05 04 03 02 01 00 |      | 0123456789ABCDEF\n"
    "----------------------------------------------- + ---- + ----------------\n";

size_t g_delivered = 0;
void countingCallback(uint8_t level, const char* text)
{
    fuzz_support::checkingDebugCallback(level, text);
    g_delivered = std::strlen(text);
}

void checkDump(const char* text, const std::vector<uint8_t>& bytes)
{
    require(text != nullptr, "dump text");
    const size_t headerLength = sizeof(kHeader) - 1;
    require(std::strncmp(text, kHeader, headerLength) == 0, "dump header");
    const char* p = text + headerLength;
    for (size_t row = 0; row < bytes.size(); row += 16) {
        const size_t count = bytes.size() - row < 16 ? bytes.size() - row : 16;
        for (size_t slot = 0; slot < 16; ++slot) {
            const size_t k = 15 - slot;  // row offset shown in this slot
            if (k < count) {
                char hex[4];
                std::snprintf(hex, sizeof(hex), "%02X ", bytes[row + k]);
                require(std::strncmp(p, hex, 3) == 0, "byte in its slot");
            } else {
                require(std::strncmp(p, "   ", 3) == 0, "blank slot");
            }
            p += 3;
        }
        char label[32];
        const int n = std::snprintf(label, sizeof(label), "| %04lX | ", (unsigned long)row);
        require(std::strncmp(p, label, (size_t)n) == 0, "row label");
        p += n;
        for (size_t k = 0; k < count; ++k, ++p)
            require(*p == (std::isprint(bytes[row + k]) ? (char)bytes[row + k] : '.'), "printable part");
        require(*p++ == '\n', "row end");
    }
    require(*p == '\0', "nothing after the last row");
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    InitializeSysCore(SC_HEADER_CHECKSUM);
    SC_SetDebugCallback(countingCallback);
    SC_SetDebugLogLevel(3);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const unsigned repeat = (data[0] & 7) + 1;
    std::vector<uint8_t> bytes;
    bytes.reserve((size - 1) * repeat);
    for (unsigned r = 0; r < repeat; ++r) bytes.insert(bytes.end(), data + 1, data + size);

    char* text = SC_FormatDataBuffer(bytes.empty() ? nullptr : bytes.data(), (uint32_t)bytes.size());
    checkDump(text, bytes);
    const size_t length = std::strlen(text);
    _SA_free(text, __FILE__, __LINE__);

    g_delivered = 0;
    SC_LogDataBuffer(3, bytes.data(), (uint32_t)bytes.size());
    require(g_delivered == length, "delivered dump is the formatted one");
    return 0;
}
