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

namespace {

const std::vector<std::string> SEED_INPUTS = {
    "[oxnet]\r\nsimulator=1\r\nmaxaffect=7\r\n[udp]\r\nlost=9,3\r\n[tcp]\r\nbreak=-5,200\r\ndelay= 7\r\n",
    ";top\r\nk=0\r\n=;c\r\n[s]\r\n;c\r\n\r\n=\r\nk=x=y\r\nk=2\r\n[S]\r\nk = v\r\n",
    std::string("\xFF\xFE[\0s\0]\0\r\0\n\0k\0=\0" "1\0\r\0\n\0;\0c\0", 26),
    "[Net]\na=1\r\nb=a\rb\n\r\n\r\n",
};

// The inputs read; the count of keys not found again through the maps.
long FuzzIniFiles(FuzzGuard& guard, long lCount, UINT uiSeed)
{
    Rng rng = { uiSeed != 0 ? uiSeed : 1u }; // xorshift stays at zero forever
    long lFailed = 0;
    for (long i = 0; i < lCount; i++)
    {
        FuzzGuard::s_lInput = i;
        std::string strBytes = FuzzInput(rng, SEED_INPUTS, guard.PageSize());
        IniProbe ini;
        ini.LoadBuffer(guard.Place(strBytes), (UINT)strBytes.size(), rng.Below(2) == 0);
        if (CheckLookups(ini) < 0 && lFailed++ == 0)
            printf("lookup mismatch at input %ld\n", i);
    }
    return lFailed;
}

} // namespace

int main(int argc, char** argv)
{
    return BenchFuzzMain<FuzzGuard>(argc, argv, 100000, "inputs", "lookup mismatches", FuzzIniFiles);
}
