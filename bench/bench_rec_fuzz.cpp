// bench_rec_fuzz: replays random and mutated recordings from memory, each one
// ending where a no-access page begins, so that any read past an input's
// last byte ends the run with an access violation.
//
//   bench_rec_fuzz [count [seed]]   count recordings (default 1000000)
//
// Prints the count, the time and the recordings per second; exits with 1 when
// a replay broke the rules or a check report was raised. The inputs and the
// rules are those of the fuzz test (tests/net/RecordFuzz.h).
#include "bench_util.h"

#include "net/RecordFuzz.h"

#include <stdlib.h>

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    long lCount = argc > 1 ? atol(argv[1]) : 1000000;
    UINT uiSeed = argc > 2 ? (UINT)strtoul(argv[2], NULL, 10) : 20261206u;
    FuzzGuard guard;
    if (!guard.IsGuarded()) {
        printf("cannot set up the guard page\n");
        return 2;
    }
    LONGLONG llStart = BenchClock::Now();
    long lBroken = FuzzRecordings(guard, lCount, uiSeed);
    double dSeconds = BenchClock::Seconds(llStart, BenchClock::Now());
    printf("recordings %ld, %.2f s, %.0f recordings/s, check reports %d, broken replays %ld\n", lCount, dSeconds,
           dSeconds > 0 ? lCount / dSeconds : 0.0, FuzzGuard::s_iReports, lBroken);
    return (FuzzGuard::s_iReports != 0 || lBroken != 0) ? 1 : 0;
}
