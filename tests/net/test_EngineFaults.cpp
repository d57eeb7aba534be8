// Every engine row under a fault of the other side: a proxy server killed
// (SIGKILL to it and all it forked) while handshakes are under way and while
// relayed bytes flow both ways. Each socket must end with exactly one
// terminal event, bytes must arrive as sent up to the fault, and CloseSocket
// must work afterwards. (A peer that never reads: EngineLoopback.)
//
// The killed servers are private ones (scripts/proxies.sh one / kill, run on
// the Linux side: Wine starts native programs too, without a handle, so the
// script's files tell when it is done). The script's path and the shared
// servers' directory come from the file named by OXNET_PROXY_ENV.
#include <memory>
#include <set>

#include "EngineTest.h"

namespace {

// Starts "sh -c strCmd" on the Linux side, detached from our output.
// Wine starts a Linux program without a process handle and leaves a stray
// value in hThread (seen: 0x19, naming this process's handle 0x18): closing
// it closed whatever owned that slot, such as the next engine's timer queue,
// whose threads then never got their quit. Only a started process's handles
// are ours.
bool RunNative(const std::string& strCmd)
{
    std::string strLine = "/bin/sh -c \"" + strCmd + " </dev/null >/dev/null 2>&1\"";
    std::wstring wstrLine(strLine.begin(), strLine.end());
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    BOOL bOk = CreateProcessW(L"Z:\\bin\\sh", &wstrLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
    if (bOk && pi.hProcess != NULL) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    return bOk != FALSE;
}

// The events that end a socket: a failed connect, a failed proxy step, a close.
bool Terminal(const std::string& strLine)
{
    Lines vec = LogFields(strLine, 2);
    return vec[0] == "close" || ((vec[0] == "connect" || vec[0] == "proxy") && vec[1] != "0");
}

struct KillCase {
    const char* lpszName;
    UINT uiType;
    const char* lpszServer; // argument of proxies.sh one
    const char* lpszKey;    // its port in the server's file
};
void PrintTo(const KillCase& kc, std::ostream* lpOs) { *lpOs << kc.lpszName; }

const KillCase g_caseKills[] = {{"Socks5", PROXY_SOCKS5, "danted", "DANTE_PORT"},
                                {"Http", PROXY_HTTP, "tinyproxy", "TINYPROXY_PORT"}};

class EngineFaultsProxy : public EngineCaseTest<EngineFixture, KillCase> {
protected:
    // Waits until every socket of vec has ended, then a little longer:
    // each must have exactly one terminal event.
    void ExpectOneEndEach(const std::vector<SOCKET>& vec)
    {
        std::set<SOCKET> setOwn(vec.begin(), vec.end());
        std::map<SOCKET, int> mapEnds;
        auto Scan = [&] {
            mapEnds.clear();
            for (const std::string& str : m_Sink.Log())
                if (Terminal(str) && setOwn.count(LogSocket(str)))
                    ++mapEnds[LogSocket(str)];
            return mapEnds.size() == setOwn.size();
        };
        EXPECT_TRUE(WaitUntil(Scan, 15000)) << mapEnds.size() << " of " << vec.size() << " sockets ended\n"
                                            << ::testing::PrintToString(m_Sink.Log());
        Settle(); // a second terminal event would have come by now
        Scan();
        for (const auto& it : mapEnds)
            EXPECT_EQ(1, it.second) << "socket " << it.first << " ended " << it.second << " times\n"
                                    << ::testing::PrintToString(m_Sink.Log());
    }
    // CloseSocket works on each, and no event of them follows.
    void CloseAll(const std::vector<SOCKET>& vec)
    {
        for (SOCKET s : vec)
            EXPECT_TRUE(m_lpMgr->CloseSocket(s)) << s;
        size_t nLog = Events(true).size();
        Settle();
        Lines vecLog = Events(true);
        for (size_t i = nLog; i < vecLog.size(); ++i)
            EXPECT_EQ(vec.end(), std::find(vec.begin(), vec.end(), LogSocket(vecLog[i]))) << "after: " << vecLog[i];
    }
    void SetUp() override
    {
        EngineFixture::SetUp();
        m_Sink.m_bEcho = true;
    }
    void TearDown() override
    {
        if (!m_strDir.empty()) // the server must not outlive a failed test
            RunNative(m_mapShared["PROXIES_SH"] + " kill " + m_strDir);
        EngineFixture::TearDown();
    }
    // Starts a private server of the case; its port, or 0 with *lpstrWhy.
    USHORT StartServer(std::string* lpstrWhy)
    {
        const char* lpszEnv = getenv("OXNET_PROXY_ENV");
        if (lpszEnv == NULL)
            return *lpstrWhy = "OXNET_PROXY_ENV unset: run under ctest, whose Proxies fixture starts the servers", 0;
        m_mapShared = LoadEnvFile(lpszEnv);
        if (m_mapShared.count("PROXIES_SH") == 0)
            return *lpstrWhy = std::string(lpszEnv) + " not readable or without PROXIES_SH", 0;
        static int s_iRun = 0;
        std::string strEnv = lpszEnv;
        m_strDir = strEnv.substr(0, strEnv.rfind('/')) + "/kill-" + std::to_string(GetCurrentProcessId()) + "-" +
                   std::to_string(++s_iRun);
        if (!RunNative(m_mapShared["PROXIES_SH"] + " one " + Case().lpszServer + " " + m_strDir))
            return *lpstrWhy = "could not run " + m_mapShared["PROXIES_SH"], 0;
        std::map<std::string, std::string> mapEnv;
        WaitUntil([&] { return (mapEnv = LoadEnvFile(m_strDir + "/proxies.env")).count("PROXY_HOST") != 0; }, 20000);
        *lpstrWhy = mapEnv.count("PROXY_HOST") == 0 ? m_strDir + "/proxies.env was not written"
                                                     : std::string(Case().lpszKey) + " missing: " +
                                                           mapEnv[std::string("MISSING_") + Case().lpszKey];
        return USHORT(atoi(mapEnv[Case().lpszKey].c_str()));
    }
    // SIGKILL to the server; Killed once it is gone (the file seen through
    // the drive that maps the Linux root).
    void KillServer() { RunNative(m_mapShared["PROXIES_SH"] + " kill " + m_strDir); }
    bool Killed() { return GetFileAttributesA(("Z:" + m_strDir + "/killed").c_str()) != INVALID_FILE_ATTRIBUTES; }

    std::map<std::string, std::string> m_mapShared;
    std::string m_strDir;
};

INSTANTIATE_TEST_SUITE_P(Engines, EngineFaultsProxy,
                         ::testing::Combine(::testing::ValuesIn(BuiltEngines()), ::testing::ValuesIn(g_caseKills)),
                         RowCaseName<KillCase>);

} // namespace

// Handshakes caught by the kill at every stage: a first batch waits on a
// target that never completes a connect (its backlog is full), more start
// while the kill is on its way, a few after it (refused).
TEST_P(EngineFaultsProxy, AKilledProxyEndsEveryHandshakeOnce)
{
    std::string strWhy;
    USHORT usProxy = StartServer(&strWhy);
    ASSERT_NE(0, usProxy) << strWhy;
    SOCKET sStuck = Raw(SOCK_STREAM);
    listen(sStuck, 1);
    HANDLE hProxy = m_lpMgr->CreateProxy(Case().uiType, "127.0.0.1", usProxy, NULL, NULL);
    std::vector<SOCKET> vec;
    auto Start = [&] {
        SOCKET s = m_lpMgr->CreateTcpSocket(hProxy, "127.0.0.1", 0, 7, DWORD(vec.size()));
        ASSERT_NE(INVALID_SOCKET, s);
        vec.push_back(s);
        EXPECT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", PortOf(sStuck)));
    };
    while (vec.size() < 16)
        Start();
    KillServer();
    for (; !Killed() && vec.size() < 40; Sleep(15))
        Start();
    ASSERT_TRUE(WaitUntil([&] { return Killed(); }, 15000)) << "the server was not killed";
    for (int i = 0; i < 4; ++i)
        Start();
    ExpectOneEndEach(vec);
    CloseAll(vec);
}

// Clients that send on whatever comes back keep bytes flowing both ways
// through the proxy to the manager's own echo server when the kill comes.
TEST_P(EngineFaultsProxy, AKilledProxyEndsEveryRelayedConnectionOnceWithTheBytesIntact)
{
    std::string strWhy;
    USHORT usProxy = StartServer(&strWhy);
    ASSERT_NE(0, usProxy) << strWhy;
    SOCKET sListen = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 1);
    ASSERT_TRUE(m_lpMgr->Listen(sListen, 64));
    HANDLE hProxy = m_lpMgr->CreateProxy(Case().uiType, "127.0.0.1", usProxy, NULL, NULL);
    const size_t nWindow = 16384, nCap = 64u << 20;
    // Shared with the sink's hook, which an event that was under way at the
    // end may still run after this test body has returned.
    struct Flow {
        std::mutex mtx;
        std::map<SOCKET, size_t> mapSent;
    };
    auto pFlow = std::make_shared<Flow>();
    m_Sink.m_fnData = [this, pFlow, nCap](SOCKET s, const char*, UINT* lpuiLen) {
        std::lock_guard<std::mutex> lock(pFlow->mtx);
        auto it = pFlow->mapSent.find(s);
        if (it != pFlow->mapSent.end() && it->second < nCap &&
            m_lpMgr->Send(s, Pattern(it->second, *lpuiLen).data(), int(*lpuiLen), 0, NULL))
            it->second += *lpuiLen;
    };
    std::vector<SOCKET> vec;
    for (DWORD i = 0; i < 24; ++i) {
        SOCKET s = m_lpMgr->CreateTcpSocket(hProxy, "127.0.0.1", 0, 7, i);
        ASSERT_TRUE(s != INVALID_SOCKET && m_lpMgr->Connect(s, "127.0.0.1", PortOf(sListen)));
        vec.push_back(s);
    }
    ASSERT_TRUE(WaitUntil([&] { return Count("connect 0 ") == vec.size() && Count("accept 0 ") == vec.size(); }))
        << ::testing::PrintToString(m_Sink.Log());
    for (SOCKET s : vec) {
        std::lock_guard<std::mutex> lock(pFlow->mtx);
        ASSERT_TRUE(m_lpMgr->Send(s, Pattern(0, nWindow).data(), int(nWindow), 0, NULL));
        pFlow->mapSent[s] = nWindow;
    }
    auto Flowing = [&] {
        for (SOCKET s : vec)
            if (m_Sink.Data(s).size() < 4 * nWindow)
                return false;
        return true;
    };
    ASSERT_TRUE(WaitUntil(Flowing)) << "the bytes do not flow through the proxy";
    KillServer();
    ASSERT_TRUE(WaitUntil([&] { return Killed(); }, 15000)) << "the server was not killed";
    std::vector<SOCKET> vecAll = vec;
    for (const std::string& str : m_Sink.Log()) // the echo server's sockets end too
        if (LogFields(str)[0] == "accept")
            vecAll.push_back(SOCKET(atoll(LogFields(str)[3].c_str())));
    ExpectOneEndEach(vecAll);
    for (SOCKET s : vecAll) {
        std::string strGot = m_Sink.Data(s); // the sent count only grows: read after the bytes
        std::lock_guard<std::mutex> lock(pFlow->mtx);
        size_t nSent = pFlow->mapSent.count(s) ? pFlow->mapSent[s] : nCap;
        EXPECT_TRUE(strGot == Pattern(0, strGot.size())) << "socket " << s << " got other bytes";
        EXPECT_LE(strGot.size(), nSent) << "socket " << s << " got more than sent";
    }
    {
        std::lock_guard<std::mutex> lock(pFlow->mtx);
        pFlow->mapSent.clear(); // a closed socket's handle may be the marker's next
    }
    CloseAll(vecAll); // with the hook free to run: the marker may wait behind it
}
