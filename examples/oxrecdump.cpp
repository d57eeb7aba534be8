// oxrecdump: prints an oxnet.rec recording, one line per record.
//
//   oxrecdump [file]      (default: oxnet.rec in the current directory)
//
// Exit code 0 when every record is whole, 1 when the file is missing or ends
// in a partial head or a short payload, 2 for a wrong command line.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "core/VZ_SocketMgr.h"

namespace {

#define PREVIEW_BYTES 16 // payload bytes shown for a data record

struct DumpStats {
    unsigned long ulRecords;
    unsigned long ulAccept;
    unsigned long ulData;
    unsigned long ulClose;
    unsigned long ulOther;
    unsigned long long ullDataBytes;
};

const char* TypeName(UINT32 uiType)
{
    switch (uiType) {
    case RECORD_ACCEPT: return "accept";
    case RECORD_DATA:   return "data";
    case RECORD_CLOSE:  return "close";
    default:            return "unknown";
    }
}

UINT32 Get32(const unsigned char* lpby)
{
    return static_cast<UINT32>(lpby[0]) | (static_cast<UINT32>(lpby[1]) << 8) |
           (static_cast<UINT32>(lpby[2]) << 16) | (static_cast<UINT32>(lpby[3]) << 24);
}

// Hex, then the printable characters, of the first bytes of a payload.
void PrintPreview(const unsigned char* lpby, UINT32 uiShown, UINT32 uiLen)
{
    std::printf("  ");
    for (UINT32 i = 0; i < PREVIEW_BYTES; ++i) {
        if (i < uiShown)
            std::printf("%02x ", lpby[i]);
        else
            std::printf("   ");
    }
    std::printf("|");
    for (UINT32 i = 0; i < uiShown; ++i)
        std::printf("%c", (lpby[i] >= 0x20 && lpby[i] < 0x7F) ? lpby[i] : '.');
    std::printf("|%s", uiLen > uiShown ? " ..." : "");
}

// Reads up to uiLen payload bytes, keeping the first PREVIEW_BYTES in
// lpbyHead; returns how many bytes the file still had.
UINT32 ReadPayload(FILE* fp, UINT32 uiLen, unsigned char* lpbyHead)
{
    static unsigned char s_byChunk[65536];
    UINT32 uiRead = 0;
    while (uiRead < uiLen) {
        UINT32 uiWant = uiLen - uiRead;
        if (uiWant > sizeof(s_byChunk))
            uiWant = sizeof(s_byChunk);
        size_t n = std::fread(s_byChunk, 1, uiWant, fp);
        if (uiRead < PREVIEW_BYTES) {
            size_t nKeep = PREVIEW_BYTES - uiRead;
            std::memcpy(lpbyHead + uiRead, s_byChunk, n < nKeep ? n : nKeep);
        }
        uiRead += static_cast<UINT32>(n);
        if (n < uiWant)
            break;
    }
    return uiRead;
}

// The line of one whole record. Payloads too short for their type are
// flagged: the recorder never writes them and a replay skips them.
void PrintRecord(unsigned long ulIndex, unsigned long long ullOffset, const _RECORDHEAD& head,
                 const unsigned char* lpbyPayload)
{
    std::printf("#%-6lu @%-10llu %-7s s=%-6u ud1=0x%08x ud2=0x%08x len=%-6u", ulIndex, ullOffset,
                TypeName(head.uiType), head.s, head.dwUserData1, head.dwUserData2, head.uiLen);
    switch (head.uiType) {
    case RECORD_ACCEPT:
        if (head.uiLen >= 4)
            std::printf("  accepted=%u", Get32(lpbyPayload));
        else
            std::printf("  (too short for an accept)");
        break;
    case RECORD_DATA:
        PrintPreview(lpbyPayload, head.uiLen < PREVIEW_BYTES ? head.uiLen : PREVIEW_BYTES, head.uiLen);
        break;
    case RECORD_CLOSE:
        if (head.uiLen >= 8)
            std::printf("  error=%d status=%d", static_cast<int>(Get32(lpbyPayload)),
                        static_cast<int>(Get32(lpbyPayload + 4)));
        else
            std::printf("  (too short for a close)");
        break;
    default:
        std::printf("  (type %u, skipped by a replay)", head.uiType);
        break;
    }
    std::printf("\n");
}

void CountRecord(DumpStats& stats, const _RECORDHEAD& head)
{
    ++stats.ulRecords;
    switch (head.uiType) {
    case RECORD_ACCEPT: ++stats.ulAccept; break;
    case RECORD_DATA:   ++stats.ulData; stats.ullDataBytes += head.uiLen; break;
    case RECORD_CLOSE:  ++stats.ulClose; break;
    default:            ++stats.ulOther; break;
    }
}

// 1. Read a head; end of file there is a whole file, a partial head a
//    truncated one.
// 2. Read the payload; a short one ends the dump as truncated.
// 3. Print the record and go on.
// Returns true when the file ended on a record boundary.
bool Dump(FILE* fp, DumpStats& stats)
{
    unsigned long long ullOffset = 0;
    for (;;) {
        // 1.
        unsigned char byHead[sizeof(_RECORDHEAD)];
        size_t nHead = std::fread(byHead, 1, sizeof(byHead), fp);
        if (nHead == 0)
            return true;
        if (nHead < sizeof(byHead)) {
            std::printf("truncated: partial head of %u bytes at offset %llu\n", static_cast<unsigned>(nHead),
                        ullOffset);
            return false;
        }
        _RECORDHEAD head;
        head.uiType = Get32(byHead);
        head.uiLen = Get32(byHead + 4);
        head.s = Get32(byHead + 8);
        head.dwUserData1 = Get32(byHead + 12);
        head.dwUserData2 = Get32(byHead + 16);

        // 2.
        unsigned char byPayload[PREVIEW_BYTES] = {0};
        UINT32 uiGot = ReadPayload(fp, head.uiLen, byPayload);
        if (uiGot < head.uiLen) {
            std::printf("truncated: %s record at offset %llu declares %u payload bytes, %u follow\n",
                        TypeName(head.uiType), ullOffset, head.uiLen, uiGot);
            return false;
        }

        // 3.
        PrintRecord(stats.ulRecords, ullOffset, head, byPayload);
        CountRecord(stats, head);
        ullOffset += sizeof(byHead) + head.uiLen;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::printf("usage: oxrecdump [file]   (default: %s)\n", RECORD_FILE_NAME);
        return 0;
    }
    if (argc > 2) {
        std::fprintf(stderr, "usage: oxrecdump [file]   (default: %s)\n", RECORD_FILE_NAME);
        return 2;
    }
    const char* lpszPath = argc == 2 ? argv[1] : RECORD_FILE_NAME;
    FILE* fp = std::fopen(lpszPath, "rb");
    if (fp == NULL) {
        std::printf("cannot open %s\n", lpszPath);
        return 1;
    }
    DumpStats stats = {0, 0, 0, 0, 0, 0};
    bool bWhole = Dump(fp, stats);
    std::fclose(fp);
    std::printf("%lu records: %lu accept, %lu data (%llu bytes), %lu close, %lu unknown%s\n", stats.ulRecords,
                stats.ulAccept, stats.ulData, stats.ullDataBytes, stats.ulClose, stats.ulOther,
                bWhole ? "" : "; file truncated");
    return bWhole ? 0 : 1;
}
