// The shared receive delivery and proxy handshake over a fake engine, for
// what the engines cannot be driven into from outside: a sink claiming more
// than it was offered, an engine stopping mid-delivery, a request that cannot
// go out. A handshake in each engine's mode runs through real proxy servers
// in test_EngineProxy.cpp.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "LogSink.h"
#include "NetTestUtil.h"
#include "TestSocketMgr.h"
#include "CheckCapture.h"
#include "core/VZ_TcpDelivery.h"

namespace {

// An engine stand-in: socket records (the part the shared code sees) in
// memory, no sockets; events, errors and control closes all go to one LogSink.

class FakeTcpDeliveryHost : public VZ_TcpDeliveryHost {
public:
    FakeTcpDeliveryHost() : m_Delivery(this, TCPDELIVER_MODE_SELECT) {}
    ~FakeTcpDeliveryHost() override
    {
        for (auto& it : m_mapRecord)
            m_Mgr.m_Memory.Free(it.second.sbRbuf.lpData);
    }
    _SOCKETCORE& Add(SOCKET s, HANDLE hProxy = NULL, SOCKET sPair = INVALID_SOCKET)
    {
        _SOCKETCORE& rec = m_mapRecord[s];
        ++m_ulSerial;
        VZ_SocketMgr::InitSocketCore(rec, s, SS_CONNECTED, 1, 2, static_cast<_PROXYDATA*>(hProxy), &m_ulSerial, 0);
        rec.sPair = sPair;
        return rec;
    }
    int Deliver(SOCKET s, const std::string& str)
    {
        return m_Delivery.Deliver(s, str.data(), static_cast<UINT>(str.size()), m_mapRecord[s].ulSerial);
    }
    bool Connected(SOCKET s) { return m_Delivery.Proxy().OnProxyConnected(s, m_mapRecord[s].ulSerial); }
    bool Recv(SOCKET s, UINT uiNoticeLen) // the engines' Recv, with nothing buffered yet
    {
        m_mapRecord[s].uiNoticeLen = uiNoticeLen;
        return true;
    }
    void Close(SOCKET s)
    {
        if (!m_mapRecord[s].bRbufLockFlag) // else the running delivery frees it
            m_Mgr.m_Memory.Free(m_mapRecord[s].sbRbuf.lpData);
        m_mapRecord.erase(s);
    }

    void LockTable() override {}
    void UnlockTable() override {}
    _SOCKETCORE* FindTcpRecord(SOCKET s, ULONG ulSerial) override
    {
        auto it = m_mapRecord.find(s);
        if (it == m_mapRecord.end() || (ulSerial != TCP_ANY_SERIAL && it->second.ulSerial != ulSerial))
            return NULL;
        return &it->second;
    }
    VZ_SocketMgr* GetSocketMgr() override { return &m_Mgr; }
    VZ_MemoryEx* GetMemory() override { return &m_Mgr.m_Memory; }
    DWORD GetClock() override { return 0; }
    // Tells whether the report names the record s has now, as the engines check.
    void ReportSocketError(int iError, SOCKET s, ULONG ulSerial) override
    {
        bool bNow = m_mapRecord.count(s) && m_mapRecord[s].ulSerial == ulSerial;
        m_Sink.Add(std::string(bNow ? "error " : "stale error ") + std::to_string(iError) + " " + std::to_string(s));
    }
    ISocketMgrSink* GetEventSink() override { return &m_Sink; }
    bool SendProxyRequest(SOCKET s, const char*, UINT) override
    {
        if (m_bReplacedOnSend) // the host closed s meanwhile and a new socket took the handle
            Add(s);
        WSASetLastError(m_bSendFails ? WSAENOBUFS : 0);
        return !m_bSendFails;
    }
    bool ArmProxyReply(SOCKET s) override { return Recv(s, 2); }
    void CloseControlSocket(SOCKET s, SOCKET) override
    {
        m_Sink.Add("ctrlclose " + std::to_string(s));
        Close(s);
    }
    bool IsStopping() override { return m_fnStopping ? m_fnStopping() : false; }
    void RecordRecv(SOCKET, const char*, UINT, DWORD, DWORD) override {}

    TestSocketMgr m_Mgr;
    VZ_TcpDelivery m_Delivery;
    LogSink m_Sink;
    std::map<SOCKET, _SOCKETCORE> m_mapRecord;
    ULONG m_ulSerial = 0;
    bool m_bSendFails = false;
    bool m_bReplacedOnSend = false;
    std::function<bool()> m_fnStopping;
};

const SOCKET S = 100;
const SOCKET CTRL = 200;
} // namespace

// A sink claiming more than it was offered is reported and has taken all;
// a stopping engine drops the delivery and leaves the block to its owner.
TEST(TcpDeliveryTest, OverclaimingSinkAndStoppingEngine)
{
    FakeTcpDeliveryHost host;
    host.Add(S);
    host.m_Sink.m_fnHook = [](const char*, SOCKET, UINT* lpuiLen) { *lpuiLen += 7; };
    CheckCapture checks;
    host.Recv(S, 2);
    host.Deliver(S, "ab");
    EXPECT_EQ("uiHandleLen <= recvlen;", checks.Conditions());
    EXPECT_EQ(0u, host.m_mapRecord[S].sbRbuf.uiDataLen);
    host.m_Sink.m_fnHook = nullptr;
    host.m_Sink.Clear();
    host.Recv(S, 3);
    host.Deliver(S, "ab");
    host.m_fnStopping = [] { return true; };
    EXPECT_EQ(TCPDELIVER_READ, host.Deliver(S, "c"));
    EXPECT_TRUE(host.m_Sink.Log().empty());
    // Back with the record (so its removal frees it), not marked as in use.
    EXPECT_FALSE(host.m_mapRecord[S].bRbufLockFlag);
    EXPECT_TRUE(host.m_mapRecord[S].sbRbuf.lpData != NULL);
    // Closed while the delivery was on its way: the delivery frees the block.
    host.Add(S + 1);
    host.Recv(S + 1, 1);
    host.m_fnStopping = [&] { return host.Close(S + 1), true; };
    EXPECT_EQ(TCPDELIVER_READ, host.Deliver(S + 1, "xyz"));
    EXPECT_EQ(0u, host.m_mapRecord.count(S + 1));
}

TEST(ProxySessionTest, RequestThatCannotGoOutClosesTheControlOrTakesTheErrorPath)
{
    FakeTcpDeliveryHost host;
    HANDLE hProxy = host.m_Mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, NULL, NULL);
    host.Add(S, hProxy);
    host.Add(300, hProxy, CTRL).status = SS_UDP;
    host.Add(CTRL, hProxy, 300);
    host.m_bSendFails = true;
    EXPECT_FALSE(host.Connected(CTRL));
    host.m_Mgr.DestroyProxy(hProxy); // no request can be built any more
    EXPECT_FALSE(host.Connected(S));
    host.m_bReplacedOnSend = true; // the failure is the old socket's, not the new one's
    EXPECT_FALSE(host.Connected(host.Add(S, host.m_Mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, NULL, NULL)).socket));
    EXPECT_EQ((Lines{"ctrlclose 200", "proxy 10055 300 - 1 2", "error 6 100", "stale error 10055 100"}),
              host.m_Sink.Log());
}
