// Handles closed while notifications of theirs may still wait in a window's
// message queue. A close lists the handle once more and posts a release
// message behind those notifications; the window takes one off per release
// it handles. While a handle is listed, notifications for it are ignored,
// whoever owns the handle by then: the ones of its next owner all come after
// the release.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "VZ_Map.h"

class VZ_ClosingMap : public VZ_Map<unsigned int, unsigned int, int, int> {
public:
    VZ_ClosingMap();

    // One more close of s, its release posted to hWnd as uMsg (wParam s).
    // Nothing is listed when the post fails.
    void AddClose(SOCKET s, HWND hWnd, UINT uMsg);
    // The window handled one release of s.
    void Release(SOCKET s);
    bool IsClosing(SOCKET s) { return PLookup(static_cast<unsigned int>(s)) != NULL; }
};
