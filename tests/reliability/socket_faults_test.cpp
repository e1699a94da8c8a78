// SPDX-License-Identifier: MIT
// CSocket against failing peers and failing lookups on loopback: every failure ends in one
// clear outcome (OnClose or OnError with its number), the object is left without a handle, and
// nothing kills, hangs or corrupts the process.
#include <signal.h>

#include "Support.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::reliability {
namespace {

// SIGPIPE's default disposition (which ends the process) for the life of the object. Windows
// has no such signal: there the sends only have to fail cleanly.
class DefaultBrokenPipe {
#ifdef _WIN32
  public:
    bool Set() {
        return true;
    }
#else
  public:
    bool Set() {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        set_ = ::sigaction(SIGPIPE, &fallback, &previous_) == 0;
        return set_;
    }
    ~DefaultBrokenPipe() {
        if (set_) {
            ::sigaction(SIGPIPE, &previous_, nullptr);
        }
    }

  private:
    struct sigaction previous_ {};
    bool set_ = false;
#endif
};

// A terminal event ends the object's connection: nothing may follow it.
void ExpectEndsWith(const RecordingOwner& owner, const std::string& last) {
    EXPECT_EQ(owner.Last(), last);
    int terminal = 0;
    for (const auto& e : owner.events) {
        terminal += e.rfind("Close", 0) == 0 || e.rfind("Error", 0) == 0;
    }
    EXPECT_EQ(terminal, 1);
}

class SocketFaults : public ::testing::Test {
  protected:
    void TearDown() override {
        Settle(20ms);
        EXPECT_EQ(MSocketSupport::SocketRegistryCount(), 0u);
    }
};

TEST_F(SocketFaults, ServerResetMidRequestEndsInOneErrorWithoutAHandle) {
    RawPeer server;
    RecordingOwner owner(CSocket::Create(), RecordingOwner::Holds);
    owner.socket().Connect(Variant("127.0.0.1"), Variant(int32_t{server.port()}));
    Fd peer = server.AcceptPumping();
    ASSERT_TRUE(peer);
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect"); }));

    // Far more than the loopback buffers take at once; the server reads a little and resets.
    owner.socket().SendData(Variant(std::string(16 << 20, 'r')));
    ASSERT_GT(owner.socket().SendBufferSize(), 0u);
    char some[4096];
    ASSERT_GT(raw::Recv(peer.get(), some, sizeof some), 0);
    Reset(peer);

    ASSERT_TRUE(RunUntil([&] { return owner.Has("Error") || owner.Has("Close"); }));
    Settle();
    EXPECT_EQ(owner.socket().SocketHandle(), -1);
    EXPECT_FALSE(owner.Has("SendComplete"));  // what did not arrive is not reported as sent
    SKIP_UNDER_WINE_ABORTIVE_CLOSE();
    ExpectEndsWith(owner, "Error");
    ASSERT_EQ(owner.errors.size(), 1u);
    EXPECT_TRUE(owner.errors[0] == 10054 || owner.errors[0] == 10053) << owner.errors[0];
    EXPECT_EQ(owner.socket().State(), StateError);
}

TEST_F(SocketFaults, ServerClosingBeforeReadingNeverPassesForDelivery) {
    RawPeer server;
    RecordingOwner owner(CSocket::Create(), RecordingOwner::Holds);
    owner.socket().Connect(Variant("127.0.0.1"), Variant(int32_t{server.port()}));
    Fd peer = server.AcceptPumping();
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect"); }));
    peer.reset();  // closes without reading a byte

    // Keep sending while the close and then the reset come back.
    ASSERT_TRUE(RunUntil(
        [&] {
            if (owner.socket().SocketHandle() == -1) {
                return true;
            }
            try {
                owner.socket().SendData(Variant(std::string(64 << 10, 'c')));
            } catch (const MSocketSupport::SocketError& e) {
                EXPECT_TRUE(e.Number == 10054 || e.Number == 10058 || e.Number == 10053 ||
                            e.Number == WrongProtocolOrStateError)
                    << e.Number;
            }
            return owner.socket().SocketHandle() == -1;
        },
        5s));
    Settle();
    EXPECT_EQ(owner.socket().SocketHandle(), -1);
    EXPECT_TRUE(owner.socket().State() == StateClosed || owner.socket().State() == StateError);
    EXPECT_TRUE(owner.Last() == "Close" || owner.Last() == "Error") << owner.Last();
}

TEST_F(SocketFaults, BrokenPipeNeverRaisesASignal) {
    // With the default disposition a single SIGPIPE would end this test program.
    DefaultBrokenPipe disposition;
    ASSERT_TRUE(disposition.Set());

    RawPeer server;
    RecordingOwner owner(CSocket::Create(), RecordingOwner::Holds);
    owner.socket().Connect(Variant("127.0.0.1"), Variant(int32_t{server.port()}));
    Fd peer = server.AcceptPumping();
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect"); }));
    Reset(peer);
    // Every send after the reset meets a broken connection, as a direct call and inside
    // the dispatch of the close.
    owner.onEvent = [&](const std::string& e) {
        if (e == "Error" || e == "Close") {
            try {
                owner.socket().SendData(Variant("after the end"));
            } catch (const MSocketSupport::SocketError&) {
            }
        }
    };
    for (int i = 0; i < 50; ++i) {
        try {
            owner.socket().SendData(Variant(std::string(1000, 'p')));
        } catch (const MSocketSupport::SocketError&) {
        }
        Settle(2ms);
    }
    Settle();
    EXPECT_EQ(owner.socket().SocketHandle(), -1);
}

TEST_F(SocketFaults, LookupCompletingAfterItsObjectWasReleasedIsDropped) {
    SKIP_UNLESS_LOOKUPS_FAIL();
    for (int i = 0; i < 20; ++i) {
        auto owner = std::make_unique<RecordingOwner>(CSocket::Create(), RecordingOwner::Holds);
        const bool fails = i % 2 == 1;
        owner->socket().Connect(Variant(fails ? "gone.invalid" : "localhost"), Variant(int32_t{9}));
        ASSERT_EQ(MSocketSupport::LookupRegistryCount(), 1u);
        owner->Release();
        ASSERT_TRUE(RunUntil([] { return MSocketSupport::LookupRegistryCount() == 0; }));
        Settle(10ms);
        EXPECT_EQ(owner->afterRelease, 0);
        EXPECT_TRUE(owner->events.empty());
    }
    EXPECT_EQ(MSocketSupport::SocketWindow(), 0);
}

TEST_F(SocketFaults, ServerAcceptingOnlyAfterSixSecondsStillConnects) {
    RawPeer server(RawPeer::Start::Bound);
    server.Listen(0);
    // One connection waiting fills a backlog of 0: further handshakes are dropped and retried
    // by our side until the server takes it.
    Fd blocker(raw::Socket());
    ASSERT_EQ(raw::Connect(blocker.get(), server.port()), 0);

    RecordingOwner owner(CSocket::Create(), RecordingOwner::Holds);
    owner.socket().Connect(Variant("127.0.0.1"), Variant(int32_t{server.port()}));
    Settle(6s);
    EXPECT_TRUE(owner.events.empty());
    EXPECT_EQ(owner.socket().State(), StateConnecting);

    Fd first(raw::Accept(server.fd()));
    ASSERT_TRUE(first);
    Fd peer = server.AcceptPumping(10s);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect"); }, 5s));
    owner.socket().SendData(Variant("late but whole"));
    owner.socket().CloseSocket();
    EXPECT_EQ(ReadAll(peer.get(), 5s), "late but whole");
}

TEST_F(SocketFaults, ReleasedWhileTheCloseDrainsRaisesNothingMore) {
    // More than one receive takes, then the close: the rest arrives in the close's drain.
    // Released at each arrival in turn, the object raises nothing after.
    for (int releaseAt = 1; releaseAt <= 12; ++releaseAt) {
        RawPeer server;
        RecordingOwner owner(CSocket::Create(), RecordingOwner::Holds);
        owner.socket().Connect(Variant("127.0.0.1"), Variant(int32_t{server.port()}));
        Fd peer = server.AcceptPumping();
        ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect"); }));
        const std::string reply(4 << 20, 'd');
        std::size_t sent = 0;
        raw::SetNonBlocking(peer.get());
        while (sent < reply.size()) {
            const long n = raw::Send(peer.get(), reply.data() + sent, reply.size() - sent);
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        ASSERT_GT(sent, static_cast<std::size_t>(owner.socket().ReceiveChunkSize()));
        raw::ShutdownSend(peer.get());
        int arrivals = 0;
        owner.onEvent = [&](const std::string& e) {
            if (e == "DataArrival" && ++arrivals == releaseAt) {
                owner.Release();
            }
        };
        RunUntil([&] { return owner.released() || owner.Has("Close"); });
        Settle(20ms);
        EXPECT_EQ(owner.afterRelease, 0) << "released at arrival " << releaseAt;
        owner.Release();
        Settle(10ms);
        EXPECT_EQ(MSocketSupport::SocketRegistryCount(), 0u);
    }
}

TEST_F(SocketFaults, ConnectionsToAListenerWithNobodyToTakeThemAreClosedNotLeaked) {
    auto listener = CSocket::Create();  // no owner: nobody receives OnConnectionRequest
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    const uint16_t port = raw::LocalPortOf(listener->SocketHandle());
    const std::size_t before = OpenDescriptorCount();
    for (int i = 0; i < 20; ++i) {
        Fd client(raw::Socket());
        ASSERT_EQ(raw::Connect(client.get(), port), 0);
        raw::SetNonBlocking(client.get());
        // The listener takes the connection and, with no owner, closes it: the client sees EOF.
        char byte;
        ASSERT_TRUE(RunUntil([&] { return raw::Recv(client.get(), &byte, 1) == 0; }));
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(listener->State(), StateListening);
}

// Each event in turn, with the object released by its owner inside the handler: nothing may
// reach the owner afterwards, and the handle must be gone with the object.
struct ReleaseCase {
    const char* event;
};

class ReleasedInside : public SocketFaults, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(ReleasedInside, NoEventFollowsAndNothingStaysRegistered) {
    const std::string event = GetParam().event;
    RawPeer server;
    RawPeer refused(RawPeer::Start::Bound);

    RecordingOwner owner(CSocket::Create(), RecordingOwner::Holds);
    owner.onEvent = [&](const std::string& e) {
        if (e == event) {
            owner.Release();
        } else if (e == "Connect") {
            owner.socket().SendData(Variant(std::string(3 << 20, 'x')));
        }
    };
    Fd peer;
    if (event == "Error") {
        owner.socket().Connect(Variant("127.0.0.1"), Variant(int32_t{refused.port()}));
    } else if (event == "ConnectionRequest") {
        owner.socket().Bind(0, "127.0.0.1");
        owner.socket().Listen();
        Fd client(raw::Socket());
        ASSERT_EQ(raw::Connect(client.get(), raw::LocalPortOf(owner.socket().SocketHandle())), 0);
        ASSERT_TRUE(RunUntil([&] { return owner.released(); }));
        ASSERT_EQ(owner.requests.size(), 1u);
        raw::Close(owner.requests[0]);  // the request nobody took
    } else {
        owner.socket().Connect(Variant("127.0.0.1"), Variant(int32_t{server.port()}));
        peer = server.AcceptPumping();
        ASSERT_TRUE(peer);
        if (event == "DataArrival" || event == "Close") {
            ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect"); }));
            const std::string reply(1000, 'y');
            ASSERT_EQ(raw::Send(peer.get(), reply.data(), reply.size()), 1000);
            if (event == "Close") {
                raw::ShutdownSend(peer.get());
            }
        }
        // Read what comes, so the sending finishes.
        raw::SetNonBlocking(peer.get());
        RunUntil([&] {
            char buf[65536];
            while (raw::Recv(peer.get(), buf, sizeof buf) > 0) {
            }
            return owner.released();
        });
    }
    ASSERT_TRUE(RunUntil([&] { return owner.released(); })) << event;
    Settle();
    EXPECT_EQ(owner.afterRelease, 0) << event;
    EXPECT_EQ(owner.Last(), event);
    EXPECT_EQ(MSocketSupport::SocketRegistryCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(EachEvent, ReleasedInside,
                         ::testing::Values(ReleaseCase{"Connect"}, ReleaseCase{"SendProgress"},
                                           ReleaseCase{"SendComplete"}, ReleaseCase{"DataArrival"},
                                           ReleaseCase{"Close"}, ReleaseCase{"Error"},
                                           ReleaseCase{"ConnectionRequest"}),
                         [](const auto& info) { return std::string(info.param.event); });

}  // namespace
}  // namespace packwarden::reliability
