// Re-entrant lock, scoped guard, events and the lock trace socket.
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include <stdio.h>
#include <string.h>
#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VZ_Assert.h"
#include "VZ_Event.h"
#include "VZ_Locker.h"
#include "VZ_TcpSocket.h"

namespace {

struct Contender
{
    VZ_Locker* lpLocker;
    std::atomic<bool> bEntered;
};

DWORD WINAPI ContendProc(LPVOID lpParam)
{
    Contender* lpC = (Contender*)lpParam;
    lpC->lpLocker->Lock();
    lpC->bEntered = true;
    lpC->lpLocker->Unlock();
    return 0;
}

// Starts a thread that blocks in Lock(); checks it stays blocked while the
// caller still holds the lock, then runs fnRelease and expects it to get in.
template<class FN>
void ExpectBlockedUntil(VZ_Locker& locker, FN fnRelease)
{
    Contender c;
    c.lpLocker = &locker;
    c.bEntered = false;
    HANDLE hThread = CreateThread(NULL, 0, ContendProc, &c, 0, NULL);
    ASSERT_TRUE(hThread != NULL);
    Sleep(100);
    EXPECT_FALSE(c.bEntered);
    fnRelease();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 10000));
    EXPECT_TRUE(c.bEntered);
    CloseHandle(hThread);
}

std::vector<std::string> g_vecReports;

void RecordReport(const char* lpszExpr, const char*, int)
{
    g_vecReports.push_back(lpszExpr);
}

class NoHandle : public VZ_SyncObject
{
public:
    BOOL Close() override { return FALSE; }
};

// A loopback listener; its port in usPort.
SOCKET MakeListener(u_short& usPort)
{
    SOCKET hListen = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int iLen = sizeof(sa);
    if (bind(hListen, (sockaddr*)&sa, sizeof(sa)) != 0 || listen(hListen, 1) != 0 ||
        getsockname(hListen, (sockaddr*)&sa, &iLen) != 0)
        return INVALID_SOCKET;
    usPort = ntohs(sa.sin_port);
    return hListen;
}

// Reads until strEnd arrives (bounded by the socket's receive time-out).
std::string ReadUntil(SOCKET s, const std::string& strEnd)
{
    std::string str;
    char buf[4096];
    for (int i = 0; i < 100 && str.find(strEnd) == std::string::npos; i++)
    {
        int n = recv(s, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        str.append(buf, n);
    }
    return str;
}

} // namespace

TEST(VZ_Locker, NestedLockHeldUntilUnlockedAsOften)
{
    VZ_Locker locker;
    locker.Lock();
    locker.Lock();
    ExpectBlockedUntil(locker, [&] {
        locker.Unlock();
        Sleep(100);   // one unlock left: still ours
        locker.Unlock();
    });
}

TEST(VZ_Locker, AutoLockEarlyUnlockReleasesOnce)
{
    VZ_Locker locker;
    locker.Lock();
    {
        VZ_AutoLock guard(&locker);
        guard.Unlock();
        guard.Unlock();
    }
    // Our own Lock() must still hold it.
    ExpectBlockedUntil(locker, [&] { locker.Unlock(); });

    {
        VZ_AutoLock guard(&locker);
        ExpectBlockedUntil(locker, [&] { guard.Unlock(); });
    }

    g_vecReports.clear();
    VZ_AssertHandler lpOld = VZ_SetAssertHandler(RecordReport);
    {
        VZ_AutoLock guard(NULL);
    }
    VZ_SetAssertHandler(lpOld);
    EXPECT_EQ(std::vector<std::string>{"lck"}, g_vecReports);
}

TEST(VZ_Event, WaitCases)
{
    NoHandle none;
    EXPECT_FALSE(none.Wait(INFINITE));

    VZ_Event evAuto(true, false);
    ASSERT_TRUE(evAuto.GetHandle() != NULL);
    EXPECT_TRUE(evAuto.Wait(0));
    EXPECT_FALSE(evAuto.Wait(0));   // auto-reset
    DWORD dwStart = timeGetTime();
    EXPECT_FALSE(evAuto.Wait(100));
    EXPECT_GE(timeGetTime() - dwStart, 95u);
    evAuto.SetEvent();
    EXPECT_TRUE(evAuto.Wait(0));

    VZ_Event evManual(false, true);
    evManual.SetEvent();
    EXPECT_TRUE(evManual.Wait(0));
    EXPECT_TRUE(evManual.Wait(0));

    // A second object of the same name opens the same event.
    VZ_Event evNamed(false, false, L"VZ_EventTestNamed");
    VZ_Event evSame(false, false, L"VZ_EventTestNamed");
    evSame.SetEvent();
    EXPECT_TRUE(evNamed.Wait(1000));

    EXPECT_TRUE(evAuto.Close());
    EXPECT_TRUE(evManual.Close());
    EXPECT_TRUE(evNamed.Close());
    EXPECT_TRUE(evSame.Close());
}

TEST(VZ_Event, DestructorKeepsHandleCloseClosesIt)
{
    VZ_Event* lpEvent = new VZ_Event(false, true);
    HANDLE hEvent = lpEvent->GetHandle();
    delete lpEvent;
    EXPECT_TRUE(SetEvent(hEvent));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvent, 0));
    EXPECT_TRUE(CloseHandle(hEvent));

    VZ_Event ev;
    hEvent = ev.GetHandle();
    EXPECT_TRUE(ev.Close());
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(hEvent, 0));
    EXPECT_FALSE(ev.Wait(0));
    EXPECT_FALSE(ev.Close());
    ev.SetEvent();   // no handle: nothing happens
}

TEST(VZ_TraceSocket, LockTraceLinesOnlyWhenSwitchedOnWithSocket)
{
    WSADATA wsa;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
    u_short usPort = 0;
    SOCKET hListen = MakeListener(usPort);
    VZ_TcpSocket sock(usPort, "127.0.0.1", 1);
    ASSERT_TRUE(sock.Connect());
    SOCKET hPeer = accept(hListen, NULL, NULL);
    DWORD dwTimeout = 5000;
    setsockopt(hPeer, SOL_SOCKET, SO_RCVTIMEO, (const char*)&dwTimeout, sizeof(dwTimeout));
    closesocket(hListen);
    VZ_TcpSocket refused(usPort, "127.0.0.1", 1);
    EXPECT_FALSE(refused.Connect());
    EXPECT_FALSE(refused.IsOpen());

    EXPECT_FALSE(VZ_Locker::GetTrace());   // off at load
    EXPECT_FALSE(VZ_GetTraceSocket().IsOpen());
    VZ_Locker locker;
    VZ_Locker::SetTrace(true);
    locker.Lock();   // no socket yet: nothing to send
    locker.Unlock();
    VZ_GetTraceSocket().Attach(sock.Detach());
    DWORD dwBefore = timeGetTime();
    locker.Lock();
    locker.Lock();
    locker.Unlock();
    locker.Unlock();
    DWORD dwAfter = timeGetTime();
    VZ_Locker::SetTrace(false);
    locker.Lock();
    locker.Unlock();
    VZ_GetTraceSocket().Send("END", 3);
    closesocket(VZ_GetTraceSocket().Detach());

    // Other threads' lockers may trace too: keep this locker's lines only.
    char szTag[64];
    snprintf(szTag, sizeof(szTag), "_%u.%p.", (unsigned)GetCurrentThreadId(), (void*)&locker);
    std::string strAll = ReadUntil(hPeer, "END");
    EXPECT_EQ(strAll.size() - 3, strAll.find("END"));
    std::vector<std::string> vecLines;
    for (size_t i = 0, iEnd; (iEnd = strAll.find("\r\n", i)) != std::string::npos; i = iEnd + 2)
    {
        if (strAll.compare(i + 1, strlen(szTag), szTag) == 0)
            vecLines.push_back(strAll.substr(i, iEnd + 2 - i));
    }
    const char* aszExpected[] = {"b%s0: Lock name=, time=%u\r\n", "b%s1: Lock name=, time=%u\r\n",
                                 "e%s1: Unlock name=, time=%u\r\n", "e%s0: Unlock name=, time=%u\r\n"};
    ASSERT_EQ(4u, vecLines.size());
    for (int i = 0; i < 4; i++)
    {
        unsigned uiTime = (unsigned)atoi(vecLines[i].c_str() + vecLines[i].find("time=") + 5);
        EXPECT_GE(uiTime, (unsigned)dwBefore);
        EXPECT_LE(uiTime, (unsigned)dwAfter);
        char szExpected[200];
        snprintf(szExpected, sizeof(szExpected), aszExpected[i], szTag, uiTime);
        EXPECT_EQ(szExpected, vecLines[i]);
    }
    closesocket(hPeer);
    WSACleanup();
}
