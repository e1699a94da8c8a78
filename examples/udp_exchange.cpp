// SPDX-License-Identifier: MIT
// A UDP exchange on loopback, both ends in one program: a responder bound to 127.0.0.1:PORT
// answers each datagram to whoever sent it, and a sender sends COUNT pings, one at a time,
// each after the answer to the last.
//
//   udp_exchange [PORT] [COUNT]   port 7008 and 3 pings unless given; exit status 0 when every
//                                 ping was answered within 10 s
//
// Each SendData is one datagram, and each OnDataArrival one datagram received. After a
// receive, RemoteHostIP and RemotePort name the datagram's sender, so a reply needs no address.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "packwarden/CSocket.h"

using packwarden::CSocket;

struct Responder : packwarden::CSocketEvents {
    std::shared_ptr<CSocket> sock = CSocket::Create();
    explicit Responder(int32_t port) {
        sock->SetOwner(this);
        sock->Protocol(packwarden::ProtocolUdp);
        sock->Bind(port, "127.0.0.1");
    }
    void OnDataArrival(int32_t) override {
        packwarden::Variant datagram;
        sock->GetData(datagram);
        std::printf("responder: \"%s\" from %s:%d\n", datagram.AsString().c_str(),
                    sock->RemoteHostIP().c_str(), sock->RemotePort());
        sock->SendData("pong " + datagram.AsString().substr(5));  // back to the sender
    }
};

struct Sender : packwarden::CSocketEvents {
    std::shared_ptr<CSocket> sock = CSocket::Create();
    int count;
    int answered = 0;
    bool failed = false;
    Sender(int32_t port, int pings) : count(pings) {
        sock->SetOwner(this);
        sock->Protocol(packwarden::ProtocolUdp);
        sock->RemoteHost("127.0.0.1");  // where each SendData goes
        sock->RemotePort(port);
        Ping();
    }
    void Ping() { sock->SendData("ping " + std::to_string(answered + 1)); }
    void OnDataArrival(int32_t) override {
        packwarden::Variant datagram;
        sock->GetData(datagram);
        std::printf("sender: \"%s\"\n", datagram.AsString().c_str());
        if (datagram.AsString() == "pong " + std::to_string(answered + 1) && ++answered < count) {
            Ping();
        }
    }
    // A datagram that could not go: with nobody bound at the port, loopback answers "refused".
    void OnError(int16_t number, std::string& text, int32_t, const std::string&, const std::string&,
                 int32_t, bool&) override {
        std::fprintf(stderr, "sender: %s (%d)\n", text.c_str(), number);
        failed = true;
    }
};

int main(int argc, char** argv) {
    const int32_t port = argc > 1 ? std::atoi(argv[1]) : 7008;
    const int count = argc > 2 ? std::atoi(argv[2]) : 3;
    try {
        Responder responder(port);
        Sender sender(port, count);
        MSocketSupport::RunUntil([&] { return sender.answered == count || sender.failed; },
                                 std::chrono::seconds(10));
        std::printf("%d of %d pings answered\n", sender.answered, count);
        return sender.answered == count ? 0 : 1;
    } catch (const MSocketSupport::SocketError& error) {  // the port is taken, say
        std::fprintf(stderr, "udp_exchange: %s (%d)\n", error.what(), error.Number);
        return 1;
    }
}
