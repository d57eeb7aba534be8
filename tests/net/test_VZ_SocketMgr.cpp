// The engine-independent base: timer ids, name requests, SendV and the
// textual address forms, socket options and name resolution.
#include <winsock2.h>
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "VZ_Assert.h"
#include "net/TestSocketMgr.h"

namespace {

// Records what reaches the engine's Send and address forms.
class CaptureSocketMgr : public TestSocketMgr {
public:
    using TestSocketMgr::CreateTcpSocket;
    using TestSocketMgr::CreateUdpSocket;
    using TestSocketMgr::SendTo;
    std::string m_strCall;   // last call with its arguments
    sockaddr_in m_addr = {};
    int m_iSends = 0;

    bool Send(SOCKET s, const char* buf, int len, DWORD dwParam, UINT* lpuiQueued) override
    {
        ++m_iSends;
        m_strCall = "send " + std::to_string(s) + " " + std::string(buf, len) + " " + std::to_string(dwParam) +
                    (lpuiQueued ? " q" : "");
        return true;
    }
    SOCKET CreateUdpSocket(HANDLE h, const sockaddr_in* lpAddr, DWORD dw1, DWORD dw2) override
    {
        return Keep("udp", h, lpAddr, dw1, dw2);
    }
    SOCKET CreateTcpSocket(HANDLE h, const sockaddr_in* lpAddr, DWORD dw1, DWORD dw2) override
    {
        return Keep("tcp", h, lpAddr, dw1, dw2);
    }
    int SendTo(SOCKET s, const sockaddr_in* lpAddr, const char* buf, int len, bool bDirect) override
    {
        return static_cast<int>(Keep("sendto " + std::string(buf, len), NULL, lpAddr, static_cast<DWORD>(s), bDirect));
    }

private:
    SOCKET Keep(const std::string& strName, HANDLE h, const sockaddr_in* lpAddr, DWORD dw1, DWORD dw2)
    {
        m_strCall = strName + " " + std::to_string(reinterpret_cast<ULONG_PTR>(h)) + " " + std::to_string(dw1) +
                    " " + std::to_string(dw2);
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

TEST_F(VZ_SocketMgrTimers, EventIdsAndLimit)
{
    EXPECT_TRUE(m_mgr.SetTimer(0x123, 0, LONG_MS, 7, false));
    EXPECT_TRUE(Armed(0x3000123));
    EXPECT_TRUE(m_mgr.KillTimer(0x123, 0));
    EXPECT_FALSE(Armed(0x3000123));
    EXPECT_TRUE(m_mgr.SetTimer(0x123, 28, LONG_MS, 0, true));
    EXPECT_TRUE(Armed(0x1F000123));
    EXPECT_TRUE(m_mgr.KillTimer(0x123, 28));
    EXPECT_FALSE(Armed(0x1F000123));

    VZ_AssertHandler lpOld = VZ_SetAssertHandler(KeepReport);
    g_strReport.clear();
    EXPECT_FALSE(m_mgr.SetTimer(0x123, 29, LONG_MS, 0, true));
    EXPECT_FALSE(m_mgr.KillTimer(0x123, 29));
    VZ_SetAssertHandler(lpOld);
    EXPECT_EQ("event <= MAX_TIMER_COUNTevent <= MAX_TIMER_COUNT", g_strReport);
}

TEST_F(VZ_SocketMgrTimers, TimeoutsConnectTimerAndWideHandles)
{
    EXPECT_TRUE(m_mgr.SetSendTimeout(0x42, 1000));
    EXPECT_FALSE(m_mgr.SetSendTimeout(0x42, 1000)) << "already armed";
    EXPECT_TRUE(m_mgr.SetRecvTimeout(0x42, 1000));
    EXPECT_TRUE(Armed(0x42) && Armed(0x1000042));
    EXPECT_TRUE(m_mgr.KillSendTimeout(0x42));
    EXPECT_TRUE(m_mgr.SetSendTimeout(0x42, LONG_MS)) << "re-arm after a kill";
    EXPECT_TRUE(m_mgr.KillRecvTimeout(0x42));
    EXPECT_FALSE(m_mgr.KillRecvTimeout(0x42));
    EXPECT_TRUE(m_mgr.SetConnectTimer(0x42));
    EXPECT_TRUE(Armed(0x2000042));
    EXPECT_TRUE(m_mgr.KillConnectTimer(0x42));
    // 0x1000005 would otherwise arm the receive time-out of socket 5.
    EXPECT_FALSE(m_mgr.SetSendTimeout(0x1000005, LONG_MS));
    EXPECT_FALSE(Armed(0x1000005));
    EXPECT_FALSE(m_mgr.SetTimer(0xFFFFFF, 0, LONG_MS, 0, true));
}

TEST_F(VZ_SocketMgrTimers, KillAllTimersTakesOneSocketOnly)
{
    ASSERT_TRUE(m_mgr.SetSendTimeout(5, LONG_MS) && m_mgr.SetRecvTimeout(5, LONG_MS) && m_mgr.SetConnectTimer(5));
    ASSERT_TRUE(m_mgr.SetTimer(5, 0, LONG_MS, 0, true) && m_mgr.SetTimer(5, 28, LONG_MS, 0, false));
    ASSERT_TRUE(m_mgr.SetSendTimeout(6, LONG_MS) && m_mgr.SetTimer(6, 28, LONG_MS, 0, true));
    m_mgr.KillAllTimers(INVALID_SOCKET);
    EXPECT_TRUE(Armed(5) && Armed(0x1F000005));
    m_mgr.KillAllTimers(5);
    for (DWORD k = 0; k < 32; ++k)
        EXPECT_FALSE(Armed((k << 24) + 5)) << "kind " << k;
    EXPECT_TRUE(Armed(6) && Armed(0x1F000006));
}

TEST(VZ_SocketMgr, TimerOperationsFailWithoutService)
{
    TestSocketMgr mgr;
    EXPECT_FALSE(mgr.SetSendTimeout(1, 1000) || mgr.SetRecvTimeout(1, 1000));
    EXPECT_FALSE(mgr.SetTimer(1, 0, 1000, 0, true) || mgr.SetConnectTimer(1));
}

TEST(VZ_SocketMgr, DnsParseQueuesNamesUpTo260)
{
    TestSocketMgr mgr;
    std::string strName(260, 'a');
    ASSERT_TRUE(mgr.DnsParse(strName.c_str()));
    _VZ_MSG msg = {};
    ASSERT_TRUE(mgr.m_queDns.GetMessage(&msg));
    EXPECT_EQ(10u, msg.message);
    _DNSDATA* lpData = reinterpret_cast<_DNSDATA*>(msg.lParam);
    ASSERT_NE(nullptr, lpData);
    EXPECT_EQ(reinterpret_cast<char*>(lpData + 1), lpData->lpszHost);
    EXPECT_EQ(strName, lpData->lpszHost);
    mgr.m_Memory.Free(lpData);

    EXPECT_FALSE(mgr.DnsParse(std::string(261, 'b').c_str()));
    ASSERT_TRUE(mgr.m_queDns.PostMessage(77, 0, 0)); // nothing queued before this marker
    ASSERT_TRUE(mgr.m_queDns.GetMessage(&msg));
    EXPECT_EQ(77u, msg.message);
    EXPECT_TRUE(mgr.DnsParse("left.for.the.destructor"));
}

TEST(VZ_SocketMgr, SendVConcatenatesIntoOneSend)
{
    CaptureSocketMgr mgr;
    UINT uiQueued = 0;
    _SOCKBUF bufs[3] = { { "ab", 0, 2 }, { "zz", 0, 0 }, { "cde", 0, 3 } };
    EXPECT_TRUE(mgr.SendV(9, bufs, 3, 55, &uiQueued));
    EXPECT_EQ("send 9 abcde 55 q", mgr.m_strCall);
    _SOCKBUF empty[2] = { { "x", 0, 0 }, { "y", 0, 0 } };
    EXPECT_FALSE(mgr.SendV(9, empty, 2, 0, NULL));
    EXPECT_FALSE(mgr.SendV(9, bufs, 0, 0, NULL));
    EXPECT_EQ(1, mgr.m_iSends);
}

TEST(VZ_SocketMgr, TextualFormsReachAddressForms)
{
    CaptureSocketMgr mgr;
    ISocketMgr* lpMgr = &mgr;
    EXPECT_EQ(77u, lpMgr->CreateUdpSocket(reinterpret_cast<HANDLE>(3), "10.1.2.3", 0x1234, 7, 8));
    EXPECT_EQ("udp 3 7 8", mgr.m_strCall);
    EXPECT_EQ(AF_INET, mgr.m_addr.sin_family);
    EXPECT_EQ(inet_addr("10.1.2.3"), mgr.m_addr.sin_addr.s_addr);
    EXPECT_EQ(htons(0x1234), mgr.m_addr.sin_port);
    EXPECT_EQ(77u, lpMgr->CreateTcpSocket(NULL, static_cast<const char*>(NULL), 80, 1, 2));
    EXPECT_EQ("tcp 0 1 2", mgr.m_strCall);
    EXPECT_EQ(0u, mgr.m_addr.sin_addr.s_addr);
    EXPECT_EQ(htons(80), mgr.m_addr.sin_port);
    EXPECT_EQ(77, lpMgr->SendTo(11, "192.168.0.1", 53, "abc", 3, true));
    EXPECT_EQ("sendto abc 0 11 1", mgr.m_strCall);
    EXPECT_EQ(inet_addr("192.168.0.1"), mgr.m_addr.sin_addr.s_addr);
    EXPECT_EQ(htons(53), mgr.m_addr.sin_port);
}

TEST(VZ_SocketMgr, BufferSizesAndNames)
{
    TestSocketMgr mgr; // holds the Winsock reference for the calls below
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(INVALID_SOCKET, s);
    EXPECT_TRUE(mgr.SetSendBufSize(s, 65536) && mgr.SetRecvBufSize(s, 32768));
    int iSnd = 0, iRcv = 0, iLen = sizeof(int);
    getsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&iSnd), &iLen);
    getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&iRcv), &iLen);
    EXPECT_EQ(65536, iSnd);
    EXPECT_EQ(32768, iRcv);
    closesocket(s);
    EXPECT_FALSE(mgr.SetSendBufSize(s, 65536)) << "closed socket";

    EXPECT_EQ(inet_addr("10.20.30.40"), VZ_SocketMgr::ResolveName("10.20.30.40"));
    EXPECT_EQ(inet_addr("127.0.0.1"), VZ_SocketMgr::ResolveName("localhost"));
    EXPECT_EQ(INADDR_NONE, VZ_SocketMgr::ResolveName("no-such-host.invalid"));
}
