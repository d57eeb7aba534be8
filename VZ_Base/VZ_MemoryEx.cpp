#include "VZ_MemoryEx.h"

#include <mmsystem.h>
#include <cstdlib>
#include <cstring>

#include "VZ_Assert.h"

// Every block the pool does not reuse comes from and goes back to the C
// runtime heap (malloc/free): thread-safe, and MEMORY_ALLOCATION_ALIGNMENT
// aligned, which a header of that size keeps for the caller's pointer.

static_assert(sizeof(int) == 4, "the class index is a 4-byte signed value");
static_assert(MEMORYEX_HEAD_SIZE % MEMORYEX_ALIGNMENT == 0 && MEMORYEX_HEAD_SIZE >= sizeof(int),
              "the header keeps the heap's alignment and holds the class index");
static_assert(MEMORYEX_ALIGNMENT >= alignof(double) && MEMORYEX_ALIGNMENT >= alignof(long long)
                  && MEMORYEX_ALIGNMENT >= alignof(void*),
              "a block holds any scalar field");

namespace {

const DWORD FRAME_MASK = ~static_cast<DWORD>(0x3FF);   // frames of 1024 ms, aligned
const int BUSY_OPERATIONS = 1000;
const int BUSY_LEVEL = 10;

} // namespace

VZ_MemoryEx::VZ_MemoryEx()
    : m_dwFrameClock(timeGetTime()), m_iAllocCount(0), m_iFreeCount(0), m_iLevel(0), m_lOutstanding(0)
{
    UINT uiSize = 64;
    for (int i = 0; i < MEMORYEX_MAX_TABLE; ++i, uiSize <<= 1)
        m_uiTableSize[i] = uiSize;
}

VZ_MemoryEx::~VZ_MemoryEx()
{
    for (int i = 0; i < MEMORYEX_MAX_TABLE; ++i) {
        VZ_AutoLock guard(&m_lstFree[i]);
        while (!m_lstFree[i].IsEmpty()) {
            _MEMORYEX_HEAD* p = static_cast<_MEMORYEX_HEAD*>(m_lstFree[i].RemoveHead());
            VZ_ASSERT(p);
            VZ_ASSERT(p->index == i);
            std::free(p);
        }
    }
}

DWORD VZ_MemoryEx::Now()
{
    return timeGetTime();
}

void VZ_MemoryEx::RestartFrame()
{
    VZ_AutoLock guard(&m_lckStat);
    m_dwFrameClock = Now();
    m_iAllocCount = 0;
    m_iFreeCount = 0;
}

VZ_MemoryEx::_MEMORYEX_HEAD* VZ_MemoryEx::HeadOf(const void* p)
{
    return reinterpret_cast<_MEMORYEX_HEAD*>(const_cast<BYTE*>(static_cast<const BYTE*>(p)) - MEMORYEX_HEAD_SIZE);
}

void* VZ_MemoryEx::UserOf(_MEMORYEX_HEAD* p)
{
    return p != NULL ? reinterpret_cast<BYTE*>(p) + MEMORYEX_HEAD_SIZE : NULL;
}

int VZ_MemoryEx::GetBlockIndex(const void* p)
{
    return HeadOf(p)->index;
}

int VZ_MemoryEx::GetLevel()
{
    VZ_AutoLock guard(&m_lckStat);
    return m_iLevel;
}

int VZ_MemoryEx::GetCachedCount(int iClass)
{
    VZ_AutoLock guard(&m_lstFree[iClass]);
    return m_lstFree[iClass].GetCount();
}

// Counts one operation and, at the first operation of a new frame, evaluates
// the last frame instead (that operation is not counted):
// 1. Same frame (all bits above the low 10 equal): count and stop.
// 2. New frame: level 10 after a busy frame, else one lower (it keeps falling
//    below 0 while quiet); new frame clock, counts reset.
// 3. Trim outside the statistics lock: slowly while caching, faster when not.
// Returns the level the decision of the caller is based on.
int VZ_MemoryEx::CountOperation(bool bAlloc)
{
    VZ_AutoLock guard(&m_lckStat);
    DWORD dwNow = Now();
    if ((dwNow & FRAME_MASK) == (m_dwFrameClock & FRAME_MASK)) {
        if (bAlloc)
            ++m_iAllocCount;
        else
            ++m_iFreeCount;
        return m_iLevel;
    }
    if (m_iAllocCount + m_iFreeCount >= BUSY_OPERATIONS)
        m_iLevel = BUSY_LEVEL;
    else
        --m_iLevel;
    m_dwFrameClock = dwNow;
    m_iAllocCount = 0;
    m_iFreeCount = 0;
    int iLevel = m_iLevel;
    guard.Unlock();
    Trim(iLevel > 0 ? 8 : 4);
    return iLevel;
}

// Gives (n >> iShift) + 1 of the oldest cached blocks of every non-empty
// class back to the heap, one class lock at a time.
void VZ_MemoryEx::Trim(int iShift)
{
    for (int i = 0; i < MEMORYEX_MAX_TABLE; ++i) {
        VZ_AutoLock guard(&m_lstFree[i]);
        int n = m_lstFree[i].GetCount();
        if (n <= 0)
            continue;
        for (int iRemove = (n >> iShift) + 1; iRemove > 0; --iRemove) {
            _MEMORYEX_HEAD* p = static_cast<_MEMORYEX_HEAD*>(m_lstFree[i].RemoveHead());
            VZ_ASSERT(p);
            VZ_ASSERT(p->index == i);
            std::free(p);
        }
    }
}

// 1. Count the operation.
// 2. Above the largest class: a heap-only block (index MEMORYEX_MAX_TABLE).
// 3. Otherwise the first class that fits: a cached block, or a new one.
void* VZ_MemoryEx::Alloc(UINT uiSize)
{
    CountOperation(true);
    if (uiSize > m_uiTableSize[MEMORYEX_MAX_TABLE - 1]) {
        _MEMORYEX_HEAD* p = static_cast<_MEMORYEX_HEAD*>(std::malloc(static_cast<size_t>(uiSize) + MEMORYEX_HEAD_SIZE));
        VZ_ASSERT(p);
        if (p != NULL) {
            p->index = MEMORYEX_MAX_TABLE;
            InterlockedIncrement(&m_lOutstanding);
        }
        return UserOf(p);
    }
    int index = 0;
    while (m_uiTableSize[index] < uiSize)
        ++index;
    VZ_AutoLock guard(&m_lstFree[index]);
    _MEMORYEX_HEAD* p;
    if (!m_lstFree[index].IsEmpty()) {
        p = static_cast<_MEMORYEX_HEAD*>(m_lstFree[index].RemoveHead());
        VZ_ASSERT(p);
        VZ_ASSERT(p->index == index);
    } else {
        p = static_cast<_MEMORYEX_HEAD*>(std::malloc(static_cast<size_t>(m_uiTableSize[index]) + MEMORYEX_HEAD_SIZE));
        VZ_ASSERT(p);
        if (p != NULL)
            p->index = index;
    }
    if (p != NULL)
        InterlockedIncrement(&m_lOutstanding);
    return UserOf(p);
}

// Cached only while the pool is busy; heap-only blocks always go back to the
// heap. A block whose index is out of range after the report is not cached
// either: it has no list to go to.
void VZ_MemoryEx::Free(void* p)
{
    int iLevel = CountOperation(false);
    if (p == NULL)
        return;
    InterlockedDecrement(&m_lOutstanding);
    _MEMORYEX_HEAD* _p = HeadOf(p);
    if (iLevel > 0 && _p->index != MEMORYEX_MAX_TABLE) {
        VZ_ASSERT(_p->index >= 0 && _p->index < MEMORYEX_MAX_TABLE);
        if (_p->index >= 0 && _p->index < MEMORYEX_MAX_TABLE) {
            VZ_AutoLock guard(&m_lstFree[_p->index]);
            m_lstFree[_p->index].AddTail(_p);
            return;
        }
    }
    std::free(_p);
}

// 1. Nothing to append: p as it is.
// 2. p's class has room for the larger of the total and uiMinSize: in place.
// 3. Otherwise a new buffer with the old bytes and the data; p is freed.
// The outstanding count follows through Alloc and Free; in place it is unchanged.
void* VZ_MemoryEx::Append(UINT uiMinSize, void* p, UINT uiOldLength, const void* lpData, UINT uiDataLength)
{
    if (uiDataLength == 0)
        return p;
    UINT uiNeeded = uiOldLength + uiDataLength;
    if (uiNeeded < uiMinSize)
        uiNeeded = uiMinSize;
    if (p != NULL) {
        _MEMORYEX_HEAD* p_old = HeadOf(p);
        VZ_ASSERT(p_old->index >= 0 && p_old->index <= MEMORYEX_MAX_TABLE);
        if (p_old->index >= 0 && p_old->index < MEMORYEX_MAX_TABLE && m_uiTableSize[p_old->index] >= uiNeeded) {
            std::memcpy(static_cast<BYTE*>(p) + uiOldLength, lpData, uiDataLength);
            return p;
        }
    }
    void* _p = Alloc(uiNeeded);
    VZ_ASSERT(_p);
    if (_p != NULL) {
        if (p != NULL && uiOldLength > 0)
            std::memcpy(_p, p, uiOldLength);
        std::memcpy(static_cast<BYTE*>(_p) + uiOldLength, lpData, uiDataLength);
    }
    Free(p);
    return _p;
}
