// The engines behind ISocketMgr, one row each. The shared engine tests run
// for every row whose engine is built; the ways the engines differ are the
// columns. OXNET_ALL_ENGINES=1 runs the rows of unbuilt engines too (they
// then fail in SetUp).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <ostream>
#include <vector>

#include "VZ_NetworkEx.h"

// How a UDP socket reads: always, one datagram per Recv, or everything once Recv armed it.
enum { UDP_ALWAYS, UDP_ONE_PER_RECV, UDP_AFTER_RECV };

// Operations that answer true for a socket the manager does not know.
enum { UNKNOWN_CONNECT_ADDR = 1, UNKNOWN_LISTEN = 2, UNKNOWN_RECV = 4, UNKNOWN_CLOSE = 8 };

struct EngineRow {
    const char* lpszName;
    int iKind;                        // factory kind
    bool bRecords;                    // has a recording variant
    bool bSendToCountsBytes;          // SendTo returns the bytes sent (else 0 on success)
    const char* lpszPlainSendToCheck; // SendTo not direct on a socket without proxy: the check it
                                      // reports, or NULL when it sends as direct
    bool bRecvDeliversInline;         // Recv on buffered bytes raises OnTcpRecv on the caller's thread
    bool bSecondRecvRefused;          // Recv while a notice length is pending: false (else true, first kept)
    bool bSecondInitialize;           // Initialize on a running manager succeeds
    int iRefusedError;                // OnTcpConnect error of a connect to a closed port (under Wine)
    int iUdpReading;                  // UDP_*
    int iOversizeUdpError;            // a datagram over the receive buffer fails the socket with it (0: dropped)
    bool bOversizeUdpAsRecv;          // ... or is reported as OnUdpRecv with it, and reading goes on
    DWORD dwUnknownTrue;              // UNKNOWN_* bits
    int iProxyAddrFamily;             // sin_family of the addresses OnProxyResult hands out
    bool bHandshakeSendsReported;     // OnTcpSend (parameter 0) for the requests of a proxy handshake
    bool bRelayRefusedAsClose;        // a refused relay control connection: OnSocketClose of the UDP
                                      // socket (else OnProxyResult)
    bool bResetSeenBySend;            // a reset under queued sends: OnTcpSend has its error, the close follows
    bool bProxyRefusedAsClose;        // a refused connect to a proxy: OnSocketClose (SS_CONNECTING), not OnTcpConnect
    bool bProxyHangUpReported;        // the proxy's hang-up after a refusal: OnSocketClose (SS_CONNECTED)
    // What a container in front of the engine changes (a plain engine's row keeps these).
    const char* lpszFactory = NULL;      // the engine's interface name
    const char* lpszContainer = NULL;    // the container's interface name; NULL: the engine itself
    bool bInitFlags = true;              // Initialize's flags reach the engine
    bool bHostSeesDnsAndPreAccept = true; // OnDnsParse and OnSocketPreAccept reach the host's sink
    bool bSocketCtrl = true;             // SocketCtrl reaches the engine
};

const DWORD UNKNOWN_SELECT = UNKNOWN_CONNECT_ADDR | UNKNOWN_LISTEN | UNKNOWN_RECV | UNKNOWN_CLOSE;

// Columns in the order of EngineRow.
inline const EngineRow g_rowEngines[] = {
    {"Select", SOCKETMGR_SELECT, false, true, NULL, true, false, true, 10060, UDP_ALWAYS, WSAEMSGSIZE, false,
     UNKNOWN_SELECT, 0, true, true, false, false, false, "ISelectSocketMgr1.0"},
    {"Iocp", SOCKETMGR_IOCP, true, false, "isd.lpProxyData != NULL", false, true, false, 10061, UDP_ONE_PER_RECV, 0,
     false, 0, AF_INET, false, false, false, false, false, "IIocpSocketMgr1.0"},
    {"Async", SOCKETMGR_ASYNC, true, false, "asd.lpProxyData != NULL", false, true, false, 10061, UDP_AFTER_RECV,
     WSAEMSGSIZE, true, 0, AF_INET, false, false, true, true, true, "IAsyncSocketMgr1.0"},
};

// The same engines behind a container: what the container does itself
// differs, the rest is the engine's.
inline EngineRow ContainerRow(const EngineRow& row, const char* lpszRowName, const char* lpszContainer)
{
    EngineRow c = row;
    c.lpszName = lpszRowName;
    c.lpszContainer = lpszContainer;
    c.bRecords = false;
    c.dwUnknownTrue &= ~UNKNOWN_CLOSE; // only sockets made through a container are closed
    c.bInitFlags = c.bHostSeesDnsAndPreAccept = c.bSocketCtrl = false;
    return c;
}

inline const EngineRow& RowOf(int iKind)
{
    for (const EngineRow& row : g_rowEngines)
        if (row.iKind == iKind)
            return row;
    return g_rowEngines[0];
}

// The interface name a host asks the factory for to get the row's engine.
inline const char* FactoryName(const EngineRow& row) { return row.lpszContainer ? row.lpszContainer : row.lpszFactory; }

inline void PrintTo(const EngineRow& row, std::ostream* lpOs) { *lpOs << row.lpszName; }

// True when the factory builds the engine of the kind; a missing engine is
// named once, on standard error, which test discovery does not parse.
inline bool EngineBuilt(int iKind)
{
    static std::map<int, bool> mapBuilt;
    auto it = mapBuilt.find(iKind);
    if (it != mapBuilt.end())
        return it->second;
    ::testing::internal::CaptureStdout(); // what a destructor prints would read as a test name
    ISocketMgr* lpMgr = CreateSocketMgr(iKind, NULL, false);
    delete lpMgr;
    ::testing::internal::GetCapturedStdout();
    if (lpMgr == NULL)
        fprintf(stderr, "engine of kind %d is not built: its tests are not registered\n", iKind);
    return mapBuilt[iKind] = lpMgr != NULL;
}

// The rows whose engine is built (bRecording: only those with a recording
// variant; iKind: only that kind).
inline std::vector<EngineRow> BuiltEngines(bool bRecording = false, int iKind = 0)
{
    const char* lpszAll = getenv("OXNET_ALL_ENGINES");
    std::vector<EngineRow> vec;
    for (const EngineRow& row : g_rowEngines)
        if ((!bRecording || row.bRecords) && (iKind == 0 || row.iKind == iKind) &&
            (EngineBuilt(row.iKind) || (lpszAll != NULL && lpszAll[0] == '1')))
            vec.push_back(row);
    static const char* const s_containers[][2] = {{"SelectContainer", "ISelectSocketMgr2.0"},
                                                  {"IocpContainer", "IIocpSocketMgr2.0"},
                                                  {"AsyncContainer", "IAsyncSocketMgr2.0"}};
    for (size_t i = 0; i < 3; ++i)
        if (!bRecording && iKind == 0 && EngineBuilt(g_rowEngines[i].iKind))
            vec.push_back(ContainerRow(g_rowEngines[i], s_containers[i][0], s_containers[i][1]));
    return vec;
}
