// What an engine lends to the shared TCP receive delivery (VZ_TcpDelivery)
// and proxy handshake driver (VZ_ProxySession): its socket table lock, a view
// of one socket record, and the few operations where the engines differ.
//
// Every engine's record derives from _SOCKETCORE, the part the shared code
// reads and writes. What still differs between the engines is either a hook
// below (overridden where the default does not fit) or a bit of the delivery
// mode (TCPDELIVER_*).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "ISocketMgr.h"
#include "VZ_MemoryEx.h"
#include "VZ_RecordTable.h"
#include "VZ_SocketMgr.h"

// Delivery mode bits: the engines' small differences in the shared sequence.
enum {
    // dwLastRecvTime is set also by a delivery without new bytes (from Recv).
    TCPDELIVER_TOUCH_EMPTY = 0x01,
    // dwLastRecvTime is set also when the bytes are a proxy reply.
    TCPDELIVER_TOUCH_PROXY = 0x02,
    // The notice length of 2 stays armed until the handshake is done (an
    // engine whose read set holds only sockets with a notice length pending).
    TCPDELIVER_PROXY_KEEP_NOTICE = 0x04,
    // After each further handshake request the reply is armed again with
    // ArmProxyReply (an engine that reads only while a notice length is pending).
    TCPDELIVER_PROXY_RECV_AGAIN = 0x08,
    // The address in the proxy events carries family 0 rather than AF_INET.
    TCPDELIVER_PROXY_ADDR_NOFAMILY = 0x10
};

// The three engines' modes.
#define TCPDELIVER_MODE_SELECT (TCPDELIVER_TOUCH_EMPTY | TCPDELIVER_PROXY_KEEP_NOTICE | TCPDELIVER_PROXY_ADDR_NOFAMILY)
#define TCPDELIVER_MODE_IOCP 0
#define TCPDELIVER_MODE_ASYNC \
    (TCPDELIVER_TOUCH_EMPTY | TCPDELIVER_TOUCH_PROXY | TCPDELIVER_PROXY_RECV_AGAIN)

// Result of a delivery or handshake step: what the engine does with reading.
enum {
    TCPDELIVER_STOP = 0,        // read no further (no notice length pending, record gone, or handshake over)
    TCPDELIVER_READ = 1,        // read on: a notice length is pending or a handshake reply is awaited
    TCPDELIVER_PROXY_LISTEN = 2 // read on for the peer of a proxied listen; no notice length is pending
};

class VZ_TcpDeliveryHost {
public:
    // The engine's record table; the three calls below work on it.
    explicit VZ_TcpDeliveryHost(VZ_RecordTableBase* lpTable = NULL) : m_lpTable(lpTable) {}
    virtual ~VZ_TcpDeliveryHost() {}

    // The re-entrant lock over the socket table.
    virtual void LockTable() { m_lpTable->TableLock()->Lock(); }
    virtual void UnlockTable() { m_lpTable->TableLock()->Unlock(); }
    // Table locked: the record of s, when there is one and its serial is
    // ulSerial (any serial for TCP_ANY_SERIAL), else NULL. Valid only until
    // the table is unlocked: the shared code looks it up again after that.
    virtual _SOCKETCORE* FindTcpRecord(SOCKET s, ULONG ulSerial) { return m_lpTable->FindCore(s, ulSerial); }
    // The manager: proxy requests and verdicts, and the default hooks below.
    virtual VZ_SocketMgr* GetSocketMgr() = 0;
    // The pool the receive buffers come from.
    virtual VZ_MemoryEx* GetMemory() = 0;
    // The clock of dwLastRecvTime.
    virtual DWORD GetClock() = 0;
    // The engine's error path for a socket without a pair, lock released:
    // reported once (OnSocketClose), the socket then waits for CloseSocket.
    // Only the record of serial ulSerial is reported: the host may have closed
    // s meanwhile, and a new socket may hold the handle already.
    virtual void ReportSocketError(int iError, SOCKET s, ULONG ulSerial) = 0;

    // Hooks with a default that fits most engines (all called unlocked).
    // The sink the events go to (default: the manager's current sink).
    virtual ISocketMgrSink* GetEventSink();
    // Sends one handshake request (default: the manager's Send, parameter 0).
    virtual bool SendProxyRequest(SOCKET s, const char* lpBuf, UINT uiLen);
    // Arms the reply of a handshake request (default: the manager's Recv(s, 2)).
    virtual bool ArmProxyReply(SOCKET s);
    // Closes the control socket s of the proxied UDP socket sUdp, which
    // forgets it first (default: CloseSocket).
    virtual void CloseControlSocket(SOCKET s, SOCKET sUdp);
    // Gives the UDP socket sUdp its relay address (default: its record in this table).
    virtual void SetRelayAddress(SOCKET sUdp, ULONG ulIP, USHORT usPort);
    // Consumed bytes of one OnTcpRecv (default: the manager's record writer,
    // which does nothing while recording is off).
    virtual void RecordRecv(SOCKET s, const char* lpBuf, UINT uiLen, DWORD dwUserData1, DWORD dwUserData2);
    // True while the engine stops: a delivery about to raise OnTcpRecv is abandoned.
    virtual bool IsStopping();

private:
    VZ_RecordTableBase* m_lpTable;
};
