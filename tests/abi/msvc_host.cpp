// A host built as an MSVC compiler builds it (clang for an MSVC target: the
// MSVC class layout, thiscall members on 32-bit Windows, MSVC name mangling),
// linked with the mingw-built oxnet.dll. It calls the manager through the
// MSVC layout of ISocketMgr and implements ISocketMgrSink for the DLL to call
// back, and checks every argument on both sides: a slot or calling convention
// that differs between the compilers shows as a wrong value or a crash.
// No runtime library: Winsock, events and output are in msvc_host_win.c.
#include "ISocketMgr.h"   // brings the Windows headers
#include "msvc_host.h"

#ifndef _MSC_VER
#error "the host must be compiled for an MSVC target"
#endif

namespace {

const DWORD WAIT_MS = 10000;
const DWORD TAG_LISTEN1 = 0x11111111, TAG_LISTEN2 = 0x22222222, TAG_PEER = 0x5EE12345;
const UINT TIMER_EVENT = 7;
const DWORD TIMER_PARAM = 0xC0FFEE42, SEND_PARAM = 0x5E11D007;
const char REQUEST[] = "0123456789";
const UINT REQUEST_LEN = 10, REQUEST_FIRST = 4;
const char REPLY[] = "reply from the msvc host";
const int REPLY_LEN = sizeof(REPLY) - 1;
const ULONG LOOPBACK = 0x0100007F; // 127.0.0.1 in network byte order

bool SameBytes(const char* a, const char* b, UINT n)
{
    for (UINT i = 0; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// 127.0.0.1 and the port (host order; sin_port is in network order).
bool IsLoopback(const sockaddr_in* lpAddr, USHORT usPort)
{
    return lpAddr != nullptr && lpAddr->sin_family == 2 && lpAddr->sin_addr.s_addr == LOOPBACK &&
           static_cast<USHORT>((lpAddr->sin_port >> 8) | (lpAddr->sin_port << 8)) == usPort;
}

// Events come on the manager's threads; the main thread waits for them.
enum { ACCEPTED, RECEIVED, TIMER, SENT, EVENT_COUNT };
class HostSink : public ISocketMgrSink {
public:
    ISocketMgr* m_lpMgr = nullptr;
    SOCKET m_sListen = 0, m_sAccept = 0;
    USHORT m_usListenPort = 0, m_usClientPort = 0;
    UINT m_uiRecvCalls = 0;
    void* m_hEvent[EVENT_COUNT] = { AbiEventNew(), AbiEventNew(), AbiEventNew(), AbiEventNew() };
    ~HostSink() { for (void* h : m_hEvent) AbiEventFree(h); }

    bool OnSocketPreAccept(const sockaddr_in* lpLocalAddr, const sockaddr_in* lpPeerAddr) override
    {
        AbiCheck(IsLoopback(lpLocalAddr, m_usListenPort), "OnSocketPreAccept: local address");
        AbiCheck(IsLoopback(lpPeerAddr, m_usClientPort), "OnSocketPreAccept: peer address");
        return true;
    }
    void OnTcpAccept(int iError, SOCKET sListen, SOCKET sAccept, const sockaddr_in* lpLocalAddr,
                     const sockaddr_in* lpPeerAddr) override
    {
        AbiCheck(iError == 0 && sListen == m_sListen, "OnTcpAccept: error and listening socket");
        AbiCheck(IsLoopback(lpLocalAddr, m_usListenPort) && IsLoopback(lpPeerAddr, m_usClientPort),
                 "OnTcpAccept: addresses");
        DWORD dw1 = 1, dw2 = 1;
        AbiCheck(m_lpMgr->SetUserData1(sAccept, TAG_PEER), "SetUserData1 on the accepted socket");
        AbiCheck(m_lpMgr->GetUserData(sAccept, &dw1, &dw2) && dw1 == TAG_PEER && dw2 == 0,
                 "GetUserData of the accepted socket after SetUserData1");
        m_sAccept = sAccept;
        AbiEventSet(m_hEvent[ACCEPTED]);
    }
    // Consumes the first bytes only and asks for the rest from inside: the
    // count written back decides where the second delivery starts.
    void OnTcpRecv(int iError, SOCKET s, const char* buf, UINT* lpuiLen, DWORD dwUserData1,
                   DWORD dwUserData2) override
    {
        UINT uiCall = ++m_uiRecvCalls;
        AbiCheck(iError == 0 && s == m_sAccept && dwUserData1 == TAG_PEER && dwUserData2 == 0,
                 "OnTcpRecv: error, socket and user values");
        UINT uiFrom = uiCall == 1 ? 0 : REQUEST_FIRST;
        if (!AbiCheck(uiCall <= 2 && *lpuiLen == REQUEST_LEN - uiFrom &&
                          SameBytes(buf, REQUEST + uiFrom, REQUEST_LEN - uiFrom),
                      "OnTcpRecv: the bytes not yet consumed")) {
            AbiEventSet(m_hEvent[RECEIVED]);
            return;
        }
        if (uiCall == 1) {
            *lpuiLen = REQUEST_FIRST;
            AbiCheck(m_lpMgr->Recv(s, REQUEST_LEN - REQUEST_FIRST), "Recv from inside OnTcpRecv");
        } else {
            AbiEventSet(m_hEvent[RECEIVED]);
        }
    }
    void OnTcpSend(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2, DWORD dwSendParam,
                   UINT uiQueued) override
    {
        AbiCheck(iError == 0 && s == m_sAccept && dwUserData1 == TAG_PEER && dwUserData2 == 0 &&
                     dwSendParam == SEND_PARAM && uiQueued == 0,
                 "OnTcpSend: arguments");
        AbiEventSet(m_hEvent[SENT]);
    }
    void OnTimer(SOCKET s, UINT uiEvent, DWORD dwParam, DWORD dwUserData1, DWORD dwUserData2) override
    {
        AbiCheck(s == m_sAccept && uiEvent == TIMER_EVENT && dwParam == TIMER_PARAM &&
                     dwUserData1 == TAG_PEER && dwUserData2 == 0,
                 "OnTimer: arguments");
        AbiEventSet(m_hEvent[TIMER]);
    }
    // The exchange raises none of these: one arriving means a slot mix-up.
    void OnTcpConnect(int, SOCKET, DWORD, DWORD) override { AbiCheck(false, "unexpected OnTcpConnect"); }
    void OnUdpRecv(int, SOCKET, const char*, int, const sockaddr_in*, DWORD, DWORD) override
    { AbiCheck(false, "unexpected OnUdpRecv"); }
    void OnSocketClose(int, SOCKET, int, DWORD, DWORD) override { AbiCheck(false, "unexpected OnSocketClose"); }
    void OnRecvTimeout(int, SOCKET, DWORD, DWORD) override { AbiCheck(false, "unexpected OnRecvTimeout"); }
    void OnSendTimeout(int, SOCKET, DWORD, DWORD) override { AbiCheck(false, "unexpected OnSendTimeout"); }
    void OnDnsParse(const char*, ULONG) override { AbiCheck(false, "unexpected OnDnsParse"); }
    void OnProxyResult(int, SOCKET, const sockaddr_in*, DWORD, DWORD) override
    { AbiCheck(false, "unexpected OnProxyResult"); }
    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override
    { return AbiCheck(false, "unexpected OnReserved"); }
};

// Listen, accept the raw client, receive in two deliveries, timer, send back.
void Exchange(ISocketMgr* lpMgr, HostSink& sink)
{
    DWORD dw1 = 0, dw2 = 0;
    sink.m_sListen = lpMgr->CreateTcpSocket(nullptr, "127.0.0.1", 0, TAG_LISTEN1, TAG_LISTEN2);
    if (!AbiCheck(sink.m_sListen != INVALID_SOCKET && lpMgr->Listen(sink.m_sListen, 5), "CreateTcpSocket, Listen") ||
        !AbiCheck(lpMgr->GetUserData(sink.m_sListen, &dw1, &dw2) && dw1 == TAG_LISTEN1 && dw2 == TAG_LISTEN2,
                  "GetUserData of the listening socket"))
        return;
    sink.m_usListenPort = AbiLocalPort(sink.m_sListen);
    sink.m_usClientPort = AbiClientOpen();
    if (!AbiCheck(sink.m_usListenPort != 0 && sink.m_usClientPort != 0, "ports of the listener and client") ||
        !AbiCheck(AbiClientConnect(sink.m_usListenPort), "raw client connect") ||
        !AbiCheck(AbiEventWait(sink.m_hEvent[ACCEPTED], WAIT_MS), "OnTcpAccept within 10 s"))
        return;

    SOCKET s = sink.m_sAccept;
    if (!AbiCheck(lpMgr->Recv(s, REQUEST_LEN), "Recv") ||
        !AbiCheck(AbiClientSend(REQUEST, REQUEST_LEN), "raw client send") ||
        !AbiCheck(AbiEventWait(sink.m_hEvent[RECEIVED], WAIT_MS), "OnTcpRecv twice within 10 s"))
        return;

    if (!AbiCheck(lpMgr->SetTimer(s, TIMER_EVENT, 10, TIMER_PARAM, true), "SetTimer") ||
        !AbiCheck(AbiEventWait(sink.m_hEvent[TIMER], WAIT_MS), "OnTimer within 10 s"))
        return;

    UINT uiQueued = 99;
    char reply[REPLY_LEN];
    if (AbiCheck(lpMgr->Send(s, REPLY, REPLY_LEN, SEND_PARAM, &uiQueued) && uiQueued <= 1, "Send") &&
        AbiCheck(AbiClientRecv(reply, REPLY_LEN, WAIT_MS) && SameBytes(reply, REPLY, REPLY_LEN),
                 "the raw client reads the reply"))
        AbiCheck(AbiEventWait(sink.m_hEvent[SENT], WAIT_MS), "OnTcpSend within 10 s");
}

} // namespace

extern "C" void AbiHostRun(const char* lpszEngine)
{
    ISocketMgr* lpMgr = oxCreateInstance(lpszEngine);
    if (!AbiCheck(lpMgr != nullptr, "oxCreateInstance"))
        return;
    HostSink sink;
    sink.m_lpMgr = lpMgr;
    lpMgr->SetSink(&sink);
    if (AbiCheck(lpMgr->GetSink() == &sink, "GetSink") && AbiCheck(lpMgr->Initialize(0, 2, 0, 0), "Initialize"))
        Exchange(lpMgr, sink);
    if (sink.m_sAccept != 0)
        lpMgr->CloseSocket(sink.m_sAccept);
    lpMgr->CloseSocket(sink.m_sListen);
    AbiCheck(lpMgr->Uninitialize(0), "Uninitialize");
    oxDestroyInstance(lpMgr);
    AbiClientClose();
}
