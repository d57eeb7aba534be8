// What only the completion-port engine has: its pool of worker threads, the
// connect window's stale notices, and the network fault simulator over
// loopback: an oxnet.ini beside the test program switches it on for one
// manager (read by Initialize, removed right after). Held sends arriving
// whole and in order under every fault at once: Soak.IIocpSocketMgr1.0.FaultSimulator.
#include <fstream>

#include "EngineTest.h"
#include "iocp/VZ_IocpSocketMgr.h"

namespace {

class IocpEngine : public EngineFixture {
protected:
    const EngineRow& Row() const override { return RowOf(SOCKETMGR_IOCP); }
};

// A completion-port manager whose simulator thread, when held, waits until
// Uninitialize: what is simulated meanwhile is what Initialize prepared, and
// nothing is refilled.
class HeldSimulator : public VZ_IocpSocketMgr {
public:
    explicit HeldSimulator(bool bHold) : m_hGo(CreateEventW(NULL, TRUE, !bHold, NULL)) {}
    ~HeldSimulator() override { CloseHandle(m_hGo); }
    bool Uninitialize(DWORD dw) override { return SetEvent(m_hGo), VZ_IocpSocketMgr::Uninitialize(dw); }

protected:
    DWORD ThreadProc(_THREAD_DATA& td) override
    {
        if (td.iThreadType == IOCP_THREAD_SIMULATOR)
            WaitForSingleObject(m_hGo, INFINITE);
        return VZ_IocpSocketMgr::ThreadProc(td);
    }

private:
    HANDLE m_hGo;
};

// Each test starts its manager with its own file.
class IocpSimulator : public IocpEngine {
protected:
    void StartWith(const char* lpszIni, bool bHold = false)
    {
        char szPath[MAX_PATH];
        std::string strPath(szPath, GetModuleFileNameA(NULL, szPath, MAX_PATH));
        strPath = strPath.substr(0, strPath.rfind('\\') + 1) + "oxnet.ini";
        ASSERT_TRUE(!!(std::ofstream(strPath, std::ios::binary) << lpszIni));
        Stop();
        m_Sink.m_lpMgr = m_lpMgr = new HeldSimulator(bHold);
        m_lpMgr->SetSink(&m_Sink);
        EXPECT_TRUE(m_lpMgr->Initialize(0, 0, 0, 0));
        DeleteFileA(strPath.c_str());
    }
    // Which of iCount datagrams sent by the manager a raw socket gets, one
    // character each ('1': arrived). Markers up to ordinal 1002, beyond every
    // ordinal the simulator draws, end the wait: loopback keeps their order.
    std::string Delivered(int iCount)
    {
        SOCKET sRaw = Raw(SOCK_DGRAM);
        int iBuf = 1 << 20;
        setsockopt(sRaw, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&iBuf), sizeof(iBuf));
        sockaddr_in to = Loopback(PortOf(sRaw));
        SOCKET u = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 1, 2);
        for (int i = 0; i < std::max(iCount + 1, 1002); ++i) {
            int iIndex = std::min(i, iCount);
            EXPECT_EQ(0, m_lpMgr->SendTo(u, &to, reinterpret_cast<const char*>(&iIndex), sizeof(iIndex), true));
        }
        std::string str(size_t(iCount), '0');
        for (int i = 0; recv(sRaw, reinterpret_cast<char*>(&i), sizeof(i), 0) == sizeof(i) && i < iCount;)
            str[size_t(i)] = '1';
        return str;
    }
    // OnSocketClose events of s, whatever their error.
    size_t Closed(SOCKET s)
    {
        size_t n = 0;
        for (const std::string& str : m_Sink.Log())
            n += str.compare(0, 6, "close ") == 0 && LogSocket(str) == s;
        return n;
    }
};

} // namespace

// Started with no worker count: one worker per processor and one more (the
// engine's own count: the process's may still hold threads of an earlier
// manager on their way out). Notices the connect window still holds once a
// connect is settled are stale (Wine may queue an FD_CLOSE right behind the
// FD_CONNECT): they raise nothing, and the socket goes on working through the port.
TEST_F(IocpEngine, DefaultWorkersAndConnectNoticesAfterTheConnectAreIgnored)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    VZ_IocpSocketMgr* lpIocp = dynamic_cast<VZ_IocpSocketMgr*>(m_lpMgr);
    ASSERT_TRUE(lpIocp != NULL);
    EXPECT_EQ(int(si.dwNumberOfProcessors) + 1, lpIocp->GetThreadCount(IOCP_THREAD_IOWORK));
    SOCKET sPeer, s = ConnectedToRaw(&sPeer);
    VZ_Wnd* lpWnd = lpIocp;
    // Sent, not posted: the window has handled each one when the call returns.
    for (WORD wEvent : {FD_CLOSE, FD_CONNECT})
        SendMessageW(lpWnd->GetHwnd(), WM_IOCP_SOCKET, static_cast<WPARAM>(s), WSAMAKESELECTREPLY(wEvent, 0));
    EXPECT_TRUE(m_lpMgr->Send(s, "ab", 2, 0, NULL));
    EXPECT_EQ("ab", RawRecv(sPeer, 2));
    EXPECT_EQ(1u, Count("connect ") + Count("close ")) << "a connect or close event raised by a stale notice";
}

// At rate 100 (at both ends of the range) what Initialize drew is all there
// is: exactly the drawn datagram ordinals are lost, and every connect fails.
TEST_F(IocpSimulator, LossAndConnectFailuresAtTheirRates)
{
    StartWith("[oxnet]\r\nsimulator=1\r\n[udp]\r\nlost=100 , 100\r\n[tcp]\r\nconnfail=100,100\r\n", true);
    std::string str = Delivered(1001);
    EXPECT_EQ(1, std::count(str.begin(), str.end(), '1')); // 1000 distinct ordinals among 1 .. 1001
    SOCKET sListen = RawListen();
    for (DWORD i = 0; i < 3; ++i) {
        size_t nBefore = Count("connect ");
        SOCKET s = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 5, i);
        // Redirected to 255.255.255.255: refused at once, or reported as failed.
        if (m_lpMgr->Connect(s, "127.0.0.1", PortOf(sListen))) {
            EXPECT_TRUE(WaitUntil([&] { return Count("connect ") > nBefore; }, 5000));
        }
        EXPECT_EQ(0u, Count(Line("connect", 0, s)));
    }
    EXPECT_FALSE(Pending(sListen, 1)); // nobody reached the listener
    StartWith("[oxnet]\r\nsimulator=0\r\n[udp]\r\nlost=100,100\r\n"); // switched off: nothing of it runs
    EXPECT_EQ(std::string(200, '1'), Delivered(200));
}

// With a seed every run draws the same faults: the same datagrams are lost.
TEST_F(IocpSimulator, ASeedDrawsTheSameFaultsInEveryRun)
{
    auto Lost = [&](const std::string& strSeed) {
        StartWith(("[oxnet]\r\nsimulator=1\r\nseed=" + strSeed + "\r\n[udp]\r\nlost=30,60\r\n").c_str(), true);
        return Delivered(1000);
    };
    std::string str = Lost("7");
    EXPECT_NE(std::string::npos, str.find('0'));
    EXPECT_EQ(str, Lost("7"));
    EXPECT_NE(str, Lost("8"));
}

TEST_F(IocpSimulator, BreaksOnlyCandidatesAndStopsWithSendsHeld)
{
    // Break "0,0": a candidate (a socket that sent with the delay on) is
    // broken every round; a socket that never sent is no candidate.
    StartWith("[oxnet]\r\nsimulator=1\r\n[tcp]\r\ndelay=100,200\r\nbreak=0,0\r\n");
    SOCKET sPeer, sQuietPeer;
    SOCKET s = ConnectedToRaw(&sPeer), sQuiet = ConnectedToRaw(&sQuietPeer);
    EXPECT_TRUE(m_lpMgr->Recv(s, 1) && m_lpMgr->Recv(sQuiet, 1));
    EXPECT_TRUE(m_lpMgr->Send(s, "x", 1, 1, NULL));
    m_lpMgr->Send(s, "y", 1, 2, NULL); // held once s is picked, freed by CloseSocket; refused once s broke
    EXPECT_TRUE(WaitUntil([&] { return Closed(s) == 1; }, 5000));
    // The peer sees the break; the broken handle stays s's until CloseSocket,
    // so a new socket cannot take its value while the record holds it.
    DWORD dwWait = 5000;
    setsockopt(sPeer, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&dwWait), sizeof(dwWait));
    EXPECT_TRUE(PeerSeesClose(sPeer));
    SOCKET sNew = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(s, sNew);
    closesocket(sNew);
    EXPECT_TRUE(m_lpMgr->CloseSocket(s));
    Stop(); // a report still on its way comes before the stop returns; the stop raises none
    EXPECT_EQ(1u, Closed(s)) << "reported once";
    EXPECT_EQ(0u, Closed(sQuiet));
}
