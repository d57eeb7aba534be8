#include "VZ_MemoryEx.h"
#include "CheckCapture.h"

#include <gtest/gtest.h>
#include <cstring>
#include <vector>

namespace {

// A pool on a clock the test moves by hand, starting at a frame boundary.
struct TestPool : VZ_MemoryEx {
    DWORD m_dwNow = 0x10000;
    TestPool() { RestartFrame(); }
    DWORD Now() override { return m_dwNow; }
    // iOps counted operations, then the first one of the next frame evaluates them.
    int RunFrame(int iOps, DWORD dwMs = 1024)
    {
        for (int i = 0; i < iOps; ++i)
            Free(NULL);
        m_dwNow += dwMs;
        Free(NULL);
        return GetLevel();
    }
};

} // namespace

// A damaged class index is reported where the block is taken from its list,
// appended to or freed, and such a block is never cached.
TEST(VZ_MemoryEx, SizeClassesAppendHeapOnlyBlocksAndDamagedIndex)
{
    TestPool pool;
    pool.RunFrame(1000);                        // caching on
    const UINT uiSizes[] = { 0, 64, 65, 65536, 65537 };
    const int iIndices[] = { 0, 0, 1, 10, MEMORYEX_MAX_TABLE };
    for (int i = 0; i < 5; ++i) {
        void* p = pool.Alloc(uiSizes[i]);
        ASSERT_TRUE(p != NULL);
        ASSERT_EQ(iIndices[i], VZ_MemoryEx::GetBlockIndex(p)) << uiSizes[i];
        EXPECT_EQ(0u, reinterpret_cast<ULONG_PTR>(p) % MEMORYEX_ALIGNMENT);   // 8 on 32-bit, 16 on 64-bit
        std::memset(p, 0xAB, uiSizes[i]);       // the whole size is usable
        pool.Free(p);
    }
    EXPECT_EQ(1, pool.GetCachedCount(0));       // not 2: Alloc(64) took the block Alloc(0) left
    EXPECT_EQ(1, pool.GetCachedCount(1));
    EXPECT_EQ(1, pool.GetCachedCount(10));      // not 2: the heap-only block is never cached

    // Append grows in place while the class has room, else into a new block
    // of the next class; the bytes themselves are the delivery tests' and the soak's.
    const char szData[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    void* p = pool.Alloc(100);                  // class 1, 128 bytes
    std::memset(p, 'x', 100);
    ASSERT_EQ(p, pool.Append(0, p, 100, szData, 20));
    void* q = pool.Append(0, p, 120, szData, 20);
    ASSERT_TRUE(q != p && VZ_MemoryEx::GetBlockIndex(q) == 2);
    EXPECT_TRUE(static_cast<char*>(q)[99] == 'x' && std::memcmp(static_cast<char*>(q) + 120, szData, 20) == 0);
    EXPECT_TRUE(pool.Append(0, q, 140, szData, 0) == q && pool.Append(0, NULL, 0, szData, 0) == NULL);
    pool.Free(q);
    void* r = pool.Append(4096, NULL, 0, szData, 10);   // room for the whole notice
    EXPECT_EQ(6, VZ_MemoryEx::GetBlockIndex(r));
    pool.Free(r);

    CheckCapture checks;
    p = pool.Alloc(10);
    pool.Free(p);
    ASSERT_EQ(1, pool.GetCachedCount(0));       // p stays pool memory while the test damages it
    int* lpIndex = static_cast<int*>(p) - 1;
    *lpIndex = 3;                               // damage the cached block's index
    ASSERT_EQ(p, pool.Alloc(10));
    *lpIndex = 12;
    pool.Free(pool.Append(0, p, 10, "abc", 3));
    EXPECT_EQ(1, pool.GetCachedCount(0));       // only the new block: the damaged one has no list
    EXPECT_EQ("p->index == index;p_old->index >= 0 && p_old->index <= MEMORYEX_MAX_TABLE;"
              "_p->index >= 0 && _p->index < MEMORYEX_MAX_TABLE;", checks.Conditions());
}

// Caching starts after a busy frame (frames aligned to 1024 ms); every new
// frame then trims the oldest blocks, faster once the level is down to 0.
TEST(VZ_MemoryEx, CachesAfterABusyAlignedFrameAndTrimsOldestFirst)
{
    TestPool pool;
    pool.Free(pool.Alloc(100));
    EXPECT_EQ(0, pool.GetCachedCount(1));       // level 0: back to the heap
    EXPECT_EQ(-1, pool.RunFrame(997));          // 999 counted
    EXPECT_EQ(-2, pool.RunFrame(999));          // the triggering operation is not counted
    pool.m_dwNow += 1023;                       // 0x10BFF: frames are aligned to 1024 ms,
    EXPECT_EQ(10, pool.RunFrame(1000));         // not measured from the last evaluation
    EXPECT_EQ(9, pool.RunFrame(0, 1));          // 0x11000: 1 ms later, but a new frame
    EXPECT_EQ(9, pool.RunFrame(0, 1023));       // 0x113FF: still that frame

    std::vector<void*> vecBlocks;
    for (int i = 0; i < 320; ++i)
        vecBlocks.push_back(pool.Alloc(i < 300 ? 64 : 1000));   // 300 in class 0, 20 in class 4
    for (void* p : vecBlocks)
        pool.Free(p);
    int n[2] = { 300, 20 };
    for (int iLevel = 8; iLevel >= -3; --iLevel) {
        EXPECT_EQ(iLevel, pool.RunFrame(0));
        for (int i = 0; i < 2; ++i) {
            n[i] -= (n[i] >> (iLevel > 0 ? 8 : 4)) + 1;     // busy 1/256 + 1, quiet 1/16 + 1
            ASSERT_EQ(n[i], pool.GetCachedCount(i * 4)) << iLevel;
        }
    }
    void* p = pool.Alloc(10);
    EXPECT_EQ(vecBlocks[300 - n[0]], p);        // the oldest went first
    pool.Free(p);
}
