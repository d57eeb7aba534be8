// Select engine: one select thread of at most 64 sockets, its records, its
// three sets, the select loop and the read, write and except passes.
#include <winsock2.h>
#include <windows.h>

#include <string.h>

#include <chrono>

#include "VZ_Assert.h"
#include "VZ_SelectSocketMgr.h"

typedef VZ_SelectSocketMgr::VZ_SelectThread VZ_SelectThread;

namespace {

const int STATUS_NONE = SS_CLOSED; // a socket without record, inside the passes
const UINT RECORD_BUCKETS = 17;

// A non-blocking UDP socket on 127.0.0.1 and its address; INVALID_SOCKET
// when it cannot be made.
SOCKET MakeWakeSocket(sockaddr_in* lpAddr)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    *lpAddr = VZ_MakeInetAddress(inet_addr("127.0.0.1"), 0);
    int iLen = sizeof(*lpAddr);
    u_long ulNonBlocking = 1;
    if (s != INVALID_SOCKET &&
        (bind(s, reinterpret_cast<const sockaddr*>(lpAddr), sizeof(*lpAddr)) != 0 ||
         getsockname(s, reinterpret_cast<sockaddr*>(lpAddr), &iLen) != 0 || ioctlsocket(s, FIONBIO, &ulNonBlocking) != 0)) {
        closesocket(s);
        s = INVALID_SOCKET;
    }
    return s;
}
// Events of a thread made while the manager had no sink go nowhere; an
// incoming connection is refused, since nobody would ever close it.
class VZ_NullSink : public ISocketMgrSink {
public:
    bool OnSocketPreAccept(const sockaddr_in*, const sockaddr_in*) override { return false; }
    void OnTcpConnect(int, SOCKET, DWORD, DWORD) override {}
    void OnTcpAccept(int, SOCKET, SOCKET, const sockaddr_in*, const sockaddr_in*) override {}
    void OnTcpRecv(int, SOCKET, const char*, UINT*, DWORD, DWORD) override {}
    void OnUdpRecv(int, SOCKET, const char*, int, const sockaddr_in*, DWORD, DWORD) override {}
    void OnTcpSend(int, SOCKET, DWORD, DWORD, DWORD, UINT) override {}
    void OnSocketClose(int, SOCKET, int, DWORD, DWORD) override {}
    void OnRecvTimeout(int, SOCKET, DWORD, DWORD) override {}
    void OnSendTimeout(int, SOCKET, DWORD, DWORD) override {}
    void OnDnsParse(const char*, ULONG) override {}
    void OnTimer(SOCKET, UINT, DWORD, DWORD, DWORD) override {}
    void OnProxyResult(int, SOCKET, const sockaddr_in*, DWORD, DWORD) override {}
    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override { return 0; }
};

VZ_NullSink g_NullSink;

} // namespace

VZ_SelectThread::VZ_SelectThread(VZ_SelectSocketMgr* pSocketMgr, ISocketMgrSink* pSink)
    : VZ_TcpDeliveryHost(&m_mapSocket2Data), m_hWakeEvent(CreateEventW(NULL, FALSE, FALSE, NULL)), m_hExitEvent(CreateEventW(NULL, FALSE, FALSE, NULL)),
      m_pSocketMgr(pSocketMgr), m_pSink(pSink != NULL ? pSink : &g_NullSink), m_ulNextSerial(1), m_mapSocket2Data(10),
      m_Delivery(this, TCPDELIVER_MODE_SELECT), m_bInSelect(false), m_ulCloseRound(0),
      m_sWake(MakeWakeSocket(&m_addrWake)), m_bWakeSent(false), m_bWakePending(false), m_lWaitUsec(SELECT_WAIT_USEC)
{
    m_fdRead.fd_count = 0;
    m_fdWrite.fd_count = 0;
    m_fdExcept.fd_count = 0;
    m_mapSocket2Data.InitHashTable(RECORD_BUCKETS);
}

VZ_SelectThread::~VZ_SelectThread()
{
    CloseHandle(m_hWakeEvent);
    CloseHandle(m_hExitEvent);
    if (m_sWake != INVALID_SOCKET)
        closesocket(m_sWake);
}

void VZ_SelectThread::Stop()
{
    SetEvent(m_hExitEvent);
    {
        VZ_AutoLock lock(&m_lckFdSet);
        m_fdRead.fd_count = m_fdWrite.fd_count = m_fdExcept.fd_count = 0;
    }
    WakeSelect(); // an idle thread's select may wait long
    // Stopped from inside one of its own events: the thread cannot wait for
    // itself; it ends when the event returns (the pass finds no records left).
    if (IsCurrentThread())
        SetStopFlag();
    else
        VZ_Thread::Stop();
    {
        VZ_AutoLock lock(&m_lckFdSet);
        m_bInSelect = false; // the thread ended, or runs an event
    }
    ClosePending();
    // No events for these closes: the manager is going away.
    m_mapSocket2Data.RemoveAllRecords(m_pSocketMgr->m_Memory, [this](_SelectSocketData& ssd) {
        if (ssd.socket != INVALID_SOCKET)
            closesocket(ssd.socket);
        FreeRecordBlocks(ssd);
    });
}

// ---------------------------------------------------------------------------
// Records

int VZ_SelectThread::AddRecord(SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2,
                               _PROXYDATA* lpProxyData)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _SelectSocketData* lpssd = m_mapSocket2Data.Insert(s); // empty list
    if (lpssd == NULL)
        return 0;
    m_pSocketMgr->NewSocketCore(*lpssd, s, status, dwUserData1, dwUserData2, lpProxyData, &m_ulNextSerial, GetClock());
    return m_mapSocket2Data.GetCount();
}

bool VZ_SelectThread::RemoveSocket(SOCKET s, _REMOVED* lpRemoved)
{
    {
        VZ_AutoLock lock(&m_lckFdSet);
        RemoveFromSet(m_fdRead, s);
        RemoveFromSet(m_fdWrite, s);
        RemoveFromSet(m_fdExcept, s);
    }
    VZ_AutoLock lock(&m_mapSocket2Data);
    if (!m_mapSocket2Data.RemoveRecord(s, m_pSocketMgr->m_Memory, [this, s, lpRemoved](_SelectSocketData& ssd) {
            FreeRecordBlocks(ssd);
            lpRemoved->bDeferred = CloseOrDefer(s, &lpRemoved->ulRound);
        }, &lpRemoved->iStatus, &lpRemoved->sPair))
        return false;
    lpRemoved->iLeft = m_mapSocket2Data.GetCount();
    return true;
}

// A socket closed while another thread waits in select on it can take the
// whole process's socket layer down under Wine. So while this thread is
// inside select (on a copy of the sets that may hold s) it closes s itself
// as soon as select returns, woken at once; at any other time s is in no
// copy and is closed here and now. The passes read a socket only under the
// record lock and while its record exists (WithLiveRecord), so a handle
// closed here, or reused meanwhile, is never read for the removed record.
bool VZ_SelectThread::CloseOrDefer(SOCKET s, ULONG* lpulRound)
{
    {
        VZ_AutoLock lock(&m_lckFdSet);
        if (m_bInSelect) {
            m_arrClosing.Add(s);
            *lpulRound = m_ulCloseRound;
        } else {
            lock.Unlock();
            closesocket(s);
            return false;
        }
    }
    WakeSelect();
    return true;
}

void VZ_SelectThread::ClosePending()
{
    VZ_AutoLock lock(&m_lckFdSet);
    if (m_arrClosing.GetSize() == 0)
        return;
    for (int i = 0; i < m_arrClosing.GetSize(); ++i)
        closesocket(m_arrClosing[i]);
    m_arrClosing.RemoveAll();
    {
        std::lock_guard<std::mutex> lockRound(m_mtxClose);
        ++m_ulCloseRound;
    }
    m_cvClose.notify_all();
}

// Bounded: a thread that does not come back from select in time (it cannot
// be blocked by the host, select has a time-out) closes the socket later.
void VZ_SelectThread::WaitClosed(ULONG ulRound)
{
    std::unique_lock<std::mutex> lock(m_mtxClose);
    m_cvClose.wait_for(lock, std::chrono::milliseconds(SELECT_CLOSE_WAIT_MS),
                       [&] { return m_ulCloseRound != ulRound; });
}

// One datagram per select at most: the thread clears the flag before it
// drains the socket, so a later request sends again.
void VZ_SelectThread::WakeSelect()
{
    if (m_sWake != INVALID_SOCKET && !m_bWakeSent.exchange(true))
        sendto(m_sWake, "", 1, 0, reinterpret_cast<const sockaddr*>(&m_addrWake), sizeof(m_addrWake));
}

// Takes the wake socket out of a select's result (which then fits an
// fd_set again) and empties it when it was signalled.
void VZ_SelectThread::TakeWake(_WIDESET* lpSet)
{
    for (u_int i = 0; i < lpSet->fd_count; ++i) {
        if (lpSet->fd_array[i] == m_sWake) {
            lpSet->fd_array[i] = lpSet->fd_array[--lpSet->fd_count];
            DrainWake();
            return;
        }
    }
}

void VZ_SelectThread::DrainWake()
{
    m_bWakeSent = false;
    char by = 0;
    while (recv(m_sWake, &by, 1, 0) >= 0) {
    }
}

void VZ_SelectThread::FreeRecordBlocks(_SelectSocketData& ssd)
{
    m_pSocketMgr->FreeSendQueue(ssd.listSend);
}

_SelectSocketData* VZ_SelectThread::LockRecord(SOCKET s)
{
    m_mapSocket2Data.Lock();
    return FindRecord(s);
}

// A record always carries the handle it is filed under.
_SelectSocketData* VZ_SelectThread::FindRecord(SOCKET s)
{
    _SelectSocketData* lpssd = m_mapSocket2Data.Find(s);
    if (lpssd != NULL) {
        const _SelectSocketData& ssd = *lpssd;
        VZ_ASSERT(ssd.socket == s);
    }
    return lpssd;
}

// ---------------------------------------------------------------------------
// Sets

void VZ_SelectThread::AddToSet(fd_set& set, SOCKET s)
{
    VZ_AutoLock lock(&m_lckFdSet);
    for (u_int i = 0; i < set.fd_count; ++i)
        if (set.fd_array[i] == s)
            return;
    if (set.fd_count < SELECT_MAX_SOCKETS) { // a 65th socket is silently refused
        set.fd_array[set.fd_count++] = s;
        if (m_bInSelect)
            WakeSelect(); // the select under way does not watch s, and may wait long
    }
}

void VZ_SelectThread::RemoveFromSet(fd_set& set, SOCKET s)
{
    VZ_AutoLock lock(&m_lckFdSet);
    for (u_int i = 0; i < set.fd_count; ++i) {
        if (set.fd_array[i] == s) {
            memmove(&set.fd_array[i], &set.fd_array[i + 1], (set.fd_count - i - 1) * sizeof(SOCKET));
            --set.fd_count;
            return;
        }
    }
}

bool VZ_SelectThread::Watch(fd_set& set, SOCKET s, int status, ULONG ulSerial)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _SelectSocketData* lpssd = FindRecord(s);
    if (lpssd == NULL)
        return false;
    // A read for a connected socket is dropped when the socket was replaced.
    if (&set == &m_fdRead && status == SS_CONNECTED && ulSerial != 0 && ulSerial != lpssd->ulSerial)
        return false;
    AddToSet(set, s);
    Wake();
    if (lpssd->status != SS_UDP)
        lpssd->status = status;
    if (&set == &m_fdRead && status == SS_CONNECTED) {
        // A connected socket is read only while a notice length is pending.
        const _SelectSocketData& ssd = *lpssd;
        VZ_ASSERT(ssd.uiNoticeLen >0);
    }
    return true;
}

// Signals the wake event unless it is signalled already: under Wine every
// SetEvent is a server call, and a busy thread would otherwise pay one for
// each socket that rejoins a set. The event itself is in the same state
// either way.
void VZ_SelectThread::Wake()
{
    if (!m_bWakePending.exchange(true))
        SetEvent(m_hWakeEvent);
}

bool VZ_SelectThread::WatchRead(SOCKET s, int status, ULONG ulSerial)
{
    return Watch(m_fdRead, s, status, ulSerial);
}

bool VZ_SelectThread::WatchWrite(SOCKET s, int status)
{
    return Watch(m_fdWrite, s, status, 0);
}

bool VZ_SelectThread::WatchExcept(SOCKET s, int status)
{
    return Watch(m_fdExcept, s, status, 0);
}

// ---------------------------------------------------------------------------
// Operations of the manager on one record

bool VZ_SelectThread::ConnectRecord(SOCKET s, const sockaddr_in* lpRemoteAddr)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _SelectSocketData* lpssd = FindRecord(s);
    if (lpssd == NULL || lpRemoteAddr == NULL)
        return false;
    sockaddr_in addr;
    if (!m_pSocketMgr->ConnectTarget(*lpssd, lpRemoteAddr, &addr))
        return false;
    if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == SOCKET_ERROR &&
        WSAGetLastError() != WSAEWOULDBLOCK)
        return false;
    WatchWrite(s, SS_CONNECTING);
    WatchExcept(s, SS_CONNECTING);
    return true;
}

bool VZ_SelectThread::ArmRecv(SOCKET s, UINT uiNoticeLen)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _SelectSocketData* lpssd = FindRecord(s);
    if (lpssd == NULL)
        return false;
    _SelectSocketData& ssd = *lpssd;
    // A UDP socket is always read; other sockets but connected ones read nothing.
    if (ssd.status != SS_CONNECTED)
        return true;
    int iArm = VZ_SocketMgr::ArmNotice(ssd, uiNoticeLen);
    if (iArm == NOTICE_PENDING || iArm == NOTICE_ARMED)
        return true; // a pending notice length is kept
    if (iArm == NOTICE_HELD) {
        // Enough bytes are held already: delivered at once, on this thread.
        ULONG ulSerial = ssd.ulSerial;
        lock.Unlock();
        if (DeliverTcpData(s, NULL, 0, ulSerial))
            WatchRead(s, SS_CONNECTED, ulSerial);
        return true;
    }
    AddToSet(m_fdRead, s);
    Wake();
    return true;
}

bool VZ_SelectThread::SendTcp(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _SelectSocketData* lpssd = FindRecord(s);
    if (lpssd == NULL || lpssd->status != SS_CONNECTED)
        return false;
    lpssd->dwLastSendParam = dwSendParam;
    if (!lpssd->listSend.IsEmpty()) {
        // Behind the queue; the socket already waits in the write set.
        m_pSocketMgr->QueueSend(lpssd->listSend, buf, static_cast<UINT>(len));
    } else {
        int iSent = send(s, buf, len, 0);
        if (iSent == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        if (iSent == SOCKET_ERROR)
            iSent = 0;
        if (iSent < len)
            m_pSocketMgr->QueueSend(lpssd->listSend, buf + iSent, static_cast<UINT>(len - iSent));
        // Also after a complete send: the next write pass reports OnTcpSend.
        WatchWrite(s, SS_CONNECTED);
    }
    if (lpuiQueued != NULL)
        *lpuiQueued = static_cast<UINT>(lpssd->listSend.GetCount());
    return true;
}

// ---------------------------------------------------------------------------
// The select loop

DWORD VZ_SelectThread::Run()
{
    HANDLE arrEvents[2] = {m_hWakeEvent, m_hExitEvent};
    for (;;) {
        if (WaitForMultipleObjects(2, arrEvents, FALSE, INFINITE) != WAIT_OBJECT_0)
            return 0; // the exit event (or a failed wait)
        // Cleared before the first cycle copies the sets, so a socket added
        // by a Wake that was skipped meanwhile is in that copy.
        m_bWakePending = false;
        while (!VZ_Thread::IsStopping() && RunCycle()) {
        }
    }
}

fd_set* VZ_SelectThread::CopySet(const fd_set& set, fd_set* lpCopy)
{
    if (set.fd_count == 0)
        return NULL;
    lpCopy->fd_count = set.fd_count;
    memcpy(lpCopy->fd_array, set.fd_array, set.fd_count * sizeof(SOCKET));
    return lpCopy;
}

void VZ_SelectThread::BuildSerialMap(SERIALMAP& map)
{
    map.InitHashTable(RECORD_BUCKETS);
    VZ_AutoLock lock(&m_mapSocket2Data);
    VZ_POSITION pos = m_mapSocket2Data.GetStartPosition();
    unsigned int uiSocket = 0;
    while (pos != NULL) {
        _SelectSocketData* lpssd = m_mapSocket2Data.GetNextValue(pos, &uiSocket);
        map.SetAt(uiSocket, lpssd->ulSerial);
    }
}

ULONG VZ_SelectThread::SerialOf(SERIALMAP& map, SOCKET s)
{
    ULONG ulSerial = 0;
    return map.Lookup(static_cast<unsigned int>(s), ulSerial) ? ulSerial : 0;
}

bool VZ_SelectThread::RunCycle()
{
    _WIDESET wsRead;
    fd_set fdWrite, fdExcept;
    fd_set* lpRead = reinterpret_cast<fd_set*>(&wsRead);
    fd_set *lpWrite, *lpExcept;
    ClosePending();
    {
        VZ_AutoLock lock(&m_lckFdSet);
        bool bRead = CopySet(m_fdRead, lpRead) != NULL;
        lpWrite = CopySet(m_fdWrite, &fdWrite);
        lpExcept = CopySet(m_fdExcept, &fdExcept);
        if (!bRead && lpWrite == NULL && lpExcept == NULL)
            return false; // nothing to watch: sleep until a socket joins a set
        if (!bRead)
            wsRead.fd_count = 0;
        m_bInSelect = true;
    }
    if (m_sWake != INVALID_SOCKET)
        wsRead.fd_array[wsRead.fd_count++] = m_sWake;
    SERIALMAP mapSerial(10);
    BuildSerialMap(mapSerial);
    timeval tv = {m_lWaitUsec / 1000000, m_lWaitUsec % 1000000};
    int iResult = select(0, wsRead.fd_count > 0 ? lpRead : NULL, lpWrite, lpExcept, &tv);
    // A thread whose selects keep finding nothing waits twice as long each
    // time, up to SELECT_IDLE_WAIT_USEC; any work brings it back to 20 ms.
    // Under Wine every select is a server call over all its sockets, and
    // thousands of idle connections polled every 20 ms would keep the server
    // busy enough to slow every other socket call (accepts to a few dozen a
    // second). Nothing waits for the time-out: a socket that joins a set
    // during a select, a deferred close and the stop all wake the select at
    // once through the wake socket. Without a wake socket the wait stays 20 ms.
    if (iResult == 0 && m_sWake != INVALID_SOCKET)
        m_lWaitUsec = m_lWaitUsec < SELECT_IDLE_WAIT_USEC / 2 ? m_lWaitUsec * 2 : SELECT_IDLE_WAIT_USEC;
    else
        m_lWaitUsec = SELECT_WAIT_USEC;
    {
        VZ_AutoLock lock(&m_lckFdSet);
        m_bInSelect = false;
    }
    ClosePending(); // what CloseSocket removed meanwhile, before any pass
    if (iResult < 0) {
        // Typically a socket closed between the copy and the call: the
        // cycle is dropped and the thread sleeps until the next wake event.
        WSAGetLastError();
        return false;
    }
    if (iResult > 0) {
        TakeWake(&wsRead);
        ReadPass(wsRead.fd_count > 0 ? lpRead : NULL, mapSerial);
        WritePass(lpWrite, mapSerial);
        ExceptPass(lpExcept, mapSerial);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Read pass

bool VZ_SelectThread::ReadPass(const fd_set* lpSet, SERIALMAP& map)
{
    if (lpSet == NULL)
        return false;
    for (u_int i = 0; i < lpSet->fd_count; ++i) {
        SOCKET s = lpSet->fd_array[i];
        ULONG ulSerial = SerialOf(map, s);
        _SelectSocketData* lpssd = LockRecord(s);
        // A socket that is not the one this cycle watched (closed, or closed
        // and made anew) is not served now: the new one is in the sets again
        // if its owner armed it.
        if (lpssd != NULL && lpssd->ulSerial != ulSerial)
            lpssd = NULL;
        _RECORDVIEW view = VZ_SocketMgr::ViewOf(lpssd);
        if (lpssd != NULL && view.status == SS_CONNECTED) {
            const _SelectSocketData& ssd = *lpssd;
            VZ_ASSERT(ssd.uiNoticeLen >0);
        }
        UnlockRecords();
        if (view.status == SS_UDP)
            ReadUdp(s, ulSerial, view.sPair, view.dwUserData1, view.dwUserData2);
        else if (view.status == SS_ACCEPTING)
            AcceptPending(s, ulSerial);
        else if (view.status == SS_CONNECTED)
            ReadTcp(s, ulSerial);
    }
    return true;
}

template <class FN> bool VZ_SelectThread::WithLiveRecord(SOCKET s, ULONG ulSerial, FN fn)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _SelectSocketData* lpssd = FindRecord(s);
    if (lpssd == NULL || lpssd->ulSerial != ulSerial)
        return false;
    fn(*lpssd);
    return true;
}

char* VZ_SelectThread::RecvBuffer(UINT* lpuiSize)
{
    if (*lpuiSize > m_vecRecvBuf.size()) {
        try {
            m_vecRecvBuf.resize(*lpuiSize);
        } catch (const std::bad_alloc&) {
            *lpuiSize = static_cast<UINT>(m_vecRecvBuf.size()); // reads stay at the size it has
        }
    }
    return m_vecRecvBuf.data();
}

void VZ_SelectThread::ReadUdp(SOCKET s, ULONG ulSerial, SOCKET sPair, DWORD dwUserData1, DWORD dwUserData2)
{
    sockaddr_in from;
    int iFromLen = sizeof(from);
    memset(&from, 0, sizeof(from));
    int n = 0, iError = 0;
    UINT uiSize = SELECT_RECV_BUF_SIZE;
    char* buf = RecvBuffer(&uiSize);
    if (!WithLiveRecord(s, ulSerial, [&](_SelectSocketData&) {
            // A datagram over the smallest size fails as before, whatever the buffer has grown to.
            n = recvfrom(s, buf, static_cast<int>(uiSize), 0, reinterpret_cast<sockaddr*>(&from), &iFromLen);
            iError = n < 1 ? WSAGetLastError() : 0;
        }))
        return; // closed meanwhile
    if (n < 1) {
        if (iError == WSAEWOULDBLOCK)
            return;
        RemoveFromSet(m_fdRead, s);
        CloseAndNotify(iError, s);
        return;
    }
    // Through the relay the sender is in the header.
    int iHeader = sPair != INVALID_SOCKET ? VZ_SocketMgr::ReadRelayHeader(buf, n, &from) : 0;
    m_pSink->OnUdpRecv(0, s, buf + iHeader, n - iHeader, &from, dwUserData1, dwUserData2);
}

// A burst of connects is taken in one pass: under Wine each select is a
// server call over all of the thread's sockets, and one accept per select
// made that call the price of every connection. The burst is bounded so
// that the thread's other sockets wait no longer than 64 accepts.
void VZ_SelectThread::AcceptPending(SOCKET s, ULONG ulSerial)
{
    for (int i = 0; i < SELECT_ACCEPT_BURST && !VZ_Thread::IsStopping() && AcceptOne(s, ulSerial); ++i) {
    }
}

// The listening socket stays in the read set; the accepted one joins no set
// until the host calls Recv.
bool VZ_SelectThread::AcceptOne(SOCKET s, ULONG ulSerial)
{
    sockaddr_in peer, local;
    int iPeerLen = sizeof(peer), iLocalLen = sizeof(local);
    memset(&local, 0, sizeof(local));
    SOCKET sNew = INVALID_SOCKET;
    WithLiveRecord(s, ulSerial, [&](_SelectSocketData&) { sNew = accept(s, reinterpret_cast<sockaddr*>(&peer), &iPeerLen); });
    if (sNew == INVALID_SOCKET)
        return false;
    getsockname(sNew, reinterpret_cast<sockaddr*>(&local), &iLocalLen);
    // Registered with no record lock held: AddSocket takes the manager lock.
    if (m_pSink->OnSocketPreAccept(&local, &peer) && m_pSocketMgr->AddSocket(sNew, SS_CONNECTED, 0, 0, NULL))
        m_pSink->OnTcpAccept(0, s, sNew, &local, &peer);
    else
        closesocket(sNew);
    return true;
}

void VZ_SelectThread::ReadTcp(SOCKET s, ULONG ulSerial)
{
    // Out of the read set until the delivery asks for more: a slow sink
    // holds back its own socket only.
    RemoveFromSet(m_fdRead, s);
    if (VZ_Thread::IsStopping())
        return;
    int n = 0, iError = 0;
    UINT uiSize = 0;
    char* buf = NULL;
    // The buffer grows under the record lock: it is this thread's alone, and
    // the size is the record's.
    if (!WithLiveRecord(s, ulSerial, [&](_SelectSocketData& ssd) {
            uiSize = VZ_SocketMgr::ReadSize(ssd, SELECT_RECV_BUF_SIZE);
            buf = RecvBuffer(&uiSize);
            n = recv(s, buf, static_cast<int>(uiSize), 0);
            iError = n < 0 ? WSAGetLastError() : 0;
        }))
        return; // closed meanwhile
    if (n >= 1) {
        if (DeliverTcpData(s, buf, static_cast<UINT>(n), ulSerial, uiSize) && !VZ_Thread::IsStopping())
            WatchRead(s, SS_CONNECTED, ulSerial);
    } else if (n < 0 && iError == WSAEWOULDBLOCK) {
        WatchRead(s, SS_CONNECTED, ulSerial);
    } else {
        CloseAndNotify(iError, s); // also a graceful close (error 0)
    }
}

bool VZ_SelectThread::DeliverTcpData(SOCKET s, const char* buf, UINT len, ULONG ulSerial, UINT uiAsked)
{
    // A handshake step that reached the proxied listen's first reply keeps
    // reading for the second one, like a pending notice length.
    return m_Delivery.Deliver(s, buf, len, ulSerial, uiAsked) != TCPDELIVER_STOP;
}

// ---------------------------------------------------------------------------
// Write pass

bool VZ_SelectThread::WritePass(const fd_set* lpSet, SERIALMAP& map)
{
    if (lpSet == NULL)
        return false;
    for (u_int i = 0; i < lpSet->fd_count; ++i) {
        SOCKET s = lpSet->fd_array[i];
        ULONG ulSerial = SerialOf(map, s);
        bool bProxyStart = false;
        _SelectSocketData* lpssd = LockRecord(s);
        if (lpssd != NULL && lpssd->ulSerial != ulSerial)
            lpssd = NULL; // closed or re-created since the select
        _RECORDVIEW view = VZ_SocketMgr::ViewOf(lpssd);
        if (view.status == SS_CONNECTING) {
            lpssd->status = SS_CONNECTED;
            lpssd->dwLastRecvTime = lpssd->dwLastSendTime = GetClock();
            bProxyStart = lpssd->lpProxyData != NULL;
        }
        UnlockRecords();
        if (bProxyStart) {
            // The pass ends here on purpose: the sockets after s are served in
            // a later cycle; s stays in the write set, so the next cycle
            // flushes its first request.
            m_Delivery.Proxy().OnProxyConnected(s, ulSerial);
            return true;
        }
        if (view.status == SS_CONNECTING) {
            RemoveFromSet(m_fdWrite, s);
            RemoveFromSet(m_fdExcept, s);
            m_pSink->OnTcpConnect(0, s, view.dwUserData1, view.dwUserData2);
        } else if (view.status == SS_CONNECTED || view.status == SS_UDP) {
            RemoveFromSet(m_fdWrite, s);
            if (!VZ_Thread::IsStopping())
                FlushSendQueue(s, ulSerial);
        }
    }
    return true;
}

bool VZ_SelectThread::FlushSendQueue(SOCKET s, ULONG ulSerial)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _SelectSocketData* lpssd = FindRecord(s);
    if (lpssd == NULL || lpssd->ulSerial != ulSerial)
        return false;
    _SelectSocketData& ssd = *lpssd;
    ssd.dwLastSendTime = GetClock();
    if (!ssd.listSend.IsEmpty())
        VZ_ASSERT(ssd.status!=SS_UDP);
    _RECORDVIEW view = VZ_SocketMgr::ViewOf(&ssd);
    int iError = 0;
    int iResult = m_pSocketMgr->DrainSendQueue(s, ssd.listSend, &iError);
    if (iResult == SENDQ_FAILED) {
        lock.Unlock();
        CloseAndNotify(iError, s);
        return false;
    }
    if (iResult == SENDQ_PARTIAL) {
        WatchWrite(s, SS_CONNECTED);
        bool bReport = (ssd.dwFlags & SOCKET_FLAG_PARTIAL_SEND) != 0;
        UINT uiQueued = static_cast<UINT>(ssd.listSend.GetCount());
        lock.Unlock();
        if (bReport)
            m_pSink->OnTcpSend(iError, s, view.dwUserData1, view.dwUserData2, view.dwLastSendParam, uiQueued);
        return true;
    }
    lock.Unlock();
    m_pSink->OnTcpSend(0, s, view.dwUserData1, view.dwUserData2, view.dwLastSendParam, 0);
    return true;
}

// ---------------------------------------------------------------------------
// Except pass

// Only a connect that failed counts; its error is always reported as a
// time-out, whatever the cause, and the host closes the socket.
bool VZ_SelectThread::ExceptPass(const fd_set* lpSet, SERIALMAP& map)
{
    if (lpSet == NULL)
        return false;
    for (u_int i = 0; i < lpSet->fd_count; ++i) {
        SOCKET s = lpSet->fd_array[i];
        _SelectSocketData* lpssd = LockRecord(s);
        _RECORDVIEW view = VZ_SocketMgr::ViewOf(lpssd != NULL && lpssd->ulSerial == SerialOf(map, s) ? lpssd : NULL);
        UnlockRecords();
        if (view.status != SS_CONNECTING)
            continue;
        RemoveFromSet(m_fdWrite, s);
        RemoveFromSet(m_fdExcept, s);
        if (view.sPair == INVALID_SOCKET)
            m_pSink->OnTcpConnect(WSAETIMEDOUT, s, view.dwUserData1, view.dwUserData2);
        else
            m_pSocketMgr->CloseAndNotify(WSAETIMEDOUT, view.sPair);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Error reports

bool VZ_SelectThread::CloseAndNotify(int iError, SOCKET s)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _SelectSocketData* lpssd = FindRecord(s);
    if (lpssd == NULL || lpssd->status == SS_CLOSING)
        return false; // reported once
    return m_pSocketMgr->ReportTerminal(*lpssd, iError, lock, m_pSink);
}

// A handshake request that could not be sent on a socket without a pair.
void VZ_SelectThread::ReportSocketError(int iError, SOCKET s, ULONG ulSerial)
{
    _SelectSocketData* lpssd = LockRecord(s);
    _RECORDVIEW view = VZ_SocketMgr::ViewOf(lpssd != NULL && lpssd->ulSerial == ulSerial ? lpssd : NULL);
    UnlockRecords();
    if (view.status != STATUS_NONE)
        m_pSink->OnSocketClose(iError, s, view.status, view.dwUserData1, view.dwUserData2);
}

// The UDP socket of a pair may belong to another thread.
void VZ_SelectThread::SetRelayAddress(SOCKET sUdp, ULONG ulIP, USHORT usPort)
{
    m_pSocketMgr->SetRelayAddress(sUdp, ulIP, usPort);
}
