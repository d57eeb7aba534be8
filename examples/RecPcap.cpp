// Reading oxnet.rec records, and writing a recording as a pcap capture.
//
// A recording holds only what the host consumed, so each recorded socket
// becomes one synthetic TCP connection whose data flows one way: from the
// peer, 10.0.0.1, to the host, 10.0.0.2. The client's port is 49152 + the
// connection's ordinal; the server's is 80 when the first bytes are HTTP,
// else 40000 + the ordinal of the listening socket (40000 for a connection
// the host made). An accepted socket's peer is the client; a socket seen
// without an accept record (the host connected out, or the accept came
// before the recording) has the host as client. A connection starts at its
// first data or close record, when its first bytes are known. The whole
// seconds of a packet's time are the index of the record that made it.
#include "RecPcap.h"

#include <cstring>
#include <map>

namespace {

// LINKTYPE_RAW: every packet starts at its IPv4 header. A recording knows
// nothing of links, and made-up Ethernet addresses would only add noise.
const UINT32 PCAP_LINKTYPE_RAW = 101;
const UINT32 PCAP_SNAPLEN = 65535;
const UINT32 PEER_IP = 0x0A000001; // 10.0.0.1
const UINT32 HOST_IP = 0x0A000002; // 10.0.0.2
const UINT CLIENT_PORT_BASE = 49152;
const UINT CLIENT_PORTS = 16384; // the dynamic range; ordinals wrap in it
const UINT HTTP_PORT = 80;
const UINT SERVER_PORT_BASE = 40000; // no dissector claims 40000-40999: binary data stays plain TCP
const UINT MSS = 1460;
const UINT ACK_EVERY = 16; // segments acknowledged at once: 23,360 bytes, inside the window
const UINT WINDOW = 65535;
const UINT HEADERS = 40; // IPv4 and TCP headers, no options
const size_t READ_CHUNK = 65536;
enum { TCP_FIN = 0x01, TCP_SYN = 0x02, TCP_RST = 0x04, TCP_PSH = 0x08, TCP_ACK = 0x10 };

void Put16(BYTE* lpby, UINT ui)
{
    lpby[0] = static_cast<BYTE>(ui >> 8);
    lpby[1] = static_cast<BYTE>(ui);
}

void Put32(BYTE* lpby, UINT32 ui)
{
    Put16(lpby, ui >> 16);
    Put16(lpby + 2, ui & 0xFFFF);
}

void Put32Le(BYTE* lpby, UINT32 ui)
{
    for (int i = 0; i < 4; ++i)
        lpby[i] = static_cast<BYTE>(ui >> (8 * i));
}

// The Internet checksum of lpby, on top of uiSum (a pseudo header's sum).
UINT Checksum(const BYTE* lpby, size_t n, UINT32 uiSum)
{
    for (size_t i = 0; i + 1 < n; i += 2)
        uiSum += (static_cast<UINT32>(lpby[i]) << 8) | lpby[i + 1];
    if (n & 1)
        uiSum += static_cast<UINT32>(lpby[n - 1]) << 8;
    while (uiSum >> 16)
        uiSum = (uiSum & 0xFFFF) + (uiSum >> 16);
    return ~uiSum & 0xFFFF;
}

// One synthetic connection; the sequence numbers are the next ones to send.
// An accepted one waits for its first data or close record to start.
struct PcapStream {
    bool bStarted;
    bool bAccepted;
    UINT uiListenOrdinal; // of the accepting listening socket
    UINT uiPeerPort;
    UINT uiHostPort;
    UINT32 uiPeerSeq;
    UINT32 uiHostSeq;
};

class VZ_PcapFile {
public:
    VZ_PcapFile() : m_fp(NULL), m_bFailed(false), m_uiSec(0), m_uiUsec(0), m_uiIpId(0), m_ulPackets(0) {}
    ~VZ_PcapFile() { Close(); }
    bool Open(const char* lpszPath);
    bool Close(); // false when a write failed
    void NextRecord(unsigned long ulIndex) { m_uiSec = ulIndex > m_uiSec ? ulIndex : m_uiSec, m_uiUsec = 0; }
    void Segment(PcapStream& st, bool bFromPeer, UINT uiFlags, const BYTE* lpbyData = NULL, UINT uiLen = 0);
    unsigned long GetPackets() const { return m_ulPackets; }

private:
    VZ_PcapFile(const VZ_PcapFile&);
    VZ_PcapFile& operator=(const VZ_PcapFile&);
    void Write(const BYTE* lpby, size_t n)
    {
        if (m_fp == NULL || std::fwrite(lpby, 1, n, m_fp) != n)
            m_bFailed = true;
    }
    void WritePacket(const BYTE* lpby, UINT uiLen);

    FILE* m_fp;
    bool m_bFailed;
    UINT32 m_uiSec;
    UINT32 m_uiUsec;
    UINT m_uiIpId;
    unsigned long m_ulPackets;
};

bool VZ_PcapFile::Open(const char* lpszPath)
{
    m_fp = std::fopen(lpszPath, "wb");
    BYTE byHead[24] = {0};
    Put32Le(byHead, 0xa1b2c3d4); // microsecond times, written in this byte order
    byHead[4] = 2, byHead[6] = 4;  // version 2.4
    Put32Le(byHead + 16, PCAP_SNAPLEN);
    Put32Le(byHead + 20, PCAP_LINKTYPE_RAW);
    Write(byHead, sizeof(byHead));
    return !m_bFailed;
}

bool VZ_PcapFile::Close()
{
    if (m_fp != NULL && std::fclose(m_fp) != 0)
        m_bFailed = true;
    m_fp = NULL;
    return !m_bFailed;
}

void VZ_PcapFile::WritePacket(const BYTE* lpby, UINT uiLen)
{
    BYTE byHead[16];
    Put32Le(byHead, m_uiSec);
    Put32Le(byHead + 4, m_uiUsec);
    Put32Le(byHead + 8, uiLen);
    Put32Le(byHead + 12, uiLen);
    Write(byHead, sizeof(byHead));
    Write(lpby, uiLen);
    ++m_ulPackets;
    if (++m_uiUsec == 1000000) // only a record of over a gigabyte reaches the next second
        ++m_uiSec, m_uiUsec = 0;
}

// One IPv4 packet of st in one direction; advances the sender's sequence
// number by what the segment occupies (data, SYN and FIN).
void VZ_PcapFile::Segment(PcapStream& st, bool bFromPeer, UINT uiFlags, const BYTE* lpbyData, UINT uiLen)
{
    BYTE byPacket[HEADERS + MSS] = {0};
    BYTE* lpbyTcp = byPacket + 20;
    UINT32 uiSrc = bFromPeer ? PEER_IP : HOST_IP, uiDst = bFromPeer ? HOST_IP : PEER_IP;
    UINT32& uiSeq = bFromPeer ? st.uiPeerSeq : st.uiHostSeq;
    byPacket[0] = 0x45; // version 4, 5 words of header
    Put16(byPacket + 2, HEADERS + uiLen);
    Put16(byPacket + 4, ++m_uiIpId);
    Put16(byPacket + 6, 0x4000); // don't fragment
    byPacket[8] = 64, byPacket[9] = IPPROTO_TCP;
    Put32(byPacket + 12, uiSrc), Put32(byPacket + 16, uiDst);
    Put16(byPacket + 10, Checksum(byPacket, 20, 0));
    Put16(lpbyTcp, bFromPeer ? st.uiPeerPort : st.uiHostPort);
    Put16(lpbyTcp + 2, bFromPeer ? st.uiHostPort : st.uiPeerPort);
    Put32(lpbyTcp + 4, uiSeq);
    Put32(lpbyTcp + 8, (uiFlags & TCP_ACK) ? (bFromPeer ? st.uiHostSeq : st.uiPeerSeq) : 0);
    lpbyTcp[12] = 5 << 4, lpbyTcp[13] = static_cast<BYTE>(uiFlags);
    Put16(lpbyTcp + 14, WINDOW);
    if (uiLen > 0)
        std::memcpy(lpbyTcp + 20, lpbyData, uiLen);
    UINT32 uiPseudo = (uiSrc >> 16) + (uiSrc & 0xFFFF) + (uiDst >> 16) + (uiDst & 0xFFFF) + IPPROTO_TCP + 20 + uiLen;
    Put16(lpbyTcp + 16, Checksum(lpbyTcp, 20 + uiLen, uiPseudo));
    WritePacket(byPacket, HEADERS + uiLen);
    uiSeq += uiLen + ((uiFlags & TCP_SYN) ? 1 : 0) + ((uiFlags & TCP_FIN) ? 1 : 0);
}

// Turns records into the packets of their connections, one record at a time.
class VZ_RecToPcap {
public:
    explicit VZ_RecToPcap(VZ_PcapFile& file) : m_file(file), m_uiStreams(0) {}
    void Record(unsigned long ulIndex, const _RECORDHEAD& head, const std::vector<BYTE>& vecPayload);
    UINT GetStreams() const { return m_uiStreams; }

private:
    VZ_RecToPcap(const VZ_RecToPcap&);
    VZ_RecToPcap& operator=(const VZ_RecToPcap&);
    void Accept(UINT32 sListen, UINT32 s);
    PcapStream& Start(UINT32 s, const std::vector<BYTE>& vecFirstData);
    void Data(PcapStream& st, const BYTE* lpby, size_t n);
    void Close(PcapStream& st, int iError);

    VZ_PcapFile& m_file;
    std::map<UINT32, PcapStream> m_mapOpen;  // by recorded socket; a close ends the entry
    std::map<UINT32, UINT> m_mapListen;      // listening socket to its ordinal
    UINT m_uiStreams;
};

// Whether a connection's first bytes are an HTTP request or response: such
// a connection is served at port 80, where the HTTP dissector reads it.
bool LooksLikeHttp(const std::vector<BYTE>& vec)
{
    static const char* const s_lpszStarts[] = {"GET ",    "POST ",    "HEAD ",  "PUT ",   "DELETE ",
                                               "OPTIONS ", "CONNECT ", "PATCH ", "TRACE ", "HTTP/1."};
    for (const char* lpsz : s_lpszStarts) {
        size_t n = std::strlen(lpsz);
        if (vec.size() >= n && std::memcmp(vec.data(), lpsz, n) == 0)
            return true;
    }
    return false;
}

// A socket handle accepted again (its close was not recorded) is a new
// connection; the old one is left open.
void VZ_RecToPcap::Accept(UINT32 sListen, UINT32 s)
{
    UINT uiOrdinal = static_cast<UINT>(m_mapListen.size()); // kept when sListen is known already
    std::map<UINT32, UINT>::iterator it = m_mapListen.insert(std::make_pair(sListen, uiOrdinal)).first;
    PcapStream st = {false, true, it->second, 0, 0, 0, 0};
    m_mapOpen[s] = st;
}

// The socket's connection, started with its three-way handshake (the client
// sends the SYN) if this is its first data or close. A socket without an
// accept record is a connection the host made.
PcapStream& VZ_RecToPcap::Start(UINT32 s, const std::vector<BYTE>& vecFirstData)
{
    std::map<UINT32, PcapStream>::iterator it = m_mapOpen.find(s);
    if (it == m_mapOpen.end()) {
        PcapStream st = {false, false, 0, 0, 0, 0, 0};
        it = m_mapOpen.insert(std::make_pair(s, st)).first;
    }
    PcapStream& st = it->second;
    if (st.bStarted)
        return st;
    UINT uiServerPort = LooksLikeHttp(vecFirstData) ? HTTP_PORT : SERVER_PORT_BASE + st.uiListenOrdinal % 1000;
    UINT uiClientPort = CLIENT_PORT_BASE + m_uiStreams % CLIENT_PORTS;
    st.uiPeerPort = st.bAccepted ? uiClientPort : uiServerPort;
    st.uiHostPort = st.bAccepted ? uiServerPort : uiClientPort;
    st.uiPeerSeq = 0x10000000u + m_uiStreams * 0x10000u;
    st.uiHostSeq = 0x20000000u + m_uiStreams * 0x10000u;
    st.bStarted = true;
    ++m_uiStreams;
    m_file.Segment(st, st.bAccepted, TCP_SYN);
    m_file.Segment(st, !st.bAccepted, TCP_SYN | TCP_ACK);
    m_file.Segment(st, st.bAccepted, TCP_ACK);
    return st;
}

// The consumed bytes in segments of at most MSS bytes, the last one pushed;
// the host acknowledges every ACK_EVERY segments and the end of the record.
void VZ_RecToPcap::Data(PcapStream& st, const BYTE* lpby, size_t n)
{
    UINT uiSegments = 0;
    for (size_t nDone = 0; nDone < n;) {
        UINT uiLen = static_cast<UINT>(n - nDone < MSS ? n - nDone : MSS);
        bool bLast = nDone + uiLen == n;
        m_file.Segment(st, true, TCP_ACK | (bLast ? TCP_PSH : 0), lpby + nDone, uiLen);
        nDone += uiLen;
        if (bLast || ++uiSegments % ACK_EVERY == 0)
            m_file.Segment(st, false, TCP_ACK);
    }
}

// Error 0 is the peer's graceful close: its FIN, the host's FIN, the last
// ACK. Any error (a reset, or the socket failed) is shown as the peer's RST.
void VZ_RecToPcap::Close(PcapStream& st, int iError)
{
    if (iError != 0) {
        m_file.Segment(st, true, TCP_RST | TCP_ACK);
        return;
    }
    m_file.Segment(st, true, TCP_FIN | TCP_ACK);
    m_file.Segment(st, false, TCP_FIN | TCP_ACK);
    m_file.Segment(st, true, TCP_ACK);
}

// Records a replay skips (unknown types, too short for their type) make no
// packets.
void VZ_RecToPcap::Record(unsigned long ulIndex, const _RECORDHEAD& head, const std::vector<BYTE>& vecPayload)
{
    m_file.NextRecord(ulIndex);
    if (head.uiType == RECORD_ACCEPT && head.uiLen >= 4) {
        Accept(head.s, RecGet32(vecPayload.data()));
    } else if (head.uiType == RECORD_DATA && head.uiLen > 0) {
        Data(Start(head.s, vecPayload), vecPayload.data(), vecPayload.size());
    } else if (head.uiType == RECORD_CLOSE && head.uiLen >= 8) {
        Close(Start(head.s, std::vector<BYTE>()), static_cast<int>(RecGet32(vecPayload.data())));
        m_mapOpen.erase(head.s);
    }
}

} // namespace

UINT32 RecGet32(const unsigned char* lpby)
{
    return static_cast<UINT32>(lpby[0]) | (static_cast<UINT32>(lpby[1]) << 8) |
           (static_cast<UINT32>(lpby[2]) << 16) | (static_cast<UINT32>(lpby[3]) << 24);
}

const char* RecTypeName(UINT32 uiType)
{
    switch (uiType) {
    case RECORD_ACCEPT: return "accept";
    case RECORD_DATA:   return "data";
    case RECORD_CLOSE:  return "close";
    default:            return "unknown";
    }
}

// 1. Read the head: nothing left is the end, a part of one a truncated file.
// 2. Read the payload in chunks, so that a length a damaged head declares
//    takes no more memory than the file holds.
RecRead RecReadRecord(FILE* fp, unsigned long long ullOffset, _RECORDHEAD* lpHead,
                      std::vector<unsigned char>* lpvecPayload)
{
    // 1.
    unsigned char byHead[sizeof(_RECORDHEAD)];
    size_t nHead = std::fread(byHead, 1, sizeof(byHead), fp);
    if (nHead == 0)
        return REC_END;
    if (nHead < sizeof(byHead)) {
        std::printf("truncated: partial head of %u bytes at offset %llu\n", static_cast<unsigned>(nHead), ullOffset);
        return REC_TRUNCATED;
    }
    lpHead->uiType = RecGet32(byHead);
    lpHead->uiLen = RecGet32(byHead + 4);
    lpHead->s = RecGet32(byHead + 8);
    lpHead->dwUserData1 = RecGet32(byHead + 12);
    lpHead->dwUserData2 = RecGet32(byHead + 16);

    // 2.
    lpvecPayload->clear();
    while (lpvecPayload->size() < lpHead->uiLen) {
        size_t nHave = lpvecPayload->size(), nWant = lpHead->uiLen - nHave;
        lpvecPayload->resize(nHave + (nWant < READ_CHUNK ? nWant : READ_CHUNK));
        size_t nGot = std::fread(lpvecPayload->data() + nHave, 1, lpvecPayload->size() - nHave, fp);
        lpvecPayload->resize(nHave + nGot);
        if (nGot == 0)
            break;
    }
    if (lpvecPayload->size() < lpHead->uiLen) {
        std::printf("truncated: %s record at offset %llu declares %u payload bytes, %u follow\n",
                    RecTypeName(lpHead->uiType), ullOffset, lpHead->uiLen,
                    static_cast<unsigned>(lpvecPayload->size()));
        return REC_TRUNCATED;
    }
    return REC_WHOLE;
}

int RecWritePcap(FILE* fpIn, const char* lpszOut)
{
    VZ_PcapFile file;
    if (!file.Open(lpszOut)) {
        std::printf("cannot write %s\n", lpszOut);
        return 1;
    }
    VZ_RecToPcap conv(file);
    _RECORDHEAD head;
    std::vector<unsigned char> vecPayload;
    unsigned long ulRecords = 0;
    unsigned long long ullOffset = 0;
    RecRead read;
    while ((read = RecReadRecord(fpIn, ullOffset, &head, &vecPayload)) == REC_WHOLE) {
        conv.Record(ulRecords++, head, vecPayload);
        ullOffset += sizeof(head) + head.uiLen;
    }
    if (!file.Close()) {
        std::printf("cannot write %s\n", lpszOut);
        return 1;
    }
    std::printf("%lu records: %u connections, %lu packets written to %s%s\n", ulRecords, conv.GetStreams(),
                file.GetPackets(), lpszOut, read == REC_END ? "" : "; file truncated");
    return read == REC_END ? 0 : 1;
}
