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

// Number of managers and containers handed out and not yet destroyed.
int GetSocketMgrInstanceCount();
int GetSocketMgrContainerCount();
