// TCP receive delivery shared by the engines.
#include <winsock2.h>
#include <windows.h>

#include <string.h>

#include "VZ_Assert.h"
#include "VZ_TcpDelivery.h"

VZ_TcpDelivery::VZ_TcpDelivery(VZ_TcpDeliveryHost* lpHost, DWORD dwMode)
    : m_lpHost(lpHost), m_dwMode(dwMode), m_Proxy(lpHost, dwMode)
{
}

int VZ_TcpDelivery::Deliver(SOCKET s, const char* recvbuf, UINT recvlen, ULONG ulSerial, UINT uiAsked)
{
    m_lpHost->LockTable();
    // Work for a closed or re-created socket is dropped.
    _SOCKETCORE* lpIsd = m_lpHost->FindTcpRecord(s, ulSerial);
    if (lpIsd == NULL) {
        m_lpHost->UnlockTable();
        return TCPDELIVER_STOP;
    }
    VZ_ASSERT(lpIsd->socket == s);
    if (uiAsked > 0)
        VZ_SocketMgr::AdaptReadSize(*lpIsd, recvlen, uiAsked);
    if (VZ_ProxySession::IsNegotiating(*lpIsd)) {
        if ((m_dwMode & TCPDELIVER_TOUCH_PROXY) != 0)
            lpIsd->dwLastRecvTime = m_lpHost->GetClock();
        return m_Proxy.OnProxyReply(s, recvbuf, recvlen, lpIsd);
    }
    if (recvlen > 0 || (m_dwMode & TCPDELIVER_TOUCH_EMPTY) != 0)
        lpIsd->dwLastRecvTime = m_lpHost->GetClock();

    UINT uiNoticeLen = lpIsd->uiNoticeLen;
    VZ_ASSERT(!lpIsd->bRbufLockFlag);
    VZ_ASSERT(uiNoticeLen > 0);
    if (lpIsd->sbRbuf.uiDataLen + recvlen < uiNoticeLen)
        return Buffer(lpIsd, recvbuf, recvlen, uiNoticeLen);
    return Offer(s, recvbuf, recvlen, ulSerial, lpIsd);
}

int VZ_TcpDelivery::Buffer(_SOCKETCORE* lpIsd, const char* recvbuf, UINT recvlen, UINT uiNoticeLen)
{
    // Only new bytes can leave the buffer short of a notice length (Recv
    // delivers buffered bytes only once they reach it).
    VZ_ASSERT(recvbuf && recvlen > 0);
    // Room for the whole notice length at once, so the rest arrives without
    // regrowing: a large notice costs one copy of each byte, not one per read.
    if (recvbuf != NULL && recvlen > 0 && !AppendHeld(&lpIsd->sbRbuf, recvbuf, recvlen, uiNoticeLen))
        return OutOfMemory(lpIsd->socket, lpIsd->ulSerial, &lpIsd->sbRbuf);
    m_lpHost->UnlockTable();
    return TCPDELIVER_READ;
}

int VZ_TcpDelivery::Offer(SOCKET s, const char* recvbuf, UINT recvlen, ULONG ulSerial, _SOCKETCORE* lpIsd)
{
    VZ_MemoryEx* lpMemory = m_lpHost->GetMemory();
    _TCPRECVBUF* lpRbuf = &lpIsd->sbRbuf;
    // The socket's block stays its own while OnTcpRecv runs: CloseSocket
    // leaves it alone while bRbufLockFlag is set, and this loop frees it when
    // it finds the record gone.
    char* lpKept = lpRbuf->lpData;
    UINT uiKeptSize = lpRbuf->uiSize;
    if (lpRbuf->uiDataLen > 0) {
        if (recvlen > 0 && !AppendHeld(lpRbuf, recvbuf, recvlen, 0))
            return OutOfMemory(s, ulSerial, lpRbuf);
        lpKept = lpRbuf->lpData;
        uiKeptSize = lpRbuf->uiSize;
        recvbuf = lpKept;
        recvlen = lpRbuf->uiDataLen;
    }
    // Without bytes held before, the new bytes are offered where they lie.
    lpRbuf->uiDataLen = 0;

    UINT uiNewNotice = 0;
    for (;;) {
        _RECORDVIEW view = VZ_SocketMgr::ViewOf(lpIsd);
        lpIsd->uiNoticeLen = 0; // each OnTcpRecv consumes the request that caused it
        lpIsd->bRbufLockFlag = true;
        m_lpHost->UnlockTable();
        if (m_lpHost->IsStopping())
            return Abandon(s, ulSerial, lpKept);

        UINT uiHandleLen = recvlen;
        m_lpHost->GetEventSink()->OnTcpRecv(0, s, recvbuf, &uiHandleLen, view.dwUserData1, view.dwUserData2);
        VZ_ASSERT(uiHandleLen <= recvlen);
        if (uiHandleLen > recvlen)
            uiHandleLen = recvlen; // a sink claiming more than offered consumed all
        if (uiHandleLen > 0) // the writer does nothing while recording is off
            m_lpHost->RecordRecv(s, recvbuf, uiHandleLen, view.dwUserData1, view.dwUserData2);

        m_lpHost->LockTable();
        lpIsd = m_lpHost->FindTcpRecord(s, ulSerial);
        if (lpIsd == NULL) {
            // Closed inside the event: the block is no longer anybody's.
            m_lpHost->UnlockTable();
            lpMemory->Free(lpKept);
            return TCPDELIVER_STOP;
        }
        lpRbuf = &lpIsd->sbRbuf;
        VZ_ASSERT(lpIsd->socket == s);
        VZ_ASSERT(lpIsd->sbRbuf.uiDataLen == 0);
        VZ_ASSERT(lpIsd->bRbufLockFlag);
        lpIsd->bRbufLockFlag = false;
        uiNewNotice = lpIsd->uiNoticeLen; // set again only by a Recv inside the event

        if (uiHandleLen == recvlen) {
            // All consumed: the block stays with the socket for reuse.
            lpRbuf->lpData = lpKept;
            lpRbuf->uiSize = uiKeptSize;
            lpRbuf->uiDataLen = 0;
            m_lpHost->UnlockTable();
            return uiNewNotice > 0 ? TCPDELIVER_READ : TCPDELIVER_STOP;
        }
        if (uiHandleLen == 0)
            break;
        recvbuf += uiHandleLen;
        recvlen -= uiHandleLen;
        if (uiNewNotice == 0 || recvlen < uiNewNotice)
            break;
    }
    KeepRest(lpRbuf, lpKept, uiKeptSize, recvbuf, recvlen, uiNewNotice);
    m_lpHost->UnlockTable();
    return uiNewNotice > 0 ? TCPDELIVER_READ : TCPDELIVER_STOP;
}

int VZ_TcpDelivery::OutOfMemory(SOCKET s, ULONG ulSerial, _TCPRECVBUF* lpRbuf)
{
    // The pool could not hold the bytes (its Append gave the old block back):
    // what the socket held is gone, so the socket is reported as failed
    // rather than offering a stream with a hole in it.
    lpRbuf->lpData = NULL;
    lpRbuf->uiSize = 0;
    lpRbuf->uiDataLen = 0;
    m_lpHost->UnlockTable();
    m_lpHost->ReportSocketError(WSAENOBUFS, s, ulSerial);
    return TCPDELIVER_STOP;
}

int VZ_TcpDelivery::Abandon(SOCKET s, ULONG ulSerial, char* lpKept)
{
    // The engine stops: no OnTcpRecv. The block goes back to the record,
    // whose removal frees it, or is freed here when the record is gone.
    m_lpHost->LockTable();
    _SOCKETCORE* lpIsd = m_lpHost->FindTcpRecord(s, ulSerial);
    if (lpIsd != NULL)
        lpIsd->bRbufLockFlag = false;
    else
        m_lpHost->GetMemory()->Free(lpKept);
    m_lpHost->UnlockTable();
    return TCPDELIVER_READ;
}

void VZ_TcpDelivery::KeepRest(_TCPRECVBUF* lpRbuf, char* lpKept, UINT uiKeptSize, const char* lpRest, UINT uiRest,
                              UINT uiNoticeLen)
{
    UINT uiSize = uiRest > uiNoticeLen ? uiRest : uiNoticeLen;
    if (lpKept != NULL && BlockCapacity(lpKept, uiKeptSize) >= uiSize) {
        memmove(lpKept, lpRest, uiRest); // the rest may lie in this very block
    } else {
        VZ_MemoryEx* lpMemory = m_lpHost->GetMemory();
        char* lpNew = static_cast<char*>(lpMemory->Alloc(uiSize));
        VZ_ASSERT(lpNew != NULL);
        if (lpNew != NULL)
            memcpy(lpNew, lpRest, uiRest);
        lpMemory->Free(lpKept);
        lpKept = lpNew;
    }
    lpRbuf->lpData = lpKept;
    lpRbuf->uiSize = uiSize;
    lpRbuf->uiDataLen = lpKept != NULL ? uiRest : 0;
}

UINT VZ_TcpDelivery::BlockCapacity(const void* p, UINT uiKnown)
{
    int iClass = VZ_MemoryEx::GetBlockIndex(p);
    if (iClass >= 0 && iClass < MEMORYEX_MAX_TABLE)
        return m_lpHost->GetMemory()->GetClassSize(iClass);
    return uiKnown;
}

bool VZ_TcpDelivery::AppendHeld(_TCPRECVBUF* lpRbuf, const char* lpData, UINT uiLen, UINT uiMinSize)
{
    UINT uiNeeded = lpRbuf->uiDataLen + uiLen;
    // A block beyond the pool's classes comes from the heap each time the
    // pool appends to it: its size is known here only, from sbRbuf.
    if (lpRbuf->lpData != NULL && BlockCapacity(lpRbuf->lpData, lpRbuf->uiSize) >= uiNeeded) {
        memcpy(lpRbuf->lpData + lpRbuf->uiDataLen, lpData, uiLen);
    } else {
        UINT uiSize = uiNeeded > uiMinSize ? uiNeeded : uiMinSize;
        lpRbuf->lpData = static_cast<char*>(
            m_lpHost->GetMemory()->Append(uiSize, lpRbuf->lpData, lpRbuf->uiDataLen, lpData, uiLen));
        if (lpRbuf->lpData == NULL)
            return false;
        lpRbuf->uiSize = uiSize;
    }
    lpRbuf->uiDataLen = uiNeeded;
    return true;
}
