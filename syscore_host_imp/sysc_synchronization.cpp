#include "sysc_synchronization.h"

#include <cstring>

#include "sysc_debug.h"
#include "sysc_platform.h"

SC_Mutex _SC_SysCoreDebugMutex;
SC_Mutex _SC_SysCoreLocaltimeMutex;

namespace {
uint32_t CurrentThreadLow32() { return (uint32_t)(uintptr_t)pthread_self(); }
bool Usable(const SC_Mutex* m) { return m != nullptr && m->initialized == 1; }
bool Usable(const SC_CondVariable* c) { return c != nullptr && c->initialized == 1; }

// The creating calls: a zeroed allocation that initialize sets up, released again when it fails.
template <typename T>
int CreateWith(T** out, int (*initialize)(T*, const char*, int), const char* file, int line)
{
    if (out == nullptr) return 0;
    T* object = (T*)_SA_malloc(sizeof(T), file, line);
    if (object != nullptr) {
        std::memset(object, 0, sizeof(*object));
        if (!initialize(object, file, line)) {
            _SA_free(object, file, line);
            object = nullptr;
        }
    }
    *out = object;
    return object != nullptr;
}

// The deleting calls: destroy, then release the memory whatever destroy said.
template <typename T>
int DeleteWith(T* object, int (*destroy)(T*, const char*, int), const char* file, int line)
{
    if (object == nullptr) return 0;
    int ok = destroy(object, file, line);
    _SA_free(object, file, line);
    return ok;
}
}  // namespace

int _SC_CondVariableInitialize(SC_CondVariable* cond, const char*, int)
{
    if (cond == nullptr) return 0;
    int ok = pthread_cond_init(&cond->cond, nullptr) == 0;
    cond->initialized = 1;
    return ok;
}

int _SC_CondVariableCreate(SC_CondVariable** out, const char* file, int line)
{
    return CreateWith(out, _SC_CondVariableInitialize, file, line);
}

int _SC_CondVariableDestroy(SC_CondVariable* cond, const char*, int)
{
    if (!Usable(cond)) return 0;
    int ok = pthread_cond_destroy(&cond->cond) == 0;
    cond->initialized = 0;
    return ok;
}

int _SC_CondVariableDelete(SC_CondVariable* cond, const char* file, int line)
{
    return DeleteWith(cond, _SC_CondVariableDestroy, file, line);
}

int _SC_CondVariableWait(SC_CondVariable* cond, SC_Mutex* mutex, const char*, int)
{
    if (!Usable(cond) || !Usable(mutex)) return 0;
    return pthread_cond_wait(&cond->cond, &mutex->mutex) == 0;
}

int _SC_CondVariableSignal(SC_CondVariable* cond, const char*, int)
{
    return Usable(cond) && pthread_cond_signal(&cond->cond) == 0;
}

int _SC_CondVariableBroadcast(SC_CondVariable* cond, const char*, int)
{
    return Usable(cond) && pthread_cond_broadcast(&cond->cond) == 0;
}

int _SC_MutexInitialize(SC_Mutex* mutex, const char* file, int line)
{
    if (mutex == nullptr) return 0;
    mutex->owner = 0;
    mutex->count = 0;
    int ok = pthread_mutex_init(&mutex->mutex, nullptr) == 0;
    if (ok) ok = _SC_CondVariableInitialize(&mutex->released, file, line);
    mutex->initialized = 1;
    return ok;
}

int _SC_MutexCreate(SC_Mutex** out, const char* file, int line)
{
    return CreateWith(out, _SC_MutexInitialize, file, line);
}

int _SC_MutexLock(SC_Mutex* mutex, const char*, int) { return Usable(mutex) && pthread_mutex_lock(&mutex->mutex) == 0; }

int _SC_MutexUnlock(SC_Mutex* mutex, const char*, int)
{
    return Usable(mutex) && pthread_mutex_unlock(&mutex->mutex) == 0;
}

int _SC_RecursiveMutexLock(SC_Mutex* mutex, const char* file, int line)
{
    if (!Usable(mutex)) return 0;
    if (pthread_mutex_lock(&mutex->mutex) != 0) return 0;
    int ok = 1;
    uint32_t self = CurrentThreadLow32();
    if (mutex->count >= 1 && mutex->owner == self) {
        mutex->count++;
    } else {
        while (mutex->count > 0) {
            if (!_SC_CondVariableWait(&mutex->released, mutex, file, line)) {
                ok = 0;
                break;
            }
        }
        if (ok) {
            mutex->owner = self;
            mutex->count = 1;
        }
    }
    if (pthread_mutex_unlock(&mutex->mutex) != 0) ok = 0;
    return ok;
}

int _SC_RecursiveMutexUnlock(SC_Mutex* mutex, const char* file, int line)
{
    if (!Usable(mutex)) return 0;
    if (pthread_mutex_lock(&mutex->mutex) != 0) return 0;
    int ok = 1;
    if (mutex->count >= 1 && mutex->owner == CurrentThreadLow32()) {
        mutex->count--;
        if (mutex->count <= 0) {
            mutex->count = 0;
            if (!_SC_CondVariableSignal(&mutex->released, file, line)) ok = 0;
        }
    }
    if (pthread_mutex_unlock(&mutex->mutex) != 0) ok = 0;
    return ok;
}

int _SC_MutexDestroy(SC_Mutex* mutex, const char* file, int line)
{
    if (!Usable(mutex)) return 0;
    int ok = pthread_mutex_destroy(&mutex->mutex) == 0;
    _SC_CondVariableDestroy(&mutex->released, file, line);
    mutex->owner = 0;
    mutex->count = 0;
    mutex->initialized = 0;
    return ok;
}

int _SC_MutexDelete(SC_Mutex* mutex, const char* file, int line)
{
    return DeleteWith(mutex, _SC_MutexDestroy, file, line);
}

int _SC_ThreadStart(SC_Thread* handle, SC_ThreadRoutine routine, void* argument, const char*, int)
{
    if (handle == nullptr) return 0;
    handle->started = 0;
    if (routine != nullptr && pthread_create(&handle->handle, nullptr, routine, argument) == 0) {
        handle->started = 1;
    } else {
        SC_DebugLog(1, "%s: Assertion `handle->handle != 0' failed: Failed to start thread\n", "_SC_ThreadStart");
    }
    return (int)handle->started;
}

int _SC_ThreadJoin(SC_Thread* handle, const char*, int)
{
    int success = handle != nullptr && handle->started == 1 && pthread_join(handle->handle, nullptr) == 0;
    if (!success) {
        SC_DebugLog(1, "%s: Assertion `success' failed: Failed to join thread\n", "_SC_ThreadJoin");
        return 0;
    }
    handle->started = 0;
    return 1;
}
