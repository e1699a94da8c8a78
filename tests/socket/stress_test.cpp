// SPDX-License-Identifier: MIT
// Volume and endurance: bytes arrive bit for bit, descriptors do not leak.
#include <random>
#include <thread>

#include "SocketTestSupport.h"
#include "packwarden/detail/Platform.h"

namespace packwarden::testing {
namespace {

// Echoes everything it reads until the other side shuts down, then closes.
void EchoUntilEof(int fd) {
    std::vector<char> buf(256 * 1024);
    for (;;) {
        if (!raw::Readable(fd, 30000))
            break;
        const long n = raw::Recv(fd, buf.data(), buf.size());
        if (n <= 0 || !SendAll(fd, buf.data(), static_cast<std::size_t>(n)))
            break;
    }
    raw::Close(fd);
}

TEST(Stress, SixtyFourMegabytesThereAndBackBitForBit) {
    std::string payload(64u << 20, '\0');
    std::mt19937_64 rng(20261208);
    for (std::size_t i = 0; i + 8 <= payload.size(); i += 8) {
        const uint64_t r = rng();
        std::memcpy(&payload[i], &r, 8);
    }

    RawPeer server;
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    std::string received;
    received.reserve(payload.size());
    owner.onConnect = [&] { s->SendData(payload); };
    owner.onDataArrival = [&](int32_t) {
        Variant v;
        s->GetData(v, vbByteArray);
        const auto bytes = v.AsBytes();
        received.append(bytes.begin(), bytes.end());
        if (received.size() == payload.size())
            s->CloseSocket();
    };
    s->Connect("127.0.0.1", server.port());
    Fd peer = server.AcceptPumping();
    ASSERT_TRUE(peer);
    std::thread echo(EchoUntilEof, peer.release());
    const bool closed = RunUntil([&] { return owner.Has("Close"); }, 120s);
    // Frees the echo thread if anything failed.
    MSocketSupport::Platform::shutdown(s->SocketHandle(), 2);
    echo.join();
    ASSERT_TRUE(closed);
    ASSERT_EQ(received.size(), payload.size());
    EXPECT_TRUE(received == payload);
    EXPECT_EQ(std::count_if(owner.events.begin(), owner.events.end(),
                            [](const std::string& e) { return e.rfind("SendComplete", 0) == 0; }),
              1);
}

TEST(Stress, ThousandConnectCloseCyclesLeaveTheDescriptorCountAlone) {
    RawPeer server;
    auto cycle = [&] {
        auto s = CSocket::Create();
        s->Connect("127.0.0.1", server.port());
        Fd peer = server.AcceptPumping();
        if (!RunUntil([&] { return s->State() == StateConnected; }))
            return false;
        s->CloseSocket();
        peer.reset();
        return RunUntil([&] { return s->State() == StateClosed; });
    };
    ASSERT_TRUE(cycle());  // the service's own descriptors exist from here on
    const std::size_t before = OpenDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(cycle()) << i;
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
}  // namespace packwarden::testing
