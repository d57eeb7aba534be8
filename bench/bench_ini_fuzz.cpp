// bench_ini_fuzz: feeds random and mutated INI files from memory to the INI
// reader, each one ending where a no-access page begins, so that any read
// past an input's last byte ends the run with an access violation.
//
//   bench_ini_fuzz [count [seed]]   count inputs (default 100000)
//
// Prints the count, the time and the inputs per second; exits with 1 when a
// check report was raised or a key could not be found again through the maps.
// The inputs, the guard page and the lookup check are those of the fuzz test
// (tests/VZ_Base/IniFuzz.h).
#include "bench_util.h"

#include "IniFuzz.h"

#include <stdlib.h>

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    long lCount = argc > 1 ? atol(argv[1]) : 100000;
    Rng rng = { argc > 2 ? (UINT)strtoul(argv[2], NULL, 10) : 20261206u };
    if (rng.uiState == 0)
        rng.uiState = 1;   // xorshift stays at zero forever
    const std::vector<std::string> seeds = {
        "[oxnet]\r\nsimulator=1\r\nmaxaffect=7\r\n[udp]\r\nlost=9,3\r\n[tcp]\r\nbreak=-5,200\r\ndelay= 7\r\n",
        ";top\r\nk=0\r\n=;c\r\n[s]\r\n;c\r\n\r\n=\r\nk=x=y\r\nk=2\r\n[S]\r\nk = v\r\n",
        std::string("\xFF\xFE[\0s\0]\0\r\0\n\0k\0=\0" "1\0\r\0\n\0;\0c\0", 26),
        "[Net]\na=1\r\nb=a\rb\n\r\n\r\n",
    };
    FuzzGuard guard;
    if (!guard.IsGuarded())
    {
        printf("cannot set up the guard page\n");
        return 2;
    }
    long lFailed = 0;
    LONGLONG llStart = BenchClock::Now();
    for (long i = 0; i < lCount; i++)
    {
        FuzzGuard::s_lInput = i;
        std::string strBytes = FuzzInput(rng, seeds, guard.PageSize());
        IniProbe ini;
        ini.LoadBuffer(guard.Place(strBytes), (UINT)strBytes.size(), rng.Below(2) == 0);
        if (CheckLookups(ini) < 0 && lFailed++ == 0)
            printf("lookup mismatch at input %ld\n", i);
    }
    double dSeconds = BenchClock::Seconds(llStart, BenchClock::Now());
    printf("inputs %ld, %.2f s, %.0f inputs/s, check reports %d, lookup mismatches %ld\n", lCount,
           dSeconds, dSeconds > 0 ? lCount / dSeconds : 0.0, FuzzGuard::s_iReports, lFailed);
    return (FuzzGuard::s_iReports != 0 || lFailed != 0) ? 1 : 0;
}
