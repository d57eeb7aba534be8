// The manager behind "IRecordSocketMgr1.0": plays oxnet.rec back into the sink
// without any network. Every socket operation is accepted and does nothing.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>

#include "VZ_FileEx.h"
#include "VZ_MultiThread.h"
#include "VZ_MultipleTimer.h"
#include "core/VZ_SocketMgr.h"

// Thread types of the replay manager.
enum {
    RECORD_THREAD_REPLAY = 1, // reads oxnet.rec and raises its events
    RECORD_THREAD_IDLE = 2    // ends at once: the replay resolves no names
};
#define RECORD_REPLAY_BUF_SIZE 10240 // first replay buffer; larger records get their own

// Where a replay reads its records from: oxnet.rec, or memory (a fuzz run).
class VZ_RecordSource {
public:
    virtual ~VZ_RecordSource() {}
    // Reads up to iSize bytes; the count read.
    virtual int Read(void* lpBuffer, int iSize) = 0;
    // Bytes after the read position (0 when unknown).
    virtual ULONGLONG Remaining() = 0;
};

class VZ_RecordSocketMgr : public VZ_SocketMgr, public VZ_MultiThread, public VZ_MultipleTimerSink {
public:
    VZ_RecordSocketMgr();
    // Does not stop a replay: the host calls Uninitialize first.
    ~VZ_RecordSocketMgr() override;

    // Opens oxnet.rec in the current directory and starts the replay thread;
    // false (with a line on standard output) when the file cannot be opened.
    bool Initialize(BYTE byFlags, int nWorkThread, DWORD dwReserved1, DWORD dwReserved2) override;
    // Stops the replay, even in the middle of the file. Always true.
    bool Uninitialize(DWORD dwReserved) override;

    // The textual forms are the base's: they reach the address forms here.
    using VZ_SocketMgr::CreateTcpSocket;
    using VZ_SocketMgr::CreateUdpSocket;
    using VZ_SocketMgr::SendTo;
    VZ_SOCKETMGR_SOCKET_OPERATIONS;

    // No timer of this manager has anything to do at expiry.
    int OnTimerExpired(DWORD dwTimerId, DWORD dwParam) override;

protected:
    DWORD ThreadProc(_THREAD_DATA& td) override;
    // Raises the events of the records of lpSource in order, while
    // m_bReplaying is set, until a head or payload cannot be read whole.
    void ReplayFrom(VZ_RecordSource& source);

    // Cleared by Uninitialize while the replay thread reads it.
    std::atomic<bool> m_bReplaying;

private:
    void Replay();
    // Raises the event of one whole record; unknown types are skipped.
    void RaiseRecord(const _RECORDHEAD& head, const char* lpPayload);

    VZ_FileEx m_fileReplay;
};
