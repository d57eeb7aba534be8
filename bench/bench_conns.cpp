// bench_conns: how many idle connections an echo server takes, how fast it
// accepts them, and what each one costs it in memory. The native (Linux) side
// of the measurement: plain C++17 and epoll, built by scripts/bench.sh with
// the host's g++, not by the cross build (like bench/native/echo_load.cpp).
// scripts/bench.sh runs it against the IOCP engine's echo server
// (bench_echo.exe --serve iocp --msg-len 1 --status-ms 250).
//
//   bench_conns --port P [--count N] [--parallel K] [--seconds LIMIT]
//               [--server-log FILE] [--server-pid PID] [--wineserver-pid PID]
//
// Opens up to N connections (default 10,000) to 127.0.0.1:P, at most K
// (default 64) at a time in progress; a connection counts once the server has
// accepted it and echoed one byte, and then stays open, idle. Opening stops at
// N, at the open-file limit, when the server refuses or resets, when no
// connection completes for 10 s, or at LIMIT seconds (default 120). Then every
// open connection sends one more byte and must get it back (all still served),
// and all are closed.
//
// Accept rate: connections completed per second, from the first connect to
// the last completion. Memory: with --server-log (the server's output, with
// its STATUS lines), the server's private bytes before the first connect and
// once it has accepted them all, and their difference divided by the count;
// with --server-pid / --wineserver-pid, the same for the Linux resident set
// size of those processes (under Wine a socket's state lives partly in
// wineserver, which does not give memory back: its figure tells only on a
// wineserver that no earlier run made grow).
//
// Prints a line for people and one for scripts:
//   RESULT ok=1 count=N accept_rate=X private_per_conn=B rss_per_conn=B wineserver_rss_per_conn=B ...
// Exit code: 0 when at least one connection was made and every open one still
// echoed at the end, 1 bad arguments or nothing connected, 2 a wrong byte or
// a connection lost while idle, 3 the final check ran out of time.
#include "native/native_util.h"

#include <sys/epoll.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

const char USAGE[] =
    "usage: bench_conns --port P [--count N (1-100000)] [--parallel K (1-1024)] [--seconds LIMIT]\n"
    "                   [--server-log FILE] [--server-pid PID] [--wineserver-pid PID]\n"
    "  opens idle connections to 127.0.0.1:P; prints the count, accepts/s and memory per connection\n";

const double STALL_S = 10.0;      // no connection completed
const double CHECK_S = 30.0;      // final echo of every connection
const double SETTLE_S = 15.0;     // for the server's status to show every accept
const double QUIET_S = 1.0;       // after that, before the memory is read

enum State { CONNECTING, WAITING, IDLE, CHECKING, DONE };

struct Conn {
    int fd = -1;
    State state = CONNECTING;
    char byte = 0;
};

struct Status {
    bool ok = false;
    double ms = 0;
    long accepted = 0;
    long open = 0;
    unsigned long long privateBytes = 0;
    std::string source;
};

// The last STATUS line of the server's output.
Status LastStatus(const char* lpszLog)
{
    Status st;
    if (!lpszLog)
        return st;
    std::ifstream in(lpszLog);
    std::string line, last;
    while (std::getline(in, line))
        if (line.compare(0, 7, "STATUS ") == 0)
            last = line;
    if (last.empty())
        return st;
    std::istringstream ss(last.substr(7));
    std::string tok;
    while (ss >> tok) {
        size_t eq = tok.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = tok.substr(0, eq), val = tok.substr(eq + 1);
        if (key == "ms")
            st.ms = std::atof(val.c_str());
        else if (key == "accepted")
            st.accepted = std::atol(val.c_str());
        else if (key == "open")
            st.open = std::atol(val.c_str());
        else if (key == "private")
            st.privateBytes = std::strtoull(val.c_str(), nullptr, 10);
        else if (key == "private_source")
            st.source = val;
    }
    st.ok = true;
    return st;
}

// Waits up to dTimeout for a STATUS line newer than dAfterMs that satisfies pred.
template <class Pred> Status WaitStatus(const char* lpszLog, double dAfterMs, double dTimeout, Pred pred)
{
    double dEnd = native::Now() + dTimeout;
    Status st;
    do {
        st = LastStatus(lpszLog);
        if (st.ok && st.ms > dAfterMs && pred(st))
            return st;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (native::Now() < dEnd);
    st.ok = false;
    return st;
}

// VmRSS of a Linux process in bytes, 0 when unknown.
unsigned long long Rss(long lPid)
{
    if (lPid <= 0)
        return 0;
    std::ifstream in("/proc/" + std::to_string(lPid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024ULL;
    return 0;
}

double PerConn(unsigned long long ullBefore, unsigned long long ullAfter, long lCount)
{
    if (lCount <= 0 || ullBefore == 0 || ullAfter == 0)
        return -1;
    return (double(ullAfter) - double(ullBefore)) / double(lCount);
}

void Watch(int epfd, Conn& c, int iIndex, uint32_t uiEvents, int iOp)
{
    epoll_event ev;
    std::memset(&ev, 0, sizeof(ev));
    ev.events = uiEvents;
    ev.data.u32 = (uint32_t)iIndex;
    epoll_ctl(epfd, iOp, c.fd, &ev);
}

} // namespace

int main(int argc, char** argv)
{
    native::Args args(argc, argv, USAGE);
    long lPort = args.Port();
    long lWanted = args.Long("--count", 10000, 1, 100000);
    int iParallel = (int)args.Long("--parallel", 64, 1, 1024);
    double dLimit = args.Double("--seconds", 120, 1, 3600);
    const char* lpszLog = args.Text("--server-log", nullptr);
    long lServerPid = args.Long("--server-pid", 0, 1, 1L << 30);
    long lWinePid = args.Long("--wineserver-pid", 0, 1, 1L << 30);

    long lFiles = native::RaiseFileLimit();
    long lCount = lWanted;
    const char* lpszCap = "";
    if (lFiles > 0 && lCount > lFiles - 32) {
        lCount = lFiles - 32;
        lpszCap = " (capped by this process's open-file limit)";
    }
    std::printf("bench_conns: up to %ld idle connections to 127.0.0.1:%ld%s, %d at a time in progress, "
                "open-file limit %ld\n",
                lCount, lPort, lpszCap, iParallel, lFiles);

    // The server's memory before the first connection.
    Status before;
    if (lpszLog) {
        before = WaitStatus(lpszLog, 0, 5.0, [](const Status&) { return true; });
        if (!before.ok)
            std::printf("bench_conns: no STATUS line in %s; memory per connection not measured\n", lpszLog);
    }
    unsigned long long ullRss0 = Rss(lServerPid), ullWine0 = Rss(lWinePid);

    int epfd = epoll_create1(0);
    std::vector<Conn> conns;
    conns.reserve(lCount);
    std::vector<epoll_event> events(1024);
    long lInProgress = 0, lIdle = 0;
    const char* lpszStop = "count reached";
    char szStop[160] = "";
    double dStart = native::Now(), dLastDone = dStart;
    bool bOpening = true;
    int iError = 0;
    while (bOpening || lInProgress > 0) {
        double dNow = native::Now();
        if (bOpening && dNow - dStart > dLimit) {
            bOpening = false;
            lpszStop = "time limit";
        }
        // Start new connections while there is room.
        while (bOpening && lInProgress < iParallel && (long)conns.size() < lCount) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            if (fd < 0) {
                bOpening = false;
                std::snprintf(szStop, sizeof(szStop), "socket() failed: %s", std::strerror(errno));
                lpszStop = szStop;
                break;
            }
            native::SetNoDelay(fd);
            sockaddr_in addr = native::Loopback((unsigned short)lPort);
            if (connect(fd, (const sockaddr*)&addr, sizeof(addr)) != 0 && errno != EINPROGRESS) {
                std::snprintf(szStop, sizeof(szStop), "connect failed: %s", std::strerror(errno));
                lpszStop = szStop;
                close(fd);
                bOpening = false;
                break;
            }
            Conn c;
            c.fd = fd;
            c.byte = (char)('a' + conns.size() % 26);
            conns.push_back(c);
            Watch(epfd, conns.back(), (int)conns.size() - 1, EPOLLOUT, EPOLL_CTL_ADD);
            ++lInProgress;
        }
        if (bOpening && (long)conns.size() >= lCount)
            bOpening = false;
        if (lInProgress > 0 && dNow - dLastDone > STALL_S) {
            std::snprintf(szStop, sizeof(szStop), "no connection completed for %.0f s (%ld still in progress)",
                          STALL_S, lInProgress);
            lpszStop = szStop;
            break;
        }
        int n = epoll_wait(epfd, events.data(), (int)events.size(), 50);
        for (int k = 0; k < n; ++k) {
            int i = (int)events[k].data.u32;
            Conn& c = conns[i];
            int iSoError = 0;
            socklen_t len = sizeof(iSoError);
            if (c.state == CONNECTING) {
                getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &iSoError, &len);
                if (iSoError == 0) {
                    if (send(c.fd, &c.byte, 1, MSG_NOSIGNAL) == 1) {
                        c.state = WAITING;
                        Watch(epfd, c, i, EPOLLIN, EPOLL_CTL_MOD);
                        continue;
                    }
                    iSoError = errno;
                }
            } else if (c.state == WAITING) {
                char b = 0;
                ssize_t r = recv(c.fd, &b, 1, 0);
                if (r == 1 && b == c.byte) {
                    c.state = IDLE;
                    epoll_ctl(epfd, EPOLL_CTL_DEL, c.fd, nullptr);
                    --lInProgress;
                    ++lIdle;
                    dLastDone = native::Now();
                    continue;
                }
                if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                    continue;
                if (r == 1) {
                    iError = 2;
                    std::snprintf(szStop, sizeof(szStop), "connection %d: wrong byte echoed", i);
                    lpszStop = szStop;
                    bOpening = false;
                }
                iSoError = r == 0 ? ECONNRESET : errno;
            }
            // The server refused, reset or closed: no more opening.
            if (bOpening) {
                std::snprintf(szStop, sizeof(szStop), "connection %d failed: %s", i, std::strerror(iSoError));
                lpszStop = szStop;
                bOpening = false;
            }
            epoll_ctl(epfd, EPOLL_CTL_DEL, c.fd, nullptr);
            close(c.fd);
            c.fd = -1;
            c.state = DONE;
            --lInProgress;
        }
    }
    double dOpenSeconds = dLastDone - dStart;
    double dRate = dOpenSeconds > 0 ? double(lIdle) / dOpenSeconds : 0;
    std::printf("bench_conns: %ld connections open and idle after %.2f s (%s): %.0f accepts/s\n", lIdle,
                dOpenSeconds, lpszStop, dRate);

    // The server's memory once its status shows every accept.
    Status after;
    double dPrivPer = -1;
    if (lpszLog && before.ok && lIdle > 0) {
        long lTarget = before.accepted + lIdle;
        Status seen = WaitStatus(lpszLog, before.ms, SETTLE_S, [&](const Status& st) { return st.accepted >= lTarget; });
        if (!seen.ok) {
            std::printf("bench_conns: the server's status did not show %ld accepts within %.0f s\n", lIdle, SETTLE_S);
        } else {
            std::this_thread::sleep_for(std::chrono::duration<double>(QUIET_S));
            after = WaitStatus(lpszLog, seen.ms, 5.0, [](const Status&) { return true; });
            if (after.ok) {
                dPrivPer = PerConn(before.privateBytes, after.privateBytes, lIdle);
                std::printf("bench_conns: server private bytes (%s) %.1f MB before, %.1f MB with %ld open "
                            "connections: %.0f bytes per connection\n",
                            after.source.c_str(), before.privateBytes / 1e6, after.privateBytes / 1e6, after.open,
                            dPrivPer);
            }
        }
    }
    unsigned long long ullRss1 = Rss(lServerPid), ullWine1 = Rss(lWinePid);
    double dRssPer = PerConn(ullRss0, ullRss1, lIdle), dWinePer = PerConn(ullWine0, ullWine1, lIdle);
    if (dRssPer >= 0 || lServerPid)
        std::printf("bench_conns: server process resident (Linux) %.1f MB -> %.1f MB: %.0f bytes per connection\n",
                    ullRss0 / 1e6, ullRss1 / 1e6, dRssPer);
    if (dWinePer >= 0 || lWinePid)
        std::printf("bench_conns: wineserver resident (Linux) %.1f MB -> %.1f MB: %.0f bytes per connection "
                    "(wineserver keeps the memory earlier runs made it grow by: telling on a fresh one only)\n",
                    ullWine0 / 1e6, ullWine1 / 1e6, dWinePer);

    // Every idle connection must still be served: one more byte each.
    long lChecked = 0, lLost = 0;
    for (size_t i = 0; i < conns.size(); ++i) {
        Conn& c = conns[i];
        if (c.state != IDLE)
            continue;
        c.byte = (char)('A' + i % 26);
        if (send(c.fd, &c.byte, 1, MSG_NOSIGNAL) != 1) {
            ++lLost;
            continue;
        }
        c.state = CHECKING;
        Watch(epfd, c, (int)i, EPOLLIN, EPOLL_CTL_ADD);
        ++lChecked;
    }
    long lPending = lChecked;
    double dCheckEnd = native::Now() + CHECK_S;
    while (lPending > 0 && native::Now() < dCheckEnd) {
        int n = epoll_wait(epfd, events.data(), (int)events.size(), 50);
        for (int k = 0; k < n; ++k) {
            Conn& c = conns[events[k].data.u32];
            char b = 0;
            ssize_t r = recv(c.fd, &b, 1, 0);
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            if (r != 1 || b != c.byte)
                ++lLost;
            c.state = DONE;
            epoll_ctl(epfd, EPOLL_CTL_DEL, c.fd, nullptr);
            --lPending;
        }
    }
    std::printf("bench_conns: final check: %ld of %ld idle connections echoed again, %ld lost, %ld unanswered\n",
                lChecked - lPending - lLost, lIdle, lLost, lPending);
    for (Conn& c : conns)
        if (c.fd >= 0)
            close(c.fd);
    close(epfd);

    if (iError == 0 && lLost > 0)
        iError = 2;
    if (iError == 0 && lPending > 0)
        iError = 3;
    if (iError == 0 && lIdle == 0)
        iError = 1;
    std::printf("RESULT ok=%d count=%ld wanted=%ld open_seconds=%.3f accept_rate=%.1f private_before=%llu "
                "private_after=%llu private_per_conn=%.0f rss_per_conn=%.0f wineserver_rss_per_conn=%.0f "
                "stop=\"%s\"\n",
                iError == 0 ? 1 : 0, lIdle, lWanted, dOpenSeconds, dRate, before.privateBytes, after.privateBytes,
                dPrivPer, dRssPer, dWinePer, lpszStop);
    return iError;
}
