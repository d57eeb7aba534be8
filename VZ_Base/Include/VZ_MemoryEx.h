// Size-class memory pool.
//
// Buffers come from eleven power-of-two classes (64 to 65536 bytes); larger
// requests go straight to the heap. Freed buffers are cached on per-class free
// lists only while the pool is busy: the pool measures its own operation rate
// per 1024-ms frame of the millisecond clock, caches for ten frames after a
// frame with 1000 or more operations, and trims its lists a little at every
// frame change (faster once quiet), so an idle pool drains.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "VZ_List.h"
#include "VZ_Locker.h"

#define MEMORYEX_MAX_TABLE 11          // number of size classes; also the index of a heap-only block

// Every block handed out is aligned as the heap aligns its blocks: 8 bytes on
// 32-bit Windows, 16 on 64-bit (callers keep pointers and 64-bit fields in it).
#define MEMORYEX_ALIGNMENT MEMORY_ALLOCATION_ALIGNMENT

// Bytes in front of every block handed out: the class index sits in the four
// bytes right before the caller's pointer, padded to keep the alignment.
#define MEMORYEX_HEAD_SIZE MEMORYEX_ALIGNMENT

class VZ_MemoryEx {
public:
    VZ_MemoryEx();
    virtual ~VZ_MemoryEx();

    void* Alloc(UINT uiSize);
    void Free(void* p);
    // Appends uiDataLength bytes after the uiOldLength bytes held at p, in
    // place when p's class has room for max(uiOldLength + uiDataLength,
    // uiMinSize) bytes, otherwise in a new buffer (p is then freed).
    void* Append(UINT uiMinSize, void* p, UINT uiOldLength, const void* lpData, UINT uiDataLength);

    // Read-only views of the pool's state.
    int GetLevel();
    int GetCachedCount(int iClass);
    UINT GetClassSize(int iClass) const { return m_uiTableSize[iClass]; }
    // Class index of a block handed out by a pool (MEMORYEX_MAX_TABLE: heap-only).
    static int GetBlockIndex(const void* p);
    // Diagnostic: blocks handed out by Alloc (also through Append) and not
    // yet given back with Free. 0 once every owner has returned its blocks.
    int GetOutstanding() const { return static_cast<int>(m_lOutstanding); }

protected:
    // The millisecond clock the rate is measured on.
    virtual DWORD Now();
    // Starts a new frame at Now() with empty counts (the constructor's frame
    // is taken from timeGetTime, before a derived clock exists).
    void RestartFrame();

private:
    struct _MEMORYEX_HEAD {
        BYTE byReserved[MEMORYEX_HEAD_SIZE - sizeof(int)];
        int index;
    };
    typedef VZ_LckList<void*, void*> FreeList;

    static _MEMORYEX_HEAD* HeadOf(const void* p);
    static void* UserOf(_MEMORYEX_HEAD* p);
    int CountOperation(bool bAlloc);
    void Trim(int iShift);

    UINT m_uiTableSize[MEMORYEX_MAX_TABLE];
    FreeList m_lstFree[MEMORYEX_MAX_TABLE];
    VZ_Locker m_lckStat;
    DWORD m_dwFrameClock;
    int m_iAllocCount;
    int m_iFreeCount;
    int m_iLevel;
    volatile LONG m_lOutstanding; // see GetOutstanding; Interlocked only

    VZ_MemoryEx(const VZ_MemoryEx&) = delete;
    VZ_MemoryEx& operator=(const VZ_MemoryEx&) = delete;
};
