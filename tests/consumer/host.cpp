// A host of the installed oxnet SDK: through oxnet.dll it connects a client
// to a listener of the same manager on 127.0.0.1 and waits for both ends'
// events. The version resource is checked on the install tree (sdk-test.sh),
// the byte exchange by the MSVC-ABI host. Exit code 0 when everything held;
// every wait is bounded.
#include <winsock2.h>
#include <windows.h>

#include <oxnet/ISocketMgr.h>

#include <cstdio>

namespace {

const char ENGINE[] = "IIocpSocketMgr1.0";
const DWORD WAIT_MS = 10000;
const DWORD TAG_CLIENT = 2;

int Fail(const char* lpszWhat)
{
    std::printf("FAILED: %s\n", lpszWhat);
    return 1;
}

// Events arrive on the manager's threads; the host's thread waits on events.
class HostSink : public ISocketMgrSink {
public:
    HANDLE m_hConnected = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE m_hAccepted = CreateEventA(NULL, TRUE, FALSE, NULL);
    SOCKET m_sPeer = INVALID_SOCKET;
    int m_iConnectError = -1;

    virtual ~HostSink()
    {
        CloseHandle(m_hConnected);
        CloseHandle(m_hAccepted);
    }
    bool OnSocketPreAccept(const sockaddr_in*, const sockaddr_in*) override { return true; }
    void OnTcpConnect(int iError, SOCKET, DWORD dwUserData1, DWORD) override
    {
        if (dwUserData1 == TAG_CLIENT) {
            m_iConnectError = iError;
            SetEvent(m_hConnected);
        }
    }
    void OnTcpAccept(int iError, SOCKET, SOCKET sAccept, const sockaddr_in*, const sockaddr_in*) override
    {
        if (iError == 0) {
            m_sPeer = sAccept;
            SetEvent(m_hAccepted);
        }
    }
    void OnTcpRecv(int, SOCKET, const char*, UINT* lpuiLen, DWORD, DWORD) override { *lpuiLen = 0; }
    void OnUdpRecv(int, SOCKET, const char*, int, const sockaddr_in*, DWORD, DWORD) override {}
    void OnTcpSend(int, SOCKET, DWORD, DWORD, DWORD, UINT) override {}
    void OnSocketClose(int, SOCKET, int, DWORD, DWORD) override {}
    void OnRecvTimeout(int, SOCKET, DWORD, DWORD) override {}
    void OnSendTimeout(int, SOCKET, DWORD, DWORD) override {}
    void OnDnsParse(const char*, ULONG) override {}
    void OnTimer(SOCKET, UINT, DWORD, DWORD, DWORD) override {}
    void OnProxyResult(int, SOCKET, const sockaddr_in*, DWORD, DWORD) override {}
    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override { return 0; }
};

// The connection on an initialized manager; 0 when both ends saw it.
int ConnectToSelf(ISocketMgr* lpMgr, HostSink& sink)
{
    SOCKET sListen = lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 0);
    sockaddr_in addr;
    int iLen = sizeof(addr);
    if (sListen == INVALID_SOCKET || !lpMgr->Listen(sListen, 5) ||
        getsockname(sListen, reinterpret_cast<sockaddr*>(&addr), &iLen) != 0)
        return Fail("listening socket on 127.0.0.1");
    SOCKET sClient = lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, TAG_CLIENT, 0);
    if (sClient == INVALID_SOCKET || !lpMgr->Connect(sClient, "127.0.0.1", ntohs(addr.sin_port)))
        return Fail("client socket or Connect");
    if (WaitForSingleObject(sink.m_hConnected, WAIT_MS) != WAIT_OBJECT_0 || sink.m_iConnectError != 0)
        return Fail("OnTcpConnect without error within 10 s");
    if (WaitForSingleObject(sink.m_hAccepted, WAIT_MS) != WAIT_OBJECT_0)
        return Fail("OnTcpAccept within 10 s");
    std::printf("connected over TCP on 127.0.0.1 through %s\n", ENGINE);
    lpMgr->CloseSocket(sClient);
    lpMgr->CloseSocket(sink.m_sPeer);
    lpMgr->CloseSocket(sListen);
    return 0;
}

} // namespace

int main()
{
    std::setvbuf(stdout, NULL, _IONBF, 0);
    if (!oxInitialize())
        return Fail("oxInitialize");
    ISocketMgr* lpMgr = oxCreateInstance(ENGINE);
    if (lpMgr == NULL)
        return Fail("oxCreateInstance");
    HostSink sink;
    lpMgr->SetSink(&sink);
    int iResult = lpMgr->Initialize(0, 0, 0, 0) ? ConnectToSelf(lpMgr, sink) : Fail("Initialize");
    lpMgr->Uninitialize(0);
    oxDestroyInstance(lpMgr);
    oxUninitialize();
    if (iResult == 0)
        std::printf("consumer: passed\n");
    return iResult;
}
