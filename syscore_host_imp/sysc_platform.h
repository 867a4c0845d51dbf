// Platform layer of the system core: allocation wrappers, time, sleep, ids and
// the byte-order helpers every wire structure is read and written through.
#ifndef SYSC_PLATFORM_H
#define SYSC_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <pthread.h>
#include <sys/types.h>

// Enumerations with many members are written as lists of X(name, value), each expanded once into
// its enum by SC_ENUMERATOR.
#define SC_ENUMERATOR(name, value) name = value,

// Allocation wrappers. file and line are the caller's position, kept for diagnostics only.
// Result: the block, or null when the C library cannot allocate it.
void* _SA_malloc(size_t size, const char* file, int line);
// Result: the resized block, or null (the old block is then still valid).
void* _SA_realloc(void* ptr, size_t size, const char* file, int line);
// Releases a block from _SA_malloc/_SA_realloc; null is accepted.
void _SA_free(void* ptr, const char* file, int line);

#define SA_MALLOC(size) _SA_malloc((size), __FILE__, __LINE__)
#define SA_REALLOC(ptr, size) _SA_realloc((ptr), (size), __FILE__, __LINE__)
#define SA_FREE(ptr) _SA_free((ptr), __FILE__, __LINE__)

// Sleeps the given number of milliseconds.
void SC_Sleep(uint32_t milliseconds);
// The calling thread's POSIX identifier.
pthread_t SC_GetCurrentThreadID(void);
// The process identifier.
pid_t SC_GetCurrentProcessID(void);

// localtime() under the (recursive) localtime lock; returns the C library's shared record or null.
struct tm* SA_localtime(const time_t* t);
// A private copy of the broken-down time, to be released with _SA_free; null only when it cannot be
// allocated. A time the C library cannot convert gives an all-zero record.
struct tm* SA_localtime_s(const time_t* t);
// The C library's mktime.
time_t SA_mktime(struct tm* tm);

// Byte-order helpers: wire bytes are only ever read and written through these.
inline uint16_t SC_GetLE16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t SC_GetLE32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline uint64_t SC_GetLE64(const uint8_t* p) { return (uint64_t)SC_GetLE32(p) | ((uint64_t)SC_GetLE32(p + 4) << 32); }
inline uint16_t SC_GetBE16(const uint8_t* p) { return (uint16_t)((p[0] << 8) | p[1]); }
inline uint32_t SC_GetBE32(const uint8_t* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}
inline void SC_PutLE16(uint8_t* p, uint16_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void SC_PutLE32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
inline void SC_PutLE64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
inline void SC_PutBE16(uint8_t* p, uint16_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
inline void SC_PutBE32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (24 - 8 * i));
}

#endif
