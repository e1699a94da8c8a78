// SPDX-License-Identifier: MIT
// Failures that cannot be made to happen for real (through the service's seam), and running
// out of descriptors while a connection waits.
#include <fcntl.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#endif

#include "SocketTestSupport.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"
#include "packwarden/detail/TestHooks.h"

namespace packwarden::testing {
namespace {

namespace Platform = MSocketSupport::Platform;

class PlatformFailure : public ::testing::Test {
  protected:
    void TearDown() override { Platform::ResetHooks(); }
};

TEST_F(PlatformFailure, ServiceThatCannotStartFailsTheConstruction) {
    MSocketSupport::CleanupWinsockService();
    ASSERT_FALSE(MSocketSupport::WinsockStarted());
    Platform::TestHooks().startup = [] {
        Platform::SetLastPlatformError(10091);
        return 10091;
    };
    try {
        CSocket::Create();
        FAIL() << "created";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 10091);
        EXPECT_EQ(e.Source, "MSocketSupport.InitWinsockService");
    }
}

TEST_F(PlatformFailure, NoHandleMeansOperationsReturnQuietly) {
    CSocket::Create()->Bind(0, "127.0.0.1");  // the service's own descriptors exist from here
    const std::size_t before = OpenDescriptorCount();
    Platform::TestHooks().selectEvents = [](int32_t) { return false; };  // registration refused
    auto s = CSocket::Create();
    s->Connect("127.0.0.1", 9);
    s->Listen();
    s->Bind(0, "127.0.0.1");
    EXPECT_EQ(s->SocketHandle(), -1);
    EXPECT_EQ(s->State(), StateClosed);
    EXPECT_EQ(OpenDescriptorCount(), before);  // the created handle was closed again

    Platform::ResetHooks();
    Platform::TestHooks().socket = [](int32_t, int32_t, int32_t) { return -1; };
    auto u = CSocket::Create();
    u->Protocol(ProtocolUdp);
    RecordingOwner owner(u);
    u->RemoteHost("127.0.0.1");
    u->SendData("lost?");
    EXPECT_EQ(u->SocketHandle(), -1);
    EXPECT_TRUE(owner.events.empty());
}

TEST_F(PlatformFailure, LookupThatCannotStartDestroysTheHandleAndRaises) {
    Platform::TestHooks().startLookup = [](const std::string&) {
        Platform::SetLastPlatformError(11002);
        return false;
    };
    auto s = CSocket::Create();
    try {
        s->Connect("localhost", 80);
        FAIL() << "no error";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 11002);
        EXPECT_EQ(e.Source, "CSocket.CSocket.Connect");
    }
    EXPECT_EQ(s->SocketHandle(), -1);
    EXPECT_EQ(s->State(), StateResolvingHost);  // until the next operation changes it

    auto u = CSocket::Create();  // a datagram to a name is refused the same way, at once
    u->Protocol(ProtocolUdp);
    u->RemoteHost("localhost");
    EXPECT_THROW(u->SendData("x"), SocketError);
}

TEST_F(PlatformFailure, FailedCloseStillReleasesTheHandleAndDestructionNeverThrows) {
    Platform::TestHooks().closesocket = [](int32_t handle) {
        raw::Close(handle);  // the handle is released whatever the close reports
        Platform::SetLastPlatformError(10004);
        return -1;
    };
    auto s = CSocket::Create();
    s->Bind(0, "127.0.0.1");
    const int handle = s->SocketHandle();
    ASSERT_NE(handle, -1);
    s->CloseSocket();  // the error is dropped
    EXPECT_EQ(s->SocketHandle(), -1);
    EXPECT_FALSE(s->IsBound());

    s->Bind(0, "127.0.0.1");
    ASSERT_NE(s->SocketHandle(), -1);
    ASSERT_TRUE(MSocketSupport::WinsockStarted());
    EXPECT_NO_THROW(s.reset());
    EXPECT_EQ(MSocketSupport::SocketRegistryCount(), 0u);
    EXPECT_FALSE(MSocketSupport::WinsockStarted());  // still asked to shut down
}

TEST_F(PlatformFailure, ServiceStaysUpWhileAnotherObjectHoldsAHandle) {
    auto a = CSocket::Create();
    auto b = CSocket::Create();
    a->Bind(0, "127.0.0.1");
    b->Bind(0, "127.0.0.1");
    a.reset();
    EXPECT_TRUE(MSocketSupport::WinsockStarted());
    b.reset();
    EXPECT_FALSE(MSocketSupport::WinsockStarted());
}

#ifndef _WIN32
// Fills every descriptor slot below a lowered limit; restores both on destruction.
class DescriptorExhaustion {
  public:
    DescriptorExhaustion() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(OpenDescriptorCount() + 64);
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (;;) {
            const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                break;
            fillers_.emplace_back(fd);
        }
    }
    ~DescriptorExhaustion() {
        fillers_.clear();
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }

  private:
    rlimit saved_{};
    std::vector<Fd> fillers_;
};
#endif

TEST(AcceptFailure, OutOfDescriptorsRaisesNothingAndTheConnectionIsTakenLater) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer runtime opens descriptors of its own (a pipe per vptr check) and reports
    // false errors when none are left.
    GTEST_SKIP() << "not under the sanitizers";
#endif
#ifdef _WIN32
    GTEST_SKIP() << "Linux only: Windows has no per-process descriptor limit a test can lower";
#else
    auto listener = CSocket::Create();
    RecordingOwner owner(listener);
    std::vector<int32_t> requests;
    owner.onConnectionRequest = [&](int32_t id) { requests.push_back(id); };
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    Fd client = RawConnect(LocalPortOf(listener->SocketHandle()));
    {
        DescriptorExhaustion full;
        Settle(300ms);
        EXPECT_TRUE(requests.empty());  // no -1 is ever delivered
        EXPECT_EQ(listener->State(), StateListening);
    }
    ASSERT_TRUE(RunUntil([&] { return !requests.empty(); }));
    EXPECT_EQ(requests.size(), 1u);
    EXPECT_GE(requests[0], 0);
    auto served = CSocket::Create();
    served->Accept(requests[0]);
    EXPECT_EQ(served->State(), StateConnected);
#endif
}

TEST(PeerReset, ConnectionResetEndsInErrorState) {
    RawPeer server;
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->Connect("127.0.0.1", server.port());
    ASSERT_TRUE(RunUntil([&] { return s->State() == StateConnected; }));
    Fd peer = server.Accept();
    raw::AbortiveClose(peer.release());
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Error") || owner.Has("Close"); }));
    SKIP_UNDER_WINE_ABORTIVE_CLOSE();
    EXPECT_EQ(owner.events, (std::vector<std::string>{"Connect@7", "Error(10054)@9"}));
    EXPECT_EQ(owner.lastErrorDescription, "Connection reset by peer.");
    EXPECT_EQ(s->SocketHandle(), -1);
}

}  // namespace
}  // namespace packwarden::testing
