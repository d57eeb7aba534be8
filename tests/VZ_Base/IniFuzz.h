// Fuzz inputs for the INI reader (bench/bench_ini_fuzz.cpp, run by ctest as
// Fuzz.IniFiles): random and mutated files loaded from memory, each ending
// where a no-access page begins. The guard also serves the net fuzz tests.
#pragma once

#include "VZ_Assert.h"
#include "VZ_IniFileEx.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

// Deterministic generator: a failing input is reproduced from the seed.
struct Rng {
    UINT uiState;   // not 0: xorshift stays at zero for ever
    UINT Next() { uiState ^= uiState << 13; uiState ^= uiState >> 17; uiState ^= uiState << 5; return uiState; }
    UINT Below(UINT n) { return Next() % n; }
};

// Reaches the loader from memory, as Load hands it a file's bytes.
struct IniProbe : VZ_IniFileEx {
    IniProbe() : VZ_IniFileEx(17, 17) {}
    using VZ_IniFileEx::LoadBuffer;
};

// Random text over the INI alphabet (sometimes with a byte-order mark), or a
// seed file with a few bytes flipped, inserted, erased or cut off.
inline std::string FuzzInput(Rng& rng, const std::vector<std::string>& seeds, size_t uiMax)
{
    static const char ALPHABET[] = "[]=;\r\n\r\n\r\n aK0\xFF\xFE";
    std::string strBytes;
    if (rng.Below(2) == 0)
    {
        for (UINT i = 0, n = rng.Below(600); i < n; i++)
            strBytes += rng.Below(4) ? ALPHABET[rng.Below(sizeof(ALPHABET) - 1)] : (char)rng.Next();
        if (rng.Below(4) == 0)
            strBytes.insert(0, "\xFF\xFE");
        return strBytes.substr(0, uiMax);
    }
    strBytes = seeds[rng.Below((UINT)seeds.size())];
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

// How many keys and comments of the first section (the first of its name)
// were found again through the maps, whatever the input looked like; -1 when
// one was not. A comment holding '=' is not a name that a lookup accepts.
inline int CheckLookups(const IniProbe& ini)
{
    int iChecked = 0;
    const VZ_IniNode* lpSection = ini.GetFirstNode();
    for (const VZ_IniNode* p = lpSection; p != NULL; p = p->m_pNext)
    {
        if (p->m_lpSection != lpSection || p->m_key.m_iIndex != 1 || p->m_type == VZ_IniNode::Blank
            || p->m_key.m_strName.Find(L'=') >= 0)
            continue;
        if (ini.GetString(lpSection->m_strLine, p->m_key.m_strName, L"\x1") != p->m_strValue)
            return -1;
        iChecked++;
    }
    return iChecked;
}

// While it lives: two pages, the second without access, so that an input
// placed to end at the boundary crashes the process on any read past its
// last byte; such a crash ends the run at once (exit code 5) with the input's
// number instead of waiting for a debugger; failed checks are counted.
class FuzzGuard {
public:
    static inline long s_lInput;
    static inline int s_iReports;

    FuzzGuard()
    {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        m_uiPage = si.dwPageSize;
        m_lpBase = (BYTE*)VirtualAlloc(NULL, 2 * m_uiPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        DWORD dwOld;
        m_bGuarded = m_lpBase != NULL && VirtualProtect(m_lpBase + m_uiPage, m_uiPage, PAGE_NOACCESS, &dwOld);
        s_iReports = 0;
        m_lpOldHandler = VZ_SetAssertHandler([](const char*, const char*, int) { s_iReports++; });
        m_lpOldFilter = SetUnhandledExceptionFilter(ReportCrash);
    }
    ~FuzzGuard()
    {
        SetUnhandledExceptionFilter(m_lpOldFilter);
        VZ_SetAssertHandler(m_lpOldHandler);
        VirtualFree(m_lpBase, 0, MEM_RELEASE);
    }
    bool IsGuarded() const { return m_bGuarded; }
    UINT PageSize() const { return m_uiPage; }
    // The input copied to end at the no-access page.
    const BYTE* Place(const std::string& strBytes)
    {
        return (const BYTE*)memcpy(m_lpBase + m_uiPage - strBytes.size(), strBytes.data(), strBytes.size());
    }

private:
    static LONG WINAPI ReportCrash(EXCEPTION_POINTERS* lpInfo)
    {
        printf("fuzz input %ld: exception 0x%08lX\n", s_lInput, lpInfo->ExceptionRecord->ExceptionCode);
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 5);
        return EXCEPTION_EXECUTE_HANDLER;
    }

    UINT m_uiPage;
    BYTE* m_lpBase;
    bool m_bGuarded;
    VZ_AssertHandler m_lpOldHandler;
    LPTOP_LEVEL_EXCEPTION_FILTER m_lpOldFilter;
};
