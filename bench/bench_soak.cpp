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
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "ISocketMgr.h"
#include "VZ_Assert.h"
#include "core/VZ_SocketMgr.h"
#include "container/VZ_SocketMgrContainer.h"

namespace {

// ---------------------------------------------------------------------------
// Small tools: locks without kernel handles (the handle count is checked),
// a random generator, the byte pattern.

// Slim reader/writer lock used exclusively; never makes a handle.
class Lock {
public:
    void Acquire() { AcquireSRWLockExclusive(&m_srw); }
    void Release() { ReleaseSRWLockExclusive(&m_srw); }

private:
    SRWLOCK m_srw = SRWLOCK_INIT;
};

// Where each thread is, for the report of a hung run: the engine call it
// makes or the event it handles, and the owner of a socket lock it waits for.
struct Where {
    std::atomic<DWORD> dwThread{0};
    std::atomic<const char*> lpszWhat{NULL};
    std::atomic<DWORD> dwWaitsFor{0};
};
const int MAX_WHERE = 256;
Where g_where[MAX_WHERE];
std::atomic<int> g_iWhere{0};
thread_local Where* t_lpWhere = NULL;

Where* MyWhere()
{
    if (t_lpWhere == NULL) {
        int i = g_iWhere++;
        if (i >= MAX_WHERE)
            return NULL;
        t_lpWhere = &g_where[i];
        t_lpWhere->dwThread = GetCurrentThreadId();
    }
    return t_lpWhere;
}

// Marks what this thread does for the scope of the object.
class Doing {
public:
    explicit Doing(const char* lpszWhat) : m_lpWhere(MyWhere()), m_lpszOld(NULL)
    {
        if (m_lpWhere != NULL)
            m_lpszOld = m_lpWhere->lpszWhat.exchange(lpszWhat);
    }
    ~Doing()
    {
        if (m_lpWhere != NULL)
            m_lpWhere->lpszWhat = m_lpszOld;
    }
    Doing(const Doing&) = delete;
    Doing& operator=(const Doing&) = delete;

private:
    Where* m_lpWhere;
    const char* m_lpszOld;
};

// The same, re-entrant: the select engine raises OnTcpRecv inside Recv, so
// a thread holding a socket's lock may enter that socket's event again.
class RecursiveLock {
public:
    void Acquire()
    {
        DWORD dwMe = GetCurrentThreadId();
        if (m_dwOwner.load(std::memory_order_acquire) == dwMe) {
            ++m_iDepth;
            return;
        }
        if (!TryAcquireSRWLockExclusive(&m_srw)) {
            Where* lpWhere = MyWhere();
            if (lpWhere != NULL)
                lpWhere->dwWaitsFor = m_dwOwner.load();
            AcquireSRWLockExclusive(&m_srw);
            if (lpWhere != NULL)
                lpWhere->dwWaitsFor = 0;
        }
        m_dwOwner.store(dwMe, std::memory_order_release);
        m_iDepth = 1;
    }
    void Release()
    {
        if (--m_iDepth == 0) {
            m_dwOwner.store(0, std::memory_order_release);
            ReleaseSRWLockExclusive(&m_srw);
        }
    }

private:
    SRWLOCK m_srw = SRWLOCK_INIT;
    std::atomic<DWORD> m_dwOwner{0};
    int m_iDepth = 0;
};

template <class L> class Hold {
public:
    explicit Hold(L& lock) : m_lock(lock) { m_lock.Acquire(); }
    ~Hold() { m_lock.Release(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    L& m_lock;
};

class Rng {
public:
    explicit Rng(unsigned long long ullSeed = 1) : m_ull(ullSeed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    unsigned long long Next()
    {
        unsigned long long z = (m_ull += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. n-1 (n > 0)
    UINT Below(UINT n) { return static_cast<UINT>(Next() % n); }
    bool Percent(UINT uiPercent) { return Below(100) < uiPercent; }
    // 1 .. 2^iMaxBits, spread evenly over the powers of two.
    UINT LogSize(int iMaxBits) { return 1 + Below(1u << Below(static_cast<UINT>(iMaxBits) + 1)); }

private:
    unsigned long long m_ull;
};

// The pattern: byte p of a stream keyed k is byte (p % 8) of a hash of
// (k, p / 8), so a lost, doubled or reordered byte shows at once.
inline unsigned long long PatternWord(DWORD dwKey, unsigned long long ullWord)
{
    unsigned long long z = ullWord ^ (static_cast<unsigned long long>(dwKey) << 44) ^ 0x5851F42D4C957F2Dull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
inline BYTE PatternByte(DWORD dwKey, unsigned long long ullPos)
{
    return static_cast<BYTE>(PatternWord(dwKey, ullPos >> 3) >> (8 * (ullPos & 7)));
}
void FillPattern(char* lpBuf, DWORD dwKey, unsigned long long ullPos, UINT uiLen)
{
    for (UINT i = 0; i < uiLen; ++i)
        lpBuf[i] = static_cast<char>(PatternByte(dwKey, ullPos + i));
}
// Index of the first byte that differs from the pattern, or -1.
long long CheckPattern(const char* lpBuf, DWORD dwKey, unsigned long long ullPos, UINT uiLen)
{
    UINT i = 0;
    while (i < uiLen) {
        unsigned long long ullAt = ullPos + i;
        unsigned long long w = PatternWord(dwKey, ullAt >> 3);
        for (UINT b = static_cast<UINT>(ullAt & 7); b < 8 && i < uiLen; ++b, ++i)
            if (static_cast<BYTE>(lpBuf[i]) != static_cast<BYTE>(w >> (8 * b)))
                return i;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Figures

struct Figures {
    std::atomic<long long> connections{0}, accepts{0}, connectFailures{0}, bytesChecked{0}, messages{0};
    std::atomic<long long> hostCloses{0}, serverCloses{0}, resets{0}, closeCalls{0}, events{0}, timerEvents{0};
    std::atomic<long long> violations{0}, assertReports{0}, overlaps{0}, inFlight{0}, closeEvents{0}, closeErrors{0}, lateTimers{0}, afterTerminal{0};
    std::atomic<long long> closeBeforeConnect{0}, earlyCloses{0}, createFailures{0}, failedAccepts{0};
    // failed accepts by error: a connection its client closed before the
    // accept (Wine's accept then says "not connected"), reset or aborted
    std::atomic<long long> failedAcceptsNotConn{0}, failedAcceptsReset{0}, failedAcceptsAborted{0};
};
Figures g_fig;
std::atomic<unsigned long long> g_ullSeq{0}; // orders events against returned CloseSockets
std::string g_strEngine;
unsigned long long g_ullSeed = 1;
const long long REPORTS_PER_KIND = 6;

// Violations counted by kind; the first few of each kind are reported in
// full on standard error.
struct Kind {
    const char* lpszWhat;
    long long llCount;
};
Lock g_lckKinds;
std::vector<Kind> g_vecKinds;

// Counts one violation of a kind; true when it is to be reported in full.
bool CountViolation(const char* lpszWhat)
{
    ++g_fig.violations;
    Hold<Lock> hold(g_lckKinds);
    for (Kind& k : g_vecKinds)
        if (strcmp(k.lpszWhat, lpszWhat) == 0)
            return ++k.llCount <= REPORTS_PER_KIND;
    g_vecKinds.push_back(Kind{lpszWhat, 1});
    return true;
}

std::string KindsText()
{
    Hold<Lock> hold(g_lckKinds);
    std::string str;
    for (const Kind& k : g_vecKinds)
        str += std::string(str.empty() ? "" : "; ") + k.lpszWhat + ": " + std::to_string(k.llCount);
    return str.empty() ? "none" : str;
}

void AssertHandler(const char* lpszExpr, const char* lpszModule, int iLine)
{
    ++g_fig.assertReports;
    if (CountViolation("engine check failed"))
        fprintf(stderr, "VIOLATION engine %s seed %llu: engine check failed: %s, module %s, line %d\n",
                g_strEngine.c_str(), g_ullSeed, lpszExpr, lpszModule, iLine);
}

// ---------------------------------------------------------------------------
// Socket generations: every socket this program makes or accepts gets a
// new generation number (dwUserData1), never reused, whose state lives on
// after the socket is closed so that late events are recognised.

enum { ROLE_LISTEN = 1, ROLE_CLIENT = 2, ROLE_SERVER = 3 };
enum { TIMER_EVENTS = 4 };
const int HISTORY = 12;
const unsigned long long NEVER = ~0ull;

struct HistoryEntry {
    char cWhat;      // lower case: an event; upper case: a host call
    int iValue;      // error, event number, byte count, ...
    unsigned long long ullSeq;
    DWORD dwThread;
};

struct Gen {
    RecursiveLock lock; // held around every host call on the socket and its close
    std::atomic<SOCKET> s{INVALID_SOCKET}; // set before the socket's first event can come; read by Resolve
    int iRole = 0;
    DWORD dwGen = 0;
    std::atomic<unsigned long long> ullCloseSeq{0}; // sequence number taken after CloseSocket returned
    std::atomic<DWORD> dwCloseThread{0};            // the thread that called it
    bool bClosed = false;
    bool bConnecting = false, bConnected = false;
    int iTerminals = 0;
    DWORD dwKey = 0;    // pattern key: the client's local port
    DWORD dwPeerGen = 0;
    unsigned long long ullSent = 0, ullRecv = 0, ullEnd = NEVER;
    bool bEndReset = false, bEndViaDriver = false, bSendViaDriver = false;
    bool bTimerSet[TIMER_EVENTS] = {}, bTimerEver[TIMER_EVENTS] = {}, bTimerOnce[TIMER_EVENTS] = {};
    bool bTimerKilled[TIMER_EVENTS] = {};
    DWORD dwTimerParam[TIMER_EVENTS] = {};
    bool bRecvTimeoutSet = false, bRecvTimeoutEver = false;
    int iLiveIndex = -1;
    Rng rng;
    HistoryEntry history[HISTORY] = {};
    int iHistory = 0;

    void Note(char cWhat, int iValue, unsigned long long ullSeq)
    {
        history[iHistory % HISTORY] = HistoryEntry{cWhat, iValue, ullSeq, GetCurrentThreadId()};
        ++iHistory;
    }
};

const int CHUNK_BITS = 12;
const DWORD CHUNK_SIZE = 1u << CHUNK_BITS;
const DWORD MAX_CHUNKS = 1u << 14;
std::atomic<Gen*> g_chunks[MAX_CHUNKS];
std::atomic<DWORD> g_dwNextGen{1};
Lock g_lckChunks;

Gen* GenAt(DWORD dwGen)
{
    if (dwGen == 0 || dwGen >= g_dwNextGen.load())
        return NULL;
    Gen* lpChunk = g_chunks[dwGen >> CHUNK_BITS].load(std::memory_order_acquire);
    return lpChunk != NULL ? &lpChunk[dwGen & (CHUNK_SIZE - 1)] : NULL;
}

Gen* NewGen(int iRole)
{
    DWORD dwGen = g_dwNextGen.load();
    {
        Hold<Lock> hold(g_lckChunks);
        dwGen = g_dwNextGen.load();
        if ((dwGen >> CHUNK_BITS) >= MAX_CHUNKS)
            return NULL;
        if (g_chunks[dwGen >> CHUNK_BITS].load() == NULL)
            g_chunks[dwGen >> CHUNK_BITS].store(new Gen[CHUNK_SIZE], std::memory_order_release);
        g_dwNextGen.store(dwGen + 1);
    }
    Gen* g = GenAt(dwGen);
    g->dwGen = dwGen;
    g->iRole = iRole;
    g->rng = Rng(g_ullSeed * 1000003ull + dwGen);
    return g;
}

const char* RoleName(int iRole)
{
    return iRole == ROLE_LISTEN ? "listener" : iRole == ROLE_CLIENT ? "client" : iRole == ROLE_SERVER ? "server" : "?";
}

std::string HistoryText(Gen* g)
{
    std::string str;
    int iFirst = g->iHistory > HISTORY ? g->iHistory - HISTORY : 0;
    for (int i = iFirst; i < g->iHistory; ++i) {
        const HistoryEntry& h = g->history[i % HISTORY];
        char sz[96];
        snprintf(sz, sizeof(sz), " %c(%d)@%llu/t%lu", h.cWhat, h.iValue, h.ullSeq, static_cast<unsigned long>(h.dwThread));
        str += sz;
    }
    return str;
}

// Where a wrong delivery's bytes come from: each of the first eight offsets
// is tried as the start of a pattern word of this stream (1 MiB either side
// of where it should be) and of every client's stream, so a report tells a
// doubled, skipped or foreign chunk from garbage. Runs on a violation only.
std::string LocateBytes(const char* lpBuf, UINT uiLen, DWORD dwKey, unsigned long long ullExpected)
{
    char sz[160];
    for (UINT a = 0; a < 8 && a + 8 <= uiLen; ++a) {
        unsigned long long w = 0;
        memcpy(&w, lpBuf + a, 8);
        unsigned long long ullMid = (ullExpected + a) >> 3;
        unsigned long long ullLo = ullMid > (1u << 17) ? ullMid - (1u << 17) : 0;
        for (unsigned long long i = ullLo; i < ullMid + (1u << 17); ++i)
            if (PatternWord(dwKey, i) == w) {
                snprintf(sz, sizeof(sz), "; its byte %u is this stream's position %llu", a, i * 8);
                return sz;
            }
        for (DWORD d = 1; d < g_dwNextGen.load(); ++d) {
            Gen* g = GenAt(d);
            if (g == NULL || g->iRole != ROLE_CLIENT || g->dwKey == dwKey)
                continue;
            for (unsigned long long i = 0; i <= g->ullSent / 8 && i < (1u << 20); ++i)
                if (PatternWord(g->dwKey, i) == w) {
                    snprintf(sz, sizeof(sz), "; its byte %u is position %llu of generation %lu's stream (key %lu)", a,
                             i * 8, static_cast<unsigned long>(d), static_cast<unsigned long>(g->dwKey));
                    return sz;
                }
        }
    }
    std::string str = "; bytes from no stream:";
    for (UINT i = 0; i < 16 && i < uiLen; ++i) {
        snprintf(sz, sizeof(sz), " %02x", static_cast<unsigned>(static_cast<BYTE>(lpBuf[i])));
        str += sz;
    }
    return str;
}

// The other end's history, read without its lock: a report only.
std::string PeerHistory(Gen* g)
{
    Gen* lpPeer = g->iRole == ROLE_SERVER ? GenAt(g->dwPeerGen) : NULL;
    return lpPeer != NULL ? "; peer's history:" + HistoryText(lpPeer) : std::string();
}

void Violation(Gen* g, const char* lpszWhat, SOCKET s, unsigned long long ullSeq, const char* lpszEvent,
               const std::string& strMore = std::string())
{
    if (!CountViolation(lpszWhat))
        return;
    std::string strHistory;
    if (g != NULL) {
        Hold<RecursiveLock> hold(g->lock);
        strHistory = HistoryText(g);
    }
    fprintf(stderr,
            "VIOLATION engine %s seed %llu: %s: event %s on socket %llu at seq %llu on thread %lu, generation %lu (%s, "
            "socket %llu, closed at seq %llu, peer generation %lu)%s; history:%s\n",
            g_strEngine.c_str(), g_ullSeed, lpszWhat, lpszEvent, static_cast<unsigned long long>(s), ullSeq,
            static_cast<unsigned long>(GetCurrentThreadId()),
            g != NULL ? static_cast<unsigned long>(g->dwGen) : 0ul, g != NULL ? RoleName(g->iRole) : "-",
            g != NULL ? static_cast<unsigned long long>(g->s) : 0ull, g != NULL ? g->ullCloseSeq.load() : 0ull,
            g != NULL ? static_cast<unsigned long>(g->dwPeerGen) : 0ul, strMore.c_str(), strHistory.c_str());
}

// Handle -> generation of the socket that holds it now (for events that
// come before an accepted socket has its user values).
Lock g_lckHandles;
std::unordered_map<unsigned long long, DWORD> g_mapHandles;
// Local port of a client -> its generation (pairs the two ends in reports).
std::atomic<DWORD> g_dwClientOfPort[65536];

// Open generations, for the driver's random picks.
Lock g_lckLive;
std::vector<DWORD> g_vecLive;
std::atomic<int> g_iLiveClients{0}, g_iConnecting{0};

void AddLive(Gen* g)
{
    Hold<Lock> hold(g_lckLive);
    g->iLiveIndex = static_cast<int>(g_vecLive.size());
    g_vecLive.push_back(g->dwGen);
    if (g->iRole == ROLE_CLIENT)
        ++g_iLiveClients;
}
void RemoveLive(Gen* g)
{
    Hold<Lock> hold(g_lckLive);
    int i = g->iLiveIndex;
    if (i < 0)
        return;
    DWORD dwLast = g_vecLive.back();
    g_vecLive[i] = dwLast;
    GenAt(dwLast)->iLiveIndex = i;
    g_vecLive.pop_back();
    g->iLiveIndex = -1;
    if (g->iRole == ROLE_CLIENT)
        --g_iLiveClients;
}

// ---------------------------------------------------------------------------
// The managers and the work

ISocketMgr* g_lpServerMgr = NULL; // the listener and the accepted sockets
ISocketMgr* g_lpClientMgr = NULL; // the clients (the same manager unless containers)
bool g_bContainers = false;
bool g_bSim = false; // the fault simulator may refuse a Connect at once
std::atomic<bool> g_bStopping{false};
USHORT g_usPort = 0;
Gen* g_lpListen = NULL;

ISocketMgr* MgrOf(const Gen* g) { return g->iRole == ROLE_CLIENT ? g_lpClientMgr : g_lpServerMgr; }

enum { ACT_CLOSE = 1, ACT_RESET = 2, ACT_SEND = 3 };
struct Action {
    DWORD dwGen;
    int iAct;
    int iWhy; // 0: an ending of this side, 1: answer to the peer's close
};
Lock g_lckActions;
std::deque<Action> g_deqActions;

void Post(DWORD dwGen, int iAct, int iWhy)
{
    Hold<Lock> hold(g_lckActions);
    g_deqActions.push_back(Action{dwGen, iAct, iWhy});
}

// Closes the generation's socket once (lock held). bEnding: a planned ending
// of this side (counted), else the answer to a terminal event.
void CloseGen(Gen* g, bool bReset, bool bEnding)
{
    if (g->bClosed)
        return;
    if (bReset) {
        linger lg = {1, 0};
        setsockopt(g->s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof(lg));
        ++g_fig.resets;
    }
    if (bEnding && !bReset)
        ++(g->iRole == ROLE_CLIENT ? g_fig.hostCloses : g_fig.serverCloses);
    if (g->bConnecting) {
        g->bConnecting = false;
        --g_iConnecting;
        ++g_fig.earlyCloses;
    }
    // Some timers are killed, the rest are left to the close.
    if (g->rng.Percent(30)) {
        for (UINT ev = 0; ev < TIMER_EVENTS; ++ev)
            if (g->bTimerSet[ev]) {
                MgrOf(g)->KillTimer(g->s, ev);
                g->bTimerSet[ev] = false;
                g->bTimerKilled[ev] = true;
            }
        if (g->bRecvTimeoutSet) {
            MgrOf(g)->KillRecvTimeout(g->s);
            g->bRecvTimeoutSet = false;
        }
    }
    ++g_fig.closeCalls;
    Doing doing("CloseSocket");
    bool bOk = MgrOf(g)->CloseSocket(g->s);
    g->bClosed = true;
    unsigned long long ullSeq = ++g_ullSeq;
    g->dwCloseThread.store(GetCurrentThreadId());
    g->ullCloseSeq.store(ullSeq);
    g->Note(bReset ? 'R' : 'C', bOk ? 1 : 0, ullSeq);
    {
        Hold<Lock> hold(g_lckHandles);
        auto it = g_mapHandles.find(static_cast<unsigned long long>(g->s));
        if (it != g_mapHandles.end() && it->second == g->dwGen)
            g_mapHandles.erase(it);
    }
    RemoveLive(g);
    if (!bOk)
        Violation(g, "CloseSocket refused an open socket", g->s, ullSeq, "CloseSocket");
}

thread_local std::vector<char> t_vecSend;

// Sends the client's next message (lock held); false when nothing went.
bool SendNext(Gen* g)
{
    if (g->bClosed || !g->bConnected)
        return false;
    UINT uiLen = g->rng.LogSize(18); // 1 byte to 256 KiB
    if (t_vecSend.size() < uiLen)
        t_vecSend.resize(256 * 1024);
    FillPattern(t_vecSend.data(), g->dwKey, g->ullSent, uiLen);
    Doing doing("Send");
    if (MgrOf(g)->Send(g->s, t_vecSend.data(), static_cast<int>(uiLen), g->dwGen, NULL)) {
        g->ullSent += uiLen;
        ++g_fig.messages;
        g->Note('S', static_cast<int>(uiLen), g_ullSeq.load());
        return true;
    }
    return false;
}

// Timers and the receive time-out of a new connection (lock held).
void ArmSome(Gen* g)
{
    Doing doing("SetTimer/SetRecvTimeout");
    if (g->rng.Percent(35)) {
        UINT ev = g->rng.Below(TIMER_EVENTS);
        bool bOnce = g->rng.Percent(40);
        DWORD dwParam = g->dwGen * 8 + ev;
        if (!g->bTimerSet[ev] && MgrOf(g)->SetTimer(g->s, ev, 10 + g->rng.Below(70), dwParam, bOnce)) {
            g->bTimerSet[ev] = g->bTimerEver[ev] = true;
            g->bTimerOnce[ev] = bOnce;
            g->dwTimerParam[ev] = dwParam;
            g->Note('T', static_cast<int>(ev), g_ullSeq.load());
        }
    }
    if (g->rng.Percent(30) && !g->bRecvTimeoutSet && MgrOf(g)->SetRecvTimeout(g->s, 20 + g->rng.Below(280))) {
        g->bRecvTimeoutSet = g->bRecvTimeoutEver = true;
        g->Note('O', 0, g_ullSeq.load());
    }
}

// The planned end of one side: after this many received bytes (or never).
void PlanEnding(Gen* g)
{
    g->ullEnd = g->rng.Percent(20) ? NEVER : g->rng.LogSize(22);
    g->bEndReset = g->rng.Percent(35);
    g->bEndViaDriver = g->rng.Percent(50);
}

void EndSide(Gen* g)
{
    if (g->bEndViaDriver)
        Post(g->dwGen, g->bEndReset ? ACT_RESET : ACT_CLOSE, 0);
    else
        CloseGen(g, g->bEndReset, true);
}

// The next notice length of a client: at most what is still to come back.
void ReadOn(Gen* g)
{
    unsigned long long ullOut = g->ullSent - g->ullRecv;
    UINT uiNotice = 1;
    if (ullOut > 1 && g->rng.Percent(50))
        uiNotice = 1 + g->rng.Below(static_cast<UINT>(ullOut > 300000 ? 300000 : ullOut));
    Doing doing("Recv");
    MgrOf(g)->Recv(g->s, uiNotice);
}

// ---------------------------------------------------------------------------
// The sink

class SoakSink : public ISocketMgrSink {
public:
    explicit SoakSink(int iSide) : m_iSide(iSide) {}

    bool OnSocketPreAccept(const sockaddr_in*, const sockaddr_in*) override { return true; }

    void OnTcpConnect(int iError, SOCKET s, DWORD d1, DWORD d2) override
    {
        Doing doing("in OnTcpConnect");
        unsigned long long ullSeq = Enter();
        Gen* g = Resolve(s, d1, d2, ullSeq, "OnTcpConnect");
        if (g == NULL)
            return;
        Hold<RecursiveLock> hold(g->lock);
        if (Closed(g, ullSeq))
            return;
        g->Note('c', iError, ullSeq);
        if (g->iRole != ROLE_CLIENT) {
            Violation(g, "connect event on a socket that never connected", s, ullSeq, "OnTcpConnect");
            return;
        }
        if (g->bConnecting) {
            g->bConnecting = false;
            --g_iConnecting;
        }
        if (g->iTerminals > 0 || g->bConnected) {
            Violation(g, g->bConnected ? "second connect event" : "connect event after a terminal event", s, ullSeq,
                      "OnTcpConnect", " error " + std::to_string(iError));
            return;
        }
        if (iError != 0) {
            ++g->iTerminals;
            ++g_fig.connectFailures;
            CloseGen(g, false, false);
            return;
        }
        g->bConnected = true;
        ++g_fig.connections;
        if (g_bStopping) {
            CloseGen(g, false, false);
            return;
        }
        ArmSome(g);
        if (g->bSendViaDriver)
            Post(g->dwGen, ACT_SEND, 0);
        else
            SendNext(g);
        ReadOn(g);
    }

    void OnTcpAccept(int iError, SOCKET sListen, SOCKET a, const sockaddr_in*, const sockaddr_in* lpPeer) override
    {
        Doing doing("in OnTcpAccept");
        unsigned long long ullSeq = Enter();
        if (g_lpListen != NULL && g_lpListen->ullCloseSeq.load() != 0 && ullSeq > g_lpListen->ullCloseSeq.load())
            Violation(g_lpListen, "accept after CloseSocket of the listener returned", sListen, ullSeq, "OnTcpAccept");
        if (g_lpListen == NULL || sListen != g_lpListen->s) {
            Violation(g_lpListen, "accept on a socket that is not the listener", sListen, ullSeq, "OnTcpAccept");
            return;
        }
        if (m_iSide == ROLE_CLIENT) {
            Violation(g_lpListen, "accept routed to the clients' container", sListen, ullSeq, "OnTcpAccept");
            return;
        }
        if (iError != 0 || a == INVALID_SOCKET) { // a connection gone before its accept
            if (iError == 0)
                Violation(g_lpListen, "accept without a socket and without an error", sListen, ullSeq, "OnTcpAccept");
            ++g_fig.failedAccepts;
            if (iError == WSAENOTCONN)
                ++g_fig.failedAcceptsNotConn;
            else if (iError == WSAECONNRESET)
                ++g_fig.failedAcceptsReset;
            else if (iError == WSAECONNABORTED)
                ++g_fig.failedAcceptsAborted;
            return;
        }
        Gen* g = NewGen(ROLE_SERVER);
        if (g == NULL)
            return;
        Hold<RecursiveLock> hold(g->lock);
        g->s = a;
        g->dwKey = lpPeer != NULL ? ntohs(lpPeer->sin_port) : 0;
        g->dwPeerGen = g_dwClientOfPort[g->dwKey & 0xFFFF].load();
        g->Note('a', static_cast<int>(g->dwKey), ullSeq);
        {
            Hold<Lock> holdHandles(g_lckHandles);
            g_mapHandles[static_cast<unsigned long long>(a)] = g->dwGen;
        }
        AddLive(g);
        ++g_fig.accepts;
        Doing doingAccept("SetUserData/Recv of an accepted socket");
        MgrOf(g)->SetUserData1(a, g->dwGen);
        MgrOf(g)->SetUserData2(a, ROLE_SERVER);
        g->bConnected = true;
        if (g_bStopping) {
            CloseGen(g, false, false);
            return;
        }
        PlanEnding(g);
        ArmSome(g);
        MgrOf(g)->Recv(a, 1);
    }

    void OnTcpRecv(int iError, SOCKET s, const char* buf, UINT* lpuiLen, DWORD d1, DWORD d2) override
    {
        Doing doing("in OnTcpRecv");
        unsigned long long ullSeq = Enter();
        Gen* g = Resolve(s, d1, d2, ullSeq, "OnTcpRecv");
        UINT uiLen = *lpuiLen;
        if (g == NULL)
            return;
        Hold<RecursiveLock> hold(g->lock);
        if (Closed(g, ullSeq))
            return;
        g->Note('r', static_cast<int>(uiLen), ullSeq);
        if (iError != 0 || g->iRole == ROLE_LISTEN) {
            Violation(g, "receive event with an error or on the listener", s, ullSeq, "OnTcpRecv",
                      " error " + std::to_string(iError));
            return;
        }
        if (!g->bConnected)
            Violation(g, "receive before the connect event", s, ullSeq, "OnTcpRecv");
        if (g->iTerminals > 0)
            ++g_fig.afterTerminal;
        if (g->iRole == ROLE_CLIENT && g->ullRecv + uiLen > g->ullSent) {
            Violation(g, "more bytes echoed than sent", s, ullSeq, "OnTcpRecv",
                      " sent " + std::to_string(g->ullSent) + " received " + std::to_string(g->ullRecv) + " + " +
                          std::to_string(uiLen));
            CloseGen(g, false, false);
            return;
        }
        long long llBad = CheckPattern(buf, g->dwKey, g->ullRecv, uiLen);
        if (llBad >= 0) {
            Violation(g, "wrong byte", s, ullSeq, "OnTcpRecv",
                      " at stream position " + std::to_string(g->ullRecv + static_cast<unsigned long long>(llBad)) +
                          " of a delivery of " + std::to_string(uiLen) + " from " + std::to_string(g->ullRecv) +
                          LocateBytes(buf + llBad, uiLen - static_cast<UINT>(llBad), g->dwKey,
                                      g->ullRecv + static_cast<unsigned long long>(llBad)) +
                          PeerHistory(g));
            CloseGen(g, false, false);
            return;
        }
        *lpuiLen = uiLen;
        g->ullRecv += uiLen;
        g_fig.bytesChecked += uiLen;
        if (g_bStopping)
            return;
        if (g->ullRecv >= g->ullEnd) {
            EndSide(g);
            if (g->bClosed)
                return;
        }
        if (g->iRole == ROLE_SERVER) {
            if (uiLen > 0)
                MgrOf(g)->Send(s, buf, static_cast<int>(uiLen), 0, NULL);
            MgrOf(g)->Recv(s, 1);
            return;
        }
        // Client: keep up to 64 KiB in flight, at least one message.
        if (g->ullEnd == NEVER || g->ullSent < g->ullEnd) {
            if (g->bSendViaDriver) {
                if (g->ullSent == g->ullRecv)
                    Post(g->dwGen, ACT_SEND, 0);
            } else {
                for (int i = 0; i < 8 && g->ullSent - g->ullRecv < 65536 &&
                                (g->ullSent == g->ullRecv || g->rng.Percent(30));
                     ++i)
                    if (!SendNext(g))
                        break;
            }
        }
        ReadOn(g);
    }

    void OnUdpRecv(int, SOCKET s, const char*, int, const sockaddr_in*, DWORD d1, DWORD) override
    {
        Doing doing("in OnUdpRecv");
        unsigned long long ullSeq = Enter();
        Violation(GenAt(d1), "datagram event (no UDP socket exists)", s, ullSeq, "OnUdpRecv");
    }

    void OnTcpSend(int iError, SOCKET s, DWORD d1, DWORD d2, DWORD, UINT uiQueued) override
    {
        Doing doing("in OnTcpSend");
        unsigned long long ullSeq = Enter();
        Gen* g = Resolve(s, d1, d2, ullSeq, "OnTcpSend");
        if (g == NULL)
            return;
        Hold<RecursiveLock> hold(g->lock);
        if (Closed(g, ullSeq))
            return;
        g->Note('s', iError != 0 ? -iError : static_cast<int>(uiQueued), ullSeq);
    }

    void OnSocketClose(int iError, SOCKET s, int iStatus, DWORD d1, DWORD d2) override
    {
        Doing doing("in OnSocketClose");
        unsigned long long ullSeq = Enter();
        Gen* g = Resolve(s, d1, d2, ullSeq, "OnSocketClose");
        if (g == NULL)
            return;
        Hold<RecursiveLock> hold(g->lock);
        if (Closed(g, ullSeq))
            return;
        if (iError != 0)
            g->Note('e', iError, ullSeq);
        g->Note('x', iStatus, ullSeq);
        ++(iError != 0 ? g_fig.closeErrors : g_fig.closeEvents);
        if (++g->iTerminals > 1) {
            Violation(g, "second terminal event", s, ullSeq, "OnSocketClose",
                      " error " + std::to_string(iError) + " status " + std::to_string(iStatus));
            return;
        }
        if (g->iRole == ROLE_CLIENT && !g->bConnected)
            ++g_fig.closeBeforeConnect;
        if (g->bConnecting) {
            g->bConnecting = false;
            --g_iConnecting;
        }
        // The answer: close at once, or from the driving thread.
        if (g->rng.Percent(50))
            CloseGen(g, false, false);
        else
            Post(g->dwGen, ACT_CLOSE, 1);
    }

    void OnRecvTimeout(int, SOCKET s, DWORD d1, DWORD d2) override
    {
        Doing doing("in OnRecvTimeout");
        unsigned long long ullSeq = Enter();
        ++g_fig.timerEvents;
        Gen* g = Resolve(s, d1, d2, ullSeq, "OnRecvTimeout");
        if (g == NULL)
            return;
        Hold<RecursiveLock> hold(g->lock);
        if (Closed(g, ullSeq))
            return;
        g->Note('o', 0, ullSeq);
        if (!g->bRecvTimeoutEver) {
            Violation(g, "receive time-out of a socket that never set one", s, ullSeq, "OnRecvTimeout");
            return;
        }
        if (!g->bRecvTimeoutSet) {
            ++g_fig.lateTimers;
            return;
        }
        UINT uiRoll = g->rng.Below(100);
        if (uiRoll < 20) {
            MgrOf(g)->KillRecvTimeout(s);
            g->bRecvTimeoutSet = false;
            g->Note('K', -1, g_ullSeq.load());
        } else if (uiRoll < 24 && !g_bStopping) {
            CloseGen(g, g->rng.Percent(40), true);
        }
    }

    void OnSendTimeout(int, SOCKET s, DWORD d1, DWORD d2) override
    {
        Doing doing("in OnSendTimeout");
        unsigned long long ullSeq = Enter();
        ++g_fig.timerEvents;
        Gen* g = Resolve(s, d1, d2, ullSeq, "OnSendTimeout");
        if (g != NULL)
            Violation(g, "send time-out of a socket that never set one", s, ullSeq, "OnSendTimeout");
    }

    void OnDnsParse(const char*, ULONG) override
    {
        Doing doing("in OnDnsParse");
        unsigned long long ullSeq = Enter();
        Violation(NULL, "name event (no name was asked for)", INVALID_SOCKET, ullSeq, "OnDnsParse");
    }

    void OnTimer(SOCKET s, UINT uiEvent, DWORD dwParam, DWORD d1, DWORD d2) override
    {
        Doing doing("in OnTimer");
        unsigned long long ullSeq = Enter();
        ++g_fig.timerEvents;
        Gen* g = Resolve(s, d1, d2, ullSeq, "OnTimer");
        if (g == NULL)
            return;
        Hold<RecursiveLock> hold(g->lock);
        if (Closed(g, ullSeq))
            return;
        g->Note('t', static_cast<int>(uiEvent), ullSeq);
        if (uiEvent >= TIMER_EVENTS || !g->bTimerEver[uiEvent]) {
            Violation(g, "timer event of a timer this socket never set", s, ullSeq, "OnTimer",
                      " event " + std::to_string(uiEvent) + " parameter " + std::to_string(dwParam));
            return;
        }
        if (dwParam != g->dwTimerParam[uiEvent]) {
            Violation(g, "timer event with another parameter", s, ullSeq, "OnTimer",
                      " event " + std::to_string(uiEvent) + " parameter " + std::to_string(dwParam));
            return;
        }
        if (!g->bTimerSet[uiEvent]) {
            if (g->bTimerKilled[uiEvent]) // an expiry on its way when KillTimer ran
                ++g_fig.lateTimers;
            else
                Violation(g, "one-shot timer fired again", s, ullSeq, "OnTimer",
                          " event " + std::to_string(uiEvent));
            return;
        }
        if (g->bTimerOnce[uiEvent])
            g->bTimerSet[uiEvent] = false;
        if (g_bStopping)
            return;
        UINT uiRoll = g->rng.Below(100);
        if (uiRoll < 15 && g->bTimerSet[uiEvent]) {
            Doing doingKill("KillTimer");
            MgrOf(g)->KillTimer(s, uiEvent);
            g->bTimerSet[uiEvent] = false;
            g->bTimerKilled[uiEvent] = true;
            g->Note('k', static_cast<int>(uiEvent), g_ullSeq.load());
        } else if (uiRoll < 18) {
            CloseGen(g, g->rng.Percent(40), true); // an ending from a timer thread
        } else if (uiRoll < 30 && g->iRole == ROLE_CLIENT && g->bConnected &&
                   g->ullSent - g->ullRecv < 65536 && (g->ullEnd == NEVER || g->ullSent < g->ullEnd)) {
            SendNext(g); // a send from a timer thread
        }
    }

    void OnProxyResult(int, SOCKET s, const sockaddr_in*, DWORD d1, DWORD) override
    {
        Doing doing("in OnProxyResult");
        unsigned long long ullSeq = Enter();
        Violation(GenAt(d1), "proxy event (no proxy is used)", s, ullSeq, "OnProxyResult");
    }

    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override
    {
        Doing doing("in OnReserved");
        unsigned long long ullSeq = Enter();
        Violation(NULL, "reserved event", INVALID_SOCKET, ullSeq, "OnReserved");
        return 0;
    }

private:
    static unsigned long long Enter()
    {
        ++g_fig.events;
        return ++g_ullSeq;
    }

    // The generation an event belongs to, or NULL (after counting a
    // violation or an overlap with a close) when it must not be handled.
    Gen* Resolve(SOCKET s, DWORD d1, DWORD d2, unsigned long long ullSeq, const char* lpszEvent)
    {
        Gen* g = NULL;
        if (d1 == 0) {
            // An accepted socket before its user values were set.
            DWORD dwGen = 0;
            {
                Hold<Lock> hold(g_lckHandles);
                auto it = g_mapHandles.find(static_cast<unsigned long long>(s));
                if (it != g_mapHandles.end())
                    dwGen = it->second;
            }
            g = GenAt(dwGen);
            if (g == NULL || g->iRole != ROLE_SERVER || d2 != 0) {
                Violation(g, "event without user values for no announced socket", s, ullSeq, lpszEvent);
                return NULL;
            }
        } else {
            g = GenAt(d1);
            if (g == NULL) {
                Violation(NULL, "event with user values this program never gave", s, ullSeq, lpszEvent,
                          " values " + std::to_string(d1) + ", " + std::to_string(d2));
                return NULL;
            }
            if (g->s != s || static_cast<DWORD>(g->iRole) != d2) {
                Violation(g, "event with the user values of another socket", s, ullSeq, lpszEvent,
                          " values " + std::to_string(d1) + ", " + std::to_string(d2));
                return NULL;
            }
        }
        if (g_bContainers && ((m_iSide == ROLE_CLIENT) != (g->iRole == ROLE_CLIENT))) {
            Violation(g, "event routed to the wrong container", s, ullSeq, lpszEvent);
            return NULL;
        }
        if (g->ullCloseSeq.load() != 0) {
            CountLate(g, ullSeq, lpszEvent);
            return NULL;
        }
        return g;
    }

    // An event of a closed socket. One that enters after CloseSocket returned
    // is a fault on the closing thread itself; on another thread it is one
    // the engine had taken up before the close (events are raised with the
    // engine's locks released), counted apart.
    static void CountLate(Gen* g, unsigned long long ullSeq, const char* lpszEvent)
    {
        if (ullSeq <= g->ullCloseSeq.load())
            ++g_fig.overlaps;
        else if (g->dwCloseThread.load() == GetCurrentThreadId())
            Violation(g, "event after CloseSocket returned on the closing thread", g->s, ullSeq, lpszEvent);
        else
            ++g_fig.inFlight;
    }

    // Under the generation's lock: the close happened while this event was
    // on its way (it began before CloseSocket returned).
    static bool Closed(Gen* g, unsigned long long ullSeq)
    {
        if (!g->bClosed)
            return false;
        CountLate(g, ullSeq, "(late)");
        return true;
    }

    int m_iSide; // ROLE_CLIENT, ROLE_SERVER, or 0: both (one manager)
};

SoakSink g_sinkBoth(0);
SoakSink g_sinkServer(ROLE_SERVER);
SoakSink g_sinkClient(ROLE_CLIENT);

// ---------------------------------------------------------------------------
// The driving thread

struct Options {
    std::string strEngine;
    double dSeconds = 10.0;
    int iConns = 1000;
    unsigned long long ullSeed = 1;
    bool bSim = false;
};

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

bool IsContainerName(const std::string& str) { return str.size() > 3 && str.compare(str.size() - 3, 3, "2.0") == 0; }

ULONG g_ulLoopback = 0;

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
    g->s = s;
    sockaddr_in local = {};
    int iLen = sizeof(local);
    getsockname(s, reinterpret_cast<sockaddr*>(&local), &iLen);
    g->dwKey = ntohs(local.sin_port);
    g_dwClientOfPort[g->dwKey & 0xFFFF].store(g->dwGen);
    {
        Hold<Lock> holdHandles(g_lckHandles);
        g_mapHandles[static_cast<unsigned long long>(s)] = g->dwGen;
    }
    AddLive(g);
    PlanEnding(g);
    g->bSendViaDriver = g->rng.Percent(30);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(g_usPort);
    to.sin_addr.s_addr = g_ulLoopback;
    g->bConnecting = true;
    ++g_iConnecting;
    g->Note('X', static_cast<int>(g->dwKey), g_ullSeq.load());
    if (!g_lpClientMgr->Connect(s, &to)) {
        int iError = WSAGetLastError();
        if (g_bSim) {
            ++g_fig.connectFailures;
            CloseGen(g, false, false);
            return;
        }
        Violation(g, "Connect refused a new socket", s, g_ullSeq.load(), "Connect",
                  " last error " + std::to_string(iError));
        CloseGen(g, false, false);
        return;
    }
    if (rng.Percent(4)) // closed while the connect is under way
        CloseGen(g, rng.Percent(30), true);
}

void RunAction(const Action& act)
{
    Gen* g = GenAt(act.dwGen);
    if (g == NULL)
        return;
    Hold<RecursiveLock> hold(g->lock);
    if (g->bClosed)
        return;
    switch (act.iAct) {
    case ACT_CLOSE:
    case ACT_RESET:
        CloseGen(g, act.iAct == ACT_RESET, act.iWhy == 0);
        break;
    case ACT_SEND:
        if (!g_bStopping && g->ullSent - g->ullRecv < 65536 && (g->ullEnd == NEVER || g->ullSent < g->ullEnd))
            SendNext(g);
        break;
    default:
        break;
    }
}

void RunActions()
{
    for (int i = 0; i < 4096; ++i) {
        Action act;
        {
            Hold<Lock> hold(g_lckActions);
            if (g_deqActions.empty())
                return;
            act = g_deqActions.front();
            g_deqActions.pop_front();
        }
        RunAction(act);
    }
}

// A random open socket (not the listener) ended from this thread.
void EndRandom(Rng& rng)
{
    DWORD dwGen = 0;
    {
        Hold<Lock> hold(g_lckLive);
        if (g_vecLive.empty())
            return;
        dwGen = g_vecLive[rng.Below(static_cast<UINT>(g_vecLive.size()))];
    }
    Gen* g = GenAt(dwGen);
    if (g == NULL || g->iRole == ROLE_LISTEN)
        return;
    Hold<RecursiveLock> hold(g->lock);
    if (!g->bClosed)
        CloseGen(g, rng.Percent(35), true);
}

int LiveCount()
{
    Hold<Lock> hold(g_lckLive);
    return static_cast<int>(g_vecLive.size());
}

void CloseAllLive()
{
    std::vector<DWORD> vec;
    {
        Hold<Lock> hold(g_lckLive);
        vec = g_vecLive;
    }
    for (DWORD dwGen : vec) {
        Gen* g = GenAt(dwGen);
        if (g == NULL || g->iRole == ROLE_LISTEN)
            continue;
        Hold<RecursiveLock> hold(g->lock);
        CloseGen(g, false, false);
    }
}

double NowSeconds()
{
    LARGE_INTEGER liFreq, liNow;
    QueryPerformanceFrequency(&liFreq);
    QueryPerformanceCounter(&liNow);
    return double(liNow.QuadPart) / double(liFreq.QuadPart);
}

DWORD ProcessHandles()
{
    DWORD dw = 0;
    GetProcessHandleCount(GetCurrentProcess(), &dw);
    return dw;
}

// The handle count once a round's engine threads have given theirs back:
// the count has not moved for 200 ms (at most 5 s). A thread slower to end
// can only raise the baseline, hiding a leak, never inventing one.
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

// Watchdog: a run that does not end in time is reported and ended.
std::atomic<double> g_dDeadline{0.0};
std::atomic<bool> g_bWatchdogQuit{false};
DWORD WINAPI WatchdogProc(LPVOID)
{
    while (!g_bWatchdogQuit) {
        Sleep(200);
        double d = g_dDeadline.load();
        if (d > 0 && NowSeconds() > d) {
            fprintf(stderr, "VIOLATION engine %s seed %llu: the run hung (no end within its deadline)\n",
                    g_strEngine.c_str(), g_ullSeed);
            printf("soak: engine %s hung; events %lld, violations %lld\n", g_strEngine.c_str(),
                   g_fig.events.load(), g_fig.violations.load() + 1);
            for (int i = 0; i < g_iWhere.load() && i < MAX_WHERE; ++i) {
                const char* lpszWhat = g_where[i].lpszWhat.load();
                DWORD dwWaitsFor = g_where[i].dwWaitsFor.load();
                if (lpszWhat != NULL || dwWaitsFor != 0)
                    fprintf(stderr, "  thread %lu: %s; waits for the socket lock of thread %lu (0: none)\n",
                            static_cast<unsigned long>(g_where[i].dwThread.load()), lpszWhat != NULL ? lpszWhat : "-",
                            static_cast<unsigned long>(dwWaitsFor));
            }
            fflush(stdout);
            fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 4); // ExitProcess can wait on the hung threads

        }
    }
    return 0;
}

struct RoundResult {
    bool bSetUp = false;
    int iPoolOut = 0;      // right after Uninitialize
    int iPoolOutLater = 0; // one second later (tells a late return from a leak)
    double dSeconds = 0;
};

// One round: managers made and started, the listener, S seconds of work,
// everything closed, managers stopped and destroyed.
RoundResult RunRound(const Options& opt, double dSeconds, int iConns)
{
    RoundResult res;
    g_bStopping = false;
    g_bContainers = IsContainerName(opt.strEngine);
    if (g_bContainers) {
        g_lpServerMgr = oxCreateInstance(opt.strEngine.c_str());
        g_lpClientMgr = oxCreateInstance(opt.strEngine.c_str());
        if (g_lpServerMgr == NULL || g_lpClientMgr == NULL)
            return res;
        g_lpServerMgr->SetSink(&g_sinkServer);
        g_lpClientMgr->SetSink(&g_sinkClient);
        if (!InitializeEngine(opt))
            return res;
    } else {
        g_lpServerMgr = g_lpClientMgr = oxCreateInstance(opt.strEngine.c_str());
        if (g_lpServerMgr == NULL)
            return res;
        g_lpServerMgr->SetSink(&g_sinkBoth);
        if (!InitializeEngine(opt))
            return res;
    }
    // The listener.
    g_lpListen = NewGen(ROLE_LISTEN);
    SOCKET sListen = g_lpServerMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, g_lpListen->dwGen, ROLE_LISTEN);
    if (sListen == INVALID_SOCKET)
        return res;
    g_lpListen->s = sListen;
    sockaddr_in local = {};
    int iLen = sizeof(local);
    getsockname(sListen, reinterpret_cast<sockaddr*>(&local), &iLen);
    g_usPort = ntohs(local.sin_port);
    if (!g_lpServerMgr->Listen(sListen, 128))
        return res;
    res.bSetUp = true;

    Rng rng(opt.ullSeed * 7919ull + static_cast<unsigned long long>(dSeconds * 1000));
    int iMaxConnecting = iConns < 64 ? iConns : 64;
    double dStart = NowSeconds();
    double dNextReport = dStart + 10.0;
    g_dDeadline = dStart + dSeconds + 60.0;
    for (;;) {
        double dNow = NowSeconds();
        if (dNow - dStart >= dSeconds)
            break;
        for (int i = 0; i < 16 && g_iLiveClients.load() < iConns && g_iConnecting.load() < iMaxConnecting; ++i)
            NewClient(rng);
        RunActions();
        if (rng.Percent(25))
            EndRandom(rng);
        if (dNow >= dNextReport) {
            printf("soak: progress %.0f s: live %d, connections %lld, bytes checked %lld, events %lld, violations %lld\n",
                   dNow - dStart, LiveCount(), g_fig.connections.load(),
                   g_fig.bytesChecked.load(), g_fig.events.load(), g_fig.violations.load());
            fflush(stdout);
            dNextReport += 10.0;
        }
        Sleep(2);
    }
    // The end: no new work, every socket closed (also the ones accepted
    // meanwhile), then the listener, then the managers.
    g_bStopping = true;
    res.dSeconds = NowSeconds() - dStart;
    for (int i = 0; i < 5; ++i) {
        RunActions();
        CloseAllLive();
        Sleep(50);
    }
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
    for (int i = 0; i < 3; ++i) {
        RunActions();
        CloseAllLive();
        Sleep(50);
    }
    {
        Hold<Lock> hold(g_lckActions);
        g_deqActions.clear();
    }
    Doing doingStop("Uninitialize");
    g_lpServerMgr->Uninitialize(0);
    if (g_bContainers) {
        VZ_SocketMgr* lpEngine = dynamic_cast<VZ_SocketMgr*>(g_lpEngine);
        res.iPoolOut = lpEngine != NULL ? lpEngine->GetPoolOutstanding() : -1;
        Sleep(1000);
        res.iPoolOutLater = lpEngine != NULL ? lpEngine->GetPoolOutstanding() : -1;
        oxDestroyInstance(g_lpClientMgr);
        oxDestroyInstance(g_lpServerMgr);
    } else {
        VZ_SocketMgr* lpEngine = dynamic_cast<VZ_SocketMgr*>(g_lpServerMgr);
        res.iPoolOut = lpEngine != NULL ? lpEngine->GetPoolOutstanding() : -1;
        Sleep(1000);
        res.iPoolOutLater = lpEngine != NULL ? lpEngine->GetPoolOutstanding() : -1;
        oxDestroyInstance(g_lpServerMgr);
    }
    g_lpServerMgr = g_lpClientMgr = NULL;
    g_dDeadline = 0.0;
    return res;
}

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
    g_ulLoopback = inet_addr("127.0.0.1");
    VZ_SetAssertHandler(AssertHandler);
    HANDLE hWatchdog = CreateThread(NULL, 0, WatchdogProc, NULL, 0, NULL);

    // Warm-up: what the first use of Winsock and of the engine keeps for the
    // process stays out of the handle figure.
    RoundResult warm = RunRound(opt, 1.0, opt.iConns < 20 ? opt.iConns : 20);
    if (!warm.bSetUp) {
        printf("soak: engine %s: set-up failed (unknown name, or no listener)\n", opt.strEngine.c_str());
        fflush(stdout);
        return 2;
    }
    DWORD dwHandlesBefore = SettledHandles();
    long long llWarmViolations = g_fig.violations.load();

    // The run; the figures count from here (violations of the warm-up stay).
    long long llConn0 = g_fig.connections, llAcc0 = g_fig.accepts, llFail0 = g_fig.connectFailures;
    long long llBytes0 = g_fig.bytesChecked, llMsg0 = g_fig.messages, llHost0 = g_fig.hostCloses;
    long long llServ0 = g_fig.serverCloses, llReset0 = g_fig.resets, llEv0 = g_fig.events, llTimer0 = g_fig.timerEvents;
    long long llCalls0 = g_fig.closeCalls, llOver0 = g_fig.overlaps, llFlight0 = g_fig.inFlight, llCloseEv0 = g_fig.closeEvents, llCloseErr0 = g_fig.closeErrors, llLate0 = g_fig.lateTimers;
    long long llFailAcc0 = g_fig.failedAccepts, llAfter0 = g_fig.afterTerminal;
    long long llAccNotConn0 = g_fig.failedAcceptsNotConn, llAccReset0 = g_fig.failedAcceptsReset, llAccAbort0 = g_fig.failedAcceptsAborted;
    long long llBefore0 = g_fig.closeBeforeConnect, llEarly0 = g_fig.earlyCloses;
    DWORD dwGen0 = g_dwNextGen.load();
    RoundResult run = RunRound(opt, opt.dSeconds, opt.iConns);
    if (!run.bSetUp) {
        printf("soak: engine %s: set-up of the run failed\n", opt.strEngine.c_str());
        fflush(stdout);
        return 2;
    }
    // Threads of the engine end and give their handles back shortly after
    // the destruction: wait for that, at most 5 s.
    long long llHandleDelta = 0;
    for (int i = 0; i < 50; ++i) {
        llHandleDelta = static_cast<long long>(ProcessHandles()) - static_cast<long long>(dwHandlesBefore);
        if (llHandleDelta <= 0)
            break;
        Sleep(100);
    }
    g_bWatchdogQuit = true;
    if (hWatchdog != NULL) {
        WaitForSingleObject(hWatchdog, 2000);
        CloseHandle(hWatchdog);
    }

    std::string strCap = std::to_string(opt.iConns) + " connections";
    if (opt.strEngine.compare(0, 7, "ISelect") == 0)
        strCap += " (select: 64 sockets per thread, about " + std::to_string((2 * opt.iConns + 63) / 64) + " threads)";
    if (g_bContainers)
        strCap += " (two containers on one engine)";
    if (opt.bSim)
        strCap += ", fault simulator on";
    printf("soak: engine %s, %.1f s, cap %s, seed %llu: connections %lld (accepted %lld, failed %lld), "
           "failed accepts %lld (not connected %lld, reset %lld, aborted %lld), bytes checked %lld, messages %lld, host closes %lld, server closes %lld, resets %lld, close calls %lld, "
           "closes reported %lld (with an error %lld), sockets %lu, events %lld, timer events %lld (late after a kill %lld), overlaps with a close %lld, "
           "raised after another thread's close %lld, receives after a terminal event %lld, closes before the connect event %lld, closes while connecting %lld, "
           "violations %lld (warm-up %lld, engine checks %lld), handle delta %lld, pool blocks out %d (1 s later %d, warm-up %d)\n",
           opt.strEngine.c_str(), run.dSeconds, strCap.c_str(), opt.ullSeed, g_fig.connections - llConn0,
           g_fig.accepts - llAcc0, g_fig.connectFailures - llFail0, g_fig.failedAccepts - llFailAcc0,
           g_fig.failedAcceptsNotConn - llAccNotConn0, g_fig.failedAcceptsReset - llAccReset0, g_fig.failedAcceptsAborted - llAccAbort0,
           g_fig.bytesChecked - llBytes0,
           g_fig.messages - llMsg0, g_fig.hostCloses - llHost0, g_fig.serverCloses - llServ0,
           g_fig.resets - llReset0, g_fig.closeCalls - llCalls0, g_fig.closeEvents - llCloseEv0 + g_fig.closeErrors - llCloseErr0,
           g_fig.closeErrors - llCloseErr0, static_cast<unsigned long>(g_dwNextGen.load() - dwGen0),
           g_fig.events - llEv0, g_fig.timerEvents - llTimer0, g_fig.lateTimers - llLate0, g_fig.overlaps - llOver0,
           g_fig.inFlight - llFlight0,
           g_fig.afterTerminal - llAfter0, g_fig.closeBeforeConnect - llBefore0, g_fig.earlyCloses - llEarly0,
           g_fig.violations.load(), llWarmViolations, g_fig.assertReports.load(), llHandleDelta, run.iPoolOut,
           run.iPoolOutLater, warm.iPoolOut);
    printf("soak: violations by kind: %s\n", KindsText().c_str());
    fflush(stdout);
    bool bPass = g_fig.violations.load() == 0 && llHandleDelta == 0 && run.iPoolOut == 0 && warm.iPoolOut == 0;
    return bPass ? 0 : 1;
}
