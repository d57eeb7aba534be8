// The --serve mode of the echo benchmark's server programs: one server alone in
// this process, driven from outside (scripts/bench.sh and the native clients).
// Shared by bench_echo.exe and bench_echo_asio.exe; see echo_bench.h.
#include "echo_bench.h"
#include "bench_util.h"
#include "committed_memory.h"

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const DWORD STOP_BUDGET_MS = 20000; // for the server's Stop before the process ends anyway

void PrintStatus(const VZ_BenchServer& server, LONGLONG llStart)
{
    PROCESS_MEMORY_COUNTERS_EX pmc;
    std::memset(&pmc, 0, sizeof(pmc));
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS*)&pmc, sizeof(pmc));
    unsigned long long ullPrivate = pmc.PrivateUsage;
    const char* lpszSource = "counters";
    if (ullPrivate == 0) {
        ullPrivate = CommittedPrivate();
        lpszSource = "virtualquery";
    }
    std::printf("STATUS ms=%.0f accepted=%ld open=%ld private=%llu private_source=%s pagefile=%llu "
                "working_set=%llu\n",
                BenchClock::SecondsSince(llStart) * 1000.0, (long)server.GetAccepted(), (long)server.GetOpen(), ullPrivate,
                lpszSource, (unsigned long long)pmc.PagefileUsage, (unsigned long long)pmc.WorkingSetSize);
}

DWORD WINAPI StopWatchdog(LPVOID)
{
    Sleep(STOP_BUDGET_MS);
    std::printf("STOPPED: the server did not stop within %lu s; process ended\n", STOP_BUDGET_MS / 1000);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}

bool ParseNumber(const char* lpsz, double dMin, double dMax, double* lpd)
{
    char* lpszEnd = NULL;
    double d = std::strtod(lpsz, &lpszEnd);
    if (*lpsz == 0 || *lpszEnd != 0 || !(d >= dMin && d <= dMax))
        return false;
    *lpd = d;
    return true;
}

int Usage(const char* lpszKinds)
{
    std::printf("usage: --serve KIND [--port P] [--msg-len M] [--backlog B] [--threads N] [--recv-size R]\n"
                "               [--seconds LIMIT] [--status-ms MS] [--stop-file PATH]\n"
                "  KIND: %s\n",
                lpszKinds);
    return 1;
}

} // namespace

int VZ_ServeMain(int argc, char** argv, VZ_ServerFactory lpfnFactory, const char* lpszKinds)
{
    std::setvbuf(stdout, NULL, _IONBF, 0);
    VZ_ServeOptions opts;
    std::memset(&opts, 0, sizeof(opts));
    opts.uiMsgLen = 1;
    opts.iBacklog = 64;
    opts.uiRecvSize = ECHO_BUF_SIZE;
    opts.dSeconds = 600;
    for (int i = 1; i < argc; ++i) {
        const char* lpszOpt = argv[i];
        if (i + 1 >= argc)
            return Usage(lpszKinds);
        const char* lpszVal = argv[++i];
        double d = 0;
        if (std::strcmp(lpszOpt, "--serve") == 0)
            opts.lpszKind = lpszVal;
        else if (std::strcmp(lpszOpt, "--port") == 0 && ParseNumber(lpszVal, 0, 65535, &d))
            opts.usPort = (USHORT)d;
        else if (std::strcmp(lpszOpt, "--msg-len") == 0 && ParseNumber(lpszVal, 1, 1 << 26, &d))
            opts.uiMsgLen = (UINT)d;
        else if (std::strcmp(lpszOpt, "--backlog") == 0 && ParseNumber(lpszVal, 1, 4096, &d))
            opts.iBacklog = (int)d;
        else if (std::strcmp(lpszOpt, "--threads") == 0 && ParseNumber(lpszVal, 0, 64, &d))
            opts.iThreads = (int)d;
        else if (std::strcmp(lpszOpt, "--recv-size") == 0 && ParseNumber(lpszVal, 1, ECHO_BUF_SIZE, &d))
            opts.uiRecvSize = (UINT)d;
        else if (std::strcmp(lpszOpt, "--seconds") == 0 && ParseNumber(lpszVal, 0.1, 86400, &d))
            opts.dSeconds = d;
        else if (std::strcmp(lpszOpt, "--status-ms") == 0 && ParseNumber(lpszVal, 0, 60000, &d))
            opts.dwStatusMs = (DWORD)d;
        else if (std::strcmp(lpszOpt, "--stop-file") == 0 && std::strlen(lpszVal) + 3 < sizeof(opts.szStopFile))
            // A Unix path names a file on Wine's drive Z:, which is the root.
            std::snprintf(opts.szStopFile, sizeof(opts.szStopFile), "%s%s", lpszVal[0] == '/' ? "Z:" : "",
                          lpszVal);
        else
            return Usage(lpszKinds);
    }
    if (!opts.lpszKind)
        return Usage(lpszKinds);

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        std::printf("FAILED kind=%s: WSAStartup\n", opts.lpszKind);
        return 1;
    }
    bool bUnavailable = false;
    char szWhy[200] = "";
    VZ_BenchServer* lpServer = lpfnFactory(opts, &bUnavailable, szWhy, sizeof(szWhy));
    if (!lpServer) {
        std::printf("%s kind=%s: %s\n", bUnavailable ? "UNAVAILABLE" : "FAILED", opts.lpszKind, szWhy);
        WSACleanup();
        return bUnavailable ? 4 : 1;
    }
    LONGLONG llStart = BenchClock::Now();
    USHORT usPort = lpServer->Start(opts.usPort);
    if (usPort == 0) {
        std::printf("FAILED kind=%s: could not listen on 127.0.0.1:%u\n", opts.lpszKind, (unsigned)opts.usPort);
        CloseHandle(CreateThread(NULL, 0, StopWatchdog, NULL, 0, NULL));
        lpServer->Stop();
        return 1;
    }
    std::printf("LISTENING port=%u kind=%s\n", (unsigned)usPort, opts.lpszKind);
    if (opts.dwStatusMs)
        PrintStatus(*lpServer, llStart);
    const char* lpszWhy = "time limit";
    double dNextStatus = opts.dwStatusMs / 1000.0;
    for (;;) {
        double dNow = BenchClock::SecondsSince(llStart);
        if (dNow >= opts.dSeconds)
            break;
        if (opts.szStopFile[0] && GetFileAttributesA(opts.szStopFile) != INVALID_FILE_ATTRIBUTES) {
            lpszWhy = "stop file";
            break;
        }
        if (opts.dwStatusMs && dNow >= dNextStatus) {
            PrintStatus(*lpServer, llStart);
            dNextStatus += opts.dwStatusMs / 1000.0;
            if (dNextStatus < dNow)
                dNextStatus = dNow + opts.dwStatusMs / 1000.0;
        }
        Sleep(opts.dwStatusMs && opts.dwStatusMs < 50 ? opts.dwStatusMs : 50);
    }
    if (opts.dwStatusMs)
        PrintStatus(*lpServer, llStart);
    CloseHandle(CreateThread(NULL, 0, StopWatchdog, NULL, 0, NULL));
    LONG lAccepted = lpServer->GetAccepted();
    lpServer->Stop();
    char szExtra[200] = "";
    lpServer->Summary(szExtra, sizeof(szExtra));
    std::printf("STOPPED kind=%s after %.1f s (%s): %ld connections accepted%s%s\n", opts.lpszKind,
                BenchClock::SecondsSince(llStart), lpszWhy, (long)lAccepted, szExtra[0] ? ", " : "", szExtra);
    delete lpServer;
    WSACleanup();
    return 0;
}
