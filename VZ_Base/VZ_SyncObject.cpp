#include "VZ_SyncObject.h"

VZ_SyncObject::VZ_SyncObject() : m_hObject(NULL)
{
}

VZ_SyncObject::~VZ_SyncObject()
{
    // Deliberately not closed: the handle may outlive this object.
    m_hObject = NULL;
}

bool VZ_SyncObject::Wait(DWORD dwTimeout)
{
    if (m_hObject == NULL)
        return false;
    return WaitForSingleObject(m_hObject, dwTimeout) == WAIT_OBJECT_0;
}
