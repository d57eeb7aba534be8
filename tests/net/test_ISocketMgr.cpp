// A host compiled against ISocketMgr.h must find every operation in its slot.
// The fakes record which operation ran; each slot is then called by
// index through the raw table, as code built by another compiler would.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "ISocketMgr.h"
#include "net/LogSink.h"
#include "net/RecordingSocketMgr.h"

namespace {

// Every slot is called with zeros for up to nine arguments: harmless for
// operations that take fewer, and NULL pointers the fakes tolerate.
typedef void (*SlotFn)(void*, ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR,
                       ULONG_PTR);

void CallSlot(void* lpObject, int iSlot)
{
    void** lpTable = *reinterpret_cast<void***>(lpObject);
    reinterpret_cast<SlotFn>(lpTable[iSlot])(lpObject, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}

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
    const char* const slots[] = {"preaccept", "connect", "accept", "recv", "udp", "send", "close",
                                 "recvtimeout", "sendtimeout", "dns", "timer", "proxy", "reserved"};
    LogSink sink;
    for (int i = 0; i < static_cast<int>(sizeof(slots) / sizeof(slots[0])); ++i) {
        CallSlot(&sink, i);
        std::vector<std::string> log = sink.Log();
        ASSERT_EQ(size_t(i + 1), log.size());
        EXPECT_EQ(slots[i], log.back().substr(0, log.back().find(' '))) << "slot " << i;
    }
}
