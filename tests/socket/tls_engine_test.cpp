// SPDX-License-Identifier: MIT
// The TLS engine on its own, driven over real loopback connections by a small poll loop: against
// the openssl command's server and client, and against itself. The certificates are made when
// the suite starts (an authority trusted through SSL_CERT_FILE, a rogue one, and server
// certificates good, expired and for another name).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "LoopbackSupport.h"
#include "PeerProcess.h"
#include "RawPeer.h"
#include "TempDir.h"
#include "packwarden/MSocketSupport.h"
#include "tls/TlsSession.h"

#ifdef _WIN32
#include "TlsTestSupport.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#endif

namespace packwarden::tls {
namespace {

namespace ms = MSocketSupport;
using testsupport::Fd;
using testsupport::TempDir;
#ifndef _WIN32
using testsupport::PeerProcess;
#endif
using Clock = std::chrono::steady_clock;

constexpr auto kBound = std::chrono::seconds(10);  // any one exchange; none takes near this

// A payload whose every byte depends on its position, so a lost, doubled or reordered byte shows.
std::string Payload(std::size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>('0' + (i * 7 + seed + i / 251) % 10);
    }
    return s;
}

std::string ReadAll(TlsSession& s) {
    std::string out(s.PlaintextAvailable(), '\0');
    out.resize(s.ReadPlaintext(out.data(), out.size()));
    return out;
}

// The certificates (see make_tls_pki.sh), made once per run with the openssl command. The
// Windows tree runs under Wine, which cannot start the command: its build made them.
struct Pki {
    TempDir dir{"packwarden-tls-"};
    std::string folder, ca, server, serverKey, expired, wrongName, rogue, wildcard, otherKey;
    bool made = false;

    Pki() {
#ifdef _WIN32
        folder = PACKWARDEN_TLS_PKI_DIR;
        made = std::filesystem::exists(folder + "/chain.pem");
#else
        folder = dir.str();
        made = std::system(("sh '" PACKWARDEN_TLS_PKI_SCRIPT "' '" + folder + "' >'" + folder +
                            "/make.log' 2>&1")
                               .c_str()) == 0;
#endif
        ca = folder + "/ca.pem";
        server = folder + "/chain.pem";
        serverKey = folder + "/server.key";
        expired = folder + "/expired.pem";
        wrongName = folder + "/wrong.pem";
        rogue = folder + "/untrusted.pem";
        wildcard = folder + "/wild.pem";
        otherKey = folder + "/other.key";
    }
};

Pki* pki = nullptr;

// Wine's Schannel is a client only: a server session fails at once (AcceptSecurityContext answers
// SEC_E_UNSUPPORTED_FUNCTION), and no other TLS server can run inside the tests' Wine.
#define SKIP_WITHOUT_SERVER_SESSIONS() \
    SKIP_UNDER_WINE(                   \
        "Schannel has no server side (AcceptSecurityContext: SEC_E_UNSUPPORTED_FUNCTION)")

// A connected pair of non-blocking TCP sockets over 127.0.0.1 (or ::1).
struct Pair {
    Fd client, server;
};
Pair Connected(bool v6 = false) {
    Fd listener(v6 ? raw::Socket6() : raw::Socket());
    if (v6) {
        raw::Bind6(listener.get(), 0);
    } else {
        raw::Bind(listener.get(), 0);
    }
    raw::Listen(listener.get(), 1);
    const uint16_t port = raw::LocalPortOf(listener.get());
    Pair p;
    p.client.reset(v6 ? raw::Socket6() : raw::Socket());
    if (v6) {
        raw::Connect6(p.client.get(), port);
    } else {
        raw::Connect(p.client.get(), port);
    }
    p.server.reset(raw::Accept(listener.get()));
    raw::SetNonBlocking(p.client.get());
    raw::SetNonBlocking(p.server.get());
    return p;
}

// One end of a connection: its session and its socket, and what the socket has not taken yet.
struct Wire {
    Wire(TlsSession* s, int f, std::size_t chunk = SIZE_MAX)
        : session(s), fd(f), feedChunk(chunk) {}

    TlsSession* session;
    int fd;
    std::size_t feedChunk;  // cuts what arrived into pieces of at most this size
    std::string unsent;
    bool ended = false;
    std::size_t sentTotal = 0;  // ciphertext bytes that left, to show when nothing did

    void Move() {
        char buffer[64 * 1024];
        for (std::size_t n; (n = session->TakeCiphertext(buffer, sizeof buffer)) > 0;) {
            unsent.append(buffer, n);
        }
        while (!unsent.empty()) {
            const long n = raw::Send(fd, unsent);
            if (n <= 0) {
                break;
            }
            sentTotal += static_cast<std::size_t>(n);
            unsent.erase(0, static_cast<std::size_t>(n));
        }
        while (!ended) {
            const long n = raw::Recv(fd, buffer, sizeof buffer);
            if (n > 0) {
                for (std::size_t at = 0, total = static_cast<std::size_t>(n); at < total;) {
                    const std::size_t piece = std::min(total - at, feedChunk);
                    session->Feed(buffer + at, piece);
                    at += piece;
                }
            } else if (n == 0 || raw::LastError() == raw::ConnectionReset) {
                session->FeedEnd();
                ended = true;
            } else {
                break;
            }
        }
    }
};

// Moves bytes for every wire until `done` holds; false when kBound passed first.
bool Drive(std::vector<Wire*> wires, const std::function<bool()>& done,
           const std::function<void()>& step = {}) {
    const auto deadline = Clock::now() + kBound;
    while (Clock::now() < deadline) {
        for (Wire* w : wires) {
            w->Move();
        }
        if (step) {
            step();
            for (Wire* w : wires) {
                w->Move();
            }
        }
        if (done()) {
            return true;
        }
        std::vector<pollfd> fds;
        for (Wire* w : wires) {
            pollfd p{};
            p.fd = static_cast<decltype(p.fd)>(w->fd);
            p.events = static_cast<short>(POLLIN | (w->unsent.empty() ? 0 : POLLOUT));
            fds.push_back(p);
        }
        raw::Poll(fds.data(), static_cast<unsigned long>(fds.size()), 20);
    }
    return done();
}

// Writes all of `data` through the session as it takes it, moving bytes meanwhile.
bool WriteAll(Wire& from, Wire& to, const std::string& data) {
    std::size_t at = 0;
    return Drive(
        {&from, &to}, [&] { return at == data.size(); },
        [&] { at += from.session->WritePlaintext(data.data() + at, data.size() - at); });
}

std::shared_ptr<const ServerCredentials> Credentials(const std::string& chain,
                                                     const std::string& key) {
    TlsError error;
    auto c = LoadServerCredentials(chain, key, error);
    EXPECT_TRUE(c) << error.description;
    return c;
}

#ifndef _WIN32
// Connects to the openssl server once it listens (it takes a moment to start).
Fd ConnectWhenUp(uint16_t port, bool v6 = false) {
    const auto deadline = Clock::now() + kBound;
    while (Clock::now() < deadline) {
        Fd fd(v6 ? raw::Socket6() : raw::Socket());
        if ((v6 ? raw::Connect6(fd.get(), port) : raw::Connect(fd.get(), port)) == 0) {
            raw::SetNonBlocking(fd.get());
            return fd;
        }
        ::usleep(20000);
    }
    return Fd();
}

PeerProcess OpensslServer(uint16_t port, const std::string& cert, bool v6 = false) {
    return PeerProcess({"openssl", "s_server", "-accept",
                        (v6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port), "-cert", cert,
                        "-key", pki->serverKey, "-quiet", "-naccept", "1"});
}
#endif

class TlsEngine : public ::testing::Test {
  protected:
#ifdef _WIN32
    static inline bool trusted = false;
#endif
    static void SetUpTestSuite() {
        static Pki made;
        pki = &made;
#ifdef _WIN32
        trusted = testsupport::TrustAuthority(made.ca);
#else
        // Only the test authority is trusted: an empty folder stands for the system's store.
        ::setenv("SSL_CERT_FILE", made.ca.c_str(), 1);
        ::setenv("SSL_CERT_DIR", made.dir.str().c_str(), 1);
#endif
    }
    void SetUp() override {
        if (!pki->made) {
            std::ifstream log(pki->folder + "/make.log");
            FAIL() << "the openssl command made no certificates:\n" << log.rdbuf();
        }
#ifdef _WIN32
        ASSERT_TRUE(trusted) << "the test authority is not among the roots";
#endif
    }
};

// --- Exchanges with real peers: the openssl command's server and client, and the engine.

#ifndef _WIN32
TEST_F(TlsEngine, ClientExchangesWithOpensslServerByNameAndAddressCountingPlaintextExactly) {
    for (const auto& [name, v6] : std::vector<std::pair<std::string, bool>>{
             {"localhost", false}, {"127.0.0.1", false}, {"::1", true}}) {
        SCOPED_TRACE(name);
        const uint16_t port = v6 ? testsupport::FreePort6() : testsupport::FreePort();
        PeerProcess server = OpensslServer(port, pki->server, v6);
        Fd fd = ConnectWhenUp(port, v6);
        ASSERT_TRUE(fd);
        auto client = TlsSession::Client(name);
        EXPECT_GT(client->CiphertextPending(), 0u);  // the first flight, at once
        Wire w{client.get(), fd.get()};
        ASSERT_TRUE(Drive({&w}, [&] { return client->HandshakeDone() || client->Failed(); }));
        ASSERT_FALSE(client->Failed()) << client->Error().description;

        const std::string request = Payload(70000) + "\n";  // several records
        std::size_t taken = 0;
        ASSERT_TRUE(Drive(
            {&w}, [&] { return server.Output().size() >= request.size(); },
            [&] {
                taken += client->WritePlaintext(request.data() + taken, request.size() - taken);
            }));
        EXPECT_EQ(taken, request.size());
        EXPECT_EQ(server.Output(), request);

        const std::string reply = "0 reply from the server, " + Payload(3000, 5) + "\n";
        server.Write(reply);
        std::string got;
        ASSERT_TRUE(Drive({&w}, [&] {
            got += ReadAll(*client);
            return got.size() >= reply.size();
        }));
        EXPECT_EQ(got, reply);

        client->Shutdown();
        ASSERT_TRUE(Drive({&w}, [&] { return server.Exited(); }));
        EXPECT_FALSE(client->Failed()) << client->Error().description;
    }
}

TEST_F(TlsEngine, ServerExchangesWithOpensslClientThatVerifiesIt) {
    Fd listener(raw::Socket());
    raw::Bind(listener.get(), 0);
    raw::Listen(listener.get(), 1);
    const uint16_t port = raw::LocalPortOf(listener.get());
    PeerProcess client({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port),
                        "-servername", "localhost", "-CAfile", pki->ca, "-verify_return_error",
                        "-quiet"});
    ASSERT_TRUE(raw::Readable(listener.get(), 10000));
    Fd fd(raw::Accept(listener.get()));
    raw::SetNonBlocking(fd.get());
    auto server = TlsSession::Server(Credentials(pki->server, pki->serverKey));
    Wire w{server.get(), fd.get()};
    ASSERT_TRUE(Drive({&w}, [&] { return server->HandshakeDone() || server->Failed(); }));
    ASSERT_FALSE(server->Failed()) << server->Error().description;

    const std::string request = "1 from the client " + Payload(5000, 3) + "\n";
    client.Write(request);
    std::string got;
    ASSERT_TRUE(Drive({&w}, [&] {
        got += ReadAll(*server);
        return got.size() >= request.size();
    }));
    EXPECT_EQ(got, request);

    const std::string reply = Payload(100000, 4);
    std::size_t taken = 0;
    ASSERT_TRUE(Drive(
        {&w}, [&] { return client.Output().size() >= reply.size(); },
        [&] { taken += server->WritePlaintext(reply.data() + taken, reply.size() - taken); }));
    EXPECT_EQ(client.Output(), reply);
    // The server's close_notify ends the client.
    server->Shutdown();
    EXPECT_TRUE(Drive({&w}, [&] { return client.Exited(); }));
}
#endif

TEST_F(TlsEngine, EngineAgainstEngineOverBothFamiliesAndEveryNameForm) {
    SKIP_WITHOUT_SERVER_SESSIONS();
    auto credentials = Credentials(pki->server, pki->serverKey);
    auto wildcard = Credentials(pki->wildcard, pki->serverKey);
    for (const auto& [name, v6] :
         std::vector<std::pair<std::string, bool>>{{"localhost", false},
                                                   {"LocalHost", false},
                                                   {"127.0.0.1", false},
                                                   {"::1", true},
                                                   {"[::1]", true},
                                                   {"0:0:0:0:0:0:0:1", true},
                                                   {"a.wild.invalid", false}}) {
        SCOPED_TRACE(name);
        Pair p = Connected(v6);
        auto client = TlsSession::Client(name);
        auto server =
            TlsSession::Server(name.find("wild") != std::string::npos ? wildcard : credentials);
        Wire c{client.get(), p.client.get()}, s{server.get(), p.server.get()};
        ASSERT_TRUE(
            Drive({&c, &s}, [&] { return client->HandshakeDone() && server->HandshakeDone(); }));
        ASSERT_FALSE(client->Failed()) << client->Error().description;
        const std::string up = Payload(12345, 1), down = Payload(54321, 2);
        ASSERT_TRUE(WriteAll(c, s, up));
        ASSERT_TRUE(WriteAll(s, c, down));
        std::string gotUp, gotDown;
        ASSERT_TRUE(Drive({&c, &s}, [&] {
            gotUp += ReadAll(*server);
            gotDown += ReadAll(*client);
            return gotUp.size() >= up.size() && gotDown.size() >= down.size();
        }));
        EXPECT_EQ(gotUp, up);
        EXPECT_EQ(gotDown, down);
        EXPECT_FALSE(client->Failed() || server->Failed());
    }
}

// --- Verification: each failure has its number, and no application byte leaves before it.

struct VerifyCase {
    const char* what;
    std::string* cert;
    const char* name;
    int32_t number;
};

TEST_F(TlsEngine, VerificationFailuresHaveTheirNumbersAndNothingIsSentBeforehand) {
    SKIP_WITHOUT_SERVER_SESSIONS();
    const std::vector<VerifyCase> cases = {
        {"rogue authority", &pki->rogue, "localhost", ms::TlsUntrusted},
        {"expired", &pki->expired, "localhost", ms::TlsExpired},
        {"certificate for another name", &pki->wrongName, "localhost", ms::TlsNameMismatch},
        {"another host name", &pki->server, "elsewhere.invalid", ms::TlsNameMismatch},
        {"another address", &pki->server, "127.0.0.2", ms::TlsNameMismatch},
        {"wildcard over two labels", &pki->wildcard, "a.b.wild.invalid", ms::TlsNameMismatch},
        {"partial wildcard", &pki->wildcard, "foo.part.invalid", ms::TlsNameMismatch},
    };
    for (const auto& v : cases) {
        SCOPED_TRACE(v.what);
        const std::string key = pki->serverKey;
        auto credentials = Credentials(*v.cert, key);
        Pair p = Connected();
        auto client = TlsSession::Client(v.name);
        auto server = TlsSession::Server(credentials);
        Wire c{client.get(), p.client.get()}, s{server.get(), p.server.get()};
        std::size_t written = 0;
        const std::string secret = "must never leave";
        ASSERT_TRUE(Drive(
            {&c, &s},
            [&] { return client->Failed() && (server->Failed() || server->PeerClosed()); },
            [&] { written += client->WritePlaintext(secret.data(), secret.size()); }));
        EXPECT_EQ(client->Error().number, v.number) << client->Error().description;
        EXPECT_NE(client->Error().description.find(ms::SocketErrorText(v.number)),
                  std::string::npos);
        EXPECT_FALSE(client->HandshakeDone());
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(server->PlaintextAvailable(), 0u);
        // The server learns of the refusal: from the client's alert where the chain is checked
        // during the handshake, from its close_notify where it is checked just after.
        if (raw::OnWindows) {
            EXPECT_TRUE(server->PeerClosed());
        } else {
            EXPECT_EQ(server->Error().number, ms::TlsHandshakeFailed)
                << server->Error().description;
        }
        EXPECT_EQ(client->WritePlaintext(secret.data(), secret.size()), 0u);
        EXPECT_FALSE(client->Feed("x", 1));
    }
}

#ifndef _WIN32
TEST_F(TlsEngine, VerificationFailsAgainstOpensslServerBeforeAnyApplicationByte) {
    for (const auto& v : std::vector<VerifyCase>{
             {"rogue authority", &pki->rogue, "localhost", ms::TlsUntrusted},
             {"expired", &pki->expired, "127.0.0.1", ms::TlsExpired},
             {"another name", &pki->wrongName, "localhost", ms::TlsNameMismatch}}) {
        SCOPED_TRACE(v.what);
        const uint16_t port = testsupport::FreePort();
        PeerProcess server = OpensslServer(port, *v.cert);
        Fd fd = ConnectWhenUp(port);
        ASSERT_TRUE(fd);
        auto client = TlsSession::Client(v.name);
        Wire w{client.get(), fd.get()};
        std::size_t written = 0;
        ASSERT_TRUE(Drive(
            {&w}, [&] { return client->Failed(); },
            [&] { written += client->WritePlaintext("secret\n", 7); }));
        EXPECT_EQ(client->Error().number, v.number) << client->Error().description;
        EXPECT_EQ(written, 0u);
        Drive({&w}, [&] { return server.Exited(); });
        EXPECT_EQ(server.Output(), "");
    }
}
#endif

#ifdef _WIN32
// --- Under Wine, against the openssl command's servers outside it
// (tests/support/with-tls-servers): the good chain on 127.0.0.1 and ::1, reversing each line; the
// others print what they receive.

using testsupport::Reversed;
using testsupport::TextLines;
using testsupport::TlsServerLog;
using testsupport::TlsServerPort;

// A non-blocking connection to 127.0.0.1 (or ::1) at `port`.
Fd ConnectTo(uint16_t port, bool v6 = false) {
    Fd fd(v6 ? raw::Socket6() : raw::Socket());
    if ((v6 ? raw::Connect6(fd.get(), port) : raw::Connect(fd.get(), port)) != 0) {
        return Fd();
    }
    raw::SetNonBlocking(fd.get());
    return fd;
}

TEST_F(TlsEngine, ClientExchangesWithServerOutsideWineByNameAndAddressCountingPlaintextExactly) {
    const uint16_t port = TlsServerPort("GOOD"), port6 = TlsServerPort("GOOD6");
    SKIP_WITHOUT_TLS_SERVER(port, "GOOD");
    // By address, what arrives is fed one byte at a time: the same plaintext, whatever the cuts.
    for (const auto& [name, v6, cut] : std::vector<std::tuple<std::string, bool, std::size_t>>{
             {"localhost", false, SIZE_MAX}, {"127.0.0.1", false, 1}, {"::1", true, 1}}) {
        SCOPED_TRACE(name);
        if (v6 && port6 == 0) {
            ADD_FAILURE() << "no server on ::1";
            continue;
        }
        Fd fd = ConnectTo(v6 ? port6 : port, v6);
        ASSERT_TRUE(fd);
        auto client = TlsSession::Client(name);
        EXPECT_GT(client->CiphertextPending(), 0u);  // the first flight, at once
        Wire w{client.get(), fd.get(), cut};
        ASSERT_TRUE(Drive({&w}, [&] { return client->HandshakeDone() || client->Failed(); }));
        ASSERT_FALSE(client->Failed()) << client->Error().description;

        // Several records each way: the server answers every line as it comes.
        const std::string request = TextLines(70, 1000, 3);
        const std::string expected = Reversed(request);
        std::size_t taken = 0;
        std::string got;
        ASSERT_TRUE(Drive(
            {&w},
            [&] {
                got += ReadAll(*client);
                return got.size() >= expected.size();
            },
            [&] {
                taken += client->WritePlaintext(request.data() + taken, request.size() - taken);
            }));
        EXPECT_EQ(taken, request.size());
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);

        // "CLOSE" ends the server's side with its close notice; ours answers it.
        ASSERT_EQ(client->WritePlaintext("CLOSE\n", 6), 6u);
        ASSERT_TRUE(Drive({&w}, [&] { return client->PeerClosed() || client->Failed(); }));
        EXPECT_FALSE(client->Failed()) << client->Error().description;
        EXPECT_FALSE(client->PeerGone());
        EXPECT_EQ(ReadAll(*client), "");
        client->Shutdown();
        EXPECT_TRUE(
            Drive({&w}, [&] { return w.unsent.empty() && client->CiphertextPending() == 0; }));
    }
}

// Every form of a name or address the certificates hold verifies.
TEST_F(TlsEngine, EveryNameFormVerifiesAgainstServerOutsideWine) {
    const uint16_t port = TlsServerPort("GOOD"), port6 = TlsServerPort("GOOD6"),
                   wild = TlsServerPort("WILD");
    SKIP_WITHOUT_TLS_SERVER(port, "GOOD");
    SKIP_WITHOUT_TLS_SERVER(wild, "WILD");
    for (const auto& [name, v6] :
         std::vector<std::pair<std::string, bool>>{{"localhost", false},
                                                   {"LocalHost", false},
                                                   {"127.0.0.1", false},
                                                   {"::1", true},
                                                   {"[::1]", true},
                                                   {"0:0:0:0:0:0:0:1", true},
                                                   {"a.wild.invalid", false}}) {
        SCOPED_TRACE(name);
        if (v6 && port6 == 0) {
            ADD_FAILURE() << "no server on ::1";
            continue;
        }
        Fd fd = ConnectTo(name.find("wild") != std::string::npos ? wild : v6 ? port6 : port, v6);
        ASSERT_TRUE(fd);
        auto client = TlsSession::Client(name);
        Wire w{client.get(), fd.get()};
        ASSERT_TRUE(Drive({&w}, [&] { return client->HandshakeDone() || client->Failed(); }));
        EXPECT_FALSE(client->Failed()) << client->Error().description;
        client->Shutdown();
        Drive({&w}, [&] { return w.unsent.empty() && client->CiphertextPending() == 0; });
    }
}

TEST_F(TlsEngine, VerificationFailsAgainstServerOutsideWineBeforeAnyApplicationByte) {
    struct Case {
        const char* what;
        const char* server;
        const char* name;
        int32_t number;
    };
    for (const auto& v : std::vector<Case>{
             {"rogue authority", "ROGUE", "localhost", ms::TlsUntrusted},
             {"expired", "EXPIRED", "127.0.0.1", ms::TlsExpired},
             {"certificate for another name", "WRONG", "localhost", ms::TlsNameMismatch},
             {"another host name", "GOOD", "elsewhere.invalid", ms::TlsNameMismatch},
             {"another address", "GOOD", "127.0.0.2", ms::TlsNameMismatch},
             {"wildcard over two labels", "WILD", "a.b.wild.invalid", ms::TlsNameMismatch},
             {"partial wildcard", "WILD", "foo.part.invalid", ms::TlsNameMismatch}}) {
        SCOPED_TRACE(v.what);
        const uint16_t port = TlsServerPort(v.server);
        if (port == 0) {
            ADD_FAILURE() << "no " << v.server << " server";
            continue;
        }
        Fd fd = ConnectTo(port);
        ASSERT_TRUE(fd);
        auto client = TlsSession::Client(v.name);
        Wire w{client.get(), fd.get()};
        std::size_t written = 0;
        const std::string secret = "must never leave\n";
        ASSERT_TRUE(Drive(
            {&w}, [&] { return client->Failed(); },
            [&] { written += client->WritePlaintext(secret.data(), secret.size()); }));
        EXPECT_EQ(client->Error().number, v.number) << client->Error().description;
        EXPECT_NE(client->Error().description.find(ms::SocketErrorText(v.number)),
                  std::string::npos)
            << client->Error().description;
        EXPECT_FALSE(client->HandshakeDone());
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(client->WritePlaintext(secret.data(), secret.size()), 0u);
        // The server learns of the refusal and ends the connection, having printed nothing.
        EXPECT_TRUE(Drive({&w}, [&] { return w.ended; }));
        EXPECT_EQ(TlsServerLog(v.server).find("must never"), std::string::npos);
    }
}
#endif

TEST_F(TlsEngine, GarbageInsteadOfRecordsIsAProtocolError) {
    // A plain HTTP server answering a client, and a plain HTTP client talking to a server.
    {
        Pair p = Connected();
        auto client = TlsSession::Client("localhost");
        Wire c{client.get(), p.client.get()};
        ASSERT_EQ(raw::Send(p.server.get(), std::string("HTTP/1.1 400 Bad Request\r\n\r\n")), 28);
        ASSERT_TRUE(Drive({&c}, [&] { return client->Failed(); }));
        EXPECT_EQ(client->Error().number, ms::TlsProtocolError) << client->Error().description;
    }
    SKIP_WITHOUT_SERVER_SESSIONS();
    auto credentials = Credentials(pki->server, pki->serverKey);
    {
        Pair p = Connected();
        auto server = TlsSession::Server(credentials);
        Wire s{server.get(), p.server.get()};
        ASSERT_EQ(raw::Send(p.client.get(), std::string("GET / HTTP/1.1\r\nHost: x\r\n\r\n")), 27);
        ASSERT_TRUE(Drive({&s}, [&] { return server->Failed(); }));
        EXPECT_EQ(server->Error().number, ms::TlsProtocolError) << server->Error().description;
        EXPECT_FALSE(server->Feed("\x16", 1));
    }
    // After the handshake: a record changed in flight fails authentication.
    {
        Pair p = Connected();
        auto client = TlsSession::Client("localhost");
        auto server = TlsSession::Server(credentials);
        Wire c{client.get(), p.client.get()}, s{server.get(), p.server.get()};
        ASSERT_TRUE(
            Drive({&c, &s}, [&] { return client->HandshakeDone() && server->HandshakeDone(); }));
        ASSERT_TRUE(Drive({&c, &s}, [&] { return c.unsent.empty() && s.unsent.empty(); }));
        ASSERT_EQ(client->WritePlaintext("hello", 5), 5u);
        std::string record(client->CiphertextPending(), '\0');
        record.resize(client->TakeCiphertext(record.data(), record.size()));
        record.back() = static_cast<char>(record.back() ^ 1);
        EXPECT_FALSE(server->Feed(record.data(), record.size()));
        EXPECT_EQ(server->Error().number, ms::TlsProtocolError) << server->Error().description;
        EXPECT_EQ(server->PlaintextAvailable(), 0u);
    }
}

// --- Cuts: however the network splits the bytes, the plaintext is the same.

TEST_F(TlsEngine, BytesFedOneAtATimeGiveTheSamePlaintextBothWays) {
    SKIP_WITHOUT_SERVER_SESSIONS();
    Pair p = Connected();
    auto client = TlsSession::Client("localhost");
    auto server = TlsSession::Server(Credentials(pki->server, pki->serverKey));
    Wire c{client.get(), p.client.get(), 1}, s{server.get(), p.server.get(), 1};
    ASSERT_TRUE(
        Drive({&c, &s}, [&] { return client->HandshakeDone() && server->HandshakeDone(); }));
    const std::string up = Payload(40000, 6), down = Payload(30000, 7);
    ASSERT_TRUE(WriteAll(c, s, up));
    ASSERT_TRUE(WriteAll(s, c, down));
    client->Shutdown();
    std::string gotUp, gotDown;
    ASSERT_TRUE(Drive({&c, &s}, [&] {
        gotUp += ReadAll(*server);
        gotDown += ReadAll(*client);
        return server->PeerClosed() && gotDown.size() >= down.size();
    }));
    EXPECT_EQ(gotUp, up);
    EXPECT_EQ(gotDown, down);
}

// A flight of several records (sizes 1, a full record, a partial one) and close_notify, cut in
// two at every offset, each time into a fresh session that completed its handshake in memory.
TEST_F(TlsEngine, RecordsCutAtEveryBoundaryGiveTheSamePlaintext) {
    SKIP_WITHOUT_SERVER_SESSIONS();
    auto credentials = Credentials(pki->server, pki->serverKey);
    auto exchange = [](TlsSession& a, TlsSession& b) {
        for (int round = 0; round < 20; ++round) {
            std::string bytes(a.CiphertextPending(), '\0');
            bytes.resize(a.TakeCiphertext(bytes.data(), bytes.size()));
            b.Feed(bytes.data(), bytes.size());
            bytes.assign(b.CiphertextPending(), '\0');
            bytes.resize(b.TakeCiphertext(bytes.data(), bytes.size()));
            a.Feed(bytes.data(), bytes.size());
        }
    };
    const std::string message = "x" + Payload(16384, 8) + Payload(1000, 9);
    std::size_t flightSize = 0;
    for (std::size_t cut = 0;; ++cut) {
        auto client = TlsSession::Client("localhost");
        auto server = TlsSession::Server(credentials);
        exchange(*client, *server);
        ASSERT_TRUE(client->HandshakeDone() && server->HandshakeDone());
        ASSERT_EQ(server->WritePlaintext(message.data(), 1), 1u);
        ASSERT_EQ(server->WritePlaintext(message.data() + 1, message.size() - 1),
                  message.size() - 1);
        server->Shutdown();
        std::string flight(server->CiphertextPending(), '\0');
        flight.resize(server->TakeCiphertext(flight.data(), flight.size()));
        flightSize = flight.size();
        if (cut > flightSize) {
            break;
        }
        ASSERT_TRUE(client->Feed(flight.data(), cut)) << cut;
        EXPECT_EQ(client->PeerClosed(), cut == flightSize) << cut;
        ASSERT_TRUE(client->Feed(flight.data() + cut, flight.size() - cut)) << cut;
        ASSERT_EQ(ReadAll(*client), message) << "cut at " << cut;
        ASSERT_TRUE(client->PeerClosed()) << cut;
        // Stepping by more than one byte inside the bulk of a record keeps the run short; every
        // offset near a record's edges is still cut.
        if (cut > 64 && cut + 64 < flightSize && (cut % 16384) > 64 && (cut % 16384) < 16300) {
            cut += 97;
        }
    }
    EXPECT_GT(flightSize, message.size());
}

// --- Closing: close_notify behind pending data, and the peer that just goes.

TEST_F(TlsEngine, CloseNotifyFollowsEverythingWritten) {
    SKIP_WITHOUT_SERVER_SESSIONS();
    auto credentials = Credentials(pki->server, pki->serverKey);
    {
        Pair p = Connected();
        auto client = TlsSession::Client("localhost");
        auto server = TlsSession::Server(credentials);
        Wire c{client.get(), p.client.get()}, s{server.get(), p.server.get()};
        ASSERT_TRUE(
            Drive({&c, &s}, [&] { return client->HandshakeDone() && server->HandshakeDone(); }));
        // More than the engine holds at once: the owner's buffer keeps the rest, as the socket's
        // will; Shutdown comes straight after the last piece is taken, with much still unsent.
        const std::string data = Payload(300000, 10);
        std::size_t taken = client->WritePlaintext(data.data(), data.size());
        EXPECT_GT(taken, 0u);
        EXPECT_LT(taken, data.size());
        EXPECT_LE(client->CiphertextPending(), TlsSession::kCiphertextBound + 1024);
        std::string got;
        ASSERT_TRUE(Drive(
            {&c, &s}, [&] { return taken == data.size(); },
            [&] {
                taken += client->WritePlaintext(data.data() + taken, data.size() - taken);
                got += ReadAll(*server);
            }));
        client->Shutdown();
        EXPECT_TRUE(client->ShutdownQueued());
        EXPECT_EQ(client->WritePlaintext("late", 4), 0u);
        ASSERT_TRUE(Drive({&c, &s}, [&] {
            got += ReadAll(*server);
            return server->PeerClosed();
        }));
        got += ReadAll(*server);
        EXPECT_EQ(got.size(), data.size());
        EXPECT_EQ(got, data);
        // The server answers with its own close_notify; the client sees a clean end.
        server->Shutdown();
        ASSERT_TRUE(Drive({&c, &s}, [&] { return client->PeerClosed(); }));
        EXPECT_FALSE(client->PeerGone() || server->PeerGone());
        EXPECT_FALSE(client->Failed() || server->Failed());
    }
    // Shutdown during the handshake goes out once the handshake completes.
    {
        Pair p = Connected();
        auto client = TlsSession::Client("localhost");
        auto server = TlsSession::Server(credentials);
        client->Shutdown();
        Wire c{client.get(), p.client.get()}, s{server.get(), p.server.get()};
        ASSERT_TRUE(Drive({&c, &s}, [&] { return server->PeerClosed(); }));
        EXPECT_TRUE(client->HandshakeDone());
        EXPECT_FALSE(server->Failed()) << server->Error().description;
        EXPECT_EQ(server->PlaintextAvailable(), 0u);
    }
}

TEST_F(TlsEngine, PeerClosingWithoutCloseNotifyIsGoneNotFailed) {
    // During the handshake: the handshake failed.
    {
        Pair p = Connected();
        auto client = TlsSession::Client("localhost");
        Wire c{client.get(), p.client.get()};
        p.server.reset();
        ASSERT_TRUE(Drive({&c}, [&] { return c.ended; }));
        EXPECT_EQ(client->Error().number, ms::TlsHandshakeFailed);
        EXPECT_FALSE(client->PeerGone());
    }
    SKIP_WITHOUT_SERVER_SESSIONS();
    auto credentials = Credentials(pki->server, pki->serverKey);
    // After the handshake and some data: gone, with all the data kept.
    {
        Pair p = Connected();
        auto client = TlsSession::Client("localhost");
        auto server = TlsSession::Server(credentials);
        Wire c{client.get(), p.client.get()}, s{server.get(), p.server.get()};
        ASSERT_TRUE(
            Drive({&c, &s}, [&] { return client->HandshakeDone() && server->HandshakeDone(); }));
        ASSERT_EQ(server->WritePlaintext("HTTP/1.0 200 OK\r\n\r\nbody", 23), 23u);
        ASSERT_TRUE(
            Drive({&s}, [&] { return s.unsent.empty() && server->CiphertextPending() == 0; }));
        p.server.reset();
        ASSERT_TRUE(Drive({&c}, [&] { return c.ended; }));
        EXPECT_TRUE(client->PeerGone());
        EXPECT_FALSE(client->PeerClosed());
        EXPECT_FALSE(client->Failed()) << client->Error().description;
        EXPECT_EQ(ReadAll(*client), "HTTP/1.0 200 OK\r\n\r\nbody");
    }
}

// --- Credentials: what cannot be loaded says which file and why.

TEST_F(TlsEngine, ServerCredentialsThatCannotBeLoadedSayWhy) {
    const std::string missing = pki->dir.str() + "/missing.pem";
    const std::string notPem = pki->dir.Write("not.pem", "not a certificate\n").string();
    struct Case {
        std::string chain, key, mentions;
    };
    for (const auto& c : std::vector<Case>{{missing, pki->serverKey, missing},
                                           {pki->server, missing, missing},
                                           {notPem, pki->serverKey, notPem},
                                           {pki->server, notPem, notPem},
                                           {pki->server, pki->otherKey, pki->otherKey},
                                           {pki->serverKey, pki->serverKey, pki->serverKey}}) {
        SCOPED_TRACE(c.chain + " + " + c.key);
        TlsError error;
        EXPECT_FALSE(LoadServerCredentials(c.chain, c.key, error));
        EXPECT_EQ(error.number, ms::TlsCredentials);
        EXPECT_NE(error.description.find(c.mentions), std::string::npos) << error.description;
    }
    TlsError error{1, "stale"};
    EXPECT_TRUE(LoadServerCredentials(pki->server, pki->serverKey, error));
    EXPECT_EQ(error.number, 0);
}

}  // namespace
}  // namespace packwarden::tls
