// The engine-independent base: timer ids, name requests, SendV and the
// textual address forms.
#include <winsock2.h>
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "VZ_Assert.h"
#include "net/TestSocketMgr.h"

namespace {

// Records the last call that reached the engine's Send or an address form.
class CaptureSocketMgr : public TestSocketMgr {
public:
    using TestSocketMgr::CreateTcpSocket;
    using TestSocketMgr::CreateUdpSocket;
    using TestSocketMgr::SendTo;
    std::string m_strCall;
    sockaddr_in m_addr = {};

    bool Send(SOCKET s, const char* buf, int len, DWORD dwParam, UINT* lpuiQueued) override
    { return Keep("send " + std::string(buf, len), s, dwParam, lpuiQueued != NULL, NULL) != 0; }
    SOCKET CreateUdpSocket(HANDLE h, const sockaddr_in* lpAddr, DWORD dw1, DWORD dw2) override
    { return Keep("udp", reinterpret_cast<ULONG_PTR>(h), dw1, dw2, lpAddr); }
    SOCKET CreateTcpSocket(HANDLE h, const sockaddr_in* lpAddr, DWORD dw1, DWORD dw2) override
    { return Keep("tcp", reinterpret_cast<ULONG_PTR>(h), dw1, dw2, lpAddr); }
    int SendTo(SOCKET s, const sockaddr_in* lpAddr, const char* buf, int len, bool bDirect) override
    { return static_cast<int>(Keep("sendto " + std::string(buf, len), s, bDirect, 0, lpAddr)); }

private:
    SOCKET Keep(const std::string& strName, ULONG_PTR ul, DWORD dw1, DWORD dw2, const sockaddr_in* lpAddr)
    {
        m_strCall = strName + " " + std::to_string(ul) + " " + std::to_string(dw1) + " " + std::to_string(dw2);
        if (lpAddr != NULL)
            m_addr = *lpAddr;
        return 77;
    }
};

class NullTimerSink : public VZ_MultipleTimerSink {
public:
    int OnTimerExpired(DWORD, DWORD) override { return 0; }
};

std::string g_strReport;
void KeepReport(const char* lpszExpr, const char*, int) { g_strReport += lpszExpr; }

const UINT LONG_MS = 600000; // never expires within a test

class VZ_SocketMgrTimers : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_mgr.StartTimerService(&m_sink, 1)); }
    bool Armed(DWORD dwId)
    {
        int iLevel = 0, iSlot = 0;
        return m_mgr.m_Timer.GetTimerSlot(dwId, &iLevel, &iSlot);
    }
    NullTimerSink m_sink;
    TestSocketMgr m_mgr;
};

} // namespace

TEST_F(VZ_SocketMgrTimers, IdsOfEveryKindAndTheEventLimit)
{
    EXPECT_TRUE(m_mgr.SetTimer(0x42, 0, LONG_MS, 7, false) && Armed(0x3000042));
    EXPECT_TRUE(m_mgr.KillTimer(0x42, 0) && !Armed(0x3000042));
    EXPECT_TRUE(m_mgr.SetTimer(0x42, 28, LONG_MS, 0, true) && Armed(0x1F000042));
    EXPECT_TRUE(m_mgr.SetSendTimeout(0x42, LONG_MS) && m_mgr.SetRecvTimeout(0x42, LONG_MS));
    EXPECT_TRUE(m_mgr.SetConnectTimer(0x42) && Armed(0x42) && Armed(0x1000042) && Armed(0x2000042));
    EXPECT_FALSE(m_mgr.SetSendTimeout(0x42, 1000)) << "armed already";
    EXPECT_TRUE(m_mgr.KillSendTimeout(0x42) && m_mgr.KillRecvTimeout(0x42) && m_mgr.KillConnectTimer(0x42));
    EXPECT_TRUE(m_mgr.KillTimer(0x42, 28));
    EXPECT_FALSE(Armed(0x42) || Armed(0x1000042) || Armed(0x2000042) || Armed(0x1F000042));
    EXPECT_FALSE(m_mgr.KillRecvTimeout(0x42)) << "killed already";
    VZ_AssertHandler lpOld = VZ_SetAssertHandler(KeepReport);
    g_strReport.clear();
    EXPECT_FALSE(m_mgr.SetTimer(0x42, 29, LONG_MS, 0, true));
    EXPECT_FALSE(m_mgr.KillTimer(0x42, 29));
    VZ_SetAssertHandler(lpOld);
    EXPECT_EQ("event <= MAX_TIMER_COUNTevent <= MAX_TIMER_COUNT", g_strReport);
    // A handle past 24 bits would arm another socket's timer (here: the receive time-out of 5).
    EXPECT_FALSE(m_mgr.SetSendTimeout(0x1000005, LONG_MS));
    EXPECT_FALSE(Armed(0x1000005));
}

TEST_F(VZ_SocketMgrTimers, KillAllTimersTakesOneSocketOnly)
{
    ASSERT_TRUE(m_mgr.SetSendTimeout(5, LONG_MS) && m_mgr.SetRecvTimeout(5, LONG_MS) && m_mgr.SetConnectTimer(5));
    ASSERT_TRUE(m_mgr.SetTimer(5, 0, LONG_MS, 0, true) && m_mgr.SetTimer(5, 28, LONG_MS, 0, false));
    ASSERT_TRUE(m_mgr.SetSendTimeout(6, LONG_MS) && m_mgr.SetTimer(6, 28, LONG_MS, 0, true));
    // Ids of INVALID_SOCKET would wrap onto those of socket 0xFFFFFF.
    ASSERT_TRUE(m_mgr.m_Timer.AddTimer(0x2FFFFFF, LONG_MS, 0, true));
    m_mgr.KillAllTimers(INVALID_SOCKET);
    EXPECT_TRUE(Armed(5) && Armed(0x1F000005) && Armed(0x2FFFFFF));
    m_mgr.KillAllTimers(5);
    for (DWORD k = 0; k < 32; ++k)
        EXPECT_FALSE(Armed((k << 24) + 5)) << "kind " << k;
    EXPECT_TRUE(Armed(6) && Armed(0x1F000006));
}

TEST(VZ_SocketMgr, DnsParseQueuesNamesUpTo260)
{
    TestSocketMgr mgr;
    EXPECT_FALSE(mgr.SetSendTimeout(1, 1000) || mgr.SetTimer(1, 0, 1000, 0, true)) << "no timer service";
    std::string strName(260, 'a');
    ASSERT_TRUE(mgr.DnsParse(strName.c_str()));
    EXPECT_FALSE(mgr.DnsParse(std::string(261, 'b').c_str()));
    ASSERT_TRUE(mgr.m_queDns.PostMessage(77, 0, 0)); // marks the end of what was queued
    _VZ_MSG msg = {};
    ASSERT_TRUE(mgr.m_queDns.GetMessage(&msg));
    EXPECT_EQ(10u, msg.message);
    _DNSDATA* lpData = reinterpret_cast<_DNSDATA*>(msg.lParam);
    ASSERT_NE(nullptr, lpData);
    EXPECT_EQ(reinterpret_cast<char*>(lpData + 1), lpData->lpszHost);
    EXPECT_EQ(strName, lpData->lpszHost);
    mgr.m_Memory.Free(lpData);
    ASSERT_TRUE(mgr.m_queDns.GetMessage(&msg));
    EXPECT_EQ(77u, msg.message) << "the 261-character name was queued";
    EXPECT_TRUE(mgr.DnsParse("left.for.the.destructor"));
}

TEST(VZ_SocketMgr, SendVAndTextualFormsReachTheEngine)
{
    CaptureSocketMgr mgr;
    _SOCKBUF bufs[3] = {{"ab", 0, 2}, {"zz", 0, 0}, {"cde", 0, 3}};
    UINT uiQueued = 0;
    EXPECT_TRUE(mgr.SendV(9, bufs, 3, 55, &uiQueued));
    EXPECT_EQ("send abcde 9 55 1", mgr.m_strCall);
    mgr.m_strCall.clear();
    _SOCKBUF empty[2] = {{"x", 0, 0}, {"y", 0, 0}};
    EXPECT_FALSE(mgr.SendV(9, empty, 2, 0, NULL) || mgr.SendV(9, bufs, 0, 0, NULL));
    EXPECT_EQ("", mgr.m_strCall) << "a total of 0 bytes reached Send";

    ISocketMgr* lpMgr = &mgr;
    EXPECT_EQ(77u, lpMgr->CreateUdpSocket(reinterpret_cast<HANDLE>(3), "10.1.2.3", 0x1234, 7, 8));
    EXPECT_EQ("udp 3 7 8", mgr.m_strCall);
    EXPECT_TRUE(mgr.m_addr.sin_family == AF_INET && mgr.m_addr.sin_addr.s_addr == inet_addr("10.1.2.3") &&
                mgr.m_addr.sin_port == htons(0x1234));
    EXPECT_EQ(77u, lpMgr->CreateTcpSocket(NULL, static_cast<const char*>(NULL), 80, 1, 2));
    EXPECT_EQ("tcp 0 1 2", mgr.m_strCall);
    EXPECT_TRUE(mgr.m_addr.sin_addr.s_addr == 0 && mgr.m_addr.sin_port == htons(80));
    EXPECT_EQ(77, lpMgr->SendTo(11, "192.168.0.1", 53, "abc", 3, true));
    EXPECT_EQ("sendto abc 11 1 0", mgr.m_strCall);
    EXPECT_TRUE(mgr.m_addr.sin_addr.s_addr == inet_addr("192.168.0.1") && mgr.m_addr.sin_port == htons(53));
}
