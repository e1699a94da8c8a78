// SPDX-License-Identifier: MIT
// Connecting: FD_CONNECT exactly once per attempt, then one FD_WRITE after success.
#include "TestSupport.h"

namespace test {

TEST_F(ServiceTest, ConnectGivesConnectThenOneWrite) {
    RawPeer listener;
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    // A fresh socket raises nothing.
    Settle();
    EXPECT_TRUE(sink->events.empty());

    const int peer = ConnectedPair(fd, *sink, listener);
    ASSERT_GE(peer, 0);
    Settle();
    EXPECT_EQ(sink->events, (std::vector<Event>{{ms::FD_CONNECT, 0}, {ms::FD_WRITE, 0}}));
    raw::Close(peer);
}

TEST_F(ServiceTest, ConnectOnAnEstablishedStreamIsAlreadyConnected) {
    RawPeer listener;
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    const int peer = ConnectedPair(fd, *sink, listener);
    ASSERT_GE(peer, 0);
    Settle();
    sink->events.clear();

    EXPECT_EQ(pf::connect(fd, Loopback(), htons(listener.port())), -1);
    EXPECT_EQ(pf::LastPlatformError(), 10056);
    Settle();
    EXPECT_TRUE(sink->events.empty());  // no second FD_CONNECT for a connection that exists
    raw::Close(peer);
}

TEST_F(ServiceTest, RefusedConnectGivesConnectWithTheError) {
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    const int rc = pf::connect(fd, Loopback(), htons(FreePort()));
    if (rc == -1 && pf::LastPlatformError() != 10035) {
        // Refused at once: the caller hears it from the call and no event follows.
        EXPECT_EQ(pf::LastPlatformError(), 10061);
        Settle();
        EXPECT_TRUE(sink->events.empty());
        return;
    }
    ASSERT_TRUE(RunUntil([&] { return !sink->events.empty(); }));
    Settle();
    EXPECT_EQ(sink->events, (std::vector<Event>{{ms::FD_CONNECT, 10061}}));
}

}  // namespace test
