// Exported entry points and the instance factory.
#include "VZ_NetworkEx.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "VZ_List.h"
#include "VZ_Locker.h"
#include "VZ_MultiThread.h"
#include "async/VZ_AsyncSocketMgr.h"
#include "iocp/VZ_IocpSocketMgr.h"
#include "replay/VZ_RecordSocketMgr.h"
#include "select/VZ_SelectSocketMgr.h"
#include "container/VZ_SocketMgrContainer.h"
#include "VZ_TcpSocket.h"
#include "core/VZ_Trace.h"

namespace {

struct InterfaceRow {
    const char* lpszName;
    int iKind;       // factory kind of the engine behind the name
    bool bRecord;    // recording switch of the manager
    bool bContainer; // a container over a shared engine of that kind
};

// Index = the index of oxGetInterfaceName.
const InterfaceRow g_rows[OXNET_INTERFACE_COUNT] = {
    {"IIocpSocketMgr1.0", SOCKETMGR_IOCP, false, false},
    {"IAsyncSocketMgr1.0", SOCKETMGR_ASYNC, false, false},
    {"ISelectSocketMgr1.0", SOCKETMGR_SELECT, false, false},
    {"IIocpSocketMgr1.1", SOCKETMGR_IOCP, true, false},
    {"IAsyncSocketMgr1.1", SOCKETMGR_ASYNC, true, false},
    {"IRecordSocketMgr1.0", SOCKETMGR_RECORD, false, false},
    {"IIocpSocketMgr2.0", SOCKETMGR_IOCP, false, true},
    {"IAsyncSocketMgr2.0", SOCKETMGR_ASYNC, false, true},
    {"ISelectSocketMgr2.0", SOCKETMGR_SELECT, false, true},
};

typedef VZ_List<ISocketMgr*, ISocketMgr*> MgrList;

// Process-wide registries. Statics of one module are built in the order they
// are defined and torn down in reverse: manager list, container list, then
// the instance lock (so the lock outlives nothing that needs it at unload).
// Managers still listed at unload are not destroyed: emptying a list frees
// only its own blocks.
MgrList g_listMgr;
MgrList g_listContainer;
VZ_Locker g_lckInstance;
// The containers' lock, their two maps and the routing container, in that
// order: the routing container is built on the lock and the sink map.
} // namespace
ISocketMgr* g_lpEngine = NULL;
int g_nContainers = 0;
VZ_Locker g_lckContainer;
SOCKET2MGRMAP g_mapSocket2Mgr(10);  // 17 buckets until an engine is made
MGR2SINKMAP g_mapMgr2Sink(10);      // 17 buckets
VZ_SocketMgrContainer g_containerForSink(CONTAINER_ROUTING_NAME);
namespace {
// The lock-trace socket is built last, so it is the first one torn down.
VZ_TcpSocket& g_sockTrace = VZ_GetTraceSocket();

const InterfaceRow* FindRow(const char* lpszName)
{
    if (!lpszName)
        return NULL;
    for (const InterfaceRow& row : g_rows)
        if (std::strcmp(row.lpszName, lpszName) == 0)
            return &row;
    return NULL;
}

void PrintInterfaceHelp()
{
    VZ_Trace("InterfaceName is:\n");
    VZ_Trace("IIocpSocketMgr1.0\n");
    VZ_Trace("IIocpSocketMgr1.1 record\n");
    VZ_Trace("IAsyncSocketMgr1.0\n");
    VZ_Trace("IAsyncSocketMgr1.1 record\n");
    VZ_Trace("ISelectSocketMgr1.0\n");
    VZ_Trace("2.0 is Container\n");
}

// Containers share one engine per process, made by the first of them.
ISocketMgr* CreateContainer(const char* lpszName)
{
    return new (std::nothrow) VZ_SocketMgrContainer(lpszName);
}

void Register(MgrList& list, ISocketMgr* lpMgr)
{
    VZ_AutoLock lock(&g_lckInstance);
    if (lpMgr)
        list.AddTail(lpMgr);
}

// Takes lpMgr out of the list; true when the list held it. The caller holds
// the instance lock.
bool TakeListed(MgrList& list, ISocketMgr* lpMgr)
{
    for (VZ_POSITION pos = list.GetHeadPosition(); pos;) {
        VZ_POSITION posCur = pos;
        if (list.GetNext(pos) == lpMgr) {
            list.RemoveAt(posCur);
            return true;
        }
    }
    return false;
}

const DWORD REAP_WAIT_MS = 10000;

// A deferred delete: the manager or container, and the thread of the event
// it was destroyed in (NULL for a container: its running events are counted).
struct _REAP {
    ISocketMgr* lpMgr;
    HANDLE hThread;
};

DWORD WINAPI ReapProc(LPVOID lpParam)
{
    _REAP* lpReap = static_cast<_REAP*>(lpParam);
    bool bDone = false;
    if (lpReap->hThread != NULL) {
        bDone = WaitForSingleObject(lpReap->hThread, REAP_WAIT_MS) == WAIT_OBJECT_0;
        CloseHandle(lpReap->hThread);
    } else {
        VZ_SocketMgrContainer* lpContainer = static_cast<VZ_SocketMgrContainer*>(lpReap->lpMgr);
        for (DWORD dwWaited = 0; !(bDone = !lpContainer->IsRouting()) && dwWaited < REAP_WAIT_MS; dwWaited += 5)
            Sleep(5);
    }
    if (bDone) {
        delete lpReap->lpMgr;
    } else {
        VZ_MultiThread::CountStopTimeout();
        VZ_Trace("oxDestroyInstance: the manager is still in use after %lu s; it is left\n", REAP_WAIT_MS / 1000);
    }
    delete lpReap;
    return 0;
}

// Hands lpMgr to a helper thread that deletes it when the wait of _REAP is
// over; false (nothing done) when no thread could be made.
bool DeleteLater(ISocketMgr* lpMgr, HANDLE hThread)
{
    _REAP* lpReap = new (std::nothrow) _REAP{lpMgr, hThread};
    HANDLE hReaper = lpReap != NULL ? CreateThread(NULL, 0, ReapProc, lpReap, 0, NULL) : NULL;
    if (hReaper == NULL) {
        delete lpReap;
        return false;
    }
    CloseHandle(hReaper);
    return true;
}

int CountListed(MgrList& list)
{
    VZ_AutoLock lock(&g_lckInstance);
    return list.GetCount();
}

} // namespace

ISocketMgr* CreateSocketMgr(int iKind, ISocketMgrSink* lpSink, bool bRecord)
{
    // Each engine adds its row here as it is built.
    VZ_SocketMgr* lpMgr = NULL;
    switch (iKind) {
    case SOCKETMGR_SELECT:
        lpMgr = new (std::nothrow) VZ_SelectSocketMgr;
        break;
    case SOCKETMGR_IOCP:
        lpMgr = new (std::nothrow) VZ_IocpSocketMgr;
        break;
    case SOCKETMGR_ASYNC:
        lpMgr = new (std::nothrow) VZ_AsyncSocketMgr;
        break;
    case SOCKETMGR_RECORD:
        lpMgr = new (std::nothrow) VZ_RecordSocketMgr;
        break;
    default:
        return NULL;
    }
    if (lpMgr == NULL)
        return NULL;
    lpMgr->SetRecord(bRecord);
    lpMgr->SetSink(lpSink);
    return lpMgr;
}

void DestroySocketMgr(ISocketMgr* lpMgr)
{
    VZ_SocketMgrContainer* lpContainer = dynamic_cast<VZ_SocketMgrContainer*>(lpMgr);
    if (lpContainer != NULL && lpContainer->IsRoutingOnThisThread()) {
        lpContainer->Detach(); // no event reaches it from now on
        if (!DeleteLater(lpMgr, NULL))
            VZ_Trace("oxDestroyInstance: the container is left (no thread for its deletion)\n");
        return;
    }
    VZ_SocketMgr* lpEngine = dynamic_cast<VZ_SocketMgr*>(lpMgr);
    HANDLE hSelf = NULL;
    if (lpEngine != NULL && lpEngine->IsEngineThread() &&
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &hSelf, SYNCHRONIZE, FALSE, 0)) {
        lpMgr->Uninitialize(0); // stops every other thread; this one ends once its event returns
        if (DeleteLater(lpMgr, hSelf))
            return;
        CloseHandle(hSelf);
        VZ_Trace("oxDestroyInstance: the manager is left (no thread for its deletion)\n");
        return; // leaking it beats freeing it under the running event
    }
    delete lpMgr;
}

int GetSocketMgrInstanceCount()
{
    return CountListed(g_listMgr);
}

int GetSocketMgrContainerCount()
{
    return CountListed(g_listContainer);
}

extern "C" {

ISocketMgr* oxCreateInstance(const char* lpszName)
{
    const InterfaceRow* lpRow = FindRow(lpszName);
    if (!lpRow) {
        PrintInterfaceHelp();
        return NULL;
    }
    // Construction runs outside the instance lock: a container takes its own
    // lock while it is built.
    if (lpRow->bContainer) {
        ISocketMgr* lpContainer = CreateContainer(lpRow->lpszName);
        Register(g_listContainer, lpContainer);
        return lpContainer;
    }
    ISocketMgr* lpMgr = CreateSocketMgr(lpRow->iKind, NULL, lpRow->bRecord);
    Register(g_listMgr, lpMgr);
    return lpMgr;
}

void oxDestroyInstance(ISocketMgr* lpMgr)
{
    if (!lpMgr)
        return;
    // Taken out of its registry under the instance lock, so two threads
    // cannot destroy one pointer twice; destroyed with the lock released, so
    // that the stop's wait for the manager's threads never holds it (an
    // event that makes or destroys another manager would wait for it).
    bool bListed = false;
    {
        VZ_AutoLock lock(&g_lckInstance);
        bListed = TakeListed(g_listMgr, lpMgr) || TakeListed(g_listContainer, lpMgr);
    }
    if (bListed)
        DestroySocketMgr(lpMgr);
}

bool oxGetInterfaceName(int iIndex, char* lpszName)
{
    if (iIndex < 0 || iIndex >= OXNET_INTERFACE_COUNT || !lpszName)
        return false;
    std::memcpy(lpszName, g_rows[iIndex].lpszName, std::strlen(g_rows[iIndex].lpszName) + 1);
    return true;
}

bool oxInitialize()
{
    return true;
}

void oxUninitialize()
{
}

} // extern "C"

// Thread attach and detach notifications are switched off: the library keeps
// no per-thread state, and every manager starts many threads.
BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID /*lpReserved*/)
{
    if (dwReason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(hInstance);
    return TRUE;
}
