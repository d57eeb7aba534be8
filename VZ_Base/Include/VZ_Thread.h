// One thread object with a start/stop protocol and overridable hooks.
//
// A derived class supplies Run(), which loops until IsStopping() turns true.
// Stop() asks for the end, waits up to 2000 ms and lets go of the thread
// handle; a body that does not end in time keeps running unowned, it is never
// terminated (the wait is counted in VZ_MultiThread::GetStopTimeoutCount()
// and reported on standard output).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>

class VZ_Thread
{
public:
    VZ_Thread();
    virtual ~VZ_Thread();

    // False when already started (stop flag clear), when OnStart() refuses or
    // when the thread cannot be created or resumed.
    virtual bool Start();
    // Sets the stop flag, waits up to 2000 ms, closes the handle, calls OnStop().
    virtual void Stop();
    // 1 = the thread has ended, 0 = time-out, -1 = no thread or wait failure.
    virtual int Wait(DWORD dwTimeout);
    // Only raises the stop flag; Run() notices it on its own.
    virtual void SetStopFlag();

    // What Run() polls: true once a stop was requested (or when not running).
    bool IsStopping() const { return m_byStopFlag != 0; }
    DWORD GetThreadId() const { return m_dwThreadId; }
    HANDLE GetThreadHandle() const { return m_hThread; }
    // True from Start() until the thread has left Run(). After a Stop()
    // whose wait ran out the owner must not free the object while this holds.
    bool IsInRun() const { return m_bInRun.load(); }

protected:
    // The thread body; returns its exit code when it sees the stop flag set.
    virtual DWORD Run() = 0;
    // Called by Start() before the thread exists; false aborts the start.
    virtual bool OnStart();
    // Called by Stop() after the thread handle has been closed.
    virtual void OnStop();
    // The stack the thread reserves (0: the program's default).
    virtual unsigned StackSize() const { return 0; }

    DWORD m_dwThreadId;                 // 0 when there is no thread
    HANDLE m_hThread;                   // NULL when there is no thread
    // 1 = stop requested or not running. Written by the owner and read by the
    // running thread, hence atomic (still one byte).
    std::atomic<BYTE> m_byStopFlag;
    std::atomic<bool> m_bInRun{false};

private:
    static unsigned __stdcall ThreadEntry(void* lpParam);

    VZ_Thread(const VZ_Thread&) = delete;
    VZ_Thread& operator=(const VZ_Thread&) = delete;
};
