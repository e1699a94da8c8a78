// SPDX-License-Identifier: MIT
// Wake-ups of the channel's descriptor: records posted during a drain are dispatched by that
// drain without one; loops run inside a handler still see them; nothing is lost or doubled.
#include <algorithm>

#include "TestSupport.h"

namespace test {

TEST_F(ServiceTest, RecordPostedOutsideADispatchWakesTheDescriptorOnce) {
    SKIP_WITHOUT_CHANNEL_DESCRIPTOR();
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    ms::ProcessPending();
    ASSERT_FALSE(ChannelReadable());
    ASSERT_TRUE(ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd, ms::FD_OOB));
    EXPECT_TRUE(ChannelReadable());
    ms::ProcessPending();
    EXPECT_EQ(sink->Count(ms::FD_OOB), 1u);
    // The wake-up is consumed with the record: the descriptor goes quiet again.
    EXPECT_FALSE(ChannelReadable());
}

TEST_F(ServiceTest, RecordPostedByAHandlerIsDispatchedByTheSameDrainWithoutAWakeUp) {
    SKIP_WITHOUT_CHANNEL_DESCRIPTOR();
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    ms::ProcessPending();
    bool readableInsideHandler = true;
    sink->onEvent = [&](const Event& e) {
        if (e.code == ms::FD_OOB) {
            ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd, ms::FD_WRITE);
            readableInsideHandler = ChannelReadable();
        }
    };
    ASSERT_TRUE(ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd, ms::FD_OOB));
    ms::ProcessPending();
    EXPECT_FALSE(readableInsideHandler);
    EXPECT_EQ(sink->events, (std::vector<Event>{{ms::FD_OOB, 0}, {ms::FD_WRITE, 0}}));
    EXPECT_FALSE(ChannelReadable());
}

TEST_F(ServiceTest, AnnouncingFromInsideAHandlerWakesALoopOfItsOwn) {
    SKIP_WITHOUT_CHANNEL_DESCRIPTOR();
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    ms::ProcessPending();
    bool readableAfterAnnounce = false;
    sink->onEvent = [&](const Event& e) {
        if (e.code == ms::FD_OOB) {
            ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd, ms::FD_WRITE);
            // What a foreign loop does before it blocks; it then drains on readability.
            ms::AnnouncePending();
            readableAfterAnnounce = ChannelReadable();
            if (readableAfterAnnounce) {
                ms::ProcessPending();
            }
        }
    };
    ASSERT_TRUE(ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd, ms::FD_OOB));
    ms::ProcessPending();
    EXPECT_TRUE(readableAfterAnnounce);
    // Dispatched once, inside the handler's own loop.
    EXPECT_EQ(sink->events, (std::vector<Event>{{ms::FD_OOB, 0}, {ms::FD_WRITE, 0}}));
    ms::ProcessPending();
    EXPECT_EQ(sink->events.size(), 2u);
    // Nothing queued: announcing makes no wake-up.
    EXPECT_FALSE(ChannelReadable());
    ms::AnnouncePending();
    EXPECT_FALSE(ChannelReadable());
}

TEST_F(ServiceTest, RunUntilInsideAHandlerSeesWhatTheHandlerPosted) {
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    ms::ProcessPending();
    bool nestedDone = false;
    sink->onEvent = [&](const Event& e) {
        if (e.code == ms::FD_OOB) {
            // Posted from the nested loop's condition, outside any inner drain.
            bool posted = false;
            nestedDone = ms::RunUntil(
                [&] {
                    if (!posted) {
                        posted = true;
                        ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd,
                                              ms::FD_WRITE);
                    }
                    return sink->Count(ms::FD_WRITE) == 1;
                },
                Deadline);
        }
    };
    ASSERT_TRUE(ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd, ms::FD_OOB));
    ms::ProcessPending();
    EXPECT_TRUE(nestedDone);
}

TEST_F(ServiceTest, DataArrivingWhileAReadIsQueuedIsReportedAfterTheReceive) {
    // Reading interest stays in the set while FD_READ is outstanding: a collection in between
    // must neither report it twice nor lose it once the receive re-arms it.
    RawPeer listener;
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    const int peer = ConnectedPair(fd, *sink, listener);
    ASSERT_GE(peer, 0);
    std::string received;
    int nestedCollections = 0;
    sink->onEvent = [&](const Event& e) {
        if (e.code != ms::FD_READ) {
            return;
        }
        if (nestedCollections++ == 0) {
            // More data while this FD_READ is being handled, and a collection before the receive.
            ASSERT_EQ(raw::Send(peer, "def", 3), 3);
            ASSERT_TRUE(raw::Readable(fd, 5000));
            ms::ProcessPending();
        }
        char buffer[16];
        const int32_t n = pf::recv(fd, buffer, sizeof buffer);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        }
    };
    ASSERT_EQ(raw::Send(peer, "abc", 3), 3);
    ASSERT_TRUE(RunUntil([&] { return received == "abcdef"; }));
    Settle();
    EXPECT_EQ(received, "abcdef");
    EXPECT_LE(sink->Count(ms::FD_READ), 2u);
    raw::Close(peer);
}

}  // namespace test

namespace test {

TEST_F(ServiceTest, AHandlerThatKeepsPostingDoesNotHoldBackOtherSocketsOrTheLoop) {
    RawPeer listener;
    auto chatty = std::make_shared<RecordingSink>();
    const int chattyFd = RegisteredSocket(chatty, SOCK_DGRAM);
    auto reader = std::make_shared<RecordingSink>();
    const int readerFd = RegisteredSocket(reader);
    const int peer = ConnectedPair(readerFd, *reader, listener);
    ASSERT_GE(peer, 0);
    ms::ProcessPending();
    reader->events.clear();

    // Every dispatch of the chatty socket queues another record for it, without end.
    bool chatting = true;
    chatty->onEvent = [&](const Event&) {
        if (chatting) {
            ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), chattyFd, ms::FD_OOB);
        }
    };
    ASSERT_EQ(raw::Send(peer, "x", 1), 1);
    ASSERT_TRUE(raw::Readable(readerFd, 5000));
    ASSERT_TRUE(
        ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), chattyFd, ms::FD_OOB));
    ms::ProcessPending();  // returns although the chain goes on
    EXPECT_EQ(reader->Count(ms::FD_READ), 1u);
    const std::size_t first = chatty->events.size();
    EXPECT_GT(first, 1u);
    // The rest of the chain is announced, so an embedding loop comes back for it (on Windows
    // it simply waits in the thread's queue).
    EXPECT_TRUE(!ChannelHasDescriptor() || ChannelReadable());
    ms::ProcessPending();
    EXPECT_GT(chatty->events.size(), first);
    chatting = false;
    ms::ProcessPending();
    char c;
    pf::recv(readerFd, &c, 1);
    raw::Close(peer);
}

}  // namespace test

namespace test {

TEST_F(ServiceTest, ManyReadableSocketsEachGetOneReadPerArrivalAndNoneIsMissed) {
    // More sockets than one epoll_wait returns, readable at once: the collection must neither
    // report one twice nor leave one behind when epoll's ready list comes round.
    constexpr int Count = 150;
    RawPeer listener;
    std::vector<std::shared_ptr<RecordingSink>> sinks;
    std::vector<int> fds;
    std::vector<int> peers;
    std::vector<int> received(Count, 0);
    for (int i = 0; i < Count; ++i) {
        sinks.push_back(std::make_shared<RecordingSink>());
        fds.push_back(RegisteredSocket(sinks.back()));
        peers.push_back(ConnectedPair(fds.back(), *sinks.back(), listener));
        ASSERT_GE(peers.back(), 0);
        sinks.back()->onEvent = [&, i](const Event& e) {
            if (e.code == ms::FD_READ) {
                char buffer[8];
                received[i] += std::max(0, pf::recv(fds[i], buffer, sizeof buffer));
            }
        };
    }
    for (int wave = 1; wave <= 2; ++wave) {
        for (int peer : peers) {
            ASSERT_EQ(raw::Send(peer, "x", 1), 1);
        }
        ASSERT_TRUE(RunUntil([&] {
            return std::all_of(received.begin(), received.end(), [&](int n) { return n == wave; });
        }));
    }
    Settle();
    for (int i = 0; i < Count; ++i) {
        EXPECT_EQ(received[i], 2) << i;
        EXPECT_EQ(sinks[i]->Count(ms::FD_READ), 2u) << i;
    }
    for (int peer : peers) {
        raw::Close(peer);
    }
    ms::RunUntil([&] { return false; }, 50ms);
}

}  // namespace test

namespace test {

TEST_F(ServiceTest, ReadinessFoundAfterAHandlerPostedGoesBeforeWhatItPosted) {
    if (!ChannelHasDescriptor()) {
        GTEST_SKIP() << "Linux only: the epoll channel's rounds put fresh readiness before what "
                        "a handler posted; Windows' message queue keeps posting order";
    }
    // The FD_WRITE a full send earns waits behind data that has arrived meanwhile, so a stream
    // is read as soon as it is sent.
    RawPeer listener;
    auto sender = std::make_shared<RecordingSink>();
    const int senderFd = RegisteredSocket(sender, SOCK_DGRAM);
    auto reader = std::make_shared<RecordingSink>();
    const int readerFd = RegisteredSocket(reader);
    const int peer = ConnectedPair(readerFd, *reader, listener);
    ASSERT_GE(peer, 0);
    ms::ProcessPending();
    std::vector<std::string> order;
    sender->onEvent = [&](const Event& e) {
        order.push_back("sender " + std::to_string(e.code));
        if (e.code == ms::FD_OOB) {
            ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), senderFd, ms::FD_WRITE);
            ASSERT_EQ(raw::Send(peer, "x", 1), 1);
            ASSERT_TRUE(raw::Readable(readerFd, 5000));
        }
    };
    reader->onEvent = [&](const Event& e) {
        order.push_back("reader " + std::to_string(e.code));
        char c;
        pf::recv(readerFd, &c, 1);
    };
    ASSERT_TRUE(
        ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), senderFd, ms::FD_OOB));
    ms::ProcessPending();
    EXPECT_EQ(order, (std::vector<std::string>{"sender 4", "reader 1", "sender 2"}));
    raw::Close(peer);
    sender->onEvent = nullptr;
    reader->onEvent = nullptr;
    ms::RunUntil([&] { return false; }, 50ms);
}

}  // namespace test
