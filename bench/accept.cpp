// SPDX-License-Identifier: MIT
// Accept rate: connections accepted and closed per second by a listener. Two client threads
// connect and close at once, as fast as the listener lets them (at most a few connections wait
// in its queue: our listener's backlog is 5). The server side accepts each connection, waits
// for the client's close and closes its end.
//
//   ours  a CSocket listener; each request accepted into a fresh CSocket, dropped on OnClose
//   asio  an acceptor; each socket reads until the end of the stream, then closes
//   libuv a listening handle; each accepted handle reads until the end of the stream, then
//         closes
#include <asio.hpp>
#include <atomic>
#include <thread>

#include "CSocketPeers.h"
#include "LibuvPeers.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

constexpr int ClientThreads = 2;
// Connections a client may have made that the server has not yet accepted.
constexpr uint64_t MaxWaiting = 3;

// The clients: connect, close, and stay at most MaxWaiting ahead of the server.
class Clients {
  public:
    explicit Clients(uint16_t port) : address_(Loopback(port)) {
        for (int i = 0; i < ClientThreads; ++i) {
            threads_.emplace_back([this] { Run(); });
        }
    }
    ~Clients() { Stop(); }
    Clients(const Clients&) = delete;
    Clients& operator=(const Clients&) = delete;

    void Accepted() {
        accepted_.fetch_add(1, std::memory_order_release);
        accepted_.notify_all();
    }
    void Stop() {
        stop_.store(true);
        accepted_.fetch_add(1);
        accepted_.notify_all();
        for (auto& t : threads_) {
            t.join();
        }
        threads_.clear();
    }
    bool Failed() const { return failed_.load(); }

  private:
    void Run() {
        while (!stop_.load(std::memory_order_relaxed)) {
            const uint64_t n = made_.fetch_add(1) + 1;
            for (;;) {
                const uint64_t seen = accepted_.load(std::memory_order_acquire);
                if (n <= seen + MaxWaiting || stop_.load()) {
                    break;
                }
                accepted_.wait(seen);
            }
            if (stop_.load()) {
                return;
            }
            Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            // Each closed connection leaves its client end in TIME_WAIT for a minute: from one
            // source address the ports run out after some 28,000 connections and every connect
            // then searches for a free one, so the clients, not the listener, would set the
            // rate. Connecting from 127.0.0.2-127.0.0.254 in turn spreads them out.
            sockaddr_in source = Loopback(0);
            source.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + static_cast<uint32_t>(n % 253));
            const int one = 1;
            ::setsockopt(s.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
            if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0 ||
                ::connect(s.get(), reinterpret_cast<const sockaddr*>(&address_), sizeof address_) !=
                    0) {
                failed_.store(true);
                return;
            }
        }
    }

    const sockaddr_in address_;
    std::atomic<uint64_t> made_{0};
    std::atomic<uint64_t> accepted_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    std::vector<std::thread> threads_;
};

// ---------------------------------------------------------------------------------------------

class OursServed : public CSocketEvents {
  public:
    std::shared_ptr<CSocket> socket;
    bool closed = false;
    void OnDataArrival(int32_t) override {
        Variant data;
        socket->GetData(data);
    }
    void OnClose() override { closed = true; }
};

double Ours(std::chrono::milliseconds span) {
    uint64_t accepted = 0;
    uint64_t closed = 0;
    std::vector<std::unique_ptr<OursServed>> served;
    Clients* clients = nullptr;
    CSocketListener listener([&](int32_t id) {
        auto s = std::make_unique<OursServed>();
        s->socket = AcceptInto(id, s.get());
        served.push_back(std::move(s));
        ++accepted;
        clients->Accepted();
    });
    Clients running(listener.Port());
    clients = &running;
    const auto start = Clock::now();
    const auto end = start + span;
    Pump(
        [&] {
            // Drop the connections whose close has come.
            std::erase_if(served, [&](const auto& s) {
                if (s->closed) {
                    s->socket->SetOwner(nullptr);
                    ++closed;
                }
                return s->closed;
            });
            return Clock::now() >= end;
        },
        span + 5000ms, "accept");
    const double s = Seconds(Clock::now() - start);
    running.Stop();
    if (running.Failed()) {
        Fail("accept: a client could not connect");
    }
    for (auto& c : served) {
        c->socket->SetOwner(nullptr);
    }
    (void)accepted;
    return static_cast<double>(closed) / s;
}

// ---------------------------------------------------------------------------------------------

double AsioPeer(std::chrono::milliseconds span) {
    using asio::ip::tcp;
    asio::io_context io(1);
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    uint64_t closed = 0;
    Clients running(acceptor.local_endpoint().port());
    const auto end = Clock::now() + span;
    bool stopping = false;

    struct Served {
        explicit Served(asio::io_context& io) : socket(io) {}
        tcp::socket socket;
        std::array<char, 256> buffer{};
    };
    std::function<void(std::shared_ptr<Served>)> drain = [&](std::shared_ptr<Served> s) {
        s->socket.async_read_some(asio::buffer(s->buffer), [&, s](std::error_code ec, std::size_t) {
            if (ec) {
                s->socket.close();
                ++closed;
                return;
            }
            drain(s);
        });
    };
    std::function<void()> accept = [&] {
        auto s = std::make_shared<Served>(io);
        acceptor.async_accept(s->socket, [&, s](std::error_code ec) {
            if (ec) {
                Fail("asio accept: " + ec.message());
            }
            running.Accepted();
            drain(s);
            if (!stopping) {
                accept();
            }
        });
    };
    accept();
    const auto start = Clock::now();
    while (Clock::now() < end) {
        io.run_one_for(std::chrono::milliseconds(100));
    }
    stopping = true;
    const double s = Seconds(Clock::now() - start);
    running.Stop();
    if (running.Failed()) {
        Fail("asio accept: a client could not connect");
    }
    return static_cast<double>(closed) / s;
}

// ---------------------------------------------------------------------------------------------

double LibuvPeer(std::chrono::milliseconds span) {
    // Each accepted connection is freed by its close callback; those still open at the end
    // are closed the same way before the loop goes.
    struct Served;
    struct Open {
        std::vector<std::unique_ptr<Served>> served;
        uint64_t closed = 0;
    } open;
    struct Served {
        uv_tcp_t tcp{};
        std::array<char, 256> buffer{};
        Open* open = nullptr;
        std::size_t index = 0;  // in open->served
    };
    constexpr uv_close_cb release = [](uv_handle_t* h) {
        auto* s = static_cast<Served*>(h->data);
        auto& list = s->open->served;
        const std::size_t i = s->index;
        std::swap(list[i], list.back());
        list[i]->index = i;
        list.pop_back();  // frees s
    };
    UvLoop loop;
    Clients* clients = nullptr;
    UvListener listener(loop, SOMAXCONN, [&](uv_stream_t* server) {
        open.served.push_back(std::make_unique<Served>());
        Served* s = open.served.back().get();
        s->open = &open;
        s->index = open.served.size() - 1;
        uv_tcp_init(loop.get(), &s->tcp);
        s->tcp.data = s;
        UvCheck(uv_accept(server, Stream(&s->tcp)), "accept");
        clients->Accepted();
        UvCheck(uv_read_start(
                    Stream(&s->tcp),
                    [](uv_handle_t* h, std::size_t, uv_buf_t* buf) {
                        auto* served = static_cast<Served*>(h->data);
                        *buf = uv_buf_init(served->buffer.data(),
                                           static_cast<unsigned>(served->buffer.size()));
                    },
                    [](uv_stream_t* stream, ssize_t n, const uv_buf_t*) {
                        if (n >= 0) {
                            return;
                        }
                        ++static_cast<Served*>(stream->data)->open->closed;
                        uv_close(reinterpret_cast<uv_handle_t*>(stream), release);
                    }),
                "read");
    });
    Clients running(listener.Port());
    clients = &running;
    const auto start = Clock::now();
    const auto end = start + span;
    loop.RunUntil([&] { return Clock::now() >= end; }, span + 5000ms, "libuv accept");
    const double s = Seconds(Clock::now() - start);
    running.Stop();
    if (running.Failed()) {
        Fail("libuv accept: a client could not connect");
    }
    for (const auto& served : open.served) {
        if (uv_is_closing(reinterpret_cast<uv_handle_t*>(&served->tcp)) == 0) {
            uv_close(reinterpret_cast<uv_handle_t*>(&served->tcp), release);
        }
    }
    loop.RunUntil([&] { return open.served.empty(); }, 5000ms, "libuv accept: closing");
    return static_cast<double>(open.closed) / s;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::chrono::milliseconds span = options.quick ? 300ms : 1500ms;

    Peers peers(options);
    peers.Add("csocket", [&] { return Ours(span); });
    peers.Add("asio", [&] { return AsioPeer(span); });
    peers.Add("libuv", [&] { return LibuvPeer(span); });
    peers.Run();

    ReportRatio(peers, "accept_rate_csocket_vs_asio", "csocket", "asio");
    ReportValue(peers, "accept_per_s_csocket", "csocket");
    ReportRatio(peers, "accept_rate_csocket_vs_libuv", "csocket", "libuv");
    ReportValue(peers, "accept_per_s_asio", "asio");
    ReportValue(peers, "accept_per_s_libuv", "libuv");
    return 0;
}
