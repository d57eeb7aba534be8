// oxnet host interface: the socket manager, the host's event sink, the
// records and codes that cross them, and the five functions oxnet.dll exports.
//
// A host includes <winsock2.h> and <windows.h> (in that order), then this
// header, and links oxnet.lib (or loads oxnet.dll and looks the functions up
// by name). Every virtual operation stands at a fixed slot: do not reorder.
#pragma once

#include <winsock2.h>
#include <windows.h>

// Socket status codes, one per socket record; passed as iStatus in OnSocketClose.
enum {
    SS_UDP = 0,        // UDP socket
    SS_TCP = 1,        // TCP socket created and bound, neither connecting nor listening
    SS_ACCEPTING = 3,  // listening TCP socket
    SS_CONNECTING = 4, // connect issued, no outcome yet
    SS_CONNECTED = 5,  // connected or accepted TCP socket
    SS_CLOSING = 6,    // error or peer close reported; waits for CloseSocket
    SS_CLOSED = 7      // record being removed by CloseSocket
};

// Proxy kinds of CreateProxy.
enum {
    PROXY_SOCKS4 = 1,
    PROXY_SOCKS5 = 2,
    PROXY_HTTP = 3
};

// One buffer of SendV; dwReserved is not read.
struct _SOCKBUF {
    const char* lpBuf;
    DWORD dwReserved;
    UINT uiLen;
};

// The two compilers lay out overloaded virtual functions differently: GCC and
// Clang keep declaration order, MSVC groups an overload set and reverses it.
// Each pair below is declared so that both give the same slot order:
// CreateUdpSocket(text), CreateUdpSocket(address), SendTo(address),
// SendTo(text), CreateTcpSocket(text), CreateTcpSocket(address),
// Connect(text), Connect(address).
class ISocketMgrSink;

class ISocketMgr {
public:
    virtual HANDLE CreateProxy(UINT uiType, const char* lpAddr, USHORT usPort, const char* lpUser,
                               const char* lpPsw) = 0;
    virtual bool DestroyProxy(HANDLE hProxy) = 0;
    virtual bool SetSendBufSize(SOCKET s, int iSize) = 0;
    virtual bool SetRecvBufSize(SOCKET s, int iSize) = 0;
    virtual bool SetSendTimeout(SOCKET s, UINT uiElapse) = 0;
    virtual bool SetRecvTimeout(SOCKET s, UINT uiElapse) = 0;
    virtual bool KillSendTimeout(SOCKET s) = 0;
    virtual bool KillRecvTimeout(SOCKET s) = 0;
    virtual bool SetTimer(SOCKET s, UINT uiEvent, UINT uiElapse, DWORD dwParam, bool bOnce) = 0;
    virtual bool KillTimer(SOCKET s, UINT uiEvent) = 0;
    virtual bool Initialize(BYTE byFlags, int nWorkThread, DWORD dwReserved1, DWORD dwReserved2) = 0;
    virtual bool Uninitialize(DWORD dwReserved) = 0;
    virtual bool Shutdown(SOCKET s, int how) = 0;
    virtual bool CloseSocket(SOCKET s) = 0;
    virtual bool Recv(SOCKET s, UINT uiNoticeLen) = 0;
    virtual bool DnsParse(const char* dn) = 0;
    virtual bool SetUserData1(SOCKET s, DWORD dwUserData1) = 0;
    virtual bool SetUserData2(SOCKET s, DWORD dwUserData2) = 0;
    virtual bool GetUserData(SOCKET s, DWORD* lpdwUserData1, DWORD* lpdwUserData2) = 0;
#ifndef _MSC_VER
    virtual SOCKET CreateUdpSocket(HANDLE hProxy, const char* lpAddr, USHORT usPort, DWORD dwUserData1,
                                   DWORD dwUserData2) = 0;
    virtual SOCKET CreateUdpSocket(HANDLE hProxy, const sockaddr_in* lpLocalAddr, DWORD dwUserData1,
                                   DWORD dwUserData2) = 0;
    virtual int SendTo(SOCKET s, const sockaddr_in* lpRemoteAddr, const char* buf, int len, bool bDirect) = 0;
    virtual int SendTo(SOCKET s, const char* lpAddr, USHORT usPort, const char* buf, int len, bool bDirect) = 0;
    virtual SOCKET CreateTcpSocket(HANDLE hProxy, const char* lpAddr, USHORT usPort, DWORD dwUserData1,
                                   DWORD dwUserData2) = 0;
    virtual SOCKET CreateTcpSocket(HANDLE hProxy, const sockaddr_in* lpLocalAddr, DWORD dwUserData1,
                                   DWORD dwUserData2) = 0;
    virtual bool Connect(SOCKET s, const char* lpHost, USHORT usPort) = 0;
    virtual bool Connect(SOCKET s, const sockaddr_in* lpRemoteAddr) = 0;
#else
    virtual SOCKET CreateUdpSocket(HANDLE hProxy, const sockaddr_in* lpLocalAddr, DWORD dwUserData1,
                                   DWORD dwUserData2) = 0;
    virtual SOCKET CreateUdpSocket(HANDLE hProxy, const char* lpAddr, USHORT usPort, DWORD dwUserData1,
                                   DWORD dwUserData2) = 0;
    virtual int SendTo(SOCKET s, const char* lpAddr, USHORT usPort, const char* buf, int len, bool bDirect) = 0;
    virtual int SendTo(SOCKET s, const sockaddr_in* lpRemoteAddr, const char* buf, int len, bool bDirect) = 0;
    virtual SOCKET CreateTcpSocket(HANDLE hProxy, const sockaddr_in* lpLocalAddr, DWORD dwUserData1,
                                   DWORD dwUserData2) = 0;
    virtual SOCKET CreateTcpSocket(HANDLE hProxy, const char* lpAddr, USHORT usPort, DWORD dwUserData1,
                                   DWORD dwUserData2) = 0;
    virtual bool Connect(SOCKET s, const sockaddr_in* lpRemoteAddr) = 0;
    virtual bool Connect(SOCKET s, const char* lpHost, USHORT usPort) = 0;
#endif
    virtual bool Listen(SOCKET s, int backlog) = 0;
    virtual bool SendV(SOCKET s, const _SOCKBUF* lpBufs, UINT uiCount, DWORD dwSendParam, UINT* lpuiQueued) = 0;
    virtual bool Send(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued) = 0;
    virtual void SetSink(ISocketMgrSink* lpSink) = 0;
    virtual ISocketMgrSink* GetSink() = 0;
    // Code 1: partial-send reports on (dwValue != 0) or off; other codes do nothing. Always 0.
    virtual DWORD SocketCtrl(UINT uiCode, SOCKET s, DWORD dwValue, DWORD dwParam1, DWORD dwParam2,
                             DWORD dwParam3, DWORD dwParam4, DWORD dwParam5) = 0;
    virtual ~ISocketMgr() {}
};

// The host's event sink. Calls arrive on the manager's own threads, with the
// manager's locks released: a sink may call any manager operation from inside.
class ISocketMgrSink {
public:
    virtual bool OnSocketPreAccept(const sockaddr_in* lpLocalAddr, const sockaddr_in* lpPeerAddr) = 0;
    virtual void OnTcpConnect(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2) = 0;
    virtual void OnTcpAccept(int iError, SOCKET sListen, SOCKET sAccept, const sockaddr_in* lpLocalAddr,
                             const sockaddr_in* lpPeerAddr) = 0;
    // Write into *lpuiLen how many bytes were consumed from the front of buf.
    virtual void OnTcpRecv(int iError, SOCKET s, const char* buf, UINT* lpuiLen, DWORD dwUserData1,
                           DWORD dwUserData2) = 0;
    virtual void OnUdpRecv(int iError, SOCKET s, const char* buf, int len, const sockaddr_in* lpFromAddr,
                           DWORD dwUserData1, DWORD dwUserData2) = 0;
    virtual void OnTcpSend(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2, DWORD dwSendParam,
                           UINT uiQueued) = 0;
    virtual void OnSocketClose(int iError, SOCKET s, int iStatus, DWORD dwUserData1, DWORD dwUserData2) = 0;
    virtual void OnRecvTimeout(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2) = 0;
    virtual void OnSendTimeout(int iError, SOCKET s, DWORD dwUserData1, DWORD dwUserData2) = 0;
    virtual void OnDnsParse(const char* lpName, ULONG ulIP) = 0;
    virtual void OnTimer(SOCKET s, UINT uiEvent, DWORD dwParam, DWORD dwUserData1, DWORD dwUserData2) = 0;
    virtual void OnProxyResult(int iError, SOCKET s, const sockaddr_in* lpProxyAddr, DWORD dwUserData1,
                               DWORD dwUserData2) = 0;
    // Never raised by the library.
    virtual DWORD OnReserved(DWORD dw1, DWORD dw2, DWORD dw3, DWORD dw4, DWORD dw5, DWORD dw6, DWORD dw7,
                             DWORD dw8, DWORD dw9) = 0;
};

// Exported functions (undecorated names).
#ifdef OXNET_BUILDING_DLL
#define OXNET_API
#else
#define OXNET_API __declspec(dllimport)
#endif

extern "C" {
// A socket manager for an interface name, or NULL for an unknown name (the
// known names are then listed on standard output).
OXNET_API ISocketMgr* oxCreateInstance(const char* lpszName);
// Destroys a manager made by oxCreateInstance; any other pointer is left alone.
OXNET_API void oxDestroyInstance(ISocketMgr* lpMgr);
// Copies interface name iIndex (0 to 8) into lpszName, which holds at least
// OXNET_MAX_NAME bytes; false for any other index.
OXNET_API bool oxGetInterfaceName(int iIndex, char* lpszName);
OXNET_API bool oxInitialize();
OXNET_API void oxUninitialize();
}

#define OXNET_MAX_NAME 20
#define OXNET_INTERFACE_COUNT 9
