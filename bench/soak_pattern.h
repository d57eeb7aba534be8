// The soak's stream pattern, its figures and its count of violations.
#pragma once

#include "soak_tools.h"

#include <atomic>
#include <string>

namespace soak {

// The pattern: byte p of a stream keyed k is byte (p % 8) of a hash of
// (k, p / 8), so a lost, doubled or reordered byte shows at once.
inline unsigned long long PatternWord(DWORD dwKey, unsigned long long ullWord)
{
    return Mix64(ullWord ^ (static_cast<unsigned long long>(dwKey) << 44) ^ 0x5851F42D4C957F2Dull);
}
inline BYTE PatternByte(DWORD dwKey, unsigned long long ullPos)
{
    return static_cast<BYTE>(PatternWord(dwKey, ullPos >> 3) >> (8 * (ullPos & 7)));
}
void FillPattern(char* lpBuf, DWORD dwKey, unsigned long long ullPos, UINT uiLen);
// Index of the first byte that differs from the pattern, or -1.
long long CheckPattern(const char* lpBuf, DWORD dwKey, unsigned long long ullPos, UINT uiLen);

// What the run counts: the live figures (T atomic) and a copy of them at one
// moment (T plain), so that the run's own share is told from the warm-up's.
template <class T> struct FiguresOf {
    T connections{0}, accepts{0}, connectFailures{0}, bytesChecked{0}, messages{0};
    T hostCloses{0}, serverCloses{0}, resets{0}, closeCalls{0}, events{0}, timerEvents{0};
    T violations{0}, assertReports{0}, overlaps{0}, inFlight{0}, closeEvents{0}, closeErrors{0}, lateTimers{0};
    T afterTerminal{0}, closeBeforeConnect{0}, earlyCloses{0}, createFailures{0}, failedAccepts{0};
    // failed accepts by error: a connection its client closed before the
    // accept (Wine's accept then says "not connected"), reset or aborted
    T failedAcceptsNotConn{0}, failedAcceptsReset{0}, failedAcceptsAborted{0};
};
typedef FiguresOf<std::atomic<long long>> Figures;
typedef FiguresOf<long long> FigureCounts;

extern Figures g_fig;
// The figures now, and what they grew by since base.
FigureCounts FiguresNow();
FigureCounts FiguresSince(const FigureCounts& base);

extern std::atomic<unsigned long long> g_ullSeq; // orders events against returned CloseSockets
extern std::string g_strEngine;
extern unsigned long long g_ullSeed;

// Counts one violation of a kind; true when it is to be reported in full
// (the first few of each kind are, on standard error).
bool CountViolation(const char* lpszWhat);
// "kind: count; ..." or "none".
std::string KindsText();
// VZ_ASSERT's reports: a violation each.
void AssertHandler(const char* lpszExpr, const char* lpszModule, int iLine);

} // namespace soak
