// Locks, condition variables and threads of the system core, over POSIX threads.
// Every function takes the caller's source file and line after its own arguments (diagnostics only).
// Boolean results: 1 success, 0 failure. Nothing here aborts.
#ifndef SYSC_SYNCHRONIZATION_H
#define SYSC_SYNCHRONIZATION_H

#include <cstdint>
#include <pthread.h>

typedef struct SC_CondVariable {
    uint32_t initialized;  // 1 after initialisation, 0 after destruction
    pthread_cond_t cond;
} SC_CondVariable;

typedef struct SC_Mutex {
    uint32_t initialized;  // operations on an uninitialised mutex fail without touching `mutex`
    pthread_mutex_t mutex;
    SC_CondVariable released;  // signalled when a recursive owner lets go
    uint32_t owner;            // low 32 bits of the recursive owner's thread id
    int64_t count;             // recursion depth; 0 when free
} SC_Mutex;

typedef struct SC_Thread {
    pthread_t handle;
    uint32_t started;
} SC_Thread;

typedef void* (*SC_ThreadRoutine)(void* argument);

// 1 when both the platform mutex and the condition record initialised; the flag is set either way.
int _SC_MutexInitialize(SC_Mutex* mutex, const char* file, int line);
// Allocates and initialises a mutex into *out; on failure *out is null. Result 1/0.
int _SC_MutexCreate(SC_Mutex** out, const char* file, int line);
// Plain lock/unlock; 0 for a null or uninitialised mutex.
int _SC_MutexLock(SC_Mutex* mutex, const char* file, int line);
int _SC_MutexUnlock(SC_Mutex* mutex, const char* file, int line);
// Recursive lock/unlock by thread id; an unlock by a thread that is not the owner changes nothing.
int _SC_RecursiveMutexLock(SC_Mutex* mutex, const char* file, int line);
int _SC_RecursiveMutexUnlock(SC_Mutex* mutex, const char* file, int line);
// Destroys the platform objects and clears the record; result of the platform mutex destroy.
int _SC_MutexDestroy(SC_Mutex* mutex, const char* file, int line);
// Destroy, then free (a mutex from _SC_MutexCreate); null is accepted.
int _SC_MutexDelete(SC_Mutex* mutex, const char* file, int line);

int _SC_CondVariableInitialize(SC_CondVariable* cond, const char* file, int line);
int _SC_CondVariableCreate(SC_CondVariable** out, const char* file, int line);
int _SC_CondVariableDestroy(SC_CondVariable* cond, const char* file, int line);
int _SC_CondVariableDelete(SC_CondVariable* cond, const char* file, int line);
// Waits with the mutex's platform lock (which the caller holds through _SC_MutexLock).
int _SC_CondVariableWait(SC_CondVariable* cond, SC_Mutex* mutex, const char* file, int line);
int _SC_CondVariableSignal(SC_CondVariable* cond, const char* file, int line);
int _SC_CondVariableBroadcast(SC_CondVariable* cond, const char* file, int line);

// Starts a thread; handle->started records success, a failure logs a level-1 assertion line. Result 1/0.
int _SC_ThreadStart(SC_Thread* handle, SC_ThreadRoutine routine, void* argument, const char* file, int line);
// Joins the thread; 1 on success, else a level-1 assertion line and 0.
int _SC_ThreadJoin(SC_Thread* handle, const char* file, int line);

#define SC_MUTEX_INITIALIZE(m) _SC_MutexInitialize((m), __FILE__, __LINE__)
#define SC_MUTEX_CREATE(pm) _SC_MutexCreate((pm), __FILE__, __LINE__)
#define SC_MUTEX_LOCK(m) _SC_MutexLock((m), __FILE__, __LINE__)
#define SC_MUTEX_UNLOCK(m) _SC_MutexUnlock((m), __FILE__, __LINE__)
#define SC_RECURSIVE_MUTEX_LOCK(m) _SC_RecursiveMutexLock((m), __FILE__, __LINE__)
#define SC_RECURSIVE_MUTEX_UNLOCK(m) _SC_RecursiveMutexUnlock((m), __FILE__, __LINE__)
#define SC_MUTEX_DESTROY(m) _SC_MutexDestroy((m), __FILE__, __LINE__)
#define SC_MUTEX_DELETE(m) _SC_MutexDelete((m), __FILE__, __LINE__)

// The two global locks; initialised by InitializeSysCore, destroyed by UnInitializeSysCore.
extern SC_Mutex _SC_SysCoreDebugMutex;
extern SC_Mutex _SC_SysCoreLocaltimeMutex;

#endif
