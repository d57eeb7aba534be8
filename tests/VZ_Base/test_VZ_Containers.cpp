// Block allocation, hashing, walk order and growth of the base containers.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VZ_Array.h"
#include "VZ_List.h"
#include "VZ_Map.h"

namespace {

// Counts live instances, to check that every element is destroyed once.
struct Counted {
    static inline int s_iLive = 0;
    int iValue = 0;
    Counted() { s_iLive++; }
    Counted(const Counted& o) : iValue(o.iValue) { s_iLive++; }
    Counted& operator=(const Counted& o) = default;
    ~Counted() { s_iLive--; iValue = -1; }
};

// What fn prints, each hash-chain warning shortened to "W".
template<class FN> std::string Printed(FN fn)
{
    const std::string strWarning = "warning: unreasonable hash key!\r\n";
    testing::internal::CaptureStdout();
    fn();
    std::string strOut = testing::internal::GetCapturedStdout();
    for (size_t i; (i = strOut.find(strWarning)) != std::string::npos;)
        strOut.replace(i, strWarning.size(), "W");
    return strOut;
}

} // namespace

TEST(VZ_Map, BucketIndexRuleAndReuseAfterEmptying)
{
    VZ_Map<int, int, int, int> map;
    UINT uiBucket = 99;
    EXPECT_EQ(NULL, map.GetEntry(-1, uiBucket));   // no bucket array yet
    EXPECT_EQ(0xFFFFFFFFu % 17, uiBucket);         // key taken as unsigned 32-bit
    map[5] = 50;
    map.SetAt(22, 220);   // same bucket as 5
    int iValue = 0;
    EXPECT_TRUE(map.Lookup(22, iValue) && iValue == 220 && *map.PLookup(5) == 50 && !map.Lookup(39));   // 39: same bucket
    EXPECT_EQ(5u, map.GetEntry(22, uiBucket)->uiBucket);
    EXPECT_TRUE(map.RemoveKey(5) && !map.RemoveKey(5) && map.GetCount() == 1);
    EXPECT_EQ(0, map[39]);   // 5's freed entry, value-initialised again
    map.RemoveKey(39);

    // Emptied: buckets and blocks go back, the bucket count stays.
    EXPECT_TRUE(map.RemoveKey(22) && map.GetStartPosition() == NULL && map.GetEntry(40, uiBucket) == NULL);
    EXPECT_EQ(40u % 17, uiBucket);
    map[40] = 1;
    map[41] = 2;
    // A kept free list would hand out 22's entry, then 5's (descending); a
    // fresh block hands them out in ascending address order.
    EXPECT_LT((void*)map.PLookup(40), (void*)map.PLookup(41));
}

// Every chain walk counts its visits: insertion i into one bucket walks i
// entries (1 + 2 + ... + 9 warnings for 40), a lookup of the first one all 40.
TEST(VZ_Map, LongChainPrintsOneWarningPerVisitAboveThirty)
{
    VZ_Map<unsigned, unsigned, int, int> map;
    EXPECT_EQ(std::string(45, 'W'), Printed([&] { for (unsigned i = 0; i < 40; i++) map[i * 17] = (int)i; }));
    EXPECT_EQ(std::string(10, 'W'), Printed([&] { EXPECT_TRUE(map.Lookup(0)); }));
}

TEST(VZ_Map, WalkVisitsBucketsAscendingNewestFirstAndValuesLiveOnce)
{
    VZ_LckMap<unsigned, unsigned, int, int> map;
    for (unsigned uiKey : {18u, 5u, 1u, 35u, 2u})
        map[uiKey] = (int)uiKey * 10;
    VZ_AutoLock guard(&map);
    std::vector<unsigned> vecOrder;
    unsigned uiKey = 0;
    for (VZ_POSITION pos = map.GetStartPosition(); pos != NULL && vecOrder.size() < 10;) {
        int iValue = 0;
        map.GetNextAssoc(pos, uiKey, iValue);
        EXPECT_EQ((int)uiKey * 10, iValue);
        vecOrder.push_back(uiKey);
    }
    EXPECT_EQ((std::vector<unsigned>{35, 1, 18, 2, 5}), vecOrder);
    VZ_POSITION pos = map.GetStartPosition();
    *map.GetNextValue(pos, &uiKey) = 7;
    EXPECT_TRUE(uiKey == 35 && map[35] == 7 && map.GetNextValue(pos) == map.PLookup(1));
    {   // values are constructed and destroyed once, the last ones by the destructor
        VZ_Map<unsigned, unsigned, Counted, const Counted&> mapC;
        for (unsigned i = 0; i < 30; i++)   // three blocks of 10
            mapC[i].iValue = (int)i;
        mapC.RemoveKey(4);
        EXPECT_EQ(29, Counted::s_iLive);
        mapC.RemoveAll();
        EXPECT_EQ(0, Counted::s_iLive);
        mapC[1];
    }
    EXPECT_EQ(0, Counted::s_iLive);
}

TEST(VZ_List, LinksBlocksAndCopies)
{
    VZ_LckList<int, int> list(2);
    VZ_AutoLock guard(&list);
    list.AddHead(1);   // into the empty list: also its tail
    for (int i = 2; i <= 5; i++)
        list.AddTail(i);
    list.AddHead(0);
    EXPECT_TRUE(list.RemoveHead() == 0 && list.RemoveTail() == 5);
    VZ_POSITION pos = list.GetHeadPosition();
    list.GetNext(pos);
    list.RemoveAt(pos);   // the 2
    list.RemoveAt(NULL);
    std::vector<int> vecWalk;
    for (pos = list.GetHeadPosition(); pos != NULL && vecWalk.size() < 10;)
        vecWalk.push_back(list.GetNext(pos));
    for (pos = list.GetTailPosition(); pos != NULL && vecWalk.size() < 10;)
        vecWalk.push_back(list.GetPrev(pos));
    EXPECT_TRUE((vecWalk == std::vector<int>{1, 3, 4, 4, 3, 1}) && list.GetCount() == 3);

    // Nodes come in address order within a block; a freed node is reused first.
    list.RemoveAll();
    VZ_POSITION posA = list.AddTail(1), posB = list.AddTail(2);
    EXPECT_LT((void*)posA, (void*)posB);
    list.RemoveTail();
    EXPECT_EQ(posB, list.AddTail(3));
    // Removing from the head leaves the free list descending; the emptied
    // list frees its blocks instead and starts over in address order.
    list.RemoveHead();
    list.RemoveHead();
    posA = list.AddTail(5);
    EXPECT_LT((void*)posA, (void*)list.AddTail(6));
    {
        VZ_List<Counted, const Counted&> listC;
        for (int i = 0; i < 12; i++)
            listC.AddTail(Counted());
        listC.RemoveHead();
        VZ_List<Counted, const Counted&> copy(listC), &rSame = copy;
        copy = rSame;   // self-assignment keeps the elements
        listC = copy;
        EXPECT_EQ(22, Counted::s_iLive);
    }
    EXPECT_EQ(0, Counted::s_iLive);
}

TEST(VZ_Array, GrowthRuleZeroFillAndElementLifetimes)
{
    VZ_LckArray<int, int> arr;
    EXPECT_TRUE(arr.Add(7) == 0 && arr.GetCapacity() == 1);   // first allocation is exact
    const struct { int nSize, nGrowBy, nCapacity; } aSteps[] = {
        {2, -1, 5},              // 1 + minimum step 4
        {0, -1, 0}, {16, -1, 16}, {17, -1, 20},
        {100, -1, 100},          // beyond capacity + step: exactly the size
        {101, -1, 112},          // step 100 / 8
        {0, -1, 0}, {16000, -1, 16000}, {16001, -1, 17024},   // step capped at 1024
        {0, -1, 0}, {5, 3, 5}, {6, -1, 8}, {9, -1, 11}};      // a fixed grow-by stays
    for (const auto& s : aSteps) {
        arr.SetSize(s.nSize, s.nGrowBy);
        EXPECT_TRUE(arr.GetSize() == s.nSize && arr.GetCapacity() == s.nCapacity) << "size " << s.nSize;
    }
    for (int i = 0; i < 9; i++)
        arr[i] = i + 1;
    arr.SetSize(2);
    arr.SetSize(5);   // grown again within the capacity: zeroed
    arr.RemoveAt(0);
    EXPECT_EQ((std::vector<int>{2, 0, 0, 0}), std::vector<int>(arr.GetData(), arr.GetData() + arr.GetSize()));
    {   // Counted elements are constructed, copied and destroyed exactly once.
        VZ_Array<Counted> counted;
        counted.SetSize(1);
        counted[0].iValue = 5;
        counted.Add(counted[0]);   // an element of the very data that growth frees
        counted.SetSize(30);
        counted.SetSize(10);
        EXPECT_TRUE(counted[1].iValue == 5 && Counted::s_iLive == 10);
    }
    EXPECT_EQ(0, Counted::s_iLive);
}
