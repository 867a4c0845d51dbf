// Levelled debug log of the system and storage cores. The cores never write files or the console:
// finished text goes to a callback installed by the application.
// Levels: 0 silent, 1 failures and assertion lines, 2 notes, 3 command traces.
#ifndef SYSC_DEBUG_H
#define SYSC_DEBUG_H

#include <cstdint>

typedef void (*SC_DebugCallback)(uint8_t level, const char* text);

extern uint8_t _SC_DebugLogLevel;
extern SC_DebugCallback _SC_LogCallback;

// Installs the callback (null silences the log) under the debug lock.
void SC_SetDebugCallback(SC_DebugCallback callback);
// Stores the low 8 bits of level under the debug lock.
void SC_SetDebugLogLevel(uint32_t level);
// Formats and delivers one message when 0 < level <= current level and a callback is set.
// Nothing is appended: messages carry their own "\n". The callback must not log again.
void SC_DebugLog(uint8_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Delivers a hex dump of the buffer (header lines plus one row per 16 bytes) under the same test.
void SC_LogDataBuffer(uint8_t level, const void* buffer, uint32_t length);
// Builds the hex dump text of SC_LogDataBuffer without delivering it; the caller frees it with
// _SA_free. Result: the text, or null when it cannot be allocated.
char* SC_FormatDataBuffer(const void* buffer, uint32_t length);
// Hands the joined texts to the C library's assertion failure routine, which ends the process.
void __SC_assert(const char* condition, const char* message, const char* file, int line);

#endif
