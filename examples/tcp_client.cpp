// SPDX-License-Identifier: MIT
// A TCP client: connects to HOST:PORT (the name is looked up off the event thread), sends TEXT,
// prints what comes back until as many bytes have arrived as it sent (an echo), then closes.
//
//   tcp_client HOST PORT TEXT     exit status 0 when the whole echo came back within 10 s
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "packwarden/CSocket.h"

using packwarden::CSocket;

class EchoClient : public packwarden::CSocketEvents {
  public:
    EchoClient(std::string host, int32_t port, std::string text) : text_(std::move(text)) {
        sock_->SetOwner(this);
        sock_->Connect(host, port);  // returns at once; OnConnect or OnError follows
    }
    bool Done() const { return done_; }
    bool Whole() const { return received_ == text_; }

  private:
    void OnConnect() override {
        std::printf("connected to %s:%d\n", sock_->RemoteHostIP().c_str(), sock_->RemotePort());
        sock_->SendData(text_);
    }
    void OnSendComplete() override { std::printf("sent %zu bytes\n", text_.size()); }
    void OnDataArrival(int32_t bytesTotal) override {
        packwarden::Variant data;
        sock_->GetData(data);
        received_ += data.AsString();
        std::printf("received %d bytes: %s\n", bytesTotal, data.AsString().c_str());
        if (received_.size() >= text_.size()) {
            sock_->CloseSocket();  // no OnClose for a close of our own
            done_ = true;
        }
    }
    void OnClose() override {  // the server closed first
        done_ = true;
    }
    // A refused connection, a name not found, a reset: Number is a Winsock error number.
    void OnError(int16_t number, std::string& text, int32_t, const std::string&, const std::string&,
                 int32_t, bool&) override {
        std::fprintf(stderr, "tcp_client: %s (%d)\n", text.c_str(), number);
        done_ = true;
    }

    std::shared_ptr<CSocket> sock_ = CSocket::Create();
    std::string text_;
    std::string received_;
    bool done_ = false;
};

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: tcp_client HOST PORT TEXT\n");
        return 2;
    }
    try {
        EchoClient client(argv[1], std::atoi(argv[2]), argv[3]);
        if (!MSocketSupport::RunUntil([&] { return client.Done(); }, std::chrono::seconds(10))) {
            std::fprintf(stderr, "tcp_client: no answer within 10 s\n");
        }
        MSocketSupport::FinishPendingCloses(std::chrono::seconds(5));
        return client.Whole() ? 0 : 1;
    } catch (const MSocketSupport::SocketError& error) {  // Connect refused what it was given
        std::fprintf(stderr, "tcp_client: %s (%d)\n", error.what(), error.Number);
        return 1;
    }
}
