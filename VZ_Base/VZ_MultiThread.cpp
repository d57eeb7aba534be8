#include "VZ_MultiThread.h"

#include "VZ_Array.h"
#include "VZ_Assert.h"
#include "VZ_Locker.h"

#include <objbase.h>
#include <intrin.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

// A thread being stopped: its id and a private duplicate of its handle, so the
// wait needs neither the list nor its lock.
struct _STOP_ITEM
{
    DWORD dwThreadId;
    HANDLE hThread;
};

LONG g_lStopTimeouts = 0;

// Set on a pool thread whose pool was destroyed from inside its own work: the
// thread's record went with the pool, and the thread must not touch it again.
thread_local bool t_bPoolGone = false;

} // namespace

LONG VZ_MultiThread::GetStopTimeoutCount()
{
    return InterlockedCompareExchange(&g_lStopTimeouts, 0, 0);
}

void VZ_MultiThread::CountStopTimeout()
{
    InterlockedIncrement(&g_lStopTimeouts);
}

VZ_MultiThread::VZ_MultiThread()
    : m_listThread(10)
{
}

VZ_MultiThread::~VZ_MultiThread()
{
    // Threads still running here run the owner's ThreadProc() on an owner
    // whose own part is destroyed already: the owner should have stopped them.
    int iLeft = GetThreadCount() - (IsPoolThread() ? 1 : 0);
    if (iLeft > 0) {
        printf("VZ_MultiThread: %d thread(s) still running as the pool is destroyed\n", iLeft);
        fflush(stdout);
    }
    StopAllThreads(2000);
    // Destroyed from one of its own threads, which cannot wait for itself:
    // that thread lets go of the pool now and closes its own handles at its end.
    VZ_AutoLock lock(&m_listThread);
    for (VZ_POSITION pos = m_listThread.GetHeadPosition(); pos != NULL;) {
        VZ_POSITION posCur = pos;
        if (m_listThread.GetNext(pos).dwThreadId == GetCurrentThreadId()) {
            m_listThread.RemoveAt(posCur);
            t_bPoolGone = true;
        }
    }
}

HANDLE VZ_MultiThread::StartThread(int iThreadType, ULONG_PTR lpParam)
{
    _THREAD_DATA td;
    td.iThreadType = iThreadType;
    td.lpParam = lpParam;
    td.dwThreadId = 0;

    // 1. Suspended, so the record below is in the list before the thread runs.
    HANDLE hThread = CreateThread(NULL, 0, ThreadEntry, this, CREATE_SUSPENDED, &td.dwThreadId);
    VZ_ASSERT(hThread);
    td.hThread = hThread;

    // 2. Manual-reset: once signalled it stays signalled for every look.
    td.hStopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    VZ_ASSERT(td.hStopEvent);

    // 3. The record goes in even after a failure; a stop pass drops it.
    {
        VZ_AutoLock lock(&m_listThread);
        m_listThread.AddTail(td);
    }

    // 4.
    if (hThread != NULL)
        ResumeThread(hThread);
    return hThread;
}

int VZ_MultiThread::StartThreads(int iThreadType, int iCount, ULONG_PTR lpParam)
{
    int iStarted = 0;
    for (int i = 0; i < iCount; ++i) {
        if (StartThread(iThreadType, lpParam) != NULL)
            ++iStarted;
    }
    return iStarted;
}

void VZ_MultiThread::StopThreads(int iThreadType, DWORD dwTimeout)
{
    StopSelected(false, iThreadType, dwTimeout);
}

void VZ_MultiThread::StopAllThreads(DWORD dwTimeout)
{
    StopSelected(true, 0, dwTimeout);
}

int VZ_MultiThread::GetThreadCount()
{
    VZ_AutoLock lock(&m_listThread);
    return m_listThread.GetCount();
}

bool VZ_MultiThread::IsPoolThread()
{
    VZ_AutoLock lock(&m_listThread);
    DWORD dwId = GetCurrentThreadId();
    for (VZ_POSITION pos = m_listThread.GetHeadPosition(); pos != NULL;)
        if (m_listThread.GetNext(pos).dwThreadId == dwId)
            return true;
    return false;
}

int VZ_MultiThread::GetThreadCount(int iThreadType)
{
    VZ_AutoLock lock(&m_listThread);
    int iCount = 0;
    VZ_POSITION pos = m_listThread.GetHeadPosition();
    while (pos != NULL) {
        if (m_listThread.GetNext(pos).iThreadType == iThreadType)
            ++iCount;
    }
    return iCount;
}

void VZ_MultiThread::StopSelected(bool bAllTypes, int iThreadType, DWORD dwTimeout)
{
    VZ_Array<_STOP_ITEM, const _STOP_ITEM&> arrStop;
    arrStop.SetSize(0, 1);  // grows one element at a time

    // 1. Under the lock: ask every selected thread to end and keep a handle of
    //    our own to wait on. A record without a thread (failed creation) has
    //    nobody to remove it, so it is dropped here.
    {
        VZ_AutoLock lock(&m_listThread);
        VZ_POSITION pos = m_listThread.GetHeadPosition();
        while (pos != NULL) {
            VZ_POSITION posCur = pos;
            _THREAD_DATA& td = m_listThread.GetNext(pos);
            if (!bAllTypes && td.iThreadType != iThreadType)
                continue;
            if (td.hStopEvent != NULL)
                SetEvent(td.hStopEvent);
            if (td.hThread == NULL) {
                if (td.hStopEvent != NULL)
                    CloseHandle(td.hStopEvent);
                m_listThread.RemoveAt(posCur);
                continue;
            }
            // A thread that stops its own pool (from inside its own work)
            // cannot wait for itself: it ends when its work returns.
            if (td.dwThreadId == GetCurrentThreadId())
                continue;
            _STOP_ITEM item;
            item.dwThreadId = td.dwThreadId;
            item.hThread = NULL;
            if (DuplicateHandle(GetCurrentProcess(), td.hThread, GetCurrentProcess(), &item.hThread,
                                0, FALSE, DUPLICATE_SAME_ACCESS))
                arrStop.Add(item);
        }
    }

    // 2. Without the lock, so exiting threads can remove their own records.
    //    Every thread gets the whole time-out: the waits are not shared.
    for (int i = 0; i < arrStop.GetSize(); ++i) {
        _STOP_ITEM& item = arrStop[i];
        if (WaitForSingleObject(item.hThread, dwTimeout) == WAIT_TIMEOUT) {
            CountStopTimeout();
            printf("VZ_MultiThread: thread %lu did not end within %lu ms; terminated\n",
                   static_cast<unsigned long>(item.dwThreadId), static_cast<unsigned long>(dwTimeout));
            fflush(stdout);
            // Termination completes asynchronously: the thread may run on a
            // little after the call, so it is waited for before the owner may
            // free what the thread works on.
            if (TerminateThread(item.hThread, 0))
                WaitForSingleObject(item.hThread, dwTimeout);
            RemoveRecord(item.dwThreadId, NULL);
        }
        CloseHandle(item.hThread);
    }
}

bool VZ_MultiThread::CopyRecord(DWORD dwThreadId, _THREAD_DATA& td)
{
    VZ_AutoLock lock(&m_listThread);
    VZ_POSITION pos = m_listThread.GetHeadPosition();
    while (pos != NULL) {
        const _THREAD_DATA& tdCur = m_listThread.GetNext(pos);
        if (tdCur.dwThreadId == dwThreadId) {
            td = tdCur;
            return true;
        }
    }
    return false;
}

// Removes the record of one thread, found by id when dwThreadId is not 0,
// else by handle, and closes its stop event and thread handle.
void VZ_MultiThread::RemoveRecord(DWORD dwThreadId, HANDLE hThread)
{
    VZ_AutoLock lock(&m_listThread);
    VZ_POSITION pos = m_listThread.GetHeadPosition();
    while (pos != NULL) {
        VZ_POSITION posCur = pos;
        _THREAD_DATA& td = m_listThread.GetNext(pos);
        if (dwThreadId != 0 ? td.dwThreadId == dwThreadId : td.hThread == hThread) {
            CloseHandle(td.hStopEvent);
            CloseHandle(td.hThread);
            m_listThread.RemoveAt(posCur);
            return;
        }
    }
}

DWORD WINAPI VZ_MultiThread::ThreadEntry(LPVOID lpParam)
{
    VZ_MultiThread* lpThis = static_cast<VZ_MultiThread*>(lpParam);

    // 1. Each thread gets its own random sequence.
    srand(static_cast<unsigned>(__rdtsc()));

    // 2. The record is in the list before the thread is resumed.
    _THREAD_DATA td;
    if (!lpThis->CopyRecord(GetCurrentThreadId(), td)) {
        VZ_ASSERT(false);
        ExitThread(1);
    }

    // 3. The body works on its copy; the list may change meanwhile.
    CoInitialize(NULL);
    DWORD dwResult = lpThis->ThreadProc(td);
    CoUninitialize();

    // 4. By handle: a terminated-and-reused thread id cannot mislead this.
    //    Once the record is gone the owner may be destroyed, so nothing of
    //    the object is touched after this line. A pool this thread destroyed
    //    itself is gone already: its handles are closed from the copy.
    if (t_bPoolGone) {
        CloseHandle(td.hStopEvent);
        CloseHandle(td.hThread);
    } else {
        lpThis->RemoveRecord(0, td.hThread);
    }

    // 5.
    ExitThread(dwResult);
}
