// bench_ini_fuzz: feeds random and mutated INI files from memory to the INI
// reader, each one ending where a no-access page begins, so that any read
// past an input's last byte ends the run with an access violation.
//
//   bench_ini_fuzz [count [seed]]   count inputs (default 100000)
//
// Prints the count, the time and the inputs per second; exits with 1 when a
// check report was raised or a key could not be found again through the maps.
#include "bench_util.h"

#include "VZ_Assert.h"
#include "VZ_IniFileEx.h"

#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

int g_iReports;
void CountReport(const char*, const char*, int) { g_iReports++; }

long g_lInput;
// A read past an input ends the run at once with the input's number instead
// of waiting for a debugger.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* lpInfo)
{
    printf("input %ld: exception 0x%08lX\n", g_lInput, lpInfo->ExceptionRecord->ExceptionCode);
    TerminateProcess(GetCurrentProcess(), 5);
    return EXCEPTION_EXECUTE_HANDLER;
}

class IniProbe : public VZ_IniFileEx {
public:
    IniProbe() : VZ_IniFileEx(17, 17) {}
    using VZ_IniFileEx::LoadBuffer;
};

struct Rng {
    UINT uiState;
    UINT Next() { uiState ^= uiState << 13; uiState ^= uiState >> 17; uiState ^= uiState << 5; return uiState; }
    UINT Below(UINT n) { return Next() % n; }
};

const char ALPHABET[] = "[]=;\r\n\r\n\r\n aK0\xFF\xFE";

const std::string SEEDS[] = {
    "[oxnet]\r\nsimulator=1\r\nmaxaffect=7\r\n[udp]\r\nlost=9,3\r\n[tcp]\r\nbreak=-5,200\r\ndelay= 7\r\n",
    ";top\r\nk=0\r\n=;c\r\n[s]\r\n;c\r\n\r\n=\r\nk=x=y\r\nk=2\r\n[S]\r\nk = v\r\n",
    std::string("\xFF\xFE[\0s\0]\0\r\0\n\0k\0=\0" "1\0\r\0\n\0;\0c\0", 26),
    "[Net]\na=1\r\nb=a\rb\n\r\n\r\n",
};

std::string FuzzInput(Rng& rng, size_t uiMax)
{
    std::string strBytes;
    if (rng.Below(2) == 0)
    {
        for (UINT i = 0, n = rng.Below(600); i < n; i++)
            strBytes += rng.Below(4) ? ALPHABET[rng.Below(sizeof(ALPHABET) - 1)] : (char)rng.Next();
        if (rng.Below(4) == 0)
            strBytes.insert(0, "\xFF\xFE");
        return strBytes.substr(0, uiMax);
    }
    strBytes = SEEDS[rng.Below(sizeof(SEEDS) / sizeof(SEEDS[0]))];
    for (UINT i = 0, n = 1 + rng.Below(8); i < n && !strBytes.empty(); i++)
    {
        size_t uiAt = rng.Below((UINT)strBytes.size());
        switch (rng.Below(4)) {
        case 0: strBytes[uiAt] = (char)rng.Next(); break;
        case 1: strBytes.insert(uiAt, 1, ALPHABET[rng.Below(sizeof(ALPHABET) - 1)]); break;
        case 2: strBytes.erase(uiAt, 1); break;
        default: strBytes.resize(uiAt); break;
        }
    }
    return strBytes.substr(0, uiMax);
}

// Keys and comments of the first section are found again by name.
bool CheckLookups(const IniProbe& ini)
{
    const VZ_IniNode* lpSection = ini.GetFirstNode();
    for (const VZ_IniNode* p = lpSection; p != NULL; p = p->m_pNext)
    {
        if (p->m_lpSection != lpSection || p->m_key.m_iIndex != 1 || p->m_type == VZ_IniNode::Blank
            || p->m_key.m_strName.Find(L'=') >= 0)
            continue;
        if (ini.GetString(lpSection->m_strLine, p->m_key.m_strName, L"\x1") != p->m_strValue)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    long lCount = argc > 1 ? atol(argv[1]) : 100000;
    Rng rng = { argc > 2 ? (UINT)strtoul(argv[2], NULL, 10) : 20261206u };
    if (rng.uiState == 0)
        rng.uiState = 1;   // xorshift stays at zero forever
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    UINT uiPage = si.dwPageSize;
    BYTE* lpBase = (BYTE*)VirtualAlloc(NULL, 2 * uiPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD dwOld;
    if (lpBase == NULL || !VirtualProtect(lpBase + uiPage, uiPage, PAGE_NOACCESS, &dwOld))
    {
        printf("cannot set up the guard page\n");
        return 2;
    }
    VZ_SetAssertHandler(CountReport);
    SetUnhandledExceptionFilter(ReportCrash);
    long lFailed = 0;
    LONGLONG llStart = BenchClock::Now();
    for (long i = 0; i < lCount; i++)
    {
        g_lInput = i;
        std::string strBytes = FuzzInput(rng, uiPage);
        BYTE* lpData = lpBase + uiPage - strBytes.size();
        memcpy(lpData, strBytes.data(), strBytes.size());
        IniProbe ini;
        ini.LoadBuffer(lpData, (UINT)strBytes.size(), rng.Below(2) == 0);
        if (!CheckLookups(ini) && lFailed++ == 0)
            printf("lookup mismatch at input %ld\n", i);
    }
    double dSeconds = BenchClock::Seconds(llStart, BenchClock::Now());
    printf("inputs %ld, %.2f s, %.0f inputs/s, check reports %d, lookup mismatches %ld\n", lCount,
           dSeconds, dSeconds > 0 ? lCount / dSeconds : 0.0, g_iReports, lFailed);
    VirtualFree(lpBase, 0, MEM_RELEASE);
    return (g_iReports != 0 || lFailed != 0) ? 1 : 0;
}
