// The frame of the engine tests: one row's manager per test, started as a
// host starts it; a sink that logs and keeps what it consumed; plain blocking
// Winsock sockets as controllable peers on 127.0.0.1. Every wait is bounded.
// A failed engine check (VZ_ASSERT) fails the test at its end.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "EngineTable.h"

#include <tlhelp32.h>
#include "CheckCapture.h"
#include "LogSink.h"
#include "NetTestUtil.h"
#include "VZ_MultiThread.h"
#include "container/VZ_SocketMgrContainer.h"
#include "core/VZ_SocketMgr.h"

const DWORD ECHO = 0; // first user value of the sockets that echo (accepted ones get 0)

inline int ThreadsOfThisProcess()
{
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te = {};
    te.dwSize = sizeof(te);
    int n = 0;
    for (BOOL b = Thread32First(hSnap, &te); b; b = Thread32Next(hSnap, &te))
        n += te.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(hSnap);
    return n;
}

inline USHORT PortOf(SOCKET s) { return ntohs(LocalAddr(s).sin_port); }
inline std::string From(SOCKET s) { return "127.0.0.1:" + std::to_string(PortOf(s)); }
inline sockaddr_in Loopback(USHORT usPort)
{
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(usPort);
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    return addr;
}
// KEY=VALUE lines of a file written by the scripts. A Linux path is opened
// as given, then through the drive that maps the Linux root.
inline std::map<std::string, std::string> LoadEnvFile(const std::string& strPath)
{
    std::map<std::string, std::string> mapEnv;
    std::ifstream is(strPath);
    if (!is && !strPath.empty() && strPath[0] == '/')
        is.open("Z:" + strPath);
    for (std::string str; std::getline(is, str);) {
        size_t n = str.find('='), nEnd = str.find_last_not_of("\r") + 1;
        if (n != std::string::npos)
            mapEnv[str.substr(0, n)] = str.substr(n + 1, nEnd - n - 1);
    }
    return mapEnv;
}
// True when pred holds within dwMs; polls.
inline bool WaitUntil(const std::function<bool()>& pred, DWORD dwMs = 10000)
{
    for (ULONGLONG ullStart = GetTickCount64(); !pred(); Sleep(2))
        if (GetTickCount64() - ullStart > dwMs)
            return false;
    return true;
}
// The first n space-separated fields of a log line, padded with empty ones
// (the received bytes at the end of a line are not split).
inline Lines LogFields(const std::string& strLine, size_t n = 5)
{
    std::istringstream is(strLine);
    Lines vec;
    for (std::string str; vec.size() < n && is >> str;)
        vec.push_back(str);
    vec.resize(n);
    return vec;
}
// The socket of an event line (its third field: event, error, socket).
inline SOCKET LogSocket(const std::string& strLine) { return SOCKET(atoll(LogFields(strLine, 3)[2].c_str())); }

// Logs as LogSink and keeps the bytes each socket consumed, the last accepted
// socket and the addresses of proxy results. m_fnData may act on the bytes
// offered. In echo mode every connected or accepted socket reads on, and
// ECHO sockets send back what they get (a datagram as "re:" + datagram).
class EngineSink : public LogSink {
public:
    ISocketMgr* m_lpMgr = NULL;
    bool m_bEcho = false;
    std::atomic<int> m_iRefuseAccepts{0}; // OnSocketPreAccept answers false this many times
    std::atomic<SOCKET> m_sAccepted{INVALID_SOCKET};
    std::function<void(SOCKET s, const char* buf, UINT* lpuiLen)> m_fnData;

    bool OnSocketPreAccept(const sockaddr_in* l, const sockaddr_in* p) override
    {
        LogSink::OnSocketPreAccept(l, p);
        if (m_iRefuseAccepts.fetch_sub(1) > 0)
            return false;
        ++m_iRefuseAccepts;
        return true;
    }
    void OnTcpConnect(int e, SOCKET s, DWORD d1, DWORD d2) override
    {
        LogSink::OnTcpConnect(e, s, d1, d2);
        if (m_bEcho && e == 0)
            m_lpMgr->Recv(s, 1);
    }
    void OnTcpAccept(int e, SOCKET s, SOCKET a, const sockaddr_in* l, const sockaddr_in* p) override
    {
        LogSink::OnTcpAccept(e, s, a, l, p);
        m_sAccepted = a;
        if (m_bEcho && e == 0)
            m_lpMgr->Recv(a, 1);
    }
    void OnTcpRecv(int e, SOCKET s, const char* buf, UINT* lpuiLen, DWORD d1, DWORD d2) override
    {
        std::unique_lock<std::mutex> lock(m_mtxData);
        ++m_mapBusy[s];
        lock.unlock();
        LogSink::OnTcpRecv(e, s, buf, lpuiLen, d1, d2);
        if (m_fnData)
            m_fnData(s, buf, lpuiLen);
        lock.lock();
        m_mapData[s].append(buf, *lpuiLen);
        --m_mapBusy[s];
        lock.unlock();
        m_cvData.notify_all();
        if (m_bEcho && d1 == ECHO && *lpuiLen > 0 && !m_lpMgr->Send(s, buf, int(*lpuiLen), 0, NULL))
            Add("echo failed");
        if (m_bEcho)
            m_lpMgr->Recv(s, 1);
    }
    void OnUdpRecv(int e, SOCKET s, const char* buf, int n, const sockaddr_in* p, DWORD d1, DWORD d2) override
    {
        LogSink::OnUdpRecv(e, s, buf, n, p, d1, d2);
        std::string strAnswer = "re:" + std::string(buf, n);
        if (m_bEcho && d1 == ECHO)
            m_lpMgr->SendTo(s, p, strAnswer.data(), int(strAnswer.size()), true);
        if (m_bEcho)
            m_lpMgr->Recv(s, 1);
    }
    void OnProxyResult(int e, SOCKET s, const sockaddr_in* a, DWORD d1, DWORD d2) override
    {
        if (a != NULL) {
            std::lock_guard<std::mutex> lock(m_mtxData);
            m_mapAddr[s] = *a;
        }
        LogSink::OnProxyResult(e, s, a, d1, d2);
    }
    // The bytes s consumed (bForget: dropped after). Its line is logged before
    // they are kept, so a receive event under way is waited for (bounded): a
    // test that saw the line then finds its bytes. Not for use inside s's own
    // receive event.
    std::string Data(SOCKET s, bool bForget = false)
    {
        std::unique_lock<std::mutex> lock(m_mtxData);
        m_cvData.wait_for(lock, std::chrono::milliseconds(2000), [&] { return m_mapBusy[s] == 0; });
        std::string str = m_mapData[s];
        if (bForget) // a later socket with the same handle value starts with nothing
            m_mapData.erase(s);
        return str;
    }
    sockaddr_in ProxyAddr(SOCKET s)
    {
        std::lock_guard<std::mutex> lock(m_mtxData);
        return m_mapAddr[s];
    }

private:
    std::mutex m_mtxData;
    std::condition_variable m_cvData;
    std::map<SOCKET, int> m_mapBusy; // receive events of the socket under way
    std::map<SOCKET, std::string> m_mapData;
    std::map<SOCKET, sockaddr_in> m_mapAddr;
};

class EngineFixture : public ::testing::Test {
protected:
    virtual const EngineRow& Row() const = 0;

    void SetUp() override
    {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        Start(0);
    }
    void TearDown() override
    {
        LONG lStopTimeouts = VZ_MultiThread::GetStopTimeoutCount();
        Stop();
        // A thread the stop had to terminate may have died holding a lock.
        EXPECT_EQ(lStopTimeouts, VZ_MultiThread::GetStopTimeoutCount()) << "the stop timed out on a thread";
        for (SOCKET s : m_vecRaw)
            closesocket(s);
        EXPECT_EQ("", m_Checks.Conditions()); // no engine invariant may fail
        WSACleanup();
    }
    // A new manager of the row, started with byFlags (1: no name thread, 2: no timers).
    void Start(BYTE byFlags)
    {
        if (Row().lpszContainer != NULL) { // the process's engine, made by this container
            m_lpMgr = oxCreateInstance(Row().lpszContainer);
            if (m_lpMgr != NULL)
                m_lpMgr->SetSink(&m_Sink);
        } else {
            m_lpMgr = CreateSocketMgr(Row().iKind, &m_Sink, false);
        }
        ASSERT_TRUE(m_lpMgr != NULL) << "engine " << Row().lpszName << " (kind " << Row().iKind << ") is not built";
        m_Sink.m_lpMgr = m_lpMgr;
        ASSERT_TRUE(m_lpMgr->Initialize(byFlags, 0, 0, 0));
    }
    void Stop()
    {
        if (m_lpMgr != NULL) {
            m_lpMgr->Uninitialize(0);
            if (Row().lpszContainer != NULL)
                oxDestroyInstance(m_lpMgr); // the last container destroys the engine
            else
                delete m_lpMgr;
            m_lpMgr = NULL;
        }
    }

    // Index of the first line of lpSink's log (default: the fixture's) equal
    // to strLine from line nFrom on, waiting for it; -1 on time-out.
    int WaitLine(const std::string& strLine, DWORD dwMs = 10000, size_t nFrom = 0, LogSink* lpSink = NULL)
    {
        int iAt = -1;
        WaitUntil([&] {
            Lines vec = (lpSink != NULL ? lpSink : &m_Sink)->Log();
            auto it = std::find(vec.begin() + std::min(nFrom, vec.size()), vec.end(), strLine);
            return (iAt = it == vec.end() ? -1 : int(it - vec.begin())) >= 0;
        }, dwMs);
        return iAt;
    }
    // Lines starting with strPrefix, the marker's (Settle) left out.
    size_t Count(const std::string& strPrefix, LogSink* lpSink = NULL)
    {
        size_t n = 0;
        for (const std::string& str : (lpSink != NULL ? lpSink : &m_Sink)->Log())
            n += str.compare(0, strPrefix.size(), strPrefix) == 0 && !m_setMarkers.count(str);
        return n;
    }
    // The log without the marker's lines and, unless bReports, without the
    // send and receive reports.
    Lines Events(bool bReports = false)
    {
        Lines vec;
        for (const std::string& str : m_Sink.Log())
            if ((bReports || (str.compare(0, 5, "send ") != 0 && str.compare(0, 5, "recv ") != 0)) &&
                !m_setMarkers.count(str))
                vec.push_back(str);
        return vec;
    }
    // Waits for a marker: a byte received on a fresh connection, which the
    // engine raises after what it already had under way. A check that an
    // event did not come runs after it, not after a fixed sleep. Its lines
    // (user values 9 10) are known by their text, as its handle may be given again.
    void Settle()
    {
        size_t nFrom = m_Sink.Log().size(); // an earlier marker's lines may have the same text
        SOCKET sPeer, s = ConnectedToRaw(&sPeer, 0, 0, 9);
        m_setMarkers.insert({Line("connect", 0, s, 9, 10), Line("recv", 0, s, 9, 10, "m")});
        if (!m_Sink.m_bEcho) // echo mode reads on by itself
            m_lpMgr->Recv(s, 1); // its answer is not this marker's concern: the line is
        RawSend(sPeer, "m");
        EXPECT_LE(0, WaitLine(Line("recv", 0, s, 9, 10, "m"), 10000, nFrom)) << "no marker";
        m_lpMgr->CloseSocket(s);
        m_Sink.Data(s, true); // dropped
        RawClose(sPeer);
    }

    // (parameter, uiQueued) of each OnTcpSend of s logged from line nFrom on.
    std::vector<std::pair<UINT, UINT>> SendReports(SOCKET s, size_t nFrom = 0)
    {
        std::vector<std::pair<UINT, UINT>> vec;
        Lines vecLog = m_Sink.Log();
        for (size_t i = nFrom; i < vecLog.size(); ++i) {
            Lines vecField = LogFields(vecLog[i], 7); // send error socket d1 d2 d3 queued
            if (vecField[0] == "send" && LogSocket(vecLog[i]) == s)
                vec.push_back({UINT(atoll(vecField[5].c_str())), UINT(atoll(vecField[6].c_str()))});
        }
        return vec;
    }
    // The pool that the row's sockets draw from.
    VZ_SocketMgr* Pool() { return dynamic_cast<VZ_SocketMgr*>(Row().lpszContainer ? g_lpEngine : m_lpMgr); }

    SOCKET Raw(int iType)
    {
        SOCKET s = socket(AF_INET, iType, 0);
        m_vecRaw.push_back(s);
        DWORD dwTimeout = 5000; // a blocking recv never hangs a test
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&dwTimeout), sizeof(dwTimeout));
        sockaddr_in addr = Loopback(0);
        bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        return s;
    }
    void RawClose(SOCKET s)
    {
        m_vecRaw.erase(std::remove(m_vecRaw.begin(), m_vecRaw.end(), s), m_vecRaw.end());
        closesocket(s);
    }
    SOCKET RawListen(int iRecvBuf = 0)
    {
        SOCKET s = Raw(SOCK_STREAM);
        if (iRecvBuf) // inherited by the accepted socket
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&iRecvBuf), sizeof(iRecvBuf));
        listen(s, 8);
        return s;
    }
    // A loopback port nobody listens on. It stays bound, never listening,
    // until the test ends: connects to it are refused, and no socket bound
    // meanwhile can get it (one that did would connect to itself and take its
    // own request for the answer).
    USHORT ClosedPort() { return PortOf(Raw(SOCK_STREAM)); }
    static bool Pending(SOCKET sListen, long lSeconds)
    {
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(sListen, &fds);
        timeval tv = {lSeconds, 0};
        return select(0, &fds, NULL, NULL, &tv) == 1;
    }
    SOCKET RawAccept(SOCKET sListen)
    {
        SOCKET s = Pending(sListen, 5) ? accept(sListen, NULL, NULL) : INVALID_SOCKET;
        m_vecRaw.push_back(s);
        return s;
    }
    SOCKET RawConnect(USHORT usPort)
    {
        SOCKET s = Raw(SOCK_STREAM);
        sockaddr_in to = Loopback(usPort);
        EXPECT_EQ(0, connect(s, reinterpret_cast<sockaddr*>(&to), sizeof(to)));
        return s;
    }
    static std::string RawRecv(SOCKET s, size_t nLen)
    {
        std::string str;
        char buf[65536];
        for (int n = 1; n > 0 && str.size() < nLen; str.append(buf, std::max(n, 0)))
            n = recv(s, buf, int(std::min(sizeof(buf), nLen - str.size())), 0);
        return str;
    }
    static void RawSend(SOCKET s, const std::string& str) { send(s, str.data(), int(str.size()), 0); }
    // After the bytes still on their way, the peer sees an orderly close or a
    // reset, not a time-out.
    static bool PeerSeesClose(SOCKET s)
    {
        char buf[65536];
        int n = 1;
        for (int i = 0; i < 1000 && n > 0; ++i)
            n = recv(s, buf, sizeof(buf), 0);
        return n == 0 || (n < 0 && WSAGetLastError() != WSAETIMEDOUT);
    }
    // A manager socket (user values dwUser, dwUser + 1) connected to a plain peer.
    SOCKET ConnectedToRaw(SOCKET* lpsPeer, int iSendBuf = 0, int iPeerRecvBuf = 0, DWORD dwUser = 1)
    {
        SOCKET sListen = RawListen(iPeerRecvBuf);
        SOCKET s = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, dwUser, dwUser + 1);
        EXPECT_TRUE(!iSendBuf || m_lpMgr->SetSendBufSize(s, iSendBuf));
        // An earlier socket of this handle and user values logged the same
        // line: only a line logged from here on is this connect's.
        size_t nFrom = m_Sink.Log().size();
        EXPECT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", PortOf(sListen)));
        EXPECT_LE(0, WaitLine(Line("connect", 0, s, dwUser, dwUser + 1), 10000, nFrom));
        *lpsPeer = RawAccept(sListen);
        EXPECT_NE(INVALID_SOCKET, *lpsPeer);
        return s;
    }

    CheckCapture m_Checks; // for the whole test, the fixture's stop included
    EngineSink m_Sink;
    ISocketMgr* m_lpMgr = NULL;
    std::vector<SOCKET> m_vecRaw;
    std::set<std::string> m_setMarkers; // the marker's lines
};

// The fixture of the tests that every engine row runs.
class EngineTest : public EngineFixture, public ::testing::WithParamInterface<EngineRow> {
protected:
    const EngineRow& Row() const override { return GetParam(); }
};

inline std::string RowName(const ::testing::TestParamInfo<EngineRow>& info) { return info.param.lpszName; }
