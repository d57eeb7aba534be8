// Recording writers of the socket manager base: the records of oxnet.rec.
#include "VZ_SocketMgr.h"

namespace {

_RECORDHEAD MakeHead(UINT uiType, UINT uiLen, SOCKET s, DWORD dwUserData1, DWORD dwUserData2)
{
    _RECORDHEAD head;
    head.uiType = uiType;
    head.uiLen = uiLen;
    // Handles stay below 0xFFFFFF (timer ids carry them), so 32 bits hold them.
    head.s = static_cast<UINT32>(s);
    head.dwUserData1 = dwUserData1;
    head.dwUserData2 = dwUserData2;
    return head;
}

} // namespace

// Write access, created anew (an older recording is truncated), shared for
// reading and writing so a viewer can follow the file while it grows.
#define RECORD_OPEN_FLAGS (VZ_FILE_WRITE | VZ_FILE_CREATE_ALWAYS)

bool VZ_SocketMgr::OpenRecordFile()
{
    if (!m_bRecord)
        return true;
    VZ_AutoLock lock(&m_lckRec);
    m_bRecord = m_fileRec.Open(VZ_StringW(RECORD_FILE_NAME), RECORD_OPEN_FLAGS);
    return m_bRecord;
}

// Each record is written under m_lckRec, so records of different sockets
// interleave whole. The payload follows only a head that went out whole: after
// a short head it would just misalign what a reader sees. The writers return
// whether the whole record reached the file; the engines ignore it, since a
// lost record is not reported anywhere.
bool VZ_SocketMgr::RecordAccept(SOCKET sListen, SOCKET sAccept, const sockaddr_in* /*lpLocalAddr*/,
                                const sockaddr_in* /*lpPeerAddr*/)
{
    if (!m_bRecord)
        return true;
    _RECORDHEAD head = MakeHead(RECORD_ACCEPT, 4, sListen, 0, 0);
    UINT32 uiAccept = static_cast<UINT32>(sAccept);
    VZ_AutoLock lock(&m_lckRec);
    if (m_fileRec.Write(&head, sizeof(head)) != static_cast<int>(sizeof(head)))
        return false;
    return m_fileRec.Write(&uiAccept, 4) == 4;
}

bool VZ_SocketMgr::RecordRecv(SOCKET s, const char* buf, UINT uiLen, DWORD dwUserData1, DWORD dwUserData2)
{
    if (!m_bRecord)
        return true;
    _RECORDHEAD head = MakeHead(RECORD_DATA, uiLen, s, dwUserData1, dwUserData2);
    VZ_AutoLock lock(&m_lckRec);
    if (m_fileRec.Write(&head, sizeof(head)) != static_cast<int>(sizeof(head)))
        return false;
    return m_fileRec.Write(buf, static_cast<int>(uiLen)) == static_cast<int>(uiLen);
}

bool VZ_SocketMgr::RecordClose(int iError, SOCKET s, int iStatus, DWORD dwUserData1, DWORD dwUserData2)
{
    if (!m_bRecord)
        return true;
    _RECORDHEAD head = MakeHead(RECORD_CLOSE, 8, s, dwUserData1, dwUserData2);
    INT32 iErrorField = iError;
    INT32 iStatusField = iStatus;
    VZ_AutoLock lock(&m_lckRec);
    if (m_fileRec.Write(&head, sizeof(head)) != static_cast<int>(sizeof(head)))
        return false;
    bool bError = m_fileRec.Write(&iErrorField, 4) == 4;
    bool bStatus = m_fileRec.Write(&iStatusField, 4) == 4;
    return bError && bStatus;
}
