// The engine behind "IAsyncSocketMgr1.0" and "IAsyncSocketMgr1.1": every
// socket notification arrives through WSAAsyncSelect as a message of one
// hidden window, and its one thread handles all sockets; a second thread
// resolves host names; the base's timer service runs the per-socket
// time-outs and timers.
//
// One lock, the lock of m_mapSocket2Data, guards every record,
// m_mapClosingCount and m_ulNextSerial. Events are raised with it released.
// Every socket event reaches the sink on the window thread.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "core/VZ_ClosingMap.h"
#include "VZ_List.h"
#include "VZ_Map.h"
#include "VZ_MultiThread.h"
#include "VZ_MultipleTimer.h"
#include "core/VZ_RecordTable.h"
#include "core/VZ_SocketMgr.h"
#include "core/VZ_TcpDelivery.h"
#include "VZ_Wnd.h"

#include <utility>
#include <vector>

// Messages of the hidden window.
#define WM_ASYNC_RBUF 0x720    // wParam socket: deliver the bytes already buffered (posted by Recv)
#define WM_ASYNC_SOCKET 0x721  // WSAAsyncSelect: wParam socket, lParam event | error << 16
#define WM_ASYNC_RELEASE 0x722 // wParam socket: one close of it has passed the message queue

#define ASYNC_RECV_SIZE 16384  // smallest TCP read of the window thread
#define ASYNC_UDP_SIZE 2048    // one datagram

// Thread types of the engine's pool.
enum {
    ASYNC_THREAD_DNS = 2,
    ASYNC_THREAD_WND = 3
};

// One socket: the common record, its send queue (oldest first) and the
// events last given to WSAAsyncSelect, so that an unchanged set is not set
// again (each call is a round trip to the platform).
struct _AsyncSocketData : _SOCKETCORE {
    SENDLIST listSend;
    long lArmed;
    // The proxy refused: the rest of its answer is read and dropped, so that
    // its hang-up is seen, and never judged again.
    bool bProxyRefused;
    // The peer closed gracefully: what it sent before is held in sbRbuf and
    // the close is reported once those bytes are delivered (SettlePeerClose).
    bool bPeerClosed;
};

class VZ_AsyncSocketMgr : public VZ_SocketMgr, public VZ_MultiThread, public VZ_Wnd, public VZ_MultipleTimerSink {
public:
    VZ_AsyncSocketMgr();
    ~VZ_AsyncSocketMgr() override;

    VZ_SOCKETMGR_ENGINE_OPERATIONS;

protected:
    DWORD ThreadProc(_THREAD_DATA& td) override;
    LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
    bool ListenDirect(SOCKET s, int backlog) override;
    bool AddSocket(SOCKET s, int status, DWORD dwUserData1, DWORD dwUserData2, _PROXYDATA* lpProxyData) override;

private:
    // What the shared receive delivery and proxy handshake need of this engine.
    class VZ_DeliveryHost : public VZ_TcpDeliveryHost {
    public:
        explicit VZ_DeliveryHost(VZ_AsyncSocketMgr* lpMgr) : VZ_TcpDeliveryHost(&lpMgr->m_mapSocket2Data), m_lpMgr(lpMgr) {}
        VZ_SocketMgr* GetSocketMgr() override { return m_lpMgr; }
        VZ_MemoryEx* GetMemory() override { return &m_lpMgr->m_Memory; }
        DWORD GetClock() override { return m_lpMgr->m_Timer.GetTimerTick(); }
        void ReportSocketError(int iError, SOCKET s, ULONG ulSerial) override
        {
            m_lpMgr->CloseAndNotify(iError, s, ulSerial);
        }
        bool IsStopping() override { return m_lpMgr->m_bStopping; }

    private:
        VZ_AsyncSocketMgr* m_lpMgr;
    };

    // Records (VZ_AsyncSocketMgr.cpp).
    _AsyncSocketData* FindRecord(SOCKET s);
    // The record of s when it may take a notification: it exists, has armed
    // notifications, and no close of its handle is still on its way through
    // the message queue.
    _AsyncSocketData* FindLive(SOCKET s);
    // FD_CLOSE, FD_READ while a notice length is pending, FD_WRITE while sends wait.
    static long ReadingMask(const _AsyncSocketData& asd);
    // WSAAsyncSelect on the window (record locked). Skipped when the events
    // are those set already, unless bForce: the call is what makes the
    // platform post a notice for a condition that holds already (data to
    // read, room to write). FD_WRITE set without a queue is harmless: a
    // write notice finding nothing queued is ignored.
    bool Arm(_AsyncSocketData& asd, long lEvents, bool bForce = false);
    // A Send on the window thread with nothing queued goes out at once; its
    // OnTcpSend follows once the current notification has been handled.
    bool SendNow(_AsyncSocketData& asd, const char* buf, int len, UINT* lpuiQueued);
    void RaiseSendReports();
    // Reported once: OnSocketClose, or for the control socket of a proxied
    // UDP socket OnProxyResult of that socket; the socket then waits for CloseSocket.
    // Only the record of ulSerial (TCP_ANY_SERIAL: whichever record s has).
    void CloseAndNotify(int iError, SOCKET s, ULONG ulSerial = TCP_ANY_SERIAL);
    void CloseAllSockets();

    // The window thread and its notifications (VZ_AsyncSocketMgr.cpp).
    void ThreadWnd();
    void OnNotice(SOCKET s, WORD wEvent, int iError);
    void OnConnect(SOCKET s, int iError);
    void OnAccept(SOCKET sListen, int iError);
    void OnRead(SOCKET s, int iError);
    void OnReadTcp(SOCKET s, ULONG ulSerial, UINT uiReadSize);
    void OnReadUdp(SOCKET s, SOCKET sPair, DWORD dwUserData1, DWORD dwUserData2);
    void OnWrite(SOCKET s, int iError);
    void OnClose(SOCKET s, int iError);
    // Reads what the socket still holds into sbRbuf (record locked).
    void HoldRest(_AsyncSocketData& asd);
    // After the peer's close: delivers the held bytes the host asks for,
    // then reports the close.
    void SettlePeerClose(SOCKET s);
    void OnBufferedData(SOCKET s);
    // The delivery step: bytes (or none) through the shared receive contract,
    // then reading re-armed for the record of that serial.
    void Deliver(SOCKET s, const char* lpBuf, UINT uiLen, ULONG ulSerial, UINT uiAsked = 0);

    VZ_RecordTable<_AsyncSocketData> m_mapSocket2Data;
    VZ_ClosingMap m_mapClosingCount;
    ULONG m_ulNextSerial;
    HANDLE m_hWndReady;
    volatile DWORD m_dwWndThreadId;
    volatile bool m_bStopping;
    // Sockets whose sends went out at once, with their serials (window thread only).
    std::vector<std::pair<SOCKET, ULONG>> m_vecSendReports;

    VZ_DeliveryHost m_DeliveryHost;
    VZ_TcpDelivery m_Delivery;
};
