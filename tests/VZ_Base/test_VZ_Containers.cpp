// Block allocation, hashing, walk order and growth of the base containers.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VZ_Array.h"
#include "VZ_Assert.h"
#include "VZ_List.h"
#include "VZ_Map.h"
#include "VZ_Plex.h"

namespace {

std::vector<std::string> g_vecReports;

void RecordReport(const char* lpszExpr, const char*, int)
{
    g_vecReports.push_back(lpszExpr);
}

// Counts live instances, to check that every element is destroyed once.
struct Counted
{
    static int s_iLive;
    int iValue;
    Counted() : iValue(0) { s_iLive++; }
    Counted(const Counted& o) : iValue(o.iValue) { s_iLive++; }
    Counted& operator=(const Counted& o) { iValue = o.iValue; return *this; }
    ~Counted() { s_iLive--; iValue = -1; }
};
int Counted::s_iLive = 0;

struct Record
{
    int iState;
    char szName[12];
    VZ_List<int, int> listSend;
};

int CountWarnings(const std::string& strOut)
{
    const std::string strLine = "warning: unreasonable hash key!\r\n";
    int n = 0;
    for (size_t i = strOut.find(strLine); i != std::string::npos; i = strOut.find(strLine, i + 1))
        n++;
    return n;
}

} // namespace

TEST(VZ_Plex, ChainLinksAtFrontAndReportsEmptyBlocks)
{
    VZ_Plex* lpHead = NULL;
    VZ_Plex* lpFirst = VZ_Plex::Create(lpHead, 4, 8);
    VZ_Plex* lpSecond = VZ_Plex::Create(lpHead, 4, 8);
    EXPECT_EQ(lpSecond, lpHead);
    EXPECT_EQ(lpFirst, lpSecond->lpNext);
    EXPECT_EQ(NULL, lpFirst->lpNext);

    g_vecReports.clear();
    VZ_AssertHandler lpOld = VZ_SetAssertHandler(RecordReport);
    VZ_Plex::Create(lpHead, 0, 8);   // reported, then allocated anyway
    VZ_SetAssertHandler(lpOld);
    ASSERT_EQ(1u, g_vecReports.size());
    EXPECT_EQ("nMax > 0 && cbElement > 0", g_vecReports[0]);
    EXPECT_EQ(lpSecond, lpHead->lpNext);
    lpHead->FreeDataChain();
}

TEST(VZ_Map, BucketIndexRuleAndReuseAfterEmptying)
{
    VZ_Map<int, int, int, int> map;
    UINT uiBucket = 99;
    EXPECT_EQ(17u, map.GetHashTableSize());
    EXPECT_EQ(NULL, map.GetEntry(-1, uiBucket));   // no bucket array yet
    EXPECT_EQ(0xFFFFFFFFu % 17, uiBucket);         // key taken as unsigned 32-bit

    map[5] = 50;
    map.SetAt(22, 220);   // same bucket as 5
    EXPECT_EQ(2, map.GetCount());
    int iValue = 0;
    EXPECT_TRUE(map.Lookup(22, iValue));
    EXPECT_EQ(220, iValue);
    EXPECT_FALSE(map.Lookup(39));
    EXPECT_EQ(5u, map.GetEntry(22, uiBucket)->uiBucket);

    EXPECT_TRUE(map.RemoveKey(5));
    EXPECT_FALSE(map.RemoveKey(5));
    EXPECT_TRUE(map.RemoveKey(22));   // back to empty: buckets freed, size kept
    EXPECT_TRUE(map.IsEmpty());
    EXPECT_EQ(NULL, map.GetStartPosition());
    EXPECT_EQ(NULL, map.GetEntry(40, uiBucket));
    EXPECT_EQ(40u % 17, uiBucket);
    EXPECT_EQ(17u, map.GetHashTableSize());
    map[40] = 1;
    EXPECT_EQ(1, *map.PLookup(40));
    EXPECT_EQ(NULL, map.PLookup(41));

    VZ_Map<unsigned short, unsigned short, unsigned short, unsigned short> map16;
    map16.InitHashTable(7);
    map16[0xFFFF] = 1;
    EXPECT_EQ(0xFFFFu % 7, map16.GetEntry(0xFFFF, uiBucket)->uiBucket);
}

TEST(VZ_Map, EmptyingResetsTheFreeList)
{
    // Freed entries are reused newest first; after the map empties, a fresh
    // block hands entries out in ascending address order again.
    VZ_Map<unsigned, unsigned, int, int> map(2);
    map[1] = 1;
    map[2] = 2;
    map.RemoveKey(1);
    map.RemoveKey(2);   // a kept free list would now hand out 2's entry first
    map[4] = 4;
    map[5] = 5;
    EXPECT_LT((void*)map.PLookup(4), (void*)map.PLookup(5));
}

TEST(VZ_Map, LongChainPrintsOneWarningPerVisitAboveThirty)
{
    VZ_Map<unsigned, unsigned, int, int> map;
    testing::internal::CaptureStdout();
    for (unsigned i = 0; i < 40; i++)
        map[i * 17] = (int)i;   // all in bucket 0; insertion i walks i entries
    EXPECT_EQ(45, CountWarnings(testing::internal::GetCapturedStdout()));

    testing::internal::CaptureStdout();
    int iValue = -1;
    bool bFound = map.Lookup(0, iValue);   // first inserted: end of the chain
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(bFound);
    EXPECT_EQ(0, iValue);
    EXPECT_EQ(10, CountWarnings(strOut));

    testing::internal::CaptureStdout();
    bFound = map.Lookup(40 * 17);
    strOut = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(bFound);
    EXPECT_EQ(10, CountWarnings(strOut));

    testing::internal::CaptureStdout();
    map.Lookup(39 * 17);   // chain head: one visit
    map.Lookup(1);         // other bucket, empty
    EXPECT_EQ(0, CountWarnings(testing::internal::GetCapturedStdout()));
}

TEST(VZ_Map, WalkVisitsBucketsAscendingNewestFirst)
{
    VZ_LckMap<unsigned, unsigned, int, int> map;
    const unsigned auiKeys[] = {18, 5, 1, 35, 2};
    for (unsigned uiKey : auiKeys)
        map[uiKey] = (int)uiKey * 10;

    std::vector<unsigned> vecOrder;
    VZ_AutoLock guard(&map);
    VZ_POSITION pos = map.GetStartPosition();
    for (int i = 0; pos != NULL && i < 10; i++)
    {
        unsigned uiKey = 0;
        int iValue = 0;
        map.GetNextAssoc(pos, uiKey, iValue);
        EXPECT_EQ((int)uiKey * 10, iValue);
        vecOrder.push_back(uiKey);
    }
    EXPECT_EQ((std::vector<unsigned>{35, 1, 18, 2, 5}), vecOrder);

    pos = map.GetStartPosition();
    unsigned uiKey = 0;
    *map.GetNextValue(pos, &uiKey) = 7;
    EXPECT_EQ(35u, uiKey);
    EXPECT_EQ(7, map[35]);
}

TEST(VZ_Map, ValuesAreZeroFilledConstructedAndDestroyed)
{
    {
        VZ_Map<unsigned, unsigned, Record, const Record&> map;
        Record& rec = map[3];
        EXPECT_EQ(0, rec.iState);
        EXPECT_EQ(std::string(), rec.szName);
        EXPECT_TRUE(rec.listSend.IsEmpty());
        for (int i = 0; i < 25; i++)   // beyond one block of 10
            rec.listSend.AddTail(i);
        Record copy;
        EXPECT_TRUE(map.Lookup(3, copy));
        EXPECT_EQ(25, copy.listSend.GetCount());
        EXPECT_EQ(24, copy.listSend.GetTail());
        map.RemoveKey(3);
    }
    {
        VZ_Map<unsigned, unsigned, Counted, const Counted&> map;
        for (unsigned i = 0; i < 30; i++)
            map[i].iValue = (int)i;
        map.RemoveKey(4);
        EXPECT_EQ(29, Counted::s_iLive);
        map.RemoveAll();
        EXPECT_EQ(0, Counted::s_iLive);
        map[1];
        map[2];
    }
    EXPECT_EQ(0, Counted::s_iLive);
}

TEST(VZ_List, AddRemoveAndIterate)
{
    VZ_LckList<int, int> list;
    VZ_AutoLock guard(&list);
    for (int i = 1; i <= 5; i++)
        list.AddTail(i);
    list.AddHead(0);
    EXPECT_EQ(0, list.RemoveHead());
    EXPECT_EQ(5, list.RemoveTail());

    VZ_POSITION pos = list.GetHeadPosition();
    list.GetNext(pos);
    list.RemoveAt(pos);   // the 2
    list.RemoveAt(NULL);

    std::vector<int> vecForward;
    for (pos = list.GetHeadPosition(); pos != NULL && vecForward.size() < 10;)
        vecForward.push_back(list.GetNext(pos));
    EXPECT_EQ((std::vector<int>{1, 3, 4}), vecForward);
    std::vector<int> vecBackward;
    for (pos = list.GetTailPosition(); pos != NULL && vecBackward.size() < 10;)
        vecBackward.push_back(list.GetPrev(pos));
    EXPECT_EQ((std::vector<int>{4, 3, 1}), vecBackward);
    EXPECT_EQ(1, list.GetHead());
    EXPECT_EQ(4, list.GetTail());
    EXPECT_EQ(3, list.GetCount());
}

TEST(VZ_List, NodesInAddressOrderAndFreshBlocksAfterEmptying)
{
    VZ_List<int, int> list(2);
    VZ_POSITION posA = list.AddTail(1);
    VZ_POSITION posB = list.AddTail(2);
    VZ_POSITION posC = list.AddTail(3);   // second block
    EXPECT_LT((void*)posA, (void*)posB);
    list.RemoveTail();
    EXPECT_EQ(posC, list.AddTail(4));   // freed node reused first

    // Removing head first would leave the free list in descending order; the
    // emptied list frees its blocks instead and starts over in address order.
    list.RemoveAll();
    list.AddTail(1);
    list.AddTail(2);
    list.RemoveHead();
    list.RemoveHead();
    VZ_POSITION posX = list.AddTail(5);
    VZ_POSITION posY = list.AddTail(6);
    EXPECT_LT((void*)posX, (void*)posY);
}

TEST(VZ_List, ElementsAreCopiedAndDestroyed)
{
    {
        VZ_List<Counted, const Counted&> list;
        Counted c;
        for (c.iValue = 0; c.iValue < 12; c.iValue++)
            list.AddTail(c);
        EXPECT_EQ(0, list.RemoveHead().iValue);
        VZ_List<Counted, const Counted&> copy(list);
        VZ_List<Counted, const Counted&>& rSame = copy;
        copy = rSame;
        list = copy;
        EXPECT_EQ(1, list.GetHead().iValue);
        EXPECT_EQ(11, copy.GetTail().iValue);
        EXPECT_EQ(23, Counted::s_iLive);
    }
    EXPECT_EQ(0, Counted::s_iLive);
}

TEST(VZ_Array, GrowthRule)
{
    VZ_Array<int, int> arr;
    EXPECT_EQ(0, arr.Add(7));
    EXPECT_EQ(1, arr.GetCapacity());   // first allocation is exact
    arr.Add(8);
    EXPECT_EQ(5, arr.GetCapacity());   // 1 + minimum step 4

    arr.RemoveAll();
    EXPECT_EQ(0, arr.GetCapacity());
    arr.SetSize(16);
    arr.Add(1);
    EXPECT_EQ(20, arr.GetCapacity());
    arr.SetSize(100);   // beyond capacity + step: exactly the size
    EXPECT_EQ(100, arr.GetCapacity());
    arr.SetSize(101);
    EXPECT_EQ(112, arr.GetCapacity());   // step 100 / 8

    VZ_LckArray<unsigned, unsigned> big;
    big.SetSize(16000);
    big.Add(1);
    EXPECT_EQ(17024, big.GetCapacity());   // step capped at 1024

    VZ_Array<int, int> fixed;
    fixed.SetSize(5, 3);
    fixed.Add(1);
    EXPECT_EQ(8, fixed.GetCapacity());
    fixed.SetSize(9, -1);   // -1 keeps the grow-by of 3
    EXPECT_EQ(11, fixed.GetCapacity());
}

TEST(VZ_Array, NewElementsAreZeroAndSurviveGrowth)
{
    VZ_Array<int, int> arr;
    for (int i = 0; i < 5; i++)
        arr.Add(i + 1);
    arr.SetSize(2);
    arr.SetSize(5);
    EXPECT_EQ(2, arr[1]);
    EXPECT_EQ(0, arr.GetAt(2));
    EXPECT_EQ(0, arr[4]);
    arr.RemoveAt(0);
    EXPECT_EQ(2, arr.GetData()[0]);
    EXPECT_EQ(4, arr.GetSize());

    {
        VZ_Array<Record> recs;
        recs.SetSize(1);
        recs[0].listSend.AddTail(42);
        for (int i = 0; i < 40; i++)
            recs.Add(recs[0]);
        EXPECT_EQ(42, recs[0].listSend.GetHead());
        EXPECT_EQ(42, recs[40].listSend.GetHead());
        EXPECT_EQ(0, recs[40].iState);

        VZ_Array<Counted> counted;
        counted.SetSize(30);
        counted.SetSize(10);
        EXPECT_EQ(10, Counted::s_iLive);
        VZ_Array<Counted> full;
        full.SetSize(1);
        full[0].iValue = 5;
        full.Add(full[0]);   // an element of the very data that growth frees
        EXPECT_EQ(5, full[1].iValue);
    }
    EXPECT_EQ(0, Counted::s_iLive);
}
