// Timer service: cost of adding and removing many timers, lateness of one-shot
// timers, and the expiry backlog of many 1-ms timers with the time a stop takes
// over it, each next to a baseline measured in the same run.
#include "bench_util.h"
#include "committed_memory.h"

#include "VZ_MultipleTimer.h"

#include <mmsystem.h>

#include <atomic>
#include <map>
#include <unordered_map>

namespace {

// Far enough ahead that no timer expires or is cascaded while measured.
const UINT FAR_ELAPSE = 3600000;

int ProcessorCount()
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return int(si.dwNumberOfProcessors);
}

class CountingSink : public VZ_MultipleTimerSink
{
public:
    CountingSink() : m_lCalls(0) {}
    int OnTimerExpired(DWORD, DWORD) override
    {
        ++m_lCalls;
        return 0;
    }
    std::atomic<long> m_lCalls;
};

// The plain way: an ordered multimap by expiry and a hash map from id to the
// multimap entry, behind one lock per call as the service has.
class BaselineTimers
{
public:
    explicit BaselineTimers(size_t uiExpected) : m_dwClock(timeGetTime())
    {
        InitializeCriticalSection(&m_cs);
        m_mapById.reserve(uiExpected);
    }
    ~BaselineTimers() { DeleteCriticalSection(&m_cs); }

    bool AddTimer(DWORD dwTimerId, UINT uiElapse)
    {
        EnterCriticalSection(&m_cs);
        bool bAdded = m_mapById.find(dwTimerId) == m_mapById.end();
        if (bAdded)
            m_mapById.emplace(dwTimerId, m_mapByExpiry.emplace(m_dwClock + uiElapse, dwTimerId));
        LeaveCriticalSection(&m_cs);
        return bAdded;
    }
    bool RemoveTimer(DWORD dwTimerId)
    {
        EnterCriticalSection(&m_cs);
        auto it = m_mapById.find(dwTimerId);
        bool bFound = it != m_mapById.end();
        if (bFound)
        {
            m_mapByExpiry.erase(it->second);
            m_mapById.erase(it);
        }
        LeaveCriticalSection(&m_cs);
        return bFound;
    }

private:
    typedef std::multimap<DWORD, DWORD> ExpiryMap;
    CRITICAL_SECTION m_cs;
    DWORD m_dwClock;
    ExpiryMap m_mapByExpiry;
    std::unordered_map<DWORD, ExpiryMap::iterator> m_mapById;
};

struct AddRemoveResult
{
    double dAddSeconds;
    double dRemoveSeconds;
    int iFailures;
};

// Ids 1..iCount, intervals spread over a few seconds around FAR_ELAPSE.
template<class TIMERS>
AddRemoveResult AddThenRemove(TIMERS& timers, int iCount)
{
    AddRemoveResult r = { 0.0, 0.0, 0 };
    LONGLONG llStart = BenchClock::Now();
    for (int i = 0; i < iCount; ++i)
        if (!timers.AddTimer(DWORD(i + 1), FAR_ELAPSE + UINT(i & 4095)))
            ++r.iFailures;
    LONGLONG llAdded = BenchClock::Now();
    for (int i = 0; i < iCount; ++i)
        if (!timers.RemoveTimer(DWORD(i + 1)))
            ++r.iFailures;
    LONGLONG llRemoved = BenchClock::Now();
    r.dAddSeconds = BenchClock::Seconds(llStart, llAdded);
    r.dRemoveSeconds = BenchClock::Seconds(llAdded, llRemoved);
    return r;
}

// Gives the service's AddTimer the same shape as the baseline's.
class ServiceTimers
{
public:
    explicit ServiceTimers(VZ_MultipleTimer& timer) : m_timer(timer) {}
    bool AddTimer(DWORD dwTimerId, UINT uiElapse) { return m_timer.AddTimer(dwTimerId, uiElapse, dwTimerId, true); }
    bool RemoveTimer(DWORD dwTimerId) { return m_timer.RemoveTimer(dwTimerId); }

private:
    VZ_MultipleTimer& m_timer;
};

void PrintAddRemove(const char* lpszName, int iCount, const char* lpszTable, const AddRemoveResult& r)
{
    char sz1[32], sz2[32], sz3[32];
    double dPairs = double(iCount) / (r.dAddSeconds + r.dRemoveSeconds);
    BenchPrint("%-32s %9d %10s %12s %12s %12s %8.2f s%s\n", lpszName, iCount, lpszTable,
               BenchRate(iCount / r.dAddSeconds, sz1, sizeof(sz1)),
               BenchRate(iCount / r.dRemoveSeconds, sz2, sizeof(sz2)),
               BenchRate(dPairs, sz3, sizeof(sz3)), r.dAddSeconds + r.dRemoveSeconds,
               r.iFailures ? "  FAILED CALLS!" : "");
    if (r.iFailures)
        BenchPrint("  %d calls returned false\n", r.iFailures);
}

// One service run: started like a socket manager's, but with a table sized
// for the load (the map's chains are walked on every add and remove).
void MeasureService(int iCount, UINT uiTableSize)
{
    CountingSink sink;
    VZ_MultipleTimer timer;
    timer.m_lpSink = &sink;
    if (!timer.Start(1, ProcessorCount(), int(uiTableSize)))
    {
        BenchPrint("VZ_MultipleTimer::Start failed\n");
        return;
    }
    ServiceTimers timers(timer);
    AddRemoveResult r = AddThenRemove(timers, iCount);
    timer.Stop();
    char szTable[32];
    snprintf(szTable, sizeof(szTable), "%u", uiTableSize);
    PrintAddRemove("VZ_MultipleTimer", iCount, szTable, r);
    if (sink.m_lCalls.load() != 0)
        BenchPrint("  unexpected: %ld timers expired\n", sink.m_lCalls.load());
}

void MeasureBaseline(int iCount)
{
    BaselineTimers timers(static_cast<size_t>(iCount));
    AddRemoveResult r = AddThenRemove(timers, iCount);
    PrintAddRemove("std::multimap + unordered_map", iCount, "-", r);
}

// ---- lateness ----

class LatenessSink : public VZ_MultipleTimerSink
{
public:
    LatenessSink() : m_dwExpected(0), m_llFired(0) { m_hFired = CreateEventW(NULL, FALSE, FALSE, NULL); }
    ~LatenessSink() { CloseHandle(m_hFired); }
    int OnTimerExpired(DWORD dwTimerId, DWORD) override
    {
        if (dwTimerId == m_dwExpected.load())
        {
            m_llFired = BenchClock::Now();
            SetEvent(m_hFired);
        }
        return 0;
    }
    std::atomic<DWORD> m_dwExpected;
    std::atomic<LONGLONG> m_llFired;
    HANDLE m_hFired;
};

void CALLBACK OneShotCallback(UINT, UINT, DWORD_PTR dwUser, DWORD_PTR, DWORD_PTR)
{
    LatenessSink* lpSink = reinterpret_cast<LatenessSink*>(dwUser);
    lpSink->m_llFired = BenchClock::Now();
    SetEvent(lpSink->m_hFired);
}

// Busy-waits a varying fraction of a millisecond, so that the samples start
// at every phase of the 1-ms tick rather than right after one.
void SpreadPhase(int iSample)
{
    double dWait = double((iSample * 37) % 100) / 100.0;
    LONGLONG llStart = BenchClock::Now();
    while (BenchClock::Millis(llStart, BenchClock::Now()) < dWait)
    {
    }
}

enum LatenessMethod { LM_SERVICE, LM_TIMESETEVENT, LM_SLEEP };

// Lateness in ms of one sample; a negative value means earlier than asked,
// and a missing expiry counts as lateness of the whole wait.
double OneSample(LatenessMethod method, VZ_MultipleTimer& timer, LatenessSink& sink, DWORD dwId, UINT uiMs)
{
    const DWORD dwWait = uiMs + 5000;
    sink.m_dwExpected = dwId;
    ResetEvent(sink.m_hFired);
    LONGLONG llStart = BenchClock::Now();
    if (method == LM_SLEEP)
    {
        Sleep(uiMs);
        return BenchClock::Millis(llStart, BenchClock::Now()) - uiMs;
    }
    bool bStarted = method == LM_SERVICE
        ? timer.AddTimer(dwId, uiMs, 0, true)
        : timeSetEvent(uiMs, 1, OneShotCallback, reinterpret_cast<DWORD_PTR>(&sink),
                       TIME_ONESHOT | TIME_CALLBACK_FUNCTION) != 0;
    if (!bStarted || WaitForSingleObject(sink.m_hFired, dwWait) != WAIT_OBJECT_0)
        return double(dwWait);
    return BenchClock::Millis(llStart, sink.m_llFired.load()) - uiMs;
}

void MeasureLateness(LatenessMethod method, const char* lpszName, VZ_MultipleTimer& timer,
                     LatenessSink& sink, UINT uiMs, int iSamples, DWORD& dwNextId)
{
    std::vector<double> vecLate;
    for (int i = 0; i < iSamples; ++i)
    {
        SpreadPhase(i);
        vecLate.push_back(OneSample(method, timer, sink, dwNextId++, uiMs));
    }
    BenchStats st = BenchComputeStats(vecLate);
    BenchPrint("%8u ms %8d  %-24s %8.2f %8.2f %8.2f\n", uiMs, iSamples, lpszName, st.p50, st.p99, st.max);
}


// ---- backlog ----

double CommittedMB() { return double(CommittedPrivate()) / 1048576.0; }

// iTimers repeating 1-ms timers run for dwRunMs on a service started like a
// socket manager's, with a sink that only counts; then the service stops. The
// baseline is the former stop, whose quits queued behind the backlog: here the
// timers are removed and the threads work through what is queued before Stop.
void MeasureBacklog(int iTimers, DWORD dwRunMs, bool bDrainFirst)
{
    CountingSink sink;
    VZ_MultipleTimer timer;
    timer.m_lpSink = &sink;
    double dMemBefore = CommittedMB();
    if (!timer.Start(1, ProcessorCount(), 4099))
    {
        BenchPrint("VZ_MultipleTimer::Start failed\n");
        return;
    }
    for (int i = 0; i < iTimers; ++i)
        timer.AddTimer(DWORD(i + 1), 1, 0, false);
    LONGLONG llStart = BenchClock::Now();
    Sleep(dwRunMs);
    long lDelivered = sink.m_lCalls.load();
    int iQueued = timer.GetQueuedCount();
    double dRun = BenchClock::Seconds(llStart, BenchClock::Now());
    double dMem = CommittedMB() - dMemBefore;

    LONGLONG llStop = BenchClock::Now();
    bool bDrained = true;
    if (bDrainFirst)
    {
        for (int i = 0; i < iTimers; ++i)
            timer.RemoveTimer(DWORD(i + 1));
        LONGLONG llLimit = llStop;
        while (timer.GetQueuedCount() > 0 && (bDrained = BenchClock::Seconds(llLimit, BenchClock::Now()) < 60.0))
            Sleep(1);
    }
    timer.Stop();
    double dStopMs = BenchClock::Millis(llStop, BenchClock::Now());

    char sz1[32], sz2[32];
    BenchPrint("%7d %6.2f s %12s %12s %9d %8.1f MB  %-22s %9.0f ms%s\n", iTimers, dRun,
               BenchRate(double(lDelivered + iQueued) / dRun, sz1, sizeof(sz1)),
               BenchRate(double(lDelivered) / dRun, sz2, sizeof(sz2)), iQueued, dMem,
               bDrainFirst ? "drain, then Stop (old)" : "Stop (drops the queue)", dStopMs,
               bDrained ? "" : "  (drain cut at 60 s)");
}

}   // namespace

void BenchTimerAddRemove()
{
    BenchSection("Timer service: add, then remove, timers with distinct ids far in the future");
    BenchPrint("%-32s %9s %10s %12s %12s %12s %10s\n", "implementation", "ids", "buckets",
               "add/s", "remove/s", "add+rem/s", "time");
    int iMany = BenchScaled(1000000, 10000);
    MeasureService(iMany, 1048573);   // a prime above the 1M ids
    MeasureBaseline(iMany);
    // The size every socket manager uses, loaded to 24 timers per bucket.
    int iManager = BenchScaled(100000, 10000);
    MeasureService(iManager, 4099);
    MeasureBaseline(iManager);
}

void BenchTimerLateness()
{
    BenchSection("Timer lateness: one-shot timers, ms after the interval asked for (QueryPerformanceCounter)");
    BenchPrint("%11s %8s  %-24s %8s %8s %8s\n", "interval", "samples", "method", "p50", "p99", "max");
    LatenessSink sink;
    VZ_MultipleTimer timer;
    timer.m_lpSink = &sink;
    if (!timer.Start(1, ProcessorCount(), 4099))
    {
        BenchPrint("VZ_MultipleTimer::Start failed\n");
        return;
    }
    const UINT auiMs[3] = { 1, 10, 300 };
    const int aiSamples[3] = { BenchScaled(200, 5), BenchScaled(100, 5), BenchScaled(20, 3) };
    DWORD dwNextId = 1;
    for (int i = 0; i < 3; ++i)
    {
        MeasureLateness(LM_SERVICE, "VZ_MultipleTimer", timer, sink, auiMs[i], aiSamples[i], dwNextId);
        MeasureLateness(LM_TIMESETEVENT, "timeSetEvent one-shot", timer, sink, auiMs[i], aiSamples[i], dwNextId);
        MeasureLateness(LM_SLEEP, "Sleep(n)", timer, sink, auiMs[i], aiSamples[i], dwNextId);
    }
    timer.Stop();
}

void BenchTimerBacklog()
{
    BenchSection("Timer backlog: repeating 1-ms timers, a counting sink; expiries produced and delivered,"
                 " what is queued at the end of the run, and the time Stop takes over it");
    BenchPrint("%7s %8s %12s %12s %9s %11s  %-22s %12s\n", "timers", "run", "produced/s", "delivered/s",
               "queued", "memory", "stop", "stop time");
    const DWORD dwRunMs = DWORD(BenchScaled(1000, 200));
    const int aiTimers[3] = { 10, 100, 500 };
    for (int i = 0; i < 3; ++i)
    {
        MeasureBacklog(aiTimers[i], dwRunMs, true);
        MeasureBacklog(aiTimers[i], dwRunMs, false);
    }
}
