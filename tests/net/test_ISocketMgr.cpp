// A host compiled against ISocketMgr.h must find every operation in its slot.
// The fakes below record which operation ran; each slot is then called by
// index through the raw table, as code built by another compiler would.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "ISocketMgr.h"
#include "net/RecordingSocketMgr.h"

namespace {

typedef void (*SlotFn)(void*);

void CallSlot(void* lpObject, int iSlot)
{
    void** lpTable = *reinterpret_cast<void***>(lpObject);
    reinterpret_cast<SlotFn>(lpTable[iSlot])(lpObject);
}

class SlotSink : public ISocketMgrSink {
public:
    const char* m_lpszLast = "";
    bool OnSocketPreAccept(const sockaddr_in*, const sockaddr_in*) override RECORD_CALL("OnSocketPreAccept", false)
    void OnTcpConnect(int, SOCKET, DWORD, DWORD) override RECORD_CALL("OnTcpConnect", )
    void OnTcpAccept(int, SOCKET, SOCKET, const sockaddr_in*, const sockaddr_in*) override RECORD_CALL("OnTcpAccept", )
    void OnTcpRecv(int, SOCKET, const char*, UINT*, DWORD, DWORD) override RECORD_CALL("OnTcpRecv", )
    void OnUdpRecv(int, SOCKET, const char*, int, const sockaddr_in*, DWORD, DWORD) override RECORD_CALL("OnUdpRecv", )
    void OnTcpSend(int, SOCKET, DWORD, DWORD, DWORD, UINT) override RECORD_CALL("OnTcpSend", )
    void OnSocketClose(int, SOCKET, int, DWORD, DWORD) override RECORD_CALL("OnSocketClose", )
    void OnRecvTimeout(int, SOCKET, DWORD, DWORD) override RECORD_CALL("OnRecvTimeout", )
    void OnSendTimeout(int, SOCKET, DWORD, DWORD) override RECORD_CALL("OnSendTimeout", )
    void OnDnsParse(const char*, ULONG) override RECORD_CALL("OnDnsParse", )
    void OnTimer(SOCKET, UINT, DWORD, DWORD, DWORD) override RECORD_CALL("OnTimer", )
    void OnProxyResult(int, SOCKET, const sockaddr_in*, DWORD, DWORD) override RECORD_CALL("OnProxyResult", )
    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override RECORD_CALL("OnReserved", 0)
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
    RecordingSocketMgr mgr;
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
