// A host of the installed oxnet SDK: checks the DLL's version resource, then
// makes one TCP connection through oxnet.dll on 127.0.0.1 (listener and
// client on one manager), sends a few bytes and checks they arrive.
// Exit code 0 when everything held; every wait is bounded.
#include <winsock2.h>
#include <windows.h>

#include <oxnet/ISocketMgr.h>

#include <cstdio>
#include <cstring>

namespace {

const char ENGINE[] = "IIocpSocketMgr1.0";
const char MESSAGE[] = "oxnet consumer says hello";
const UINT MESSAGE_LEN = sizeof(MESSAGE) - 1;
const DWORD WAIT_MS = 10000;
const DWORD TAG_LISTEN = 1, TAG_CLIENT = 2, TAG_PEER = 3;

int Fail(const char* lpszWhat)
{
    std::printf("FAILED: %s\n", lpszWhat);
    return 1;
}

// The file version of oxnet.dll as "major.minor.patch" and its product name.
bool ReadDllVersion(char* lpszVersion, size_t nVersion, char* lpszProduct, size_t nProduct)
{
    HMODULE hDll = GetModuleHandleA("oxnet.dll");
    char szPath[MAX_PATH];
    if (hDll == NULL || GetModuleFileNameA(hDll, szPath, MAX_PATH) == 0)
        return false;
    DWORD dwHandle = 0;
    DWORD dwSize = GetFileVersionInfoSizeA(szPath, &dwHandle);
    if (dwSize == 0)
        return false;
    static char buf[8192];
    if (dwSize > sizeof(buf) || !GetFileVersionInfoA(szPath, 0, dwSize, buf))
        return false;
    VS_FIXEDFILEINFO* lpFixed = NULL;
    UINT uiLen = 0;
    if (!VerQueryValueA(buf, "\\", reinterpret_cast<void**>(&lpFixed), &uiLen) || lpFixed == NULL)
        return false;
    std::snprintf(lpszVersion, nVersion, "%u.%u.%u", static_cast<unsigned>(HIWORD(lpFixed->dwFileVersionMS)),
                  static_cast<unsigned>(LOWORD(lpFixed->dwFileVersionMS)),
                  static_cast<unsigned>(HIWORD(lpFixed->dwFileVersionLS)));
    char* lpszName = NULL;
    if (!VerQueryValueA(buf, "\\StringFileInfo\\040904B0\\ProductName", reinterpret_cast<void**>(&lpszName),
                        &uiLen) ||
        lpszName == NULL)
        return false;
    std::snprintf(lpszProduct, nProduct, "%s", lpszName);
    return true;
}

// Events arrive on the manager's threads; the host's thread waits on events.
class HostSink : public ISocketMgrSink {
public:
    explicit HostSink(ISocketMgr* lpMgr)
        : m_lpMgr(lpMgr), m_sPeer(INVALID_SOCKET), m_iConnectError(-1), m_uiReceived(0), m_bMismatch(false)
    {
        m_hConnected = CreateEventA(NULL, TRUE, FALSE, NULL);
        m_hAccepted = CreateEventA(NULL, TRUE, FALSE, NULL);
        m_hReceived = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    virtual ~HostSink()
    {
        CloseHandle(m_hConnected);
        CloseHandle(m_hAccepted);
        CloseHandle(m_hReceived);
    }

    bool OnSocketPreAccept(const sockaddr_in*, const sockaddr_in*) override { return true; }
    void OnTcpConnect(int iError, SOCKET, DWORD dwUserData1, DWORD) override
    {
        if (dwUserData1 != TAG_CLIENT)
            return;
        m_iConnectError = iError;
        SetEvent(m_hConnected);
    }
    void OnTcpAccept(int iError, SOCKET sListen, SOCKET sAccept, const sockaddr_in*, const sockaddr_in*) override
    {
        (void)sListen;
        if (iError != 0)
            return;
        m_lpMgr->SetUserData1(sAccept, TAG_PEER);
        m_sPeer = sAccept;
        SetEvent(m_hAccepted);
        m_lpMgr->Recv(sAccept, 1);
    }
    void OnTcpRecv(int iError, SOCKET s, const char* buf, UINT* lpuiLen, DWORD dwUserData1, DWORD) override
    {
        if (iError != 0 || dwUserData1 != TAG_PEER) {
            *lpuiLen = 0;
            return;
        }
        // Bytes may come in any split: compare each piece where it belongs.
        UINT uiLen = *lpuiLen;
        if (m_uiReceived + uiLen > MESSAGE_LEN || std::memcmp(buf, MESSAGE + m_uiReceived, uiLen) != 0)
            m_bMismatch = true;
        m_uiReceived += uiLen;
        if (m_bMismatch || m_uiReceived >= MESSAGE_LEN)
            SetEvent(m_hReceived);
        else
            m_lpMgr->Recv(s, 1);
    }
    void OnUdpRecv(int, SOCKET, const char*, int, const sockaddr_in*, DWORD, DWORD) override {}
    void OnTcpSend(int, SOCKET, DWORD, DWORD, DWORD, UINT) override {}
    void OnSocketClose(int, SOCKET, int, DWORD, DWORD) override {}
    void OnRecvTimeout(int, SOCKET, DWORD, DWORD) override {}
    void OnSendTimeout(int, SOCKET, DWORD, DWORD) override {}
    void OnDnsParse(const char*, ULONG) override {}
    void OnTimer(SOCKET, UINT, DWORD, DWORD, DWORD) override {}
    void OnProxyResult(int, SOCKET, const sockaddr_in*, DWORD, DWORD) override {}
    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override { return 0; }

    ISocketMgr* m_lpMgr;
    HANDLE m_hConnected, m_hAccepted, m_hReceived;
    SOCKET m_sPeer;
    int m_iConnectError;
    UINT m_uiReceived;
    bool m_bMismatch;
};

// The transfer on an initialized manager; 0 when the bytes arrived intact.
int Transfer(ISocketMgr* lpMgr, HostSink& sink)
{
    SOCKET sListen = lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, TAG_LISTEN, 0);
    if (sListen == INVALID_SOCKET || !lpMgr->Listen(sListen, 5))
        return Fail("listening socket on 127.0.0.1");
    sockaddr_in addr;
    int iLen = sizeof(addr);
    if (getsockname(sListen, reinterpret_cast<sockaddr*>(&addr), &iLen) != 0)
        return Fail("getsockname of the listening socket");
    USHORT usPort = ntohs(addr.sin_port);
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(usPort));

    SOCKET sClient = lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, TAG_CLIENT, 0);
    if (sClient == INVALID_SOCKET || !lpMgr->Connect(sClient, "127.0.0.1", usPort))
        return Fail("client socket or Connect");
    if (WaitForSingleObject(sink.m_hConnected, WAIT_MS) != WAIT_OBJECT_0 || sink.m_iConnectError != 0)
        return Fail("OnTcpConnect without error within 10 s");
    if (WaitForSingleObject(sink.m_hAccepted, WAIT_MS) != WAIT_OBJECT_0)
        return Fail("OnTcpAccept within 10 s");
    if (!lpMgr->Send(sClient, MESSAGE, static_cast<int>(MESSAGE_LEN), 0, NULL))
        return Fail("Send");
    if (WaitForSingleObject(sink.m_hReceived, WAIT_MS) != WAIT_OBJECT_0)
        return Fail("the bytes within 10 s");
    if (sink.m_bMismatch || sink.m_uiReceived != MESSAGE_LEN)
        return Fail("the bytes arrived altered");
    std::printf("%u bytes sent and received intact over TCP through %s\n", MESSAGE_LEN, ENGINE);
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

    char szVersion[32], szProduct[64];
    if (!ReadDllVersion(szVersion, sizeof(szVersion), szProduct, sizeof(szProduct)))
        return Fail("oxnet.dll has no readable version resource");
    std::printf("oxnet.dll: product \"%s\", file version %s, package version %s\n", szProduct, szVersion,
                OXNET_PACKAGE_VERSION);
    if (std::strcmp(szVersion, OXNET_PACKAGE_VERSION) != 0 || std::strcmp(szProduct, "oxnet") != 0)
        return Fail("version resource differs from the package");

    ISocketMgr* lpMgr = oxCreateInstance(ENGINE);
    if (lpMgr == NULL)
        return Fail("oxCreateInstance");
    HostSink sink(lpMgr);
    lpMgr->SetSink(&sink);
    int iResult = lpMgr->Initialize(0, 0, 0, 0) ? Transfer(lpMgr, sink) : Fail("Initialize");
    lpMgr->Uninitialize(0);
    oxDestroyInstance(lpMgr);
    oxUninitialize();
    if (iResult == 0)
        std::printf("consumer: passed\n");
    return iResult;
}
