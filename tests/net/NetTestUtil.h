// Helpers of the engine tests: failed checks captured instead of failing at
// once, log lines as LogSink writes them, position-dependent bytes, and the
// local address of a socket.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "VZ_Assert.h"
#include "VZ_NetworkEx.h"

typedef std::vector<std::string> Lines;

inline std::mutex g_mtxChecks;
inline Lines g_vecChecks; // texts of the checks that failed since the test began

inline void CaptureCheck(const char* lpszExpr, const char*, int)
{
    std::lock_guard<std::mutex> lock(g_mtxChecks);
    g_vecChecks.push_back(lpszExpr);
}

// One log line as LogSink writes it.
template <class... T> std::string Line(const char* lpszName, const T&... args)
{
    std::ostringstream os;
    os << lpszName;
    ((os << ' ' << args), ...);
    return os.str();
}

// Bytes that depend on their position, so a lost, doubled or reordered block shows.
inline std::string Pattern(size_t nOffset, size_t nLen)
{
    std::string str(nLen, '\0');
    for (size_t i = 0; i < nLen; ++i)
        str[i] = char((nOffset + i) % 251);
    return str;
}

inline sockaddr_in LocalAddr(SOCKET s)
{
    sockaddr_in addr = {};
    int iLen = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &iLen);
    return addr;
}

// One engine test's frame: Winsock, failed checks captured, a select manager
// started with byFlags; the end stops and deletes it and fails the test when
// an engine invariant failed on the way.
inline ISocketMgr* BeginEngineTest(ISocketMgrSink* lpSink, BYTE byFlags, VZ_AssertHandler* lpOldHandler)
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    g_vecChecks.clear();
    *lpOldHandler = VZ_SetAssertHandler(CaptureCheck);
    ISocketMgr* lpMgr = CreateSocketMgr(SOCKETMGR_SELECT, lpSink, false);
    EXPECT_TRUE(lpMgr != NULL && lpMgr->Initialize(byFlags, 0, 0, 0));
    return lpMgr;
}

inline void EndEngineTest(ISocketMgr* lpMgr, VZ_AssertHandler lpOldHandler)
{
    if (lpMgr != NULL) {
        lpMgr->Uninitialize(0);
        delete lpMgr;
    }
    VZ_SetAssertHandler(lpOldHandler);
    EXPECT_EQ(Lines{}, g_vecChecks); // no engine invariant may fail
    WSACleanup();
}
