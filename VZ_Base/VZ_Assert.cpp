#include "VZ_Assert.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<VZ_AssertHandler> g_lpAssertHandler(nullptr);

// Module name of a source path: no directory, no extension.
void ModuleName(const char* lpszFile, char* lpszOut, size_t nOut)
{
    const char* lpszBase = lpszFile;
    for (const char* p = lpszFile; *p; ++p)
        if (*p == '/' || *p == '\\')
            lpszBase = p + 1;
    size_t n = std::strlen(lpszBase);
    const char* lpszDot = std::strrchr(lpszBase, '.');
    if (lpszDot)
        n = static_cast<size_t>(lpszDot - lpszBase);
    if (n >= nOut)
        n = nOut - 1;
    std::memcpy(lpszOut, lpszBase, n);
    lpszOut[n] = '\0';
}

} // namespace

VZ_AssertHandler VZ_SetAssertHandler(VZ_AssertHandler lpHandler)
{
    return g_lpAssertHandler.exchange(lpHandler);
}

void VZ_AssertReport(const char* lpszExpr, const char* lpszFile, int iLine)
{
    char szModule[260];
    ModuleName(lpszFile ? lpszFile : "", szModule, sizeof(szModule));
    VZ_AssertHandler lpHandler = g_lpAssertHandler.load();
    if (lpHandler) {
        lpHandler(lpszExpr, szModule, iLine);
        return;
    }
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", lpszExpr, szModule, iLine);
    std::fflush(stderr);
}
