// Lock order and closing, on every engine row and container row: no engine
// or container lock is held while an event runs, so a host may hold a lock of
// its own around manager calls that its events also take; CloseSocket has
// closed the handle when it returns.
#include "EngineTest.h"

#include <mutex>
#include <thread>

namespace {

const DWORD HANG_MS = 8000; // only a deadlock reaches it

// Runs fn on a thread of its own. A call that never returns is a deadlock
// among the engine's threads: it is reported, and the process ends at once,
// since no stop could succeed with those threads blocked.
void Bounded(const char* lpszWhat, const std::function<void()>& fn)
{
    std::atomic<bool> bDone{false};
    std::thread th([&] { fn(), bDone = true; });
    if (!WaitUntil([&] { return bDone.load(); }, HANG_MS * 2)) {
        ADD_FAILURE() << lpszWhat << ": deadlock, the process ends here";
        fflush(stdout), fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    th.join();
}

} // namespace

class EngineLockOrder : public EngineTest {};

// A host thread H holds its lock while it calls SetUserData1 and Send on the
// socket whose OnTcpRecv is waiting for that lock, and CloseSocket on another
// socket; the event, once it has the lock, closes a third socket. The event
// runs on an engine thread, or (select's Recv on held bytes) inside the host's
// own Recv on another thread. An engine or container lock held across the
// event would keep H's calls, and so the host lock, from ever coming back:
// the event's bounded wait for the lock then runs out.
TEST_P(EngineLockOrder, HostLockAroundCallsThatItsEventsTake)
{
    enum { LOG_ONLY, KEEP_OFFER, PROBE };
    std::atomic<int> iPhase{LOG_ONLY};
    std::timed_mutex mtxHost;
    std::atomic<bool> bEntered{false}, bTimedOut{false}, bClosedInEvent{false};
    std::atomic<SOCKET> sOther{INVALID_SOCKET};
    // Set once, before any socket exists: a hook is never replaced under a running event.
    m_Sink.m_fnHook = [&](const char* lpszName, SOCKET, UINT* lpuiLen) {
        if (strcmp(lpszName, "recv") != 0 || lpuiLen == NULL)
            return;
        if (iPhase == KEEP_OFFER)
            *lpuiLen = 0; // not consumed: the bytes stay held
        if (iPhase != PROBE || bEntered.exchange(true))
            return;
        if (!mtxHost.try_lock_for(std::chrono::milliseconds(HANG_MS))) {
            bTimedOut = true; // the host's calls are stuck behind this event
            return;
        }
        bClosedInEvent = m_lpMgr->CloseSocket(sOther);
        mtxHost.unlock();
    };
    for (bool bHeld : {true, false}) {
        SCOPED_TRACE(bHeld ? "bytes held before Recv" : "bytes arriving after Recv");
        SOCKET sPeer = INVALID_SOCKET;
        SOCKET s = ConnectedToRaw(&sPeer);
        SOCKET sUdp = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 5, 6);
        sOther = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 7, 8);
        ASSERT_TRUE(sUdp != INVALID_SOCKET && sOther != INVALID_SOCKET);
        if (bHeld) {
            iPhase = KEEP_OFFER;
            ASSERT_TRUE(m_lpMgr->Recv(s, 4));
            RawSend(sPeer, "abcd");
            ASSERT_LE(0, WaitLine(Line("recv", 0, s, 1, 2, "abcd")));
            m_Sink.Data(s); // that event has returned
        }
        bEntered = bTimedOut = bClosedInEvent = false;
        bool bSet = false, bSent = false, bClosed = false;
        Bounded("host calls under the host lock", [&] {
            mtxHost.lock();
            iPhase = PROBE;
            std::thread thrRecv([&] { m_lpMgr->Recv(s, 4); }); // inline on select when held
            if (!bHeld)
                RawSend(sPeer, "abcd");
            if (WaitUntil([&] { return bEntered.load(); }, HANG_MS)) {
                bSet = m_lpMgr->SetUserData1(s, 7);
                bSent = m_lpMgr->Send(s, "x", 1, 0, NULL);
                bClosed = m_lpMgr->CloseSocket(sUdp);
            }
            mtxHost.unlock(); // the event may take the lock now
            thrRecv.join();
        });
        EXPECT_TRUE(bEntered);
        EXPECT_FALSE(bTimedOut) << "an engine or container lock was held across OnTcpRecv";
        EXPECT_TRUE(bSet && bSent && bClosed);
        EXPECT_TRUE(WaitUntil([&] { return bClosedInEvent.load(); }, HANG_MS));
        EXPECT_EQ("x", RawRecv(sPeer, 1));
        iPhase = LOG_ONLY;
        m_Sink.Data(s);
        m_lpMgr->CloseSocket(s);
    }
    Stop(); // no event reaches the hook's variables after this
}

// When CloseSocket returns the handle is closed: a direct SendTo on the UDP
// handle fails, and the listener's port can be listened on again. Wine may
// let the port go a moment after the close (seen with every pending accept
// already back), so the bind is retried; a port kept for good still fails.
TEST_P(EngineLockOrder, CloseSocketClosesTheHandleAtOnce)
{
    SOCKET sRecv = Raw(SOCK_DGRAM);
    sockaddr_in to = Loopback(PortOf(sRecv));
    for (int i = 0; i < 3; ++i) {
        SOCKET sUdp = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 1, 2);
        SOCKET sListen = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 3, 4);
        ASSERT_TRUE(m_lpMgr->Listen(sListen, 5));
        EXPECT_EQ(Row().iKind == SOCKETMGR_SELECT, m_lpMgr->Listen(sListen, 5)); // a second Listen
        ASSERT_EQ(Row().bSendToCountsBytes ? 1 : 0, m_lpMgr->SendTo(sUdp, &to, "a", 1, true));
        USHORT usPort = PortOf(sListen);
        ASSERT_TRUE(m_lpMgr->CloseSocket(sUdp));
        ASSERT_TRUE(m_lpMgr->CloseSocket(sListen));
        EXPECT_EQ(SOCKET_ERROR, m_lpMgr->SendTo(sUdp, &to, "b", 1, true));
        SOCKET sAgain = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = Loopback(usPort);
        EXPECT_TRUE(WaitUntil([&] { return bind(sAgain, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0; }))
            << WSAGetLastError();
        EXPECT_EQ(0, listen(sAgain, 1));
        closesocket(sAgain);
    }
    EXPECT_EQ("a", RawRecv(sRecv, 1));
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineLockOrder, ::testing::ValuesIn(BuiltEngines()), RowName);
