// Listening and datagram sockets: FD_ACCEPT once per accept, FD_WRITE at registration.
#include "TestSupport.h"

namespace test {

namespace {

int ClientTo(uint16_t port) {
    const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = Loopback();
    sa.sin_port = port;
    EXPECT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    return c;
}

}  // namespace

TEST_F(ServiceTest, ListenerGetsOneAcceptPerAccept) {
    auto server = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(server);
    ASSERT_EQ(pf::bind(fd, Loopback(), 0), 0);
    ASSERT_EQ(pf::listen(fd, 8), 0);
    uint16_t port = 0;
    ASSERT_EQ(pf::getsockname(fd, nullptr, &port), 0);
    Settle();
    EXPECT_TRUE(server->events.empty());

    const int c1 = ClientTo(port);
    const int c2 = ClientTo(port);
    ASSERT_TRUE(RunUntil([&] { return server->Count(ms::FD_ACCEPT) == 1; }));
    Settle();
    EXPECT_EQ(server->events, (std::vector<Event>{{ms::FD_ACCEPT, 0}}));

    uint32_t address = 0;
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
    ASSERT_EQ(::send(c1, "hi", 2, 0), 2);
    ASSERT_TRUE(RunUntil([&] { return conn->Count(ms::FD_READ) == 1; }));
    EXPECT_EQ(conn->events.front(), (Event{ms::FD_WRITE, 0}));
    ::close(c1);
    ASSERT_TRUE(RunUntil([&] { return conn->Count(ms::FD_CLOSE) == 1; }));
    ::close(c2);
}

TEST_F(ServiceTest, DatagramSocketWritesAtOnceAndReadsPerReceive) {
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink, SOCK_DGRAM);
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_WRITE) == 1; }));
    ASSERT_EQ(pf::bind(fd, Loopback(), 0), 0);
    uint16_t port = 0;
    ASSERT_EQ(pf::getsockname(fd, nullptr, &port), 0);

    const int peer = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = Loopback();
    to.sin_port = port;
    for (const char* text : {"one", "two"}) {
        ASSERT_EQ(::sendto(peer, text, 3, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 3);
    }
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_READ) == 1; }));
    Settle();
    EXPECT_EQ(sink->Count(ms::FD_READ), 1u);

    char buffer[16];
    uint32_t from = 0;
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
    pollfd p{peer, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_EQ(::recv(peer, buffer, sizeof buffer, 0), 3);
    ::close(peer);
}

}  // namespace test
