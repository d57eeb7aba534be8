// oxsocks: a SOCKS5 server (CONNECT, with RFC 1929 user and password when
// asked for) on one oxnet manager, obtained through oxnet.dll like any host.
// The server itself is in oxsocks/SocksServer.*; this file reads the command
// line and waits for the stop.
#define _WINSOCK_DEPRECATED_NO_WARNINGS // inet_addr: IPv4 only, as the library
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "oxsocks/SocksServer.h"

namespace {

HANDLE g_hStop = NULL;

const char USAGE[] =
    "usage: oxsocks [options]\n"
    "A SOCKS5 server (RFC 1928 CONNECT to an IPv4 address or a domain name).\n"
    "  --listen ADDR:PORT     where to listen (default 127.0.0.1:1080; port 0: any free port)\n"
    "  --engine iocp|select|async\n"
    "                         the oxnet engine (default iocp, the completion port)\n"
    "  --user NAME --password PW\n"
    "                         accept only RFC 1929 user and password (default: no authentication)\n"
    "  --idle SECONDS         close a connection quiet both ways this long (default 300)\n"
    "  --max-queued BYTES     stop reading a side while more than this waits to be sent\n"
    "                         to the other (default 262144)\n"
    "  --log                  a line per connection on stdout when it ends\n"
    "  --stop-on-stdin-eof    stop when standard input ends (for scripts; Ctrl+C always stops)\n"
    "The first line on stdout gives the address it listens on. A stop closes every\n"
    "connection, prints a line with the totals and the peak memory, and exits 0.\n";

BOOL WINAPI OnConsoleCtrl(DWORD dwType)
{
    if (dwType != CTRL_C_EVENT && dwType != CTRL_BREAK_EVENT && dwType != CTRL_CLOSE_EVENT)
        return FALSE;
    SetEvent(g_hStop);
    return TRUE;
}

DWORD WINAPI WatchStdin(LPVOID)
{
    char buf[256];
    DWORD dwRead = 0;
    HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(hIn, buf, sizeof(buf), &dwRead, NULL) && dwRead > 0) {
    }
    SetEvent(g_hStop);
    return 0;
}

bool ParseUint(const char* lpsz, UINT uiMax, UINT* lpui)
{
    char* lpEnd = NULL;
    unsigned long ul = std::strtoul(lpsz, &lpEnd, 10);
    if (*lpsz == 0 || *lpEnd != 0 || ul > uiMax)
        return false;
    *lpui = UINT(ul);
    return true;
}

bool ParseListen(const char* lpsz, VZ_SocksOptions& opt)
{
    const char* lpColon = std::strrchr(lpsz, ':');
    UINT uiPort = 0;
    if (lpColon == NULL || !ParseUint(lpColon + 1, 65535, &uiPort))
        return false;
    opt.strListenAddr.assign(lpsz, lpColon);
    opt.usListenPort = USHORT(uiPort);
    return inet_addr(opt.strListenAddr.c_str()) != INADDR_NONE;
}

bool ParseEngine(const std::string& str, VZ_SocksOptions& opt)
{
    const char* const names[][2] = {
        {"iocp", "IIocpSocketMgr1.0"}, {"select", "ISelectSocketMgr1.0"}, {"async", "IAsyncSocketMgr1.0"}};
    for (const auto& name : names) {
        if (str == name[0]) {
            opt.strEngine = name[1];
            return true;
        }
    }
    return false;
}

// 0: go on; otherwise the exit code (0 after --help).
int ParseArgs(int argc, char** argv, VZ_SocksOptions& opt)
{
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        const char* lpszValue = i + 1 < argc ? argv[i + 1] : NULL;
        bool bOk = true;
        if (strArg == "--help" || strArg == "-h") {
            std::fputs(USAGE, stdout);
            return -1;
        } else if (strArg == "--log") {
            opt.bLog = true;
        } else if (strArg == "--stop-on-stdin-eof") {
            opt.bStopOnStdinEof = true;
        } else if (lpszValue == NULL) {
            bOk = false;
        } else {
            ++i;
            if (strArg == "--listen")
                bOk = ParseListen(lpszValue, opt);
            else if (strArg == "--engine")
                bOk = ParseEngine(lpszValue, opt);
            else if (strArg == "--user")
                opt.strUser = lpszValue;
            else if (strArg == "--password")
                opt.strPassword = lpszValue;
            else if (strArg == "--idle")
                bOk = ParseUint(lpszValue, 4000000, &opt.uiIdleSeconds) && opt.uiIdleSeconds > 0;
            else if (strArg == "--max-queued")
                bOk = ParseUint(lpszValue, 0x40000000, &opt.uiMaxQueued);
            else
                bOk = false;
        }
        if (!bOk) {
            std::fprintf(stderr, "oxsocks: bad argument %s\n%s", strArg.c_str(), USAGE);
            return 2;
        }
    }
    // RFC 1929 carries each in one length byte.
    if (opt.strUser.size() > 255 || opt.strPassword.size() > 255 || opt.strUser.empty() != opt.strPassword.empty()) {
        std::fprintf(stderr, "oxsocks: --user and --password go together, 1 to 255 bytes each\n");
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa); // inet_addr and getsockname of the host itself
    VZ_SocksOptions opt;
    int iParsed = ParseArgs(argc, argv, opt);
    if (iParsed != 0)
        return iParsed < 0 ? 0 : iParsed;
    g_hStop = CreateEventW(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
    VZ_SocksServer server(opt);
    if (!server.Start())
        return 1;
    std::printf("oxsocks: SOCKS5 on %s:%u, engine %s, %s\n", opt.strListenAddr.c_str(), server.GetPort(),
                opt.strEngine.c_str(), opt.strUser.empty() ? "no authentication" : "user and password");
    std::fflush(stdout);
    if (opt.bStopOnStdinEof)
        CloseHandle(CreateThread(NULL, 0, WatchStdin, NULL, 0, NULL));
    WaitForSingleObject(g_hStop, INFINITE);
    server.Stop();
    WSACleanup();
    return 0;
}
