// The oxnet echo host shared by the demo and the echo benchmark: a sink that
// runs an echo server on a manager and passes the events of every other socket
// on to a second sink (the host's own clients on the same manager), and
// VZ_EngineEcho, which makes a manager by interface name and runs that server
// on it.
//
// Sockets are told apart by user value 1: the server tags its listening socket
// and every accepted socket; anything else belongs to the client sink.
//
// Engine-neutral: it uses only what ISocketMgr promises of every engine.
// Events may come on any of the manager's threads, a receive event and a send
// event of one socket may overlap, and OnTcpRecv may or may not come from
// inside the sink's own Recv call: the code is right in every case.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "ISocketMgr.h"

// A sink that ignores every event (an incoming connection is let in). Hosts
// derive from it and override only the events they care about.
class VZ_NullSink : public ISocketMgrSink {
public:
    virtual ~VZ_NullSink() {}
    bool OnSocketPreAccept(const sockaddr_in*, const sockaddr_in*) override { return true; }
    void OnTcpConnect(int, SOCKET, DWORD, DWORD) override {}
    void OnTcpAccept(int, SOCKET, SOCKET, const sockaddr_in*, const sockaddr_in*) override {}
    void OnTcpRecv(int, SOCKET, const char*, UINT*, DWORD, DWORD) override {}
    void OnUdpRecv(int, SOCKET, const char*, int, const sockaddr_in*, DWORD, DWORD) override {}
    void OnTcpSend(int, SOCKET, DWORD, DWORD, DWORD, UINT) override {}
    void OnSocketClose(int, SOCKET, int, DWORD, DWORD) override {}
    void OnRecvTimeout(int, SOCKET, DWORD, DWORD) override {}
    void OnSendTimeout(int, SOCKET, DWORD, DWORD) override {}
    void OnDnsParse(const char*, ULONG) override {}
    void OnTimer(SOCKET, UINT, DWORD, DWORD, DWORD) override {}
    void OnProxyResult(int, SOCKET, const sockaddr_in*, DWORD, DWORD) override {}
    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override { return 0; }
};

// User value 1 of the server's own sockets.
enum {
    ECHO_TAG_LISTEN = 0x4C484345, // "ECHL"
    ECHO_TAG_PEER = 0x50484345    // "ECHP"
};

// Echo server: every accepted socket sends back what it receives, in whole
// messages of m_uiMsgLen bytes (1: every byte as it comes). A message is sent
// back only once all of it is buffered, so the reply of a ping-pong client is
// one Send; the partial tail stays with the manager until the rest arrives.
class VZ_EchoSink : public VZ_NullSink {
public:
    explicit VZ_EchoSink(UINT uiMsgLen, ISocketMgrSink* lpClients = NULL)
        : m_lpMgr(NULL), m_lpClients(lpClients ? lpClients : &m_nullClients), m_uiMsgLen(uiMsgLen ? uiMsgLen : 1),
          m_sListen(INVALID_SOCKET), m_lAccepted(0), m_lClosed(0), m_lSendFailures(0), m_llEchoed(0)
    {
    }

    // Sets this sink on the manager; the host calls it before Initialize, since
    // the manager's threads take the sink when they are made.
    void Attach(ISocketMgr* lpMgr)
    {
        m_lpMgr = lpMgr;
        lpMgr->SetSink(this);
    }

    // Listens on 127.0.0.1 at usPort (0: a free port the system picks); its
    // port in host order, 0 on failure. The completion-port engine posts one
    // accept per unit of iBacklog, so keep it to tens or hundreds, never
    // SOMAXCONN.
    USHORT Listen(int iBacklog, USHORT usPort = 0)
    {
        m_sListen = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", usPort, ECHO_TAG_LISTEN, 0);
        if (m_sListen == INVALID_SOCKET)
            return 0;
        sockaddr_in addr;
        int iLen = sizeof(addr);
        if (!m_lpMgr->Listen(m_sListen, iBacklog) || getsockname(m_sListen, (sockaddr*)&addr, &iLen) != 0) {
            m_lpMgr->CloseSocket(m_sListen);
            m_sListen = INVALID_SOCKET;
            return 0;
        }
        return ntohs(addr.sin_port);
    }

    // Closes the listening socket; open peers go with the manager's Uninitialize.
    void StopListening()
    {
        if (m_sListen != INVALID_SOCKET)
            m_lpMgr->CloseSocket(m_sListen);
        m_sListen = INVALID_SOCKET;
    }

    LONG GetAccepted() const { return m_lAccepted; }
    // Accepted sockets whose peer closed or failed (and which this sink closed).
    LONG GetClosed() const { return m_lClosed; }
    LONG GetSendFailures() const { return m_lSendFailures; }
    LONGLONG GetEchoedBytes() const { return m_llEchoed; }

    bool OnSocketPreAccept(const sockaddr_in* lpLocal, const sockaddr_in* lpPeer) override
    {
        // Only the server listens without a proxy on this manager.
        (void)lpLocal;
        (void)lpPeer;
        return true;
    }

    void OnTcpAccept(int iError, SOCKET sListen, SOCKET sAccept, const sockaddr_in* lpLocal,
                     const sockaddr_in* lpPeer) override
    {
        if (sListen != m_sListen || iError != 0) {
            m_lpClients->OnTcpAccept(iError, sListen, sAccept, lpLocal, lpPeer);
            return;
        }
        InterlockedIncrement(&m_lAccepted);
        // Tag it before Recv: an accepted socket raises nothing until it is
        // armed, and from then on its events may come on any engine thread.
        m_lpMgr->SetUserData1(sAccept, ECHO_TAG_PEER);
        BOOL bNoDelay = TRUE;
        setsockopt(sAccept, IPPROTO_TCP, TCP_NODELAY, (const char*)&bNoDelay, sizeof(bNoDelay));
        m_lpMgr->Recv(sAccept, m_uiMsgLen);
    }

    void OnTcpRecv(int iError, SOCKET s, const char* buf, UINT* lpuiLen, DWORD dwUserData1,
                   DWORD dwUserData2) override
    {
        if (dwUserData1 != ECHO_TAG_PEER) {
            m_lpClients->OnTcpRecv(iError, s, buf, lpuiLen, dwUserData1, dwUserData2);
            return;
        }
        if (iError != 0) {
            *lpuiLen = 0;
            return;
        }
        // Consume whole messages only, echo them as one send, and ask for the
        // next message from inside the event so reception goes on (every
        // engine takes a Recv made inside OnTcpRecv as the next request).
        UINT uiWhole = *lpuiLen - *lpuiLen % m_uiMsgLen;
        if (uiWhole > 0) {
            if (m_lpMgr->Send(s, buf, (int)uiWhole, 0, NULL))
                InterlockedExchangeAdd64(&m_llEchoed, (LONGLONG)uiWhole);
            else
                InterlockedIncrement(&m_lSendFailures);
        }
        *lpuiLen = uiWhole;
        m_lpMgr->Recv(s, m_uiMsgLen);
    }

    void OnTcpSend(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2, DWORD dwSendParam,
                   UINT uiQueued) override
    {
        if (dwUserData1 != ECHO_TAG_PEER)
            m_lpClients->OnTcpSend(iError, s, dwUserData1, dwUserData2, dwSendParam, uiQueued);
        // A send error on a peer is followed by its close; nothing to do here.
    }

    void OnSocketClose(int iError, SOCKET s, int iStatus, DWORD dwUserData1, DWORD dwUserData2) override
    {
        if (dwUserData1 == ECHO_TAG_LISTEN)
            return; // freed by StopListening, so its handle is never closed twice
        if (dwUserData1 != ECHO_TAG_PEER) {
            m_lpClients->OnSocketClose(iError, s, iStatus, dwUserData1, dwUserData2);
            return;
        }
        // The peer went away (or failed): the record waits for us to free it.
        InterlockedIncrement(&m_lClosed);
        m_lpMgr->CloseSocket(s);
    }

    // Events of no server socket go to the clients unchanged.
    void OnTcpConnect(int iError, SOCKET s, DWORD d1, DWORD d2) override
    {
        m_lpClients->OnTcpConnect(iError, s, d1, d2);
    }
    void OnUdpRecv(int iError, SOCKET s, const char* buf, int len, const sockaddr_in* lpFrom, DWORD d1,
                   DWORD d2) override
    {
        m_lpClients->OnUdpRecv(iError, s, buf, len, lpFrom, d1, d2);
    }
    void OnRecvTimeout(int iError, SOCKET s, DWORD d1, DWORD d2) override
    {
        if (d1 != ECHO_TAG_PEER)
            m_lpClients->OnRecvTimeout(iError, s, d1, d2);
    }
    void OnSendTimeout(int iError, SOCKET s, DWORD d1, DWORD d2) override
    {
        if (d1 != ECHO_TAG_PEER)
            m_lpClients->OnSendTimeout(iError, s, d1, d2);
    }
    void OnDnsParse(const char* lpName, ULONG ulIP) override { m_lpClients->OnDnsParse(lpName, ulIP); }
    void OnTimer(SOCKET s, UINT uiEvent, DWORD dwParam, DWORD d1, DWORD d2) override
    {
        if (d1 != ECHO_TAG_PEER)
            m_lpClients->OnTimer(s, uiEvent, dwParam, d1, d2);
    }
    void OnProxyResult(int iError, SOCKET s, const sockaddr_in* lpAddr, DWORD d1, DWORD d2) override
    {
        m_lpClients->OnProxyResult(iError, s, lpAddr, d1, d2);
    }

private:
    ISocketMgr* m_lpMgr;
    VZ_NullSink m_nullClients;
    ISocketMgrSink* m_lpClients;
    UINT m_uiMsgLen;
    SOCKET m_sListen;
    volatile LONG m_lAccepted;
    volatile LONG m_lClosed;
    volatile LONG m_lSendFailures;
    volatile LONGLONG m_llEchoed;
};

// An echo server on a manager of its own, made by interface name: created,
// given its sink, started and listening on 127.0.0.1, then stopped and handed
// back. Events of other sockets on that manager go to lpClients.
class VZ_EngineEcho {
public:
    enum Result {
        ECHO_STARTED,
        ECHO_NOT_AVAILABLE, // the factory has no manager for the name (not built yet)
        ECHO_FAILED         // Initialize or the listening socket failed
    };

    explicit VZ_EngineEcho(UINT uiMsgLen, ISocketMgrSink* lpClients = NULL)
        : m_sink(uiMsgLen, lpClients), m_lpMgr(NULL), m_bStarted(false), m_usPort(0)
    {
    }
    ~VZ_EngineEcho() { Stop(); }

    // nWorkThread goes to Initialize (0: the engine's default).
    Result Start(const char* lpszName, USHORT usPort, int iBacklog, int nWorkThread = 0)
    {
        Stop();
        m_lpMgr = oxCreateInstance(lpszName);
        if (!m_lpMgr)
            return ECHO_NOT_AVAILABLE;
        m_sink.Attach(m_lpMgr);
        m_bStarted = m_lpMgr->Initialize(0, nWorkThread, 0, 0);
        if (m_bStarted)
            m_usPort = m_sink.Listen(iBacklog, usPort);
        if (m_usPort == 0) {
            Stop();
            return ECHO_FAILED;
        }
        return ECHO_STARTED;
    }

    // Closes the listening socket, stops the manager (which closes every
    // socket it still has) and destroys it. Safe to call again.
    void Stop()
    {
        if (!m_lpMgr)
            return;
        m_sink.StopListening();
        if (m_bStarted)
            m_lpMgr->Uninitialize(0);
        oxDestroyInstance(m_lpMgr);
        m_lpMgr = NULL;
        m_bStarted = false;
        m_usPort = 0;
    }

    ISocketMgr* GetMgr() const { return m_lpMgr; }
    USHORT GetPort() const { return m_usPort; }
    VZ_EchoSink& GetSink() { return m_sink; }
    const VZ_EchoSink& GetSink() const { return m_sink; }

private:
    VZ_EchoSink m_sink;
    ISocketMgr* m_lpMgr;
    bool m_bStarted;
    USHORT m_usPort;
};
