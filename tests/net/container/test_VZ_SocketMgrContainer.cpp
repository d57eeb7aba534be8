// What containers do themselves: one engine per process made by the first
// container and destroyed with the last, routing of every event to the sink
// of the container that made its socket, the failure values without an
// engine. The engine behaviour seen through a container is tested by the
// container rows of the engine suite.
#include "EngineTest.h"

#include <memory>
#include <set>
#include <thread>

#include "iocp/VZ_IocpSocketMgr.h"
#include "select/VZ_SelectSocketMgr.h"

namespace {

// The fixture's manager is container A, the first one: it makes a
// completion-port engine.
class Containers : public EngineFixture {
protected:
    const EngineRow& Row() const override
    {
        static const EngineRow row = ContainerRow(RowOf(SOCKETMGR_IOCP), "IocpContainer", "IIocpSocketMgr2.0");
        return row;
    }
};

// An echoing sink of its own for a container.
std::unique_ptr<EngineSink> SinkOf(ISocketMgr* lpMgr)
{
    auto pSink = std::make_unique<EngineSink>();
    pSink->m_lpMgr = lpMgr;
    pSink->m_bEcho = true;
    lpMgr->SetSink(pSink.get());
    return pSink;
}

} // namespace

// The first container's name picks the engine; the last one destroys it.
// Without an engine every operation fails.
TEST(ContainerLifecycle, TheLastContainerDestroysTheEngineAndWithoutOneEveryOperationFails)
{
    ASSERT_EQ(NULL, g_lpEngine);
    for (bool bIocp : {true, false}) {
        ISocketMgr* lpA = oxCreateInstance(bIocp ? "IIocpSocketMgr2.0" : "ISelectSocketMgr2.0");
        ISocketMgr* lpB = oxCreateInstance(bIocp ? "ISelectSocketMgr2.0" : "IAsyncSocketMgr2.0");
        auto IsFirstKind = [&] {
            return bIocp ? dynamic_cast<VZ_IocpSocketMgr*>(g_lpEngine) != NULL
                         : dynamic_cast<VZ_SelectSocketMgr*>(g_lpEngine) != NULL;
        };
        EXPECT_TRUE(IsFirstKind());
        oxDestroyInstance(lpA);
        oxDestroyInstance(lpA); // a second time: nothing
        EXPECT_TRUE(IsFirstKind()); // B still holds it
        oxDestroyInstance(lpB);
        EXPECT_EQ(NULL, g_lpEngine);
    }

    VZ_SocketMgrContainer c("no engine of this name");
    LogSink sink;
    c.SetSink(&sink);
    sockaddr_in addr = Loopback(0);
    const _SOCKBUF buf = {"x", 0, 1};
    EXPECT_TRUE(g_lpEngine == NULL && c.GetSink() == NULL);
    EXPECT_EQ(HANDLE(NULL), c.CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, NULL, NULL));
    EXPECT_EQ(INVALID_SOCKET, c.CreateTcpSocket(NULL, "127.0.0.1", 0, 0, 0));
    EXPECT_EQ(INVALID_SOCKET, c.CreateUdpSocket(NULL, &addr, 0, 0));
    EXPECT_EQ(SOCKET_ERROR, c.SendTo(1, &addr, "x", 1, true));
    EXPECT_FALSE(c.Initialize(0, 0, 0, 0) || c.Uninitialize(0) || c.Connect(1, &addr) || c.Listen(1, 5) ||
                 c.Recv(1, 1) || c.Send(1, "x", 1, 0, NULL) || c.SendV(1, &buf, 1, 0, NULL) || c.CloseSocket(1) ||
                 c.SetTimer(1, 0, 10, 0, true) || c.DnsParse("localhost") || c.SetUserData1(1, 1));
}

// Two host threads make and close sockets in two containers while events
// route, each container's sink hearing only its own sockets; a third
// container is destroyed while its socket still receives, and its sink is
// freed at once.
TEST_F(Containers, ContainersComeAndGoWhileEventsRoute)
{
    m_Sink.m_bEcho = true;
    SOCKET sListen = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, ECHO, 0);
    ASSERT_TRUE(m_lpMgr->Listen(sListen, 50));
    auto Client = [&](const char* lpszName, std::atomic<int>* lpiEchoed) {
        ISocketMgr* lpMgr = oxCreateInstance(lpszName);
        auto pSink = SinkOf(lpMgr);
        for (int i = 0; i < 20; ++i) {
            SOCKET s = lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 3, 4);
            auto Logged = [&](const std::string& str) { return WaitLine(str, 5000, 0, pSink.get()) >= 0; };
            if (lpMgr->Connect(s, "127.0.0.1", PortOf(sListen)) && Logged(Line("connect", 0, s, 3, 4)) &&
                lpMgr->Send(s, "ping", 4, 0, NULL) && Logged(Line("recv", 0, s, 3, 4, "ping")))
                ++*lpiEchoed;
            for (const std::string& str : pSink->Log())
                EXPECT_EQ(s, LogSocket(str)) << str;
            lpMgr->CloseSocket(s);
            pSink->Clear(); // the next socket may have the same handle
        }
        oxDestroyInstance(lpMgr);
    };
    ISocketMgr* lpGone = oxCreateInstance("IIocpSocketMgr2.0");
    auto pSink = SinkOf(lpGone);
    SOCKET sGone = lpGone->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 2);
    ASSERT_TRUE(lpGone->Connect(sGone, "127.0.0.1", PortOf(sListen)) && pSink->WaitFor(1));
    ASSERT_TRUE(WaitUntil([&] { return m_Sink.m_sAccepted != INVALID_SOCKET; }));
    SOCKET sToGone = m_Sink.m_sAccepted;
    std::atomic<bool> bStop{false};
    std::atomic<int> iFlood{0};
    std::thread flood([&] { // sGone's peer keeps sending, paced
        for (; iFlood < 100000 && !bStop; ++iFlood, Sleep(1))
            m_lpMgr->Send(sToGone, "y", 1, 0, NULL);
    });
    std::atomic<int> iEchoed{0};
    std::thread th1(Client, "IAsyncSocketMgr2.0", &iEchoed), th2(Client, "ISelectSocketMgr2.0", &iEchoed);
    EXPECT_TRUE(WaitUntil([&] { return iEchoed > 0 && Count(Line("recv", 0, sGone) + " ", pSink.get()) >= 5; }));
    oxDestroyInstance(lpGone); // waits for an event still running on its sink
    pSink.reset();
    int iAtDestroy = iFlood;
    EXPECT_TRUE(WaitUntil([&] { return iFlood >= iAtDestroy + 50; })); // bytes for sGone after its sink went
    bStop = true;
    flood.join(), th1.join(), th2.join();
    EXPECT_EQ(40, iEchoed.load());
    for (const std::string& str : m_Sink.Log()) // nothing of the clients' sockets (user values 3, 4)
        EXPECT_FALSE(LogFields(str)[3] == "3" && LogFields(str)[4] == "4") << str;
}
