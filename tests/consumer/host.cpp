// A host of the installed oxnet SDK: it makes a manager through oxnet.dll,
// starts it, listens on 127.0.0.1 and shuts it down again. Transfers through
// the DLL are the engine suite's and the MSVC-ABI host's; the version
// resource is checked on the install tree (sdk-test.sh). Exit code 0 when
// everything held.
#include <winsock2.h>
#include <windows.h>

#include <oxnet/ISocketMgr.h>

#include <cstdio>

namespace {

const char ENGINE[] = "IIocpSocketMgr1.0";

int Fail(const char* lpszWhat)
{
    std::printf("FAILED: %s\n", lpszWhat);
    return 1;
}

// A host implements every event; this one makes no connection, so none comes.
class HostSink : public ISocketMgrSink {
public:
    bool OnSocketPreAccept(const sockaddr_in*, const sockaddr_in*) override { return false; }
    void OnTcpConnect(int, SOCKET, DWORD, DWORD) override {}
    void OnTcpAccept(int, SOCKET, SOCKET, const sockaddr_in*, const sockaddr_in*) override {}
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
    int iResult = lpMgr->Initialize(0, 0, 0, 0) ? 0 : Fail("Initialize");
    SOCKET sListen = iResult == 0 ? lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 0) : INVALID_SOCKET;
    if (iResult == 0 && (sListen == INVALID_SOCKET || !lpMgr->Listen(sListen, 5) || !lpMgr->CloseSocket(sListen)))
        iResult = Fail("a listening socket on 127.0.0.1");
    if (!lpMgr->Uninitialize(0) && iResult == 0)
        iResult = Fail("Uninitialize");
    oxDestroyInstance(lpMgr);
    oxUninitialize();
    if (iResult == 0)
        std::printf("consumer: passed\n");
    return iResult;
}
