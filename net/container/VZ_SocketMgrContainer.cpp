// Socket manager containers: one engine shared by the process, one sink per
// container, every engine event routed by its socket.
#include "VZ_SocketMgrContainer.h"

#include <stdio.h>
#include <atomic>
#include <string.h>

#include "VZ_MultiThread.h"
#include "VZ_NetworkEx.h"
#include "core/VZ_Trace.h"

namespace {

const DWORD ROUTING_WAIT_MS = 2000;

// The container whose sink this thread is raising an event on.
thread_local VZ_SocketMgrContainer* t_lpRouting = NULL;

// The engine's operation when there is an engine, else the failure value.
// Containers never run while the last one destroys the engine (it is gone
// only once no container is left), so no lock is needed to call it.
template <class R, class FN> R Forward(R rFailure, FN fn)
{
    ISocketMgr* lpEngine = g_lpEngine;
    return lpEngine != NULL ? fn(lpEngine) : rFailure;
}

int KindOf(const char* lpszName)
{
    if (strcmp(lpszName, "IIocpSocketMgr2.0") == 0)
        return SOCKETMGR_IOCP;
    if (strcmp(lpszName, "IAsyncSocketMgr2.0") == 0)
        return SOCKETMGR_ASYNC;
    if (strcmp(lpszName, "ISelectSocketMgr2.0") == 0)
        return SOCKETMGR_SELECT;
    return 0;
}

const BYTE* Bytes(const sockaddr_in* lpAddr) { return reinterpret_cast<const BYTE*>(&lpAddr->sin_addr.s_addr); }

// Proxied UDP sockets being made through a container. The engine starts the
// relay's control connection before CreateUdpSocket returns, so the relay's
// refusal can be raised before the socket is entered with its owner; the
// routing then waits for the making to end instead of dropping the event.
std::atomic<long> g_lRelaysMaking(0);

struct RelayMaking {
    explicit RelayMaking(HANDLE hProxy) : bCounted(hProxy != NULL)
    {
        if (bCounted)
            ++g_lRelaysMaking;
    }
    ~RelayMaking()
    {
        if (bCounted)
            --g_lRelaysMaking;
    }
    bool bCounted;
};

// True once no relay is being made (bounded like the routing's wait).
bool WaitForRelaysMade()
{
    for (DWORD dwWaited = 0; g_lRelaysMaking.load() > 0; ++dwWaited) {
        if (dwWaited >= ROUTING_WAIT_MS)
            return false;
        Sleep(1);
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

VZ_SocketMgrContainer::VZ_SocketMgrContainer(const char* lpszName) : m_bForSink(false), m_bDetached(false), m_lRouting(0)
{
    VZ_AutoLock lock(&g_lckContainer);
    g_mapMgr2Sink[this] = NULL;
    if (g_lpEngine == NULL) {
        g_mapSocket2Mgr.RemoveAll();
        g_mapSocket2Mgr.InitHashTable(SOCKET_MAP_BUCKETS);
        if (lpszName != NULL && strcmp(lpszName, CONTAINER_ROUTING_NAME) == 0)
            m_bForSink = true;
        else if (lpszName != NULL && KindOf(lpszName) != 0)
            g_lpEngine = CreateSocketMgr(KindOf(lpszName), NULL, false);
        if (g_lpEngine != NULL)
            g_lpEngine->SetSink(&g_containerForSink);
    }
    if (!m_bForSink)
        ++g_nContainers;
}

// The last container destroys the engine after releasing the lock (a choice
// of this library): an engine thread waiting in routing for the lock would
// otherwise keep the stop waiting until its time-out. The next container
// makes a new engine.
VZ_SocketMgrContainer::~VZ_SocketMgrContainer()
{
    Detach();
    WaitForRouting();
}

// The last container destroys the engine after releasing the lock (a choice
// of this library): an engine thread waiting in routing for the lock would
// otherwise keep the stop waiting until its time-out. The next container
// makes a new engine.
void VZ_SocketMgrContainer::Detach()
{
    ISocketMgr* lpEngine = NULL;
    {
        VZ_AutoLock lock(&g_lckContainer);
        if (m_bDetached)
            return;
        m_bDetached = true;
        g_mapMgr2Sink.RemoveKey(this); // no event of its sockets starts from now on
        if (!m_bForSink && --g_nContainers == 0) {
            lpEngine = g_lpEngine;
            g_lpEngine = NULL;
        }
    }
    if (lpEngine != NULL)
        DestroySocketMgr(lpEngine); // later, when this runs inside one of its events
}

bool VZ_SocketMgrContainer::IsRoutingOnThisThread() const
{
    return t_lpRouting == this;
}

// ---------------------------------------------------------------------------
// Operations with a container's own behaviour

SOCKET VZ_SocketMgrContainer::Own(SOCKET s)
{
    if (s != INVALID_SOCKET) {
        VZ_AutoLock lock(&g_lckContainer);
        g_mapSocket2Mgr[static_cast<unsigned int>(s)] = this;
    }
    return s;
}

// Only sockets made through a container; the entry stays, so that late
// events of the socket still find their owner. The engine is called with the
// container lock released: no container or engine lock is ever held while
// another is taken from here, and an event that closes a socket of its own
// (routing needs this lock) never waits behind a close on another thread.
bool VZ_SocketMgrContainer::CloseSocket(SOCKET s)
{
    {
        VZ_AutoLock lock(&g_lckContainer);
        if (!g_mapSocket2Mgr.Lookup(static_cast<unsigned int>(s)))
            return false;
    }
    return Forward(false, [&](ISocketMgr* e) { return e->CloseSocket(s); });
}

// Without flags, whatever the host passes: the first container starts the engine.
bool VZ_SocketMgrContainer::Initialize(BYTE, int, DWORD, DWORD)
{
    return Forward(false, [](ISocketMgr* e) { return e->Initialize(0, 0, 0, 0); });
}

// Called without the container lock (a choice of this library): the
// engine's stop waits for its event threads, and one of them may be waiting
// in routing for that lock.
bool VZ_SocketMgrContainer::Uninitialize(DWORD dwReserved)
{
    return Forward(false, [&](ISocketMgr* e) { return e->Uninitialize(dwReserved); });
}

void VZ_SocketMgrContainer::SetSink(ISocketMgrSink* lpSink)
{
    VZ_AutoLock lock(&g_lckContainer);
    if (g_lpEngine != NULL)
        g_mapMgr2Sink[this] = lpSink;
}

ISocketMgrSink* VZ_SocketMgrContainer::GetSink()
{
    VZ_AutoLock lock(&g_lckContainer);
    ISocketMgrSink* lpSink = NULL;
    g_mapMgr2Sink.Lookup(this, lpSink);
    return lpSink;
}

DWORD VZ_SocketMgrContainer::SocketCtrl(UINT, SOCKET, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD)
{
    return 0;
}

SOCKET VZ_SocketMgrContainer::CreateUdpSocket(HANDLE hProxy, const char* lpAddr, USHORT usPort, DWORD dwUserData1,
                                              DWORD dwUserData2)
{
    RelayMaking making(hProxy); // until Own has entered the socket
    return Own(Forward(INVALID_SOCKET, [&](ISocketMgr* e) {
        return e->CreateUdpSocket(hProxy, lpAddr, usPort, dwUserData1, dwUserData2);
    }));
}

SOCKET VZ_SocketMgrContainer::CreateUdpSocket(HANDLE hProxy, const sockaddr_in* lpLocalAddr, DWORD dwUserData1,
                                              DWORD dwUserData2)
{
    RelayMaking making(hProxy); // until Own has entered the socket
    return Own(Forward(INVALID_SOCKET, [&](ISocketMgr* e) {
        return e->CreateUdpSocket(hProxy, lpLocalAddr, dwUserData1, dwUserData2);
    }));
}

SOCKET VZ_SocketMgrContainer::CreateTcpSocket(HANDLE hProxy, const char* lpAddr, USHORT usPort, DWORD dwUserData1,
                                              DWORD dwUserData2)
{
    return Own(Forward(INVALID_SOCKET, [&](ISocketMgr* e) {
        return e->CreateTcpSocket(hProxy, lpAddr, usPort, dwUserData1, dwUserData2);
    }));
}

SOCKET VZ_SocketMgrContainer::CreateTcpSocket(HANDLE hProxy, const sockaddr_in* lpLocalAddr, DWORD dwUserData1,
                                              DWORD dwUserData2)
{
    return Own(Forward(INVALID_SOCKET, [&](ISocketMgr* e) {
        return e->CreateTcpSocket(hProxy, lpLocalAddr, dwUserData1, dwUserData2);
    }));
}

// ---------------------------------------------------------------------------
// Operations forwarded as they are

HANDLE VZ_SocketMgrContainer::CreateProxy(UINT uiType, const char* lpAddr, USHORT usPort, const char* lpUser,
                                          const char* lpPsw)
{
    return Forward(HANDLE(NULL), [&](ISocketMgr* e) { return e->CreateProxy(uiType, lpAddr, usPort, lpUser, lpPsw); });
}

bool VZ_SocketMgrContainer::DestroyProxy(HANDLE hProxy)
{
    return Forward(false, [&](ISocketMgr* e) { return e->DestroyProxy(hProxy); });
}

bool VZ_SocketMgrContainer::SetSendBufSize(SOCKET s, int iSize)
{
    return Forward(false, [&](ISocketMgr* e) { return e->SetSendBufSize(s, iSize); });
}

bool VZ_SocketMgrContainer::SetRecvBufSize(SOCKET s, int iSize)
{
    return Forward(false, [&](ISocketMgr* e) { return e->SetRecvBufSize(s, iSize); });
}

bool VZ_SocketMgrContainer::SetSendTimeout(SOCKET s, UINT uiElapse)
{
    return Forward(false, [&](ISocketMgr* e) { return e->SetSendTimeout(s, uiElapse); });
}

bool VZ_SocketMgrContainer::SetRecvTimeout(SOCKET s, UINT uiElapse)
{
    return Forward(false, [&](ISocketMgr* e) { return e->SetRecvTimeout(s, uiElapse); });
}

bool VZ_SocketMgrContainer::KillSendTimeout(SOCKET s)
{
    return Forward(false, [&](ISocketMgr* e) { return e->KillSendTimeout(s); });
}

bool VZ_SocketMgrContainer::KillRecvTimeout(SOCKET s)
{
    return Forward(false, [&](ISocketMgr* e) { return e->KillRecvTimeout(s); });
}

bool VZ_SocketMgrContainer::SetTimer(SOCKET s, UINT uiEvent, UINT uiElapse, DWORD dwParam, bool bOnce)
{
    return Forward(false, [&](ISocketMgr* e) { return e->SetTimer(s, uiEvent, uiElapse, dwParam, bOnce); });
}

bool VZ_SocketMgrContainer::KillTimer(SOCKET s, UINT uiEvent)
{
    return Forward(false, [&](ISocketMgr* e) { return e->KillTimer(s, uiEvent); });
}

bool VZ_SocketMgrContainer::Shutdown(SOCKET s, int how)
{
    return Forward(false, [&](ISocketMgr* e) { return e->Shutdown(s, how); });
}

bool VZ_SocketMgrContainer::Recv(SOCKET s, UINT uiNoticeLen)
{
    return Forward(false, [&](ISocketMgr* e) { return e->Recv(s, uiNoticeLen); });
}

bool VZ_SocketMgrContainer::DnsParse(const char* dn)
{
    return Forward(false, [&](ISocketMgr* e) { return e->DnsParse(dn); });
}

bool VZ_SocketMgrContainer::SetUserData1(SOCKET s, DWORD dwUserData1)
{
    return Forward(false, [&](ISocketMgr* e) { return e->SetUserData1(s, dwUserData1); });
}

bool VZ_SocketMgrContainer::SetUserData2(SOCKET s, DWORD dwUserData2)
{
    return Forward(false, [&](ISocketMgr* e) { return e->SetUserData2(s, dwUserData2); });
}

bool VZ_SocketMgrContainer::GetUserData(SOCKET s, DWORD* lpdwUserData1, DWORD* lpdwUserData2)
{
    return Forward(false, [&](ISocketMgr* e) { return e->GetUserData(s, lpdwUserData1, lpdwUserData2); });
}

int VZ_SocketMgrContainer::SendTo(SOCKET s, const sockaddr_in* lpRemoteAddr, const char* buf, int len, bool bDirect)
{
    // SOCKET_ERROR without an engine: 0 is a success for some engines.
    return Forward(SOCKET_ERROR, [&](ISocketMgr* e) { return e->SendTo(s, lpRemoteAddr, buf, len, bDirect); });
}

int VZ_SocketMgrContainer::SendTo(SOCKET s, const char* lpAddr, USHORT usPort, const char* buf, int len,
                                  bool bDirect)
{
    return Forward(SOCKET_ERROR, [&](ISocketMgr* e) { return e->SendTo(s, lpAddr, usPort, buf, len, bDirect); });
}

bool VZ_SocketMgrContainer::Connect(SOCKET s, const char* lpHost, USHORT usPort)
{
    return Forward(false, [&](ISocketMgr* e) { return e->Connect(s, lpHost, usPort); });
}

bool VZ_SocketMgrContainer::Connect(SOCKET s, const sockaddr_in* lpRemoteAddr)
{
    return Forward(false, [&](ISocketMgr* e) { return e->Connect(s, lpRemoteAddr); });
}

bool VZ_SocketMgrContainer::Listen(SOCKET s, int backlog)
{
    return Forward(false, [&](ISocketMgr* e) { return e->Listen(s, backlog); });
}

bool VZ_SocketMgrContainer::SendV(SOCKET s, const _SOCKBUF* lpBufs, UINT uiCount, DWORD dwSendParam,
                                  UINT* lpuiQueued)
{
    return Forward(false, [&](ISocketMgr* e) { return e->SendV(s, lpBufs, uiCount, dwSendParam, lpuiQueued); });
}

bool VZ_SocketMgrContainer::Send(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued)
{
    return Forward(false, [&](ISocketMgr* e) { return e->Send(s, buf, len, dwSendParam, lpuiQueued); });
}

// ---------------------------------------------------------------------------
// Routing of the engine's events

bool VZ_SocketMgrContainer::Claim(SOCKET s, VZ_SocketMgrContainer** lplpOwner, ISocketMgrSink** lplpSink)
{
    VZ_AutoLock lock(&g_lckContainer);
    if (!g_mapSocket2Mgr.Lookup(static_cast<unsigned int>(s), *lplpOwner) || *lplpOwner == NULL ||
        !g_mapMgr2Sink.Lookup(*lplpOwner, *lplpSink) || *lplpSink == NULL)
        return false;
    InterlockedIncrement(&(*lplpOwner)->m_lRouting); // the owner's destructor now waits for this event
    return true;
}

template <class FN> void VZ_SocketMgrContainer::Route(SOCKET s, FN fn)
{
    VZ_SocketMgrContainer* lpOwner = NULL;
    ISocketMgrSink* lpSink = NULL;
    // Not found while a relay is being made: s may be that relay, not yet entered.
    bool bMaking = g_lRelaysMaking.load() > 0;
    if (!Claim(s, &lpOwner, &lpSink) && !(bMaking && WaitForRelaysMade() && Claim(s, &lpOwner, &lpSink)))
        return;
    VZ_SocketMgrContainer* lpOuter = t_lpRouting;
    t_lpRouting = lpOwner;
    fn(lpSink);
    t_lpRouting = lpOuter;
    InterlockedDecrement(&lpOwner->m_lRouting);
}

// Bounded like an engine's stop; an event of this container running on this
// very thread (the host destroys the container from inside it) is not waited for.
void VZ_SocketMgrContainer::WaitForRouting()
{
    LONG lMine = t_lpRouting == this ? 1 : 0;
    for (DWORD dwWaited = 0; m_lRouting > lMine; dwWaited += 1) {
        if (dwWaited >= ROUTING_WAIT_MS) {
            VZ_MultiThread::CountStopTimeout();
            return;
        }
        Sleep(1);
    }
}

// Every incoming connection is taken: no host sink is asked.
bool VZ_SocketMgrContainer::OnSocketPreAccept(const sockaddr_in* lpLocalAddr, const sockaddr_in* lpPeerAddr)
{
    const BYTE* l = Bytes(lpLocalAddr);
    const BYTE* p = Bytes(lpPeerAddr);
    VZ_Trace("OnSocketPreAccept Local:%d.%d.%d.%d:%d Peer:%d.%d.%d.%d:%d\n", l[0], l[1], l[2], l[3],
           ntohs(lpLocalAddr->sin_port), p[0], p[1], p[2], p[3], ntohs(lpPeerAddr->sin_port));
    return true;
}

void VZ_SocketMgrContainer::OnTcpConnect(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2)
{
    Route(s, [&](ISocketMgrSink* lpSink) { lpSink->OnTcpConnect(iError, s, dwUserData1, dwUserData2); });
}

// The accepted socket belongs to its listener's container.
void VZ_SocketMgrContainer::OnTcpAccept(int iError, SOCKET sListen, SOCKET sAccept, const sockaddr_in* lpLocalAddr,
                                        const sockaddr_in* lpPeerAddr)
{
    {
        VZ_AutoLock lock(&g_lckContainer);
        VZ_SocketMgrContainer* lpOwner = NULL;
        g_mapSocket2Mgr.Lookup(static_cast<unsigned int>(sListen), lpOwner);
        if (sAccept != INVALID_SOCKET)
            g_mapSocket2Mgr[static_cast<unsigned int>(sAccept)] = lpOwner;
    }
    Route(sListen, [&](ISocketMgrSink* lpSink) {
        lpSink->OnTcpAccept(iError, sListen, sAccept, lpLocalAddr, lpPeerAddr);
    });
}

void VZ_SocketMgrContainer::OnTcpRecv(int iError, SOCKET s, const char* buf, UINT* lpuiLen, DWORD dwUserData1,
                                      DWORD dwUserData2)
{
    Route(s, [&](ISocketMgrSink* lpSink) { lpSink->OnTcpRecv(iError, s, buf, lpuiLen, dwUserData1, dwUserData2); });
}

void VZ_SocketMgrContainer::OnUdpRecv(int iError, SOCKET s, const char* buf, int len, const sockaddr_in* lpFromAddr,
                                      DWORD dwUserData1, DWORD dwUserData2)
{
    Route(s, [&](ISocketMgrSink* lpSink) {
        lpSink->OnUdpRecv(iError, s, buf, len, lpFromAddr, dwUserData1, dwUserData2);
    });
}

void VZ_SocketMgrContainer::OnTcpSend(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2, DWORD dwSendParam,
                                      UINT uiQueued)
{
    Route(s, [&](ISocketMgrSink* lpSink) {
        lpSink->OnTcpSend(iError, s, dwUserData1, dwUserData2, dwSendParam, uiQueued);
    });
}

void VZ_SocketMgrContainer::OnSocketClose(int iError, SOCKET s, int iStatus, DWORD dwUserData1, DWORD dwUserData2)
{
    Route(s, [&](ISocketMgrSink* lpSink) { lpSink->OnSocketClose(iError, s, iStatus, dwUserData1, dwUserData2); });
}

void VZ_SocketMgrContainer::OnRecvTimeout(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2)
{
    Route(s, [&](ISocketMgrSink* lpSink) { lpSink->OnRecvTimeout(iError, s, dwUserData1, dwUserData2); });
}

void VZ_SocketMgrContainer::OnSendTimeout(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2)
{
    Route(s, [&](ISocketMgrSink* lpSink) { lpSink->OnSendTimeout(iError, s, dwUserData1, dwUserData2); });
}

// Not routed: a name lookup belongs to no socket.
void VZ_SocketMgrContainer::OnDnsParse(const char* lpName, ULONG ulIP)
{
    const BYTE* b = reinterpret_cast<const BYTE*>(&ulIP);
    VZ_Trace("OnDnsParse %s=%d.%d.%d.%d \n", lpName != NULL ? lpName : "", b[0], b[1], b[2], b[3]);
}

void VZ_SocketMgrContainer::OnTimer(SOCKET s, UINT uiEvent, DWORD dwParam, DWORD dwUserData1, DWORD dwUserData2)
{
    Route(s, [&](ISocketMgrSink* lpSink) { lpSink->OnTimer(s, uiEvent, dwParam, dwUserData1, dwUserData2); });
}

void VZ_SocketMgrContainer::OnProxyResult(int iError, SOCKET s, const sockaddr_in* lpProxyAddr, DWORD dwUserData1,
                                          DWORD dwUserData2)
{
    Route(s, [&](ISocketMgrSink* lpSink) {
        lpSink->OnProxyResult(iError, s, lpProxyAddr, dwUserData1, dwUserData2);
    });
}

DWORD VZ_SocketMgrContainer::OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD)
{
    return 0;
}
