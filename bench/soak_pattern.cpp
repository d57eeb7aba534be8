// The soak's stream pattern, figures and violation count (soak_pattern.h).
#include "soak_pattern.h"

#include <stdio.h>
#include <string.h>

#include <vector>

namespace soak {

Figures g_fig;
std::atomic<unsigned long long> g_ullSeq{0};
std::string g_strEngine;
unsigned long long g_ullSeed = 1;

void FillPattern(char* lpBuf, DWORD dwKey, unsigned long long ullPos, UINT uiLen)
{
    for (UINT i = 0; i < uiLen; ++i)
        lpBuf[i] = static_cast<char>(PatternByte(dwKey, ullPos + i));
}

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

namespace {

// Applies f to each pair of like figures of a and b: the one list of them.
template <class A, class B, class F> void EachFigure(A& a, B& b, F f)
{
    f(a.connections, b.connections), f(a.accepts, b.accepts), f(a.connectFailures, b.connectFailures);
    f(a.bytesChecked, b.bytesChecked), f(a.messages, b.messages), f(a.hostCloses, b.hostCloses);
    f(a.serverCloses, b.serverCloses), f(a.resets, b.resets), f(a.closeCalls, b.closeCalls);
    f(a.events, b.events), f(a.timerEvents, b.timerEvents), f(a.violations, b.violations);
    f(a.assertReports, b.assertReports), f(a.overlaps, b.overlaps), f(a.inFlight, b.inFlight);
    f(a.closeEvents, b.closeEvents), f(a.closeErrors, b.closeErrors), f(a.lateTimers, b.lateTimers);
    f(a.afterTerminal, b.afterTerminal), f(a.closeBeforeConnect, b.closeBeforeConnect);
    f(a.earlyCloses, b.earlyCloses), f(a.createFailures, b.createFailures), f(a.failedAccepts, b.failedAccepts);
    f(a.failedAcceptsNotConn, b.failedAcceptsNotConn), f(a.failedAcceptsReset, b.failedAcceptsReset);
    f(a.failedAcceptsAborted, b.failedAcceptsAborted);
}

const long long REPORTS_PER_KIND = 6;

// Violations counted by kind.
struct Kind {
    const char* lpszWhat;
    long long llCount;
};
Lock g_lckKinds;
std::vector<Kind> g_vecKinds;

} // namespace

FigureCounts FiguresNow()
{
    FigureCounts counts;
    EachFigure(counts, g_fig, [](long long& ll, const std::atomic<long long>& at) { ll = at.load(); });
    return counts;
}

FigureCounts FiguresSince(const FigureCounts& base)
{
    FigureCounts counts = FiguresNow();
    EachFigure(counts, base, [](long long& ll, const long long& llBase) { ll -= llBase; });
    return counts;
}

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

} // namespace soak
