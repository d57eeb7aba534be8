// Kernel event.
#pragma once

#include "VZ_SyncObject.h"

class VZ_Event : public VZ_SyncObject
{
public:
    // The handle stays NULL when creation fails.
    VZ_Event(bool bInitialState = false, bool bManualReset = false,
             const wchar_t* lpName = NULL, LPSECURITY_ATTRIBUTES lpsa = NULL);
    // Like the base, does not close the handle.
    ~VZ_Event() override;

    // CloseHandle's result; the handle is forgotten afterwards, so a second
    // Close (or a Close without a handle) returns FALSE.
    BOOL Close() override;
    // Signals the event; does nothing without a handle.
    void SetEvent();
};
