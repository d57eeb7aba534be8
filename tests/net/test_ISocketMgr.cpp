// A host compiled against ISocketMgr.h must find every operation in its slot.
// The fakes record which operation ran; each slot is then called by
// index through the raw table, as code built by another compiler would.
// 64-bit only: there the caller cleans the stack, so one call shape with
// surplus zero arguments fits every slot. The 32-bit member convention has the
// callee pop its own arguments and takes this in a register, which no single
// plain call can imitate; the 32-bit slots are proven by the layout check and
// by the MSVC-compiled host that runs against the DLL (tests/abi).
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "ISocketMgr.h"
#include "net/LogSink.h"

#ifdef _WIN64

namespace {

// Each operation records the slot a host expects it in, and its name.
#define SLOT(i, name, result) { m_iLast = i, m_lpszLast = name; return result; }

class SlotSocketMgr : public ISocketMgr {
public:
    int m_iLast = -1;
    const char* m_lpszLast = "none";
    HANDLE CreateProxy(UINT, const char*, USHORT, const char*, const char*) override SLOT(0, "CreateProxy", NULL)
    bool DestroyProxy(HANDLE) override SLOT(1, "DestroyProxy", false)
    bool SetSendBufSize(SOCKET, int) override SLOT(2, "SetSendBufSize", false)
    bool SetRecvBufSize(SOCKET, int) override SLOT(3, "SetRecvBufSize", false)
    bool SetSendTimeout(SOCKET, UINT) override SLOT(4, "SetSendTimeout", false)
    bool SetRecvTimeout(SOCKET, UINT) override SLOT(5, "SetRecvTimeout", false)
    bool KillSendTimeout(SOCKET) override SLOT(6, "KillSendTimeout", false)
    bool KillRecvTimeout(SOCKET) override SLOT(7, "KillRecvTimeout", false)
    bool SetTimer(SOCKET, UINT, UINT, DWORD, bool) override SLOT(8, "SetTimer", false)
    bool KillTimer(SOCKET, UINT) override SLOT(9, "KillTimer", false)
    bool Initialize(BYTE, int, DWORD, DWORD) override SLOT(10, "Initialize", false)
    bool Uninitialize(DWORD) override SLOT(11, "Uninitialize", false)
    bool Shutdown(SOCKET, int) override SLOT(12, "Shutdown", false)
    bool CloseSocket(SOCKET) override SLOT(13, "CloseSocket", false)
    bool Recv(SOCKET, UINT) override SLOT(14, "Recv", false)
    bool DnsParse(const char*) override SLOT(15, "DnsParse", false)
    bool SetUserData1(SOCKET, DWORD) override SLOT(16, "SetUserData1", false)
    bool SetUserData2(SOCKET, DWORD) override SLOT(17, "SetUserData2", false)
    bool GetUserData(SOCKET, DWORD*, DWORD*) override SLOT(18, "GetUserData", false)
    SOCKET CreateUdpSocket(HANDLE, const char*, USHORT, DWORD, DWORD) override SLOT(19, "CreateUdpSocket(text)", 0)
    SOCKET CreateUdpSocket(HANDLE, const sockaddr_in*, DWORD, DWORD) override SLOT(20, "CreateUdpSocket(addr)", 0)
    int SendTo(SOCKET, const sockaddr_in*, const char*, int, bool) override SLOT(21, "SendTo(addr)", 0)
    int SendTo(SOCKET, const char*, USHORT, const char*, int, bool) override SLOT(22, "SendTo(text)", 0)
    SOCKET CreateTcpSocket(HANDLE, const char*, USHORT, DWORD, DWORD) override SLOT(23, "CreateTcpSocket(text)", 0)
    SOCKET CreateTcpSocket(HANDLE, const sockaddr_in*, DWORD, DWORD) override SLOT(24, "CreateTcpSocket(addr)", 0)
    bool Connect(SOCKET, const char*, USHORT) override SLOT(25, "Connect(text)", false)
    bool Connect(SOCKET, const sockaddr_in*) override SLOT(26, "Connect(addr)", false)
    bool Listen(SOCKET, int) override SLOT(27, "Listen", false)
    bool SendV(SOCKET, const _SOCKBUF*, UINT, DWORD, UINT*) override SLOT(28, "SendV", false)
    bool Send(SOCKET, const char*, int, DWORD, UINT*) override SLOT(29, "Send", false)
    void SetSink(ISocketMgrSink*) override SLOT(30, "SetSink", )
    ISocketMgrSink* GetSink() override SLOT(31, "GetSink", NULL)
    DWORD SocketCtrl(UINT, SOCKET, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override SLOT(32, "SocketCtrl", 0)
};

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
    SlotSocketMgr mgr;
    for (int i = 0; i <= 32; ++i) {
        mgr.m_iLast = -1;
        CallSlot(&mgr, i);
        EXPECT_EQ(i, mgr.m_iLast) << "slot " << i << " ran " << mgr.m_lpszLast;
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

#endif // _WIN64
