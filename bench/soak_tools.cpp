// Locks and thread records of the soak (soak_tools.h).
#include "soak_tools.h"

#include <stdio.h>

namespace soak {

namespace {

const int MAX_WHERE = 256;
Where g_where[MAX_WHERE];
std::atomic<int> g_iWhere{0};
thread_local Where* t_lpWhere = NULL;

} // namespace

Where* MyWhere()
{
    if (t_lpWhere == NULL) {
        int i = g_iWhere++;
        if (i >= MAX_WHERE)
            return NULL;
        t_lpWhere = &g_where[i];
        t_lpWhere->dwThread = GetCurrentThreadId();
    }
    return t_lpWhere;
}

void ReportWhere()
{
    for (int i = 0; i < g_iWhere.load() && i < MAX_WHERE; ++i) {
        const char* lpszWhat = g_where[i].lpszWhat.load();
        DWORD dwWaitsFor = g_where[i].dwWaitsFor.load();
        if (lpszWhat != NULL || dwWaitsFor != 0)
            fprintf(stderr, "  thread %lu: %s; waits for the socket lock of thread %lu (0: none)\n",
                    static_cast<unsigned long>(g_where[i].dwThread.load()), lpszWhat != NULL ? lpszWhat : "-",
                    static_cast<unsigned long>(dwWaitsFor));
    }
}

Doing::Doing(const char* lpszWhat) : m_lpWhere(MyWhere()), m_lpszOld(NULL)
{
    if (m_lpWhere != NULL)
        m_lpszOld = m_lpWhere->lpszWhat.exchange(lpszWhat);
}

Doing::~Doing()
{
    if (m_lpWhere != NULL)
        m_lpWhere->lpszWhat = m_lpszOld;
}

void RecursiveLock::Acquire()
{
    DWORD dwMe = GetCurrentThreadId();
    if (m_dwOwner.load(std::memory_order_acquire) == dwMe) {
        ++m_iDepth;
        return;
    }
    if (!TryAcquireSRWLockExclusive(&m_srw)) {
        Where* lpWhere = MyWhere();
        if (lpWhere != NULL)
            lpWhere->dwWaitsFor = m_dwOwner.load();
        AcquireSRWLockExclusive(&m_srw);
        if (lpWhere != NULL)
            lpWhere->dwWaitsFor = 0;
    }
    m_dwOwner.store(dwMe, std::memory_order_release);
    m_iDepth = 1;
}

void RecursiveLock::Release()
{
    if (--m_iDepth == 0) {
        m_dwOwner.store(0, std::memory_order_release);
        ReleaseSRWLockExclusive(&m_srw);
    }
}

} // namespace soak
