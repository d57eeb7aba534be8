// Window-message engine: the operations a host calls on its sockets. Each
// one changes records under the lock and arms the window's notifications;
// the events follow on the window thread.
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>

#include "VZ_Assert.h"
#include "VZ_AsyncSocketMgr.h"
#include "core/VZ_Trace.h"

// ---------------------------------------------------------------------------
// Connecting and listening

bool VZ_AsyncSocketMgr::Connect(SOCKET s, const sockaddr_in* lpRemoteAddr)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _AsyncSocketData* lpAsd = FindRecord(s);
    if (lpAsd == NULL || lpAsd->status != SS_TCP || lpRemoteAddr == NULL)
        return false;
    sockaddr_in addr;
    if (!ConnectTarget(*lpAsd, lpRemoteAddr, &addr) || !Arm(*lpAsd, FD_CONNECT | FD_CLOSE, true))
        return false;
    if (WSAConnect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr), NULL, NULL, NULL, NULL) ==
            SOCKET_ERROR &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        VZ_Trace("WSAConnect s=%d,Error=%d\n", static_cast<int>(s), WSAGetLastError());
        return false; // the status stays SS_TCP
    }
    lpAsd->status = SS_CONNECTING;
    return true;
}

bool VZ_AsyncSocketMgr::ListenDirect(SOCKET s, int backlog)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _AsyncSocketData* lpAsd = FindRecord(s);
    if (lpAsd == NULL || lpAsd->status != SS_TCP)
        return false;
    if (listen(s, backlog) == SOCKET_ERROR || !Arm(*lpAsd, FD_ACCEPT | FD_CLOSE, true))
        return false;
    lpAsd->status = SS_ACCEPTING;
    return true;
}

// ---------------------------------------------------------------------------
// Receiving and sending

bool VZ_AsyncSocketMgr::Recv(SOCKET s, UINT uiNoticeLen)
{
    VZ_AutoLock lock(&m_mapSocket2Data);
    _AsyncSocketData* lpAsd = FindRecord(s);
    if (lpAsd == NULL)
        return false;
    if (lpAsd->status == SS_UDP)
        return Arm(*lpAsd, FD_READ | FD_CLOSE, true);
    if (lpAsd->status != SS_CONNECTED)
        return false;
    int iArm = ArmNotice(*lpAsd, uiNoticeLen);
    if (lpAsd->bPeerClosed && (iArm == NOTICE_HELD || iArm == NOTICE_READ))
        iArm = NOTICE_HELD; // nothing more comes: the window thread delivers the rest, then the close
    switch (iArm) {
    case NOTICE_PENDING:
        return false;
    case NOTICE_ARMED:
        return true;
    case NOTICE_HELD:
        // The bytes are here already: the window thread delivers them, never the caller.
        return PostMessageW(GetHwnd(), WM_ASYNC_RBUF, static_cast<WPARAM>(s), 0) != FALSE;
    default: // also brings the notice of bytes that wait already
        return Arm(*lpAsd, ReadingMask(*lpAsd), true);
    }
}

bool VZ_AsyncSocketMgr::Send(SOCKET s, const char* buf, int len, DWORD dwSendParam, UINT* lpuiQueued)
{
    VZ_ASSERT(buf != NULL);
    VZ_ASSERT(len > 0);
    if (buf == NULL || len <= 0)
        return false;
    VZ_AutoLock lock(&m_mapSocket2Data);
    _AsyncSocketData* lpAsd = FindRecord(s);
    if (lpAsd == NULL || lpAsd->status != SS_CONNECTED)
        return false;
    lpAsd->dwLastSendParam = dwSendParam;
    if (lpAsd->listSend.IsEmpty() && GetCurrentThreadId() == m_dwWndThreadId)
        return SendNow(*lpAsd, buf, len, lpuiQueued);
    if (!QueueSend(lpAsd->listSend, buf, static_cast<UINT>(len)))
        return false;
    if (lpuiQueued != NULL)
        *lpuiQueued = static_cast<UINT>(lpAsd->listSend.GetCount());
    return Arm(*lpAsd, ReadingMask(*lpAsd), true); // the write notice: the window thread sends
}

// The window thread itself sends (a sink answering inside an event): what
// goes out at once needs no write notice, and its report is raised after the
// current notification, never inside Send. A rest is queued as usual.
bool VZ_AsyncSocketMgr::SendNow(_AsyncSocketData& asd, const char* buf, int len, UINT* lpuiQueued)
{
    int n = send(asd.socket, buf, len, 0);
    if (n < 0)
        n = 0; // the write notice brings the error, if it is one
    else
        asd.dwLastSendTime = m_Timer.GetTimerTick();
    if (lpuiQueued != NULL)
        *lpuiQueued = n < len ? 1 : 0;
    if (n == len) {
        m_vecSendReports.push_back(std::make_pair(asd.socket, asd.ulSerial));
        return true;
    }
    return QueueSend(asd.listSend, buf + n, static_cast<UINT>(len - n)) && Arm(asd, ReadingMask(asd), true);
}

int VZ_AsyncSocketMgr::SendTo(SOCKET s, const sockaddr_in* lpRemoteAddr, const char* buf, int len, bool bDirect)
{
    return SendToChecked(s, lpRemoteAddr, buf, len, bDirect,
                         [](const _RECORDVIEW& asd) { VZ_ASSERT(asd.lpProxyData != NULL); });
}

// ---------------------------------------------------------------------------
// Close

// No event for a local close. Notifications of the handle still queued are
// ignored until the window has seen its release.
bool VZ_AsyncSocketMgr::CloseSocket(SOCKET s)
{
    if (s == INVALID_SOCKET)
        return false;
    KillAllTimers(s);
    int iOldStatus = SS_CLOSED;
    SOCKET sPair = INVALID_SOCKET;
    if (!m_mapSocket2Data.RemoveRecord(s, m_Memory, [this, s](_AsyncSocketData& asd) {
            FreeSendQueue(asd.listSend);
            HWND hWnd = GetHwnd();
            if (hWnd != NULL)
                WSAAsyncSelect(s, hWnd, 0, 0);
            closesocket(s);
            if (asd.status != SS_TCP && hWnd != NULL) // an SS_TCP socket never had notifications
                m_mapClosingCount.AddClose(s, hWnd, WM_ASYNC_RELEASE);
        }, &iOldStatus, &sPair))
        return false;
    if (iOldStatus == SS_UDP && sPair != INVALID_SOCKET)
        CloseSocket(sPair); // the relay's TCP control socket
    return true;
}
