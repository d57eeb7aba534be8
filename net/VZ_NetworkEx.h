// Exports and the instance factory of oxnet.dll (internal view).
#pragma once

#include "ISocketMgr.h"

// Factory kinds of CreateSocketMgr.
enum {
    SOCKETMGR_SELECT = 1,
    SOCKETMGR_ASYNC = 2,
    SOCKETMGR_IOCP = 3,
    SOCKETMGR_RECORD = 5
};

// Constructs one engine of a kind, sets its recording switch and its sink.
// Nothing is started. NULL for a kind without an engine.
ISocketMgr* CreateSocketMgr(int iKind, ISocketMgrSink* lpSink, bool bRecord);

// Destroys a manager or container made by the factory. Called from inside one
// of its own events, it is stopped (or detached) at once and deleted by a
// helper thread once that event has returned for good, since the event's
// thread goes back into it: the engine after its thread has ended, the
// container after its last running event. Deleting is given up (the object
// is left) when that does not happen within 10 s.
void DestroySocketMgr(ISocketMgr* lpMgr);

// Number of managers and containers handed out and not yet destroyed.
int GetSocketMgrInstanceCount();
int GetSocketMgrContainerCount();
