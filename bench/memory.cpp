// SPDX-License-Identifier: MIT
// Memory per idle connection: a server that holds 1000 accepted connections, each waiting for
// data, written the way each peer's users write one. The figure is the growth of the resident
// memory of the process holding them, per connection, in KiB. Each peer runs in a process of
// its own (RunChild), so neither the parent nor another peer leaves anything in its allocator.
//
//   ours   a CSocket listener; each request accepted into a CSocket with an owner of its own
//   raw    accept4 and an epoll registration per connection (the limit: a descriptor)
//   asio   an acceptor; each connection a shared session (socket and a 256-byte read buffer,
//          since a read under way names its buffer) with async_read_some pending
//   libuv  a listening handle; each connection a uv_tcp_t reading, the buffer lent on arrival
//   qt     a QTcpServer; each connection its QTcpSocket with a readyRead handler
//
// The clients are plain descriptors in the same process, connected a few at a time (our
// listener's backlog is 5). Their container is reserved before the first reading, and one
// connection is made and accepted first, so what a peer sets up once is not counted.
#include <sys/epoll.h>

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <array>
#include <asio.hpp>

#include "CSocketPeers.h"
#include "LibuvPeers.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

constexpr std::size_t Connections = 1000;
constexpr std::size_t Wave = 4;
constexpr auto Timeout = 5000ms;

// Connects the clients in waves; `settle` runs the peer's loop until it has accepted `n`
// connections in all. Returns the resident growth per connection past the first, in KiB.
double Measure(uint16_t port, const std::function<void(std::size_t)>& settle) {
    std::vector<Fd> clients;
    clients.reserve(Connections + 1);
    auto connectOne = [&] {
        Fd c(raw::Socket());
        if (raw::Connect(c.get(), port) != 0) {
            Fail("memory: connect failed");
        }
        clients.push_back(std::move(c));
    };
    connectOne();
    settle(1);
    const double before = StatusKib("VmRSS");
    while (clients.size() < Connections + 1) {
        const std::size_t target = std::min(Connections + 1, clients.size() + Wave);
        while (clients.size() < target) {
            connectOne();
        }
        settle(clients.size());
    }
    return (StatusKib("VmRSS") - before) / static_cast<double>(Connections);
}

// ---------------------------------------------------------------------------------------------

class OursHeld : public CSocketEvents {
  public:
    std::shared_ptr<CSocket> socket;
    void OnDataArrival(int32_t) override {
        Variant data;
        socket->GetData(data);
    }
};

double Ours() {
    std::vector<std::unique_ptr<OursHeld>> held;
    held.reserve(Connections + 1);
    CSocketListener listener([&](int32_t id) {
        held.push_back(std::make_unique<OursHeld>());
        held.back()->socket = AcceptInto(id, held.back().get());
    });
    const double kib = Measure(listener.Port(), [&](std::size_t n) {
        Pump([&] { return held.size() == n; }, Timeout, "memory: accept");
    });
    for (auto& h : held) {
        h->socket->SetOwner(nullptr);
    }
    return kib;
}

double RawEpoll() {
    Fd listener = RawListen(static_cast<int>(Wave) + 1);
    Fd ep(::epoll_create1(EPOLL_CLOEXEC));
    std::vector<Fd> held;
    held.reserve(Connections + 1);
    return Measure(LocalPortOf(listener.get()), [&](std::size_t n) {
        while (held.size() < n) {
            Fd s(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (s.get() < 0) {
                Fail("raw memory: accept failed");
            }
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = s.get();
            ::epoll_ctl(ep.get(), EPOLL_CTL_ADD, s.get(), &ev);
            held.push_back(std::move(s));
        }
    });
}

double AsioPeer() {
    using asio::ip::tcp;
    asio::io_context io(1);
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    struct Session {
        explicit Session(asio::io_context& io) : socket(io) {}
        tcp::socket socket;
        std::array<char, 256> buffer{};
    };
    std::vector<std::shared_ptr<Session>> held;
    held.reserve(Connections + 1);
    std::function<void(std::shared_ptr<Session>)> read = [&](std::shared_ptr<Session> s) {
        s->socket.async_read_some(asio::buffer(s->buffer), [&, s](std::error_code ec, std::size_t) {
            if (!ec) {
                read(s);
            }
        });
    };
    std::function<void()> accept = [&] {
        auto s = std::make_shared<Session>(io);
        acceptor.async_accept(s->socket, [&, s](std::error_code ec) {
            if (ec) {
                Fail("asio accept: " + ec.message());
            }
            held.push_back(s);
            read(s);
            accept();
        });
    };
    accept();
    return Measure(acceptor.local_endpoint().port(), [&](std::size_t n) {
        const auto deadline = Clock::now() + Timeout;
        while (held.size() < n) {
            if (Clock::now() >= deadline) {
                Fail("timed out: asio memory: accept");
            }
            io.run_one_for(100ms);
        }
    });
}

double LibuvPeer() {
    UvLoop loop;
    static std::array<char, 4096> shared;
    std::vector<uv_tcp_t*> held;
    held.reserve(Connections + 1);
    UvListener listener(loop, SOMAXCONN, [&](uv_stream_t* server) {
        auto* tcp = loop.Make<uv_tcp_t>();
        uv_tcp_init(loop.get(), tcp);
        UvCheck(uv_accept(server, Stream(tcp)), "accept");
        UvCheck(uv_read_start(
                    Stream(tcp),
                    [](uv_handle_t*, std::size_t, uv_buf_t* buf) {
                        *buf = uv_buf_init(shared.data(), static_cast<unsigned>(shared.size()));
                    },
                    [](uv_stream_t*, ssize_t, const uv_buf_t*) {}),
                "read");
        held.push_back(tcp);
    });
    return Measure(listener.Port(), [&](std::size_t n) {
        loop.RunUntil([&] { return held.size() == n; }, Timeout, "libuv memory: accept");
    });
}

double QtNetwork() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        Fail("qt: cannot listen");
    }
    std::vector<QTcpSocket*> held;  // children of the server
    held.reserve(Connections + 1);
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket* s = server.nextPendingConnection()) {
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->readAll(); });
            held.push_back(s);
        }
    });
    return Measure(server.serverPort(), [&](std::size_t n) {
        const auto deadline = Clock::now() + Timeout;
        while (held.size() < n) {
            if (Clock::now() >= deadline) {
                Fail("timed out: qt memory: accept");
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        }
    });
}

int Child(const std::string& peer, char** argv) {
    RaiseFdLimit(2 * Connections + 64);
    double kib = 0;
    if (peer == "csocket") {
        kib = Ours();
    } else if (peer == "raw_epoll") {
        kib = RawEpoll();
    } else if (peer == "asio") {
        kib = AsioPeer();
    } else if (peer == "libuv") {
        kib = LibuvPeer();
    } else if (peer == "qt") {
        int qtArgc = 1;
        QCoreApplication app(qtArgc, argv);
        kib = QtNetwork();
    } else {
        Fail("no such peer: " + peer);
    }
    std::printf("%.6g\n", kib);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    if (!options.child.empty()) {
        return Child(options.child, argv);
    }
    Peers peers(options);
    for (const char* peer : {"csocket", "raw_epoll", "asio", "libuv", "qt"}) {
        peers.Add(peer, [&options, peer] { return RunChild(peer, options, 60s); });
    }
    peers.Run();

    ReportValue(peers, "rss_kib_per_idle_connection_csocket", "csocket");
    // Ours over the peer's: lower is better.
    ReportRatio(peers, "rss_per_idle_connection_csocket_vs_asio", "csocket", "asio");
    ReportRatio(peers, "rss_per_idle_connection_csocket_vs_libuv", "csocket", "libuv");
    ReportValue(peers, "rss_kib_per_idle_connection_raw_epoll", "raw_epoll");
    ReportValue(peers, "rss_kib_per_idle_connection_asio", "asio");
    ReportValue(peers, "rss_kib_per_idle_connection_libuv", "libuv");
    ReportValue(peers, "rss_kib_per_idle_connection_qt", "qt");
    return 0;
}
