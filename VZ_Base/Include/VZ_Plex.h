// Block chain behind the containers' nodes: each block is a pointer to the next
// block followed by room for nMax elements. Blocks are never freed one by one;
// the owning container frees its whole chain at once.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstring>

// Opaque iteration position of the containers; NULL means "end".
typedef struct VZ_PositionTag* VZ_POSITION;

struct VZ_Plex
{
    VZ_Plex* lpNext;

    // The element area that follows the header.
    void* Data() { return this + 1; }

    // Allocates one block of nMax elements of cbElement bytes and links it at
    // the front of the chain whose head is lpHead.
    static VZ_Plex* Create(VZ_Plex*& lpHead, UINT_PTR nMax, UINT_PTR cbElement);
    // Frees this block and every block after it.
    void FreeDataChain();
};

// Takes a zero-filled node from a container's free list, refilling the list
// from a new block when it is empty. A new block's nodes are pushed last to
// first, so they are handed out in ascending address order. NODE starts its
// life as raw memory and links through its lpNext member.
template<class NODE>
NODE* VZ_PlexTakeNode(VZ_Plex*& lpBlocks, int nBlockSize, NODE*& lpFreeList)
{
    if (lpFreeList == NULL)
    {
        NODE* lpFirst = (NODE*)VZ_Plex::Create(lpBlocks, nBlockSize, sizeof(NODE))->Data();
        for (int i = nBlockSize - 1; i >= 0; i--)
        {
            lpFirst[i].lpNext = lpFreeList;
            lpFreeList = &lpFirst[i];
        }
    }
    NODE* p = lpFreeList;
    lpFreeList = p->lpNext;
    memset((void*)p, 0, sizeof(NODE));
    return p;
}
