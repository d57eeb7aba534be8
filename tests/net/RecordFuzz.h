// Fuzz inputs for the replay manager, run by the fuzz program
// (bench/bench_rec_fuzz.cpp; ctest runs it as Fuzz.Recordings): random and
// mutated recordings replayed from memory, each ending where a no-access
// page begins.
#pragma once

#include <stdio.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "VZ_Base/IniFuzz.h"
#include "replay/VZ_RecordSocketMgr.h"

// A recording in memory as the replay's source.
class MemoryRecordSource : public VZ_RecordSource {
public:
    MemoryRecordSource(const BYTE* lpData, size_t nSize) : m_lpData(lpData), m_nSize(nSize), m_nPos(0) {}
    int Read(void* lpBuffer, int iSize) override
    {
        size_t n = iSize > 0 ? static_cast<size_t>(iSize) : 0;
        n = n < m_nSize - m_nPos ? n : m_nSize - m_nPos;
        memcpy(lpBuffer, m_lpData + m_nPos, n);
        m_nPos += n;
        return static_cast<int>(n);
    }
    ULONGLONG Remaining() override { return m_nSize - m_nPos; }

private:
    const BYTE* m_lpData;
    size_t m_nSize;
    size_t m_nPos;
};

// The replay loop without its thread, the file or the timer service.
class RecordProbe : public VZ_RecordSocketMgr {
public:
    void Run(VZ_RecordSource& source)
    {
        m_bReplaying = true;
        ReplayFrom(source);
        m_bReplaying = false;
    }
};

// Counts what a replay raised: events and the payload bytes they carried.
struct RecordCountSink : ISocketMgrSink {
    size_t nEvents = 0, nBytes = 0;
    void OnTcpAccept(int, SOCKET, SOCKET, const sockaddr_in*, const sockaddr_in*) override { nEvents++, nBytes += 4; }
    void OnTcpRecv(int, SOCKET, const char*, UINT* lpuiLen, DWORD, DWORD) override { nEvents++, nBytes += *lpuiLen; }
    void OnSocketClose(int, SOCKET, int, DWORD, DWORD) override { nEvents++, nBytes += 8; }
    // A replay raises nothing else: any other event counts beyond every input.
    bool OnSocketPreAccept(const sockaddr_in*, const sockaddr_in*) override { return Odd(); }
    void OnTcpConnect(int, SOCKET, DWORD, DWORD) override { Odd(); }
    void OnUdpRecv(int, SOCKET, const char*, int, const sockaddr_in*, DWORD, DWORD) override { Odd(); }
    void OnTcpSend(int, SOCKET, DWORD, DWORD, DWORD, UINT) override { Odd(); }
    void OnRecvTimeout(int, SOCKET, DWORD, DWORD) override { Odd(); }
    void OnSendTimeout(int, SOCKET, DWORD, DWORD) override { Odd(); }
    void OnDnsParse(const char*, ULONG) override { Odd(); }
    void OnTimer(SOCKET, UINT, DWORD, DWORD, DWORD) override { Odd(); }
    void OnProxyResult(int, SOCKET, const sockaddr_in*, DWORD, DWORD) override { Odd(); }
    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override { return Odd(); }
    bool Odd() { nEvents += 1u << 30; return false; }
};

// Records of random types and lengths (the length right, wrong or huge), or
// a valid recording with bytes flipped or cut off.
inline std::string RecordFuzzInput(Rng& rng, size_t nMax)
{
    std::string str;
    for (UINT i = 0, n = 1 + rng.Below(6); i < n; i++) {
        static const UINT TYPES[] = {0, 1, 4, 2, 3, 99};
        bool bValid = rng.Below(2) == 0;
        UINT uiType = bValid ? TYPES[rng.Below(3)] : TYPES[rng.Below(6)];
        std::string strPayload(uiType == 0 ? 4 : uiType == 4 ? 8 : 1 + rng.Below(bValid ? 64 : 3000), '\0');
        for (char& ch : strPayload)
            ch = static_cast<char>(rng.Next());
        UINT uiLen = static_cast<UINT>(strPayload.size());
        if (!bValid) {
            static const UINT ODD[] = {0, 1, 3, 7, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 10240, 10241};
            uiLen = rng.Below(2) ? ODD[rng.Below(9)] : uiLen + rng.Below(5) - 2;
        }
        UINT head[5] = {uiType, uiLen, rng.Below(2000), rng.Next(), rng.Next()};
        str.append(reinterpret_cast<const char*>(head), sizeof(head));
        str += strPayload;
    }
    for (UINT i = rng.Below(3); i > 0 && !str.empty(); i--)
        str[rng.Below(static_cast<UINT>(str.size()))] = static_cast<char>(rng.Next());
    if (rng.Below(4) == 0)
        str.resize(rng.Below(static_cast<UINT>(str.size()) + 1));
    return str.substr(0, nMax);
}

// What a replay of str must raise, read the plain way: whole records in
// order up to the first cut one; accepts of 4 bytes and more, data of 1
// byte and more, closes of 8 bytes and more; other records are skipped.
inline void ExpectedReplay(const std::string& str, size_t* lpnEvents, size_t* lpnBytes)
{
    *lpnEvents = *lpnBytes = 0;
    for (size_t nAt = 0; str.size() - nAt >= 20;) {
        UINT head[5];
        memcpy(head, str.data() + nAt, sizeof(head));
        nAt += 20;
        if (head[1] > str.size() - nAt)
            return;
        nAt += head[1];
        size_t nNeeds = head[0] == 0 ? 4 : head[0] == 1 ? 1 : head[0] == 4 ? 8 : SIZE_MAX;
        if (head[1] >= nNeeds)
            *lpnEvents += 1, *lpnBytes += head[0] == 1 ? head[1] : nNeeds;
    }
}

// One run of lCount recordings; the number whose replay differed from the
// plain reading (0 expected).
inline long FuzzRecordings(FuzzGuard& guard, long lCount, UINT uiSeed)
{
    Rng rng = {uiSeed != 0 ? uiSeed : 1};
    RecordProbe probe;
    RecordCountSink sink;
    probe.SetSink(&sink);
    long lBroken = 0;
    for (long i = 0; i < lCount; ++i) {
        FuzzGuard::s_lInput = i;
        std::string str = RecordFuzzInput(rng, guard.PageSize());
        MemoryRecordSource source(guard.Place(str), str.size());
        sink.nEvents = sink.nBytes = 0;
        probe.Run(source);
        size_t nEvents = 0, nBytes = 0;
        ExpectedReplay(str, &nEvents, &nBytes);
        if ((sink.nEvents != nEvents || sink.nBytes != nBytes) && lBroken++ == 0)
            printf("record fuzz input %ld: %zu events, %zu bytes; expected %zu, %zu\n", i, sink.nEvents,
                   sink.nBytes, nEvents, nBytes);
    }
    return lBroken;
}
