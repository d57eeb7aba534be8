#include <gtest/gtest.h>

#include <vector>

#include "CheckCapture.h"
#include "VZ_Locker.h"
#include "VZ_MsgQueue.h"

namespace {

// Sees the queue's innards, to check the semaphore against the list and to
// act as a consumer caught between claiming a count and taking its message.
class ProbeQueue : public VZ_MsgQueue
{
public:
    explicit ProbeQueue(bool bOpen = true) : VZ_MsgQueue(bOpen) {}
    int Count() { VZ_AutoLock lock(&m_listMsg); return m_listMsg.GetCount(); }
    bool ClaimCount() { return WaitForSingleObject(m_hMsgSemaphore, 0) == WAIT_OBJECT_0; }
    // How many messages there were; the head one is taken.
    int Stale() { VZ_AutoLock lock(&m_listMsg); return m_iStaleCount; }
    int TakeClaimed() { VZ_AutoLock lock(&m_listMsg); int n = m_listMsg.GetCount(); if (n > 0) m_listMsg.RemoveHead(); return n; }
    static DWORD WINAPI Delete(LPVOID lp) { delete static_cast<ProbeQueue*>(lp); return 0; }
};

// A thread running the owners' consumer loop.
struct Consumer
{
    VZ_MsgQueue* lpQueue;
    std::vector<_VZ_MSG> vecGot{};
    HANDLE hThread = CreateThread(NULL, 0, Loop, this, 0, NULL);   // once the members above are set
    static DWORD WINAPI Loop(LPVOID lp)
    {
        Consumer* lpThis = static_cast<Consumer*>(lp);
        for (_VZ_MSG msg; lpThis->lpQueue->GetMessage(&msg);)
            lpThis->vecGot.push_back(msg);
        return 0;
    }
    ~Consumer() { CloseHandle(hThread); }
};

} // namespace

TEST(VZ_MsgQueue, FifoBatchesRemovalTwoConsumersNullPointersAndClosedQueue)
{
    ProbeQueue q, qClosed(false);
    EXPECT_FALSE(qClosed.PostMessage(10, 0, 0));
    EXPECT_TRUE(q.PostMessage(10, 1, ~ULONG_PTR(0)));   // lParam keeps full pointer width
    _VZ_MSG batch[3] = { { 0x113, 2, 20 }, { 11, 3, 30 }, { 12, 4, 40 } };
    EXPECT_TRUE(q.PostMessages(batch, 3));
    EXPECT_EQ(4, q.Count());
    _VZ_MSG msg;
    for (UINT i = 1; i <= 4; ++i) {
        ASSERT_TRUE(q.GetMessage(&msg));
        EXPECT_TRUE(msg.wParam == i && msg.message == (i == 1 ? 10 : batch[i - 2].message)
                    && msg.lParam == (i == 1 ? ~ULONG_PTR(0) : i * 10)) << i;
    }
    EXPECT_FALSE(q.ClaimCount());                       // the semaphore matched the list

    // Removed messages reach nobody: consumers skip their counts. Two quits end
    // two consumers after the earlier messages, each taken once, in order.
    EXPECT_TRUE(q.PostMessages(batch, 3));
    EXPECT_EQ(3, q.RemoveAll());
    {
        const int N = 5000;
        Consumer a{&q}, b{&q};
        for (int i = 0; i < 5000 && q.Stale() > 0; ++i)
            Sleep(1);
        for (int i = 0; i < N; ++i)
            q.PostMessage(30, i, 0);
        q.PostMessage(VZ_MsgQueue::QUIT_MESSAGE, 0, 0);
        q.PostMessage(VZ_MsgQueue::QUIT_MESSAGE, 0, 0);
        HANDLE hBoth[2] = { a.hThread, b.hThread };
        ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, hBoth, TRUE, 5000));
        std::vector<int> vecSeen(N, 0);
        for (Consumer* c : { &a, &b })
            for (size_t i = 0; i < c->vecGot.size(); ++i) {
                ++vecSeen[c->vecGot[i].wParam % N];
                EXPECT_TRUE(c->vecGot[i].message == 30 && (i == 0 || c->vecGot[i - 1].wParam < c->vecGot[i].wParam))
                    << i;
            }
        EXPECT_EQ(std::vector<int>(N, 1), vecSeen);
    }
    EXPECT_FALSE(q.ClaimCount());                       // the semaphore matched the list

    CheckCapture checks;
    EXPECT_FALSE(q.PostMessages(NULL, 1));
    EXPECT_TRUE(q.PostMessage(5, 0, 0));
    EXPECT_TRUE(q.GetMessage(NULL));                    // reported, still consumed
    EXPECT_EQ("lpMsg;lpMsg;", checks.Conditions());
    EXPECT_EQ(0, q.Count() + qClosed.Count());
    q.TakeClaimed();   // else the destructor would wait for it for ever
}

// This thread has claimed a count but not taken its message, and the count of
// a removed message is still on the semaphore. The destructor spends that
// count rather than the claimed message, then waits for the take, reporting
// at every pass from the 100th on, for as long as it takes: here until the
// 200th report.
TEST(VZ_MsgQueue, DestructorWaitsForAClaimedMessage)
{
    CheckCapture checks;
    ProbeQueue* lpQueue = new ProbeQueue;
    lpQueue->PostMessage(9, 0, 0);
    EXPECT_EQ(1, lpQueue->RemoveAll());
    lpQueue->PostMessage(10, 0, 0);
    ASSERT_TRUE(lpQueue->ClaimCount());
    HANDLE hDelete = CreateThread(NULL, 0, ProbeQueue::Delete, lpQueue, 0, NULL);
    // Only a hang reaches the cap; an ended thread means the queue is gone.
    for (ULONGLONG ullEnd = GetTickCount64() + 60000; checks.Count() < 200 && GetTickCount64() < ullEnd;)
        ASSERT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hDelete, 10));
    ASSERT_TRUE(checks.Count() >= 200 && checks.Conditions().find("iAssertError < 100;") == 0);
    EXPECT_FALSE(lpQueue->PostMessage(11, 0, 0));
    EXPECT_EQ(1, lpQueue->TakeClaimed());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hDelete, 10000));
    CloseHandle(hDelete);
}
