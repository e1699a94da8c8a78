// SPDX-License-Identifier: MIT
// Connecting: by address, by name, refused, unknown name, bad arguments.
#include "SocketTestSupport.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::testing {
namespace {

TEST(Connect, FreshObjectHasItsInitialValuesAndNoHandle) {
    auto s = CSocket::Create();
    EXPECT_EQ(s->State(), StateClosed);
    EXPECT_EQ(s->SocketHandle(), -1);
    EXPECT_EQ(s->Protocol(), ProtocolTcp);
    EXPECT_EQ(s->RemotePort(), 0);
    EXPECT_EQ(s->LocalPort(), 0);
    EXPECT_EQ(s->BytesReceived(), 0);
    EXPECT_TRUE(s->RemoteHost().empty());
    EXPECT_TRUE(s->RemoteHostIP().empty());
    EXPECT_TRUE(s->LocalIP().empty());
    EXPECT_TRUE(s->LocalHostName().empty());
}

TEST(Connect, ByAddressGoesStraightToConnectingThenConnected) {
    RawPeer server;
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->Connect("127.0.0.1", server.port());
    EXPECT_EQ(s->State(), StateConnecting);
    EXPECT_EQ(s->RemoteHost(), "127.0.0.1");
    EXPECT_EQ(s->RemoteHostIP(), "127.0.0.1");  // the address connected to, as for a name
    EXPECT_EQ(s->RemotePort(), server.port());
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect"); }));
    EXPECT_EQ(owner.events, std::vector<std::string>{"Connect@7"});
    EXPECT_EQ(s->LocalIP(), "127.0.0.1");
    EXPECT_EQ(s->LocalHostName(), "localhost");
    Fd peer = server.Accept();
    ASSERT_TRUE(peer);
    EXPECT_EQ(s->LocalPort(), [&] {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getpeername(peer.get(), reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }());
}

// An IPv6 literal, bare or bracketed, connects directly on a socket of that family; the
// owner's events are those of IPv4.
TEST(Connect, ByIPv6LiteralWithOrWithoutBracketsConnectsOverIPv6) {
    for (const char* literal : {"::1", "[::1]"}) {
        SCOPED_TRACE(literal);
        RawPeer server(RawPeer::Family::V6);
        auto s = CSocket::Create();
        RecordingOwner owner(s);
        s->Connect(literal, server.port());
        EXPECT_EQ(s->State(), StateConnecting);
        EXPECT_EQ(s->RemoteHost(), literal);
        EXPECT_EQ(s->RemoteHostIP(), "::1");
        ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect"); }));
        EXPECT_EQ(owner.events, std::vector<std::string>{"Connect@7"});
        EXPECT_EQ(s->RemoteHostIP(), "::1");
        EXPECT_EQ(s->LocalIP(), "::1");
        Fd peer = server.Accept();
        ASSERT_TRUE(peer);
        sockaddr_in6 a{};
        socklen_t len = sizeof a;
        ::getpeername(peer.get(), reinterpret_cast<sockaddr*>(&a), &len);
        EXPECT_EQ(s->LocalPort(), ntohs(a.sin6_port));
        // Bytes go both ways as over IPv4.
        s->SendData(std::string("six"));
        char buffer[8] = {};
        ASSERT_TRUE(raw::Readable(peer.get(), 5000));
        EXPECT_EQ(raw::Recv(peer.get(), buffer, sizeof buffer), 3);
        EXPECT_EQ(std::string(buffer, 3), "six");
    }
}

TEST(Connect, ByNameResolvesToTheOfficialNameThenConnects) {
    RawPeer server;
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    std::vector<int32_t> states;
    s->Connect("LocalHost", std::to_string(server.port()));  // port as numeric text
    states.push_back(s->State());
    EXPECT_NE(s->LookupHandle(), 0);
    ASSERT_TRUE(RunUntil([&] {
        if (states.back() != s->State())
            states.push_back(s->State());
        return owner.Has("Connect");
    }));
    EXPECT_EQ(states, (std::vector<int32_t>{StateResolvingHost, StateConnecting, StateConnected}));
    EXPECT_EQ(owner.events, std::vector<std::string>{"Connect@7"});
    EXPECT_EQ(s->RemoteHost(), "localhost");
    EXPECT_EQ(s->RemoteHostIP(), "127.0.0.1");
}

TEST(Connect, ByNameWhileConnectedReportsTheFailedConnectFromTheResolvedState) {
    RawPeer server;
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->Connect("127.0.0.1", server.port());
    ASSERT_TRUE(RunUntil([&] { return s->State() == StateConnected; }));
    const int32_t handle = s->SocketHandle();
    s->Connect("localhost");
    EXPECT_EQ(s->State(), StateResolvingHost);
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Error"); }));
    EXPECT_EQ(owner.events, (std::vector<std::string>{"Connect@7", "Error(10056)@5"}));
    EXPECT_EQ(owner.lastErrorSource, "CSocket.PostGetHostEvent");
    EXPECT_EQ(owner.lastErrorDescription, "Socket is already connected.");
    EXPECT_EQ(s->SocketHandle(), handle);  // the handle stays open
}

TEST(Connect, RefusedGivesOneErrorAndNoConnectAndTheObjectConnectsAgainAfter) {
    RawPeer refusing(RawPeer::Start::Bound);  // held, so nobody else takes the port meanwhile
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    int32_t handleInHandler = 0;
    owner.onError = [&](int16_t) { handleInHandler = s->SocketHandle(); };
    s->Connect("127.0.0.1", refusing.port());
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Error"); }));
    Settle();
    EXPECT_EQ(owner.events, std::vector<std::string>{"Error(10061)@9"});
    EXPECT_EQ(owner.lastErrorDescription, "Connection refused.");
    EXPECT_EQ(owner.lastErrorSource, "");
    EXPECT_EQ(handleInHandler, -1);
    EXPECT_EQ(s->State(), StateError);
    EXPECT_EQ(s->SocketHandle(), -1);

    RawPeer server;
    s->Connect("127.0.0.1", server.port());
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect"); }));
}

TEST(Connect, UnknownNameEndsInErrorStateWithHostNotFoundUntilAReconnectOrAClose) {
    SKIP_UNLESS_LOOKUPS_FAIL();
    for (const bool thenClose : {false, true}) {
        auto s = CSocket::Create();
        RecordingOwner owner(s);
        s->Connect("no-such-host.invalid", 80);
        EXPECT_EQ(s->State(), StateResolvingHost);
        ASSERT_TRUE(RunUntil([&] { return owner.Has("Error"); }));
        Settle();
        EXPECT_EQ(owner.events,
                  std::vector<std::string>{"Error(" + std::to_string(raw::HostNotFound) + ")@9"});
        EXPECT_EQ(owner.lastErrorDescription, MSocketSupport::SocketErrorText(raw::HostNotFound));
        EXPECT_EQ(owner.lastErrorSource, "");
        EXPECT_NE(s->SocketHandle(), -1);  // a failed lookup leaves the handle open
        EXPECT_EQ(MSocketSupport::LookupRegistryCount(), 0u);
        if (thenClose) {  // which a close then releases
            s->CloseSocket();
            EXPECT_EQ(s->SocketHandle(), -1);
            EXPECT_EQ(s->State(), StateClosed);
            continue;
        }
        // A later Connect starts over on the same handle.
        RawPeer server;
        s->Connect("127.0.0.1", server.port());
        ASSERT_TRUE(RunUntil([&] { return s->State() == StateConnected; }));
    }
}

TEST(Connect, WithoutAHostRaises10049AndKeepsTheHandle) {
    auto s = CSocket::Create();
    try {
        s->Connect();
        FAIL() << "no error";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 10049);
        EXPECT_EQ(e.Source, "CSocket.CSocket.Connect");
        EXPECT_EQ(e.Description, "Cannot assign requested address.");
    }
    EXPECT_NE(s->SocketHandle(), -1);
    EXPECT_EQ(s->State(), StateClosed);
}

TEST(Connect, PortArgumentRules) {
    RawPeer server;
    auto s = CSocket::Create();
    s->RemotePort(server.port());
    s->Connect("127.0.0.1", "http");  // not numeric: the port stays
    EXPECT_EQ(s->RemotePort(), server.port());
    ASSERT_TRUE(RunUntil([&] { return s->State() == StateConnected; }));

    auto t = CSocket::Create();
    try {
        t->Connect("127.0.0.1", 70000);
        FAIL() << "no error";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 6);
        EXPECT_EQ(e.Source, "CSocket.CSocket.Connect");
    }
    EXPECT_EQ(t->RemotePort(), 70000);
    try {
        t->Connect("127.0.0.1", 1e10);
        FAIL() << "no error";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 6);
    }

    // By name too, at the call: not after the lookup, silently.
    for (const int32_t port : {65536, -1}) {
        auto u = CSocket::Create();
        RecordingOwner owner(u);
        try {
            u->Connect("localhost", port);
            FAIL() << "no error for " << port;
        } catch (const SocketError& e) {
            EXPECT_EQ(e.Number, 6);
            EXPECT_EQ(e.Source, "CSocket.CSocket.Connect");
        }
        EXPECT_NE(u->State(), StateResolvingHost);
        EXPECT_EQ(u->LookupHandle(), 0);
        Settle();
        EXPECT_TRUE(owner.events.empty());
    }
}

TEST(Connect, RemoteHostWriteSetsTheAddressOnlyForDottedText) {
    auto s = CSocket::Create();
    s->RemoteHost("10.1.2.3");
    EXPECT_EQ(s->RemoteHostIP(), "10.1.2.3");
    EXPECT_EQ(s->SocketHandle(), -1);  // stream objects create no handle here
    s->RemoteHost("255.255.255.255");  // the all-ones address counts as a name
    EXPECT_EQ(s->RemoteHost(), "255.255.255.255");
    EXPECT_EQ(s->RemoteHostIP(), "10.1.2.3");
    s->RemoteHost("example.invalid");
    EXPECT_EQ(s->RemoteHostIP(), "10.1.2.3");

    auto u = CSocket::Create();
    u->Protocol(ProtocolUdp);
    u->RemoteHost("127.255.255.255");
    EXPECT_NE(u->SocketHandle(), -1);
    EXPECT_TRUE(u->BroadcastEnabled());
    u->RemoteHost("127.0.0.1");
    EXPECT_FALSE(u->BroadcastEnabled());
    u->Protocol(ProtocolTcp);  // ignored while a handle exists
    EXPECT_EQ(u->Protocol(), ProtocolUdp);
}

}  // namespace
}  // namespace packwarden::testing

namespace packwarden::testing {
namespace {

TEST(ConnectTimeout, IsZeroByDefaultAndRefusesNegativeValues) {
    auto s = CSocket::Create();
    EXPECT_EQ(s->ConnectTimeout(), 0);
    s->ConnectTimeout(1500);
    EXPECT_EQ(s->ConnectTimeout(), 1500);
    try {
        s->ConnectTimeout(-1);
        ADD_FAILURE() << "a negative time-out was taken";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 380);
        EXPECT_EQ(e.Source, "CSocket.ConnectTimeout");
        EXPECT_EQ(e.Description, "Invalid property value");
    }
    EXPECT_EQ(s->ConnectTimeout(), 1500);
    s->ConnectTimeout(0);
    EXPECT_EQ(s->ConnectTimeout(), 0);
}

// An address that never answers: at the deadline OnError 10060, State 9, the handle gone and no
// descriptor left; nothing after it. Without a deadline the same connect is still under way.
TEST(ConnectTimeout, EndsAConnectToAnAddressThatNeverAnswers) {
    MSocketSupport::InitWinsockService();  // the channel's own descriptors live for the process
    End blackHole(false, 0, Path::BlackHoled);
    ASSERT_TRUE(blackHole.ok()) << "could not make a full accept queue here";
    const auto descriptors = OpenDescriptorCount();
    {
        auto patient = CSocket::Create();
        patient->Connect("127.0.0.1", blackHole.port());
        auto s = CSocket::Create();
        RecordingOwner owner(s);
        s->ConnectTimeout(300);
        const auto start = std::chrono::steady_clock::now();
        s->Connect("127.0.0.1", blackHole.port());
        ASSERT_TRUE(RunUntil([&] { return owner.Has("Error"); }));
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 280ms);
        EXPECT_LT(took, 1500ms);
        Settle(300ms);
        EXPECT_EQ(owner.events, std::vector<std::string>{"Error(10060)@9"});
        EXPECT_EQ(owner.lastErrorSource, "");
        EXPECT_EQ(s->SocketHandle(), -1);
        EXPECT_EQ(patient->State(), StateConnecting);  // the system's own time-out is far off
        EXPECT_EQ(MSocketSupport::DeadlineCount(), 0u);
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

// A deadline belongs to its connect: one that succeeded, or was closed, hears nothing later,
// and a set time-out is read again by the next Connect.
TEST(ConnectTimeout, AConnectThatEndedHearsNothingOfItsDeadline) {
    RawPeer server;
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->ConnectTimeout(200);
    s->Connect("127.0.0.1", server.port());
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect"); }));
    EXPECT_EQ(MSocketSupport::DeadlineCount(), 0u);
    Settle(400ms);
    EXPECT_EQ(owner.events, std::vector<std::string>{"Connect@7"});

    End blackHole(false, 0, Path::BlackHoled);
    ASSERT_TRUE(blackHole.ok()) << "could not make a full accept queue here";
    auto t = CSocket::Create();
    RecordingOwner closed(t);
    t->ConnectTimeout(200);
    t->Connect("127.0.0.1", blackHole.port());
    t->CloseSocket();
    Settle(400ms);
    EXPECT_TRUE(closed.events.empty());
    t->Connect("127.0.0.1", blackHole.port());
    ASSERT_TRUE(RunUntil([&] { return closed.Has("Error"); }));
    EXPECT_EQ(closed.events, std::vector<std::string>{"Error(10060)@9"});
}

}  // namespace
}  // namespace packwarden::testing
