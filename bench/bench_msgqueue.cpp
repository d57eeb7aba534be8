// Message queue: post+get pairs per second between two threads and on one
// thread, next to a queue on std::mutex, std::condition_variable and
// std::deque.
#include "bench_util.h"

#include "VZ_MsgQueue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

const UINT MSG_WORK = 0x400;
const UINT MSG_QUIT = 1;
const int BATCH = 64;

// The plain way, with the same interface and the same quit message.
class BaselineQueue
{
public:
    bool PostMessage(UINT message, UINT wParam, ULONG_PTR lParam)
    {
        _VZ_MSG msg = { message, wParam, lParam };
        return PostMessages(&msg, 1);
    }
    bool PostMessages(const _VZ_MSG* lpMsg, int iCount)
    {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_deque.insert(m_deque.end(), lpMsg, lpMsg + iCount);
        }
        if (iCount == 1)
            m_cond.notify_one();
        else
            m_cond.notify_all();
        return true;
    }
    bool GetMessage(_VZ_MSG* lpMsg)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [this]() { return !m_deque.empty(); });
        *lpMsg = m_deque.front();
        m_deque.pop_front();
        return lpMsg->message != MSG_QUIT;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<_VZ_MSG> m_deque;
};

// The same design as VZ_MsgQueue (a lock and a counting semaphore) on a
// CRITICAL_SECTION and std::deque: shows what the semaphore alone costs.
class SemaphoreQueue
{
public:
    SemaphoreQueue() : m_hSemaphore(CreateSemaphoreW(NULL, 0, 0x7fffffff, NULL))
    {
        InitializeCriticalSection(&m_cs);
    }
    ~SemaphoreQueue()
    {
        CloseHandle(m_hSemaphore);
        DeleteCriticalSection(&m_cs);
    }
    bool PostMessage(UINT message, UINT wParam, ULONG_PTR lParam)
    {
        _VZ_MSG msg = { message, wParam, lParam };
        return PostMessages(&msg, 1);
    }
    bool PostMessages(const _VZ_MSG* lpMsg, int iCount)
    {
        EnterCriticalSection(&m_cs);
        m_deque.insert(m_deque.end(), lpMsg, lpMsg + iCount);
        BOOL bReleased = ReleaseSemaphore(m_hSemaphore, iCount, NULL);
        LeaveCriticalSection(&m_cs);
        return bReleased != FALSE;
    }
    bool GetMessage(_VZ_MSG* lpMsg)
    {
        if (WaitForSingleObject(m_hSemaphore, INFINITE) != WAIT_OBJECT_0)
            return false;
        EnterCriticalSection(&m_cs);
        *lpMsg = m_deque.front();
        m_deque.pop_front();
        LeaveCriticalSection(&m_cs);
        return lpMsg->message != MSG_QUIT;
    }

private:
    SemaphoreQueue(const SemaphoreQueue&) = delete;
    SemaphoreQueue& operator=(const SemaphoreQueue&) = delete;

    CRITICAL_SECTION m_cs;
    HANDLE m_hSemaphore;
    std::deque<_VZ_MSG> m_deque;
};

// Counts what the consumer got and whether it came in posting order.
struct ConsumerResult
{
    int iReceived;
    bool bInOrder;
};

template<class QUEUE>
ConsumerResult Consume(QUEUE& q)
{
    ConsumerResult r = { 0, true };
    _VZ_MSG msg;
    while (q.GetMessage(&msg))
    {
        if (msg.message != MSG_WORK || msg.wParam != UINT(r.iReceived))
            r.bInOrder = false;
        ++r.iReceived;
    }
    return r;
}

// One producer thread posts iCount messages (singly or in batches), then the
// quit message; one consumer thread takes them. Time: from the start signal
// to the consumer's end.
template<class QUEUE>
double ProducerConsumer(int iCount, bool bBatched, bool& bOk)
{
    QUEUE q;
    std::atomic<bool> bGo(false);
    ConsumerResult r = { 0, true };
    LONGLONG llEnd = 0;
    std::thread consumer([&]() {
        r = Consume(q);
        llEnd = BenchClock::Now();
    });
    std::thread producer([&]() {
        while (!bGo.load())
            std::this_thread::yield();
        _VZ_MSG batch[BATCH];
        int i = 0;
        while (i < iCount)
        {
            if (!bBatched)
            {
                q.PostMessage(MSG_WORK, UINT(i), 0);
                ++i;
                continue;
            }
            int n = 0;
            for (; n < BATCH && i < iCount; ++n, ++i)
            {
                batch[n].message = MSG_WORK;
                batch[n].wParam = UINT(i);
                batch[n].lParam = 0;
            }
            q.PostMessages(batch, n);
        }
        q.PostMessage(MSG_QUIT, 0, 0);
    });
    Sleep(10);   // lets the consumer reach its first wait
    LONGLONG llStart = BenchClock::Now();
    bGo = true;
    producer.join();
    consumer.join();
    bOk = r.bInOrder && r.iReceived == iCount;
    return double(iCount) / BenchClock::Seconds(llStart, llEnd);
}

// One thread posts a message and takes it back, iCount times.
template<class QUEUE>
double SingleThread(int iCount, bool& bOk)
{
    QUEUE q;
    bOk = true;
    LONGLONG llStart = BenchClock::Now();
    _VZ_MSG msg;
    for (int i = 0; i < iCount; ++i)
    {
        q.PostMessage(MSG_WORK, UINT(i), 0);
        if (!q.GetMessage(&msg) || msg.wParam != UINT(i))
            bOk = false;
    }
    return double(iCount) / BenchClock::Seconds(llStart, BenchClock::Now());
}

// A pilot run sizes the timed run of each mode and queue to about a second.
const double ROW_SECONDS = 1.0;
const int PILOT_PAIRS = 1000;

template<class QUEUE>
double TimedProducerConsumer(bool bBatched, bool& bOk)
{
    double dPilot = ProducerConsumer<QUEUE>(PILOT_PAIRS, bBatched, bOk);
    return ProducerConsumer<QUEUE>(BenchPlanCount(dPilot, ROW_SECONDS, PILOT_PAIRS), bBatched, bOk);
}

template<class QUEUE>
double TimedSingleThread(bool& bOk)
{
    double dPilot = SingleThread<QUEUE>(PILOT_PAIRS, bOk);
    return SingleThread<QUEUE>(BenchPlanCount(dPilot, ROW_SECONDS, PILOT_PAIRS), bOk);
}

struct RowResult
{
    double dRate;
    bool bOk;
};

template<class QUEUE>
RowResult MeasureMode(int iMode)
{
    RowResult r = { 0.0, false };
    r.dRate = iMode == 2 ? TimedSingleThread<QUEUE>(r.bOk) : TimedProducerConsumer<QUEUE>(iMode == 1, r.bOk);
    return r;
}

}   // namespace

void BenchMsgQueue()
{
    BenchSection("Message queue: post+get pairs per second");
    BenchPrint("%-32s %12s %16s %14s %10s\n", "mode", "VZ_MsgQueue", "mutex+cv+deque",
               "CS+sem+deque", "vs cv");
    const char* alpszModes[3] = { "1 producer + 1 consumer thread", "same, posted in batches of 64",
                                  "1 thread: post, then get" };
    for (int iMode = 0; iMode < 3; ++iMode)
    {
        RowResult rQueue = MeasureMode<VZ_MsgQueue>(iMode);
        RowResult rCv = MeasureMode<BaselineQueue>(iMode);
        RowResult rSem = MeasureMode<SemaphoreQueue>(iMode);
        char sz1[32], sz2[32], sz3[32];
        BenchPrint("%-32s %12s %16s %14s %9.3gx%s\n", alpszModes[iMode],
                   BenchRate(rQueue.dRate, sz1, sizeof(sz1)), BenchRate(rCv.dRate, sz2, sizeof(sz2)),
                   BenchRate(rSem.dRate, sz3, sizeof(sz3)), rQueue.dRate / rCv.dRate,
                   rQueue.bOk && rCv.bOk && rSem.bOk ? "" : "  WRONG MESSAGES!");
    }
}
