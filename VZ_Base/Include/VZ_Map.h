// Hash map with entries from VZ_Plex blocks, and its locked variant.
#pragma once

#include <stdio.h>
#include <string.h>
#include <new>

#include "VZ_Assert.h"
#include "VZ_Locker.h"
#include "VZ_Plex.h"

// Key hash: an integral key as an unsigned 32-bit number. A key type of one's
// own provides an overload `UINT VZ_HashKey(const MyKey&)` (found by
// argument-dependent lookup) and operator==.
template<class ARG_KEY>
inline UINT VZ_HashKey(ARG_KEY key)
{
    return (UINT)(ULONG_PTR)key;
}

inline UINT VZ_HashKey(unsigned short usKey)
{
    return (UINT)(usKey & 0xFFFF);
}

// One visit of a hash chain walk: a chain longer than 30 means a poor key
// distribution, reported on every further visit. Shared by every chain walk.
inline void VZ_CountChainVisit(int& iVisited)
{
    if (++iVisited > 30)
        printf("warning: unreasonable hash key!\r\n");
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE = const VALUE&>
class VZ_Map
{
public:
    struct ENTRY
    {
        ENTRY* lpNext;     // next entry of the bucket chain
        UINT uiBucket;     // bucket index computed at insertion
        KEY key;
        VALUE value;
    };

    explicit VZ_Map(int nBlockSize = 10);
    ~VZ_Map();

    void InitHashTable(UINT nHashSize);   // call while empty
    UINT GetHashTableSize() const { return m_uiHashTableSize; }
    int GetCount() const { return m_iCount; }
    bool IsEmpty() const { return m_iCount == 0; }

    bool Lookup(ARG_KEY key) const;
    bool Lookup(ARG_KEY key, VALUE& rValue) const;
    VALUE* PLookup(ARG_KEY key);
    VALUE& operator[](ARG_KEY key);   // inserts a zero-filled value when absent
    void SetAt(ARG_KEY key, ARG_VALUE newValue);
    bool RemoveKey(ARG_KEY key);
    void RemoveAll();

    // Walk: buckets in ascending order, each chain from its head (the newest
    // entry of a bucket first). No insertion or removal during a walk.
    VZ_POSITION GetStartPosition() const;
    void GetNextAssoc(VZ_POSITION& rPos, KEY& rKey, VALUE& rValue) const;
    VALUE* GetNextValue(VZ_POSITION& rPos, KEY* lpKey = NULL);

    // Stores the key's bucket index in uiBucket (even when no bucket array is
    // allocated) and returns the entry with that key, or NULL.
    ENTRY* GetEntry(ARG_KEY key, UINT& uiBucket) const;

private:
    VZ_Map(const VZ_Map&) = delete;
    VZ_Map& operator=(const VZ_Map&) = delete;

    ENTRY* NewEntry(ARG_KEY key, UINT uiBucket);
    void FreeEntry(ENTRY* lpEntry);
    ENTRY* FirstEntryFrom(UINT uiBucket) const;

    ENTRY** m_lpHashTable;      // NULL until the first insertion
    UINT m_uiHashTableSize;
    int m_iCount;
    ENTRY* m_lpFreeList;
    VZ_Plex* m_lpBlocks;
    int m_iBlockSize;
};

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::VZ_Map(int nBlockSize)
    : m_lpHashTable(NULL), m_uiHashTableSize(17), m_iCount(0),
      m_lpFreeList(NULL), m_lpBlocks(NULL), m_iBlockSize(nBlockSize)
{
    static_assert(alignof(ENTRY) <= alignof(VZ_Plex), "entry alignment exceeds the block header's");
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::~VZ_Map()
{
    RemoveAll();
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
void VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::InitHashTable(UINT nHashSize)
{
    VZ_ASSERT(m_iCount == 0);
    VZ_ASSERT(nHashSize > 0);
    delete[] m_lpHashTable;
    m_lpHashTable = new ENTRY*[nHashSize]();
    m_uiHashTableSize = nHashSize;
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
typename VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::ENTRY*
VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::GetEntry(ARG_KEY key, UINT& uiBucket) const
{
    uiBucket = VZ_HashKey(key) % m_uiHashTableSize;
    if (m_lpHashTable == NULL)
        return NULL;
    int iVisited = 0;
    for (ENTRY* p = m_lpHashTable[uiBucket]; p != NULL; p = p->lpNext)
    {
        VZ_CountChainVisit(iVisited);
        if (p->key == key)
            return p;
    }
    return NULL;
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
bool VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::Lookup(ARG_KEY key) const
{
    UINT uiBucket;
    return GetEntry(key, uiBucket) != NULL;
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
bool VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::Lookup(ARG_KEY key, VALUE& rValue) const
{
    UINT uiBucket;
    ENTRY* p = GetEntry(key, uiBucket);
    if (p == NULL)
        return false;
    rValue = p->value;
    return true;
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
VALUE* VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::PLookup(ARG_KEY key)
{
    UINT uiBucket;
    ENTRY* p = GetEntry(key, uiBucket);
    return p != NULL ? &p->value : NULL;
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
VALUE& VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::operator[](ARG_KEY key)
{
    UINT uiBucket;
    ENTRY* p = GetEntry(key, uiBucket);
    if (p != NULL)
        return p->value;
    if (m_lpHashTable == NULL)
        m_lpHashTable = new ENTRY*[m_uiHashTableSize]();
    p = NewEntry(key, uiBucket);
    p->lpNext = m_lpHashTable[uiBucket];
    m_lpHashTable[uiBucket] = p;
    return p->value;
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
void VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::SetAt(ARG_KEY key, ARG_VALUE newValue)
{
    (*this)[key] = newValue;
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
bool VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::RemoveKey(ARG_KEY key)
{
    UINT uiBucket;
    ENTRY* lpEntry = GetEntry(key, uiBucket);
    if (lpEntry == NULL)
        return false;
    ENTRY** lppLink = &m_lpHashTable[uiBucket];
    while (*lppLink != lpEntry)
        lppLink = &(*lppLink)->lpNext;
    *lppLink = lpEntry->lpNext;
    FreeEntry(lpEntry);
    // An empty map gives all its memory back, bucket array included.
    if (m_iCount == 0)
        RemoveAll();
    return true;
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
void VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::RemoveAll()
{
    if (m_lpHashTable != NULL)
    {
        for (UINT i = 0; i < m_uiHashTableSize; i++)
        {
            for (ENTRY* p = m_lpHashTable[i]; p != NULL; p = p->lpNext)
            {
                p->value.~VALUE();
                p->key.~KEY();
            }
        }
        delete[] m_lpHashTable;
        m_lpHashTable = NULL;
    }
    m_iCount = 0;
    m_lpFreeList = NULL;
    if (m_lpBlocks != NULL)
        m_lpBlocks->FreeDataChain();
    m_lpBlocks = NULL;
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
typename VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::ENTRY*
VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::NewEntry(ARG_KEY key, UINT uiBucket)
{
    ENTRY* p = VZ_PlexTakeNode(m_lpBlocks, m_iBlockSize, m_lpFreeList);
    m_iCount++;
    p->uiBucket = uiBucket;
    ::new ((void*)&p->key) KEY(key);
    // Value-initialised: zeros unless VALUE has a constructor of its own.
    ::new ((void*)&p->value) VALUE();
    return p;
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
void VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::FreeEntry(ENTRY* lpEntry)
{
    lpEntry->value.~VALUE();
    lpEntry->key.~KEY();
    lpEntry->lpNext = m_lpFreeList;
    m_lpFreeList = lpEntry;
    m_iCount--;
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
typename VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::ENTRY*
VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::FirstEntryFrom(UINT uiBucket) const
{
    if (m_lpHashTable == NULL)
        return NULL;
    for (UINT i = uiBucket; i < m_uiHashTableSize; i++)
    {
        if (m_lpHashTable[i] != NULL)
            return m_lpHashTable[i];
    }
    return NULL;
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
VZ_POSITION VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::GetStartPosition() const
{
    return m_iCount == 0 ? NULL : (VZ_POSITION)FirstEntryFrom(0);
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
void VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::GetNextAssoc(VZ_POSITION& rPos, KEY& rKey,
                                                          VALUE& rValue) const
{
    ENTRY* p = (ENTRY*)rPos;
    rKey = p->key;
    rValue = p->value;
    rPos = (VZ_POSITION)(p->lpNext != NULL ? p->lpNext : FirstEntryFrom(p->uiBucket + 1));
}

template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
VALUE* VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>::GetNextValue(VZ_POSITION& rPos, KEY* lpKey)
{
    ENTRY* p = (ENTRY*)rPos;
    if (lpKey != NULL)
        *lpKey = p->key;
    rPos = (VZ_POSITION)(p->lpNext != NULL ? p->lpNext : FirstEntryFrom(p->uiBucket + 1));
    return &p->value;
}

// A map plus the lock its users take around every use; no operation locks by
// itself. Destruction deletes the critical section, then empties the map.
template<class KEY, class ARG_KEY, class VALUE, class ARG_VALUE = const VALUE&>
class VZ_LckMap : public VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>, public VZ_Locker
{
public:
    explicit VZ_LckMap(int nBlockSize = 10) : VZ_Map<KEY, ARG_KEY, VALUE, ARG_VALUE>(nBlockSize) {}
};
