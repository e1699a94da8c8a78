// SPDX-License-Identifier: MIT
// Binding, listening and accepting.
#include <fcntl.h>

#include <cstdio>
#include <sstream>

#include "SocketTestSupport.h"

namespace packwarden::testing {
namespace {

uint16_t BoundPort(const CSocket& s) {
    return LocalPortOf(s.SocketHandle());
}

void ExpectBindError(CSocket& s, int32_t port, const std::string& ip) {
    try {
        s.Bind(port, ip);
        ADD_FAILURE() << "no error for " << ip;
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 10049);
        EXPECT_EQ(e.Description, "Cannot assign requested address.");
        EXPECT_EQ(e.Source, "CSocket.Bind");
    }
}

TEST(Listen, OnAFreeLocalPortAndASecondListenDoesNotBindAgain) {
    const int port = FreePort();
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->LocalPort(port);
    s->Listen();
    EXPECT_EQ(s->State(), StateListening);
    EXPECT_TRUE(s->IsBound());
    EXPECT_EQ(BoundPort(*s), port);
    s->Listen();  // already bound: no second bind, no error
    EXPECT_EQ(s->State(), StateListening);

    std::vector<int32_t> requests;
    owner.onConnectionRequest = [&](int32_t id) { requests.push_back(id); };
    Fd client = RawConnect(port);
    ASSERT_TRUE(RunUntil([&] { return !requests.empty(); }));
    EXPECT_EQ(owner.events, std::vector<std::string>{"ConnectionRequest@2"});
    EXPECT_GE(requests[0], 0);

    // Not accepted inside the handler: the connection stays open for a later Accept.
    auto later = CSocket::Create();
    later->Accept(requests[0]);
    EXPECT_EQ(later->State(), StateConnected);
    SendAll(client.get(), "kept");
    ASSERT_TRUE(RunUntil([&] { return later->ReceiveBufferSize() == 4; }));
}

TEST(Listen, BindUsesTheStoredPortOrTheOneGiven) {
    auto a = CSocket::Create();
    const int first = FreePort();
    a->LocalPort(first);
    a->Bind();
    EXPECT_EQ(BoundPort(*a), first);
    EXPECT_EQ(a->LocalPort(), first);

    auto b = CSocket::Create();
    b->LocalPort(FreePort());
    const int second = FreePort();
    b->Bind(second, "127.0.0.1");
    EXPECT_EQ(b->LocalPort(), second);
    EXPECT_EQ(b->LocalIP(), "127.0.0.1");
    EXPECT_EQ(BoundPort(*b), second);

    auto c = CSocket::Create();
    c->Bind(0, "127.0.0.1");  // the platform picks a port; LocalPort is not read back
    EXPECT_TRUE(c->IsBound());
    EXPECT_EQ(c->LocalPort(), 0);
}

TEST(Listen, BindRejectsTextThatIsNoAddressAndTheLimitedBroadcast) {
    auto s = CSocket::Create();
    ExpectBindError(*s, 0, "localhost");
    EXPECT_EQ(s->LocalIP(), "localhost");
    EXPECT_FALSE(s->IsBound());
    auto t = CSocket::Create();
    ExpectBindError(*t, 0, "255.255.255.255");
    EXPECT_FALSE(t->IsBound());

    // Listen binds implicitly and passes the error on under its own name.
    try {
        s->Listen();
        FAIL() << "no error";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 10049);
        EXPECT_EQ(e.Source, "CSocket.Listen");
    }
    EXPECT_EQ(s->State(), StateClosed);
}

TEST(Listen, PortInUseIsThePlatformsError) {
    RawPeer taken;
    auto s = CSocket::Create();
    try {
        s->Bind(taken.port(), "127.0.0.1");
        FAIL() << "no error";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 10048);
        EXPECT_EQ(e.Source, "CSocket.Bind");
    }
    EXPECT_FALSE(s->IsBound());
}

TEST(Listen, AgainOnAPortWhoseOldConnectionsWaitInTimeWait) {
    const int port = FreePort();
    {
        auto listener = CSocket::Create();
        RecordingOwner owner(listener);
        std::shared_ptr<CSocket> served;
        owner.onConnectionRequest = [&](int32_t id) {
            served = CSocket::Create();
            served->Accept(id);
            served->CloseSocket();  // the server closes first: its end waits in TIME_WAIT
        };
        listener->Bind(port, "127.0.0.1");
        listener->Listen();
        Fd client = RawConnect(port);
        ASSERT_TRUE(RunUntil([&] { return served && served->State() == StateClosing; }));
        EXPECT_TRUE(PeerClosed(client.get()));
        client.reset();
        ASSERT_TRUE(RunUntil([&] { return served->State() == StateClosed; }));
    }
    auto again = CSocket::Create();
    EXPECT_NO_THROW(again->Bind(port, "127.0.0.1"));
    EXPECT_NO_THROW(again->Listen());
    EXPECT_EQ(again->State(), StateListening);
}

TEST(Listen, OnADatagramObjectEndsInErrorState) {
    auto s = CSocket::Create();
    s->Protocol(ProtocolUdp);
    try {
        s->Listen();
        FAIL() << "no error";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Source, "CSocket.Listen");
        EXPECT_NE(e.Number, 0);
    }
    EXPECT_EQ(s->State(), StateError);
}

TEST(Accept, FillsTheRemoteFieldsFromThePeer) {
    auto listener = CSocket::Create();
    RecordingOwner owner(listener);
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    const int listenPort = BoundPort(*listener);
    std::shared_ptr<CSocket> served;
    owner.onConnectionRequest = [&](int32_t id) {
        served = CSocket::Create();
        served->Accept(id);
    };
    const int clientPort = FreePort();
    Fd client = RawConnect(listenPort, clientPort);
    ASSERT_TRUE(RunUntil([&] { return served != nullptr; }));
    EXPECT_EQ(served->State(), StateConnected);
    EXPECT_EQ(served->Protocol(), ProtocolTcp);
    EXPECT_EQ(served->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(served->RemoteHost(), "127.0.0.1");
    EXPECT_EQ(served->RemotePort(), clientPort);
    EXPECT_EQ(served->LocalPort(), listenPort);
    EXPECT_EQ(served->LocalIP(), "127.0.0.1");
    EXPECT_EQ(served->LocalHostName(), "127.0.0.1");
    EXPECT_GT(served->ReceiveChunkSize(), 0);
    EXPECT_EQ(listener->State(), StateListening);

    served->SendData("hi");
    EXPECT_EQ(RecvSome(client.get(), 2), "hi");
}

// Requests taken out of order, and a handle number used again after its connection closed:
// each object shows its own peer, never the one accepted last.
TEST(Accept, EachObjectShowsItsOwnPeerWhateverTheOrderOfTakingThem) {
    auto listener = CSocket::Create();
    RecordingOwner owner(listener);
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    const int listenPort = BoundPort(*listener);
    std::vector<int32_t> requests;
    owner.onConnectionRequest = [&](int32_t id) { requests.push_back(id); };
    const int firstPort = FreePort();
    Fd first = RawConnect(listenPort, firstPort);
    ASSERT_TRUE(RunUntil([&] { return requests.size() == 1; }));
    const int secondPort = FreePort();
    Fd second = RawConnect(listenPort, secondPort);
    ASSERT_TRUE(RunUntil([&] { return requests.size() == 2; }));

    auto a = CSocket::Create();
    a->Accept(requests[0]);  // not the one accepted last
    auto b = CSocket::Create();
    b->Accept(requests[1]);
    EXPECT_EQ(a->RemotePort(), firstPort);
    EXPECT_EQ(b->RemotePort(), secondPort);
    EXPECT_EQ(a->Protocol(), ProtocolTcp);
    EXPECT_EQ(b->RemoteHostIP(), "127.0.0.1");
    for (const auto* s : {a.get(), b.get()}) {
        EXPECT_EQ(s->LocalPort(), listenPort);
        EXPECT_EQ(s->LocalIP(), "127.0.0.1");
    }

    // The number comes round again for the next connection once the peer's close has ended
    // the second one.
    const int32_t reused = requests[1];
    second = Fd();
    ASSERT_TRUE(RunUntil([&] { return b->State() == StateClosed; }));
    const int thirdPort = FreePort();
    Fd third = RawConnect(listenPort, thirdPort);
    ASSERT_TRUE(RunUntil([&] { return requests.size() == 3; }));
    auto c = CSocket::Create();
    c->Accept(requests[2]);
    if (!raw::OnWindows) {
        EXPECT_EQ(requests[2], reused);  // the lowest free descriptor; Winsock picks its own
    }
    EXPECT_EQ(c->RemotePort(), thirdPort);
    EXPECT_EQ(c->LocalPort(), listenPort);
    EXPECT_EQ(a->RemotePort(), firstPort);  // asked again: the same
    c->SendData("third");
    EXPECT_EQ(RecvSome(third.get(), 5), "third");
}

// No LocalIP: one listener takes both families, and each peer shows in its own family's form
// (an IPv4 peer never as ::ffff:127.0.0.1).
TEST(Accept, ListenerWithoutAnAddressTakesBothFamilies) {
    auto listener = CSocket::Create();
    RecordingOwner owner(listener);
    listener->Listen();
    EXPECT_TRUE(listener->LocalIP().empty());
    const uint16_t port = BoundPort(*listener);
    std::vector<std::shared_ptr<CSocket>> served;
    owner.onConnectionRequest = [&](int32_t id) {
        served.push_back(CSocket::Create());
        served.back()->Accept(id);
    };
    Fd v4 = RawConnect(port);
    ASSERT_TRUE(RunUntil([&] { return served.size() == 1; }));
    Fd v6(raw::Socket6());
    ASSERT_EQ(raw::Connect6(v6.get(), port), 0);
    ASSERT_TRUE(RunUntil([&] { return served.size() == 2; }));
    EXPECT_EQ(served[0]->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(served[0]->LocalIP(), "127.0.0.1");
    EXPECT_EQ(served[0]->RemotePort(), LocalPortOf(v4.get()));
    EXPECT_EQ(served[1]->RemoteHostIP(), "::1");
    EXPECT_EQ(served[1]->LocalIP(), "::1");
    EXPECT_EQ(served[1]->RemotePort(), LocalPortOf(v6.get()));
    served[1]->SendData("six");
    EXPECT_EQ(RecvSome(v6.get(), 3), "six");
}

// With an address, that family alone: ::1 takes IPv6 peers, and IPv4 ones are refused.
TEST(Listen, BindToAnIPv6LiteralListensOnThatFamilyOnly) {
    auto listener = CSocket::Create();
    RecordingOwner owner(listener);
    listener->Bind(0, "::1");
    listener->Listen();
    EXPECT_EQ(listener->State(), StateListening);
    const uint16_t port = BoundPort(*listener);
    int requests = 0;
    owner.onConnectionRequest = [&](int32_t id) {
        ++requests;
        raw::Close(id);
    };
    Fd v6(raw::Socket6());
    ASSERT_EQ(raw::Connect6(v6.get(), port), 0);
    ASSERT_TRUE(RunUntil([&] { return requests == 1; }));
    Fd v4(raw::Socket());
    EXPECT_NE(raw::Connect(v4.get(), port), 0);
    // A bound IPv6 handle cannot take an IPv4 address afterwards.
    auto bound = CSocket::Create();
    bound->Bind(0, "::1");
    try {
        bound->Connect("127.0.0.1", port);
        ADD_FAILURE() << "an IPv4 connect on an IPv6 handle";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 10047);
    }
}

TEST(Accept, DestroysAHandleStillHeldAndRefusesNoHandle) {
    auto listener = CSocket::Create();
    RecordingOwner owner(listener);
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    int32_t request = -1;
    owner.onConnectionRequest = [&](int32_t id) { request = id; };
    Fd client = RawConnect(BoundPort(*listener));
    ASSERT_TRUE(RunUntil([&] { return request != -1; }));

    auto s = CSocket::Create();
    s->Protocol(ProtocolUdp);
    s->Bind(0, "127.0.0.1");
    const int old = s->SocketHandle();
    s->Accept(request);
    EXPECT_EQ(s->SocketHandle(), request);
    EXPECT_FALSE(raw::IsSocket(old));  // closed, not leaked
    EXPECT_EQ(s->Protocol(), ProtocolTcp);

    auto t = CSocket::Create();
    try {
        t->Accept(-1);
        FAIL() << "no error";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 10038);
        EXPECT_EQ(e.Source, "CSocket.Accept");
    }
    EXPECT_EQ(t->SocketHandle(), -1);
}

// Serves each connection with a fresh CSocket: echoes what arrives, then closes.
class EchoServer : public CSocketEvents {
  public:
    EchoServer() {
        listener_->SetOwner(this);
        listener_->Bind(0, "127.0.0.1");
        listener_->Listen();
    }
    int port() const { return LocalPortOf(listener_->SocketHandle()); }
    std::size_t served = 0;
    std::size_t closed = 0;

    void OnConnectionRequest(int32_t id) override {
        connections_.push_back(std::make_unique<Connection>(*this));
        connections_.back()->socket->Accept(id);
        ++served;
    }

  private:
    struct Connection : CSocketEvents {
        explicit Connection(EchoServer& s) : server(s) { socket->SetOwner(this); }
        EchoServer& server;
        std::shared_ptr<CSocket> socket = CSocket::Create();
        void OnDataArrival(int32_t) override {
            Variant v;
            socket->GetData(v);
            socket->SendData(v);
            socket->CloseSocket();
        }
        void OnClose() override { ++server.closed; }
    };
    std::shared_ptr<CSocket> listener_ = CSocket::Create();
    std::vector<std::unique_ptr<Connection>> connections_;
};

TEST(Accept, TwoHundredConnectionsInARowEachServedByAFreshObject) {
    EchoServer server;
    for (int i = 0; i < 200; ++i) {
        Fd client = RawConnect(server.port());
        const std::string message = "request " + std::to_string(i);
        SendAll(client.get(), message);
        std::string reply;
        ASSERT_TRUE(RunUntil([&] {
            reply += RecvSome(client.get(), message.size() - reply.size(), 0ms);
            return reply.size() == message.size();
        })) << i
            << " served " << server.served << " closed " << server.closed;
        EXPECT_EQ(reply, message);
        ASSERT_TRUE(PeerClosed(client.get(), 0ms) ||
                    RunUntil([&] { return PeerClosed(client.get(), 0ms); }));
    }
    EXPECT_EQ(server.served, 200u);
    ASSERT_TRUE(RunUntil([&] { return server.closed == 200; }));
}

TEST(Accept, NetcatClientIsServed) {
#ifdef _WIN32
    GTEST_SKIP() << "Linux only: the peer is the system's netcat, run through popen";
#else
    EchoServer server;
    std::ostringstream command;
    command << "printf 'netcat says hi' | timeout 5 nc -N 127.0.0.1 " << server.port();
    std::unique_ptr<FILE, int (*)(FILE*)> nc(::popen(command.str().c_str(), "r"), ::pclose);
    ASSERT_TRUE(nc);
    ASSERT_TRUE(RunUntil([&] { return server.closed == 1; }));
    // What netcat printed: the echo, then its end of output.
    std::string output;
    const auto until = std::chrono::steady_clock::now() + Deadline;
    char buf[256];
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{::fileno(nc.get()), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1)
            break;
        const ssize_t n = ::read(::fileno(nc.get()), buf, sizeof buf);
        if (n <= 0)
            break;
        output.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(output, "netcat says hi");
#endif
}

}  // namespace
}  // namespace packwarden::testing
