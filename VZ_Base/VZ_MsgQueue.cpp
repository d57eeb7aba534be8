#include "VZ_MsgQueue.h"

#include "VZ_Assert.h"
#include "VZ_Locker.h"

VZ_MsgQueue::VZ_MsgQueue(bool bOpen)
    : m_listMsg(10)
    , m_hMsgSemaphore(NULL)
    , m_bOpen(bOpen)
    , m_iStaleCount(0)
{
    m_hMsgSemaphore = CreateSemaphoreW(NULL, 0, 0x7fffffff, NULL);
    VZ_ASSERT(m_hMsgSemaphore);
}

namespace {
// Passes of the drain that only yield the processor; later passes sleep, so a
// long wait does not keep a core busy.
const int YIELD_PASSES = 100;
} // namespace

VZ_MsgQueue::~VZ_MsgQueue()
{
    {
        VZ_AutoLock lock(&m_listMsg);
        m_bOpen = false;
    }

    // Drain: claim each count and drop a message for it. When no count is
    // left but messages are, a consumer has claimed one and is about to take
    // it: wait until it has, however long it was descheduled (the queue must
    // not be freed under it), and complain from the 100th pass on.
    // A consumer terminated between its claim and the take never takes the
    // message, and the drain then waits for good, reporting at every pass.
    // That is chosen over dropping the message: nothing here tells a dead
    // consumer from a descheduled one, a thread terminated that close to the
    // queue may as well have died holding its lock, and a hang that reports
    // itself is better than a live consumer resuming into freed memory.
    int iAssertError = 0;
    for (;;) {
        if (WaitForSingleObject(m_hMsgSemaphore, 0) == WAIT_OBJECT_0) {
            VZ_AutoLock lock(&m_listMsg);
            VZ_ASSERT(m_listMsg.GetCount() >= 0);
            // Counts beyond the messages are those of removed messages:
            // claiming them one by one would only cost time.
            if (m_listMsg.IsEmpty())
                break;
            // A count of a removed message is spent first: the message left
            // may be the one a consumer has claimed.
            if (m_iStaleCount > 0)
                --m_iStaleCount;
            else
                m_listMsg.RemoveTail();
            continue;
        }
        {
            VZ_AutoLock lock(&m_listMsg);
            if (m_listMsg.IsEmpty())
                break;
        }
        Sleep(iAssertError < YIELD_PASSES ? 0 : 1);
        ++iAssertError;
        VZ_ASSERT(iAssertError < 100);
    }

    if (m_hMsgSemaphore != NULL)
        CloseHandle(m_hMsgSemaphore);
}

bool VZ_MsgQueue::PostMessage(UINT message, UINT wParam, ULONG_PTR lParam)
{
    _VZ_MSG msg;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    return PostMessages(&msg, 1);
}

bool VZ_MsgQueue::PostMessages(const _VZ_MSG* lpMsg, int iCount)
{
    VZ_AutoLock lock(&m_listMsg);
    if (!m_bOpen)
        return false;
    if (iCount <= 0)
        return true;

    VZ_ASSERT(lpMsg);
    if (lpMsg == NULL)
        return false;
    for (int i = 0; i < iCount; ++i)
        m_listMsg.AddTail(lpMsg[i]);

    // One release for the batch: consumers never see half of it.
    if (!ReleaseSemaphore(m_hMsgSemaphore, iCount, NULL)) {
        for (int i = 0; i < iCount; ++i)
            m_listMsg.RemoveTail();
        return false;
    }
    return true;
}

bool VZ_MsgQueue::GetMessage(_VZ_MSG* lpMsg)
{
    VZ_ASSERT(lpMsg);
    // Taken into a local first so that a null lpMsg still consumes the
    // message it claimed.
    _VZ_MSG msg = { 0, 0, 0 };
    do {
        if (WaitForSingleObject(m_hMsgSemaphore, INFINITE) != WAIT_OBJECT_0)
            return false;
    } while (!TakeHead(msg));
    if (lpMsg != NULL)
        *lpMsg = msg;
    return msg.message != QUIT_MESSAGE;
}

// For a count just claimed: the head message, or false when the count was
// one of a removed message's. Counts are alike, so a message present is taken
// whichever count was claimed; only an empty list spends a stale count.
bool VZ_MsgQueue::TakeHead(_VZ_MSG& msg)
{
    VZ_AutoLock lock(&m_listMsg);
    if (m_listMsg.IsEmpty() && m_iStaleCount > 0) {
        --m_iStaleCount;
        return false;
    }
    // An (impossible) empty list reads as message 0 instead of corrupting it.
    VZ_ASSERT(m_listMsg.GetCount() > 0);
    if (!m_listMsg.IsEmpty())
        msg = m_listMsg.RemoveHead();
    return true;
}

int VZ_MsgQueue::RemoveAll()
{
    // A semaphore count can only be taken back one wait at a time (a round
    // trip to the kernel each), far too slow for a large backlog: the counts
    // are left to the consumers, which skip them (TakeHead).
    VZ_AutoLock lock(&m_listMsg);
    int iCount = m_listMsg.GetCount();
    m_listMsg.RemoveAll();
    m_iStaleCount += iCount;
    return iCount;
}

int VZ_MsgQueue::GetCount()
{
    VZ_AutoLock lock(&m_listMsg);
    return m_listMsg.GetCount();
}
