// What only the select engine has: threads of 64 sockets each, made on
// demand and refilled in the order they got room. Sockets closed while their
// thread waits in select: the select row of the engine suite (connects closed
// at once, test_EngineLoopback.cpp), like the behaviour shared with the others.
#include "EngineTest.h"

namespace {

class SelectEngine : public EngineFixture {
protected:
    const EngineRow& Row() const override { return RowOf(SOCKETMGR_SELECT); }

    // The thread that raised the event of a datagram sent to s.
    DWORD UdpEventThread(SOCKET s, DWORD dwUserData1)
    {
        SOCKET sRaw = Raw(SOCK_DGRAM);
        sockaddr_in to = Loopback(PortOf(s));
        sendto(sRaw, "p", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        int i = WaitLine(Line("udp", 0, s, From(sRaw), dwUserData1, 0, "p"));
        return i < 0 ? 0 : m_Sink.Threads()[i];
    }
};

} // namespace

TEST_F(SelectEngine, SixtyFourSocketsPerThreadAndAFreedSlotIsReused)
{
    std::vector<SOCKET> vec;
    for (DWORD i = 0; i < 64; ++i)
        vec.push_back(m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, i, 0));
    DWORD dwFirst = UdpEventThread(vec[0], 0);
    ASSERT_NE(0u, dwFirst);
    EXPECT_EQ(dwFirst, UdpEventThread(vec[63], 63));
    // The full thread gets room back: the next socket goes there, no new thread.
    EXPECT_TRUE(m_lpMgr->CloseSocket(vec[5]));
    SOCKET sRefill = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 100, 0);
    EXPECT_EQ(dwFirst, UdpEventThread(sRefill, 100));
    // Full again: the 65th socket lives on a second thread.
    SOCKET sSecond = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 101, 0);
    DWORD dwSecond = UdpEventThread(sSecond, 101);
    EXPECT_NE(0u, dwSecond);
    EXPECT_NE(dwFirst, dwSecond);
    EXPECT_EQ(dwFirst, UdpEventThread(vec[6], 6)); // the first keeps serving its own
    // Room again on the first thread, but the second had room first: it goes there.
    EXPECT_TRUE(m_lpMgr->CloseSocket(vec[7]));
    EXPECT_EQ(dwSecond, UdpEventThread(m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 102, 0), 102));
}
