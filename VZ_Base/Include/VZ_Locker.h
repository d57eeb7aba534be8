// Re-entrant lock on a critical section, and its scoped guard.
#pragma once

#include <winsock2.h>
#include <windows.h>

class VZ_Locker
{
public:
    VZ_Locker();
    virtual ~VZ_Locker();

    void Lock();
    void Unlock();

    // Process-wide lock trace switch, off at load. Nothing in the system turns
    // it on; a line per Lock/Unlock is sent only while the switch is on AND the
    // trace socket (VZ_GetTraceSocket) holds a socket. Debugging aid only.
    static void SetTrace(bool bOn);
    static bool GetTrace();

private:
    VZ_Locker(const VZ_Locker&) = delete;
    VZ_Locker& operator=(const VZ_Locker&) = delete;

    // Recursion count when the calling thread owns the lock, else 0.
    int GetOwnedRecursionCount() const;

    CRITICAL_SECTION m_cs;
};

class VZ_AutoLock
{
public:
    explicit VZ_AutoLock(VZ_Locker* lck);
    ~VZ_AutoLock();

    // Releases early (before calling out); the destructor then does nothing.
    void Unlock();

private:
    VZ_AutoLock(const VZ_AutoLock&) = delete;
    VZ_AutoLock& operator=(const VZ_AutoLock&) = delete;

    VZ_Locker* m_lpLocker;
};
