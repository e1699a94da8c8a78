// SPDX-License-Identifier: MIT
// The client of docs/socket-guide.md, talking to a listener of its own on loopback: it prints
// the listener's reply and exits 0 when the whole reply arrived before the listener closed.
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <string>

#include "packwarden/CSocket.h"
#include "packwarden/MSocketSupport.h"

struct Client : packwarden::CSocketEvents {
    std::shared_ptr<packwarden::CSocket> sock = packwarden::CSocket::Create();
    std::string received;
    bool done = false;
    void OnConnect() override { sock->SendData("GET / HTTP/1.0\r\n\r\n"); }
    void OnDataArrival(int32_t) override {
        packwarden::Variant data;
        sock->GetData(data);  // take it here: the close empties the buffer
        std::fwrite(data.AsString().data(), 1, data.AsString().size(), stdout);
        received += data.AsString();
    }
    void OnClose() override { done = true; }
    void OnError(int16_t, std::string& text, int32_t, const std::string&, const std::string&,
                 int32_t, bool&) override {
        std::fprintf(stderr, "%s\n", text.c_str());
        done = true;
    }
};

// Answers one request per connection with a fixed page, then closes.
struct Server : packwarden::CSocketEvents {
    std::shared_ptr<packwarden::CSocket> listener = packwarden::CSocket::Create();
    struct Connection : packwarden::CSocketEvents {
        std::shared_ptr<packwarden::CSocket> sock = packwarden::CSocket::Create();
        std::string request;
        void OnDataArrival(int32_t) override {
            packwarden::Variant data;
            sock->GetData(data);
            request += data.AsString();
            if (request.find("\r\n\r\n") != std::string::npos) {
                sock->SendData("HTTP/1.0 200 OK\r\n\r\nhello from the listener\n");
            }
        }
        void OnSendComplete() override { sock->CloseSocket(); }
    } connection;
    void OnConnectionRequest(int32_t id) override {
        connection.sock->SetOwner(&connection);
        connection.sock->Accept(id);
    }
};

int main() {
    Server server;
    server.listener->SetOwner(&server);
    // A port of our own on loopback; another program may hold the first one tried.
    int32_t port = 20000 + getpid() % 20000;
    for (int tries = 0;; ++tries, ++port) {
        try {
            server.listener->Bind(port, "127.0.0.1");
            server.listener->Listen();
            break;
        } catch (const MSocketSupport::SocketError& error) {  // the spelling of 2.0 still holds
            if (tries == 50) {
                std::fprintf(stderr, "no free port to listen on: %s\n", error.what());
                return 1;
            }
            server.listener->CloseSocket();
        }
    }

    Client c;
    c.sock->SetOwner(&c);
    c.sock->Connect("localhost", port);  // name resolved off-thread
    packwarden::MSocketSupport::RunUntil([&] { return c.done; }, std::chrono::seconds(10));
    const bool whole = c.received.ends_with("hello from the listener\n");
    std::fprintf(stderr, "client: %s\n", whole ? "reply received" : "no complete reply");
    return whole ? 0 : 1;
}
