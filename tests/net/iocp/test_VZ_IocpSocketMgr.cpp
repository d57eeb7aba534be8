// What only the completion-port engine has: its pool of worker threads, and
// one send outstanding per socket with the rest queued behind it. Accepts
// posted ahead by Listen, and the behaviour it shares with the other engines,
// are tested in test_EngineLoopback.cpp and test_EngineProxy.cpp.
#include "EngineTest.h"
#include "iocp/VZ_IocpSocketMgr.h"

namespace {

class IocpEngine : public EngineTest {};

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(IocpEngine);
INSTANTIATE_TEST_SUITE_P(Engines, IocpEngine, ::testing::ValuesIn(BuiltEngines(false, SOCKETMGR_IOCP)), RowName);

} // namespace

TEST_P(IocpEngine, WorkerThreadsDefaultToProcessorsPlusOne)
{
    Stop();
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    int iAdded[2] = {0, 0};
    for (int nWorkThread : {0, 1}) { // no timers, no name thread: workers and the connect thread
        ISocketMgr* lpMgr = CreateSocketMgr(Row().iKind, &m_Sink, false);
        ASSERT_TRUE(lpMgr != NULL);
        int iBefore = ThreadsOfThisProcess();
        ASSERT_TRUE(lpMgr->Initialize(3, nWorkThread, 0, 0));
        iAdded[nWorkThread] = ThreadsOfThisProcess() - iBefore;
        lpMgr->Uninitialize(0);
        delete lpMgr;
        EXPECT_TRUE(WaitUntil([&] { return ThreadsOfThisProcess() <= iBefore; })) << "threads left behind";
    }
    EXPECT_EQ(2, iAdded[1]);
    EXPECT_EQ(int(si.dwNumberOfProcessors) + 2, iAdded[0]);
}

// With partial reports, each re-post is reported with the completed send's
// parameter and the number still queued.
TEST_P(IocpEngine, SendsBehindAnOutstandingOneAreQueuedAndReportedInOrder)
{
    std::string strBig = Pattern(0, 256 * 1024);
    for (DWORD dwPartial : {0u, 1u}) {
        SOCKET sPeer, s = ConnectedToRaw(&sPeer, 4096, 4096);
        m_lpMgr->SocketCtrl(1, s, dwPartial, 0, 0, 0, 0, 0);
        UINT uiQueued[3] = {9, 9, 9};
        for (DWORD i = 0; i < 3; ++i)
            EXPECT_TRUE(m_lpMgr->Send(s, strBig.data(), int(strBig.size()), i + 1, &uiQueued[i]));
        EXPECT_EQ((std::vector<UINT>{0, 1, 2}), std::vector<UINT>(uiQueued, uiQueued + 3));
        EXPECT_TRUE(RawRecv(sPeer, 3 * strBig.size()) == strBig + strBig + strBig);
        ASSERT_LE(0, WaitLine(Line("send", 0, s, 1, 2, 3, 0)));
        Sleep(50);
        Lines vecWant = {Line("send", 0, s, 1, 2, 3, 0)}, vecLog = m_Sink.Log();
        if (dwPartial)
            vecWant.insert(vecWant.begin(), {Line("send", 0, s, 1, 2, 1, 2), Line("send", 0, s, 1, 2, 2, 1)});
        EXPECT_EQ(vecWant, Lines(vecLog.begin() + 1, vecLog.end())); // after the connect
        EXPECT_TRUE(m_lpMgr->CloseSocket(s));
        m_Sink.Clear();
    }
}

// Notices the connect window still holds once a connect is settled are stale
// (Wine may queue an FD_CLOSE right behind the FD_CONNECT): they raise
// nothing, and the socket goes on working through the port.
TEST_P(IocpEngine, ConnectNoticesAfterTheConnectAreIgnored)
{
    SOCKET sPeer, s = ConnectedToRaw(&sPeer);
    VZ_Wnd* lpWnd = dynamic_cast<VZ_Wnd*>(m_lpMgr);
    ASSERT_TRUE(lpWnd != NULL);
    // Sent, not posted: the window has handled each one when the call returns.
    for (WORD wEvent : {FD_CLOSE, FD_CONNECT})
        SendMessageW(lpWnd->GetHwnd(), WM_IOCP_SOCKET, static_cast<WPARAM>(s), WSAMAKESELECTREPLY(wEvent, 0));
    EXPECT_TRUE(m_lpMgr->Send(s, "ab", 2, 0, NULL));
    EXPECT_EQ("ab", RawRecv(sPeer, 2));
    Lines vecLog = m_Sink.Log();
    EXPECT_EQ(1, std::count_if(vecLog.begin(), vecLog.end(), [](const std::string& str) {
                  return str.compare(0, 7, "connect") == 0 || str.compare(0, 5, "close") == 0;
              })) << "a connect or close event raised by a stale notice";
}
