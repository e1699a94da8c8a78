// SPDX-License-Identifier: MIT
// Receiving on a stream: arrival totals, GetData / PeekData forms, the close drain.
#include <algorithm>
#include <atomic>
#include <thread>

#include "SocketTestSupport.h"

namespace packwarden::testing {
namespace {

TEST(Receive, ArrivalReportsEverythingWaitingNotJustTheNewChunk) {
    Connected c;
    c.Receive(std::string(100, 'x'));
    c.Receive(std::string(50, 'y'));
    EXPECT_EQ(c.owner.events,
              (std::vector<std::string>{"DataArrival(100)@7", "DataArrival(150)@7"}));
    EXPECT_EQ(c.socket->BytesReceived(), 150);
}

TEST(Receive, GetDataInsideOnDataArrivalTakesTheData) {
    Connected c;
    std::string got;
    c.owner.onDataArrival = [&](int32_t) {
        Variant v;
        c.socket->GetData(v);
        got += Text(v);
    };
    SendAll(c.peer.get(), "first ");
    ASSERT_TRUE(RunUntil([&] { return got == "first "; }));
    SendAll(c.peer.get(), "second");
    ASSERT_TRUE(RunUntil([&] { return got == "first second"; }));
    EXPECT_EQ(c.owner.events, (std::vector<std::string>{"DataArrival(6)@7", "DataArrival(6)@7"}));
    EXPECT_EQ(c.socket->ReceiveBufferSize(), 0u);
    EXPECT_EQ(c.socket->BytesReceived(), 0);
}

TEST(Receive, GetDataAndPeekDataForms) {
    Connected c;
    c.Receive(
        std::string("\x01\x02\x00\x00"
                    "abcdef",
                    10));
    Variant v = Variant("untouched");

    c.socket->PeekData(v, vbLong, 4);
    EXPECT_EQ(v, Variant(int32_t{0x0201}));
    EXPECT_EQ(c.socket->ReceiveBufferSize(), 10u);
    c.socket->GetData(v, vbLong, 4);  // the same as the peek that came before it
    EXPECT_EQ(v, Variant(int32_t{0x0201}));
    EXPECT_EQ(c.socket->BytesReceived(), 6);

    c.socket->GetData(v, Variant(), 2);
    EXPECT_EQ(v, Variant("ab"));
    c.socket->GetData(v, vbByteArray, -1);  // negative: all of it
    EXPECT_EQ(v, Variant(Variant::Bytes{'c', 'd', 'e', 'f'}));
    EXPECT_EQ(c.socket->BytesReceived(), 0);

    // An empty buffer leaves the value and the counter alone.
    v = Variant("kept");
    c.socket->GetData(v);
    EXPECT_EQ(v, Variant("kept"));

    // A numeric code without maxLen takes the whole buffer for its leading bytes.
    c.Receive(std::string("\x05\x00\x00\x00zzzzzz", 10));
    c.socket->GetData(v, "3");
    EXPECT_EQ(v, Variant(int32_t{5}));
    EXPECT_EQ(c.socket->ReceiveBufferSize(), 0u);

    // Fewer bytes than the type needs: the high bytes are zero.
    c.Receive("\x07");
    c.socket->GetData(v, vbDouble);
    EXPECT_EQ(v.Type(), vbDouble);
    EXPECT_EQ(v.WireBytes(), (Variant::Bytes{7, 0, 0, 0, 0, 0, 0, 0}));

    // A code outside the table still takes the bytes and leaves the value.
    c.Receive("gone");
    v = Variant("kept");
    c.socket->GetData(v, 99, 100);
    EXPECT_EQ(v, Variant("kept"));
    EXPECT_EQ(c.socket->ReceiveBufferSize(), 0u);

    c.Receive("data");
    try {
        c.socket->GetData(v, Variant(), "lots");
        FAIL() << "no error";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 13);
        EXPECT_EQ(e.Source, "CSocket.GetData");
    }
    try {
        c.socket->PeekData(v, "text");
        FAIL() << "no error";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Source, "CSocket.PeekData");
    }
    EXPECT_EQ(c.socket->ReceiveBufferSize(), 4u);
}

// An owner that keeps one value: whole takes change storage with the receive buffer (the two
// blocks go back and forth), partial takes and peeks copy, and a value the owner copied stays
// what it was. The bound keeps the blocks' sizes steady, and reading resumes after each take.
TEST(Receive, ReusedValueGetsEveryTakeWithoutCopiesAndKeepsValueSemantics) {
    Connected c;
    constexpr std::size_t piece = 100000;
    c.socket->ReceiveBufferLimit(static_cast<int32_t>(piece));
    Variant v;
    std::vector<const char*> storage;
    std::vector<Variant> copies;
    for (std::size_t i = 0; i < 8; ++i) {
        c.Receive(Pattern(piece, i * piece));
        c.socket->GetData(v, i % 2 == 0 ? Variant() : Variant(int32_t{vbByteArray}));
        ASSERT_EQ(v.Type(), i % 2 == 0 ? vbString : vbByteArray);
        ASSERT_EQ(std::string(*v.WireView()), Pattern(piece, i * piece)) << "take " << i;
        EXPECT_EQ(c.socket->BytesReceived(), 0);
        storage.push_back(v.WireView()->data());
        copies.push_back(v);
    }
    for (std::size_t i = 3; i < storage.size(); ++i) {
        EXPECT_NE(storage[i], storage[i - 1]) << "take " << i;
        EXPECT_EQ(storage[i], storage[i - 2]) << "take " << i;
    }
    for (std::size_t i = 0; i < copies.size(); ++i) {
        EXPECT_EQ(std::string(*copies[i].WireView()), Pattern(piece, i * piece));
    }

    // A partial take and a peek after those: copies, and the rest stays for the next take.
    c.Receive(Pattern(piece, 8 * piece));
    c.socket->GetData(v, Variant(), 10);
    EXPECT_EQ(v, Variant(Pattern(10, 8 * piece)));
    EXPECT_EQ(c.socket->BytesReceived(), static_cast<int32_t>(piece - 10));
    const Variant partial = v;
    c.socket->PeekData(v, vbByteArray);
    EXPECT_EQ(c.socket->ReceiveBufferSize(), piece - 10);
    const std::string rest = Pattern(piece - 10, 8 * piece + 10);
    EXPECT_EQ(v, Variant(Variant::Bytes(rest.begin(), rest.end())));
    c.socket->GetData(v);
    EXPECT_EQ(v, Variant(rest));
    EXPECT_EQ(partial, Variant(Pattern(10, 8 * piece)));
    EXPECT_EQ(c.socket->ReceiveBufferSize(), 0u);
}

TEST(Receive, PeerThatSendsAndClosesAtOnceDeliversEverythingBeforeOnClose) {
    Connected c;
    const std::string payload(3 << 20, 'p');
    std::string taken;
    std::size_t bufferAtClose = 1;
    c.owner.onDataArrival = [&](int32_t) {
        Variant v;
        c.socket->GetData(v);
        taken += Text(v);
    };
    c.owner.onClose = [&] { bufferAtClose = c.socket->ReceiveBufferSize(); };
    std::thread writer([&, fd = c.peer.release()] {
        SendAll(fd, payload);
        raw::Close(fd);
    });
    const bool closed = RunUntil([&] { return c.owner.Has("Close"); }, 20s);
    writer.join();
    ASSERT_TRUE(closed);
    EXPECT_EQ(taken.size(), payload.size());
    EXPECT_EQ(bufferAtClose, 0u);
    EXPECT_EQ(c.owner.events.back(), "Close@0");
    EXPECT_EQ(c.socket->SocketHandle(), -1);
    EXPECT_EQ(c.socket->State(), StateClosed);
}

// Flow control: at the bound the object stops reading; the sender is held back by the network
// and nothing is lost when the owner takes the data later, the peer's close included.
TEST(Receive, StopsAtTheBoundUntilTheOwnerTakesDataAndLosesNothing) {
    for (const bool peerCloses : {false, true}) {
        Connected c;
        constexpr int32_t bound = 64 << 10;
        constexpr std::size_t total = 8 << 20;
        c.socket->ReceiveBufferLimit(bound);
        EXPECT_EQ(c.socket->ReceiveBufferLimit(), bound);
        int32_t largest = 0;
        c.owner.onDataArrival = [&](int32_t bytesTotal) {
            largest = std::max(largest, bytesTotal);
        };
        std::atomic<bool> written{false};
        std::thread writer([&, fd = c.peer.get()] {
            SendAll(fd, Pattern(total));
            written = true;
            if (peerCloses) {
                raw::ShutdownSend(fd);
            }
        });
        ASSERT_TRUE(RunUntil([&] { return c.socket->ReceiveBufferSize() == bound; }));
        Settle(200ms);
        EXPECT_EQ(c.socket->ReceiveBufferSize(), static_cast<std::size_t>(bound));
        EXPECT_FALSE(written) << "the sender was not held back";
        EXPECT_FALSE(c.owner.Has("Close"));

        // Now the owner takes everything, as it comes.
        std::string taken;
        const auto take = [&] {
            Variant v;
            c.socket->GetData(v, vbByteArray);
            const auto& bytes = v.AsBytes();
            taken.append(bytes.begin(), bytes.end());
        };
        take();
        c.owner.onDataArrival = [&](int32_t bytesTotal) {
            largest = std::max(largest, bytesTotal);
            take();
        };
        const bool done = RunUntil(
            [&] { return peerCloses ? c.owner.Has("Close") : taken.size() == total; }, 30s);
        writer.join();
        ASSERT_TRUE(done);
        EXPECT_EQ(taken.size(), total);
        EXPECT_EQ(taken, Pattern(total));
        EXPECT_LE(largest, bound);
        EXPECT_EQ(c.owner.Has("Close"), peerCloses);
    }
}

TEST(Receive, SmallSendThenCloseGivesArrivalThenClose) {
    Connected c;
    SendAll(c.peer.get(), std::string(30, 'q'));
    c.peer.reset();
    ASSERT_TRUE(RunUntil([&] { return c.owner.Has("Close"); }));
    EXPECT_EQ(c.owner.events, (std::vector<std::string>{"DataArrival(30)@7", "Close@0"}));
    EXPECT_EQ(c.socket->ReceiveBufferSize(), 0u);  // the teardown empties it
}

}  // namespace
}  // namespace packwarden::testing
