// SPDX-License-Identifier: MIT
// Listening and datagram sockets: FD_ACCEPT once per accept, FD_WRITE at registration.
#include "TestSupport.h"

namespace test {

TEST_F(ServiceTest, ListenerGetsOneAcceptPerAccept) {
    auto server = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(server);
    ASSERT_EQ(pf::bind(fd, Loopback(), 0), 0);
    ASSERT_EQ(pf::listen(fd, 8), 0);
    uint16_t port = 0;
    ASSERT_EQ(pf::getsockname(fd, nullptr, &port), 0);
    Settle();
    EXPECT_TRUE(server->events.empty());

    Fd c1 = RawConnect(ntohs(port));
    Fd c2 = RawConnect(ntohs(port));
    ASSERT_TRUE(RunUntil([&] { return server->Count(ms::FD_ACCEPT) == 1; }));
    Settle();
    EXPECT_EQ(server->events, (std::vector<Event>{{ms::FD_ACCEPT, 0}}));

    pf::Address address;
    uint16_t peerPort = 0;
    const int a1 = Own(pf::accept(fd, &address, &peerPort));
    ASSERT_GE(a1, 0);
    EXPECT_EQ(address, Loopback());
    EXPECT_NE(peerPort, 0);
    // The second connection is still waiting: one more FD_ACCEPT.
    ASSERT_TRUE(RunUntil([&] { return server->Count(ms::FD_ACCEPT) == 2; }));
    const int a2 = Own(pf::accept(fd, nullptr, nullptr));
    ASSERT_GE(a2, 0);
    Settle();
    EXPECT_EQ(server->Count(ms::FD_ACCEPT), 2u);

    // An accepted socket is registered like any other and may send at once.
    auto conn = std::make_shared<RecordingSink>();
    Register(a1, conn);
    ASSERT_TRUE(RunUntil([&] { return !conn->events.empty(); }));
    ASSERT_EQ(raw::Send(c1.get(), "hi", 2), 2);
    ASSERT_TRUE(RunUntil([&] { return conn->Count(ms::FD_READ) == 1; }));
    EXPECT_EQ(conn->events.front(), (Event{ms::FD_WRITE, 0}));
    char bytes[4];
    EXPECT_EQ(pf::recv(a1, bytes, sizeof bytes), 2);  // the close waits for unread data
    c1.reset();
    ASSERT_TRUE(RunUntil([&] { return conn->Count(ms::FD_CLOSE) == 1; }));
    c2.reset();
}

TEST_F(ServiceTest, DatagramSocketWritesAtOnceAndReadsPerReceive) {
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink, SOCK_DGRAM);
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_WRITE) == 1; }));
    ASSERT_EQ(pf::bind(fd, Loopback(), 0), 0);
    uint16_t port = 0;
    ASSERT_EQ(pf::getsockname(fd, nullptr, &port), 0);

    const int peer = raw::Socket(SOCK_DGRAM);
    for (const char* text : {"one", "two"}) {
        ASSERT_EQ(raw::SendTo(peer, text, 3, ntohs(port)), 3);
    }
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_READ) == 1; }));
    Settle();
    EXPECT_EQ(sink->Count(ms::FD_READ), 1u);

    char buffer[16];
    pf::Address from;
    uint16_t fromPort = 0;
    ASSERT_EQ(pf::recvfrom(fd, buffer, sizeof buffer, &from, &fromPort), 3);
    EXPECT_EQ(std::string(buffer, 3), "one");
    EXPECT_EQ(from, Loopback());
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_READ) == 2; }));
    // A datagram larger than the room is reported as too long.
    ASSERT_EQ(pf::recvfrom(fd, buffer, 2, nullptr, nullptr), -1);
    EXPECT_EQ(pf::LastPlatformError(), 10040);
    Settle();
    EXPECT_EQ(sink->Count(ms::FD_READ), 2u);

    // And sends back.
    ASSERT_EQ(pf::sendto(fd, "ack", 3, from, fromPort), 3);
    ASSERT_TRUE(raw::Readable(peer, 5000));
    EXPECT_EQ(raw::Recv(peer, buffer, sizeof buffer), 3);
    raw::Close(peer);
}

}  // namespace test
