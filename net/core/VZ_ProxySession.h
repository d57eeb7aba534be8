// The proxy handshake every engine runs on a proxied TCP socket once its
// connect to the proxy has succeeded: send the request of each step, judge
// each reply with the manager's CheckProxyReply, and end with the event the
// step calls for (OnTcpConnect, OnTcpAccept through a BIND, OnProxyResult).
// Requests and verdicts are the manager's; the engine lends its table, its
// send and receive and its error path through VZ_TcpDeliveryHost.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "VZ_TcpDeliveryHost.h"

class VZ_ProxySession {
public:
    // dwMode: the TCPDELIVER_* bits of the engine.
    VZ_ProxySession(VZ_TcpDeliveryHost* lpHost, DWORD dwMode);

    // The proxied connect of s has succeeded: step 1 starts. Table unlocked.
    // False when the first request could not be sent (already reported) or
    // the record is gone.
    bool OnProxyConnected(SOCKET s, ULONG ulSerial);

    // Bytes delivered for s while its handshake runs are the proxy's reply.
    // Called with the table locked and rec found; returns with it unlocked.
    // Result: a TCPDELIVER_* value.
    int OnProxyReply(SOCKET s, const char* lpBuf, UINT uiLen, _SOCKETCORE* lpRec);

    // A handshake is running on a record: it has a proxy and is not done.
    static bool IsNegotiating(const _SOCKETCORE& rec);

private:
    struct _PROXYPEER {
        SOCKET s;
        SOCKET sPair;
        DWORD dwUserData1;
        DWORD dwUserData2;
        ULONG ulSerial; // the record's, for a failure reported after the lock
    };

    // Sends a request and, where the engine wants it, arms the reply.
    bool SendRequest(SOCKET s, const char* lpBuf, UINT uiLen, bool bBuilt, bool bArm, int* lpiError);
    // A request could not be sent: a control socket is closed and its UDP
    // socket told; any other socket goes down the engine's error path.
    void Fail(int iError, const _PROXYPEER& peer);
    // Events of a good reply that reached step 6 or 7.
    int Conclude(UINT uiPrevStep, UINT uiStep, const _PROXYPEER& peer, ULONG ulIP, USHORT usPort);

    VZ_TcpDeliveryHost* m_lpHost;
    DWORD m_dwMode;
};
