// Shared helpers of the benchmarks: the clock (every program here), and for
// the base-library benchmark the scale factor, statistics and table output.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <stdio.h>

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
