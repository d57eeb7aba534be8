#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "VZ_Assert.h"
#include "VZ_Locker.h"
#include "VZ_MsgQueue.h"

namespace {

std::mutex g_mtxReports;
std::vector<std::string> g_vecReports;

void RecordReport(const char* lpszExpr, const char*, int)
{
    std::lock_guard<std::mutex> lock(g_mtxReports);
    g_vecReports.push_back(lpszExpr);
}

int CountReports(const char* lpszExpr)
{
    std::lock_guard<std::mutex> lock(g_mtxReports);
    int n = 0;
    for (const std::string& str : g_vecReports)
        n += str == lpszExpr;
    return n;
}

// Sees the queue's innards, to check the semaphore against the list and to
// act as a consumer caught between claiming a count and taking its message.
class ProbeQueue : public VZ_MsgQueue
{
public:
    explicit ProbeQueue(bool bOpen = true) : VZ_MsgQueue(bOpen) {}
    int Count() { VZ_AutoLock lock(&m_listMsg); return m_listMsg.GetCount(); }
    bool ClaimCount() { return WaitForSingleObject(m_hMsgSemaphore, 0) == WAIT_OBJECT_0; }
    void TakeClaimed() { VZ_AutoLock lock(&m_listMsg); m_listMsg.RemoveHead(); }
};

DWORD WINAPI DeleteQueue(LPVOID lpParam)
{
    delete static_cast<ProbeQueue*>(lpParam);
    return 0;
}

struct Consumer
{
    VZ_MsgQueue* lpQueue;
    std::vector<_VZ_MSG> vecGot;
    HANDLE hThread;

    explicit Consumer(VZ_MsgQueue* lpQ) : lpQueue(lpQ) { hThread = CreateThread(NULL, 0, Loop, this, 0, NULL); }
    ~Consumer() { CloseHandle(hThread); }
    static DWORD WINAPI Loop(LPVOID lpParam)
    {
        Consumer* lpThis = static_cast<Consumer*>(lpParam);
        _VZ_MSG msg;
        while (lpThis->lpQueue->GetMessage(&msg))
            lpThis->vecGot.push_back(msg);
        return 0;
    }
};

} // namespace

TEST(VZ_MsgQueue, FifoBatchesAndNullPointers)
{
    ProbeQueue q;
    EXPECT_TRUE(q.PostMessage(10, 1, ~ULONG_PTR(0)));   // lParam keeps full pointer width
    _VZ_MSG batch[3] = { { 0x113, 2, 20 }, { 11, 3, 30 }, { 12, 4, 40 } };
    EXPECT_TRUE(q.PostMessages(batch, 3));
    EXPECT_TRUE(q.PostMessages(batch, 0));
    EXPECT_TRUE(q.PostMessages(NULL, 0));
    EXPECT_EQ(4, q.Count());

    _VZ_MSG msg;
    ASSERT_TRUE(q.GetMessage(&msg));
    EXPECT_EQ(10u, msg.message);
    EXPECT_EQ(~ULONG_PTR(0), msg.lParam);
    for (const _VZ_MSG& exp : batch) {
        ASSERT_TRUE(q.GetMessage(&msg));
        EXPECT_TRUE(exp.message == msg.message && exp.wParam == msg.wParam && exp.lParam == msg.lParam);
    }
    EXPECT_FALSE(q.ClaimCount());                       // the semaphore matched the list

    g_vecReports.clear();
    VZ_AssertHandler lpPrev = VZ_SetAssertHandler(RecordReport);
    EXPECT_FALSE(q.PostMessages(NULL, 1));
    EXPECT_EQ(0, q.Count());
    EXPECT_TRUE(q.PostMessage(5, 0, 0));
    EXPECT_TRUE(q.GetMessage(NULL));                    // reported, still consumed
    VZ_SetAssertHandler(lpPrev);
    EXPECT_EQ(2, CountReports("lpMsg"));
    EXPECT_EQ(0, q.Count());
}

TEST(VZ_MsgQueue, QuitEndsConsumersAfterEarlierMessages)
{
    ProbeQueue q;
    Consumer one(&q);
    Sleep(10);                                          // let it block first
    q.PostMessage(20, 1, 0);
    q.PostMessage(21, 2, 0);
    q.PostMessage(VZ_MsgQueue::QUIT_MESSAGE, 0, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(one.hThread, 5000));
    ASSERT_EQ(2u, one.vecGot.size());
    EXPECT_EQ(20u, one.vecGot[0].message);
    EXPECT_EQ(21u, one.vecGot[1].message);
    EXPECT_EQ(0, q.Count());                            // the quit was consumed
    EXPECT_FALSE(q.ClaimCount());

    const int N = 200;
    Consumer a(&q), b(&q);
    for (int i = 0; i < N; ++i)
        q.PostMessage(30, i, 0);
    q.PostMessage(VZ_MsgQueue::QUIT_MESSAGE, 0, 0);
    q.PostMessage(VZ_MsgQueue::QUIT_MESSAGE, 0, 0);
    HANDLE hBoth[2] = { a.hThread, b.hThread };
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, hBoth, TRUE, 5000));
    // Each message reached exactly one consumer, each in posting order.
    std::vector<int> vecSeen(N, 0);
    for (Consumer* c : { &a, &b })
        for (size_t i = 0; i < c->vecGot.size(); ++i) {
            ++vecSeen[c->vecGot[i].wParam];
            EXPECT_TRUE(i == 0 || c->vecGot[i - 1].wParam < c->vecGot[i].wParam);
        }
    EXPECT_EQ(std::vector<int>(N, 1), vecSeen);
}

TEST(VZ_MsgQueue, ClosedQueueRefusesPosts)
{
    ProbeQueue qClosed(false);
    EXPECT_FALSE(qClosed.PostMessage(10, 0, 0));
    EXPECT_EQ(0, qClosed.Count());

    // A consumer has claimed a count but not taken its message: the destructor
    // closes the queue, then yields until that message is taken.
    g_vecReports.clear();
    VZ_AssertHandler lpPrev = VZ_SetAssertHandler(RecordReport);
    ProbeQueue* lpQueue = new ProbeQueue;
    lpQueue->PostMessage(10, 0, 0);
    ASSERT_TRUE(lpQueue->ClaimCount());
    HANDLE hDelete = CreateThread(NULL, 0, DeleteQueue, lpQueue, 0, NULL);
    // Posts succeed until the queue is closed; the drain disposes of them.
    bool bRefused = false;
    for (int i = 0; i < 5000 && !bRefused; ++i, Sleep(1))
        bRefused = !lpQueue->PostMessage(11, 0, 0);
    EXPECT_TRUE(bRefused);
    // The drain keeps waiting and complains after 100 rounds.
    for (int i = 0; i < 5000 && CountReports("iAssertError < 100") == 0; ++i)
        Sleep(1);
    EXPECT_GT(CountReports("iAssertError < 100"), 0);
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(hDelete, 0));
    lpQueue->TakeClaimed();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hDelete, 5000));
    CloseHandle(hDelete);
    VZ_SetAssertHandler(lpPrev);
}
