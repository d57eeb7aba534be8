// bench_base: throughput and latency of the base library's memory pool, timer
// service and message queue, each next to a plain baseline measured in the
// same run.
//
//   bench_base [scale]     scale multiplies every amount (default 1; 0.1 for
//                          a quick check). A full run takes about a minute.
#include "bench_util.h"

#include <mmsystem.h>
#include <stdarg.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>

static double s_dScale = 1.0;

int BenchScaled(int iBase, int iMin)
{
    double d = double(iBase) * s_dScale;
    if (d < double(iMin))
        return iMin;
    if (d > 2.0e9)
        return 2000000000;
    return int(d);
}

int BenchPlanCount(double dPilotPerSecond, double dSeconds, int iMin)
{
    double d = dPilotPerSecond * dSeconds * s_dScale;
    if (!(d >= double(iMin)))
        return iMin;
    if (d > 1.0e9)
        return 1000000000;
    return int(d);
}

BenchStats BenchComputeStats(std::vector<double> vecSamples)
{
    BenchStats st = { 0.0, 0.0, 0.0 };
    if (vecSamples.empty())
        return st;
    std::sort(vecSamples.begin(), vecSamples.end());
    size_t n = vecSamples.size();
    // Nearest rank: the smallest sample with at least p% of all at or below it.
    size_t i50 = size_t(std::ceil(0.50 * double(n)));
    size_t i99 = size_t(std::ceil(0.99 * double(n)));
    st.p50 = vecSamples[i50 > 0 ? i50 - 1 : 0];
    st.p99 = vecSamples[i99 > 0 ? i99 - 1 : 0];
    st.max = vecSamples[n - 1];
    return st;
}

void BenchPrint(const char* lpszFormat, ...)
{
    va_list args;
    va_start(args, lpszFormat);
    vprintf(lpszFormat, args);
    va_end(args);
    fflush(stdout);
}

void BenchSection(const char* lpszTitle)
{
    BenchPrint("\n== %s ==\n", lpszTitle);
}

const char* BenchRate(double dPerSecond, char* lpszBuf, size_t uiBufSize)
{
    if (dPerSecond >= 1.0e6)
        snprintf(lpszBuf, uiBufSize, "%.2f M", dPerSecond / 1.0e6);
    else if (dPerSecond >= 1.0e3)
        snprintf(lpszBuf, uiBufSize, "%.1f k", dPerSecond / 1.0e3);
    else
        snprintf(lpszBuf, uiBufSize, "%.0f", dPerSecond);
    return lpszBuf;
}

int main(int argc, char** argv)
{
    if (argc > 1)
    {
        s_dScale = atof(argv[1]);
        if (!(s_dScale > 0.0))
        {
            printf("usage: bench_base [scale]   (scale > 0, default 1)\n");
            return 2;
        }
    }
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    BenchPrint("bench_base: scale %.3g, %lu processors; rates are operations per second"
               " (k = 1e3, M = 1e6)\n", s_dScale, (unsigned long)si.dwNumberOfProcessors);

    // Every measurement, baselines included, runs at the 1-ms system timer
    // resolution that the timer service asks for anyway.
    timeBeginPeriod(1);
    LONGLONG llStart = BenchClock::Now();
    BenchMemory();
    BenchTimerAddRemove();
    BenchTimerLateness();
    BenchTimerBacklog();
    BenchMsgQueue();
    BenchPrint("\ntotal run time %.1f s\n", BenchClock::Seconds(llStart, BenchClock::Now()));
    timeEndPeriod(1);
    return 0;
}
