// What only the completion-port engine has: its pool of worker threads and
// the connect window's stale notices. Accepts posted ahead by Listen, sends
// queued behind an outstanding one, and the behaviour it shares with the
// other engines are tested in the engine suite (test_Engine*.cpp).
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
