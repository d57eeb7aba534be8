// The SOCKS5 server of oxsocks (see SocksServer.h).
#include "SocksServer.h"

#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const int LISTEN_BACKLOG = 64;
const UINT RELAY_NOTICE = 1; // a relay takes any bytes there are

enum {
    REP_SUCCESS = 0x00,
    REP_FAILURE = 0x01,
    REP_NET_UNREACHABLE = 0x03,
    REP_HOST_UNREACHABLE = 0x04,
    REP_REFUSED = 0x05,
    REP_COMMAND = 0x07,
    REP_ADDRESS_TYPE = 0x08
};

// Four address bytes in network order, dotted.
std::string Dotted(const void* lpAddr)
{
    char sz[16];
    const BYTE* b = static_cast<const BYTE*>(lpAddr);
    std::snprintf(sz, sizeof(sz), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return sz;
}

// Bytes the handshake message at p needs in all, judged from the uiHeld
// bytes there are (a length byte not yet there counts as missing).
UINT MessageLen(VZ_SocksConn::Phase phase, const BYTE* p, UINT uiHeld)
{
    if (phase == VZ_SocksConn::GREETING) // VER NMETHODS METHODS...
        return uiHeld < 2 ? 2 : 2u + p[1];
    if (phase == VZ_SocksConn::AUTH) { // VER ULEN UNAME PLEN PASSWD
        if (uiHeld < 2)
            return 2;
        UINT uiPlenAt = 2u + p[1];
        return uiHeld <= uiPlenAt ? uiPlenAt + 1 : uiPlenAt + 1 + p[uiPlenAt];
    }
    if (uiHeld < 5) // VER CMD RSV ATYP ADDR PORT
        return 5;
    switch (p[3]) {
    case 1:
        return 10;
    case 3:
        return 7u + p[4];
    case 4:
        return 22;
    default:
        return 5; // answered with "address type not supported"
    }
}

// The reply code for a failed connect. The select engine reports every
// failed connect as a time-out; the socket's own error then tells more.
BYTE ReplyCode(int iError, SOCKET s)
{
    int iSoError = 0;
    int iLen = sizeof(iSoError);
    if (iError == WSAETIMEDOUT && getsockopt(s, SOL_SOCKET, SO_ERROR, (char*)&iSoError, &iLen) == 0 && iSoError != 0)
        iError = iSoError;
    switch (iError) {
    case WSAECONNREFUSED:
        return REP_REFUSED;
    case WSAEHOSTUNREACH:
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
        return REP_HOST_UNREACHABLE;
    case WSAENETUNREACH:
        return REP_NET_UNREACHABLE;
    default:
        return REP_FAILURE;
    }
}

} // namespace

void VZ_SocksAfter::Read(SOCKET s, UINT uiLen)
{
    int i = sRecv[0] == INVALID_SOCKET ? 0 : 1;
    sRecv[i] = s;
    uiRecvLen[i] = uiLen;
}

void VZ_SocksAfter::Close(SOCKET s)
{
    sClose[sClose[0] == INVALID_SOCKET ? 0 : 1] = s;
}

VZ_SocksServer::VZ_SocksServer(const VZ_SocksOptions& opt)
    : m_opt(opt), m_lpMgr(NULL), m_bExactSends(opt.strEngine.find("Iocp") != std::string::npos),
      m_sListen(INVALID_SOCKET), m_usPort(0), m_dwNextId(0), m_ullConns(0), m_ullUp(0), m_ullDown(0)
{
}

bool VZ_SocksServer::Start()
{
    m_lpMgr = oxCreateInstance(m_opt.strEngine.c_str());
    if (m_lpMgr == NULL) {
        std::fprintf(stderr, "oxsocks: no manager for \"%s\"\n", m_opt.strEngine.c_str());
        return false;
    }
    m_lpMgr->SetSink(this); // before Initialize: the select threads take the sink they are made with
    if (!m_lpMgr->Initialize(0, 0, 0, 0)) {
        std::fprintf(stderr, "oxsocks: the manager did not start\n");
        return Discard();
    }
    m_sListen = m_lpMgr->CreateTcpSocket(NULL, m_opt.strListenAddr.c_str(), m_opt.usListenPort, 0, 0);
    sockaddr_in addr;
    int iLen = sizeof(addr);
    if (m_sListen == INVALID_SOCKET || !m_lpMgr->Listen(m_sListen, LISTEN_BACKLOG) ||
        getsockname(m_sListen, (sockaddr*)&addr, &iLen) != 0) {
        std::fprintf(stderr, "oxsocks: cannot listen on %s:%u\n", m_opt.strListenAddr.c_str(), m_opt.usListenPort);
        m_lpMgr->Uninitialize(0);
        return Discard();
    }
    m_usPort = ntohs(addr.sin_port);
    return true;
}

bool VZ_SocksServer::Discard()
{
    oxDestroyInstance(m_lpMgr);
    m_lpMgr = NULL;
    return false;
}

void VZ_SocksServer::Stop()
{
    if (m_lpMgr == NULL)
        return;
    if (m_sListen != INVALID_SOCKET)
        m_lpMgr->CloseSocket(m_sListen);
    m_lpMgr->Uninitialize(0); // closes every socket; no event follows
    oxDestroyInstance(m_lpMgr);
    m_lpMgr = NULL;
    std::map<DWORD, ConnPtr> mapOpen;
    {
        std::lock_guard<std::mutex> lock(m_mtxConns);
        mapOpen.swap(m_mapConns);
    }
    for (auto& item : mapOpen) {
        if (item.second->strEnd.empty())
            item.second->strEnd = "stopped";
        Log(*item.second);
    }
    PROCESS_MEMORY_COUNTERS pmc;
    std::memset(&pmc, 0, sizeof(pmc));
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    std::printf("oxsocks: stopped: %llu connections, %llu bytes up, %llu bytes down, "
                "peak working set %llu KiB, peak pagefile %llu KiB\n",
                m_ullConns, m_ullUp, m_ullDown, (ULONGLONG)pmc.PeakWorkingSetSize / 1024,
                (ULONGLONG)pmc.PeakPagefileUsage / 1024);
    std::fflush(stdout);
}

VZ_SocksServer::ConnPtr VZ_SocksServer::Find(DWORD dwId)
{
    std::lock_guard<std::mutex> lock(m_mtxConns);
    auto it = m_mapConns.find(dwId);
    return it == m_mapConns.end() ? ConnPtr() : it->second;
}

void VZ_SocksServer::Finish(const ConnPtr& lpConn, const VZ_SocksAfter& after)
{
    for (int i = 0; i < 2; ++i) {
        if (after.sClose[i] != INVALID_SOCKET)
            m_lpMgr->CloseSocket(after.sClose[i]);
        if (after.sRecv[i] != INVALID_SOCKET)
            m_lpMgr->Recv(after.sRecv[i], after.uiRecvLen[i]);
    }
    if (!after.bFinished)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mtxConns);
        m_mapConns.erase(lpConn->dwId);
        m_ullUp += lpConn->legs[LEG_CLIENT].ullIn;
        m_ullDown += lpConn->legs[LEG_TARGET].ullIn;
    }
    Log(*lpConn);
}

void VZ_SocksServer::Log(VZ_SocksConn& conn)
{
    if (!m_opt.bLog)
        return;
    std::lock_guard<std::mutex> lock(m_mtxOut);
    std::printf("oxsocks: %s -> %s: %llu bytes up, %llu bytes down, %.2f s, %s\n", conn.strClient.c_str(),
                conn.strTarget.empty() ? "-" : conn.strTarget.c_str(), conn.legs[LEG_CLIENT].ullIn,
                conn.legs[LEG_TARGET].ullIn, double(GetTickCount64() - conn.ullStart) / 1000.0,
                conn.strEnd.c_str());
    std::fflush(stdout);
}

void VZ_SocksServer::OnTcpAccept(int iError, SOCKET, SOCKET sAccept, const sockaddr_in*, const sockaddr_in* lpPeer)
{
    if (iError != 0 || sAccept == INVALID_SOCKET)
        return;
    ConnPtr lpConn = std::make_shared<VZ_SocksConn>();
    lpConn->strClient = lpPeer ? Dotted(&lpPeer->sin_addr) + ":" + std::to_string(ntohs(lpPeer->sin_port)) : "?";
    lpConn->ullStart = lpConn->ullLastActive = GetTickCount64();
    lpConn->legs[LEG_CLIENT].s = sAccept;
    lpConn->legs[LEG_CLIENT].bOpen = true;
    {
        std::lock_guard<std::mutex> lock(m_mtxConns);
        do
            lpConn->dwId = ++m_dwNextId;
        while (lpConn->dwId == 0 || m_mapConns.count(lpConn->dwId) != 0); // 0 is the listening socket's
        m_mapConns[lpConn->dwId] = lpConn;
        ++m_ullConns;
    }
    // Tagged before the first Recv: an accepted socket raises nothing until then.
    m_lpMgr->SetUserData1(sAccept, lpConn->dwId);
    m_lpMgr->SetUserData2(sAccept, LEG_CLIENT);
    m_lpMgr->SetRecvTimeout(sAccept, m_opt.uiIdleSeconds * 1000);
    m_lpMgr->Recv(sAccept, MessageLen(VZ_SocksConn::GREETING, NULL, 0));
}

void VZ_SocksServer::OnTcpRecv(int iError, SOCKET s, const char* buf, UINT* lpuiLen, DWORD dwId, DWORD dwLeg)
{
    WithConn(dwId, [&](VZ_SocksConn& conn, VZ_SocksAfter& after) {
        const BYTE* p = reinterpret_cast<const BYTE*>(buf);
        if (iError != 0 || buf == NULL) {
            End(conn, "read error " + std::to_string(iError), true, after);
        } else if (conn.phase == VZ_SocksConn::RELAY) {
            Relay(conn, int(dwLeg), buf, *lpuiLen, after);
        } else if (conn.phase <= VZ_SocksConn::REQUEST && dwLeg == LEG_CLIENT) {
            // Whole messages only: a part stays held until the rest is there,
            // and bytes behind the request wait for the relay.
            UINT uiNeed = MessageLen(conn.phase, p, *lpuiLen);
            if (*lpuiLen < uiNeed) {
                *lpuiLen = 0;
                after.Read(s, uiNeed);
            } else {
                *lpuiLen = uiNeed;
                if (conn.phase == VZ_SocksConn::GREETING)
                    Greeting(conn, p, after);
                else if (conn.phase == VZ_SocksConn::AUTH)
                    Auth(conn, p, after);
                else
                    Request(conn, p, uiNeed, after);
            }
        } // else ending: the bytes are dropped and nothing more is read
    });
}

void VZ_SocksServer::Greeting(VZ_SocksConn& conn, const BYTE* p, VZ_SocksAfter& after)
{
    if (p[0] != 5)
        return End(conn, "not a SOCKS5 client", true, after);
    const BYTE byWanted = m_opt.strUser.empty() ? 0x00 : 0x02; // none, or user and password
    BYTE byReply[2] = {5, 0xFF};
    if (std::memchr(p + 2, byWanted, p[1]) != NULL)
        byReply[1] = byWanted;
    Push(conn, LEG_CLIENT, byReply, sizeof(byReply));
    if (byReply[1] == 0xFF)
        return End(conn, "no acceptable method", false, after);
    conn.phase = byWanted == 0x02 ? VZ_SocksConn::AUTH : VZ_SocksConn::REQUEST;
    after.Read(conn.legs[LEG_CLIENT].s, MessageLen(conn.phase, NULL, 0));
}

void VZ_SocksServer::Auth(VZ_SocksConn& conn, const BYTE* p, VZ_SocksAfter& after)
{
    UINT uiUlen = p[1];
    std::string strUser(reinterpret_cast<const char*>(p + 2), uiUlen);
    std::string strPassword(reinterpret_cast<const char*>(p + 3 + uiUlen), p[2 + uiUlen]);
    bool bRight = p[0] == 1 && strUser == m_opt.strUser && strPassword == m_opt.strPassword;
    const BYTE byReply[2] = {1, BYTE(bRight ? 0 : 1)};
    Push(conn, LEG_CLIENT, byReply, sizeof(byReply));
    if (!bRight)
        return End(conn, "wrong user or password", false, after);
    conn.phase = VZ_SocksConn::REQUEST;
    after.Read(conn.legs[LEG_CLIENT].s, MessageLen(conn.phase, NULL, 0));
}

void VZ_SocksServer::Request(VZ_SocksConn& conn, const BYTE* p, UINT uiLen, VZ_SocksAfter& after)
{
    if (p[0] != 5)
        return End(conn, "not a SOCKS5 request", true, after);
    if (p[3] != 1 && p[3] != 3) {
        Reply(conn, REP_ADDRESS_TYPE);
        return End(conn, "address type not supported", false, after);
    }
    std::string strHost = p[3] == 1 ? Dotted(p + 4) : std::string(reinterpret_cast<const char*>(p + 5), p[4]);
    USHORT usPort = USHORT((p[uiLen - 2] << 8) | p[uiLen - 1]);
    conn.strTarget = strHost + ":" + std::to_string(usPort);
    if (p[1] != 1) { // CONNECT only
        Reply(conn, REP_COMMAND);
        return End(conn, "command not supported", false, after);
    }
    ConnectTarget(conn, strHost, usPort, after);
}

void VZ_SocksServer::ConnectTarget(VZ_SocksConn& conn, const std::string& strHost, USHORT usPort,
                                   VZ_SocksAfter& after)
{
    // The target's events wait for the mutex held here until the leg is set up.
    VZ_SocksLeg& target = conn.legs[LEG_TARGET];
    target.s = m_lpMgr->CreateTcpSocket(NULL, (const char*)NULL, 0, conn.dwId, LEG_TARGET);
    if (target.s == INVALID_SOCKET) {
        Reply(conn, REP_FAILURE);
        return End(conn, "no socket for the target", false, after);
    }
    target.bOpen = true;
    conn.phase = VZ_SocksConn::CONNECTING;
    // A name is resolved by the manager's name thread; a dotted address connects at once.
    if (!m_lpMgr->Connect(target.s, strHost.c_str(), usPort)) {
        Reply(conn, REP_FAILURE);
        End(conn, "connect did not start", false, after);
    }
}

void VZ_SocksServer::OnTcpConnect(int iError, SOCKET s, DWORD dwId, DWORD)
{
    WithConn(dwId, [&](VZ_SocksConn& conn, VZ_SocksAfter& after) {
        if (conn.phase != VZ_SocksConn::CONNECTING || s != conn.legs[LEG_TARGET].s)
            return;
        sockaddr_in bound;
        int iLen = sizeof(bound);
        if (iError != 0) {
            BYTE byCode = ReplyCode(iError, s);
            Reply(conn, byCode);
            End(conn, "connect failed, error " + std::to_string(iError) + ", reply " + std::to_string(byCode),
                false, after);
        } else if (getsockname(s, (sockaddr*)&bound, &iLen) != 0) {
            Reply(conn, REP_FAILURE);
            End(conn, "no bound address", false, after);
        } else {
            Reply(conn, REP_SUCCESS, &bound);
            conn.phase = VZ_SocksConn::RELAY;
            conn.ullLastActive = GetTickCount64();
            m_lpMgr->SetRecvTimeout(s, m_opt.uiIdleSeconds * 1000);
            for (int i = 0; i < 2; ++i) {
                if (m_bExactSends) // an OnTcpSend per completed send: the queue is known as it drains
                    m_lpMgr->SocketCtrl(1, conn.legs[i].s, 1, 0, 0, 0, 0, 0);
                after.Read(conn.legs[i].s, RELAY_NOTICE);
            }
        }
    });
}

void VZ_SocksServer::Reply(VZ_SocksConn& conn, BYTE byCode, const sockaddr_in* lpBound)
{
    BYTE by[10] = {5, byCode, 0, 1, 0, 0, 0, 0, 0, 0}; // VER REP RSV ATYP=IPv4 BND.ADDR BND.PORT
    if (lpBound != NULL) {
        std::memcpy(by + 4, &lpBound->sin_addr, 4);
        std::memcpy(by + 8, &lpBound->sin_port, 2);
    }
    Push(conn, LEG_CLIENT, by, sizeof(by));
}

bool VZ_SocksServer::Push(VZ_SocksConn& conn, int iLeg, const void* lpData, UINT uiLen)
{
    VZ_SocksLeg& leg = conn.legs[iLeg];
    leg.dwQueued += uiLen;
    if (leg.bOpen && m_lpMgr->Send(leg.s, static_cast<const char*>(lpData), int(uiLen), leg.dwQueued, NULL))
        return true;
    leg.dwQueued -= uiLen;
    return false;
}

void VZ_SocksServer::Relay(VZ_SocksConn& conn, int iLeg, const char* buf, UINT uiLen, VZ_SocksAfter& after)
{
    int iOther = 1 - iLeg;
    conn.legs[iLeg].ullIn += uiLen;
    conn.ullLastActive = GetTickCount64();
    if (!Push(conn, iOther, buf, uiLen))
        return End(conn, iOther == LEG_CLIENT ? "client send failed" : "target send failed", true, after);
    // Back-pressure: no further Recv while the other side has more than the
    // bound waiting; its OnTcpSend starts reading again (OnTcpSend below).
    if (conn.legs[iOther].Unsent() > m_opt.uiMaxQueued)
        conn.legs[iLeg].bPaused = true;
    else
        after.Read(conn.legs[iLeg].s, RELAY_NOTICE);
}

void VZ_SocksServer::OnTcpSend(int iError, SOCKET s, DWORD dwId, DWORD dwLeg, DWORD dwSendParam, UINT uiQueued)
{
    WithConn(dwId, [&](VZ_SocksConn& conn, VZ_SocksAfter& after) {
        VZ_SocksLeg& leg = conn.legs[dwLeg];
        if (s != leg.s || !leg.bOpen)
            return;
        // The parameter is the running total after the send it names: the
        // one just completed (completion port), or the last one, which is
        // done when the queue is empty (every engine). Reports may overtake
        // each other, so the count only grows.
        if ((uiQueued == 0 || m_bExactSends) && LONG(dwSendParam - leg.dwSent) > 0)
            leg.dwSent = dwSendParam;
        conn.ullLastActive = GetTickCount64();
        VZ_SocksLeg& other = conn.legs[1 - dwLeg];
        if (iError != 0) {
            End(conn, "send error " + std::to_string(iError), true, after);
        } else if (leg.bCloseWhenDrained && leg.Unsent() == 0) {
            CloseLeg(conn, int(dwLeg), after);
        } else if (other.bPaused && leg.Unsent() <= m_opt.uiMaxQueued && conn.phase == VZ_SocksConn::RELAY) {
            other.bPaused = false;
            after.Read(other.s, RELAY_NOTICE);
        }
    });
}

void VZ_SocksServer::OnSocketClose(int iError, SOCKET s, int, DWORD dwId, DWORD dwLeg)
{
    WithConn(dwId, [&](VZ_SocksConn& conn, VZ_SocksAfter& after) {
        if (s != conn.legs[dwLeg].s || !conn.legs[dwLeg].bOpen)
            return;
        std::string strWho = dwLeg == LEG_CLIENT ? "client" : "target";
        // Nothing more can be sent on this one; the other leg gets what is queued for it first.
        CloseLeg(conn, int(dwLeg), after);
        End(conn, iError == 0 ? strWho + " closed" : strWho + " error " + std::to_string(iError), false, after);
    });
}

void VZ_SocksServer::OnRecvTimeout(int, SOCKET, DWORD dwId, DWORD)
{
    // Raised per leg and again after each quiet period; the connection is
    // idle only when neither leg moved a byte for the whole time.
    WithConn(dwId, [&](VZ_SocksConn& conn, VZ_SocksAfter& after) {
        if (GetTickCount64() - conn.ullLastActive >= ULONGLONG(m_opt.uiIdleSeconds) * 1000)
            End(conn, "idle", true, after);
    });
}

void VZ_SocksServer::End(VZ_SocksConn& conn, const std::string& strWhy, bool bForce, VZ_SocksAfter& after)
{
    if (conn.strEnd.empty())
        conn.strEnd = strWhy;
    conn.phase = VZ_SocksConn::ENDING;
    for (int i = 0; i < 2; ++i) {
        VZ_SocksLeg& leg = conn.legs[i];
        if (leg.bOpen && (bForce || leg.Unsent() == 0))
            CloseLeg(conn, i, after);
        else
            leg.bCloseWhenDrained = true;
    }
}

void VZ_SocksServer::CloseLeg(VZ_SocksConn& conn, int iLeg, VZ_SocksAfter& after)
{
    VZ_SocksLeg& leg = conn.legs[iLeg];
    if (leg.bOpen)
        after.Close(leg.s);
    leg.bOpen = false;
    if (!conn.legs[0].bOpen && !conn.legs[1].bOpen && !conn.bFinished)
        conn.bFinished = after.bFinished = true;
}
