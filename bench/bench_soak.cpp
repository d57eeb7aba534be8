// bench_soak: tries hard to break one engine (or two containers over one
// engine) and reports what it saw.
//
//   bench_soak --engine NAME [--seconds S] [--conns N] [--seed X] [--sim 1]
//
// --sim 1 (completion-port engine only) runs the engine's network fault
// simulator at high rates all along: a connection broken every second or
// less, up to 50 sockets' sends held back 10 to 300 ms, 20 to 50 % of
// connects failed. Bytes must still arrive intact and in order (a stream
// may end early, never go wrong).
//
// One manager (for a 2.0 name: two containers, the server in one, the
// clients in the other) runs an echo server on 127.0.0.1 and about N client
// connections to it. Clients send messages of 1 byte to 256 KiB whose bytes
// follow a pattern keyed by the connection and the stream position; the
// server checks what arrives and sends it back, the client checks the echo.
// Connections end at random from either side (CloseSocket, or a reset:
// SO_LINGER {1,0} set on the handle first), from inside events, from timer
// events or from the driving thread, while new ones keep being made (so the
// engine reuses freed handles). Timers and receive time-outs are armed on
// some sockets and killed or left to the close.
//
// Every event is checked (a violation each):
//   - the bytes received are exactly the pattern's next bytes;
//   - at most one terminal event (OnSocketClose, or OnTcpConnect with an
//     error) per socket;
//   - no event for a socket raised after its CloseSocket returned on the
//     same thread, none with another socket's user values (socket state is
//     keyed by a generation carried in dwUserData1, so events of a reused
//     handle are told apart); an event another thread had under way when
//     the close came is counted, not failed;
//   - no timer or time-out event for a socket that never armed it;
//   - no failed engine check (VZ_ASSERT report);
//   - no event of another kind than this program asks for, none routed to
//     the wrong container.
// After the run the manager is uninitialized and destroyed; the process's
// handle count must be back at the baseline measured after a warm-up round
// (same program, one second), and the manager's pool must have no block out.
//
// One summary line "soak: ..." ends the output; exit code 0 only with no
// violation, handle delta 0 and no pool block out (1 otherwise, 2 for a bad
// command line or a failed set-up, 4 when the run hung).
//
// The parts: soak_tools (locks, thread records, random numbers),
// soak_pattern (the byte pattern, figures, violation kinds),
// soak_generations (per-socket records and their history), soak_actions
// (the host calls on a socket), soak_sink (the checks of every event),
// soak_driver (the driving thread and the watchdog); this file holds the
// options and the run.
#include "soak_driver.h"
#include "soak_actions.h"

#include "VZ_Assert.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

using namespace soak;

namespace {

bool ParseOptions(int argc, char** argv, Options* lpOpt)
{
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (i + 1 >= argc)
            return false;
        const char* lpszValue = argv[++i];
        if (strArg == "--engine")
            lpOpt->strEngine = lpszValue;
        else if (strArg == "--seconds")
            lpOpt->dSeconds = atof(lpszValue);
        else if (strArg == "--conns")
            lpOpt->iConns = atoi(lpszValue);
        else if (strArg == "--seed")
            lpOpt->ullSeed = strtoull(lpszValue, NULL, 10);
        else if (strArg == "--sim")
            lpOpt->bSim = atoi(lpszValue) != 0;
        else
            return false;
    }
    bool bIocp = lpOpt->strEngine.compare(0, 5, "IIocp") == 0;
    return !lpOpt->strEngine.empty() && lpOpt->dSeconds > 0 && lpOpt->iConns > 0 && (bIocp || !lpOpt->bSim);
}

// What the summary reports: the run's own figures (the warm-up's left out).
struct Outcome {
    RoundResult warm, run;
    FigureCounts fig;       // grown during the run
    DWORD dwSockets;        // generations given during the run
    long long llWarmViolations;
    long long llHandleDelta;
};

// Threads of the engine end and give their handles back shortly after the
// destruction: waits for that, at most 5 s.
long long HandleDelta(DWORD dwHandlesBefore)
{
    long long llHandleDelta = 0;
    for (int i = 0; i < 50; ++i) {
        llHandleDelta = static_cast<long long>(ProcessHandles()) - static_cast<long long>(dwHandlesBefore);
        if (llHandleDelta <= 0)
            break;
        Sleep(100);
    }
    return llHandleDelta;
}

std::string CapText(const Options& opt)
{
    std::string strCap = std::to_string(opt.iConns) + " connections";
    if (opt.strEngine.compare(0, 7, "ISelect") == 0)
        strCap += " (select: 64 sockets per thread, about " + std::to_string((2 * opt.iConns + 63) / 64) + " threads)";
    if (IsContainerName(opt.strEngine))
        strCap += " (two containers on one engine)";
    if (opt.bSim)
        strCap += ", fault simulator on";
    return strCap;
}

void PrintSummary(const Options& opt, const Outcome& out)
{
    const FigureCounts& d = out.fig;
    printf("soak: engine %s, %.1f s, cap %s, seed %llu: connections %lld (accepted %lld, failed %lld), "
           "failed accepts %lld (not connected %lld, reset %lld, aborted %lld), bytes checked %lld, messages %lld, host closes %lld, server closes %lld, resets %lld, close calls %lld, "
           "closes reported %lld (with an error %lld), sockets %lu, events %lld, timer events %lld (late after a kill %lld), overlaps with a close %lld, "
           "raised after another thread's close %lld, receives after a terminal event %lld, closes before the connect event %lld, closes while connecting %lld, "
           "violations %lld (warm-up %lld, engine checks %lld), handle delta %lld, pool blocks out %d (1 s later %d, warm-up %d)\n",
           opt.strEngine.c_str(), out.run.dSeconds, CapText(opt).c_str(), opt.ullSeed, d.connections, d.accepts,
           d.connectFailures, d.failedAccepts, d.failedAcceptsNotConn, d.failedAcceptsReset, d.failedAcceptsAborted,
           d.bytesChecked, d.messages, d.hostCloses, d.serverCloses, d.resets, d.closeCalls,
           d.closeEvents + d.closeErrors, d.closeErrors, static_cast<unsigned long>(out.dwSockets), d.events,
           d.timerEvents, d.lateTimers, d.overlaps, d.inFlight, d.afterTerminal, d.closeBeforeConnect, d.earlyCloses,
           g_fig.violations.load(), out.llWarmViolations, g_fig.assertReports.load(), out.llHandleDelta,
           out.run.iPoolOut, out.run.iPoolOutLater, out.warm.iPoolOut);
    printf("soak: violations by kind: %s\n", KindsText().c_str());
    fflush(stdout);
}

// The warm-up round, whose handles stay out of the figure, then the run;
// false (with a line said) when a round could not be set up.
bool RunSoak(const Options& opt, Outcome* lpOut)
{
    // What the first use of Winsock and of the engine keeps for the process
    // stays out of the handle figure.
    lpOut->warm = RunRound(opt, 1.0, opt.iConns < 20 ? opt.iConns : 20);
    if (!lpOut->warm.bSetUp) {
        printf("soak: engine %s: set-up failed (unknown name, or no listener)\n", opt.strEngine.c_str());
        fflush(stdout);
        return false;
    }
    DWORD dwHandlesBefore = SettledHandles();
    lpOut->llWarmViolations = g_fig.violations.load();
    // The figures count from here (violations of the warm-up stay).
    FigureCounts base = FiguresNow();
    DWORD dwGen0 = NextGen();
    lpOut->run = RunRound(opt, opt.dSeconds, opt.iConns);
    if (!lpOut->run.bSetUp) {
        printf("soak: engine %s: set-up of the run failed\n", opt.strEngine.c_str());
        fflush(stdout);
        return false;
    }
    lpOut->llHandleDelta = HandleDelta(dwHandlesBefore);
    lpOut->fig = FiguresSince(base);
    lpOut->dwSockets = NextGen() - dwGen0;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    static char s_szOut[1 << 16];
    setvbuf(stdout, s_szOut, _IOFBF, sizeof(s_szOut));
    Options opt;
    if (!ParseOptions(argc, argv, &opt)) {
        printf("usage: bench_soak --engine NAME [--seconds S] [--conns N] [--seed X] [--sim 1]\n"
               "NAME: IIocpSocketMgr1.0, IAsyncSocketMgr1.0, ISelectSocketMgr1.0 or a 2.0 container name;\n"
               "--sim 1: the fault simulator on (IIocp names only)\n");
        return 2;
    }
    g_strEngine = opt.strEngine;
    g_ullSeed = opt.ullSeed;
    g_bSim = opt.bSim;
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    VZ_SetAssertHandler(AssertHandler);
    HANDLE hWatchdog = StartWatchdog();
    Outcome out;
    if (!RunSoak(opt, &out))
        return 2;
    StopWatchdog(hWatchdog);
    PrintSummary(opt, out);
    bool bPass = g_fig.violations.load() == 0 && out.llHandleDelta == 0 && out.run.iPoolOut == 0 && out.warm.iPoolOut == 0;
    return bPass ? 0 : 1;
}
