// Recording writers and the replay manager, on oxnet.rec in a fresh temporary
// current directory.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "VZ_NetworkEx.h"
#include "VZ_RecordSocketMgr.h"
#include "net/TestSocketMgr.h"

namespace {

template <class... T> std::string Line(const T&... args)
{
    std::ostringstream os;
    ((os << args << ' '), ...);
    return os.str();
}

// Logs every event as one line, with the thread it came on; with m_bBlockFirst
// the first event waits until m_hRelease is set.
class LogSink : public ISocketMgrSink {
public:
    std::vector<std::string> m_vecLog;
    std::vector<DWORD> m_vecThreads;
    std::mutex m_mtx;
    bool m_bBlockFirst = false;
    HANDLE m_hEntered = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE m_hRelease = CreateEventW(NULL, TRUE, FALSE, NULL);
    ~LogSink() { CloseHandle(m_hEntered), CloseHandle(m_hRelease); }
    std::vector<std::string> Log() { std::lock_guard<std::mutex> lock(m_mtx); return m_vecLog; }

    void Add(const std::string& str)
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        m_vecLog.push_back(str);
        m_vecThreads.push_back(GetCurrentThreadId());
        bool bBlock = m_bBlockFirst && m_vecLog.size() == 1;
        lock.unlock();
        if (bBlock && SetEvent(m_hEntered))
            WaitForSingleObject(m_hRelease, 10000);
    }
    bool OnSocketPreAccept(const sockaddr_in*, const sockaddr_in*) override { return Add("preaccept"), true; }
    void OnTcpConnect(int, SOCKET, DWORD, DWORD) override { Add("connect"); }
    void OnTcpAccept(int e, SOCKET s, SOCKET a, const sockaddr_in* l, const sockaddr_in* p) override
    {
        Add(Line("accept", e, s, a, l, p));
    }
    void OnTcpRecv(int e, SOCKET s, const char* buf, UINT* lpui, DWORD d1, DWORD d2) override
    {
        Add(Line("recv", e, s, d1, d2) + std::string(buf, *lpui));
        *lpui = 0; // the replay must not look at it
    }
    void OnUdpRecv(int, SOCKET, const char*, int, const sockaddr_in*, DWORD, DWORD) override { Add("udp"); }
    void OnTcpSend(int, SOCKET, DWORD, DWORD, DWORD, UINT) override { Add("send"); }
    void OnSocketClose(int e, SOCKET s, int st, DWORD d1, DWORD d2) override { Add(Line("close", e, s, st, d1, d2)); }
    void OnRecvTimeout(int, SOCKET, DWORD, DWORD) override { Add("recvtimeout"); }
    void OnSendTimeout(int, SOCKET, DWORD, DWORD) override { Add("sendtimeout"); }
    void OnDnsParse(const char*, ULONG) override { Add("dns"); }
    void OnTimer(SOCKET, UINT, DWORD, DWORD, DWORD) override { Add("timer"); }
    void OnProxyResult(int, SOCKET, const sockaddr_in*, DWORD, DWORD) override { Add("proxy"); }
    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override { return 0; }
};

// oxnet.rec bytes built by hand: 32-bit little-endian fields.
std::string U32(UINT32 ui)
{
    return std::string{char(ui), char(ui >> 8), char(ui >> 16), char(ui >> 24)};
}

std::string Rec(UINT32 uiType, const std::string& strPayload, UINT32 s, UINT32 dw1 = 0, UINT32 dw2 = 0)
{
    return U32(uiType) + U32(UINT32(strPayload.size())) + U32(s) + U32(dw1) + U32(dw2) + strPayload;
}

void WriteRecFile(const std::string& str)
{
    FILE* fp = std::fopen(RECORD_FILE_NAME, "wb");
    ASSERT_TRUE(fp != NULL);
    std::fwrite(str.data(), 1, str.size(), fp);
    std::fclose(fp);
}

std::string ReadRecFile()
{
    FILE* fp = std::fopen(RECORD_FILE_NAME, "rb");
    std::string str = fp ? "" : "<missing>";
    for (int ch; fp && (ch = std::fgetc(fp)) != EOF;)
        str += char(ch);
    if (fp)
        std::fclose(fp);
    return str;
}

// Each test runs in a directory of its own, the process's current one.
class VZ_Record : public testing::Test {
protected:
    void SetUp() override
    {
        static int s_iSerial = 0;
        wchar_t szTemp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, szTemp), 0u);
        ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, m_szOldDir), 0u);
        m_strDir = szTemp + std::to_wstring(GetCurrentProcessId()) + L"-rec-" + std::to_wstring(++s_iSerial);
        ASSERT_TRUE(CreateDirectoryW(m_strDir.c_str(), NULL) && SetCurrentDirectoryW(m_strDir.c_str()));
    }
    void TearDown() override
    {
        DeleteFileW(L"oxnet.rec");
        RemoveDirectoryW(L"oxnet.rec");
        SetCurrentDirectoryW(m_szOldDir);
        RemoveDirectoryW(m_strDir.c_str());
    }

    // Plays oxnet.rec into lpSink; false when it did not reach the end in 10 s.
    static bool ReplayToEnd(LogSink* lpSink)
    {
        VZ_RecordSocketMgr mgr;
        mgr.SetSink(lpSink);
        EXPECT_TRUE(mgr.Initialize(0, 0, 0, 0));
        for (int i = 0; i < 1000 && mgr.GetThreadCount(RECORD_THREAD_REPLAY) > 0; ++i)
            Sleep(10);
        bool bEnded = mgr.GetThreadCount(RECORD_THREAD_REPLAY) == 0;
        EXPECT_TRUE(mgr.Uninitialize(0));
        EXPECT_EQ(0, mgr.GetThreadCount());
        return bEnded;
    }

    wchar_t m_szOldDir[MAX_PATH];
    std::wstring m_strDir;
};

} // namespace

TEST_F(VZ_Record, WritersReadBackByteForByteAndReplaceAnOlderFile)
{
    WriteRecFile(std::string(500, 'o'));
    const std::string strExpected = Rec(RECORD_ACCEPT, U32(0x456), 0x123) +
                                    Rec(RECORD_DATA, "abcdefg", 0x456, 0x11223344, 0xA1B2C3D4) +
                                    Rec(RECORD_CLOSE, U32(10054) + U32(SS_CONNECTED), 0x456, 1, 2) +
                                    Rec(RECORD_CLOSE, U32(0xFFFFFFFF) + U32(SS_CLOSING), 0x457);
    sockaddr_in addr = {};
    {
        TestSocketMgr mgr;
        mgr.SetRecord(true);
        ASSERT_TRUE(mgr.OpenRecordFile());
        EXPECT_TRUE(mgr.IsRecording());
        EXPECT_TRUE(mgr.RecordAccept(0x123, 0x456, &addr, &addr));
        EXPECT_TRUE(mgr.RecordRecv(0x456, "abcdefgXYZ", 7, 0x11223344, 0xA1B2C3D4));
        EXPECT_TRUE(mgr.RecordClose(10054, 0x456, SS_CONNECTED, 1, 2));
        EXPECT_TRUE(mgr.RecordClose(-1, 0x457, SS_CLOSING, 0, 0));
        EXPECT_EQ(strExpected, ReadRecFile()); // readable while still being written
    }
    EXPECT_EQ(strExpected, ReadRecFile());
}

TEST_F(VZ_Record, WritersDoNothingWhileRecordingIsOff)
{
    TestSocketMgr mgr;
    EXPECT_TRUE(mgr.OpenRecordFile() && mgr.RecordAccept(1, 2, NULL, NULL) && mgr.RecordRecv(2, "abc", 3, 0, 0) &&
                mgr.RecordClose(0, 2, SS_CONNECTED, 0, 0));
    EXPECT_EQ("<missing>", ReadRecFile());

    // A file that cannot be created turns recording off; the writers then
    // skip rather than fail on the unopened file.
    ASSERT_TRUE(CreateDirectoryW(L"oxnet.rec", NULL));
    mgr.SetRecord(true);
    EXPECT_FALSE(mgr.OpenRecordFile());
    EXPECT_FALSE(mgr.IsRecording());
    EXPECT_TRUE(mgr.RecordRecv(2, "abc", 3, 0, 0) && mgr.RecordClose(0, 2, SS_CONNECTED, 0, 0));
}

TEST_F(VZ_Record, RecordedSessionReplaysInOrderOnOneThread)
{
    {
        TestSocketMgr mgr;
        mgr.SetRecord(true);
        ASSERT_TRUE(mgr.OpenRecordFile());
        mgr.RecordAccept(0x40, 0x44, NULL, NULL);
        mgr.RecordRecv(0x44, "hello", 5, 7, 8);
        mgr.RecordRecv(0x44, "world!", 6, 7, 8);
        mgr.RecordClose(10054, 0x44, SS_CONNECTED, 7, 8);
    }
    LogSink sink;
    ASSERT_TRUE(ReplayToEnd(&sink));
    const std::vector<std::string> expected = {Line("accept", 0, 0x40, 0x44, (void*)NULL, (void*)NULL),
                                               Line("recv", 0, 0x44, 7, 8) + "hello",
                                               Line("recv", 0, 0x44, 7, 8) + "world!",
                                               Line("close", 10054, 0x44, SS_CONNECTED, 7, 8)};
    EXPECT_EQ(expected, sink.Log());
    for (DWORD dwThreadId : sink.m_vecThreads)
        EXPECT_TRUE(dwThreadId == sink.m_vecThreads[0] && dwThreadId != GetCurrentThreadId());
}

TEST_F(VZ_Record, ReplayTakesLongRecordsWholeSkipsUnknownTypesStopsAtShortTail)
{
    std::string strLong;
    for (int i = 0; i < 25000; ++i)
        strLong += char(i * 7 + i / 256);
    const std::string strTail = Rec(RECORD_DATA, "0123456789", 5);
    WriteRecFile(Rec(RECORD_DATA, strLong.substr(0, 12000), 9, 1, 2) + Rec(2, "abc", 9) + Rec(99, "", 9) +
                 Rec(RECORD_DATA, strLong, 9) + strTail.substr(0, 10));
    LogSink sink;
    ASSERT_TRUE(ReplayToEnd(&sink));
    const std::vector<std::string> expected = {Line("recv", 0, 9, 1, 2) + strLong.substr(0, 12000),
                                               Line("recv", 0, 9, 0, 0) + strLong};
    EXPECT_TRUE(expected == sink.Log()) << sink.Log().size();

    // A partial head, or a head whose payload is short, alone replays nothing.
    for (size_t nSize : {size_t(0), size_t(19), strTail.size() - 1}) {
        WriteRecFile(strTail.substr(0, nSize));
        LogSink sinkShort;
        EXPECT_TRUE(ReplayToEnd(&sinkShort));
        EXPECT_EQ(0u, sinkShort.Log().size()) << nSize;
    }
}

TEST_F(VZ_Record, ReplayOfMissingFileFailsWithMessage)
{
    VZ_RecordSocketMgr mgr;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(mgr.Initialize(0, 0, 0, 0));
    EXPECT_EQ("Open oxnet.rec failed!\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, mgr.GetThreadCount());
}

TEST_F(VZ_Record, UninitializeStopsReplayInTheMiddle)
{
    WriteRecFile(Rec(RECORD_DATA, "a", 1) + Rec(RECORD_DATA, "b", 1) + Rec(RECORD_DATA, "c", 1));
    LogSink sink;
    sink.m_bBlockFirst = true;
    VZ_RecordSocketMgr mgr;
    mgr.SetSink(&sink);
    ASSERT_TRUE(mgr.Initialize(0, 0, 0, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sink.m_hEntered, 10000));
    std::thread release([&sink]() { Sleep(300), SetEvent(sink.m_hRelease); });
    ULONGLONG ullStart = GetTickCount64();
    EXPECT_TRUE(mgr.Uninitialize(0));
    ULONGLONG ullElapsed = GetTickCount64() - ullStart;
    release.join();
    EXPECT_GE(ullElapsed, 200u); // it waited for the event in progress
    EXPECT_EQ(0, mgr.GetThreadCount());
    Sleep(100);
    EXPECT_EQ(1u, sink.Log().size());
}

TEST_F(VZ_Record, FactoryKindFiveMakesReplayManagerWithSwitchAndSink)
{
    LogSink sink;
    for (bool bRecord : {false, true}) {
        ISocketMgr* lpMgr = CreateSocketMgr(SOCKETMGR_RECORD, &sink, bRecord);
        VZ_SocketMgr* lpBase = dynamic_cast<VZ_RecordSocketMgr*>(lpMgr);
        ASSERT_TRUE(lpBase != NULL);
        EXPECT_EQ(bRecord, lpBase->IsRecording());
        EXPECT_EQ(&sink, lpMgr->GetSink());
        delete lpMgr;
    }
}

namespace {

// Runs oxrecdump (beside this test program) on oxnet.rec in the current
// directory; its standard output goes to *lpstrOut.
DWORD RunDump(std::string* lpstrOut)
{
    wchar_t szPath[MAX_PATH];
    DWORD dwLen = GetModuleFileNameW(NULL, szPath, MAX_PATH);
    std::wstring strCmd(szPath, dwLen);
    strCmd = L"\"" + strCmd.substr(0, strCmd.find_last_of(L"\\/") + 1) + L"oxrecdump.exe\"";
    SECURITY_ATTRIBUTES sa = {sizeof(sa), NULL, TRUE};
    HANDLE hRead = NULL, hWrite = NULL;
    if (!CreatePipe(&hRead, &hWrite, &sa, 0))
        return 0xFFFFFFFF;
    SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = hWrite;
    PROCESS_INFORMATION pi = {};
    DWORD dwExit = 0xFFFFFFFF;
    if (CreateProcessW(NULL, &strCmd[0], NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
        CloseHandle(hWrite);
        hWrite = NULL;
        char buf[512];
        DWORD dwRead = 0;
        while (ReadFile(hRead, buf, sizeof(buf), &dwRead, NULL) && dwRead > 0)
            lpstrOut->append(buf, dwRead);
        WaitForSingleObject(pi.hProcess, 10000);
        GetExitCodeProcess(pi.hProcess, &dwExit);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    if (hWrite)
        CloseHandle(hWrite);
    CloseHandle(hRead);
    return dwExit;
}

} // namespace

TEST_F(VZ_Record, DumpToolPrintsARecordingAndReportsATruncatedTail)
{
    {
        TestSocketMgr mgr;
        mgr.SetRecord(true);
        ASSERT_TRUE(mgr.OpenRecordFile());
        mgr.RecordAccept(0x40, 0x44, NULL, NULL);
        mgr.RecordRecv(0x44, "hello", 5, 7, 8);
        mgr.RecordClose(10054, 0x44, SS_CONNECTED, 7, 8);
    }
    std::string strOut;
    EXPECT_EQ(0u, RunDump(&strOut));
    for (const char* lpszPart : {"accepted=68", "|hello|", "error=10054 status=5", "3 records"})
        EXPECT_NE(std::string::npos, strOut.find(lpszPart)) << lpszPart << " in\n" << strOut;

    WriteRecFile(ReadRecFile() + std::string("\x01\x00\x00", 3)); // a partial head
    strOut.clear();
    EXPECT_EQ(1u, RunDump(&strOut));
    EXPECT_NE(std::string::npos, strOut.find("truncated")) << strOut;
}
