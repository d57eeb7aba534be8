// An engine stand-in for the shared TCP delivery and proxy handshake: socket
// records in memory, no sockets; it is its own sink and logs each event as text.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TestSocketMgr.h"
#include "VZ_TcpDelivery.h"

struct FakeRecord { // the receive and proxy fields every engine record has
    SOCKET socket;
    int status;
    _TCPRECVBUF sbRbuf;
    UINT uiNoticeLen;
    bool bRbufLockFlag;
    DWORD dwLastRecvTime;
    ULONG ulSerial;
    UINT uiProxyStep;
    SOCKET sPair;
    ULONG ulRemoteIP;
    USHORT usRemotePort;
    _PROXYDATA* lpProxyData;
    DWORD dwUserData1, dwUserData2;
};

class FakeTcpDeliveryHost : public VZ_TcpDeliveryHost, public ISocketMgrSink {
public:
    explicit FakeTcpDeliveryHost(DWORD dwMode) : m_Delivery(this, dwMode) {}
    ~FakeTcpDeliveryHost() override
    {
        for (auto& it : m_mapRecord)
            m_Mgr.m_Memory.Free(it.second.sbRbuf.lpData);
    }
    FakeRecord& Add(SOCKET s, HANDLE hProxy = NULL, SOCKET sPair = INVALID_SOCKET)
    {
        FakeRecord rec = {s, SS_CONNECTED, {NULL, 0, 0}, 0, false, 0, ++m_ulSerial, 0, sPair, 0xFFFFFFFF, 0,
                          static_cast<_PROXYDATA*>(hProxy), 0x11, 0x22};
        return m_mapRecord[s] = rec;
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
        return rb.uiDataLen != 0 ? std::string(rb.lpData, rb.uiDataLen) : "";
    }

    void LockTable() override { ++m_iLockDepth; }
    void UnlockTable() override { --m_iLockDepth; }
    bool FindTcpRecord(SOCKET s, ULONG ulSerial, _TCPRECORDREF* lpRef) override
    {
        auto it = m_mapRecord.find(s);
        if (it == m_mapRecord.end() || (ulSerial != TCP_ANY_SERIAL && it->second.ulSerial != ulSerial))
            return false;
        VZ_MakeTcpRecordRef(it->second, lpRef);
        return true;
    }
    VZ_SocketMgr* GetSocketMgr() override { return &m_Mgr; }
    VZ_MemoryEx* GetMemory() override { return &m_Mgr.m_Memory; }
    DWORD GetClock() override { return m_dwClock; }
    void ReportSocketError(int iError, SOCKET s) override { Log("error", iError, s); }
    ISocketMgrSink* GetEventSink() override { return this; }
    bool SendProxyRequest(SOCKET s, const char* lpBuf, UINT uiLen) override
    {
        m_mapSent[s].append(lpBuf, uiLen);
        WSASetLastError(m_bSendFails ? WSAENOBUFS : 0);
        return !m_bSendFails;
    }
    bool ArmProxyReply(SOCKET s) override { return Recv(s, 2); }
    void CloseControlSocket(SOCKET s) override
    {
        Log("close", 0, s);
        Close(s);
    }
    void RecordRecv(SOCKET, const char* lpBuf, UINT uiLen, DWORD, DWORD) override { m_strRecorded.append(lpBuf, uiLen); }

    // Sink: OnTcpRecv consumes what m_fnRecv says (default: all) and notes a
    // held lock or wrong user values.
    void OnTcpRecv(int, SOCKET s, const char* buf, UINT* lpuiLen, DWORD dw1, DWORD dw2) override
    {
        std::string str(buf, *lpuiLen);
        bool bBad = m_iLockDepth != 0 || dw1 != 0x11 || dw2 != 0x22;
        Log("recv", 0, s, NULL, " " + str + (bBad ? " BAD" : ""));
        if (m_fnRecv)
            m_fnRecv(s, str, lpuiLen);
    }
    void OnTcpConnect(int iError, SOCKET s, DWORD, DWORD) override { Log("connect", iError, s); }
    void OnTcpAccept(int iError, SOCKET sListen, SOCKET sAccept, const sockaddr_in*, const sockaddr_in* lpPeer) override
    {
        Log("accept", iError, sListen, lpPeer, "/" + std::to_string(sAccept));
    }
    void OnProxyResult(int iError, SOCKET s, const sockaddr_in* lpAddr, DWORD, DWORD) override
    {
        Log("proxy", iError, s, lpAddr);
    }
    void OnSocketClose(int iError, SOCKET s, int, DWORD, DWORD) override { Log("sockclose", iError, s); }
    bool OnSocketPreAccept(const sockaddr_in*, const sockaddr_in*) override { return true; }
    void OnUdpRecv(int, SOCKET, const char*, int, const sockaddr_in*, DWORD, DWORD) override {}
    void OnTcpSend(int, SOCKET, DWORD, DWORD, DWORD, UINT) override {}
    void OnRecvTimeout(int, SOCKET, DWORD, DWORD) override {}
    void OnSendTimeout(int, SOCKET, DWORD, DWORD) override {}
    void OnDnsParse(const char*, ULONG) override {}
    void OnTimer(SOCKET, UINT, DWORD, DWORD, DWORD) override {}
    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override { return 0; }

    // "name error s=socket[extra][ address:port]"
    void Log(const char* lpszName, int iError, SOCKET s, const sockaddr_in* lpAddr = NULL, const std::string& str = "")
    {
        std::string strLine = std::string(lpszName) + " " + std::to_string(iError) + " s=" + std::to_string(s) + str;
        if (lpAddr != NULL)
            strLine += std::string(" ") + inet_ntoa(lpAddr->sin_addr) + ":" + std::to_string(ntohs(lpAddr->sin_port));
        m_vecEvents.push_back(strLine);
    }

    TestSocketMgr m_Mgr;
    VZ_TcpDelivery m_Delivery;
    std::map<SOCKET, FakeRecord> m_mapRecord;
    std::map<SOCKET, std::string> m_mapSent;
    std::vector<std::string> m_vecEvents;
    std::string m_strRecorded;
    std::function<void(SOCKET, const std::string&, UINT*)> m_fnRecv;
    int m_iLockDepth = 0;
    DWORD m_dwClock = 0;
    ULONG m_ulSerial = 0;
    bool m_bSendFails = false;
};
