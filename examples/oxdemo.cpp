// oxdemo: a minimal host of oxnet.dll. It lists the interface names the
// library knows, asks for each manager and hands it back, then, on each engine
// that this build has ("IIocpSocketMgr1.0", "IAsyncSocketMgr1.0",
// "ISelectSocketMgr1.0"; a name that yields no manager is reported as skipped),
// runs an echo server (whole 1 KiB messages) and its clients on one manager of
// that engine: 8 MiB in chunks of varied sizes over a direct connection, every
// byte verified, and, when a SOCKS5 proxy is given (--socks5 ADDR:PORT or
// OXDEMO_SOCKS5=ADDR:PORT), 256 KiB over a connection to the same server
// through that proxy. The echo server is the one the benchmark runs
// (EchoHost.h).
//
// oxdemo --simulator runs only the fault simulator's part (SimulatorDemo.h).
//
// Exit code: 0 when everything passed, 1 for a missing interface name, a
// failed set-up or no engine at all, 2 for a data mismatch, a refused or
// dropped connection, 3 for a time-out.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "EchoHost.h"
#include "ISocketMgr.h"
#include "SimulatorDemo.h"

namespace {

// The engines the echo runs on, in the order of the interface list. Names with
// the suffix 1.1 are the same engines recording to oxnet.rec, and the 2.0
// containers share one of them; "IRecordSocketMgr1.0" has no network.
const char* const ENGINE_NAMES[] = {"IIocpSocketMgr1.0", "IAsyncSocketMgr1.0", "ISelectSocketMgr1.0"};
const int ENGINE_COUNT = sizeof(ENGINE_NAMES) / sizeof(ENGINE_NAMES[0]);
const int ECHO_BACKLOG = 16;
const DWORD CLIENT_TAG = 0x4D454443;         // "CDEM": user value 1 of the demo's clients
const DWORD WAIT_MS = 60000;                  // bound of every wait for a transfer
const UINT DIRECT_BYTES = 8u * 1024 * 1024;   // sent over the direct connection
const UINT PROXIED_BYTES = 256u * 1024;       // sent through the proxy
const UINT WINDOW_BYTES = 1024u * 1024;       // sent but not yet echoed, at most
const UINT MAX_CHUNK = 64u * 1024;
// The server echoes whole 1 KiB messages, so the chunks, which cut messages
// anywhere, leave partial messages buffered in the manager between events.
const UINT ECHO_MSG_LEN = 1024;
static_assert(DIRECT_BYTES % ECHO_MSG_LEN == 0 && PROXIED_BYTES % ECHO_MSG_LEN == 0,
              "every transfer must end on a whole message");

// The byte at stream offset uiPos: a 32-bit mix of the offset, so a lost,
// repeated or reordered chunk shows as a mismatch at once.
BYTE PatternByte(UINT uiPos)
{
    UINT x = uiPos;
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return (BYTE)x;
}

// Holds a critical section for a scope.
class VZ_Hold {
public:
    explicit VZ_Hold(CRITICAL_SECTION* lpcs) : m_lpcs(lpcs) { EnterCriticalSection(m_lpcs); }
    ~VZ_Hold() { LeaveCriticalSection(m_lpcs); }

private:
    VZ_Hold(const VZ_Hold&);
    VZ_Hold& operator=(const VZ_Hold&);
    CRITICAL_SECTION* m_lpcs;
};

// One client connection: sends uiTotal pattern bytes in chunks of varied sizes
// (one Send in flight, at most WINDOW_BYTES unanswered) and checks every byte
// that comes back. Its events may come on several engine threads at once (a
// receive and a send event of one socket overlap in the completion-port
// engine) and may come from inside its own calls (the select engine's Recv),
// so its state is kept under a re-entrant lock. m_hDone is set once it has
// passed or failed.
class VZ_EchoClient : public VZ_NullSink {
public:
    VZ_EchoClient()
        : m_lpMgr(NULL), m_s(INVALID_SOCKET), m_uiTotal(0), m_uiSent(0), m_uiRecvd(0), m_uiChunks(0),
          m_uiSeed(12345), m_bConnected(false), m_bSending(false), m_bFinished(false), m_iResult(0),
          m_llStart(0), m_llEnd(0)
    {
        InitializeCriticalSection(&m_cs);
        m_hDone = CreateEventW(NULL, TRUE, FALSE, NULL);
        m_szError[0] = 0;
    }
    ~VZ_EchoClient()
    {
        CloseHandle(m_hDone);
        DeleteCriticalSection(&m_cs);
    }

    // Creates the socket (through hProxy when not NULL) and connects it to the
    // echo server; false when the manager refused at once.
    bool Start(ISocketMgr* lpMgr, HANDLE hProxy, USHORT usPort, UINT uiTotal, DWORD dwIndex)
    {
        VZ_Hold hold(&m_cs); // events of the new socket wait until it is set up
        m_lpMgr = lpMgr;
        m_uiTotal = uiTotal;
        m_llStart = Now();
        m_s = lpMgr->CreateTcpSocket(hProxy, "127.0.0.1", 0, CLIENT_TAG, dwIndex);
        if (m_s == INVALID_SOCKET)
            return Fail(1, "CreateTcpSocket failed"), false;
        if (!lpMgr->Connect(m_s, "127.0.0.1", usPort))
            return Fail(1, "Connect failed at once"), false;
        return true;
    }

    // 0 passed, else the exit code of the failure (3 when nothing ended in time).
    int Wait()
    {
        if (WaitForSingleObject(m_hDone, WAIT_MS) != WAIT_OBJECT_0) {
            VZ_Hold hold(&m_cs);
            Fail(3, "no outcome within the time limit");
        }
        return m_iResult;
    }
    void Close()
    {
        VZ_Hold hold(&m_cs);
        if (m_s != INVALID_SOCKET)
            m_lpMgr->CloseSocket(m_s);
        m_s = INVALID_SOCKET;
    }

    UINT GetChunks() const { return m_uiChunks; }
    UINT GetReceived() const { return m_uiRecvd; }
    double GetSeconds() const { return double(m_llEnd - m_llStart) / double(Frequency()); }
    const char* GetError() const { return m_szError; }

    void OnTcpConnect(int iError, SOCKET, DWORD, DWORD) override
    {
        VZ_Hold hold(&m_cs);
        if (iError != 0) {
            char sz[64];
            std::snprintf(sz, sizeof(sz), "connect failed, error %d", iError);
            Fail(2, sz);
            return;
        }
        m_bConnected = true;
        m_lpMgr->Recv(m_s, 1);
        Pump();
    }

    void OnProxyResult(int iError, SOCKET, const sockaddr_in*, DWORD, DWORD) override
    {
        VZ_Hold hold(&m_cs);
        char sz[64];
        std::snprintf(sz, sizeof(sz), "proxy refused the connection, code %d", iError);
        Fail(2, sz);
    }

    void OnTcpRecv(int iError, SOCKET, const char* buf, UINT* lpuiLen, DWORD, DWORD) override
    {
        VZ_Hold hold(&m_cs);
        UINT uiLen = *lpuiLen;
        if (iError != 0 || m_bFinished)
            return;
        if (uiLen > m_uiSent - m_uiRecvd)
            return Fail(2, "more bytes came back than were sent");
        for (UINT i = 0; i < uiLen; ++i) {
            if ((BYTE)buf[i] != PatternByte(m_uiRecvd + i)) {
                char sz[96];
                std::snprintf(sz, sizeof(sz), "mismatch at byte %u: got 0x%02X, expected 0x%02X", m_uiRecvd + i,
                             (unsigned)(BYTE)buf[i], (unsigned)PatternByte(m_uiRecvd + i));
                return Fail(2, sz);
            }
        }
        m_uiRecvd += uiLen;
        if (m_uiRecvd == m_uiTotal) {
            m_llEnd = Now();
            m_bFinished = true;
            SetEvent(m_hDone);
            return;
        }
        m_lpMgr->Recv(m_s, 1);
        Pump();
    }

    void OnTcpSend(int iError, SOCKET, DWORD, DWORD, DWORD, UINT uiQueued) override
    {
        VZ_Hold hold(&m_cs);
        if (iError != 0) {
            char sz[64];
            std::snprintf(sz, sizeof(sz), "send failed, error %d", iError);
            return Fail(2, sz);
        }
        // The queue is empty (a proxy handshake's own requests report here too).
        if (uiQueued == 0) {
            m_bSending = false;
            Pump();
        }
    }

    void OnSocketClose(int iError, SOCKET, int, DWORD, DWORD) override
    {
        VZ_Hold hold(&m_cs);
        char sz[96];
        std::snprintf(sz, sizeof(sz), "connection closed after %u bytes came back, error %d", m_uiRecvd, iError);
        Fail(2, sz);
    }

private:
    static LONGLONG Now()
    {
        LARGE_INTEGER li;
        QueryPerformanceCounter(&li);
        return li.QuadPart;
    }
    static LONGLONG Frequency()
    {
        LARGE_INTEGER li;
        QueryPerformanceFrequency(&li);
        return li.QuadPart;
    }

    // Sizes cycle through tiny, packet-sized and large chunks.
    UINT NextChunkSize()
    {
        m_uiSeed = m_uiSeed * 1103515245u + 12345u;
        UINT uiRand = m_uiSeed >> 8;
        switch (m_uiChunks % 3) {
        case 0: return 1 + uiRand % 16;
        case 1: return 1 + uiRand % 1500;
        default: return 1 + uiRand % MAX_CHUNK;
        }
    }

    // Sends the next chunk when no send is in flight and the window has room.
    void Pump()
    {
        if (!m_bConnected || m_bSending || m_bFinished || m_uiSent == m_uiTotal ||
            m_uiSent - m_uiRecvd >= WINDOW_BYTES)
            return;
        UINT uiLen = NextChunkSize();
        if (uiLen > m_uiTotal - m_uiSent)
            uiLen = m_uiTotal - m_uiSent;
        for (UINT i = 0; i < uiLen; ++i)
            m_byChunk[i] = (char)PatternByte(m_uiSent + i);
        m_bSending = true;
        m_uiSent += uiLen;
        ++m_uiChunks;
        if (!m_lpMgr->Send(m_s, m_byChunk, (int)uiLen, 1, NULL))
            Fail(2, "Send refused");
    }

    void Fail(int iResult, const char* lpszWhy)
    {
        if (m_bFinished)
            return;
        m_bFinished = true;
        m_iResult = iResult;
        std::snprintf(m_szError, sizeof(m_szError), "%s", lpszWhy);
        SetEvent(m_hDone);
    }

    CRITICAL_SECTION m_cs; // guards everything below
    ISocketMgr* m_lpMgr;
    SOCKET m_s;
    UINT m_uiTotal;
    UINT m_uiSent;
    UINT m_uiRecvd;
    UINT m_uiChunks;
    UINT m_uiSeed;
    volatile bool m_bConnected;
    volatile bool m_bSending;
    volatile bool m_bFinished;
    volatile int m_iResult;
    LONGLONG m_llStart;
    LONGLONG m_llEnd;
    HANDLE m_hDone;
    char m_szError[128];
    char m_byChunk[MAX_CHUNK];
};

// A stuck engine must not keep the demo alive: the result is printed, then the
// process ends without waiting for the manager's threads.
void Abandon(int iResult)
{
    std::printf("giving up without cleanup (exit code %d)\n", iResult);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), (UINT)iResult);
}

// ADDR:PORT from --socks5 or OXDEMO_SOCKS5; false when none was given.
bool FindProxyArg(int argc, char** argv, char* lpszAddr, size_t nAddr, USHORT* lpusPort)
{
    char szEnv[80];
    DWORD dwEnv = GetEnvironmentVariableA("OXDEMO_SOCKS5", szEnv, sizeof(szEnv));
    const char* lpszArg = dwEnv > 0 && dwEnv < sizeof(szEnv) ? szEnv : NULL;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--socks5") == 0)
            lpszArg = argv[i + 1];
    if (!lpszArg || !*lpszArg)
        return false;
    const char* lpszColon = std::strrchr(lpszArg, ':');
    if (!lpszColon || (size_t)(lpszColon - lpszArg) >= nAddr)
        return false;
    std::memcpy(lpszAddr, lpszArg, lpszColon - lpszArg);
    lpszAddr[lpszColon - lpszArg] = 0;
    *lpusPort = (USHORT)std::atoi(lpszColon + 1);
    return *lpusPort != 0;
}

int ListInterfaces()
{
    std::printf("oxnet interface names:\n");
    char szName[OXNET_MAX_NAME];
    int iCount = 0;
    while (oxGetInterfaceName(iCount, szName)) {
        std::printf("  %d %s\n", iCount, szName);
        ++iCount;
    }
    std::printf("managers:\n");
    for (int i = 0; i < iCount; ++i) {
        oxGetInterfaceName(i, szName);
        ISocketMgr* lpMgr = oxCreateInstance(szName);
        if (!lpMgr) {
            std::printf("  %-20s not available in this build\n", szName);
            continue;
        }
        oxDestroyInstance(lpMgr);
        std::printf("  %-20s created and destroyed\n", szName);
    }
    return iCount;
}

// Hands the events of the demo's client sockets to the client whose index is
// the socket's user value 2.
class VZ_ClientRouter : public VZ_NullSink {
public:
    enum { CLIENT_COUNT = 2 };
    VZ_EchoClient m_clients[CLIENT_COUNT];

    void OnTcpConnect(int iError, SOCKET s, DWORD d1, DWORD d2) override
    {
        if (VZ_EchoClient* lp = Find(d1, d2))
            lp->OnTcpConnect(iError, s, d1, d2);
    }
    void OnProxyResult(int iError, SOCKET s, const sockaddr_in* lpAddr, DWORD d1, DWORD d2) override
    {
        if (VZ_EchoClient* lp = Find(d1, d2))
            lp->OnProxyResult(iError, s, lpAddr, d1, d2);
    }
    void OnTcpRecv(int iError, SOCKET s, const char* buf, UINT* lpuiLen, DWORD d1, DWORD d2) override
    {
        if (VZ_EchoClient* lp = Find(d1, d2))
            lp->OnTcpRecv(iError, s, buf, lpuiLen, d1, d2);
    }
    void OnTcpSend(int iError, SOCKET s, DWORD d1, DWORD d2, DWORD dwParam, UINT uiQueued) override
    {
        if (VZ_EchoClient* lp = Find(d1, d2))
            lp->OnTcpSend(iError, s, d1, d2, dwParam, uiQueued);
    }
    void OnSocketClose(int iError, SOCKET s, int iStatus, DWORD d1, DWORD d2) override
    {
        if (VZ_EchoClient* lp = Find(d1, d2))
            lp->OnSocketClose(iError, s, iStatus, d1, d2);
    }

private:
    VZ_EchoClient* Find(DWORD dwUserData1, DWORD dwUserData2)
    {
        return dwUserData1 == CLIENT_TAG && dwUserData2 < CLIENT_COUNT ? &m_clients[dwUserData2] : NULL;
    }
};

// One transfer by client iIndex; its outcome is printed. A time-out ends the
// process (Abandon), since the engine may still hold the socket.
int RunTransfer(ISocketMgr* lpMgr, VZ_ClientRouter* lpRouter, DWORD dwIndex, HANDLE hProxy, USHORT usPort,
                UINT uiBytes, const char* lpszWhat)
{
    VZ_EchoClient& client = lpRouter->m_clients[dwIndex];
    client.Start(lpMgr, hProxy, usPort, uiBytes, dwIndex); // a refusal is already the outcome
    int iResult = client.Wait();
    if (iResult == 0) {
        double dSeconds = client.GetSeconds();
        std::printf("  %s: %u bytes sent in %u chunks, echoed and verified in %.3f s (%.1f MB/s)\n", lpszWhat,
                    uiBytes, client.GetChunks(), dSeconds, dSeconds > 0 ? uiBytes / dSeconds / 1e6 : 0.0);
    } else {
        std::printf("  %s: FAILED after %u of %u bytes came back: %s\n", lpszWhat, client.GetReceived(), uiBytes,
                    client.GetError());
    }
    if (iResult == 3)
        Abandon(iResult);
    client.Close();
    return iResult;
}

// The echo server and its clients on one manager of the engine lpszEngine:
// 0 passed, -1 skipped (the engine is not in this build), else the exit code
// of the failure.
int RunEcho(const char* lpszEngine, int argc, char** argv)
{
    std::printf("echo on %s:\n", lpszEngine);
    VZ_ClientRouter* lpRouter = new VZ_ClientRouter;
    VZ_EngineEcho echo(ECHO_MSG_LEN, lpRouter);
    VZ_EngineEcho::Result result = echo.Start(lpszEngine, 0, ECHO_BACKLOG);
    if (result != VZ_EngineEcho::ECHO_STARTED) {
        bool bSkipped = result == VZ_EngineEcho::ECHO_NOT_AVAILABLE;
        std::printf(bSkipped ? "  skipped: %s is not available in this build\n"
                             : "  FAILED: %s did not start an echo server (Initialize or listening socket)\n",
                    lpszEngine);
        delete lpRouter;
        return bSkipped ? -1 : 1;
    }
    ISocketMgr* lpMgr = echo.GetMgr();
    USHORT usPort = echo.GetPort();
    std::printf("  echo server listening on 127.0.0.1:%u, echoing whole %u-byte messages\n", (unsigned)usPort,
                ECHO_MSG_LEN);
    int iResult = RunTransfer(lpMgr, lpRouter, 0, NULL, usPort, DIRECT_BYTES, "direct");
    char szProxy[64];
    USHORT usProxyPort = 0;
    if (!FindProxyArg(argc, argv, szProxy, sizeof(szProxy), &usProxyPort)) {
        std::printf("  proxied echo: skipped, no SOCKS5 proxy given (--socks5 ADDR:PORT or OXDEMO_SOCKS5)\n");
    } else {
        HANDLE hProxy = lpMgr->CreateProxy(PROXY_SOCKS5, szProxy, usProxyPort, NULL, NULL);
        char szWhat[96];
        std::snprintf(szWhat, sizeof(szWhat), "through SOCKS5 %s:%u", szProxy, (unsigned)usProxyPort);
        int iProxied = 1;
        if (!hProxy)
            std::printf("  %s: FAILED: CreateProxy refused the address\n", szWhat);
        else
            iProxied = RunTransfer(lpMgr, lpRouter, 1, hProxy, usPort, PROXIED_BYTES, szWhat);
        if (iResult == 0)
            iResult = iProxied;
    }
    echo.Stop();
    const VZ_EchoSink& sink = echo.GetSink();
    std::printf("  echo server: %ld connections accepted, %lld bytes echoed, %ld send failures\n",
                (long)sink.GetAccepted(), (long long)sink.GetEchoedBytes(), (long)sink.GetSendFailures());
    delete lpRouter; // after Stop: no event reaches the clients any more
    return iResult;
}

// The echo server in one container and its client in another: the first
// container makes the process's engine, the second uses it, each with its own
// sink. 0 passed, else the exit code of the failure.
int RunContainerEcho()
{
    std::printf("echo between two containers on one engine:\n");
    VZ_EngineEcho echo(ECHO_MSG_LEN);
    if (echo.Start("IIocpSocketMgr2.0", 0, ECHO_BACKLOG) != VZ_EngineEcho::ECHO_STARTED) {
        std::printf("  FAILED: the server's container did not start an echo server\n");
        return 1;
    }
    std::printf("  server in an \"IIocpSocketMgr2.0\" container on 127.0.0.1:%u\n", (unsigned)echo.GetPort());
    ISocketMgr* lpClientMgr = oxCreateInstance("IAsyncSocketMgr2.0");
    VZ_ClientRouter* lpRouter = new VZ_ClientRouter;
    lpClientMgr->SetSink(lpRouter);
    // The engine runs already: its second start is refused, and it stays the
    // one the server's container made, whatever this container's name.
    std::printf("  client in an \"IAsyncSocketMgr2.0\" container; its Initialize: %s\n",
                lpClientMgr->Initialize(0, 0, 0, 0) ? "true" : "false (the shared engine runs already)");
    int iResult = RunTransfer(lpClientMgr, lpRouter, 0, NULL, echo.GetPort(), DIRECT_BYTES, "container to container");
    oxDestroyInstance(lpClientMgr); // the server's container still holds the engine
    echo.Stop();
    delete lpRouter;
    return iResult;
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, NULL, _IONBF, 0);
    if (!oxInitialize()) {
        std::printf("oxInitialize failed\n");
        return 1;
    }
    if (argc > 1 && std::strcmp(argv[1], "--simulator") == 0) {
        // Under the fault simulator of the oxnet.ini beside this executable.
        VZ_SimulatorDemo demo;
        int iResult = demo.Run();
        oxUninitialize();
        return iResult;
    }
    int iCount = ListInterfaces();
    int iResults[ENGINE_COUNT];
    int iEcho = 0, iRan = 0;
    for (int i = 0; i < ENGINE_COUNT; ++i) {
        iResults[i] = RunEcho(ENGINE_NAMES[i], argc, argv);
        if (iResults[i] >= 0)
            ++iRan;
        if (iResults[i] > 0 && iEcho == 0)
            iEcho = iResults[i];
    }
    int iContainers = RunContainerEcho();
    if (iContainers > 0 && iEcho == 0)
        iEcho = iContainers;
    oxUninitialize();
    std::printf("summary:\n");
    for (int i = 0; i < ENGINE_COUNT; ++i)
        std::printf("  %-20s %s\n", ENGINE_NAMES[i],
                    iResults[i] < 0 ? "skipped (not in this build)" : iResults[i] == 0 ? "passed" : "FAILED");
    std::printf("  %-20s %s\n", "two containers", iContainers == 0 ? "passed" : "FAILED");
    if (iCount != OXNET_INTERFACE_COUNT || iRan == 0)
        return 1;
    return iEcho;
}
