// Recording writers and the replay manager, on oxnet.rec in a fresh temporary
// current directory; and oxrecdump on a recording the writers made. Random
// and mutated recordings: the fuzz program, bench_rec_fuzz (RecordFuzz.h).
#include "EngineTest.h"

#include <psapi.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "TestSocketMgr.h"
#include "replay/VZ_RecordSocketMgr.h"

namespace {

// oxnet.rec bytes built by hand: 32-bit little-endian fields.
std::string U32(UINT32 ui) { return std::string{char(ui), char(ui >> 8), char(ui >> 16), char(ui >> 24)}; }
std::string Rec(UINT32 uiType, const std::string& strPayload, UINT32 s, UINT32 dw1 = 0, UINT32 dw2 = 0)
{
    return U32(uiType) + U32(UINT32(strPayload.size())) + U32(s) + U32(dw1) + U32(dw2) + strPayload;
}

void WriteRecFile(const std::string& str) { std::ofstream(RECORD_FILE_NAME, std::ios::binary) << str; }
std::string ReadRecFile() // readable also while a writer has it open
{
    std::ifstream file(RECORD_FILE_NAME, std::ios::binary);
    return file ? std::string(std::istreambuf_iterator<char>(file), {}) : "<missing>";
}

// Each test runs in a directory of its own, the process's current one.
class VZ_Record : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_Dir.m_bOk); }
    // Plays oxnet.rec; the events, or "unfinished" when it did not end in 10 s.
    static Lines Replay()
    {
        LogSink sink;
        VZ_RecordSocketMgr mgr;
        mgr.SetSink(&sink);
        EXPECT_TRUE(mgr.Initialize(0, 0, 0, 0));
        bool bEnded = WaitUntil([&] { return mgr.GetThreadCount(RECORD_THREAD_REPLAY) == 0; });
        EXPECT_TRUE(mgr.Uninitialize(0));
        EXPECT_EQ(0, mgr.GetThreadCount());
        for (DWORD dwThreadId : sink.Threads()) // all on the one replay thread
            EXPECT_TRUE(dwThreadId == sink.Threads()[0] && dwThreadId != GetCurrentThreadId());
        return bEnded ? sink.Log() : Lines{"unfinished"};
    }

    TempCurrentDir m_Dir;
};

} // namespace

TEST_F(VZ_Record, ReplayTakesLongRecordsWholeSkipsUnknownTypesStopsAtShortTailOrAMissingFile)
{
    const std::string strLong = Pattern(0, 25000);
    const std::string strTail = Rec(RECORD_DATA, "0123456789", 5);
    WriteRecFile(Rec(RECORD_DATA, strLong.substr(0, 12000), 9, 1, 2) + Rec(2, "abc", 9) + Rec(99, "", 9) +
                 Rec(RECORD_DATA, strLong, 9) + strTail.substr(0, 10));
    const Lines expected = {"recv 0 9 1 2 " + strLong.substr(0, 12000), "recv 0 9 0 0 " + strLong};
    EXPECT_TRUE(expected == Replay());
    // A head claiming far more than the file holds ends the replay before a
    // block of that size is committed.
    std::string strHuge = Rec(RECORD_DATA, "abc", 5);
    const UINT uiHuge = 0x7FFFFF00;
    memcpy(&strHuge[4], &uiHuge, sizeof(uiHuge));
    WriteRecFile(strHuge);
    PROCESS_MEMORY_COUNTERS pmcBefore = {}, pmcAfter = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &pmcBefore, sizeof(pmcBefore));
    EXPECT_EQ(Lines{}, Replay());
    GetProcessMemoryInfo(GetCurrentProcess(), &pmcAfter, sizeof(pmcAfter));
    EXPECT_GT(SIZE_T(64) << 20, pmcAfter.PeakWorkingSetSize - pmcBefore.PeakWorkingSetSize);
    // A replay of a missing file fails. (The factory's kind 5 replays in test_EngineRecording.cpp.)
    DeleteFileA(RECORD_FILE_NAME);
    VZ_RecordSocketMgr mgr;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(mgr.Initialize(0, 0, 0, 0));
    EXPECT_EQ("Open oxnet.rec failed!\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, mgr.GetThreadCount());
}

// Uninitialize, or the destructor without it, started while an event runs:
// returns only after that event and raises nothing more (a destroyed
// manager stops its replay before its parts go, not leaving it running in a
// half-destroyed object).
TEST_F(VZ_Record, UninitializeOrDestroyStopsReplayInTheMiddle)
{
    struct Replayer : VZ_RecordSocketMgr {
        bool Replaying() const { return m_bReplaying; }
    };
    WriteRecFile(Rec(RECORD_DATA, "a", 1) + Rec(RECORD_DATA, "b", 1) + Rec(RECORD_DATA, "c", 1));
    for (bool bDestroy : {false, true}) {
        HANDLE hInside = CreateEventW(NULL, TRUE, FALSE, NULL), hRelease = CreateEventW(NULL, TRUE, FALSE, NULL);
        HANDLE hReturned = CreateEventW(NULL, TRUE, FALSE, NULL);
        LogSink sink;
        sink.m_fnHook = [&](const char*, SOCKET, UINT*) { SignalObjectAndWait(hInside, hRelease, 10000, FALSE); };
        Replayer* lpMgr = new Replayer;
        lpMgr->SetSink(&sink);
        testing::internal::CaptureStdout();
        ASSERT_TRUE(lpMgr->Initialize(0, 0, 0, 0));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hInside, 5000));
        std::thread stop([&] {
            if (bDestroy)
                delete lpMgr;
            else
                EXPECT_TRUE(lpMgr->Uninitialize(0));
            SetEvent(hReturned);
        });
        // Until the stop has begun: the destructor holds the object meanwhile.
        for (int i = 0; i < 5000 && lpMgr->Replaying(); ++i)
            Sleep(1);
        // A stop that does not wait returns now; a slow machine only tests it less.
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hReturned, 200)) << "returned while an event runs";
        SetEvent(hRelease);
        stop.join();
        CloseHandle(hInside), CloseHandle(hRelease), CloseHandle(hReturned);
        if (!bDestroy) {
            EXPECT_EQ(0, lpMgr->GetThreadCount());
            delete lpMgr;
        }
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        EXPECT_EQ(Lines{"recv 0 1 0 0 a"}, sink.Log()) << (bDestroy ? "destroy" : "uninitialize");
    }
}

TEST_F(VZ_Record, WritersRecordOnlyWhenOnAndTheRecordingDumps)
{
    auto WriteSession = [](TestSocketMgr& mgr) { // one connection: accept, two data, close
        sockaddr_in addr = {};
        return mgr.OpenRecordFile() && mgr.RecordAccept(40, 44, &addr, &addr) &&
               mgr.RecordRecv(44, "helloXYZ", 5, 7, 0xA1B2C3D4) && mgr.RecordRecv(44, "world!", 6, 7, 0xA1B2C3D4) &&
               mgr.RecordClose(-1, 44, SS_CLOSING, 7, 8);
    };
    {
        TestSocketMgr mgr; // recording off: the writers skip
        EXPECT_TRUE(WriteSession(mgr));
        EXPECT_EQ("<missing>", ReadRecFile());
    }
    WriteRecFile(std::string(500, 'o')); // an older file is replaced
    {
        TestSocketMgr mgr;
        mgr.SetRecord(true);
        ASSERT_TRUE(WriteSession(mgr));
        EXPECT_EQ(Rec(RECORD_ACCEPT, U32(44), 40) + Rec(RECORD_DATA, "hello", 44, 7, 0xA1B2C3D4) +
                      Rec(RECORD_DATA, "world!", 44, 7, 0xA1B2C3D4) +
                      Rec(RECORD_CLOSE, U32(0xFFFFFFFF) + U32(SS_CLOSING), 44, 7, 8),
                  ReadRecFile()); // written through, not only when the file closes
    }
    std::string strOut;
    EXPECT_EQ(0, RunDump(&strOut));
    const Lines parts = {"accepted=44", "|hello|", "error=-1 status=" + std::to_string(SS_CLOSING), "4 records"};
    for (const std::string& strPart : parts)
        EXPECT_NE(std::string::npos, strOut.find(strPart)) << strPart << " in\n" << strOut;
    WriteRecFile(ReadRecFile() + std::string("\x01\x00\x00", 3)); // a partial head
    strOut.clear();
    EXPECT_EQ(1, RunDump(&strOut));
    EXPECT_NE(std::string::npos, strOut.find("truncated")) << strOut;
}
