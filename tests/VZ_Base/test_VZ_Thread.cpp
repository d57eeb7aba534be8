#include "VZ_MultiThread.h"
#include "VZ_Thread.h"

#include <objbase.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include <gtest/gtest.h>

namespace {

template<class F> bool WaitUntil(F fnDone)
{
    for (ULONGLONG ullEnd = GetTickCount64() + 5000; !fnDone(); Sleep(1))
        if (GetTickCount64() > ullEnd)
            return false;
    return true;
}

// Every library thread has its own seeded rand() (three values rule out a
// chance match with the unseeded sequence) and COM already initialised.
bool ThreadEnvironmentOk()
{
    int a = rand(), b = rand(), c = rand();
    srand(1);
    HRESULT hr = CoInitialize(NULL);   // S_FALSE: already initialised
    if (SUCCEEDED(hr))
        CoUninitialize();
    return !(a == rand() && b == rand() && c == rand()) && hr == S_FALSE;
}

class TestThread : public VZ_Thread
{
public:
    std::atomic<int> iRuns{0}, iStops{0}, iBad{0};
    bool bAllowStart = false;
    std::atomic<bool> bHold{false};   // while set, the body overruns a stop

protected:
    DWORD Run() override
    {
        iBad += !ThreadEnvironmentOk();
        for (++iRuns; !IsStopping() || bHold; Sleep(1)) {}
        return 7;
    }
    bool OnStart() override { return bAllowStart; }
    // Called once the handle is closed.
    void OnStop() override { iBad += GetThreadHandle() != NULL || GetThreadId() != 0; ++iStops; }
};

enum { WAITS_FOR_STOP = 1, RETURNS_AT_ONCE = 2, IGNORES_STOP = 3, DESTROYS_POOL = 4 };
const ULONG_PTR PARAM = static_cast<ULONG_PTR>(0x123456789ABCDEF0ull);   // all bits kept on x64

std::atomic<HANDLE> g_hDestroyer{NULL};   // the DESTROYS_POOL thread, once it has deleted its pool
std::atomic<void*> g_lpPoisoned{NULL};    // a deleted pool's memory, poisoned, not yet freed

LONG StopTimeouts() { return VZ_MultiThread::GetStopTimeoutCount(); }

class TestPool : public VZ_MultiThread
{
public:
    ~TestPool() override { StopAllThreads(2000); }
    // Poisons instead of freeing, so that a later touch of the pool shows.
    static void operator delete(void* p)
    {
        memset(p, 0xDD, sizeof(TestPool));
        g_lpPoisoned = p;
    }
    std::atomic<int> iLeft{0}, iBad{0}, iLoops{0};

protected:
    DWORD ThreadProc(_THREAD_DATA& td) override
    {
        // The copy describes this very thread, and its record is listed.
        iBad += td.dwThreadId != GetCurrentThreadId() || td.hThread == NULL || td.hStopEvent == NULL
                || td.lpParam != PARAM || GetThreadCount(td.iThreadType) < 1 || !ThreadEnvironmentOk();
        if (td.iThreadType == DESTROYS_POOL) {
            HANDLE hSelf = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, GetCurrentThreadId());
            delete this;
            g_hDestroyer = hSelf;
            return 0;
        }
        if (td.iThreadType == WAITS_FOR_STOP)
            WaitForSingleObject(td.hStopEvent, INFINITE);
        for (; td.iThreadType == IGNORES_STOP; Sleep(5))
            ++iLoops;
        ++iLeft;
        return 0;
    }
};

} // namespace

TEST(VZ_Thread, StartStopRestart)
{
    TestThread th;
    EXPECT_FALSE(th.Start());                   // refused by OnStart, still startable
    th.bAllowStart = true;
    ASSERT_TRUE(th.Start());
    EXPECT_FALSE(th.Start());                   // already running
    ASSERT_TRUE(WaitUntil([&] { return th.iRuns == 1; }));
    EXPECT_EQ(0, th.Wait(0));
    LONG lTimeouts = StopTimeouts();
    th.Stop();
    EXPECT_TRUE(lTimeouts == StopTimeouts() && th.iStops == 1);   // returned when the body ended

    ASSERT_TRUE(th.Start());                    // restart after Stop
    ASSERT_TRUE(WaitUntil([&] { return th.iRuns == 2; }));
    th.SetStopFlag();
    EXPECT_EQ(1, th.Wait(5000));
    DWORD dwExit = 0;
    EXPECT_TRUE(GetExitCodeThread(th.GetThreadHandle(), &dwExit) && dwExit == 7);
    EXPECT_FALSE(th.Start());                   // the old handle is still held
    th.Stop();
    EXPECT_EQ(2, th.iStops.load());

    // A body that overruns the stop is counted and left running, never
    // terminated; the owner sees it in IsInRun().
    th.bHold = true;
    ASSERT_TRUE(th.Start());
    ASSERT_TRUE(WaitUntil([&] { return th.iRuns == 3; }));
    th.Stop();
    EXPECT_TRUE(lTimeouts + 1 == StopTimeouts() && th.IsInRun());
    th.bHold = false;
    EXPECT_TRUE(WaitUntil([&] { return !th.IsInRun(); }));
    EXPECT_EQ(0, th.iBad.load());
}

// A body that ignores its stop event is terminated once the time-out (2 s)
// has run out, and its record removed. At the end the pool is destroyed from
// inside one of its own threads, which cannot wait for itself: that thread
// ends afterwards without touching the freed pool.
TEST(VZ_MultiThread, StartCountStopProtocolAndDestroyedFromItsOwnThread)
{
    TestPool& pool = *new TestPool;
    // Threads that return at once remove their own records.
    EXPECT_EQ(2, pool.StartThreads(RETURNS_AT_ONCE, 2, PARAM));
    EXPECT_TRUE(WaitUntil([&] { return pool.GetThreadCount(RETURNS_AT_ONCE) == 0; }));

    EXPECT_EQ(3, pool.StartThreads(WAITS_FOR_STOP, 3, PARAM));
    HANDLE hIgnores = NULL;   // a handle of our own: the record's goes with the stop
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), pool.StartThread(IGNORES_STOP, PARAM), GetCurrentProcess(),
                                &hIgnores, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_TRUE(pool.GetThreadCount(WAITS_FOR_STOP) == 3 && pool.GetThreadCount() == 4);
    ASSERT_TRUE(WaitUntil([&] { return pool.iLoops > 0; }));
    LONG lTimeouts = StopTimeouts();
    pool.StopThreads(WAITS_FOR_STOP, 2000);
    EXPECT_EQ(lTimeouts, StopTimeouts());            // they honour the event, the other type is left
    EXPECT_TRUE(pool.GetThreadCount(WAITS_FOR_STOP) == 0 && pool.GetThreadCount(IGNORES_STOP) == 1 && pool.iLeft == 5);

    pool.StopAllThreads(2000);
    EXPECT_EQ(lTimeouts + 1, StopTimeouts());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hIgnores, 0));   // terminated, and gone before the stop returned
    CloseHandle(hIgnores);
    EXPECT_TRUE(pool.GetThreadCount() == 0 && pool.iLeft == 5 && pool.iBad == 0);

    g_hDestroyer = NULL;
    ASSERT_NE(HANDLE(NULL), pool.StartThread(DESTROYS_POOL, PARAM));
    ASSERT_TRUE(WaitUntil([] { return g_hDestroyer != NULL; }));   // the pool is deleted
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hDestroyer, 5000));   // and its thread ended
    EXPECT_EQ(lTimeouts + 1, StopTimeouts());
    CloseHandle(g_hDestroyer);
    ::operator delete(g_lpPoisoned);
}
