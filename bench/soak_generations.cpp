// Socket generations of the soak (soak_generations.h).
#include "soak_generations.h"

#include <stdio.h>
#include <string.h>

#include <unordered_map>

namespace soak {

std::atomic<int> g_iLiveClients{0}, g_iConnecting{0};

namespace {

const int CHUNK_BITS = 12;
const DWORD CHUNK_SIZE = 1u << CHUNK_BITS;
const DWORD MAX_CHUNKS = 1u << 14;
std::atomic<Gen*> g_chunks[MAX_CHUNKS];
std::atomic<DWORD> g_dwNextGen{1};
Lock g_lckChunks;

Lock g_lckHandles;
std::unordered_map<unsigned long long, DWORD> g_mapHandles;
std::atomic<DWORD> g_dwClientOfPort[65536];

Lock g_lckLive;
std::vector<DWORD> g_vecLive;

const char* RoleName(int iRole)
{
    return iRole == ROLE_LISTEN ? "listener" : iRole == ROLE_CLIENT ? "client" : iRole == ROLE_SERVER ? "server" : "?";
}

std::string HistoryText(Gen* g)
{
    std::string str;
    int iFirst = g->iHistory > HISTORY ? g->iHistory - HISTORY : 0;
    for (int i = iFirst; i < g->iHistory; ++i) {
        const HistoryEntry& h = g->history[i % HISTORY];
        char sz[96];
        snprintf(sz, sizeof(sz), " %c(%d)@%llu/t%lu", h.cWhat, h.iValue, h.ullSeq, static_cast<unsigned long>(h.dwThread));
        str += sz;
    }
    return str;
}

// The word w as a pattern word of this stream within 1 MiB either side of
// the expected byte a bytes on; "" when it is none.
std::string FindInOwnStream(unsigned long long w, UINT a, DWORD dwKey, unsigned long long ullExpected)
{
    unsigned long long ullMid = (ullExpected + a) >> 3;
    unsigned long long ullLo = ullMid > (1u << 17) ? ullMid - (1u << 17) : 0;
    for (unsigned long long i = ullLo; i < ullMid + (1u << 17); ++i)
        if (PatternWord(dwKey, i) == w) {
            char sz[160];
            snprintf(sz, sizeof(sz), "; its byte %u is this stream's position %llu", a, i * 8);
            return sz;
        }
    return std::string();
}

// The word w as a pattern word of another client's stream; "" when none.
std::string FindInOtherStreams(unsigned long long w, UINT a, DWORD dwKey)
{
    for (DWORD d = 1; d < g_dwNextGen.load(); ++d) {
        Gen* g = GenAt(d);
        if (g == NULL || g->iRole != ROLE_CLIENT || g->dwKey == dwKey)
            continue;
        for (unsigned long long i = 0; i <= g->ullSent / 8 && i < (1u << 20); ++i)
            if (PatternWord(g->dwKey, i) == w) {
                char sz[160];
                snprintf(sz, sizeof(sz), "; its byte %u is position %llu of generation %lu's stream (key %lu)", a,
                         i * 8, static_cast<unsigned long>(d), static_cast<unsigned long>(g->dwKey));
                return sz;
            }
    }
    return std::string();
}

} // namespace

Gen* GenAt(DWORD dwGen)
{
    if (dwGen == 0 || dwGen >= g_dwNextGen.load())
        return NULL;
    Gen* lpChunk = g_chunks[dwGen >> CHUNK_BITS].load(std::memory_order_acquire);
    return lpChunk != NULL ? &lpChunk[dwGen & (CHUNK_SIZE - 1)] : NULL;
}

Gen* NewGen(int iRole)
{
    DWORD dwGen = g_dwNextGen.load();
    {
        Hold<Lock> hold(g_lckChunks);
        dwGen = g_dwNextGen.load();
        if ((dwGen >> CHUNK_BITS) >= MAX_CHUNKS)
            return NULL;
        if (g_chunks[dwGen >> CHUNK_BITS].load() == NULL)
            g_chunks[dwGen >> CHUNK_BITS].store(new Gen[CHUNK_SIZE], std::memory_order_release);
        g_dwNextGen.store(dwGen + 1);
    }
    Gen* g = GenAt(dwGen);
    g->dwGen = dwGen;
    g->iRole = iRole;
    g->rng = Rng(g_ullSeed * 1000003ull + dwGen);
    return g;
}

DWORD NextGen() { return g_dwNextGen.load(); }

// Each of the first eight offsets is tried as the start of a pattern word of
// this stream and of every client's stream, so a report tells a doubled,
// skipped or foreign chunk from garbage. Runs on a violation only.
std::string LocateBytes(const char* lpBuf, UINT uiLen, DWORD dwKey, unsigned long long ullExpected)
{
    for (UINT a = 0; a < 8 && a + 8 <= uiLen; ++a) {
        unsigned long long w = 0;
        memcpy(&w, lpBuf + a, 8);
        std::string str = FindInOwnStream(w, a, dwKey, ullExpected);
        if (str.empty())
            str = FindInOtherStreams(w, a, dwKey);
        if (!str.empty())
            return str;
    }
    std::string str = "; bytes from no stream:";
    for (UINT i = 0; i < 16 && i < uiLen; ++i) {
        char sz[8];
        snprintf(sz, sizeof(sz), " %02x", static_cast<unsigned>(static_cast<BYTE>(lpBuf[i])));
        str += sz;
    }
    return str;
}

// Read without the peer's lock: a report only.
std::string PeerHistory(Gen* g)
{
    Gen* lpPeer = g->iRole == ROLE_SERVER ? GenAt(g->dwPeerGen) : NULL;
    return lpPeer != NULL ? "; peer's history:" + HistoryText(lpPeer) : std::string();
}

void Violation(Gen* g, const char* lpszWhat, SOCKET s, unsigned long long ullSeq, const char* lpszEvent,
               const std::string& strMore)
{
    if (!CountViolation(lpszWhat))
        return;
    std::string strHistory;
    if (g != NULL) {
        Hold<RecursiveLock> hold(g->lock);
        strHistory = HistoryText(g);
    }
    fprintf(stderr,
            "VIOLATION engine %s seed %llu: %s: event %s on socket %llu at seq %llu on thread %lu, generation %lu (%s, "
            "socket %llu, closed at seq %llu, peer generation %lu)%s; history:%s\n",
            g_strEngine.c_str(), g_ullSeed, lpszWhat, lpszEvent, static_cast<unsigned long long>(s), ullSeq,
            static_cast<unsigned long>(GetCurrentThreadId()),
            g != NULL ? static_cast<unsigned long>(g->dwGen) : 0ul, g != NULL ? RoleName(g->iRole) : "-",
            g != NULL ? static_cast<unsigned long long>(g->s) : 0ull, g != NULL ? g->ullCloseSeq.load() : 0ull,
            g != NULL ? static_cast<unsigned long>(g->dwPeerGen) : 0ul, strMore.c_str(), strHistory.c_str());
}

void MapHandle(Gen* g)
{
    Hold<Lock> hold(g_lckHandles);
    g_mapHandles[static_cast<unsigned long long>(g->s)] = g->dwGen;
}

// Only while the handle is still this generation's: a reused handle may
// belong to a newer one already.
void UnmapHandle(Gen* g)
{
    Hold<Lock> hold(g_lckHandles);
    auto it = g_mapHandles.find(static_cast<unsigned long long>(g->s));
    if (it != g_mapHandles.end() && it->second == g->dwGen)
        g_mapHandles.erase(it);
}

DWORD GenOfHandle(SOCKET s)
{
    Hold<Lock> hold(g_lckHandles);
    auto it = g_mapHandles.find(static_cast<unsigned long long>(s));
    return it != g_mapHandles.end() ? it->second : 0;
}

void SetClientOfPort(Gen* g) { g_dwClientOfPort[g->dwKey & 0xFFFF].store(g->dwGen); }

DWORD ClientOfPort(DWORD dwPort) { return g_dwClientOfPort[dwPort & 0xFFFF].load(); }

void AddLive(Gen* g)
{
    Hold<Lock> hold(g_lckLive);
    g->iLiveIndex = static_cast<int>(g_vecLive.size());
    g_vecLive.push_back(g->dwGen);
    if (g->iRole == ROLE_CLIENT)
        ++g_iLiveClients;
}

void RemoveLive(Gen* g)
{
    Hold<Lock> hold(g_lckLive);
    int i = g->iLiveIndex;
    if (i < 0)
        return;
    DWORD dwLast = g_vecLive.back();
    g_vecLive[i] = dwLast;
    GenAt(dwLast)->iLiveIndex = i;
    g_vecLive.pop_back();
    g->iLiveIndex = -1;
    if (g->iRole == ROLE_CLIENT)
        --g_iLiveClients;
}

int LiveCount()
{
    Hold<Lock> hold(g_lckLive);
    return static_cast<int>(g_vecLive.size());
}

std::vector<DWORD> LiveGens()
{
    Hold<Lock> hold(g_lckLive);
    return g_vecLive;
}

DWORD RandomLive(Rng& rng)
{
    Hold<Lock> hold(g_lckLive);
    return g_vecLive.empty() ? 0 : g_vecLive[rng.Below(static_cast<UINT>(g_vecLive.size()))];
}

} // namespace soak
