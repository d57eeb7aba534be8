// The manager behind "IIocpSocketMgr2.0", "IAsyncSocketMgr2.0" and
// "ISelectSocketMgr2.0": a light ISocketMgr that owns no sockets. Every
// container of the process forwards to one shared engine, made by the first
// container after its name and destroyed with the last one; each container
// has its own sink. The engine's events reach the routing container (the
// static one made "for sink"), which passes each to the sink of the
// container that created its socket.
//
// g_lckContainer guards the engine reference, the container count and the
// two maps. Forwarded operations run without it; routing holds it only for
// its two look-ups, so a sink may call back into any container.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "ISocketMgr.h"
#include "VZ_Locker.h"
#include "VZ_Map.h"
#include "core/VZ_SocketMgr.h"

class VZ_SocketMgrContainer;

// Container pointers hash as the pointer shifted right by 4 (their low bits
// are alignment).
inline UINT VZ_HashKey(VZ_SocketMgrContainer* lpKey)
{
    return static_cast<UINT>(reinterpret_cast<ULONG_PTR>(lpKey) >> 4);
}

typedef VZ_Map<unsigned int, unsigned int, VZ_SocketMgrContainer*, VZ_SocketMgrContainer*> SOCKET2MGRMAP;
typedef VZ_Map<VZ_SocketMgrContainer*, VZ_SocketMgrContainer*, ISocketMgrSink*, ISocketMgrSink*> MGR2SINKMAP;

// Process-wide state of the containers (defined with the factory's
// registries, so that they are built before the routing container and torn
// down after it).
extern ISocketMgr* g_lpEngine;
extern int g_nContainers;
extern VZ_Locker g_lckContainer;
extern SOCKET2MGRMAP g_mapSocket2Mgr;
extern MGR2SINKMAP g_mapMgr2Sink;
extern VZ_SocketMgrContainer g_containerForSink; // the routing container, the engine's sink

#define CONTAINER_ROUTING_NAME "for sink"

class VZ_SocketMgrContainer : public ISocketMgr, public ISocketMgrSink {
public:
    // lpszName: one of the three 2.0 names (it chooses the engine when this
    // container is the one that makes it), or "for sink" for the routing container.
    explicit VZ_SocketMgrContainer(const char* lpszName);
    ~VZ_SocketMgrContainer() override;

    // ISocketMgr: forwarded to the shared engine.
    VZ_SOCKETMGR_SERVICE_OPERATIONS;
    VZ_SOCKETMGR_SOCKET_OPERATIONS;
    bool Initialize(BYTE byFlags, int nWorkThread, DWORD dwReserved1, DWORD dwReserved2) override;
    bool Uninitialize(DWORD dwReserved) override;
    SOCKET CreateUdpSocket(HANDLE hProxy, const char* lpAddr, USHORT usPort, DWORD dwUserData1,
                           DWORD dwUserData2) override;
    int SendTo(SOCKET s, const char* lpAddr, USHORT usPort, const char* buf, int len, bool bDirect) override;
    SOCKET CreateTcpSocket(HANDLE hProxy, const char* lpAddr, USHORT usPort, DWORD dwUserData1,
                           DWORD dwUserData2) override;

    // ISocketMgrSink: the engine's events, called on the routing container only.
    bool OnSocketPreAccept(const sockaddr_in* lpLocalAddr, const sockaddr_in* lpPeerAddr) override;
    void OnTcpConnect(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2) override;
    void OnTcpAccept(int iError, SOCKET sListen, SOCKET sAccept, const sockaddr_in* lpLocalAddr,
                     const sockaddr_in* lpPeerAddr) override;
    void OnTcpRecv(int iError, SOCKET s, const char* buf, UINT* lpuiLen, DWORD dwUserData1,
                   DWORD dwUserData2) override;
    void OnUdpRecv(int iError, SOCKET s, const char* buf, int len, const sockaddr_in* lpFromAddr, DWORD dwUserData1,
                   DWORD dwUserData2) override;
    void OnTcpSend(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2, DWORD dwSendParam,
                   UINT uiQueued) override;
    void OnSocketClose(int iError, SOCKET s, int iStatus, DWORD dwUserData1, DWORD dwUserData2) override;
    void OnRecvTimeout(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2) override;
    void OnSendTimeout(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2) override;
    void OnDnsParse(const char* lpName, ULONG ulIP) override;
    void OnTimer(SOCKET s, UINT uiEvent, DWORD dwParam, DWORD dwUserData1, DWORD dwUserData2) override;
    void OnProxyResult(int iError, SOCKET s, const sockaddr_in* lpProxyAddr, DWORD dwUserData1,
                       DWORD dwUserData2) override;
    DWORD OnReserved(DWORD dw1, DWORD dw2, DWORD dw3, DWORD dw4, DWORD dw5, DWORD dw6, DWORD dw7, DWORD dw8,
                     DWORD dw9) override;

private:
public:
    // Its sink leaves the routing and it stops counting as a container (the
    // last one destroys the engine); the destructor does this unless done.
    void Detach();
    // An event is being raised on its sink (on this thread).
    bool IsRouting() const { return m_lRouting > 0; }
    bool IsRoutingOnThisThread() const;

private:
    // A socket the engine made for this container: entered with this owner.
    SOCKET Own(SOCKET s);
    // Raises one event on the sink of the container that owns s; dropped
    // when there is none.
    template <class FN> static void Route(SOCKET s, FN fn);
    // The owner and sink of s, the owner's routing count raised; false when
    // s has none.
    static bool Claim(SOCKET s, VZ_SocketMgrContainer** lplpOwner, ISocketMgrSink** lplpSink);
    // The destructor's wait for events still running on this container's sink.
    void WaitForRouting();

    bool m_bForSink;
    bool m_bDetached;
    // Events being raised on this container's sink. Its destructor waits
    // for them, so a host may free its sink once the container is destroyed.
    volatile LONG m_lRouting;

    VZ_SocketMgrContainer(const VZ_SocketMgrContainer&) = delete;
    VZ_SocketMgrContainer& operator=(const VZ_SocketMgrContainer&) = delete;
};
