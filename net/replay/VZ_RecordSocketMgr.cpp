#include "VZ_RecordSocketMgr.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "VZ_Assert.h"
#include "core/VZ_Trace.h"

// Read access to an existing file; others may go on writing it meanwhile.
#define REPLAY_OPEN_FLAGS (VZ_FILE_READ | VZ_FILE_OPEN_EXISTING)
// The replay hands out this handle for every socket it is asked to create.
#define REPLAY_SOCKET static_cast<SOCKET>(1)

VZ_RecordSocketMgr::VZ_RecordSocketMgr() : m_bReplaying(false)
{
}

// A replay still running is stopped first: its threads run in this object.
VZ_RecordSocketMgr::~VZ_RecordSocketMgr()
{
    if (GetThreadCount() > 0)
        Uninitialize(0);
    m_fileReplay.Close();
}

// 1. Open oxnet.rec for reading.
// 2. Start the timer service with one message thread.
// 3. Start the replay thread, and the idle thread of type 2.
bool VZ_RecordSocketMgr::Initialize(BYTE /*byFlags*/, int /*nWorkThread*/, DWORD /*dwReserved1*/,
                                    DWORD /*dwReserved2*/)
{
    // A replay that runs keeps its file: a second start would pull the file
    // handle from under the replay thread.
    if (m_bReplaying || GetThreadCount(RECORD_THREAD_REPLAY) > 0)
        return false;
    // 1.
    if (!m_fileReplay.Open(VZ_StringW(RECORD_FILE_NAME), REPLAY_OPEN_FLAGS)) {
        VZ_Trace("Open oxnet.rec failed!\n");
        return false;
    }

    // 2.
    m_bReplaying = true;
    StartTimerService(this, 1);

    // 3.
    const ULONG ulthreadNum = 1;
    int iThreadCount = StartThreads(RECORD_THREAD_REPLAY, ulthreadNum, 0);
    VZ_ASSERT(iThreadCount == ulthreadNum);
    iThreadCount = StartThreads(RECORD_THREAD_IDLE, 1, 0);
    VZ_ASSERT(iThreadCount == 1);
    return true;
}

// The replay thread sees m_bReplaying cleared after the event it is raising
// (a sink may take its time) and ends; a thread that does not end within
// 2000 ms is terminated by the stop.
bool VZ_RecordSocketMgr::Uninitialize(DWORD /*dwReserved*/)
{
    m_bReplaying = false;
    StopTimerService();
    StopAllThreads(2000);
    m_queDns.PostMessage(DNS_MSG_QUIT, 0, 0);
    // The replay thread stopping its own replay from inside an event cannot
    // wait for itself: it ends when the event returns.
    while (!IsPoolThread() && GetThreadCount(RECORD_THREAD_REPLAY) > 0)
        SwitchToThread();
    m_fileReplay.Close();
    return true;
}

DWORD VZ_RecordSocketMgr::ThreadProc(_THREAD_DATA& td)
{
    switch (td.iThreadType) {
    case RECORD_THREAD_REPLAY:
        Replay();
        break;
    case RECORD_THREAD_IDLE:
        break;
    default:
        VZ_ASSERT(false);
        break;
    }
    return 0;
}

namespace {

// oxnet.rec as a record source.
class VZ_FileRecordSource : public VZ_RecordSource {
public:
    explicit VZ_FileRecordSource(VZ_FileEx& file) : m_file(file) {}
    int Read(void* lpBuffer, int iSize) override { return m_file.Read(lpBuffer, iSize); }
    ULONGLONG Remaining() override
    {
        LARGE_INTEGER liSize, liPos, liZero;
        liZero.QuadPart = 0;
        HANDLE hFile = m_file.GetHandle();
        if (!GetFileSizeEx(hFile, &liSize) || !SetFilePointerEx(hFile, liZero, &liPos, FILE_CURRENT) ||
            liPos.QuadPart > liSize.QuadPart)
            return 0;
        return static_cast<ULONGLONG>(liSize.QuadPart - liPos.QuadPart);
    }

private:
    VZ_FileEx& m_file;
};

} // namespace

void VZ_RecordSocketMgr::Replay()
{
    VZ_FileRecordSource source(m_fileReplay);
    ReplayFrom(source);
}

// 1. Take the first buffer.
// 2. Raise one event per whole record, in order, as fast as the sink
//    returns; a head or payload that cannot be read whole ends the replay.
// 3. Give the buffer back. Nothing is raised at the end of the records.
void VZ_RecordSocketMgr::ReplayFrom(VZ_RecordSource& source)
{
    // 1.
    UINT uiBufSize = RECORD_REPLAY_BUF_SIZE;
    char* lpBuf = static_cast<char*>(m_Memory.Alloc(uiBufSize));

    // 2.
    while (m_bReplaying && lpBuf != NULL) {
        _RECORDHEAD head;
        if (source.Read(&head, sizeof(head)) != static_cast<int>(sizeof(head)))
            break;
        // A read takes an int count: a longer record cannot be whole.
        // Neither can one longer than the rest of the records: it ends the
        // replay before a block of its claimed size is taken.
        if (head.uiLen > static_cast<UINT>(INT_MAX) || head.uiLen > source.Remaining())
            break;
        if (head.uiLen > uiBufSize) {
            m_Memory.Free(lpBuf);
            uiBufSize = head.uiLen;
            lpBuf = static_cast<char*>(m_Memory.Alloc(uiBufSize));
            if (lpBuf == NULL)
                break;
        }
        int iLen = static_cast<int>(head.uiLen);
        if (iLen > 0 && source.Read(lpBuf, iLen) != iLen)
            break;
        RaiseRecord(head, lpBuf);
    }

    // 3.
    if (lpBuf != NULL)
        m_Memory.Free(lpBuf);
}

// Records too short for their type (an accept under 4 bytes, an empty data
// record, a close under 8 bytes) are never written by the recorder; they are
// skipped like unknown types rather than raised with stale buffer bytes.
void VZ_RecordSocketMgr::RaiseRecord(const _RECORDHEAD& head, const char* lpPayload)
{
    ISocketMgrSink* lpSink = m_lpSink;
    if (lpSink == NULL)
        return;
    SOCKET s = static_cast<SOCKET>(head.s);
    switch (head.uiType) {
    case RECORD_ACCEPT:
        if (head.uiLen >= 4) {
            UINT32 uiAccept;
            std::memcpy(&uiAccept, lpPayload, 4);
            lpSink->OnTcpAccept(0, s, static_cast<SOCKET>(uiAccept), NULL, NULL);
        }
        break;
    case RECORD_DATA:
        if (head.uiLen >= 1) {
            // What the sink writes back is not looked at: the record holds
            // exactly what the recorded sink consumed.
            UINT uiLen = head.uiLen;
            lpSink->OnTcpRecv(0, s, lpPayload, &uiLen, head.dwUserData1, head.dwUserData2);
        }
        break;
    case RECORD_CLOSE:
        if (head.uiLen >= 8) {
            INT32 iError;
            INT32 iStatus;
            std::memcpy(&iError, lpPayload, 4);
            std::memcpy(&iStatus, lpPayload + 4, 4);
            lpSink->OnSocketClose(iError, s, iStatus, head.dwUserData1, head.dwUserData2);
        }
        break;
    default:
        break;
    }
}

int VZ_RecordSocketMgr::OnTimerExpired(DWORD /*dwTimerId*/, DWORD /*dwParam*/)
{
    return 0;
}

// Socket operations: there is no network, so each one succeeds and does nothing.

bool VZ_RecordSocketMgr::Shutdown(SOCKET /*s*/, int /*how*/)
{
    return true;
}

bool VZ_RecordSocketMgr::CloseSocket(SOCKET /*s*/)
{
    return true;
}

bool VZ_RecordSocketMgr::Recv(SOCKET /*s*/, UINT /*uiNoticeLen*/)
{
    return true;
}

bool VZ_RecordSocketMgr::SetUserData1(SOCKET /*s*/, DWORD /*dwUserData1*/)
{
    return true;
}

bool VZ_RecordSocketMgr::SetUserData2(SOCKET /*s*/, DWORD /*dwUserData2*/)
{
    return true;
}

// The outputs are left as the caller set them.
bool VZ_RecordSocketMgr::GetUserData(SOCKET /*s*/, DWORD* /*lpdwUserData1*/, DWORD* /*lpdwUserData2*/)
{
    return true;
}

SOCKET VZ_RecordSocketMgr::CreateUdpSocket(HANDLE /*hProxy*/, const sockaddr_in* /*lpLocalAddr*/,
                                           DWORD /*dwUserData1*/, DWORD /*dwUserData2*/)
{
    return REPLAY_SOCKET;
}

int VZ_RecordSocketMgr::SendTo(SOCKET /*s*/, const sockaddr_in* /*lpRemoteAddr*/, const char* /*buf*/, int len,
                               bool /*bDirect*/)
{
    return len;
}

SOCKET VZ_RecordSocketMgr::CreateTcpSocket(HANDLE /*hProxy*/, const sockaddr_in* /*lpLocalAddr*/,
                                           DWORD /*dwUserData1*/, DWORD /*dwUserData2*/)
{
    return REPLAY_SOCKET;
}

bool VZ_RecordSocketMgr::Connect(SOCKET /*s*/, const char* /*lpHost*/, USHORT /*usPort*/)
{
    return true;
}

bool VZ_RecordSocketMgr::Connect(SOCKET /*s*/, const sockaddr_in* /*lpRemoteAddr*/)
{
    return true;
}

bool VZ_RecordSocketMgr::Listen(SOCKET /*s*/, int /*backlog*/)
{
    return true;
}

bool VZ_RecordSocketMgr::SendV(SOCKET /*s*/, const _SOCKBUF* /*lpBufs*/, UINT /*uiCount*/, DWORD /*dwSendParam*/,
                               UINT* /*lpuiQueued*/)
{
    return true;
}

bool VZ_RecordSocketMgr::Send(SOCKET /*s*/, const char* /*buf*/, int /*len*/, DWORD /*dwSendParam*/,
                              UINT* /*lpuiQueued*/)
{
    return true;
}

DWORD VZ_RecordSocketMgr::SocketCtrl(UINT /*uiCode*/, SOCKET /*s*/, DWORD /*dwValue*/, DWORD /*dwParam1*/,
                                     DWORD /*dwParam2*/, DWORD /*dwParam3*/, DWORD /*dwParam4*/,
                                     DWORD /*dwParam5*/)
{
    return 0;
}
