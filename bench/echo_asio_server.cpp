// bench_echo_asio: the echo server of the benchmark on standalone Asio
// (Debian's libasio-dev, header-only, ASIO_STANDALONE), cross-compiled for
// Windows, where Asio runs on an I/O completion port. The textbook echo: each
// session reads what is there (async_read_some, up to 64 KiB), writes all of
// it back (async_write), reads again; one io_context run by N threads
// (default 2); TCP_NODELAY on every accepted socket.
//
//   bench_echo_asio --serve asio [--port P] [--threads N] [--seconds LIMIT]
//                               [--status-ms MS] [--stop-file PATH]
//
// The options and the lines it prints are those of every --serve server
// (echo_bench.h).
#include "echo_bench.h"

#include <asio.hpp>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

using asio::ip::tcp;

class VZ_AsioEcho : public VZ_BenchServer {
public:
    explicit VZ_AsioEcho(int iThreads)
        : m_iThreads(iThreads), m_lAccepted(0), m_lOpen(0), m_io(iThreads), m_acceptor(m_io)
    {
    }
    ~VZ_AsioEcho() override { Stop(); }

    USHORT Start(USHORT usPort) override
    {
        asio::error_code ec;
        tcp::endpoint ep(asio::ip::address_v4::loopback(), usPort);
        m_acceptor.open(ep.protocol(), ec);
        if (!ec)
            m_acceptor.bind(ep, ec);
        if (!ec)
            m_acceptor.listen(256, ec);
        if (ec)
            return 0;
        USHORT usBound = m_acceptor.local_endpoint(ec).port();
        Accept();
        for (int i = 0; i < m_iThreads; ++i)
            m_threads.emplace_back([this] { m_io.run(); });
        return ec ? 0 : usBound;
    }

    void Stop() override
    {
        m_io.stop();
        for (std::thread& t : m_threads)
            t.join();
        m_threads.clear();
        asio::error_code ec;
        m_acceptor.close(ec);
    }

    LONG GetAccepted() const override { return m_lAccepted; }
    LONG GetOpen() const override { return m_lOpen; }

private:
    class Session : public std::enable_shared_from_this<Session> {
    public:
        Session(tcp::socket sock, std::atomic<LONG>& lOpen) : m_sock(std::move(sock)), m_lOpen(lOpen) { ++m_lOpen; }
        ~Session() { --m_lOpen; }
        void Read()
        {
            auto self = shared_from_this();
            m_sock.async_read_some(asio::buffer(m_buf), [self](const asio::error_code& ec, std::size_t n) {
                if (!ec)
                    self->Write(n);
            });
        }

    private:
        void Write(std::size_t n)
        {
            auto self = shared_from_this();
            asio::async_write(m_sock, asio::buffer(m_buf.data(), n),
                              [self](const asio::error_code& ec, std::size_t) {
                                  if (!ec)
                                      self->Read();
                              });
        }

        tcp::socket m_sock;
        std::atomic<LONG>& m_lOpen;
        std::array<char, 65536> m_buf;
    };

    void Accept()
    {
        m_acceptor.async_accept([this](const asio::error_code& ec, tcp::socket sock) {
            if (ec == asio::error::operation_aborted || !m_acceptor.is_open())
                return;
            if (!ec) {
                ++m_lAccepted;
                asio::error_code ignored;
                sock.set_option(tcp::no_delay(true), ignored);
                std::make_shared<Session>(std::move(sock), m_lOpen)->Read();
            }
            Accept();
        });
    }

    int m_iThreads;
    // The counters outlive the io_context, whose destruction ends the sessions.
    std::atomic<LONG> m_lAccepted;
    std::atomic<LONG> m_lOpen;
    asio::io_context m_io;
    tcp::acceptor m_acceptor;
    std::vector<std::thread> m_threads;
};

const char* const ASIO_KINDS = "asio";

} // namespace

VZ_BenchServer* VZ_MakeAsioServer(const VZ_ServeOptions& opts, bool* lpbUnavailable, char* lpszWhy, size_t nWhy)
{
    (void)lpbUnavailable;
    if (std::strcmp(opts.lpszKind, "asio") != 0) {
        std::snprintf(lpszWhy, nWhy, "unknown kind (known: %s)", ASIO_KINDS);
        return NULL;
    }
    return new VZ_AsioEcho(opts.iThreads > 0 ? opts.iThreads : 2);
}

int main(int argc, char** argv)
{
    return VZ_ServeMain(argc, argv, VZ_MakeAsioServer, ASIO_KINDS);
}
