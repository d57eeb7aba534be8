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

// Head in one write, then the payload in one or two writes (a close record's
// error and status go out as two), each only after the previous one went out
// whole: after a short head the payload would just misalign what a reader sees.
bool WriteRecord(VZ_FileEx& file, const _RECORDHEAD& head, const void* lpPart1, int iLen1,
                 const void* lpPart2 = NULL, int iLen2 = 0)
{
    if (file.Write(&head, sizeof(head)) != static_cast<int>(sizeof(head)))
        return false;
    if (file.Write(lpPart1, iLen1) != iLen1)
        return false;
    return lpPart2 == NULL || file.Write(lpPart2, iLen2) == iLen2;
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
// interleave whole. The writers return
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
    return WriteRecord(m_fileRec, head, &uiAccept, 4);
}

bool VZ_SocketMgr::RecordRecv(SOCKET s, const char* buf, UINT uiLen, DWORD dwUserData1, DWORD dwUserData2)
{
    if (!m_bRecord)
        return true;
    _RECORDHEAD head = MakeHead(RECORD_DATA, uiLen, s, dwUserData1, dwUserData2);
    VZ_AutoLock lock(&m_lckRec);
    return WriteRecord(m_fileRec, head, buf, static_cast<int>(uiLen));
}

bool VZ_SocketMgr::RecordClose(int iError, SOCKET s, int iStatus, DWORD dwUserData1, DWORD dwUserData2)
{
    if (!m_bRecord)
        return true;
    _RECORDHEAD head = MakeHead(RECORD_CLOSE, 8, s, dwUserData1, dwUserData2);
    INT32 iErrorField = iError;
    INT32 iStatusField = iStatus;
    VZ_AutoLock lock(&m_lckRec);
    return WriteRecord(m_fileRec, head, &iErrorField, 4, &iStatusField, 4);
}
