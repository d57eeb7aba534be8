// Proxy handshakes driven over a fake engine with the manager's real requests
// and verdicts: what goes out, what each reply leads to, which event ends it.
#include <gtest/gtest.h>

#include "FakeTcpDeliveryHost.h"

namespace {
const SOCKET S = 100;
const SOCKET CTRL = 200;
typedef std::vector<std::string> Lines;

std::string Bytes(const void* lpData, size_t uiLen) { return std::string(static_cast<const char*>(lpData), uiLen); }
// A SOCKS5 reply: version 5, status 0, 0, type 1, address, port.
std::string Socks5Reply(const char* lpszIP, USHORT usPort)
{
    ULONG ulIP = inet_addr(lpszIP);
    USHORT usNet = htons(usPort);
    return Bytes("\x05\x00\x00\x01", 4) + Bytes(&ulIP, 4) + Bytes(&usNet, 2);
}
HANDLE AddProxied(FakeTcpDeliveryHost& host, const char* lpszUser, const char* lpszIP, USHORT usPort)
{
    HANDLE hProxy = host.m_Mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, lpszUser, lpszUser);
    FakeRecord& rec = host.Add(S, hProxy);
    rec.ulRemoteIP = inet_addr(lpszIP);
    rec.usRemotePort = htons(usPort);
    return hProxy;
}
} // namespace

TEST(ProxySessionTest, Socks5ConnectWithoutUserInEveryMode)
{
    const DWORD dwModes[3] = {TCPDELIVER_MODE_SELECT, TCPDELIVER_MODE_IOCP, TCPDELIVER_MODE_ASYNC};
    const UINT uiNoticeAfterReply[3] = {2, 0, 2}; // kept, cleared, armed again
    for (int i = 0; i < 3; ++i) {
        FakeTcpDeliveryHost host(dwModes[i]);
        AddProxied(host, NULL, "1.2.3.4", 80);
        ASSERT_TRUE(host.Connected(S));
        EXPECT_EQ(Bytes("\x05\x01\x00", 3), host.m_mapSent[S]);
        EXPECT_EQ(2u, host.m_mapRecord[S].uiNoticeLen);
        EXPECT_EQ(TCPDELIVER_READ, host.Deliver(S, Bytes("\x05\x00", 2)));
        EXPECT_EQ(Bytes("\x05\x01\x00\x01\x01\x02\x03\x04\x00\x50", 10), host.m_mapSent[S].substr(3));
        EXPECT_EQ(uiNoticeAfterReply[i], host.m_mapRecord[S].uiNoticeLen) << i;
        EXPECT_EQ(TCPDELIVER_STOP, host.Deliver(S, Socks5Reply("0.0.0.0", 0)));
        EXPECT_EQ(0u, host.m_mapRecord[S].uiNoticeLen);
        host.Recv(S, 3); // handshake done: bytes go to the sink now
        host.Deliver(S, "abc");
        EXPECT_EQ((Lines{"connect 0 100 1 2", "recv 0 100 1 2 abc"}), host.m_Sink.Log()) << i;
    }
}

TEST(ProxySessionTest, Socks5RefusedPasswordReportsTheCode)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_SELECT);
    AddProxied(host, "u", "1.2.3.4", 80);
    host.Connected(S);
    EXPECT_EQ(TCPDELIVER_READ, host.Deliver(S, Bytes("\x05\x02", 2)));
    EXPECT_EQ(Bytes("\x05\x01\x02\x01\x01u\x01u", 8), host.m_mapSent[S]);
    EXPECT_EQ(TCPDELIVER_STOP, host.Deliver(S, Bytes("\x01\x01", 2)));
    EXPECT_EQ(Lines{"proxy 86 100 - 1 2"}, host.m_Sink.Log());
}

TEST(ProxySessionTest, Socks5BindReportsTheListenAddressThenAcceptsOnItself)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_IOCP);
    AddProxied(host, NULL, "0.0.0.0", 0); // a proxied listen targets 0.0.0.0:0
    host.Connected(S);
    host.Deliver(S, Bytes("\x05\x00", 2));
    EXPECT_EQ(Bytes("\x05\x02\x00\x01\x7f\x00\x00\x01\x00\x00", 10), host.m_mapSent[S].substr(3));
    EXPECT_EQ(TCPDELIVER_PROXY_LISTEN, host.Deliver(S, Socks5Reply("10.0.0.9", 8080)));
    EXPECT_EQ(TCPDELIVER_STOP, host.Deliver(S, Socks5Reply("10.0.0.7", 5555)));
    EXPECT_EQ((Lines{"proxy 0 100 10.0.0.9:8080 1 2", "accept 0 100 100 0.0.0.0:0 10.0.0.7:5555"}), host.m_Sink.Log());
}

TEST(ProxySessionTest, UdpAssociateGivesTheRelayToTheUdpSocket)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_SELECT);
    SOCKET u = socket(AF_INET, SOCK_DGRAM, 0); // the request carries its bound address
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ(0, bind(u, reinterpret_cast<sockaddr*>(&local), sizeof(local)));
    HANDLE hProxy = host.m_Mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, NULL, NULL);
    host.Add(u, hProxy, CTRL).status = SS_UDP;
    host.Add(CTRL, hProxy, u).ulRemoteIP = inet_addr("127.0.0.1");
    host.Connected(CTRL);
    EXPECT_EQ(TCPDELIVER_READ, host.Deliver(CTRL, Bytes("\x05\x00", 2)));
    EXPECT_EQ(Bytes("\x05\x03\x00\x01\x7f\x00\x00\x01", 8), host.m_mapSent[CTRL].substr(3, 8));
    EXPECT_EQ(TCPDELIVER_STOP, host.Deliver(CTRL, Socks5Reply("10.0.0.5", 7000)));
    EXPECT_EQ(Lines{"proxy 0 " + std::to_string(u) + " 10.0.0.5:7000 1 2"}, host.m_Sink.Log());
    EXPECT_EQ(inet_addr("10.0.0.5"), host.m_mapRecord[u].ulRemoteIP);
    EXPECT_EQ(htons(7000), host.m_mapRecord[u].usRemotePort);
    closesocket(u);
}

TEST(ProxySessionTest, RequestThatCannotGoOutClosesTheControlOrTakesTheErrorPath)
{
    FakeTcpDeliveryHost host(TCPDELIVER_MODE_SELECT);
    HANDLE hProxy = AddProxied(host, NULL, "1.2.3.4", 80);
    host.Add(300, hProxy, CTRL).status = SS_UDP;
    host.Add(CTRL, hProxy, 300);
    host.m_bSendFails = true;
    EXPECT_FALSE(host.Connected(CTRL));
    host.m_Mgr.DestroyProxy(hProxy); // no request can be built any more
    EXPECT_FALSE(host.Connected(S));
    EXPECT_EQ((Lines{"ctrlclose 200", "proxy 10055 300 - 1 2", "error 6 100"}), host.m_Sink.Log());
}
