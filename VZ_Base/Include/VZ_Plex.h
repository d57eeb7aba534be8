// Block chain behind the containers' nodes: each block is a pointer to the next
// block followed by room for nMax elements. Blocks are never freed one by one;
// the owning container frees its whole chain at once.
#pragma once

#include <winsock2.h>
#include <windows.h>

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
