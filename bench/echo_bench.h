// Echo benchmark parts: the ping-pong client load and the plain select echo
// server it is compared against.
#pragma once

#include <winsock2.h>
#include <windows.h>

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

// A minimal echo server on plain Winsock: one thread, non-blocking sockets, one
// select over at most 64 sockets. Bytes go back as they come; a socket with
// unsent bytes waits for writability and is not read meanwhile.
class VZ_RawSelectEcho {
public:
    VZ_RawSelectEcho();
    ~VZ_RawSelectEcho();
    // Listens on 127.0.0.1 at an ephemeral port and starts the thread; the port, or 0.
    USHORT Start();
    // Ends the thread (bounded wait) and closes every socket.
    void Stop();

private:
    enum { MAX_SOCKETS = 64, BUF_SIZE = 65536 };
    struct Conn {
        SOCKET s;
        char* lpBuf;
        UINT uiOffset;  // first unsent byte of lpBuf
        UINT uiPending; // bytes still to send back
    };

    static DWORD WINAPI ThreadMain(LPVOID lpParam);
    void Loop();
    void Accept();
    bool Read(Conn& conn);
    bool Flush(Conn& conn);
    void Drop(int iIndex);

    SOCKET m_sListen;
    HANDLE m_hThread;
    volatile LONG m_lStop;
    Conn m_conns[MAX_SOCKETS];
    int m_iConns;
};
