// Proxy half of VZ_SocketMgr: the proxy records and the three handshake steps
// the engines drive (where to connect, the next request, the verdict on a reply).
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "VZ_Assert.h"
#include "VZ_SocketMgr.h"

namespace {

// The SOCKS5 length bytes hold at most 255; longer names are refused at
// CreateProxy, so every listed record's request fits PROXY_BUF_SIZE (the
// longest, HTTP with two 255-byte names, takes 755 bytes).
const size_t PROXY_MAX_NAME = 255;

// Winsock and Windows codes of the verdicts.
const int PROXY_ERR_HANDLE = 6;       // ERROR_INVALID_HANDLE: record gone
const int PROXY_ERR_PASSWORD = 86;    // ERROR_INVALID_PASSWORD
const int PROXY_ERR_REFUSED = 10061;  // WSAECONNREFUSED
const int PROXY_ERR_PROTOCOL = 10043; // WSAEPROTONOSUPPORT
const int PROXY_ERR_INVAL = 10022;    // WSAEINVAL

const int SOCKS_REPLY_LEN = 10; // SOCKS5 reply with an IPv4 address

bool SameText(const char* lpA, const char* lpB)
{
    if (lpA == NULL || lpB == NULL)
        return lpA == lpB;
    return strcmp(lpA, lpB) == 0;
}

size_t TextLen(const char* lpsz)
{
    return lpsz != NULL ? strlen(lpsz) : 0;
}

// Appends to a fixed buffer and never writes past it; once something did not
// fit, nothing more is written and the whole request counts as refused.
class RequestWriter {
public:
    RequestWriter(char* lpBuf, size_t uiSize) : m_lpBuf(lpBuf), m_uiSize(uiSize), m_uiLen(0), m_bOverflow(false) {}

    // Room for uiCount more bytes, or NULL (and overflow) when they do not fit.
    char* Reserve(size_t uiCount)
    {
        if (m_bOverflow || uiCount > m_uiSize - m_uiLen) {
            m_bOverflow = true;
            return NULL;
        }
        char* lp = m_lpBuf + m_uiLen;
        m_uiLen += uiCount;
        return lp;
    }
    void Put(const void* lpData, size_t uiCount)
    {
        char* lp = Reserve(uiCount);
        if (lp != NULL && uiCount != 0)
            memcpy(lp, lpData, uiCount);
    }
    // Marks the request as refused: it cannot be expressed in the buffer.
    void Refuse() { m_bOverflow = true; }
    void PutByte(BYTE by) { Put(&by, 1); }
    void PutText(const char* lpsz) { Put(lpsz, TextLen(lpsz)); }
    // Address and port as they lie in memory, that is in network order.
    void PutAddr(ULONG ulIP) { Put(&ulIP, 4); }
    void PutPort(USHORT usPort) { Put(&usPort, 2); }

    bool Overflow() const { return m_bOverflow; }
    size_t Length() const { return m_uiLen; }

private:
    char* m_lpBuf;
    size_t m_uiSize;
    size_t m_uiLen;
    bool m_bOverflow;
};

// Base64 with the standard alphabet and "=" padding, no line breaks.
void PutBase64(RequestWriter& w, const BYTE* lpSrc, size_t uiLen)
{
    static const char szAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char* lpDst = w.Reserve((uiLen + 2) / 3 * 4);
    if (lpDst == NULL)
        return;
    for (size_t i = 0; i < uiLen; i += 3) {
        size_t uiRest = uiLen - i;
        DWORD dw = static_cast<DWORD>(lpSrc[i]) << 16;
        if (uiRest > 1)
            dw |= static_cast<DWORD>(lpSrc[i + 1]) << 8;
        if (uiRest > 2)
            dw |= lpSrc[i + 2];
        *lpDst++ = szAlphabet[(dw >> 18) & 0x3F];
        *lpDst++ = szAlphabet[(dw >> 12) & 0x3F];
        *lpDst++ = uiRest > 1 ? szAlphabet[(dw >> 6) & 0x3F] : '=';
        *lpDst++ = uiRest > 2 ? szAlphabet[dw & 0x3F] : '=';
    }
}

// "CONNECT a.b.c.d:port HTTP/1.1\r\n", then the Basic credentials line when
// both names are set, then the empty line.
void PutHttpConnect(RequestWriter& w, const _PROXYDATA* p, ULONG ulIP, USHORT usPort)
{
    const BYTE* lpIP = reinterpret_cast<const BYTE*>(&ulIP);
    char szLine[64];
    snprintf(szLine, sizeof(szLine), "CONNECT %u.%u.%u.%u:%u HTTP/1.1\r\n", static_cast<unsigned>(lpIP[0]),
             static_cast<unsigned>(lpIP[1]), static_cast<unsigned>(lpIP[2]), static_cast<unsigned>(lpIP[3]),
             static_cast<unsigned>(ntohs(usPort)));
    w.PutText(szLine);
    if (p->lpUser == NULL || p->lpPsw == NULL) {
        w.PutText("\r\n");
        return;
    }
    // "user:password", staged so it can be encoded in one run; a pair too long
    // for the stage could not fit the request either.
    char szPair[PROXY_BUF_SIZE];
    RequestWriter pair(szPair, sizeof(szPair));
    pair.PutText(p->lpUser);
    pair.PutByte(':');
    pair.PutText(p->lpPsw);
    if (pair.Overflow()) {
        w.Refuse();
        return;
    }
    w.PutText("Proxy-authorization: Basic ");
    PutBase64(w, reinterpret_cast<const BYTE*>(szPair), pair.Length());
    w.PutText("\r\n\r\n");
}

// RFC 1929: 01, name length, name, password length, password; a missing
// name counts as empty. A name over 255 bytes cannot be expressed: refused.
void PutSocks5Auth(RequestWriter& w, const _PROXYDATA* p)
{
    size_t uiUser = TextLen(p->lpUser);
    size_t uiPsw = TextLen(p->lpPsw);
    if (uiUser > PROXY_MAX_NAME || uiPsw > PROXY_MAX_NAME) {
        w.Refuse();
        return;
    }
    char* lp = w.Reserve(3 + uiUser + uiPsw);
    if (lp == NULL)
        return;
    *lp++ = 0x01;
    *lp++ = static_cast<char>(uiUser);
    if (uiUser != 0)
        memcpy(lp, p->lpUser, uiUser);
    lp += uiUser;
    *lp++ = static_cast<char>(uiPsw);
    if (uiPsw != 0)
        memcpy(lp, p->lpPsw, uiPsw);
}

// SOCKS5 request with an IPv4 address: 05, command, 00, 01, address, port.
void PutSocks5Request(RequestWriter& w, BYTE byCommand, ULONG ulIP, USHORT usPort)
{
    w.PutByte(0x05);
    w.PutByte(byCommand);
    w.PutByte(0x00);
    w.PutByte(0x01);
    w.PutAddr(ulIP);
    w.PutPort(usPort);
}

// The local address of the UDP socket whose datagrams the proxy will relay.
// It is bound to INADDR_ANY:0 first in case it is not bound yet; for a bound
// socket that fails, harmlessly. If getsockname fails the request carries
// 0.0.0.0:0, which tells the proxy the client's address is not known.
void GetUdpAddress(SOCKET sPair, ULONG* lpulIP, USHORT* lpusPort)
{
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    (void)bind(sPair, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    memset(&addr, 0, sizeof(addr));
    int iLen = sizeof(addr);
    if (getsockname(sPair, reinterpret_cast<sockaddr*>(&addr), &iLen) != 0)
        memset(&addr, 0, sizeof(addr));
    *lpulIP = addr.sin_addr.s_addr;
    *lpusPort = addr.sin_port;
}

// After the SOCKS5 method (or authentication) was accepted: a UDP control
// socket associates, a real target is connected, a zero target means Listen.
UINT NextSocks5Step(SOCKET sPair, const ULONG* lpulIP)
{
    if (sPair != INVALID_SOCKET)
        return PROXY_STEP_UDP;
    ULONG ulTarget = lpulIP != NULL ? *lpulIP : 0;
    return ulTarget != 0 ? PROXY_STEP_CONNECT : PROXY_STEP_BIND;
}

// A SOCKS5 reply "05 00 xx 01 address port" of exactly 10 bytes.
bool IsSocks5Success(const BYTE* lpReply, int iLen)
{
    return iLen == SOCKS_REPLY_LEN && lpReply[0] == 0x05 && lpReply[1] == 0x00 && lpReply[3] == 0x01;
}

void GetReplyAddress(const BYTE* lpReply, ULONG* lpulIP, USHORT* lpusPort)
{
    if (lpulIP != NULL)
        memcpy(lpulIP, lpReply + 4, 4);
    if (lpusPort != NULL)
        memcpy(lpusPort, lpReply + 8, 2);
}

// The status of "HTTP/1.x 2xx ...": the second blank-separated token must
// start with '2'. Runs of blanks count as one, as a zero byte ends the text;
// nothing past iLen is read (the reply carries no terminator).
bool IsHttpSuccess(const char* lpReply, int iLen)
{
    if (iLen <= 0)
        return false;
    const char* lpEnd = static_cast<const char*>(memchr(lpReply, 0, static_cast<size_t>(iLen)));
    if (lpEnd == NULL)
        lpEnd = lpReply + iLen;
    const char* lp = lpReply;
    for (int iToken = 0; lp < lpEnd; ++iToken) {
        while (lp < lpEnd && *lp == ' ')
            ++lp;
        if (lp == lpEnd)
            break;
        if (iToken == 1)
            return *lp == '2';
        while (lp < lpEnd && *lp != ' ')
            ++lp;
    }
    return false;
}

} // namespace

HANDLE VZ_SocketMgr::CreateProxy(UINT uiType, const char* lpAddr, USHORT usPort, const char* lpUser,
                                 const char* lpPsw)
{
    // 1. A dotted proxy address.
    VZ_ASSERT(lpAddr);
    if (lpAddr == NULL)
        return NULL;
    ULONG ulIP = inet_addr(lpAddr);
    VZ_ASSERT(ulIP != INADDR_NONE);
    if (ulIP == INADDR_NONE)
        return NULL;
    // Names the SOCKS5 length byte cannot carry are refused outright, so no
    // record can ever produce a request longer than PROXY_BUF_SIZE.
    size_t uiUser = TextLen(lpUser);
    size_t uiPsw = TextLen(lpPsw);
    if (uiUser > PROXY_MAX_NAME || uiPsw > PROXY_MAX_NAME)
        return NULL;

    VZ_AutoLock lock(&m_listProxy);
    // 2. An equal record is shared.
    for (VZ_POSITION pos = m_listProxy.GetHeadPosition(); pos != NULL;) {
        _PROXYDATA* p = m_listProxy.GetNext(pos);
        if (p->uiType == uiType && p->ulIP == ulIP && p->usPort == usPort && SameText(p->lpUser, lpUser) &&
            SameText(p->lpPsw, lpPsw))
            return p;
    }

    // 3. A new zeroed record: fixed fields, then the user name and the password.
    UINT uiSize = static_cast<UINT>(sizeof(_PROXYDATA) + (lpUser != NULL ? uiUser + 1 : 0) +
                                    (lpPsw != NULL ? uiPsw + 1 : 0));
    _PROXYDATA* p = static_cast<_PROXYDATA*>(m_Memory.Alloc(uiSize));
    if (p == NULL)
        return NULL;
    memset(p, 0, uiSize);
    p->uiType = uiType;
    p->ulIP = ulIP;
    p->usPort = usPort;
    char* lpText = reinterpret_cast<char*>(p) + sizeof(_PROXYDATA);
    if (lpUser != NULL) {
        VZ_ASSERT(lpPsw != NULL);
        p->lpUser = lpText;
        memcpy(lpText, lpUser, uiUser + 1);
        lpText += uiUser + 1;
    }
    if (lpPsw != NULL) {
        p->lpPsw = lpText;
        memcpy(lpText, lpPsw, uiPsw + 1);
    }
    m_listProxy.AddTail(p);
    return p;
}

bool VZ_SocketMgr::DestroyProxy(HANDLE hProxy)
{
    VZ_ASSERT(hProxy != NULL);
    VZ_AutoLock lock(&m_listProxy);
    for (VZ_POSITION pos = m_listProxy.GetHeadPosition(); pos != NULL;) {
        VZ_POSITION posThis = pos;
        _PROXYDATA* p = m_listProxy.GetNext(pos);
        if (p == hProxy) {
            m_Memory.Free(p);
            m_listProxy.RemoveAt(posThis);
            break;
        }
    }
    // A handle that is already gone is not an error.
    return true;
}

_PROXYDATA* VZ_SocketMgr::LookupProxy(HANDLE hProxy)
{
    for (VZ_POSITION pos = m_listProxy.GetHeadPosition(); pos != NULL;) {
        _PROXYDATA* p = m_listProxy.GetNext(pos);
        if (p == hProxy)
            return p;
    }
    return NULL;
}

bool VZ_SocketMgr::FindProxy(HANDLE hProxy, ULONG* lpulIP, USHORT* lpusPort)
{
    VZ_AutoLock lock(&m_listProxy);
    _PROXYDATA* p = LookupProxy(hProxy);
    if (p == NULL)
        return false;
    *lpulIP = p->ulIP;
    *lpusPort = htons(p->usPort);
    return true;
}

// A request that would not fit the PROXY_BUF_SIZE bytes is refused like a
// vanished record (false, length 0); the buffer holds no partial request
// beyond what fitted, and nothing past PROXY_BUF_SIZE is ever written.
bool VZ_SocketMgr::BuildProxyRequest(char* lpBuf, UINT* lpuiLen, HANDLE hProxy, UINT uiStep, SOCKET sPair,
                                     ULONG ulIP, USHORT usPort)
{
    VZ_AutoLock lock(&m_listProxy);
    *lpuiLen = 0;
    _PROXYDATA* p = LookupProxy(hProxy);
    if (p == NULL)
        return false;

    RequestWriter w(lpBuf, PROXY_BUF_SIZE);
    switch (uiStep) {
    case PROXY_STEP_FIRST:
        if (p->uiType == PROXY_SOCKS4) {
            w.PutByte(0x04);
            w.PutByte(0x01);
            w.PutPort(usPort);
            w.PutAddr(ulIP);
            w.PutText(p->lpUser);
            w.PutByte(0x00);
        } else if (p->uiType == PROXY_SOCKS5) {
            w.PutByte(0x05);
            w.PutByte(0x01);
            w.PutByte(p->lpUser != NULL ? 0x02 : 0x00);
        } else if (p->uiType == PROXY_HTTP) {
            PutHttpConnect(w, p, ulIP, usPort);
        }
        // An unknown type builds no request; the engine reports that.
        break;
    case PROXY_STEP_AUTH:
        PutSocks5Auth(w, p);
        break;
    case PROXY_STEP_CONNECT:
        PutSocks5Request(w, 0x01, ulIP, usPort);
        break;
    case PROXY_STEP_UDP: {
        ULONG ulUdpIP = 0;
        USHORT usUdpPort = 0;
        GetUdpAddress(sPair, &ulUdpIP, &usUdpPort);
        PutSocks5Request(w, 0x03, ulUdpIP, usUdpPort);
        break;
    }
    case PROXY_STEP_BIND:
        PutSocks5Request(w, 0x02, htonl(INADDR_LOOPBACK), usPort);
        break;
    default:
        break; // steps 6 and 7 send nothing
    }
    if (w.Overflow())
        return false;
    *lpuiLen = static_cast<UINT>(w.Length());
    return true;
}

// Any iLen is safe: a negative one (or a NULL reply) counts as an empty reply,
// and no step reads past iLen bytes.
int VZ_SocketMgr::CheckProxyReply(const char* lpReply, int iLen, HANDLE hProxy, UINT* lpuiStep, SOCKET sPair,
                                  ULONG* lpulIP, USHORT* lpusPort)
{
    VZ_AutoLock lock(&m_listProxy);
    _PROXYDATA* p = LookupProxy(hProxy);
    if (p == NULL)
        return PROXY_ERR_HANDLE;
    if (lpReply == NULL || iLen < 0)
        iLen = 0;
    const BYTE* b = reinterpret_cast<const BYTE*>(lpReply);

    switch (*lpuiStep) {
    case PROXY_STEP_FIRST:
        if (p->uiType == PROXY_SOCKS4) {
            if (iLen < 2 || b[0] != 0x00 || b[1] != 0x5A)
                return PROXY_ERR_REFUSED;
            *lpuiStep = PROXY_STEP_DONE;
            return 0;
        }
        if (p->uiType == PROXY_HTTP) {
            if (!IsHttpSuccess(lpReply, iLen))
                return PROXY_ERR_REFUSED;
            *lpuiStep = PROXY_STEP_DONE;
            return 0;
        }
        // SOCKS5 method choice; an unknown proxy type gets the same verdict.
        if (p->uiType != PROXY_SOCKS5 || iLen != 2 || b[0] != 0x05)
            return PROXY_ERR_PROTOCOL;
        if (b[1] == 0x02)
            *lpuiStep = PROXY_STEP_AUTH;
        else if (b[1] == 0x00)
            *lpuiStep = NextSocks5Step(sPair, lpulIP);
        else
            return PROXY_ERR_PROTOCOL;
        return 0;
    case PROXY_STEP_AUTH:
        if (iLen != 2 || b[1] != 0x00)
            return PROXY_ERR_PASSWORD;
        *lpuiStep = NextSocks5Step(sPair, lpulIP);
        return 0;
    case PROXY_STEP_CONNECT:
        if (iLen != SOCKS_REPLY_LEN || b[0] != 0x05 || b[1] != 0x00)
            return PROXY_ERR_REFUSED;
        *lpuiStep = PROXY_STEP_DONE;
        return 0;
    case PROXY_STEP_UDP:
    case PROXY_STEP_BIND:
        if (!IsSocks5Success(b, iLen))
            return PROXY_ERR_REFUSED;
        *lpuiStep = *lpuiStep == PROXY_STEP_UDP ? PROXY_STEP_DONE : PROXY_STEP_BIND_PEER;
        GetReplyAddress(b, lpulIP, lpusPort);
        return 0;
    case PROXY_STEP_BIND_PEER:
        if (!IsSocks5Success(b, iLen))
            return PROXY_ERR_INVAL;
        *lpuiStep = PROXY_STEP_DONE;
        GetReplyAddress(b, lpulIP, lpusPort);
        return 0;
    default:
        return 0; // handshake done (or no step): the step stays
    }
}
