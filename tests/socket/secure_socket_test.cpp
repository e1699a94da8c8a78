// SPDX-License-Identifier: MIT
// Secure CSockets over loopback against real peers: the openssl command's server and client,
// curl, and CSocket against CSocket. The owner sees plaintext only; failures are one OnError
// with nothing sent; closes lose nothing and never hang. Certificates as for the engine's suite.
// Under Wine, whose Schannel is a client only, the clients meet the openssl command's servers
// outside Wine (tests/support/with-tls-servers).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <numeric>

#include "PeerProcess.h"
#include "TempDir.h"
#else
#include "TlsTestSupport.h"
#endif
#include "SocketTestSupport.h"

namespace packwarden::testing {
namespace {

constexpr auto kBound = std::chrono::seconds(10);  // any one exchange; none takes near this

// The sum of OnDataArrival's and OnSendProgress's counts, taking what arrives into `received`.
struct Counting {
    std::size_t arrived = 0, sent = 0, completes = 0;
    std::string received;
    void Attach(RecordingOwner& owner, const std::shared_ptr<CSocket>& s) {
        owner.onDataArrival = [this, w = std::weak_ptr<CSocket>(s)](int32_t n) {
            Variant v;
            w.lock()->GetData(v, vbString);
            arrived += static_cast<std::size_t>(n);
            received += v.AsString();
        };
        owner.onSendProgress = [this](int32_t n, int32_t) { sent += static_cast<std::size_t>(n); };
        owner.onSendComplete = [this] { ++completes; };
    }
};

#ifndef _WIN32
struct Pki {
    TempDir dir{"packwarden-secure-"};
    std::string folder = dir.str();
    bool made = std::system(("sh '" PACKWARDEN_TLS_PKI_SCRIPT "' '" + folder + "' >'" + folder +
                             "/make.log' 2>&1")
                                .c_str()) == 0;
    std::string File(const char* name) const { return folder + "/" + name; }
};
Pki* pki = nullptr;

// An openssl server on 127.0.0.1 presenting `cert`, printing what it receives; up once it
// accepts a plain connection (which it then serves as a failed client; -naccept counts it).
std::unique_ptr<PeerProcess> OpensslServer(uint16_t port, const std::string& cert) {
    auto p = std::make_unique<PeerProcess>(std::vector<std::string>{
        "openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert", cert,
        "-key", pki->File("server.key"), "-quiet", "-naccept", "2"});
    const auto until = std::chrono::steady_clock::now() + kBound;
    while (std::chrono::steady_clock::now() < until) {
        Fd probe(raw::Socket());
        if (raw::Connect(probe.get(), port) == 0) {
            break;
        }
        ::usleep(20000);
    }
    return p;
}

class SecureSocket : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static Pki made;
        pki = &made;
        // Only the test authority is trusted: an empty folder stands for the system's store.
        ::setenv("SSL_CERT_FILE", made.File("ca.pem").c_str(), 1);
        ::setenv("SSL_CERT_DIR", made.folder.c_str(), 1);
    }
    void SetUp() override { ASSERT_TRUE(pki->made) << "no certificates: see make.log"; }
};

// A secure listener on 127.0.0.1 with the good chain, accepting into `accepted`.
struct SecureListener {
    uint16_t port_ = FreePort();
    std::shared_ptr<CSocket> socket = CSocket::Create();
    RecordingOwner owner{socket};
    std::vector<std::shared_ptr<CSocket>> accepted;
    std::vector<std::unique_ptr<RecordingOwner>> owners;
    // Called before Accept (properties it reads) and after it (operations on the connection).
    std::function<void(const std::shared_ptr<CSocket>&, RecordingOwner&)> prepare, then;

    SecureListener() {
        socket->Secure(true);
        socket->SetCertificate(pki->File("chain.pem"), pki->File("server.key"));
        socket->Bind(port_, "127.0.0.1");  // LocalPort is not read back after a bind to 0
        socket->Listen();
        owner.onConnectionRequest = [this](int32_t id) {
            accepted.push_back(CSocket::Create());
            owners.push_back(std::make_unique<RecordingOwner>(accepted.back()));
            if (prepare) {
                prepare(accepted.back(), *owners.back());
            }
            accepted.back()->Accept(id);
            if (then) {
                then(accepted.back(), *owners.back());
            }
        };
    }
    uint16_t port() const { return port_; }
};

// --- Exchanges: plaintext both ways, exact counts, verified peers.

TEST_F(SecureSocket, ClientVerifiesOpensslServerThenExchangesPlaintextWithExactCounts) {
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        const uint16_t port = FreePort();
        auto server = OpensslServer(port, pki->File("chain.pem"));
        auto s = CSocket::Create();
        RecordingOwner owner(s);
        Counting counts;
        counts.Attach(owner, s);
        s->Secure(true);
        s->Connect(host, port);
        // Given before the handshake: waits for verification, then goes first.
        s->SendData(std::string("early;"));
        ASSERT_TRUE(RunUntil([&] { return s->State() == StateConnected; }, kBound));
        EXPECT_EQ(owner.events.front().rfind("Connect", 0), 0u) << owner.events.front();
        const std::string request = Pattern(100000);
        s->SendData(request);
        const std::string expected = "early;" + request;
        ASSERT_TRUE(RunUntil([&] { return server->Output().size() >= expected.size(); }, kBound));
        EXPECT_EQ(server->Output(), expected);
        EXPECT_EQ(counts.sent, expected.size());
        ASSERT_TRUE(RunUntil([&] { return !s->SendPending(); }, kBound));
        EXPECT_GE(counts.completes, 1u);

        const std::string reply = Pattern(70000, 3);
        server->Write(reply);
        ASSERT_TRUE(RunUntil([&] { return counts.received.size() >= reply.size(); }, kBound));
        EXPECT_EQ(counts.received, reply);
        EXPECT_EQ(counts.arrived, reply.size());

        // The receive bound holds plaintext: an owner that does not take stops the reading,
        // and taking lets the rest come, whole and in order.
        owner.onDataArrival = nullptr;
        s->ReceiveBufferLimit(4096);
        const std::string more = Pattern(60000, 7);
        server->Write(more);
        ASSERT_TRUE(RunUntil([&] { return s->ReceiveBufferSize() > 0; }, kBound));
        Settle();
        EXPECT_EQ(s->ReceiveBufferSize(), 4096u);
        std::string taken;
        ASSERT_TRUE(RunUntil(
            [&] {
                Variant v;
                s->GetData(v, vbString);
                taken += v.AsString();
                return taken.size() >= more.size();
            },
            kBound));
        EXPECT_EQ(taken, more);
        EXPECT_FALSE(owner.Has("Error"));
    }
}

TEST_F(SecureSocket, CSocketAgainstCSocketBothWaysAndCurlAgainstTheListener) {
    SecureListener listener;
    Counting serverCounts;
    listener.prepare = [&](const std::shared_ptr<CSocket>& s, RecordingOwner& o) {
        serverCounts.Attach(o, s);
    };
    auto client = CSocket::Create();
    RecordingOwner owner(client);
    Counting clientCounts;
    clientCounts.Attach(owner, client);
    client->Secure(true);
    client->Connect("127.0.0.1", listener.port());
    ASSERT_TRUE(RunUntil([&] { return client->State() == StateConnected; }, kBound));
    ASSERT_EQ(listener.accepted.size(), 1u);
    EXPECT_TRUE(listener.accepted[0]->Secure());
    const std::string up = Pattern(300000), down = Pattern(200000, 9);
    client->SendData(up);
    listener.accepted[0]->SendData(down);
    ASSERT_TRUE(RunUntil(
        [&] {
            return serverCounts.received.size() >= up.size() &&
                   clientCounts.received.size() >= down.size();
        },
        kBound));
    EXPECT_EQ(serverCounts.received, up);
    EXPECT_EQ(clientCounts.received, down);
    EXPECT_EQ(clientCounts.sent, up.size());
    EXPECT_EQ(serverCounts.sent, down.size());
    EXPECT_EQ(serverCounts.arrived, up.size());
    EXPECT_EQ(clientCounts.arrived, down.size());

    // Both close: each side's close notice reaches the other as OnClose.
    client->CloseSocket();
    ASSERT_TRUE(RunUntil([&] { return listener.owners[0]->Has("Close"); }, kBound));
    listener.accepted[0]->CloseSocket();
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Close"); }, kBound));
    EXPECT_EQ(client->State(), StateClosed);

    // curl, trusting the test authority, gets a whole reply from a server that closes after it.
    const std::string body = Pattern(50000, 5);
    listener.prepare = [&](const std::shared_ptr<CSocket>& s, RecordingOwner& o) {
        o.onDataArrival = [s = s.get(), &body, asked = std::string()](int32_t) mutable {
            Variant v;
            s->GetData(v, vbString);
            asked += v.AsString();
            if (asked.find("\r\n\r\n") != std::string::npos) {
                s->SendData("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\n\r\n" + body);
                s->CloseSocket();
            }
        };
    };
    PeerProcess curl({"curl", "--silent", "--max-time", "10", "--cacert", pki->File("ca.pem"),
                      "https://127.0.0.1:" + std::to_string(listener.port()) + "/list"});
    ASSERT_TRUE(RunUntil([&] { return curl.Exited(); }, kBound));
    EXPECT_EQ(curl.Output(), body);
}

// --- Failures: one OnError with the engine's number, State 9, nothing of the owner's sent.

TEST_F(SecureSocket, UntrustedMismatchedAndExpiredCertificatesFailWithTheirNumbers) {
    const struct {
        const char* cert;
        int number;
    } cases[] = {{"untrusted.pem", 31001}, {"wrong.pem", 31002}, {"expired.pem", 31003}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cert);
        const uint16_t port = FreePort();
        auto server = OpensslServer(port, pki->File(c.cert));
        auto s = CSocket::Create();
        RecordingOwner owner(s);
        s->Secure(true);
        s->Connect("localhost", port);
        s->SendData(std::string("secret"));  // must never leave
        ASSERT_TRUE(RunUntil([&] { return owner.Has("Error"); }, kBound));
        Settle();
        ASSERT_EQ(owner.errors.size(), 1u);
        EXPECT_EQ(owner.errors[0], c.number);
        EXPECT_NE(owner.lastErrorDescription.find("TLS"), std::string::npos)
            << owner.lastErrorDescription;
        EXPECT_EQ(s->State(), StateError);
        EXPECT_EQ(s->SocketHandle(), -1);
        EXPECT_FALSE(owner.Has("Connect"));
        server->Kill();
        EXPECT_EQ(server->Output().find("secret"), std::string::npos);
    }
}

TEST_F(SecureSocket, CredentialsThatCannotBeUsedAreRefusedWhereTheyAreGiven) {
    auto listener = CSocket::Create();
    listener->Secure(true);
    try {
        listener->SetCertificate(pki->File("chain.pem"), pki->File("missing.key"));
        ADD_FAILURE() << "a missing key was taken";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, MSocketSupport::TlsCredentials);
        EXPECT_EQ(e.Source, "CSocket.SetCertificate");
    }
    try {
        listener->Listen();
        ADD_FAILURE() << "a secure listener without a certificate listened";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, MSocketSupport::TlsCredentials);
    }
    EXPECT_EQ(listener->SocketHandle(), -1);
}

TEST_F(SecureSocket, StalledHandshakesEndAtTheirBoundOnBothSides) {
    // A server that accepts and never answers: ConnectTimeout bounds the handshake.
    RawPeer silent;
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->Secure(true);
    s->ConnectTimeout(400);
    const auto start = std::chrono::steady_clock::now();
    s->Connect("127.0.0.1", silent.port());
    Fd held = silent.Accept();
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Error"); }, kBound));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(owner.errors, std::vector<int>{MSocketSupport::WsaETimedOut});
    EXPECT_EQ(s->State(), StateError);
    EXPECT_FALSE(owner.Has("Connect"));

    // A server that hangs up in the middle of the handshake: an error, never OnClose.
    {
        RawPeer rude;
        auto c = CSocket::Create();
        RecordingOwner o(c);
        c->Secure(true);
        c->Connect("127.0.0.1", rude.port());
        rude.Accept().reset();
        ASSERT_TRUE(RunUntil([&] { return o.Has("Error") || o.Has("Close"); }, kBound));
        EXPECT_EQ(o.errors, std::vector<int>{MSocketSupport::TlsHandshakeFailed});
        EXPECT_FALSE(o.Has("Close"));
        EXPECT_FALSE(o.Has("Connect"));
    }

    // A client that connects and says nothing costs the accepted object alone its connection.
    SecureListener listener;
    listener.prepare = [](const std::shared_ptr<CSocket>& a, RecordingOwner&) {
        a->ConnectTimeout(400);
    };
    Fd mute(raw::Socket());
    ASSERT_EQ(raw::Connect(mute.get(), listener.port()), 0);
    ASSERT_TRUE(RunUntil(
        [&] { return !listener.owners.empty() && listener.owners[0]->Has("Error"); }, kBound));
    EXPECT_EQ(listener.owners[0]->errors, std::vector<int>{MSocketSupport::WsaETimedOut});
    EXPECT_EQ(listener.socket->State(), StateListening);
}

TEST_F(SecureSocket, AClientFailingItsHandshakeCostsOnlyItsOwnAcceptedObject) {
    SecureListener listener;
    // Plain text instead of a handshake.
    Fd plain(raw::Socket());
    ASSERT_EQ(raw::Connect(plain.get(), listener.port()), 0);
    SendAll(plain.get(), "GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(RunUntil(
        [&] { return !listener.owners.empty() && listener.owners[0]->Has("Error"); }, kBound));
    EXPECT_EQ(listener.owners[0]->errors, std::vector<int>{MSocketSupport::TlsProtocolError});
    EXPECT_EQ(listener.accepted[0]->State(), StateError);
    // A client that does not trust the listener's authority.
    PeerProcess refusing({"openssl", "s_client", "-connect",
                          "127.0.0.1:" + std::to_string(listener.port()), "-CAfile",
                          pki->File("rogue.pem"), "-verify_return_error", "-quiet"});
    ASSERT_TRUE(RunUntil([&] { return listener.owners.size() == 2 && refusing.Exited(); }, kBound));
    ASSERT_TRUE(RunUntil([&] { return listener.owners[1]->Has("Error"); }, kBound));
    EXPECT_FALSE(listener.owner.Has("Error"));
    EXPECT_EQ(listener.socket->State(), StateListening);

    // The listener goes on: a verified client is served.
    auto client = CSocket::Create();
    RecordingOwner owner(client);
    client->Secure(true);
    client->Connect("localhost", listener.port());
    ASSERT_TRUE(RunUntil([&] { return client->State() == StateConnected; }, kBound));
    EXPECT_EQ(listener.accepted.size(), 3u);
}

// --- Closing: nothing lost, nothing hangs.

TEST_F(SecureSocket, CloseNotifyFollowsPendingBytesWholeAndPeerCloseWithoutItIsOnClose) {
    // Our close: a megabyte still waiting goes out, then the close notice, and s_client, which
    // ends at the notice, has every byte.
    SecureListener listener;
    const std::string payload = Pattern(1 << 20);
    listener.then = [&](const std::shared_ptr<CSocket>& s, RecordingOwner&) {
        s->SendData(payload);  // before the handshake: it waits
        s->CloseSocket();
    };
    PeerProcess client({"openssl", "s_client", "-connect",
                        "127.0.0.1:" + std::to_string(listener.port()), "-CAfile",
                        pki->File("ca.pem"), "-verify_return_error", "-quiet"});
    ASSERT_TRUE(RunUntil(
        [&] { return client.Output().size() >= payload.size() && client.Exited(); }, kBound));
    EXPECT_TRUE(client.Output() == payload) << client.Output().size();
    ASSERT_TRUE(RunUntil([&] { return listener.owners[0]->Has("Close"); }, kBound));
    EXPECT_FALSE(listener.owners[0]->Has("Error"));

    // Released right after CloseSocket with a megabyte still waiting: the close hand-over
    // sends the encrypted rest and the close notice, and the server has every byte.
    {
        const uint16_t port = FreePort();
        auto server = OpensslServer(port, pki->File("chain.pem"));
        auto s = CSocket::Create();
        s->Secure(true);
        s->Connect("127.0.0.1", port);
        ASSERT_TRUE(RunUntil([&] { return s->State() == StateConnected; }, kBound));
        s->SendData(payload);
        s->CloseSocket();
        s.reset();
        ASSERT_TRUE(RunUntil(
            [&] { return server->Output().size() >= payload.size() && server->Exited(); }, kBound));
        EXPECT_TRUE(server->Output() == payload) << server->Output().size();
    }

    // The peer's close without a close notice (a killed server): what it sent, then OnClose.
    const uint16_t port = FreePort();
    auto server = OpensslServer(port, pki->File("chain.pem"));
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    Counting counts;
    counts.Attach(owner, s);
    s->Secure(true);
    s->Connect("127.0.0.1", port);
    ASSERT_TRUE(RunUntil([&] { return s->State() == StateConnected; }, kBound));
    server->Write("last words");
    ASSERT_TRUE(RunUntil([&] { return counts.received == "last words"; }, kBound));
    server->Kill();
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Close"); }, kBound));
    EXPECT_FALSE(owner.Has("Error"));
    EXPECT_EQ(s->State(), StateClosed);
}

#else  // _WIN32

using testsupport::Reversed;
using testsupport::TextLines;
using testsupport::TlsServerLog;
using testsupport::TlsServerPort;

class SecureSocket : public ::testing::Test {
  protected:
    static inline bool trusted = false;
    static void SetUpTestSuite() {
        trusted = testsupport::TrustAuthority(PACKWARDEN_TLS_PKI_DIR "/ca.pem");
    }
    void SetUp() override { ASSERT_TRUE(trusted) << "the test authority is not among the roots"; }
};

// The server verified first (OnConnect only then), a request and its plaintext reply counted
// exactly, and the server's close notice ending the connection as OnClose.
TEST_F(SecureSocket, ClientVerifiesServerOutsideWineThenExchangesAndClosesCleanly) {
    for (const auto& [host, server] : std::vector<std::pair<const char*, const char*>>{
             {"localhost", "GOOD"}, {"127.0.0.1", "GOOD"}, {"::1", "GOOD6"}}) {
        SCOPED_TRACE(host);
        const uint16_t port = TlsServerPort(server);
        if (port == 0) {
            ADD_FAILURE() << "no " << server << " server";
            continue;
        }
        auto s = CSocket::Create();
        RecordingOwner owner(s);
        Counting counts;
        counts.Attach(owner, s);
        s->Secure(true);
        s->Connect(host, port);
        // Given before the handshake: waits for verification, then goes first.
        s->SendData(std::string("early\n"));
        ASSERT_TRUE(
            RunUntil([&] { return s->State() == StateConnected || owner.Has("Error"); }, kBound));
        ASSERT_FALSE(owner.Has("Error")) << owner.lastErrorDescription;
        EXPECT_EQ(owner.events.front().rfind("Connect", 0), 0u) << owner.events.front();
        const std::string request = TextLines(100, 900, 5);
        s->SendData(request);
        const std::string expected = Reversed("early\n" + request);
        ASSERT_TRUE(RunUntil([&] { return counts.received.size() >= expected.size(); }, kBound));
        EXPECT_TRUE(counts.received == expected) << counts.received.size();
        EXPECT_EQ(counts.arrived, expected.size());
        EXPECT_EQ(counts.sent, expected.size());
        ASSERT_TRUE(RunUntil([&] { return !s->SendPending(); }, kBound));
        EXPECT_GE(counts.completes, 1u);

        s->SendData(std::string("CLOSE\n"));
        ASSERT_TRUE(RunUntil([&] { return owner.Has("Close") || owner.Has("Error"); }, kBound));
        EXPECT_FALSE(owner.Has("Error")) << owner.lastErrorDescription;
        EXPECT_EQ(owner.Last(), "Close");
        EXPECT_EQ(counts.received.size(), expected.size());
        s->CloseSocket();
        EXPECT_EQ(s->State(), StateClosed);
    }
}

TEST_F(SecureSocket, UntrustedMismatchedAndExpiredServersOutsideWineFailWithTheirNumbers) {
    const struct {
        const char* server;
        int number;
    } cases[] = {{"ROGUE", MSocketSupport::TlsUntrusted},
                 {"WRONG", MSocketSupport::TlsNameMismatch},
                 {"EXPIRED", MSocketSupport::TlsExpired}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server);
        const uint16_t port = TlsServerPort(c.server);
        if (port == 0) {
            ADD_FAILURE() << "no " << c.server << " server";
            continue;
        }
        auto s = CSocket::Create();
        RecordingOwner owner(s);
        s->Secure(true);
        s->Connect("localhost", port);
        s->SendData(std::string("secret\n"));  // must never leave
        ASSERT_TRUE(RunUntil([&] { return owner.Has("Error"); }, kBound));
        Settle();
        ASSERT_EQ(owner.errors.size(), 1u);
        EXPECT_EQ(owner.errors[0], c.number);
        EXPECT_NE(owner.lastErrorDescription.find("TLS"), std::string::npos)
            << owner.lastErrorDescription;
        EXPECT_EQ(s->State(), StateError);
        EXPECT_EQ(s->SocketHandle(), -1);
        EXPECT_FALSE(owner.Has("Connect"));
        EXPECT_EQ(TlsServerLog(c.server).find("secret"), std::string::npos);
    }
}

#endif

}  // namespace
}  // namespace packwarden::testing
