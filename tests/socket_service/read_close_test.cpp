// SPDX-License-Identifier: MIT
// Receiving side of a connection: FD_READ once until a receive, FD_CLOSE exactly once.
#include "TestSupport.h"

namespace test {

class ConnectionTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        sink = std::make_shared<RecordingSink>();
        fd = RegisteredSocket(sink);
        peer = ConnectedPair(fd, *sink, listener);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_WRITE) == 1; }));
        sink->events.clear();
    }
    void TearDown() override {
        if (peer >= 0) {
            raw::Close(peer);
        }
        ServiceTest::TearDown();
    }
    void PeerSends(std::size_t n) {
        const std::string data(n, 'x');
        ASSERT_EQ(raw::Send(peer, data.data(), data.size()), static_cast<ssize_t>(n));
    }

    RawPeer listener;
    std::shared_ptr<RecordingSink> sink;
    int fd = -1;
    int peer = -1;
};

TEST_F(ConnectionTest, OneReadUntilReceivedThenAnotherWhileDataRemains) {
    PeerSends(100);
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_READ) == 1; }));
    Settle();
    EXPECT_EQ(sink->events, (std::vector<Event>{{ms::FD_READ, 0}}));

    char buffer[100];
    ASSERT_EQ(pf::recv(fd, buffer, 40), 40);
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_READ) == 2; }));
    ASSERT_EQ(pf::recv(fd, buffer, 100), 60);
    // Drained: the re-armed read waits for new data.
    Settle();
    EXPECT_EQ(sink->Count(ms::FD_READ), 2u);
    PeerSends(1);
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_READ) == 3; }));
    // A receive that would block still re-arms.
    ASSERT_EQ(pf::recv(fd, buffer, 100), 1);
    ASSERT_EQ(pf::recv(fd, buffer, 100), -1);
    EXPECT_EQ(pf::LastPlatformError(), 10035);
    Settle();
    EXPECT_EQ(sink->Count(ms::FD_READ), 3u);
    EXPECT_EQ(sink->Count(ms::FD_CLOSE), 0u);
}

TEST_F(ConnectionTest, PeerCloseGivesExactlyOneClose) {
    raw::Close(peer);
    peer = -1;
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_CLOSE) == 1; }));
    Settle();
    EXPECT_EQ(sink->Count(ms::FD_CLOSE), 1u);
    EXPECT_EQ(sink->events.back(), (Event{ms::FD_CLOSE, 0}));
    // Receiving after the close neither repeats it nor spins the loop into more events.
    char buffer[16];
    EXPECT_EQ(pf::recv(fd, buffer, sizeof buffer), 0);
    Settle();
    EXPECT_EQ(sink->Count(ms::FD_CLOSE), 1u);
    EXPECT_LE(sink->Count(ms::FD_READ), 1u);
}

TEST_F(ConnectionTest, DataThenCloseGivesTheCloseOnlyOnceTheDataIsRead) {
    // Winsock documents it: after an orderly close, FD_CLOSE is not delivered while data
    // received before it waits to be read.
    PeerSends(100);
    raw::Close(peer);
    peer = -1;
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_READ) == 1; }));
    Settle();
    EXPECT_EQ(sink->events, (std::vector<Event>{{ms::FD_READ, 0}}));
    // Nothing of the data is lost; reading part of it still holds the close back.
    char buffer[200];
    EXPECT_EQ(pf::recv(fd, buffer, 60), 60);
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_READ) == 2; }));
    Settle();
    EXPECT_EQ(sink->Count(ms::FD_CLOSE), 0u);
    EXPECT_EQ(pf::recv(fd, buffer, sizeof buffer), 40);
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_CLOSE) == 1; }));
    Settle();
    EXPECT_EQ(sink->events,
              (std::vector<Event>{{ms::FD_READ, 0}, {ms::FD_READ, 0}, {ms::FD_CLOSE, 0}}));
}

TEST_F(ConnectionTest, ResetGivesCloseWithConnectionReset) {
    raw::AbortiveClose(peer);
    peer = -1;
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_CLOSE) == 1; }));
    Settle();
    EXPECT_EQ(sink->Count(ms::FD_CLOSE), 1u);
    SKIP_UNDER_WINE_ABORTIVE_CLOSE();
    EXPECT_EQ(sink->events.back(), (Event{ms::FD_CLOSE, 10054}));
}

TEST_F(ConnectionTest, SendThatWouldBlockArmsOneWrite) {
    // Fill the path until the kernel refuses more.
    int small = 4096;
    raw::SetOption(fd, SOL_SOCKET, SO_SNDBUF, small);
    raw::SetOption(peer, SOL_SOCKET, SO_RCVBUF, small);
    const std::string chunk(65536, 'y');
    std::size_t sent = 0;
    for (int i = 0; i < 10000; ++i) {
        const int n = pf::send(fd, chunk.data(), chunk.size());
        if (n < 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    ASSERT_EQ(pf::LastPlatformError(), 10035);
    Settle();
    EXPECT_EQ(sink->Count(ms::FD_WRITE), 0u);

    // The peer drains everything: exactly one FD_WRITE.
    std::string buffer(1 << 16, '\0');
    std::size_t got = 0;
    while (got < sent) {
        ASSERT_TRUE(raw::Readable(peer, 5000));
        const ssize_t n = raw::Recv(peer, buffer.data(), buffer.size());
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_WRITE) >= 1; }));
    Settle();
    EXPECT_EQ(sink->Count(ms::FD_WRITE), 1u);
}

TEST_F(ConnectionTest, SendToAClosedPeerRaisesNoSignal) {
    raw::AbortiveClose(peer);
    peer = -1;
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_CLOSE) == 1; }));
    int rc = 0;
    for (int i = 0; i < 3 && rc >= 0; ++i) {
        rc = pf::send(fd, "abc", 3);
    }
    // Still alive (no SIGPIPE) and told why.
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(pf::LastPlatformError() == 10058 || pf::LastPlatformError() == 10054)
        << pf::LastPlatformError();
}

}  // namespace test
