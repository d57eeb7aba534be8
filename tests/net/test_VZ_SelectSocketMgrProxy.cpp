// The select engine through real proxy servers on 127.0.0.1: SOCKS4, SOCKS5
// (with and without a password; CONNECT, BIND, UDP ASSOCIATE) and HTTP
// CONNECT (with and without Basic authorisation), each against a target
// served by the same manager. The servers' ports come from the KEY=VALUE
// file named by OXNET_PROXY_ENV; a server that is not running skips its cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "LogSink.h"
#include "NetTestUtil.h"
#include "VZ_Assert.h"
#include "VZ_NetworkEx.h"

namespace {

const DWORD ECHO = 0; // first user value of the sockets that echo (accepted ones get 0)

std::string Loopback(USHORT usPort) { return "127.0.0.1:" + std::to_string(usPort); }

// KEY=VALUE lines of the proxy servers' file. The path is a Linux one; Wine
// finds it on the drive that maps the Linux root when the current one fails.
std::map<std::string, std::string> LoadProxyEnv()
{
    std::map<std::string, std::string> mapEnv;
    const char* lpszPath = getenv("OXNET_PROXY_ENV");
    FILE* f = lpszPath ? fopen(lpszPath, "r") : NULL;
    if (f == NULL && lpszPath != NULL && lpszPath[0] == '/')
        f = fopen((std::string("Z:") + lpszPath).c_str(), "r");
    char szLine[512];
    while (f != NULL && fgets(szLine, sizeof(szLine), f) != NULL) {
        std::string str(szLine);
        str.erase(str.find_last_not_of("\r\n") + 1);
        size_t n = str.find('=');
        if (n != std::string::npos)
            mapEnv[str.substr(0, n)] = str.substr(n + 1);
    }
    if (f != NULL)
        fclose(f);
    return mapEnv;
}

// Logs as LogSink (received TCP bytes are kept, not logged), keeps every
// socket reading, echoes on ECHO sockets and keeps the addresses of proxy results.
class ProxySink : public LogSink {
public:
    ISocketMgr* m_lpMgr = NULL;

    void OnTcpConnect(int e, SOCKET s, DWORD d1, DWORD d2) override
    {
        LogSink::OnTcpConnect(e, s, d1, d2);
        if (e == 0)
            m_lpMgr->Recv(s, 1);
    }
    void OnTcpAccept(int e, SOCKET s, SOCKET a, const sockaddr_in* l, const sockaddr_in* p) override
    {
        LogSink::OnTcpAccept(e, s, a, l, p);
        if (e == 0)
            m_lpMgr->Recv(a, 1);
    }
    void OnTcpRecv(int, SOCKET s, const char* buf, UINT* lpuiLen, DWORD d1, DWORD) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_mapData[d1 == ECHO ? INVALID_SOCKET : s].append(buf, *lpuiLen);
        }
        UINT uiQueued = 0;
        if (d1 == ECHO)
            m_lpMgr->Send(s, buf, int(*lpuiLen), 0, &uiQueued);
        m_lpMgr->Recv(s, 1);
    }
    void OnUdpRecv(int e, SOCKET s, const char* buf, int n, const sockaddr_in* p, DWORD d1, DWORD d2) override
    {
        LogSink::OnUdpRecv(e, s, buf, n, p, d1, d2);
        std::string strAnswer = "re:" + std::string(buf, n);
        if (d1 == ECHO)
            m_lpMgr->SendTo(s, p, strAnswer.data(), int(strAnswer.size()), true);
    }
    void OnProxyResult(int e, SOCKET s, const sockaddr_in* a, DWORD d1, DWORD d2) override
    {
        if (a != NULL) {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_mapAddr[s] = *a;
        }
        LogSink::OnProxyResult(e, s, a, d1, d2);
    }
    // What s received; INVALID_SOCKET: what the echo sockets received.
    std::string Data(SOCKET s)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_mapData[s];
    }
    sockaddr_in Addr(SOCKET s)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_mapAddr[s];
    }

private:
    std::mutex m_mtx;
    std::map<SOCKET, std::string> m_mapData;
    std::map<SOCKET, sockaddr_in> m_mapAddr;
};

class SelectProxyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_mapEnv = LoadProxyEnv();
        m_lpMgr = BeginEngineTest(&m_Sink, 0, &m_fnOldHandler);
        ASSERT_TRUE(m_lpMgr != NULL);
        m_Sink.m_lpMgr = m_lpMgr;
    }
    void TearDown() override { EndEngineTest(m_lpMgr, m_fnOldHandler); }

    // The port of a proxy server from the servers' file, 0 when it is not there.
    USHORT ProxyPort(const std::string& strKey) { return USHORT(atoi(m_mapEnv[strKey].c_str())); }
    std::string Missing(const std::string& strKey)
    {
        const char* lpszPath = getenv("OXNET_PROXY_ENV");
        return "no " + strKey + " in " + (lpszPath ? lpszPath : "(OXNET_PROXY_ENV unset)") +
               ": that proxy server is not installed or not started (scripts/proxies.sh)";
    }
    const char* User() { return m_mapEnv["PROXY_USER"].c_str(); }
    const char* Password() { return m_mapEnv["PROXY_PASSWORD"].c_str(); }

    // A listening socket of the manager; the sockets it accepts echo.
    USHORT EchoServer()
    {
        SOCKET s = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 1);
        EXPECT_TRUE(m_lpMgr->Listen(s, 8));
        return ntohs(LocalAddr(s).sin_port);
    }
    // A loopback port nobody listens on.
    static USHORT ClosedPort()
    {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        USHORT usPort = ntohs(LocalAddr(s).sin_port);
        closesocket(s);
        return usPort;
    }
    bool WaitUntil(const std::function<bool()>& pred, DWORD dwMs = 10000)
    {
        for (ULONGLONG t0 = GetTickCount64(); !pred(); Sleep(5))
            if (GetTickCount64() - t0 > dwMs)
                return false;
        return true;
    }
    bool WaitLine(const std::string& strLine)
    {
        return WaitUntil([&] {
            for (const std::string& str : m_Sink.Log())
                if (str == strLine)
                    return true;
            return false;
        });
    }
    // The log without the send reports (the handshake's requests give some too).
    Lines Events()
    {
        Lines vec;
        for (const std::string& str : m_Sink.Log())
            if (str.compare(0, 5, "send ") != 0)
                vec.push_back(str);
        return vec;
    }
    // Sends a pattern on s and waits for it to come back through the echo.
    void RoundTrip(SOCKET s, size_t nLen)
    {
        std::string strOut = Pattern(0, nLen);
        UINT uiQueued = 0;
        ASSERT_TRUE(m_lpMgr->Send(s, strOut.data(), int(nLen), 9, &uiQueued));
        EXPECT_TRUE(WaitUntil([&] { return m_Sink.Data(s).size() >= nLen; }));
        EXPECT_TRUE(m_Sink.Data(INVALID_SOCKET) == strOut) << "the target got other bytes";
        EXPECT_TRUE(m_Sink.Data(s) == strOut) << "the echo came back with other bytes";
    }

    ProxySink m_Sink;
    ISocketMgr* m_lpMgr = NULL;
    std::map<std::string, std::string> m_mapEnv;
    VZ_AssertHandler m_fnOldHandler = NULL;
};

struct ProxyCase {
    const char* lpszName;
    UINT uiType;
    const char* lpszKey;  // the server's port in the servers' file
    int iCredentials;     // 0 none, 1 the right ones, 2 a wrong password
    bool bClosedTarget;   // connect to a port nobody listens on
    int iCode;            // OnProxyResult code expected; 0: the connect succeeds
};
std::string CaseName(const ::testing::TestParamInfo<ProxyCase>& info) { return info.param.lpszName; }
void PrintTo(const ProxyCase& pc, std::ostream* lpOs) { *lpOs << pc.lpszName; } // readable test names in ctest

class SelectProxyConnect : public SelectProxyTest, public ::testing::WithParamInterface<ProxyCase> {};

TEST_P(SelectProxyConnect, ConnectsAndCarriesBytesOrReportsTheRefusal)
{
    const ProxyCase& pc = GetParam();
    USHORT usProxy = ProxyPort(pc.lpszKey);
    if (usProxy == 0)
        GTEST_SKIP() << Missing(pc.lpszKey);
    const char* lpszUser = pc.iCredentials ? User() : NULL;
    const char* lpszPsw = pc.iCredentials == 1 ? Password() : pc.iCredentials == 2 ? "not-the-password" : NULL;
    HANDLE hProxy = m_lpMgr->CreateProxy(pc.uiType, "127.0.0.1", usProxy, lpszUser, lpszPsw);
    SOCKET s = m_lpMgr->CreateTcpSocket(hProxy, "127.0.0.1", 0, 7, 8);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", pc.bClosedTarget ? ClosedPort() : EchoServer()));
    if (pc.iCode == 0) {
        ASSERT_TRUE(WaitLine(Line("connect", 0, s, 7, 8))) << ::testing::PrintToString(Events());
        RoundTrip(s, 40000);
    } else {
        ASSERT_TRUE(WaitLine(Line("proxy", pc.iCode, s, "-", 7, 8))) << ::testing::PrintToString(Events());
        Sleep(300); // nothing else may follow: no connect, no close
    }
    Lines vec = Events();
    if (pc.iCode != 0) {
        EXPECT_EQ(Lines{Line("proxy", pc.iCode, s, "-", 7, 8)}, vec);
    } else {
        for (const std::string& str : vec) // no proxy result, no close: only connects and accepts
            EXPECT_TRUE(str.find("proxy ") != 0 && str.find("close ") != 0) << str;
    }
}

INSTANTIATE_TEST_SUITE_P(
    RealServers, SelectProxyConnect,
    ::testing::Values(ProxyCase{"Socks4", PROXY_SOCKS4, "DANTE_PORT", 0, false, 0},
                      ProxyCase{"Socks5", PROXY_SOCKS5, "DANTE_PORT", 0, false, 0},
                      ProxyCase{"Socks5Password", PROXY_SOCKS5, "DANTE_AUTH_PORT", 1, false, 0},
                      ProxyCase{"Socks5PasswordOtherServer", PROXY_SOCKS5, "MICROSOCKS_AUTH_PORT", 1, false, 0},
                      ProxyCase{"Http", PROXY_HTTP, "TINYPROXY_PORT", 0, false, 0},
                      ProxyCase{"HttpBasicAuth", PROXY_HTTP, "TINYPROXY_AUTH_PORT", 1, false, 0},
                      ProxyCase{"Socks5WrongPassword", PROXY_SOCKS5, "DANTE_AUTH_PORT", 2, false, 86},
                      ProxyCase{"Socks5WrongPasswordOtherServer", PROXY_SOCKS5, "MICROSOCKS_AUTH_PORT", 2, false, 86},
                      ProxyCase{"Socks5NoPasswordWhereNeeded", PROXY_SOCKS5, "DANTE_AUTH_PORT", 0, false, 10043},
                      ProxyCase{"Socks4ClosedTarget", PROXY_SOCKS4, "DANTE_PORT", 0, true, 10061},
                      ProxyCase{"Socks5ClosedTarget", PROXY_SOCKS5, "DANTE_PORT", 0, true, 10061},
                      ProxyCase{"HttpClosedTarget", PROXY_HTTP, "TINYPROXY_PORT", 0, true, 10061},
                      ProxyCase{"HttpNoCredentials", PROXY_HTTP, "TINYPROXY_AUTH_PORT", 0, false, 10061},
                      ProxyCase{"HttpWrongPassword", PROXY_HTTP, "TINYPROXY_AUTH_PORT", 2, false, 10061}),
    CaseName);

TEST_F(SelectProxyTest, UdpThroughTheRelayBothWays)
{
    USHORT usProxy = ProxyPort("DANTE_PORT");
    if (usProxy == 0)
        GTEST_SKIP() << Missing("DANTE_PORT");
    SOCKET sPlain = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, ECHO, ECHO);
    HANDLE hProxy = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", usProxy, NULL, NULL);
    SOCKET s = m_lpMgr->CreateUdpSocket(hProxy, "127.0.0.1", 0, 5, 6);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_TRUE(WaitUntil([&] { return m_Sink.Addr(s).sin_port != 0; })) << ::testing::PrintToString(Events());
    sockaddr_in relay = m_Sink.Addr(s);
    EXPECT_EQ(Lines{Line("proxy", 0, s, LogSink::Addr(&relay), 5, 6)}, Events());
    EXPECT_EQ(0, relay.sin_family);
    EXPECT_EQ(inet_addr("127.0.0.1"), relay.sin_addr.s_addr);

    // Through the relay the plain socket sees the bare datagram from the
    // relay, and the answer comes back without the header, from the plain socket.
    USHORT usPlain = ntohs(LocalAddr(sPlain).sin_port);
    const std::string strMsg = "datagram through the relay";
    ASSERT_EQ(int(10 + strMsg.size()), m_lpMgr->SendTo(s, "127.0.0.1", usPlain, strMsg.data(), int(strMsg.size()), false));
    std::string strBack = Line("udp", 0, s, Loopback(usPlain), 5, 6, "re:" + strMsg);
    ASSERT_TRUE(WaitLine(strBack)) << ::testing::PrintToString(Events());
    Lines vec = Events();
    ASSERT_EQ(3u, vec.size()) << ::testing::PrintToString(vec);
    std::string strHead = Line("udp", 0, sPlain) + " 127.0.0.1:", strTail = Line("", ECHO, ECHO, strMsg);
    EXPECT_EQ(0u, vec[1].find(strHead)) << vec[1];
    EXPECT_EQ(vec[1].size() - strTail.size(), vec[1].rfind(strTail)) << vec[1];
    EXPECT_EQ(strBack, vec[2]);
}

TEST_F(SelectProxyTest, ListenThroughTheProxyAcceptsOnItself)
{
    USHORT usProxy = ProxyPort("DANTE_PORT");
    if (usProxy == 0)
        GTEST_SKIP() << Missing("DANTE_PORT");
    HANDLE hProxy = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", usProxy, NULL, NULL);
    SOCKET s = m_lpMgr->CreateTcpSocket(hProxy, "127.0.0.1", 0, 3, 4);
    ASSERT_TRUE(m_lpMgr->Listen(s, 5));
    ASSERT_TRUE(WaitUntil([&] { return m_Sink.Addr(s).sin_port != 0; })) << ::testing::PrintToString(Events());
    sockaddr_in bound = m_Sink.Addr(s);
    EXPECT_EQ(0, bound.sin_family);
    EXPECT_EQ(inet_addr("127.0.0.1"), bound.sin_addr.s_addr);

    SOCKET sPeer = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, ECHO, ECHO);
    ASSERT_TRUE(m_lpMgr->Connect(sPeer, "127.0.0.1", ntohs(bound.sin_port)));
    sockaddr_in local = LocalAddr(s);
    sockaddr_in peer = LocalAddr(sPeer);
    ASSERT_TRUE(WaitLine(Line("accept", 0, s, s, LogSink::Addr(&local), LogSink::Addr(&peer))))
        << ::testing::PrintToString(Events());
    RoundTrip(s, 20000);
    Lines vec = Events(), vecWant = {Line("proxy", 0, s, LogSink::Addr(&bound), 3, 4),
                                      Line("connect", 0, sPeer, ECHO, ECHO),
                                      Line("accept", 0, s, s, LogSink::Addr(&local), LogSink::Addr(&peer))};
    // The peer's connect and the accept may come in either order.
    std::sort(vec.begin() + 1, vec.end());
    std::sort(vecWant.begin() + 1, vecWant.end());
    EXPECT_EQ(vecWant, vec);
}

} // namespace
