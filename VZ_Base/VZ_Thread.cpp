#include "VZ_Thread.h"

#include <objbase.h>
#include <intrin.h>
#include <process.h>
#include <stdio.h>
#include <stdlib.h>

#include "VZ_MultiThread.h"

namespace {

const DWORD STOP_TIMEOUT = 2000;

// After a stop wait that ran out: the body is left running, never terminated,
// and the object with it (the owner frees it only once IsInRun() is false).
void ReportOverrun(int iWait, DWORD dwThreadId)
{
    if (iWait == 1)
        return;
    VZ_MultiThread::CountStopTimeout();
    printf("VZ_Thread: thread %lu did not end within %lu ms; left running\n",
           static_cast<unsigned long>(dwThreadId), static_cast<unsigned long>(STOP_TIMEOUT));
    fflush(stdout);
}

} // namespace

VZ_Thread::VZ_Thread()
    : m_dwThreadId(0)
    , m_hThread(NULL)
    , m_byStopFlag(1)
{
}

VZ_Thread::~VZ_Thread()
{
    // Same steps as Stop(), but with this class's own Wait and OnStop: the
    // derived part is already gone.
    if (m_hThread == NULL)
        return;
    m_byStopFlag = 1;
    ReportOverrun(VZ_Thread::Wait(STOP_TIMEOUT), m_dwThreadId);
    CloseHandle(m_hThread);
    m_hThread = NULL;
    m_dwThreadId = 0;
    VZ_Thread::OnStop();
}

bool VZ_Thread::Start()
{
    // 1. Only a stopped object starts. A handle still held (SetStopFlag()
    //    without Stop()) also counts as started, so one object never owns
    //    two threads or leaks a handle.
    if (m_byStopFlag == 0 || m_hThread != NULL)
        return false;
    m_byStopFlag = 0;

    // 2. The hook may refuse; the object is then "not running" again, so a
    //    later Start() can still succeed.
    if (!OnStart()) {
        m_byStopFlag = 1;
        return false;
    }

    // 3. Created suspended so that id and handle are stored before Run() runs.
    unsigned uiThreadId = 0;
    unsigned uiStack = StackSize();
    uintptr_t uiHandle = _beginthreadex(NULL, uiStack, ThreadEntry, this,
                                        CREATE_SUSPENDED | (uiStack != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0),
                                        &uiThreadId);
    if (uiHandle == 0) {
        m_byStopFlag = 1;
        return false;
    }
    m_hThread = reinterpret_cast<HANDLE>(uiHandle);
    m_dwThreadId = uiThreadId;
    m_bInRun = true; // set before the thread can run, cleared by the thread

    // 4. Resume. A thread that cannot be resumed has never run any code of
    //    ours: it is discarded rather than left suspended behind the handle.
    if (ResumeThread(m_hThread) == static_cast<DWORD>(-1)) {
        TerminateThread(m_hThread, 0);
        CloseHandle(m_hThread);
        m_hThread = NULL;
        m_dwThreadId = 0;
        m_byStopFlag = 1;
        m_bInRun = false;
        return false;
    }
    return true;
}

void VZ_Thread::Stop()
{
    if (m_hThread == NULL)
        return;
    m_byStopFlag = 1;
    // A body that overruns keeps running without a handle: it is deliberately
    // not terminated.
    ReportOverrun(Wait(STOP_TIMEOUT), m_dwThreadId);
    CloseHandle(m_hThread);
    m_hThread = NULL;
    m_dwThreadId = 0;
    OnStop();
}

int VZ_Thread::Wait(DWORD dwTimeout)
{
    if (m_hThread == NULL)
        return -1;
    switch (WaitForSingleObject(m_hThread, dwTimeout)) {
    case WAIT_OBJECT_0:
        return 1;
    case WAIT_TIMEOUT:
        return 0;
    default:
        return -1;
    }
}

void VZ_Thread::SetStopFlag()
{
    m_byStopFlag = 1;
}

bool VZ_Thread::OnStart()
{
    return true;
}

void VZ_Thread::OnStop()
{
}

unsigned __stdcall VZ_Thread::ThreadEntry(void* lpParam)
{
    VZ_Thread* lpThis = static_cast<VZ_Thread*>(lpParam);
    // Each thread gets its own random sequence.
    srand(static_cast<unsigned>(__rdtsc()));
    CoInitialize(NULL);
    DWORD dwResult = lpThis->Run();
    // The last touch of the object: once this is false, the owner may free it.
    lpThis->m_bInRun = false;
    CoUninitialize();
    return dwResult;
}
