// Every engine over 127.0.0.1, driven as a host drives it: the manager on one
// or both ends, plain blocking sockets as controllable peers. Each behaviour
// is written once; where the engines differ, the row says how.
#include <cstring>
#include <iterator>
#include <memory>
#include <thread>

#include "EngineTest.h"

namespace {

class EngineLoopback : public EngineTest {};

INSTANTIATE_TEST_SUITE_P(Engines, EngineLoopback, ::testing::ValuesIn(BuiltEngines()), RowName);

} // namespace

TEST_P(EngineLoopback, NoticeLengthDecidesWhenAndWhatTheSinkIsOffered)
{
    // Per OnTcpRecv: bytes consumed (~0u: all) and the notice length asked for inside.
    static const std::pair<UINT, UINT> script[] = {{4, 0}, {0, 0}, {6, 4}, {~0u, 0}, {~0u, 0}};
    auto pEvent = std::make_shared<size_t>(0);
    SOCKET sPeer, s = ConnectedToRaw(&sPeer); // no receive event runs yet: the hook may be set
    m_Sink.m_fnHook = [this, pEvent, s](const char* lpszName, SOCKET sEvent, UINT* lpuiLen) {
        if (std::string(lpszName) != "recv" || sEvent != s || *pEvent >= 5)
            return;
        const std::pair<UINT, UINT>& step = script[(*pEvent)++];
        if (step.first != ~0u)
            *lpuiLen = step.first;
        if (step.second)
            m_lpMgr->Recv(s, step.second);
    };
    EXPECT_TRUE(m_lpMgr->Recv(s, 0)); // asks for nothing
    EXPECT_TRUE(m_lpMgr->Recv(s, 10));
    EXPECT_EQ(!Row().bSecondRecvRefused, m_lpMgr->Recv(s, 3)); // either way the 10 stays
    RawSend(sPeer, "abcd");
    Settle(); // short of the notice: nothing offered (an early event would be a line of its own)
    RawSend(sPeer, "efghijklmnop"); // more than asked: all of it at once
    ASSERT_LE(0, WaitLine(Line("recv", 0, s, 1, 2, "abcdefghijklmnop")));

    RawSend(sPeer, "QRS"); // 4 consumed, nothing asked: reading pauses
    EXPECT_TRUE(m_lpMgr->Recv(s, 20)); // 12 held + QRS, still short of 20
    Settle();
    EXPECT_EQ(1u, Count("recv"));
    RawSend(sPeer, "tuvwx");
    std::string strAll = Line("recv", 0, s, 1, 2, "efghijklmnopQRStuvwx");
    int iAll = WaitLine(strAll);
    ASSERT_LE(0, iAll);

    // Nothing consumed: all 20 held. A notice they reach is served without the
    // network, and the 4 asked for inside that call on the rest at once.
    EXPECT_TRUE(m_lpMgr->Recv(s, 5));
    size_t nAtReturn = Count("recv");
    int i3 = WaitLine(strAll, 10000, size_t(iAll) + 1), i4 = WaitLine(Line("recv", 0, s, 1, 2, "klmnopQRStuvwx"));
    ASSERT_TRUE(i3 >= 0 && i4 > i3) << ::testing::PrintToString(Events(true));
    EXPECT_EQ(4u, Count("recv"));
    std::vector<DWORD> vecThreads = m_Sink.Threads();
    EXPECT_EQ(Row().bRecvDeliversInline, vecThreads[i3] == GetCurrentThreadId());
    EXPECT_EQ(vecThreads[i3], vecThreads[i4]);
    EXPECT_TRUE(!Row().bRecvDeliversInline || nAtReturn == 4u) << nAtReturn; // served before Recv returned

    // Buffer empty: a notice far beyond one read and the largest pooled
    // buffer waits for the network, then gets one event with all of it.
    EXPECT_TRUE(m_lpMgr->Recv(s, 200000));
    std::string strBig = Pattern(0, 200000);
    RawSend(sPeer, strBig.substr(0, 199999));
    Settle();
    RawSend(sPeer, strBig.substr(199999));
    EXPECT_LE(0, WaitLine(Line("recv", 0, s, 1, 2, strBig)));
    EXPECT_EQ(5u, Count("recv"));
    EXPECT_TRUE(m_Sink.Data(s) == "abcdefghijklmnopQRStuvwx" + strBig);
}

// A peer that reads nothing: sends queue in the engine, their drain is
// reported once the peer reads (with partial reports, every step too, the
// count going down), and a queue the peer never takes goes back to the pool
// at CloseSocket or Uninitialize without waiting for the peer. The kernel
// buffers are kept small, so the blocks soon queue in the engine.
TEST_P(EngineLoopback, SendsQueueBehindAPeerThatDoesNotReadThenDrainOrGoBackToThePool)
{
    ASSERT_TRUE(Pool() != NULL);
    const int iPoolBefore = Pool()->GetPoolOutstanding();
    SOCKET sPeer, s = ConnectedToRaw(&sPeer, 4096, 4096);
    std::string strSent, strGot;
    UINT uiQueued = 0, uiParam = 100;
    auto SendChunk = [&] {
        std::string str = Pattern(strSent.size(), 65536);
        strSent += str;
        return m_lpMgr->Send(s, str.data(), int(str.size()), ++uiParam, &uiQueued);
    };
    for (DWORD dwPartial : {0u, 1u}) {
        EXPECT_EQ(0u, m_lpMgr->SocketCtrl(1, s, dwPartial, 0, 0, 0, 0, 0));
        size_t nFrom = m_Sink.Log().size();
        for (uiQueued = 0; uiQueued < 2 && strSent.size() < 32 * 1024 * 1024;)
            ASSERT_TRUE(SendChunk());
        Settle();
        EXPECT_EQ(0u, Count(Line("send", 0, s, 1, 2, uiParam, 0))) << "drained while the peer reads nothing";
        strGot += RawRecv(sPeer, strSent.size() - strGot.size());
        EXPECT_LE(0, WaitLine(Line("send", 0, s, 1, 2, uiParam, 0)));
        std::vector<std::pair<UINT, UINT>> vec = SendReports(s, nFrom); // (parameter, queued)
        ASSERT_FALSE(vec.empty());
        EXPECT_EQ(0u, vec.back().second);
        // The completion-port engine reports a send once, the others every step of it.
        bool bOnce = Row().iKind == SOCKETMGR_IOCP;
        EXPECT_TRUE(std::adjacent_find(vec.begin(), vec.end(), [&](auto& a, auto& b) {
                        return bOnce ? a.first >= b.first : a.first > b.first; }) == vec.end())
            << "reported out of the sends' order, or twice: " << ::testing::PrintToString(vec);
        std::vector<UINT> vecQueued;
        for (const auto& pr : vec)
            vecQueued.push_back(pr.second);
        if (dwPartial && Row().bSocketCtrl) {
            EXPECT_LT(0u, vecQueued.front()) << ::testing::PrintToString(vecQueued);
            // Down from the longest queue (an engine that sends on the window
            // thread may report while the host still queues).
            auto itMax = std::max_element(vecQueued.begin(), vecQueued.end());
            EXPECT_TRUE(std::is_sorted(vecQueued.rbegin(), std::make_reverse_iterator(itMax)))
                << ::testing::PrintToString(vecQueued);
        } else {
            EXPECT_EQ(std::vector<UINT>(vecQueued.size(), 0), vecQueued);
        }
    }
    EXPECT_TRUE(strGot == strSent) << strGot.size() << " of " << strSent.size();

    // Never read: this socket ends by CloseSocket, a second one by Uninitialize.
    for (bool bUninitialize : {false, true}) {
        SCOPED_TRACE(bUninitialize ? "ended by Uninitialize" : "ended by CloseSocket");
        if (bUninitialize)
            s = ConnectedToRaw(&sPeer, 4096, 4096);
        m_lpMgr->SocketCtrl(1, s, 1, 0, 0, 0, 0, 0);
        size_t nFrom = m_Sink.Log().size();
        size_t nBlocks = 0;
        for (uiQueued = 0; nBlocks < 512 && uiQueued < 64; ++nBlocks)
            ASSERT_TRUE(SendChunk());
        ASSERT_EQ(64u, uiQueued) << "the kernel took " << nBlocks << " blocks";
        Settle(); // the engine tries again meanwhile
        for (const auto& pr : SendReports(s, nFrom))
            EXPECT_NE(0u, pr.second) << "a drained queue reported";
        EXPECT_LE(64, Pool()->GetPoolOutstanding() - iPoolBefore) << "the queued blocks are not the pool's";

        LONG lStopTimeouts = VZ_MultiThread::GetStopTimeoutCount();
        EXPECT_TRUE(bUninitialize ? m_lpMgr->Uninitialize(0) : m_lpMgr->CloseSocket(s));
        size_t nLog = Events(true).size(); // a retry's report may come while the end is under way
        // A send under way at the end ends too: its block comes back with the
        // close, not with the peer's, and a stop does not wait for it.
        EXPECT_EQ(lStopTimeouts, VZ_MultiThread::GetStopTimeoutCount()) << "the end waited for the peer";
        auto Back = [&] { return Pool()->GetPoolOutstanding() == iPoolBefore; };
        EXPECT_TRUE(WaitUntil(Back, 2000)) << Pool()->GetPoolOutstanding() - iPoolBefore
                                           << " blocks held after the end while the peer stays";
        RawClose(sPeer);
        if (!bUninitialize) // a stopped engine raises nothing more anyway
            Settle();
        EXPECT_TRUE(WaitUntil(Back, 2000)) << "the pool grows after the end";
        Lines vecLog = Events(true);
        EXPECT_EQ(Lines{}, Lines(vecLog.begin() + long(nLog), vecLog.end())) << "events after the end";
    }
}

// Four threads send on one socket at once, one of them gathered sends of
// three pieces (one empty): each send arrives whole, in its thread's order.
// An empty Send or SendV is refused as a misuse.
TEST_P(EngineLoopback, SendsFromManyThreadsStayWholeAndInEachThreadsOrder)
{
    SOCKET sPeer, s = ConnectedToRaw(&sPeer, 8192, 8192);
    const _SOCKBUF none[] = {{"x", 0, 0}, {"y", 0, 0}};
    EXPECT_FALSE(m_lpMgr->SendV(s, none, 2, 0, NULL));
    EXPECT_FALSE(m_lpMgr->Send(s, "x", 0, 0, NULL));
    EXPECT_EQ("len > 0;", m_Checks.Conditions()); // only the empty Send is reported
    m_Checks.Clear();
    const int THREADS = 4, SENDS = 300, SIZE = 64;
    std::vector<std::thread> vecThreads;
    std::atomic<int> iRefused{0};
    for (int t = 0; t < THREADS; ++t)
        vecThreads.emplace_back([&, t] {
            for (int i = 0; i < SENDS; ++i) {
                std::string str = char(t) + std::string(1, char(i >> 8)) + char(i) + Pattern(t * 1000 + i, SIZE - 3);
                const _SOCKBUF bufs[] = {{str.data(), 0, 1}, {str.data(), 0, 0}, {str.data() + 1, 0, SIZE - 1}};
                iRefused += t == 0 ? !m_lpMgr->SendV(s, bufs, 3, 0, NULL) : !m_lpMgr->Send(s, str.data(), SIZE, 0, NULL);
            }
        });
    std::string strGot = RawRecv(sPeer, size_t(THREADS * SENDS * SIZE));
    for (std::thread& th : vecThreads)
        th.join();
    EXPECT_EQ(0, iRefused.load());
    ASSERT_EQ(size_t(THREADS * SENDS * SIZE), strGot.size());
    int iNext[THREADS] = {};
    for (size_t n = 0; n < strGot.size(); n += SIZE) {
        int t = strGot[n], i = (BYTE(strGot[n + 1]) << 8) | BYTE(strGot[n + 2]);
        ASSERT_TRUE(t >= 0 && t < THREADS && i == iNext[t]++ &&
                    strGot.compare(n + 3, SIZE - 3, Pattern(t * 1000 + i, SIZE - 3)) == 0) << "at " << n;
    }
}

// The peer's end. A peer that resets while sends are queued: one report of
// the reset, a close with the error, or a send with it (the close then
// follows); no more sends. After the host's Shutdown(SD_SEND) the peer sends
// 256 KiB and closes: the sink gets every byte in order, then one OnSocketClose.
TEST_P(EngineLoopback, PeerResetIsReportedOnceAndAPeerCloseLosesNoBytes)
{
    SOCKET sPeer, s = ConnectedToRaw(&sPeer, 4096, 4096);
    std::string strData = Pattern(0, 256 * 1024);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(m_lpMgr->Send(s, strData.data(), int(strData.size()), 0, NULL));
    linger lg = {1, 0};
    setsockopt(sPeer, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof(lg));
    RawClose(sPeer);
    EXPECT_TRUE(WaitUntil([&] { return Count("close ") == 1; }));
    EXPECT_FALSE(m_lpMgr->Send(s, "x", 1, 0, NULL)); // closing: no more sends
    Settle();
    Lines vec = Events(true);
    EXPECT_EQ(1, std::count_if(vec.begin(), vec.end(), [&](const std::string& str) {
                  Lines vecField = LogFields(str, 3);
                  return vecField[0] == (Row().bResetSeenBySend ? "send" : "close") && vecField[1] != "0" &&
                         LogSocket(str) == s;
              })) << ::testing::PrintToString(vec);
    EXPECT_EQ(1u, Count("close "));

    m_Sink.m_bEcho = true; // reads on (user value 1: sends nothing back)
    s = ConnectedToRaw(&sPeer);
    ASSERT_TRUE(m_lpMgr->Shutdown(s, SD_SEND));
    EXPECT_TRUE(PeerSeesClose(sPeer));
    RawSend(sPeer, strData);
    RawClose(sPeer);
    ASSERT_LE(0, WaitLine(Line("close", 0, s, SS_CONNECTED, 1, 2)));
    EXPECT_TRUE(m_Sink.Data(s) == strData) << m_Sink.Data(s).size() << " of " << strData.size();
    EXPECT_EQ(2u, Count("close "));
    EXPECT_EQ("close", LogFields(m_Sink.Log().back(), 1)[0]); // nothing after the close
}

// Started with no flags, connects by name and name requests are served
// (a refused connect: a proxy that is not there, in the proxy case below).
// Started without timers (flag 2), timers and connects by name (whose
// time-out cannot be armed) are refused; without the name thread (flag 1),
// a connect by name is taken (its time-out armed) but never served, nor are
// name requests. A container passes no flags on: both run.
TEST_P(EngineLoopback, ConnectsByNameAndStartFlagsThatLeaveOutTheTimersOrTheNameThread)
{
    SOCKET sListen = RawListen();
    for (BYTE byFlags : {0, 2, 1}) {
        SCOPED_TRACE(int(byFlags));
        if (byFlags != 0) {
            Stop();
            ASSERT_NO_FATAL_FAILURE(Start(byFlags));
            m_Sink.Clear();
        }
        SOCKET s = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 2);
        SOCKET sDotted = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 5, 6);
        if (byFlags == 0) {
            EXPECT_FALSE(m_lpMgr->Connect(s, std::string(261, 'a').c_str(), PortOf(sListen)));
            EXPECT_TRUE(m_lpMgr->Connect(s, "localhost", PortOf(sListen)));
            EXPECT_LE(0, WaitLine(Line("connect", 0, s, 1, 2)));
            EXPECT_NE(INVALID_SOCKET, RawAccept(sListen));
            EXPECT_FALSE(m_lpMgr->Connect(s, "127.0.0.1", PortOf(sListen))); // connected already
            EXPECT_FALSE(m_lpMgr->DnsParse(std::string(261, 'a').c_str()));
            EXPECT_TRUE(m_lpMgr->DnsParse("localhost") && m_lpMgr->DnsParse("no-such-host.invalid"));
            // Its name queued behind the requests.
            EXPECT_TRUE(m_lpMgr->Connect(sDotted, "no-such-host.invalid", PortOf(sListen)));
            EXPECT_LE(0, WaitLine(Line("connect", WSAHOST_NOT_FOUND, sDotted, 5, 6), 30000));
            if (Row().bHostSeesDnsAndPreAccept) {
                EXPECT_LE(0, WaitLine(Line("dns", "localhost", inet_addr("127.0.0.1"))));
                EXPECT_LE(0, WaitLine(Line("dns", "no-such-host.invalid", INADDR_NONE), 30000));
            }
            EXPECT_EQ(Row().bHostSeesDnsAndPreAccept ? 2u : 0u, Count("dns ")); // else on standard output only
            EXPECT_EQ(1u, Count(Line("connect", 0) + " "));
            continue;
        }
        if (!Row().bInitFlags) {
            EXPECT_TRUE(m_lpMgr->SetTimer(s, 0, 10, 0, true) && m_lpMgr->Connect(s, "localhost", PortOf(sListen)));
            EXPECT_LE(0, WaitLine(Line("timer", s, 0, 0, 1, 2)));
            EXPECT_LE(0, WaitLine(Line("connect", 0, s, 1, 2)));
            continue;
        }
        if (byFlags == 2) {
            EXPECT_FALSE(m_lpMgr->SetTimer(s, 0, 10, 0, true) || m_lpMgr->SetRecvTimeout(s, 10) ||
                         m_lpMgr->SetSendTimeout(s, 10));
            EXPECT_FALSE(m_lpMgr->Connect(s, "localhost", PortOf(sListen)));
        } else {
            ASSERT_TRUE(m_lpMgr->Connect(s, "localhost", PortOf(sListen)));
            EXPECT_FALSE(m_lpMgr->Connect(s, "localhost", PortOf(sListen))); // its time-out is already armed
            EXPECT_TRUE(m_lpMgr->DnsParse(std::string(260, 'a').c_str()) && m_lpMgr->DnsParse("localhost"));
        }
        EXPECT_TRUE(m_lpMgr->Connect(sDotted, "127.0.0.1", PortOf(sListen))); // needs neither
        EXPECT_LE(0, WaitLine(Line("connect", 0, sDotted, 5, 6)));
        Settle();
        EXPECT_EQ(Lines{Line("connect", 0, sDotted, 5, 6)}, Events());
    }
}

// Timers fire with their parameters, once or until killed; one armed for a
// handle before its socket exists (a SetTimer that raced with the close of
// the handle's earlier socket) never fires on the new one. Idle time-outs
// fire while nothing comes or goes, again while idle, never for a socket that
// is not connected, stop when killed, and traffic re-arms them.
TEST_P(EngineLoopback, TimersAndIdleTimeouts)
{
    // An engine's own sockets made with its first socket (a select thread's
    // wake socket) must not take the handle meant for the new socket.
    EXPECT_TRUE(m_lpMgr->CloseSocket(m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 0, 0)));
    SOCKET sOld = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    closesocket(sOld);
    EXPECT_TRUE(m_lpMgr->SetTimer(sOld, 2, 50, 77, true));
    SOCKET sIdle = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 8, 9); // mostly the same handle
    SOCKET sPeer, s = ConnectedToRaw(&sPeer);
    EXPECT_TRUE(m_lpMgr->SetTimer(s, 5, 50, 0xAB, true) && m_lpMgr->SetTimer(sIdle, 28, 30, 7, false));
    EXPECT_TRUE(m_lpMgr->SetRecvTimeout(s, 50) && m_lpMgr->SetSendTimeout(s, 50));
    EXPECT_TRUE(m_lpMgr->SetRecvTimeout(sIdle, 50));
    const Lines vecRepeated = {Line("timer", sIdle, 28, 7, 8, 9), Line("recvtimeout", 0, s, 1, 2),
                               Line("sendtimeout", 0, s, 1, 2)};
    std::string strOnce = Line("timer", s, 5, 0xAB, 1, 2);
    EXPECT_TRUE(WaitUntil([&] {
        return Count(strOnce) == 1 && Count(vecRepeated[0]) >= 3 && Count(vecRepeated[1]) >= 2 &&
               Count(vecRepeated[2]) >= 2;
    })) << ::testing::PrintToString(m_Sink.Log());
    EXPECT_TRUE(m_lpMgr->KillTimer(sIdle, 28) && m_lpMgr->KillRecvTimeout(s) && m_lpMgr->KillSendTimeout(s));
    std::vector<size_t> vecAtKill;
    for (const std::string& str : vecRepeated)
        vecAtKill.push_back(Count(str));
    // A one-shot timer of several periods, on the same timer clock: killed
    // ones would fire again before it. One expiry may have been on its way.
    EXPECT_TRUE(m_lpMgr->SetTimer(s, 6, 250, 0, true));
    EXPECT_LE(0, WaitLine(Line("timer", s, 6, 0, 1, 2)));
    for (size_t i = 0; i < vecRepeated.size(); ++i)
        EXPECT_GE(vecAtKill[i] + 1, Count(vecRepeated[i])) << vecRepeated[i];
    EXPECT_EQ(1u, Count(strOnce));
    EXPECT_EQ(0u, Count(Line("recvtimeout", 0, sIdle) + " "));
    EXPECT_EQ(0u, Count(Line("timer", sOld, 2) + " ")) << "the earlier owner's timer fired";

    // The re-arm: the next expiry comes a whole period after the traffic,
    // later than a timer of half the period armed just before the traffic. A
    // time-out left on its first arming would expire first: the traffic comes
    // 700 ms (a timer's expiry) into its 1000 ms.
    EXPECT_TRUE(m_lpMgr->Recv(s, 1));
    EXPECT_TRUE(m_lpMgr->SetRecvTimeout(s, 1000) && m_lpMgr->SetSendTimeout(s, 1000));
    EXPECT_TRUE(m_lpMgr->SetTimer(s, 7, 700, 0, true));
    ASSERT_LE(0, WaitLine(Line("timer", s, 7, 0, 1, 2)));
    EXPECT_TRUE(m_lpMgr->SetTimer(s, 1, 500, 0, true));
    RawSend(sPeer, "k");
    EXPECT_TRUE(m_lpMgr->Send(s, "q", 1, 66, NULL));
    int iTimer = WaitLine(Line("timer", s, 1, 0, 1, 2));
    const std::pair<std::string, std::string> traffic[] = {
        {Line("recv", 0, s, 1, 2, "k"), Line("recvtimeout", 0, s, 1, 2)},
        {Line("send", 0, s, 1, 2, 66, 0), Line("sendtimeout", 0, s, 1, 2)}};
    for (const auto& pr : traffic) { // the first expiry after the traffic (one before it: a very slow peer)
        int iTraffic = WaitLine(pr.first);
        ASSERT_LE(0, iTraffic);
        EXPECT_LT(iTimer, WaitLine(pr.second, 10000, size_t(iTraffic))) << ::testing::PrintToString(m_Sink.Log());
    }
}

TEST_P(EngineLoopback, DatagramsGoBothWays)
{
    SOCKET u1 = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 1, 2);
    SOCKET u2 = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 3, 4);
    ASSERT_TRUE(u1 != INVALID_SOCKET && u2 != INVALID_SOCKET);
    SOCKET uAny = m_lpMgr->CreateUdpSocket(NULL, static_cast<const char*>(NULL), 0, 0, 0); // NULL: any address
    EXPECT_TRUE(LocalAddr(uAny).sin_addr.s_addr == INADDR_ANY && PortOf(uAny) != 0);
    SOCKET sStranger = Raw(SOCK_DGRAM);
    sockaddr_in toAny = Loopback(PortOf(uAny)), to = Loopback(PortOf(u1));
    // A datagram sent later to a reading socket: the check of one that must
    // not be read yet runs after it.
    auto Mark = [&](const char* lpszTag) {
        EXPECT_TRUE(m_lpMgr->Recv(uAny, 1));
        sendto(sStranger, lpszTag, int(strlen(lpszTag)), 0, reinterpret_cast<sockaddr*>(&toAny), sizeof(toAny));
        EXPECT_LE(0, WaitLine(Line("udp", 0, uAny, From(sStranger), 0, 0, lpszTag)));
    };
    auto Sent = [&](int iLen) { return Row().bSendToCountsBytes ? iLen : 0; };
    EXPECT_EQ(Sent(4), m_lpMgr->SendTo(u1, "127.0.0.1", PortOf(u2), "ping", 4, true));
    std::string strPing = Line("udp", 0, u2, From(u1), 3, 4, "ping");
    if (Row().iUdpReading != UDP_ALWAYS) { // waits for Recv
        Mark("1");
        EXPECT_EQ(0u, Count(strPing));
    }
    EXPECT_TRUE(m_lpMgr->Recv(u2, 1) && m_lpMgr->Recv(u1, 1));
    EXPECT_LE(0, WaitLine(strPing));
    EXPECT_EQ(Sent(4), m_lpMgr->SendTo(u2, &to, "pong", 4, true));
    EXPECT_EQ(Sent(4), m_lpMgr->SendTo(u2, &to, "pang", 4, true));
    EXPECT_LE(0, WaitLine(Line("udp", 0, u1, From(u2), 1, 2, "pong")));
    std::string strPang = Line("udp", 0, u1, From(u2), 1, 2, "pang");
    if (Row().iUdpReading == UDP_ONE_PER_RECV) {
        Mark("2");
        EXPECT_EQ(0u, Count(strPang));
        EXPECT_TRUE(m_lpMgr->Recv(u1, 1));
    }
    EXPECT_LE(0, WaitLine(strPang));
    EXPECT_TRUE(m_lpMgr->Recv(u1, 1));
    int iResult = m_lpMgr->SendTo(u2, &to, "z", 1, false); // not direct, but no proxy
    if (Row().lpszPlainSendToCheck == NULL) {
        EXPECT_EQ(1, iResult);
        EXPECT_LE(0, WaitLine(Line("udp", 0, u1, From(u2), 1, 2, "z")));
        EXPECT_TRUE(m_lpMgr->Recv(u1, 1));
    } else {
        EXPECT_EQ(std::string(Row().lpszPlainSendToCheck) + ";", m_Checks.Conditions());
        m_Checks.Clear();
    }
    EXPECT_EQ(Row().lpszPlainSendToCheck == NULL ? 1u : 0u, Count(Line("udp", 0, u1, From(u2), 1, 2, "z")));
    // A datagram larger than the engine's receive buffer: the socket fails, or
    // the datagram is reported with the error or dropped, and the socket reads
    // on (after another Recv, armed here beforehand for the dropping engine).
    std::string strHuge(5000, 'h');
    EXPECT_TRUE(m_lpMgr->Recv(u1, 1));
    bool bDropped = !Row().bOversizeUdpAsRecv && Row().iOversizeUdpError == 0;
    EXPECT_TRUE(!bDropped || m_lpMgr->Recv(u1, 1));
    EXPECT_EQ(Sent(5000), m_lpMgr->SendTo(u2, &to, strHuge.data(), 5000, true));
    std::string strFailed = Line("udp", Row().iOversizeUdpError, u1, From(u2), 1, 2, "");
    EXPECT_TRUE(!Row().bOversizeUdpAsRecv || WaitLine(strFailed) >= 0);
    if (Row().bOversizeUdpAsRecv || bDropped) {
        EXPECT_EQ(Sent(5), m_lpMgr->SendTo(u2, &to, "after", 5, true));
        EXPECT_LE(0, WaitLine(Line("udp", 0, u1, From(u2), 1, 2, "after")));
    } else {
        EXPECT_LE(0, WaitLine(Line("close", Row().iOversizeUdpError, u1, SS_UDP, 1, 2)));
    }
    EXPECT_EQ(0u, Count(Line("udp", 0, u1, From(u2), 1, 2, strHuge.substr(0, 100))));
    EXPECT_TRUE(m_lpMgr->Shutdown(u2, SD_BOTH));
}

// A connect by name queued behind a held name thread, and a refused connect,
// both closed before they are served, never reach the handles' next owners.
// (Held bytes, queued sends and timers of a closed socket: the soak, Soak.*.)
TEST_P(EngineLoopback, WorkOfAClosedSocketNeverReachesItsHandlesNextOwner)
{
    if (!Row().bHostSeesDnsAndPreAccept)
        GTEST_SKIP() << "holds the name thread in OnDnsParse, which a container does not pass on";
    auto pResolverFree = std::make_shared<std::atomic<bool>>(false);
    m_Sink.m_fnHook = [pResolverFree](const char* lpszName, SOCKET, UINT*) { // holds the resolver in OnDnsParse
        if (std::string(lpszName) == "dns")
            WaitUntil([&] { return pResolverFree->load(); }, 5000);
    };
    SOCKET sNameListen = RawListen();
    SOCKET sNamed = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 3, 4);
    SOCKET sRefused = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 5, 6); // closed before its refusal is seen
    EXPECT_TRUE(m_lpMgr->Connect(sRefused, "127.0.0.1", ClosedPort()) && m_lpMgr->CloseSocket(sRefused));
    EXPECT_TRUE(m_lpMgr->DnsParse("localhost"));
    ASSERT_LE(0, WaitLine(Line("dns", "localhost", inet_addr("127.0.0.1"))));
    EXPECT_TRUE(m_lpMgr->Connect(sNamed, "localhost", PortOf(sNameListen))); // queued behind
    EXPECT_TRUE(m_lpMgr->CloseSocket(sNamed));
    size_t nBefore = Events(true).size();

    SOCKET sListen = RawListen();
    SOCKET sNew = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 7, 8);
    m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 7, 9); // so both closed handles are mostly given again
    *pResolverFree = true; // the name request of the closed socket runs now, then this one
    EXPECT_TRUE(m_lpMgr->DnsParse("localhost"));
    EXPECT_TRUE(m_lpMgr->Connect(sNew, "127.0.0.1", PortOf(sListen)));
    ASSERT_LE(0, WaitLine(Line("connect", 0, sNew, 7, 8)));
    SOCKET sNewPeer = RawAccept(sListen);
    EXPECT_TRUE(m_lpMgr->Recv(sNew, 1));
    RawSend(sNewPeer, "Z");
    ASSERT_LE(0, WaitLine(Line("recv", 0, sNew, 7, 8, "Z")));
    std::string strDns = Line("dns", "localhost", inet_addr("127.0.0.1"));
    ASSERT_LE(0, WaitLine(strDns, 10000, size_t(WaitLine(strDns)) + 1)); // the old request is done
    Settle();
    // Only the refusal of the socket closed while connecting may have been on
    // its way already (with its own user values).
    Lines vecLog = Events(true), vecNew;
    std::string strRefused = Line("connect", Row().iRefusedError, sRefused, 5, 6);
    std::copy_if(vecLog.begin() + long(nBefore), vecLog.end(), std::back_inserter(vecNew),
                 [&](const std::string& str) { return str != strRefused && str != strDns; });
    EXPECT_EQ((Lines{Line("connect", 0, sNew, 7, 8), Line("recv", 0, sNew, 7, 8, "Z")}), vecNew);
    EXPECT_FALSE(Pending(sNameListen, 0)); // nobody connected for the old name request
}

TEST_P(EngineLoopback, ConnectsClosedAtOnceNeverCostTheHandlesNextOwnerItsConnect)
{
    SOCKET sListen = RawListen();
    std::vector<std::string> vecWant;
    for (DWORD i = 0; i < 30; ++i) {
        SOCKET sGone = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, i);
        EXPECT_TRUE(m_lpMgr->Connect(sGone, "127.0.0.1", PortOf(sListen)) && m_lpMgr->CloseSocket(sGone));
        SOCKET s = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 2, i); // often the same handle
        EXPECT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", PortOf(sListen)));
        vecWant.push_back(Line("connect", 0, s, 2, i));
        EXPECT_LE(0, WaitLine(vecWant.back(), 5000)) << i;
        EXPECT_TRUE(m_lpMgr->CloseSocket(s));
        closesocket(RawAccept(sListen)), closesocket(RawAccept(sListen));
        m_vecRaw.resize(m_vecRaw.size() - 2);
    }
    Settle();
    // Each new socket connected once; a closed one's connect (user value 1) may
    // still come when its values were taken just before the close.
    Lines vec = Events(true);
    for (const std::string& str : vecWant)
        EXPECT_EQ(1, std::count(vec.begin(), vec.end(), str)) << str;
    EXPECT_EQ(vec.size(), Count("connect 0 "));
}

// Uninitialize or oxDestroyInstance, from a host thread while 16 sockets
// echo 256 KiB each and timers fire, or from inside an event of any of the
// manager's threads: prompt (no bounded stop wait runs out) and nothing
// raised afterwards. A manager destroyed inside an event lives on until the
// event has returned; once a manager of its own engine is gone, its threads,
// pool blocks and (stopped by the host) handles are back.
TEST_P(EngineLoopback, StoppingFromTheHostOrInsideAnEventIsPromptQuietAndLeavesNothing)
{
    const bool bOwnEngine = Row().lpszContainer == NULL; // else the engine is the fixture's, shared
    SOCKET sRawListen = RawListen();
    for (const std::string strWhere : {"host", "timer", "recv", "connect", "dns"})
        for (bool bDestroy : {false, true}) {
            if (strWhere == "dns" && !Row().bHostSeesDnsAndPreAccept)
                continue;
            SCOPED_TRACE(strWhere + (bDestroy ? ": destroy" : ": uninitialize"));
            int iThreads = ThreadsOfThisProcess();
            LONG lLive = VZ_SocketMgr::GetLiveCount();
            DWORD dwHandles = 0, dwNow = 0;
            GetProcessHandleCount(GetCurrentProcess(), &dwHandles);
            ISocketMgr* lpMgr = oxCreateInstance(FactoryName(Row()));
            ASSERT_TRUE(lpMgr != NULL);
            EngineSink sink;
            sink.m_lpMgr = lpMgr;
            std::atomic<bool> bStopping{false}, bStopped{false};
            std::atomic<size_t> nAtStop{0};
            LONG lStopTimeouts = VZ_MultiThread::GetStopTimeoutCount();
            std::atomic<LONG> lLiveAtStop{-1};
            auto StopIt = [&](bool bInside) { // inside an event, that event is the last one
                if (bInside)
                    nAtStop = sink.Log().size();
                if (bDestroy)
                    oxDestroyInstance(lpMgr);
                else
                    lpMgr->Uninitialize(0);
                lLiveAtStop = VZ_SocketMgr::GetLiveCount();
                if (!bInside)
                    nAtStop = sink.Log().size();
                bStopped = true;
            };
            sink.m_fnHook = [&](const char* lpszName, SOCKET, UINT*) {
                if (strWhere == lpszName && !bStopping.exchange(true))
                    StopIt(true);
            };
            lpMgr->SetSink(&sink);
            if (bOwnEngine)
                lpMgr->Initialize(0, 0, 0, 0);
            SOCKET s = lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 2);
            if (strWhere == "host") {
                sink.m_bEcho = true;
                ASSERT_TRUE(lpMgr->Listen(s, 32));
                std::vector<SOCKET> vecClients(16);
                for (SOCKET& c : vecClients) {
                    c = lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 2);
                    EXPECT_TRUE(lpMgr->Connect(c, "127.0.0.1", PortOf(s)));
                }
                ASSERT_TRUE(WaitUntil([&] { return Count("connect 0 ", &sink) == 16; }));
                const std::string strBlock = Pattern(0, 256 * 1024);
                for (SOCKET c : vecClients)
                    EXPECT_TRUE(lpMgr->SetTimer(c, 0, 10, 0, false) &&
                                lpMgr->Send(c, strBlock.data(), int(strBlock.size()), 0, NULL));
                ASSERT_TRUE(WaitUntil([&] { return Count("recv 0 ", &sink) > 16 && Count("timer ", &sink) > 16; }));
                StopIt(false);
            } else if (strWhere == "timer") {
                EXPECT_TRUE(lpMgr->SetTimer(s, 0, 50, 0, true));
            } else if (strWhere == "dns") {
                EXPECT_TRUE(lpMgr->DnsParse("localhost"));
            } else {
                EXPECT_TRUE(lpMgr->Connect(s, "127.0.0.1", PortOf(sRawListen)));
            }
            if (strWhere == "recv") {
                ASSERT_TRUE(sink.WaitFor(1)) << "no connect";
                EXPECT_TRUE(lpMgr->Recv(s, 1));
                RawSend(RawAccept(sRawListen), "x");
            }
            ASSERT_TRUE(WaitUntil([&] { return bStopped.load(); }));
            EXPECT_TRUE(!bDestroy || !bOwnEngine || strWhere == "host" || lLiveAtStop == lLive + 1) << lLiveAtStop;
            auto ExpectQuiet = [&] { // checked once the engine's threads are gone
                EXPECT_EQ(nAtStop.load(), sink.Log().size()) << "raised after the stop: "
                                                             << ::testing::PrintToString(sink.Log());
            };
            if (!bDestroy) {
                VZ_SocketMgr* lpEngine = dynamic_cast<VZ_SocketMgr*>(lpMgr);
                EXPECT_TRUE(!bOwnEngine ||
                            (lpEngine != NULL && WaitUntil([&] { return lpEngine->GetPoolOutstanding() == 0; }, 2000)));
                oxDestroyInstance(lpMgr);
            }
            EXPECT_EQ(lStopTimeouts, VZ_MultiThread::GetStopTimeoutCount());
            if (!bOwnEngine) { // the shared engine was stopped (or lives on): the fixture's is made anew
                Stop();
                ExpectQuiet();
                ASSERT_NO_FATAL_FAILURE(Start(0));
                continue;
            }
            EXPECT_TRUE(WaitUntil([&] { return ThreadsOfThisProcess() <= iThreads; }, 15000));
            EXPECT_TRUE(WaitUntil([&] { return VZ_SocketMgr::GetLiveCount() == lLive; }));
            ExpectQuiet();
            EXPECT_TRUE(strWhere != "host" || WaitUntil([&] {
                            return GetProcessHandleCount(GetCurrentProcess(), &dwNow) && dwNow <= dwHandles;
                        }, 5000)) << dwNow << " handles, " << dwHandles << " before";
            EXPECT_EQ(lStopTimeouts, VZ_MultiThread::GetStopTimeoutCount()); // a deferred delete's wait too
        }
}

// A refused OnSocketPreAccept closes the new socket and listening goes on;
// a backlog of one serves any number of clients (an engine that posts its
// accepts ahead posts each again). A container takes every connection,
// asking nobody.
TEST_P(EngineLoopback, RefusedPreAcceptClosesTheNewSocketAndListeningGoesOn)
{
    SOCKET sListen = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 1);
    ASSERT_TRUE(m_lpMgr->Listen(sListen, 1));
    m_Sink.m_iRefuseAccepts = 1;
    if (Row().bHostSeesDnsAndPreAccept) {
        EXPECT_TRUE(PeerSeesClose(RawConnect(PortOf(sListen))));
        SOCKET sClient = RawConnect(PortOf(sListen));
        ASSERT_TRUE(WaitUntil([&] { return m_Sink.m_sAccepted != INVALID_SOCKET; }));
        std::string strAccept = Line("accept", 0, sListen, SOCKET(m_Sink.m_sAccepted), From(sListen), From(sClient));
        Lines vecLog = m_Sink.Log(); // after the refused one's preaccept
        EXPECT_EQ((Lines{Line("preaccept", From(sListen), From(sClient)), strAccept}),
                  Lines(vecLog.begin() + std::min<long>(1, long(vecLog.size())), vecLog.end()));
    }
    size_t nAccepted = Count(Line("accept", 0, sListen) + " ");
    for (size_t i = 1; i <= 3; ++i) {
        RawConnect(PortOf(sListen));
        EXPECT_TRUE(WaitUntil([&] { return Count(Line("accept", 0, sListen) + " ") == nAccepted + i; }, 5000)) << i;
    }
    EXPECT_EQ(Row().bHostSeesDnsAndPreAccept ? 5u : 0u, Count("preaccept "));
}

TEST_P(EngineLoopback, UnknownSocketsGetTheirFixedAnswersAndASecondInitialize)
{
    EXPECT_EQ(Row().bSecondInitialize, m_lpMgr->Initialize(3, 0, 0, 0)); // no timers, no name thread
    SOCKET u = Raw(SOCK_STREAM); // a real handle the manager does not know
    sockaddr_in to = Loopback(9);
    DWORD dw1 = 11, dw2 = 12;
    const struct {
        const char* lpszName;
        std::function<bool(SOCKET)> fn; // true: answered as for a socket of its own
        DWORD dwTrueBit;                // the row's UNKNOWN_* bit that makes it answer true
    } rows[] = {
        {"Connect by name", [&](SOCKET s) { return m_lpMgr->Connect(s, "localhost", 9); }, 0},
        {"Connect by address", [&](SOCKET s) { return m_lpMgr->Connect(s, &to); }, UNKNOWN_CONNECT_ADDR},
        {"Listen", [&](SOCKET s) { return m_lpMgr->Listen(s, 5); }, UNKNOWN_LISTEN},
        {"Recv", [&](SOCKET s) { return m_lpMgr->Recv(s, 1); }, UNKNOWN_RECV},
        {"Send", [&](SOCKET s) { return m_lpMgr->Send(s, "x", 1, 0, NULL); }, 0},
        {"SendTo", [&](SOCKET s) { return m_lpMgr->SendTo(s, &to, "x", 1, false) != SOCKET_ERROR; }, 0},
        {"Shutdown", [&](SOCKET s) { return m_lpMgr->Shutdown(s, SD_BOTH); }, 0},
        {"SetUserData1", [&](SOCKET s) { return m_lpMgr->SetUserData1(s, 1); }, 0},
        {"GetUserData", [&](SOCKET s) { return m_lpMgr->GetUserData(s, &dw1, &dw2) || dw1 + dw2 != 23; }, 0},
        {"SocketCtrl", [&](SOCKET s) { return m_lpMgr->SocketCtrl(1, s, 1, 0, 0, 0, 0, 0) != 0; }, 0},
        {"CloseSocket", [&](SOCKET s) { return m_lpMgr->CloseSocket(s); }, UNKNOWN_CLOSE},
    };
    for (const auto& row : rows) {
        bool bExpected = (Row().dwUnknownTrue & row.dwTrueBit) != 0;
        EXPECT_EQ(bExpected, row.fn(u)) << row.lpszName;
        // INVALID_SOCKET answers alike, but CloseSocket refuses it
        EXPECT_EQ(bExpected && row.dwTrueBit != UNKNOWN_CLOSE, row.fn(INVALID_SOCKET)) << row.lpszName;
    }
    Settle();
    EXPECT_EQ(Lines{}, Events(true));
}

// A proxy that ends the handshake its own way: a refusal followed by more of
// its answer gets one OnProxyResult; a hang-up (orderly or a reset) before
// its answer, inside it or between two steps ends the socket with one
// terminal event, as does a proxy that is not there. A socket the host closes while it waits for an answer, or
// between two steps, raises nothing. CloseSocket works on each afterwards,
// and nothing follows.
TEST_P(EngineLoopback, AProxyThatRefusesOrHangsUpEndsTheHandshakeOnce)
{
    SOCKET sFake = RawListen();
    char buf[512];
    auto Start = [&](UINT uiType, DWORD dwUser) { // the proxy's end of a new handshake, its first request read
        HANDLE hProxy = m_lpMgr->CreateProxy(uiType, "127.0.0.1", PortOf(sFake), NULL, NULL);
        SOCKET s = m_lpMgr->CreateTcpSocket(hProxy, "127.0.0.1", 0, 7, dwUser);
        EXPECT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", 9));
        SOCKET sProxy = RawAccept(sFake);
        EXPECT_LT(0, recv(sProxy, buf, sizeof(buf), 0));
        return std::make_pair(s, sProxy);
    };
    // A proxy that is not there refuses the connect and the relay's control
    // connection. Made first, its UDP socket closed first: an engine may close
    // the refused control socket, whose handle a later socket may then get,
    // and closing the UDP socket must not close that one.
    HANDLE hGone = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", ClosedPort(), NULL, NULL);
    SOCKET s = m_lpMgr->CreateTcpSocket(hGone, "127.0.0.1", 0, 7, 20);
    SOCKET u = m_lpMgr->CreateUdpSocket(hGone, "127.0.0.1", 0, 5, 6);
    ASSERT_TRUE(u != INVALID_SOCKET && m_lpMgr->Connect(s, "127.0.0.1", 9));
    int iError = Row().iRefusedError;
    EXPECT_LE(0, WaitLine(Row().bProxyRefusedAsClose ? Line("close", iError, s, SS_CONNECTING, 7, 20)
                                                     : Line("connect", iError, s, 7, 20)));
    EXPECT_LE(0, WaitLine(Row().bRelayRefusedAsClose ? Line("close", iError, u, SS_UDP, 5, 6)
                                                     : Line("proxy", iError, u, "-", 5, 6)));
    auto pr = Start(PROXY_HTTP, 0);
    std::vector<SOCKET> vec = {u, s, pr.first};
    std::vector<DWORD> vecClosed; // the user values of the sockets the host closed
    RawSend(pr.second, "HTTP/1.0 403 Forbidden\r\n");
    EXPECT_LE(0, WaitLine(Line("proxy", 10061, pr.first, "-", 7, 0)));
    // Paced so that most come in reads of their own; nothing waits on the
    // pace (bytes joined into one read only make the case check less).
    for (int i = 0; i < 5; ++i, Sleep(20))
        RawSend(pr.second, "Content-Type: text/html\r\n");
    const std::string strMethod("\x05\x00", 2);
    const struct {
        UINT uiType;
        std::string strAnswer; // sent before the hang-up
        bool bReset, bHostCloses;
    } stages[] = {{PROXY_HTTP, "", false, false},          {PROXY_HTTP, "HTTP/1.0 ", true, false},
                  {PROXY_SOCKS5, "", true, false},         {PROXY_SOCKS5, "\x05", false, false},
                  {PROXY_SOCKS5, strMethod, false, false}, {PROXY_SOCKS5, strMethod, true, false},
                  {PROXY_HTTP, "", false, true},           {PROXY_SOCKS5, strMethod, false, true}};
    for (const auto& st : stages) {
        DWORD dwUser = DWORD(vec.size() + vecClosed.size());
        pr = Start(st.uiType, dwUser);
        RawSend(pr.second, st.strAnswer);
        if (st.bHostCloses) { // after an answer, once it was taken: the next step's request came
            EXPECT_TRUE(st.strAnswer.empty() || recv(pr.second, buf, sizeof(buf), 0) > 0);
            EXPECT_TRUE(m_lpMgr->CloseSocket(pr.first));
            vecClosed.push_back(dwUser);
        } else {
            vec.push_back(pr.first);
        }
        linger lg = {1, 0};
        if (st.bReset)
            setsockopt(pr.second, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof(lg));
        RawClose(pr.second);
    }
    std::map<SOCKET, int> mapEnds;
    auto Ends = [&] { // the events that end a socket: a failed connect or proxy step, a close
        mapEnds.clear();
        std::set<SOCKET> setRefused;
        for (const std::string& str : Events()) {
            Lines vecField = LogFields(str, 2);
            bool bFailed = (vecField[0] == "connect" || vecField[0] == "proxy") && vecField[1] != "0";
            if (vecField[0] == "close" && Row().bProxyHangUpReported && setRefused.count(LogSocket(str)))
                continue; // the row reports the hang-up after a refusal as well
            if (bFailed && vecField[0] == "proxy")
                setRefused.insert(LogSocket(str));
            if (bFailed || vecField[0] == "close")
                ++mapEnds[LogSocket(str)];
        }
        return mapEnds.size() >= vec.size();
    };
    EXPECT_TRUE(WaitUntil(Ends)) << ::testing::PrintToString(Events());
    Settle(); // a second end would have come by now
    Ends();
    for (SOCKET sEnded : vec)
        EXPECT_EQ(1, mapEnds[sEnded]) << "socket " << sEnded << " ended " << mapEnds[sEnded] << " times";
    for (const std::string& str : Events()) // nothing of a socket the host closed (its user values end a line)
        for (DWORD dwUser : vecClosed) {
            std::string strTail = " 7 " + std::to_string(dwUser);
            EXPECT_NE(str.size() - strTail.size(), str.rfind(strTail)) << str;
        }
    size_t nLog = Events().size();
    for (SOCKET sEnded : vec) // (a row that reports the refused relay by a close has closed it)
        EXPECT_TRUE(m_lpMgr->CloseSocket(sEnded) || (sEnded == u && Row().bRelayRefusedAsClose)) << sEnded;
    Settle();
    EXPECT_EQ(nLog, Events().size()) << ::testing::PrintToString(Events());
}

// A live session through each engine that has a recording variant, recorded
// into oxnet.rec and played back: the replaying sink gets the same accept,
// the consumed bytes in order, and the close.
TEST_P(EngineLoopback, LiveSessionReplaysAsItWasConsumed)
{
    if (!Row().bRecords)
        GTEST_SKIP() << "no recording variant";
    Stop(); // started again with recording on, writing oxnet.rec into a directory of its own
    TempCurrentDir dir;
    ASSERT_TRUE(dir.m_bOk);
    m_lpMgr = CreateSocketMgr(Row().iKind, &m_Sink, true);
    ASSERT_TRUE(m_lpMgr != NULL && m_lpMgr->Initialize(0, 0, 0, 0));
    m_Sink.m_lpMgr = m_lpMgr;
    // At first nothing consumed and one byte more asked for (nothing is
    // recorded), then at most 1000 bytes per event and more asked for at once.
    auto pbFirst = std::make_shared<bool>(true);
    m_Sink.m_fnData = [this, pbFirst](SOCKET s, const char*, UINT* lpuiLen) {
        UINT uiOffered = *lpuiLen;
        *lpuiLen = *pbFirst ? 0 : std::min(uiOffered, 1000u);
        m_lpMgr->Recv(s, *pbFirst ? uiOffered + 1 : 1);
        *pbFirst = false;
    };
    SOCKET sListen = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 2);
    ASSERT_TRUE(m_lpMgr->Listen(sListen, 5));
    SOCKET sClient = RawConnect(PortOf(sListen));
    ASSERT_TRUE(WaitUntil([&] { return m_Sink.m_sAccepted != INVALID_SOCKET; }));
    SOCKET a = m_Sink.m_sAccepted;
    EXPECT_TRUE(m_lpMgr->SetUserData1(a, 7) && m_lpMgr->SetUserData2(a, 8) && m_lpMgr->Recv(a, 1));
    std::string strSent = Pattern(0, 20000);
    for (size_t n = 0; n < strSent.size(); n += 3000, Sleep(5))
        RawSend(sClient, strSent.substr(n, 3000));
    EXPECT_TRUE(WaitUntil([&] { return m_Sink.Data(a).size() >= strSent.size(); }));
    RawClose(sClient);
    std::string strClose = Line("close", 0, a, SS_CONNECTED, 7, 8);
    ASSERT_LE(0, WaitLine(strClose));
    Stop(); // the recording is complete

    EngineSink replay;
    ISocketMgr* lpReplay = CreateSocketMgr(SOCKETMGR_RECORD, &replay, false);
    ASSERT_TRUE(lpReplay != NULL && lpReplay->Initialize(0, 0, 0, 0));
    EXPECT_TRUE(WaitUntil([&] { return !replay.Log().empty() && replay.Log().back() == strClose; }));
    lpReplay->Uninitialize(0);
    delete lpReplay;
    Lines vec = replay.Log();
    ASSERT_LE(3u, vec.size());
    EXPECT_EQ(Line("accept", 0, sListen, a, "-", "-"), vec.front());
    for (size_t i = 1; i + 1 < vec.size(); ++i) // data records only, each as consumed
        EXPECT_EQ(0u, vec[i].find(Line("recv", 0, a, 7, 8) + " ")) << vec[i];
    EXPECT_TRUE(replay.Data(a) == strSent) << replay.Data(a).size() << " of " << strSent.size();
}
