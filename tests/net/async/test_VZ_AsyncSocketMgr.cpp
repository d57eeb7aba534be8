// What only the window-message engine has: one window thread that raises
// every socket event, so a sink that holds it holds every socket, and a
// message queue that may still carry notifications of closed handles. The
// behaviour it shares with the other engines is tested in the engine suite.
#include "EngineTest.h"

namespace {

class AsyncEngine : public EngineFixture {
protected:
    const EngineRow& Row() const override { return RowOf(SOCKETMGR_ASYNC); }
};

} // namespace

// An event that holds the window thread holds back every socket. The bytes
// of a live socket wait in the network, then arrive whole and in order.
// Sockets closed meanwhile, with their read, write and close notifications
// queued behind the event, are quiet: none of those reaches the sink or
// trips the engine's checks, and the handles' next owners work.
TEST_F(AsyncEngine, WhileAnEventHoldsTheWindowThreadNothingIsLostAndClosedSocketsStayQuiet)
{
    m_Sink.m_bEcho = true; // user values 1, 2: read from the connect on, never echo
    SOCKET sPeerHold, sHold = ConnectedToRaw(&sPeerHold);
    SOCKET sPeerLive, sLive = ConnectedToRaw(&sPeerLive);
    HANDLE hHeld = CreateEventW(NULL, FALSE, FALSE, NULL), hRelease = CreateEventW(NULL, FALSE, FALSE, NULL);
    m_Sink.m_fnData = [&](SOCKET s, const char*, UINT*) {
        if (s == sHold && SignalObjectAndWait(hHeld, hRelease, 10000, FALSE) != WAIT_OBJECT_0)
            ADD_FAILURE() << "not released";
    };
    std::string strChunk = Pattern(0, 20000), strLive;
    SOCKET sListen = Raw(SOCK_STREAM); // never accepts: the connects complete in its backlog
    listen(sListen, SOMAXCONN);
    for (int iRound = 0; iRound < 3; ++iRound) {
        std::vector<SOCKET> vecOld(20), vecPeer(20), vecNew;
        for (size_t i = 0; i < vecOld.size(); ++i)
            vecOld[i] = ConnectedToRaw(&vecPeer[i]);
        RawSend(sPeerHold, "h");
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hHeld, 5000));
        size_t nLive = m_Sink.Data(sLive).size(), nAtHold = m_Sink.Log().size();
        for (int i = 0; i < 40; ++i) {
            std::string str = Pattern(strLive.size(), 1000 + 97 * i);
            RawSend(sPeerLive, str);
            strLive += str;
        }
        for (size_t i = 0; i < vecOld.size(); ++i) { // read, write or close notices
            EXPECT_TRUE(m_lpMgr->Send(vecOld[i], strChunk.data(), int(strChunk.size()), 0, NULL));
            if (i % 2 == 0)
                RawClose(vecPeer[i]);
            else
                RawSend(vecPeer[i], strChunk);
        }
        // Readable (bytes, or the peer's close, have arrived): the read or
        // close notice of each is queued by then.
        EXPECT_TRUE(WaitUntil([&] {
            return std::all_of(vecOld.begin(), vecOld.end(), [](SOCKET s) { return Pending(s, 0); });
        }));
        for (SOCKET s : vecOld)
            EXPECT_TRUE(m_lpMgr->CloseSocket(s));
        // New sockets take the freed handles at once: the old notifications
        // must not reach them either.
        for (int i = 0; i < 20; ++i) {
            vecNew.push_back(m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 7, 8));
            EXPECT_TRUE(m_lpMgr->Connect(vecNew.back(), "127.0.0.1", PortOf(sListen)));
        }
        EXPECT_EQ(nLive, m_Sink.Data(sLive).size()) << "read while the window thread is held";
        SetEvent(hRelease);
        EXPECT_TRUE(WaitUntil([&] { return m_Sink.Data(sLive).size() >= strLive.size(); }));
        EXPECT_TRUE(m_Sink.Data(sLive) == strLive) << m_Sink.Data(sLive).size() << " of " << strLive.size();
        // The new sockets' connects queue behind the old notifications.
        EXPECT_TRUE(WaitUntil([&] {
            return std::all_of(vecNew.begin(), vecNew.end(),
                               [&](SOCKET s) { return Count(Line("connect", 0, s, 7, 8)) == 1; });
        }));
        // Since the hold, nothing but the two live sockets' bytes and the new
        // sockets' connects: an old socket's notice raised anything else.
        Lines vecLog = m_Sink.Log();
        for (size_t i = nAtHold; i < vecLog.size(); ++i) {
            SOCKET s = LogSocket(vecLog[i]);
            EXPECT_TRUE(s == sHold || s == sLive || vecLog[i] == Line("connect", 0, s, 7, 8))
                << "round " << iRound << ": " << vecLog[i];
        }
        for (SOCKET s : vecNew)
            m_lpMgr->CloseSocket(s);
        m_Sink.Clear();
    }
    m_Sink.m_fnData = nullptr;
    CloseHandle(hHeld), CloseHandle(hRelease);
}
