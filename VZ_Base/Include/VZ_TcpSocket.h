// Holder of one TCP socket with a fixed destination; the process has one
// instance, the lock trace socket (VZ_GetTraceSocket).
#pragma once

#include <winsock2.h>
#include <windows.h>

class VZ_TcpSocket
{
public:
    // lpszAddress is a dotted IPv4 literal; no socket is made yet.
    VZ_TcpSocket(unsigned short usPort, const char* lpszAddress, unsigned short usSetting);
    virtual ~VZ_TcpSocket();   // closes the socket if one is held

    // Makes a socket and connects it to the stored destination (blocking).
    // Any socket held before is closed first. Nothing in the system calls it.
    bool Connect();
    // Takes over an already connected socket (closing any held one), or gives
    // the held one back without closing it. Used to steer the lock trace.
    void Attach(SOCKET hSocket);
    SOCKET Detach();

    bool IsOpen() const { return m_hSocket != INVALID_SOCKET; }
    SOCKET GetSocket() const { return m_hSocket; }
    unsigned short GetSetting() const { return m_usSetting; }

    // One send() of iLength bytes; the result is ignored.
    void Send(const char* lpBuffer, int iLength);

private:
    VZ_TcpSocket(const VZ_TcpSocket&) = delete;
    VZ_TcpSocket& operator=(const VZ_TcpSocket&) = delete;

    unsigned short m_usPort;      // host order
    unsigned short m_usSetting;   // kept, not interpreted
    ULONG m_ulAddress;            // network order
    SOCKET m_hSocket;
};

// The process-wide trace socket, VZ_TcpSocket(0, "", 1). Built on first use
// (so no other static depends on its construction order) and destroyed at
// unload; nothing in the system connects it.
VZ_TcpSocket& VZ_GetTraceSocket();
