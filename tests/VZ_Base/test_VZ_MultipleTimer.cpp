#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "VZ_Assert.h"
#include "VZ_MultipleTimer.h"

namespace {

struct Expiry
{
    DWORD dwTimerId;
    DWORD dwParam;
    DWORD dwTime;   // timeGetTime() at the sink call
};

class RecordingSink : public VZ_MultipleTimerSink
{
public:
    std::function<void(DWORD)> m_fnHook;   // runs after the record, outside its lock

    int OnTimerExpired(DWORD dwTimerId, DWORD dwParam) override
    {
        DWORD dwTime = timeGetTime();
        {
            std::lock_guard<std::mutex> guard(m_mtx);
            m_vecExpiry.push_back(Expiry{dwTimerId, dwParam, dwTime});
            m_cv.notify_all();
        }
        if (m_fnHook)
            m_fnHook(dwTimerId);
        return 0;
    }

    // Waits until n expiries have arrived or dwTimeout ms have passed.
    std::vector<Expiry> WaitFor(size_t n, DWORD dwTimeout)
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        m_cv.wait_for(lock, std::chrono::milliseconds(dwTimeout),
                      [&] { return m_vecExpiry.size() >= n; });
        return m_vecExpiry;
    }

    std::vector<Expiry> Snapshot() { return WaitFor(0, 0); }

private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::vector<Expiry> m_vecExpiry;
};

std::mutex g_mtxReports;
std::vector<std::string> g_vecReports;

void CaptureReport(const char* lpszExpr, const char* lpszModule, int /*iLine*/)
{
    std::lock_guard<std::mutex> guard(g_mtxReports);
    g_vecReports.push_back(std::string(lpszModule) + ": " + lpszExpr);
}

// Captures reports for the scope of one test.
struct ScopedCapture
{
    VZ_AssertHandler lpOld = VZ_SetAssertHandler(CaptureReport);
    ~ScopedCapture() { VZ_SetAssertHandler(lpOld); }
};

bool Reported(const std::string& strReport)
{
    std::lock_guard<std::mutex> guard(g_mtxReports);
    return std::find(g_vecReports.begin(), g_vecReports.end(), strReport) != g_vecReports.end();
}

// The service on the real clock, or on a clock the test moves by hand.
class TestTimer : public VZ_MultipleTimer
{
public:
    ~TestTimer() { Stop(); }   // no tick may call ReadClock() once this part is gone

    void UseFakeClock(DWORD dwStart)
    {
        m_dwFake = dwStart;
        m_bFake = true;
    }

    // Moves the fake clock and waits until a tick has run the wheel up to it.
    bool AdvanceTo(DWORD dwTime)
    {
        m_dwFake = dwTime;
        for (int i = 0; i < 1000; ++i) {
            if (GetTimerTick() == dwTime)
                return true;
            Sleep(5);
        }
        return false;
    }

protected:
    DWORD ReadClock() override { return m_bFake ? m_dwFake.load() : VZ_MultipleTimer::ReadClock(); }

private:
    std::atomic<bool> m_bFake{false};
    std::atomic<DWORD> m_dwFake{0};
};

size_t CountOf(const std::vector<Expiry>& vec, DWORD dwTimerId)
{
    return static_cast<size_t>(std::count_if(vec.begin(), vec.end(),
        [=](const Expiry& e) { return e.dwTimerId == dwTimerId; }));
}

class MultipleTimerTest : public ::testing::Test
{
protected:
    void SetUp() override { m_timer.m_lpSink = &m_sink; }

    RecordingSink m_sink;       // outlives the timer, whose destructor stops it
    TestTimer m_timer;
};

TEST_F(MultipleTimerTest, LifecycleStopDiscardsTimersAndRestarts)
{
    EXPECT_FALSE(m_timer.AddTimer(1, 10, 0, true));
    EXPECT_FALSE(m_timer.RemoveTimer(1));

    ASSERT_TRUE(m_timer.Start(1, 3, 4099));
    EXPECT_EQ(3, m_timer.GetMsgThreadCount());
    EXPECT_FALSE(m_timer.Start(1, 2, 17));
    EXPECT_EQ(3, m_timer.GetMsgThreadCount());

    EXPECT_TRUE(m_timer.AddTimer(1, 100, 0, true));
    EXPECT_TRUE(m_timer.Stop());
    EXPECT_EQ(0, m_timer.GetMsgThreadCount());
    EXPECT_FALSE(m_timer.AddTimer(2, 10, 0, true));
    EXPECT_FALSE(m_timer.Stop());
    Sleep(200);
    EXPECT_TRUE(m_sink.Snapshot().empty());   // discarded without expiry

    // A restarted service has fresh message threads that really deliver.
    ASSERT_TRUE(m_timer.Start(1, 2, 4099));
    EXPECT_TRUE(m_timer.AddTimer(1, 10, 7, true));
    std::vector<Expiry> vec = m_sink.WaitFor(1, 2000);
    ASSERT_EQ(1u, vec.size());
    EXPECT_EQ(1u, vec[0].dwTimerId);
    EXPECT_EQ(7u, vec[0].dwParam);
}

TEST_F(MultipleTimerTest, ReportsBadStartAndMissingSink)
{
    ScopedCapture capture;
    m_timer.m_lpSink = NULL;
    EXPECT_TRUE(m_timer.Start(1, 0, 4099));
    EXPECT_TRUE(Reported("VZ_MultipleTimer: uiPeriod > 0 && iMsgThreadCount > 0 && iHashTableSize > 0"));
    m_timer.Stop();

    ASSERT_TRUE(m_timer.Start(1, 1, 4099));
    EXPECT_TRUE(m_timer.AddTimer(1, 0, 0, true));   // dropped by the sinkless thread
    for (int i = 0; i < 200 && !Reported("VZ_MultipleTimer: m_lpSink"); ++i)
        Sleep(10);
    EXPECT_TRUE(Reported("VZ_MultipleTimer: m_lpSink"));
    m_timer.Stop();
}

TEST_F(MultipleTimerTest, OneShotFiresOnceNotEarly)
{
    ASSERT_TRUE(m_timer.Start(1, 2, 4099));
    // The expiry counts from the wheel clock of AddTimer, which is at least
    // the clock read just before: a strict lower bound.
    DWORD dwStart = m_timer.GetTimerTick();
    ASSERT_TRUE(m_timer.AddTimer(7, 300, 0xABCD, true));   // through level 2
    ASSERT_TRUE(m_timer.AddTimer(8, 0, 8, true));          // next tick
    std::vector<Expiry> vec = m_sink.WaitFor(2, 3000);
    Sleep(100);
    vec = m_sink.Snapshot();
    ASSERT_EQ(2u, vec.size());
    EXPECT_EQ(8u, vec[0].dwTimerId);
    EXPECT_EQ(7u, vec[1].dwTimerId);
    EXPECT_EQ(0xABCDu, vec[1].dwParam);
    EXPECT_GE(vec[1].dwTime - dwStart, 300u);
    EXPECT_LT(vec[1].dwTime - dwStart, 3000u);
    EXPECT_FALSE(m_timer.RemoveTimer(7));   // a fired one-shot has left the map
}

TEST_F(MultipleTimerTest, PlacementByDistance)
{
    ASSERT_TRUE(m_timer.Start(1, 1, 4099));
    int iLevel = 0, iSlot = -1;
    const struct { DWORD dwId; UINT uiElapse; int iLevel; } cases[] = {
        {1, 250, 1}, {2, 20000, 3}, {3, 2000000, 4}, {4, 70000000, 5},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(m_timer.AddTimer(c.dwId, c.uiElapse, 0, true));
        ASSERT_TRUE(m_timer.GetTimerSlot(c.dwId, &iLevel, &iSlot));
        EXPECT_EQ(c.iLevel, iLevel) << c.uiElapse;
    }
    // 300 ms sits in level 2 until the clock enters the next 256-ms window,
    // so the answer counts only when no window boundary was crossed.
    bool bChecked = false;
    for (int i = 0; i < 5 && !bChecked; ++i) {
        DWORD dwBefore = m_timer.GetTimerTick();
        ASSERT_TRUE(m_timer.AddTimer(5, 300, 0, true));
        ASSERT_TRUE(m_timer.GetTimerSlot(5, &iLevel, &iSlot));
        bChecked = (dwBefore >> 8) == (m_timer.GetTimerTick() >> 8);
        if (bChecked) {
            EXPECT_EQ(2, iLevel);
        }
        ASSERT_TRUE(m_timer.RemoveTimer(5));
    }
    EXPECT_TRUE(bChecked);
    EXPECT_FALSE(m_timer.GetTimerSlot(99, &iLevel, &iSlot));
}

TEST_F(MultipleTimerTest, DuplicateRemoveAndReAdd)
{
    ASSERT_TRUE(m_timer.Start(1, 2, 4099));
    DWORD dwStart = m_timer.GetTimerTick();
    ASSERT_TRUE(m_timer.AddTimer(4, 100, 40, true));
    EXPECT_FALSE(m_timer.AddTimer(4, 5, 41, true));   // the first one stays as it was
    ASSERT_TRUE(m_timer.AddTimer(3, 150, 1, true));
    EXPECT_TRUE(m_timer.RemoveTimer(3));
    EXPECT_FALSE(m_timer.RemoveTimer(3));
    EXPECT_TRUE(m_timer.AddTimer(3, 20, 3, true));
    m_sink.WaitFor(2, 2000);
    Sleep(250);   // past the removed timer's 150 ms
    std::map<DWORD, std::vector<Expiry>> byId;
    for (const Expiry& e : m_sink.Snapshot())
        byId[e.dwTimerId].push_back(e);
    ASSERT_EQ(2u, byId.size());
    ASSERT_EQ(1u, byId[4].size());
    EXPECT_EQ(40u, byId[4][0].dwParam);
    EXPECT_GE(byId[4][0].dwTime - dwStart, 100u);
    ASSERT_EQ(1u, byId[3].size());
    EXPECT_EQ(3u, byId[3][0].dwParam);
}

TEST_F(MultipleTimerTest, RepeatingRearmsFromEachExpiry)
{
    ASSERT_TRUE(m_timer.Start(1, 2, 4099));
    DWORD dwStart = m_timer.GetTimerTick();
    ASSERT_TRUE(m_timer.AddTimer(5, 20, 55, false));
    std::vector<Expiry> vec = m_sink.WaitFor(5, 3000);
    ASSERT_GE(vec.size(), 5u);
    DWORD dwLatest = 0;
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(55u, vec[i].dwParam);
        dwLatest = std::max(dwLatest, vec[i].dwTime - dwStart);
    }
    EXPECT_GE(dwLatest, 100u);   // five intervals, each from the previous expiry
    ASSERT_TRUE(m_timer.RemoveTimer(5));
    size_t nAtRemove = m_sink.Snapshot().size();
    Sleep(100);
    EXPECT_LE(m_sink.Snapshot().size(), nAtRemove + 1);   // one may be in flight
}

TEST_F(MultipleTimerTest, RepeatingZeroIntervalFiresAtMostOncePerMillisecond)
{
    ASSERT_TRUE(m_timer.Start(1, 2, 4099));
    DWORD dwStart = m_timer.GetTimerTick();
    ASSERT_TRUE(m_timer.AddTimer(6, 0, 0, false));
    Sleep(200);
    ASSERT_TRUE(m_timer.RemoveTimer(6));
    DWORD dwEnd = m_timer.GetTimerTick();
    Sleep(50);
    size_t n = m_sink.Snapshot().size();
    EXPECT_GE(n, 2u);
    EXPECT_LE(n, static_cast<size_t>(dwEnd - dwStart));
}

TEST_F(MultipleTimerTest, CascadesThroughEveryLevelAcrossClockWrap)
{
    const DWORD dwBase = 0xFFFFFFF0;   // the first expiry lies past the 32-bit wrap
    m_timer.UseFakeClock(dwBase);
    ASSERT_TRUE(m_timer.Start(1, 2, 4099));
    const UINT elapses[] = {300, 20000, 2000000, 70000000};   // levels 2 to 5
    for (DWORD i = 0; i < 4; ++i)
        ASSERT_TRUE(m_timer.AddTimer(100 + i, elapses[i], i, true));
    for (DWORD i = 0; i < 4; ++i) {
        ASSERT_TRUE(m_timer.AdvanceTo(dwBase + elapses[i] - 1));
        Sleep(30);
        EXPECT_EQ(i, m_sink.Snapshot().size()) << "early: " << elapses[i];
        ASSERT_TRUE(m_timer.AdvanceTo(dwBase + elapses[i]));
        std::vector<Expiry> vec = m_sink.WaitFor(i + 1, 2000);
        ASSERT_EQ(i + 1, vec.size()) << "missed: " << elapses[i];
        EXPECT_EQ(100 + i, vec[i].dwTimerId);
        EXPECT_EQ(i, vec[i].dwParam);
    }
}

TEST_F(MultipleTimerTest, RepeatingRearmsFromNowAfterALag)
{
    const DWORD dwBase = 5000;
    m_timer.UseFakeClock(dwBase);
    ASSERT_TRUE(m_timer.Start(1, 1, 4099));
    ASSERT_TRUE(m_timer.AddTimer(1, 10, 0, false));
    ASSERT_TRUE(m_timer.AddTimer(2, 0, 0, false));   // taken as 1 ms
    // The clock stands still: ticks keep running but nothing is due yet.
    Sleep(30);
    EXPECT_TRUE(m_sink.Snapshot().empty());
    // One lagging tick of 1000 ms fires each timer once, not once per interval.
    // Waits are for a count, not a time: the message threads may be slow to run.
    ASSERT_TRUE(m_timer.AdvanceTo(dwBase + 1000));
    std::vector<Expiry> vec = m_sink.WaitFor(2, 2000);
    EXPECT_EQ(1u, CountOf(vec, 1));
    EXPECT_EQ(1u, CountOf(vec, 2));
    ASSERT_TRUE(m_timer.AdvanceTo(dwBase + 1009));
    vec = m_sink.WaitFor(3, 2000);
    EXPECT_EQ(1u, CountOf(vec, 1));
    EXPECT_EQ(2u, CountOf(vec, 2));   // re-armed 1 ms past that tick's now
    ASSERT_TRUE(m_timer.AdvanceTo(dwBase + 1010));
    vec = m_sink.WaitFor(5, 2000);
    EXPECT_EQ(2u, CountOf(vec, 1));
    EXPECT_EQ(3u, CountOf(vec, 2));
}

TEST_F(MultipleTimerTest, ManyTimersOfOneMillisecondAllDelivered)
{
    const DWORD dwBase = 1000, dwCount = 2000;   // more than one batch of messages
    m_timer.UseFakeClock(dwBase);
    ASSERT_TRUE(m_timer.Start(1, 2, 4099));
    for (DWORD i = 0; i < dwCount; ++i)
        ASSERT_TRUE(m_timer.AddTimer(1000 + i, 300, i, true));
    ASSERT_TRUE(m_timer.AdvanceTo(dwBase + 300));
    m_sink.WaitFor(dwCount, 5000);
    Sleep(30);
    std::vector<Expiry> vec = m_sink.Snapshot();
    ASSERT_EQ(dwCount, vec.size());
    std::vector<int> seen(dwCount, 0);
    for (const Expiry& e : vec) {
        ASSERT_GE(e.dwTimerId, 1000u);
        ASSERT_LT(e.dwTimerId, 1000u + dwCount);
        EXPECT_EQ(e.dwTimerId - 1000, e.dwParam);
        ++seen[e.dwTimerId - 1000];
    }
    EXPECT_EQ(dwCount, static_cast<DWORD>(std::count(seen.begin(), seen.end(), 1)));
}

TEST_F(MultipleTimerTest, SinkMayAddAndRemoveTimers)
{
    std::atomic<int> iRemoved(-1);
    m_sink.m_fnHook = [&](DWORD dwTimerId) {
        if (dwTimerId == 20) {
            iRemoved = m_timer.RemoveTimer(22) ? 1 : 0;
            m_timer.AddTimer(21, 10, 0, true);
        }
    };
    ASSERT_TRUE(m_timer.Start(1, 2, 4099));
    ASSERT_TRUE(m_timer.AddTimer(22, 60000, 0, true));
    ASSERT_TRUE(m_timer.AddTimer(20, 10, 0, true));
    std::vector<Expiry> vec = m_sink.WaitFor(2, 2000);
    ASSERT_EQ(2u, vec.size());
    EXPECT_EQ(20u, vec[0].dwTimerId);
    EXPECT_EQ(21u, vec[1].dwTimerId);
    EXPECT_EQ(1, iRemoved.load());
    m_timer.Stop();   // the hook must not outlive the locals it uses
}

} // namespace
