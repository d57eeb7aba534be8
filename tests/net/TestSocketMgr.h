// A concrete manager on the engine-independent base, for testing the base:
// every engine operation fails, the base's members are reachable.
#pragma once

#include "core/VZ_SocketMgr.h"

class TestSocketMgr : public VZ_SocketMgr {
public:
    using VZ_SocketMgr::CreateTcpSocket;
    using VZ_SocketMgr::CreateUdpSocket;
    using VZ_SocketMgr::SendTo;
    using VZ_SocketMgr::m_listProxy;
    using VZ_SocketMgr::m_Memory;
    using VZ_SocketMgr::m_Timer;
    using VZ_SocketMgr::ExpireSocketTimer;
    using VZ_SocketMgr::InitSocketCore;
    using VZ_SocketMgr::StopTimerService;

    bool Initialize(BYTE, int, DWORD, DWORD) override { return false; }
    bool Uninitialize(DWORD) override { return false; }
    bool Shutdown(SOCKET, int) override { return false; }
    bool CloseSocket(SOCKET) override { return false; }
    bool Recv(SOCKET, UINT) override { return false; }
    bool SetUserData1(SOCKET, DWORD) override { return false; }
    bool SetUserData2(SOCKET, DWORD) override { return false; }
    bool GetUserData(SOCKET, DWORD*, DWORD*) override { return false; }
    SOCKET CreateUdpSocket(HANDLE, const sockaddr_in*, DWORD, DWORD) override { return INVALID_SOCKET; }
    int SendTo(SOCKET, const sockaddr_in*, const char*, int, bool) override { return SOCKET_ERROR; }
    SOCKET CreateTcpSocket(HANDLE, const sockaddr_in*, DWORD, DWORD) override { return INVALID_SOCKET; }
    bool Connect(SOCKET, const char*, USHORT) override { return false; }
    bool Connect(SOCKET, const sockaddr_in*) override { return false; }
    bool Listen(SOCKET, int) override { return false; }
    bool Send(SOCKET, const char*, int, DWORD, UINT*) override { return false; }
    DWORD SocketCtrl(UINT, SOCKET, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override { return 0; }
};
