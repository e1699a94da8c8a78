// SPDX-License-Identifier: MIT
// Ten thousand connections opened and closed through fresh objects: the process ends with the
// descriptors it started with and its memory flat.
#include <cstdlib>
#include <cstring>

#include "Support.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::reliability {
namespace {

// One cycle: connect, see the connection, close from our side, see the peer's close.
void Cycle(RawPeer& server) {
    RecordingOwner owner(CSocket::Create(), RecordingOwner::Holds);
    owner.socket().Connect(Variant("127.0.0.1"), Variant(int32_t{server.port()}));
    Fd peer = server.AcceptPumping();
    ASSERT_TRUE(peer);
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect"); }));
    owner.socket().CloseSocket();
    char byte;
    ASSERT_EQ(raw::Recv(peer.get(), &byte, 1), 0);  // our orderly close
    peer.reset();
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Close"); }));
    ASSERT_EQ(owner.socket().SocketHandle(), -1);
}

TEST(Cycles, TenThousandConnectCloseCyclesKeepDescriptorsAndMemoryFlat) {
    RawPeer server;
    for (int i = 0; i < 200; ++i) {  // warm-up: allocator pools, the channel, the resolver
        ASSERT_NO_FATAL_FAILURE(Cycle(server));
    }
    const std::size_t descriptors = OpenDescriptorCount();
    const long before = ResidentKiB();
    for (int i = 0; i < 10000; ++i) {
        ASSERT_NO_FATAL_FAILURE(Cycle(server)) << "cycle " << i;
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    EXPECT_EQ(MSocketSupport::SocketRegistryCount(), 0u);
    EXPECT_EQ(MSocketSupport::SocketWindow(), 0);
    const long after = ResidentKiB();
    RecordProperty("rss_growth_kib", std::to_string(after - before));
    if (MemoryIsMeasurable && !UnderValgrind()) {
        // A leak of even 100 bytes a cycle would show as 1 MB.
        EXPECT_LT(after - before, 1024) << "VmRSS grew from " << before << " to " << after;
    }
}

}  // namespace
}  // namespace packwarden::reliability
