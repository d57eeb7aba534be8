// What only the window-message engine has: one window thread that raises
// every socket event, so a sink that holds it holds every socket, and a
// message queue that may still carry notifications of closed handles. The
// behaviour it shares with the other engines is tested in
// test_EngineLoopback.cpp and test_EngineProxy.cpp.
#include "EngineTest.h"

#include <set>

namespace {

class AsyncEngine : public EngineTest {};

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(AsyncEngine);
INSTANTIATE_TEST_SUITE_P(Engines, AsyncEngine, ::testing::ValuesIn(BuiltEngines(false, SOCKETMGR_ASYNC)), RowName);

} // namespace

// An event that holds the window thread holds back every socket. The bytes
// of a live socket wait in the network, then arrive whole and in order.
// Sockets closed meanwhile, with their read, write and close notifications
// queued behind the event, are quiet: none of those reaches the sink or
// trips the engine's checks, and the handles' next owners work.
TEST_P(AsyncEngine, WhileAnEventHoldsTheWindowThreadNothingIsLostAndClosedSocketsStayQuiet)
{
    m_Sink.m_bEcho = true; // user values 1, 2: read from the connect on, never echo
    SOCKET sPeerHold, sHold = ConnectedToRaw(&sPeerHold);
    SOCKET sPeerLive, sLive = ConnectedToRaw(&sPeerLive);
    HANDLE hHeld = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE hRelease = CreateEventW(NULL, FALSE, FALSE, NULL);
    std::mutex mtx;
    std::set<SOCKET> setClosed; // filled while the window thread is held
    int iLate = 0;
    m_Sink.m_fnHook = [&](const char*, SOCKET s, UINT*) {
        std::lock_guard<std::mutex> lock(mtx);
        iLate += int(setClosed.count(s));
    };
    m_Sink.m_fnData = [&](SOCKET s, const char*, UINT*) {
        if (s == sHold && SignalObjectAndWait(hHeld, hRelease, 10000, FALSE) != WAIT_OBJECT_0)
            ADD_FAILURE() << "not released";
    };
    std::string strChunk = Pattern(0, 20000), strLive;
    SOCKET sListen = Raw(SOCK_STREAM); // never accepts: the connects complete in its backlog
    listen(sListen, SOMAXCONN);
    for (int iRound = 0; iRound < 3; ++iRound) {
        std::vector<std::pair<SOCKET, SOCKET>> vecPairs;
        for (int i = 0; i < 20; ++i) {
            SOCKET sPeer, s = ConnectedToRaw(&sPeer);
            vecPairs.push_back({s, sPeer});
        }
        RawSend(sPeerHold, "h");
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hHeld, 5000));
        size_t nLive = m_Sink.Data(sLive).size();
        for (int i = 0; i < 40; ++i) {
            std::string str = Pattern(strLive.size(), 1000 + 97 * i);
            RawSend(sPeerLive, str);
            strLive += str;
        }
        for (size_t i = 0; i < vecPairs.size(); ++i) { // read, write or close notices
            EXPECT_TRUE(m_lpMgr->Send(vecPairs[i].first, strChunk.data(), int(strChunk.size()), 0, NULL));
            if (i % 2 == 0)
                RawClose(vecPairs[i].second);
            else
                RawSend(vecPairs[i].second, strChunk);
        }
        Sleep(100); // the notifications are queued (on a slow machine perhaps fewer: the round tests less)
        for (auto& pr : vecPairs) {
            EXPECT_TRUE(m_lpMgr->CloseSocket(pr.first));
            std::lock_guard<std::mutex> lock(mtx);
            setClosed.insert(pr.first);
        }
        // New sockets take the freed handles at once: the old notifications
        // must not reach them either.
        std::vector<SOCKET> vecNew;
        for (int i = 0; i < 20; ++i) {
            vecNew.push_back(m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 7, 8));
            EXPECT_TRUE(m_lpMgr->Connect(vecNew.back(), "127.0.0.1", PortOf(sListen)));
            std::lock_guard<std::mutex> lock(mtx);
            setClosed.erase(vecNew.back());
        }
        EXPECT_EQ(nLive, m_Sink.Data(sLive).size()) << "read while the window thread is held";
        SetEvent(hRelease);
        EXPECT_TRUE(WaitUntil([&] { return m_Sink.Data(sLive).size() >= strLive.size(); }));
        EXPECT_TRUE(m_Sink.Data(sLive) == strLive) << m_Sink.Data(sLive).size() << " of " << strLive.size();
        // The new sockets' connects queue behind the old notifications.
        EXPECT_TRUE(WaitUntil([&] {
            return std::all_of(vecNew.begin(), vecNew.end(),
                               [&](SOCKET sNew) { return Count(Line("connect", 0, sNew, 7, 8)) == 1; });
        }));
        std::lock_guard<std::mutex> lock(mtx);
        EXPECT_EQ(0, iLate) << "round " << iRound;
        Lines vecLog = m_Sink.Log();
        EXPECT_EQ(vecNew.size(), size_t(std::count_if(vecLog.begin(), vecLog.end(), [](const std::string& str) {
                      return str.size() > 4 && str.compare(str.size() - 4, 4, " 7 8") == 0;
                  }))) << ::testing::PrintToString(vecLog);
        for (SOCKET sNew : vecNew)
            m_lpMgr->CloseSocket(sNew);
        m_Sink.Clear();
        setClosed.clear();
    }
    m_Sink.m_fnHook = nullptr;
    m_Sink.m_fnData = nullptr;
    CloseHandle(hHeld);
    CloseHandle(hRelease);
}
