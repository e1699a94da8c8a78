// SPDX-License-Identifier: MIT
// The channel's queue: order, re-entrant dispatch, records that outlive their socket or window.
#include <thread>
#include <tuple>

#include "TestSupport.h"

namespace test {

namespace {

// Waits (bounded) until the peer's end of stream has reached `fd`.
void WaitPeerShutdown(int fd) {
#ifdef _WIN32
    // Winsock has no poll flag for it; the stack has queued the close notification well
    // within this on loopback.
    (void)fd;
    std::this_thread::sleep_for(200ms);
#else
    ASSERT_TRUE(raw::Wait(fd, POLLRDHUP, 5000));
#endif
}

void WaitReadable(int fd) {
    ASSERT_TRUE(raw::Readable(fd, 5000));
}

}  // namespace

TEST_F(ServiceTest, PostedRecordsKeepTheirPlaceAmongReadinessRecords) {
    RawPeer listener;
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    const int peer = ConnectedPair(fd, *sink, listener);
    ASSERT_TRUE(RunUntil([&] { return sink->Count(ms::FD_WRITE) == 1; }));
    sink->events.clear();

    // Posted before the data arrives: dispatched first.
    ASSERT_TRUE(ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd, ms::FD_WRITE));
    EXPECT_TRUE(!ChannelHasDescriptor() || ChannelReadable());
    ASSERT_EQ(raw::Send(peer, "abc", 3), 3);
    WaitReadable(fd);
    // Posted from inside a handler: behind what that pass already queued. The handler reads
    // the data, so the peer's close (held back while data waits) comes first.
    sink->onEvent = [&](const Event& e) {
        if (e.code == ms::FD_READ) {
            char buffer[8];
            EXPECT_EQ(pf::recv(fd, buffer, sizeof buffer), 3);
            ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd,
                                  ms::FD_WRITE | (10053 << 16));
        }
    };
    raw::ShutdownSend(peer);
    WaitPeerShutdown(fd);
    ASSERT_TRUE(RunUntil([&] { return sink->events.size() >= 4; }));
    Settle();
    if (!ChannelHasDescriptor() && sink->events.size() == 4 &&
        sink->events[2] == Event{ms::FD_WRITE, 10053}) {
        // Windows' stack posts the close from its own side once the data has been read, at a
        // moment of its choosing: a record the handler posted right after the read may come
        // first. Each still comes once, behind the records that were queued before them.
        std::swap(sink->events[2], sink->events[3]);
    }
    EXPECT_EQ(sink->events,
              (std::vector<Event>{
                  {ms::FD_WRITE, 0}, {ms::FD_READ, 0}, {ms::FD_CLOSE, 0}, {ms::FD_WRITE, 10053}}));
    EXPECT_TRUE(!ChannelHasDescriptor() || !ChannelReadable());
    raw::Close(peer);
}

TEST_F(ServiceTest, RecordForADeregisteredHandleIsDropped) {
    auto keeper = std::make_shared<RecordingSink>();
    auto gone = std::make_shared<RecordingSink>();
    RegisteredSocket(keeper);  // keeps the window
    const int fd = RegisteredSocket(gone);
    ASSERT_TRUE(ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd, ms::FD_READ));
    Close(fd);

    // The descriptor is reused by a new socket before the queue is drained: still dropped.
    auto fresh = std::make_shared<RecordingSink>();
    const int again = RegisteredSocket(fresh);
    Settle();
    EXPECT_TRUE(gone->events.empty());
    if (again == fd) {
        EXPECT_TRUE(fresh->events.empty());
    }
    // Called directly for a handle nobody owns: result 0, nothing delivered.
    EXPECT_EQ(ms::SocketWindowProc(ms::SocketWindow(), ms::WinsockMessage(), 999, ms::FD_READ), 0);
}

TEST_F(ServiceTest, RecordForAWindowThatWasDestroyedIsDropped) {
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    const int32_t old = ms::SocketWindow();
    ASSERT_TRUE(ms::PostChannelRecord(old, ms::WinsockMessage(), fd, ms::FD_READ));
    Deregister(fd);
    EXPECT_EQ(ms::SocketWindow(), 0);
    EXPECT_FALSE(ms::PostChannelRecord(old, ms::WinsockMessage(), fd, ms::FD_READ));
    Register(fd, sink);
    EXPECT_NE(ms::SocketWindow(), old);
    Settle();
    EXPECT_TRUE(sink->events.empty());
}

TEST_F(ServiceTest, HandlerMayRunANestedLoop) {
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    const int32_t w = ms::SocketWindow();
    for (int32_t code : {1, 2, 3, 4}) {
        ASSERT_TRUE(ms::PostChannelRecord(w, ms::WinsockMessage(), fd, code));
    }
    std::vector<int32_t> order;
    sink->onEvent = [&](const Event& e) {
        order.push_back(e.code);
        if (e.code == 1) {
            // A modal loop inside a handler: the rest is dispatched here, once.
            ms::ProcessPending();
            order.push_back(-1);
        }
    };
    ms::ProcessPending();
    EXPECT_EQ(order, (std::vector<int32_t>{1, 2, 3, 4, -1}));
    ms::ProcessPending();
    EXPECT_EQ(order.size(), 5u);
}

TEST_F(ServiceTest, OwnerMayDropItsObjectInsideAHandler) {
    auto keeper = std::make_shared<RecordingSink>();
    RegisteredSocket(keeper);
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    std::weak_ptr<RecordingSink> watch = sink;
    int calls = 0;
    sink->onEvent = [&](const Event&) {
        ++calls;
        sink.reset();  // the last owner's reference
        throw std::runtime_error("handler failure is absorbed");
    };
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(
            ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd, ms::FD_READ));
    }
    ms::ProcessPending();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(watch.expired());
}

TEST_F(ServiceTest, OtherKindsGoToThePreviousProcedure) {
    std::vector<std::tuple<int32_t, uint32_t, int32_t, int32_t>> seen;
    ms::SetPreviousWindowProc([&](int32_t w, uint32_t m, int32_t wp, int32_t lp) {
        seen.emplace_back(w, m, wp, lp);
        return 77;
    });
    EXPECT_EQ(ms::SocketWindowProc(5, 0x1234, -7, 0x7FFF0001), 77);
    auto sink = std::make_shared<RecordingSink>();
    RegisteredSocket(sink);
    ASSERT_TRUE(ms::PostChannelRecord(ms::SocketWindow(), 0x1235, 1, 2));
    ms::ProcessPending();
    ms::SetPreviousWindowProc(nullptr);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_tuple(5, 0x1234u, -7, 0x7FFF0001));
    EXPECT_EQ(seen[1], std::make_tuple(ms::SocketWindow(), 0x1235u, 1, 2));
    EXPECT_TRUE(sink->events.empty());
}

TEST_F(ServiceTest, RunUntilGivesUpAtItsDeadline) {
    EXPECT_FALSE(ms::RunUntil([] { return false; }, 50ms));
    int calls = 0;
    EXPECT_TRUE(ms::RunUntil([&] { return ++calls == 1; }, 50ms));
}

}  // namespace test
