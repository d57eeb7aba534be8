#include "VZ_MemoryEx.h"
#include "VZ_Assert.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A pool on a clock the test moves by hand, starting at a frame boundary.
class TestPool : public VZ_MemoryEx {
public:
    TestPool() : m_dwNow(0x10000) { RestartFrame(); }
    void Advance(DWORD dwMs) { m_dwNow += dwMs; }
    // iOps counted operations in the current frame, then the first operation
    // of the next frame evaluates them.
    void RunFrame(int iOps)
    {
        for (int i = 0; i < iOps; ++i)
            Free(NULL);
        Advance(1024);
        Free(NULL);
    }

protected:
    DWORD Now() override { return m_dwNow; }

private:
    DWORD m_dwNow;
};

std::vector<std::string> g_vecReports;

void CaptureReport(const char* lpszExpr, const char*, int)
{
    g_vecReports.push_back(lpszExpr);
}

} // namespace

TEST(VZ_MemoryEx, SizeClasses)
{
    TestPool pool;
    const UINT uiSizes[] = { 0, 64, 65, 65536, 65537 };
    const int iIndices[] = { 0, 0, 1, 10, MEMORYEX_MAX_TABLE };
    for (int i = 0; i < 5; ++i) {
        void* p = pool.Alloc(uiSizes[i]);
        ASSERT_TRUE(p != NULL);
        EXPECT_EQ(iIndices[i], VZ_MemoryEx::GetBlockIndex(p)) << uiSizes[i];
        EXPECT_EQ(0u, reinterpret_cast<ULONG_PTR>(p) % 16);
        std::memset(p, 0xAB, uiSizes[i]);   // the whole size is usable
        pool.Free(p);
    }
    EXPECT_EQ(65536u, pool.GetClassSize(10));
}

TEST(VZ_MemoryEx, CachesOnlyAfterABusyFrame)
{
    TestPool pool;
    pool.Free(pool.Alloc(100));
    EXPECT_EQ(0, pool.GetLevel());
    EXPECT_EQ(0, pool.GetCachedCount(1));       // level 0: back to the heap

    pool.RunFrame(997);                         // 999 in the first frame
    EXPECT_EQ(-1, pool.GetLevel());
    pool.RunFrame(999);                         // the triggering operation is not counted
    EXPECT_EQ(-2, pool.GetLevel());
    pool.RunFrame(1000);
    EXPECT_EQ(10, pool.GetLevel());

    void* p = pool.Alloc(100);
    pool.Free(p);
    EXPECT_EQ(1, pool.GetCachedCount(1));
    EXPECT_EQ(p, pool.Alloc(128));              // reused
    EXPECT_EQ(0, pool.GetCachedCount(1));
    pool.Free(p);
    pool.Free(pool.Alloc(70000));               // heap-only blocks are never cached
    EXPECT_EQ(1, pool.GetCachedCount(1));
}

TEST(VZ_MemoryEx, FramesAreAlignedTo1024)
{
    TestPool pool;
    pool.Advance(1023);                         // still the first frame
    pool.RunFrame(1000);                        // evaluated at 0x107FF
    EXPECT_EQ(10, pool.GetLevel());
    pool.Advance(1);                            // 1 ms later, but a new aligned frame
    pool.Free(NULL);
    EXPECT_EQ(9, pool.GetLevel());
    pool.Advance(1023);                         // 0x10BFF: same frame as 0x10800
    pool.Free(NULL);
    EXPECT_EQ(9, pool.GetLevel());
    pool.Advance(1);
    pool.Free(NULL);
    EXPECT_EQ(8, pool.GetLevel());
}

TEST(VZ_MemoryEx, TrimsOldestBlocksEveryFrame)
{
    TestPool pool;
    pool.RunFrame(1000);
    std::vector<void*> vecBlocks;
    for (int i = 0; i < 300; ++i)
        vecBlocks.push_back(pool.Alloc(64));
    for (int i = 0; i < 20; ++i)
        vecBlocks.push_back(pool.Alloc(1000));
    for (size_t i = 0; i < vecBlocks.size(); ++i)
        pool.Free(vecBlocks[i]);
    pool.Advance(1024);
    pool.Free(NULL);                            // evaluation (level 9) and trim by 1/256 + 1
    EXPECT_EQ(9, pool.GetLevel());
    EXPECT_EQ(298, pool.GetCachedCount(0));
    EXPECT_EQ(19, pool.GetCachedCount(4));
    EXPECT_EQ(vecBlocks[2], pool.Alloc(10));    // oldest blocks went first
    pool.Free(vecBlocks[2]);

    int n = 298;
    for (int iLevel = 8; iLevel >= -3; --iLevel) {
        pool.RunFrame(0);
        n -= (n >> (iLevel > 0 ? 8 : 4)) + 1;
        EXPECT_EQ(iLevel, pool.GetLevel());
        ASSERT_EQ(n, pool.GetCachedCount(0));
    }
    for (int i = 0; i < 300 && pool.GetCachedCount(0) > 0; ++i)
        pool.RunFrame(0);
    EXPECT_EQ(0, pool.GetCachedCount(0));       // an idle pool drains
    EXPECT_EQ(0, pool.GetCachedCount(4));
}

TEST(VZ_MemoryEx, Append)
{
    TestPool pool;
    char szData[64];
    for (int i = 0; i < 64; ++i)
        szData[i] = static_cast<char>('A' + i % 26);

    void* p = pool.Alloc(100);                  // class 1, 128 bytes
    std::memset(p, 'x', 100);
    EXPECT_EQ(p, pool.Append(0, p, 100, szData, 20));
    void* q = pool.Append(0, p, 120, szData, 20);
    ASSERT_NE(p, q);
    EXPECT_EQ(2, VZ_MemoryEx::GetBlockIndex(q));
    EXPECT_EQ(0, std::memcmp(static_cast<char*>(q) + 120, szData, 20));
    EXPECT_EQ('x', static_cast<char*>(q)[99]);
    EXPECT_EQ(q, pool.Append(0, q, 140, szData, 0));
    pool.Free(q);

    void* r = pool.Append(4096, NULL, 0, szData, 10);
    EXPECT_EQ(6, VZ_MemoryEx::GetBlockIndex(r));
    EXPECT_EQ(0, std::memcmp(r, szData, 10));
    void* s = pool.Append(0, r, 10, szData, 64);        // room left: same block
    EXPECT_EQ(r, s);
    EXPECT_EQ(NULL, pool.Append(0, NULL, 0, szData, 0));
    pool.Free(s);
}

TEST(VZ_MemoryEx, ReportsDamagedBlocks)
{
    VZ_AssertHandler lpOld = VZ_SetAssertHandler(CaptureReport);
    g_vecReports.clear();
    {
        TestPool pool;
        pool.RunFrame(1000);
        void* p = pool.Alloc(10);
        pool.Free(p);
        int* lpIndex = static_cast<int*>(p) - 1;
        *lpIndex = 3;                           // damage the cached block's index
        EXPECT_EQ(p, pool.Alloc(10));
        *lpIndex = 12;
        pool.Free(pool.Append(0, p, 10, "abc", 3));
        EXPECT_EQ(1, pool.GetCachedCount(0));   // only the new block: the damaged one has no list
    }
    VZ_SetAssertHandler(lpOld);
    ASSERT_EQ(3u, g_vecReports.size());
    EXPECT_EQ("p->index == index", g_vecReports[0]);
    EXPECT_EQ("p_old->index >= 0 && p_old->index <= MEMORYEX_MAX_TABLE", g_vecReports[1]);
    EXPECT_EQ("_p->index >= 0 && _p->index < MEMORYEX_MAX_TABLE", g_vecReports[2]);
}
