// Default hooks of VZ_TcpDeliveryHost: the manager's own operations.
#include <winsock2.h>
#include <windows.h>

#include "VZ_Assert.h"
#include "VZ_SocketMgr.h"
#include "VZ_TcpDeliveryHost.h"

ISocketMgrSink* VZ_TcpDeliveryHost::GetEventSink()
{
    return GetSocketMgr()->GetSink();
}

bool VZ_TcpDeliveryHost::SendProxyRequest(SOCKET s, const char* lpBuf, UINT uiLen)
{
    return GetSocketMgr()->Send(s, lpBuf, static_cast<int>(uiLen), 0, NULL);
}

bool VZ_TcpDeliveryHost::ArmProxyReply(SOCKET s)
{
    return GetSocketMgr()->Recv(s, 2);
}

// Once closed, the handle may be given to a new socket: closing the UDP
// socket later must not close that one as its control socket.
void VZ_TcpDeliveryHost::CloseControlSocket(SOCKET s, SOCKET sUdp)
{
    GetSocketMgr()->WithSocket(sUdp, [s](_SOCKETCORE& udp) {
        if (udp.sPair == s)
            udp.sPair = INVALID_SOCKET;
    });
    GetSocketMgr()->CloseSocket(s);
}

void VZ_TcpDeliveryHost::SetRelayAddress(SOCKET sUdp, ULONG ulIP, USHORT usPort)
{
    LockTable();
    _SOCKETCORE* lpRec = FindTcpRecord(sUdp, TCP_ANY_SERIAL);
    if (lpRec != NULL) {
        lpRec->ulRemoteIP = ulIP;
        lpRec->usRemotePort = usPort;
    }
    UnlockTable();
}

void VZ_TcpDeliveryHost::RecordRecv(SOCKET s, const char* lpBuf, UINT uiLen, DWORD dwUserData1, DWORD dwUserData2)
{
    GetSocketMgr()->RecordRecv(s, lpBuf, uiLen, dwUserData1, dwUserData2);
}

bool VZ_TcpDeliveryHost::IsStopping()
{
    return false;
}
