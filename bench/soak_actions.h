// What the soak does to a socket, from its events and from the driving
// thread: the managers it works on, the host calls (close, send, timers,
// read) and the actions posted for the driving thread to run.
#pragma once

#include "soak_generations.h"

#include "ISocketMgr.h"

#include <atomic>

namespace soak {

extern ISocketMgr* g_lpServerMgr; // the listener and the accepted sockets
extern ISocketMgr* g_lpClientMgr; // the clients (the same manager unless containers)
extern bool g_bContainers;
extern bool g_bSim; // the fault simulator may refuse a Connect at once
extern std::atomic<bool> g_bStopping;
extern USHORT g_usPort;
extern Gen* g_lpListen;

inline ISocketMgr* MgrOf(const Gen* g) { return g->iRole == ROLE_CLIENT ? g_lpClientMgr : g_lpServerMgr; }

// The host calls; each with the generation's lock held.
//
// Closes the generation's socket once. bEnding: a planned ending of this
// side (counted), else the answer to a terminal event.
void CloseGen(Gen* g, bool bReset, bool bEnding);
// Sends the client's next message; false when nothing went.
bool SendNext(Gen* g);
// Timers and the receive time-out of a new connection.
void ArmSome(Gen* g);
// The planned end of one side: after this many received bytes (or never).
void PlanEnding(Gen* g);
// That end, now or from the driving thread.
void EndSide(Gen* g);
// Ends the count of a connect under way; true when one was.
bool EndConnecting(Gen* g);
// The next notice length of a client: at most what is still to come back.
void ReadOn(Gen* g);
// A client keeps up to 64 KiB in flight until its planned end.
inline bool MaySendMore(const Gen* g)
{
    return g->ullSent - g->ullRecv < 65536 && (g->ullEnd == NEVER || g->ullSent < g->ullEnd);
}

// Actions for the driving thread.
enum { ACT_CLOSE = 1, ACT_RESET = 2, ACT_SEND = 3 };
// iWhy 0: an ending of this side, 1: answer to the peer's close.
void Post(DWORD dwGen, int iAct, int iWhy);
// Runs what was posted (a bounded number).
void RunActions();
void ClearActions();

} // namespace soak
