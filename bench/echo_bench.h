// Echo benchmark parts: the in-process ping-pong client load, the servers the
// benchmark compares (an oxnet engine, a plain select server, a plain
// WSAAsyncSelect server, a plain completion-port server, Asio) and the --serve
// mode that runs one server alone in its own process for the native client
// (bench/native/echo_load.cpp).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <stddef.h>

#include <unordered_map>

// One load: iConns connections, each sending a uiMsgLen-byte message and
// waiting for all of its echo before the next, for dSeconds.
struct VZ_EchoLoad {
    int iConns;
    UINT uiMsgLen;
    double dSeconds;
};

struct VZ_EchoOutcome {
    LONGLONG llMessages; // round trips completed and verified
    double dSeconds;     // from the common start until the last connection stopped
    int iFailed;         // connections that ended with an error
    bool bStuck;         // some client thread did not end in time (left behind)
    char szError[160];   // the first error, or empty
};

// Runs the load against 127.0.0.1:usPort: blocking Winsock sockets in this
// process, one thread per connection, TCP_NODELAY, every echo compared with
// what was sent. Each send or receive gives up after 5 s, so a silent server
// ends the run instead of hanging it. False when no measurement was possible.
bool VZ_RunEchoLoad(USHORT usPort, const VZ_EchoLoad& load, VZ_EchoOutcome* lpOut);

// 127.0.0.1:usPort.
inline sockaddr_in VZ_LoopbackAddr(USHORT usPort)
{
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(usPort);
    return addr;
}

// A listening TCP socket on 127.0.0.1:usPort (0: a free port), non-blocking
// when asked, its port in *lpusPort; INVALID_SOCKET, with nothing left open,
// when that failed.
inline SOCKET VZ_ListenLoopback(USHORT usPort, int iBacklog, bool bNonBlocking, USHORT* lpusPort)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in addr = VZ_LoopbackAddr(usPort);
    int iLen = sizeof(addr);
    u_long ulNonBlocking = 1;
    if (bind(s, (sockaddr*)&addr, sizeof(addr)) != 0 || listen(s, iBacklog) != 0 ||
        (bNonBlocking && ioctlsocket(s, FIONBIO, &ulNonBlocking) != 0) ||
        getsockname(s, (sockaddr*)&addr, &iLen) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    *lpusPort = ntohs(addr.sin_port);
    return s;
}

// Largest read of the raw servers (their buffer per connection).
const UINT ECHO_BUF_SIZE = 65536;

// A server of the benchmark: listens on 127.0.0.1 and sends back what it gets.
class VZ_BenchServer {
public:
    virtual ~VZ_BenchServer() {}
    // Listens on 127.0.0.1:usPort (0: a free port) and starts serving; the port, or 0.
    virtual USHORT Start(USHORT usPort) = 0;
    // Stops serving (bounded waits) and closes every socket.
    virtual void Stop() = 0;
    // Connections accepted so far, and those of them still open.
    virtual LONG GetAccepted() const = 0;
    virtual LONG GetOpen() const = 0;
    // More about the run, for the line printed after Stop ("" for nothing).
    virtual void Summary(char* lpszOut, size_t nOut) const
    {
        if (nOut)
            lpszOut[0] = 0;
    }
};

// A connection of the select and WSAAsyncSelect servers: its socket and the
// bytes it still has to send back.
struct VZ_RawEchoConn {
    SOCKET s;
    char* lpBuf;
    UINT uiOffset;  // first unsent byte of lpBuf
    UINT uiPending; // bytes still to send back
};

// Reads up to uiSize bytes (a non-blocking socket) as the bytes to send back:
// 1 when some came, 0 when none waits, -1 when the connection ended or failed.
inline int VZ_RawEchoRecv(VZ_RawEchoConn& conn, UINT uiSize)
{
    int n = recv(conn.s, conn.lpBuf, (int)uiSize, 0);
    if (n == 0)
        return -1;
    if (n < 0)
        return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    conn.uiOffset = 0;
    conn.uiPending = (UINT)n;
    return 1;
}

// A minimal echo server on plain Winsock: one thread, non-blocking sockets, one
// select over at most 64 sockets. Bytes go back as they come, read uiRecvSize
// at a time (at most 64 KiB); a socket with unsent bytes waits for
// writability and is not read meanwhile.
class VZ_RawSelectEcho : public VZ_BenchServer {
public:
    explicit VZ_RawSelectEcho(UINT uiRecvSize = ECHO_BUF_SIZE);
    ~VZ_RawSelectEcho();
    USHORT Start(USHORT usPort = 0) override;
    // Ends the thread (bounded wait) and closes every socket.
    void Stop() override;
    LONG GetAccepted() const override { return m_lAccepted; }
    LONG GetOpen() const override { return m_iConns; }

private:
    enum { MAX_SOCKETS = 64 };
    typedef VZ_RawEchoConn Conn;

    static DWORD WINAPI ThreadMain(LPVOID lpParam);
    void Loop();
    void Accept();
    bool Read(Conn& conn);
    bool Flush(Conn& conn);
    void Drop(int iIndex);

    UINT m_uiRecvSize;
    SOCKET m_sListen;
    HANDLE m_hThread;
    volatile LONG m_lStop;
    volatile LONG m_lAccepted;
    Conn m_conns[MAX_SOCKETS];
    volatile int m_iConns;
};

// A minimal echo server on WSAAsyncSelect: one thread with a hidden window
// and its message loop; every socket event arrives as a window message. Each
// FD_READ reads up to uiRecvSize bytes (at most 64 KiB) and sends them back at
// once; a socket with unsent bytes also asks for FD_WRITE and is not read
// until they are gone.
class VZ_RawAsyncEcho : public VZ_BenchServer {
public:
    explicit VZ_RawAsyncEcho(UINT uiRecvSize = ECHO_BUF_SIZE);
    ~VZ_RawAsyncEcho();
    USHORT Start(USHORT usPort = 0) override;
    // Ends the message loop (bounded wait); the thread closes every socket.
    void Stop() override;
    LONG GetAccepted() const override { return m_lAccepted; }
    LONG GetOpen() const override { return m_lOpen; }

private:
    struct Conn; // one connection with its buffer

    static DWORD WINAPI ThreadMain(LPVOID lpParam);
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    USHORT Open(USHORT usPort);
    void Close();
    void OnSocket(SOCKET s, WORD wEvent, WORD wError);
    void Accept();
    bool Read(Conn& conn);
    bool Flush(Conn& conn);
    void Drop(SOCKET s);

    UINT m_uiRecvSize;
    USHORT m_usWantPort; // asked for by Start
    USHORT m_usPort;     // listening, or 0 (set by the thread before m_hReady)
    HANDLE m_hThread;
    HANDLE m_hReady;
    HWND m_hWnd;
    SOCKET m_sListen;
    volatile LONG m_lAccepted;
    volatile LONG m_lOpen;
    std::unordered_map<SOCKET, Conn*> m_conns; // the thread's alone
};

// A minimal echo server on a plain Winsock completion port: iWorkers worker
// threads, one overlapped receive or send per connection at a time (receive,
// send back all of it, receive again), connections accepted by a thread of
// their own (non-blocking listening socket polled with select). With
// bSkipOnSuccess the sockets skip the port for operations that complete at
// once (FILE_SKIP_COMPLETION_PORT_ON_SUCCESS), which are handled on the spot.
// Each receive asks for uiRecvSize bytes (at most 64 KiB).
class VZ_RawIocpEcho : public VZ_BenchServer {
public:
    explicit VZ_RawIocpEcho(int iWorkers = 2, bool bSkipOnSuccess = false, UINT uiRecvSize = ECHO_BUF_SIZE);
    ~VZ_RawIocpEcho();
    USHORT Start(USHORT usPort = 0) override;
    void Stop() override;
    LONG GetAccepted() const override { return m_lAccepted; }
    LONG GetOpen() const override { return m_lOpen; }

    struct Conn; // one connection with its OVERLAPPED and buffer

private:
    enum { MAX_WORKERS = 16 };
    static DWORD WINAPI AcceptMain(LPVOID lpParam);
    static DWORD WINAPI WorkerMain(LPVOID lpParam);
    void AcceptLoop();
    void WorkerLoop();
    int Post(Conn* lpConn, bool bSend, DWORD* lpdwDone);
    bool Advance(Conn* lpConn, DWORD dwBytes);
    void Drop(Conn* lpConn);

    int m_iWorkers;
    bool m_bSkipOnSuccess;
    UINT m_uiRecvSize;
    HANDLE m_hIocp;
    SOCKET m_sListen;
    HANDLE m_hAcceptThread;
    HANDLE m_hWorkers[MAX_WORKERS];
    int m_iWorkerCount;
    volatile LONG m_lStop;
    volatile LONG m_lAccepted;
    volatile LONG m_lOpen;
    CRITICAL_SECTION m_csConns; // guards the list of open connections
    Conn* m_lpConns;            // doubly linked
};

// --serve mode: runs one server alone in this process.
//
//   --serve KIND [--port P] [--msg-len M] [--backlog B] [--threads N] [--recv-size R]
//                [--seconds LIMIT] [--status-ms MS] [--stop-file PATH]
//
// Prints "LISTENING port=P kind=KIND" once it listens (or "UNAVAILABLE ..."
// and exit code 4 when KIND names an oxnet engine that this build does not
// have, "FAILED ..." and exit code 1 when the server could not start), then,
// every MS milliseconds when --status-ms is given,
//   "STATUS ms=T accepted=A open=O private=BYTES private_source=S pagefile=BYTES
//    working_set=BYTES"
// (the process's PROCESS_MEMORY_COUNTERS_EX; where PrivateUsage reads 0, as
// under Wine 8, private is the committed private memory summed with
// VirtualQuery and S says "virtualquery" instead of "counters"), and serves
// until LIMIT seconds
// have passed (default 600) or PATH exists (a Unix path is taken on Wine's
// drive Z:), then stops the server and prints "STOPPED ...". stdout is
// unbuffered.
struct VZ_ServeOptions {
    const char* lpszKind;
    USHORT usPort;
    UINT uiMsgLen;  // engine: notice length, whole messages echoed (default 1)
    int iBacklog;   // engine: listen backlog (default 64)
    int iThreads;   // engine: nWorkThread (0: its default); raw-iocp*, asio: threads (default 2)
    UINT uiRecvSize; // raw-select, raw-async, raw-iocp*: bytes asked for by each receive (default 65536)
    double dSeconds;
    DWORD dwStatusMs; // 0: no status lines
    char szStopFile[MAX_PATH];
};

// Makes the server named by the options; NULL with a reason in lpszWhy, and
// *lpbUnavailable set when the kind is known but not built.
typedef VZ_BenchServer* (*VZ_ServerFactory)(const VZ_ServeOptions& opts, bool* lpbUnavailable, char* lpszWhy,
                                            size_t nWhy);

// Parses argv ("--serve KIND" and the options above), runs the server made by
// lpfnFactory and returns the exit code; lpszKinds is shown in the usage text.
int VZ_ServeMain(int argc, char** argv, VZ_ServerFactory lpfnFactory, const char* lpszKinds);

// The servers of bench_echo.exe: "engine:NAME" (any interface name, through
// oxnet.dll), "select", "iocp" and "async" (short for the engines
// ISelectSocketMgr1.0, IIocpSocketMgr1.0 and IAsyncSocketMgr1.0),
// "raw-select", "raw-async", "raw-iocp", "raw-iocp-skip" (with
// FILE_SKIP_COMPLETION_PORT_ON_SUCCESS).
VZ_BenchServer* VZ_MakeBenchServer(const VZ_ServeOptions& opts, bool* lpbUnavailable, char* lpszWhy, size_t nWhy);
// The server of bench_echo_asio.exe: "asio" (echo_asio_server.cpp).
VZ_BenchServer* VZ_MakeAsioServer(const VZ_ServeOptions& opts, bool* lpbUnavailable, char* lpszWhy, size_t nWhy);
