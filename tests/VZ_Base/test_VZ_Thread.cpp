#include <winsock2.h>
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdlib.h>

#include "VZ_MultiThread.h"
#include "VZ_Thread.h"

namespace {

template<class F> bool WaitUntil(F fnDone, DWORD dwTimeout)
{
    for (ULONGLONG ullEnd = GetTickCount64() + dwTimeout; !fnDone(); Sleep(1))
        if (GetTickCount64() > ullEnd)
            return false;
    return true;
}

// What every library thread must have: a seeded rand() (the generator state is
// per thread; three values make a chance match with the unseeded sequence
// negligible) and COM already initialised.
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
    std::atomic<int> iRuns{0}, iLoops{0}, iStops{0};
    std::atomic<bool> bEnvOk{false}, bHandleGoneAtOnStop{false};
    bool bAllowStart = true;

protected:
    DWORD Run() override
    {
        ++iRuns;
        bEnvOk = ThreadEnvironmentOk();
        for (; !IsStopping(); Sleep(1))
            ++iLoops;
        return 7;
    }
    bool OnStart() override { return bAllowStart; }
    void OnStop() override
    {
        bHandleGoneAtOnStop = GetThreadHandle() == NULL && GetThreadId() == 0;
        ++iStops;
    }
};

} // namespace

TEST(VZ_Thread, StartStopRestart)
{
    TestThread th;
    EXPECT_EQ(-1, th.Wait(0));
    th.bAllowStart = false;
    EXPECT_FALSE(th.Start());                   // refused by OnStart, still startable
    th.bAllowStart = true;

    ASSERT_TRUE(th.Start());
    EXPECT_FALSE(th.Start());                   // already running
    ASSERT_TRUE(WaitUntil([&] { return th.iLoops > 0; }, 5000));
    EXPECT_TRUE(th.bEnvOk);
    EXPECT_EQ(0, th.Wait(0));

    HANDLE hDup = NULL;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), th.GetThreadHandle(), GetCurrentProcess(), &hDup, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    ULONGLONG ullStart = GetTickCount64();
    th.Stop();
    EXPECT_LT(GetTickCount64() - ullStart, 1500u);    // returns when the body ends
    DWORD dwExit = 0;
    EXPECT_TRUE(GetExitCodeThread(hDup, &dwExit));
    EXPECT_EQ(7u, dwExit);
    CloseHandle(hDup);
    EXPECT_EQ(1, th.iStops.load());
    EXPECT_TRUE(th.bHandleGoneAtOnStop);

    ASSERT_TRUE(th.Start());                    // restart after Stop
    EXPECT_TRUE(WaitUntil([&] { return th.iRuns == 2; }, 5000));
    th.SetStopFlag();
    EXPECT_EQ(1, th.Wait(5000));
    EXPECT_FALSE(th.Start());                   // the old handle is still held
    th.Stop();
    EXPECT_EQ(2, th.iStops.load());
}

namespace {

enum { WAITS_FOR_STOP = 1, RETURNS_AT_ONCE = 2, IGNORES_STOP = 3, OTHER_TYPE = 4 };
const ULONG_PTR PARAM = static_cast<ULONG_PTR>(0x123456789ABCDEF0ull);   // all bits kept on x64

class TestPool : public VZ_MultiThread
{
public:
    ~TestPool() override { StopAllThreads(2000); }
    std::atomic<int> iEntered{0}, iLeft{0}, iBad{0}, iLoops{0};
    std::atomic<bool> bSawStop{false};

protected:
    DWORD ThreadProc(_THREAD_DATA& td) override
    {
        // The copy describes this very thread, and its record is listed.
        if (td.dwThreadId != GetCurrentThreadId() || td.hThread == NULL || td.hStopEvent == NULL
            || td.lpParam != PARAM || GetThreadCount(td.iThreadType) < 1 || !ThreadEnvironmentOk())
            ++iBad;
        ++iEntered;
        if (td.iThreadType == WAITS_FOR_STOP || td.iThreadType == OTHER_TYPE)
            WaitForSingleObject(td.hStopEvent, INFINITE);
        while (td.iThreadType == IGNORES_STOP) {
            bSawStop = bSawStop || WaitForSingleObject(td.hStopEvent, 0) == WAIT_OBJECT_0;
            ++iLoops;
            Sleep(5);
        }
        ++iLeft;
        return 0;
    }
};

} // namespace

TEST(VZ_MultiThread, StartCountAndStopByType)
{
    TestPool pool;
    EXPECT_EQ(0, pool.StartThreads(WAITS_FOR_STOP, 0, PARAM));
    EXPECT_EQ(0, pool.StartThreads(WAITS_FOR_STOP, -1, PARAM));
    EXPECT_EQ(0, pool.GetThreadCount());

    // Threads that return at once remove their own records.
    EXPECT_EQ(2, pool.StartThreads(RETURNS_AT_ONCE, 2, PARAM));
    EXPECT_TRUE(WaitUntil([&] { return pool.GetThreadCount(RETURNS_AT_ONCE) == 0; }, 5000));

    EXPECT_EQ(3, pool.StartThreads(WAITS_FOR_STOP, 3, PARAM));
    EXPECT_NE(HANDLE(NULL), pool.StartThread(OTHER_TYPE, PARAM));
    EXPECT_EQ(3, pool.GetThreadCount(WAITS_FOR_STOP));
    EXPECT_EQ(4, pool.GetThreadCount());
    ASSERT_TRUE(WaitUntil([&] { return pool.iEntered == 6; }, 5000));

    ULONGLONG ullStart = GetTickCount64();
    pool.StopThreads(WAITS_FOR_STOP, 2000);
    EXPECT_LT(GetTickCount64() - ullStart, 1500u);    // they honour the event
    EXPECT_EQ(0, pool.GetThreadCount(WAITS_FOR_STOP));
    EXPECT_EQ(1, pool.GetThreadCount(OTHER_TYPE));
    Sleep(20);
    EXPECT_EQ(5, pool.iLeft.load());                  // the other type still runs

    pool.StopAllThreads(2000);
    EXPECT_EQ(0, pool.GetThreadCount());
    EXPECT_EQ(6, pool.iLeft.load());
    EXPECT_EQ(0, pool.iBad.load());
}

// The one slow test: a body that ignores its stop event is terminated after
// the time-out and its record removed.
TEST(VZ_MultiThread, StopTerminatesThreadIgnoringEvent)
{
    TestPool pool;
    ASSERT_EQ(1, pool.StartThreads(IGNORES_STOP, 1, PARAM));
    ASSERT_TRUE(WaitUntil([&] { return pool.iLoops > 0; }, 5000));

    ULONGLONG ullStart = GetTickCount64();
    pool.StopThreads(IGNORES_STOP, 2000);
    ULONGLONG ullElapsed = GetTickCount64() - ullStart;
    EXPECT_GE(ullElapsed, 1900u);
    EXPECT_LT(ullElapsed, 10000u);
    EXPECT_EQ(0, pool.GetThreadCount());
    EXPECT_TRUE(pool.bSawStop);

    int iLoops = pool.iLoops;
    Sleep(50);
    EXPECT_EQ(iLoops, pool.iLoops.load());           // no longer running
}
