// Reading oxnet.rec records, and writing a recording as a pcap capture of
// synthetic TCP connections (oxrecdump --pcap).
#ifndef OXNET_EXAMPLES_RECPCAP_H
#define OXNET_EXAMPLES_RECPCAP_H

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <vector>

#include "core/VZ_SocketMgr.h"

UINT32 RecGet32(const unsigned char* lpby);
const char* RecTypeName(UINT32 uiType);

enum RecRead {
    REC_END,      // the file ended on a record boundary
    REC_WHOLE,    // *lpHead and *lpvecPayload hold the next record
    REC_TRUNCATED // the file ends inside a record; the line saying so is printed
};

// Reads the record at byte ullOffset of the file, its payload whole.
RecRead RecReadRecord(FILE* fp, unsigned long long ullOffset, _RECORDHEAD* lpHead,
                      std::vector<unsigned char>* lpvecPayload);

// Writes the recording read from fpIn to lpszOut as a pcap file and prints a
// summary line. Returns the exit code: 0 when every record was whole, 1 when
// the input is truncated (the whole records are written) or the output
// cannot be written.
int RecWritePcap(FILE* fpIn, const char* lpszOut);

#endif
