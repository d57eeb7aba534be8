// Proxy handshake driver shared by the engines.
#include <winsock2.h>
#include <windows.h>

#include <string.h>

#include "VZ_ProxySession.h"
#include "VZ_SocketMgr.h"

namespace {

const int PROXY_ERR_NO_REQUEST = 6; // ERROR_INVALID_HANDLE: the proxy record is gone

// CheckProxyReply is never handed NULL, even by a delivery without bytes.
const char g_szNoReply[1] = {0};

} // namespace

VZ_ProxySession::VZ_ProxySession(VZ_TcpDeliveryHost* lpHost, DWORD dwMode) : m_lpHost(lpHost), m_dwMode(dwMode) {}

bool VZ_ProxySession::IsNegotiating(const _SOCKETCORE& rec)
{
    return rec.lpProxyData != NULL && rec.uiProxyStep != PROXY_STEP_DONE;
}

bool VZ_ProxySession::OnProxyConnected(SOCKET s, ULONG ulSerial)
{
    char szRequest[PROXY_BUF_SIZE];
    UINT uiLen = PROXY_BUF_SIZE;
    m_lpHost->LockTable();
    _SOCKETCORE* lpRec = m_lpHost->FindTcpRecord(s, ulSerial);
    if (lpRec == NULL) {
        m_lpHost->UnlockTable();
        return false;
    }
    lpRec->uiProxyStep = PROXY_STEP_FIRST;
    bool bBuilt = m_lpHost->GetSocketMgr()->BuildProxyRequest(szRequest, &uiLen, lpRec->lpProxyData,
                                                              PROXY_STEP_FIRST, lpRec->sPair, lpRec->ulRemoteIP,
                                                              lpRec->usRemotePort);
    _PROXYPEER peer = {s, lpRec->sPair, lpRec->dwUserData1, lpRec->dwUserData2, lpRec->ulSerial};
    m_lpHost->UnlockTable();

    int iError = 0;
    if (SendRequest(s, szRequest, uiLen, bBuilt, true, &iError))
        return true;
    Fail(iError, peer);
    return false;
}

int VZ_ProxySession::OnProxyReply(SOCKET s, const char* lpBuf, UINT uiLen, _SOCKETCORE* lpRec)
{
    UINT uiPrevStep = lpRec->uiProxyStep;
    _PROXYPEER peer = {s, lpRec->sPair, lpRec->dwUserData1, lpRec->dwUserData2, lpRec->ulSerial};
    int iResult = m_lpHost->GetSocketMgr()->CheckProxyReply(lpBuf != NULL ? lpBuf : g_szNoReply,
                                                            static_cast<int>(uiLen), lpRec->lpProxyData,
                                                            &lpRec->uiProxyStep, lpRec->sPair, &lpRec->ulRemoteIP,
                                                            &lpRec->usRemotePort);
    if (iResult > 0) {
        // A refusal is reported; the socket stays open for the host to close.
        m_lpHost->UnlockTable();
        m_lpHost->GetEventSink()->OnProxyResult(iResult, peer.sPair != INVALID_SOCKET ? peer.sPair : s, NULL,
                                                peer.dwUserData1, peer.dwUserData2);
        return TCPDELIVER_STOP;
    }

    UINT uiStep = lpRec->uiProxyStep;
    char szRequest[PROXY_BUF_SIZE];
    UINT uiReqLen = PROXY_BUF_SIZE;
    bool bBuilt = m_lpHost->GetSocketMgr()->BuildProxyRequest(szRequest, &uiReqLen, lpRec->lpProxyData, uiStep,
                                                              lpRec->sPair, lpRec->ulRemoteIP, lpRec->usRemotePort);
    ULONG ulIP = lpRec->ulRemoteIP;
    USHORT usPort = lpRec->usRemotePort;
    if (uiStep == PROXY_STEP_DONE || (m_dwMode & TCPDELIVER_PROXY_KEEP_NOTICE) == 0)
        lpRec->uiNoticeLen = 0; // the host arms reception itself after the final event
    m_lpHost->UnlockTable();

    if (uiStep == PROXY_STEP_BIND_PEER || uiStep == PROXY_STEP_DONE)
        return Conclude(uiPrevStep, uiStep, peer, ulIP, usPort);
    int iError = 0;
    if (SendRequest(s, szRequest, uiReqLen, bBuilt, (m_dwMode & TCPDELIVER_PROXY_RECV_AGAIN) != 0, &iError))
        return TCPDELIVER_READ;
    Fail(iError, peer);
    return TCPDELIVER_STOP;
}

bool VZ_ProxySession::SendRequest(SOCKET s, const char* lpBuf, UINT uiLen, bool bBuilt, bool bArm, int* lpiError)
{
    if (!bBuilt || uiLen == 0) {
        *lpiError = PROXY_ERR_NO_REQUEST;
        return false;
    }
    if (m_lpHost->SendProxyRequest(s, lpBuf, uiLen) && (!bArm || m_lpHost->ArmProxyReply(s)))
        return true;
    *lpiError = WSAGetLastError();
    return false;
}

void VZ_ProxySession::Fail(int iError, const _PROXYPEER& peer)
{
    if (peer.sPair == INVALID_SOCKET) {
        m_lpHost->ReportSocketError(iError, peer.s, peer.ulSerial);
        return;
    }
    m_lpHost->CloseControlSocket(peer.s, peer.sPair);
    m_lpHost->GetEventSink()->OnProxyResult(iError, peer.sPair, NULL, peer.dwUserData1, peer.dwUserData2);
}

int VZ_ProxySession::Conclude(UINT uiPrevStep, UINT uiStep, const _PROXYPEER& peer, ULONG ulIP, USHORT usPort)
{
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = (m_dwMode & TCPDELIVER_PROXY_ADDR_NOFAMILY) != 0 ? 0 : AF_INET;
    addr.sin_port = usPort;
    addr.sin_addr.s_addr = ulIP;
    ISocketMgrSink* lpSink = m_lpHost->GetEventSink();

    if (uiStep == PROXY_STEP_BIND_PEER) {
        // The proxy listens for the peer at addr; its second reply follows.
        lpSink->OnProxyResult(0, peer.s, &addr, peer.dwUserData1, peer.dwUserData2);
        return TCPDELIVER_PROXY_LISTEN;
    }
    if (peer.sPair != INVALID_SOCKET) {
        // UDP ASSOCIATE done: the UDP socket sends through the relay at addr.
        m_lpHost->SetRelayAddress(peer.sPair, ulIP, usPort);
        lpSink->OnProxyResult(0, peer.sPair, &addr, peer.dwUserData1, peer.dwUserData2);
    } else if (uiPrevStep == PROXY_STEP_BIND_PEER) {
        // A peer came in through the proxied listen: the socket is both ends.
        sockaddr_in local;
        memset(&local, 0, sizeof(local));
        int iLocalLen = sizeof(local);
        getsockname(peer.s, reinterpret_cast<sockaddr*>(&local), &iLocalLen);
        lpSink->OnTcpAccept(0, peer.s, peer.s, &local, &addr);
    } else {
        lpSink->OnTcpConnect(0, peer.s, peer.dwUserData1, peer.dwUserData2);
    }
    return TCPDELIVER_STOP;
}
