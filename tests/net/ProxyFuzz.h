// Fuzz inputs for the proxy handshake's verdicts, run by the fuzz program
// (bench/bench_proxy_fuzz.cpp; ctest runs it as Fuzz.ProxyReplies):
// random replies of random lengths to every step and type of CheckProxyReply,
// each ending where a no-access page begins, so that reading one byte past a
// reply ends the run.
#pragma once

#include <limits.h>
#include <stdio.h>

#include <string>

#include "VZ_Base/IniFuzz.h"
#include "core/VZ_SocketMgr.h"

// One run of lCount replies; the number of verdicts that broke the rules
// (0 expected). Steps 1 to 6 either fail with one of the handshake's codes,
// keeping the step, or move forward to at most 7; any other step passes
// unchanged. A length of 0 or below never reads the reply.
inline long FuzzProxyReplies(VZ_SocketMgr& mgr, FuzzGuard& guard, long lCount, UINT uiSeed)
{
    Rng rng = {uiSeed != 0 ? uiSeed : 1};
    const BYTE byLikely[] = {0x00, 0x01, 0x02, 0x04, 0x05, 0x5A, ' ', '2', 'H', 'T', 'P', '/', '0', '\r', '\n'};
    HANDLE hProxies[] = {mgr.CreateProxy(PROXY_SOCKS4, "10.0.0.1", 1, NULL, NULL),
                         mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 2, "user", "password"),
                         mgr.CreateProxy(PROXY_HTTP, "10.0.0.1", 3, NULL, NULL)};
    const SOCKET sPair = 1234;
    long lBroken = 0;
    for (long i = 0; i < lCount; ++i) {
        FuzzGuard::s_lInput = i;
        std::string strReply(rng.Below(64) == 0 ? rng.Below(guard.PageSize() + 1) : rng.Below(16), '\0');
        for (char& ch : strReply)
            ch = static_cast<char>(rng.Below(2) ? byLikely[rng.Below(sizeof(byLikely))] : rng.Next());
        const char* lpReply = reinterpret_cast<const char*>(guard.Place(strReply));
        int iLen = i % 50 ? static_cast<int>(strReply.size()) : i % 100 ? -1 - static_cast<int>(rng.Below(1000)) : INT_MIN;
        UINT uiFrom = rng.Below(9), uiStep = uiFrom;
        ULONG ulIP = rng.Below(2);
        USHORT usPort = 0;
        int iResult = mgr.CheckProxyReply(lpReply, iLen, hProxies[rng.Below(3)], &uiStep,
                                          rng.Below(2) ? INVALID_SOCKET : sPair, &ulIP, &usPort);
        bool bJudged = uiFrom >= 1 && uiFrom <= 6;
        bool bOk = iResult != 0 ? bJudged && uiStep == uiFrom &&
                                      (iResult == 86 || iResult == 10022 || iResult == 10043 || iResult == 10061)
                                : bJudged ? uiStep > uiFrom && uiStep <= 7 && iLen > 0 : uiStep == uiFrom;
        if (!bOk && lBroken++ == 0)
            printf("proxy fuzz input %ld: step %u -> %u, result %d\n", i, uiFrom, uiStep, iResult);
    }
    for (HANDLE h : hProxies)
        mgr.DestroyProxy(h);
    return lBroken;
}
