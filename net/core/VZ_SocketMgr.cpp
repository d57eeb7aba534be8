// Engine-independent part of every socket manager: buffer sizes, the timers
// keyed by socket, name requests, the sink and the textual address forms.
// The proxy records and handshake steps live in VZ_SocketMgrProxy.cpp.
#include <winsock2.h>
#include <windows.h>

#include <climits>
#include <cstring>

#include "VZ_Assert.h"
#include "VZ_SocketMgr.h"

#include "VZ_MultiThread.h"

namespace {

// Timer ids keep the socket in their low 24 bits: a larger handle would be
// read back as another socket (or another kind), so every timer operation
// refuses it. INVALID_SOCKET falls under the same rule.
bool FitsTimerId(SOCKET s)
{
    return s < TIMER_SOCKET_MASK;
}

// Number of timer kinds (send, receive, connect, events 0..28).
const UINT TIMER_KIND_COUNT = TIMER_KIND_EVENT + MAX_TIMER_COUNT + 1;

// Marks the end of the name-request queue while the destructor drains it;
// no request uses message 0.
const UINT DNS_MSG_DRAIN_END = 0;

const UINT TIMER_PERIOD = 1;        // ms per tick of the timer service
const int TIMER_HASH_SIZE = 4099;   // buckets of the service's id map

// SetTimer/KillTimer events 0..MAX_TIMER_COUNT map to kinds 3..31; a larger
// one is reported and refused.
bool CheckEvent(UINT event)
{
    VZ_ASSERT(event <= MAX_TIMER_COUNT);
    return event <= MAX_TIMER_COUNT;
}

sockaddr_in MakeAddress(const char* lpAddr, USHORT usPort)
{
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = lpAddr != NULL ? inet_addr(lpAddr) : 0;
    addr.sin_port = htons(usPort);
    return addr;
}

// Requests nobody answered (no name-resolution thread, or it ended first)
// still hold pool blocks; the queue would drop them without freeing. The
// engine's threads have ended by now, so this thread is the only consumer,
// and the marker posted last bounds the loop.
void FreeNameRequests(VZ_MsgQueue& queDns, VZ_MemoryEx& memory)
{
    if (!queDns.PostMessage(DNS_MSG_DRAIN_END, 0, 0))
        return;
    for (;;) {
        _VZ_MSG msg = { DNS_MSG_DRAIN_END, 0, 0 };   // also what a failed wait leaves
        queDns.GetMessage(&msg);
        if (msg.message == DNS_MSG_DRAIN_END)
            break;
        if ((msg.message == DNS_MSG_RESOLVE || msg.message == DNS_MSG_CONNECT) && msg.lParam != 0)
            memory.Free(reinterpret_cast<void*>(msg.lParam));
    }
}

} // namespace

VZ_SocketMgr::VZ_SocketMgr()
    : m_lpSink(NULL), m_dwNextTimerToken(0), m_queDns(true), m_listProxy(10), m_bRecord(false), m_bSimulator(false),
      m_dwEngineMode(0), m_bTimerStarted(false), m_ulMaxAffect(10), m_ulLostPacketsMinrate(0), m_ulLostPacketsMaxrate(0),
      m_ulUdpMinDelay(0), m_ulUdpMaxDelay(0), m_ulMinBreaktime(0), m_ulMaxBreaktime(0), m_ulMinDelaytime(0),
      m_ulMaxDelaytime(0), m_ulConnFailMinrate(0), m_ulConnFailMaxrate(0)
{
    // One Winsock reference per manager, given back by the destructor. No
    // member touches Winsock while it is built or destroyed, so taking it
    // here is the same as taking it before them. The result is not checked:
    // the first socket call reports a missing Winsock.
    WSADATA wsaData;
    WSAStartup(0x0101, &wsaData);
    InterlockedIncrement(&s_lLive);
}

volatile LONG VZ_SocketMgr::s_lLive = 0;

VZ_SocketMgr::~VZ_SocketMgr()
{
    InterlockedDecrement(&s_lLive);
    // The engine's Uninitialize stops the service already; stopping again is
    // harmless and keeps its threads from outliving the members below.
    StopTimerService();

    {
        VZ_AutoLock lock(&m_listProxy);
        VZ_POSITION pos = m_listProxy.GetHeadPosition();
        while (pos != NULL)
            m_Memory.Free(m_listProxy.GetNext(pos));
        m_listProxy.RemoveAll();
    }

    if (m_bRecord) {
        VZ_AutoLock lock(&m_lckRec);
        m_fileRec.Close();
        m_bRecord = false;
    }

    FreeNameRequests(m_queDns, m_Memory);
    WSACleanup();
}

bool VZ_SocketMgr::SetSendBufSize(SOCKET s, int iSize)
{
    return setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&iSize), sizeof(iSize)) == 0;
}

bool VZ_SocketMgr::SetRecvBufSize(SOCKET s, int iSize)
{
    return setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&iSize), sizeof(iSize)) == 0;
}

// The time-outs are one-shot with the period as parameter: the engine's
// expiry handler re-arms them against the socket's last send/receive time.
bool VZ_SocketMgr::SetSendTimeout(SOCKET s, UINT uiElapse)
{
    return FitsTimerId(s) && ArmTimer(MakeTimerId(TIMER_KIND_SEND, s), uiElapse, uiElapse, false);
}

bool VZ_SocketMgr::SetRecvTimeout(SOCKET s, UINT uiElapse)
{
    return FitsTimerId(s) && ArmTimer(MakeTimerId(TIMER_KIND_RECV, s), uiElapse, uiElapse, false);
}

bool VZ_SocketMgr::KillSendTimeout(SOCKET s)
{
    return FitsTimerId(s) && DisarmTimer(MakeTimerId(TIMER_KIND_SEND, s));
}

bool VZ_SocketMgr::KillRecvTimeout(SOCKET s)
{
    return FitsTimerId(s) && DisarmTimer(MakeTimerId(TIMER_KIND_RECV, s));
}

bool VZ_SocketMgr::SetTimer(SOCKET s, UINT uiEvent, UINT uiElapse, DWORD dwParam, bool bOnce)
{
    if (!CheckEvent(uiEvent))
        return false;
    return FitsTimerId(s) && ArmTimer(MakeTimerId(TIMER_KIND_EVENT + uiEvent, s), uiElapse, dwParam, bOnce);
}

bool VZ_SocketMgr::KillTimer(SOCKET s, UINT uiEvent)
{
    if (!CheckEvent(uiEvent))
        return false;
    return FitsTimerId(s) && DisarmTimer(MakeTimerId(TIMER_KIND_EVENT + uiEvent, s));
}

bool VZ_SocketMgr::DnsParse(const char* dn)
{
    // A NULL name is reported and then refused like an overlong one: there
    // is nothing to resolve.
    VZ_ASSERT(dn != NULL);
    if (dn == NULL)
        return false;
    return PostNameRequest(DNS_MSG_RESOLVE, INVALID_SOCKET, 0, 0, dn);
}

bool VZ_SocketMgr::PostNameRequest(UINT uiMessage, SOCKET s, USHORT usPort, ULONG ulSerial, const char* lpszHost)
{
    // 1. Names over DNS_MAX_NAME characters are refused.
    size_t n = std::strlen(lpszHost);
    if (n > DNS_MAX_NAME)
        return false;
    // 2. One block: the fixed fields, then the name and its zero.
    UINT uiSize = static_cast<UINT>(sizeof(_DNSDATA) + n + 1);
    _DNSDATA* lpData = static_cast<_DNSDATA*>(m_Memory.Alloc(uiSize));
    if (lpData == NULL)
        return false;
    std::memset(lpData, 0, sizeof(_DNSDATA));
    lpData->s = s;
    lpData->usPort = usPort;
    lpData->ulSerial = ulSerial;
    lpData->lpszHost = reinterpret_cast<char*>(lpData + 1);
    std::memcpy(lpData->lpszHost, lpszHost, n + 1);
    // 3. The name-resolution thread answers and frees the block.
    bool bResult = m_queDns.PostMessage(uiMessage, 0, reinterpret_cast<ULONG_PTR>(lpData));
    if (!bResult)
        m_Memory.Free(lpData);
    return bResult;
}

void VZ_SocketMgr::SetSink(ISocketMgrSink* lpSink)
{
    m_lpSink = lpSink;
}

ISocketMgrSink* VZ_SocketMgr::GetSink()
{
    return m_lpSink;
}

SOCKET VZ_SocketMgr::CreateUdpSocket(HANDLE hProxy, const char* lpAddr, USHORT usPort, DWORD dwUserData1,
                                     DWORD dwUserData2)
{
    sockaddr_in addr = MakeAddress(lpAddr, usPort);
    return CreateUdpSocket(hProxy, &addr, dwUserData1, dwUserData2);
}

int VZ_SocketMgr::SendTo(SOCKET s, const char* lpAddr, USHORT usPort, const char* buf, int len, bool bDirect)
{
    sockaddr_in addr = MakeAddress(lpAddr, usPort);
    return SendTo(s, &addr, buf, len, bDirect);
}

SOCKET VZ_SocketMgr::CreateTcpSocket(HANDLE hProxy, const char* lpAddr, USHORT usPort, DWORD dwUserData1,
                                     DWORD dwUserData2)
{
    sockaddr_in addr = MakeAddress(lpAddr, usPort);
    return CreateTcpSocket(hProxy, &addr, dwUserData1, dwUserData2);
}

bool VZ_SocketMgr::SendV(SOCKET s, const _SOCKBUF* lpBufs, UINT uiCount, DWORD dwSendParam, UINT* lpuiQueued)
{
    // 1. Add up the lengths; a total that Send's int cannot carry is refused.
    ULONGLONG ullTotal = 0;
    for (UINT i = 0; lpBufs != NULL && i < uiCount; ++i)
        ullTotal += lpBufs[i].uiLen;
    if (ullTotal == 0 || ullTotal > INT_MAX)
        return false;
    // 2. Copy the buffers in order into one pool block.
    UINT uiTotal = static_cast<UINT>(ullTotal);
    char* lpBlock = static_cast<char*>(m_Memory.Alloc(uiTotal));
    if (lpBlock == NULL)
        return false;
    UINT uiOffset = 0;
    for (UINT i = 0; i < uiCount; ++i) {
        if (lpBufs[i].uiLen == 0)
            continue;
        std::memcpy(lpBlock + uiOffset, lpBufs[i].lpBuf, lpBufs[i].uiLen);
        uiOffset += lpBufs[i].uiLen;
    }
    // 3. One send; Send copies the bytes into the socket's queue.
    bool bResult = Send(s, lpBlock, static_cast<int>(uiTotal), dwSendParam, lpuiQueued);
    m_Memory.Free(lpBlock);
    return bResult;
}

void VZ_SocketMgr::KillAllTimers(SOCKET s)
{
    if (!FitsTimerId(s))
        return;
    for (UINT uiKind = 0; uiKind < TIMER_KIND_COUNT; ++uiKind)
        DisarmTimer(MakeTimerId(uiKind, s));
}

bool VZ_SocketMgr::SetConnectTimer(SOCKET s)
{
    return FitsTimerId(s) &&
           ArmTimer(MakeTimerId(TIMER_KIND_CONNECT, s), CONNECT_NAME_TIMEOUT, CONNECT_NAME_TIMEOUT, true);
}

bool VZ_SocketMgr::KillConnectTimer(SOCKET s)
{
    return FitsTimerId(s) && DisarmTimer(MakeTimerId(TIMER_KIND_CONNECT, s));
}

bool VZ_SocketMgr::StartTimerService(VZ_MultipleTimerSink* lpSink, int iMsgThreadCount)
{
    if (iMsgThreadCount <= 0) {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        iMsgThreadCount = si.dwNumberOfProcessors > 0 ? static_cast<int>(si.dwNumberOfProcessors) : 1;
    }
    m_Timer.m_lpSink = lpSink;
    return m_Timer.Start(TIMER_PERIOD, iMsgThreadCount, TIMER_HASH_SIZE);
}

void VZ_SocketMgr::StopTimerService()
{
    m_Timer.Stop(); // its message threads have ended: no expiry is being taken
    VZ_AutoLock lock(&m_mapTimerArm);
    m_mapTimerArm.RemoveAll();
}

void VZ_SocketMgr::StartTimers(BYTE byFlags, VZ_MultipleTimerSink* lpSink, int iMsgThreadCount)
{
    m_Timer.m_lpSink = lpSink;
    if ((byFlags & INIT_NO_TIMER) == 0) {
        StartTimerService(lpSink, iMsgThreadCount);
        m_bTimerStarted = true;
    }
}

void VZ_SocketMgr::StopTimers()
{
    if (m_bTimerStarted) {
        StopTimerService();
        m_bTimerStarted = false;
    }
}

void VZ_SocketMgr::StartNameThread(BYTE byFlags, VZ_MultiThread* lpThreads, int iNameThread)
{
    if ((byFlags & INIT_NO_NAME_THREAD) == 0) {
        int iThreadCount = lpThreads->StartThreads(iNameThread, 1, 0);
        VZ_ASSERT(iThreadCount == 1);
    }
}

void VZ_SocketMgr::StopNameThreads(VZ_MultiThread* lpThreads, int iNameThread)
{
    int iNameThreads = lpThreads->GetThreadCount(iNameThread);
    for (int i = 0; i < iNameThreads; ++i)
        m_queDns.PostMessage(DNS_MSG_QUIT, 0, 0);
    if (iNameThreads > 0)
        lpThreads->StopThreads(iNameThread, STOP_WAIT_MS);
}

// The idle time-outs (kinds 0 and 1) stay listed until they are killed: their
// expiry handler arms them again, one-shot, period after period.
bool VZ_SocketMgr::ArmTimer(DWORD dwTimerId, UINT uiElapse, DWORD dwParam, bool bOnce)
{
    VZ_AutoLock lock(&m_mapTimerArm);
    DWORD dwToken = ++m_dwNextTimerToken;
    bool bServiceOnce = bOnce || (dwTimerId >> TIMER_KIND_SHIFT) <= TIMER_KIND_RECV;
    if (!m_Timer.AddTimer(dwTimerId, uiElapse, dwToken, bServiceOnce))
        return false; // armed already (the armed one stays as it is), or no service
    _TIMERARM arm = {dwToken, dwParam, bOnce};
    m_mapTimerArm.SetAt(dwTimerId, arm);
    return true;
}

bool VZ_SocketMgr::DisarmTimer(DWORD dwTimerId)
{
    VZ_AutoLock lock(&m_mapTimerArm);
    m_mapTimerArm.RemoveKey(dwTimerId);
    return m_Timer.RemoveTimer(dwTimerId);
}

bool VZ_SocketMgr::TakeExpiry(DWORD dwTimerId, DWORD dwToken, DWORD* lpdwParam)
{
    VZ_AutoLock lock(&m_mapTimerArm);
    _TIMERARM* lpArm = m_mapTimerArm.PLookup(dwTimerId);
    if (lpArm == NULL || lpArm->dwToken != dwToken)
        return false;
    *lpdwParam = lpArm->dwParam;
    if (lpArm->bOnce)
        m_mapTimerArm.RemoveKey(dwTimerId);
    return true;
}

void VZ_SocketMgr::RearmTimeout(DWORD dwTimerId, DWORD dwToken, UINT uiElapse)
{
    VZ_AutoLock lock(&m_mapTimerArm);
    _TIMERARM* lpArm = m_mapTimerArm.PLookup(dwTimerId);
    if (lpArm != NULL && lpArm->dwToken == dwToken)
        m_Timer.AddTimer(dwTimerId, uiElapse, dwToken, true);
}

ULONG VZ_SocketMgr::ResolveName(const char* lpszName)
{
    if (lpszName == NULL)
        return INADDR_NONE;
    ULONG ulIP = inet_addr(lpszName);
    if (ulIP != INADDR_NONE)
        return ulIP;
    hostent* lpHost = gethostbyname(lpszName);
    if (lpHost == NULL || lpHost->h_addrtype != AF_INET || lpHost->h_length != 4 || lpHost->h_addr_list == NULL ||
        lpHost->h_addr_list[0] == NULL)
        return INADDR_NONE;
    std::memcpy(&ulIP, lpHost->h_addr_list[0], sizeof(ulIP));
    return ulIP;
}

bool VZ_SocketMgr::IsEngineThread()
{
    VZ_MultiThread* lpPool = dynamic_cast<VZ_MultiThread*>(this);
    return m_Timer.IsMsgThread() || (lpPool != NULL && lpPool->IsPoolThread());
}
