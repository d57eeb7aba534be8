// Re-entrant lock, scoped guard, events and the lock trace socket.
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include <stdio.h>
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

// Accepts one connection, with a receive time-out so that no read can hang.
SOCKET AcceptOne(SOCKET hListen)
{
    SOCKET s = accept(hListen, NULL, NULL);
    DWORD dwTimeout = 5000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&dwTimeout, sizeof(dwTimeout));
    return s;
}

// A connected loopback pair: hSend for the test to send on, hRecv to read.
bool MakeSocketPair(SOCKET& hSend, SOCKET& hRecv)
{
    u_short usPort = 0;
    SOCKET hListen = MakeListener(usPort);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(usPort);
    hSend = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (hListen == INVALID_SOCKET || connect(hSend, (sockaddr*)&sa, sizeof(sa)) != 0)
        return false;
    hRecv = AcceptOne(hListen);
    closesocket(hListen);
    return hRecv != INVALID_SOCKET;
}

std::string ReadAvailable(SOCKET s, size_t nAtLeast)
{
    std::string str;
    char buf[4096];
    DWORD dwStart = GetTickCount();
    while (str.size() < nAtLeast && GetTickCount() - dwStart < 5000)
    {
        int n = recv(s, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        str.append(buf, n);
    }
    return str;
}

class WinsockTest : public testing::Test
{
protected:
    void SetUp() override
    {
        WSADATA wsa;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
    }
    void TearDown() override { WSACleanup(); }
};

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

TEST_F(WinsockTest, TcpSocketConnectsAndSends)
{
    u_short usPort = 0;
    SOCKET hListen = MakeListener(usPort);
    ASSERT_NE(INVALID_SOCKET, hListen);
    VZ_TcpSocket sock(usPort, "127.0.0.1", 1);
    EXPECT_FALSE(sock.IsOpen());
    ASSERT_TRUE(sock.Connect());
    SOCKET hPeer = AcceptOne(hListen);
    sock.Send("abc", 3);
    EXPECT_EQ("abc", ReadAvailable(hPeer, 3));
    closesocket(hPeer);
    closesocket(hListen);

    VZ_TcpSocket closed(usPort, "127.0.0.1", 1);   // nobody listens any more
    EXPECT_FALSE(closed.Connect());
    EXPECT_FALSE(closed.IsOpen());
}

TEST_F(WinsockTest, LockTraceLinesOnlyWhenSwitchedOnWithSocket)
{
    EXPECT_FALSE(VZ_Locker::GetTrace());   // off at load
    EXPECT_FALSE(VZ_GetTraceSocket().IsOpen());
    SOCKET hSend = INVALID_SOCKET, hRecv = INVALID_SOCKET;
    ASSERT_TRUE(MakeSocketPair(hSend, hRecv));

    VZ_Locker locker;
    VZ_Locker::SetTrace(true);
    locker.Lock();   // switch on, no socket: nothing to send
    locker.Unlock();
    VZ_GetTraceSocket().Attach(hSend);
    DWORD dwBefore = timeGetTime();
    locker.Lock();
    locker.Lock();
    locker.Unlock();
    locker.Unlock();
    DWORD dwAfter = timeGetTime();
    VZ_Locker::SetTrace(false);
    locker.Lock();
    locker.Unlock();
    send(hSend, "END", 3, 0);
    VZ_GetTraceSocket().Detach();

    // Other threads' lockers may trace too: keep our locker's lines only.
    char szTag[64];
    snprintf(szTag, sizeof(szTag), "_%u.%p.", (unsigned)GetCurrentThreadId(), (void*)&locker);
    std::string strAll = ReadAvailable(hRecv, 1);
    for (int i = 0; i < 50 && strAll.find("END") == std::string::npos; i++)
        strAll += ReadAvailable(hRecv, 1);
    EXPECT_EQ(strAll.size() - 3, strAll.find("END"));
    std::vector<std::string> vecLines;
    size_t iStart = 0;
    for (size_t iEnd; (iEnd = strAll.find("\r\n", iStart)) != std::string::npos; iStart = iEnd + 2)
    {
        std::string strLine = strAll.substr(iStart, iEnd + 2 - iStart);
        if (strLine.find(szTag) == 1)
            vecLines.push_back(strLine);
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
    closesocket(hSend);
    closesocket(hRecv);
}
