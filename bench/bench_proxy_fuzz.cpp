// bench_proxy_fuzz: feeds random replies to every step and type of the proxy
// handshake's verdicts, each one ending where a no-access page begins, so
// that any read past a reply's last byte ends the run with an access
// violation.
//
//   bench_proxy_fuzz [count [seed]]   count replies (default 1000000)
//
// Prints the count, the time and the replies per second; exits with 1 when a
// verdict broke the rules or a check report was raised. The inputs and the
// rules are those of the fuzz test (tests/net/ProxyFuzz.h).
#include "bench_util.h"

#include "net/ProxyFuzz.h"
#include "net/TestSocketMgr.h"

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
    TestSocketMgr mgr;
    LONGLONG llStart = BenchClock::Now();
    long lBroken = FuzzProxyReplies(mgr, guard, lCount, uiSeed);
    double dSeconds = BenchClock::Seconds(llStart, BenchClock::Now());
    printf("replies %ld, %.2f s, %.0f replies/s, check reports %d, broken verdicts %ld\n", lCount, dSeconds,
           dSeconds > 0 ? lCount / dSeconds : 0.0, FuzzGuard::s_iReports, lBroken);
    return (FuzzGuard::s_iReports != 0 || lBroken != 0) ? 1 : 0;
}
