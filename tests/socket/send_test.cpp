// SPDX-License-Identifier: MIT
// Sending on a stream: errors, wire bytes, progress and completion, a peer that stops reading.
#include <numeric>

#include "SocketTestSupport.h"

namespace packwarden::testing {
namespace {

TEST(Send, StreamWithoutHandleRaises40006) {
    auto s = CSocket::Create();
    try {
        s->SendData("x");
        FAIL() << "no error";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 40006);
        EXPECT_EQ(e.Source, "CSocket.SendData");
        EXPECT_EQ(e.Description,
                  "Wrong protocol or connection state for the requested transaction or request.");
    }
    EXPECT_EQ(s->SendBufferSize(), 0u);
}

TEST(Send, FullyTakenSendGivesProgressInsideSendDataThenOneCompleteFromTheLoop) {
    Connected c;
    c.socket->SendData(std::string(1000, 'a'));
    EXPECT_EQ(c.owner.events, std::vector<std::string>{"SendProgress(1000,0)@7"});
    EXPECT_TRUE(c.socket->SendPending());
    ASSERT_TRUE(RunUntil([&] { return c.owner.Has("SendComplete"); }));
    Settle();
    EXPECT_EQ(c.owner.events,
              (std::vector<std::string>{"SendProgress(1000,0)@7", "SendComplete@7"}));
    EXPECT_FALSE(c.socket->SendPending());
    EXPECT_EQ(RecvSome(c.peer.get(), 1000), std::string(1000, 'a'));
}

TEST(Send, ValuesGoOutAsTheirBytesAndEmptyValuesSendNothing) {
    Connected c;
    c.socket->SendData(int32_t{1});
    c.socket->SendData(true);
    c.socket->SendData("abc");
    c.socket->SendData(Variant::Bytes{0, 0xFF});
    c.socket->SendData("");
    c.socket->SendData(Variant());
    c.socket->SendData(Variant::Null());
    EXPECT_EQ(c.owner.events.size(), 4u);  // no progress for values without bytes
    EXPECT_EQ(RecvSome(c.peer.get(), 11), std::string("\x01\x00\x00\x00\xFF\xFF"
                                                      "abc\x00\xFF",
                                                      11));
}

TEST(Send, PeerThatStopsReadingLosesNothingAndProgressAddsUp) {
    Connected c;
    // More than the two kernels' buffers together can hold.
    std::string payload(32 << 20, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7 + 3);
    std::vector<std::pair<int32_t, int32_t>> progress;
    c.owner.onSendProgress = [&](int32_t sent, int32_t left) { progress.emplace_back(sent, left); };

    c.socket->SendData(payload.substr(0, payload.size() / 2));
    ASSERT_FALSE(progress.empty());
    EXPECT_GT(c.socket->SendBufferSize(), 0u);  // partial: the peer is not reading
    EXPECT_EQ(progress.back().second, static_cast<int32_t>(c.socket->SendBufferSize()));
    Settle();
    EXPECT_FALSE(c.owner.Has("SendComplete"));
    // A second SendData while bytes still wait appends behind them.
    c.socket->SendData(payload.substr(payload.size() / 2));

    std::string received;
    ASSERT_TRUE(RunUntil(
        [&] {
            received += RecvSome(c.peer.get(), payload.size() - received.size(), 1ms);
            return c.owner.Has("SendComplete") && received.size() == payload.size();
        },
        30s))
        << received.size() << " of " << payload.size();
    EXPECT_TRUE(received == payload);
    const int64_t total = std::accumulate(progress.begin(), progress.end(), int64_t{0},
                                          [](int64_t a, const auto& p) { return a + p.first; });
    EXPECT_EQ(total, static_cast<int64_t>(payload.size()));
    EXPECT_EQ(progress.back().second, 0);
    EXPECT_EQ(c.owner.events.back(), "SendComplete@7");
    EXPECT_EQ(std::count(c.owner.events.begin(), c.owner.events.end(), "SendComplete@7"), 1);
}

TEST(Send, SendDataInsideOnConnectGoesOut) {
    RawPeer server;
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    owner.onConnect = [&] { s->SendData("hello"); };
    s->Connect("127.0.0.1", server.port());
    ASSERT_TRUE(RunUntil([&] { return owner.Has("SendComplete"); }));
    EXPECT_EQ(owner.events,
              (std::vector<std::string>{"Connect@7", "SendProgress(5,0)@7", "SendComplete@7"}));
    Fd peer = server.Accept();
    EXPECT_EQ(RecvSome(peer.get(), 5), "hello");
}

}  // namespace
}  // namespace packwarden::testing
