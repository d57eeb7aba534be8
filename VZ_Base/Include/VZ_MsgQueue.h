// Thread-safe FIFO of small messages: any thread posts, consumers block in
// GetMessage() on a counting semaphore whose count is the number of queued
// messages no consumer has claimed yet. Message 1 is the quit message: it ends
// one consumer's loop.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "VZ_List.h"

// The Win32 headers map PostMessage and GetMessage to their A/W variants by
// macro, which would rename this class's members depending on UNICODE. They
// are dropped here, once windows.h is in: code that includes this header and
// calls the Win32 functions names PostMessageW/GetMessageW (or A) explicitly.
// windows.h is include-guarded, so a later #include cannot bring them back.
#ifdef PostMessage
#undef PostMessage
#endif
#ifdef GetMessage
#undef GetMessage
#endif

struct _VZ_MSG
{
    UINT message;
    UINT wParam;
    ULONG_PTR lParam;   // often a pointer
};

class VZ_MsgQueue
{
public:
    enum { QUIT_MESSAGE = 1 };

    // bOpen: whether posting is allowed from the start.
    explicit VZ_MsgQueue(bool bOpen = true);
    // Closes the queue and drops what is still queued (a dropped message's
    // lParam is not freed here). Consumers must have ended before, except one
    // that has claimed a message: that one is waited for until it has taken it.
    virtual ~VZ_MsgQueue();

    bool PostMessage(UINT message, UINT wParam, ULONG_PTR lParam);
    // Appends a batch in order under one lock hold with one semaphore release,
    // so consumers see it as a whole. False when closed or the release fails.
    bool PostMessages(const _VZ_MSG* lpMsg, int iCount);
    // Blocks until a message arrives and removes it; false for the quit
    // message (consumed like any other) or when the wait fails.
    bool GetMessage(_VZ_MSG* lpMsg);
    // Drops every queued message at once (a dropped lParam is not freed) and
    // returns how many. Their semaphore counts stay: a consumer that claims
    // one finds nothing to take and waits again.
    int RemoveAll();
    int GetCount();

protected:
    VZ_LckList<_VZ_MSG, const _VZ_MSG&> m_listMsg;   // its lock guards the whole queue
    HANDLE m_hMsgSemaphore;
    bool m_bOpen;                                     // read and written under the lock
    int m_iStaleCount;                                // counts of removed messages, under the lock

private:
    bool TakeHead(_VZ_MSG& msg);

    VZ_MsgQueue(const VZ_MsgQueue&) = delete;
    VZ_MsgQueue& operator=(const VZ_MsgQueue&) = delete;
};
