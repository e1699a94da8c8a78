// SPDX-License-Identifier: MIT
// Datagrams: sending to an address and to a name, receiving with the sender filled in.
#include "SocketTestSupport.h"

namespace packwarden::testing {
namespace {

// A raw datagram socket bound to 127.0.0.1 and an ephemeral port.
struct RawUdp {
    Fd fd;
    int port = 0;
    explicit RawUdp(bool v6 = false) : fd(v6 ? raw::Socket6(SOCK_DGRAM) : raw::Socket(SOCK_DGRAM)) {
        EXPECT_EQ(v6 ? raw::Bind6(fd.get(), 0) : raw::Bind(fd.get(), 0), 0);
        port = LocalPortOf(fd.get());
    }
};

std::string OneDatagram(int fd) {
    if (!raw::Readable(fd, 5000))
        return "<nothing>";
    char buf[2048];
    const long n = raw::Recv(fd, buf, sizeof buf);
    return n < 0 ? "<error>" : std::string(buf, static_cast<std::size_t>(n));
}

TEST(Udp, SendToADottedAddress) {
    RawUdp peer;
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->Protocol(ProtocolUdp);
    s->RemoteHost("127.0.0.1");
    s->RemotePort(peer.port);
    s->SendData("ping");
    EXPECT_EQ(owner.events, std::vector<std::string>{"SendProgress(4,0)@0"});
    ASSERT_TRUE(RunUntil([&] { return owner.Has("SendComplete"); }));
    EXPECT_EQ(OneDatagram(peer.fd.get()), "ping");
}

TEST(Udp, SendToANameWaitsForTheLookup) {
    RawUdp peer;
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->Protocol(ProtocolUdp);
    s->RemoteHost("LocalHost");
    s->RemotePort(peer.port);
    s->SendData(Variant::Bytes{1, 2, 3});
    EXPECT_EQ(owner.events, std::vector<std::string>{"SendProgress(0,3)@0"});
    ASSERT_TRUE(RunUntil([&] { return owner.Has("SendComplete"); }));
    EXPECT_EQ(owner.events, (std::vector<std::string>{"SendProgress(0,3)@0", "SendProgress(3,0)@5",
                                                      "SendComplete@5"}));
    EXPECT_EQ(s->RemoteHost(), "localhost");
    EXPECT_EQ(s->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(OneDatagram(peer.fd.get()), std::string("\x01\x02\x03"));
}

TEST(Udp, ValuesWaitingTogetherStaySeparateDatagrams) {
    RawUdp peer;
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->Protocol(ProtocolUdp);
    s->RemoteHost("localhost");
    s->RemotePort(peer.port);
    s->SendData("one");
    s->SendData("two!");  // the lookup is still under way: it waits behind the first
    ASSERT_TRUE(RunUntil([&] { return owner.Has("SendComplete"); }));
    EXPECT_EQ(owner.events, (std::vector<std::string>{"SendProgress(0,3)@0", "SendProgress(3,4)@5",
                                                      "SendProgress(4,0)@5", "SendComplete@5"}));
    EXPECT_EQ(OneDatagram(peer.fd.get()), "one");
    EXPECT_EQ(OneDatagram(peer.fd.get()), "two!");
}

// A datagram is offered once: a refused one is dropped with its error, whatever comes next.
TEST(Udp, FailedDatagramsAreDroppedNotSentLater) {
    SKIP_UNLESS_LOOKUPS_FAIL();
    RawUdp peer;
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->Protocol(ProtocolUdp);
    s->RemoteHost("127.0.0.1");
    s->RemotePort(peer.port);
    // Larger than any datagram: refused with 10040, and the next call is not refused again.
    try {
        s->SendData(std::string(70000, 'x'));
        FAIL() << "no error";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Number, 10040);
    }
    EXPECT_EQ(s->SendBufferSize(), 0u);
    s->SendData("after");
    EXPECT_EQ(OneDatagram(peer.fd.get()), "after");
    s->CloseSocket();
    s->SendData("new handle");
    EXPECT_EQ(OneDatagram(peer.fd.get()), "new handle");

    // A name that cannot be resolved: its datagram is reported and dropped, and does not go to
    // the address set afterwards.
    auto t = CSocket::Create();
    RecordingOwner failed(t);
    t->Protocol(ProtocolUdp);
    t->RemoteHost("no-such-host.invalid");
    t->RemotePort(peer.port);
    t->SendData("lost");
    ASSERT_TRUE(RunUntil([&] { return failed.Has("Error"); }));
    EXPECT_EQ(t->SendBufferSize(), 0u);
    t->RemoteHost("127.0.0.1");
    t->SendData("only this");
    EXPECT_EQ(OneDatagram(peer.fd.get()), "only this");
    EXPECT_FALSE(raw::Readable(peer.fd.get(), 100)) << "a dropped datagram went out";
}

// IPv6: datagrams go to an IPv6 RemoteHost, and an arriving one names its sender in its own
// family's form, so a reply goes back to it.
TEST(Udp, IPv6RemoteHostSendsAndTheSenderOfEachDatagramIsRecorded) {
    RawUdp peer(true);
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->Protocol(ProtocolUdp);
    s->RemoteHost("[::1]");
    EXPECT_EQ(s->RemoteHostIP(), "::1");
    EXPECT_FALSE(s->BroadcastEnabled());
    s->RemotePort(peer.port);
    s->SendData("ping6");
    ASSERT_TRUE(RunUntil([&] { return owner.Has("SendComplete"); }));
    EXPECT_EQ(OneDatagram(peer.fd.get()), "ping6");

    // The peer answers from another port: the object records that sender.
    RawUdp other(true);
    sockaddr_in6 to = raw::Loopback6(LocalPortOf(s->SocketHandle()));
    ASSERT_EQ(
        ::sendto(other.fd.get(), "pong", 4, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
        4);
    ASSERT_TRUE(RunUntil([&] { return owner.Has("DataArrival"); }));
    EXPECT_EQ(s->RemoteHostIP(), "::1");
    EXPECT_EQ(s->RemotePort(), other.port);
    Variant v;
    s->GetData(v);
    EXPECT_EQ(v, Variant("pong"));
    s->SendData("back");
    EXPECT_EQ(OneDatagram(other.fd.get()), "back");
}

TEST(Udp, ReceiveFillsInTheSender) {
    RawUdp peer;
    const int port = FreePort(SOCK_DGRAM);
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->Protocol(ProtocolUdp);
    s->Bind(port, "127.0.0.1");
    EXPECT_TRUE(s->IsBound());
    EXPECT_GE(s->ReceiveChunkSize(), MSocketSupport::DefaultMaxDatagramSize);
    EXPECT_GE(s->ReceiveChunkSize(), MSocketSupport::MaxDatagramSize());
    ASSERT_EQ(raw::SendTo(peer.fd.get(), "hello", 5, static_cast<uint16_t>(port)), 5);
    ASSERT_TRUE(RunUntil([&] { return owner.Has("DataArrival"); }));
    EXPECT_EQ(owner.events, std::vector<std::string>{"DataArrival(5)@0"});
    EXPECT_EQ(s->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(s->RemoteHost(), "localhost");
    EXPECT_EQ(s->RemotePort(), peer.port);
    Variant v;
    s->GetData(v);
    EXPECT_EQ(v, Variant("hello"));

    // Reply to the sender the datagram named.
    s->SendData("back");
    EXPECT_EQ(OneDatagram(peer.fd.get()), "back");
}

// The largest IPv4 datagram arrives whole: the receive area is sized from what the socket
// takes, not from the service's start-up figure (65 467 on Windows, where 65 468 to 65 507
// bytes were lost without any event).
TEST(Udp, TheLargestDatagramArrivesWhole) {
    RawUdp peer;
    const int port = FreePort(SOCK_DGRAM);
    auto s = CSocket::Create();
    RecordingOwner owner(s);
    s->Protocol(ProtocolUdp);
    s->Bind(port, "127.0.0.1");
    std::string largest(MSocketSupport::DefaultMaxDatagramSize, '\0');
    for (std::size_t i = 0; i < largest.size(); ++i) {
        largest[i] = static_cast<char>(i % 251);
    }
    for (const std::size_t size : {largest.size(), std::size_t{65468}}) {
        ASSERT_EQ(raw::SendTo(peer.fd.get(), largest.data(), size, static_cast<uint16_t>(port)),
                  static_cast<long>(size));
        ASSERT_TRUE(RunUntil([&] { return owner.Has("DataArrival"); })) << size;
        EXPECT_EQ(owner.events,
                  std::vector<std::string>{"DataArrival(" + std::to_string(size) + ")@0"});
        owner.events.clear();
        Variant v;
        s->GetData(v);
        EXPECT_EQ(v, Variant(largest.substr(0, size)));
    }
}

}  // namespace
}  // namespace packwarden::testing
