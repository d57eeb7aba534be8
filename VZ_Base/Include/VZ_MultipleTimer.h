// Timer service: any number of millisecond timers, named by 32-bit ids, on one
// multimedia timer. A five-level timing wheel (256 + 4 x 64 slots) holds the
// timers, a map from id to node finds them for removal, the multimedia timer's
// tick turns expired timers into messages and a pool of message threads hands
// them to the owner's sink.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>

#include "VZ_MMTimer.h"
#include "VZ_Map.h"
#include "VZ_MsgQueue.h"
#include "VZ_MultiThread.h"

class VZ_MultipleTimerSink
{
public:
    // Called on one of the message threads, without the service lock held, so
    // it may add and remove timers. The result is ignored.
    virtual int OnTimerExpired(DWORD dwTimerId, DWORD dwParam) = 0;

protected:
    ~VZ_MultipleTimerSink() {}   // owners are never deleted through the sink
};

class VZ_MultipleTimer : private VZ_MMTimer, private VZ_MultiThread
{
public:
    VZ_MultipleTimer();
    ~VZ_MultipleTimer();

    VZ_MultipleTimerSink* m_lpSink;   // set by the owner before Start

    bool Start(UINT uiPeriod, int iMsgThreadCount, int iHashTableSize);
    bool Stop();
    bool AddTimer(DWORD dwTimerId, UINT uiElapse, DWORD dwParam, bool bOnce);
    bool RemoveTimer(DWORD dwTimerId);
    DWORD GetTimerTick();

    // Read-only inspection: the wheel level (1 to 5) and slot of a timer;
    // false when the id is not set.
    bool GetTimerSlot(DWORD dwTimerId, int* lpLevel, int* lpSlot);
    int GetMsgThreadCount();
    // True on one of the message threads (inside a timer event).
    bool IsMsgThread() { return IsPoolThread(); }
    // Expiries posted and not yet taken by a message thread.
    int GetQueuedCount() { return m_queMsg.GetCount(); }

protected:
    // The millisecond clock the wheel follows: timeGetTime(). A test build may
    // substitute a clock of its own to drive the wheel across long spans.
    virtual DWORD ReadClock();

private:
    struct TIMER_NODE
    {
        TIMER_NODE* pNext;     // next node of the same wheel slot
        TIMER_NODE** ppPrev;   // link that points to this node
        DWORD dwTimerId;
        UINT uiElapse;         // first expiry and every re-arm, ms
        DWORD dwExpires;       // wheel time of the next expiry
        DWORD dwParam;         // handed back at every expiry
        BYTE bOnce;            // non-zero: one-shot
    };

    typedef VZ_LckMap<unsigned long, unsigned long, TIMER_NODE*, TIMER_NODE*> TimerMap;

    enum { TV1_SIZE = 256, TVN_SIZE = 64, LEVEL_COUNT = 5, MSG_BATCH = 1024 };

    void OnMMTimer() override;
    DWORD ThreadProc(_THREAD_DATA& td) override;

    void PlaceNode(TIMER_NODE* lpNode);
    static void UnlinkNode(TIMER_NODE* lpNode);
    bool Cascade(int iLevel, int iShift);
    void ExpireSlot(UINT uiIndex, DWORD dwNow, _VZ_MSG* lpBatch, int& iBatchCount);
    void FreeAllNodes();
    void StopMsgThreads();
    int LevelSize(int iLevel) const { return iLevel == 1 ? TV1_SIZE : TVN_SIZE; }

    VZ_MsgQueue m_queMsg;
    DWORD m_dwTimerTick;         // wheel clock: timeGetTime() up to which the wheel has run
    int m_iMsgThreadCount;
    // Stops begun so far. A message thread serves the run it started in and
    // leaves, without calling the sink or taking the queue's lock again, once
    // a stop has begun.
    std::atomic<LONG> m_lStopCount;
    TimerMap m_mapTimer;         // its lock guards the map, the wheel and the clock
    TIMER_NODE* m_tv1[TV1_SIZE];
    TIMER_NODE* m_tv2[TVN_SIZE];
    TIMER_NODE* m_tv3[TVN_SIZE];
    TIMER_NODE* m_tv4[TVN_SIZE];
    TIMER_NODE* m_tv5[TVN_SIZE];
    TIMER_NODE** m_lpLevels[LEVEL_COUNT];

    VZ_MultipleTimer(const VZ_MultipleTimer&) = delete;
    VZ_MultipleTimer& operator=(const VZ_MultipleTimer&) = delete;
};
