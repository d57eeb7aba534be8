// A pool of threads grouped by an owner-chosen thread type.
//
// Every pool thread has a record in m_listThread from just before it runs
// until it ends; its body ThreadProc() gets a copy of that record and should
// return once td.hStopEvent is signalled. A stop waits up to the time-out for
// each thread and terminates the ones that did not end.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "VZ_List.h"

class VZ_MultiThread
{
public:
    struct _THREAD_DATA
    {
        HANDLE hThread;         // thread handle (owned by the record)
        DWORD dwThreadId;
        int iThreadType;        // chosen by the owner
        ULONG_PTR lpParam;      // given at start, as a rule a pointer
        HANDLE hStopEvent;      // manual-reset; signalled to ask the thread to end
    };

    VZ_MultiThread();
    // Stops every thread (2000 ms each). Owners stop their threads themselves
    // before their own part is destroyed, since ThreadProc() lives there. A
    // pool may be destroyed from one of its own threads: that thread goes on
    // with its work and no longer touches the pool.
    virtual ~VZ_MultiThread();

    // Starts one thread; returns its handle (NULL when creation failed).
    HANDLE StartThread(int iThreadType, ULONG_PTR lpParam);
    // Starts iCount threads of one type; returns how many were created.
    int StartThreads(int iThreadType, int iCount, ULONG_PTR lpParam);
    // Signals, waits up to dwTimeout per thread, terminates the ones left.
    void StopThreads(int iThreadType, DWORD dwTimeout);
    void StopAllThreads(DWORD dwTimeout);

    int GetThreadCount();
    int GetThreadCount(int iThreadType);
    // True when the calling thread is one of this pool's threads.
    bool IsPoolThread();

    // Process-wide count of bounded stop waits that ran out (a thread, or
    // work a stop waits for, that did not end in its time). Every such wait
    // in the library counts here, so a test can assert that none ran out
    // instead of timing the stop.
    static LONG GetStopTimeoutCount();
    static void CountStopTimeout();

protected:
    // The body of every pool thread; tells the threads apart by td.iThreadType.
    virtual DWORD ThreadProc(_THREAD_DATA& td) = 0;

    VZ_LckList<_THREAD_DATA, const _THREAD_DATA&> m_listThread;

private:
    static DWORD WINAPI ThreadEntry(LPVOID lpParam);

    bool CopyRecord(DWORD dwThreadId, _THREAD_DATA& td);
    void RemoveRecord(DWORD dwThreadId, HANDLE hThread);
    void StopSelected(bool bAllTypes, int iThreadType, DWORD dwTimeout);

    VZ_MultiThread(const VZ_MultiThread&) = delete;
    VZ_MultiThread& operator=(const VZ_MultiThread&) = delete;
};
