// The C library declares its assertion routine only while NDEBUG is unset; __SC_assert needs it in
// every build.
#undef NDEBUG
#include <cassert>

#include "sysc_debug.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sysc_platform.h"
#include "sysc_synchronization.h"

uint8_t _SC_DebugLogLevel = 0;
SC_DebugCallback _SC_LogCallback = nullptr;

namespace {
// Both tests run under the debug lock.
bool Deliverable(uint8_t level) { return level != 0 && level <= _SC_DebugLogLevel && _SC_LogCallback != nullptr; }

const char kDumpHeader[] =
    "\n"
    "0F 0E 0D 0C 0B 0A 09 08 07 06 05 04 03 02 01 00 |      | 0123456789ABCDEF\n"
    "----------------------------------------------- + ---- + ----------------\n";

// Hex digits "%04lX" prints for an offset.
size_t LabelWidth(unsigned long offset)
{
    size_t digits = 1;
    while (offset >= 16) {
        offset >>= 4;
        ++digits;
    }
    return digits < 4 ? 4 : digits;
}
}  // namespace

void SC_SetDebugCallback(SC_DebugCallback callback)
{
    _SC_MutexLock(&_SC_SysCoreDebugMutex, __FILE__, __LINE__);
    _SC_LogCallback = callback;
    _SC_MutexUnlock(&_SC_SysCoreDebugMutex, __FILE__, __LINE__);
}

void SC_SetDebugLogLevel(uint32_t level)
{
    _SC_MutexLock(&_SC_SysCoreDebugMutex, __FILE__, __LINE__);
    _SC_DebugLogLevel = (uint8_t)level;
    _SC_MutexUnlock(&_SC_SysCoreDebugMutex, __FILE__, __LINE__);
}

void SC_DebugLog(uint8_t level, const char* format, ...)
{
    _SC_MutexLock(&_SC_SysCoreDebugMutex, __FILE__, __LINE__);
    if (format != nullptr && Deliverable(level)) {
        va_list args;
        va_start(args, format);
        va_list measure;
        va_copy(measure, args);
        int needed = std::vsnprintf(nullptr, 0, format, measure);
        va_end(measure);
        if (needed >= 0) {
            char* text = (char*)_SA_malloc((size_t)needed + 1, __FILE__, __LINE__);
            if (text != nullptr) {
                std::vsnprintf(text, (size_t)needed + 1, format, args);
                _SC_LogCallback(level, text);
                _SA_free(text, __FILE__, __LINE__);
            }
        }
        va_end(args);
    }
    _SC_MutexUnlock(&_SC_SysCoreDebugMutex, __FILE__, __LINE__);
}

char* SC_FormatDataBuffer(const void* buffer, uint32_t length)
{
    const uint8_t* bytes = (const uint8_t*)buffer;
    if (bytes == nullptr) length = 0;
    // Size for the labels actually printed: each row is 70 characters plus its label.
    size_t size = sizeof(kDumpHeader);
    for (unsigned long row = 0; row < length; row += 16) size += 70 + LabelWidth(row);
    char* text = (char*)_SA_malloc(size, __FILE__, __LINE__);
    if (text == nullptr) return nullptr;
    std::memcpy(text, kDumpHeader, sizeof(kDumpHeader));
    size_t used = sizeof(kDumpHeader) - 1;

    char slots[49];
    char printable[17];
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t k = i % 16;
        if (k == 0) {
            std::memset(slots, ' ', 48);
            slots[48] = '\0';
        }
        char hex[4];
        std::snprintf(hex, sizeof(hex), "%02X ", bytes[i]);
        std::memcpy(slots + (15 - k) * 3, hex, 3);
        printable[k] = std::isprint(bytes[i]) ? (char)bytes[i] : '.';
        if (k == 15 || i + 1 == length) {
            printable[k + 1] = '\0';
            int n =
                std::snprintf(text + used, size - used, "%s| %04lX | %s\n", slots, (unsigned long)(i - k), printable);
            if (n > 0) used += (size_t)n;
        }
    }
    return text;
}

void SC_LogDataBuffer(uint8_t level, const void* buffer, uint32_t length)
{
    _SC_MutexLock(&_SC_SysCoreDebugMutex, __FILE__, __LINE__);
    if (Deliverable(level)) {
        char* text = SC_FormatDataBuffer(buffer, length);
        if (text != nullptr) {
            _SC_LogCallback(level, text);
            _SA_free(text, __FILE__, __LINE__);
        }
    }
    _SC_MutexUnlock(&_SC_SysCoreDebugMutex, __FILE__, __LINE__);
}

void __SC_assert(const char* condition, const char* message, const char* file, int line)
{
    char text[512];
    std::snprintf(text, sizeof(text), "%s, %s", condition ? condition : "", message ? message : "");
    __assert_fail(text, file, (unsigned int)line, "__SC_assert");
}
