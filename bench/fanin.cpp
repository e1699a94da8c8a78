// SPDX-License-Identifier: MIT
// Fan-in: many concurrent connections, each ping-ponging 64 bytes, all in one loop. The cost
// of one delivered event (an OnDataArrival on either end) with 1000 connections is compared
// with the cost with 10; 1.0 means the layer's cost does not grow with the number of sockets.
// The same figure for a hand-written epoll loop shows what the system itself adds; libuv does
// the same work in its loop (uv_read_start into one buffer, uv_try_write replies).
#include <fcntl.h>
#include <sys/epoll.h>

#include <array>
#include <thread>

#include "CSocketPeers.h"
#include "LibuvPeers.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

constexpr std::size_t Message = 64;
// Connections are opened a few at a time: the listener's backlog is 5.
constexpr std::size_t Wave = 4;

struct Tally {
    uint64_t events = 0;
    bool running = false;
};

class OursEcho : public CSocketEvents {
  public:
    explicit OursEcho(Tally& tally) : tally_(tally) {}
    std::shared_ptr<CSocket> socket;
    void OnDataArrival(int32_t) override {
        ++tally_.events;
        Variant data;
        socket->GetData(data);
        socket->SendData(data);
    }

  private:
    Tally& tally_;
};

class OursClient : public CSocketEvents {
  public:
    OursClient(Tally& tally, const Variant& request) : tally_(tally), request_(request) {}
    std::shared_ptr<CSocket> socket;
    bool connected = false;
    void OnConnect() override { connected = true; }
    void OnDataArrival(int32_t bytesTotal) override {
        ++tally_.events;
        if (static_cast<std::size_t>(bytesTotal) < Message) {
            return;
        }
        Variant reply;
        socket->GetData(reply, Variant(), Variant(static_cast<int32_t>(Message)));
        if (tally_.running) {
            socket->SendData(request_);
        }
    }

  private:
    Tally& tally_;
    const Variant& request_;
};

// Nanoseconds per delivered event with `count` connections.
double Ours(std::size_t count, std::chrono::milliseconds span) {
    Tally tally;
    const Variant request{std::string(Message, 'f')};
    std::vector<std::unique_ptr<OursEcho>> echoes;
    std::vector<std::unique_ptr<OursClient>> clients;
    CSocketListener listener([&](int32_t id) {
        echoes.push_back(std::make_unique<OursEcho>(tally));
        echoes.back()->socket = AcceptInto(id, echoes.back().get());
    });
    while (clients.size() < count) {
        const std::size_t target = std::min(count, clients.size() + Wave);
        while (clients.size() < target) {
            clients.push_back(std::make_unique<OursClient>(tally, request));
            clients.back()->socket = ConnectTo(listener.Port(), clients.back().get());
        }
        Pump(
            [&] {
                return echoes.size() == clients.size() &&
                       std::all_of(clients.begin(), clients.end(),
                                   [](const auto& c) { return c->connected; });
            },
            5000ms, "fan-in connect");
    }

    tally.running = true;
    for (auto& c : clients) {
        c->socket->SendData(request);
    }
    // Let every connection get going before the clock starts.
    Pump([&] { return tally.events >= 2 * count; }, 5000ms, "fan-in warm-up");
    const uint64_t before = tally.events;
    const auto start = Clock::now();
    const auto end = start + span;
    Pump([&] { return Clock::now() >= end; }, span + 5000ms, "fan-in");
    const double s = Seconds(Clock::now() - start);
    const uint64_t events = tally.events - before;
    tally.running = false;
    for (auto& c : clients) {
        c->socket->SetOwner(nullptr);
    }
    for (auto& e : echoes) {
        e->socket->SetOwner(nullptr);
    }
    return s * 1e9 / static_cast<double>(events);
}

// The same work in a hand-written epoll loop: the system's own growth.
double RawEpoll(std::size_t count, std::chrono::milliseconds span) {
    Fd listener = RawListen(static_cast<int>(count) + 16);
    const uint16_t port = LocalPortOf(listener.get());
    std::vector<Fd> clients;
    std::vector<Fd> servers;
    Fd ep(::epoll_create1(EPOLL_CLOEXEC));
    auto watch = [&](int fd, uint64_t tag) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = tag;
        ::epoll_ctl(ep.get(), EPOLL_CTL_ADD, fd, &ev);
    };
    for (std::size_t i = 0; i < count; ++i) {
        Fd c(raw::Socket());
        if (raw::Connect(c.get(), port) != 0) {
            Fail("raw fan-in: connect failed");
        }
        Fd s(raw::Accept(listener.get()));
        watch(c.get(), i * 2);
        watch(s.get(), i * 2 + 1);
        clients.push_back(std::move(c));
        servers.push_back(std::move(s));
    }
    std::array<char, Message> request{};
    request.fill('f');
    std::array<char, 4096> buffer{};
    std::vector<epoll_event> events(256);
    uint64_t delivered = 0;
    for (auto& c : clients) {
        ::send(c.get(), request.data(), Message, MSG_NOSIGNAL);
    }
    const auto start = Clock::now();
    const auto end = start + span;
    while (Clock::now() < end) {
        const int n = ::epoll_wait(ep.get(), events.data(), static_cast<int>(events.size()), 1000);
        if (n <= 0) {
            Fail("raw fan-in: stalled");
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[static_cast<std::size_t>(i)].data.u64;
            const int fd = (tag % 2 == 0 ? clients : servers)[tag / 2].get();
            const ssize_t r = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (r <= 0) {
                continue;
            }
            ++delivered;
            // The echo sends back what came; the client asks again.
            ::send(fd, tag % 2 == 0 ? request.data() : buffer.data(),
                   tag % 2 == 0 ? Message : static_cast<std::size_t>(r), MSG_NOSIGNAL);
        }
    }
    return Seconds(Clock::now() - start) * 1e9 / static_cast<double>(delivered);
}

// The same work in a libuv loop.
double LibuvPeer(std::size_t count, std::chrono::milliseconds span) {
    struct Shared {
        std::array<char, Message> request{};
        // Every read lands here: the reply goes out before the next read.
        std::array<char, 4096> buffer{};
        Tally tally;
    } shared;
    shared.request.fill('f');
    struct Conn {
        uv_tcp_t tcp{};
        UvConnect connect;
        Shared* shared = nullptr;
        std::size_t got = 0;  // of the current reply
    };
    UvLoop loop;
    std::vector<Conn*> clients;
    std::vector<Conn*> echoes;
    const uv_alloc_cb lend = [](uv_handle_t* h, std::size_t, uv_buf_t* buf) {
        Shared* s = static_cast<Conn*>(h->data)->shared;
        *buf = uv_buf_init(s->buffer.data(), static_cast<unsigned>(s->buffer.size()));
    };
    const uv_read_cb echo = [](uv_stream_t* s, ssize_t n, const uv_buf_t* buf) {
        if (n < 0) {
            return;  // the client closed
        }
        ++static_cast<Conn*>(s->data)->shared->tally.events;
        UvSend(s, buf->base, static_cast<std::size_t>(n));
    };
    // The reply may come in pieces; the client asks again once all of it is in.
    const uv_read_cb ask = [](uv_stream_t* s, ssize_t n, const uv_buf_t*) {
        UvCheck(static_cast<int>(std::min<ssize_t>(n, 0)), "read");
        auto* c = static_cast<Conn*>(s->data);
        ++c->shared->tally.events;
        c->got += static_cast<std::size_t>(n);
        if (c->got < Message) {
            return;
        }
        c->got -= Message;
        if (c->shared->tally.running) {
            UvSend(s, c->shared->request.data(), Message);
        }
    };
    UvListener listener(loop, static_cast<int>(count) + 16, [&](uv_stream_t* server) {
        auto* e = loop.Make<Conn>();
        e->shared = &shared;
        uv_tcp_init(loop.get(), &e->tcp);
        e->tcp.data = e;
        UvCheck(uv_accept(server, Stream(&e->tcp)), "accept");
        UvCheck(uv_read_start(Stream(&e->tcp), lend, echo), "read");
        echoes.push_back(e);
    });
    while (clients.size() < count) {
        const std::size_t target = std::min(count, clients.size() + Wave);
        while (clients.size() < target) {
            auto* c = loop.Make<Conn>();
            c->shared = &shared;
            uv_tcp_init(loop.get(), &c->tcp);
            c->tcp.data = c;
            c->connect.Start(&c->tcp, listener.Port());
            clients.push_back(c);
        }
        loop.RunUntil(
            [&] {
                return echoes.size() == clients.size() &&
                       std::all_of(clients.begin(), clients.end(),
                                   [](const Conn* c) { return c->connect.connected; });
            },
            5000ms, "libuv fan-in connect");
    }
    for (Conn* c : clients) {
        UvCheck(uv_read_start(Stream(&c->tcp), lend, ask), "read");
    }

    Tally& tally = shared.tally;
    tally.running = true;
    for (Conn* c : clients) {
        UvSend(Stream(&c->tcp), shared.request.data(), Message);
    }
    loop.RunUntil([&] { return tally.events >= 2 * count; }, 5000ms, "libuv fan-in warm-up");
    const uint64_t before = tally.events;
    const auto start = Clock::now();
    const auto end = start + span;
    loop.RunUntil([&] { return Clock::now() >= end; }, span + 5000ms, "libuv fan-in");
    const double s = Seconds(Clock::now() - start);
    const uint64_t events = tally.events - before;
    tally.running = false;
    return s * 1e9 / static_cast<double>(events);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    RaiseFdLimit(4096);
    const std::chrono::milliseconds span = options.quick ? 300ms : 2000ms;

    Peers peers(options);
    peers.Add("csocket_10", [&] { return Ours(10, span); });
    peers.Add("csocket_1000", [&] { return Ours(1000, span); });
    peers.Add("raw_epoll_10", [&] { return RawEpoll(10, span); });
    peers.Add("raw_epoll_1000", [&] { return RawEpoll(1000, span); });
    peers.Add("libuv_10", [&] { return LibuvPeer(10, span); });
    peers.Add("libuv_1000", [&] { return LibuvPeer(1000, span); });
    peers.Run();

    ReportRatio(peers, "fanin_per_event_1000_vs_10", "csocket_1000", "csocket_10");
    ReportValue(peers, "fanin_ns_per_event_csocket_10", "csocket_10");
    ReportValue(peers, "fanin_ns_per_event_csocket_1000", "csocket_1000");
    ReportRatio(peers, "fanin_per_event_1000_vs_10_raw_epoll", "raw_epoll_1000", "raw_epoll_10");
    ReportValue(peers, "fanin_ns_per_event_raw_epoll_10", "raw_epoll_10");
    ReportValue(peers, "fanin_ns_per_event_raw_epoll_1000", "raw_epoll_1000");
    ReportRatio(peers, "fanin_csocket_vs_raw_per_event_10", "csocket_10", "raw_epoll_10");
    ReportRatio(peers, "fanin_csocket_vs_raw_per_event_1000", "csocket_1000", "raw_epoll_1000");
    ReportValue(peers, "fanin_ns_per_event_libuv_10", "libuv_10");
    ReportValue(peers, "fanin_ns_per_event_libuv_1000", "libuv_1000");
    return 0;
}
