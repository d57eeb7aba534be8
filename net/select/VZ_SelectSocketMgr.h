// The engine behind "ISelectSocketMgr1.0": sockets served by select threads
// of at most 64 sockets each, made on demand and reused first come, first
// served; one name-resolution thread; the base's timer service for the
// per-socket time-outs and timers.
//
// Locks, always taken in this order: the manager lock (m_mapSocket2Thread's),
// a thread's record lock (its m_mapSocket2Data's), that thread's set lock,
// then its close-round mutex. Every event, also OnTcpRecv raised inside the
// host's Recv, is raised with none of them held.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "VZ_Array.h"
#include "VZ_List.h"
#include "VZ_Map.h"
#include "VZ_MultiThread.h"
#include "VZ_MultipleTimer.h"
#include "core/VZ_RecordTable.h"
#include "core/VZ_SocketMgr.h"
#include "core/VZ_TcpDelivery.h"
#include "VZ_Thread.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#define SELECT_MAX_SOCKETS 64     // sockets per select thread (the fd_set size)
#define SELECT_WAIT_USEC 20000    // select wait of a cycle after one that found work
#define SELECT_IDLE_WAIT_USEC 640000 // longest select wait of an idle thread (see RunCycle)
#define SELECT_RECV_BUF_SIZE 4096 // smallest receive buffer of a select thread
#define SELECT_ACCEPT_BURST 64    // most connections one read pass accepts on a listening socket
#define SELECT_STACK_SIZE 262144  // stack a select thread reserves (see StackSize)
#define SELECT_THREAD_NAME 2      // thread type of the name-resolution thread
#define SELECT_CLOSE_WAIT_MS 2000 // longest wait of CloseSocket for a select thread's close

// A select's read set: a thread's sockets and its wake socket, laid out as an
// fd_set one entry wider (select reads fd_count entries).
struct _WIDESET {
    u_int fd_count;
    SOCKET fd_array[SELECT_MAX_SOCKETS + 1];
};

// One socket of a select thread: the common record and its send queue.
struct _SelectSocketData : _SOCKETCORE {
    SENDLIST listSend;
};

class VZ_SelectSocketMgr : public VZ_SocketMgr, public VZ_MultiThread, public VZ_MultipleTimerSink {
public:
    class VZ_SelectThread;

    VZ_SelectSocketMgr();
    ~VZ_SelectSocketMgr() override;

    // The create operations, Listen's proxied branch, the textual forms,
    // SendV, connect by name, Shutdown, the user values and SocketCtrl are
    // the base's: they reach the forms below and the records through LockSocket.
    VZ_SOCKETMGR_ENGINE_OPERATIONS;
    bool IsEngineThread() override; // also the select threads

    // Gives s to a thread with room (a new one when none has room).
    bool AddSocket(SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2, _PROXYDATA* lpProxyData) override;
    // An error report for a socket of any thread (see VZ_SelectThread::CloseAndNotify).
    bool CloseAndNotify(int iError, SOCKET s);
    // The relay address of a proxied UDP socket, once its control socket has it.
    void SetRelayAddress(SOCKET sUdp, ULONG ulIP, USHORT usPort);
    DWORD GetClock() { return m_Timer.GetTimerTick(); }


protected:
    DWORD ThreadProc(_THREAD_DATA& td) override;
    // The manager lock, then the record lock of the socket's thread.
    _SOCKETCORE* LockSocket(SOCKET s) override;
    void UnlockSocket(SOCKET s) override;
    bool ListenDirect(SOCKET s, int backlog) override;
    // A UDP socket ignores ICMP resets; it is read at once and always.
    bool PrepareSocket(SOCKET s, int iType) override;

private:
    friend class VZ_SelectThread;

    // The thread of s, NULL when s is not registered; the caller holds the
    // manager lock for as long as it uses the thread.
    // lpiIndex, when given, receives the thread's index.
    VZ_SelectThread* FindThread(SOCKET s, int* lpiIndex = NULL);
    // Takes a full thread's index out of m_listFreeThread (first from the head).
    void RemoveFreeThread(unsigned int uiIndex);
    VZ_SelectThread* NewThread();

    VZ_List<unsigned int, unsigned int> m_listFreeThread;
    // Thread objects by index (pointer-sized elements: they carry pointers).
    VZ_Array<VZ_SelectThread*, VZ_SelectThread*> m_arrSelectThread;
    VZ_LckMap<unsigned int, unsigned int, int, int> m_mapSocket2Thread;
    // Set (under the manager lock) while Uninitialize stops the threads: a
    // socket accepted meanwhile must not make a thread the stop never sees.
    bool m_bStopping;
    // Select threads stopped by Uninitialize, freed by the destructor.
    VZ_Array<VZ_SelectThread*, VZ_SelectThread*> m_arrRetired;
};

class VZ_SelectSocketMgr::VZ_SelectThread : public VZ_Thread, public VZ_TcpDeliveryHost {
public:
    VZ_SelectThread(VZ_SelectSocketMgr* pSocketMgr, ISocketMgrSink* pSink);
    ~VZ_SelectThread() override;

    // Sets the exit event, empties the sets, stops the thread, then closes
    // every socket and frees every record without any event.
    void Stop() override;
    bool IsCurrentThread() const { return GetThreadId() == GetCurrentThreadId(); }

    // What RemoveSocket did: the records left, the removed status and pair,
    // and whether the close waits for the thread to leave select (then
    // WaitClosed(ulRound) returns once it is closed).
    struct _REMOVED {
        int iLeft;
        int iStatus;
        SOCKET sPair;
        bool bDeferred;
        ULONG ulRound;
    };

    // Inserts a record; the thread's record count afterwards, 0 when s had one.
    int AddRecord(SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2, _PROXYDATA* lpProxyData);
    // Leaves the sets, frees the record's blocks, closes s (or has the thread
    // close it, see CloseOrDefer). False when s had no record.
    bool RemoveSocket(SOCKET s, _REMOVED* lpRemoved);
    // Waits (bounded) until the closes deferred in round ulRound are done.
    void WaitClosed(ULONG ulRound);
    bool WatchRead(SOCKET s, int status, ULONG ulSerial);
    bool WatchWrite(SOCKET s, int status);
    bool WatchExcept(SOCKET s, int status);

    // Operations of the manager on one record of this thread.
    bool ConnectRecord(SOCKET s, const sockaddr_in* lpRemoteAddr);
    bool ArmRecv(SOCKET s, UINT uiNoticeLen);
    bool SendTcp(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued);
    // Locks the records; the record of s or NULL. The caller calls UnlockRecords.
    _SelectSocketData* LockRecord(SOCKET s);
    void UnlockRecords() { m_mapSocket2Data.Unlock(); }
    // The record of s, the record lock held; NULL when there is none.
    _SelectSocketData* FindRecord(SOCKET s);

    bool CloseAndNotify(int iError, SOCKET s);
    bool DeliverTcpData(SOCKET s, const char* buf, UINT len, ULONG ulSerial, UINT uiAsked = 0);
    bool FlushSendQueue(SOCKET s, ULONG ulSerial);

    // What the shared receive delivery and proxy handshake need (the table
    // is lent through the base: VZ_TcpDeliveryHost(&m_mapSocket2Data)).
    VZ_SocketMgr* GetSocketMgr() override { return m_pSocketMgr; }
    VZ_MemoryEx* GetMemory() override { return &m_pSocketMgr->m_Memory; }
    DWORD GetClock() override { return m_pSocketMgr->GetClock(); }
    void ReportSocketError(int iError, SOCKET s, ULONG ulSerial) override;
    ISocketMgrSink* GetEventSink() override { return m_pSink; }
    void SetRelayAddress(SOCKET sUdp, ULONG ulIP, USHORT usPort) override;
    bool IsStopping() override { return VZ_Thread::IsStopping(); }

protected:
    DWORD Run() override;
    // One thread per 64 sockets: thousands of connections make hundreds of
    // them, and Wine commits a thread's whole stack, so a select thread
    // reserves 256 KiB instead of the program's default (2 MiB for a mingw
    // program). Its own frames are small (the receive buffer is on the heap);
    // a host's events run on it too and must keep within that.
    unsigned StackSize() const override { return SELECT_STACK_SIZE; }

private:
    typedef VZ_Map<unsigned int, unsigned int, ULONG, ULONG> SERIALMAP;

    // One select cycle; false sends the thread back to sleep on its events.
    bool RunCycle();
    // Copies a set under the set lock; NULL for an empty one.
    fd_set* CopySet(const fd_set& set, fd_set* lpCopy);
    void BuildSerialMap(SERIALMAP& map);
    static ULONG SerialOf(SERIALMAP& map, SOCKET s);
    bool ReadPass(const fd_set* lpSet, SERIALMAP& map);
    bool WritePass(const fd_set* lpSet, SERIALMAP& map);
    bool ExceptPass(const fd_set* lpSet, SERIALMAP& map);
    // Runs fn(record) (a non-blocking socket call) under the record lock
    // while s has its record of serial ulSerial; false without one.
    template <class FN> bool WithLiveRecord(SOCKET s, ULONG ulSerial, FN fn);
    void ReadUdp(SOCKET s, ULONG ulSerial, SOCKET sPair, DWORD dwUserData1, DWORD dwUserData2);
    // Accepts what is pending, up to SELECT_ACCEPT_BURST connections.
    void AcceptPending(SOCKET s, ULONG ulSerial);
    // One connection; false when none was pending (or s is gone).
    bool AcceptOne(SOCKET s, ULONG ulSerial);
    void ReadTcp(SOCKET s, ULONG ulSerial);
    // Set membership; adding wakes the thread.
    bool Watch(fd_set& set, SOCKET s, int status, ULONG ulSerial);
    void Wake();
    void AddToSet(fd_set& set, SOCKET s);
    void RemoveFromSet(fd_set& set, SOCKET s);
    // Queues a pool copy of len bytes behind the record's sends.
    void FreeRecordBlocks(_SelectSocketData& ssd);
    // Closes a removed socket now, or, while the thread is inside select,
    // has the thread close it as soon as select returns.
    bool CloseOrDefer(SOCKET s, ULONG* lpulRound);
    void ClosePending();
    // Makes a running select return at once (a datagram to m_sWake).
    void WakeSelect();
    void TakeWake(_WIDESET* lpSet);
    void DrainWake();
    // The thread's receive buffer, grown to *lpuiSize bytes if it can be (else
    // *lpuiSize becomes what it holds); it keeps its largest size (one buffer
    // per thread, not per socket). Not a pool block: the thread object
    // outlives the manager's stop, and a thread stopped from inside its own
    // event may still be reading into it.
    char* RecvBuffer(UINT* lpuiSize);

    fd_set m_fdRead;
    fd_set m_fdWrite;
    fd_set m_fdExcept;
    VZ_Locker m_lckFdSet;
    HANDLE m_hWakeEvent;
    HANDLE m_hExitEvent;
    VZ_SelectSocketMgr* m_pSocketMgr;
    ISocketMgrSink* m_pSink;
    ULONG m_ulNextSerial;
    VZ_RecordTable<_SelectSocketData> m_mapSocket2Data;
    VZ_TcpDelivery m_Delivery;
    // Removed sockets not closed yet, and whether select runs on a copy of
    // the sets (both guarded by the set lock).
    VZ_Array<SOCKET, SOCKET> m_arrClosing;
    bool m_bInSelect;
    // Rounds of deferred closes done (written under the set lock and the
    // mutex, read under the mutex); the condition tells CloseSocket.
    ULONG m_ulCloseRound;
    std::mutex m_mtxClose;
    std::condition_variable m_cvClose;
    // A loopback UDP socket in every select's read set, bound to m_addrWake:
    // a datagram to it ends the select (INVALID_SOCKET when it could not be
    // made; a deferred close then waits for the select's time-out).
    SOCKET m_sWake;
    sockaddr_in m_addrWake;
    std::atomic<bool> m_bWakeSent;
    // m_hWakeEvent is signalled and not yet consumed by the thread's wait.
    std::atomic<bool> m_bWakePending;
    std::vector<char> m_vecRecvBuf;
    long m_lWaitUsec; // the next select's wait (the thread's own)
};
