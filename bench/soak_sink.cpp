// The soak's sink (soak_sink.h). Every check below is a rule of the
// engine's events; a broken one is a violation, never a reason to stop.
#include "soak_sink.h"

#include <string>

namespace soak {

SoakSink g_sinkBoth(0);
SoakSink g_sinkServer(ROLE_SERVER);
SoakSink g_sinkClient(ROLE_CLIENT);

namespace {

unsigned long long Enter()
{
    ++g_fig.events;
    return ++g_ullSeq;
}

// An event of a closed socket. One that enters after CloseSocket returned
// is a fault on the closing thread itself; on another thread it is one the
// engine had taken up before the close (events are raised with the engine's
// locks released), counted apart.
void CountLate(Gen* g, unsigned long long ullSeq, const char* lpszEvent)
{
    if (ullSeq <= g->ullCloseSeq.load())
        ++g_fig.overlaps;
    else if (g->dwCloseThread.load() == GetCurrentThreadId())
        Violation(g, "event after CloseSocket returned on the closing thread", g->s, ullSeq, lpszEvent);
    else
        ++g_fig.inFlight;
}

// Under the generation's lock: the close happened while this event was on
// its way (it began before CloseSocket returned).
bool Closed(Gen* g, unsigned long long ullSeq)
{
    if (!g->bClosed)
        return false;
    CountLate(g, ullSeq, "(late)");
    return true;
}

std::string Values(DWORD d1, DWORD d2) { return " values " + std::to_string(d1) + ", " + std::to_string(d2); }

void CountFailedAccept(int iError)
{
    ++g_fig.failedAccepts;
    if (iError == WSAENOTCONN)
        ++g_fig.failedAcceptsNotConn;
    else if (iError == WSAECONNRESET)
        ++g_fig.failedAcceptsReset;
    else if (iError == WSAECONNABORTED)
        ++g_fig.failedAcceptsAborted;
}

void ReportWrongByte(Gen* g, SOCKET s, const char* buf, UINT uiLen, long long llBad, unsigned long long ullSeq)
{
    unsigned long long ullAt = g->ullRecv + static_cast<unsigned long long>(llBad);
    Violation(g, "wrong byte", s, ullSeq, "OnTcpRecv",
              " at stream position " + std::to_string(ullAt) + " of a delivery of " + std::to_string(uiLen) +
                  " from " + std::to_string(g->ullRecv) +
                  LocateBytes(buf + llBad, uiLen - static_cast<UINT>(llBad), g->dwKey, ullAt) + PeerHistory(g));
}

// A delivery's checks; false (the socket closed where that helps) when it
// is not to be handled.
bool CheckDelivery(Gen* g, int iError, SOCKET s, const char* buf, UINT uiLen, unsigned long long ullSeq)
{
    if (iError != 0 || g->iRole == ROLE_LISTEN) {
        Violation(g, "receive event with an error or on the listener", s, ullSeq, "OnTcpRecv",
                  " error " + std::to_string(iError));
        return false;
    }
    if (!g->bConnected)
        Violation(g, "receive before the connect event", s, ullSeq, "OnTcpRecv");
    if (g->iTerminals > 0)
        ++g_fig.afterTerminal;
    if (g->iRole == ROLE_CLIENT && g->ullRecv + uiLen > g->ullSent) {
        Violation(g, "more bytes echoed than sent", s, ullSeq, "OnTcpRecv",
                  " sent " + std::to_string(g->ullSent) + " received " + std::to_string(g->ullRecv) + " + " +
                      std::to_string(uiLen));
        CloseGen(g, false, false);
        return false;
    }
    long long llBad = CheckPattern(buf, g->dwKey, g->ullRecv, uiLen);
    if (llBad >= 0) {
        ReportWrongByte(g, s, buf, uiLen, llBad, ullSeq);
        CloseGen(g, false, false);
        return false;
    }
    return true;
}

// Client: keep up to 64 KiB in flight, at least one message.
void SendMore(Gen* g)
{
    if (g->ullEnd != NEVER && g->ullSent >= g->ullEnd)
        return;
    if (g->bSendViaDriver) {
        if (g->ullSent == g->ullRecv)
            Post(g->dwGen, ACT_SEND, 0);
        return;
    }
    for (int i = 0; i < 8 && g->ullSent - g->ullRecv < 65536 && (g->ullSent == g->ullRecv || g->rng.Percent(30)); ++i)
        if (!SendNext(g))
            break;
}

// A timer event's checks; false when it is not to be handled.
bool CheckTimer(Gen* g, SOCKET s, UINT uiEvent, DWORD dwParam, unsigned long long ullSeq)
{
    std::string strWhich = " event " + std::to_string(uiEvent);
    if (uiEvent >= TIMER_EVENTS || !g->bTimerEver[uiEvent]) {
        Violation(g, "timer event of a timer this socket never set", s, ullSeq, "OnTimer",
                  strWhich + " parameter " + std::to_string(dwParam));
        return false;
    }
    if (dwParam != g->dwTimerParam[uiEvent]) {
        Violation(g, "timer event with another parameter", s, ullSeq, "OnTimer",
                  strWhich + " parameter " + std::to_string(dwParam));
        return false;
    }
    if (!g->bTimerSet[uiEvent]) {
        if (g->bTimerKilled[uiEvent]) // an expiry on its way when KillTimer ran
            ++g_fig.lateTimers;
        else
            Violation(g, "one-shot timer fired again", s, ullSeq, "OnTimer", strWhich);
        return false;
    }
    return true;
}

// What a timer event does: at times a kill, an ending or a send from the
// timer thread.
void ActOnTimer(Gen* g, SOCKET s, UINT uiEvent)
{
    UINT uiRoll = g->rng.Below(100);
    if (uiRoll < 15 && g->bTimerSet[uiEvent]) {
        Doing doingKill("KillTimer");
        MgrOf(g)->KillTimer(s, uiEvent);
        g->bTimerSet[uiEvent] = false;
        g->bTimerKilled[uiEvent] = true;
        g->Note('k', static_cast<int>(uiEvent), g_ullSeq.load());
    } else if (uiRoll < 18) {
        CloseGen(g, g->rng.Percent(40), true);
    } else if (uiRoll < 30 && g->iRole == ROLE_CLIENT && g->bConnected && MaySendMore(g)) {
        SendNext(g);
    }
}

} // namespace

// One event of a socket, for the scope of its handler: what the thread does
// (for a hung run's report), the event's sequence number and, when it is to
// be handled, its generation with the generation's lock held.
class SoakSink::Event {
public:
    Event(const SoakSink& sink, const char* lpszDoing, const char* lpszEvent, SOCKET s, DWORD d1, DWORD d2,
          bool bTimer = false)
        : m_doing(lpszDoing), m_ullSeq(Enter()), m_lpGen(NULL)
    {
        if (bTimer)
            ++g_fig.timerEvents;
        Gen* g = sink.Resolve(s, d1, d2, m_ullSeq, lpszEvent);
        if (g == NULL)
            return;
        g->lock.Acquire();
        if (Closed(g, m_ullSeq))
            g->lock.Release();
        else
            m_lpGen = g;
    }
    ~Event()
    {
        if (m_lpGen != NULL)
            m_lpGen->lock.Release();
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    Gen* GetGen() const { return m_lpGen; }
    unsigned long long GetSeq() const { return m_ullSeq; }

private:
    Doing m_doing;
    unsigned long long m_ullSeq;
    Gen* m_lpGen;
};

void SoakSink::OnTcpConnect(int iError, SOCKET s, DWORD d1, DWORD d2)
{
    Event ev(*this, "in OnTcpConnect", "OnTcpConnect", s, d1, d2);
    Gen* g = ev.GetGen();
    if (g == NULL)
        return;
    g->Note('c', iError, ev.GetSeq());
    if (g->iRole != ROLE_CLIENT) {
        Violation(g, "connect event on a socket that never connected", s, ev.GetSeq(), "OnTcpConnect");
        return;
    }
    EndConnecting(g);
    if (g->iTerminals > 0 || g->bConnected) {
        Violation(g, g->bConnected ? "second connect event" : "connect event after a terminal event", s,
                  ev.GetSeq(), "OnTcpConnect", " error " + std::to_string(iError));
        return;
    }
    if (iError != 0) {
        ++g->iTerminals;
        ++g_fig.connectFailures;
        CloseGen(g, false, false);
        return;
    }
    g->bConnected = true;
    ++g_fig.connections;
    if (g_bStopping) {
        CloseGen(g, false, false);
        return;
    }
    ArmSome(g);
    if (g->bSendViaDriver)
        Post(g->dwGen, ACT_SEND, 0);
    else
        SendNext(g);
    ReadOn(g);
}

// The listener's checks of an accept event (a violation or a failed accept
// counted); false when there is no socket to take on.
bool SoakSink::IsGoodAccept(int iError, SOCKET sListen, SOCKET a, unsigned long long ullSeq) const
{
    if (g_lpListen != NULL && g_lpListen->ullCloseSeq.load() != 0 && ullSeq > g_lpListen->ullCloseSeq.load())
        Violation(g_lpListen, "accept after CloseSocket of the listener returned", sListen, ullSeq, "OnTcpAccept");
    if (g_lpListen == NULL || sListen != g_lpListen->s) {
        Violation(g_lpListen, "accept on a socket that is not the listener", sListen, ullSeq, "OnTcpAccept");
        return false;
    }
    if (m_iSide == ROLE_CLIENT) {
        Violation(g_lpListen, "accept routed to the clients' container", sListen, ullSeq, "OnTcpAccept");
        return false;
    }
    if (iError != 0 || a == INVALID_SOCKET) { // a connection gone before its accept
        if (iError == 0)
            Violation(g_lpListen, "accept without a socket and without an error", sListen, ullSeq, "OnTcpAccept");
        CountFailedAccept(iError);
        return false;
    }
    return true;
}

void SoakSink::OnTcpAccept(int iError, SOCKET sListen, SOCKET a, const sockaddr_in*, const sockaddr_in* lpPeer)
{
    Doing doing("in OnTcpAccept");
    unsigned long long ullSeq = Enter();
    Gen* g = IsGoodAccept(iError, sListen, a, ullSeq) ? NewGen(ROLE_SERVER) : NULL;
    if (g == NULL)
        return;
    Hold<RecursiveLock> hold(g->lock);
    g->s = a;
    g->dwKey = lpPeer != NULL ? ntohs(lpPeer->sin_port) : 0;
    g->dwPeerGen = ClientOfPort(g->dwKey);
    g->Note('a', static_cast<int>(g->dwKey), ullSeq);
    MapHandle(g);
    AddLive(g);
    ++g_fig.accepts;
    Doing doingAccept("SetUserData/Recv of an accepted socket");
    MgrOf(g)->SetUserData1(a, g->dwGen);
    MgrOf(g)->SetUserData2(a, ROLE_SERVER);
    g->bConnected = true;
    if (g_bStopping) {
        CloseGen(g, false, false);
        return;
    }
    PlanEnding(g);
    ArmSome(g);
    MgrOf(g)->Recv(a, 1);
}

void SoakSink::OnTcpRecv(int iError, SOCKET s, const char* buf, UINT* lpuiLen, DWORD d1, DWORD d2)
{
    Event ev(*this, "in OnTcpRecv", "OnTcpRecv", s, d1, d2);
    Gen* g = ev.GetGen();
    UINT uiLen = *lpuiLen;
    if (g == NULL)
        return;
    g->Note('r', static_cast<int>(uiLen), ev.GetSeq());
    if (!CheckDelivery(g, iError, s, buf, uiLen, ev.GetSeq()))
        return;
    *lpuiLen = uiLen;
    g->ullRecv += uiLen;
    g_fig.bytesChecked += uiLen;
    if (g_bStopping)
        return;
    if (g->ullRecv >= g->ullEnd) {
        EndSide(g);
        if (g->bClosed)
            return;
    }
    if (g->iRole == ROLE_SERVER) { // the echo
        if (uiLen > 0)
            MgrOf(g)->Send(s, buf, static_cast<int>(uiLen), 0, NULL);
        MgrOf(g)->Recv(s, 1);
        return;
    }
    SendMore(g);
    ReadOn(g);
}

void SoakSink::OnUdpRecv(int, SOCKET s, const char*, int, const sockaddr_in*, DWORD d1, DWORD)
{
    Doing doing("in OnUdpRecv");
    unsigned long long ullSeq = Enter();
    Violation(GenAt(d1), "datagram event (no UDP socket exists)", s, ullSeq, "OnUdpRecv");
}

void SoakSink::OnTcpSend(int iError, SOCKET s, DWORD d1, DWORD d2, DWORD, UINT uiQueued)
{
    Event ev(*this, "in OnTcpSend", "OnTcpSend", s, d1, d2);
    if (ev.GetGen() != NULL)
        ev.GetGen()->Note('s', iError != 0 ? -iError : static_cast<int>(uiQueued), ev.GetSeq());
}

void SoakSink::OnSocketClose(int iError, SOCKET s, int iStatus, DWORD d1, DWORD d2)
{
    Event ev(*this, "in OnSocketClose", "OnSocketClose", s, d1, d2);
    Gen* g = ev.GetGen();
    if (g == NULL)
        return;
    if (iError != 0)
        g->Note('e', iError, ev.GetSeq());
    g->Note('x', iStatus, ev.GetSeq());
    ++(iError != 0 ? g_fig.closeErrors : g_fig.closeEvents);
    if (++g->iTerminals > 1) {
        Violation(g, "second terminal event", s, ev.GetSeq(), "OnSocketClose",
                  " error " + std::to_string(iError) + " status " + std::to_string(iStatus));
        return;
    }
    if (g->iRole == ROLE_CLIENT && !g->bConnected)
        ++g_fig.closeBeforeConnect;
    EndConnecting(g);
    // The answer: close at once, or from the driving thread.
    if (g->rng.Percent(50))
        CloseGen(g, false, false);
    else
        Post(g->dwGen, ACT_CLOSE, 1);
}

void SoakSink::OnRecvTimeout(int, SOCKET s, DWORD d1, DWORD d2)
{
    Event ev(*this, "in OnRecvTimeout", "OnRecvTimeout", s, d1, d2, true);
    Gen* g = ev.GetGen();
    if (g == NULL)
        return;
    g->Note('o', 0, ev.GetSeq());
    if (!g->bRecvTimeoutEver) {
        Violation(g, "receive time-out of a socket that never set one", s, ev.GetSeq(), "OnRecvTimeout");
        return;
    }
    if (!g->bRecvTimeoutSet) {
        ++g_fig.lateTimers;
        return;
    }
    UINT uiRoll = g->rng.Below(100);
    if (uiRoll < 20) {
        MgrOf(g)->KillRecvTimeout(s);
        g->bRecvTimeoutSet = false;
        g->Note('K', -1, g_ullSeq.load());
    } else if (uiRoll < 24 && !g_bStopping) {
        CloseGen(g, g->rng.Percent(40), true);
    }
}

void SoakSink::OnSendTimeout(int, SOCKET s, DWORD d1, DWORD d2)
{
    Doing doing("in OnSendTimeout");
    unsigned long long ullSeq = Enter();
    ++g_fig.timerEvents;
    Gen* g = Resolve(s, d1, d2, ullSeq, "OnSendTimeout");
    if (g != NULL)
        Violation(g, "send time-out of a socket that never set one", s, ullSeq, "OnSendTimeout");
}

void SoakSink::OnDnsParse(const char*, ULONG)
{
    Doing doing("in OnDnsParse");
    unsigned long long ullSeq = Enter();
    Violation(NULL, "name event (no name was asked for)", INVALID_SOCKET, ullSeq, "OnDnsParse");
}

void SoakSink::OnTimer(SOCKET s, UINT uiEvent, DWORD dwParam, DWORD d1, DWORD d2)
{
    Event ev(*this, "in OnTimer", "OnTimer", s, d1, d2, true);
    Gen* g = ev.GetGen();
    if (g == NULL)
        return;
    g->Note('t', static_cast<int>(uiEvent), ev.GetSeq());
    if (!CheckTimer(g, s, uiEvent, dwParam, ev.GetSeq()))
        return;
    if (g->bTimerOnce[uiEvent])
        g->bTimerSet[uiEvent] = false;
    if (!g_bStopping)
        ActOnTimer(g, s, uiEvent);
}

void SoakSink::OnProxyResult(int, SOCKET s, const sockaddr_in*, DWORD d1, DWORD)
{
    Doing doing("in OnProxyResult");
    unsigned long long ullSeq = Enter();
    Violation(GenAt(d1), "proxy event (no proxy is used)", s, ullSeq, "OnProxyResult");
}

DWORD SoakSink::OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD)
{
    Doing doing("in OnReserved");
    unsigned long long ullSeq = Enter();
    Violation(NULL, "reserved event", INVALID_SOCKET, ullSeq, "OnReserved");
    return 0;
}

// The generation an event belongs to, or NULL (after counting a violation
// or an overlap with a close) when it must not be handled.
Gen* SoakSink::Resolve(SOCKET s, DWORD d1, DWORD d2, unsigned long long ullSeq, const char* lpszEvent) const
{
    Gen* g = GenAt(d1 != 0 ? d1 : GenOfHandle(s));
    if (d1 == 0 && (g == NULL || g->iRole != ROLE_SERVER || d2 != 0)) { // an accepted socket before its user values
        Violation(g, "event without user values for no announced socket", s, ullSeq, lpszEvent);
        return NULL;
    }
    if (g == NULL) {
        Violation(NULL, "event with user values this program never gave", s, ullSeq, lpszEvent, Values(d1, d2));
        return NULL;
    }
    if (d1 != 0 && (g->s != s || static_cast<DWORD>(g->iRole) != d2)) {
        Violation(g, "event with the user values of another socket", s, ullSeq, lpszEvent, Values(d1, d2));
        return NULL;
    }
    if (g_bContainers && ((m_iSide == ROLE_CLIENT) != (g->iRole == ROLE_CLIENT))) {
        Violation(g, "event routed to the wrong container", s, ullSeq, lpszEvent);
        return NULL;
    }
    if (g->ullCloseSeq.load() != 0) {
        CountLate(g, ullSeq, lpszEvent);
        return NULL;
    }
    return g;
}

} // namespace soak
