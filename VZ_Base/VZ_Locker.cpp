#include "VZ_Locker.h"

#include <mmsystem.h>
#include <stdio.h>
#include <string.h>
#include <atomic>

#include "VZ_Assert.h"
#include "VZ_TcpSocket.h"

// Off at load; nothing in the system turns it on.
static std::atomic<bool> s_bLockTrace(false);

void VZ_Locker::SetTrace(bool bOn)
{
    s_bLockTrace.store(bOn, std::memory_order_relaxed);
}

bool VZ_Locker::GetTrace()
{
    return s_bLockTrace.load(std::memory_order_relaxed);
}

// Two cheap checks per lock operation when the trace is off.
static bool IsLockTraceOn()
{
    return s_bLockTrace.load(std::memory_order_relaxed) && VZ_GetTraceSocket().IsOpen();
}

VZ_Locker::VZ_Locker()
{
    InitializeCriticalSection(&m_cs);
}

VZ_Locker::~VZ_Locker()
{
    DeleteCriticalSection(&m_cs);
}

int VZ_Locker::GetOwnedRecursionCount() const
{
    // The critical section keeps the owner's thread id in its handle field.
    if ((DWORD)(ULONG_PTR)m_cs.OwningThread == GetCurrentThreadId())
        return (int)m_cs.RecursionCount;
    return 0;
}

void VZ_Locker::Lock()
{
    if (IsLockTraceOn())
    {
        char szLine[512];
        snprintf(szLine, sizeof(szLine), "b_%u.%p.%d: Lock name=%s, time=%u\r\n",
                 (unsigned)GetCurrentThreadId(), (void*)this, GetOwnedRecursionCount(), "",
                 (unsigned)timeGetTime());
        VZ_GetTraceSocket().Send(szLine, (int)strlen(szLine));
    }
    EnterCriticalSection(&m_cs);
}

void VZ_Locker::Unlock()
{
    if (IsLockTraceOn())
    {
        char szLine[512];
        snprintf(szLine, sizeof(szLine), "e_%u.%p.%d: Unlock name=%s, time=%u\r\n",
                 (unsigned)GetCurrentThreadId(), (void*)this, GetOwnedRecursionCount() - 1, "",
                 (unsigned)timeGetTime());
        VZ_GetTraceSocket().Send(szLine, (int)strlen(szLine));
    }
    LeaveCriticalSection(&m_cs);
}

VZ_AutoLock::VZ_AutoLock(VZ_Locker* lck) : m_lpLocker(lck)
{
    VZ_ASSERT(lck);
    if (m_lpLocker != NULL)
        m_lpLocker->Lock();
}

VZ_AutoLock::~VZ_AutoLock()
{
    Unlock();
}

void VZ_AutoLock::Unlock()
{
    if (m_lpLocker != NULL)
    {
        m_lpLocker->Unlock();
        m_lpLocker = NULL;
    }
}
