// The receive contract over a fake engine: buffering up to the notice length,
// one OnTcpRecv with everything, consumption and asking again from inside.
#include <gtest/gtest.h>

#include "FakeTcpDeliveryHost.h"
#include "VZ_Assert.h"

namespace {
const SOCKET S = 100;
std::vector<std::string> g_vecChecks;
void CaptureCheck(const char* lpszExpr, const char*, int) { g_vecChecks.push_back(lpszExpr); }
} // namespace

TEST(TcpDeliveryTest, PiecesReachTheNoticeLengthThenOneEventWithAll)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_IOCP);
    host.Add(S);
    host.Recv(S, 10);
    host.m_dwClock = 5;
    EXPECT_EQ(TCPDELIVER_READ, host.Deliver(S, "abcd"));
    EXPECT_EQ("abcd", host.Held(S));
    EXPECT_EQ(5u, host.m_mapRecord[S].dwLastRecvTime);
    EXPECT_EQ(TCPDELIVER_STOP, host.Deliver(S, "efghijkl")); // no Recv inside: reading stops
    EXPECT_EQ(std::vector<std::string>{"recv 0 s=100 abcdefghijkl"}, host.m_vecEvents);
    EXPECT_EQ("", host.Held(S));
    EXPECT_EQ(0u, host.m_mapRecord[S].uiNoticeLen);
    EXPECT_FALSE(host.m_mapRecord[S].bRbufLockFlag);
    EXPECT_EQ("abcdefghijkl", host.m_strRecorded);
}

TEST(TcpDeliveryTest, PartConsumedAndAskedAgainInsideIsOfferedAtOnce)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_IOCP);
    host.Add(S);
    host.m_fnRecv = [&](SOCKET s, const std::string& str, UINT* lpuiLen) {
        if (str.size() == 10) {
            *lpuiLen = 4;
            host.Recv(s, 6);
        }
    };
    host.Recv(S, 10);
    host.Deliver(S, "0123");
    EXPECT_EQ(TCPDELIVER_STOP, host.Deliver(S, "456789"));
    EXPECT_EQ((std::vector<std::string>{"recv 0 s=100 0123456789", "recv 0 s=100 456789"}), host.m_vecEvents);
    EXPECT_EQ("", host.Held(S));
}

TEST(TcpDeliveryTest, UnconsumedBytesStayUntilALaterRecv)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_ASYNC);
    host.Add(S);
    UINT uiConsume = 0;
    host.m_fnRecv = [&](SOCKET, const std::string&, UINT* lpuiLen) { *lpuiLen = uiConsume; };
    host.Recv(S, 3);
    EXPECT_EQ(TCPDELIVER_STOP, host.Deliver(S, "abcdef"));
    EXPECT_EQ("abcdef", host.Held(S)); // none consumed, nothing asked: all kept, no second event
    host.Recv(S, 8);                   // more than held: waits for the network
    EXPECT_EQ(1u, host.m_vecEvents.size());
    uiConsume = 5;
    host.Deliver(S, "gh");
    EXPECT_EQ("recv 0 s=100 abcdefgh", host.m_vecEvents.back());
    EXPECT_EQ("fgh", host.Held(S));
    uiConsume = 3;
    host.Recv(S, 2); // already there: delivered from inside Recv
    EXPECT_EQ("recv 0 s=100 fgh", host.m_vecEvents.back());
    EXPECT_EQ("", host.Held(S));
    EXPECT_EQ("abcdefgh", host.m_strRecorded);
}

TEST(TcpDeliveryTest, RecordClosedInsideOrReplacedDropsTheDelivery)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_SELECT);
    ULONG ulOld = host.Add(S).ulSerial;
    host.Recv(S, 2);
    host.Deliver(S, "x");
    host.m_fnRecv = [&](SOCKET s, const std::string&, UINT* lpuiLen) {
        *lpuiLen = 1;
        host.Close(s);
    };
    EXPECT_EQ(TCPDELIVER_STOP, host.Deliver(S, "yz"));
    EXPECT_EQ(0u, host.m_mapRecord.count(S));
    host.Add(S); // same handle, new serial: the old work is dropped
    host.Recv(S, 1);
    EXPECT_EQ(TCPDELIVER_STOP, host.m_Delivery.Deliver(S, "q", 1, ulOld));
    EXPECT_EQ(1u, host.m_vecEvents.size());
}

TEST(TcpDeliveryTest, SinkClaimingMoreThanOfferedIsReportedAndCountsAsAll)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_SELECT);
    host.Add(S);
    host.m_fnRecv = [](SOCKET, const std::string&, UINT* lpuiLen) { *lpuiLen += 7; };
    g_vecChecks.clear();
    VZ_AssertHandler lpOld = VZ_SetAssertHandler(CaptureCheck);
    host.Recv(S, 2);
    host.Deliver(S, "ab");
    VZ_SetAssertHandler(lpOld);
    EXPECT_EQ(std::vector<std::string>{"uiHandleLen <= recvlen"}, g_vecChecks);
    EXPECT_EQ("", host.Held(S));
    EXPECT_EQ("", host.m_strRecorded); // this engine does not record
}
