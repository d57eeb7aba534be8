// Helpers of the native (Linux) benchmark clients echo_load and bench_conns:
// clock, argument parsing, loopback sockets. Plain C++17 and POSIX; built by
// scripts/bench.sh with the host's g++, not by the cross build.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace native {

inline double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// "--name value" options; a value that does not parse ends the program with
// the usage text.
class Args {
public:
    Args(int argc, char** argv, const char* lpszUsage) : m_argc(argc), m_argv(argv), m_lpszUsage(lpszUsage)
    {
        for (int i = 1; i < argc; ++i)
            if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
                Usage(0);
    }
    const char* Text(const char* lpszName, const char* lpszDefault) const
    {
        for (int i = 1; i + 1 < m_argc; ++i)
            if (std::strcmp(m_argv[i], lpszName) == 0)
                return m_argv[i + 1];
        return lpszDefault;
    }
    long Long(const char* lpszName, long lDefault, long lMin, long lMax) const
    {
        const char* lpsz = Text(lpszName, nullptr);
        if (!lpsz)
            return lDefault;
        char* lpszEnd = nullptr;
        long l = std::strtol(lpsz, &lpszEnd, 10);
        if (*lpsz == 0 || *lpszEnd != 0 || l < lMin || l > lMax) {
            std::fprintf(stderr, "%s: %s must be a whole number from %ld to %ld\n", m_argv[0], lpszName, lMin, lMax);
            Usage(1);
        }
        return l;
    }
    double Double(const char* lpszName, double dDefault, double dMin, double dMax) const
    {
        const char* lpsz = Text(lpszName, nullptr);
        if (!lpsz)
            return dDefault;
        char* lpszEnd = nullptr;
        double d = std::strtod(lpsz, &lpszEnd);
        if (*lpsz == 0 || *lpszEnd != 0 || !(d >= dMin && d <= dMax)) {
            std::fprintf(stderr, "%s: %s must be a number from %g to %g\n", m_argv[0], lpszName, dMin, dMax);
            Usage(1);
        }
        return d;
    }
    // The --port option, which every client needs.
    long Port() const
    {
        long lPort = Long("--port", 0, 1, 65535);
        if (lPort == 0)
            Usage(1);
        return lPort;
    }
    [[noreturn]] void Usage(int iCode) const
    {
        std::fputs(m_lpszUsage, iCode ? stderr : stdout);
        std::exit(iCode);
    }

private:
    int m_argc;
    char** m_argv;
    const char* m_lpszUsage;
};

inline bool SetNonBlocking(int fd)
{
    int iFlags = fcntl(fd, F_GETFL, 0);
    return iFlags >= 0 && fcntl(fd, F_SETFL, iFlags | O_NONBLOCK) == 0;
}

inline void SetNoDelay(int fd)
{
    int iOn = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &iOn, sizeof(iOn));
}

inline sockaddr_in Loopback(unsigned short usPort)
{
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(usPort);
    return addr;
}

// Raises the soft limit of open files to the hard one; the new soft limit.
inline long RaiseFileLimit()
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return -1;
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
    }
    return rl.rlim_cur == RLIM_INFINITY ? 1L << 30 : (long)rl.rlim_cur;
}

} // namespace native
