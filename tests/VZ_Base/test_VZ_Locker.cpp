// Re-entrant lock, scoped guard and events.
#include <gtest/gtest.h>

#include "CheckCapture.h"
#include "VZ_Event.h"
#include "VZ_Locker.h"
#include "VZ_TcpSocket.h"

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
    // The lock trace is off at load, and nothing in the system turns it on.
    EXPECT_FALSE(VZ_Locker::GetTrace() || VZ_GetTraceSocket().IsOpen());
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
