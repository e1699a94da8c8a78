// SPDX-License-Identifier: MIT
// A TCP echo server: listens on 127.0.0.1:PORT and sends every byte back on the connection it
// came from, to any number of clients at once.
//
//   echo_server [PORT] [--connections N]   port 7007 unless given; with --connections it ends
//                                          once N connections have closed
//
// Try it with the TCP client beside it: tcp_client 127.0.0.1 7007 "hello".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>

#include "packwarden/CSocket.h"

using packwarden::CSocket;

class EchoServer : public packwarden::CSocketEvents {
  public:
    explicit EchoServer(int32_t port) {
        listener_->SetOwner(this);
        listener_->Bind(port, "127.0.0.1");  // loopback only: nothing outside can reach it
        listener_->Listen();
    }

    int Closed() const { return closed_; }

    // Drops the connections that have ended. Not from inside their own handlers: the owner of
    // a handler that is running must outlive it.
    void Reap() {
        connections_.remove_if([](const std::unique_ptr<Connection>& c) { return c->ended; });
    }

  private:
    struct Connection : packwarden::CSocketEvents {
        EchoServer& server;
        std::shared_ptr<CSocket> sock = CSocket::Create();
        bool ended = false;

        explicit Connection(EchoServer& owner) : server(owner) { sock->SetOwner(this); }
        void OnDataArrival(int32_t) override {
            packwarden::Variant data;
            sock->GetData(data);   // take it here: a close that follows empties the buffer
            sock->SendData(data);  // what the network does not take at once waits in the object
        }
        // The client closed; our echo of its last bytes has gone out before this is raised.
        void OnClose() override { End(); }
        void OnError(int16_t, std::string& text, int32_t, const std::string&, const std::string&,
                     int32_t, bool&) override {
            std::fprintf(stderr, "echo_server: connection: %s\n", text.c_str());
            End();
        }
        void End() {
            if (!ended) {
                ended = true;
                ++server.closed_;
            }
        }
    };

    // A fresh object takes each waiting connection over.
    void OnConnectionRequest(int32_t requestID) override {
        Reap();
        auto& connection = connections_.emplace_back(std::make_unique<Connection>(*this));
        connection->sock->Accept(requestID);
        std::printf("echo_server: connection from %s:%d\n",
                    connection->sock->RemoteHostIP().c_str(), connection->sock->RemotePort());
        std::fflush(stdout);
    }
    void OnError(int16_t, std::string& text, int32_t, const std::string&, const std::string&,
                 int32_t, bool&) override {
        std::fprintf(stderr, "echo_server: listener: %s\n", text.c_str());
    }

    std::shared_ptr<CSocket> listener_ = CSocket::Create();
    std::list<std::unique_ptr<Connection>> connections_;
    int closed_ = 0;
};

int main(int argc, char** argv) {
    int32_t port = 7007;
    int limit = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--connections") == 0 && i + 1 < argc) {
            limit = std::atoi(argv[++i]);
        } else {
            port = std::atoi(argv[i]);
        }
    }
    try {
        EchoServer server(port);
        std::printf("echo_server: listening on 127.0.0.1:%d\n", port);
        std::fflush(stdout);
        // No event loop of our own: RunUntil dispatches the channel until the condition holds.
        while (limit == 0 || server.Closed() < limit) {
            MSocketSupport::RunUntil(
                [&] {
                    server.Reap();
                    return limit != 0 && server.Closed() >= limit;
                },
                std::chrono::hours(1));
        }
        std::printf("echo_server: %d connections served\n", server.Closed());
    } catch (const MSocketSupport::SocketError& error) {
        // Bind or Listen refused: the port is taken, say.
        std::fprintf(stderr, "echo_server: %s (%d)\n", error.what(), error.Number);
        return 1;
    }
    // Connections let go of with bytes still to send are finished by the service: wait for them.
    MSocketSupport::FinishPendingCloses(std::chrono::seconds(5));
    return 0;
}
