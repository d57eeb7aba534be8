// Memory pool: Alloc/Free pairs per second in the pool's busy regime, next to
// the process heap and the C runtime's malloc, on one fixed sequence of mixed
// sizes from 64 B to 64 KiB.
#include "bench_util.h"

#include "VZ_MemoryEx.h"

#include <mmsystem.h>
#include <stdlib.h>

#include <atomic>
#include <thread>

namespace {

const int RING_SIZE = 64;       // live blocks per thread, freed oldest first
const int SIZE_COUNT = 4096;    // length of the size sequence (a power of two)
const int MAX_THREADS = 2;

UINT s_auiSizes[SIZE_COUNT];

// Sizes spread evenly over the pool's eleven classes 64 .. 65536, each at a
// random point of its class: same sequence in every run and for every allocator.
void MakeSizes()
{
    unsigned int uiSeed = 12345;
    for (int i = 0; i < SIZE_COUNT; ++i)
    {
        uiSeed = uiSeed * 1103515245u + 12345u;
        unsigned int uiRand = uiSeed >> 8;
        int iClass = int(uiRand % 11);
        UINT uiTop = 64u << iClass;
        s_auiSizes[i] = iClass == 0 ? 64u : uiTop - (uiRand / 11) % (uiTop / 2);
    }
}

struct PoolAllocator
{
    VZ_MemoryEx* lpPool;
    void* Alloc(UINT uiSize) { return lpPool->Alloc(uiSize); }
    void Free(void* p) { lpPool->Free(p); }
};

struct HeapAllocator
{
    HANDLE hHeap;
    void* Alloc(UINT uiSize) { return HeapAlloc(hHeap, 0, uiSize); }
    void Free(void* p) { HeapFree(hHeap, 0, p); }
};

struct MallocAllocator
{
    void* Alloc(UINT uiSize) { return malloc(uiSize); }
    void Free(void* p) { free(p); }
};

// One thread's working set: a ring of live blocks; every step frees the
// oldest block and allocates the next size of the sequence in its place.
// Each block is written and read once, as a real user would touch it.
template<class ALLOC>
class Ring
{
public:
    Ring(ALLOC& a, int iStart) : m_a(a), m_iNext(iStart), m_uiCheck(0)
    {
        for (int i = 0; i < RING_SIZE; ++i)
            m_ap[i] = NewBlock();
    }
    ~Ring()
    {
        for (int i = 0; i < RING_SIZE; ++i)
            m_a.Free(m_ap[i]);
    }
    void Steps(int iCount)
    {
        for (int i = 0; i < iCount; ++i)
        {
            void*& p = m_ap[i & (RING_SIZE - 1)];
            m_uiCheck += *static_cast<unsigned char*>(p);
            m_a.Free(p);
            p = NewBlock();
        }
    }
    unsigned int Check() const { return m_uiCheck; }

private:
    void* NewBlock()
    {
        void* p = m_a.Alloc(s_auiSizes[m_iNext & (SIZE_COUNT - 1)]);
        *static_cast<unsigned char*>(p) = static_cast<unsigned char>(m_iNext);
        ++m_iNext;
        return p;
    }

    ALLOC& m_a;
    int m_iNext;
    unsigned int m_uiCheck;
    void* m_ap[RING_SIZE];
};

std::atomic<unsigned int> s_uiSink(0);   // keeps the touches from being optimised away

// Runs iPairs steps on each of iThreads threads, all started together;
// returns the pairs per second over all threads.
template<class ALLOC>
double MeasurePairs(ALLOC& a, int iThreads, int iPairs)
{
    std::atomic<int> iReady(0);
    std::atomic<bool> bGo(false);
    LONGLONG allEnd[MAX_THREADS] = { 0, 0 };
    std::thread threads[MAX_THREADS];
    for (int t = 0; t < iThreads; ++t)
    {
        threads[t] = std::thread([&, t]() {
            Ring<ALLOC> ring(a, t * 1031);   // each thread at its own place in the sequence
            ++iReady;
            while (!bGo.load())
                std::this_thread::yield();
            ring.Steps(iPairs);
            allEnd[t] = BenchClock::Now();
            s_uiSink += ring.Check();
        });
    }
    while (iReady.load() < iThreads)
        std::this_thread::yield();
    LONGLONG llStart = BenchClock::Now();
    bGo = true;
    LONGLONG llEnd = llStart;
    for (int t = 0; t < iThreads; ++t)
    {
        threads[t].join();
        if (allEnd[t] > llEnd)
            llEnd = allEnd[t];
    }
    return double(iPairs) * iThreads / BenchClock::Seconds(llStart, llEnd);
}

// A pilot run sizes the timed run to about ROW_SECONDS.
const double ROW_SECONDS = 1.0;
const int PILOT_PAIRS = 20000;

template<class ALLOC>
double TimedPairs(ALLOC& a, int iThreads)
{
    double dPilot = MeasurePairs(a, iThreads, PILOT_PAIRS);
    return MeasurePairs(a, iThreads, BenchPlanCount(dPilot / iThreads, ROW_SECONDS, PILOT_PAIRS));
}

// Brings the pool into its busy regime: operates until the pool has seen a
// 1024-ms frame of the millisecond clock with 1000 or more operations and
// has turned caching on (bounded, in case it never does).
bool WarmUp(VZ_MemoryEx& pool)
{
    PoolAllocator a = { &pool };
    Ring<PoolAllocator> ring(a, 0);
    DWORD dwStart = timeGetTime();
    while (pool.GetLevel() <= 0 && timeGetTime() - dwStart < 5000)
        ring.Steps(64);
    s_uiSink += ring.Check();
    return pool.GetLevel() > 0;
}

}   // namespace

void BenchMemory()
{
    MakeSizes();
    BenchSection("Memory pool: Alloc+Free pairs per second, sizes 64 B .. 64 KiB, 64 live blocks per thread");
    BenchPrint("%-8s %14s %16s %14s %10s %10s\n", "threads", "VZ_MemoryEx", "HeapAlloc/Free",
               "malloc/free", "vs heap", "vs malloc");
    VZ_MemoryEx pool;
    LONGLONG llWarm = BenchClock::Now();
    bool bBusy = WarmUp(pool);
    BenchPrint("(pool %s its busy regime after %.0f ms of warm-up)\n", bBusy ? "reached" : "did NOT reach",
               BenchClock::Millis(llWarm, BenchClock::Now()));

    PoolAllocator aPool = { &pool };
    HeapAllocator aHeap = { GetProcessHeap() };
    MallocAllocator aMalloc;
    for (int iThreads = 1; iThreads <= MAX_THREADS; ++iThreads)
    {
        // The pool is measured first, right after its busy frames.
        double dPool = TimedPairs(aPool, iThreads);
        if (pool.GetLevel() <= 0)
            BenchPrint("(the pool was not caching at the end of this run)\n");
        double dHeap = TimedPairs(aHeap, iThreads);
        double dMalloc = TimedPairs(aMalloc, iThreads);
        char sz1[32], sz2[32], sz3[32];
        BenchPrint("%-8d %14s %16s %14s %9.3gx %9.3gx\n", iThreads,
                   BenchRate(dPool, sz1, sizeof(sz1)), BenchRate(dHeap, sz2, sizeof(sz2)),
                   BenchRate(dMalloc, sz3, sizeof(sz3)), dPool / dHeap, dPool / dMalloc);
    }
}
