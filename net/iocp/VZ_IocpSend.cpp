// Completion-port engine: the send path (one WSASend per socket outstanding,
// the rest queued in call order and gathered into the next WSASend),
// datagram sends, and closing a socket with everything it owns.
#include <winsock2.h>
#include <windows.h>

#include <string.h>

#include "VZ_Assert.h"
#include "VZ_IocpSocketMgr.h"

// ---------------------------------------------------------------------------
// TCP sends

bool VZ_IocpSocketMgr::Send(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued)
{
    VZ_ASSERT(buf != NULL);
    VZ_ASSERT(len > 0);
    if (buf == NULL || len <= 0)
        return false;
    // The fault simulator may hold the bytes back; lpuiQueued is not written then.
    if (m_bSimulator && OfferDelay(s, buf, len, dwSendParam))
        return true;
    return SendCopy(s, buf, len, dwSendParam, lpuiQueued);
}

bool VZ_IocpSocketMgr::SendRaw(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued)
{
    VZ_ASSERT(buf != NULL);
    VZ_ASSERT(len > 0);
    if (buf == NULL || len <= 0)
        return false;
    return SendCopy(s, buf, len, dwSendParam, lpuiQueued);
}

// The copy is made before the table lock, which every worker needs.
bool VZ_IocpSocketMgr::SendCopy(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued)
{
    _IocpIoContext* lpIoContext = AllocContext(static_cast<UINT>(len));
    if (lpIoContext == NULL)
        return false;
    memcpy(lpIoContext->Data(), buf, static_cast<size_t>(len));
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = FindRecord(s);
    if (lpIsd == NULL || lpIsd->status != SS_CONNECTED) {
        lock.Unlock();
        FreeContext(lpIoContext);
        return false;
    }
    _IocpSocketData& isd = *lpIsd;
    VZ_ASSERT(isd.socket == s);
    return PostSend(s, lpIoContext, dwSendParam, lpuiQueued, lock);
}

// One context receives the entries in order; never through the simulator.
bool VZ_IocpSocketMgr::SendV(SOCKET s, const _SOCKBUF* lpBufs, UINT uiCount, DWORD dwSendParam, UINT* lpuiQueued)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = FindRecord(s);
    if (lpIsd == NULL || lpIsd->status != SS_CONNECTED || (lpBufs == NULL && uiCount > 0))
        return false;
    UINT uiTotal = 0;
    for (UINT i = 0; i < uiCount; ++i)
        uiTotal += lpBufs[i].uiLen;
    if (uiTotal == 0)
        return false;
    _IocpIoContext* lpIoContext = AllocContext(uiTotal);
    if (lpIoContext == NULL)
        return false;
    char* p = lpIoContext->Data();
    for (UINT i = 0; i < uiCount; ++i) {
        if (lpBufs[i].uiLen > 0)
            memcpy(p, lpBufs[i].lpBuf, lpBufs[i].uiLen);
        p += lpBufs[i].uiLen;
    }
    return PostSend(s, lpIoContext, dwSendParam, lpuiQueued, lock);
}

// Record locked and connected: the context goes out now, or behind the
// outstanding send. It is claimed as the record's send under the lock and
// posted after it, as a read is (ClaimIo): a close meanwhile waits for the
// post, and a send meanwhile queues behind it.
bool VZ_IocpSocketMgr::PostSend(SOCKET s, _IocpIoContext* lpIoContext, DWORD dwSendParam, UINT* lpuiQueued,
                                VZ_AutoLock& lock)
{
    _IocpSocketData& isd = *FindRecord(s);
    lpIoContext->ulSerial = isd.ulSerial;
    lpIoContext->bSkipPort = isd.bSkipPort;
    lpIoContext->dwSendParam = dwSendParam;
    lpIoContext->bHandshake = VZ_ProxySession::IsNegotiating(isd);
    isd.dwLastSendParam = dwSendParam;
    if (isd.bIoSending)
        isd.listSend.AddTail(lpIoContext);
    else
        ClaimIo(isd, lpIoContext, IO_SEND);
    // Sends not yet done besides the outstanding WSASend's first.
    if (lpuiQueued != NULL)
        *lpuiQueued = isd.uiSendGathered + static_cast<UINT>(isd.listSend.GetCount());
    if (isd.bIoSending)
        return true;
    isd.bIoSending = TRUE;
    lock.Unlock();
    int iError = 0;
    if (PostIo(s, lpIoContext, &iError))
        return true;
    DropClaimedSend(s, lpIoContext);
    return false;
}

// A failed post: the claim is given up and the context freed. A send that
// queued behind it meanwhile cannot go out either (the socket failed): it
// is dropped with it, so a later send does not overtake it.
void VZ_IocpSocketMgr::DropClaimedSend(SOCKET s, _IocpIoContext* lpIoContext)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = FindRecord(s);
    if (lpIsd != NULL && lpIsd->lpSendIo == lpIoContext) {
        lpIsd->lpSendIo = NULL;
        lpIsd->bIoSending = FALSE;
        lpIsd->uiSendGathered = 0;
        FreeSendQueue(*lpIsd);
    }
    lock.Unlock();
    FreeContext(lpIoContext);
}

namespace {

// Splits a finished send after its dwBytes: the fully sent contexts stay
// chained from lpIoContext; the rest, from the partly sent one (advanced past
// its sent bytes), is returned, NULL when everything went out.
_IocpIoContext* SplitSent(_IocpIoContext* lpIoContext, DWORD dwBytes)
{
    _IocpIoContext* lpLastDone = NULL;
    _IocpIoContext* lpRest = lpIoContext;
    while (lpRest != NULL && dwBytes >= lpRest->wsabuf.len) {
        dwBytes -= lpRest->wsabuf.len;
        lpLastDone = lpRest;
        lpRest = lpRest->lpGatherNext;
    }
    if (lpRest != NULL) {
        lpRest->wsabuf.buf += dwBytes;
        lpRest->wsabuf.len -= dwBytes;
    }
    if (lpLastDone != NULL)
        lpLastDone->lpGatherNext = NULL;
    return lpRest;
}

} // namespace

// The sent part goes to the sink, the rest and the queue out in the next
// WSASend: the unsent contexts first, so the bytes keep their call order.
void VZ_IocpSocketMgr::OnSendCompleted(SOCKET s, _IocpIoContext* lpIoContext, DWORD dwBytes)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _IocpSocketData* lpIsd = FindRecord(s);
    if (lpIsd == NULL || lpIsd->ulSerial != lpIoContext->ulSerial || lpIsd->status != SS_CONNECTED) {
        lock.Unlock();
        FreeContext(lpIoContext);
        return;
    }
    _IocpSocketData& isd = *lpIsd;
    VZ_ASSERT(isd.bIoSending);
    ULONG ulSerial = lpIoContext->ulSerial;
    _IocpIoContext* lpRest = SplitSent(lpIoContext, dwBytes);
    _IocpIoContext* lpDone = lpRest == lpIoContext ? NULL : lpIoContext;
    UINT uiBehind = isd.uiSendGathered + static_cast<UINT>(isd.listSend.GetCount()); // behind the first
    bool bEach = (isd.dwFlags & SOCKET_FLAG_PARTIAL_SEND) != 0;
    if (lpDone != NULL)
        isd.dwLastSendTime = m_Timer.GetTimerTick();
    int iError = 0;
    bool bPosted = SendNext(isd, lpRest, &iError);
    bool bDrained = !isd.bIoSending;
    _RECORDVIEW view = ViewOf(lpIsd);
    lock.Unlock();
    if (!bPosted) {
        ReportError(iError, s, NULL, "GetQueuedCompletionStatus ExecWSASend failed", ulSerial);
        FreeContext(lpDone);
        return;
    }
    ReportSent(s, view, lpDone, uiBehind, bEach, bDrained);
}

// A failed post drops the queue with it, as DropClaimedSend does.
bool VZ_IocpSocketMgr::SendNext(_IocpSocketData& isd, _IocpIoContext* lpFirst, int* lpiError)
{
    if (lpFirst == NULL && !isd.listSend.IsEmpty())
        lpFirst = isd.listSend.RemoveHead();
    isd.bIoSending = FALSE;
    isd.uiSendGathered = 0;
    if (lpFirst == NULL)
        return true;
    GatherQueued(isd, lpFirst);
    memset(&lpFirst->overlapped, 0, sizeof(lpFirst->overlapped));
    if (ExecIo(isd, lpFirst, IO_SEND, lpiError)) {
        isd.bIoSending = TRUE;
        return true;
    }
    isd.uiSendGathered = 0;
    FreeSendQueue(isd);
    FreeContext(lpFirst);
    return false;
}

// Queued sends join lpFirst's chain up to the gather bounds; the first
// context alone may exceed the byte bound.
void VZ_IocpSocketMgr::GatherQueued(_IocpSocketData& isd, _IocpIoContext* lpFirst)
{
    UINT uiCount = 1;
    ULONG ulBytes = lpFirst->wsabuf.len;
    _IocpIoContext* lpLast = lpFirst;
    for (; lpLast->lpGatherNext != NULL; lpLast = lpLast->lpGatherNext, ++uiCount)
        ulBytes += lpLast->lpGatherNext->wsabuf.len;
    while (uiCount < IOCP_GATHER_BUFFERS && !isd.listSend.IsEmpty() &&
           ulBytes + isd.listSend.GetHead()->wsabuf.len <= IOCP_GATHER_BYTES) {
        lpLast = lpLast->lpGatherNext = isd.listSend.RemoveHead();
        ulBytes += lpLast->wsabuf.len;
        ++uiCount;
    }
    isd.uiSendGathered = uiCount - 1;
}

// lpDone chains the sends done, in call order, uiBehind sends behind the
// first. The sink hears of each one with partial-send reports on, else of
// the last once nothing is left to send; never of a proxy's handshake
// message. All but the last context go back first: an Uninitialize inside
// the event waits for only the one context the event holds.
void VZ_IocpSocketMgr::ReportSent(SOCKET s, const _RECORDVIEW& view, _IocpIoContext* lpDone, UINT uiBehind,
                                  bool bEach, bool bDrained)
{
    struct _SENT {
        DWORD dwSendParam;
        UINT uiQueued;
    } aSent[IOCP_GATHER_BUFFERS];
    UINT uiSent = 0;
    for (; lpDone != NULL; --uiBehind) {
        _IocpIoContext* lpNext = lpDone->lpGatherNext;
        if (!lpDone->bHandshake && (bEach || (lpNext == NULL && bDrained)) && uiSent < IOCP_GATHER_BUFFERS)
            aSent[uiSent++] = {lpDone->dwSendParam, uiBehind};
        if (lpNext == NULL)
            break;
        lpDone->lpGatherNext = NULL;
        FreeContext(lpDone);
        lpDone = lpNext;
    }
    ISocketMgrSink* lpSink = GetSink();
    for (UINT i = 0; i < uiSent && lpSink != NULL; ++i)
        lpSink->OnTcpSend(0, s, view.dwUserData1, view.dwUserData2, aSent[i].dwSendParam, aSent[i].uiQueued);
    FreeContext(lpDone);
}

// ---------------------------------------------------------------------------
// Datagrams

int VZ_IocpSocketMgr::SendTo(SOCKET s, const sockaddr_in* lpRemoteAddr, const char* buf, int len, bool bDirect)
{
    if (m_bSimulator && buf != NULL && len > 0 && lpRemoteAddr != NULL && IsLostDatagram())
        return 0; // dropped, as if sent
    return SendToChecked(s, lpRemoteAddr, buf, len, bDirect,
                         [](const _RECORDVIEW& isd) { VZ_ASSERT(isd.lpProxyData != NULL); });
}

// ---------------------------------------------------------------------------
// Close

// The socket's operations are cancelled first: a send the peer never reads
// would otherwise keep its pool block until the peer closes (closesocket
// alone may not end it).
void VZ_IocpSocketMgr::FreeSendQueue(_IocpSocketData& isd)
{
    while (!isd.listSend.IsEmpty())
        FreeContext(isd.listSend.RemoveHead());
}

namespace {

const DWORD CLOSE_WAIT_MS = 2000; // bounds CloseWithIo's wait; only a hang reaches it

bool IsFinishing(const _IocpIoContext* lpIoContext)
{
    return lpIoContext != NULL && !HasOverlappedIoCompleted(&lpIoContext->overlapped);
}

} // namespace

// When a pending receive's bytes (or a pending send's room) arrive, Wine
// finishes the operation later on the thread that posted it, finding the
// socket again by its handle value; CancelIoEx does not reach an operation
// in that state. Closed then, the handle value may already name a new
// socket when the operation runs: it reads or writes the new socket and then
// waits on the closed one for good, so its context never comes back. The
// handle is therefore closed only once the posted operations are finished
// (cancelled again each round, as a finishing receive that found nothing
// waits anew).
void VZ_IocpSocketMgr::CloseWithIo(_IocpSocketData& isd)
{
    HANDLE h = reinterpret_cast<HANDLE>(isd.socket);
    CancelIoEx(h, NULL);
    ULONGLONG ullStart = GetTickCount64();
    while ((IsFinishing(isd.lpRecvIo) || IsFinishing(isd.lpSendIo)) && GetTickCount64() - ullStart < CLOSE_WAIT_MS) {
        Sleep(0);
        CancelIoEx(h, NULL);
    }
    closesocket(isd.socket);
}

// No event for a local close: the socket's outstanding operations complete
// with errors and are dropped by their serial.
bool VZ_IocpSocketMgr::CloseSocket(SOCKET s)
{
    if (s == INVALID_SOCKET)
        return false;
    KillAllTimers(s);
    if (m_bSimulator)
        ForgetSimulated(s);
    int iOldStatus = SS_CLOSED;
    SOCKET sPair = INVALID_SOCKET;
    if (!m_mapSocket2Data.RemoveRecord(s, m_Memory, [this, s](_IocpSocketData& isd) {
            VZ_ASSERT(isd.socket == s);
            FreeSendQueue(isd);
            CloseWithIo(isd);
            if (isd.status == SS_CONNECTING && GetHwnd() != NULL) {
                // A connect notice of this handle may still be queued for the
                // window: it is ignored until the window has seen this release.
                m_mapClosingCount.AddClose(s, GetHwnd(), WM_IOCP_RELEASE);
            }
        }, &iOldStatus, &sPair))
        return false;
    if (iOldStatus == SS_UDP && sPair != INVALID_SOCKET)
        CloseSocket(sPair); // the relay's TCP control socket
    return true;
}
