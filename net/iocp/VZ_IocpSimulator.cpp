// Completion-port engine: the network fault simulator. Switched on by
// oxnet.ini beside the host executable; it drops datagrams, fails connects,
// holds TCP sends back and breaks connections at the configured rates.
//
// Locks, in the only nesting order used: m_mapSocketCache's lock, then
// m_arrDelaySocket's or (through SendRaw) m_mapSocket2Data's. The lost and
// fail sets have their own locks, never held together. No lock is held
// while a thread sleeps.
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "VZ_Assert.h"
#include "VZ_IniFileEx.h"
#include "VZ_IocpSocketMgr.h"

namespace {

const UINT SIM_MAP_BUCKETS = 211;
const UINT LOST_MAP_BUCKETS = 1171;
const ULONG LOST_ORDINALS = 1000;   // lost ordinals lie in 1 .. 1001
const ULONG CONNECT_ORDINALS = 100; // connect ordinals lie in 1 .. 101
const DWORD DELAY_WINDOW_MS = 29999; // a picked socket's sends are held this long
const DWORD SIMULATOR_SLEEP_MS = 50;
const DWORD DELAYSEND_SLEEP_MS = 10;

// A value in [ulLo, ulHi], the difference taken as an unsigned number.
ULONG RandomIn(_SIMRANDOM& rnd, ULONG ulLo, ULONG ulHi)
{
    return static_cast<ULONG>(rnd.Next() * static_cast<ULONG>(ulHi - ulLo) + ulLo);
}

// An index into n elements, -1 when the draw falls outside (the last element
// is taken only when the draw is 1).
int RandomIndex(_SIMRANDOM& rnd, int n)
{
    int i = static_cast<int>(rnd.Next() * (n - 1));
    return i >= 0 && i < n ? i : -1;
}

// The four sequences of a run: from oxnet.ini's seed, or, without one, from
// the clock and the process, so that each run draws differently.
void SeedAll(VZ_IniFileEx& ini, _SIMRANDOM* lpRnd[], int iCount)
{
    VZ_StringA strSeed;
    ULONG ulSeed = timeGetTime() ^ (GetCurrentProcessId() << 16);
    if (ini.QueryString("oxnet", "seed", strSeed, "") && strSeed.GetLength() > 0)
        ulSeed = strtoul(static_cast<const char*>(strSeed), NULL, 10);
    for (int i = 0; i < iCount; ++i)
        lpRnd[i]->ulState = ulSeed * 2654435761u + static_cast<ULONG>(i);
}

std::string Trim(const std::string& str)
{
    size_t nFirst = str.find_first_not_of(" \t\r\n");
    if (nFirst == std::string::npos)
        return std::string();
    return str.substr(nFirst, str.find_last_not_of(" \t\r\n") - nFirst + 1);
}

// "lo,hi" with white space anywhere; without a comma both are 0.
void ReadRange(VZ_IniFileEx& ini, const char* lpszSection, const char* lpszKey, ULONG* lpulLo, ULONG* lpulHi)
{
    *lpulLo = *lpulHi = 0;
    VZ_StringA strValue;
    if (!ini.QueryString(lpszSection, lpszKey, strValue, "0,0"))
        return;
    std::string str = Trim(static_cast<const char*>(strValue));
    size_t nComma = str.find(',');
    if (nComma == std::string::npos)
        return;
    *lpulLo = static_cast<ULONG>(atoi(Trim(str.substr(0, nComma)).c_str()));
    *lpulHi = static_cast<ULONG>(atoi(Trim(str.substr(nComma + 1)).c_str()));
}

} // namespace

// ---------------------------------------------------------------------------
// Settings

void VZ_IocpSocketMgr::ReadSimulatorSettings()
{
    m_bSimulator = false; // a file removed since the last Initialize turns it off
    char szPath[MAX_PATH + 16];
    DWORD dwLen = GetModuleFileNameA(NULL, szPath, MAX_PATH);
    if (dwLen == 0 || dwLen >= MAX_PATH)
        return;
    char* lpSlash = strrchr(szPath, '\\');
    strcpy(lpSlash != NULL ? lpSlash + 1 : szPath, "oxnet.ini");
    VZ_IniFileEx ini(17, 17);
    if (!ini.Load(szPath, false))
        return;
    m_bSimulator = ini.GetBool("oxnet", "simulator", false);
    if (!m_bSimulator)
        return;
    m_ulUdpSendCount = 0;
    m_ulMaxAffect = static_cast<ULONG>(ini.GetInt("oxnet", "maxaffect", 10));
    ReadRange(ini, "udp", "lost", &m_ulLostPacketsMinrate, &m_ulLostPacketsMaxrate);
    VZ_ASSERT(m_ulLostPacketsMinrate <= m_ulLostPacketsMaxrate);
    // Unsigned, so only the upper bound can fail; the report keeps the whole range.
    if (m_ulLostPacketsMaxrate > 100)
        VZ_AssertReport("m_ulLostPacketsMaxrate >= 0 && m_ulLostPacketsMaxrate <= 100", __FILE__, __LINE__);
    ReadRange(ini, "udp", "delay", &m_ulUdpMinDelay, &m_ulUdpMaxDelay);
    ReadRange(ini, "tcp", "break", &m_ulMinBreaktime, &m_ulMaxBreaktime);
    ReadRange(ini, "tcp", "delay", &m_ulMinDelaytime, &m_ulMaxDelaytime);
    ReadRange(ini, "tcp", "connfail", &m_ulConnFailMinrate, &m_ulConnFailMaxrate);
    m_ulConnectCount = 0;
    _SIMRANDOM* lpRnd[] = {&m_rndLost, &m_rndConnect, &m_rndBreak, &m_rndDelay};
    SeedAll(ini, lpRnd, 4);
    // The sets are filled before Initialize returns, so the host's first
    // datagrams and connects are simulated too; the thread refills them.
    FillOrdinals(m_mapLostPacket, m_rndLost, m_ulLostPacketsMinrate, m_ulLostPacketsMaxrate, 10, LOST_ORDINALS,
                 &m_ulUdpSendCount);
    FillOrdinals(m_mapConnFail, m_rndConnect, m_ulConnFailMinrate, m_ulConnFailMaxrate, 1, CONNECT_ORDINALS,
                 &m_ulConnectCount);
    StartThreads(IOCP_THREAD_SIMULATOR, 1, 0);
    StartThreads(IOCP_THREAD_DELAYSEND, 1, 0);
}

// ---------------------------------------------------------------------------
// Breaks, lost datagrams and failed connects

void VZ_IocpSocketMgr::ThreadSimulator()
{
    DWORD dwStart = timeGetTime();
    DWORD dwInterval = 0;
    while (!m_bStopping) {
        VZ_ASSERT(m_ulMinBreaktime <= m_ulMaxBreaktime);
        if (dwInterval == 0)
            dwInterval = static_cast<DWORD>((m_rndBreak.Next() * static_cast<ULONG>(m_ulMaxBreaktime - m_ulMinBreaktime) +
                                             m_ulMinBreaktime) * 1000.0);
        if (timeGetTime() >= dwStart + dwInterval) {
            BreakOneSocket();
            dwStart = timeGetTime();
            dwInterval = 0;
        }
        FillOrdinals(m_mapLostPacket, m_rndLost, m_ulLostPacketsMinrate, m_ulLostPacketsMaxrate, 10, LOST_ORDINALS,
                     &m_ulUdpSendCount);
        FillOrdinals(m_mapConnFail, m_rndConnect, m_ulConnFailMinrate, m_ulConnFailMaxrate, 1, CONNECT_ORDINALS,
                     &m_ulConnectCount);
        Sleep(SIMULATOR_SLEEP_MS);
    }
}

// A break ends the connection at both sides as a lost network would, and
// each socket breaks once. The handle itself stays open until the host's
// CloseSocket: closing it here would let a new socket take the same handle
// value while the broken one's record still holds it (its bytes would reach
// the wrong record, and the host's CloseSocket would close the new socket).
// The shutdown tells the peer; cancelling the outstanding operations makes
// them fail, so the host hears OnSocketClose; a later send or receive fails
// the same way.
void VZ_IocpSocketMgr::BreakOneSocket()
{
    VZ_AutoLock lock(&m_arrDelaySocket);
    int i = RandomIndex(m_rndBreak, m_arrDelaySocket.GetSize());
    if (i < 0)
        return;
    SOCKET s = static_cast<SOCKET>(m_arrDelaySocket[i]);
    m_arrDelaySocket.RemoveAt(i);
    shutdown(s, SD_BOTH);
    CancelIoEx(reinterpret_cast<HANDLE>(s), NULL);
}

// Refills an empty set of ordinals: ulPerRate for each percent of a rate
// drawn in [ulLo, ulHi], at most ulOrdinals (a rate above 100 is clamped:
// the fill would never end otherwise), distinct ones in 1 .. ulOrdinals + 1.
// The count they are matched against starts again. Nothing is drawn while
// the set is not empty, so a sequence advances only with the faults it makes.
void VZ_IocpSocketMgr::FillOrdinals(VZ_LckMap<USHORT, USHORT, USHORT, USHORT>& map, _SIMRANDOM& rnd, ULONG ulLo,
                                    ULONG ulHi, ULONG ulPerRate, ULONG ulOrdinals, ULONG* lpulCount)
{
    VZ_AutoLock lock(&map);
    if (!map.IsEmpty())
        return;
    ULONG ulTarget = ulPerRate * RandomIn(rnd, ulLo, ulHi);
    if (ulTarget > ulOrdinals)
        ulTarget = ulOrdinals;
    while (static_cast<ULONG>(map.GetCount()) < ulTarget) {
        USHORT usOrdinal = static_cast<USHORT>(static_cast<int>(rnd.Next() * ulOrdinals + 1.0));
        if (!map.Lookup(usOrdinal))
            map.SetAt(usOrdinal, 0);
    }
    *lpulCount = 0;
}

bool VZ_IocpSocketMgr::IsLostDatagram()
{
    VZ_AutoLock lock(&m_mapLostPacket);
    USHORT usOrdinal = static_cast<USHORT>(++m_ulUdpSendCount & 0xFFFF);
    return m_mapLostPacket.RemoveKey(usOrdinal);
}

bool VZ_IocpSocketMgr::IsFailedConnect()
{
    VZ_AutoLock lock(&m_mapConnFail);
    USHORT usOrdinal = static_cast<USHORT>(++m_ulConnectCount & 0xFFFF);
    return m_mapConnFail.RemoveKey(usOrdinal);
}

// ---------------------------------------------------------------------------
// Held-back sends

// True when the bytes were taken (the socket is affected); a range of equal
// numbers turns the delay off.
bool VZ_IocpSocketMgr::OfferDelay(SOCKET s, const char* buf, int len, DWORD dwSendParam)
{
    if (m_ulMaxDelaytime == 0 || m_ulMaxDelaytime <= m_ulMinDelaytime || buf == NULL || len <= 0)
        return false;
    {
        VZ_AutoLock lock(&m_arrDelaySocket);
        bool bKnown = false;
        for (int i = 0; i < m_arrDelaySocket.GetSize() && !bKnown; ++i)
            bKnown = m_arrDelaySocket[i] == static_cast<unsigned int>(s);
        if (!bKnown)
            m_arrDelaySocket.Add(static_cast<unsigned int>(s));
    }
    VZ_AutoLock lock(&m_mapSocketCache);
    CACHELIST** lplpList = m_mapSocketCache.PLookup(static_cast<unsigned int>(s));
    if (lplpList == NULL || *lplpList == NULL)
        return false;
    _CACHEDATA cd = {timeGetTime(), dwSendParam, static_cast<UINT>(len),
                     static_cast<char*>(m_Memory.Alloc(static_cast<UINT>(len)))};
    if (cd.lpBuf == NULL)
        return false;
    memcpy(cd.lpBuf, buf, static_cast<size_t>(len));
    (*lplpList)->AddTail(cd);
    return true;
}

void VZ_IocpSocketMgr::ThreadDelaySend()
{
    while (!m_bStopping) {
        {
            VZ_AutoLock lock(&m_mapSocketCache);
            PickDelaySocket();
            ReleaseDelayed();
        }
        Sleep(DELAYSEND_SLEEP_MS);
    }
}

// One pick per round while at most m_ulMaxAffect sockets are affected.
void VZ_IocpSocketMgr::PickDelaySocket()
{
    if (static_cast<ULONG>(m_mapSocketCache.GetCount()) > m_ulMaxAffect)
        return;
    SOCKET s = INVALID_SOCKET;
    {
        VZ_AutoLock lock(&m_arrDelaySocket);
        int i = RandomIndex(m_rndDelay, m_arrDelaySocket.GetSize());
        if (i >= 0)
            s = static_cast<SOCKET>(m_arrDelaySocket[i]);
    }
    if (s == INVALID_SOCKET || m_mapSocketCache.Lookup(static_cast<unsigned int>(s)))
        return;
    m_mapSocketCache.SetAt(static_cast<unsigned int>(s), new CACHELIST(10));
    _DELAYTIME dt = {timeGetTime(), RandomIn(m_rndDelay, m_ulMinDelaytime, m_ulMaxDelaytime)};
    m_mapSocketDelaytime.SetAt(static_cast<unsigned int>(s), dt);
}

// Held sends whose delay has passed go out; at the end of its window a
// socket sends all it holds and leaves the affected set. Cache lock held.
void VZ_IocpSocketMgr::ReleaseDelayed()
{
    VZ_Array<unsigned int, unsigned int> arrRetired;
    VZ_POSITION pos = m_mapSocketCache.GetStartPosition();
    while (pos != NULL) {
        unsigned int rKey = 0;
        CACHELIST* rValue = *m_mapSocketCache.GetNextValue(pos, &rKey);
        VZ_ASSERT(rValue);
        _DELAYTIME* lpDelay = m_mapSocketDelaytime.PLookup(rKey);
        VZ_ASSERT(m_mapSocketDelaytime.Lookup(rKey));
        if (rValue == NULL || lpDelay == NULL)
            continue;
        bool bWindowOver = timeGetTime() - lpDelay->dwPickTime >= DELAY_WINDOW_MS;
        while (!rValue->IsEmpty()) {
            _CACHEDATA& cd = rValue->GetHead();
            if (!bWindowOver && timeGetTime() < cd.dwTime + lpDelay->dwDelay)
                break;
            SendRaw(static_cast<SOCKET>(rKey), cd.lpBuf, static_cast<int>(cd.uiLen), cd.dwSendParam, NULL);
            m_Memory.Free(cd.lpBuf);
            rValue->RemoveHead();
        }
        if (bWindowOver && rValue->IsEmpty())
            arrRetired.Add(rKey);
    }
    for (int i = 0; i < arrRetired.GetSize(); ++i) {
        CACHELIST** lplpList = m_mapSocketCache.PLookup(arrRetired[i]);
        if (lplpList != NULL)
            FreeCacheList(*lplpList);
        m_mapSocketCache.RemoveKey(arrRetired[i]);
        m_mapSocketDelaytime.RemoveKey(arrRetired[i]);
    }
}

void VZ_IocpSocketMgr::FreeCacheList(CACHELIST* lpList)
{
    if (lpList == NULL)
        return;
    while (!lpList->IsEmpty())
        m_Memory.Free(lpList->RemoveHead().lpBuf);
    delete lpList;
}

// CloseSocket's part: the locks are taken one after the other, never nested.
void VZ_IocpSocketMgr::ForgetSimulated(SOCKET s)
{
    {
        VZ_AutoLock lock(&m_arrDelaySocket);
        for (int i = m_arrDelaySocket.GetSize() - 1; i >= 0; --i)
            if (m_arrDelaySocket[i] == static_cast<unsigned int>(s))
                m_arrDelaySocket.RemoveAt(i);
    }
    VZ_AutoLock lock(&m_mapSocketCache);
    CACHELIST** lplpList = m_mapSocketCache.PLookup(static_cast<unsigned int>(s));
    if (lplpList == NULL)
        return;
    FreeCacheList(*lplpList);
    m_mapSocketCache.RemoveKey(static_cast<unsigned int>(s));
    m_mapSocketDelaytime.RemoveKey(static_cast<unsigned int>(s));
}

// Uninitialize's part: every held send is dropped, the sets emptied.
void VZ_IocpSocketMgr::ForgetAllSimulated()
{
    {
        VZ_AutoLock lock(&m_mapSocketCache);
        VZ_POSITION pos = m_mapSocketCache.GetStartPosition();
        while (pos != NULL)
            FreeCacheList(*m_mapSocketCache.GetNextValue(pos));
        m_mapSocketCache.RemoveAll();
        m_mapSocketDelaytime.RemoveAll();
    }
    VZ_AutoLock lock(&m_arrDelaySocket);
    m_arrDelaySocket.RemoveAll();
}
