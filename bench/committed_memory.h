// Committed private memory of this process, summed over the address space.
// Windows reports it as PROCESS_MEMORY_COUNTERS_EX.PrivateUsage; Wine 8 leaves
// that field 0, so the walk stands in for it there.
#pragma once

#include <windows.h>

inline unsigned long long CommittedPrivate()
{
    unsigned long long ullSum = 0;
    MEMORY_BASIC_INFORMATION mbi;
    const char* lp = NULL;
    while (VirtualQuery(lp, &mbi, sizeof(mbi)) == sizeof(mbi)) {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE)
            ullSum += mbi.RegionSize;
        const char* lpNext = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize;
        if (lpNext <= lp)
            break;
        lp = lpNext;
    }
    return ullSum;
}
