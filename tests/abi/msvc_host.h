// The bridge between the MSVC-ABI host object (msvc_host.cpp, built by clang
// for an MSVC target, no runtime library) and the mingw side (msvc_host_win.c:
// program entry, Winsock, events, output). Plain C types only: each side
// includes its own Windows headers before this one.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Runs the whole exchange on one manager made from lpszEngine; every failed
// check is reported through AbiCheck, from whichever thread made it.
void AbiHostRun(const char* lpszEngine);

// Reports a failed check ("FAIL: engine: what"); returns bOk.
bool AbiCheck(bool bOk, const char* lpszWhat);
void* AbiEventNew(void);
void AbiEventSet(void* hEvent);
// True when the event is set within dwMs.
bool AbiEventWait(void* hEvent, unsigned long dwMs);
void AbiEventFree(void* hEvent);
// The local port (host order) of a socket, 0 on failure.
unsigned short AbiLocalPort(UINT_PTR s);

// The raw client: one blocking Winsock socket bound to 127.0.0.1.
unsigned short AbiClientOpen(void);
bool AbiClientConnect(unsigned short usPort);
bool AbiClientSend(const char* buf, int len);
// Reads exactly len bytes, each read bounded by dwMs.
bool AbiClientRecv(char* buf, int len, unsigned long dwMs);
void AbiClientClose(void);

#ifdef __cplusplus
}
#endif
