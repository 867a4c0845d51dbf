#include "sysc_platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "sysc_synchronization.h"

void* _SA_malloc(size_t size, const char* /*file*/, int /*line*/) { return std::malloc(size); }

void* _SA_realloc(void* ptr, size_t size, const char* /*file*/, int /*line*/) { return std::realloc(ptr, size); }

void _SA_free(void* ptr, const char* /*file*/, int /*line*/) { std::free(ptr); }

void SC_Sleep(uint32_t milliseconds)
{
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    // Resume after signals so the caller gets the whole pause.
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

pthread_t SC_GetCurrentThreadID(void) { return pthread_self(); }

pid_t SC_GetCurrentProcessID(void) { return getpid(); }

struct tm* SA_localtime(const time_t* t)
{
    if (t == nullptr) return nullptr;
    _SC_RecursiveMutexLock(&_SC_SysCoreLocaltimeMutex, __FILE__, __LINE__);
    struct tm* result = std::localtime(t);
    _SC_RecursiveMutexUnlock(&_SC_SysCoreLocaltimeMutex, __FILE__, __LINE__);
    return result;
}

struct tm* SA_localtime_s(const time_t* t)
{
    struct tm* copy = (struct tm*)_SA_malloc(sizeof(struct tm), __FILE__, __LINE__);
    if (copy == nullptr) return nullptr;
    std::memset(copy, 0, sizeof(*copy));
    // Hold the lock across the conversion and the copy: the shared record may change afterwards.
    _SC_RecursiveMutexLock(&_SC_SysCoreLocaltimeMutex, __FILE__, __LINE__);
    struct tm* shared = SA_localtime(t);
    if (shared != nullptr) *copy = *shared;
    _SC_RecursiveMutexUnlock(&_SC_SysCoreLocaltimeMutex, __FILE__, __LINE__);
    return copy;
}

time_t SA_mktime(struct tm* tm) { return std::mktime(tm); }
