// Completion-port engine: start and stop, the records and I/O contexts, the
// worker loop with every completion case, receive delivery, Recv and the
// common error path. Connect, accept and name resolution are in
// VZ_IocpConnect.cpp, the send path and close in VZ_IocpSend.cpp.
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <vector>

#include "VZ_Assert.h"
#include "VZ_IocpSocketMgr.h"
#include "core/VZ_Trace.h"

namespace {

const ULONG_PTR EXIT_KEY = 0xFFFFFFFF; // key of the packet that ends one worker

// Completions a worker found done at once, handled before its next wait.
struct _DEFERRED {
    SOCKET s;
    _IocpIoContext* lpIoContext;
    DWORD dwBytes;
};
struct _WORKERSTATE {
    VZ_IocpSocketMgr* lpOwner;
    std::vector<_DEFERRED> vecDeferred;
};
thread_local _WORKERSTATE* t_lpWorker = NULL;

// Contexts from lpIoContext on: more than one for a gathered send.
LONG ChainLength(const _IocpIoContext* lpIoContext)
{
    LONG lCount = 0;
    for (; lpIoContext != NULL; lpIoContext = lpIoContext->lpGatherNext)
        ++lCount;
    return lCount;
}

} // namespace

VZ_IocpSocketMgr::VZ_IocpSocketMgr()
    : m_hIocp(NULL), m_mapSocket2Data(10), m_ulNextSerial(1), m_dwConnectThreadId(0),
      m_lpfnAcceptEx(NULL), m_lpfnGetAcceptExSockaddrs(NULL), m_bStopping(false), m_lContexts(0),
      m_ulUdpSendCount(0), m_ulConnectCount(0), m_DeliveryHost(this), m_Delivery(&m_DeliveryHost, TCPDELIVER_MODE_IOCP)
{
    m_mapSocket2Data.InitHashTable(SOCKET_MAP_BUCKETS);
    UseRecordTable(&m_mapSocket2Data);
    m_mapSocketCache.InitHashTable(211);
    m_mapSocketDelaytime.InitHashTable(211);
    m_mapLostPacket.InitHashTable(1171);
    m_mapConnFail.InitHashTable(17);
    SetEngineMode(SOCKETMGR_RESOLVE_CHECKS_FIRST);
}

VZ_IocpSocketMgr::~VZ_IocpSocketMgr()
{
    VZ_Trace("~VZ_IocpSocketMgr exit\n");
    Uninitialize(STOP_WAIT_MS);
}

// ---------------------------------------------------------------------------
// Start and stop

bool VZ_IocpSocketMgr::Initialize(BYTE byFlags, int nWorkThread, DWORD, DWORD)
{
    if (m_hIocp != NULL)
        return false;
    m_hIocp = CreateIoCompletionPort(INVALID_HANDLE_VALUE, NULL, 0, 0);
    if (m_hIocp == NULL) {
        VZ_Trace("CreateIoCompletionPort() failed with error: %d\r\n", WSAGetLastError());
        return false;
    }
    m_bStopping = false;
    if (IsRecording())
        OpenRecordFile();
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    int iProcessors = static_cast<int>(si.dwNumberOfProcessors);
    StartTimers(byFlags, this, iProcessors);
    if (nWorkThread <= 0)
        nWorkThread = iProcessors + 1;
    int iThreadCount = StartThreads(IOCP_THREAD_IOWORK, nWorkThread, 0);
    VZ_ASSERT(iThreadCount == nWorkThread);
    // An unnamed event: a named one would be shared by every manager of
    // every process that starts at the same moment.
    HANDLE hReady = CreateEventW(NULL, FALSE, FALSE, NULL);
    iThreadCount = StartThreads(IOCP_THREAD_CONNECT, 1, reinterpret_cast<ULONG_PTR>(hReady));
    VZ_ASSERT(iThreadCount == 1);
    WaitWindowReady(hReady, this, IOCP_THREAD_CONNECT); // Connect needs the window
    StartNameThread(byFlags, this, IOCP_THREAD_DNS);
    ReadSimulatorSettings();
    if (hReady != NULL)
        CloseHandle(hReady);
    return true;
}

// The sockets are closed, their operations cancelled, before the workers are
// told to end (an order of this engine's choosing): the outstanding
// operations then complete with errors, and the workers give every context
// back to the pool, raising nothing, since no record is left for them.
bool VZ_IocpSocketMgr::Uninitialize(DWORD)
{
    m_bStopping = true;
    StopTimers();
    StopHelperThreads();
    CloseAllSockets();
    WaitForContexts();
    StopWorkers();
    if (m_hIocp != NULL) {
        CloseHandle(m_hIocp);
        m_hIocp = NULL;
    }
    m_dwConnectThreadId = 0;
    return true;
}

void VZ_IocpSocketMgr::StopHelperThreads()
{
    if (m_dwConnectThreadId != 0)
        PostThreadMessageW(m_dwConnectThreadId, WM_QUIT, 0, 0);
    StopThreads(IOCP_THREAD_CONNECT, STOP_WAIT_MS);
    // The simulator's threads end on m_bStopping; they release held sends
    // through SendRaw, so they stop before the sockets close.
    StopThreads(IOCP_THREAD_SIMULATOR, STOP_WAIT_MS);
    StopThreads(IOCP_THREAD_DELAYSEND, STOP_WAIT_MS);
    StopNameThreads(this, IOCP_THREAD_DNS);
}

void VZ_IocpSocketMgr::CloseAllSockets()
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    m_mapSocket2Data.RemoveAllRecords(m_Memory, [this](_IocpSocketData& isd) {
        if (isd.socket != INVALID_SOCKET)
            CloseWithIo(isd);
        FreeSendQueue(isd);
    });
    m_mapClosingCount.RemoveAll();
    lock.Unlock();
    ForgetAllSimulated();
}

// Bounded: a context held by a worker that runs this very call (Uninitialize
// from inside an event) comes back only after it returns.
void VZ_IocpSocketMgr::WaitForContexts()
{
    if (GetThreadCount(IOCP_THREAD_IOWORK) == 0)
        return;
    // A worker stopping its own engine from inside an event holds the
    // context of that event and the ones it deferred (every context of a
    // deferred gathered send).
    LONG lMine = 0;
    if (t_lpWorker != NULL && t_lpWorker->lpOwner == this) {
        lMine = 1;
        for (const _DEFERRED& d : t_lpWorker->vecDeferred)
            lMine += ChainLength(d.lpIoContext);
    }
    for (DWORD dwWaited = 0; m_lContexts > lMine; dwWaited += 5) {
        if (dwWaited >= STOP_WAIT_MS) {
            CountStopTimeout();
            return;
        }
        Sleep(5);
    }
}

void VZ_IocpSocketMgr::StopWorkers()
{
    int iWorkers = GetThreadCount(IOCP_THREAD_IOWORK);
    for (int i = 0; i < iWorkers && m_hIocp != NULL; ++i)
        PostQueuedCompletionStatus(m_hIocp, 0, EXIT_KEY, NULL);
    StopThreads(IOCP_THREAD_IOWORK, STOP_WAIT_MS);
}

DWORD VZ_IocpSocketMgr::ThreadProc(_THREAD_DATA& td)
{
    switch (td.iThreadType) {
    case IOCP_THREAD_CONNECT:
        ThreadConnect(reinterpret_cast<HANDLE>(td.lpParam));
        break;
    case IOCP_THREAD_IOWORK:
        ThreadIOWork();
        break;
    case IOCP_THREAD_DNS:
        RunNameResolution();
        VZ_Trace("ThreadDnsParse exit\n");
        break;
    case IOCP_THREAD_SIMULATOR:
        ThreadSimulator();
        break;
    case IOCP_THREAD_DELAYSEND:
        ThreadDelaySend();
        break;
    default:
        VZ_ASSERT(false);
        break;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Records and contexts

_IocpIoContext* VZ_IocpSocketMgr::AllocContext(UINT uiSize)
{
    void* p = m_Memory.Alloc(static_cast<UINT>(sizeof(_IocpIoContext)) + uiSize);
    VZ_ASSERT(p);
    if (p == NULL)
        return NULL;
    _IocpIoContext* lpIoContext = static_cast<_IocpIoContext*>(p);
    memset(lpIoContext, 0, sizeof(*lpIoContext));
    lpIoContext->socket = INVALID_SOCKET;
    lpIoContext->wsabuf.len = uiSize;
    lpIoContext->wsabuf.buf = lpIoContext->Data();
    lpIoContext->uiDataSize = uiSize;
    InterlockedIncrement(&m_lContexts);
    return lpIoContext;
}

// A gathered send goes back whole: every path that drops a send holds only
// its first context.
void VZ_IocpSocketMgr::FreeContext(_IocpIoContext* lpIoContext)
{
    while (lpIoContext != NULL) {
        _IocpIoContext* lpNext = lpIoContext->lpGatherNext;
        InterlockedDecrement(&m_lContexts);
        m_Memory.Free(lpIoContext);
        lpIoContext = lpNext;
    }
}

bool VZ_IocpSocketMgr::AddSocket(SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2,
                                 _PROXYDATA* lpProxyData)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = m_mapSocket2Data.Insert(s);
    if (lpIsd == NULL)
        return false;
    _IocpSocketData& isd = *lpIsd;
    NewSocketCore(isd, s, status, dwUserData1, dwUserData2, lpProxyData, &m_ulNextSerial, m_Timer.GetTimerTick());
    isd.bIoSending = 0;
    isd.uiSendGathered = 0;
    isd.listSend.RemoveAll();
    isd.bSkipPort = false;
    isd.lpRecvIo = isd.lpSendIo = NULL;
    return true;
}

bool VZ_IocpSocketMgr::IsListening(SOCKET s)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = FindRecord(s);
    return !m_bStopping && lpIsd != NULL && lpIsd->status == SS_ACCEPTING;
}

_IocpSocketData* VZ_IocpSocketMgr::FindRecord(SOCKET s)
{
    return m_mapSocket2Data.Find(s);
}

void VZ_IocpSocketMgr::VZ_DeliveryHost::ReportSocketError(int iError, SOCKET s, ULONG ulSerial)
{
    m_lpMgr->ReportError(iError, s, NULL, "OnTcpRecv proxy send failed", ulSerial);
}

bool VZ_IocpSocketMgr::ExecIo(_IocpSocketData& isd, _IocpIoContext* lpIoContext, UINT uiOperation, int* lpiError)
{
    VZ_ASSERT(isd.socket != INVALID_SOCKET && lpIoContext);
    ClaimIo(isd, lpIoContext, uiOperation);
    if (PostIo(isd.socket, lpIoContext, lpiError))
        return true;
    (uiOperation == IO_RECV ? isd.lpRecvIo : isd.lpSendIo) = NULL;
    return false;
}

// The context is the record's receive or send from before it is posted: a
// close from then on waits until it is finished (CloseWithIo), so the handle
// is not closed, and perhaps given to a new socket, while the post is under way.
void VZ_IocpSocketMgr::ClaimIo(_IocpSocketData& isd, _IocpIoContext* lpIoContext, UINT uiOperation)
{
    lpIoContext->IoOperation = uiOperation;
    lpIoContext->overlapped.Internal = STATUS_PENDING;
    (uiOperation == IO_RECV ? isd.lpRecvIo : isd.lpSendIo) = lpIoContext;
}

// On failure the claimed context is marked finished, so a close that waits
// for it goes on. A send posts the buffers of its whole chain; WSASend takes
// its own copy of the array, so the array may live on the stack.
bool VZ_IocpSocketMgr::PostIo(SOCKET s, _IocpIoContext* lpIoContext, int* lpiError)
{
    DWORD dwBytes = 0;
    DWORD dwFlags = 0;
    int iResult = 0;
    if (lpIoContext->IoOperation == IO_RECV) {
        iResult = WSARecv(s, &lpIoContext->wsabuf, 1, &dwBytes, &dwFlags, &lpIoContext->overlapped, NULL);
    } else {
        VZ_ASSERT(ChainLength(lpIoContext) <= IOCP_GATHER_BUFFERS);
        WSABUF aBufs[IOCP_GATHER_BUFFERS];
        DWORD dwCount = 0;
        for (const _IocpIoContext* p = lpIoContext; p != NULL && dwCount < IOCP_GATHER_BUFFERS; p = p->lpGatherNext)
            aBufs[dwCount++] = p->wsabuf;
        iResult = WSASend(s, aBufs, dwCount, &dwBytes, 0, &lpIoContext->overlapped, NULL);
    }
    *lpiError = WSAGetLastError();
    if (iResult != 0 && *lpiError != WSA_IO_PENDING) {
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&lpIoContext->overlapped.Internal), NULL);
        return false;
    }
    if (iResult == 0 && lpIoContext->bSkipPort)
        CompletedAtOnce(s, lpIoContext, dwBytes);
    return true;
}

bool VZ_IocpSocketMgr::ExecWSARecvFrom(SOCKET s, _IocpIoContext* lpIoContext, int* lpiError)
{
    VZ_ASSERT(s != INVALID_SOCKET && lpIoContext);
    lpIoContext->wsabuf.buf = lpIoContext->Data() + IOCP_UDP_OFFSET;
    lpIoContext->wsabuf.len = IOCP_RECV_SIZE - IOCP_UDP_OFFSET;
    lpIoContext->fromlen = sizeof(lpIoContext->szFromRoom);
    lpIoContext->IoOperation = IO_RECVFROM;
    DWORD dwBytes = 0;
    DWORD dwFlags = 0;
    int iResult = WSARecvFrom(s, &lpIoContext->wsabuf, 1, &dwBytes, &dwFlags,
                              reinterpret_cast<sockaddr*>(&lpIoContext->from), &lpIoContext->fromlen,
                              &lpIoContext->overlapped, NULL);
    *lpiError = WSAGetLastError();
    return iResult == 0 || *lpiError == WSA_IO_PENDING;
}

// ---------------------------------------------------------------------------
// The common error path: reported once, the socket then waits for CloseSocket.

bool VZ_IocpSocketMgr::ReportError(int iError, SOCKET s, _IocpIoContext* lpIoContext, const char*, ULONG ulSerial)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = FindRecord(s);
    if (lpIsd == NULL || m_mapClosingCount.IsClosing(s) ||
        lpIsd->status == SS_CLOSING)
        return false;
    if (lpIoContext != NULL)
        ulSerial = lpIoContext->ulSerial;
    if (ulSerial != TCP_ANY_SERIAL && ulSerial != lpIsd->ulSerial)
        return false;
    return ReportTerminal(*lpIsd, iError, lock, GetSink());
}

// ---------------------------------------------------------------------------
// Workers

void VZ_IocpSocketMgr::ThreadIOWork()
{
    _WORKERSTATE state;
    state.lpOwner = this;
    t_lpWorker = &state;
    for (;;) {
        DWORD dwBytes = 0;
        ULONG_PTR key = EXIT_KEY;
        OVERLAPPED* lpOverlapped = NULL;
        BOOL bOk = GetQueuedCompletionStatus(m_hIocp, &dwBytes, &key, &lpOverlapped, INFINITE);
        // The exit packet, or the port closed under a waiting worker.
        if (key == EXIT_KEY && dwBytes == 0 && lpOverlapped == NULL) {
            VZ_Trace("ThreadIOWork exit\n");
            t_lpWorker = NULL;
            return;
        }
        _IocpIoContext* lpIoContext = reinterpret_cast<_IocpIoContext*>(lpOverlapped);
        VZ_ASSERT(lpIoContext);
        if (lpIoContext == NULL)
            continue;
        SOCKET s = static_cast<SOCKET>(key);
        if (!bOk)
            OnCompletionFailed(s, lpIoContext);
        else
            OnCompletion(s, lpIoContext, dwBytes);
        RunDeferred();
    }
}

void VZ_IocpSocketMgr::RunDeferred()
{
    std::vector<_DEFERRED>& vec = t_lpWorker->vecDeferred;
    // Handling one may defer more: the loop runs until none is left.
    for (size_t i = 0; i < vec.size(); ++i) {
        _DEFERRED d = vec[i];
        OnCompletion(d.s, d.lpIoContext, d.dwBytes);
    }
    vec.clear();
}

void VZ_IocpSocketMgr::CompletedAtOnce(SOCKET s, _IocpIoContext* lpIoContext, DWORD dwBytes)
{
    if (t_lpWorker != NULL && t_lpWorker->lpOwner == this) {
        _DEFERRED d = {s, lpIoContext, dwBytes};
        t_lpWorker->vecDeferred.push_back(d);
        return;
    }
    if (!PostQueuedCompletionStatus(m_hIocp, dwBytes, static_cast<ULONG_PTR>(s), &lpIoContext->overlapped))
        FreeContext(lpIoContext); // the port is gone: the engine stops
}

bool VZ_IocpSocketMgr::AttachConnected(SOCKET s, bool* lpbSkipPort)
{
    *lpbSkipPort = false;
    if (CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), m_hIocp, static_cast<ULONG_PTR>(s), 0) == NULL)
        return false;
    // One wait on the port less for every send and receive that completes
    // at once, which on loopback is most sends. Not with the fault simulator:
    // with its breaks and held sends, a skipped completion lost a whole read
    // now and then under Wine (about one 10 s simulator soak in twenty; none
    // in 45 with every completion through the port), and speed does not
    // matter while faults are simulated.
    if (!m_bSimulator)
        *lpbSkipPort = SetFileCompletionNotificationModes(reinterpret_cast<HANDLE>(s),
                                                          FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != FALSE;
    return true;
}

void VZ_IocpSocketMgr::TakeInFlight(SOCKET s, const _IocpIoContext* lpIoContext)
{
    if (lpIoContext->IoOperation != IO_RECV && lpIoContext->IoOperation != IO_SEND)
        return;
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = FindRecord(s);
    if (lpIsd == NULL)
        return;
    if (lpIsd->lpRecvIo == lpIoContext)
        lpIsd->lpRecvIo = NULL;
    if (lpIsd->lpSendIo == lpIoContext)
        lpIsd->lpSendIo = NULL;
}

void VZ_IocpSocketMgr::OnCompletionFailed(SOCKET s, _IocpIoContext* lpIoContext)
{
    int iError = static_cast<int>(GetLastError());
    TakeInFlight(s, lpIoContext);
    switch (lpIoContext->IoOperation) {
    case IO_ACCEPT: {
        // A failed accept is replaced on the same context while the listener
        // is open; the accepts of a closed listener just end.
        closesocket(lpIoContext->socket);
        int iAcceptError = 0;
        if (!IsListening(s) || !ExecAcceptEx(s, lpIoContext, &iAcceptError))
            FreeContext(lpIoContext);
        return;
    }
    case IO_RECVFROM:
        break; // a failed datagram (too long, for one) is dropped
    default:
        ReportError(iError, s, lpIoContext, "GetQueuedCompletionStatus failed");
        break;
    }
    FreeContext(lpIoContext);
}

void VZ_IocpSocketMgr::OnCompletion(SOCKET s, _IocpIoContext* lpIoContext, DWORD dwBytes)
{
    TakeInFlight(s, lpIoContext);
    switch (lpIoContext->IoOperation) {
    case IO_ACCEPT:
        OnAcceptCompleted(s, lpIoContext);
        return;
    case IO_RECVFROM:
        DeliverUdp(s, lpIoContext, dwBytes);
        FreeContext(lpIoContext);
        return;
    case IO_RBUF:
    {
        UINT IoOperation = lpIoContext->IoOperation;
        DWORD dwNumberBytes = dwBytes;
        VZ_ASSERT(IoOperation == IO_RECV || dwNumberBytes == 0);
    }
        DeliverTcp(s, lpIoContext, 0);
        return;
    case IO_RECV:
    case IO_SEND:
        if (dwBytes == 0) { // the peer closed
            ReportError(0, s, lpIoContext, "GetQueuedCompletionStatus dwNumberBytes=0");
            FreeContext(lpIoContext);
        } else if (lpIoContext->IoOperation == IO_RECV) {
            DeliverTcp(s, lpIoContext, dwBytes);
        } else {
            OnSendCompleted(s, lpIoContext, dwBytes);
        }
        return;
    default:
        FreeContext(lpIoContext);
        return;
    }
}

// One datagram; no further receive is posted: each Recv yields one.
void VZ_IocpSocketMgr::DeliverUdp(SOCKET s, _IocpIoContext* lpIoContext, DWORD dwBytes)
{
    ISocketMgrSink* lpSink = GetSink();
    if (lpSink == NULL || m_bStopping)
        return;
    const char* p = lpIoContext->wsabuf.buf;
    int n = static_cast<int>(dwBytes);
    sockaddr_in from = lpIoContext->from;
    // A proxied socket's datagrams come from the relay, the sender in the header.
    int iHeader = lpIoContext->socket != INVALID_SOCKET ? ReadRelayHeader(p, n, &from) : 0;
    lpSink->OnUdpRecv(0, s, p + iHeader, n - iHeader, &from, lpIoContext->dwSendParam, lpIoContext->dwUserData2);
}

// The bytes go through the shared receive contract; the context then reads
// on while the sink has asked for more.
void VZ_IocpSocketMgr::DeliverTcp(SOCKET s, _IocpIoContext* lpIoContext, DWORD dwBytes)
{
    const char* lpData = dwBytes > 0 ? lpIoContext->Data() : NULL;
    UINT uiAsked = lpIoContext->IoOperation == IO_RECV ? lpIoContext->wsabuf.len : 0;
    int iResult = m_Delivery.Deliver(s, lpData, dwBytes, lpIoContext->ulSerial, uiAsked);
    // A delivery abandoned by the stop answers "read on" but nothing is
    // pending any more: a read posted now would complete with no notice
    // length while the workers are still draining the port.
    if (iResult == TCPDELIVER_STOP || m_bStopping) {
        FreeContext(lpIoContext);
        return;
    }
    ReadOn(s, lpIoContext);
}

// The read is claimed under the lock and posted after it (WSARecv is a server
// call under Wine, and the table lock is every worker's): a close between
// the two waits for the post (ClaimIo).
void VZ_IocpSocketMgr::ReadOn(SOCKET s, _IocpIoContext* lpIoContext)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = FindRecord(s);
    if (lpIsd == NULL || lpIsd->ulSerial != lpIoContext->ulSerial) {
        lock.Unlock();
        FreeContext(lpIoContext);
        return;
    }
    UINT uiSize = ReadSize(*lpIsd, IOCP_RECV_SIZE);
    if (uiSize > lpIoContext->uiDataSize) {
        _IocpIoContext* lpLarger = AllocContext(uiSize);
        if (lpLarger != NULL) {
            lpLarger->ulSerial = lpIoContext->ulSerial;
            lpLarger->dwSendParam = lpIoContext->dwSendParam;
            lpLarger->dwUserData2 = lpIoContext->dwUserData2;
            lpLarger->bSkipPort = lpIoContext->bSkipPort;
            FreeContext(lpIoContext);
            lpIoContext = lpLarger;
        } else {
            uiSize = lpIoContext->uiDataSize;
        }
    }
    memset(&lpIoContext->overlapped, 0, sizeof(lpIoContext->overlapped));
    lpIoContext->wsabuf.len = uiSize;
    lpIoContext->wsabuf.buf = lpIoContext->Data();
    ClaimIo(*lpIsd, lpIoContext, IO_RECV);
    lock.Unlock();
    int iError = 0;
    if (PostIo(s, lpIoContext, &iError))
        return;
    TakeInFlight(s, lpIoContext);
    ReportError(iError, s, lpIoContext, "GetQueuedCompletionStatus ExecWSARecv failed");
    FreeContext(lpIoContext);
}

// ---------------------------------------------------------------------------
// Recv

bool VZ_IocpSocketMgr::Recv(SOCKET s, UINT uiNoticeLen)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = FindRecord(s);
    if (lpIsd == NULL)
        return false;
    if (lpIsd->socket != s)
        VZ_Trace("isd.socket%d ! = s %d statue=%d\n", static_cast<int>(lpIsd->socket), static_cast<int>(s),
               lpIsd->status);
    _IocpSocketData& isd = *lpIsd;
    VZ_ASSERT(isd.socket == s);
    _IocpIoContext* lpIoContext = NULL;
    int iError = 0;
    if (lpIsd->status == SS_UDP) {
        lpIoContext = AllocContext(IOCP_RECV_SIZE);
        if (lpIoContext == NULL)
            return false;
        lpIoContext->socket = lpIsd->sPair;
        lpIoContext->dwSendParam = lpIsd->dwUserData1;
        lpIoContext->dwUserData2 = lpIsd->dwUserData2;
        if (ExecWSARecvFrom(s, lpIoContext, &iError))
            return true;
        FreeContext(lpIoContext);
        return false;
    }
    if (lpIsd->status != SS_CONNECTED)
        return false;
    int iArm = ArmNotice(*lpIsd, uiNoticeLen);
    if (iArm == NOTICE_PENDING)
        return false;
    if (iArm == NOTICE_ARMED)
        return true;
    lpIoContext = AllocContext(iArm == NOTICE_HELD ? IOCP_RECV_SIZE : ReadSize(*lpIsd, IOCP_RECV_SIZE));
    if (lpIoContext == NULL)
        return false;
    lpIoContext->ulSerial = lpIsd->ulSerial;
    lpIoContext->bSkipPort = lpIsd->bSkipPort;
    if (iArm == NOTICE_HELD) {
        // The bytes are here already: a worker delivers them, never the caller.
        lpIoContext->IoOperation = IO_RBUF;
        if (PostQueuedCompletionStatus(m_hIocp, 0, static_cast<ULONG_PTR>(s), &lpIoContext->overlapped))
            return true;
    } else {
        lpIoContext->dwSendParam = lpIsd->dwUserData1;
        lpIoContext->dwUserData2 = lpIsd->dwUserData2;
        if (ExecIo(*lpIsd, lpIoContext, IO_RECV, &iError))
            return true;
    }
    FreeContext(lpIoContext);
    return false;
}
