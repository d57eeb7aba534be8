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

int main(int argc, char** argv)
{
    return BenchFuzzMain<FuzzGuard>(argc, argv, 1000000, "recordings", "broken replays", FuzzRecordings);
}
