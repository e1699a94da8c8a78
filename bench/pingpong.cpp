// SPDX-License-Identifier: MIT
// Ping-pong: one connection, a 64-byte request and its 64-byte echo, again and again for a
// fixed time. The figure is the mean round trip; the ratios compare round trips per second
// (ours divided by the peer's, higher is better). Every peer keeps the system's default
// options (strict alternation never waits on Nagle's rule).
//
//   ours          CSocket client <-> CSocket echo (accepted by a CSocket listener), one thread
//   raw epoll     both ends in a hand-written epoll loop, one thread (the limit)
//   raw blocking  blocking client and blocking echo, one thread each
//   asio          async_read_some / async_write on both ends, one io_context
//   libuv         uv_read_start into one buffer, uv_try_write replies, one loop
//   qt            QTcpSocket on both ends, readyRead handlers, one event loop
// and ours and the raw epoll loop again over ::1.
#include <fcntl.h>
#include <sys/epoll.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <array>
#include <asio.hpp>
#include <thread>

#include "CSocketPeers.h"
#include "LibuvPeers.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

constexpr std::size_t Message = 64;

struct Result {
    uint64_t trips = 0;
    double seconds = 0;
    double RttMicros() const { return seconds * 1e6 / static_cast<double>(trips); }
};

// ---------------------------------------------------------------------------------------------

Result Ours(std::chrono::milliseconds span, const char* host = LoopbackV4) {
    EchoEnd echo;
    PingClient client(Message);
    CSocketListener listener([&](int32_t id) { echo.socket = AcceptInto(id, &echo); }, host);
    client.socket = ConnectTo(listener.Port(), &client, host);
    Pump([&] { return client.connected && echo.socket != nullptr; }, 5000ms, "pingpong connect");
    client.running = true;
    const auto start = Clock::now();
    const auto end = start + span;
    client.socket->SendData(client.request);
    Pump([&] { return Clock::now() >= end; }, span + 5000ms, "pingpong");
    Result r{client.trips, Seconds(Clock::now() - start)};
    client.running = false;
    client.socket->SetOwner(nullptr);
    echo.socket->SetOwner(nullptr);
    return r;
}

// ---------------------------------------------------------------------------------------------

Result RawEpoll(std::chrono::milliseconds span, Family family = Family::V4) {
    RawPair pair = RawConnectedPair(family);
    const int client = pair.client.get();
    const int server = pair.server.get();
    Fd ep(::epoll_create1(EPOLL_CLOEXEC));
    for (int fd : {client, server}) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ::epoll_ctl(ep.get(), EPOLL_CTL_ADD, fd, &ev);
    }
    std::array<char, Message> request{};
    request.fill('p');
    std::array<char, 4096> buffer{};
    std::array<epoll_event, 8> events{};
    uint64_t trips = 0;
    std::size_t got = 0;
    const auto start = Clock::now();
    const auto end = start + span;
    ::send(client, request.data(), Message, MSG_NOSIGNAL);
    for (;;) {
        const int n = ::epoll_wait(ep.get(), events.data(), events.size(), 1000);
        if (n <= 0) {
            Fail("raw epoll: stalled");
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            const ssize_t r = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (r <= 0) {
                continue;
            }
            if (fd == server) {
                ::send(server, buffer.data(), static_cast<std::size_t>(r), MSG_NOSIGNAL);
            } else {
                got += static_cast<std::size_t>(r);
                if (got >= Message) {
                    got -= Message;
                    ++trips;
                    if (Clock::now() >= end) {
                        return {trips, Seconds(Clock::now() - start)};
                    }
                    ::send(client, request.data(), Message, MSG_NOSIGNAL);
                }
            }
        }
    }
}

Result RawBlocking(std::chrono::milliseconds span) {
    RawPair pair = RawConnectedPair();
    std::thread echo([fd = pair.server.get()] {
        std::array<char, 4096> buffer{};
        for (;;) {
            const ssize_t r = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (r <= 0) {
                return;
            }
            ::send(fd, buffer.data(), static_cast<std::size_t>(r), MSG_NOSIGNAL);
        }
    });
    std::array<char, Message> request{};
    request.fill('p');
    std::array<char, Message> reply{};
    uint64_t trips = 0;
    const auto start = Clock::now();
    const auto end = start + span;
    do {
        ::send(pair.client.get(), request.data(), Message, MSG_NOSIGNAL);
        std::size_t got = 0;
        while (got < Message) {
            const ssize_t r = ::recv(pair.client.get(), reply.data() + got, Message - got, 0);
            if (r <= 0) {
                Fail("raw blocking: connection lost");
            }
            got += static_cast<std::size_t>(r);
        }
        ++trips;
    } while (Clock::now() < end);
    Result result{trips, Seconds(Clock::now() - start)};
    ::shutdown(pair.client.get(), SHUT_WR);
    echo.join();
    return result;
}

// ---------------------------------------------------------------------------------------------

Result AsioPeer(std::chrono::milliseconds span) {
    using asio::ip::tcp;
    asio::io_context io(1);
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    tcp::socket server(io);
    tcp::socket client(io);
    int ready = 0;
    acceptor.async_accept(server, [&](std::error_code ec) {
        if (ec) {
            Fail("asio accept: " + ec.message());
        }
        ++ready;
    });
    client.async_connect(acceptor.local_endpoint(), [&](std::error_code ec) {
        if (ec) {
            Fail("asio connect: " + ec.message());
        }
        ++ready;
    });
    while (ready < 2) {
        io.run_one();
    }

    std::array<char, Message> request{};
    request.fill('p');
    std::array<char, 4096> echoBuffer{};
    std::array<char, 4096> replyBuffer{};
    uint64_t trips = 0;
    std::size_t got = 0;
    bool running = true;
    const auto start = Clock::now();
    const auto end = start + span;

    std::function<void()> echo = [&] {
        server.async_read_some(asio::buffer(echoBuffer), [&](std::error_code ec, std::size_t n) {
            if (ec) {
                return;  // the client closed
            }
            asio::async_write(server, asio::buffer(echoBuffer.data(), n),
                              [&](std::error_code wec, std::size_t) {
                                  if (!wec) {
                                      echo();
                                  }
                              });
        });
    };
    std::function<void()> ask = [&] {
        asio::async_write(client, asio::buffer(request), [&](std::error_code ec, std::size_t) {
            if (ec) {
                Fail("asio write: " + ec.message());
            }
        });
    };
    std::function<void()> listen = [&] {
        client.async_read_some(asio::buffer(replyBuffer), [&](std::error_code ec, std::size_t n) {
            if (ec) {
                Fail("asio read: " + ec.message());
            }
            got += n;
            if (got >= Message) {
                got -= Message;
                ++trips;
                if (Clock::now() >= end) {
                    running = false;
                    client.shutdown(tcp::socket::shutdown_send);
                    return;
                }
                ask();
            }
            listen();
        });
    };
    echo();
    listen();
    ask();
    io.restart();
    while (running) {
        io.run_one();
    }
    return {trips, Seconds(Clock::now() - start)};
}

// ---------------------------------------------------------------------------------------------

Result LibuvPeer(std::chrono::milliseconds span) {
    UvLoop loop;
    const UvPair pair = UvConnectedPair(loop);
    uv_tcp_t* server = pair.server;
    uv_tcp_t* client = pair.client;

    struct Session {
        std::array<char, Message> request{};
        // Every read lands here: the reply goes out before the next read.
        std::array<char, 4096> buffer{};
        uint64_t trips = 0;
        std::size_t got = 0;
        bool running = true;
        Clock::time_point end;
        uv_stream_t* client = nullptr;
    } session;
    session.request.fill('p');
    session.client = Stream(client);
    const uv_alloc_cb lend = [](uv_handle_t* h, std::size_t, uv_buf_t* buf) {
        auto* s = static_cast<Session*>(h->data);
        *buf = uv_buf_init(s->buffer.data(), static_cast<unsigned>(s->buffer.size()));
    };
    server->data = &session;
    client->data = &session;
    UvCheck(uv_read_start(Stream(server), lend,
                          [](uv_stream_t* s, ssize_t n, const uv_buf_t* buf) {
                              if (n < 0) {
                                  return;  // the client closed
                              }
                              UvSend(s, buf->base, static_cast<std::size_t>(n));
                          }),
            "read");
    UvCheck(uv_read_start(Stream(client), lend,
                          [](uv_stream_t* c, ssize_t n, const uv_buf_t*) {
                              UvCheck(static_cast<int>(std::min<ssize_t>(n, 0)), "read");
                              auto* s = static_cast<Session*>(c->data);
                              s->got += static_cast<std::size_t>(n);
                              if (s->got < Message) {
                                  return;
                              }
                              s->got -= Message;
                              ++s->trips;
                              if (Clock::now() >= s->end) {
                                  s->running = false;
                                  return;
                              }
                              UvSend(c, s->request.data(), Message);
                          }),
            "read");
    const auto start = Clock::now();
    session.end = start + span;
    UvSend(session.client, session.request.data(), Message);
    loop.RunUntil([&] { return !session.running; }, span + 5000ms, "libuv pingpong");
    return {session.trips, Seconds(Clock::now() - start)};
}

// ---------------------------------------------------------------------------------------------

Result QtNetwork(std::chrono::milliseconds span) {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        Fail("qt: cannot listen");
    }
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    if (!client.waitForConnected(5000) || !server.waitForNewConnection(5000)) {
        Fail("qt: cannot connect");
    }
    QTcpSocket* echo = server.nextPendingConnection();

    const QByteArray request(static_cast<qsizetype>(Message), 'p');
    uint64_t trips = 0;
    QEventLoop loop;
    const auto start = Clock::now();
    const auto end = start + span;
    QObject::connect(echo, &QTcpSocket::readyRead, &loop, [&] { echo->write(echo->readAll()); });
    QObject::connect(&client, &QTcpSocket::readyRead, &loop, [&] {
        while (client.bytesAvailable() >= static_cast<qint64>(Message)) {
            client.read(static_cast<qint64>(Message));
            ++trips;
            if (Clock::now() >= end) {
                loop.quit();
                return;
            }
            client.write(request);
        }
    });
    QTimer::singleShot(span + 5000ms, &loop, [&] { loop.exit(1); });
    client.write(request);
    if (loop.exec() != 0) {
        Fail("qt: timed out");
    }
    return {trips, Seconds(Clock::now() - start)};
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    const std::chrono::milliseconds span = options.quick ? 300ms : 2000ms;

    // RTT in microseconds; the ratios below turn it into round trips per second.
    Peers peers(options);
    peers.Add("csocket", [&] { return Ours(span).RttMicros(); });
    peers.Add("raw_epoll", [&] { return RawEpoll(span).RttMicros(); });
    peers.Add("raw_blocking", [&] { return RawBlocking(span).RttMicros(); });
    peers.Add("asio", [&] { return AsioPeer(span).RttMicros(); });
    peers.Add("libuv", [&] { return LibuvPeer(span).RttMicros(); });
    peers.Add("qt", [&] { return QtNetwork(span).RttMicros(); });
    peers.Add("csocket_v6", [&] { return Ours(span, LoopbackV6).RttMicros(); });
    peers.Add("raw_epoll_v6", [&] { return RawEpoll(span, Family::V6).RttMicros(); });
    peers.Run();

    ReportValue(peers, "pingpong_rtt_us_csocket", "csocket");
    // Rates: the peer's round trip over ours.
    ReportRatio(peers, "pingpong_csocket_vs_raw", "raw_epoll", "csocket");
    ReportRatio(peers, "pingpong_csocket_vs_asio", "asio", "csocket");
    ReportRatio(peers, "pingpong_csocket_vs_libuv", "libuv", "csocket");
    ReportRatio(peers, "pingpong_csocket_vs_qt", "qt", "csocket");
    ReportValue(peers, "pingpong_rtt_us_raw_epoll", "raw_epoll");
    ReportValue(peers, "pingpong_rtt_us_raw_blocking", "raw_blocking");
    ReportValue(peers, "pingpong_rtt_us_asio", "asio");
    ReportValue(peers, "pingpong_rtt_us_libuv", "libuv");
    ReportValue(peers, "pingpong_rtt_us_qt", "qt");
    ReportRatio(peers, "pingpong_csocket_vs_raw_v6", "raw_epoll_v6", "csocket_v6");
    ReportValue(peers, "pingpong_rtt_us_csocket_v6", "csocket_v6");
    ReportValue(peers, "pingpong_rtt_us_raw_epoll_v6", "raw_epoll_v6");
    return 0;
}
