// Socket generations of the soak: every socket it makes or accepts gets a
// new generation number (dwUserData1), never reused, whose record lives on
// after the socket is closed so that late events are recognised. Also the
// records' history for reports, the handle map and the list of open ones.
#pragma once

#include "soak_pattern.h"

#include <atomic>
#include <string>
#include <vector>

namespace soak {

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

// The record of a generation, or NULL for one never given.
Gen* GenAt(DWORD dwGen);
// A new generation of the role, or NULL when the numbers have run out.
Gen* NewGen(int iRole);
// The next generation number to be given (all below it were).
DWORD NextGen();

// Counts a violation and reports it in full (the first few of a kind) with
// the generation's history; g may be NULL.
void Violation(Gen* g, const char* lpszWhat, SOCKET s, unsigned long long ullSeq, const char* lpszEvent,
               const std::string& strMore = std::string());
// Where a wrong delivery's bytes come from, and the other end's history, as
// text to add to a violation's report.
std::string LocateBytes(const char* lpBuf, UINT uiLen, DWORD dwKey, unsigned long long ullExpected);
std::string PeerHistory(Gen* g);

// Handle -> generation of the socket that holds it now (for events that come
// before an accepted socket has its user values); 0 for none.
void MapHandle(Gen* g);
void UnmapHandle(Gen* g);
DWORD GenOfHandle(SOCKET s);
// Local port of a client -> its generation (pairs the two ends in reports).
void SetClientOfPort(Gen* g);
DWORD ClientOfPort(DWORD dwPort);

// Open generations, for the driver's random picks.
void AddLive(Gen* g);
void RemoveLive(Gen* g);
int LiveCount();
std::vector<DWORD> LiveGens();
// A random open generation, or 0.
DWORD RandomLive(Rng& rng);
extern std::atomic<int> g_iLiveClients, g_iConnecting;

} // namespace soak
