// The TCP receive contract, shared by the engines: bytes that arrive for a
// socket are buffered in its sbRbuf until uiNoticeLen of them are there, then
// offered all at once to OnTcpRecv with the table lock released; the sink says
// how many it consumed and may ask for more from inside. While a proxy
// handshake runs, the bytes are the proxy's reply instead (VZ_ProxySession).
//
// An engine keeps one VZ_TcpDelivery per socket table (the select engine one
// per select thread) and calls Deliver from wherever bytes come from: its
// read, its completion, its window message, and its Recv when the bytes
// already buffered reach the new notice length (then with no new bytes).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "VZ_ProxySession.h"
#include "VZ_TcpDeliveryHost.h"

class VZ_TcpDelivery {
public:
    // dwMode: the TCPDELIVER_* bits of the engine (TCPDELIVER_MODE_*).
    VZ_TcpDelivery(VZ_TcpDeliveryHost* lpHost, DWORD dwMode);

    // Delivers recvlen new bytes (none: recvbuf NULL, recvlen 0) to the socket
    // s whose record has the serial ulSerial. Table unlocked on entry and on
    // return; the bytes need to stay valid only during the call. Result: a
    // TCPDELIVER_* value telling the engine whether to go on reading.
    // uiAsked: the size of the read that got the bytes, which earns the
    // socket its next read size (0: the bytes did not come from a read).
    int Deliver(SOCKET s, const char* recvbuf, UINT recvlen, ULONG ulSerial, UINT uiAsked = 0);

    // The handshake driver over the same host (OnProxyConnected).
    VZ_ProxySession& Proxy() { return m_Proxy; }

private:
    // Below the notice length: the bytes join sbRbuf. Table locked.
    int Buffer(_SOCKETCORE* lpIsd, const char* recvbuf, UINT recvlen, UINT uiNoticeLen);
    // The notice length is reached: the OnTcpRecv loop. Table locked on entry.
    int Offer(SOCKET s, const char* recvbuf, UINT recvlen, ULONG ulSerial, _SOCKETCORE* lpIsd);
    // A receive buffer could not grow: the socket fails with WSAENOBUFS. Table
    // locked on entry, unlocked on return.
    int OutOfMemory(SOCKET s, ULONG ulSerial, _TCPRECVBUF* lpRbuf);
    // The engine stops before OnTcpRecv: the delivery is dropped. Table unlocked.
    int Abandon(SOCKET s, ULONG ulSerial, char* lpKept);
    // Puts the unconsumed rest at the front of a block of at least
    // max(rest, notice) bytes and makes it sbRbuf. Table locked.
    void KeepRest(_TCPRECVBUF* lpRbuf, char* lpKept, UINT uiKeptSize, const char* lpRest, UINT uiRest,
                  UINT uiNoticeLen);
    // Usable bytes of a pool block; uiKnown for a block from the heap.
    UINT BlockCapacity(const void* p, UINT uiKnown);
    // Appends to the bytes sbRbuf holds: in place while its block has room,
    // else into a new block of at least uiMinSize. False when the pool
    // failed (the held bytes are gone with the old block). Table locked.
    bool AppendHeld(_TCPRECVBUF* lpRbuf, const char* lpData, UINT uiLen, UINT uiMinSize);

    VZ_TcpDeliveryHost* m_lpHost;
    DWORD m_dwMode;
    VZ_ProxySession m_Proxy;
};
