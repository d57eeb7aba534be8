// The operations on one socket record that every engine shares: user values,
// SocketCtrl, Shutdown, connect by name and its resolution, the time-outs and
// timers of a socket, the arming of a receive and the SOCKS5 relay header.
// The engine lends its record through LockSocket/UnlockSocket.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "VZ_Assert.h"
#include "VZ_MultiThread.h"
#include "VZ_RecordTable.h"
#include "VZ_SocketMgr.h"
#include "VZ_Trace.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

void VZ_SocketMgr::WaitWindowReady(HANDLE hReady, VZ_MultiThread* lpThreads, int iThreadType)
{
    if (WaitForSingleObject(hReady, 3000) == WAIT_TIMEOUT && lpThreads->GetThreadCount(iThreadType) == 1)
        WaitForSingleObject(hReady, 27000);
}

bool VZ_SocketMgr::ReportTerminal(_SOCKETCORE& core, int iError, VZ_AutoLock& lock, ISocketMgrSink* lpSink)
{
    SOCKET s = core.socket;
    _RECORDVIEW view = ViewOf(&core);
    core.status = SS_CLOSING;
    lock.Unlock();
    if (view.status == SS_UDP || view.sPair == INVALID_SOCKET) {
        if (lpSink != NULL)
            lpSink->OnSocketClose(iError, s, view.status, view.dwUserData1, view.dwUserData2);
        RecordClose(iError, s, view.status, view.dwUserData1, view.dwUserData2);
        return true;
    }
    if (GetUserData(view.sPair, &view.dwUserData1, &view.dwUserData2) && lpSink != NULL)
        lpSink->OnProxyResult(WSAECONNRESET, view.sPair, NULL, view.dwUserData1, view.dwUserData2);
    return false;
}

_SOCKETCORE* VZ_SocketMgr::LockSocket(SOCKET s)
{
    if (m_lpRecordTable == NULL)
        return NULL;
    m_lpRecordTable->TableLock()->Lock();
    return m_lpRecordTable->FindCore(s);
}

void VZ_SocketMgr::UnlockSocket(SOCKET)
{
    if (m_lpRecordTable != NULL)
        m_lpRecordTable->TableLock()->Unlock();
}

bool VZ_SocketMgr::AddSocket(SOCKET, int, DWORD, DWORD, _PROXYDATA*)
{
    return false;
}

bool VZ_SocketMgr::PrepareSocket(SOCKET, int)
{
    return true;
}

bool VZ_SocketMgr::ListenDirect(SOCKET, int)
{
    return false;
}

SOCKET VZ_SocketMgr::OpenSocket(int iType, const sockaddr_in* lpLocalAddr, int status, DWORD dwUserData1,
                                DWORD dwUserData2, HANDLE hProxy)
{
    SOCKET s = (m_dwEngineMode & SOCKETMGR_PLAIN_SOCKETS) != 0
                   ? socket(AF_INET, iType, 0)
                   : WSASocketW(AF_INET, iType, 0, NULL, 0, WSA_FLAG_OVERLAPPED);
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    VZ_ASSERT(s < 0xffffff);
    if (!PrepareSocket(s, iType)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return BindAndAdd(s, lpLocalAddr, status, dwUserData1, dwUserData2, hProxy);
}

SOCKET VZ_SocketMgr::CreateTcpSocket(HANDLE hProxy, const sockaddr_in* lpLocalAddr, DWORD dwUserData1,
                                     DWORD dwUserData2)
{
    return OpenSocket(SOCK_STREAM, lpLocalAddr, SS_TCP, dwUserData1, dwUserData2, hProxy);
}

SOCKET VZ_SocketMgr::CreateUdpSocket(HANDLE hProxy, const sockaddr_in* lpLocalAddr, DWORD dwUserData1,
                                     DWORD dwUserData2)
{
    SOCKET s = OpenSocket(SOCK_DGRAM, lpLocalAddr, SS_UDP, dwUserData1, dwUserData2, hProxy);
    if (s == INVALID_SOCKET || hProxy == NULL)
        return s;
    return AttachUdpRelay(s, hProxy, dwUserData1, dwUserData2);
}

// The proxy is looked at under the record lock, which is released before the
// BIND's Connect (or the engine's listen) takes it again.
bool VZ_SocketMgr::Listen(SOCKET s, int backlog)
{
    _RECORDVIEW view;
    if (!ViewSocket(s, &view) || view.lpProxyData == NULL)
        return ListenDirect(s, backlog);
    sockaddr_in addr = VZ_MakeInetAddress(0, 0);
    return Connect(s, &addr);
}

bool VZ_SocketMgr::ConnectTarget(_SOCKETCORE& core, const sockaddr_in* lpRemoteAddr, sockaddr_in* lpTo)
{
    *lpTo = *lpRemoteAddr;
    if (core.lpProxyData == NULL)
        return true;
    core.ulRemoteIP = lpRemoteAddr->sin_addr.s_addr;
    core.usRemotePort = lpRemoteAddr->sin_port;
    return FindProxy(core.lpProxyData, &lpTo->sin_addr.s_addr, &lpTo->sin_port);
}

_RECORDVIEW VZ_SocketMgr::ViewOf(const _SOCKETCORE* lpCore)
{
    _RECORDVIEW view = {SS_CLOSED, INVALID_SOCKET, 0, 0, 0, NULL, 0, 0, 0};
    if (lpCore != NULL) {
        view.status = lpCore->status;
        view.sPair = lpCore->sPair;
        view.dwUserData1 = lpCore->dwUserData1;
        view.dwUserData2 = lpCore->dwUserData2;
        view.ulSerial = lpCore->ulSerial;
        view.lpProxyData = lpCore->lpProxyData;
        view.ulRemoteIP = lpCore->ulRemoteIP;
        view.usRemotePort = lpCore->usRemotePort;
        view.dwLastSendParam = lpCore->dwLastSendParam;
    }
    return view;
}

bool VZ_SocketMgr::ViewSocket(SOCKET s, _RECORDVIEW* lpView)
{
    *lpView = ViewOf(NULL);
    return WithSocket(s, [&](_SOCKETCORE& core) { *lpView = ViewOf(&core); });
}

UINT VZ_SocketMgr::ReadSize(const _SOCKETCORE& core, UINT uiMin)
{
    UINT uiWanted = core.uiNoticeLen > core.sbRbuf.uiDataLen ? core.uiNoticeLen - core.sbRbuf.uiDataLen : 0;
    if (uiWanted < core.uiReadSize)
        uiWanted = core.uiReadSize;
    if (uiWanted > READ_SIZE_MAX)
        uiWanted = READ_SIZE_MAX;
    return uiWanted > uiMin ? uiWanted : uiMin;
}

void VZ_SocketMgr::AdaptReadSize(_SOCKETCORE& core, UINT uiRead, UINT uiAsked)
{
    if (uiRead >= uiAsked)
        core.uiReadSize = uiAsked < READ_SIZE_MAX / 2 ? uiAsked * 2 : READ_SIZE_MAX;
    else if (uiRead < uiAsked / 2)
        core.uiReadSize = uiAsked / 2;
}

SOCKET VZ_SocketMgr::BindAndAdd(SOCKET s, const sockaddr_in* lpLocalAddr, int status, DWORD dwUserData1,
                                DWORD dwUserData2, HANDLE hProxy)
{
    if (lpLocalAddr == NULL || bind(s, reinterpret_cast<const sockaddr*>(lpLocalAddr), sizeof(sockaddr_in)) != 0 ||
        !AddSocket(s, status, dwUserData1, dwUserData2, static_cast<_PROXYDATA*>(hProxy))) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// A timer still armed for the handle was set for an earlier socket of it (a
// SetTimer racing with that socket's close): it must not fire on this one.
void VZ_SocketMgr::NewSocketCore(_SOCKETCORE& core, SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2,
                                 _PROXYDATA* lpProxyData, ULONG* lpulNextSerial, DWORD dwNow)
{
    KillAllTimers(s);
    InitSocketCore(core, s, status, dwUserData1, dwUserData2, lpProxyData, lpulNextSerial, dwNow);
}

void VZ_SocketMgr::InitSocketCore(_SOCKETCORE& core, SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2,
                                  _PROXYDATA* lpProxyData, ULONG* lpulNextSerial, DWORD dwNow)
{
    core.socket = s;
    core.status = status;
    core.bRbufLockFlag = false;
    core.sbRbuf.lpData = NULL;
    core.sbRbuf.uiSize = core.sbRbuf.uiDataLen = 0;
    core.uiNoticeLen = 0;
    core.uiReadSize = 0;
    core.dwLastRecvTime = core.dwLastSendTime = dwNow;
    core.ulSerial = *lpulNextSerial;
    // 0 and 0xFFFFFFFF are never handed out ("no record", "any serial").
    *lpulNextSerial = *lpulNextSerial >= 0xFFFFFFFE ? 1 : *lpulNextSerial + 1;
    core.uiProxyStep = 0;
    core.sPair = INVALID_SOCKET;
    core.ulRemoteIP = 0xFFFFFFFF;
    core.usRemotePort = 0;
    core.lpProxyData = lpProxyData;
    core.dwUserData1 = dwUserData1;
    core.dwUserData2 = dwUserData2;
    core.dwLastSendParam = 0;
    core.dwFlags = 0;
}

bool VZ_SocketMgr::SetUserData1(SOCKET s, DWORD dwUserData1)
{
    return WithSocket(s, [&](_SOCKETCORE& core) { core.dwUserData1 = dwUserData1; });
}

bool VZ_SocketMgr::SetUserData2(SOCKET s, DWORD dwUserData2)
{
    return WithSocket(s, [&](_SOCKETCORE& core) { core.dwUserData2 = dwUserData2; });
}

bool VZ_SocketMgr::GetUserData(SOCKET s, DWORD* lpdwUserData1, DWORD* lpdwUserData2)
{
    return WithSocket(s, [&](_SOCKETCORE& core) {
        if (lpdwUserData1 != NULL)
            *lpdwUserData1 = core.dwUserData1;
        if (lpdwUserData2 != NULL)
            *lpdwUserData2 = core.dwUserData2;
    });
}

DWORD VZ_SocketMgr::SocketCtrl(UINT uiCode, SOCKET s, DWORD dwValue, DWORD, DWORD, DWORD, DWORD, DWORD)
{
    if (s == INVALID_SOCKET || uiCode != SOCKETCTRL_PARTIAL_SEND)
        return 0;
    WithSocket(s, [&](_SOCKETCORE& isd) {
        VZ_ASSERT(isd.socket == s);
        if (dwValue != 0)
            isd.dwFlags |= SOCKET_FLAG_PARTIAL_SEND;
        else
            isd.dwFlags &= ~static_cast<DWORD>(SOCKET_FLAG_PARTIAL_SEND);
    });
    return 0;
}

bool VZ_SocketMgr::Shutdown(SOCKET s, int how)
{
    if (s == INVALID_SOCKET)
        return false;
    bool bResult = false;
    WithSocket(s, [&](_SOCKETCORE& isd) {
        VZ_ASSERT(isd.socket == s);
        if (isd.status == SS_CONNECTED || isd.status == SS_UDP) {
            shutdown(s, how); // its result is not the operation's
            bResult = true;
        }
    });
    return bResult;
}

int VZ_SocketMgr::ArmNotice(_SOCKETCORE& core, UINT uiNoticeLen)
{
    if (core.uiNoticeLen != 0)
        return NOTICE_PENDING;
    core.uiNoticeLen = uiNoticeLen;
    // Inside OnTcpRecv the delivery picks the new length up when the event returns.
    if (uiNoticeLen == 0 || core.bRbufLockFlag)
        return NOTICE_ARMED;
    return core.sbRbuf.uiDataLen >= uiNoticeLen ? NOTICE_HELD : NOTICE_READ;
}

// ---------------------------------------------------------------------------
// UDP sockets

void VZ_SocketMgr::IgnoreUdpReset(SOCKET s)
{
    DWORD dwNewBehavior = FALSE;
    DWORD dwReturned = 0;
    if (WSAIoctl(s, SIO_UDP_CONNRESET, &dwNewBehavior, sizeof(dwNewBehavior), NULL, 0, &dwReturned, NULL, NULL) ==
            SOCKET_ERROR &&
        WSAGetLastError() != WSAEWOULDBLOCK)
        VZ_Trace("WSAIoctl(SIO_UDP_CONNRESET) Error: %d\n", WSAGetLastError());
}

SOCKET VZ_SocketMgr::AttachUdpRelay(SOCKET s, HANDLE hProxy, DWORD dwUserData1, DWORD dwUserData2)
{
    SOCKET tcps = CreateTcpSocket(hProxy, static_cast<const char*>(NULL), 0, dwUserData1, dwUserData2);
    bool bPaired = tcps != INVALID_SOCKET &&
                   WithSocket(tcps, [&](_SOCKETCORE& isdtcp) {
                       VZ_ASSERT(isdtcp.socket == tcps);
                       isdtcp.sPair = s;
                   }) &&
                   WithSocket(s, [&](_SOCKETCORE& isdudp) {
                       VZ_ASSERT(isdudp.socket == s);
                       isdudp.sPair = tcps;
                   });
    // A literal, so the connect goes to the proxy by address with 127.0.0.1,
    // port 0 as the target.
    if (bPaired && Connect(tcps, "127.0.0.1", 0))
        return s;
    if (tcps != INVALID_SOCKET)
        CloseSocket(tcps);
    CloseSocket(s);
    return INVALID_SOCKET;
}

// ---------------------------------------------------------------------------
// SOCKS5 relay header: 0, 0 (reserved), 0 (fragment), 1 (IPv4), the address
// and the port, both in network order.

char* VZ_SocketMgr::BuildRelayDatagram(const sockaddr_in* lpTo, const char* buf, int len, UINT* lpuiTotal)
{
    UINT uiTotal = static_cast<UINT>(len) + SOCKS5_UDP_HEADER;
    char* lpBlock = static_cast<char*>(m_Memory.Alloc(uiTotal));
    if (lpBlock == NULL)
        return NULL;
    std::memset(lpBlock, 0, 4);
    lpBlock[3] = 1;
    std::memcpy(lpBlock + 4, &lpTo->sin_addr.s_addr, 4);
    std::memcpy(lpBlock + 8, &lpTo->sin_port, 2);
    std::memcpy(lpBlock + SOCKS5_UDP_HEADER, buf, static_cast<size_t>(len));
    *lpuiTotal = uiTotal;
    return lpBlock;
}

// The address type byte is not examined: the relay answers in IPv4.
int VZ_SocketMgr::SendToDirect(SOCKET s, const sockaddr_in* lpTo, const char* buf, int len)
{
    if ((m_dwEngineMode & SOCKETMGR_PLAIN_SOCKETS) != 0)
        return sendto(s, buf, len, 0, reinterpret_cast<const sockaddr*>(lpTo), sizeof(sockaddr_in));
    WSABUF wsabuf;
    wsabuf.len = static_cast<ULONG>(len);
    wsabuf.buf = const_cast<char*>(buf);
    DWORD dwSent = 0;
    return WSASendTo(s, &wsabuf, 1, &dwSent, 0, reinterpret_cast<const sockaddr*>(lpTo), sizeof(sockaddr_in), NULL,
                     NULL);
}

int VZ_SocketMgr::SendToRelay(SOCKET s, const sockaddr_in* lpTo, const char* buf, int len, ULONG ulRelayIP,
                              USHORT usRelayPort)
{
    UINT uiTotal = 0;
    char* lpBlock = BuildRelayDatagram(lpTo, buf, len, &uiTotal);
    if (lpBlock == NULL)
        return SOCKET_ERROR;
    sockaddr_in relay = *lpTo;
    relay.sin_addr.s_addr = ulRelayIP;
    relay.sin_port = usRelayPort;
    int iResult = SendToDirect(s, &relay, lpBlock, static_cast<int>(uiTotal));
    m_Memory.Free(lpBlock);
    return iResult;
}

int VZ_SocketMgr::ReadRelayHeader(const char* p, int n, sockaddr_in* lpFrom)
{
    if (n <= SOCKS5_UDP_HEADER || p[0] != 0 || p[1] != 0 || p[2] != 0)
        return 0;
    std::memset(lpFrom, 0, sizeof(*lpFrom));
    lpFrom->sin_family = AF_INET;
    std::memcpy(&lpFrom->sin_addr.s_addr, p + 4, 4);
    std::memcpy(&lpFrom->sin_port, p + 8, 2);
    return SOCKS5_UDP_HEADER;
}

// ---------------------------------------------------------------------------
// Time-outs and timers

int VZ_SocketMgr::ExpireSocketTimer(DWORD dwTimerId, DWORD dwToken)
{
    DWORD dwParam = 0;
    SOCKET s = dwTimerId & TIMER_SOCKET_MASK;
    UINT uiKind = dwTimerId >> TIMER_KIND_SHIFT;
    DWORD dwUserData1 = 0;
    DWORD dwUserData2 = 0;
    bool bIdle = false;
    bool bTaken = false;
    // The expiry is taken under the socket's lock: taken before it, the
    // handle's socket could be closed and a new one made in between (which
    // forgets the handle's timers under this lock), and the earlier
    // socket's timer would fire on the new one.
    bool bKnown = WithSocket(s, [&](_SOCKETCORE& core) {
        bTaken = TakeExpiry(dwTimerId, dwToken, &dwParam);
        if (!bTaken)
            return; // killed or armed anew since this expiry was posted
        dwUserData1 = core.dwUserData1;
        dwUserData2 = core.dwUserData2;
        if (uiKind > TIMER_KIND_RECV || (core.status != SS_CONNECTED && core.status != SS_UDP))
            return; // an idle time-out of any other socket ends here
        // Idle since the last send (kind 0) or receive (kind 1): an event
        // only after a whole quiet period; else wait for the rest of it.
        DWORD dwNow = m_Timer.GetTimerTick();
        DWORD& dwLast = uiKind == TIMER_KIND_SEND ? core.dwLastSendTime : core.dwLastRecvTime;
        DWORD dwIdle = dwNow - dwLast;
        bIdle = dwIdle >= dwParam;
        if (bIdle)
            dwLast = dwNow;
        RearmTimeout(dwTimerId, dwToken, bIdle ? dwParam : dwParam - dwIdle);
    });
    if (!bKnown)
        TakeExpiry(dwTimerId, dwToken, &dwParam); // a once timer's arming ends all the same
    ISocketMgrSink* lpSink = GetSink();
    if (!bKnown || !bTaken || lpSink == NULL)
        return 0;
    if (uiKind >= TIMER_KIND_EVENT)
        lpSink->OnTimer(s, uiKind - TIMER_KIND_EVENT, dwParam, dwUserData1, dwUserData2);
    else if (uiKind == TIMER_KIND_CONNECT)
        lpSink->OnTcpConnect(WSAEHOSTUNREACH, s, dwUserData1, dwUserData2);
    else if (bIdle && uiKind == TIMER_KIND_RECV)
        lpSink->OnRecvTimeout(0, s, dwUserData1, dwUserData2);
    else if (bIdle)
        lpSink->OnSendTimeout(0, s, dwUserData1, dwUserData2);
    return 0;
}

// ---------------------------------------------------------------------------
// Connect by name

// lpRemoteAddr is the host's name or dotted address.
bool VZ_SocketMgr::Connect(SOCKET s, const char* lpRemoteAddr, USHORT usPort)
{
    VZ_ASSERT(lpRemoteAddr != NULL);
    if (lpRemoteAddr == NULL)
        return false;
    const char* lpHost = lpRemoteAddr;
    ULONG ulAddr = inet_addr(lpHost);
    if (ulAddr != INADDR_NONE) {
        sockaddr_in addr = VZ_MakeInetAddress(ulAddr, htons(usPort));
        return Connect(s, &addr);
    }
    if (std::strlen(lpHost) > DNS_MAX_NAME)
        return false;
    // The timer is armed under the record lock, so the request carries the
    // serial of the record it was armed for.
    bool bArmed = false;
    ULONG ulSerial = 0;
    WithSocket(s, [&](_SOCKETCORE& core) {
        ulSerial = core.ulSerial;
        bArmed = SetConnectTimer(s); // fails while a name connect of s is pending
    });
    if (!bArmed)
        return false;
    if (!PostNameRequest(DNS_MSG_CONNECT, s, usPort, ulSerial, lpHost)) {
        KillConnectTimer(s);
        return false;
    }
    return true;
}

void VZ_SocketMgr::RunNameResolution()
{
    _VZ_MSG msg;
    while (m_queDns.GetMessage(&msg)) {
        _DNSDATA* lpData = reinterpret_cast<_DNSDATA*>(msg.lParam);
        if (lpData == NULL)
            continue;
        ULONG ulAddr = ResolveName(lpData->lpszHost);
        int iError = ulAddr == INADDR_NONE ? WSAGetLastError() : 0;
        if (msg.message == DNS_MSG_RESOLVE) {
            ISocketMgrSink* lpSink = GetSink();
            if (lpSink != NULL)
                lpSink->OnDnsParse(lpData->lpszHost, ulAddr);
        } else if (msg.message == DNS_MSG_CONNECT) {
            ConnectResolved(lpData, ulAddr, iError);
        }
        m_Memory.Free(lpData);
    }
}

void VZ_SocketMgr::ConnectResolved(const _DNSDATA* lpData, ULONG ulAddr, int iError)
{
    SOCKET s = lpData->s;
    ULONG ulSerial = 0;
    DWORD dwUserData1 = 0;
    DWORD dwUserData2 = 0;
    bool bChecksFirst = (m_dwEngineMode & SOCKETMGR_RESOLVE_CHECKS_FIRST) != 0;
    WithSocket(s, [&](_SOCKETCORE& isd) {
        ulSerial = isd.ulSerial;
        dwUserData1 = isd.dwUserData1;
        dwUserData2 = isd.dwUserData2;
        if (bChecksFirst && ulSerial == lpData->ulSerial)
            VZ_ASSERT(isd.status == SS_TCP); // only a name connect arms the timer it kills
    });
    // Closed or re-created since the request: the work is not this socket's.
    bool bCurrent = ulSerial != 0 && ulSerial == lpData->ulSerial;
    if (!bCurrent && bChecksFirst)
        return;
    KillConnectTimer(s);
    ISocketMgrSink* lpSink = GetSink();
    if (ulAddr == INADDR_NONE) {
        if (lpSink != NULL)
            lpSink->OnTcpConnect(iError, s, dwUserData1, dwUserData2);
        return;
    }
    if (!bCurrent)
        return;
    sockaddr_in addr = VZ_MakeInetAddress(ulAddr, htons(static_cast<USHORT>(lpData->usPort)));
    if (!Connect(s, &addr) && lpSink != NULL)
        lpSink->OnTcpConnect(WSAGetLastError(), s, dwUserData1, dwUserData2);
}

// ---------------------------------------------------------------------------
// Send queues

bool VZ_SocketMgr::QueueSend(SENDLIST& list, const char* buf, UINT uiLen)
{
    _SENDBUF sb;
    sb.lpBuf = static_cast<char*>(m_Memory.Alloc(uiLen));
    if (sb.lpBuf == NULL)
        return false;
    memcpy(sb.lpBuf, buf, uiLen);
    sb.uiLen = sb.uiLeft = uiLen;
    list.AddTail(sb);
    return true;
}

// Up to SENDQ_GATHER blocks go out in one WSASend: under Wine every send is
// a server call, and a host that sends faster than the peer reads leaves
// many small blocks queued. The socket is non-blocking, so the call returns
// at once with what it took; the blocks it took whole are freed, the one it
// took in part keeps its rest at the head, and the order is kept.
int VZ_SocketMgr::DrainSendQueue(SOCKET s, SENDLIST& list, int* lpiError)
{
    *lpiError = 0;
    while (!list.IsEmpty()) {
        WSABUF aBufs[SENDQ_GATHER];
        DWORD dwCount = 0, dwSent = 0;
        VZ_POSITION pos = list.GetHeadPosition();
        while (pos != NULL && dwCount < SENDQ_GATHER) {
            _SENDBUF& sb = list.GetNext(pos);
            aBufs[dwCount].buf = sb.lpBuf + sb.uiLen - sb.uiLeft;
            aBufs[dwCount++].len = sb.uiLeft;
        }
        if (WSASend(s, aBufs, dwCount, &dwSent, 0, NULL, NULL) != 0) {
            *lpiError = WSAGetLastError();
            if (*lpiError != WSAEWOULDBLOCK)
                return SENDQ_FAILED;
            dwSent = 0; // a would-block sent nothing
        }
        while (!list.IsEmpty() && dwSent >= list.GetHead().uiLeft) {
            _SENDBUF sb = list.RemoveHead();
            dwSent -= sb.uiLeft;
            m_Memory.Free(sb.lpBuf);
        }
        if (dwSent > 0)
            list.GetHead().uiLeft -= dwSent;
        if (dwSent > 0 || *lpiError != 0)
            return SENDQ_PARTIAL;
    }
    return SENDQ_DRAINED;
}

void VZ_SocketMgr::FreeSendQueue(SENDLIST& list)
{
    while (!list.IsEmpty())
        m_Memory.Free(list.RemoveHead().lpBuf);
}
