// oxrecdump: prints an oxnet.rec recording, one line per record, or writes
// it as a pcap capture (RecPcap.cpp).
//
//   oxrecdump [file]              (default: oxnet.rec in the current directory)
//   oxrecdump --pcap OUT [file]
//
// Exit code 0 when every record is whole, 1 when the file is missing or ends
// in a partial head or a short payload (or OUT cannot be written), 2 for a
// wrong command line.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "RecPcap.h"

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

// The line of one whole record. Payloads too short for their type are
// flagged: the recorder never writes them and a replay skips them.
void PrintRecord(unsigned long ulIndex, unsigned long long ullOffset, const _RECORDHEAD& head,
                 const unsigned char* lpbyPayload)
{
    std::printf("#%-6lu @%-10llu %-7s s=%-6u ud1=0x%08x ud2=0x%08x len=%-6u", ulIndex, ullOffset,
                RecTypeName(head.uiType), head.s, head.dwUserData1, head.dwUserData2, head.uiLen);
    switch (head.uiType) {
    case RECORD_ACCEPT:
        if (head.uiLen >= 4)
            std::printf("  accepted=%u", RecGet32(lpbyPayload));
        else
            std::printf("  (too short for an accept)");
        break;
    case RECORD_DATA:
        PrintPreview(lpbyPayload, head.uiLen < PREVIEW_BYTES ? head.uiLen : PREVIEW_BYTES, head.uiLen);
        break;
    case RECORD_CLOSE:
        if (head.uiLen >= 8)
            std::printf("  error=%d status=%d", static_cast<int>(RecGet32(lpbyPayload)),
                        static_cast<int>(RecGet32(lpbyPayload + 4)));
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

// Prints every whole record; returns true when the file ended on a record
// boundary (else the line saying where it is truncated is printed).
bool Dump(FILE* fp, DumpStats& stats)
{
    unsigned long long ullOffset = 0;
    _RECORDHEAD head;
    std::vector<unsigned char> vecPayload;
    RecRead read;
    while ((read = RecReadRecord(fp, ullOffset, &head, &vecPayload)) == REC_WHOLE) {
        PrintRecord(stats.ulRecords, ullOffset, head, vecPayload.data());
        CountRecord(stats, head);
        ullOffset += sizeof(head) + head.uiLen;
    }
    return read == REC_END;
}

} // namespace

void Usage(FILE* fp)
{
    std::fprintf(fp, "usage: oxrecdump [file]              (default: %s)\n"
                     "       oxrecdump --pcap OUT [file]   writes the recording as a pcap capture\n",
                 RECORD_FILE_NAME);
}

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        Usage(stdout);
        return 0;
    }
    bool bPcap = argc >= 3 && std::strcmp(argv[1], "--pcap") == 0;
    int iArgs = bPcap ? 3 : 1; // arguments before the file
    if (argc > iArgs + 1 || (!bPcap && argc == 2 && std::strcmp(argv[1], "--pcap") == 0)) {
        Usage(stderr);
        return 2;
    }
    const char* lpszPath = argc == iArgs + 1 ? argv[iArgs] : RECORD_FILE_NAME;
    FILE* fp = std::fopen(lpszPath, "rb");
    if (fp == NULL) {
        std::printf("cannot open %s\n", lpszPath);
        return 1;
    }
    if (bPcap) {
        int iExit = RecWritePcap(fp, argv[2]);
        std::fclose(fp);
        return iExit;
    }
    DumpStats stats = {0, 0, 0, 0, 0, 0};
    bool bWhole = Dump(fp, stats);
    std::fclose(fp);
    std::printf("%lu records: %lu accept, %lu data (%llu bytes), %lu close, %lu unknown%s\n", stats.ulRecords,
                stats.ulAccept, stats.ulData, stats.ullDataBytes, stats.ulClose, stats.ulOther,
                bWhole ? "" : "; file truncated");
    return bWhole ? 0 : 1;
}
