// The soak's sink: checks every event against the generation it belongs to
// (a violation each when it breaks a rule) and answers it as the soak's
// clients and echo server do.
#pragma once

#include "soak_actions.h"

namespace soak {

class SoakSink : public ISocketMgrSink {
public:
    // ROLE_CLIENT, ROLE_SERVER, or 0: both (one manager)
    explicit SoakSink(int iSide) : m_iSide(iSide) {}

    bool OnSocketPreAccept(const sockaddr_in*, const sockaddr_in*) override { return true; }
    void OnTcpConnect(int iError, SOCKET s, DWORD d1, DWORD d2) override;
    void OnTcpAccept(int iError, SOCKET sListen, SOCKET a, const sockaddr_in*, const sockaddr_in* lpPeer) override;
    void OnTcpRecv(int iError, SOCKET s, const char* buf, UINT* lpuiLen, DWORD d1, DWORD d2) override;
    void OnUdpRecv(int, SOCKET s, const char*, int, const sockaddr_in*, DWORD d1, DWORD) override;
    void OnTcpSend(int iError, SOCKET s, DWORD d1, DWORD d2, DWORD, UINT uiQueued) override;
    void OnSocketClose(int iError, SOCKET s, int iStatus, DWORD d1, DWORD d2) override;
    void OnRecvTimeout(int, SOCKET s, DWORD d1, DWORD d2) override;
    void OnSendTimeout(int, SOCKET s, DWORD d1, DWORD d2) override;
    void OnDnsParse(const char*, ULONG) override;
    void OnTimer(SOCKET s, UINT uiEvent, DWORD dwParam, DWORD d1, DWORD d2) override;
    void OnProxyResult(int, SOCKET s, const sockaddr_in*, DWORD d1, DWORD) override;
    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override;

private:
    class Event;

    Gen* Resolve(SOCKET s, DWORD d1, DWORD d2, unsigned long long ullSeq, const char* lpszEvent) const;
    bool IsGoodAccept(int iError, SOCKET sListen, SOCKET a, unsigned long long ullSeq) const;

    int m_iSide;
};

extern SoakSink g_sinkBoth;
extern SoakSink g_sinkServer;
extern SoakSink g_sinkClient;

} // namespace soak
