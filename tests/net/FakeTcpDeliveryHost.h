// An engine stand-in for the shared TCP delivery and proxy handshake: socket
// records in memory, no sockets; events, errors and control closes all go to
// one LogSink.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "LogSink.h"
#include "TestSocketMgr.h"
#include "VZ_TcpDelivery.h"

typedef _SOCKETCORE FakeRecord; // the part of a record the shared code sees

class FakeTcpDeliveryHost : public VZ_TcpDeliveryHost {
public:
    explicit FakeTcpDeliveryHost(DWORD dwMode) : m_Delivery(this, dwMode) {}
    ~FakeTcpDeliveryHost() override
    {
        for (auto& it : m_mapRecord)
            m_Mgr.m_Memory.Free(it.second.sbRbuf.lpData);
    }
    FakeRecord& Add(SOCKET s, HANDLE hProxy = NULL, SOCKET sPair = INVALID_SOCKET)
    {
        FakeRecord& rec = m_mapRecord[s];
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
    // The engines' Recv: inside OnTcpRecv only the length is kept; bytes
    // already buffered up to it are delivered at once.
    bool Recv(SOCKET s, UINT uiNoticeLen)
    {
        FakeRecord& rec = m_mapRecord[s];
        bool bNow = rec.uiNoticeLen == 0 && !rec.bRbufLockFlag && rec.sbRbuf.uiDataLen >= uiNoticeLen;
        if (rec.uiNoticeLen == 0)
            rec.uiNoticeLen = uiNoticeLen;
        if (bNow)
            m_Delivery.Deliver(s, NULL, 0, rec.ulSerial);
        return true;
    }
    void Close(SOCKET s)
    {
        if (!m_mapRecord[s].bRbufLockFlag) // else the running delivery frees it
            m_Mgr.m_Memory.Free(m_mapRecord[s].sbRbuf.lpData);
        m_mapRecord.erase(s);
    }
    std::string Held(SOCKET s)
    {
        const _TCPRECVBUF& rb = m_mapRecord[s].sbRbuf;
        return std::string(rb.lpData ? rb.lpData : "", rb.uiDataLen);
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
    void ReportSocketError(int iError, SOCKET s) override
    {
        m_Sink.Add("error " + std::to_string(iError) + " " + std::to_string(s));
    }
    ISocketMgrSink* GetEventSink() override { return &m_Sink; }
    bool SendProxyRequest(SOCKET s, const char* lpBuf, UINT uiLen) override
    {
        m_mapSent[s].append(lpBuf, uiLen);
        WSASetLastError(m_bSendFails ? WSAENOBUFS : 0);
        return !m_bSendFails;
    }
    bool ArmProxyReply(SOCKET s) override { return Recv(s, 2); }
    void CloseControlSocket(SOCKET s) override
    {
        m_Sink.Add("ctrlclose " + std::to_string(s));
        Close(s);
    }
    bool IsStopping() override { return m_fnStopping ? m_fnStopping() : false; }
    void RecordRecv(SOCKET, const char*, UINT, DWORD, DWORD) override {}

    TestSocketMgr m_Mgr;
    VZ_TcpDelivery m_Delivery;
    LogSink m_Sink;
    std::map<SOCKET, FakeRecord> m_mapRecord;
    std::map<SOCKET, std::string> m_mapSent;
    ULONG m_ulSerial = 0;
    bool m_bSendFails = false;
    std::function<bool()> m_fnStopping;
};
