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

int main(int argc, char** argv)
{
    TestSocketMgr mgr;
    return BenchFuzzMain<FuzzGuard>(argc, argv, 1000000, "replies", "broken verdicts",
                                    [&mgr](FuzzGuard& guard, long lCount, UINT uiSeed) {
                                        return FuzzProxyReplies(mgr, guard, lCount, uiSeed);
                                    });
}
