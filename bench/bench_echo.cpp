// Echo benchmark programs of oxnet.dll.
//
// Server mode, for the native client (bench/native/echo_load.cpp) and
// scripts/bench.sh: one server alone in this process (see echo_bench.h):
//
//   bench_echo --serve KIND [--port P] [--msg-len M] [--backlog B] [--threads N]
//                           [--recv-size R] [--seconds LIMIT] [--status-ms MS] [--stop-file PATH]
//
// KIND: "engine:NAME" for any interface name of oxnet.dll, "select", "iocp"
// and "async" for the engines "ISelectSocketMgr1.0", "IIocpSocketMgr1.0" and
// "IAsyncSocketMgr1.0", "raw-select", "raw-async" (WSAAsyncSelect and a
// hidden window), "raw-iocp" and "raw-iocp-skip" (the same with
// FILE_SKIP_COMPLETION_PORT_ON_SUCCESS, as the IOCP engine uses it). An
// engine that this build does not have prints UNAVAILABLE and exits with
// code 4.
//
// In-process mode (the first form of this benchmark, kept for comparison):
// ping-pong round trips per second through an engine of oxnet.dll (default
// "ISelectSocketMgr1.0") and through a plain one-thread select server,
// measured in one run with the same client load, which runs in this process:
//
//   bench_echo [SECONDS] [--repeat N] [--engine NAME] [--engine-only | --baseline-only]
//
// SECONDS is the timed part of each measurement (default 3). With --repeat N
// each row is measured N times, the two servers taking turns, and the median
// of each server's rates is shown: the machine is shared, so a single
// measurement can be caught by someone else's load. The figures are
// printed only; nothing here is a pass/fail check except that every echo must
// match what was sent. Under Wine this client caps every server at a few
// thousand round trips per second; scripts/bench.sh drives the servers from a
// native client instead.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "EchoHost.h"
#include "ISocketMgr.h"
#include "echo_bench.h"

namespace {

const char* const DEFAULT_ENGINE = "ISelectSocketMgr1.0";
const char* const SERVER_KINDS =
    "engine:NAME (an oxnet interface name), select, iocp, async, raw-select, raw-async, raw-iocp, raw-iocp-skip";
const int ENGINE_BACKLOG = 64; // the completion-port engine posts one accept per unit

struct Row {
    int iConns;
    UINT uiMsgLen;
};
const Row ROWS[] = {{1, 64}, {64, 64}, {64, 4096}, {8, 65536}};
const int ROW_COUNT = sizeof(ROWS) / sizeof(ROWS[0]);
const int MAX_REPEAT = 9;

struct Figures {
    bool bRan;
    bool bOk;
    double dMsgs; // per second
    double dMB;   // message bytes per second / 1e6, one way
};


// Ends the process when the whole run overruns its budget: a stuck server or
// teardown must not keep the benchmark alive.
DWORD WINAPI Watchdog(LPVOID lpParam)
{
    DWORD dwMs = (DWORD)(ULONG_PTR)lpParam;
    Sleep(dwMs);
    std::printf("bench_echo: gave up after %lu s (a server or its teardown did not end)\n", dwMs / 1000);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}

Figures Measure(USHORT usPort, const Row& row, double dSeconds, const char* lpszWho)
{
    Figures f = {true, false, 0, 0};
    if (usPort == 0) {
        std::printf("  %s: server did not start\n", lpszWho);
        return f;
    }
    VZ_EchoLoad load = {row.iConns, row.uiMsgLen, dSeconds};
    VZ_EchoOutcome out;
    f.bOk = VZ_RunEchoLoad(usPort, load, &out);
    if (out.dSeconds > 0) {
        f.dMsgs = double(out.llMessages) / out.dSeconds;
        f.dMB = f.dMsgs * row.uiMsgLen / 1e6;
    }
    std::printf("  %-8s %lld round trips in %.2f s%s%s\n", lpszWho, (long long)out.llMessages, out.dSeconds,
                f.bOk ? "" : "  FAILED: ", f.bOk ? "" : out.szError);
    if (out.bStuck) {
        std::printf("bench_echo: client threads stuck; stopping here\n");
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    return f;
}

Figures RunBaseline(const Row& row, double dSeconds)
{
    VZ_RawSelectEcho server;
    USHORT usPort = server.Start();
    Figures f = Measure(usPort, row, dSeconds, "baseline");
    server.Stop();
    return f;
}

Figures RunEngine(const char* lpszEngine, const Row& row, double dSeconds)
{
    VZ_EngineEcho echo(row.uiMsgLen);
    VZ_EngineEcho::Result result = echo.Start(lpszEngine, 0, ENGINE_BACKLOG);
    if (result == VZ_EngineEcho::ECHO_NOT_AVAILABLE) {
        Figures f = {false, false, 0, 0};
        std::printf("  engine   %s not available in this build\n", lpszEngine);
        return f;
    }
    Figures f = Measure(result == VZ_EngineEcho::ECHO_STARTED ? echo.GetPort() : 0, row, dSeconds, "engine");
    echo.Stop();
    if (echo.GetSink().GetSendFailures() > 0)
        std::printf("  engine   %ld echo sends refused\n", (long)echo.GetSink().GetSendFailures());
    return f;
}

// The measurement of median rate among n (failed ones count as failed).
Figures Median(Figures* lpRuns, int n)
{
    for (int i = 1; i < n; ++i)
        for (int j = i; j > 0 && lpRuns[j].dMsgs < lpRuns[j - 1].dMsgs; --j) {
            Figures t = lpRuns[j];
            lpRuns[j] = lpRuns[j - 1];
            lpRuns[j - 1] = t;
        }
    Figures f = lpRuns[n / 2];
    for (int i = 0; i < n; ++i)
        f.bOk = f.bOk && lpRuns[i].bOk;
    return f;
}

void Cell(char* lpszOut, size_t nOut, const Figures& f, bool bMB)
{
    if (!f.bRan)
        std::snprintf(lpszOut, nOut, "-");
    else if (!f.bOk)
        std::snprintf(lpszOut, nOut, "failed");
    else
        std::snprintf(lpszOut, nOut, bMB ? "%.2f" : "%.0f", bMB ? f.dMB : f.dMsgs);
}

void PrintTable(const Figures* lpEngine, const Figures* lpBase)
{
    std::printf("\n%-14s %12s %10s %14s %12s %16s\n", "params", "engine msg/s", "MB/s", "baseline msg/s", "MB/s",
                "engine/baseline");
    for (int i = 0; i < ROW_COUNT; ++i) {
        char szParams[32], szEm[24], szEb[24], szBm[24], szBb[24], szRatio[24];
        if (ROWS[i].uiMsgLen >= 1024)
            std::snprintf(szParams, sizeof(szParams), "%d x %u KiB", ROWS[i].iConns, ROWS[i].uiMsgLen / 1024);
        else
            std::snprintf(szParams, sizeof(szParams), "%d x %u B", ROWS[i].iConns, ROWS[i].uiMsgLen);
        Cell(szEm, sizeof(szEm), lpEngine[i], false);
        Cell(szEb, sizeof(szEb), lpEngine[i], true);
        Cell(szBm, sizeof(szBm), lpBase[i], false);
        Cell(szBb, sizeof(szBb), lpBase[i], true);
        if (lpEngine[i].bOk && lpBase[i].bOk && lpBase[i].dMsgs > 0)
            std::snprintf(szRatio, sizeof(szRatio), "%.2f", lpEngine[i].dMsgs / lpBase[i].dMsgs);
        else
            std::snprintf(szRatio, sizeof(szRatio), "-");
        std::printf("%-14s %12s %10s %14s %12s %16s\n", szParams, szEm, szEb, szBm, szBb, szRatio);
    }
}

// A server made from an engine of oxnet.dll, for --serve.
class VZ_EngineServer : public VZ_BenchServer {
public:
    VZ_EngineServer(const char* lpszName, const VZ_ServeOptions& opts)
        : m_echo(opts.uiMsgLen), m_iBacklog(opts.iBacklog), m_iThreads(opts.iThreads)
    {
        std::snprintf(m_szName, sizeof(m_szName), "%s", lpszName);
    }
    USHORT Start(USHORT usPort) override
    {
        return m_echo.Start(m_szName, usPort, m_iBacklog, m_iThreads) == VZ_EngineEcho::ECHO_STARTED
                   ? m_echo.GetPort()
                   : 0;
    }
    void Stop() override { m_echo.Stop(); }
    LONG GetAccepted() const override { return m_echo.GetSink().GetAccepted(); }
    LONG GetOpen() const override { return m_echo.GetSink().GetAccepted() - m_echo.GetSink().GetClosed(); }
    void Summary(char* lpszOut, size_t nOut) const override
    {
        std::snprintf(lpszOut, nOut, "%lld bytes echoed, %ld sends refused",
                      (long long)m_echo.GetSink().GetEchoedBytes(), (long)m_echo.GetSink().GetSendFailures());
    }

private:
    VZ_EngineEcho m_echo;
    int m_iBacklog;
    int m_iThreads;
    char m_szName[OXNET_MAX_NAME + 1];
};

int InProcessMain(int argc, char** argv)
{
    std::setvbuf(stdout, NULL, _IONBF, 0);
    const char* lpszEngine = DEFAULT_ENGINE;
    double dSeconds = 3.0;
    bool bEngine = true, bBaseline = true;
    int iRepeat = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            iRepeat = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--engine") == 0 && i + 1 < argc)
            lpszEngine = argv[++i];
        else if (std::strcmp(argv[i], "--engine-only") == 0)
            bBaseline = false;
        else if (std::strcmp(argv[i], "--baseline-only") == 0)
            bEngine = false;
        else if (std::atof(argv[i]) > 0)
            dSeconds = std::atof(argv[i]);
        else {
            iRepeat = 0;
            break;
        }
    }
    if (iRepeat < 1 || iRepeat > MAX_REPEAT) {
        std::printf("usage: bench_echo [SECONDS] [--repeat N (1 to %d)] [--engine NAME] [--engine-only | "
                    "--baseline-only]\n"
                    "       bench_echo --serve KIND [options]   (KIND: %s; --serve alone lists the options)\n",
                    MAX_REPEAT, SERVER_KINDS);
        return 1;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        std::printf("WSAStartup failed\n");
        return 1;
    }
    // Per measurement: the timed part, the first round trips, the end grace
    // and the teardown, with room to spare.
    DWORD dwBudgetMs = (DWORD)(ROW_COUNT * 2 * iRepeat * (dSeconds + 45.0) * 1000.0);
    CloseHandle(CreateThread(NULL, 0, Watchdog, (LPVOID)(ULONG_PTR)dwBudgetMs, 0, NULL));

    std::printf("echo benchmark: %.1f s per measurement, median of %d, loopback 127.0.0.1\n", dSeconds, iRepeat);
    std::printf("client: C blocking Winsock connections in this process, one thread each; each sends an M-byte\n"
                "message and waits for all of its echo (compared with what was sent) before the next;\n"
                "TCP_NODELAY on client and server sockets; the same client for both servers\n");
    std::printf("engine: %s echo sink (Recv(s, M), whole messages sent back from OnTcpRecv)\n", lpszEngine);
    std::printf("baseline: plain Winsock select server, one thread, non-blocking sockets, one select of <= 64 "
                "sockets\n");
    std::printf("MB/s: message bytes per second one way (10^6 bytes)\n");

    Figures engine[ROW_COUNT] = {}, base[ROW_COUNT] = {};
    bool bAllOk = true;
    for (int i = 0; i < ROW_COUNT; ++i) {
        std::printf("C=%d M=%u:\n", ROWS[i].iConns, ROWS[i].uiMsgLen);
        Figures baseRuns[MAX_REPEAT], engineRuns[MAX_REPEAT];
        for (int r = 0; r < iRepeat; ++r) {
            if (bBaseline)
                baseRuns[r] = RunBaseline(ROWS[i], dSeconds);
            if (bEngine)
                engineRuns[r] = RunEngine(lpszEngine, ROWS[i], dSeconds);
        }
        if (bBaseline) {
            base[i] = Median(baseRuns, iRepeat);
            bAllOk = bAllOk && base[i].bOk;
        }
        if (bEngine) {
            engine[i] = Median(engineRuns, iRepeat);
            bAllOk = bAllOk && (engine[i].bOk || !engine[i].bRan); // not built: not a failure
        }
    }
    PrintTable(engine, base);
    WSACleanup();
    return bAllOk ? 0 : 2;
}

} // namespace

VZ_BenchServer* VZ_MakeBenchServer(const VZ_ServeOptions& opts, bool* lpbUnavailable, char* lpszWhy, size_t nWhy)
{
    const char* lpszKind = opts.lpszKind;
    if (std::strcmp(lpszKind, "raw-select") == 0)
        return new VZ_RawSelectEcho(opts.uiRecvSize);
    if (std::strcmp(lpszKind, "raw-async") == 0)
        return new VZ_RawAsyncEcho(opts.uiRecvSize);
    if (std::strcmp(lpszKind, "raw-iocp") == 0 || std::strcmp(lpszKind, "raw-iocp-skip") == 0)
        return new VZ_RawIocpEcho(opts.iThreads > 0 ? opts.iThreads : 2,
                                  std::strcmp(lpszKind, "raw-iocp-skip") == 0, opts.uiRecvSize);
    const char* lpszName = std::strcmp(lpszKind, "select") == 0 ? "ISelectSocketMgr1.0"
                           : std::strcmp(lpszKind, "iocp") == 0 ? "IIocpSocketMgr1.0"
                           : std::strcmp(lpszKind, "async") == 0 ? "IAsyncSocketMgr1.0"
                           : std::strncmp(lpszKind, "engine:", 7) == 0 ? lpszKind + 7
                                                                       : NULL;
    if (!lpszName) {
        std::snprintf(lpszWhy, nWhy, "unknown kind (known: %s)", SERVER_KINDS);
        return NULL;
    }
    // Ask the factory once, so that a name without an engine is told apart
    // from a server that failed to start.
    ISocketMgr* lpMgr = oxCreateInstance(lpszName);
    if (!lpMgr) {
        *lpbUnavailable = true;
        std::snprintf(lpszWhy, nWhy, "oxCreateInstance(\"%s\") gave no manager: not available in this build",
                      lpszName);
        return NULL;
    }
    oxDestroyInstance(lpMgr);
    return new VZ_EngineServer(lpszName, opts);
}

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--serve") == 0)
            return VZ_ServeMain(argc, argv, VZ_MakeBenchServer, SERVER_KINDS);
    return InProcessMain(argc, argv);
}
