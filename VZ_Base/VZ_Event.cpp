#include "VZ_Event.h"

VZ_Event::VZ_Event(bool bInitialState, bool bManualReset, const wchar_t* lpName,
                   LPSECURITY_ATTRIBUTES lpsa)
{
    m_hObject = CreateEventW(lpsa, bManualReset ? TRUE : FALSE, bInitialState ? TRUE : FALSE, lpName);
}

VZ_Event::~VZ_Event()
{
    // Deliberately not closed, like the base: the owner calls Close().
}

BOOL VZ_Event::Close()
{
    if (m_hObject == NULL)
        return FALSE;
    BOOL bResult = CloseHandle(m_hObject);
    m_hObject = NULL;
    return bResult;
}

void VZ_Event::SetEvent()
{
    if (m_hObject != NULL)
        ::SetEvent(m_hObject);
}
