// The soak's driving thread (soak_driver.h).
#include "soak_driver.h"

#include "bench_util.h"
#include "soak_actions.h"
#include "soak_sink.h"

#include "container/VZ_SocketMgrContainer.h"
#include "core/VZ_SocketMgr.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <vector>

namespace soak {

namespace {

std::atomic<double> g_dDeadline{0.0}; // of the round under way (0: none)
std::atomic<bool> g_bWatchdogQuit{false};

// oxnet.ini beside the program: the simulator's settings at high rates, or
// an empty file (simulator off). The engine reads it at Initialize only.
void WriteSimulatorIni(bool bOn)
{
    char szPath[MAX_PATH];
    DWORD dwLen = GetModuleFileNameA(NULL, szPath, MAX_PATH);
    char* lpSlash = strrchr(szPath, '\\');
    if (dwLen == 0 || lpSlash == NULL)
        return;
    snprintf(lpSlash + 1, static_cast<size_t>(szPath + MAX_PATH - (lpSlash + 1)), "oxnet.ini");
    FILE* lpFile = fopen(szPath, "wb");
    if (lpFile == NULL)
        return;
    if (bOn)
        fputs("[oxnet]\r\nsimulator=1\r\nmaxaffect=50\r\n[tcp]\r\nbreak=0,1\r\ndelay=10,300\r\n"
              "connfail=20,50\r\n",
              lpFile);
    fclose(lpFile);
}

bool InitializeEngine(const Options& opt)
{
    if (opt.bSim)
        WriteSimulatorIni(true);
    bool bOk = g_lpServerMgr->Initialize(0, 0, 0, 0);
    if (opt.bSim)
        WriteSimulatorIni(false); // no other program of the folder runs with it
    return bOk;
}

// The managers of a round, made and started (two containers over one engine
// for a 2.0 name).
bool MakeManagers(const Options& opt)
{
    g_bContainers = IsContainerName(opt.strEngine);
    if (g_bContainers) {
        g_lpServerMgr = oxCreateInstance(opt.strEngine.c_str());
        g_lpClientMgr = oxCreateInstance(opt.strEngine.c_str());
        if (g_lpServerMgr == NULL || g_lpClientMgr == NULL)
            return false;
        g_lpServerMgr->SetSink(&g_sinkServer);
        g_lpClientMgr->SetSink(&g_sinkClient);
    } else {
        g_lpServerMgr = g_lpClientMgr = oxCreateInstance(opt.strEngine.c_str());
        if (g_lpServerMgr == NULL)
            return false;
        g_lpServerMgr->SetSink(&g_sinkBoth);
    }
    return InitializeEngine(opt);
}

// The listener on 127.0.0.1 (its port in g_usPort), or INVALID_SOCKET.
SOCKET OpenListener()
{
    g_lpListen = NewGen(ROLE_LISTEN);
    SOCKET sListen = g_lpServerMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, g_lpListen->dwGen, ROLE_LISTEN);
    if (sListen == INVALID_SOCKET)
        return INVALID_SOCKET;
    g_lpListen->s = sListen;
    sockaddr_in local = {};
    int iLen = sizeof(local);
    getsockname(sListen, reinterpret_cast<sockaddr*>(&local), &iLen);
    g_usPort = ntohs(local.sin_port);
    return g_lpServerMgr->Listen(sListen, 128) ? sListen : INVALID_SOCKET;
}

// A new client's record, with the lock held.
void SetUpClient(Gen* g, SOCKET s)
{
    g->s = s;
    sockaddr_in local = {};
    int iLen = sizeof(local);
    getsockname(s, reinterpret_cast<sockaddr*>(&local), &iLen);
    g->dwKey = ntohs(local.sin_port);
    SetClientOfPort(g);
    MapHandle(g);
    AddLive(g);
    PlanEnding(g);
    g->bSendViaDriver = g->rng.Percent(30);
}

// The client's Connect (lock held); with the simulator on it may be refused.
void ConnectClient(Gen* g, Rng& rng)
{
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(g_usPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    g->bConnecting = true;
    ++g_iConnecting;
    g->Note('X', static_cast<int>(g->dwKey), g_ullSeq.load());
    if (!g_lpClientMgr->Connect(g->s, &to)) {
        int iError = WSAGetLastError();
        if (g_bSim)
            ++g_fig.connectFailures;
        else
            Violation(g, "Connect refused a new socket", g->s, g_ullSeq.load(), "Connect",
                      " last error " + std::to_string(iError));
        CloseGen(g, false, false);
        return;
    }
    if (rng.Percent(4)) // closed while the connect is under way
        CloseGen(g, rng.Percent(30), true);
}

void NewClient(Rng& rng)
{
    Doing doing("CreateTcpSocket/Connect");
    Gen* g = NewGen(ROLE_CLIENT);
    if (g == NULL)
        return;
    SOCKET s = g_lpClientMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, g->dwGen, ROLE_CLIENT);
    if (s == INVALID_SOCKET) {
        ++g_fig.createFailures;
        g->bClosed = true;
        g->ullCloseSeq.store(++g_ullSeq);
        return;
    }
    Hold<RecursiveLock> hold(g->lock);
    SetUpClient(g, s);
    ConnectClient(g, rng);
}

// A random open socket (not the listener) ended from this thread.
void EndRandom(Rng& rng)
{
    Gen* g = GenAt(RandomLive(rng));
    if (g == NULL || g->iRole == ROLE_LISTEN)
        return;
    Hold<RecursiveLock> hold(g->lock);
    if (!g->bClosed)
        CloseGen(g, rng.Percent(35), true);
}

void CloseAllLive()
{
    for (DWORD dwGen : LiveGens()) {
        Gen* g = GenAt(dwGen);
        if (g == NULL || g->iRole == ROLE_LISTEN)
            continue;
        Hold<RecursiveLock> hold(g->lock);
        CloseGen(g, false, false);
    }
}

void PrintProgress(double dElapsed)
{
    printf("soak: progress %.0f s: live %d, connections %lld, bytes checked %lld, events %lld, violations %lld\n",
           dElapsed, LiveCount(), g_fig.connections.load(), g_fig.bytesChecked.load(), g_fig.events.load(),
           g_fig.violations.load());
    fflush(stdout);
}

// The work of a round: clients made up to iConns (at most 64 connecting),
// posted actions run, sockets ended at random, for dSeconds; the seconds
// it took.
double Drive(const Options& opt, double dSeconds, int iConns)
{
    Rng rng(opt.ullSeed * 7919ull + static_cast<unsigned long long>(dSeconds * 1000));
    int iMaxConnecting = iConns < 64 ? iConns : 64;
    double dStart = BenchClock::NowSeconds();
    double dNextReport = dStart + 10.0;
    g_dDeadline = dStart + dSeconds + 60.0;
    for (;;) {
        double dNow = BenchClock::NowSeconds();
        if (dNow - dStart >= dSeconds)
            break;
        for (int i = 0; i < 16 && g_iLiveClients.load() < iConns && g_iConnecting.load() < iMaxConnecting; ++i)
            NewClient(rng);
        RunActions();
        if (rng.Percent(25))
            EndRandom(rng);
        if (dNow >= dNextReport) {
            PrintProgress(dNow - dStart);
            dNextReport += 10.0;
        }
        Sleep(2);
    }
    g_bStopping = true;
    return BenchClock::NowSeconds() - dStart;
}

// Rounds of what is posted and of closes, 50 ms apart.
void CloseRounds(int iRounds)
{
    for (int i = 0; i < iRounds; ++i) {
        RunActions();
        CloseAllLive();
        Sleep(50);
    }
}

// The end: every socket closed (also the ones accepted meanwhile), then the
// listener, then what that brought.
void CloseEverything(SOCKET sListen)
{
    CloseRounds(5);
    {
        Hold<RecursiveLock> hold(g_lpListen->lock);
        ++g_fig.closeCalls;
        bool bOk = g_lpServerMgr->CloseSocket(sListen);
        g_lpListen->bClosed = true;
        g_lpListen->ullCloseSeq.store(++g_ullSeq);
        RemoveLive(g_lpListen);
        if (!bOk)
            Violation(g_lpListen, "CloseSocket refused the listener", sListen, g_ullSeq.load(), "CloseSocket");
    }
    CloseRounds(3);
    ClearActions();
}

// Uninitialize, the engine's pool read at once and a second later, then the
// managers destroyed.
void StopManagers(RoundResult* lpRes)
{
    Doing doingStop("Uninitialize");
    g_lpServerMgr->Uninitialize(0);
    VZ_SocketMgr* lpEngine = dynamic_cast<VZ_SocketMgr*>(g_bContainers ? g_lpEngine : g_lpServerMgr);
    lpRes->iPoolOut = lpEngine != NULL ? lpEngine->GetPoolOutstanding() : -1;
    Sleep(1000);
    lpRes->iPoolOutLater = lpEngine != NULL ? lpEngine->GetPoolOutstanding() : -1;
    if (g_bContainers)
        oxDestroyInstance(g_lpClientMgr);
    oxDestroyInstance(g_lpServerMgr);
    g_lpServerMgr = g_lpClientMgr = NULL;
}

DWORD WINAPI WatchdogProc(LPVOID)
{
    while (!g_bWatchdogQuit) {
        Sleep(200);
        double d = g_dDeadline.load();
        if (d > 0 && BenchClock::NowSeconds() > d) {
            fprintf(stderr, "VIOLATION engine %s seed %llu: the run hung (no end within its deadline)\n",
                    g_strEngine.c_str(), g_ullSeed);
            printf("soak: engine %s hung; events %lld, violations %lld\n", g_strEngine.c_str(),
                   g_fig.events.load(), g_fig.violations.load() + 1);
            ReportWhere();
            fflush(stdout);
            fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 4); // ExitProcess can wait on the hung threads
        }
    }
    return 0;
}

} // namespace

bool IsContainerName(const std::string& str) { return str.size() > 3 && str.compare(str.size() - 3, 3, "2.0") == 0; }

RoundResult RunRound(const Options& opt, double dSeconds, int iConns)
{
    RoundResult res;
    g_bStopping = false;
    if (!MakeManagers(opt))
        return res;
    SOCKET sListen = OpenListener();
    if (sListen == INVALID_SOCKET)
        return res;
    res.bSetUp = true;
    res.dSeconds = Drive(opt, dSeconds, iConns);
    CloseEverything(sListen);
    StopManagers(&res);
    g_dDeadline = 0.0;
    return res;
}

DWORD ProcessHandles()
{
    DWORD dw = 0;
    GetProcessHandleCount(GetCurrentProcess(), &dw);
    return dw;
}

// Settled: the count has not moved for 200 ms (at most 5 s). A thread slower
// to end can only raise the baseline, hiding a leak, never inventing one.
DWORD SettledHandles()
{
    DWORD dwLast = ProcessHandles();
    for (int i = 0, iSame = 0; i < 250 && iSame < 10; ++i) {
        Sleep(20);
        DWORD dw = ProcessHandles();
        iSame = dw == dwLast ? iSame + 1 : 0;
        dwLast = dw;
    }
    return dwLast;
}

HANDLE StartWatchdog() { return CreateThread(NULL, 0, WatchdogProc, NULL, 0, NULL); }

void StopWatchdog(HANDLE hWatchdog)
{
    g_bWatchdogQuit = true;
    if (hWatchdog != NULL) {
        WaitForSingleObject(hWatchdog, 2000);
        CloseHandle(hWatchdog);
    }
}

} // namespace soak
