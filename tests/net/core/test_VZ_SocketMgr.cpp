// The engine-independent base: timer ids of every kind and their limits.
// Name requests, SendV and the textual address forms are tested through
// every engine in test_EngineLoopback.cpp.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "CheckCapture.h"
#include "net/LogSink.h"
#include "net/TestSocketMgr.h"

namespace {

const UINT LONG_MS = 600000; // never expires within a test

// One open socket (5) and a timer sink whose expiries wait for the test
// (none expires in the id test).
class OneSocketMgr : public TestSocketMgr, public VZ_MultipleTimerSink {
public:
    OneSocketMgr() : m_hGo(CreateEventW(NULL, TRUE, FALSE, NULL)), m_hTaken(CreateEventW(NULL, TRUE, FALSE, NULL))
    {
        InitSocketCore(m_core, 5, SS_CONNECTED, 11, 22, NULL, &m_ulSerial, 0);
    }
    ~OneSocketMgr() override
    {
        SetEvent(m_hGo);
        StopTimerService();
        CloseHandle(m_hGo);
        CloseHandle(m_hTaken);
    }
    int OnTimerExpired(DWORD dwTimerId, DWORD dwToken) override
    {
        SetEvent(m_hTaken);
        WaitForSingleObject(m_hGo, 10000);
        return ExpireSocketTimer(dwTimerId, dwToken);
    }
    _SOCKETCORE* LockSocket(SOCKET s) override { return s == 5 ? &m_core : NULL; }
    void UnlockSocket(SOCKET) override {}
    bool Armed(DWORD dwId)
    {
        int iLevel = 0, iSlot = 0;
        return m_Timer.GetTimerSlot(dwId, &iLevel, &iSlot);
    }
    HANDLE m_hGo, m_hTaken;

private:
    _SOCKETCORE m_core;
    ULONG m_ulSerial = 1;
};

} // namespace

TEST(VZ_SocketMgrTimers, IdsOfEveryKindTheEventLimitAndKillAllOfOneSocket)
{
    OneSocketMgr mgr;
    ASSERT_TRUE(mgr.StartTimerService(&mgr, 1));
    EXPECT_TRUE(mgr.SetTimer(0x42, 0, LONG_MS, 7, false) && mgr.Armed(0x3000042));
    EXPECT_TRUE(mgr.KillTimer(0x42, 0) && !mgr.Armed(0x3000042));
    EXPECT_TRUE(mgr.SetTimer(0x42, 28, LONG_MS, 0, true) && mgr.Armed(0x1F000042));
    EXPECT_TRUE(mgr.SetSendTimeout(0x42, LONG_MS) && mgr.SetRecvTimeout(0x42, LONG_MS));
    EXPECT_TRUE(mgr.SetConnectTimer(0x42) && mgr.Armed(0x42) && mgr.Armed(0x1000042) && mgr.Armed(0x2000042));
    EXPECT_FALSE(mgr.SetSendTimeout(0x42, 1000)) << "armed already";
    EXPECT_TRUE(mgr.KillSendTimeout(0x42) && mgr.KillRecvTimeout(0x42) && mgr.KillConnectTimer(0x42));
    EXPECT_TRUE(mgr.KillTimer(0x42, 28));
    EXPECT_FALSE(mgr.Armed(0x42) || mgr.Armed(0x1000042) || mgr.Armed(0x2000042) || mgr.Armed(0x1F000042));
    EXPECT_FALSE(mgr.KillRecvTimeout(0x42)) << "killed already";
    {
        CheckCapture checks;
        EXPECT_FALSE(mgr.SetTimer(0x42, 29, LONG_MS, 0, true));
        EXPECT_FALSE(mgr.KillTimer(0x42, 29));
        EXPECT_EQ("event <= MAX_TIMER_COUNT;event <= MAX_TIMER_COUNT;", checks.Conditions());
    }
    // A handle past 24 bits would arm another socket's timer (here: the receive time-out of 5).
    EXPECT_FALSE(mgr.SetSendTimeout(0x1000005, LONG_MS));
    EXPECT_FALSE(mgr.Armed(0x1000005));
    // KillAllTimers takes every kind of one socket only.
    ASSERT_TRUE(mgr.SetSendTimeout(5, LONG_MS) && mgr.SetRecvTimeout(5, LONG_MS) && mgr.SetConnectTimer(5));
    ASSERT_TRUE(mgr.SetTimer(5, 0, LONG_MS, 0, true) && mgr.SetTimer(5, 28, LONG_MS, 0, false));
    ASSERT_TRUE(mgr.SetSendTimeout(6, LONG_MS) && mgr.SetTimer(6, 28, LONG_MS, 0, true));
    // Ids of INVALID_SOCKET would wrap onto those of socket 0xFFFFFF.
    ASSERT_TRUE(mgr.m_Timer.AddTimer(0x2FFFFFF, LONG_MS, 0, true));
    mgr.KillAllTimers(INVALID_SOCKET);
    EXPECT_TRUE(mgr.Armed(5) && mgr.Armed(0x1F000005) && mgr.Armed(0x2FFFFFF));
    mgr.KillAllTimers(5);
    for (DWORD k = 0; k < 32; ++k)
        EXPECT_FALSE(mgr.Armed((k << 24) + 5)) << "kind " << k;
    EXPECT_TRUE(mgr.Armed(6) && mgr.Armed(0x1F000006));
}

// An expiry already on its way when its timer is armed anew (as when the
// handle went to a new socket) raises nothing and leaves the new arming
// armed. One message thread: the held expiry is done before the marker
// timer armed behind it is raised.
TEST(VZ_SocketMgrTimerExpiry, AnExpiryOfAnEarlierArmingRaisesNothing)
{
    LogSink sink;
    OneSocketMgr mgr;
    mgr.SetSink(&sink);
    ASSERT_TRUE(mgr.StartTimerService(&mgr, 1));
    ASSERT_TRUE(mgr.SetTimer(5, 3, 0, 77, true));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mgr.m_hTaken, 5000)) << "the expiry is held by the test";
    EXPECT_FALSE(mgr.KillTimer(5, 3)) << "a fired one-shot timer is no longer armed";
    ASSERT_TRUE(mgr.SetTimer(5, 3, LONG_MS, 88, true) && mgr.SetTimer(5, 4, 0, 55, true));
    SetEvent(mgr.m_hGo);
    ASSERT_TRUE(sink.WaitFor(1, 5000));
    EXPECT_EQ(Lines{"timer 5 4 55 11 22"}, sink.Log());
    EXPECT_TRUE(mgr.KillTimer(5, 3)) << "the timer armed anew is still armed";
}
