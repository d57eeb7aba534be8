// The plain WSAAsyncSelect echo server of the echo benchmark: what a minimal
// window-message Winsock server costs under the same conditions as the oxnet
// engine (no pool, no records, no sink). One thread owns a message-only
// window (HWND_MESSAGE: never shown, not enumerated, spared broadcast
// messages) and runs its message loop; the listener asks for FD_ACCEPT, each
// connection for FD_READ, and for FD_WRITE too while it has unsent bytes.
// Every FD_READ reads once and sends the bytes straight back.
#include "echo_bench.h"

#include <ws2tcpip.h>

#include <cstdlib>

struct VZ_RawAsyncEcho::Conn : VZ_RawEchoConn {
    bool bWantWrite; // FD_WRITE is in the socket's event mask
};

namespace {

const UINT WM_ECHO_SOCKET = WM_APP + 1; // every socket's events
const UINT WM_ECHO_STOP = WM_APP + 2;   // from Stop: leave the message loop
const wchar_t CLASS_NAME[] = L"VZ_RawAsyncEcho";
const DWORD WAIT_MS = 5000;

} // namespace

VZ_RawAsyncEcho::VZ_RawAsyncEcho(UINT uiRecvSize)
    : m_uiRecvSize(uiRecvSize < 1 || uiRecvSize > ECHO_BUF_SIZE ? ECHO_BUF_SIZE : uiRecvSize), m_usWantPort(0),
      m_usPort(0), m_hThread(NULL), m_hReady(NULL), m_hWnd(NULL), m_sListen(INVALID_SOCKET), m_lAccepted(0),
      m_lOpen(0)
{
}

VZ_RawAsyncEcho::~VZ_RawAsyncEcho() { Stop(); }

USHORT VZ_RawAsyncEcho::Start(USHORT usPort)
{
    // The window, and so every socket, belongs to the thread: it opens them.
    m_usWantPort = usPort;
    m_usPort = 0;
    m_hReady = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (!m_hReady)
        return 0;
    m_hThread = CreateThread(NULL, 0, ThreadMain, this, 0, NULL);
    if (!m_hThread)
        return 0;
    HANDLE h[2] = {m_hReady, m_hThread};
    return WaitForMultipleObjects(2, h, FALSE, WAIT_MS) == WAIT_OBJECT_0 ? m_usPort : 0;
}

void VZ_RawAsyncEcho::Stop()
{
    if (m_hThread) {
        HANDLE h[2] = {m_hReady, m_hThread};
        if (WaitForMultipleObjects(2, h, FALSE, WAIT_MS) == WAIT_OBJECT_0 && m_hWnd)
            PostMessageW(m_hWnd, WM_ECHO_STOP, 0, 0);
        if (WaitForSingleObject(m_hThread, WAIT_MS) != WAIT_OBJECT_0)
            return; // leave its sockets alone: the thread still uses them
        CloseHandle(m_hThread);
        m_hThread = NULL;
    }
    if (m_hReady)
        CloseHandle(m_hReady);
    m_hReady = NULL;
}

DWORD WINAPI VZ_RawAsyncEcho::ThreadMain(LPVOID lpParam)
{
    VZ_RawAsyncEcho* lpThis = static_cast<VZ_RawAsyncEcho*>(lpParam);
    lpThis->m_usPort = lpThis->Open(lpThis->m_usWantPort);
    SetEvent(lpThis->m_hReady);
    if (lpThis->m_usPort) {
        MSG msg;
        while (GetMessageW(&msg, NULL, 0, 0) > 0)
            DispatchMessageW(&msg);
    }
    lpThis->Close();
    return 0;
}

LRESULT CALLBACK VZ_RawAsyncEcho::WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_ECHO_SOCKET) {
        VZ_RawAsyncEcho* lpThis = reinterpret_cast<VZ_RawAsyncEcho*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
        if (lpThis)
            lpThis->OnSocket((SOCKET)wParam, WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam));
        return 0;
    }
    if (uMsg == WM_ECHO_STOP) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

USHORT VZ_RawAsyncEcho::Open(USHORT usPort)
{
    HINSTANCE hInstance = GetModuleHandleW(NULL);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = CLASS_NAME;
    if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return 0;
    m_hWnd = CreateWindowExW(0, CLASS_NAME, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, hInstance, NULL);
    if (!m_hWnd)
        return 0;
    SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

    USHORT usListening = 0;
    m_sListen = VZ_ListenLoopback(usPort, SOMAXCONN, false, &usListening);
    if (m_sListen == INVALID_SOCKET || WSAAsyncSelect(m_sListen, m_hWnd, WM_ECHO_SOCKET, FD_ACCEPT | FD_CLOSE) != 0)
        return 0;
    return usListening;
}

void VZ_RawAsyncEcho::Close()
{
    while (!m_conns.empty())
        Drop(m_conns.begin()->first);
    if (m_sListen != INVALID_SOCKET)
        closesocket(m_sListen);
    m_sListen = INVALID_SOCKET;
    if (m_hWnd)
        DestroyWindow(m_hWnd);
}

void VZ_RawAsyncEcho::OnSocket(SOCKET s, WORD wEvent, WORD wError)
{
    if (s == m_sListen) {
        if (wEvent == FD_ACCEPT)
            Accept();
        return;
    }
    // A message may still be queued for a socket closed meanwhile.
    std::unordered_map<SOCKET, Conn*>::iterator it = m_conns.find(s);
    if (it == m_conns.end())
        return;
    Conn& conn = *it->second;
    bool bOk = true;
    switch (wEvent) {
    case FD_READ:
    case FD_CLOSE:
        // A close is taken from recv's 0, as with select: bytes sent before it
        // are still echoed, and a late FD_CLOSE for a closed socket whose
        // handle was reused just reads nothing (WSAEWOULDBLOCK).
        if (wError != 0)
            bOk = false;
        else if (conn.uiPending == 0) // else read once the send is done
            bOk = Read(conn);
        break;
    case FD_WRITE:
        bOk = Flush(conn);
        break;
    }
    if (!bOk)
        Drop(s);
}

void VZ_RawAsyncEcho::Accept()
{
    // One accept per FD_ACCEPT: accept re-enables the message while more wait.
    SOCKET s = accept(m_sListen, NULL, NULL);
    if (s == INVALID_SOCKET)
        return;
    BOOL bNoDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&bNoDelay, sizeof(bNoDelay));
    // The accepted socket is non-blocking already: it inherits the listener's WSAAsyncSelect.
    if (WSAAsyncSelect(s, m_hWnd, WM_ECHO_SOCKET, FD_READ | FD_CLOSE) != 0) {
        closesocket(s);
        return;
    }
    Conn* lpConn = new Conn;
    lpConn->s = s;
    lpConn->lpBuf = (char*)std::malloc(m_uiRecvSize);
    lpConn->uiOffset = 0;
    lpConn->uiPending = 0;
    lpConn->bWantWrite = false;
    m_conns[s] = lpConn;
    InterlockedIncrement(&m_lAccepted);
    InterlockedIncrement(&m_lOpen);
}

bool VZ_RawAsyncEcho::Read(Conn& conn)
{
    int iRead = VZ_RawEchoRecv(conn, m_uiRecvSize);
    return iRead > 0 ? Flush(conn) : iRead == 0;
}

bool VZ_RawAsyncEcho::Flush(Conn& conn)
{
    // FD_WRITE comes again only after a send has failed with WSAEWOULDBLOCK,
    // so a partial send is followed by another one straight away.
    while (conn.uiPending > 0) {
        int n = send(conn.s, conn.lpBuf + conn.uiOffset, (int)conn.uiPending, 0);
        if (n < 0) {
            if (WSAGetLastError() != WSAEWOULDBLOCK)
                return false;
            break;
        }
        conn.uiOffset += (UINT)n;
        conn.uiPending -= (UINT)n;
    }
    // A socket asks for FD_WRITE only while bytes wait. Dropping it again
    // posts FD_READ if bytes arrived meanwhile (their FD_READ was left unread).
    bool bWantWrite = conn.uiPending > 0;
    if (bWantWrite != conn.bWantWrite) {
        long lEvents = bWantWrite ? FD_READ | FD_WRITE | FD_CLOSE : FD_READ | FD_CLOSE;
        if (WSAAsyncSelect(conn.s, m_hWnd, WM_ECHO_SOCKET, lEvents) != 0)
            return false;
        conn.bWantWrite = bWantWrite;
    }
    return true;
}

void VZ_RawAsyncEcho::Drop(SOCKET s)
{
    std::unordered_map<SOCKET, Conn*>::iterator it = m_conns.find(s);
    if (it == m_conns.end())
        return;
    closesocket(s);
    std::free(it->second->lpBuf);
    delete it->second;
    m_conns.erase(it);
    InterlockedDecrement(&m_lOpen);
}
