// Completion-port engine: socket creation, listening with posted AcceptEx
// calls, connects through the hidden connect window and the engine's side of
// the proxy handshake's start.
#include <winsock2.h>
#include <windows.h>
#include <mswsock.h>

#include <stdio.h>
#include <string.h>

#include "VZ_Assert.h"
#include "VZ_IocpSocketMgr.h"
#include "core/VZ_Trace.h"


namespace {

const wchar_t CONNECT_WND_NAME[] = L"IocpConnectWnd";
const DWORD CONNECT_WND_STYLE = 0xCF0000; // WS_OVERLAPPEDWINDOW, never shown

} // namespace

// ---------------------------------------------------------------------------
// Creating sockets

// A TCP socket goes on the completion port once it is connected or listens.
// No receive is posted for a UDP socket: the host calls Recv for each datagram.
bool VZ_IocpSocketMgr::PrepareSocket(SOCKET s, int iType)
{
    if (iType != SOCK_DGRAM)
        return true;
    if (CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), m_hIocp, static_cast<ULONG_PTR>(s), 0) == NULL) {
        VZ_Trace("CreateIoCompletionPort(Udp Socket) failed with error: %d\r\n", static_cast<int>(GetLastError()));
        return false;
    }
    IgnoreUdpReset(s);
    return true;
}

// ---------------------------------------------------------------------------
// Listening and accepting

bool VZ_IocpSocketMgr::Listen(SOCKET s, int backlog)
{
    VZ_ASSERT(backlog > 0);
    return VZ_SocketMgr::Listen(s, backlog);
}

bool VZ_IocpSocketMgr::ListenDirect(SOCKET s, int backlog)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = FindRecord(s);
    if (lpIsd == NULL || lpIsd->status != SS_TCP)
        return false;
    if (listen(s, backlog) == SOCKET_ERROR)
        return false;
    if (CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), m_hIocp, static_cast<ULONG_PTR>(s), 0) == NULL) {
        VZ_Trace("CreateIoCompletionPort(ListenSocket) failed with error: %d\r\n", static_cast<int>(GetLastError()));
        return false;
    }
    LoadAcceptEx(s);
    lpIsd->status = SS_ACCEPTING;
    for (int i = 0; i < backlog; ++i) {
        _IocpIoContext* lpIoContext = AllocContext(IOCP_ACCEPT_SIZE);
        int iError = 0;
        if (lpIoContext == NULL)
            return false;
        if (!ExecAcceptEx(s, lpIoContext, &iError)) {
            FreeContext(lpIoContext); // the accepts already posted stay
            return false;
        }
    }
    return true;
}

bool VZ_IocpSocketMgr::LoadAcceptEx(SOCKET s)
{
    if (m_lpfnAcceptEx != NULL && m_lpfnGetAcceptExSockaddrs != NULL)
        return true;
    GUID guidAcceptEx = WSAID_ACCEPTEX;
    GUID guidSockaddrs = WSAID_GETACCEPTEXSOCKADDRS;
    DWORD dwBytes = 0;
    if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &guidAcceptEx, sizeof(guidAcceptEx), &m_lpfnAcceptEx,
                 sizeof(m_lpfnAcceptEx), &dwBytes, NULL, NULL) == SOCKET_ERROR ||
        WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &guidSockaddrs, sizeof(guidSockaddrs),
                 &m_lpfnGetAcceptExSockaddrs, sizeof(m_lpfnGetAcceptExSockaddrs), &dwBytes, NULL,
                 NULL) == SOCKET_ERROR) {
        VZ_Trace("WSAIoctl() failed with error: %d\r\n", static_cast<int>(GetLastError()));
        m_lpfnAcceptEx = AcceptEx;
        m_lpfnGetAcceptExSockaddrs = GetAcceptExSockaddrs;
        return false;
    }
    return true;
}

bool VZ_IocpSocketMgr::ExecAcceptEx(SOCKET sListen, _IocpIoContext* lpIoContext, int* lpiError)
{
    VZ_ASSERT(sListen != INVALID_SOCKET && lpIoContext);
    SOCKET a = WSASocketW(AF_INET, SOCK_STREAM, 0, NULL, 0, WSA_FLAG_OVERLAPPED);
    if (a == INVALID_SOCKET) {
        *lpiError = WSAGetLastError();
        VZ_Trace("WSASocket() failed with error %d\r\n", *lpiError);
        return false;
    }
    memset(&lpIoContext->overlapped, 0, sizeof(lpIoContext->overlapped));
    lpIoContext->socket = a;
    lpIoContext->IoOperation = IO_ACCEPT;
    DWORD dwBytes = 0;
    if (m_lpfnAcceptEx(sListen, a, lpIoContext->Data(), 0, IOCP_ACCEPT_ADDR_LEN, IOCP_ACCEPT_ADDR_LEN, &dwBytes,
                       &lpIoContext->overlapped) ||
        WSAGetLastError() == WSA_IO_PENDING)
        return true;
    *lpiError = WSAGetLastError();
    closesocket(a);
    lpIoContext->socket = INVALID_SOCKET;
    VZ_Trace("AcceptEx() failed with error %d\r\n", *lpiError);
    return false;
}

// The context is re-posted at once, so the listener keeps its number of
// pending accepts whatever the sink decides.
void VZ_IocpSocketMgr::OnAcceptCompleted(SOCKET sListen, _IocpIoContext* lpIoContext)
{
    SOCKET a = lpIoContext->socket;
    if (!IsListening(sListen)) { // closed, or the engine stops
        closesocket(a);
        FreeContext(lpIoContext);
        return;
    }
    sockaddr* lpLocal = NULL;
    sockaddr* lpPeer = NULL;
    int iLocalLen = 0;
    int iPeerLen = 0;
    m_lpfnGetAcceptExSockaddrs(lpIoContext->Data(), 0, IOCP_ACCEPT_ADDR_LEN, IOCP_ACCEPT_ADDR_LEN, &lpLocal,
                               &iLocalLen, &lpPeer, &iPeerLen);
    sockaddr_in local = VZ_MakeInetAddress(0, 0);
    sockaddr_in peer = VZ_MakeInetAddress(0, 0);
    if (lpLocal != NULL && iLocalLen >= static_cast<int>(sizeof(local)))
        memcpy(&local, lpLocal, sizeof(local));
    if (lpPeer != NULL && iPeerLen >= static_cast<int>(sizeof(peer)))
        memcpy(&peer, lpPeer, sizeof(peer));
    int iError = 0;
    if (!ExecAcceptEx(sListen, lpIoContext, &iError))
        FreeContext(lpIoContext);

    ISocketMgrSink* lpSink = GetSink();
    if (lpSink == NULL || !lpSink->OnSocketPreAccept(&local, &peer)) {
        closesocket(a);
        return;
    }
    // The accepted socket takes over the listener's properties, so shutdown
    // and getsockname work on it.
    setsockopt(a, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT, reinterpret_cast<const char*>(&sListen), sizeof(sListen));
    bool bSkipPort = false;
    if (!AttachConnected(a, &bSkipPort)) {
        VZ_Trace("CreateIoCompletionPort() failed with error: %d\r\n", WSAGetLastError());
        closesocket(a);
        return;
    }
    if (!AddSocket(a, SS_CONNECTED, 0, 0, NULL)) {
        closesocket(a);
        return;
    }
    WithSocket(a, [&](_SOCKETCORE& core) { static_cast<_IocpSocketData&>(core).bSkipPort = bSkipPort; });
    lpSink->OnTcpAccept(0, sListen, a, &local, &peer);
    RecordAccept(sListen, a, &local, &peer);
}

// ---------------------------------------------------------------------------
// Connecting

bool VZ_IocpSocketMgr::Connect(SOCKET s, const sockaddr_in* lpRemoteAddr)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = FindRecord(s);
    if (lpIsd == NULL || lpIsd->status != SS_TCP || lpRemoteAddr == NULL)
        return false;
    sockaddr_in addr;
    if (!ConnectTarget(*lpIsd, lpRemoteAddr, &addr))
        return false;
    if (m_bSimulator && IsFailedConnect())
        addr.sin_addr.s_addr = INADDR_NONE; // 255.255.255.255: fails through the normal path
    if (WSAAsyncSelect(s, GetHwnd(), WM_IOCP_SOCKET, FD_CONNECT | FD_CLOSE) == SOCKET_ERROR)
        return false;
    if (WSAConnect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr), NULL, NULL, NULL, NULL) ==
            SOCKET_ERROR &&
        WSAGetLastError() != WSAEWOULDBLOCK)
        return false; // the status stays SS_TCP
    lpIsd->status = SS_CONNECTING;
    return true;
}

// The connect thread: its window receives every connect notification, in order.
void VZ_IocpSocketMgr::ThreadConnect(HANDLE hReadyEvent)
{
    m_dwConnectThreadId = GetCurrentThreadId();
    bool bRet = CreateHidden(CONNECT_WND_NAME, CONNECT_WND_STYLE);
    VZ_ASSERT(bRet);
    if (hReadyEvent != NULL)
        SetEvent(hReadyEvent);
    RunMessages();
    VZ_Trace("ThreadConnect exit\n");
    DestroyHidden(CONNECT_WND_NAME);
}

LRESULT VZ_IocpSocketMgr::WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    SOCKET s = static_cast<SOCKET>(wParam);
    if (uMsg == WM_IOCP_SOCKET) {
        OnConnectNotice(s, WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam));
        return 1;
    }
    if (uMsg == WM_IOCP_RELEASE) {
        OnConnectRelease(s);
        return 1;
    }
    return VZ_Wnd::WindowProc(uMsg, wParam, lParam);
}

void VZ_IocpSocketMgr::OnConnectRelease(SOCKET s)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    m_mapClosingCount.Release(s);
}

void VZ_IocpSocketMgr::OnConnectNotice(SOCKET s, WORD wEvent, WORD wError)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = FindRecord(s);
    // A notice for a socket closed meanwhile (or for its handle's next owner).
    if (lpIsd == NULL || m_mapClosingCount.IsClosing(s))
        return;
    // Only a connecting socket listens to the window. Wine may queue an
    // FD_CLOSE right behind the FD_CONNECT (a peer that accepts and closes at
    // once), or the two the other way round: once the connect is settled the
    // rest is stale. A connected socket's close comes through the port after
    // its data; a failed one has heard its outcome already.
    if (lpIsd->status != SS_CONNECTING)
        return;
    _IocpSocketData& isd = *lpIsd;
    VZ_ASSERT(isd.socket == s);
    _RECORDVIEW view = ViewOf(lpIsd);
    int iError = wError;
    bool bConnected = iError == 0 && wEvent != FD_CLOSE;
    if (bConnected) {
        WSAAsyncSelect(s, GetHwnd(), 0, 0); // no more window notices: the port takes over
        if (!AttachConnected(s, &lpIsd->bSkipPort)) {
            iError = static_cast<int>(GetLastError());
            VZ_Trace("Connect remote host success, but CreateIoCompletionPort failed s=%d\r\n", static_cast<int>(s));
            bConnected = false;
        }
    }
    if (!bConnected) {
        lock.Unlock();
        OnConnectFailed(s, view.sPair, iError, wEvent == FD_CLOSE, view.dwUserData1, view.dwUserData2);
        return;
    }
    lpIsd->status = SS_CONNECTED;
    lpIsd->dwLastRecvTime = lpIsd->dwLastSendTime = m_Timer.GetTimerTick();
    lock.Unlock();
    if (view.lpProxyData != NULL) {
        m_Delivery.Proxy().OnProxyConnected(s, view.ulSerial); // failures are reported there
        return;
    }
    ISocketMgrSink* lpSink = GetSink();
    if (lpSink != NULL)
        lpSink->OnTcpConnect(0, s, view.dwUserData1, view.dwUserData2);
}

// A failed connect stays open with status SS_CONNECTING for the host to close.
void VZ_IocpSocketMgr::OnConnectFailed(SOCKET s, SOCKET sPair, int iError, bool bClosed, DWORD dwUserData1,
                                       DWORD dwUserData2)
{
    ISocketMgrSink* lpSink = GetSink();
    if (sPair != INVALID_SOCKET) {
        // The control socket of a proxied UDP socket: the UDP socket is told,
        // or, when the pair is itself paired, its own pair hears of a reset.
        SOCKET sTold = sPair;
        int iTold = iError;
        WithSocket(sPair, [&](_SOCKETCORE& isd) {
            if (isd.status != SS_UDP && isd.sPair != INVALID_SOCKET) {
                sTold = isd.sPair;
                iTold = WSAECONNRESET;
            }
        });
        GetUserData(sTold, &dwUserData1, &dwUserData2);
        if (lpSink != NULL)
            lpSink->OnProxyResult(iTold, sTold, NULL, dwUserData1, dwUserData2);
    } else if (bClosed) {
        ReportError(iError, s, NULL, "ASYNCSOCKET connecting 2");
    } else if (lpSink != NULL) {
        lpSink->OnTcpConnect(iError, s, dwUserData1, dwUserData2);
    }
}
