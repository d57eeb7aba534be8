// Plain Winsock names are used on purpose; inet_addr is enough for a dotted literal.
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#include "VZ_TcpSocket.h"

VZ_TcpSocket::VZ_TcpSocket(unsigned short usPort, const char* lpszAddress, unsigned short usSetting)
    : m_usPort(usPort), m_usSetting(usSetting),
      m_ulAddress(inet_addr(lpszAddress)), m_hSocket(INVALID_SOCKET)
{
}

VZ_TcpSocket::~VZ_TcpSocket()
{
    if (m_hSocket != INVALID_SOCKET)
        closesocket(m_hSocket);
}

bool VZ_TcpSocket::Connect()
{
    Attach(INVALID_SOCKET);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(m_usPort);
    sa.sin_addr.s_addr = m_ulAddress;
    if (connect(s, (const sockaddr*)&sa, sizeof(sa)) == SOCKET_ERROR)
    {
        closesocket(s);
        return false;
    }
    m_hSocket = s;
    return true;
}

void VZ_TcpSocket::Attach(SOCKET hSocket)
{
    if (m_hSocket != INVALID_SOCKET)
        closesocket(m_hSocket);
    m_hSocket = hSocket;
}

SOCKET VZ_TcpSocket::Detach()
{
    SOCKET s = m_hSocket;
    m_hSocket = INVALID_SOCKET;
    return s;
}

void VZ_TcpSocket::Send(const char* lpBuffer, int iLength)
{
    send(m_hSocket, lpBuffer, iLength, 0);
}

VZ_TcpSocket& VZ_GetTraceSocket()
{
    // Function-local so that it exists whenever first asked for, whatever the
    // order of static construction; the library's entry module may take over
    // building it at load.
    static VZ_TcpSocket s_sockTrace(0, "", 1);
    return s_sockTrace;
}
