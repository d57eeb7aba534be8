// Re-entrant lock, scoped guard, events and the lock trace socket.
#include <stdio.h>
#include <string>

#include <gtest/gtest.h>

#include "CheckCapture.h"
#include "VZ_Event.h"
#include "VZ_Locker.h"
#include "VZ_TcpSocket.h"

#include <mmsystem.h>   // after windows.h, which the headers above bring

namespace {

DWORD WINAPI LockOnce(LPVOID lpParam)
{
    VZ_AutoLock guard((VZ_Locker*)lpParam);
    return 0;
}

// A thread that takes the lock once: it ends only after it got in. No event
// shows it waiting, so "still blocked" is a short look: on a slow machine the
// thread may not have reached the lock yet, which only checks less.
HANDLE StartContender(VZ_Locker& locker) { return CreateThread(NULL, 0, LockOnce, &locker, 0, NULL); }
bool StillBlocked(HANDLE hThread) { return WaitForSingleObject(hThread, 100) == WAIT_TIMEOUT; }
bool GotIn(HANDLE hThread)
{
    bool bDone = WaitForSingleObject(hThread, 10000) == WAIT_OBJECT_0;
    CloseHandle(hThread);
    return bDone;
}

} // namespace

TEST(VZ_Locker, HeldUntilUnlockedAsOftenAsLocked)
{
    VZ_Locker locker;
    locker.Lock();
    locker.Lock();
    HANDLE hThread = StartContender(locker);
    EXPECT_TRUE(StillBlocked(hThread));
    locker.Unlock();
    EXPECT_TRUE(StillBlocked(hThread));   // one unlock left: still ours
    locker.Unlock();
    EXPECT_TRUE(GotIn(hThread));

    locker.Lock();
    {
        VZ_AutoLock guard(&locker);
        guard.Unlock();
        guard.Unlock();
    }   // the guard's destructor must not unlock a second time
    hThread = StartContender(locker);
    EXPECT_TRUE(StillBlocked(hThread));   // our own Lock() still holds it
    locker.Unlock();
    EXPECT_TRUE(GotIn(hThread));

    CheckCapture checks;
    { VZ_AutoLock guard(NULL); }
    EXPECT_EQ("lck;", checks.Conditions());
}

TEST(VZ_Event, WaitCasesAndCloseVersusDestructor)
{
    struct NoHandle : VZ_SyncObject { BOOL Close() override { return FALSE; } } none;
    EXPECT_FALSE(none.Wait(INFINITE));
    HANDLE hEvent;
    {
        VZ_Event evAuto(true, false), evManual(false, true, L"VZ_EventTestNamed");
        VZ_Event evSame(false, false, L"VZ_EventTestNamed");   // opens the same event
        evSame.SetEvent();
        EXPECT_TRUE(evAuto.Wait(0) && !evAuto.Wait(0));        // auto-reset
        EXPECT_TRUE(evManual.Wait(0) && evManual.Wait(0));     // manual reset
        evAuto.SetEvent();
        EXPECT_TRUE(evAuto.Wait(0));
        EXPECT_TRUE(evSame.Close() && evAuto.Close() && !evAuto.Wait(0));
        HANDLE hReuse = CreateEventW(NULL, TRUE, TRUE, NULL);   // likely the value just freed
        EXPECT_FALSE(evAuto.Close());                           // which must stay open
        EXPECT_TRUE(WaitForSingleObject(hReuse, 0) == WAIT_OBJECT_0 && CloseHandle(hReuse));
        hEvent = evManual.GetHandle();
    }
    EXPECT_TRUE(WaitForSingleObject(hEvent, 0) == WAIT_OBJECT_0 && CloseHandle(hEvent));   // destructor left it open
}

TEST(VZ_TraceSocket, LockTraceLinesOnlyWhenSwitchedOnWithSocket)
{
    WSADATA wsa;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
    SOCKET hListen = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int iLen = sizeof(sa);
    ASSERT_TRUE(bind(hListen, (sockaddr*)&sa, iLen) == 0 && listen(hListen, 1) == 0 &&
                getsockname(hListen, (sockaddr*)&sa, &iLen) == 0);
    VZ_TcpSocket sock(ntohs(sa.sin_port), "127.0.0.1", 1);
    ASSERT_TRUE(sock.Connect());
    SOCKET hPeer = accept(hListen, NULL, NULL);
    DWORD dwTimeout = 5000;   // bounds every recv below
    setsockopt(hPeer, SOL_SOCKET, SO_RCVTIMEO, (const char*)&dwTimeout, sizeof(dwTimeout));
    closesocket(hListen);
    EXPECT_FALSE(VZ_TcpSocket(ntohs(sa.sin_port), "127.0.0.1", 1).Connect());

    EXPECT_FALSE(VZ_Locker::GetTrace() || VZ_GetTraceSocket().IsOpen());   // off at load
    VZ_Locker locker;
    auto fnLockTwice = [&] { locker.Lock(); locker.Lock(); locker.Unlock(); locker.Unlock(); };
    VZ_Locker::SetTrace(true);
    fnLockTwice();   // no socket yet: nothing to send
    VZ_GetTraceSocket().Attach(sock.Detach());
    DWORD dwBefore = timeGetTime();
    fnLockTwice();
    DWORD dwAfter = timeGetTime();
    VZ_Locker::SetTrace(false);
    fnLockTwice();
    closesocket(VZ_GetTraceSocket().Detach());
    std::string strAll, strOurs;
    char buf[4096];
    for (int n; (n = recv(hPeer, buf, sizeof(buf), 0)) > 0;)   // up to the close
        strAll.append(buf, n);
    closesocket(hPeer);
    WSACleanup();

    // Other threads' lockers may trace too: keep this locker's lines, times as "T".
    snprintf(buf, sizeof(buf), "_%u.%p.", (unsigned)GetCurrentThreadId(), (void*)&locker);
    const std::string strTag = buf;
    for (size_t i = 0, iEnd; (iEnd = strAll.find("\r\n", i)) != std::string::npos; i = iEnd + 2) {
        size_t iTime = strAll.rfind('=', iEnd) + 1;
        DWORD dwTime = strtoul(strAll.c_str() + iTime, NULL, 10);
        if (strAll.compare(i + 1, strTag.size(), strTag) != 0)
            continue;
        EXPECT_TRUE(dwTime - dwBefore <= dwAfter - dwBefore && std::to_string(dwTime) == strAll.substr(iTime, iEnd - iTime));
        strOurs += strAll.substr(i, iTime - i) + "T\r\n";
    }
    EXPECT_EQ("b" + strTag + "0: Lock name=, time=T\r\nb" + strTag + "1: Lock name=, time=T\r\n" +
              "e" + strTag + "1: Unlock name=, time=T\r\ne" + strTag + "0: Unlock name=, time=T\r\n",
              strOurs);
}
