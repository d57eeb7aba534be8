// Shared helpers of the benchmarks: the clock (every program here), and for
// the base-library benchmark the scale factor, statistics and table output.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <vector>

// Seconds and milliseconds on the performance counter.
class BenchClock
{
public:
    static LONGLONG Now()
    {
        LARGE_INTEGER li;
        QueryPerformanceCounter(&li);
        return li.QuadPart;
    }
    // Counts per second.
    static LONGLONG Frequency()
    {
        static const LONGLONG s_llFreq = QueryFrequency();
        return s_llFreq;
    }
    static double Seconds(LONGLONG llFrom, LONGLONG llTo)
    {
        return double(llTo - llFrom) / double(Frequency());
    }
    static double Millis(LONGLONG llFrom, LONGLONG llTo) { return Seconds(llFrom, llTo) * 1000.0; }
    static double SecondsSince(LONGLONG llFrom) { return Seconds(llFrom, Now()); }
    // Seconds since the counter's own start, for deadlines kept as numbers.
    static double NowSeconds() { return Seconds(0, Now()); }

private:
    static LONGLONG QueryFrequency()
    {
        LARGE_INTEGER li;
        QueryPerformanceFrequency(&li);
        return li.QuadPart;
    }
};

// The run of a fuzz program, "PROGRAM [count [seed]]": run(guard, count,
// seed) feeds count inputs that end at the guard page and returns how many
// broke its rules. Prints "UNIT count, T s, R UNIT/s, check reports N, BROKEN
// B"; exits with 1 when anything broke or a check report was raised, 2 when
// the guard page could not be set up.
template <class Guard, class Run>
int BenchFuzzMain(int argc, char** argv, long lDefaultCount, const char* lpszUnit, const char* lpszBroken, Run run)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    long lCount = argc > 1 ? atol(argv[1]) : lDefaultCount;
    UINT uiSeed = argc > 2 ? (UINT)strtoul(argv[2], NULL, 10) : 20261206u;
    Guard guard;
    if (!guard.IsGuarded()) {
        printf("cannot set up the guard page\n");
        return 2;
    }
    LONGLONG llStart = BenchClock::Now();
    long lBroken = run(guard, lCount, uiSeed);
    double dSeconds = BenchClock::SecondsSince(llStart);
    printf("%s %ld, %.2f s, %.0f %s/s, check reports %d, %s %ld\n", lpszUnit, lCount, dSeconds,
           dSeconds > 0 ? lCount / dSeconds : 0.0, lpszUnit, Guard::s_iReports, lpszBroken, lBroken);
    return (Guard::s_iReports != 0 || lBroken != 0) ? 1 : 0;
}

// The command-line scale factor applied to every amount; iMin keeps a quick
// run meaningful.
int BenchScaled(int iBase, int iMin);
// The count of operations that lasts about dSeconds times the scale factor at
// the rate a short pilot run showed (at least iMin): the rates measured here
// differ by three orders of magnitude, so fixed counts would not do.
int BenchPlanCount(double dPilotPerSecond, double dSeconds, int iMin);

// Distribution of a set of samples (nearest-rank percentiles).
struct BenchStats
{
    double p50;
    double p99;
    double max;
};
BenchStats BenchComputeStats(std::vector<double> vecSamples);

// Output: every line is flushed at once, so a crash or a kill loses nothing.
void BenchPrint(const char* lpszFormat, ...);
void BenchSection(const char* lpszTitle);
// A rate as text with a unit suffix (k, M), e.g. "12.3 M".
const char* BenchRate(double dPerSecond, char* lpszBuf, size_t uiBufSize);

// Sections; each prints its own table.
void BenchMemory();
void BenchTimerAddRemove();
void BenchTimerLateness();
void BenchTimerBacklog();
void BenchMsgQueue();
