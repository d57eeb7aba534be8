// A socket manager that does nothing but record which operation ran last and
// whether it was destroyed.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "ISocketMgr.h"

#define RECORD_CALL(name, result) \
    { \
        m_lpszLast = name; \
        return result; \
    }

class RecordingSocketMgr : public ISocketMgr {
public:
    const char* m_lpszLast = "";
    bool* m_lpbDestroyed = NULL;
    ~RecordingSocketMgr() override
    {
        if (m_lpbDestroyed)
            *m_lpbDestroyed = true;
    }
    HANDLE CreateProxy(UINT, const char*, USHORT, const char*, const char*) override RECORD_CALL("CreateProxy", NULL)
    bool DestroyProxy(HANDLE) override RECORD_CALL("DestroyProxy", false)
    bool SetSendBufSize(SOCKET, int) override RECORD_CALL("SetSendBufSize", false)
    bool SetRecvBufSize(SOCKET, int) override RECORD_CALL("SetRecvBufSize", false)
    bool SetSendTimeout(SOCKET, UINT) override RECORD_CALL("SetSendTimeout", false)
    bool SetRecvTimeout(SOCKET, UINT) override RECORD_CALL("SetRecvTimeout", false)
    bool KillSendTimeout(SOCKET) override RECORD_CALL("KillSendTimeout", false)
    bool KillRecvTimeout(SOCKET) override RECORD_CALL("KillRecvTimeout", false)
    bool SetTimer(SOCKET, UINT, UINT, DWORD, bool) override RECORD_CALL("SetTimer", false)
    bool KillTimer(SOCKET, UINT) override RECORD_CALL("KillTimer", false)
    bool Initialize(BYTE, int, DWORD, DWORD) override RECORD_CALL("Initialize", false)
    bool Uninitialize(DWORD) override RECORD_CALL("Uninitialize", false)
    bool Shutdown(SOCKET, int) override RECORD_CALL("Shutdown", false)
    bool CloseSocket(SOCKET) override RECORD_CALL("CloseSocket", false)
    bool Recv(SOCKET, UINT) override RECORD_CALL("Recv", false)
    bool DnsParse(const char*) override RECORD_CALL("DnsParse", false)
    bool SetUserData1(SOCKET, DWORD) override RECORD_CALL("SetUserData1", false)
    bool SetUserData2(SOCKET, DWORD) override RECORD_CALL("SetUserData2", false)
    bool GetUserData(SOCKET, DWORD*, DWORD*) override RECORD_CALL("GetUserData", false)
    SOCKET CreateUdpSocket(HANDLE, const char*, USHORT, DWORD, DWORD) override RECORD_CALL("CreateUdpSocket(text)", 0)
    SOCKET CreateUdpSocket(HANDLE, const sockaddr_in*, DWORD, DWORD) override RECORD_CALL("CreateUdpSocket(addr)", 0)
    int SendTo(SOCKET, const sockaddr_in*, const char*, int, bool) override RECORD_CALL("SendTo(addr)", 0)
    int SendTo(SOCKET, const char*, USHORT, const char*, int, bool) override RECORD_CALL("SendTo(text)", 0)
    SOCKET CreateTcpSocket(HANDLE, const char*, USHORT, DWORD, DWORD) override RECORD_CALL("CreateTcpSocket(text)", 0)
    SOCKET CreateTcpSocket(HANDLE, const sockaddr_in*, DWORD, DWORD) override RECORD_CALL("CreateTcpSocket(addr)", 0)
    bool Connect(SOCKET, const char*, USHORT) override RECORD_CALL("Connect(text)", false)
    bool Connect(SOCKET, const sockaddr_in*) override RECORD_CALL("Connect(addr)", false)
    bool Listen(SOCKET, int) override RECORD_CALL("Listen", false)
    bool SendV(SOCKET, const _SOCKBUF*, UINT, DWORD, UINT*) override RECORD_CALL("SendV", false)
    bool Send(SOCKET, const char*, int, DWORD, UINT*) override RECORD_CALL("Send", false)
    void SetSink(ISocketMgrSink*) override RECORD_CALL("SetSink", )
    ISocketMgrSink* GetSink() override RECORD_CALL("GetSink", NULL)
    DWORD SocketCtrl(UINT, SOCKET, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override RECORD_CALL("SocketCtrl", 0)
};
