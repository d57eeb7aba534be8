// Select engine: the manager's side (threads by socket, the host's
// operations, timers and name resolution). The select threads are in
// VZ_SelectThread.cpp.
#include <winsock2.h>
#include <windows.h>
#include <mswsock.h>

#include <stdio.h>
#include <string.h>

#include "VZ_Assert.h"
#include "VZ_SelectSocketMgr.h"
#include "core/VZ_Trace.h"



VZ_SelectSocketMgr::VZ_SelectSocketMgr() : m_listFreeThread(10), m_mapSocket2Thread(10), m_bStopping(false)
{
    SetEngineMode(SOCKETMGR_PLAIN_SOCKETS);
    m_mapSocket2Thread.InitHashTable(SOCKET_MAP_BUCKETS);
}

VZ_SelectSocketMgr::~VZ_SelectSocketMgr()
{
    Uninitialize(STOP_WAIT_MS);
    // A thread whose stop ran out is still inside its object: it is left.
    for (int i = 0; i < m_arrRetired.GetSize(); ++i) {
        if (!m_arrRetired[i]->IsCurrentThread())
            m_arrRetired[i]->Stop(); // one stopped from inside its own event is waited for now
        if (m_arrRetired[i]->IsInRun())
            VZ_Trace("VZ_SelectSocketMgr: a select thread did not stop in time; its object is left\n");
        else
            delete m_arrRetired[i];
    }
}

// ---------------------------------------------------------------------------
// Start and stop

bool VZ_SelectSocketMgr::Initialize(BYTE byFlags, int, DWORD, DWORD)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    {
        VZ_AutoLock lock(&m_mapSocket2Thread);
        m_bStopping = false;
    }
    StartTimers(byFlags, this, static_cast<int>(si.dwNumberOfProcessors));
    StartNameThread(byFlags, this, SELECT_THREAD_NAME);
    // Select threads are made by the first sockets, not here.
    return true;
}

bool VZ_SelectSocketMgr::Uninitialize(DWORD)
{
    StopTimers();
    StopNameThreads(this, SELECT_THREAD_NAME);
    // The threads leave the table under the manager lock but are stopped
    // outside it: a thread inside an event that calls the manager could not
    // end while this thread held the lock.
    VZ_Array<VZ_SelectThread*, VZ_SelectThread*> arrThread;
    {
        VZ_AutoLock lock(&m_mapSocket2Thread);
        m_bStopping = true;
        arrThread = m_arrSelectThread;
        m_arrSelectThread.RemoveAll();
    }
    // Stopped, but freed only by the destructor: a host thread may still be
    // inside Recv or CloseSocket on a thread it looked up before the stop
    // (they use the thread without the manager lock), and a thread stopped
    // from inside one of its own events is still running this very call.
    for (int i = 0; i < arrThread.GetSize(); ++i) {
        arrThread[i]->Stop();
        m_arrRetired.Add(arrThread[i]);
    }
    // m_listFreeThread and m_mapSocket2Thread keep their entries; lookups
    // check the index against the (now empty) array.
    return true;
}

bool VZ_SelectSocketMgr::IsEngineThread()
{
    if (VZ_SocketMgr::IsEngineThread())
        return true;
    VZ_AutoLock lock(&m_mapSocket2Thread);
    for (int i = 0; i < m_arrSelectThread.GetSize(); ++i)
        if (m_arrSelectThread[i] != NULL && m_arrSelectThread[i]->IsCurrentThread())
            return true;
    for (int i = 0; i < m_arrRetired.GetSize(); ++i)
        if (m_arrRetired[i]->IsCurrentThread())
            return true;
    return false;
}

// ---------------------------------------------------------------------------
// Threads by socket

VZ_SelectSocketMgr::VZ_SelectThread* VZ_SelectSocketMgr::FindThread(SOCKET s, int* lpiIndex)
{
    int iIndex = 0;
    if (!m_mapSocket2Thread.Lookup(static_cast<unsigned int>(s), iIndex))
        return NULL;
    if (iIndex < 0 || iIndex >= m_arrSelectThread.GetSize())
        return NULL;
    if (lpiIndex != NULL)
        *lpiIndex = iIndex;
    return m_arrSelectThread[iIndex];
}

_SOCKETCORE* VZ_SelectSocketMgr::LockSocket(SOCKET s)
{
    m_mapSocket2Thread.Lock();
    VZ_SelectThread* lpThread = FindThread(s);
    return lpThread != NULL ? lpThread->LockRecord(s) : NULL;
}

// The manager lock is still held, so s maps to the thread LockSocket locked.
void VZ_SelectSocketMgr::UnlockSocket(SOCKET s)
{
    VZ_SelectThread* lpThread = FindThread(s);
    if (lpThread != NULL)
        lpThread->UnlockRecords();
    m_mapSocket2Thread.Unlock();
}

VZ_SelectSocketMgr::VZ_SelectThread* VZ_SelectSocketMgr::NewThread()
{
    VZ_SelectThread* lpThread = new VZ_SelectThread(this, GetSink());
    if (!lpThread->Start()) {
        delete lpThread;
        return NULL;
    }
    return lpThread;
}

// The manager lock is held from the choice of the thread to the insertion of
// the record, so concurrent creates never give a thread more than 64 sockets.
bool VZ_SelectSocketMgr::AddSocket(SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2,
                                   _PROXYDATA* lpProxyData)
{
    u_long ulNonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &ulNonBlocking) != 0)
        return false;
    VZ_AutoLock lock(&m_mapSocket2Thread);
    if (m_bStopping)
        return false;
    unsigned int uiIndex = 0;
    VZ_SelectThread* lpThread = NULL;
    if (!m_listFreeThread.IsEmpty()) {
        uiIndex = m_listFreeThread.GetTail(); // the thread that got room first
        if (uiIndex < static_cast<unsigned int>(m_arrSelectThread.GetSize()))
            lpThread = m_arrSelectThread[uiIndex];
        else
            m_listFreeThread.RemoveAll(); // left over from Uninitialize
    }
    if (lpThread == NULL) {
        lpThread = NewThread();
        if (lpThread == NULL)
            return false;
        uiIndex = static_cast<unsigned int>(m_arrSelectThread.Add(lpThread));
        m_listFreeThread.AddHead(uiIndex);
    }
    int iCount = lpThread->AddRecord(s, status, dwUserData1, dwUserData2, lpProxyData);
    if (iCount >= SELECT_MAX_SOCKETS)
        RemoveFreeThread(uiIndex);
    m_mapSocket2Thread.SetAt(static_cast<unsigned int>(s), static_cast<int>(uiIndex));
    lock.Unlock();
    if (status == SS_UDP)
        lpThread->WatchRead(s, SS_UDP, 0);
    return true;
}

void VZ_SelectSocketMgr::RemoveFreeThread(unsigned int uiIndex)
{
    VZ_POSITION pos = m_listFreeThread.GetHeadPosition();
    while (pos != NULL) {
        VZ_POSITION posThis = pos;
        if (m_listFreeThread.GetNext(pos) == uiIndex) {
            m_listFreeThread.RemoveAt(posThis);
            return;
        }
    }
}

bool VZ_SelectSocketMgr::CloseAndNotify(int iError, SOCKET s)
{
    VZ_AutoLock lock(&m_mapSocket2Thread);
    VZ_SelectThread* lpThread = FindThread(s);
    lock.Unlock();
    // A thread lives until Uninitialize, so the pointer stays good here.
    return lpThread != NULL && lpThread->CloseAndNotify(iError, s);
}

void VZ_SelectSocketMgr::SetRelayAddress(SOCKET sUdp, ULONG ulIP, USHORT usPort)
{
    WithSocket(sUdp, [&](_SOCKETCORE& ssd) {
        ssd.ulRemoteIP = ulIP;
        ssd.usRemotePort = usPort;
    });
}

// ---------------------------------------------------------------------------
// Creating sockets

bool VZ_SelectSocketMgr::PrepareSocket(SOCKET s, int iType)
{
    if (iType == SOCK_DGRAM)
        IgnoreUdpReset(s);
    return true;
}

// ---------------------------------------------------------------------------
// Operations on one socket

bool VZ_SelectSocketMgr::Connect(SOCKET s, const sockaddr_in* lpRemoteAddr)
{
    VZ_AutoLock lock(&m_mapSocket2Thread);
    VZ_SelectThread* lpThread = FindThread(s);
    return lpThread == NULL || lpThread->ConnectRecord(s, lpRemoteAddr); // unregistered: nothing to do
}

bool VZ_SelectSocketMgr::ListenDirect(SOCKET s, int backlog)
{
    VZ_AutoLock lock(&m_mapSocket2Thread);
    VZ_SelectThread* lpThread = FindThread(s);
    if (lpThread == NULL)
        return true; // unregistered: nothing to do
    bool bKnown = lpThread->LockRecord(s) != NULL;
    lpThread->UnlockRecords();
    if (!bKnown)
        return false;
    if (listen(s, backlog) == SOCKET_ERROR)
        return false;
    return lpThread->WatchRead(s, SS_ACCEPTING, 0);
}

// The manager lock is released before the record is armed: bytes held
// already are delivered here, raising OnTcpRecv on the calling thread, and no
// lock may be held across an event. A thread lives until Uninitialize.
bool VZ_SelectSocketMgr::Recv(SOCKET s, UINT uiNoticeLen)
{
    VZ_AutoLock lock(&m_mapSocket2Thread);
    VZ_SelectThread* lpThread = FindThread(s);
    lock.Unlock();
    if (lpThread != NULL)
        lpThread->ArmRecv(s, uiNoticeLen);
    return true;
}

bool VZ_SelectSocketMgr::Send(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued)
{
    VZ_ASSERT(buf != NULL);
    VZ_ASSERT(len > 0);
    if (buf == NULL || len <= 0)
        return false;
    VZ_AutoLock lock(&m_mapSocket2Thread);
    VZ_SelectThread* lpThread = FindThread(s);
    return lpThread != NULL && lpThread->SendTcp(s, buf, len, dwSendParam, lpuiQueued);
}

int VZ_SelectSocketMgr::SendTo(SOCKET s, const sockaddr_in* lpRemoteAddr, const char* buf, int len, bool bDirect)
{
    VZ_ASSERT(buf != NULL);
    VZ_ASSERT(len > 0);
    if (buf == NULL || len <= 0)
        return SOCKET_ERROR;
    _RECORDVIEW ssd = ViewOf(NULL);
    if (!bDirect && !ViewSocket(s, &ssd)) // bDirect: no lookup, no lock
        return SOCKET_ERROR;
    // Without a proxy (or an address: sendto gives the error) the datagram goes as it is.
    if (bDirect || ssd.lpProxyData == NULL || lpRemoteAddr == NULL)
        return SendToDirect(s, lpRemoteAddr, buf, len);
    return SendToRelay(s, lpRemoteAddr, buf, len, ssd.ulRemoteIP, ssd.usRemotePort);
}

bool VZ_SelectSocketMgr::CloseSocket(SOCKET s)
{
    if (s == INVALID_SOCKET)
        return false;
    KillAllTimers(s);
    VZ_AutoLock lock(&m_mapSocket2Thread);
    int iIndex = -1;
    VZ_SelectThread* lpThread = FindThread(s, &iIndex);
    VZ_SelectThread::_REMOVED removed = {0, SS_CLOSED, INVALID_SOCKET, false, 0};
    bool bRemoved = lpThread != NULL && lpThread->RemoveSocket(s, &removed);
    if (bRemoved && removed.iLeft == SELECT_MAX_SOCKETS - 1)
        m_listFreeThread.AddHead(static_cast<unsigned int>(iIndex)); // was full: first in line again
    m_mapSocket2Thread.RemoveKey(static_cast<unsigned int>(s));
    lock.Unlock();
    // The handle is closed when CloseSocket returns; the wait for a select
    // thread's close holds no lock (the thread needs only its set lock).
    if (bRemoved && removed.bDeferred)
        lpThread->WaitClosed(removed.ulRound);
    if (removed.iStatus == SS_UDP && removed.sPair != INVALID_SOCKET)
        CloseSocket(removed.sPair); // the control socket of a proxied UDP socket
    return true;
}

// ---------------------------------------------------------------------------
// The name-resolution thread

DWORD VZ_SelectSocketMgr::ThreadProc(_THREAD_DATA& td)
{
    if (td.iThreadType != SELECT_THREAD_NAME) {
        VZ_ASSERT(false);
        return 0;
    }
    RunNameResolution();
    return 0;
}
