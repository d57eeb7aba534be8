// The plain select echo server of the echo benchmark.
#include "echo_bench.h"

#include <ws2tcpip.h>

#include <cstdlib>

VZ_RawSelectEcho::VZ_RawSelectEcho(UINT uiRecvSize)
    : m_uiRecvSize(uiRecvSize < 1 || uiRecvSize > ECHO_BUF_SIZE ? ECHO_BUF_SIZE : uiRecvSize),
      m_sListen(INVALID_SOCKET), m_hThread(NULL), m_lStop(0), m_lAccepted(0), m_iConns(0)
{
}

VZ_RawSelectEcho::~VZ_RawSelectEcho() { Stop(); }

USHORT VZ_RawSelectEcho::Start(USHORT usPort)
{
    USHORT usListening = 0;
    m_sListen = VZ_ListenLoopback(usPort, SOMAXCONN, true, &usListening);
    if (m_sListen == INVALID_SOCKET)
        return 0;
    m_lStop = 0;
    m_hThread = CreateThread(NULL, 0, ThreadMain, this, 0, NULL);
    return m_hThread ? usListening : 0;
}

void VZ_RawSelectEcho::Stop()
{
    InterlockedExchange(&m_lStop, 1);
    if (m_hThread) {
        // The loop polls the flag at every select time-out (20 ms).
        if (WaitForSingleObject(m_hThread, 5000) != WAIT_OBJECT_0)
            return; // leave its sockets alone: the thread still uses them
        CloseHandle(m_hThread);
        m_hThread = NULL;
    }
    while (m_iConns > 0)
        Drop(m_iConns - 1);
    if (m_sListen != INVALID_SOCKET)
        closesocket(m_sListen);
    m_sListen = INVALID_SOCKET;
}

DWORD WINAPI VZ_RawSelectEcho::ThreadMain(LPVOID lpParam)
{
    static_cast<VZ_RawSelectEcho*>(lpParam)->Loop();
    return 0;
}

void VZ_RawSelectEcho::Loop()
{
    while (!m_lStop) {
        fd_set fdRead, fdWrite;
        FD_ZERO(&fdRead);
        FD_ZERO(&fdWrite);
        // One select covers every socket, so the listener takes part only while
        // there is room for it: a server holding 64 connections accepts no more.
        if (m_iConns < MAX_SOCKETS)
            FD_SET(m_sListen, &fdRead);
        for (int i = 0; i < m_iConns; ++i) {
            if (m_conns[i].uiPending > 0)
                FD_SET(m_conns[i].s, &fdWrite);
            else
                FD_SET(m_conns[i].s, &fdRead);
        }
        timeval tv = {0, 20000};
        int iReady = select(0, &fdRead, fdWrite.fd_count ? &fdWrite : NULL, NULL, &tv);
        if (iReady < 0)
            Sleep(1); // not expected; keeps a persistent error from spinning
        if (iReady <= 0)
            continue;
        // Walk down, so that a dropped connection (replaced by the last) is not skipped.
        for (int i = m_iConns - 1; i >= 0; --i) {
            Conn& conn = m_conns[i];
            bool bOk = true;
            if (FD_ISSET(conn.s, &fdWrite))
                bOk = Flush(conn);
            else if (FD_ISSET(conn.s, &fdRead))
                bOk = Read(conn);
            if (!bOk)
                Drop(i);
        }
        if (FD_ISSET(m_sListen, &fdRead))
            Accept();
    }
}

void VZ_RawSelectEcho::Accept()
{
    while (m_iConns < MAX_SOCKETS) {
        SOCKET s = accept(m_sListen, NULL, NULL);
        if (s == INVALID_SOCKET)
            return;
        u_long ulNonBlocking = 1;
        BOOL bNoDelay = TRUE;
        ioctlsocket(s, FIONBIO, &ulNonBlocking);
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&bNoDelay, sizeof(bNoDelay));
        InterlockedIncrement(&m_lAccepted);
        Conn& conn = m_conns[m_iConns++];
        conn.s = s;
        conn.lpBuf = (char*)std::malloc(ECHO_BUF_SIZE);
        conn.uiOffset = 0;
        conn.uiPending = 0;
    }
}

bool VZ_RawSelectEcho::Read(Conn& conn)
{
    int iRead = VZ_RawEchoRecv(conn, m_uiRecvSize);
    return iRead > 0 ? Flush(conn) : iRead == 0;
}

bool VZ_RawSelectEcho::Flush(Conn& conn)
{
    int n = send(conn.s, conn.lpBuf + conn.uiOffset, (int)conn.uiPending, 0);
    if (n < 0)
        return WSAGetLastError() == WSAEWOULDBLOCK;
    conn.uiOffset += (UINT)n;
    conn.uiPending -= (UINT)n;
    return true;
}

void VZ_RawSelectEcho::Drop(int iIndex)
{
    closesocket(m_conns[iIndex].s);
    std::free(m_conns[iIndex].lpBuf);
    m_conns[iIndex] = m_conns[--m_iConns];
}
