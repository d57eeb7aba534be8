// Base of the waitable kernel objects.
#pragma once

#include <winsock2.h>
#include <windows.h>

class VZ_SyncObject
{
public:
    VZ_SyncObject();
    // Drops the handle without closing it: the owner calls Close() first.
    virtual ~VZ_SyncObject();

    virtual BOOL Close() = 0;
    // False without a handle; otherwise true exactly when the object is
    // signalled within dwTimeout ms.
    virtual bool Wait(DWORD dwTimeout);

    HANDLE GetHandle() const { return m_hObject; }

    HANDLE m_hObject;   // NULL when there is none

private:
    VZ_SyncObject(const VZ_SyncObject&) = delete;
    VZ_SyncObject& operator=(const VZ_SyncObject&) = delete;
};
