// The receive contract over a fake engine: buffering up to the notice length,
// one OnTcpRecv with everything, consumption and asking again from inside.
#include <gtest/gtest.h>

#include <algorithm>

#include "FakeTcpDeliveryHost.h"
#include "NetTestUtil.h"
#include "VZ_Assert.h"

namespace {
const SOCKET S = 100;
} // namespace

TEST(TcpDeliveryTest, PiecesReachTheNoticeLengthThenOneEventWithAllUnlocked)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_IOCP);
    host.Add(S);
    int iLockDepthInside = -1;
    host.m_Sink.m_fnHook = [&](const char*, SOCKET, UINT*) { iLockDepthInside = host.m_iLockDepth; };
    host.Recv(S, 10);
    host.m_dwClock = 5;
    EXPECT_EQ(TCPDELIVER_READ, host.Deliver(S, "abcd"));
    EXPECT_EQ("abcd", host.Held(S));
    EXPECT_EQ(5u, host.m_mapRecord[S].dwLastRecvTime);
    EXPECT_EQ(TCPDELIVER_STOP, host.Deliver(S, "efghijkl")); // no Recv inside: reading stops
    EXPECT_EQ(Lines{"recv 0 100 1 2 abcdefghijkl"}, host.m_Sink.Log());
    EXPECT_EQ(0, iLockDepthInside);
    EXPECT_EQ("", host.Held(S));
    EXPECT_EQ(0u, host.m_mapRecord[S].uiNoticeLen);
    EXPECT_FALSE(host.m_mapRecord[S].bRbufLockFlag);
    EXPECT_EQ("abcdefghijkl", host.m_strRecorded);
}

TEST(TcpDeliveryTest, ConsumedBytesGoAndTheRestWaitsForTheNextRecv)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_ASYNC);
    host.Add(S);
    // Per event: bytes consumed, notice length asked for inside (0: none).
    const std::pair<UINT, UINT> script[] = {{4, 6}, {0, 0}, {5, 0}, {3, 0}};
    size_t nEvent = 0;
    host.m_Sink.m_fnHook = [&](const char*, SOCKET s, UINT* lpuiLen) {
        const std::pair<UINT, UINT>& step = script[std::min<size_t>(nEvent++, 3)];
        *lpuiLen = step.first;
        if (step.second != 0)
            host.Recv(s, step.second);
    };
    host.Recv(S, 10);
    host.Deliver(S, "0123");
    EXPECT_EQ(TCPDELIVER_STOP, host.Deliver(S, "456789"));
    EXPECT_EQ((Lines{"recv 0 100 1 2 0123456789", "recv 0 100 1 2 456789"}), host.m_Sink.Log());
    EXPECT_EQ("456789", host.Held(S)); // none consumed, nothing asked: all kept
    host.Recv(S, 8);                   // more than held: waits for the network
    EXPECT_EQ(2u, host.m_Sink.Log().size());
    host.Deliver(S, "ab");
    EXPECT_EQ("recv 0 100 1 2 456789ab", host.m_Sink.Log().back());
    EXPECT_EQ("9ab", host.Held(S));
    host.Recv(S, 2); // already there: delivered from inside Recv
    EXPECT_EQ("recv 0 100 1 2 9ab", host.m_Sink.Log().back());
    EXPECT_EQ("", host.Held(S));
    EXPECT_EQ("0123456789ab", host.m_strRecorded); // only what was consumed
}

TEST(TcpDeliveryTest, RecordClosedInsideOrReplacedDropsTheDelivery)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_SELECT);
    ULONG ulOld = host.Add(S).ulSerial;
    host.Recv(S, 2);
    host.Deliver(S, "x");
    host.m_Sink.m_fnHook = [&](const char*, SOCKET s, UINT* lpuiLen) { *lpuiLen = 1, host.Close(s); };
    EXPECT_EQ(TCPDELIVER_STOP, host.Deliver(S, "yz"));
    EXPECT_EQ(0u, host.m_mapRecord.count(S));
    host.Add(S); // same handle, new serial: the old work is dropped
    host.Recv(S, 1);
    EXPECT_EQ(TCPDELIVER_STOP, host.m_Delivery.Deliver(S, "q", 1, ulOld));
    EXPECT_EQ(1u, host.m_Sink.Log().size());
}

TEST(TcpDeliveryTest, SinkClaimingMoreThanOfferedIsReportedAndCountsAsAll)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_SELECT);
    host.Add(S);
    host.m_Sink.m_fnHook = [](const char*, SOCKET, UINT* lpuiLen) { *lpuiLen += 7; };
    g_vecChecks.clear();
    VZ_AssertHandler lpOld = VZ_SetAssertHandler(CaptureCheck);
    host.Recv(S, 2);
    host.Deliver(S, "ab");
    VZ_SetAssertHandler(lpOld);
    EXPECT_EQ(Lines{"uiHandleLen <= recvlen"}, g_vecChecks);
    EXPECT_EQ("", host.Held(S));
    EXPECT_EQ("", host.m_strRecorded); // this engine does not record
}

TEST(TcpDeliveryTest, StoppingEngineDropsTheDeliveryAndLeavesTheBlockToItsOwner)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_SELECT);
    host.Add(S);
    host.Recv(S, 3);
    host.Deliver(S, "ab");
    host.m_fnStopping = [] { return true; };
    EXPECT_EQ(TCPDELIVER_READ, host.Deliver(S, "c"));
    EXPECT_TRUE(host.m_Sink.Log().empty());
    // Back with the record (so its removal frees it), not marked as in use.
    EXPECT_FALSE(host.m_mapRecord[S].bRbufLockFlag);
    EXPECT_TRUE(host.m_mapRecord[S].sbRbuf.lpData != NULL);
    // Closed while the delivery was on its way: the delivery frees the block.
    host.Add(S + 1);
    host.Recv(S + 1, 1);
    host.m_fnStopping = [&] { return host.Close(S + 1), true; };
    EXPECT_EQ(TCPDELIVER_READ, host.Deliver(S + 1, "xyz"));
    EXPECT_EQ(0u, host.m_mapRecord.count(S + 1));
}
