// SPDX-License-Identifier: MIT
// TLS: our secure CSockets against Asio's ssl::stream over loopback, both on the system's
// OpenSSL with the same certificates (made for the run by tests/socket/make_tls_pki.sh: a
// 2048-bit RSA server key under a test authority), both clients verifying the server against
// that authority alone (SSL_CERT_FILE), both on the library's defaults (TLS 1.3,
// TLS_AES_256_GCM_SHA384). Sender and receiver, client and server, in one thread each time.
//
//   bulk         a fixed amount one way in 256 KiB sends; the receiver takes every byte
//   pingpong     a 64-byte request and its echo, again and again for a fixed time
//   handshakes   connect, handshake, close (close notices both ways), one after the other
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <array>
#include <asio.hpp>
#include <asio/ssl.hpp>
#include <functional>
#include <memory>

#include "CSocketPeers.h"
#include "TempDir.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;
using tcp = asio::ip::tcp;
using SslStream = asio::ssl::stream<tcp::socket>;

constexpr std::size_t Chunk = 256 * 1024;
constexpr std::size_t Message = 64;
constexpr auto Timeout = 120s;

// The run's certificates, in a folder removed at the end.
struct Pki {
    packwarden::testsupport::TempDir dir{"packwarden-bench-tls-"};
    std::string File(const char* name) const { return dir.str() + "/" + name; }
    std::string chain = File("chain.pem");
    std::string key = File("server.key");
    std::string authority = File("ca.pem");
    Pki() {
        const std::string command = "sh '" PACKWARDEN_TLS_PKI_SCRIPT "' '" + dir.str() + "' >'" +
                                    File("make.log") + "' 2>&1";
        if (std::system(command.c_str()) != 0) {
            Fail("cannot make the certificates (see " + File("make.log") + ")");
        }
        // Only the run's authority is trusted, by both clients; the folder holds no hashed
        // certificates, so it adds none.
        ::setenv("SSL_CERT_FILE", authority.c_str(), 1);
        ::setenv("SSL_CERT_DIR", dir.str().c_str(), 1);
    }
};

std::vector<uint8_t> Pattern() {
    std::vector<uint8_t> v(Chunk);
    for (std::size_t i = 0; i < v.size(); ++i) {
        v[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    return v;
}

double MibPerSecond(uint64_t bytes, Clock::time_point start) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / Seconds(Clock::now() - start);
}

// ---------------------------------------------------------------------------------------------
// Ours: a secure listener with the chain and key, accepted connections secure with it; secure
// clients verifying 127.0.0.1 against the certificate's IP identifier.

class OursListener {
  public:
    OursListener(const Pki& pki, std::function<void(int32_t)> onRequest)
        : listener_(std::move(onRequest), LoopbackV4, [&](CSocket& s) {
              s.Secure(true);
              s.SetCertificate(pki.chain, pki.key);
          }) {}
    uint16_t Port() const { return listener_.Port(); }

  private:
    CSocketListener listener_;
};

double OursBulk(const Pki& pki, uint64_t total) {
    BulkReceiver receiver;
    BulkSender sender(Pattern());
    OursListener listener(pki, [&](int32_t id) { receiver.socket = AcceptInto(id, &receiver); });
    sender.socket = ConnectTo(listener.Port(), &sender, LoopbackV4, /*secure=*/true);
    Pump([&] { return sender.connected && receiver.socket != nullptr; }, 5000ms, "tls connect");
    sender.left = total;
    const auto start = Clock::now();
    sender.Next();
    Pump([&] { return receiver.received >= total; }, Timeout, "tls bulk transfer");
    const double rate = MibPerSecond(total, start);
    if (receiver.received != total) {
        Fail("csocket: received " + std::to_string(receiver.received) + " bytes");
    }
    sender.socket->SetOwner(nullptr);
    receiver.socket->SetOwner(nullptr);
    return rate;
}

// Mean round trip, microseconds.
double OursPingpong(const Pki& pki, std::chrono::milliseconds span) {
    EchoEnd echo;
    PingClient client(Message);
    OursListener listener(pki, [&](int32_t id) { echo.socket = AcceptInto(id, &echo); });
    client.socket = ConnectTo(listener.Port(), &client, LoopbackV4, /*secure=*/true);
    Pump([&] { return client.connected && echo.socket != nullptr; }, 5000ms, "tls connect");
    client.running = true;
    const auto start = Clock::now();
    const auto end = start + span;
    client.socket->SendData(client.request);
    Pump([&] { return Clock::now() >= end; }, span + 5000ms, "tls pingpong");
    const double seconds = Seconds(Clock::now() - start);
    client.running = false;
    client.socket->SetOwner(nullptr);
    echo.socket->SetOwner(nullptr);
    if (client.trips == 0) {
        Fail("csocket: no round trip");
    }
    return seconds * 1e6 / static_cast<double>(client.trips);
}

// One end of a handshake cycle: it closes once its peer has closed (the server), or once it is
// connected (the client), and notes its own close.
class OursCycleEnd : public CSocketEvents {
  public:
    std::shared_ptr<CSocket> socket;
    bool closed = false;
    bool failed = false;
    bool closeOnConnect = false;
    void OnConnect() override {
        if (closeOnConnect) {
            socket->CloseSocket();
        }
    }
    void OnClose() override {
        socket->CloseSocket();  // the peer's close notice came: ours goes back
        closed = true;
    }
    void OnError(int16_t, std::string&, int32_t, const std::string&, const std::string&, int32_t,
                 bool& cancel) override {
        cancel = true;
        failed = true;
    }
};

// Cycles per second.
double OursHandshakes(const Pki& pki, std::chrono::milliseconds span) {
    std::unique_ptr<OursCycleEnd> server;
    OursListener listener(pki, [&](int32_t id) { server->socket = AcceptInto(id, server.get()); });
    uint64_t cycles = 0;
    const auto start = Clock::now();
    const auto end = start + span;
    do {
        server = std::make_unique<OursCycleEnd>();
        OursCycleEnd client;
        client.closeOnConnect = true;
        client.socket = ConnectTo(listener.Port(), &client, LoopbackV4, /*secure=*/true);
        Pump([&] { return client.closed && server->closed; }, 5000ms, "tls handshake cycle");
        if (client.failed || server->failed) {
            Fail("csocket: a handshake cycle failed");
        }
        client.socket->SetOwner(nullptr);
        server->socket->SetOwner(nullptr);
        ++cycles;
    } while (Clock::now() < end);
    return static_cast<double>(cycles) / Seconds(Clock::now() - start);
}

// ---------------------------------------------------------------------------------------------
// Asio: one io_context, a server context with the chain and key, a client context with the
// default verify paths (the same SSL_CERT_FILE) verifying 127.0.0.1 the way ours does.

struct AsioContexts {
    asio::ssl::context server{asio::ssl::context::tls_server};
    asio::ssl::context client{asio::ssl::context::tls_client};
    explicit AsioContexts(const Pki& pki) {
        server.use_certificate_chain_file(pki.chain);
        server.use_private_key_file(pki.key, asio::ssl::context::pem);
        client.set_default_verify_paths();
        client.set_verify_mode(asio::ssl::verify_peer);
    }
};

void Check(const std::error_code& ec, const char* what) {
    if (ec) {
        Fail(std::string("asio ") + what + ": " + ec.message());
    }
}

// The client's check of the server's address, as ours makes it.
void VerifyLoopback(SslStream& client) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(client.native_handle()), LoopbackV4);
}

// A connected, handshaken pair.
struct AsioPair {
    tcp::acceptor acceptor;
    SslStream server;
    SslStream client;
    AsioPair(asio::io_context& io, AsioContexts& contexts)
        : acceptor(io, tcp::endpoint(asio::ip::make_address(LoopbackV4), 0)),
          server(io, contexts.server),
          client(io, contexts.client) {
        VerifyLoopback(client);
        int ready = 0;
        acceptor.async_accept(server.next_layer(), [&](std::error_code ec) {
            Check(ec, "accept");
            server.async_handshake(asio::ssl::stream_base::server, [&](std::error_code hec) {
                Check(hec, "server handshake");
                ++ready;
            });
        });
        client.next_layer().async_connect(acceptor.local_endpoint(), [&](std::error_code ec) {
            Check(ec, "connect");
            client.async_handshake(asio::ssl::stream_base::client, [&](std::error_code hec) {
                Check(hec, "client handshake");
                ++ready;
            });
        });
        while (ready < 2) {
            io.run_one();
        }
        io.restart();
        if (SSL_version(client.native_handle()) != TLS1_3_VERSION) {
            Fail("asio: not TLS 1.3");
        }
    }
};

double AsioBulk(const Pki& pki, uint64_t total) {
    asio::io_context io(1);
    AsioContexts contexts(pki);
    AsioPair pair(io, contexts);
    const std::vector<uint8_t> chunk = Pattern();
    std::vector<uint8_t> sink(Chunk);
    uint64_t sent = 0;
    uint64_t received = 0;
    std::function<void()> write = [&] {
        if (sent >= total) {
            return;
        }
        asio::async_write(pair.client, asio::buffer(chunk), [&](std::error_code ec, std::size_t n) {
            Check(ec, "write");
            sent += n;
            write();
        });
    };
    std::function<void()> read = [&] {
        pair.server.async_read_some(asio::buffer(sink), [&](std::error_code ec, std::size_t n) {
            Check(ec, "read");
            received += n;
            if (received < total) {
                read();
            }
        });
    };
    const auto start = Clock::now();
    write();
    read();
    io.run();
    const double rate = MibPerSecond(total, start);
    if (received != total) {
        Fail("asio: received " + std::to_string(received) + " bytes");
    }
    return rate;
}

// Mean round trip, microseconds.
double AsioPingpong(const Pki& pki, std::chrono::milliseconds span) {
    asio::io_context io(1);
    AsioContexts contexts(pki);
    AsioPair pair(io, contexts);
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
        pair.server.async_read_some(
            asio::buffer(echoBuffer), [&](std::error_code ec, std::size_t n) {
                if (ec) {
                    return;
                }
                asio::async_write(pair.server, asio::buffer(echoBuffer.data(), n),
                                  [&](std::error_code wec, std::size_t) {
                                      if (!wec) {
                                          echo();
                                      }
                                  });
            });
    };
    std::function<void()> ask = [&] {
        asio::async_write(pair.client, asio::buffer(request),
                          [&](std::error_code ec, std::size_t) { Check(ec, "write"); });
    };
    std::function<void()> listen = [&] {
        pair.client.async_read_some(asio::buffer(replyBuffer),
                                    [&](std::error_code ec, std::size_t n) {
                                        Check(ec, "read");
                                        got += n;
                                        if (got >= Message) {
                                            got -= Message;
                                            ++trips;
                                            if (Clock::now() >= end) {
                                                running = false;
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
    while (running) {
        io.run_one();
    }
    const double seconds = Seconds(Clock::now() - start);
    return seconds * 1e6 / static_cast<double>(trips);
}

// Cycles per second: the client shuts down once it is connected (close notice, then waits for
// the server's), the server reads to the client's close notice and shuts down in turn; each
// end then closes its socket. A fresh pair of streams per cycle, the two contexts kept.
double AsioHandshakes(const Pki& pki, std::chrono::milliseconds span) {
    asio::io_context io(1);
    AsioContexts contexts(pki);
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address(LoopbackV4), 0));
    const tcp::endpoint endpoint = acceptor.local_endpoint();
    std::array<char, 256> buffer{};
    uint64_t cycles = 0;
    const auto start = Clock::now();
    const auto end = start + span;
    do {
        SslStream server(io, contexts.server);
        SslStream client(io, contexts.client);
        VerifyLoopback(client);
        int done = 0;
        acceptor.async_accept(server.next_layer(), [&](std::error_code ec) {
            Check(ec, "accept");
            server.async_handshake(asio::ssl::stream_base::server, [&](std::error_code hec) {
                Check(hec, "server handshake");
                server.async_read_some(asio::buffer(buffer), [&](std::error_code rec, std::size_t) {
                    if (rec != asio::error::eof) {
                        Fail("asio: no close notice (" + rec.message() + ")");
                    }
                    server.async_shutdown([&](std::error_code) {
                        server.next_layer().close();
                        ++done;
                    });
                });
            });
        });
        client.next_layer().async_connect(endpoint, [&](std::error_code ec) {
            Check(ec, "connect");
            client.async_handshake(asio::ssl::stream_base::client, [&](std::error_code hec) {
                Check(hec, "client handshake");
                client.async_shutdown([&](std::error_code sec) {
                    Check(sec, "client shutdown");
                    client.next_layer().close();
                    ++done;
                });
            });
        });
        const auto bound = Clock::now() + 5s;
        while (done < 2) {
            if (io.run_one_for(1s) == 0 && Clock::now() > bound) {
                Fail("timed out: asio handshake cycle");
            }
        }
        io.restart();
        ++cycles;
    } while (Clock::now() < end);
    return static_cast<double>(cycles) / Seconds(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const uint64_t total = uint64_t{options.quick ? 32u : 256u} * 1024 * 1024;
    const std::chrono::milliseconds span = options.quick ? 300ms : 2000ms;
    const std::chrono::milliseconds handshakeSpan = options.quick ? 300ms : 1500ms;
    const Pki pki;

    Peers peers(options);
    peers.Add("csocket_bulk", [&] { return OursBulk(pki, total); });
    peers.Add("asio_bulk", [&] { return AsioBulk(pki, total); });
    peers.Add("csocket_pingpong", [&] { return OursPingpong(pki, span); });
    peers.Add("asio_pingpong", [&] { return AsioPingpong(pki, span); });
    peers.Add("csocket_handshakes", [&] { return OursHandshakes(pki, handshakeSpan); });
    peers.Add("asio_handshakes", [&] { return AsioHandshakes(pki, handshakeSpan); });
    peers.Run();

    ReportValue(peers, "bulk_tls_mib_s_csocket", "csocket_bulk");
    ReportValue(peers, "bulk_tls_mib_s_asio", "asio_bulk");
    ReportRatio(peers, "bulk_tls_csocket_vs_asio", "csocket_bulk", "asio_bulk");
    ReportValue(peers, "pingpong_tls_rtt_us_csocket", "csocket_pingpong");
    ReportValue(peers, "pingpong_tls_rtt_us_asio", "asio_pingpong");
    // Rates: the peer's round trip over ours.
    ReportRatio(peers, "pingpong_tls_csocket_vs_asio", "asio_pingpong", "csocket_pingpong");
    ReportValue(peers, "tls_handshakes_per_s", "csocket_handshakes");
    ReportValue(peers, "tls_handshakes_per_s_asio", "asio_handshakes");
    ReportRatio(peers, "tls_handshakes_csocket_vs_asio", "csocket_handshakes", "asio_handshakes");
    return 0;
}
