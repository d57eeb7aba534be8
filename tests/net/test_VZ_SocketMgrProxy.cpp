// Proxy records and the handshake steps of the socket manager base: the exact
// request bytes, every verdict of a reply, and bounds under random input.
#include <winsock2.h>
#include <windows.h>

#include <limits.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VZ_Assert.h"
#include "net/TestSocketMgr.h"

namespace {

std::vector<std::string> g_vecReports;

void CaptureReport(const char* lpszExpr, const char*, int)
{
    g_vecReports.push_back(lpszExpr);
}

// Bytes of a literal with embedded zeros.
template<size_t N>
std::string Bytes(const char (&a)[N])
{
    return std::string(a, N - 1);
}

// Network-order values from their bytes (no Winsock call before start-up).
ULONG NetIP(BYTE a, BYTE b, BYTE c, BYTE d)
{
    BYTE by[4] = {a, b, c, d};
    ULONG ul;
    memcpy(&ul, by, 4);
    return ul;
}

USHORT NetPort(USHORT us)
{
    BYTE by[2] = {static_cast<BYTE>(us >> 8), static_cast<BYTE>(us)};
    USHORT usNet;
    memcpy(&usNet, by, 2);
    return usNet;
}

const ULONG kTargetIP = NetIP(192, 168, 1, 20); // c0 a8 01 14
const USHORT kTargetPort = NetPort(8080);       // 1f 90
const SOCKET kSomePair = 1234;                     // any sPair other than INVALID_SOCKET
const size_t kGuard = 64;
const char kGuardByte = '\xA5';

// Bytes that end right before a no-access page: reading one byte past them faults.
class GuardedBytes {
public:
    explicit GuardedBytes(size_t uiMax)
    {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        m_uiData = (uiMax + si.dwPageSize) / si.dwPageSize * si.dwPageSize;
        m_lpBase = static_cast<char*>(VirtualAlloc(NULL, m_uiData + si.dwPageSize, MEM_COMMIT, PAGE_READWRITE));
        DWORD dwOld = 0;
        VirtualProtect(m_lpBase + m_uiData, si.dwPageSize, PAGE_NOACCESS, &dwOld);
    }
    ~GuardedBytes() { VirtualFree(m_lpBase, 0, MEM_RELEASE); }
    char* Tail(size_t uiLen) { return m_lpBase + m_uiData - uiLen; }

private:
    char* m_lpBase;
    size_t m_uiData;
};

class VZ_SocketMgrProxy : public testing::Test {
protected:
    void SetUp() override
    {
        g_vecReports.clear();
        m_lpOld = VZ_SetAssertHandler(CaptureReport);
    }
    void TearDown() override { VZ_SetAssertHandler(m_lpOld); }

    // Builds into a buffer with guard bytes after PROXY_BUF_SIZE; checks the
    // guards and the length bound, returns the request.
    std::string Build(HANDLE h, UINT uiStep, bool* lpbOk = NULL, SOCKET sPair = INVALID_SOCKET,
                      ULONG ulIP = kTargetIP, USHORT usPort = kTargetPort)
    {
        char buf[PROXY_BUF_SIZE + kGuard];
        memset(buf, kGuardByte, sizeof(buf));
        UINT uiLen = 12345;
        bool bOk = m_mgr.BuildProxyRequest(buf, &uiLen, h, uiStep, sPair, ulIP, usPort);
        if (lpbOk != NULL)
            *lpbOk = bOk;
        EXPECT_EQ(std::string(kGuard, kGuardByte), std::string(buf + PROXY_BUF_SIZE, kGuard));
        EXPECT_LE(uiLen, static_cast<UINT>(PROXY_BUF_SIZE));
        if (!bOk) {
            EXPECT_EQ(0u, uiLen);
        }
        return std::string(buf, uiLen < PROXY_BUF_SIZE ? uiLen : PROXY_BUF_SIZE);
    }

    TestSocketMgr m_mgr;
    VZ_AssertHandler m_lpOld = NULL;
};

TEST_F(VZ_SocketMgrProxy, RequestBytesOfEveryStepAndType)
{
    struct Case {
        UINT uiType;
        const char* lpUser;
        const char* lpPsw;
        UINT uiStep;
        std::string strRequest;
    } cases[] = {
        {PROXY_SOCKS4, NULL, NULL, 1, Bytes("\x04\x01\x1f\x90\xc0\xa8\x01\x14\x00")},
        {PROXY_SOCKS4, "bob", "pw", 1, Bytes("\x04\x01\x1f\x90\xc0\xa8\x01\x14" "bob\x00")},
        {PROXY_SOCKS5, NULL, NULL, 1, Bytes("\x05\x01\x00")},
        {PROXY_SOCKS5, "bob", "pw", 1, Bytes("\x05\x01\x02")},
        {PROXY_SOCKS5, "bob", "pw", 2, Bytes("\x01\x03" "bob" "\x02" "pw")},
        {PROXY_SOCKS5, NULL, "pw", 2, Bytes("\x01\x00\x02" "pw")},
        {PROXY_SOCKS5, NULL, NULL, 3, Bytes("\x05\x01\x00\x01\xc0\xa8\x01\x14\x1f\x90")},
        {PROXY_SOCKS5, NULL, NULL, 5, Bytes("\x05\x02\x00\x01\x7f\x00\x00\x01\x1f\x90")},
        {PROXY_SOCKS5, NULL, NULL, 6, ""},
        {PROXY_SOCKS5, NULL, NULL, 7, ""},
        {PROXY_SOCKS5, NULL, NULL, 0, ""},
        {PROXY_HTTP, NULL, NULL, 1, "CONNECT 192.168.1.20:8080 HTTP/1.1\r\n\r\n"},
        {PROXY_HTTP, NULL, "pass", 1, "CONNECT 192.168.1.20:8080 HTTP/1.1\r\n\r\n"},
        {PROXY_HTTP, "user", "pass", 1,
         "CONNECT 192.168.1.20:8080 HTTP/1.1\r\nProxy-authorization: Basic dXNlcjpwYXNz\r\n\r\n"},
        // Base64 padding of 1 and 2, and bytes above 0x7F.
        {PROXY_HTTP, "f", "", 1, "CONNECT 192.168.1.20:8080 HTTP/1.1\r\nProxy-authorization: Basic Zjo=\r\n\r\n"},
        {PROXY_HTTP, "fo", "obar", 1,
         "CONNECT 192.168.1.20:8080 HTTP/1.1\r\nProxy-authorization: Basic Zm86b2Jhcg==\r\n\r\n"},
        {PROXY_HTTP, "\xff\xfe", "\x80", 1,
         "CONNECT 192.168.1.20:8080 HTTP/1.1\r\nProxy-authorization: Basic //46gA==\r\n\r\n"},
    };
    for (const Case& c : cases) {
        HANDLE h = m_mgr.CreateProxy(c.uiType, "10.0.0.1", 1080, c.lpUser, c.lpPsw);
        ASSERT_NE(nullptr, h);
        bool bOk = false;
        EXPECT_EQ(c.strRequest, Build(h, c.uiStep, &bOk)) << "type " << c.uiType << " step " << c.uiStep;
        EXPECT_TRUE(bOk);
    }
    EXPECT_TRUE(g_vecReports.empty());

    // A user name without a password is reported; HTTP then sends no credentials.
    HANDLE h = m_mgr.CreateProxy(PROXY_HTTP, "10.0.0.1", 1080, "user", NULL);
    ASSERT_EQ(std::vector<std::string>{"lpPsw != NULL"}, g_vecReports);
    EXPECT_EQ("CONNECT 192.168.1.20:8080 HTTP/1.1\r\n\r\n", Build(h, 1));
}

TEST_F(VZ_SocketMgrProxy, UdpAssociateCarriesTheUdpSocketsAddress)
{
    HANDLE h = m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, NULL, NULL);
    SOCKET sBound = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKET sFresh = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(INVALID_SOCKET, sBound);
    ASSERT_NE(INVALID_SOCKET, sFresh);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(sBound, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    int iLen = sizeof(addr);
    ASSERT_EQ(0, getsockname(sBound, reinterpret_cast<sockaddr*>(&addr), &iLen));

    // A bound socket keeps its address; the target does not matter.
    std::string strExpect = Bytes("\x05\x03\x00\x01\x7f\x00\x00\x01") + std::string(reinterpret_cast<char*>(&addr.sin_port), 2);
    EXPECT_EQ(strExpect, Build(h, 4, NULL, sBound, 0, 0));
    // An unbound one is bound to any address with a fresh port first.
    std::string strFresh = Build(h, 4, NULL, sFresh);
    ASSERT_EQ(10u, strFresh.size());
    EXPECT_EQ(Bytes("\x05\x03\x00\x01\x00\x00\x00\x00"), strFresh.substr(0, 8));
    EXPECT_NE(std::string(2, '\0'), strFresh.substr(8));
    closesocket(sBound);
    closesocket(sFresh);
}

TEST_F(VZ_SocketMgrProxy, EveryVerdictOfEveryStep)
{
    const std::string strGood = Bytes("\x05\x00\x00\x01\x0a\x01\x02\x03\x04\x38"); // 10.1.2.3:1080
    struct Case {
        UINT uiType;
        UINT uiStep;
        SOCKET sPair;
        ULONG ulTarget;
        std::string strReply;
        int iResult;
        UINT uiNextStep;
    } cases[] = {
        {PROXY_SOCKS4, 1, INVALID_SOCKET, kTargetIP, Bytes("\x00\x5a"), 0, 7},
        {PROXY_SOCKS4, 1, INVALID_SOCKET, kTargetIP, Bytes("\x00\x5a\x00\x00\x00\x00\x00\x00"), 0, 7},
        {PROXY_SOCKS4, 1, INVALID_SOCKET, kTargetIP, Bytes("\x00\x5b"), 10061, 1},
        {PROXY_SOCKS4, 1, INVALID_SOCKET, kTargetIP, Bytes("\x01\x5a"), 10061, 1},
        {PROXY_SOCKS4, 1, INVALID_SOCKET, kTargetIP, Bytes("\x00"), 10061, 1},
        {PROXY_HTTP, 1, INVALID_SOCKET, kTargetIP, "HTTP/1.1 200 Connection established\r\n\r\n", 0, 7},
        {PROXY_HTTP, 1, INVALID_SOCKET, kTargetIP, "  HTTP/1.0   204", 0, 7},
        {PROXY_HTTP, 1, INVALID_SOCKET, kTargetIP, "HTTP/1.1 407 Proxy Authentication Required\r\n", 10061, 1},
        {PROXY_HTTP, 1, INVALID_SOCKET, kTargetIP, "HTTP/1.1", 10061, 1},
        {PROXY_HTTP, 1, INVALID_SOCKET, kTargetIP, "HTTP/1.1   ", 10061, 1},
        {PROXY_HTTP, 1, INVALID_SOCKET, kTargetIP, Bytes("HTTP/1.1\x00 200"), 10061, 1},
        {PROXY_HTTP, 1, INVALID_SOCKET, kTargetIP, "", 10061, 1},
        {PROXY_SOCKS5, 1, INVALID_SOCKET, kTargetIP, Bytes("\x05\x00"), 0, 3},
        {PROXY_SOCKS5, 1, INVALID_SOCKET, 0, Bytes("\x05\x00"), 0, 5},
        {PROXY_SOCKS5, 1, kSomePair, kTargetIP, Bytes("\x05\x00"), 0, 4},
        {PROXY_SOCKS5, 1, INVALID_SOCKET, kTargetIP, Bytes("\x05\x02"), 0, 2},
        {PROXY_SOCKS5, 1, INVALID_SOCKET, kTargetIP, Bytes("\x05\xff"), 10043, 1},
        {PROXY_SOCKS5, 1, INVALID_SOCKET, kTargetIP, Bytes("\x04\x00"), 10043, 1},
        {PROXY_SOCKS5, 1, INVALID_SOCKET, kTargetIP, Bytes("\x05"), 10043, 1},
        {PROXY_SOCKS5, 1, INVALID_SOCKET, kTargetIP, Bytes("\x05\x00\x00"), 10043, 1},
        {PROXY_SOCKS5, 2, INVALID_SOCKET, kTargetIP, Bytes("\x01\x00"), 0, 3},
        {PROXY_SOCKS5, 2, INVALID_SOCKET, 0, Bytes("\x01\x00"), 0, 5},
        {PROXY_SOCKS5, 2, kSomePair, 0, Bytes("\x01\x00"), 0, 4},
        {PROXY_SOCKS5, 2, INVALID_SOCKET, kTargetIP, Bytes("\x01\x01"), 86, 2},
        {PROXY_SOCKS5, 2, INVALID_SOCKET, kTargetIP, Bytes("\x01"), 86, 2},
        {PROXY_SOCKS5, 2, INVALID_SOCKET, kTargetIP, Bytes("\x01\x00\x00"), 86, 2},
        {PROXY_SOCKS5, 3, INVALID_SOCKET, kTargetIP, strGood, 0, 7},
        {PROXY_SOCKS5, 3, INVALID_SOCKET, kTargetIP, Bytes("\x05\x00\x00\x03\x00\x00\x00\x00\x00\x00"), 0, 7},
        {PROXY_SOCKS5, 3, INVALID_SOCKET, kTargetIP, Bytes("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00"), 10061, 3},
        {PROXY_SOCKS5, 3, INVALID_SOCKET, kTargetIP, strGood.substr(0, 9), 10061, 3},
        {PROXY_SOCKS5, 4, kSomePair, kTargetIP, strGood, 0, 7},
        {PROXY_SOCKS5, 4, kSomePair, kTargetIP, Bytes("\x05\x00\x00\x03\x0a\x01\x02\x03\x04\x38"), 10061, 4},
        {PROXY_SOCKS5, 4, kSomePair, kTargetIP, strGood + "x", 10061, 4},
        {PROXY_SOCKS5, 5, INVALID_SOCKET, 0, strGood, 0, 6},
        {PROXY_SOCKS5, 5, INVALID_SOCKET, 0, Bytes("\x04\x00\x00\x01\x0a\x01\x02\x03\x04\x38"), 10061, 5},
        {PROXY_SOCKS5, 6, INVALID_SOCKET, 0, strGood, 0, 7},
        {PROXY_SOCKS5, 6, INVALID_SOCKET, 0, Bytes("\x05\x01\x00\x01\x0a\x01\x02\x03\x04\x38"), 10022, 6},
        {PROXY_SOCKS5, 6, INVALID_SOCKET, 0, strGood.substr(0, 2), 10022, 6},
        {PROXY_SOCKS5, 7, INVALID_SOCKET, 0, "garbage", 0, 7},
        {PROXY_HTTP, 9, INVALID_SOCKET, 0, "", 0, 9},
    };
    for (const Case& c : cases) {
        HANDLE h = m_mgr.CreateProxy(c.uiType, "10.0.0.1", 1080, NULL, NULL);
        UINT uiStep = c.uiStep;
        ULONG ulIP = c.ulTarget;
        USHORT usPort = 77;
        int iResult = m_mgr.CheckProxyReply(c.strReply.data(), static_cast<int>(c.strReply.size()), h, &uiStep,
                                            c.sPair, &ulIP, &usPort);
        SCOPED_TRACE(testing::Message() << "type " << c.uiType << " step " << c.uiStep << " reply of "
                                        << c.strReply.size());
        EXPECT_EQ(c.iResult, iResult);
        EXPECT_EQ(c.uiNextStep, uiStep);
        // Only good replies of steps 4, 5 and 6 hand out their address.
        bool bAddr = iResult == 0 && c.uiStep >= 4 && c.uiStep <= 6;
        EXPECT_EQ(bAddr ? inet_addr("10.1.2.3") : c.ulTarget, ulIP);
        EXPECT_EQ(bAddr ? htons(1080) : 77, usPort);
    }
}

TEST_F(VZ_SocketMgrProxy, RecordsAreSharedByEqualArguments)
{
    HANDLE h = m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, NULL, NULL);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(h, m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, NULL, NULL));
    HANDLE hOthers[] = {
        m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1081, NULL, NULL),
        m_mgr.CreateProxy(PROXY_SOCKS4, "10.0.0.1", 1080, NULL, NULL),
        m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.2", 1080, NULL, NULL),
        m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, NULL, ""),
        m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, "u", "p"),
    };
    for (HANDLE hOther : hOthers)
        EXPECT_NE(h, hOther);
    EXPECT_EQ(hOthers[4], m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, "u", "p"));
    EXPECT_NE(hOthers[4], m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, "u", "q"));
    EXPECT_EQ(7, m_mgr.m_listProxy.GetCount());

    ULONG ulIP = 0;
    USHORT usPort = 0;
    ASSERT_TRUE(m_mgr.FindProxy(hOthers[0], &ulIP, &usPort));
    EXPECT_EQ(inet_addr("10.0.0.1"), ulIP);
    EXPECT_EQ(htons(1081), usPort);
    EXPECT_TRUE(g_vecReports.empty());
}

TEST_F(VZ_SocketMgrProxy, BadArgumentsAreRefused)
{
    EXPECT_EQ(nullptr, m_mgr.CreateProxy(PROXY_SOCKS5, NULL, 1080, NULL, NULL));
    EXPECT_EQ(nullptr, m_mgr.CreateProxy(PROXY_SOCKS5, "proxy.example", 1080, NULL, NULL));
    EXPECT_TRUE(m_mgr.DestroyProxy(NULL));
    EXPECT_EQ((std::vector<std::string>{"lpAddr", "ulIP != INADDR_NONE", "hProxy != NULL"}), g_vecReports);

    // Names up to 255 bytes fit the SOCKS5 length bytes; longer ones are refused.
    std::string str255(255, 'n'), str256(256, 'n');
    EXPECT_EQ(nullptr, m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, str256.c_str(), "p"));
    EXPECT_EQ(nullptr, m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, "u", str256.c_str()));
    HANDLE h = m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, str255.c_str(), str255.c_str());
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(Bytes("\x01\xff") + str255 + Bytes("\xff") + str255, Build(h, 2));
    EXPECT_EQ(1, m_mgr.m_listProxy.GetCount());
}

TEST_F(VZ_SocketMgrProxy, ProxyDestroyedMidHandshake)
{
    HANDLE h = m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, "u", "p");
    EXPECT_EQ(Bytes("\x05\x01\x02"), Build(h, 1));
    EXPECT_TRUE(m_mgr.DestroyProxy(h));
    EXPECT_TRUE(m_mgr.DestroyProxy(h)); // gone already: still true
    EXPECT_EQ(0, m_mgr.m_listProxy.GetCount());

    bool bOk = true;
    EXPECT_EQ("", Build(h, 2, &bOk));
    EXPECT_FALSE(bOk);
    UINT uiStep = 2;
    EXPECT_EQ(6, m_mgr.CheckProxyReply("\x01\x00", 2, h, &uiStep, INVALID_SOCKET, NULL, NULL));
    EXPECT_EQ(2u, uiStep);
    ULONG ulIP = 0;
    USHORT usPort = 0;
    EXPECT_FALSE(m_mgr.FindProxy(h, &ulIP, &usPort));
}

// A record that no CreateProxy would make (names far too long) must still
// never be written past the request buffer.
TEST_F(VZ_SocketMgrProxy, RequestsThatDoNotFitAreRefused)
{
    const UINT uiName = 1500;
    _PROXYDATA* p = static_cast<_PROXYDATA*>(m_mgr.m_Memory.Alloc(sizeof(_PROXYDATA) + 2 * (uiName + 1)));
    memset(p, 0, sizeof(_PROXYDATA));
    p->ulIP = inet_addr("10.0.0.1");
    p->lpUser = reinterpret_cast<char*>(p + 1);
    p->lpPsw = p->lpUser + uiName + 1;
    memset(p->lpUser, 'u', 2 * (uiName + 1));
    p->lpUser[uiName] = p->lpPsw[uiName] = '\0';
    {
        VZ_AutoLock lock(&m_mgr.m_listProxy);
        m_mgr.m_listProxy.AddTail(p);
    }
    for (UINT uiType : {PROXY_SOCKS4, PROXY_HTTP}) {
        p->uiType = uiType;
        for (UINT uiStep : {1u, 2u}) {
            bool bOk = true;
            EXPECT_EQ("", Build(p, uiStep, &bOk));
            EXPECT_FALSE(bOk) << "type " << uiType << " step " << uiStep;
        }
    }
    EXPECT_TRUE(m_mgr.DestroyProxy(p));
}

// Each step waits while another thread holds the proxy list.
TEST_F(VZ_SocketMgrProxy, StepsWaitForTheListLock)
{
    struct Ctx {
        TestSocketMgr* lpMgr;
        HANDLE hProxy;
        int iStep;
        volatile LONG lDone;
    };
    for (int iStep = 0; iStep < 3; ++iStep) {
        Ctx ctx = {&m_mgr, m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 1080, NULL, NULL), iStep, 0};
        m_mgr.m_listProxy.Lock();
        HANDLE hThread = CreateThread(NULL, 0, [](LPVOID lp) -> DWORD {
            Ctx* c = static_cast<Ctx*>(lp);
            char buf[PROXY_BUF_SIZE];
            UINT uiLen = 0, uiStep = 1;
            ULONG ulIP = 0;
            USHORT usPort = 0;
            if (c->iStep == 0)
                c->lpMgr->FindProxy(c->hProxy, &ulIP, &usPort);
            else if (c->iStep == 1)
                c->lpMgr->BuildProxyRequest(buf, &uiLen, c->hProxy, 1, INVALID_SOCKET, 0, 0);
            else
                c->lpMgr->CheckProxyReply("\x05\x00", 2, c->hProxy, &uiStep, INVALID_SOCKET, &ulIP, &usPort);
            InterlockedExchange(&c->lDone, 1);
            return 0;
        }, &ctx, 0, NULL);
        ASSERT_NE(nullptr, hThread);
        Sleep(100);
        EXPECT_EQ(0, ctx.lDone) << "step function " << iStep << " ran without the lock";
        m_mgr.m_listProxy.Unlock();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 10000));
        EXPECT_EQ(1, ctx.lDone);
        CloseHandle(hThread);
    }
}

// Random replies of random lengths, each ending right at a no-access page.
TEST_F(VZ_SocketMgrProxy, RandomRepliesAreJudgedWithinTheirLength)
{
    const size_t uiMax = 70000;
    GuardedBytes guarded(uiMax);
    std::mt19937 rng(20261205);
    const BYTE byLikely[] = {0x00, 0x01, 0x02, 0x04, 0x05, 0x5A, ' ', '2', 'H'};
    HANDLE hProxies[] = {m_mgr.CreateProxy(PROXY_SOCKS4, "10.0.0.1", 1, NULL, NULL),
                         m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.1", 2, NULL, NULL),
                         m_mgr.CreateProxy(PROXY_HTTP, "10.0.0.1", 3, NULL, NULL)};
    for (int i = 0; i < 20000; ++i) {
        size_t uiLen = rng() % 64 == 0 ? rng() % uiMax : rng() % 16;
        char* lpReply = guarded.Tail(uiLen);
        for (size_t k = 0; k < uiLen; ++k)
            lpReply[k] = static_cast<char>(rng() % 2 ? byLikely[rng() % sizeof(byLikely)] : rng() % 256);
        int iLen = static_cast<int>(uiLen);
        if (i % 50 == 0)
            iLen = i % 100 == 0 ? INT_MIN : -1 - static_cast<int>(rng() % 1000);
        UINT uiFrom = rng() % 9, uiStep = uiFrom;
        ULONG ulIP = rng() % 2;
        USHORT usPort = 0;
        SOCKET sPair = rng() % 2 ? INVALID_SOCKET : kSomePair;
        int iResult = m_mgr.CheckProxyReply(lpReply, iLen, hProxies[rng() % 3], &uiStep, sPair, &ulIP, &usPort);
        // Steps 1 to 6 fail (step kept) or move forward; others always pass unchanged.
        bool bJudged = uiFrom >= 1 && uiFrom <= 6;
        if (iResult != 0) {
            ASSERT_TRUE(iResult == 86 || iResult == 10022 || iResult == 10043 || iResult == 10061) << iResult;
            ASSERT_TRUE(bJudged);
            ASSERT_EQ(uiFrom, uiStep);
        } else {
            ASSERT_TRUE(bJudged ? uiStep > uiFrom && uiStep <= 7 && iLen > 0 : uiStep == uiFrom);
        }
    }
}

// Random names of random lengths around the 255-byte limit.
TEST_F(VZ_SocketMgrProxy, RandomNamesNeverOverrunTheRequest)
{
    std::mt19937 rng(4648);
    for (int i = 0; i < 20000; ++i) {
        std::string strName[2];
        const char* lpName[2] = {NULL, NULL};
        for (int k = 0; k < 2; ++k) {
            if (rng() % 4 == 0)
                continue;
            strName[k].resize(rng() % 2 ? rng() % 300 : 240 + rng() % 30);
            for (char& ch : strName[k])
                ch = static_cast<char>(1 + rng() % 255);
            lpName[k] = strName[k].c_str();
        }
        UINT uiType = 1 + rng() % 3;
        HANDLE h = m_mgr.CreateProxy(uiType, "10.0.0.1", 1080, lpName[0], lpName[1]);
        if (strName[0].size() > 255 || strName[1].size() > 255) {
            ASSERT_EQ(nullptr, h);
            continue;
        }
        ASSERT_NE(nullptr, h);
        UINT uiStep = rng() % 9;
        bool bOk = false;
        Build(h, uiStep, &bOk, INVALID_SOCKET, rng(), static_cast<USHORT>(rng()));
        ASSERT_TRUE(bOk) << "type " << uiType << " step " << uiStep;
        ASSERT_TRUE(m_mgr.DestroyProxy(h));
    }
    EXPECT_EQ(0, m_mgr.m_listProxy.GetCount());
}

} // namespace
