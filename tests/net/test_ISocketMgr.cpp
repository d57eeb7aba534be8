// A host compiled against ISocketMgr.h must find every operation in its slot.
// The fakes below record which operation ran; each slot is then called by
// index through the raw table, as code built by another compiler would.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "ISocketMgr.h"

namespace {

typedef void (*SlotFn)(void*);

void CallSlot(void* lpObject, int iSlot)
{
    void** lpTable = *reinterpret_cast<void***>(lpObject);
    reinterpret_cast<SlotFn>(lpTable[iSlot])(lpObject);
}

#define RECORD(name, result) \
    { \
        m_lpszLast = name; \
        return result; \
    }

class SlotMgr : public ISocketMgr {
public:
    const char* m_lpszLast = "";
    HANDLE CreateProxy(UINT, const char*, USHORT, const char*, const char*) override RECORD("CreateProxy", NULL)
    bool DestroyProxy(HANDLE) override RECORD("DestroyProxy", false)
    bool SetSendBufSize(SOCKET, int) override RECORD("SetSendBufSize", false)
    bool SetRecvBufSize(SOCKET, int) override RECORD("SetRecvBufSize", false)
    bool SetSendTimeout(SOCKET, UINT) override RECORD("SetSendTimeout", false)
    bool SetRecvTimeout(SOCKET, UINT) override RECORD("SetRecvTimeout", false)
    bool KillSendTimeout(SOCKET) override RECORD("KillSendTimeout", false)
    bool KillRecvTimeout(SOCKET) override RECORD("KillRecvTimeout", false)
    bool SetTimer(SOCKET, UINT, UINT, DWORD, bool) override RECORD("SetTimer", false)
    bool KillTimer(SOCKET, UINT) override RECORD("KillTimer", false)
    bool Initialize(BYTE, int, DWORD, DWORD) override RECORD("Initialize", false)
    bool Uninitialize(DWORD) override RECORD("Uninitialize", false)
    bool Shutdown(SOCKET, int) override RECORD("Shutdown", false)
    bool CloseSocket(SOCKET) override RECORD("CloseSocket", false)
    bool Recv(SOCKET, UINT) override RECORD("Recv", false)
    bool DnsParse(const char*) override RECORD("DnsParse", false)
    bool SetUserData1(SOCKET, DWORD) override RECORD("SetUserData1", false)
    bool SetUserData2(SOCKET, DWORD) override RECORD("SetUserData2", false)
    bool GetUserData(SOCKET, DWORD*, DWORD*) override RECORD("GetUserData", false)
    SOCKET CreateUdpSocket(HANDLE, const char*, USHORT, DWORD, DWORD) override RECORD("CreateUdpSocket(text)", 0)
    SOCKET CreateUdpSocket(HANDLE, const sockaddr_in*, DWORD, DWORD) override RECORD("CreateUdpSocket(addr)", 0)
    int SendTo(SOCKET, const sockaddr_in*, const char*, int, bool) override RECORD("SendTo(addr)", 0)
    int SendTo(SOCKET, const char*, USHORT, const char*, int, bool) override RECORD("SendTo(text)", 0)
    SOCKET CreateTcpSocket(HANDLE, const char*, USHORT, DWORD, DWORD) override RECORD("CreateTcpSocket(text)", 0)
    SOCKET CreateTcpSocket(HANDLE, const sockaddr_in*, DWORD, DWORD) override RECORD("CreateTcpSocket(addr)", 0)
    bool Connect(SOCKET, const char*, USHORT) override RECORD("Connect(text)", false)
    bool Connect(SOCKET, const sockaddr_in*) override RECORD("Connect(addr)", false)
    bool Listen(SOCKET, int) override RECORD("Listen", false)
    bool SendV(SOCKET, const _SOCKBUF*, UINT, DWORD, UINT*) override RECORD("SendV", false)
    bool Send(SOCKET, const char*, int, DWORD, UINT*) override RECORD("Send", false)
    void SetSink(ISocketMgrSink*) override RECORD("SetSink", )
    ISocketMgrSink* GetSink() override RECORD("GetSink", NULL)
    DWORD SocketCtrl(UINT, SOCKET, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override RECORD("SocketCtrl", 0)
};

class SlotSink : public ISocketMgrSink {
public:
    const char* m_lpszLast = "";
    bool OnSocketPreAccept(const sockaddr_in*, const sockaddr_in*) override RECORD("OnSocketPreAccept", false)
    void OnTcpConnect(int, SOCKET, DWORD, DWORD) override RECORD("OnTcpConnect", )
    void OnTcpAccept(int, SOCKET, SOCKET, const sockaddr_in*, const sockaddr_in*) override RECORD("OnTcpAccept", )
    void OnTcpRecv(int, SOCKET, const char*, UINT*, DWORD, DWORD) override RECORD("OnTcpRecv", )
    void OnUdpRecv(int, SOCKET, const char*, int, const sockaddr_in*, DWORD, DWORD) override RECORD("OnUdpRecv", )
    void OnTcpSend(int, SOCKET, DWORD, DWORD, DWORD, UINT) override RECORD("OnTcpSend", )
    void OnSocketClose(int, SOCKET, int, DWORD, DWORD) override RECORD("OnSocketClose", )
    void OnRecvTimeout(int, SOCKET, DWORD, DWORD) override RECORD("OnRecvTimeout", )
    void OnSendTimeout(int, SOCKET, DWORD, DWORD) override RECORD("OnSendTimeout", )
    void OnDnsParse(const char*, ULONG) override RECORD("OnDnsParse", )
    void OnTimer(SOCKET, UINT, DWORD, DWORD, DWORD) override RECORD("OnTimer", )
    void OnProxyResult(int, SOCKET, const sockaddr_in*, DWORD, DWORD) override RECORD("OnProxyResult", )
    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override RECORD("OnReserved", 0)
};

} // namespace

TEST(SocketMgrInterface, ManagerOperationsStandInTheirSlots)
{
    const char* const slots[] = {
        "CreateProxy", "DestroyProxy", "SetSendBufSize", "SetRecvBufSize", "SetSendTimeout",
        "SetRecvTimeout", "KillSendTimeout", "KillRecvTimeout", "SetTimer", "KillTimer",
        "Initialize", "Uninitialize", "Shutdown", "CloseSocket", "Recv", "DnsParse",
        "SetUserData1", "SetUserData2", "GetUserData", "CreateUdpSocket(text)",
        "CreateUdpSocket(addr)", "SendTo(addr)", "SendTo(text)", "CreateTcpSocket(text)",
        "CreateTcpSocket(addr)", "Connect(text)", "Connect(addr)", "Listen", "SendV", "Send",
        "SetSink", "GetSink", "SocketCtrl"};
    SlotMgr mgr;
    for (int i = 0; i < static_cast<int>(sizeof(slots) / sizeof(slots[0])); ++i) {
        mgr.m_lpszLast = "";
        CallSlot(&mgr, i);
        EXPECT_STREQ(slots[i], mgr.m_lpszLast) << "slot " << i;
    }
}

TEST(SocketMgrInterface, SinkEventsStandInTheirSlots)
{
    const char* const slots[] = {"OnSocketPreAccept", "OnTcpConnect", "OnTcpAccept", "OnTcpRecv",
                                 "OnUdpRecv", "OnTcpSend", "OnSocketClose", "OnRecvTimeout",
                                 "OnSendTimeout", "OnDnsParse", "OnTimer", "OnProxyResult", "OnReserved"};
    SlotSink sink;
    for (int i = 0; i < static_cast<int>(sizeof(slots) / sizeof(slots[0])); ++i) {
        sink.m_lpszLast = "";
        CallSlot(&sink, i);
        EXPECT_STREQ(slots[i], sink.m_lpszLast) << "slot " << i;
    }
}
