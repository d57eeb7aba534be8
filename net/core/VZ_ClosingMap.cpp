// Closed handles whose notifications may still be queued.
#include "VZ_ClosingMap.h"

#include "VZ_Assert.h"

VZ_ClosingMap::VZ_ClosingMap() : VZ_Map<unsigned int, unsigned int, int, int>(10)
{
    InitHashTable(4099);
}

void VZ_ClosingMap::AddClose(SOCKET s, HWND hWnd, UINT uMsg)
{
    unsigned int uiKey = static_cast<unsigned int>(s);
    (*this)[uiKey] += 1;
    if (!PostMessageW(hWnd, uMsg, static_cast<WPARAM>(s), 0))
        Release(s);
}

void VZ_ClosingMap::Release(SOCKET s)
{
    int* lpiCount = PLookup(static_cast<unsigned int>(s));
    if (lpiCount == NULL) {
        VZ_ASSERT(false);
        return;
    }
    int& nCount = *lpiCount;
    VZ_ASSERT(nCount>0);
    if (--nCount <= 0)
        RemoveKey(static_cast<unsigned int>(s));
}
