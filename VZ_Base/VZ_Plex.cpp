#include "VZ_Plex.h"

#include <new>

#include "VZ_Assert.h"

VZ_Plex* VZ_Plex::Create(VZ_Plex*& lpHead, UINT_PTR nMax, UINT_PTR cbElement)
{
    VZ_ASSERT(nMax > 0 && cbElement > 0);
    VZ_Plex* p = (VZ_Plex*)::operator new(sizeof(VZ_Plex) + nMax * cbElement);
    p->lpNext = lpHead;
    lpHead = p;
    return p;
}

void VZ_Plex::FreeDataChain()
{
    VZ_Plex* p = this;
    while (p != NULL)
    {
        VZ_Plex* lpNext = p->lpNext;
        ::operator delete((void*)p);
        p = lpNext;
    }
}
