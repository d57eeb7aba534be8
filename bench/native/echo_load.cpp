// echo_load: the native ping-pong load client of the echo benchmark (Linux,
// plain C++17, one epoll thread). Built by scripts/bench.sh with the host's
// g++, not by the cross build: a client inside the Wine process would cap
// the server it measures (see shared platform notes).
//
//   echo_load --port P [--conns C] [--size M] [--seconds S] [--threads T]
//
// C connections to 127.0.0.1:P (TCP_NODELAY) each send an M-byte message and
// wait for all of its echo before sending the next. Every message starts with
// its own sequence number, and every echoed byte is compared with what was
// sent, so a lost, repeated or stale byte fails the run. Every connection
// makes one round trip before the clock starts; then the run lasts S seconds
// and counts the round trips completed in that window. Bounded: connecting
// and the first round trips get 15 s, and the run fails when no byte moves
// for 10 s. With T threads (default 1) the connections are dealt out among T
// epoll loops, for servers faster than one client thread.
//
// Prints a line for people and one for scripts:
//   RESULT ok=1 conns=C size=M seconds=S msgs=N msgs_per_s=X mb_per_s=Y
// MB/s is message bytes per second one way (10^6 bytes). Exit code: 0 passed,
// 1 bad arguments or no connection, 2 wrong echo or dropped connection, 3 a
// time limit was reached.
#include "native_util.h"

#include <sys/epoll.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

const char USAGE[] = "usage: echo_load --port P [--conns C (1-10000)] [--size M (1-67108864 bytes)] [--seconds S]\n"
                     "                 [--threads T (1-16)]\n"
                     "  ping-pong echo load on 127.0.0.1:P; prints msgs/s and MB/s (RESULT line for scripts)\n";

const double CONNECT_TIMEOUT_S = 5.0;
const double READY_TIMEOUT_S = 15.0; // connecting and every first round trip
const double STALL_TIMEOUT_S = 10.0; // no byte moved on any connection

enum Phase { WARMUP, RUN, DONE };

struct Conn {
    int fd = -1;
    int index = 0;
    std::vector<char> out;
    std::vector<char> in;
    size_t sent = 0;  // bytes of the current message sent
    size_t recvd = 0; // bytes of its echo received
    bool busy = false; // a message is out and its echo not complete
    bool wantOut = false; // EPOLLOUT is armed (a send was cut short)
    bool finished = false; // no further message (deadline passed)
    long long seq = 0;
    long long counted = 0; // round trips completed within the timed window
};

// What the threads share: the count of connections past their first round
// trip, the common start and deadline, and an abort flag.
struct Shared {
    int total = 0;
    double seconds = 0;
    double begin = 0;
    std::atomic<int> ready{0};
    std::atomic<bool> starting{false};
    std::atomic<bool> go{false};
    std::atomic<bool> abort{false};
    double start = 0, deadline = 0; // written before go is set
};

struct Run {
    int epfd = -1;
    size_t size = 0;
    std::vector<Conn> conns;
    Phase phase = WARMUP;
    int ready = 0;    // connections past their first round trip
    int finished = 0; // connections done after the deadline
    double start = 0, deadline = 0;
    double lastProgress = 0;
    char error[200] = "";
    int errorCode = 0;
};

void Fail(Run& run, int iCode, const char* lpszFormat, int iIndex, long long llValue)
{
    if (run.errorCode != 0)
        return;
    run.errorCode = iCode;
    char sz[160];
    std::snprintf(sz, sizeof(sz), lpszFormat, llValue);
    std::snprintf(run.error, sizeof(run.error), "connection %d: %s", iIndex, sz);
}

void Arm(Run& run, Conn& c, bool bOut)
{
    if (c.wantOut == bOut)
        return;
    epoll_event ev;
    std::memset(&ev, 0, sizeof(ev));
    ev.events = bOut ? (uint32_t)(EPOLLIN | EPOLLOUT) : (uint32_t)EPOLLIN;
    ev.data.u32 = (uint32_t)c.index;
    epoll_ctl(run.epfd, EPOLL_CTL_MOD, c.fd, &ev);
    c.wantOut = bOut;
}

// Sends what the socket takes of the current message.
bool Flush(Run& run, Conn& c)
{
    while (c.sent < run.size) {
        ssize_t n = send(c.fd, &c.out[c.sent], run.size - c.sent, MSG_NOSIGNAL);
        if (n > 0) {
            c.sent += (size_t)n;
            run.lastProgress = native::Now();
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Arm(run, c, true);
            return true;
        }
        Fail(run, 2, "send failed, errno %lld", c.index, errno);
        return false;
    }
    Arm(run, c, false);
    return true;
}

// Starts the next message: its sequence number in front, the connection's
// pattern behind.
bool StartMessage(Run& run, Conn& c, long long llSeq)
{
    c.seq = llSeq;
    std::memcpy(&c.out[0], &llSeq, run.size < sizeof(llSeq) ? run.size : sizeof(llSeq));
    c.sent = 0;
    c.recvd = 0;
    c.busy = true;
    return Flush(run, c);
}

void Completed(Run& run, Conn& c, double dNow)
{
    c.busy = false;
    if (run.phase == WARMUP) {
        ++run.ready;
        return;
    }
    if (dNow <= run.deadline) {
        ++c.counted;
        StartMessage(run, c, c.seq + 1);
        return;
    }
    c.finished = true;
    ++run.finished;
}

void OnReadable(Run& run, Conn& c)
{
    if (!c.busy) {
        // Nothing is expected: any byte is one too many, and a close is early.
        char b[256];
        ssize_t n = recv(c.fd, b, sizeof(b), 0);
        if (n > 0)
            Fail(run, 2, "%lld bytes came back that were never sent", c.index, (long long)n);
        else if (n == 0)
            Fail(run, 2, "closed by the server after %lld messages", c.index, c.counted);
        return;
    }
    while (c.recvd < run.size) {
        ssize_t n = recv(c.fd, &c.in[c.recvd], run.size - c.recvd, 0);
        if (n > 0) {
            c.recvd += (size_t)n;
            run.lastProgress = native::Now();
            continue;
        }
        if (n == 0) {
            Fail(run, 2, "closed by the server after %lld messages", c.index, c.counted);
            return;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        Fail(run, 2, "recv failed, errno %lld", c.index, errno);
        return;
    }
    if (c.recvd > c.sent) {
        Fail(run, 2, "more bytes came back than were sent (message %lld)", c.index, c.seq);
        return;
    }
    if (c.recvd < run.size)
        return;
    for (size_t i = 0; i < run.size; ++i)
        if (c.in[i] != c.out[i]) {
            Fail(run, 2, "echo differs from the message at byte %lld", c.index, (long long)i);
            return;
        }
    Completed(run, c, native::Now());
}

int ConnectOne(unsigned short usPort)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    timeval tv = {(time_t)CONNECT_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    sockaddr_in addr = native::Loopback(usPort);
    if (connect(fd, (const sockaddr*)&addr, sizeof(addr)) != 0 || !native::SetNonBlocking(fd)) {
        close(fd);
        return -1;
    }
    native::SetNoDelay(fd);
    return fd;
}

// One thread's epoll loop over its connections, from the first round trips
// to the end of the run.
void Loop(Run& run, Shared& sh)
{
    int iMine = (int)run.conns.size();
    bool bReported = false;
    run.lastProgress = native::Now();
    for (Conn& c : run.conns)
        StartMessage(run, c, -1);
    std::vector<epoll_event> events(iMine);
    while (run.errorCode == 0 && run.phase != DONE && !sh.abort.load()) {
        int n = epoll_wait(run.epfd, events.data(), iMine, 50);
        for (int k = 0; k < n && run.errorCode == 0; ++k) {
            Conn& c = run.conns[events[k].data.u32];
            if (events[k].events & EPOLLOUT)
                Flush(run, c);
            if (events[k].events & (EPOLLIN | EPOLLERR | EPOLLHUP))
                OnReadable(run, c);
        }
        double dNow = native::Now();
        if (run.phase == WARMUP) {
            if (!bReported && run.ready == iMine) {
                bReported = true;
                sh.ready += iMine;
            }
            bool bFalse = false;
            if (sh.ready.load() == sh.total && sh.starting.compare_exchange_strong(bFalse, true)) {
                sh.start = dNow;
                sh.deadline = dNow + sh.seconds;
                sh.go.store(true);
            }
            if (sh.go.load()) {
                run.phase = RUN;
                run.deadline = sh.deadline;
                run.lastProgress = dNow;
                for (Conn& c : run.conns)
                    StartMessage(run, c, 0);
            } else if (dNow - sh.begin > READY_TIMEOUT_S) {
                run.errorCode = 3;
                std::snprintf(run.error, sizeof(run.error),
                              "%d of %d connections answered their first message in %.0f s", sh.ready.load(),
                              sh.total, READY_TIMEOUT_S);
            }
        } else if (run.phase == RUN && run.finished == iMine) {
            run.phase = DONE;
        }
        // Stalled: bytes are owed to this thread and none moved for a while.
        bool bWaiting = run.phase == RUN || (run.phase == WARMUP && !bReported);
        if (run.errorCode == 0 && bWaiting && dNow - run.lastProgress > STALL_TIMEOUT_S) {
            run.errorCode = 3;
            std::snprintf(run.error, sizeof(run.error), "no byte moved for %.0f s (%d of %d connections had answered)",
                          STALL_TIMEOUT_S, run.phase == WARMUP ? sh.ready.load() : sh.total, sh.total);
        }
    }
    if (run.errorCode != 0)
        sh.abort.store(true);
    // A clean end has no byte left over on any connection.
    for (Conn& c : run.conns) {
        if (run.errorCode == 0 && run.phase == DONE) {
            char b;
            ssize_t n = recv(c.fd, &b, 1, MSG_DONTWAIT);
            if (n > 0)
                Fail(run, 2, "bytes came back after the last message (%lld)", c.index, c.seq);
        }
        close(c.fd);
    }
    close(run.epfd);
}

} // namespace

int main(int argc, char** argv)
{
    native::Args args(argc, argv, USAGE);
    long lPort = args.Port();
    int iConns = (int)args.Long("--conns", 1, 1, 10000);
    size_t size = (size_t)args.Long("--size", 64, 1, 1 << 26);
    double dSeconds = args.Double("--seconds", 3.0, 0.1, 600.0);
    int iThreads = (int)args.Long("--threads", 1, 1, 16);
    if (iThreads > iConns)
        iThreads = iConns;
    native::RaiseFileLimit();

    // Connection i goes to thread i % T.
    std::vector<Run> runs(iThreads);
    for (Run& run : runs) {
        run.size = size;
        run.epfd = epoll_create1(0);
    }
    for (int i = 0; i < iConns; ++i) {
        Run& run = runs[i % iThreads];
        run.conns.emplace_back();
        Conn& c = run.conns.back();
        c.index = i;
        c.fd = ConnectOne((unsigned short)lPort);
        if (c.fd < 0) {
            std::printf("echo_load: connect %d to 127.0.0.1:%ld failed: %s\nRESULT ok=0 error=connect\n", i, lPort,
                        std::strerror(errno));
            return 1;
        }
        c.out.resize(size);
        c.in.resize(size);
        for (size_t j = 0; j < size; ++j)
            c.out[j] = (char)(j * 7 + i * 13 + 1);
        epoll_event ev;
        std::memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLIN;
        ev.data.u32 = (uint32_t)(run.conns.size() - 1);
        epoll_ctl(run.epfd, EPOLL_CTL_ADD, c.fd, &ev);
    }

    Shared sh;
    sh.total = iConns;
    sh.seconds = dSeconds;
    sh.begin = native::Now();
    std::vector<std::thread> threads;
    for (int t = 1; t < iThreads; ++t)
        threads.emplace_back([&runs, &sh, t] { Loop(runs[t], sh); });
    Loop(runs[0], sh);
    for (std::thread& th : threads)
        th.join();

    long long llMsgs = 0;
    const Run* lpFailed = nullptr;
    bool bDone = true;
    for (const Run& run : runs) {
        for (const Conn& c : run.conns)
            llMsgs += c.counted;
        if (run.errorCode != 0 && !lpFailed)
            lpFailed = &run;
        bDone = bDone && run.phase == DONE;
    }
    double dRate = bDone ? double(llMsgs) / dSeconds : 0.0;
    double dMB = dRate * double(size) / 1e6;
    if (lpFailed) {
        std::printf("echo_load: %d conns x %zu B: FAILED: %s\n", iConns, size, lpFailed->error);
        std::printf("RESULT ok=0 conns=%d size=%zu error=\"%s\"\n", iConns, size, lpFailed->error);
        return lpFailed->errorCode;
    }
    std::printf("echo_load: %d conns x %zu B, %.1f s, %d client thread%s: %lld round trips, %.0f msgs/s, %.2f MB/s\n",
                iConns, size, dSeconds, iThreads, iThreads == 1 ? "" : "s", llMsgs, dRate, dMB);
    std::printf("RESULT ok=1 conns=%d size=%zu seconds=%.3f threads=%d msgs=%lld msgs_per_s=%.1f mb_per_s=%.3f\n",
                iConns, size, dSeconds, iThreads, llMsgs, dRate, dMB);
    return 0;
}
