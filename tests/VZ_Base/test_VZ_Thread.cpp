#include "VZ_MultiThread.h"
#include "VZ_Thread.h"

#include <objbase.h>
#include <stdlib.h>

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
    bool bSeeded = !(a == rand() && b == rand() && c == rand());
    HRESULT hr = CoInitialize(NULL);
    if (SUCCEEDED(hr))
        CoUninitialize();
    return bSeeded && hr == S_FALSE;
}

class TestThread : public VZ_Thread
{
public:
    std::atomic<int> iRuns{0}, iStops{0}, iBad{0};
    bool bAllowStart = false;

protected:
    DWORD Run() override
    {
        iBad += !ThreadEnvironmentOk();
        for (++iRuns; !IsStopping(); Sleep(1)) {}
        return 7;
    }
    bool OnStart() override { return bAllowStart; }
    // Called once the handle is closed.
    void OnStop() override { iBad += GetThreadHandle() != NULL || GetThreadId() != 0; ++iStops; }
};

enum { WAITS_FOR_STOP = 1, RETURNS_AT_ONCE = 2, IGNORES_STOP = 3 };
const ULONG_PTR PARAM = static_cast<ULONG_PTR>(0x123456789ABCDEF0ull);   // all bits kept on x64

class TestPool : public VZ_MultiThread
{
public:
    ~TestPool() override { StopAllThreads(2000); }
    std::atomic<int> iLeft{0}, iBad{0}, iLoops{0};

protected:
    DWORD ThreadProc(_THREAD_DATA& td) override
    {
        // The copy describes this very thread, and its record is listed.
        iBad += td.dwThreadId != GetCurrentThreadId() || td.hThread == NULL || td.hStopEvent == NULL
                || td.lpParam != PARAM || GetThreadCount(td.iThreadType) < 1 || !ThreadEnvironmentOk();
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
    EXPECT_EQ(-1, th.Wait(0));
    EXPECT_FALSE(th.Start());                   // refused by OnStart, still startable
    th.bAllowStart = true;
    ASSERT_TRUE(th.Start());
    EXPECT_FALSE(th.Start());                   // already running
    ASSERT_TRUE(WaitUntil([&] { return th.iRuns == 1; }));
    EXPECT_EQ(0, th.Wait(0));
    ULONGLONG ullStart = GetTickCount64();
    th.Stop();
    EXPECT_LT(GetTickCount64() - ullStart, 1500u);    // returns when the body ends
    EXPECT_EQ(1, th.iStops.load());

    ASSERT_TRUE(th.Start());                    // restart after Stop
    ASSERT_TRUE(WaitUntil([&] { return th.iRuns == 2; }));
    th.SetStopFlag();
    EXPECT_EQ(1, th.Wait(5000));
    DWORD dwExit = 0;
    EXPECT_TRUE(GetExitCodeThread(th.GetThreadHandle(), &dwExit) && dwExit == 7);
    EXPECT_FALSE(th.Start());                   // the old handle is still held
    th.Stop();
    EXPECT_EQ(2, th.iStops.load());
    EXPECT_EQ(0, th.iBad.load());
}

// The one slow test: a body that ignores its stop event is terminated after
// the time-out and its record removed.
TEST(VZ_MultiThread, StartCountAndStopProtocol)
{
    TestPool pool;
    EXPECT_EQ(0, pool.StartThreads(WAITS_FOR_STOP, 0, PARAM));
    EXPECT_EQ(0, pool.GetThreadCount());
    // Threads that return at once remove their own records.
    EXPECT_EQ(2, pool.StartThreads(RETURNS_AT_ONCE, 2, PARAM));
    EXPECT_TRUE(WaitUntil([&] { return pool.GetThreadCount(RETURNS_AT_ONCE) == 0; }));

    EXPECT_EQ(3, pool.StartThreads(WAITS_FOR_STOP, 3, PARAM));
    EXPECT_NE(HANDLE(NULL), pool.StartThread(IGNORES_STOP, PARAM));
    EXPECT_EQ(3, pool.GetThreadCount(WAITS_FOR_STOP));
    EXPECT_EQ(4, pool.GetThreadCount());
    ASSERT_TRUE(WaitUntil([&] { return pool.iLoops > 0; }));
    ULONGLONG ullStart = GetTickCount64();
    pool.StopThreads(WAITS_FOR_STOP, 2000);
    EXPECT_LT(GetTickCount64() - ullStart, 1500u);    // they honour the event, the other type is left
    EXPECT_EQ(0, pool.GetThreadCount(WAITS_FOR_STOP));
    EXPECT_EQ(1, pool.GetThreadCount(IGNORES_STOP));
    EXPECT_EQ(5, pool.iLeft.load());

    ullStart = GetTickCount64();
    pool.StopAllThreads(2000);
    ULONGLONG ullElapsed = GetTickCount64() - ullStart;
    EXPECT_GE(ullElapsed, 1900u);
    EXPECT_LT(ullElapsed, 10000u);
    EXPECT_EQ(0, pool.GetThreadCount());
    int iLoops = pool.iLoops;
    Sleep(50);
    EXPECT_EQ(iLoops, pool.iLoops.load());           // terminated, no longer running
    EXPECT_EQ(5, pool.iLeft.load());
    EXPECT_EQ(0, pool.iBad.load());
}
