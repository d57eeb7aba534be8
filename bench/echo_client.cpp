// The ping-pong client load of the echo benchmark: blocking sockets, one
// thread per connection, the same code whatever server answers.
#include "echo_bench.h"
#include "bench_util.h"

#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const DWORD IO_TIMEOUT_MS = 5000; // per send or receive call
const DWORD READY_WAIT_MS = 15000; // for every connection's first round trip
const DWORD END_GRACE_MS = 15000; // after the deadline, for the threads to end

struct Conn {
    SOCKET s = INVALID_SOCKET;
    UINT uiMsgLen = 0;
    HANDLE hStart = NULL;             // manual-reset: the timed run begins
    volatile LONG* lplReady = NULL;   // counts connections past their first round trip
    volatile LONG* lplLost = NULL;    // counts connections whose first round trip failed
    volatile LONGLONG llDeadline = 0; // 0: do not run (set up failed)
    LONGLONG llMessages = 0;
    int iError = 0; // 0, a Winsock error, or -1 closed, -2 wrong echo, -3 never started
    std::vector<char> vecOut;
    std::vector<char> vecIn;
};

bool SendAll(Conn& c)
{
    for (UINT uiDone = 0; uiDone < c.uiMsgLen;) {
        int n = send(c.s, &c.vecOut[uiDone], (int)(c.uiMsgLen - uiDone), 0);
        if (n <= 0) {
            c.iError = WSAGetLastError();
            return false;
        }
        uiDone += (UINT)n;
    }
    return true;
}

bool RecvAll(Conn& c)
{
    for (UINT uiDone = 0; uiDone < c.uiMsgLen;) {
        int n = recv(c.s, &c.vecIn[uiDone], (int)(c.uiMsgLen - uiDone), 0);
        if (n <= 0) {
            c.iError = n == 0 ? -1 : WSAGetLastError();
            return false;
        }
        uiDone += (UINT)n;
    }
    return true;
}

// One round trip; every message starts with its own sequence number, so a
// stale or repeated echo does not compare equal.
bool RoundTrip(Conn& c, LONGLONG llSeq)
{
    std::memcpy(&c.vecOut[0], &llSeq, c.uiMsgLen < sizeof(llSeq) ? c.uiMsgLen : sizeof(llSeq));
    if (!SendAll(c) || !RecvAll(c))
        return false;
    if (std::memcmp(&c.vecOut[0], &c.vecIn[0], c.uiMsgLen) != 0) {
        c.iError = -2;
        return false;
    }
    return true;
}

DWORD WINAPI ConnMain(LPVOID lpParam)
{
    Conn& c = *static_cast<Conn*>(lpParam);
    if (!RoundTrip(c, -1)) {
        InterlockedIncrement(c.lplLost);
        return 0;
    }
    InterlockedIncrement(c.lplReady);
    if (WaitForSingleObject(c.hStart, READY_WAIT_MS + IO_TIMEOUT_MS) != WAIT_OBJECT_0 || c.llDeadline == 0) {
        c.iError = -3;
        return 0;
    }
    while (BenchClock::Now() < c.llDeadline && RoundTrip(c, c.llMessages))
        ++c.llMessages;
    return 0;
}

SOCKET ConnectOne(USHORT usPort)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return s;
    BOOL bNoDelay = TRUE;
    DWORD dwTimeout = IO_TIMEOUT_MS;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&bNoDelay, sizeof(bNoDelay));
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&dwTimeout, sizeof(dwTimeout));
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char*)&dwTimeout, sizeof(dwTimeout));
    sockaddr_in addr = VZ_LoopbackAddr(usPort);
    if (connect(s, (const sockaddr*)&addr, sizeof(addr)) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

void Describe(const Conn& c, int iIndex, char* lpszOut, size_t nOut)
{
    const char* lpszWhat = c.iError == -1 ? "closed by the server"
                           : c.iError == -2 ? "echo differs from the message"
                           : c.iError == -3 ? "not started"
                           : "socket error";
    std::snprintf(lpszOut, nOut, "connection %d: %s (%d) after %lld messages", iIndex, lpszWhat, c.iError,
                  (long long)c.llMessages);
}

// Waits for every thread until llUntil (performance-counter time); true when all ended.
bool JoinAll(std::vector<HANDLE>& vecThreads, LONGLONG llUntil)
{
    for (size_t i = 0; i < vecThreads.size(); ++i) {
        LONGLONG llLeft = (llUntil - BenchClock::Now()) * 1000 / BenchClock::Frequency();
        if (WaitForSingleObject(vecThreads[i], llLeft > 0 ? (DWORD)llLeft : 0) != WAIT_OBJECT_0)
            return false;
    }
    return true;
}

} // namespace

bool VZ_RunEchoLoad(USHORT usPort, const VZ_EchoLoad& load, VZ_EchoOutcome* lpOut)
{
    std::memset(lpOut, 0, sizeof(*lpOut));
    volatile LONG lReady = 0, lLost = 0;
    HANDLE hStart = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::vector<Conn> vecConns(load.iConns);
    std::vector<HANDLE> vecThreads;
    for (int i = 0; i < load.iConns; ++i) {
        Conn& c = vecConns[i];
        c.s = ConnectOne(usPort);
        c.uiMsgLen = load.uiMsgLen;
        c.hStart = hStart;
        c.lplReady = &lReady;
        c.lplLost = &lLost;
        c.vecOut.resize(load.uiMsgLen);
        c.vecIn.resize(load.uiMsgLen);
        for (UINT j = 0; j < load.uiMsgLen; ++j)
            c.vecOut[j] = (char)(j * 7 + i);
        if (c.s == INVALID_SOCKET) {
            std::snprintf(lpOut->szError, sizeof(lpOut->szError), "connect %d failed: %d", i, WSAGetLastError());
            break;
        }
        HANDLE h = CreateThread(NULL, 64 * 1024, ConnMain, &c, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
        if (h)
            vecThreads.push_back(h);
    }
    bool bStarted = vecThreads.size() == (size_t)load.iConns;
    // Every connection makes one round trip before the clock starts.
    LONGLONG llFreq = BenchClock::Frequency();
    LONGLONG llReadyBy = BenchClock::Now() + llFreq * READY_WAIT_MS / 1000;
    while (bStarted && lReady + lLost < load.iConns && BenchClock::Now() < llReadyBy)
        Sleep(1);
    LONGLONG llStart = BenchClock::Now();
    LONGLONG llDeadline = llStart + (LONGLONG)(load.dSeconds * (double)llFreq);
    for (size_t i = 0; i < vecConns.size(); ++i)
        vecConns[i].llDeadline = bStarted && lReady == load.iConns ? llDeadline : 0;
    SetEvent(hStart);
    bool bAll = JoinAll(vecThreads, llDeadline + llFreq * END_GRACE_MS / 1000);
    lpOut->dSeconds = BenchClock::SecondsSince(llStart);
    if (!bAll) {
        // Closing the sockets breaks the blocked calls; a thread that still does
        // not end is left behind (its connection memory with it).
        for (size_t i = 0; i < vecConns.size(); ++i)
            closesocket(vecConns[i].s);
        lpOut->bStuck = !JoinAll(vecThreads, BenchClock::Now() + llFreq * 5);
    }
    for (size_t i = 0; i < vecConns.size(); ++i) {
        Conn& c = vecConns[i];
        lpOut->llMessages += c.llMessages;
        if (c.iError != 0) {
            ++lpOut->iFailed;
            if (!lpOut->szError[0])
                Describe(c, (int)i, lpOut->szError, sizeof(lpOut->szError));
        }
        if (bAll && c.s != INVALID_SOCKET)
            closesocket(c.s);
    }
    if (bStarted && lReady < load.iConns && !lpOut->szError[0])
        std::snprintf(lpOut->szError, sizeof(lpOut->szError), "%ld of %d connections answered their first message",
                      (long)lReady, load.iConns);
    for (size_t i = 0; i < vecThreads.size(); ++i)
        CloseHandle(vecThreads[i]);
    CloseHandle(hStart);
    if (lpOut->bStuck) {
        // The stuck threads still use their Conn: the block is handed over, not freed.
        std::vector<Conn>* lpLeftBehind = new std::vector<Conn>(std::move(vecConns));
        (void)lpLeftBehind;
    }
    return bStarted && lpOut->iFailed == 0 && !lpOut->bStuck && lReady == load.iConns;
}
