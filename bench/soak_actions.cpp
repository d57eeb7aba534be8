// What the soak does to a socket (soak_actions.h).
#include "soak_actions.h"

#include <deque>
#include <vector>

namespace soak {

ISocketMgr* g_lpServerMgr = NULL;
ISocketMgr* g_lpClientMgr = NULL;
bool g_bContainers = false;
bool g_bSim = false;
std::atomic<bool> g_bStopping{false};
USHORT g_usPort = 0;
Gen* g_lpListen = NULL;

namespace {

struct Action {
    DWORD dwGen;
    int iAct;
    int iWhy;
};
Lock g_lckActions;
std::deque<Action> g_deqActions;

thread_local std::vector<char> t_vecSend;

// Some timers are killed before a close, the rest are left to the close.
void KillSomeTimers(Gen* g)
{
    if (!g->rng.Percent(30))
        return;
    for (UINT ev = 0; ev < TIMER_EVENTS; ++ev)
        if (g->bTimerSet[ev]) {
            MgrOf(g)->KillTimer(g->s, ev);
            g->bTimerSet[ev] = false;
            g->bTimerKilled[ev] = true;
        }
    if (g->bRecvTimeoutSet) {
        MgrOf(g)->KillRecvTimeout(g->s);
        g->bRecvTimeoutSet = false;
    }
}

void CountClose(Gen* g, bool bReset, bool bEnding)
{
    if (bReset) {
        linger lg = {1, 0};
        setsockopt(g->s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof(lg));
        ++g_fig.resets;
    }
    if (bEnding && !bReset)
        ++(g->iRole == ROLE_CLIENT ? g_fig.hostCloses : g_fig.serverCloses);
    if (EndConnecting(g))
        ++g_fig.earlyCloses;
}

void RunAction(const Action& act)
{
    Gen* g = GenAt(act.dwGen);
    if (g == NULL)
        return;
    Hold<RecursiveLock> hold(g->lock);
    if (g->bClosed)
        return;
    switch (act.iAct) {
    case ACT_CLOSE:
    case ACT_RESET:
        CloseGen(g, act.iAct == ACT_RESET, act.iWhy == 0);
        break;
    case ACT_SEND:
        if (!g_bStopping && MaySendMore(g))
            SendNext(g);
        break;
    default:
        break;
    }
}

} // namespace

void CloseGen(Gen* g, bool bReset, bool bEnding)
{
    if (g->bClosed)
        return;
    CountClose(g, bReset, bEnding);
    KillSomeTimers(g);
    ++g_fig.closeCalls;
    Doing doing("CloseSocket");
    bool bOk = MgrOf(g)->CloseSocket(g->s);
    g->bClosed = true;
    unsigned long long ullSeq = ++g_ullSeq;
    g->dwCloseThread.store(GetCurrentThreadId());
    g->ullCloseSeq.store(ullSeq);
    g->Note(bReset ? 'R' : 'C', bOk ? 1 : 0, ullSeq);
    UnmapHandle(g);
    RemoveLive(g);
    if (!bOk)
        Violation(g, "CloseSocket refused an open socket", g->s, ullSeq, "CloseSocket");
}

bool SendNext(Gen* g)
{
    if (g->bClosed || !g->bConnected)
        return false;
    UINT uiLen = g->rng.LogSize(18); // 1 byte to 256 KiB
    if (t_vecSend.size() < uiLen)
        t_vecSend.resize(256 * 1024);
    FillPattern(t_vecSend.data(), g->dwKey, g->ullSent, uiLen);
    Doing doing("Send");
    if (MgrOf(g)->Send(g->s, t_vecSend.data(), static_cast<int>(uiLen), g->dwGen, NULL)) {
        g->ullSent += uiLen;
        ++g_fig.messages;
        g->Note('S', static_cast<int>(uiLen), g_ullSeq.load());
        return true;
    }
    return false;
}

void ArmSome(Gen* g)
{
    Doing doing("SetTimer/SetRecvTimeout");
    if (g->rng.Percent(35)) {
        UINT ev = g->rng.Below(TIMER_EVENTS);
        bool bOnce = g->rng.Percent(40);
        DWORD dwParam = g->dwGen * 8 + ev;
        if (!g->bTimerSet[ev] && MgrOf(g)->SetTimer(g->s, ev, 10 + g->rng.Below(70), dwParam, bOnce)) {
            g->bTimerSet[ev] = g->bTimerEver[ev] = true;
            g->bTimerOnce[ev] = bOnce;
            g->dwTimerParam[ev] = dwParam;
            g->Note('T', static_cast<int>(ev), g_ullSeq.load());
        }
    }
    if (g->rng.Percent(30) && !g->bRecvTimeoutSet && MgrOf(g)->SetRecvTimeout(g->s, 20 + g->rng.Below(280))) {
        g->bRecvTimeoutSet = g->bRecvTimeoutEver = true;
        g->Note('O', 0, g_ullSeq.load());
    }
}

void PlanEnding(Gen* g)
{
    g->ullEnd = g->rng.Percent(20) ? NEVER : g->rng.LogSize(22);
    g->bEndReset = g->rng.Percent(35);
    g->bEndViaDriver = g->rng.Percent(50);
}

void EndSide(Gen* g)
{
    if (g->bEndViaDriver)
        Post(g->dwGen, g->bEndReset ? ACT_RESET : ACT_CLOSE, 0);
    else
        CloseGen(g, g->bEndReset, true);
}

bool EndConnecting(Gen* g)
{
    if (!g->bConnecting)
        return false;
    g->bConnecting = false;
    --g_iConnecting;
    return true;
}

void ReadOn(Gen* g)
{
    unsigned long long ullOut = g->ullSent - g->ullRecv;
    UINT uiNotice = 1;
    if (ullOut > 1 && g->rng.Percent(50))
        uiNotice = 1 + g->rng.Below(static_cast<UINT>(ullOut > 300000 ? 300000 : ullOut));
    Doing doing("Recv");
    MgrOf(g)->Recv(g->s, uiNotice);
}

void Post(DWORD dwGen, int iAct, int iWhy)
{
    Hold<Lock> hold(g_lckActions);
    g_deqActions.push_back(Action{dwGen, iAct, iWhy});
}

void RunActions()
{
    for (int i = 0; i < 4096; ++i) {
        Action act;
        {
            Hold<Lock> hold(g_lckActions);
            if (g_deqActions.empty())
                return;
            act = g_deqActions.front();
            g_deqActions.pop_front();
        }
        RunAction(act);
    }
}

void ClearActions()
{
    Hold<Lock> hold(g_lckActions);
    g_deqActions.clear();
}

} // namespace soak
