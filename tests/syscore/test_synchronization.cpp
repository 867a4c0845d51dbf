// Mutexes, the recursive lock, condition variables, threads and the local-time wrappers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "SyscoreTestSupport.h"

TEST(Mutex, UninitialisedOrNullMutexFailsWithoutLocking)
{
    SC_Mutex m;
    std::memset(&m, 0, sizeof(m));
    EXPECT_EQ(SC_MUTEX_LOCK(&m), 0);
    EXPECT_EQ(SC_MUTEX_UNLOCK(&m), 0);
    EXPECT_EQ(SC_RECURSIVE_MUTEX_LOCK(&m), 0);
    EXPECT_EQ(SC_RECURSIVE_MUTEX_UNLOCK(&m), 0);
    EXPECT_EQ(SC_MUTEX_LOCK(nullptr), 0);
    EXPECT_EQ(SC_MUTEX_DESTROY(&m), 0);
    EXPECT_EQ(_SC_CondVariableSignal(nullptr, __FILE__, __LINE__), 0);
    EXPECT_EQ(_SC_CondVariableWait(&m.released, &m, __FILE__, __LINE__), 0);
}

namespace {
struct Shared {
    SC_Mutex* lock;
    std::atomic<int> entered{0};
};

void* LockOnce(void* arg)
{
    Shared* s = (Shared*)arg;
    SC_RECURSIVE_MUTEX_LOCK(s->lock);
    s->entered = 1;
    SC_RECURSIVE_MUTEX_UNLOCK(s->lock);
    return nullptr;
}

void* UnlockForeign(void* arg)
{
    Shared* s = (Shared*)arg;
    s->entered = SC_RECURSIVE_MUTEX_UNLOCK(s->lock) ? 1 : -1;
    return nullptr;
}
}  // namespace

TEST(RecursiveMutex, SecondThreadRunsOnlyAfterThirdUnlock)
{
    Shared s;
    ASSERT_EQ(SC_MUTEX_CREATE(&s.lock), 1);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(SC_RECURSIVE_MUTEX_LOCK(s.lock), 1);
    EXPECT_EQ(s.lock->count, 3);
    SC_Thread t;
    ASSERT_EQ(_SC_ThreadStart(&t, LockOnce, &s, __FILE__, __LINE__), 1);
    for (int i = 0; i < 2; ++i) {
        SC_Sleep(30);
        EXPECT_EQ(s.entered.load(), 0);
        EXPECT_EQ(SC_RECURSIVE_MUTEX_UNLOCK(s.lock), 1);
    }
    SC_Sleep(30);
    EXPECT_EQ(s.entered.load(), 0);
    EXPECT_EQ(SC_RECURSIVE_MUTEX_UNLOCK(s.lock), 1);
    EXPECT_EQ(_SC_ThreadJoin(&t, __FILE__, __LINE__), 1);
    EXPECT_EQ(s.entered.load(), 1);
    EXPECT_EQ(s.lock->count, 0);
    SC_MUTEX_DELETE(s.lock);
}

TEST(RecursiveMutex, UnlockByAnotherThreadLeavesItLocked)
{
    Shared s;
    ASSERT_EQ(SC_MUTEX_CREATE(&s.lock), 1);
    ASSERT_EQ(SC_RECURSIVE_MUTEX_LOCK(s.lock), 1);
    SC_Thread t;
    ASSERT_EQ(_SC_ThreadStart(&t, UnlockForeign, &s, __FILE__, __LINE__), 1);
    ASSERT_EQ(_SC_ThreadJoin(&t, __FILE__, __LINE__), 1);
    EXPECT_EQ(s.entered.load(), 1);  // the call itself succeeds...
    EXPECT_EQ(s.lock->count, 1);     // ...but changes nothing
    EXPECT_EQ(s.lock->owner, (uint32_t)(uintptr_t)pthread_self());
    EXPECT_EQ(SC_RECURSIVE_MUTEX_UNLOCK(s.lock), 1);
    EXPECT_EQ(s.lock->count, 0);
    // Unlocking a free lock changes nothing either.
    EXPECT_EQ(SC_RECURSIVE_MUTEX_UNLOCK(s.lock), 1);
    EXPECT_EQ(s.lock->count, 0);
    SC_MUTEX_DELETE(s.lock);
}

namespace {
struct CondShared {
    SC_Mutex* lock;
    SC_CondVariable* cond;
    bool ready = false;
};
void* WaitReady(void* arg)
{
    CondShared* s = (CondShared*)arg;
    SC_MUTEX_LOCK(s->lock);
    while (!s->ready) _SC_CondVariableWait(s->cond, s->lock, __FILE__, __LINE__);
    SC_MUTEX_UNLOCK(s->lock);
    return nullptr;
}
}  // namespace

TEST(CondVariable, BroadcastWakesWaiters)
{
    CondShared s;
    ASSERT_EQ(SC_MUTEX_CREATE(&s.lock), 1);
    ASSERT_EQ(_SC_CondVariableCreate(&s.cond, __FILE__, __LINE__), 1);
    SC_Thread a, b;
    ASSERT_EQ(_SC_ThreadStart(&a, WaitReady, &s, __FILE__, __LINE__), 1);
    ASSERT_EQ(_SC_ThreadStart(&b, WaitReady, &s, __FILE__, __LINE__), 1);
    SC_Sleep(20);
    SC_MUTEX_LOCK(s.lock);
    s.ready = true;
    EXPECT_EQ(_SC_CondVariableBroadcast(s.cond, __FILE__, __LINE__), 1);
    SC_MUTEX_UNLOCK(s.lock);
    EXPECT_EQ(_SC_ThreadJoin(&a, __FILE__, __LINE__), 1);
    EXPECT_EQ(_SC_ThreadJoin(&b, __FILE__, __LINE__), 1);
    EXPECT_EQ(_SC_CondVariableDelete(s.cond, __FILE__, __LINE__), 1);
    SC_MUTEX_DELETE(s.lock);
}

TEST(Threads, FailuresLogAssertionLines)
{
    LogCapture capture(1);
    SC_Thread t;
    std::memset(&t, 0, sizeof(t));
    EXPECT_EQ(_SC_ThreadStart(&t, nullptr, nullptr, __FILE__, __LINE__), 0);
    EXPECT_EQ(t.started, 0u);
    EXPECT_EQ(_SC_ThreadJoin(&t, __FILE__, __LINE__), 0);
    ASSERT_EQ(LogCapture::Lines().size(), 2u);
    EXPECT_EQ(LogCapture::Lines()[0].second,
              "_SC_ThreadStart: Assertion `handle->handle != 0' failed: Failed to start thread\n");
    EXPECT_EQ(LogCapture::Lines()[1].second, "_SC_ThreadJoin: Assertion `success' failed: Failed to join thread\n");
}

TEST(LocalTime, PrivateCopyMatchesTheLibrary)
{
    InitializeSysCore(SC_HEADER_CHECKSUM);
    time_t t = 1700000000;
    struct tm* copy = SA_localtime_s(&t);
    ASSERT_NE(copy, nullptr);
    struct tm expected;
    localtime_r(&t, &expected);
    EXPECT_EQ(copy->tm_year, expected.tm_year);
    EXPECT_EQ(copy->tm_yday, expected.tm_yday);
    EXPECT_EQ(copy->tm_sec, expected.tm_sec);
    EXPECT_EQ(SA_mktime(copy), t);
    _SA_free(copy, __FILE__, __LINE__);
    // A time the library cannot convert gives a zeroed record rather than garbage.
    time_t huge = (time_t)0x7FFFFFFFFFFFFFFFLL;
    struct tm* bad = SA_localtime_s(&huge);
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(bad->tm_year, 0);
    EXPECT_EQ(bad->tm_mday, 0);
    _SA_free(bad, __FILE__, __LINE__);
    EXPECT_EQ(_SC_SysCoreLocaltimeMutex.count, 0);
    UnInitializeSysCore();
}
