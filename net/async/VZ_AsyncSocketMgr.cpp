// Window-message engine: start and stop, the records, the window thread and
// its notifications (connect, accept, read, write, close), the delivery step
// and the common error path. The operations a host calls are in
// VZ_AsyncSocketOps.cpp.
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>

#include "VZ_Assert.h"
#include "VZ_AsyncSocketMgr.h"
#include "core/VZ_Trace.h"

namespace {

const wchar_t WND_NAME[] = L"AsyncConnectWnd";
const DWORD WND_STYLE = 0xCF0000; // WS_OVERLAPPEDWINDOW, never shown

} // namespace

VZ_AsyncSocketMgr::VZ_AsyncSocketMgr()
    : m_mapSocket2Data(10), m_ulNextSerial(1), m_hWndReady(NULL), m_dwWndThreadId(0),
      m_bStopping(false), m_DeliveryHost(this),
      m_Delivery(&m_DeliveryHost, TCPDELIVER_MODE_ASYNC)
{
    m_mapSocket2Data.InitHashTable(SOCKET_MAP_BUCKETS);
    UseRecordTable(&m_mapSocket2Data);
    m_hWndReady = CreateEventW(NULL, FALSE, FALSE, NULL);
    SetEngineMode(SOCKETMGR_RESOLVE_CHECKS_FIRST);
    // PrepareSocket is left as it is: an ICMP port-unreachable shows as a
    // receive error of a UDP socket on this engine.
}

VZ_AsyncSocketMgr::~VZ_AsyncSocketMgr()
{
    Uninitialize(STOP_WAIT_MS);
    if (m_hWndReady != NULL)
        CloseHandle(m_hWndReady);
}

// ---------------------------------------------------------------------------
// Start and stop

bool VZ_AsyncSocketMgr::Initialize(BYTE byFlags, int, DWORD, DWORD)
{
    if (GetThreadCount() > 0)
        return false;
    m_bStopping = false;
    if (IsRecording())
        OpenRecordFile();
    int iThreadCount = StartThreads(ASYNC_THREAD_WND, 1, 0);
    VZ_ASSERT(iThreadCount == 1);
    StartNameThread(byFlags, this, ASYNC_THREAD_DNS);
    WaitWindowReady(m_hWndReady, this, ASYNC_THREAD_WND);
    StartTimers(byFlags, this, 0);
    return true;
}

// Also from the window thread itself (inside an event): its quit message is
// then handled once the event returns, and the wait for it is skipped.
bool VZ_AsyncSocketMgr::Uninitialize(DWORD)
{
    m_bStopping = true; // notifications still queued raise nothing
    StopTimers();
    if (m_dwWndThreadId != 0)
        PostThreadMessageW(m_dwWndThreadId, WM_QUIT, 0, 0);
    StopThreads(ASYNC_THREAD_WND, STOP_WAIT_MS);
    StopNameThreads(this, ASYNC_THREAD_DNS);
    CloseAllSockets();
    return true;
}

void VZ_AsyncSocketMgr::CloseAllSockets()
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    m_mapSocket2Data.RemoveAllRecords(m_Memory, [this](_AsyncSocketData& asd) {
        closesocket(asd.socket);
        FreeSendQueue(asd.listSend);
    });
    m_mapClosingCount.RemoveAll();
}

DWORD VZ_AsyncSocketMgr::ThreadProc(_THREAD_DATA& td)
{
    switch (td.iThreadType) {
    case ASYNC_THREAD_WND:
        ThreadWnd();
        break;
    case ASYNC_THREAD_DNS:
        RunNameResolution();
        break;
    default:
        VZ_ASSERT(false);
        break;
    }
    return 0;
}

void VZ_AsyncSocketMgr::ThreadWnd()
{
    m_dwWndThreadId = GetCurrentThreadId();
    bool bRet = CreateHidden(WND_NAME, WND_STYLE);
    VZ_ASSERT(bRet);
    SetEvent(m_hWndReady);
    RunMessages();
    m_dwWndThreadId = 0;
    DestroyHidden(WND_NAME);
}

// ---------------------------------------------------------------------------
// Records

bool VZ_AsyncSocketMgr::AddSocket(SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2,
                                  _PROXYDATA* lpProxyData)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _AsyncSocketData* lpAsd = m_mapSocket2Data.Insert(s);
    if (lpAsd == NULL)
        return false;
    _AsyncSocketData& asd = *lpAsd;
    NewSocketCore(asd, s, status, dwUserData1, dwUserData2, lpProxyData, &m_ulNextSerial, m_Timer.GetTimerTick());
    asd.listSend.RemoveAll();
    asd.lArmed = 0; // an accepted socket has its listener's events: unknown here
    asd.bProxyRefused = false;
    asd.bPeerClosed = false;
    return true;
}

_AsyncSocketData* VZ_AsyncSocketMgr::FindRecord(SOCKET s)
{
    return m_mapSocket2Data.Find(s);
}

// A socket that was neither connected nor listening (SS_TCP) has never had
// notifications armed, so a notice for its handle belongs to an earlier
// socket of that handle. The release posted at that socket's close keeps
// most of them out, but Winsock may post a notice of a socket's last moments
// after the release (seen under load). The test is made here, under the
// lock each handler holds while it acts: made apart, a new socket could take
// the handle between the test and the handler, which would close it before
// its Connect.
_AsyncSocketData* VZ_AsyncSocketMgr::FindLive(SOCKET s)
{
    if (m_mapClosingCount.IsClosing(s))
        return NULL;
    _AsyncSocketData* lpAsd = FindRecord(s);
    return lpAsd != NULL && lpAsd->status != SS_TCP ? lpAsd : NULL;
}

long VZ_AsyncSocketMgr::ReadingMask(const _AsyncSocketData& asd)
{
    long lEvents = FD_CLOSE;
    if (asd.uiNoticeLen > 0)
        lEvents |= FD_READ;
    if (!asd.listSend.IsEmpty())
        lEvents |= FD_WRITE;
    return lEvents;
}

bool VZ_AsyncSocketMgr::Arm(_AsyncSocketData& asd, long lEvents, bool bForce)
{
    const long lHarmless = FD_READ | FD_WRITE; // a notice for either finds nothing to do
    if (!bForce && (lEvents & ~asd.lArmed) == 0 && (asd.lArmed & ~lEvents & ~lHarmless) == 0)
        return true;
    HWND hWnd = GetHwnd();
    if (hWnd == NULL || WSAAsyncSelect(asd.socket, hWnd, WM_ASYNC_SOCKET, lEvents) == SOCKET_ERROR)
        return false;
    asd.lArmed = lEvents;
    return true;
}

// ---------------------------------------------------------------------------
// The common error path

void VZ_AsyncSocketMgr::CloseAndNotify(int iError, SOCKET s, ULONG ulSerial)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _AsyncSocketData* lpAsd = FindLive(s);
    if (lpAsd == NULL || lpAsd->status == SS_CLOSING || (ulSerial != TCP_ANY_SERIAL && ulSerial != lpAsd->ulSerial))
        return;
    ReportTerminal(*lpAsd, iError, lock, GetSink());
}

// ---------------------------------------------------------------------------
// The window and its notifications

LRESULT VZ_AsyncSocketMgr::WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    SOCKET s = static_cast<SOCKET>(wParam);
    if (uMsg != WM_ASYNC_SOCKET && uMsg != WM_ASYNC_RBUF && uMsg != WM_ASYNC_RELEASE)
        return VZ_Wnd::WindowProc(uMsg, wParam, lParam);
    if (m_bStopping) // the engine stops: what is still queued raises nothing
        return 0;
    if (uMsg == WM_ASYNC_RBUF) {
        OnBufferedData(s);
        RaiseSendReports();
        return 0;
    }
    if (uMsg == WM_ASYNC_RELEASE) {
        VZ_AutoLock lock(&m_mapSocket2Data);
        m_mapClosingCount.Release(s);
        return 0;
    }
    OnNotice(s, WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam));
    RaiseSendReports();
    return 0;
}

void VZ_AsyncSocketMgr::OnNotice(SOCKET s, WORD wEvent, int iError)
{
    switch (wEvent) {
    case FD_READ:
        OnRead(s, iError);
        break;
    case FD_WRITE:
        OnWrite(s, iError);
        break;
    case FD_ACCEPT:
        OnAccept(s, iError);
        break;
    case FD_CONNECT:
        OnConnect(s, iError);
        break;
    case FD_CLOSE:
        OnClose(s, iError);
        break;
    default:
        VZ_ASSERT(false);
        break;
    }
}

// The OnTcpSend of sends that went out at once inside the notification just
// handled; a send queued behind meanwhile is reported when its queue drains.
void VZ_AsyncSocketMgr::RaiseSendReports()
{
    if (m_vecSendReports.empty())
        return;
    std::vector<std::pair<SOCKET, ULONG>> vec;
    vec.swap(m_vecSendReports);
    for (const std::pair<SOCKET, ULONG>& pr : vec) {
        VZ_AutoLock lock(&m_mapSocket2Data);
        _AsyncSocketData* lpAsd = FindLive(pr.first);
        if (m_bStopping || lpAsd == NULL || lpAsd->ulSerial != pr.second || lpAsd->status != SS_CONNECTED ||
            !lpAsd->listSend.IsEmpty() || VZ_ProxySession::IsNegotiating(*lpAsd))
            continue;
        _RECORDVIEW view = ViewOf(lpAsd);
        lock.Unlock();
        ISocketMgrSink* lpSink = GetSink();
        if (lpSink != NULL)
            lpSink->OnTcpSend(0, pr.first, view.dwUserData1, view.dwUserData2, view.dwLastSendParam, 0);
    }
}

// A failed connect stays open with status SS_CONNECTING for the host to close.
void VZ_AsyncSocketMgr::OnConnect(SOCKET s, int iError)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _AsyncSocketData* lpAsd = FindLive(s);
    if (lpAsd == NULL)
        return;
    if (lpAsd->status != SS_CONNECTING) {
        VZ_Trace("s=%d iError=%d status=%d \n", static_cast<int>(s), iError, lpAsd->status);
        // A close notice came first and was reported: that was the socket's
        // one terminal event.
        if (lpAsd->status == SS_CLOSING)
            return;
    } else if (iError == 0) {
        lpAsd->status = SS_CONNECTED;
        lpAsd->dwLastRecvTime = lpAsd->dwLastSendTime = m_Timer.GetTimerTick();
    }
    _RECORDVIEW view = ViewOf(lpAsd);
    lock.Unlock();
    if (view.lpProxyData != NULL) {
        // Also after a failed connect: the first request then cannot be sent
        // and the socket fails with the connect's error as its last error.
        WSASetLastError(iError);
        m_Delivery.Proxy().OnProxyConnected(s, view.ulSerial);
        return;
    }
    ISocketMgrSink* lpSink = GetSink();
    if (lpSink != NULL)
        lpSink->OnTcpConnect(iError, s, view.dwUserData1, view.dwUserData2);
}

void VZ_AsyncSocketMgr::OnAccept(SOCKET sListen, int iError)
{
    {
        VZ_AutoLock lock(&m_mapSocket2Data);
        if (FindLive(sListen) == NULL)
            return;
        const unsigned int s = static_cast<unsigned int>(sListen);
        bool bExist = true;
        VZ_ASSERT(!bExist || m_mapSocket2Data[s].status == SS_ACCEPTING);
        if (m_mapSocket2Data[s].status != SS_ACCEPTING)
            return;
    }
    ISocketMgrSink* lpSink = GetSink();
    if (iError != 0) {
        if (lpSink != NULL)
            lpSink->OnTcpAccept(iError, sListen, INVALID_SOCKET, NULL, NULL);
        return;
    }
    sockaddr_in peer = VZ_MakeInetAddress(0, 0);
    int iPeerLen = sizeof(peer);
    SOCKET a = WSAAccept(sListen, reinterpret_cast<sockaddr*>(&peer), &iPeerLen, NULL, 0);
    if (a == INVALID_SOCKET) {
        iError = WSAGetLastError();
        // A notice whose connection is gone already is no failure.
        if (iError != WSAEWOULDBLOCK && lpSink != NULL)
            lpSink->OnTcpAccept(iError, sListen, INVALID_SOCKET, NULL, &peer);
        return;
    }
    sockaddr_in local = VZ_MakeInetAddress(0, 0);
    int iLocalLen = sizeof(local);
    getsockname(sListen, reinterpret_cast<sockaddr*>(&local), &iLocalLen);
    // The new socket keeps the listener's events (accept and close): it
    // reads nothing until the sink asks with Recv.
    if (lpSink == NULL || !lpSink->OnSocketPreAccept(&local, &peer) || !AddSocket(a, SS_CONNECTED, 0, 0, NULL)) {
        closesocket(a);
        return;
    }
    lpSink->OnTcpAccept(0, sListen, a, &local, &peer);
    RecordAccept(sListen, a, &local, &peer);
}

void VZ_AsyncSocketMgr::OnRead(SOCKET s, int iError)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _AsyncSocketData* lpAsd = FindLive(s);
    if (lpAsd == NULL || (lpAsd->status != SS_CONNECTED && lpAsd->status != SS_UDP) || lpAsd->bPeerClosed)
        return; // after the peer's close everything was read already
    _RECORDVIEW view = ViewOf(lpAsd);
    // A read notice queued before the sink stopped asking: the bytes stay in
    // the socket until the next Recv arms reading again. A handshake reads
    // while its reply is armed.
    bool bWanted = lpAsd->uiNoticeLen > 0 ||
                   (VZ_ProxySession::IsNegotiating(*lpAsd) && (lpAsd->lArmed & FD_READ) != 0);
    bool bDrop = lpAsd->bProxyRefused;
    // 16 KiB, or more when the sink wants more or the stream has earned it:
    // a large notice length or a fast stream then costs one notice, not four.
    UINT uiReadSize = ReadSize(*lpAsd, ASYNC_RECV_SIZE);
    lock.Unlock();
    ISocketMgrSink* lpSink = GetSink();
    if (iError != 0) {
        UINT uiZero = 0;
        if (lpSink == NULL)
            return;
        if (view.status == SS_CONNECTED)
            lpSink->OnTcpRecv(iError, s, NULL, &uiZero, view.dwUserData1, view.dwUserData2);
        else
            lpSink->OnUdpRecv(iError, s, NULL, 0, NULL, view.dwUserData1, view.dwUserData2);
        return;
    }
    if (view.status == SS_UDP)
        OnReadUdp(s, view.sPair, view.dwUserData1, view.dwUserData2);
    else if (bDrop)
        OnReadTcp(s, 0, ASYNC_RECV_SIZE);
    else if (bWanted)
        OnReadTcp(s, view.ulSerial, uiReadSize);
}

void VZ_AsyncSocketMgr::OnReadTcp(SOCKET s, ULONG ulSerial, UINT uiReadSize)
{
    char buf[READ_SIZE_MAX];
    int n = recv(s, buf, static_cast<int>(uiReadSize), 0);
    if (n > 0) {
        if (ulSerial != 0) // 0: bytes to drop
            Deliver(s, buf, static_cast<UINT>(n), ulSerial, uiReadSize);
        return;
    }
    int iError = n == 0 ? 0 : WSAGetLastError();
    if (iError != WSAEWOULDBLOCK)
        CloseAndNotify(iError, s);
}

// Every datagram that arrives once Recv armed reading.
void VZ_AsyncSocketMgr::OnReadUdp(SOCKET s, SOCKET sPair, DWORD dwUserData1, DWORD dwUserData2)
{
    char buf[ASYNC_UDP_SIZE];
    sockaddr_in from = VZ_MakeInetAddress(0, 0);
    int iFromLen = sizeof(from);
    int n = recvfrom(s, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &iFromLen);
    int iError = 0;
    if (n < 0) {
        iError = WSAGetLastError();
        n = 0;
        if (iError == WSAEWOULDBLOCK) // a notice for a datagram read already
            return;
    }
    // A relayed socket's datagrams come from the relay, the sender in the header.
    int iHeader = sPair != INVALID_SOCKET ? ReadRelayHeader(buf, n, &from) : 0;
    ISocketMgrSink* lpSink = GetSink();
    if (lpSink != NULL)
        lpSink->OnUdpRecv(iError, s, buf + iHeader, n - iHeader, &from, dwUserData1, dwUserData2);
}

// Recv found the bytes already here; they may have gone out with a read
// notice handled meanwhile, and then reading is only armed again.
void VZ_AsyncSocketMgr::OnBufferedData(SOCKET s)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _AsyncSocketData* lpAsd = FindLive(s);
    if (lpAsd == NULL || lpAsd->status != SS_CONNECTED || lpAsd->bRbufLockFlag)
        return;
    if (lpAsd->bPeerClosed) {
        lock.Unlock();
        SettlePeerClose(s);
        return;
    }
    if (lpAsd->uiNoticeLen == 0 || lpAsd->sbRbuf.uiDataLen < lpAsd->uiNoticeLen) {
        Arm(*lpAsd, ReadingMask(*lpAsd), true);
        return;
    }
    ULONG ulSerial = lpAsd->ulSerial;
    lock.Unlock();
    Deliver(s, NULL, 0, ulSerial);
}

void VZ_AsyncSocketMgr::Deliver(SOCKET s, const char* lpBuf, UINT uiLen, ULONG ulSerial, UINT uiAsked)
{
    int iResult = m_Delivery.Deliver(s, lpBuf, uiLen, ulSerial, uiAsked);
    VZ_AutoLock lock(&m_mapSocket2Data);
    _AsyncSocketData* lpAsd = FindLive(s);
    // Closed inside the event, or failed: nothing to arm (the handle may
    // belong to another socket already).
    if (lpAsd == NULL || lpAsd->ulSerial != ulSerial || lpAsd->status != SS_CONNECTED)
        return;
    if (lpAsd->bPeerClosed) { // nothing more to read: the rest, then the close
        lock.Unlock();
        SettlePeerClose(s);
        return;
    }
    // A proxied listen waits for the proxy's second reply; after a refusal
    // the rest of the proxy's answer is dropped, not judged again. A read
    // re-enables read notices by itself; bytes that were buffered already did not.
    long lEvents = ReadingMask(*lpAsd);
    bool bForce = lpBuf == NULL;
    if (iResult == TCPDELIVER_PROXY_LISTEN) {
        lEvents = FD_READ | FD_WRITE | FD_CLOSE;
    } else if (iResult == TCPDELIVER_STOP && VZ_ProxySession::IsNegotiating(*lpAsd)) {
        lpAsd->uiNoticeLen = 0;
        lpAsd->bProxyRefused = true;
        lEvents = FD_READ | FD_CLOSE;
    }
    if (!Arm(*lpAsd, lEvents, bForce)) {
        int iError = WSAGetLastError();
        lock.Unlock();
        CloseAndNotify(iError, s);
    }
}

void VZ_AsyncSocketMgr::OnWrite(SOCKET s, int iError)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _AsyncSocketData* lpAsd = FindLive(s);
    // A write notice with nothing queued is left over from an earlier arm:
    // the queue it was for has been sent and reported.
    if (lpAsd == NULL || lpAsd->status != SS_CONNECTED || (iError == 0 && lpAsd->listSend.IsEmpty()))
        return;
    _RECORDVIEW view = ViewOf(lpAsd);
    ISocketMgrSink* lpSink = GetSink();
    if (iError == 0) {
        lpAsd->dwLastSendTime = m_Timer.GetTimerTick();
        int iResult = DrainSendQueue(s, lpAsd->listSend, &iError);
        if (iResult == SENDQ_FAILED) {
            // The connection is broken: what waits would only fail again
            // with every write notice still queued.
            FreeSendQueue(lpAsd->listSend);
            lock.Unlock();
            if (lpSink != NULL)
                lpSink->OnTcpSend(iError, s, view.dwUserData1, view.dwUserData2, view.dwLastSendParam, 0);
            return;
        }
        // After a short send no write notice comes by itself.
        bool bPartial = iResult == SENDQ_PARTIAL;
        bool bArmed = Arm(*lpAsd, ReadingMask(*lpAsd), bPartial);
        int iArmError = WSAGetLastError();
        // Requests of a running proxy handshake are not the host's sends.
        bool bReport = bPartial ? (lpAsd->dwFlags & SOCKET_FLAG_PARTIAL_SEND) != 0
                                : !VZ_ProxySession::IsNegotiating(*lpAsd);
        UINT uiQueued = bPartial ? static_cast<UINT>(lpAsd->listSend.GetCount()) : 0;
        lock.Unlock();
        if (lpSink == NULL)
            return;
        if (bReport && (bArmed || bPartial))
            lpSink->OnTcpSend(iError, s, view.dwUserData1, view.dwUserData2, view.dwLastSendParam, uiQueued);
        if (!bArmed)
            lpSink->OnTcpSend(iArmError, s, view.dwUserData1, view.dwUserData2, view.dwLastSendParam, 0);
        return;
    }
    lock.Unlock();
    if (lpSink != NULL)
        lpSink->OnTcpSend(iError, s, view.dwUserData1, view.dwUserData2, view.dwLastSendParam, 0);
}

// The close notice of a graceful close can come while bytes the peer sent
// before it are still unread. They are read now and held, and the close is
// reported only after them (SettlePeerClose), so nothing the peer sent is
// lost. A reset, a proxy handshake and a control socket end at once.
//
// A peer's reset may come as a close notice without error, and a read after
// it finds a plain end, so only a send can still see it. Sends waiting for a
// write notice are tried first: the write notice is usually queued ahead of
// the close, but not always, and then the reset would pass for a graceful
// close with the sends silently dropped.
void VZ_AsyncSocketMgr::OnClose(SOCKET s, int iError)
{
    if (iError == 0)
        OnWrite(s, 0); // nothing queued: nothing done
    SOCKET sPair = INVALID_SOCKET;
    bool bHeld = false;
    {
        VZ_AutoLock lock(&m_mapSocket2Data);
        _AsyncSocketData* lpAsd = FindLive(s);
        if (lpAsd == NULL)
            return;
        sPair = lpAsd->sPair;
        bHeld = iError == 0 && sPair == INVALID_SOCKET && lpAsd->status == SS_CONNECTED && !lpAsd->bProxyRefused &&
                !VZ_ProxySession::IsNegotiating(*lpAsd);
        if (bHeld) {
            lpAsd->bPeerClosed = true;
            HoldRest(*lpAsd);
        }
    }
    if (bHeld) {
        SettlePeerClose(s);
        return;
    }
    WSASetLastError(iError);
    CloseAndNotify(iError, sPair != INVALID_SOCKET ? sPair : s);
}

// The socket's receive buffer is bounded, so is what this holds. Without
// memory for it the bytes read so far are dropped and the close follows.
void VZ_AsyncSocketMgr::HoldRest(_AsyncSocketData& asd)
{
    char buf[READ_SIZE_MAX];
    _TCPRECVBUF& rbuf = asd.sbRbuf;
    for (int n; (n = recv(asd.socket, buf, sizeof(buf), 0)) > 0;) {
        UINT uiTotal = rbuf.uiDataLen + static_cast<UINT>(n);
        rbuf.lpData = static_cast<char*>(m_Memory.Append(uiTotal, rbuf.lpData, rbuf.uiDataLen, buf, static_cast<UINT>(n)));
        rbuf.uiSize = rbuf.lpData != NULL ? uiTotal : 0;
        rbuf.uiDataLen = rbuf.lpData != NULL ? uiTotal : 0;
        if (rbuf.lpData == NULL)
            return;
    }
}

// The held bytes go out under the receive contract: OnTcpRecv while they
// reach a pending notice length. The close is reported as soon as no further
// delivery can come: nothing is held, or a notice length is pending that the
// held bytes cannot reach (those fewer bytes end with the close, as on the
// other engines). Bytes held that the host has not asked for keep the close
// back until it asks with Recv, or closes the socket (a choice of this
// library: like a stream's end, the close follows the data; reporting it
// first would leave the host no way to fetch them).
void VZ_AsyncSocketMgr::SettlePeerClose(SOCKET s)
{
    for (UINT uiBefore = 0xFFFFFFFF;;) {
        VZ_AutoLock lock(&m_mapSocket2Data);
        _AsyncSocketData* lpAsd = FindLive(s);
        if (lpAsd == NULL || !lpAsd->bPeerClosed || lpAsd->status != SS_CONNECTED || lpAsd->bRbufLockFlag)
            return;
        UINT uiHeld = lpAsd->sbRbuf.uiDataLen;
        UINT uiNotice = lpAsd->uiNoticeLen;
        ULONG ulSerial = lpAsd->ulSerial;
        lock.Unlock();
        if (uiHeld > 0 && uiNotice == 0)
            return; // waits for the host's Recv
        if (uiHeld == 0 || uiHeld < uiNotice) {
            CloseAndNotify(0, s);
            return;
        }
        if (uiHeld == uiBefore) { // offered already, nothing consumed: offered again after other messages
            PostMessageW(GetHwnd(), WM_ASYNC_RBUF, static_cast<WPARAM>(s), 0);
            return;
        }
        uiBefore = uiHeld;
        m_Delivery.Deliver(s, NULL, 0, ulSerial);
    }
}
