// The plain completion-port echo server of the echo benchmark: what a
// minimal Winsock IOCP server costs under the same conditions as the oxnet
// engine (no pool, no records, no sink). Each connection has one buffer and
// one operation in flight: an overlapped receive; when it completes, an
// overlapped send of all the bytes (re-posted for the rest after a short
// send); then the next receive. With bSkipOnSuccess, sockets are put on the
// port with FILE_SKIP_COMPLETION_PORT_ON_SUCCESS, as the oxnet IOCP engine
// does: an operation that completes at once is handled on the spot, without
// a trip through the port.
#include "echo_bench.h"

#include <ws2tcpip.h>

#include <cstdlib>
#include <cstring>

struct VZ_RawIocpEcho::Conn {
    OVERLAPPED ov; // first, so the completion's OVERLAPPED* is the Conn*
    SOCKET s;
    bool bSending;
    DWORD dwLen;  // bytes received, to send back
    DWORD dwSent; // of them sent
    Conn* lpPrev;
    Conn* lpNext;
    char buf[ECHO_BUF_SIZE];
};

namespace {

const ULONG_PTR QUIT_KEY = ~(ULONG_PTR)0;

} // namespace

VZ_RawIocpEcho::VZ_RawIocpEcho(int iWorkers, bool bSkipOnSuccess, UINT uiRecvSize)
    : m_iWorkers(iWorkers < 1 ? 1 : iWorkers > MAX_WORKERS ? MAX_WORKERS : iWorkers),
      m_bSkipOnSuccess(bSkipOnSuccess),
      m_uiRecvSize(uiRecvSize < 1 || uiRecvSize > ECHO_BUF_SIZE ? ECHO_BUF_SIZE : uiRecvSize),
      m_hIocp(NULL),
      m_sListen(INVALID_SOCKET), m_hAcceptThread(NULL), m_iWorkerCount(0), m_lStop(0), m_lAccepted(0), m_lOpen(0),
      m_lpConns(NULL)
{
    InitializeCriticalSection(&m_csConns);
}

VZ_RawIocpEcho::~VZ_RawIocpEcho()
{
    Stop();
    DeleteCriticalSection(&m_csConns);
}

USHORT VZ_RawIocpEcho::Start(USHORT usPort)
{
    m_hIocp = CreateIoCompletionPort(INVALID_HANDLE_VALUE, NULL, 0, (DWORD)m_iWorkers);
    USHORT usListening = 0;
    m_sListen = VZ_ListenLoopback(usPort, 256, true, &usListening);
    if (!m_hIocp || m_sListen == INVALID_SOCKET)
        return 0;
    m_lStop = 0;
    for (int i = 0; i < m_iWorkers; ++i) {
        HANDLE h = CreateThread(NULL, 0, WorkerMain, this, 0, NULL);
        if (!h)
            return 0;
        m_hWorkers[m_iWorkerCount++] = h;
    }
    m_hAcceptThread = CreateThread(NULL, 0, AcceptMain, this, 0, NULL);
    return m_hAcceptThread ? usListening : 0;
}

void VZ_RawIocpEcho::Stop()
{
    InterlockedExchange(&m_lStop, 1);
    if (m_hAcceptThread) {
        // It polls the flag every 50 ms and closes the listening socket itself.
        if (WaitForSingleObject(m_hAcceptThread, 5000) == WAIT_OBJECT_0)
            CloseHandle(m_hAcceptThread);
        m_hAcceptThread = NULL;
    } else if (m_sListen != INVALID_SOCKET) {
        closesocket(m_sListen);
    }
    m_sListen = INVALID_SOCKET;
    // Closing the sockets fails their pending operations; the workers free
    // each connection as its failure comes out of the port.
    EnterCriticalSection(&m_csConns);
    for (Conn* lp = m_lpConns; lp; lp = lp->lpNext)
        closesocket(lp->s), lp->s = INVALID_SOCKET;
    LeaveCriticalSection(&m_csConns);
    for (int i = 0; i < 200 && m_lOpen > 0 && m_iWorkerCount > 0; ++i)
        Sleep(10);
    for (int i = 0; i < m_iWorkerCount; ++i)
        PostQueuedCompletionStatus(m_hIocp, 0, QUIT_KEY, NULL);
    for (int i = 0; i < m_iWorkerCount; ++i) {
        WaitForSingleObject(m_hWorkers[i], 5000);
        CloseHandle(m_hWorkers[i]);
    }
    m_iWorkerCount = 0;
    if (m_hIocp)
        CloseHandle(m_hIocp);
    m_hIocp = NULL;
}

DWORD WINAPI VZ_RawIocpEcho::AcceptMain(LPVOID lpParam)
{
    static_cast<VZ_RawIocpEcho*>(lpParam)->AcceptLoop();
    return 0;
}

DWORD WINAPI VZ_RawIocpEcho::WorkerMain(LPVOID lpParam)
{
    static_cast<VZ_RawIocpEcho*>(lpParam)->WorkerLoop();
    return 0;
}

void VZ_RawIocpEcho::AcceptLoop()
{
    while (!m_lStop) {
        fd_set fdRead;
        FD_ZERO(&fdRead);
        FD_SET(m_sListen, &fdRead);
        timeval tv = {0, 50000};
        if (select(0, &fdRead, NULL, NULL, &tv) <= 0)
            continue;
        for (;;) {
            SOCKET s = accept(m_sListen, NULL, NULL);
            if (s == INVALID_SOCKET)
                break;
            // Accepted sockets inherit non-blocking mode: fine for overlapped I/O.
            BOOL bNoDelay = TRUE;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&bNoDelay, sizeof(bNoDelay));
            Conn* lpConn = (Conn*)std::calloc(1, sizeof(Conn));
            if (!lpConn || CreateIoCompletionPort((HANDLE)s, m_hIocp, 0, 0) == NULL ||
                (m_bSkipOnSuccess &&
                 !SetFileCompletionNotificationModes((HANDLE)s, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS))) {
                std::free(lpConn);
                closesocket(s);
                continue;
            }
            lpConn->s = s;
            InterlockedIncrement(&m_lAccepted);
            InterlockedIncrement(&m_lOpen);
            EnterCriticalSection(&m_csConns);
            lpConn->lpNext = m_lpConns;
            if (m_lpConns)
                m_lpConns->lpPrev = lpConn;
            m_lpConns = lpConn;
            LeaveCriticalSection(&m_csConns);
            DWORD dwDone = 0;
            int iPosted = Post(lpConn, false, &dwDone);
            if (iPosted < 0 || (iPosted == 0 && !Advance(lpConn, dwDone)))
                Drop(lpConn);
        }
    }
    // Closed on this thread: it is the one that waits on it in select.
    closesocket(m_sListen);
}

// Posts the connection's next operation: a receive into the whole buffer or
// a send of the bytes not sent yet. 1 pending (its completion will come out
// of the port), 0 completed at once with *lpdwDone bytes and no completion
// queued (only with FILE_SKIP_COMPLETION_PORT_ON_SUCCESS), -1 failed.
int VZ_RawIocpEcho::Post(Conn* lpConn, bool bSend, DWORD* lpdwDone)
{
    std::memset(&lpConn->ov, 0, sizeof(lpConn->ov));
    lpConn->bSending = bSend;
    int iRet;
    if (bSend) {
        WSABUF wb = {lpConn->dwLen - lpConn->dwSent, lpConn->buf + lpConn->dwSent};
        iRet = WSASend(lpConn->s, &wb, 1, lpdwDone, 0, &lpConn->ov, NULL);
    } else {
        WSABUF wb = {m_uiRecvSize, lpConn->buf};
        DWORD dwFlags = 0;
        iRet = WSARecv(lpConn->s, &wb, 1, lpdwDone, &dwFlags, &lpConn->ov, NULL);
    }
    if (iRet == 0)
        return m_bSkipOnSuccess ? 0 : 1;
    return WSAGetLastError() == WSA_IO_PENDING ? 1 : -1;
}

// Goes on from a completed operation of dwBytes bytes, posting the next ones,
// until one is pending; false when the connection is to be dropped (the peer
// closed, or a post failed).
bool VZ_RawIocpEcho::Advance(Conn* lpConn, DWORD dwBytes)
{
    for (;;) {
        if (dwBytes == 0)
            return false;
        if (!lpConn->bSending) {
            lpConn->dwLen = dwBytes;
            lpConn->dwSent = 0;
        } else {
            lpConn->dwSent += dwBytes;
        }
        bool bSend = !lpConn->bSending || lpConn->dwSent < lpConn->dwLen;
        dwBytes = 0;
        int iPosted = Post(lpConn, bSend, &dwBytes);
        if (iPosted != 0)
            return iPosted > 0;
    }
}

void VZ_RawIocpEcho::WorkerLoop()
{
    for (;;) {
        DWORD dwBytes = 0;
        ULONG_PTR ulKey = 0;
        OVERLAPPED* lpOv = NULL;
        BOOL bOk = GetQueuedCompletionStatus(m_hIocp, &dwBytes, &ulKey, &lpOv, INFINITE);
        if (!lpOv) {
            if (ulKey == QUIT_KEY || !bOk)
                return;
            continue;
        }
        Conn* lpConn = reinterpret_cast<Conn*>(lpOv);
        if (!bOk || !Advance(lpConn, dwBytes)) // failed, or the peer closed
            Drop(lpConn);
    }
}

// Called once per connection, when its only operation has ended (or could not
// be posted): nothing of it is in flight.
void VZ_RawIocpEcho::Drop(Conn* lpConn)
{
    EnterCriticalSection(&m_csConns);
    if (lpConn->lpPrev)
        lpConn->lpPrev->lpNext = lpConn->lpNext;
    else
        m_lpConns = lpConn->lpNext;
    if (lpConn->lpNext)
        lpConn->lpNext->lpPrev = lpConn->lpPrev;
    if (lpConn->s != INVALID_SOCKET)
        closesocket(lpConn->s);
    LeaveCriticalSection(&m_csConns);
    std::free(lpConn);
    InterlockedDecrement(&m_lOpen);
}
