// Every engine through real proxy servers on 127.0.0.1: SOCKS4, SOCKS5 (with
// and without a password; CONNECT, BIND, UDP ASSOCIATE) and HTTP CONNECT
// (with and without Basic authorisation), each against a target served by the
// same manager. The servers' ports come from the KEY=VALUE file named by
// OXNET_PROXY_ENV (scripts/proxies.sh); a case whose server is not running
// fails with the reason.
#include <tuple>

#include "EngineTest.h"

namespace {

struct ProxyCase {
    const char* lpszName;
    UINT uiType;
    const char* lpszKey; // the server's port in the servers' file
    int iCredentials;    // 0 none, 1 the right ones, 2 a wrong password
    bool bClosedTarget;  // connect to a port nobody listens on
    int iCode;           // OnProxyResult code expected; 0: the connect succeeds
};
void PrintTo(const ProxyCase& pc, std::ostream* lpOs) { *lpOs << pc.lpszName; }

// A refusal at the authentication and the connect step of a real server's
// handshake (the engine's path is the same for every verdict; each verdict on
// a reply is tested byte by byte in test_VZ_SocketMgrProxy.cpp, a first-step
// refusal followed by more bytes in test_EngineLoopback.cpp).
const ProxyCase g_caseProxies[] = {
    {"Socks4", PROXY_SOCKS4, "DANTE_PORT", 0, false, 0},
    {"Socks5", PROXY_SOCKS5, "DANTE_PORT", 0, false, 0},
    {"Socks5Password", PROXY_SOCKS5, "MICROSOCKS_AUTH_PORT", 1, false, 0},
    {"Http", PROXY_HTTP, "TINYPROXY_PORT", 0, false, 0},
    {"HttpBasicAuth", PROXY_HTTP, "TINYPROXY_AUTH_PORT", 1, false, 0},
    {"Socks5WrongPassword", PROXY_SOCKS5, "MICROSOCKS_AUTH_PORT", 2, false, 86},
    {"Socks5ClosedTarget", PROXY_SOCKS5, "DANTE_PORT", 0, true, 10061},
};

// Every socket reads on; the sockets with user value ECHO echo.
class ProxyFixture : public EngineFixture {
protected:
    void SetUp() override
    {
        const char* lpszPath = getenv("OXNET_PROXY_ENV");
        m_strEnvPath = lpszPath != NULL ? lpszPath : "(OXNET_PROXY_ENV unset)";
        m_mapEnv = LoadEnvFile(m_strEnvPath);
        EngineFixture::SetUp();
        m_Sink.m_bEcho = true;
    }
    // A proxy on the server whose port is under strKey; fails the test with
    // the reason proxies.sh recorded when that server is not running.
    void ProxyOn(HANDLE* lphProxy, UINT uiType, const std::string& strKey, const char* lpszUser = NULL,
                 const char* lpszPsw = NULL)
    {
        USHORT usPort = USHORT(atoi(m_mapEnv[strKey].c_str()));
        ASSERT_NE(0, usPort) << "no " << strKey << " in " << m_strEnvPath << " (" << m_mapEnv["MISSING_" + strKey]
                             << "): run under ctest, whose Proxies fixture starts the servers with scripts/proxies.sh";
        *lphProxy = m_lpMgr->CreateProxy(uiType, "127.0.0.1", usPort, lpszUser, lpszPsw);
    }
    // A listening socket of the manager; the sockets it accepts echo.
    USHORT EchoServer()
    {
        SOCKET s = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 1);
        EXPECT_TRUE(m_lpMgr->Listen(s, 8));
        return PortOf(s);
    }
    // Sends a pattern on s and waits for it to come back through sEcho.
    void RoundTrip(SOCKET s, SOCKET sEcho, size_t nLen)
    {
        std::string strOut = Pattern(0, nLen);
        ASSERT_TRUE(m_lpMgr->Send(s, strOut.data(), int(nLen), 9, NULL));
        EXPECT_TRUE(WaitUntil([&] { return m_Sink.Data(s).size() >= nLen; }));
        EXPECT_TRUE(m_Sink.Data(sEcho) == strOut) << "the target got other bytes";
        EXPECT_TRUE(m_Sink.Data(s) == strOut) << "the echo came back with other bytes";
    }

    std::string m_strEnvPath;
    std::map<std::string, std::string> m_mapEnv;
};

class EngineProxy : public ProxyFixture, public ::testing::WithParamInterface<EngineRow> {
protected:
    const EngineRow& Row() const override { return GetParam(); }
};
// Every row with every case.
class EngineProxyConnect : public ProxyFixture, public ::testing::WithParamInterface<std::tuple<EngineRow, ProxyCase>> {
protected:
    const EngineRow& Row() const override { return std::get<0>(GetParam()); }
};
std::string CaseName(const ::testing::TestParamInfo<std::tuple<EngineRow, ProxyCase>>& info)
{
    return std::string(std::get<0>(info.param).lpszName) + "_" + std::get<1>(info.param).lpszName;
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineProxyConnect,
                         ::testing::Combine(::testing::ValuesIn(BuiltEngines()), ::testing::ValuesIn(g_caseProxies)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(Engines, EngineProxy, ::testing::ValuesIn(BuiltEngines()), RowName);

} // namespace

TEST_P(EngineProxyConnect, ConnectsAndCarriesBytesOrReportsTheRefusal)
{
    const ProxyCase& pc = std::get<1>(GetParam());
    const char* lpszUser = pc.iCredentials ? m_mapEnv["PROXY_USER"].c_str() : NULL;
    const char* lpszPsw =
        pc.iCredentials == 1 ? m_mapEnv["PROXY_PASSWORD"].c_str() : pc.iCredentials == 2 ? "not-the-password" : NULL;
    HANDLE hProxy;
    ASSERT_NO_FATAL_FAILURE(ProxyOn(&hProxy, pc.uiType, pc.lpszKey, lpszUser, lpszPsw));
    SOCKET s = m_lpMgr->CreateTcpSocket(hProxy, "127.0.0.1", 0, 7, 8);
    ASSERT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", pc.bClosedTarget ? ClosedPort() : EchoServer()));
    if (pc.iCode == 0) {
        ASSERT_LE(0, WaitLine(Line("connect", 0, s, 7, 8))) << ::testing::PrintToString(Events());
        // The proxy may report success before the target's accept is raised.
        ASSERT_TRUE(WaitUntil([&] { return m_Sink.m_sAccepted != INVALID_SOCKET; }));
        RoundTrip(s, m_Sink.m_sAccepted, 40000);
        EXPECT_EQ(Row().bHandshakeSendsReported, Count(Line("send", 0, s, 7, 8, 0, 0)) > 0);
        for (const std::string& str : Events()) // no proxy result, no close: only connects and accepts
            EXPECT_TRUE(str.find("proxy ") != 0 && str.find("close ") != 0) << str;
        return;
    }
    Lines vecWant = {Line("proxy", pc.iCode, s, "-", 7, 8)};
    ASSERT_LE(0, WaitLine(vecWant[0])) << ::testing::PrintToString(Events());
    if (Row().bProxyHangUpReported) {
        vecWant.push_back(Line("close", 0, s, SS_CONNECTED, 7, 8));
        EXPECT_LE(0, WaitLine(vecWant[1]));
    }
    Settle(); // nothing else may follow: no connect
    EXPECT_EQ(vecWant, Events());
}

TEST_P(EngineProxy, UdpThroughTheRelayBothWaysAndListenAcceptingOnItself)
{
    HANDLE hProxy;
    ASSERT_NO_FATAL_FAILURE(ProxyOn(&hProxy, PROXY_SOCKS5, "DANTE_PORT"));
    SOCKET sPlain = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, ECHO, ECHO);
    SOCKET s = m_lpMgr->CreateUdpSocket(hProxy, "127.0.0.1", 0, 5, 6);
    ASSERT_TRUE(s != INVALID_SOCKET && m_lpMgr->Recv(sPlain, 1) && m_lpMgr->Recv(s, 1));
    // The address is kept before the line is logged: wait for the line.
    ASSERT_TRUE(WaitUntil([&] { return Count("proxy ") != 0; })) << ::testing::PrintToString(Events());
    sockaddr_in relay = m_Sink.ProxyAddr(s);
    EXPECT_EQ(Lines{Line("proxy", 0, s, LogSink::Addr(&relay), 5, 6)}, Events());
    EXPECT_TRUE(relay.sin_family == Row().iProxyAddrFamily && relay.sin_addr.s_addr == inet_addr("127.0.0.1"));

    // Through the relay the plain socket sees the bare datagram from the
    // relay, and the answer comes back without the header, from the plain socket.
    const std::string strMsg = "datagram through the relay";
    int iLen = int(strMsg.size());
    ASSERT_EQ(Row().bSendToCountsBytes ? 10 + iLen : 0,
              m_lpMgr->SendTo(s, "127.0.0.1", PortOf(sPlain), strMsg.data(), iLen, false));
    std::string strBack = Line("udp", 0, s, From(sPlain), 5, 6, "re:" + strMsg);
    ASSERT_LE(0, WaitLine(strBack)) << ::testing::PrintToString(Events());
    Lines vec = Events();
    ASSERT_EQ(3u, vec.size()) << ::testing::PrintToString(vec);
    std::string strHead = Line("udp", 0, sPlain) + " 127.0.0.1:", strTail = Line("", ECHO, ECHO, strMsg);
    EXPECT_EQ(0u, vec[1].find(strHead)) << vec[1];
    EXPECT_EQ(vec[1].size() - strTail.size(), vec[1].rfind(strTail)) << vec[1];
    EXPECT_EQ(strBack, vec[2]);
    // Not from the relay: a datagram without the header comes whole; one with
    // three zero bytes in front comes without its 10 bytes, from their address.
    SOCKET sRaw = Raw(SOCK_DGRAM);
    sockaddr_in to = Loopback(PortOf(s));
    const std::string strHeaded("\0\0\0\x01\x01\x02\x03\x04\x12\x34headed", 16);
    for (const std::string& str : {std::string("whole"), strHeaded}) {
        sendto(sRaw, str.data(), int(str.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        EXPECT_LE(0, WaitLine(str == "whole" ? Line("udp", 0, s, From(sRaw), 5, 6, "whole")
                                             : Line("udp", 0, s, "1.2.3.4:4660", 5, 6, "headed")));
    }

    // BIND, the UDP socket still open (no handle given again): the peer is accepted on the socket itself.
    size_t nFrom = Events().size();
    SOCKET sListen = m_lpMgr->CreateTcpSocket(hProxy, "127.0.0.1", 0, 3, 4);
    ASSERT_TRUE(m_lpMgr->Listen(sListen, 5));
    ASSERT_TRUE(WaitUntil([&] { return Count(Line("proxy", 0, sListen) + " ") != 0; }))
        << ::testing::PrintToString(Events());
    sockaddr_in bound = m_Sink.ProxyAddr(sListen);
    EXPECT_TRUE(bound.sin_family == Row().iProxyAddrFamily && bound.sin_addr.s_addr == inet_addr("127.0.0.1"));
    SOCKET sPeer = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, ECHO, ECHO);
    ASSERT_TRUE(m_lpMgr->Connect(sPeer, "127.0.0.1", ntohs(bound.sin_port)));
    std::string strAccept = Line("accept", 0, sListen, sListen, From(sListen), From(sPeer));
    ASSERT_LE(0, WaitLine(strAccept)) << ::testing::PrintToString(Events());
    RoundTrip(sListen, sPeer, 20000);
    vec = Events();
    vec.erase(vec.begin(), vec.begin() + long(nFrom));
    Lines vecWant = {Line("proxy", 0, sListen, LogSink::Addr(&bound), 3, 4), Line("connect", 0, sPeer, ECHO, ECHO),
                     strAccept};
    // The peer's connect and the accept may come in either order.
    std::sort(vec.begin() + 1, vec.end());
    std::sort(vecWant.begin() + 1, vecWant.end());
    EXPECT_EQ(vecWant, vec);
    // Closing the socket closes its control socket too (found by its user values).
    auto Owned = [&] {
        int n = 0;
        for (SOCKET h = s > 256 ? s - 256 : 1; h < s + 256; ++h) {
            DWORD dw1 = 0, dw2 = 0;
            n += m_lpMgr->GetUserData(h, &dw1, &dw2) && dw1 == 5 && dw2 == 6;
        }
        return n;
    };
    EXPECT_EQ(2, Owned());
    EXPECT_TRUE(m_lpMgr->CloseSocket(s));
    EXPECT_EQ(0, Owned());
}
