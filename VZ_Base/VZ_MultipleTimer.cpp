#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include <new>

#include "VZ_Assert.h"
#include "VZ_MultipleTimer.h"

namespace {

const int MSG_THREAD_TYPE = 0;

// Bounds of a repeating interval. 0 would re-arm a timer into the slot that the
// tick is emptying, so it is taken as 1 ms, the finest step of the wheel (as a
// platform timer clamps a too-short interval rather than failing). Above 2^31 ms
// the re-arm "now + interval", taken from a lagging wheel clock, could wrap
// round to a slot the tick is about to visit again; 24 days is the ceiling.
const UINT MIN_REPEAT_ELAPSE = 1;
const UINT MAX_REPEAT_ELAPSE = 0x7FFFFFFF;

} // namespace

VZ_MultipleTimer::VZ_MultipleTimer()
    : VZ_MMTimer(1), m_lpSink(NULL), m_queMsg(true), m_dwTimerTick(timeGetTime()),
      m_iMsgThreadCount(0), m_lStopCount(0), m_mapTimer(10)
{
    for (int i = 0; i < TV1_SIZE; ++i)
        m_tv1[i] = NULL;
    for (int i = 0; i < TVN_SIZE; ++i)
        m_tv2[i] = m_tv3[i] = m_tv4[i] = m_tv5[i] = NULL;
    m_lpLevels[0] = m_tv1;
    m_lpLevels[1] = m_tv2;
    m_lpLevels[2] = m_tv3;
    m_lpLevels[3] = m_tv4;
    m_lpLevels[4] = m_tv5;
}

VZ_MultipleTimer::~VZ_MultipleTimer()
{
    Stop();
}

bool VZ_MultipleTimer::Start(UINT uiPeriod, int iMsgThreadCount, int iHashTableSize)
{
    VZ_ASSERT(uiPeriod > 0 && iMsgThreadCount > 0 && iHashTableSize > 0);
    if (IsTimerRunning())
        return false;
    {
        VZ_AutoLock lock(&m_mapTimer);
        // A map must never have 0 buckets: a bad size keeps the current table.
        if (iHashTableSize > 0)
            m_mapTimer.InitHashTable(static_cast<UINT>(iHashTableSize));
        m_dwTimerTick = ReadClock();
        m_iMsgThreadCount = iMsgThreadCount;
    }
    StartThreads(MSG_THREAD_TYPE, iMsgThreadCount, 0);
    if (VZ_MMTimer::Start(uiPeriod, false))
        return true;
    // Leave a failed start as stopped, so that a later Start does not pile up
    // message threads.
    StopMsgThreads();
    return false;
}

bool VZ_MultipleTimer::Stop()
{
    // Kills synchronously: no tick runs or will run after this line.
    bool bResult = VZ_MMTimer::Stop();
    StopMsgThreads();
    VZ_AutoLock lock(&m_mapTimer);
    FreeAllNodes();
    m_mapTimer.RemoveAll();
    return bResult;
}

void VZ_MultipleTimer::FreeAllNodes()
{
    for (int iLevel = 1; iLevel <= LEVEL_COUNT; ++iLevel) {
        TIMER_NODE** lpSlots = m_lpLevels[iLevel - 1];
        for (int iSlot = 0; iSlot < LevelSize(iLevel); ++iSlot) {
            TIMER_NODE* lpNode = lpSlots[iSlot];
            lpSlots[iSlot] = NULL;
            while (lpNode) {
                TIMER_NODE* lpNext = lpNode->pNext;
                delete lpNode;
                lpNode = lpNext;
            }
        }
    }
}

void VZ_MultipleTimer::StopMsgThreads()
{
    // Expiries still queued are dropped (the stop discards timers without
    // expiry), so the quits do not wait behind a backlog that the threads would
    // need seconds to work through: a thread waiting in the queue leaves at
    // once, one inside the sink when the sink returns. Only a sink that runs
    // past the time-out keeps its thread, which is then terminated there,
    // never inside the queue.
    ++m_lStopCount;
    m_queMsg.RemoveAll();
    int iCount = GetThreadCount(MSG_THREAD_TYPE);
    for (int i = 0; i < iCount; ++i)
        m_queMsg.PostMessage(VZ_MsgQueue::QUIT_MESSAGE, 0, 0);
    StopThreads(MSG_THREAD_TYPE, 2000);
    // Quits of threads that left from the sink, or were terminated: one left
    // over would end a message thread of the next Start at once.
    m_queMsg.RemoveAll();
    m_iMsgThreadCount = 0;
}

bool VZ_MultipleTimer::AddTimer(DWORD dwTimerId, UINT uiElapse, DWORD dwParam, bool bOnce)
{
    VZ_AutoLock lock(&m_mapTimer);
    // Checked under the service lock: Stop() clears the running state before
    // it empties the wheel under this lock, so no node can slip in after that.
    if (!IsTimerRunning())
        return false;
    if (m_mapTimer.Lookup(dwTimerId))
        return false;
    if (!bOnce && uiElapse < MIN_REPEAT_ELAPSE)
        uiElapse = MIN_REPEAT_ELAPSE;
    if (!bOnce && uiElapse > MAX_REPEAT_ELAPSE)
        uiElapse = MAX_REPEAT_ELAPSE;

    TIMER_NODE* lpNode = new (std::nothrow) TIMER_NODE;
    bool ret = lpNode != NULL;
    if (ret) {
        lpNode->pNext = NULL;
        lpNode->ppPrev = NULL;
        lpNode->dwTimerId = dwTimerId;
        lpNode->uiElapse = uiElapse;
        lpNode->dwExpires = m_dwTimerTick + uiElapse;
        lpNode->dwParam = dwParam;
        lpNode->bOnce = bOnce ? 1 : 0;
        try {
            PlaceNode(lpNode);
        } catch (const std::bad_alloc&) {
            ret = false;   // the map could not take the entry; nothing was linked
        }
    }
    VZ_ASSERT(ret);
    if (!ret)
        delete lpNode;
    return ret;
}

bool VZ_MultipleTimer::RemoveTimer(DWORD dwTimerId)
{
    VZ_AutoLock lock(&m_mapTimer);
    if (!IsTimerRunning())
        return false;
    TIMER_NODE* lpNode = NULL;
    if (!m_mapTimer.Lookup(dwTimerId, lpNode))
        return false;
    m_mapTimer.RemoveKey(dwTimerId);
    UnlinkNode(lpNode);
    delete lpNode;
    return true;
}

DWORD VZ_MultipleTimer::GetTimerTick()
{
    VZ_AutoLock lock(&m_mapTimer);
    return m_dwTimerTick;
}

bool VZ_MultipleTimer::GetTimerSlot(DWORD dwTimerId, int* lpLevel, int* lpSlot)
{
    VZ_AutoLock lock(&m_mapTimer);
    TIMER_NODE* lpNode = NULL;
    if (!m_mapTimer.Lookup(dwTimerId, lpNode))
        return false;
    for (int iLevel = 1; iLevel <= LEVEL_COUNT; ++iLevel) {
        for (int iSlot = 0; iSlot < LevelSize(iLevel); ++iSlot) {
            for (TIMER_NODE* p = m_lpLevels[iLevel - 1][iSlot]; p; p = p->pNext) {
                if (p == lpNode) {
                    *lpLevel = iLevel;
                    *lpSlot = iSlot;
                    return true;
                }
            }
        }
    }
    return false;
}

DWORD VZ_MultipleTimer::ReadClock()
{
    return timeGetTime();
}

int VZ_MultipleTimer::GetMsgThreadCount()
{
    return GetThreadCount(MSG_THREAD_TYPE);
}

// Puts a node into the wheel by the distance of its expiry from the wheel clock
// and sets its map entry (a new entry, or the same node again on a re-arm or a
// cascade, where the map's own chain walk runs as for any keyed operation).
// The map goes first: when it cannot take the entry, nothing has been linked.
void VZ_MultipleTimer::PlaceNode(TIMER_NODE* lpNode)
{
    m_mapTimer.SetAt(lpNode->dwTimerId, lpNode);

    DWORD dwExpires = lpNode->dwExpires;
    DWORD dwDelta = dwExpires - m_dwTimerTick;
    TIMER_NODE** ppHead;
    if (dwDelta < 256)
        ppHead = &m_tv1[dwExpires & 255];
    else if (dwDelta < 16384)
        ppHead = &m_tv2[(dwExpires >> 8) & 63];
    else if (dwDelta < 1048576)
        ppHead = &m_tv3[(dwExpires >> 14) & 63];
    else if (dwDelta < 67108864)
        ppHead = &m_tv4[(dwExpires >> 20) & 63];
    else
        ppHead = &m_tv5[(dwExpires >> 26) & 63];

    lpNode->pNext = *ppHead;
    if (*ppHead)
        (*ppHead)->ppPrev = &lpNode->pNext;
    *ppHead = lpNode;
    lpNode->ppPrev = ppHead;
}

void VZ_MultipleTimer::UnlinkNode(TIMER_NODE* lpNode)
{
    *lpNode->ppPrev = lpNode->pNext;
    if (lpNode->pNext)
        lpNode->pNext->ppPrev = lpNode->ppPrev;
    lpNode->pNext = NULL;
    lpNode->ppPrev = NULL;
}

// Moves the current slot of a level down the wheel; true when that slot was
// slot 0, so that the next level cascades as well.
bool VZ_MultipleTimer::Cascade(int iLevel, int iShift)
{
    TIMER_NODE** lpSlots = m_lpLevels[iLevel - 1];
    UINT uiIndex = (m_dwTimerTick >> iShift) & (TVN_SIZE - 1);
    TIMER_NODE* lpNode = lpSlots[uiIndex];
    lpSlots[uiIndex] = NULL;
    while (lpNode) {
        TIMER_NODE* lpNext = lpNode->pNext;
        PlaceNode(lpNode);
        lpNode = lpNext;
    }
    return uiIndex == 0;
}

// Collects every timer of one level-1 slot into the batch. A re-armed timer
// lands at least 1 ms after now (its interval is at least 1 ms), in a slot that
// this tick no longer visits, so the loop ends and no timer fires twice.
void VZ_MultipleTimer::ExpireSlot(UINT uiIndex, DWORD dwNow, _VZ_MSG* lpBatch, int& iBatchCount)
{
    TIMER_NODE** ppHead = &m_tv1[uiIndex];
    while (*ppHead) {
        TIMER_NODE* lpNode = *ppHead;
        UnlinkNode(lpNode);
        _VZ_MSG& msg = lpBatch[iBatchCount++];
        msg.message = WM_TIMER;
        msg.wParam = lpNode->dwTimerId;
        msg.lParam = lpNode->dwParam;
        if (iBatchCount == MSG_BATCH) {
            m_queMsg.PostMessages(lpBatch, iBatchCount);   // still under the lock
            iBatchCount = 0;
        }
        if (lpNode->bOnce) {
            m_mapTimer.RemoveKey(lpNode->dwTimerId);
            delete lpNode;
        } else {
            lpNode->dwExpires = dwNow + lpNode->uiElapse;
            PlaceNode(lpNode);
        }
    }
}

void VZ_MultipleTimer::OnMMTimer()
{
    // 1. Gather the expiries of this tick in one local batch.
    DWORD dwNow = ReadClock();
    _VZ_MSG batch[MSG_BATCH];
    int iBatchCount = 0;
    VZ_AutoLock lock(&m_mapTimer);

    // 2. Run the wheel up to now; the signed difference survives the
    //    wrap-around of timeGetTime().
    while (static_cast<LONG>(dwNow - m_dwTimerTick) >= 0) {
        UINT uiIndex = m_dwTimerTick & (TV1_SIZE - 1);
        if (uiIndex == 0 && Cascade(2, 8) && Cascade(3, 14) && Cascade(4, 20))
            Cascade(5, 26);
        ExpireSlot(uiIndex, dwNow, batch, iBatchCount);
        ++m_dwTimerTick;
    }

    // 3. The slot of now is visited again by the next tick, which finds it
    //    empty or holding only nodes placed there since (interval 0).
    m_dwTimerTick = dwNow;

    // 4. Post the rest without the lock.
    lock.Unlock();
    if (iBatchCount > 0)
        m_queMsg.PostMessages(batch, iBatchCount);
}

DWORD VZ_MultipleTimer::ThreadProc(_THREAD_DATA& td)
{
    VZ_ASSERT(m_lpSink);
    VZ_ASSERT(td.iThreadType == 0);
    // A thread that starts after a stop has begun reads the new count and
    // ends by the quit posted for it.
    const LONG lRun = m_lStopCount;
    _VZ_MSG msg;
    while (m_lStopCount == lRun && m_queMsg.GetMessage(&msg)) {
        VZ_ASSERT(msg.message == WM_TIMER);
        // Without a sink the report above is all there is; the expiry is dropped.
        if (m_lpSink && m_lStopCount == lRun)
            m_lpSink->OnTimerExpired(msg.wParam, static_cast<DWORD>(msg.lParam));
    }
    return 1;
}
