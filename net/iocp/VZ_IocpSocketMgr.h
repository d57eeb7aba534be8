// The engine behind "IIocpSocketMgr1.0" and "IIocpSocketMgr1.1": sockets on
// one I/O completion port served by a pool of worker threads; connect
// notifications on a hidden window of its own thread; one name-resolution
// thread; the base's timer service for the per-socket time-outs and timers.
//
// One lock, the lock of m_mapSocket2Data, guards every record,
// m_mapClosingCount and m_ulNextSerial. Events are raised with it released.
// At most one WSARecv and one WSASend per socket are outstanding at a time;
// further sends wait in the record's listSend in call order, and the next
// WSASend carries as many of them as the gather bounds allow.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <mswsock.h>

#include "VZ_Array.h"
#include "core/VZ_ClosingMap.h"
#include "VZ_List.h"
#include "VZ_Map.h"
#include "VZ_MultiThread.h"
#include "VZ_MultipleTimer.h"
#include "core/VZ_RecordTable.h"
#include "core/VZ_SocketMgr.h"
#include "core/VZ_TcpDelivery.h"
#include "VZ_Wnd.h"

// Operations of an I/O context.
enum {
    IO_ACCEPT = 0,
    IO_RECV = 1,
    IO_SEND = 2,
    IO_RECVFROM = 3,
    IO_RBUF = 4 // posted by Recv: deliver the bytes already in sbRbuf
};

// Thread types of the engine's pool.
enum {
    IOCP_THREAD_CONNECT = 0,
    IOCP_THREAD_IOWORK = 1,
    IOCP_THREAD_DNS = 2,
    IOCP_THREAD_SIMULATOR = 5,
    IOCP_THREAD_DELAYSEND = 6
};

// One send the fault simulator holds back.
struct _CACHEDATA {
    DWORD dwTime; // timeGetTime at the Send
    DWORD dwSendParam;
    UINT uiLen;
    char* lpBuf; // a pool copy of the bytes
};

// When the simulator picked a socket for delay, and by how much.
struct _DELAYTIME {
    DWORD dwPickTime;
    DWORD dwDelay;
};

typedef VZ_List<_CACHEDATA, const _CACHEDATA&> CACHELIST;

// Messages of the connect window.
#define WM_IOCP_SOCKET (WM_USER + 800)  // WSAAsyncSelect: wParam socket, lParam event | error << 16
#define WM_IOCP_RELEASE (WM_USER + 801) // a connecting socket was closed: wParam socket

#define IOCP_RECV_SIZE 4096      // data area of a TCP or UDP receive context
#define IOCP_UDP_OFFSET 36       // a datagram is received this far into the data area
#define IOCP_ACCEPT_SIZE 512     // data area of an accept context
#define IOCP_ACCEPT_ADDR_LEN 32  // sizeof(sockaddr_in) + 16, per address of AcceptEx
// Bounds of one gathered WSASend: its buffer array lives on the posting
// thread's stack, and its bytes stay few enough that one completion does not
// hold back the reports of many sends (a single larger send still goes alone).
#define IOCP_GATHER_BUFFERS 16
#define IOCP_GATHER_BYTES (256 * 1024)

// One overlapped operation: a pool block of this head and the data area.
struct _IocpIoContext {
    OVERLAPPED overlapped; // first: a completion's OVERLAPPED* is its context
    UINT IoOperation;      // IO_*
    SOCKET socket;         // AcceptEx's new socket; a UDP receive's sPair; else INVALID_SOCKET
    ULONG ulSerial;        // serial of the record when the operation was posted
    DWORD dwSendParam;     // a send's dwSendParam; a receive's dwUserData1
    DWORD dwUserData2;     // a receive's dwUserData2
    WSABUF wsabuf;         // len = data size; buf = the data area
    // Source of a UDP receive (room for any address the stack writes); kept
    // in the head so it never overlaps the data area.
    union {
        sockaddr_in from;
        char szFromRoom[32];
    };
    int fromlen;
    // The socket's operations that succeed at once queue no completion:
    // the engine hands them to a worker itself (CompletedAtOnce).
    bool bSkipPort;
    // A send posted while the socket's proxy handshake ran: a request of the
    // handshake, never reported, even when it completes after the handshake.
    bool bHandshake;
    UINT uiDataSize; // bytes of the data area
    // The next send of the same WSASend (a gathered send), in call order;
    // the first context carries the OVERLAPPED. NULL for every other context.
    _IocpIoContext* lpGatherNext;

    char* Data() { return reinterpret_cast<char*>(this + 1); }
};

// One socket: the common record, its outstanding send and the sends behind it.
struct _IocpSocketData : _SOCKETCORE {
    UINT bIoSending;                                      // one WSASend is outstanding
    UINT uiSendGathered; // sends the outstanding WSASend carries besides its first
    VZ_List<_IocpIoContext*, _IocpIoContext*> listSend;   // waiting sends, call order
    bool bSkipPort; // on the port with FILE_SKIP_COMPLETION_PORT_ON_SUCCESS
    // The receive and the send posted to the socket whose completions no
    // worker has taken yet: the close waits until they are finished.
    _IocpIoContext* lpRecvIo;
    _IocpIoContext* lpSendIo;
};

// One sequence of the fault simulator's draws: values in [0, 1] in steps of
// 1/32767, from a linear congruential generator.
struct _SIMRANDOM {
    ULONG ulState;
    double Next()
    {
        ulState = ulState * 214013u + 2531011u;
        return static_cast<double>((ulState >> 16) & 0x7FFF) / 32767.0;
    }
};

class VZ_IocpSocketMgr : public VZ_SocketMgr, public VZ_MultiThread, public VZ_Wnd, public VZ_MultipleTimerSink {
public:
    VZ_IocpSocketMgr();
    ~VZ_IocpSocketMgr() override;
    // Send without the network fault simulator.
    virtual bool SendRaw(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued);

    VZ_SOCKETMGR_ENGINE_OPERATIONS;
    bool Listen(SOCKET s, int backlog) override; // asserts the backlog, proxied or not
    bool SendV(SOCKET s, const _SOCKBUF* lpBufs, UINT uiCount, DWORD dwSendParam, UINT* lpuiQueued) override;

protected:
    DWORD ThreadProc(_THREAD_DATA& td) override;
    LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
    bool ListenDirect(SOCKET s, int backlog) override;
    // A UDP socket goes on the port at once and ignores ICMP resets.
    bool PrepareSocket(SOCKET s, int iType) override;

private:
    // What the shared receive delivery and proxy handshake need of this engine.
    class VZ_DeliveryHost : public VZ_TcpDeliveryHost {
    public:
        explicit VZ_DeliveryHost(VZ_IocpSocketMgr* lpMgr) : VZ_TcpDeliveryHost(&lpMgr->m_mapSocket2Data), m_lpMgr(lpMgr) {}
        VZ_SocketMgr* GetSocketMgr() override { return m_lpMgr; }
        VZ_MemoryEx* GetMemory() override { return &m_lpMgr->m_Memory; }
        DWORD GetClock() override { return m_lpMgr->m_Timer.GetTimerTick(); }
        void ReportSocketError(int iError, SOCKET s, ULONG ulSerial) override;
        bool IsStopping() override { return m_lpMgr->m_bStopping; }

    private:
        VZ_IocpSocketMgr* m_lpMgr;
    };

    // Contexts (VZ_IocpSocketMgr.cpp).
    _IocpIoContext* AllocContext(UINT uiSize);
    void FreeContext(_IocpIoContext* lpIoContext);
    bool AddSocket(SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2, _PROXYDATA* lpProxyData) override;
    _IocpSocketData* FindRecord(SOCKET s);
    // s is a listening socket of a running engine.
    bool IsListening(SOCKET s);
    // Record locked: the receive or send (IO_RECV, IO_SEND) is posted and
    // becomes the record's lpRecvIo or lpSendIo.
    bool ExecIo(_IocpSocketData& isd, _IocpIoContext* lpIoContext, UINT uiOperation, int* lpiError);
    // The same in two steps, the post free of the record lock.
    void ClaimIo(_IocpSocketData& isd, _IocpIoContext* lpIoContext, UINT uiOperation);
    bool PostIo(SOCKET s, _IocpIoContext* lpIoContext, int* lpiError);
    bool ExecWSARecvFrom(SOCKET s, _IocpIoContext* lpIoContext, int* lpiError);
    // Puts a connected socket on the port; true when its operations that
    // succeed at once skip the port.
    bool AttachConnected(SOCKET s, bool* lpbSkipPort);
    // An operation of a skipping socket succeeded at once: a worker of this
    // engine keeps it for after the completion it is handling, any other
    // thread posts it to the port. Either way no event is raised inside the
    // call that started the operation.
    void CompletedAtOnce(SOCKET s, _IocpIoContext* lpIoContext, DWORD dwBytes);
    void RunDeferred();
    // Reports the record of lpIoContext's serial, or of ulSerial without a
    // context (TCP_ANY_SERIAL: whichever record s has).
    bool ReportError(int iError, SOCKET s, _IocpIoContext* lpIoContext, const char* lpszReason,
                     ULONG ulSerial = TCP_ANY_SERIAL);
    void StopHelperThreads();
    void CloseAllSockets();
    void WaitForContexts();
    void StopWorkers();
    // Record locked: closes its socket once no posted operation is still
    // being finished (see the definition).
    void CloseWithIo(_IocpSocketData& isd);
    // A worker took lpIoContext's completion: the record no longer waits for it.
    void TakeInFlight(SOCKET s, const _IocpIoContext* lpIoContext);
    // The record's queued sends back to the pool (the one in flight is freed
    // by its completion).
    void FreeSendQueue(_IocpSocketData& isd);

    // Workers (VZ_IocpSocketMgr.cpp).
    void ThreadIOWork();
    void OnCompletionFailed(SOCKET s, _IocpIoContext* lpIoContext);
    void OnCompletion(SOCKET s, _IocpIoContext* lpIoContext, DWORD dwBytes);
    void DeliverUdp(SOCKET s, _IocpIoContext* lpIoContext, DWORD dwBytes);
    void DeliverTcp(SOCKET s, _IocpIoContext* lpIoContext, DWORD dwBytes);
    // The next read of s on the context, grown when the sink asked for more
    // than it holds; the context is freed when s is gone or the read fails.
    void ReadOn(SOCKET s, _IocpIoContext* lpIoContext);

    // Connect, accept, name resolution (VZ_IocpConnect.cpp).
    void ThreadConnect(HANDLE hReadyEvent);
    bool ExecAcceptEx(SOCKET sListen, _IocpIoContext* lpIoContext, int* lpiError);
    void OnAcceptCompleted(SOCKET sListen, _IocpIoContext* lpIoContext);
    bool LoadAcceptEx(SOCKET s);
    void OnConnectNotice(SOCKET s, WORD wEvent, WORD wError);
    void OnConnectFailed(SOCKET s, SOCKET sPair, int iError, bool bClosed, DWORD dwUserData1, DWORD dwUserData2);
    void OnConnectRelease(SOCKET s);

    // Network fault simulator (VZ_IocpSimulator.cpp); all idle unless
    // oxnet.ini beside the host executable switches it on.
    void ReadSimulatorSettings();
    void ThreadSimulator();
    void ThreadDelaySend();
    void BreakOneSocket();
    void FillOrdinals(VZ_LckMap<USHORT, USHORT, USHORT, USHORT>& map, _SIMRANDOM& rnd, ULONG ulLo, ULONG ulHi,
                      ULONG ulPerRate, ULONG ulOrdinals, ULONG* lpulCount);
    void PickDelaySocket();
    void ReleaseDelayed();
    bool OfferDelay(SOCKET s, const char* buf, int len, DWORD dwSendParam);
    bool IsLostDatagram();
    bool IsFailedConnect();
    void ForgetSimulated(SOCKET s);
    void ForgetAllSimulated();
    void FreeCacheList(CACHELIST* lpList);

    // Send path (VZ_IocpSend.cpp).
    // A copy of the bytes goes out or joins the queue of a connected socket.
    bool SendCopy(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued);
    // lock holds the table; PostSend may release it.
    bool PostSend(SOCKET s, _IocpIoContext* lpIoContext, DWORD dwSendParam, UINT* lpuiQueued, VZ_AutoLock& lock);
    void DropClaimedSend(SOCKET s, _IocpIoContext* lpIoContext);
    void OnSendCompleted(SOCKET s, _IocpIoContext* lpIoContext, DWORD dwBytes);
    // Record locked: the unsent rest of a finished send (or NULL) and the
    // queue behind it go out in one WSASend; false when that post failed.
    bool SendNext(_IocpSocketData& isd, _IocpIoContext* lpFirst, int* lpiError);
    void GatherQueued(_IocpSocketData& isd, _IocpIoContext* lpFirst);
    void ReportSent(SOCKET s, const _RECORDVIEW& view, _IocpIoContext* lpDone, UINT uiBehind, bool bEach,
                    bool bDrained);

    HANDLE m_hIocp;
    VZ_RecordTable<_IocpSocketData> m_mapSocket2Data;
    VZ_ClosingMap m_mapClosingCount;
    ULONG m_ulNextSerial;
    DWORD m_dwConnectThreadId;
    LPFN_ACCEPTEX m_lpfnAcceptEx;
    LPFN_GETACCEPTEXSOCKADDRS m_lpfnGetAcceptExSockaddrs;
    volatile bool m_bStopping;
    // Contexts taken from the pool and not yet given back.
    volatile LONG m_lContexts;

    VZ_LckArray<unsigned int, unsigned int> m_arrDelaySocket;
    VZ_Map<unsigned int, unsigned int, _DELAYTIME, const _DELAYTIME&> m_mapSocketDelaytime;
    VZ_LckMap<unsigned int, unsigned int, CACHELIST*, CACHELIST*> m_mapSocketCache;
    // The simulator's draws, one sequence per kind of fault (lost datagrams,
    // failed connects, breaks, held sends): with a seed from oxnet.ini each
    // kind draws the same values in every run, whatever the threads' timing.
    _SIMRANDOM m_rndLost, m_rndConnect, m_rndBreak, m_rndDelay;
    ULONG m_ulUdpSendCount;
    VZ_LckMap<USHORT, USHORT, USHORT, USHORT> m_mapLostPacket;
    ULONG m_ulConnectCount;
    VZ_LckMap<USHORT, USHORT, USHORT, USHORT> m_mapConnFail;

    VZ_DeliveryHost m_DeliveryHost;
    VZ_TcpDelivery m_Delivery;
};
