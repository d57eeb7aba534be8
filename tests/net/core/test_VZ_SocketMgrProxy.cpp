// Proxy records and the handshake steps of the socket manager base: the exact
// request bytes (UDP ASSOCIATE's through a real server: test_EngineProxy.cpp)
// and every verdict of a reply (random replies: bench_proxy_fuzz, ProxyFuzz.h).
#include <winsock2.h>
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "CheckCapture.h"
#include "net/NetTestUtil.h"
#include "net/TestSocketMgr.h"

namespace {

// "05 01 00" -> the three bytes.
std::string Hex(const char* lpsz)
{
    std::string str;
    for (char* lpEnd = NULL; *lpsz != '\0'; lpsz = lpEnd)
        str += static_cast<char>(strtoul(lpsz, &lpEnd, 16));
    return str;
}

const ULONG kTarget = 0x1401A8C0; // 192.168.1.20 in network order (little-endian host)
const USHORT kPort = 0x901F;      // 8080 in network order
const SOCKET kPair = 1234, kNone = INVALID_SOCKET; // a UDP pair, or none
const char kGuard = '\xA5';
const std::string kRefused = "<refused>";

class VZ_SocketMgrProxy : public testing::Test {
protected:
    HANDLE Proxy(UINT uiType, const char* lpUser = NULL, const char* lpPsw = NULL, USHORT usPort = 1080)
    {
        return m_mgr.CreateProxy(uiType, "10.0.0.1", usPort, lpUser, lpPsw);
    }
    // Builds into a buffer with guard bytes after PROXY_BUF_SIZE, checks them
    // and the length, returns the request or kRefused; a refusal must leave length 0.
    std::string Build(HANDLE h, UINT uiStep, SOCKET sPair = kNone)
    {
        char buf[PROXY_BUF_SIZE + 64];
        memset(buf, kGuard, sizeof(buf));
        UINT uiLen = 12345;
        bool bOk = m_mgr.BuildProxyRequest(buf, &uiLen, h, uiStep, sPair, kTarget, kPort);
        EXPECT_EQ(std::string(64, kGuard), std::string(buf + PROXY_BUF_SIZE, 64));
        EXPECT_LE(uiLen, bOk ? PROXY_BUF_SIZE : 0u);
        return bOk ? std::string(buf, uiLen < PROXY_BUF_SIZE ? uiLen : PROXY_BUF_SIZE) : kRefused;
    }

    CheckCapture m_Checks;
    TestSocketMgr m_mgr;
};

TEST_F(VZ_SocketMgrProxy, RequestBytesOfEveryStepAndType)
{
    const std::string strHttp = "CONNECT 192.168.1.20:8080 HTTP/1.1\r\n", strAuth = "Proxy-authorization: Basic ";
    struct { UINT uiType; const char* lpUser; const char* lpPsw; UINT uiStep; std::string strRequest; } cases[] = {
        {PROXY_SOCKS4, NULL, NULL, 1, Hex("04 01 1f 90 c0 a8 01 14 00")},
        {PROXY_SOCKS4, "bob", "pw", 1, Hex("04 01 1f 90 c0 a8 01 14 62 6f 62 00")},
        {PROXY_SOCKS5, NULL, NULL, 1, Hex("05 01 00")},
        {PROXY_SOCKS5, "bob", "pw", 1, Hex("05 01 02")},
        {PROXY_SOCKS5, "bob", "pw", 2, Hex("01 03 62 6f 62 02 70 77")},
        {PROXY_SOCKS5, NULL, "pw", 2, Hex("01 00 02 70 77")},
        {PROXY_SOCKS5, NULL, NULL, 3, Hex("05 01 00 01 c0 a8 01 14 1f 90")},
        {PROXY_SOCKS5, NULL, NULL, 5, Hex("05 02 00 01 7f 00 00 01 1f 90")},
        {PROXY_SOCKS5, NULL, NULL, 6, ""},
        {PROXY_SOCKS5, NULL, NULL, 7, ""},
        {PROXY_SOCKS5, NULL, NULL, 0, ""},
        {PROXY_HTTP, NULL, NULL, 1, strHttp + "\r\n"},
        {PROXY_HTTP, NULL, "pass", 1, strHttp + "\r\n"},
        // Base64 without padding, with 1 and 2 "=", and of bytes above 0x7F.
        {PROXY_HTTP, "user", "pass", 1, strHttp + strAuth + "dXNlcjpwYXNz\r\n\r\n"},
        {PROXY_HTTP, "f", "", 1, strHttp + strAuth + "Zjo=\r\n\r\n"},
        {PROXY_HTTP, "fo", "obar", 1, strHttp + strAuth + "Zm86b2Jhcg==\r\n\r\n"},
        {PROXY_HTTP, "\xff\xfe", "\x80", 1, strHttp + strAuth + "//46gA==\r\n\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.strRequest, Build(Proxy(c.uiType, c.lpUser, c.lpPsw), c.uiStep))
            << "type " << c.uiType << " step " << c.uiStep;
    EXPECT_EQ("", m_Checks.Conditions());
    // A user name without a password is reported; HTTP then sends no credentials.
    EXPECT_EQ(strHttp + "\r\n", Build(Proxy(PROXY_HTTP, "user", NULL), 1));
    EXPECT_EQ("lpPsw != NULL;", m_Checks.Conditions());
}

TEST_F(VZ_SocketMgrProxy, EveryVerdictOfEveryStep)
{
    const UINT S4 = PROXY_SOCKS4, S5 = PROXY_SOCKS5, HT = PROXY_HTTP;
    const ULONG T = kTarget;
    const std::string strGood = Hex("05 00 00 01 0a 01 02 03 04 38"); // 10.1.2.3:1080
    struct { UINT uiType, uiStep; SOCKET sPair; ULONG ulTarget; std::string strReply; int iResult; UINT uiNext; }
    cases[] = {
        {S4, 1, kNone, T, Hex("00 5a"), 0, 7},
        {S4, 1, kNone, T, Hex("00 5b"), 10061, 1},
        {S4, 1, kNone, T, Hex("01 5a"), 10061, 1},
        {S4, 1, kNone, T, Hex("00"), 10061, 1},
        {HT, 1, kNone, T, "  HTTP/1.0   204", 0, 7},
        {HT, 1, kNone, T, "HTTP/1.1 407 Proxy Authentication Required\r\n", 10061, 1},
        {HT, 1, kNone, T, "HTTP/1.1", 10061, 1},
        {HT, 1, kNone, T, std::string("HTTP/1.1\0 200", 13), 10061, 1},
        {S5, 1, kNone, T, Hex("05 00"), 0, 3},
        {S5, 1, kNone, 0, Hex("05 00"), 0, 5},
        {S5, 1, kPair, T, Hex("05 00"), 0, 4},
        {S5, 1, kNone, T, Hex("05 02"), 0, 2},
        {S5, 1, kNone, T, Hex("05 ff"), 10043, 1},
        {S5, 1, kNone, T, Hex("04 00"), 10043, 1},
        {S5, 1, kNone, T, Hex("05"), 10043, 1},
        {S5, 1, kNone, T, Hex("05 00 00"), 10043, 1},
        {S5, 2, kNone, T, Hex("01 00"), 0, 3},
        {S5, 2, kNone, 0, Hex("01 00"), 0, 5},
        {S5, 2, kPair, 0, Hex("01 00"), 0, 4},
        {S5, 2, kNone, T, Hex("01 01"), 86, 2},
        {S5, 2, kNone, T, Hex("01"), 86, 2},
        {S5, 2, kNone, T, Hex("01 00 00"), 86, 2},
        {S5, 3, kNone, T, strGood, 0, 7},
        {S5, 3, kNone, T, Hex("05 00 00 03 00 00 00 00 00 00"), 0, 7},
        {S5, 3, kNone, T, Hex("05 05 00 01 00 00 00 00 00 00"), 10061, 3},
        {S5, 3, kNone, T, strGood.substr(0, 9), 10061, 3},
        {S5, 4, kPair, T, strGood, 0, 7},
        {S5, 4, kPair, T, Hex("05 00 00 03 0a 01 02 03 04 38"), 10061, 4},
        {S5, 4, kPair, T, strGood + "x", 10061, 4},
        {S5, 5, kNone, 0, strGood, 0, 6},
        {S5, 5, kNone, 0, Hex("04 00 00 01 0a 01 02 03 04 38"), 10061, 5},
        {S5, 6, kNone, 0, strGood, 0, 7},
        {S5, 6, kNone, 0, Hex("05 01 00 01 0a 01 02 03 04 38"), 10022, 6},
        {S5, 6, kNone, 0, strGood.substr(0, 2), 10022, 6},
        {S5, 7, kNone, 0, "garbage", 0, 7},
        {HT, 9, kNone, 0, "", 0, 9},
    };
    for (const auto& c : cases) {
        UINT uiStep = c.uiStep;
        ULONG ulIP = c.ulTarget;
        USHORT usPort = 77;
        int iResult = m_mgr.CheckProxyReply(c.strReply.data(), static_cast<int>(c.strReply.size()), Proxy(c.uiType),
                                            &uiStep, c.sPair, &ulIP, &usPort);
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        EXPECT_EQ(c.iResult, iResult);
        EXPECT_EQ(c.uiNext, uiStep);
        // Only good replies of steps 4, 5 and 6 hand out their address.
        bool bAddr = iResult == 0 && c.uiStep >= 4 && c.uiStep <= 6;
        EXPECT_EQ(bAddr ? inet_addr("10.1.2.3") : c.ulTarget, ulIP);
        EXPECT_EQ(bAddr ? htons(1080) : 77, usPort);
    }
}

// Records are found again by their arguments; names up to 255 bytes fit the
// SOCKS5 length bytes and every request still fits the buffer; longer names
// and bad addresses are refused; a record destroyed mid-handshake refuses
// the next step.
TEST_F(VZ_SocketMgrProxy, RecordsFoundAgainRefusedAndDestroyedMidHandshake)
{
    HANDLE h = Proxy(PROXY_SOCKS5), hUser = Proxy(PROXY_SOCKS5, "u", "p");
    EXPECT_TRUE(h == Proxy(PROXY_SOCKS5) && hUser == Proxy(PROXY_SOCKS5, "u", "p"));
    // One argument differs in each: five new records. (The address FindProxy
    // gives is the one every engine connects to in test_EngineProxy.cpp.)
    Proxy(PROXY_SOCKS5, NULL, NULL, 1081), Proxy(PROXY_SOCKS4), Proxy(PROXY_SOCKS5, NULL, "");
    Proxy(PROXY_SOCKS5, "u", "q"), m_mgr.CreateProxy(PROXY_SOCKS5, "10.0.0.2", 1080, NULL, NULL);
    EXPECT_EQ(7, m_mgr.m_listProxy.GetCount());
    EXPECT_EQ("", m_Checks.Conditions());
    EXPECT_TRUE(m_mgr.CreateProxy(PROXY_SOCKS5, NULL, 1080, NULL, NULL) == NULL &&
                m_mgr.CreateProxy(PROXY_SOCKS5, "proxy.example", 1080, NULL, NULL) == NULL && m_mgr.DestroyProxy(NULL));
    EXPECT_EQ("lpAddr;ulIP != INADDR_NONE;hProxy != NULL;", m_Checks.Conditions());
    std::string str255(255, '\xff'), str256(256, 'n');
    EXPECT_TRUE(Proxy(PROXY_SOCKS5, str256.c_str(), "p") == NULL && Proxy(PROXY_SOCKS5, "u", str256.c_str()) == NULL);
    HANDLE hLong = Proxy(PROXY_SOCKS5, str255.c_str(), str255.c_str());
    EXPECT_EQ(Hex("01 ff") + str255 + Hex("ff") + str255, Build(hLong, 2));
    for (UINT uiType : {PROXY_SOCKS4, PROXY_SOCKS5, PROXY_HTTP})
        for (UINT uiStep = 0; uiStep <= 8; ++uiStep) // Build checks the guard bytes
            EXPECT_NE(kRefused, Build(Proxy(uiType, str255.c_str(), str255.c_str()), uiStep))
                << "type " << uiType << " step " << uiStep;

    EXPECT_TRUE(m_mgr.DestroyProxy(hUser) && m_mgr.DestroyProxy(hUser)); // gone already: still true
    UINT uiStep = 2; // its requests are refused too: ProxySessionTest
    ULONG ulIP = 0;
    USHORT usPort = 0;
    EXPECT_EQ(6, m_mgr.CheckProxyReply("\x01\x00", 2, hUser, &uiStep, kNone, NULL, NULL));
    EXPECT_EQ(2u, uiStep);
    EXPECT_FALSE(m_mgr.FindProxy(hUser, &ulIP, &usPort));
}

} // namespace
