// The SOCKS5 server of oxsocks: one sink on one oxnet manager that accepts
// clients, runs the RFC 1928 handshake (with RFC 1929 user and password when
// configured), connects to the target through the manager (by address or,
// for a domain name, through the manager's own name resolution) and relays
// both ways with back-pressure.
//
// Each connection has an id, carried as user value 1 of both its sockets
// (user value 2 is the leg: client or target), so an event finds its
// connection in the server's table. Events of the two legs may run at once on
// different engine threads: a connection's state is kept under its mutex.
// Recv and CloseSocket are called only after that mutex is released, since
// the select engine may raise OnTcpRecv inside Recv and may wait in
// CloseSocket for a select thread that is about to take the same mutex.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "../EchoHost.h"
#include "ISocketMgr.h"

struct VZ_SocksOptions {
    std::string strListenAddr = "127.0.0.1";
    USHORT usListenPort = 1080;
    std::string strEngine = "IIocpSocketMgr1.0";
    std::string strUser; // empty: no authentication
    std::string strPassword;
    UINT uiIdleSeconds = 300;
    UINT uiMaxQueued = 256u * 1024;
    bool bLog = false;
    bool bStopOnStdinEof = false;
};

enum { LEG_CLIENT = 0, LEG_TARGET = 1 };

// One side of a connection.
struct VZ_SocksLeg {
    SOCKET s = INVALID_SOCKET;
    bool bOpen = false;             // CloseSocket is still to be called
    bool bPaused = false;           // not reading: the other leg's queue is over the bound
    bool bCloseWhenDrained = false; // ending: closed once its queue is sent
    // Bytes handed to Send and bytes reported sent, both counted modulo 2^32:
    // every Send carries its running total as the send parameter, which
    // OnTcpSend hands back, so the difference is what is still queued.
    DWORD dwQueued = 0;
    DWORD dwSent = 0;
    ULONGLONG ullIn = 0; // bytes relayed from this leg's peer
    DWORD Unsent() const { return dwQueued - dwSent; }
};

struct VZ_SocksConn {
    enum Phase { GREETING, AUTH, REQUEST, CONNECTING, RELAY, ENDING };
    std::mutex mtx;
    DWORD dwId = 0;
    Phase phase = GREETING;
    VZ_SocksLeg legs[2];
    std::string strClient, strTarget, strEnd;
    ULONGLONG ullStart = 0, ullLastActive = 0; // GetTickCount64
    bool bFinished = false;
};

// What an event does once the connection's mutex is released.
struct VZ_SocksAfter {
    SOCKET sClose[2] = {INVALID_SOCKET, INVALID_SOCKET};
    SOCKET sRecv[2] = {INVALID_SOCKET, INVALID_SOCKET};
    UINT uiRecvLen[2] = {0, 0};
    bool bFinished = false;
    void Read(SOCKET s, UINT uiLen);
    void Close(SOCKET s);
};

class VZ_SocksServer : public VZ_NullSink {
public:
    explicit VZ_SocksServer(const VZ_SocksOptions& opt);

    // Makes, starts and listens; false with a line on stderr on failure.
    bool Start();
    // Closes everything, stops and destroys the manager, logs the connections
    // still open and prints the final stats line.
    void Stop();
    USHORT GetPort() const { return m_usPort; }

    void OnTcpAccept(int iError, SOCKET sListen, SOCKET sAccept, const sockaddr_in* lpLocal,
                     const sockaddr_in* lpPeer) override;
    void OnTcpConnect(int iError, SOCKET s, DWORD dwId, DWORD dwLeg) override;
    void OnTcpRecv(int iError, SOCKET s, const char* buf, UINT* lpuiLen, DWORD dwId, DWORD dwLeg) override;
    void OnTcpSend(int iError, SOCKET s, DWORD dwId, DWORD dwLeg, DWORD dwSendParam, UINT uiQueued) override;
    void OnSocketClose(int iError, SOCKET s, int iStatus, DWORD dwId, DWORD dwLeg) override;
    void OnRecvTimeout(int iError, SOCKET s, DWORD dwId, DWORD dwLeg) override;

private:
    typedef std::shared_ptr<VZ_SocksConn> ConnPtr;

    // A start that failed: the manager goes; false.
    bool Discard();
    ConnPtr Find(DWORD dwId);
    // Runs what an event left to do, and retires a finished connection.
    void Finish(const ConnPtr& lpConn, const VZ_SocksAfter& after);
    // An event's work on its connection (none when the id is unknown):
    // fn(conn, after) under the connection's mutex, then Finish.
    template <typename Fn>
    void WithConn(DWORD dwId, Fn fn)
    {
        ConnPtr lpConn = Find(dwId);
        if (!lpConn)
            return;
        VZ_SocksAfter after;
        {
            std::lock_guard<std::mutex> lock(lpConn->mtx);
            fn(*lpConn, after);
        }
        Finish(lpConn, after);
    }
    void Log(VZ_SocksConn& conn);

    // Handshake steps on the client leg, mutex held; each consumes one whole
    // message (uiLen bytes) and says what to read next in after.
    void Greeting(VZ_SocksConn& conn, const BYTE* p, VZ_SocksAfter& after);
    void Auth(VZ_SocksConn& conn, const BYTE* p, VZ_SocksAfter& after);
    void Request(VZ_SocksConn& conn, const BYTE* p, UINT uiLen, VZ_SocksAfter& after);
    void ConnectTarget(VZ_SocksConn& conn, const std::string& strHost, USHORT usPort, VZ_SocksAfter& after);
    // Sends the request's reply (the bound address for a success).
    void Reply(VZ_SocksConn& conn, BYTE byCode, const sockaddr_in* lpBound = NULL);
    // Queues bytes on a leg, counting them; false when the send failed.
    bool Push(VZ_SocksConn& conn, int iLeg, const void* lpData, UINT uiLen);
    // The bytes from one leg go to the other; reading stops while that
    // other's queue is over the bound.
    void Relay(VZ_SocksConn& conn, int iLeg, const char* buf, UINT uiLen, VZ_SocksAfter& after);
    // Ends the connection (the first reason given is kept): a leg with
    // nothing queued closes at once, one with bytes queued once they are
    // sent, unless bForce.
    void End(VZ_SocksConn& conn, const std::string& strWhy, bool bForce, VZ_SocksAfter& after);
    void CloseLeg(VZ_SocksConn& conn, int iLeg, VZ_SocksAfter& after);

    VZ_SocksOptions m_opt;
    ISocketMgr* m_lpMgr;
    bool m_bExactSends; // OnTcpSend names the send just completed (completion port)
    SOCKET m_sListen;
    USHORT m_usPort;
    std::mutex m_mtxConns; // the table and the totals
    std::map<DWORD, ConnPtr> m_mapConns;
    DWORD m_dwNextId;
    ULONGLONG m_ullConns, m_ullUp, m_ullDown;
    std::mutex m_mtxOut; // whole lines on stdout
};
