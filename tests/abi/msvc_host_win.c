/* The mingw side of the MSVC-ABI host test: program entry, Winsock (the raw
 * client), events and output for msvc_host.cpp, which has no runtime library.
 * Prints one PASS or FAIL line; exit code 0 only when every engine passed. */
#include <winsock2.h>
#include <windows.h>

#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>

#include "msvc_host.h"

static const char* s_lpszEngine = "";
static volatile LONG s_lFailures = 0;
static SOCKET s_sClient = INVALID_SOCKET;
static HANDLE s_hEngineDone;

bool AbiCheck(bool bOk, const char* lpszWhat)
{
    if (!bOk) {
        InterlockedIncrement(&s_lFailures);
        printf("FAIL: %s: %s\n", s_lpszEngine, lpszWhat);
    }
    return bOk;
}

void* AbiEventNew(void) { return CreateEventA(NULL, TRUE, FALSE, NULL); }
void AbiEventSet(void* hEvent) { SetEvent(hEvent); }
bool AbiEventWait(void* hEvent, unsigned long dwMs) { return WaitForSingleObject(hEvent, dwMs) == WAIT_OBJECT_0; }
void AbiEventFree(void* hEvent) { CloseHandle(hEvent); }

unsigned short AbiLocalPort(UINT_PTR s)
{
    struct sockaddr_in addr;
    int iLen = sizeof(addr);
    if (getsockname((SOCKET)s, (struct sockaddr*)&addr, &iLen) != 0 || addr.sin_addr.s_addr != htonl(INADDR_LOOPBACK))
        return 0;
    return ntohs(addr.sin_port);
}

unsigned short AbiClientOpen(void)
{
    struct sockaddr_in addr = {0};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    s_sClient = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s_sClient == INVALID_SOCKET || bind(s_sClient, (struct sockaddr*)&addr, sizeof(addr)) != 0)
        return 0;
    return AbiLocalPort(s_sClient);
}

bool AbiClientConnect(unsigned short usPort)
{
    struct sockaddr_in addr = {0};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(usPort);
    return connect(s_sClient, (struct sockaddr*)&addr, sizeof(addr)) == 0;
}

bool AbiClientSend(const char* buf, int len) { return send(s_sClient, buf, len, 0) == len; }

bool AbiClientRecv(char* buf, int len, unsigned long dwMs)
{
    DWORD dwTimeout = dwMs;
    setsockopt(s_sClient, SOL_SOCKET, SO_RCVTIMEO, (const char*)&dwTimeout, sizeof(dwTimeout));
    for (int iGot = 0, n; iGot < len; iGot += n)
        if ((n = recv(s_sClient, buf + iGot, len - iGot, 0)) <= 0)
            return false;
    return true;
}

void AbiClientClose(void)
{
    if (s_sClient != INVALID_SOCKET)
        closesocket(s_sClient);
    s_sClient = INVALID_SOCKET;
}

/* A call that never returns (a wrong convention can leave the DLL spinning on
 * a garbled object) still ends the run with a FAIL line: each engine's run,
 * whose every wait is bounded at 10 s, gets 60 s. */
static DWORD WINAPI Watchdog(LPVOID lpParam)
{
    (void)lpParam;
    while (WaitForSingleObject(s_hEngineDone, 60000) == WAIT_OBJECT_0)
        ;
    printf("FAIL: %s: the run hung for 60 s\n", s_lpszEngine);
    TerminateProcess(GetCurrentProcess(), 1); /* the hung thread may hold a lock that an orderly exit needs */
    return 1;
}

int main(void)
{
    static const char* const ENGINES[] = {"IIocpSocketMgr1.0", "ISelectSocketMgr1.0", "IAsyncSocketMgr1.0",
                                          "IIocpSocketMgr2.0", "ISelectSocketMgr2.0", "IAsyncSocketMgr2.0"};
    WSADATA wsa;
    setvbuf(stdout, NULL, _IONBF, 0);
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        printf("FAIL: WSAStartup\n");
        return 1;
    }
    s_hEngineDone = CreateEventA(NULL, FALSE, FALSE, NULL);
    CloseHandle(CreateThread(NULL, 0, Watchdog, NULL, 0, NULL));
    for (size_t i = 0; i < sizeof(ENGINES) / sizeof(ENGINES[0]); ++i) {
        LONG lBefore = s_lFailures;
        s_lpszEngine = ENGINES[i];
        AbiHostRun(ENGINES[i]);
        if (s_lFailures == lBefore)
            printf("ok: %s\n", ENGINES[i]);
        SetEvent(s_hEngineDone);
    }
    WSACleanup();
    if (s_lFailures != 0) {
        printf("FAIL: MSVC-ABI host against oxnet.dll: %ld failed checks\n", (long)s_lFailures);
        return 1;
    }
    printf("PASS: MSVC-ABI host against oxnet.dll, %d-bit, every engine\n", (int)(sizeof(void*) * 8));
    return 0;
}
