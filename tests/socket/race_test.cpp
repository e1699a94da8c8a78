// SPDX-License-Identifier: MIT
// Connecting by name to both families: the addresses race, the owner sees one outcome.
//
// Runs under tests/support/with-test-hosts, whose private /etc/hosts gives both.test ::1 and
// 127.0.0.1, v6only.test ::1, v4only.test 127.0.0.1, and multi.test 127.0.0.3, 127.0.0.2
// and ::1, in that order. A path that silently drops connection
// requests is made with a listener whose accept queue is full: the system then ignores further
// requests, as a black-holed route does. Every wait is bounded.
#include <cstdlib>
#include <optional>

#include "SocketTestSupport.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::testing {
namespace {

using Clock = std::chrono::steady_clock;

#define SKIP_WITHOUT_TEST_HOSTS()                                                             \
    if (std::getenv("PACKWARDEN_TEST_HOSTS") == nullptr)                                      \
    GTEST_SKIP() << "needs the private namespaces of tests/support/with-test-hosts (unshare " \
                    "-nm refused here), so the test names cannot be given addresses"

// ::1 and 127.0.0.1 on the same port, each on the path asked for.
struct Ends {
    std::optional<End> v6, v4;
    uint16_t port = 0;
    Ends(Path six, Path four) {
        for (int tries = 0; tries < 20 && !(v6 && v4 && v6->ok() && v4->ok()); ++tries) {
            v6.emplace(true, 0, six);
            v4.emplace(false, v6->port(), four);
        }
        port = v6->port();
    }
    bool ok() const { return v6->ok() && v4->ok(); }
};

// How long the connect took, in milliseconds, until `done` held.
long long MillisecondsUntil(Clock::time_point start, const std::function<bool()>& done) {
    if (!RunUntil(done)) {
        return -1;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Race : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_TEST_HOSTS();
        MSocketSupport::InitWinsockService();  // the channel's own descriptors live for the process
    }
    void TearDown() override {
        Settle();
        EXPECT_EQ(MSocketSupport::DeadlineCount(), 0u);
    }
};

// The heart of the race: one family's path drops every request, the other answers. The owner
// sees one OnConnect well within a second, over the family that answered, and nothing of the
// attempt that lost; the loser's handle is gone.
TEST_F(Race, OneFamilyBlackHoledTheOtherWinsWellUnderASecond) {
    struct Case {
        Path six, four;
        const char* connected;
        long long atLeast, atMost;  // ms
    };
    // IPv6 goes first: when it is black-holed, IPv4 starts after its head start (250 ms); when
    // IPv6 answers, IPv4 never has to start.
    for (const Case c : {Case{Path::BlackHoled, Path::Listening, "127.0.0.1", 200, 1000},
                         Case{Path::Listening, Path::BlackHoled, "::1", 0, 200}}) {
        SCOPED_TRACE(c.connected);
        Ends ends(c.six, c.four);
        ASSERT_TRUE(ends.ok()) << "could not make a full accept queue here";
        auto s = CSocket::Create();
        RecordingOwner owner(s);
        std::vector<int32_t> states;
        const auto start = Clock::now();
        s->Connect("both.test", ends.port);
        states.push_back(s->State());
        const long long took = MillisecondsUntil(start, [&] {
            if (states.back() != s->State()) {
                states.push_back(s->State());
            }
            return owner.Has("Connect") || owner.Has("Error");
        });
        ASSERT_GE(took, 0);
        EXPECT_GE(took, c.atLeast);
        EXPECT_LT(took, c.atMost);
        EXPECT_EQ(states,
                  (std::vector<int32_t>{StateResolvingHost, StateConnecting, StateConnected}));
        EXPECT_EQ(s->RemoteHost(), "both.test");
        EXPECT_EQ(s->RemoteHostIP(), c.connected);
        EXPECT_EQ(s->LocalIP(), c.connected);
        // The winner is the object's handle, and the only one left registered.
        EXPECT_EQ(MSocketSupport::SocketRegistryCount(), 1u);
        const End& winner = std::string(c.connected) == "::1" ? *ends.v6 : *ends.v4;
        Fd peer(raw::Accept(winner.fd()));
        ASSERT_TRUE(peer);
        s->SendData(std::string("won"));
        char buffer[8] = {};
        ASSERT_TRUE(raw::Readable(peer.get(), 5000));
        EXPECT_EQ(raw::Recv(peer.get(), buffer, sizeof buffer), 3);
        // The attempt that lost raised nothing, then or later.
        Settle(400ms);
        EXPECT_EQ(owner.events,
                  (std::vector<std::string>{"Connect@7", "SendProgress(3,0)@7", "SendComplete@7"}));
    }
}

// Three addresses, two of them black-holed: IPv6 first, then the IPv4 ones in the order the
// name lists them, each 250 ms after the one before; the third one, which answers, wins.
TEST_F(Race, AttemptsFollowTheFamiliesInTurnAndTheNamesOrder) {
    std::optional<End> six, first, second;
    for (int tries = 0; tries < 20; ++tries) {
        six.emplace(true, 0, Path::BlackHoled);
        first.emplace(false, six->port(), Path::BlackHoled, "127.0.0.3");
        second.emplace(false, six->port(), Path::Listening, "127.0.0.2");
        if (six->ok() && first->ok() && second->ok()) {
            break;
        }
    }
    ASSERT_TRUE(six->ok() && first->ok() && second->ok());
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    const auto start = Clock::now();
    s->Connect("multi.test", six->port());
    const long long took =
        MillisecondsUntil(start, [&] { return owner.Has("Connect") || owner.Has("Error"); });
    EXPECT_GE(took, 450);
    EXPECT_LT(took, 1200);
    EXPECT_EQ(owner.events, std::vector<std::string>{"Connect@7"});
    EXPECT_EQ(s->RemoteHostIP(), "127.0.0.2");
    EXPECT_EQ(MSocketSupport::SocketRegistryCount(), 1u);
}

// Every address refuses: one OnError with the last refusal's number, State 9, no handle left;
// each refusal starts the next attempt at once instead of after the head start.
TEST_F(Race, EveryAddressRefusedGivesExactlyOneError) {
    Ends ends(Path::Refusing, Path::Refusing);
    ASSERT_TRUE(ends.ok());
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    const auto start = Clock::now();
    s->Connect("both.test", ends.port);
    const long long took = MillisecondsUntil(start, [&] { return owner.Has("Error"); });
    ASSERT_GE(took, 0);
    EXPECT_LT(took, 200);
    Settle(400ms);
    EXPECT_EQ(owner.events, std::vector<std::string>{"Error(10061)@9"});
    EXPECT_EQ(owner.lastErrorSource, "");
    EXPECT_EQ(s->State(), StateError);
    EXPECT_EQ(s->SocketHandle(), -1);
    EXPECT_EQ(MSocketSupport::SocketRegistryCount(), 0u);
}

// A name with one address behaves as any single address: IPv6 alone, or IPv4 alone.
TEST_F(Race, NameOfOneFamilyConnectsOverIt) {
    for (const auto& [name, address] :
         {std::pair{"v6only.test", "::1"}, std::pair{"v4only.test", "127.0.0.1"}}) {
        SCOPED_TRACE(name);
        Ends ends(Path::Listening, Path::Listening);
        ASSERT_TRUE(ends.ok());
        auto s = CSocket::Create();
        RecordingOwner owner(s);
        s->Connect(name, ends.port);
        ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect") || owner.Has("Error"); }));
        EXPECT_EQ(owner.events, std::vector<std::string>{"Connect@7"});
        EXPECT_EQ(s->RemoteHostIP(), address);
        EXPECT_EQ(s->LocalIP(), address);
        const End& listener = std::string(address) == "::1" ? *ends.v6 : *ends.v4;
        Fd peer(raw::Accept(listener.fd()));
        EXPECT_TRUE(peer);
    }
}

// ConnectTimeout bounds the race as a whole: with every path black-holed, OnError 10060 at the
// deadline, State 9, every attempt closed (no descriptor left behind).
TEST_F(Race, ConnectTimeoutEndsARaceThatNobodyAnswers) {
    Ends ends(Path::BlackHoled, Path::BlackHoled);
    ASSERT_TRUE(ends.ok()) << "could not make a full accept queue here";
    const auto descriptors = OpenDescriptorCount();
    {
        auto s = CSocket::Create();
        RecordingOwner owner(s);
        s->ConnectTimeout(600);
        const auto start = Clock::now();
        s->Connect("both.test", ends.port);
        const long long took = MillisecondsUntil(start, [&] { return owner.Has("Error"); });
        EXPECT_GE(took, 550);
        EXPECT_LT(took, 1500);
        Settle(300ms);
        EXPECT_EQ(owner.events, std::vector<std::string>{"Error(10060)@9"});
        EXPECT_EQ(owner.lastErrorDescription, "Connection timed out.");
        EXPECT_EQ(s->SocketHandle(), -1);
        EXPECT_EQ(MSocketSupport::SocketRegistryCount(), 0u);
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

// Closing or releasing the object while both attempts are under way ends them all, raising
// nothing, leaving no handle, no deadline, no descriptor.
TEST_F(Race, CloseOrReleaseInTheMiddleOfTheRaceLeavesNothing) {
    for (const bool release : {false, true}) {
        SCOPED_TRACE(release ? "released" : "closed");
        Ends ends(Path::BlackHoled, Path::BlackHoled);
        ASSERT_TRUE(ends.ok()) << "could not make a full accept queue here";
        const auto descriptors = OpenDescriptorCount();
        auto s = CSocket::Create();
        RecordingOwner owner(s);
        s->ConnectTimeout(2000);
        s->Connect("both.test", ends.port);
        // Past the head start: both families are being tried.
        Settle(400ms);
        ASSERT_EQ(s->State(), StateConnecting);
        EXPECT_EQ(MSocketSupport::SocketRegistryCount(), 2u);
        if (release) {
            s.reset();
        } else {
            s->CloseSocket();
            EXPECT_EQ(s->State(), StateClosed);
            EXPECT_EQ(s->SocketHandle(), -1);
        }
        EXPECT_EQ(MSocketSupport::SocketRegistryCount(), 0u);
        EXPECT_EQ(MSocketSupport::DeadlineCount(), 0u);
        Settle(2000ms);  // past the connect's deadline too
        EXPECT_TRUE(owner.events.empty());
        s.reset();
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
    }
}

// Datagrams to a name with IPv6 addresses only go over IPv6; the answer sets RemoteHostIP to
// its sender.
TEST_F(Race, DatagramsToANameWithOnlyIPv6GoOverIPv6) {
    Fd peer(raw::Socket6(SOCK_DGRAM));
    ASSERT_EQ(raw::Bind6(peer.get(), 0), 0);
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->Protocol(ProtocolUdp);
    s->RemoteHost("v6only.test");
    s->RemotePort(LocalPortOf(peer.get()));
    s->SendData(std::string("ping"));
    ASSERT_TRUE(RunUntil([&] { return raw::Readable(peer.get(), 0); }));
    EXPECT_EQ(s->RemoteHostIP(), "::1");
    sockaddr_in6 from{};
    raw::SocketLength length = sizeof from;
    char buffer[16] = {};
    ASSERT_EQ(::recvfrom(peer.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                         &length),
              4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    ASSERT_EQ(::sendto(peer.get(), "pong", 4, 0, reinterpret_cast<const sockaddr*>(&from), length),
              4);
    ASSERT_TRUE(RunUntil([&] { return owner.Has("DataArrival"); }));
    EXPECT_EQ(s->RemoteHostIP(), "::1");
    EXPECT_EQ(s->RemotePort(), LocalPortOf(peer.get()));
    EXPECT_FALSE(owner.Has("Error"));
}

}  // namespace
}  // namespace packwarden::testing
