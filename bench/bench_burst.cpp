// bench_burst: a host that sends faster than its connection drains. One host
// thread connects to 127.0.0.1:P (a native reader that scripts/bench.sh
// burst starts) and hands COUNT messages of M bytes to Send as fast as it
// takes them; the figure is the time from the first Send to the report of
// the last one. Sends queue behind the one under way, which the ping-pong
// benchmarks never make them do.
//
//   bench_burst --engine NAME --port P [--count N] [--msg-len M]
//
// Prints "RESULT ok=1 sends_per_s=X mb_per_s=Y seconds=S", or "RESULT ok=0
// why=..." and exit code 1. The reader counts the bytes it got.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "EchoHost.h"
#include "bench_util.h"

namespace {

const DWORD WAIT_MS = 120000; // for the connect and for the last report: only a hang reaches it

class VZ_BurstSink : public VZ_NullSink {
public:
    VZ_BurstSink()
        : m_hConnected(CreateEventW(NULL, TRUE, FALSE, NULL)), m_hDone(CreateEventW(NULL, TRUE, FALSE, NULL)),
          m_iError(0), m_dwLast(0)
    {
    }
    ~VZ_BurstSink()
    {
        CloseHandle(m_hConnected);
        CloseHandle(m_hDone);
    }
    void OnTcpConnect(int iError, SOCKET, DWORD, DWORD) override
    {
        m_iError = iError;
        SetEvent(m_hConnected);
    }
    // Send parameters count the messages from 1: the last one's report, or
    // any error, ends the run.
    void OnTcpSend(int iError, SOCKET, DWORD, DWORD, DWORD dwSendParam, UINT) override
    {
        if (iError != 0 || dwSendParam == m_dwLast) {
            m_iError = iError;
            SetEvent(m_hDone);
        }
    }
    void OnSocketClose(int iError, SOCKET, int, DWORD, DWORD) override
    {
        m_iError = iError != 0 ? iError : -1;
        SetEvent(m_hDone);
    }

    HANDLE m_hConnected, m_hDone;
    volatile int m_iError;
    DWORD m_dwLast;
};

int Fail(const char* lpszWhy, int iError)
{
    std::printf("RESULT ok=0 why=%s error=%d\n", lpszWhy, iError);
    return 1;
}

int Run(ISocketMgr* lpMgr, VZ_BurstSink& sink, USHORT usPort, DWORD dwCount, UINT uiMsgLen)
{
    sockaddr_in local;
    std::memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    SOCKET s = lpMgr->CreateTcpSocket(NULL, &local, 0, 0);
    if (s == INVALID_SOCKET || !lpMgr->Connect(s, "127.0.0.1", usPort))
        return Fail("connect", WSAGetLastError());
    if (WaitForSingleObject(sink.m_hConnected, WAIT_MS) != WAIT_OBJECT_0 || sink.m_iError != 0)
        return Fail("connect", sink.m_iError);
    std::vector<char> vecMsg(uiMsgLen, 'b');
    sink.m_dwLast = dwCount;
    LONGLONG llStart = BenchClock::Now();
    for (DWORD i = 1; i <= dwCount; ++i)
        if (!lpMgr->Send(s, vecMsg.data(), static_cast<int>(uiMsgLen), i, NULL))
            return Fail("send", static_cast<int>(i));
    if (WaitForSingleObject(sink.m_hDone, WAIT_MS) != WAIT_OBJECT_0 || sink.m_iError != 0)
        return Fail("drain", sink.m_iError);
    double dSeconds = BenchClock::SecondsSince(llStart);
    std::printf("RESULT ok=1 sends_per_s=%.0f mb_per_s=%.1f seconds=%.3f\n", dwCount / dSeconds,
                double(dwCount) * uiMsgLen / dSeconds / 1e6, dSeconds);
    lpMgr->CloseSocket(s);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const char* lpszEngine = NULL;
    long lPort = 0, lCount = 100000, lMsgLen = 512;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--engine") == 0)
            lpszEngine = argv[i + 1];
        else if (std::strcmp(argv[i], "--port") == 0)
            lPort = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--count") == 0)
            lCount = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--msg-len") == 0)
            lMsgLen = std::atol(argv[i + 1]);
    }
    if (lpszEngine == NULL || lPort <= 0 || lPort > 65535 || lCount <= 0 || lMsgLen <= 0 || lMsgLen > (1 << 24)) {
        std::printf("usage: bench_burst --engine NAME --port P [--count N] [--msg-len M]\n");
        return 2;
    }
    VZ_BurstSink sink;
    ISocketMgr* lpMgr = oxCreateInstance(lpszEngine);
    if (lpMgr == NULL)
        return Fail("no-engine", 0);
    lpMgr->SetSink(&sink);
    int iExit = lpMgr->Initialize(0, 0, 0, 0) ? Run(lpMgr, sink, static_cast<USHORT>(lPort), static_cast<DWORD>(lCount),
                                                   static_cast<UINT>(lMsgLen))
                                              : Fail("initialize", 0);
    lpMgr->Uninitialize(0);
    oxDestroyInstance(lpMgr);
    std::fflush(stdout);
    return iExit;
}
