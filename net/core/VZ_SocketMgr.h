// Base of every socket manager engine: proxy records and handshake steps,
// socket buffer sizes, the timers keyed by socket, name requests and the sink.
// It owns the pool, the timer service, the name-request queue, the proxy list
// and the recording file that the engines use.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "ISocketMgr.h"
#include "VZ_Assert.h"
#include "VZ_FileEx.h"
#include "VZ_List.h"
#include "VZ_Locker.h"
#include "VZ_MemoryEx.h"
#include "VZ_MsgQueue.h"
#include "VZ_MultipleTimer.h"

// Highest uiEvent of SetTimer: kinds 3 to 31 fill the 8 high bits of a timer id.
#define MAX_TIMER_COUNT 28

// Timer id = (kind << 24) + socket; sockets must stay below 0xFFFFFF.
enum {
    TIMER_KIND_SEND = 0,    // SetSendTimeout
    TIMER_KIND_RECV = 1,    // SetRecvTimeout
    TIMER_KIND_CONNECT = 2, // connect by host name
    TIMER_KIND_EVENT = 3    // SetTimer events 0..28 are kinds 3..31
};
#define TIMER_KIND_SHIFT 24
#define TIMER_SOCKET_MASK 0xFFFFFF
#define CONNECT_NAME_TIMEOUT 20000 // ms a connect by host name may take

// An IPv4 address record; address and port in network order.
inline sockaddr_in VZ_MakeInetAddress(ULONG ulAddr, USHORT usPortNet)
{
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = usPortNet;
    addr.sin_addr.s_addr = ulAddr;
    return addr;
}

inline DWORD MakeTimerId(UINT uiKind, SOCKET s)
{
    return (static_cast<DWORD>(uiKind) << TIMER_KIND_SHIFT) + static_cast<DWORD>(s);
}

// Messages of the name-request queue.
enum {
    DNS_MSG_QUIT = 1,     // stop the name-resolution thread
    DNS_MSG_RESOLVE = 10, // DnsParse: resolve, raise OnDnsParse
    DNS_MSG_CONNECT = 11  // Connect by name: resolve, then connect
};
#define DNS_MAX_NAME 260 // longest host name accepted, in characters

// Name request, one pool block: the fixed fields, then the name and its zero.
struct _DNSDATA {
    SOCKET s;        // socket to connect (unused for DnsParse)
    DWORD usPort;    // host-order port
    ULONG ulSerial;  // serial number of the socket record when the request was made
    char* lpszHost;  // the name, right after these fields
};

// Proxy record, one zeroed pool block: the fixed fields, then the user name
// and the password, each with its zero; the host's proxy handle is its address.
struct _PROXYDATA {
    UINT uiType;    // PROXY_SOCKS4, PROXY_SOCKS5 or PROXY_HTTP
    ULONG ulIP;     // network order
    USHORT usPort;  // host order
    char* lpUser;   // NULL or into the text area
    char* lpPsw;    // NULL or into the text area
};

// Handshake steps of a proxied socket.
enum {
    PROXY_STEP_FIRST = 1,     // SOCKS4 CONNECT, SOCKS5 greeting or HTTP CONNECT sent
    PROXY_STEP_AUTH = 2,      // SOCKS5 user name and password sent
    PROXY_STEP_CONNECT = 3,   // SOCKS5 CONNECT sent
    PROXY_STEP_UDP = 4,       // SOCKS5 UDP ASSOCIATE sent
    PROXY_STEP_BIND = 5,      // SOCKS5 BIND sent, first reply awaited
    PROXY_STEP_BIND_PEER = 6, // second BIND reply (the incoming peer) awaited
    PROXY_STEP_DONE = 7       // handshake done
};
#define PROXY_BUF_SIZE 1024 // size of the request buffer the engines pass

// oxnet.rec: records of a 20-byte head (32-bit little-endian fields, no
// padding) and uiLen payload bytes; no file header, no timestamps.
enum {
    RECORD_ACCEPT = 0, // payload: the accepted socket (4 bytes)
    RECORD_DATA = 1,   // payload: the bytes the sink consumed in one OnTcpRecv
    RECORD_CLOSE = 4   // payload: iError, then iStatus (4 bytes each)
};
#define RECORD_FILE_NAME "oxnet.rec"
#pragma pack(push, 1)
struct _RECORDHEAD {
    UINT32 uiType;
    UINT32 uiLen;
    UINT32 s;
    UINT32 dwUserData1;
    UINT32 dwUserData2;
};
#pragma pack(pop)

// A socket's receive buffer sbRbuf: a block of the manager's pool, its
// capacity and the bytes it holds.
struct _TCPRECVBUF {
    char* lpData;
    UINT uiSize;
    UINT uiDataLen;
};

// What every engine keeps per socket. Each engine's record derives from it,
// so the base and the shared delivery and handshake code reach any engine's
// record through one type.
struct _SOCKETCORE {
    SOCKET socket;
    int status;         // SS_*
    bool bRbufLockFlag; // OnTcpRecv is running for this socket
    _TCPRECVBUF sbRbuf;
    UINT uiNoticeLen; // bytes the sink wants before the next OnTcpRecv; 0 = none asked
    UINT uiReadSize;  // the read size this socket's stream has earned (0: the engine's smallest)
    DWORD dwLastRecvTime;
    DWORD dwLastSendTime;
    ULONG ulSerial;
    UINT uiProxyStep;
    SOCKET sPair; // proxied UDP socket <-> its control socket; INVALID_SOCKET = none
    ULONG ulRemoteIP;     // network order: the proxy's target, or a UDP socket's relay
    USHORT usRemotePort;  // network order
    _PROXYDATA* lpProxyData;
    DWORD dwUserData1;
    DWORD dwUserData2;
    DWORD dwLastSendParam;
    DWORD dwFlags; // SOCKET_FLAG_*
};

// A TCP send waiting for write readiness: its bytes are the last uiLeft of
// the uiLen in lpBuf, a pool block.
struct _SENDBUF {
    char* lpBuf;
    UINT uiLen;
    UINT uiLeft;
};
typedef VZ_List<_SENDBUF, const _SENDBUF&> SENDLIST; // oldest first

// Results of DrainSendQueue.
enum {
    SENDQ_DRAINED = 0, // everything went out; the queue is empty
    SENDQ_PARTIAL = 1, // the socket would block: the rest waits at the head
    SENDQ_FAILED = 2   // send failed with another error
};
#define SENDQ_GATHER 16 // queued blocks one send call takes at most

#define SOCKET_FLAG_PARTIAL_SEND 0x1 // report each completed send of a queue (SocketCtrl code 1)
#define SOCKETCTRL_PARTIAL_SEND 1
#define SOCKS5_UDP_HEADER 10 // header of a datagram through a SOCKS5 relay
#define READ_SIZE_MAX 65536  // largest TCP read of every engine

// Results of ArmNotice: what the engine does after a Recv on a TCP socket.
enum {
    NOTICE_PENDING = 0, // a notice length was pending already: nothing changed
    NOTICE_ARMED = 1,   // stored; nothing to start (0, or OnTcpRecv is running)
    NOTICE_HELD = 2,    // the bytes held already reach it: deliver them
    NOTICE_READ = 3     // read for more
};

// Engine behaviour of the shared operations (SetEngineMode).
enum {
    // A resolved connect by name first looks the socket up: a socket closed
    // or re-created meanwhile gets nothing, not even its timer killed.
    SOCKETMGR_RESOLVE_CHECKS_FIRST = 0x1,
    // Sockets come from socket() and datagrams go out with sendto, whose
    // result counts the bytes (the select engine); else WSASocket with
    // overlapped I/O and WSASendTo, which gives 0 on success.
    SOCKETMGR_PLAIN_SOCKETS = 0x2
};

// What a step or an event needs of a record, copied under the record lock so
// that the event is raised with the lock released.
struct _RECORDVIEW {
    int status; // SS_CLOSED for a socket without record
    SOCKET sPair;
    DWORD dwUserData1;
    DWORD dwUserData2;
    ULONG ulSerial;
    _PROXYDATA* lpProxyData;
    ULONG ulRemoteIP;    // network order: the proxy's target, or a UDP socket's relay
    USHORT usRemotePort; // network order
    DWORD dwLastSendParam;
};

class VZ_RecordTableBase;
class VZ_MultiThread;

// What the three engines share of their set-up and stop.
const UINT SOCKET_MAP_BUCKETS = 4099; // buckets of an engine's record table
const int INIT_NO_NAME_THREAD = 0x1;  // Initialize flag: no name-resolution thread
const int INIT_NO_TIMER = 0x2;        // Initialize flag: no timer service
const DWORD STOP_WAIT_MS = 2000;      // a stopping helper thread is waited for this long

// Declarations of ISocketMgr operations, for every class that implements
// them: the proxies, buffer sizes, time-outs, timers, names and the sink...
#define VZ_SOCKETMGR_SERVICE_OPERATIONS                                                                         \
    HANDLE CreateProxy(UINT uiType, const char* lpAddr, USHORT usPort, const char* lpUser, const char* lpPsw)   \
        override;                                                                                               \
    bool DestroyProxy(HANDLE hProxy) override;                                                                  \
    bool SetSendBufSize(SOCKET s, int iSize) override;                                                          \
    bool SetRecvBufSize(SOCKET s, int iSize) override;                                                          \
    bool SetSendTimeout(SOCKET s, UINT uiElapse) override;                                                      \
    bool SetRecvTimeout(SOCKET s, UINT uiElapse) override;                                                      \
    bool KillSendTimeout(SOCKET s) override;                                                                    \
    bool KillRecvTimeout(SOCKET s) override;                                                                    \
    bool SetTimer(SOCKET s, UINT uiEvent, UINT uiElapse, DWORD dwParam, bool bOnce) override;                   \
    bool KillTimer(SOCKET s, UINT uiEvent) override;                                                            \
    bool DnsParse(const char* dn) override;                                                                     \
    void SetSink(ISocketMgrSink* lpSink) override;                                                              \
    ISocketMgrSink* GetSink() override

// ... and the operations on sockets, in their address forms.
#define VZ_SOCKETMGR_SOCKET_OPERATIONS                                                                          \
    bool Shutdown(SOCKET s, int how) override;                                                                  \
    bool CloseSocket(SOCKET s) override;                                                                        \
    bool Recv(SOCKET s, UINT uiNoticeLen) override;                                                             \
    bool SetUserData1(SOCKET s, DWORD dwUserData1) override;                                                    \
    bool SetUserData2(SOCKET s, DWORD dwUserData2) override;                                                    \
    bool GetUserData(SOCKET s, DWORD* lpdwUserData1, DWORD* lpdwUserData2) override;                            \
    SOCKET CreateUdpSocket(HANDLE hProxy, const sockaddr_in* lpLocalAddr, DWORD dwUserData1, DWORD dwUserData2) \
        override;                                                                                               \
    int SendTo(SOCKET s, const sockaddr_in* lpRemoteAddr, const char* buf, int len, bool bDirect) override;     \
    SOCKET CreateTcpSocket(HANDLE hProxy, const sockaddr_in* lpLocalAddr, DWORD dwUserData1, DWORD dwUserData2) \
        override;                                                                                               \
    bool Connect(SOCKET s, const char* lpHost, USHORT usPort) override;                                         \
    bool Connect(SOCKET s, const sockaddr_in* lpRemoteAddr) override;                                           \
    bool Listen(SOCKET s, int backlog) override;                                                                \
    bool SendV(SOCKET s, const _SOCKBUF* lpBufs, UINT uiCount, DWORD dwSendParam, UINT* lpuiQueued) override;   \
    bool Send(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued) override;                \
    DWORD SocketCtrl(UINT uiCode, SOCKET s, DWORD dwValue, DWORD dwParam1, DWORD dwParam2, DWORD dwParam3,      \
                     DWORD dwParam4, DWORD dwParam5) override

// The operations every engine implements its own way, declared alike in each;
// an engine is also the sink of its timer service (per-socket time-outs, the
// name-connect time-out and SetTimer events).
#define VZ_SOCKETMGR_ENGINE_OPERATIONS                                                                          \
    bool Initialize(BYTE byFlags, int nWorkThread, DWORD dwReserved1, DWORD dwReserved2) override;             \
    bool Uninitialize(DWORD dwReserved) override;                                                               \
    bool CloseSocket(SOCKET s) override;                                                                        \
    bool Recv(SOCKET s, UINT uiNoticeLen) override;                                                             \
    using VZ_SocketMgr::Connect;                                                                                \
    using VZ_SocketMgr::SendTo;                                                                                 \
    bool Connect(SOCKET s, const sockaddr_in* lpRemoteAddr) override;                                           \
    int SendTo(SOCKET s, const sockaddr_in* lpRemoteAddr, const char* buf, int len, bool bDirect) override;     \
    bool Send(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued) override;                \
    int OnTimerExpired(DWORD dwTimerId, DWORD dwParam) override { return ExpireSocketTimer(dwTimerId, dwParam); }

class VZ_SocketMgr : public ISocketMgr {
public:
    VZ_SocketMgr();
    ~VZ_SocketMgr() override;

    // Operations that do not depend on the engine.
    VZ_SOCKETMGR_SERVICE_OPERATIONS;

    // The textual forms build a sockaddr_in (family 2, inet_addr of the text
    // or 0 for NULL, htons of the port) and call the address form virtually,
    // so an engine that overrides the address form changes both.
    SOCKET CreateUdpSocket(HANDLE hProxy, const char* lpAddr, USHORT usPort, DWORD dwUserData1,
                           DWORD dwUserData2) override;
    // A new UDP socket; with a proxy, its relay is attached (AttachUdpRelay).
    SOCKET CreateUdpSocket(HANDLE hProxy, const sockaddr_in* lpLocalAddr, DWORD dwUserData1,
                           DWORD dwUserData2) override;
    int SendTo(SOCKET s, const sockaddr_in* lpRemoteAddr, const char* buf, int len, bool bDirect) override = 0;
    int SendTo(SOCKET s, const char* lpAddr, USHORT usPort, const char* buf, int len, bool bDirect) override;
    SOCKET CreateTcpSocket(HANDLE hProxy, const char* lpAddr, USHORT usPort, DWORD dwUserData1,
                           DWORD dwUserData2) override;
    // A new TCP socket, in no set until Connect or Listen.
    SOCKET CreateTcpSocket(HANDLE hProxy, const sockaddr_in* lpLocalAddr, DWORD dwUserData1,
                           DWORD dwUserData2) override;
    // A proxied socket listens through its proxy: a BIND, asked as a connect
    // to 0.0.0.0:0; the bound address and the peer come back as OnProxyResult
    // and OnTcpAccept. Any other socket: the engine's ListenDirect.
    bool Listen(SOCKET s, int backlog) override;
    // Copies the buffers in order into one pool block and calls Send with it;
    // a total of 0 bytes gives false without a call.
    bool SendV(SOCKET s, const _SOCKBUF* lpBufs, UINT uiCount, DWORD dwSendParam, UINT* lpuiQueued) override;

    // Operations on one socket record, the same for every engine (the engine
    // lends its record through LockSocket/UnlockSocket).
    bool Connect(SOCKET s, const char* lpHost, USHORT usPort) override;
    bool Connect(SOCKET s, const sockaddr_in* lpRemoteAddr) override = 0;
    bool Shutdown(SOCKET s, int how) override;
    bool SetUserData1(SOCKET s, DWORD dwUserData1) override;
    bool SetUserData2(SOCKET s, DWORD dwUserData2) override;
    bool GetUserData(SOCKET s, DWORD* lpdwUserData1, DWORD* lpdwUserData2) override;
    DWORD SocketCtrl(UINT uiCode, SOCKET s, DWORD dwValue, DWORD dwParam1, DWORD dwParam2, DWORD dwParam3,
                     DWORD dwParam4, DWORD dwParam5) override;

    // Runs fn on the record of s with the engine's record lock held; false
    // when s has no record. Events are never raised inside fn.
    template <class FN> bool WithSocket(SOCKET s, FN fn)
    {
        _SOCKETCORE* lpCore = LockSocket(s);
        if (lpCore != NULL)
            fn(*lpCore);
        UnlockSocket(s);
        return lpCore != NULL;
    }

    // True when the calling thread is one of the engine's own (inside one of
    // its events): the manager must then outlive the call. The base knows the
    // timer service's threads and the engine's thread pool; an engine with
    // threads of other kinds adds them.
    virtual bool IsEngineThread();

    // Managers of the process not yet destroyed (a diagnostic: a stopped
    // host that still counts some has leaked them, or one is being deleted).
    static LONG GetLiveCount() { return s_lLive; }

    // The factory's recording switch.
    void SetRecord(bool bRecord) { m_bRecord = bRecord; }
    bool IsRecording() const { return m_bRecord; }
    // Diagnostic: blocks of this manager's pool handed out and not given
    // back (0 after Uninitialize when nothing leaked).
    int GetPoolOutstanding() const { return m_Memory.GetOutstanding(); }

    // Helpers for the engines.
    void KillAllTimers(SOCKET s);
    bool SetConnectTimer(SOCKET s);
    bool KillConnectTimer(SOCKET s);
    // Starts m_Timer for an engine: period 1 ms, iMsgThreadCount message
    // threads (0: one per processor), 4099 buckets, lpSink as its sink.
    bool StartTimerService(VZ_MultipleTimerSink* lpSink, int iMsgThreadCount);
    // Stops m_Timer and forgets every timer armed through it.
    void StopTimerService();
    // Initialize's helpers, unless byFlags leaves them out: the timer service
    // (as StartTimerService; lpSink is set even without it), and the
    // name-resolution thread, thread type iNameThread of lpThreads.
    void StartTimers(BYTE byFlags, VZ_MultipleTimerSink* lpSink, int iMsgThreadCount);
    void StartNameThread(BYTE byFlags, VZ_MultiThread* lpThreads, int iNameThread);
    // Uninitialize's: the timer service when StartTimers started it; one quit
    // per name thread (a container's second Initialize may have started a
    // second one), then those threads.
    void StopTimers();
    void StopNameThreads(VZ_MultiThread* lpThreads, int iNameThread);
    // A dotted literal with inet_addr, else the first address of
    // gethostbyname; INADDR_NONE when both fail.
    static ULONG ResolveName(const char* lpszName);
    // Posts a name request (_DNSDATA block) to the name-resolution thread;
    // false for a name over DNS_MAX_NAME characters or a failed post.
    bool PostNameRequest(UINT uiMessage, SOCKET s, USHORT usPort, ULONG ulSerial, const char* lpszHost);

    // The view of a record (a NULL record gives status SS_CLOSED, no pair).
    static _RECORDVIEW ViewOf(const _SOCKETCORE* lpCore);
    // The view of the record of s, copied under its lock; false without one.
    bool ViewSocket(SOCKET s, _RECORDVIEW* lpView);
    // Where Connect goes, record locked: the target itself, or for a proxied
    // socket its proxy, the target then kept in the record for the
    // handshake. False when the socket's proxy is gone.
    bool ConnectTarget(_SOCKETCORE& core, const sockaddr_in* lpRemoteAddr, sockaddr_in* lpTo);
    // The receive size of a TCP read: uiMin, or what the sink still wants or
    // the size the socket's reads have earned when that is more, up to
    // READ_SIZE_MAX. A large notice length then costs one read, and so does
    // a stream that a sink takes as it comes (Recv(s, 1)).
    static UINT ReadSize(const _SOCKETCORE& core, UINT uiMin);
    // After a read of uiRead bytes that asked for uiAsked: a read that filled
    // its buffer earns the next one twice the size, one that took less than
    // half halves it, so a quiet connection is soon back at the smallest.
    static void AdaptReadSize(_SOCKETCORE& core, UINT uiRead, UINT uiAsked);
    // A new record's common part: status and values as given, both times
    // now, no pair, no relay, the next serial of *lpulNextSerial.
    static void InitSocketCore(_SOCKETCORE& core, SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2,
                               _PROXYDATA* lpProxyData, ULONG* lpulNextSerial, DWORD dwNow);
    // InitSocketCore for an engine's new record (made under its lock), which
    // also forgets the timers still armed for the handle.
    void NewSocketCore(_SOCKETCORE& core, SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2,
                       _PROXYDATA* lpProxyData, ULONG* lpulNextSerial, DWORD dwNow);
    // Stores the notice length of a Recv on a connected TCP socket (record
    // locked) and says what the engine does next: NOTICE_*.
    static int ArmNotice(_SOCKETCORE& core, UINT uiNoticeLen);
    // A UDP socket behind a SOCKS5 proxy: its TCP control socket is made,
    // paired with it and connected to the proxy (its UDP ASSOCIATE follows,
    // the relay address comes as OnProxyResult for sUdp). sUdp, or
    // INVALID_SOCKET with both closed.
    SOCKET AttachUdpRelay(SOCKET sUdp, HANDLE hProxy, DWORD dwUserData1, DWORD dwUserData2);
    // Binds s and gives it a record; on failure s is closed and the result
    // is INVALID_SOCKET.
    SOCKET BindAndAdd(SOCKET s, const sockaddr_in* lpLocalAddr, int status, DWORD dwUserData1, DWORD dwUserData2,
                      HANDLE hProxy);
    // The engine's new record of s; false when s has one already.
    virtual bool AddSocket(SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2, _PROXYDATA* lpProxyData);
    // An ICMP port-unreachable must not surface as a receive error of s.
    static void IgnoreUdpReset(SOCKET s);
    // A datagram for a SOCKS5 relay: the 10-byte header with the destination
    // lpTo, then the bytes; a pool block of *lpuiTotal bytes, NULL without memory.
    char* BuildRelayDatagram(const sockaddr_in* lpTo, const char* buf, int len, UINT* lpuiTotal);
    // SendTo without a proxy: one datagram of the bytes to lpTo, with
    // WSASendTo, or sendto for SOCKETMGR_PLAIN_SOCKETS.
    int SendToDirect(SOCKET s, const sockaddr_in* lpTo, const char* buf, int len);
    // SendTo through a SOCKS5 relay: lpTo with its address and port replaced
    // by ulRelayIP:usRelayPort (network order) receives the datagram with its
    // relay header; SOCKET_ERROR without memory.
    int SendToRelay(SOCKET s, const sockaddr_in* lpTo, const char* buf, int len, ULONG ulRelayIP,
                    USHORT usRelayPort);
    // SendTo's steps on the completion-port and window-message engines: the
    // arguments checked (SOCKET_ERROR without bytes or address), bDirect sent
    // at once, else through the relay of s (SOCKET_ERROR without a record),
    // whose view fnCheck sees first (the engine's own assertion).
    template <class FnCheck>
    int SendToChecked(SOCKET s, const sockaddr_in* lpTo, const char* buf, int len, bool bDirect, FnCheck fnCheck)
    {
        VZ_ASSERT(buf != NULL);
        VZ_ASSERT(len > 0);
        if (buf == NULL || len <= 0 || lpTo == NULL)
            return SOCKET_ERROR;
        if (bDirect)
            return SendToDirect(s, lpTo, buf, len);
        _RECORDVIEW view;
        if (!ViewSocket(s, &view))
            return SOCKET_ERROR;
        fnCheck(view);
        return SendToRelay(s, lpTo, buf, len, view.ulRemoteIP, view.usRemotePort);
    }
    // A datagram received on a relayed UDP socket: the length of the relay
    // header when it carries one (its sender then in *lpFrom), else 0.
    static int ReadRelayHeader(const char* p, int n, sockaddr_in* lpFrom);
    // Send queues of the engines that send on write readiness. QueueSend
    // appends a pool copy of the bytes (false without memory); DrainSendQueue
    // sends from the head until the queue is empty or the socket would block
    // (*lpiError: the error of the last send, 0 when it did not fail);
    // FreeSendQueue gives every block back.
    bool QueueSend(SENDLIST& list, const char* buf, UINT uiLen);
    int DrainSendQueue(SOCKET s, SENDLIST& list, int* lpiError);
    void FreeSendQueue(SENDLIST& list);
    // Time-outs and timers of a socket, for the engine's timer callback: an
    // idle time-out is raised only after a whole quiet period and re-armed
    // for the rest of it otherwise.
    int ExpireSocketTimer(DWORD dwTimerId, DWORD dwToken);
    // The name-resolution thread's loop: requests until the stop message.
    void RunNameResolution();

    // Recording writers: each does nothing and returns true while recording
    // is off. OpenRecordFile creates oxnet.rec anew in the current directory
    // and leaves recording on only when that worked.
    bool OpenRecordFile();
    bool RecordAccept(SOCKET sListen, SOCKET sAccept, const sockaddr_in* lpLocalAddr, const sockaddr_in* lpPeerAddr);
    bool RecordRecv(SOCKET s, const char* buf, UINT uiLen, DWORD dwUserData1, DWORD dwUserData2);
    bool RecordClose(int iError, SOCKET s, int iStatus, DWORD dwUserData1, DWORD dwUserData2);

    // The one terminal report of a socket whose record core is held by lock:
    // the record becomes SS_CLOSING and the lock is released before any event.
    // A socket without a pair (or a UDP socket) hears OnSocketClose, recorded
    // when recording; the failed control socket of a proxied UDP socket is
    // reported as OnProxyResult(WSAECONNRESET) of its UDP socket, while that
    // one exists. True when OnSocketClose was raised.
    bool ReportTerminal(_SOCKETCORE& core, int iError, VZ_AutoLock& lock, ISocketMgrSink* lpSink);

    // Proxy handshake steps (all under the proxy list's lock).
    bool FindProxy(HANDLE hProxy, ULONG* lpulIP, USHORT* lpusPort);
    bool BuildProxyRequest(char* lpBuf, UINT* lpuiLen, HANDLE hProxy, UINT uiStep, SOCKET sPair, ULONG ulIP,
                           USHORT usPort);
    int CheckProxyReply(const char* lpReply, int iLen, HANDLE hProxy, UINT* lpuiStep, SOCKET sPair,
                        ULONG* lpulIP, USHORT* lpusPort);

protected:
    // The engine's record lock over the record of s: LockSocket takes it and
    // returns the record, NULL when s has none (the lock is held either way);
    // UnlockSocket releases it. The default works on the table an engine
    // named with UseRecordTable (no records without one).
    virtual _SOCKETCORE* LockSocket(SOCKET s);
    virtual void UnlockSocket(SOCKET s);
    void UseRecordTable(VZ_RecordTableBase* lpTable) { m_lpRecordTable = lpTable; }
    // What Listen does for a socket that does not go through a proxy; the
    // default (a manager without sockets of its own) fails.
    virtual bool ListenDirect(SOCKET s, int backlog);
    // A new handle of iType (SOCK_STREAM or SOCK_DGRAM) for the create
    // operations, before it is bound: false leaves it to be closed. The
    // default does nothing.
    virtual bool PrepareSocket(SOCKET s, int iType);
    // The handle, its preparation, bind and record, for both create operations.
    SOCKET OpenSocket(int iType, const sockaddr_in* lpLocalAddr, int status, DWORD dwUserData1, DWORD dwUserData2,
                      HANDLE hProxy);
    // Waits for a hidden window's thread to signal hReady: 3000 ms, then, while
    // that thread (the only one of iThreadType) still runs, up to 27000 ms
    // more. The first window of a process also starts the desktop, which on a
    // loaded machine can take seconds, and nothing works without the window.
    static void WaitWindowReady(HANDLE hReady, VZ_MultiThread* lpThreads, int iThreadType);
    void SetEngineMode(DWORD dwMode) { m_dwEngineMode = dwMode; }
    // A resolved (or failed) connect by name.
    void ConnectResolved(const _DNSDATA* lpData, ULONG ulAddr, int iError);

    // Proxy record of a handle when it is listed; the caller holds m_listProxy.
    _PROXYDATA* LookupProxy(HANDLE hProxy);

    // What is armed under a timer id. The service carries a token of ours in
    // place of the parameter, so an expiry posted before its timer was
    // killed or armed anew (above all: before its handle went to a new
    // socket) no longer matches and is dropped instead of reaching the
    // handle's next owner.
    struct _TIMERARM {
        DWORD dwToken;
        DWORD dwParam; // the host's parameter, or the time-out period
        bool bOnce;    // forgotten at its expiry
    };
    bool ArmTimer(DWORD dwTimerId, UINT uiElapse, DWORD dwParam, bool bOnce);
    bool DisarmTimer(DWORD dwTimerId);
    // The armed parameter of an expiry; false for a stale one.
    bool TakeExpiry(DWORD dwTimerId, DWORD dwToken, DWORD* lpdwParam);
    // Arms an idle time-out again for its next period, unless it was killed
    // or armed anew since the expiry being handled.
    void RearmTimeout(DWORD dwTimerId, DWORD dwToken, UINT uiElapse);

    ISocketMgrSink* m_lpSink;
    VZ_MemoryEx m_Memory;
    VZ_MultipleTimer m_Timer;
    VZ_LckMap<DWORD, DWORD, _TIMERARM, const _TIMERARM&> m_mapTimerArm;
    DWORD m_dwNextTimerToken;
    VZ_MsgQueue m_queDns;
    VZ_LckList<_PROXYDATA*, _PROXYDATA*> m_listProxy;
    bool m_bRecord;
    VZ_FileEx m_fileRec;
    VZ_Locker m_lckRec;
    bool m_bSimulator;
    DWORD m_dwEngineMode; // SOCKETMGR_* behaviour bits
    bool m_bTimerStarted; // StartTimers started the service
    // Network fault simulator settings (oxnet.ini), read by an engine that
    // carries the simulator: ranges of percent, seconds or milliseconds.
    ULONG m_ulMaxAffect;
    ULONG m_ulLostPacketsMinrate, m_ulLostPacketsMaxrate;
    ULONG m_ulUdpMinDelay, m_ulUdpMaxDelay;
    ULONG m_ulMinBreaktime, m_ulMaxBreaktime;
    ULONG m_ulMinDelaytime, m_ulMaxDelaytime;
    ULONG m_ulConnFailMinrate, m_ulConnFailMaxrate;

private:
    static volatile LONG s_lLive;
    VZ_RecordTableBase* m_lpRecordTable = NULL;

    VZ_SocketMgr(const VZ_SocketMgr&) = delete;
    VZ_SocketMgr& operator=(const VZ_SocketMgr&) = delete;
};
