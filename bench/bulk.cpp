// SPDX-License-Identifier: MIT
// Bulk: a fixed amount of data one way over loopback, sender and receiver in one process.
// Every peer sends the same chunks and its receiver takes every byte into the application.
//
//   ours          CSocket sender -> CSocket receiver (GetData in OnDataArrival), one thread
//   raw epoll     non-blocking pair in a hand-written epoll loop, one thread: the best the
//                 system calls allow (reads until empty, writes from the read path); and
//                 the same loop on our loop's schedule (one send, one receive per wake-up)
//   raw blocking  blocking send / blocking recv, one thread each
//   asio          async_write chain -> async_read_some chain, one io_context
//   libuv         uv_write chain (paced by the reader) -> uv_read_start into one buffer, one loop
//   qt            QTcpSocket write on bytesWritten -> readAll on readyRead, one event loop
// plus the copy GetData made before it handed its buffer over, alone: what that copy cost;
// the two copies every byte needs, alone: the ceiling; and ours and the raw loop over ::1.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <array>
#include <asio.hpp>
#include <cstring>
#include <thread>

#include "CSocketPeers.h"
#include "LibuvPeers.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

constexpr std::size_t Chunk = 256 * 1024;
constexpr auto Timeout = 120s;

std::vector<uint8_t> Pattern() {
    std::vector<uint8_t> v(Chunk);
    for (std::size_t i = 0; i < v.size(); ++i) {
        v[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    return v;
}

// A chunk-sized block at a chosen offset past a page boundary: the raw loops' buffers and the
// ceiling's. Where a receive's buffer starts within 64 bytes decides how fast the kernel's copy
// into it runs: in a paced transfer here, a receive 8 to 24 bytes past a 64-byte boundary
// (16 past a page is where the allocator puts a block it maps for this size) costs three times
// the CPU time of one 32 bytes past, and one on the boundary some 20% more. The raw loop finds
// the best place for itself (BestReceiveOffset).
class PageBlock {
  public:
    explicit PageBlock(std::size_t size, std::size_t offset = 0) : storage_(size + 2 * Page) {
        const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
        begin_ = storage_.data() + ((Page - address % Page) % Page) + offset % Page;
    }
    // A moved vector keeps its storage, so begin_ stays valid; a copy would not.
    PageBlock(PageBlock&&) = default;
    PageBlock& operator=(PageBlock&&) = default;
    PageBlock(const PageBlock&) = delete;
    PageBlock& operator=(const PageBlock&) = delete;
    uint8_t* data() { return begin_; }
    const uint8_t* data() const { return begin_; }

  private:
    static constexpr std::size_t Page = 4096;
    std::vector<uint8_t> storage_;
    uint8_t* begin_ = nullptr;
};

PageBlock PatternBlock() {
    PageBlock block(Chunk);
    const std::vector<uint8_t> pattern = Pattern();
    std::memcpy(block.data(), pattern.data(), Chunk);
    return block;
}

void Check(uint64_t got, uint64_t total, const char* peer) {
    if (got != total) {
        Fail(std::string(peer) + ": received " + std::to_string(got) + " of " +
             std::to_string(total) + " bytes");
    }
}

// ---------------------------------------------------------------------------------------------

double Ours(uint64_t total, const char* host = LoopbackV4) {
    BulkReceiver receiver;
    BulkSender sender(Pattern());
    CSocketListener listener([&](int32_t id) { receiver.socket = AcceptInto(id, &receiver); },
                             host);
    sender.socket = ConnectTo(listener.Port(), &sender, host);
    Pump([&] { return sender.connected && receiver.socket != nullptr; }, 5000ms, "bulk connect");
    sender.left = total;
    const auto start = Clock::now();
    sender.Next();
    Pump([&] { return receiver.received >= total; }, Timeout, "bulk transfer");
    const double s = Seconds(Clock::now() - start);
    Check(receiver.received, total, "csocket");
    sender.socket->SetOwner(nullptr);
    receiver.socket->SetOwner(nullptr);
    return static_cast<double>(total) / (1024.0 * 1024.0) / s;
}

// The copy GetData made for the owner (the bytes became a value of its own) before it handed
// its buffer over (it still copies a partial take or a few bytes), alone, at the same
// granularity: what that copy cost beyond the transfer itself, for comparison.
double CopyOnly(uint64_t total) {
    const std::vector<uint8_t> chunk = Pattern();
    uint64_t checksum = 0;
    const auto start = Clock::now();
    for (uint64_t done = 0; done < total; done += Chunk) {
        const Variant data(std::string(reinterpret_cast<const char*>(chunk.data()), Chunk));
        checksum += static_cast<uint64_t>(data.WireView()->back());
    }
    const double s = Seconds(Clock::now() - start);
    if (checksum == 0) {
        Fail("copy: nothing copied");
    }
    return static_cast<double>(total) / (1024.0 * 1024.0) / s;
}

// ---------------------------------------------------------------------------------------------

double RawEpoll(uint64_t total, Family family = Family::V4, std::size_t receiveOffset = 0);

// The CPU time this thread has used, in seconds: unlike the clock, other processes on the
// machine do not move it.
double ThreadCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Where the raw loop's receive buffer goes within 64 bytes: the place, of eight, whose short
// transfers took the least CPU time (measured once per process: five passes over the eight
// places, so a burst of other load spoils one try of each rather than all tries of one; the
// least of each place's five counts).
std::size_t BestReceiveOffset() {
    static const std::size_t best = [] {
        constexpr std::size_t Places = 8;
        std::array<double, Places> least{};
        for (int pass = 0; pass < 5; ++pass) {
            for (std::size_t place = 0; place < Places; ++place) {
                const double before = ThreadCpuSeconds();
                RawEpoll(16u * 1024 * 1024, Family::V4, place * 8);
                const double used = ThreadCpuSeconds() - before;
                least[place] = pass == 0 ? used : std::min(least[place], used);
            }
        }
        const auto chosen = std::min_element(least.begin(), least.end()) - least.begin();
        return static_cast<std::size_t>(chosen) * 8;
    }();
    return best;
}

double RawEpoll(uint64_t total, Family family, std::size_t receiveOffset) {
    RawPair pair = RawConnectedPair(family);
    const int out = pair.client.get();
    const int in = pair.server.get();
    for (int fd : {out, in}) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    Fd ep(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event ev{};
    ev.events = 0;  // writability only while a send waits (Send)
    ev.data.fd = out;
    ::epoll_ctl(ep.get(), EPOLL_CTL_ADD, out, &ev);
    ev.events = EPOLLIN;
    ev.data.fd = in;
    ::epoll_ctl(ep.get(), EPOLL_CTL_ADD, in, &ev);

    const PageBlock chunk = PatternBlock();
    PageBlock sink(Chunk, receiveOffset);
    uint64_t sent = 0;
    uint64_t received = 0;
    std::size_t offset = 0;  // within the current chunk
    bool waitingToSend = false;
    // The next chunk as soon as the reader has taken everything sent (paced like libuv's
    // writer, so a chunk is read back while it is still in the cache); the rest of a chunk
    // the socket took in part once it is writable again. No readiness is asked for while
    // nothing waits: each wake-up then brings data.
    auto send = [&] {
        if (sent >= total || (offset == 0 && received < sent)) {
            return;
        }
        const ssize_t w = ::send(out, chunk.data() + offset, Chunk - offset, MSG_NOSIGNAL);
        if (w > 0) {
            sent += static_cast<uint64_t>(w);
            offset = (offset + static_cast<std::size_t>(w)) % Chunk;
        }
        const bool wait = offset != 0 || w < 0;
        if (wait != waitingToSend) {
            epoll_event mod{};
            mod.events = wait ? uint32_t{EPOLLOUT} : 0;
            mod.data.fd = out;
            ::epoll_ctl(ep.get(), EPOLL_CTL_MOD, out, &mod);
            waitingToSend = wait;
        }
    };
    std::array<epoll_event, 8> events{};
    const auto start = Clock::now();
    send();
    while (received < total) {
        const int n = ::epoll_wait(ep.get(), events.data(), events.size(), 1000);
        if (n <= 0) {
            Fail("raw epoll: stalled");
        }
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == out) {
                send();
                continue;
            }
            // Everything waiting, and the next chunk out after each read: the bytes just
            // written are read back in the same wake-up, with no wait in between.
            for (;;) {
                const ssize_t r = ::recv(in, sink.data(), Chunk, 0);
                if (r <= 0) {
                    break;
                }
                received += static_cast<uint64_t>(r);
                send();
            }
        }
    }
    const double s = Seconds(Clock::now() - start);
    Check(received, total, "raw epoll");
    return static_cast<double>(total) / (1024.0 * 1024.0) / s;
}

// The raw loop on our loop's schedule: one receive and one send per wake-up, each on its
// readiness, so the bytes written wait for the next wait before they are read. What separates
// this from RawEpoll is what the schedule costs; what separates ours from this, what our layer
// costs.
double RawEpollPerReadiness(uint64_t total) {
    RawPair pair = RawConnectedPair();
    const int out = pair.client.get();
    const int in = pair.server.get();
    for (int fd : {out, in}) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    Fd ep(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.fd = out;
    ::epoll_ctl(ep.get(), EPOLL_CTL_ADD, out, &ev);
    ev.events = EPOLLIN;
    ev.data.fd = in;
    ::epoll_ctl(ep.get(), EPOLL_CTL_ADD, in, &ev);

    const PageBlock chunk = PatternBlock();
    PageBlock sink(Chunk, BestReceiveOffset());
    uint64_t sent = 0;
    uint64_t received = 0;
    std::size_t offset = 0;
    std::array<epoll_event, 8> events{};
    const auto start = Clock::now();
    while (received < total) {
        const int n = ::epoll_wait(ep.get(), events.data(), events.size(), 1000);
        if (n <= 0) {
            Fail("raw epoll per readiness: stalled");
        }
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == out) {
                // One chunk per readiness, once the reader has taken the last.
                if (sent < total && (offset != 0 || received >= sent)) {
                    const ssize_t w =
                        ::send(out, chunk.data() + offset, Chunk - offset, MSG_NOSIGNAL);
                    if (w > 0) {
                        sent += static_cast<uint64_t>(w);
                        offset = (offset + static_cast<std::size_t>(w)) % Chunk;
                    }
                }
            } else {
                const ssize_t r = ::recv(in, sink.data(), Chunk, 0);
                if (r > 0) {
                    received += static_cast<uint64_t>(r);
                }
            }
        }
    }
    const double s = Seconds(Clock::now() - start);
    Check(received, total, "raw epoll per readiness");
    return static_cast<double>(total) / (1024.0 * 1024.0) / s;
}

// The ceiling no transfer through sockets can pass: each chunk copied twice, from the
// sender's buffer into a staging block (the socket buffer's part) and from there into the
// receiver's, at the same granularity, with no system call and no protocol at all.
double Limit(uint64_t total) {
    const PageBlock chunk = PatternBlock();
    PageBlock staging(Chunk);
    PageBlock sink(Chunk);
    uint64_t checksum = 0;
    const auto start = Clock::now();
    for (uint64_t done = 0; done < total; done += Chunk) {
        std::memcpy(staging.data(), chunk.data(), Chunk);
        // Keeps the compiler from merging the two copies into one.
        __asm__ volatile("" : : "r"(staging.data()) : "memory");
        std::memcpy(sink.data(), staging.data(), Chunk);
        __asm__ volatile("" : : "r"(sink.data()) : "memory");
        checksum += sink.data()[Chunk - 1];
    }
    const double s = Seconds(Clock::now() - start);
    if (checksum == 0) {
        Fail("limit: nothing copied");
    }
    return static_cast<double>(total) / (1024.0 * 1024.0) / s;
}

double RawBlocking(uint64_t total) {
    RawPair pair = RawConnectedPair();
    uint64_t received = 0;
    const auto start = Clock::now();
    std::thread reader([&] {
        std::vector<uint8_t> sink(Chunk);
        while (received < total) {
            const ssize_t r = ::recv(pair.server.get(), sink.data(), sink.size(), 0);
            if (r <= 0) {
                return;
            }
            received += static_cast<uint64_t>(r);
        }
    });
    const std::vector<uint8_t> chunk = Pattern();
    for (uint64_t sent = 0; sent < total; sent += Chunk) {
        std::size_t done = 0;
        while (done < Chunk) {
            const ssize_t w =
                ::send(pair.client.get(), chunk.data() + done, Chunk - done, MSG_NOSIGNAL);
            if (w <= 0) {
                Fail("raw blocking: send failed");
            }
            done += static_cast<std::size_t>(w);
        }
    }
    reader.join();
    const double s = Seconds(Clock::now() - start);
    Check(received, total, "raw blocking");
    return static_cast<double>(total) / (1024.0 * 1024.0) / s;
}

// ---------------------------------------------------------------------------------------------

double AsioPeer(uint64_t total) {
    using asio::ip::tcp;
    asio::io_context io(1);
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    tcp::socket in(io);
    tcp::socket out(io);
    int ready = 0;
    acceptor.async_accept(in, [&](std::error_code ec) {
        if (ec) {
            Fail("asio accept: " + ec.message());
        }
        ++ready;
    });
    out.async_connect(acceptor.local_endpoint(), [&](std::error_code ec) {
        if (ec) {
            Fail("asio connect: " + ec.message());
        }
        ++ready;
    });
    while (ready < 2) {
        io.run_one();
    }

    const std::vector<uint8_t> chunk = Pattern();
    std::vector<uint8_t> sink(Chunk);
    uint64_t sent = 0;
    uint64_t received = 0;
    std::function<void()> write = [&] {
        if (sent >= total) {
            return;
        }
        asio::async_write(out, asio::buffer(chunk), [&](std::error_code ec, std::size_t n) {
            if (ec) {
                Fail("asio write: " + ec.message());
            }
            sent += n;
            write();
        });
    };
    std::function<void()> read = [&] {
        in.async_read_some(asio::buffer(sink), [&](std::error_code ec, std::size_t n) {
            if (ec) {
                Fail("asio read: " + ec.message());
            }
            received += n;
            if (received < total) {
                read();
            }
        });
    };
    const auto start = Clock::now();
    write();
    read();
    io.restart();  // run_one stopped it when the set-up work ran out
    io.run();
    const double s = Seconds(Clock::now() - start);
    Check(received, total, "asio");
    return static_cast<double>(total) / (1024.0 * 1024.0) / s;
}

// ---------------------------------------------------------------------------------------------

double LibuvPeer(uint64_t total) {
    UvLoop loop;
    const UvPair pair = UvConnectedPair(loop);
    uv_tcp_t* in = pair.server;
    uv_tcp_t* out = pair.client;

    // The next chunk once libuv reports the previous one written and the reader has taken it.
    // libuv runs a write chain's callbacks ahead of its reads, so unpaced, the sender would
    // fill the socket buffer (megabytes) before the reader's turn and every byte would leave
    // the cache between the two copies: an artefact of both ends sharing one loop, which the
    // raw loop avoids the same way (one chunk per readiness).
    struct Transfer {
        std::vector<uint8_t> chunk = Pattern();
        std::vector<uint8_t> sink = std::vector<uint8_t>(Chunk);
        uint64_t total = 0;
        uint64_t sent = 0;
        uint64_t received = 0;
        bool writing = false;
        uv_write_t request{};
        uv_stream_t* out = nullptr;
        void Write() {
            if (writing || sent >= total || received < sent) {
                return;
            }
            writing = true;
            uv_buf_t buf = uv_buf_init(reinterpret_cast<char*>(chunk.data()),
                                       static_cast<unsigned>(chunk.size()));
            request.data = this;
            UvCheck(uv_write(&request, out, &buf, 1,
                             [](uv_write_t* r, int status) {
                                 UvCheck(status, "write");
                                 auto* t = static_cast<Transfer*>(r->data);
                                 t->writing = false;
                                 t->sent += Chunk;
                                 t->Write();
                             }),
                    "write");
        }
    } t;
    t.total = total;
    t.out = Stream(out);
    in->data = &t;
    const auto start = Clock::now();
    t.Write();
    UvCheck(uv_read_start(
                Stream(in),
                [](uv_handle_t* h, std::size_t, uv_buf_t* buf) {
                    auto* t = static_cast<Transfer*>(h->data);
                    *buf = uv_buf_init(reinterpret_cast<char*>(t->sink.data()),
                                       static_cast<unsigned>(t->sink.size()));
                },
                [](uv_stream_t* s, ssize_t n, const uv_buf_t*) {
                    UvCheck(static_cast<int>(std::min<ssize_t>(n, 0)), "read");
                    auto* t = static_cast<Transfer*>(s->data);
                    t->received += static_cast<uint64_t>(n);
                    t->Write();
                }),
            "read");
    loop.RunUntil([&] { return t.received >= total; }, Timeout, "libuv bulk transfer");
    const double s = Seconds(Clock::now() - start);
    uv_read_stop(Stream(in));
    Check(t.received, total, "libuv");
    return static_cast<double>(total) / (1024.0 * 1024.0) / s;
}

// ---------------------------------------------------------------------------------------------

double QtNetwork(uint64_t total) {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        Fail("qt: cannot listen");
    }
    QTcpSocket out;
    out.connectToHost(QHostAddress::LocalHost, server.serverPort());
    if (!out.waitForConnected(5000) || !server.waitForNewConnection(5000)) {
        Fail("qt: cannot connect");
    }
    QTcpSocket* in = server.nextPendingConnection();

    const std::vector<uint8_t> pattern = Pattern();
    const QByteArray chunk(reinterpret_cast<const char*>(pattern.data()),
                           static_cast<qsizetype>(Chunk));
    uint64_t queued = 0;
    uint64_t received = 0;
    QEventLoop loop;
    // The next chunk once the previous one has been handed to the system, as the others do.
    auto next = [&] {
        if (queued < total && out.bytesToWrite() == 0) {
            queued += Chunk;
            out.write(chunk);
        }
    };
    QObject::connect(&out, &QTcpSocket::bytesWritten, &loop, next);
    QObject::connect(in, &QTcpSocket::readyRead, &loop, [&] {
        received += static_cast<uint64_t>(in->readAll().size());
        if (received >= total) {
            loop.quit();
        }
    });
    QTimer::singleShot(Timeout, &loop, [&] { loop.exit(1); });
    const auto start = Clock::now();
    next();
    if (loop.exec() != 0) {
        Fail("qt: timed out");
    }
    const double s = Seconds(Clock::now() - start);
    Check(received, total, "qt");
    return static_cast<double>(total) / (1024.0 * 1024.0) / s;
}

// One transfer in a process of its own (RunChild): the peak resident memory of the whole
// process, in MiB. Qt's application object exists only where Qt runs.
int PeakMemoryChild(const Options& options, uint64_t total, char** argv) {
    int qtArgc = 1;
    std::unique_ptr<QCoreApplication> app;
    const std::string& peer = options.child;
    if (peer == "qt") {
        app = std::make_unique<QCoreApplication>(qtArgc, argv);
        QtNetwork(total);
    } else if (peer == "csocket") {
        Ours(total);
    } else if (peer == "raw_epoll") {
        RawEpoll(total, Family::V4, BestReceiveOffset());
    } else if (peer == "asio") {
        AsioPeer(total);
    } else if (peer == "libuv") {
        LibuvPeer(total);
    } else {
        Fail("no such peer: " + peer);
    }
    std::printf("%.6g\n", StatusKib("VmHWM") / 1024.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const uint64_t total = uint64_t{options.quick ? 64u : 512u} * 1024 * 1024;
    if (!options.child.empty()) {
        return PeakMemoryChild(options, total, argv);
    }
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);

    Peers peers(options);
    peers.Add("csocket", [&] { return Ours(total); });
    peers.Add("raw_epoll", [&] { return RawEpoll(total, Family::V4, BestReceiveOffset()); });
    peers.Add("raw_epoll_per_readiness", [&] { return RawEpollPerReadiness(total); });
    peers.Add("raw_blocking", [&] { return RawBlocking(total); });
    peers.Add("asio", [&] { return AsioPeer(total); });
    peers.Add("libuv", [&] { return LibuvPeer(total); });
    peers.Add("qt", [&] { return QtNetwork(total); });
    peers.Add("getdata_copy", [&] { return CopyOnly(total); });
    peers.Add("limit", [&] { return Limit(total); });
    peers.Add("csocket_v6", [&] { return Ours(total, LoopbackV6); });
    peers.Add("raw_epoll_v6", [&] { return RawEpoll(total, Family::V6, BestReceiveOffset()); });
    peers.Run();

    // Peak memory: the same transfer again, each peer in a fresh process.
    Peers memory(options);
    for (const char* peer : {"csocket", "raw_epoll", "asio", "libuv", "qt"}) {
        memory.Add(peer, [&options, peer] { return RunChild(peer, options, 150s); });
    }
    memory.Run();

    ReportValue(peers, "bulk_mib_s_csocket", "csocket");
    ReportRatio(peers, "bulk_csocket_vs_raw", "csocket", "raw_epoll");
    ReportRatio(peers, "bulk_csocket_vs_asio", "csocket", "asio");
    ReportRatio(peers, "bulk_csocket_vs_libuv", "csocket", "libuv");
    ReportRatio(peers, "bulk_csocket_vs_qt", "csocket", "qt");
    ReportValue(peers, "bulk_mib_s_raw_epoll", "raw_epoll");
    if (peers.Has("raw_epoll") || peers.Has("raw_epoll_per_readiness")) {
        Report("bulk_raw_receive_offset", static_cast<double>(BestReceiveOffset()));
    }
    ReportValue(peers, "bulk_mib_s_raw_epoll_per_readiness", "raw_epoll_per_readiness");
    ReportRatio(peers, "bulk_csocket_vs_raw_per_readiness", "csocket", "raw_epoll_per_readiness");
    ReportValue(peers, "bulk_mib_s_raw_blocking", "raw_blocking");
    ReportValue(peers, "bulk_mib_s_asio", "asio");
    ReportValue(peers, "bulk_mib_s_libuv", "libuv");
    ReportValue(peers, "bulk_mib_s_qt", "qt");
    ReportValue(peers, "bulk_mib_s_getdata_copy_only", "getdata_copy");
    // The raw loop plus that copy, one after the other: what a layer that must hand the owner
    // a copy can reach at best, relative to the raw loop.
    if (peers.Has("raw_epoll") && peers.Has("getdata_copy")) {
        const double raw = peers.Value("raw_epoll");
        const double copy = peers.Value("getdata_copy");
        Report("bulk_raw_plus_copy_vs_raw", (1.0 / (1.0 / raw + 1.0 / copy)) / raw);
    }
    ReportValue(peers, "bulk_mib_s_limit", "limit");
    for (const char* peer : {"csocket", "raw_epoll", "raw_epoll_per_readiness", "raw_blocking",
                             "asio", "libuv", "qt", "csocket_v6", "raw_epoll_v6"}) {
        ReportRatio(peers, std::string("bulk_fraction_of_limit_") + peer, peer, "limit");
    }
    ReportRatio(peers, "bulk_csocket_vs_raw_v6", "csocket_v6", "raw_epoll_v6");
    ReportValue(peers, "bulk_mib_s_csocket_v6", "csocket_v6");
    ReportValue(peers, "bulk_mib_s_raw_epoll_v6", "raw_epoll_v6");
    ReportValue(memory, "bulk_peak_rss_mib", "csocket");
    ReportValue(memory, "bulk_peak_rss_mib_raw_epoll", "raw_epoll");
    ReportValue(memory, "bulk_peak_rss_mib_asio", "asio");
    ReportValue(memory, "bulk_peak_rss_mib_libuv", "libuv");
    ReportValue(memory, "bulk_peak_rss_mib_qt", "qt");
    return 0;
}
