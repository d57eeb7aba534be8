// The select engine over 127.0.0.1, driven as a host drives it: the manager
// on one or both ends, plain blocking Winsock sockets as controllable peers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogSink.h"
#include "NetTestUtil.h"
#include "VZ_Assert.h"
#include "VZ_NetworkEx.h"

namespace {

USHORT PortOf(SOCKET s) { return ntohs(LocalAddr(s).sin_port); }

std::string From(SOCKET s) { return "127.0.0.1:" + std::to_string(PortOf(s)); }

sockaddr_in Loopback(USHORT usPort)
{
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(usPort);
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    return addr;
}

double Ms()
{
    LARGE_INTEGER liFreq, liNow;
    QueryPerformanceFrequency(&liFreq);
    QueryPerformanceCounter(&liNow);
    return double(liNow.QuadPart) * 1000.0 / double(liFreq.QuadPart);
}

// Also keeps the bytes each socket's sink consumed and the last accepted
// socket; m_fnData may act on the bytes offered.
class StreamSink : public LogSink {
public:
    std::function<void(SOCKET s, const char* buf, UINT* lpuiLen)> m_fnData;
    std::atomic<SOCKET> m_sAccepted{INVALID_SOCKET};

    void OnTcpRecv(int e, SOCKET s, const char* buf, UINT* lpuiLen, DWORD d1, DWORD d2) override
    {
        LogSink::OnTcpRecv(e, s, buf, lpuiLen, d1, d2);
        if (m_fnData)
            m_fnData(s, buf, lpuiLen);
        std::lock_guard<std::mutex> lock(m_mtxData);
        m_mapData[s].append(buf, *lpuiLen);
    }
    void OnTcpAccept(int e, SOCKET s, SOCKET a, const sockaddr_in* l, const sockaddr_in* p) override
    {
        LogSink::OnTcpAccept(e, s, a, l, p);
        m_sAccepted = a;
    }
    std::string Data(SOCKET s)
    {
        std::lock_guard<std::mutex> lock(m_mtxData);
        return m_mapData[s];
    }

private:
    std::mutex m_mtxData;
    std::map<SOCKET, std::string> m_mapData;
};

class SelectMgrTest : public ::testing::Test {
protected:
    virtual BYTE StartFlags() { return 0; }

    void SetUp() override
    {
        m_lpMgr = BeginEngineTest(&m_Sink, StartFlags(), &m_fnOldHandler);
        ASSERT_TRUE(m_lpMgr != NULL);
    }
    void TearDown() override
    {
        for (SOCKET s : m_vecRaw)
            closesocket(s);
        EndEngineTest(m_lpMgr, m_fnOldHandler);
    }

    // True when pred holds within dwMs; polls, so every wait is bounded.
    static bool WaitUntil(const std::function<bool()>& pred, DWORD dwMs = 10000)
    {
        for (double dStart = Ms(); !pred(); Sleep(2))
            if (Ms() - dStart > dwMs)
                return false;
        return true;
    }
    // Index of the first line equal to strLine, waiting for it; -1 on time-out.
    int WaitLine(const std::string& strLine, DWORD dwMs = 10000)
    {
        int iAt = -1;
        WaitUntil([&] {
            Lines vec = m_Sink.Log();
            iAt = int(std::find(vec.begin(), vec.end(), strLine) - vec.begin());
            return iAt < int(vec.size()) || (iAt = -1, false);
        }, dwMs);
        return iAt;
    }
    size_t Count(const std::string& strPrefix)
    {
        size_t n = 0;
        for (const std::string& str : m_Sink.Log())
            n += str.compare(0, strPrefix.size(), strPrefix) == 0;
        return n;
    }

    SOCKET Raw(int iType)
    {
        SOCKET s = socket(AF_INET, iType, 0);
        m_vecRaw.push_back(s);
        DWORD dwTimeout = 5000; // a blocking recv never hangs a test
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&dwTimeout), sizeof(dwTimeout));
        sockaddr_in addr = Loopback(0);
        bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        return s;
    }
    void RawClose(SOCKET s)
    {
        m_vecRaw.erase(std::remove(m_vecRaw.begin(), m_vecRaw.end(), s), m_vecRaw.end());
        closesocket(s);
    }
    SOCKET RawListen(int iRecvBuf = 0)
    {
        SOCKET s = Raw(SOCK_STREAM);
        if (iRecvBuf) // inherited by the accepted socket
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&iRecvBuf), sizeof(iRecvBuf));
        listen(s, 8);
        return s;
    }
    static bool Pending(SOCKET sListen, long lSeconds)
    {
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(sListen, &fds);
        timeval tv = {lSeconds, 0};
        return select(0, &fds, NULL, NULL, &tv) == 1;
    }
    SOCKET RawAccept(SOCKET sListen)
    {
        SOCKET s = Pending(sListen, 5) ? accept(sListen, NULL, NULL) : INVALID_SOCKET;
        m_vecRaw.push_back(s);
        return s;
    }
    static std::string RawRecv(SOCKET s, size_t nLen)
    {
        std::string str;
        char buf[65536];
        for (int n = 1; n > 0 && str.size() < nLen; str.append(buf, std::max(n, 0)))
            n = recv(s, buf, int(std::min(sizeof(buf), nLen - str.size())), 0);
        return str;
    }
    static void RawSend(SOCKET s, const std::string& str) { send(s, str.data(), int(str.size()), 0); }
    // The peer sees an orderly close or a reset, not a time-out.
    static bool PeerSeesClose(SOCKET s)
    {
        char c;
        int n = recv(s, &c, 1, 0);
        return n == 0 || (n < 0 && WSAGetLastError() != WSAETIMEDOUT);
    }

    // A manager socket (user values 1, 2) connected to a plain peer.
    SOCKET ConnectedToRaw(SOCKET* lpsPeer, int iSendBuf = 0, int iPeerRecvBuf = 0)
    {
        SOCKET sListen = RawListen(iPeerRecvBuf);
        SOCKET s = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 2);
        EXPECT_TRUE(!iSendBuf || m_lpMgr->SetSendBufSize(s, iSendBuf));
        EXPECT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", PortOf(sListen)));
        EXPECT_LE(0, WaitLine(Line("connect", 0, s, 1, 2)));
        *lpsPeer = RawAccept(sListen);
        EXPECT_NE(INVALID_SOCKET, *lpsPeer);
        return s;
    }
    // The thread that raised the event of a datagram sent to s.
    DWORD UdpEventThread(SOCKET s, DWORD dwUserData1)
    {
        SOCKET sRaw = Raw(SOCK_DGRAM);
        sockaddr_in to = Loopback(PortOf(s));
        sendto(sRaw, "p", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        int i = WaitLine(Line("udp", 0, s, From(sRaw), dwUserData1, 0, "p"));
        return i < 0 ? 0 : m_Sink.Threads()[i];
    }

    // Uninitialize called from inside the first event named lpszEvent returns
    // soon (not after a stop's 2000 ms wait on its own thread), and its
    // caller lives on to return from the event.
    void UninitializeInside(const char* lpszEvent)
    {
        std::atomic<int> iReturned{0};
        std::atomic<double> dTook{0};
        m_Sink.m_fnHook = [&, lpszEvent](const char* lpszName, SOCKET, UINT*) {
            if (strcmp(lpszName, lpszEvent) != 0 || iReturned.load() != 0)
                return;
            double dStart = Ms();
            m_lpMgr->Uninitialize(0);
            dTook = Ms() - dStart;
            ++iReturned;
        };
        EXPECT_TRUE(WaitUntil([&] { return iReturned == 1; })) << lpszEvent;
        EXPECT_LT(dTook.load(), 1500.0) << lpszEvent;
        m_Sink.m_fnHook = nullptr;
    }

    StreamSink m_Sink;
    ISocketMgr* m_lpMgr = NULL;
    std::vector<SOCKET> m_vecRaw;
    VZ_AssertHandler m_fnOldHandler = NULL;
};

class SelectMgrNoResolverTest : public SelectMgrTest {
protected:
    BYTE StartFlags() override { return 1; }
};

} // namespace

TEST_F(SelectMgrTest, EchoThroughTheManagerKeepsEveryByteInOrder)
{
    SOCKET sListen = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 0, 0);
    ASSERT_TRUE(m_lpMgr->Listen(sListen, 5));
    SOCKET sClient = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 2);
    // The server echoes, the client consumes; both ask for more from inside.
    // Hooks hold their state by value: events may outlive the test body.
    auto pEchoFailures = std::make_shared<std::atomic<int>>(0);
    m_Sink.m_fnData = [this, sClient, pEchoFailures](SOCKET s, const char* buf, UINT* lpuiLen) {
        if (s != sClient && !m_lpMgr->Send(s, buf, int(*lpuiLen), 0, NULL))
            ++*pEchoFailures;
        m_lpMgr->Recv(s, 1);
    };
    ASSERT_TRUE(m_lpMgr->Connect(sClient, "127.0.0.1", PortOf(sListen)));
    ASSERT_LE(0, WaitLine(Line("connect", 0, sClient, 1, 2)));
    ASSERT_TRUE(WaitUntil([&] { return m_Sink.m_sAccepted != INVALID_SOCKET; }));
    ASSERT_TRUE(m_lpMgr->Recv(m_Sink.m_sAccepted, 1));
    ASSERT_TRUE(m_lpMgr->Recv(sClient, 1));

    const size_t nSizes[] = {1, 13, 700, 4096, 5000, 65536, 30000, 4097};
    std::string strSent;
    for (size_t i = 0; strSent.size() < 300 * 1024; ++i) {
        std::string str = Pattern(strSent.size(), nSizes[i % 8]);
        const _SOCKBUF bufs[] = {{str.data(), 0, 1}, {str.data(), 0, 0}, {str.data() + 1, 0, UINT(str.size() - 1)}};
        if (i == 5) // once as a gathered send of three pieces
            ASSERT_TRUE(m_lpMgr->SendV(sClient, bufs, 3, DWORD(i), NULL));
        else
            ASSERT_TRUE(m_lpMgr->Send(sClient, str.data(), int(str.size()), DWORD(i), NULL));
        strSent += str;
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Sink.Data(sClient).size() >= strSent.size(); }, 60000));
    EXPECT_TRUE(m_Sink.Data(sClient) == strSent) << m_Sink.Data(sClient).size() << " of " << strSent.size();
    EXPECT_EQ(0, *pEchoFailures);
    EXPECT_EQ(0u, Count("close"));
}

TEST_F(SelectMgrTest, NoticeLengthDecidesWhenAndWhatTheSinkIsOffered)
{
    // Per OnTcpRecv: bytes consumed (~0u: all) and the notice length asked for inside.
    static const std::pair<UINT, UINT> script[] = {{4, 0}, {0, 0}, {6, 4}, {~0u, 0}, {~0u, 0}};
    auto pEvent = std::make_shared<size_t>(0);
    m_Sink.m_fnHook = [this, pEvent](const char* lpszName, SOCKET s, UINT* lpuiLen) {
        if (std::string(lpszName) != "recv" || *pEvent >= 5)
            return;
        const std::pair<UINT, UINT>& step = script[(*pEvent)++];
        if (step.first != ~0u)
            *lpuiLen = step.first;
        if (step.second)
            m_lpMgr->Recv(s, step.second);
    };
    SOCKET sPeer, s = ConnectedToRaw(&sPeer);
    EXPECT_TRUE(m_lpMgr->Recv(s, 10));
    EXPECT_TRUE(m_lpMgr->Recv(s, 3)); // pending: the 10 stays
    RawSend(sPeer, "abcd");
    Sleep(150);
    EXPECT_EQ(0u, Count("recv"));
    RawSend(sPeer, "efghijklmnop"); // more than asked: all of it at once
    int i = WaitLine(Line("recv", 0, s, 1, 2, "abcdefghijklmnop"));
    ASSERT_LE(0, i);
    EXPECT_NE(GetCurrentThreadId(), m_Sink.Threads()[i]);

    RawSend(sPeer, "QRS"); // 4 consumed, nothing asked: reading pauses
    Sleep(150);
    EXPECT_EQ(1u, Count("recv"));
    EXPECT_TRUE(m_lpMgr->Recv(s, 20)); // 12 held + QRS, still short of 20
    Sleep(150);
    EXPECT_EQ(1u, Count("recv"));
    RawSend(sPeer, "tuvwx");
    ASSERT_LE(0, WaitLine(Line("recv", 0, s, 1, 2, "efghijklmnopQRStuvwx")));

    // Nothing consumed: all 20 held; a notice they reach is served inside Recv,
    // and the 4 asked for inside the first call are served on the rest at once.
    EXPECT_TRUE(m_lpMgr->Recv(s, 5));
    Lines vecLog = m_Sink.Log();
    ASSERT_EQ(5u, vecLog.size());
    EXPECT_EQ(Line("recv", 0, s, 1, 2, "efghijklmnopQRStuvwx"), vecLog[3]);
    EXPECT_EQ(Line("recv", 0, s, 1, 2, "klmnopQRStuvwx"), vecLog[4]);
    EXPECT_EQ(GetCurrentThreadId(), m_Sink.Threads()[3]);
    EXPECT_EQ(GetCurrentThreadId(), m_Sink.Threads()[4]);

    EXPECT_TRUE(m_lpMgr->Recv(s, 1)); // buffer empty: waits for the network
    RawSend(sPeer, "!");
    EXPECT_LE(0, WaitLine(Line("recv", 0, s, 1, 2, "!")));
    EXPECT_EQ(std::string("abcdefghijklmnopQRStuvwx!"), m_Sink.Data(s));
}

TEST_F(SelectMgrTest, SendsQueueBehindABlockedPeerAndReportWhenAllWentOut)
{
    SOCKET sPeer, s = ConnectedToRaw(&sPeer, 4096, 4096);
    EXPECT_TRUE(m_lpMgr->Send(s, "hello", 5, 77, NULL));
    EXPECT_LE(0, WaitLine(Line("send", 0, s, 1, 2, 77, 0)));
    EXPECT_EQ("hello", RawRecv(sPeer, 5));

    // The peer reads nothing: sends fill the socket and then the queue.
    std::string strSent;
    UINT uiQueued = 0, uiParam = 100;
    auto SendChunk = [&] {
        std::string str = Pattern(strSent.size(), 32768);
        strSent += str;
        return m_lpMgr->Send(s, str.data(), int(str.size()), ++uiParam, &uiQueued);
    };
    while (uiQueued == 0 && strSent.size() < 16 * 1024 * 1024)
        ASSERT_TRUE(SendChunk());
    ASSERT_LT(0u, uiQueued);
    Sleep(200);
    EXPECT_EQ(0u, Count(Line("send", 0, s, 1, 2, uiParam)));
    // More sends while the peer drains: they must stay behind the queue.
    std::string strGot;
    size_t nTotal = strSent.size() + 64 * 32768;
    std::thread reader([&] { strGot = RawRecv(sPeer, nTotal); });
    for (int i = 0; i < 64; ++i) {
        EXPECT_TRUE(SendChunk());
        Sleep(i % 4 == 0 ? 1 : 0);
    }
    reader.join();
    EXPECT_TRUE(strGot == strSent) << strGot.size() << " of " << strSent.size();
    EXPECT_LE(0, WaitLine(Line("send", 0, s, 1, 2, uiParam, 0)));
}

TEST_F(SelectMgrTest, PeerCloseIsReportedOnceAndShutdownReachesThePeer)
{
    SOCKET sPeer, s = ConnectedToRaw(&sPeer);
    EXPECT_TRUE(m_lpMgr->Recv(s, 1));
    RawClose(sPeer);
    EXPECT_LE(0, WaitLine(Line("close", 0, s, SS_CONNECTED, 1, 2)));
    Sleep(100);
    EXPECT_EQ(1u, Count("close"));
    EXPECT_FALSE(m_lpMgr->Send(s, "x", 1, 0, NULL)); // closing: no more sends

    SOCKET sPeer2, s2 = ConnectedToRaw(&sPeer2);
    EXPECT_TRUE(m_lpMgr->Shutdown(s2, SD_SEND));
    EXPECT_TRUE(PeerSeesClose(sPeer2));
    SOCKET sIdle = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 0, 0);
    EXPECT_FALSE(m_lpMgr->Shutdown(sIdle, SD_SEND)); // not connected
}

TEST_F(SelectMgrTest, RefusedConnectAndConnectsByName)
{
    SOCKET sGone = Raw(SOCK_STREAM); // a port that nobody listens on
    USHORT usFree = PortOf(sGone);
    RawClose(sGone);
    SOCKET s = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 3, 4);
    EXPECT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", usFree));
    EXPECT_LE(0, WaitLine(Line("connect", 10060, s, 3, 4)));

    SOCKET sListen = RawListen();
    SOCKET s2 = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 5, 6);
    EXPECT_FALSE(m_lpMgr->Connect(s2, std::string(261, 'a').c_str(), PortOf(sListen)));
    EXPECT_TRUE(m_lpMgr->Connect(s2, "localhost", PortOf(sListen)));
    EXPECT_LE(0, WaitLine(Line("connect", 0, s2, 5, 6)));
    EXPECT_NE(INVALID_SOCKET, RawAccept(sListen));

    EXPECT_TRUE(m_lpMgr->DnsParse("localhost"));
    EXPECT_LE(0, WaitLine(Line("dns", "localhost", inet_addr("127.0.0.1"))));
    EXPECT_TRUE(m_lpMgr->DnsParse("no-such-host.invalid"));
    EXPECT_LE(0, WaitLine(Line("dns", "no-such-host.invalid", INADDR_NONE), 30000));
    EXPECT_EQ(0u, Count(Line("connect", 0, s) + " "));
}

TEST_F(SelectMgrNoResolverTest, ConnectByNameTimesOutAfterTwentySeconds)
{
    SOCKET sListen = RawListen();
    SOCKET s = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 2);
    double dStart = Ms();
    ASSERT_TRUE(m_lpMgr->Connect(s, "localhost", PortOf(sListen)));
    EXPECT_FALSE(m_lpMgr->Connect(s, "localhost", PortOf(sListen))); // its time-out is already armed
    ASSERT_LE(0, WaitLine(Line("connect", 10065, s, 1, 2), 45000));
    EXPECT_LE(19500.0, Ms() - dStart);
    EXPECT_EQ(1u, m_Sink.Log().size());
}

TEST_F(SelectMgrTest, TimersAndIdleTimeouts)
{
    SOCKET sPeer, s = ConnectedToRaw(&sPeer);
    SOCKET sIdle = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 8, 9);
    EXPECT_TRUE(m_lpMgr->Recv(s, 1));
    double dStart = Ms();
    EXPECT_TRUE(m_lpMgr->SetTimer(s, 5, 50, 0xAB, true));
    EXPECT_TRUE(m_lpMgr->SetTimer(sIdle, 28, 30, 7, false));
    EXPECT_TRUE(m_lpMgr->SetRecvTimeout(s, 200));
    EXPECT_TRUE(m_lpMgr->SetRecvTimeout(sIdle, 50)); // not connected: never raised
    Sleep(100);
    RawSend(sPeer, "k"); // the quiet period starts again: due at about 300 ms
    int iRecv = WaitLine(Line("recv", 0, s, 1, 2, "k"));
    EXPECT_LT(iRecv, WaitLine(Line("recvtimeout", 0, s, 1, 2)));
    // The wheel's clock may trail real time by the ticks it has not yet run.
    EXPECT_LE(250.0, Ms() - dStart);
    EXPECT_LE(0, WaitLine(Line("timer", s, 5, 0xAB, 1, 2)));
    EXPECT_TRUE(WaitUntil([&] { return Count(Line("timer", sIdle, 28, 7, 8, 9)) >= 3; }));
    EXPECT_TRUE(m_lpMgr->KillTimer(sIdle, 28));
    Sleep(400);
    EXPECT_EQ(1u, Count(Line("timer", s, 5) + " "));
    EXPECT_EQ(0u, Count(Line("recvtimeout", 0, sIdle) + " "));
    EXPECT_LE(2u, Count(Line("recvtimeout", 0, s) + " ")); // still idle: raised again
    size_t nTicks = Count(Line("timer", sIdle) + " ");
    Sleep(100);
    EXPECT_EQ(nTicks, Count(Line("timer", sIdle) + " "));
}

TEST_F(SelectMgrTest, DatagramsGoBothWays)
{
    SOCKET u1 = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 1, 2);
    SOCKET u2 = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 3, 4);
    ASSERT_NE(INVALID_SOCKET, u1);
    ASSERT_NE(INVALID_SOCKET, u2);
    EXPECT_EQ(4, m_lpMgr->SendTo(u1, "127.0.0.1", PortOf(u2), "ping", 4, false));
    EXPECT_LE(0, WaitLine(Line("udp", 0, u2, From(u1), 3, 4, "ping")));
    sockaddr_in to = Loopback(PortOf(u1));
    EXPECT_EQ(4, m_lpMgr->SendTo(u2, &to, "pong", 4, false));
    EXPECT_LE(0, WaitLine(Line("udp", 0, u1, From(u2), 1, 2, "pong")));
    SOCKET sStranger = Raw(SOCK_DGRAM);
    EXPECT_EQ(SOCKET_ERROR, m_lpMgr->SendTo(sStranger, &to, "x", 1, false));
    EXPECT_EQ(1, m_lpMgr->SendTo(sStranger, &to, "y", 1, true)); // direct: no lookup
    EXPECT_LE(0, WaitLine(Line("udp", 0, u1, From(sStranger), 1, 2, "y")));
    EXPECT_EQ(0u, Count(Line("udp", 0, u1, From(sStranger), 1, 2, "x")));
}

TEST_F(SelectMgrTest, SixtyFourSocketsPerThreadAndAFreedSlotIsReused)
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

TEST_F(SelectMgrTest, WorkOfAClosedSocketNeverReachesItsHandlesNextOwner)
{
    auto pResolverFree = std::make_shared<std::atomic<bool>>(false);
    m_Sink.m_fnHook = [pResolverFree](const char* lpszName, SOCKET, UINT*) { // holds the resolver in OnDnsParse
        if (std::string(lpszName) == "dns")
            WaitUntil([&] { return pResolverFree->load(); }, 5000);
    };
    SOCKET sPeer, sOld = ConnectedToRaw(&sPeer);
    EXPECT_TRUE(m_lpMgr->Recv(sOld, 100));
    RawSend(sPeer, "stale");
    EXPECT_TRUE(m_lpMgr->SetTimer(sOld, 1, 300, 0, true));
    EXPECT_TRUE(m_lpMgr->SetRecvTimeout(sOld, 300));
    SOCKET sNameListen = RawListen();
    SOCKET sNamed = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 3, 4);
    EXPECT_TRUE(m_lpMgr->DnsParse("localhost"));
    ASSERT_LE(0, WaitLine(Line("dns", "localhost", inet_addr("127.0.0.1"))));
    EXPECT_TRUE(m_lpMgr->Connect(sNamed, "localhost", PortOf(sNameListen))); // queued behind
    Sleep(50); // the stale bytes are held by now
    EXPECT_TRUE(m_lpMgr->CloseSocket(sNamed));
    EXPECT_TRUE(m_lpMgr->CloseSocket(sOld));
    EXPECT_TRUE(PeerSeesClose(sPeer));
    size_t nBefore = m_Sink.Log().size();

    SOCKET sListen = RawListen();
    SOCKET sNew = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 7, 8);
    SOCKET sNew2 = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 7, 9);
    RecordProperty("HandleReused", (sNew == sNamed || sNew2 == sNamed) + 2 * (sNew == sOld || sNew2 == sOld));
    *pResolverFree = true; // the name request of the closed socket runs now
    EXPECT_TRUE(m_lpMgr->Connect(sNew, "127.0.0.1", PortOf(sListen)));
    ASSERT_LE(0, WaitLine(Line("connect", 0, sNew, 7, 8)));
    SOCKET sNewPeer = RawAccept(sListen);
    Sleep(500); // the old timers would have fired by now
    EXPECT_TRUE(m_lpMgr->Recv(sNew, 1));
    RawSend(sNewPeer, "Z");
    ASSERT_LE(0, WaitLine(Line("recv", 0, sNew, 7, 8, "Z")));
    Sleep(50);
    Lines vecLog = m_Sink.Log();
    EXPECT_EQ((Lines{Line("connect", 0, sNew, 7, 8), Line("recv", 0, sNew, 7, 8, "Z")}),
              Lines(vecLog.begin() + nBefore, vecLog.end()));
    EXPECT_FALSE(Pending(sNameListen, 0)); // nobody connected for the old name request
}

TEST_F(SelectMgrTest, CloseSocketInsideAnEventEndsTheSocketsEvents)
{
    auto psClient = std::make_shared<std::atomic<SOCKET>>(INVALID_SOCKET);
    m_Sink.m_fnHook = [this, psClient](const char* lpszName, SOCKET s, UINT*) {
        std::string strName = lpszName;
        if (strName == "recv" || (strName == "connect" && s == *psClient))
            m_lpMgr->CloseSocket(s);
    };
    SOCKET sPeer, s = ConnectedToRaw(&sPeer); // its connect event closes nothing yet
    EXPECT_TRUE(m_lpMgr->Recv(s, 1));
    RawSend(sPeer, "one");
    EXPECT_LE(0, WaitLine(Line("recv", 0, s, 1, 2, "one")));
    RawSend(sPeer, "two");
    EXPECT_TRUE(PeerSeesClose(sPeer));

    SOCKET sListen = RawListen();
    SOCKET sClient = *psClient = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 5, 6);
    EXPECT_TRUE(m_lpMgr->Connect(sClient, "127.0.0.1", PortOf(sListen)));
    EXPECT_LE(0, WaitLine(Line("connect", 0, sClient, 5, 6)));
    EXPECT_TRUE(PeerSeesClose(RawAccept(sListen)));
    Sleep(100);
    EXPECT_EQ(1u, Count(Line("recv", 0, s) + " "));
    EXPECT_EQ(0u, Count("close"));
    EXPECT_EQ(3u, m_Sink.Log().size());
}

TEST_F(SelectMgrTest, UnregisteredSocketsGetTheirFixedAnswers)
{
    SOCKET u = Raw(SOCK_STREAM); // a real handle the manager does not know
    sockaddr_in to = Loopback(9);
    const _SOCKBUF buf = {"x", 0, 1};
    DWORD dw1 = 11, dw2 = 12;
    const struct {
        const char* lpszName;
        std::function<int(SOCKET)> fn;
        int iExpected;
    } rows[] = {
        {"Connect by name", [&](SOCKET s) { return int(m_lpMgr->Connect(s, "localhost", 9)); }, 0},
        {"Connect by address", [&](SOCKET s) { return int(m_lpMgr->Connect(s, &to)); }, 1},
        {"Listen", [&](SOCKET s) { return int(m_lpMgr->Listen(s, 5)); }, 1},
        {"Recv", [&](SOCKET s) { return int(m_lpMgr->Recv(s, 1)); }, 1},
        {"Send", [&](SOCKET s) { return int(m_lpMgr->Send(s, "x", 1, 0, NULL)); }, 0},
        {"SendV", [&](SOCKET s) { return int(m_lpMgr->SendV(s, &buf, 1, 0, NULL)); }, 0},
        {"SendTo", [&](SOCKET s) { return m_lpMgr->SendTo(s, &to, "x", 1, false); }, SOCKET_ERROR},
        {"Shutdown", [&](SOCKET s) { return int(m_lpMgr->Shutdown(s, SD_BOTH)); }, 0},
        {"SetUserData1", [&](SOCKET s) { return int(m_lpMgr->SetUserData1(s, 1)); }, 0},
        {"SetUserData2", [&](SOCKET s) { return int(m_lpMgr->SetUserData2(s, 1)); }, 0},
        {"GetUserData", [&](SOCKET s) { return int(m_lpMgr->GetUserData(s, &dw1, &dw2)) + int(dw1 + dw2 != 23); }, 0},
        {"SocketCtrl", [&](SOCKET s) { return int(m_lpMgr->SocketCtrl(1, s, 1, 0, 0, 0, 0, 0)); }, 0},
        {"CloseSocket", [&](SOCKET s) { return int(m_lpMgr->CloseSocket(s)); }, 1},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.iExpected, row.fn(u)) << row.lpszName;
    for (const auto& row : rows) // INVALID_SOCKET answers alike, but CloseSocket refuses it
        EXPECT_EQ(std::string(row.lpszName) == "CloseSocket" ? 0 : row.iExpected, row.fn(INVALID_SOCKET))
            << row.lpszName << " with INVALID_SOCKET";
    Sleep(100);
    EXPECT_EQ(Lines{}, m_Sink.Log());
}

TEST_F(SelectMgrTest, SocketsClosedWhileTheirThreadWaitsInSelectLeaveTheManagerWorking)
{
    // A UDP socket is in its thread's read set from its creation, so most of
    // these closes come while the thread waits in select on the socket.
    for (int i = 0; i < 300; ++i) {
        SOCKET s = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 5, 0);
        ASSERT_NE(INVALID_SOCKET, s);
        if (i % 2 == 0)
            Sleep(1);
        EXPECT_TRUE(m_lpMgr->CloseSocket(s));
    }
    SOCKET s = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 6, 0);
    EXPECT_NE(0u, UdpEventThread(s, 6));
}

TEST_F(SelectMgrTest, UninitializeFromInsideATimerEventReturnsAndLeavesItsCaller)
{
    SOCKET sPeer = INVALID_SOCKET;
    SOCKET s = ConnectedToRaw(&sPeer);
    EXPECT_TRUE(m_lpMgr->SetTimer(s, 0, 50, 0, true));
    UninitializeInside("timer");
}

TEST_F(SelectMgrTest, UninitializeFromInsideASelectThreadEventReturnsAndLeavesItsCaller)
{
    SOCKET sPeer = INVALID_SOCKET;
    SOCKET s = ConnectedToRaw(&sPeer);
    EXPECT_TRUE(m_lpMgr->Recv(s, 1));
    RawSend(sPeer, "x");
    UninitializeInside("recv");
}
