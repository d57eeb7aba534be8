// What containers do themselves: one engine per process made by the first
// container and destroyed with the last, and routing of every event to the
// sink of the container that made its socket. The engine behaviour seen
// through a container is tested by the container rows of the engine suite.
#include "EngineTest.h"

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

} // namespace

// The first container's name picks the engine; the last one destroys it.
TEST(ContainerLifecycle, TheFirstContainerMakesTheEngineAndTheLastDestroysIt)
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
        EXPECT_TRUE(IsFirstKind()); // B still holds it
        oxDestroyInstance(lpB);
        EXPECT_EQ(NULL, g_lpEngine);
    }
}

// Two host threads make and close sockets in two containers while events
// route, each container's sink hearing only its own sockets. (A container
// destroyed while its sockets' events route: the container rows of the stop
// case in test_EngineLoopback.cpp.)
TEST_F(Containers, ContainersComeAndGoWhileEventsRoute)
{
    m_Sink.m_bEcho = true;
    SOCKET sListen = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, ECHO, 0);
    ASSERT_TRUE(m_lpMgr->Listen(sListen, 50));
    auto Client = [&](const char* lpszName, std::atomic<int>* lpiEchoed) {
        ISocketMgr* lpMgr = oxCreateInstance(lpszName);
        EngineSink sink; // echoing, of this container alone
        sink.m_lpMgr = lpMgr, sink.m_bEcho = true;
        lpMgr->SetSink(&sink);
        for (int i = 0; i < 20; ++i) {
            SOCKET s = lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 3, 4);
            auto Logged = [&](const std::string& str) { return WaitLine(str, 5000, 0, &sink) >= 0; };
            if (lpMgr->Connect(s, "127.0.0.1", PortOf(sListen)) && Logged(Line("connect", 0, s, 3, 4)) &&
                lpMgr->Send(s, "ping", 4, 0, NULL) && Logged(Line("recv", 0, s, 3, 4, "ping")))
                ++*lpiEchoed;
            for (const std::string& str : sink.Log())
                EXPECT_EQ(s, LogSocket(str)) << str;
            lpMgr->CloseSocket(s);
            sink.Clear(); // the next socket may have the same handle
        }
        oxDestroyInstance(lpMgr);
    };
    std::atomic<int> iEchoed{0};
    std::thread th1(Client, "IAsyncSocketMgr2.0", &iEchoed), th2(Client, "ISelectSocketMgr2.0", &iEchoed);
    th1.join(), th2.join();
    EXPECT_EQ(40, iEchoed.load());
    for (const std::string& str : m_Sink.Log()) // nothing of the clients' sockets (user values 3, 4)
        EXPECT_FALSE(LogFields(str)[3] == "3" && LogFields(str)[4] == "4") << str;
}
