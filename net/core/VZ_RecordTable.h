// The records of one engine's sockets, by handle, behind the table's own
// re-entrant lock. The engine works on its typed records; the shared code
// (the manager base, the receive delivery, the proxy handshake) borrows them
// as _SOCKETCORE through VZ_RecordTableBase, always under the table's lock.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "VZ_Locker.h"
#include "VZ_Map.h"
#include "VZ_MemoryEx.h"
#include "VZ_SocketMgr.h"

// Serial argument of the finds below that accepts any record of the socket.
// No engine hands this value out as a serial.
#define TCP_ANY_SERIAL 0xFFFFFFFF

class VZ_RecordTableBase {
public:
    virtual ~VZ_RecordTableBase() {}
    virtual VZ_Locker* TableLock() = 0;
    // Table locked: the record of s, NULL when there is none.
    virtual _SOCKETCORE* FindCore(SOCKET s) = 0;
    // Table locked: the record of s when its serial is ulSerial (any serial
    // for TCP_ANY_SERIAL): work for a closed or re-created socket finds none.
    _SOCKETCORE* FindCore(SOCKET s, ULONG ulSerial)
    {
        _SOCKETCORE* lpCore = FindCore(s);
        return lpCore != NULL && (ulSerial == TCP_ANY_SERIAL || lpCore->ulSerial == ulSerial) ? lpCore : NULL;
    }
};

template <class TRecord>
class VZ_RecordTable : public VZ_LckMap<unsigned int, unsigned int, TRecord, const TRecord&>,
                       public VZ_RecordTableBase {
public:
    explicit VZ_RecordTable(int nBlockSize = 10)
        : VZ_LckMap<unsigned int, unsigned int, TRecord, const TRecord&>(nBlockSize)
    {
    }

    // Table locked, as every call below.
    TRecord* Find(SOCKET s) { return this->PLookup(Key(s)); }
    TRecord* Find(SOCKET s, ULONG ulSerial)
    {
        TRecord* lpRecord = Find(s);
        return lpRecord != NULL && (ulSerial == TCP_ANY_SERIAL || lpRecord->ulSerial == ulSerial) ? lpRecord : NULL;
    }
    // A new, default record for s; NULL when s has one already.
    TRecord* Insert(SOCKET s)
    {
        if (Find(s) != NULL)
            return NULL;
        return &(*this)[Key(s)];
    }
    bool Remove(SOCKET s) { return this->RemoveKey(Key(s)) != 0; }

    // What CloseSocket does alike in every engine, under the table's lock:
    // fnRelease(record) frees the engine's own parts (its send queue) and
    // closes the handle its way; the receive block goes back to the pool
    // unless a running OnTcpRecv owns it (its delivery frees it then); the
    // record is removed. The removed status and pair are handed back; false
    // when s has no record.
    template <class FnRelease>
    bool RemoveRecord(SOCKET s, VZ_MemoryEx& memory, FnRelease fnRelease, int* lpiStatus, SOCKET* lpsPair)
    {
        VZ_AutoLock lock(this);
        TRecord* lpRecord = Find(s);
        if (lpRecord == NULL)
            return false;
        *lpiStatus = lpRecord->status;
        *lpsPair = lpRecord->sPair;
        fnRelease(*lpRecord);
        ReleaseReceiveBlock(*lpRecord, memory);
        Remove(s);
        return true;
    }
    // The same for every record at a stop, without any event.
    template <class FnRelease>
    void RemoveAllRecords(VZ_MemoryEx& memory, FnRelease fnRelease)
    {
        VZ_AutoLock lock(this);
        VZ_POSITION pos = this->GetStartPosition();
        while (pos != NULL) {
            unsigned int uiKey = 0;
            TRecord* lpRecord = this->GetNextValue(pos, &uiKey);
            fnRelease(*lpRecord);
            ReleaseReceiveBlock(*lpRecord, memory);
        }
        this->RemoveAll();
    }

    VZ_Locker* TableLock() override { return this; }
    _SOCKETCORE* FindCore(SOCKET s) override { return Find(s); }
    using VZ_RecordTableBase::FindCore;

    // Handles of this manager fit 32 bits (the engines assert it at creation).
    static unsigned int Key(SOCKET s) { return static_cast<unsigned int>(s); }

private:
    static void ReleaseReceiveBlock(TRecord& record, VZ_MemoryEx& memory)
    {
        if (!record.bRbufLockFlag)
            memory.Free(record.sbRbuf.lpData);
    }
};
