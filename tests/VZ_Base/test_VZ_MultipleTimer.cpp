#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "CheckCapture.h"
#include "VZ_MultipleTimer.h"

#include <mmsystem.h>   // after windows.h, which the headers above bring

namespace {

struct Expiry { DWORD dwTimerId, dwParam, dwTime; };

// "id:param id:param ..." in arrival order.
std::string Trace(const std::vector<Expiry>& vec)
{
    std::string str;
    for (const Expiry& e : vec)
        str += (str.empty() ? "" : " ") + std::to_string(e.dwTimerId) + ":" + std::to_string(e.dwParam);
    return str;
}

// The service as its own sink, on the real clock or on one the test moves by
// hand. With one message thread, a fake-clock test sees expiries in the order
// the ticks collected them, so an expiry that should not happen shows up
// before a sentinel timer that expires after it. With a gate, every message
// thread waits at it, so that expiries pile up in the queue as on a host whose
// timers outrun its sink.
class TestTimer : public VZ_MultipleTimer, public VZ_MultipleTimerSink
{
public:
    std::atomic<HANDLE> m_hGate{NULL};

    explicit TestTimer(DWORD dwFakeClock = 0) : m_dwFake(dwFakeClock) { m_lpSink = this; }
    ~TestTimer() { Stop(); }   // no tick or delivery may reach this part once it is gone
    int OnTimerExpired(DWORD dwTimerId, DWORD dwParam) override
    {
        {
            std::lock_guard<std::mutex> guard(m_mtx);
            m_vecExpiry.push_back(Expiry{dwTimerId, dwParam, timeGetTime()});
        }
        if (m_hGate != NULL)
            WaitForSingleObject(m_hGate, 10000);
        return 0;
    }
    std::vector<Expiry> Expiries() { std::lock_guard<std::mutex> guard(m_mtx); return m_vecExpiry; }
    // Waits (bounded) until timer dwTimerId has expired; returns every expiry so far.
    std::vector<Expiry> WaitForId(DWORD dwTimerId, DWORD dwTimeout = 5000)
    {
        auto fnHas = [=](const Expiry& e) { return e.dwTimerId == dwTimerId; };
        std::vector<Expiry> vec;
        for (ULONGLONG ullEnd = GetTickCount64() + dwTimeout; GetTickCount64() <= ullEnd; Sleep(2))
            if (vec = Expiries(), std::any_of(vec.begin(), vec.end(), fnHas))
                break;
        return vec;
    }
    // Moves the fake clock and waits until a tick has run the wheel up to it.
    bool AdvanceTo(DWORD dwTime)
    {
        m_dwFake = dwTime;
        for (int i = 0; i < 1000 && GetTimerTick() != dwTime; ++i)
            Sleep(5);
        return GetTimerTick() == dwTime;
    }
    // Wheel level of a timer, 0 when the id is not set (e.g. a fired one-shot).
    int Level(DWORD dwTimerId) { int iLevel = 0, iSlot = 0; return GetTimerSlot(dwTimerId, &iLevel, &iSlot) ? iLevel : 0; }

protected:
    DWORD ReadClock() override { return m_dwFake != 0 ? m_dwFake.load() : VZ_MultipleTimer::ReadClock(); }

private:
    std::mutex m_mtx;
    std::vector<Expiry> m_vecExpiry;
    std::atomic<DWORD> m_dwFake;   // 0: the real clock
};

TEST(VZ_MultipleTimer, LifecycleRemoveReAddAndReports)
{
    TestTimer t(1000);
    EXPECT_FALSE(t.AddTimer(1, 10, 0, true) || t.RemoveTimer(1));
    ASSERT_TRUE(t.Start(1, 3, 4099));
    EXPECT_TRUE(!t.Start(1, 2, 17) && t.GetMsgThreadCount() == 3);
    ASSERT_TRUE(t.AddTimer(1, 100, 1, true));
    EXPECT_TRUE(t.Stop() && t.GetMsgThreadCount() == 0);
    EXPECT_FALSE(t.AddTimer(2, 10, 0, true) || t.Stop());

    // After a restart the discarded timer 1 never fires and no leftover quit
    // message ends the fresh thread.
    ASSERT_TRUE(t.Start(1, 1, 4099));
    ASSERT_TRUE(t.AddTimer(4, 100, 40, true));
    EXPECT_FALSE(t.AddTimer(4, 5, 41, true));   // the first one stays as it was
    ASSERT_TRUE(t.AddTimer(3, 150, 1, true));
    EXPECT_TRUE(t.RemoveTimer(3) && !t.RemoveTimer(3));
    EXPECT_TRUE(t.AddTimer(3, 20, 3, true));
    ASSERT_TRUE(t.AddTimer(9, 200, 9, true));   // sentinel
    ASSERT_TRUE(t.AdvanceTo(1200));
    EXPECT_EQ("3:3 4:40 9:9", Trace(t.WaitForId(9)));
    t.Stop();

    CheckCapture checks;
    t.m_lpSink = NULL;
    EXPECT_TRUE(t.Start(1, 0, 4099));   // reported, goes on with no thread
    EXPECT_EQ("VZ_MultipleTimer: uiPeriod > 0 && iMsgThreadCount > 0 && iHashTableSize > 0;",
              checks.Conditions(true));
    t.Stop();
    checks.Clear();
    EXPECT_TRUE(t.Start(1, 1, 4099));
    EXPECT_TRUE(t.AddTimer(1, 0, 0, true));   // dropped by the sinkless thread
    for (int i = 0; i < 500 && checks.Count() == 0; ++i)
        Sleep(10);
    EXPECT_EQ(0u, checks.Conditions(true).find("VZ_MultipleTimer: m_lpSink;"));
    t.Stop();
}

// On the real clock an expiry is never early. Then the quits of a stop do not
// queue behind a backlog the threads would need seconds to work through: no
// stop wait runs out, and no thread is terminated.
TEST(VZ_MultipleTimer, RealClockNotEarlyAndStopWithABacklogEndsTheThreadsByQuit)
{
    TestTimer t;
    ASSERT_TRUE(t.Start(1, 2, 4099));
    // The expiry counts from the wheel clock of AddTimer, which is at least
    // the clock read just before: a strict lower bound.
    DWORD dwStart = t.GetTimerTick();
    ASSERT_TRUE(t.AddTimer(7, 300, 0xABCD, true));
    ASSERT_TRUE(t.AddTimer(8, 0, 8, true));
    std::vector<Expiry> vec = t.WaitForId(7);
    ASSERT_EQ("8:8 7:43981", Trace(vec));
    EXPECT_GE(vec[1].dwTime - dwStart, 300u);

    t.m_hGate = CreateEventW(NULL, TRUE, FALSE, NULL);   // no expiry is due: no thread reads it now
    for (DWORD i = 0; i < 500; ++i)
        ASSERT_TRUE(t.AddTimer(i, 1, i, false));
    // The threads wait at the gate while expiries pile up (500 a tick), more
    // than they could deliver within the stop's time-out.
    for (ULONGLONG ullEnd = GetTickCount64() + 30000; t.GetQueuedCount() <= 100000; Sleep(5))
        ASSERT_LT(GetTickCount64(), ullEnd);

    SetEvent(t.m_hGate);
    // A stop that ran out would also have terminated its thread.
    LONG lTimeouts = VZ_MultiThread::GetStopTimeoutCount();
    EXPECT_TRUE(t.Stop() && lTimeouts == VZ_MultiThread::GetStopTimeoutCount() && t.GetMsgThreadCount() == 0);
    CloseHandle(t.m_hGate);
}

TEST(VZ_MultipleTimer, PlacedByDistanceAndNeverEarlyAcrossClockWrap)
{
    const DWORD dwBase = 0xFFFFFFF0;   // most expiries lie past the 32-bit wrap
    TestTimer t(dwBase);
    ASSERT_TRUE(t.Start(1, 1, 4099));
    const struct { UINT uiElapse; int iLevel; } cases[] = {
        {0, 1}, {1, 1}, {255, 1}, {256, 2}, {300, 2}, {16384, 3}, {20000, 3}, {2000000, 4}, {70000000, 5},
    };
    for (DWORD i = 0; i < std::size(cases); ++i) {
        ASSERT_TRUE(t.AddTimer(i, cases[i].uiElapse, i, true));
        int iLevel = t.Level(i);   // 0: the 0 ms timer may have fired at a tick since
        EXPECT_TRUE(iLevel == cases[i].iLevel || (iLevel == 0 && cases[i].uiElapse == 0)) << cases[i].uiElapse;
    }
    // 0 ms fires at the next tick while the clock stands still; 1 ms waits.
    EXPECT_EQ("0:0", Trace(t.WaitForId(0)));
    EXPECT_EQ(1, t.Level(1));
    for (DWORD i = 1; i < std::size(cases); ++i) {
        ASSERT_TRUE(t.AdvanceTo(dwBase + cases[i].uiElapse - 1));
        EXPECT_NE(0, t.Level(i)) << "early: " << cases[i].uiElapse;
        ASSERT_TRUE(t.AdvanceTo(dwBase + cases[i].uiElapse));
        std::vector<Expiry> vec = t.WaitForId(i);
        ASSERT_EQ(i + 1, vec.size()) << "missed: " << cases[i].uiElapse;
        EXPECT_FALSE(t.RemoveTimer(i));   // a one-shot is gone once fired
    }
}

TEST(VZ_MultipleTimer, RepeatingRearmsFromNowAfterALagAndBatchesOverflow)
{
    const DWORD dwBase = 5000;
    TestTimer t(dwBase);
    ASSERT_TRUE(t.Start(1, 1, 4099));
    ASSERT_TRUE(t.AddTimer(1, 10, 1, false));
    ASSERT_TRUE(t.AddTimer(2, 0, 2, false));   // taken as 1 ms: the tick never loops on it
    // A lagging tick of 1000 ms fires each timer once, not once per interval,
    // and re-arms it from that tick's now (2 for 1001, 1 for 1010).
    ASSERT_TRUE(t.AdvanceTo(dwBase + 1000));
    ASSERT_TRUE(t.AdvanceTo(dwBase + 1008));   // 2 fires, re-armed for 1009
    ASSERT_TRUE(t.AdvanceTo(dwBase + 1010));   // 2, then 1
    // Removed after re-arming, they fire no more: the sentinel comes next.
    EXPECT_TRUE(t.RemoveTimer(1) && t.RemoveTimer(2));
    ASSERT_TRUE(t.AddTimer(9, 15, 9, true));
    ASSERT_TRUE(t.AdvanceTo(dwBase + 1030));
    EXPECT_EQ("2:2 1:1 2:2 2:2 1:1 9:9", Trace(t.WaitForId(9)));

    // More expiries in one tick than one batch of messages: each delivered once.
    const DWORD dwCount = 2000;
    for (DWORD i = 0; i < dwCount; ++i)
        ASSERT_TRUE(t.AddTimer(1000 + i, 300, i, true));
    ASSERT_TRUE(t.AddTimer(8, 301, 8, true));   // sentinel
    ASSERT_TRUE(t.AdvanceTo(dwBase + 1331));
    std::vector<Expiry> vec = t.WaitForId(8, 10000);
    ASSERT_EQ(6 + dwCount + 1, vec.size());
    std::sort(vec.begin() + 6, vec.end(), [](const Expiry& x, const Expiry& y) { return x.dwTimerId < y.dwTimerId; });
    for (DWORD i = 0; i < dwCount; ++i)   // after the sentinel's id 8
        ASSERT_TRUE(vec[i + 7].dwTimerId == 1000 + i && vec[i + 7].dwParam == i) << i;
}

} // namespace
