// SPDX-License-Identifier: MIT
// The socket layer's side of the benchmarks: a CSocket listener on 127.0.0.1 (or ::1) and a
// client connect, both driven by the service's own loop.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "packwarden/CSocket.h"
#include "packwarden/detail/Platform.h"

namespace bench {

using packwarden::CSocket;
using packwarden::CSocketEvents;
using packwarden::Variant;

// The loopback address of each family, as the owner passes it.
constexpr const char* LoopbackV4 = "127.0.0.1";
constexpr const char* LoopbackV6 = "::1";

// Listens on `host` (a loopback literal), an ephemeral port; every connection request goes to
// `onRequest`. `configure` sets what must be set before the bind (a secure listener's
// certificate).
class CSocketListener : public CSocketEvents {
  public:
    explicit CSocketListener(std::function<void(int32_t)> onRequest, const char* host = LoopbackV4,
                             const std::function<void(CSocket&)>& configure = nullptr)
        : socket_(CSocket::Create()), onRequest_(std::move(onRequest)) {
        socket_->SetOwner(this);
        if (configure) {
            configure(*socket_);
        }
        socket_->Bind(0, host);
        socket_->Listen();
        uint16_t port = 0;
        MSocketSupport::Platform::getsockname(socket_->SocketHandle(), nullptr, &port);
        port_ = ntohs(port);
    }
    ~CSocketListener() override { socket_->SetOwner(nullptr); }
    CSocketListener(const CSocketListener&) = delete;
    CSocketListener& operator=(const CSocketListener&) = delete;

    uint16_t Port() const { return port_; }
    void OnConnectionRequest(int32_t requestID) override { onRequest_(requestID); }

  private:
    std::shared_ptr<CSocket> socket_;
    std::function<void(int32_t)> onRequest_;
    uint16_t port_ = 0;
};

// A fresh CSocket that takes over an accepted connection.
inline std::shared_ptr<CSocket> AcceptInto(int32_t requestID, CSocketEvents* owner) {
    auto s = CSocket::Create();
    s->SetOwner(owner);
    s->Accept(requestID);
    return s;
}

// A CSocket connecting to host:port (a loopback literal); OnConnect tells the owner when it
// is up (a secure one's once the handshake has verified the server).
inline std::shared_ptr<CSocket> ConnectTo(uint16_t port, CSocketEvents* owner,
                                          const char* host = LoopbackV4, bool secure = false) {
    auto s = CSocket::Create();
    s->SetOwner(owner);
    s->Secure(secure);
    s->Connect(Variant(host), Variant(static_cast<int32_t>(port)));
    return s;
}

// Bulk transfers (bench_bulk, bench_tls): the receiving end takes everything waiting into one
// value it keeps, as the other peers keep one buffer (an owner after throughput reuses it).
class BulkReceiver : public CSocketEvents {
  public:
    std::shared_ptr<CSocket> socket;
    uint64_t received = 0;
    void OnDataArrival(int32_t bytesTotal) override {
        socket->GetData(data_);  // everything waiting
        received += static_cast<uint64_t>(bytesTotal);
    }

  private:
    Variant data_;
};

// The sending end: the same chunk again each time the last one has gone, `left` bytes in all
// (a whole number of chunks).
class BulkSender : public CSocketEvents {
  public:
    explicit BulkSender(const std::vector<uint8_t>& pattern)
        : chunk(Variant::Bytes(pattern)), size_(pattern.size()) {}
    std::shared_ptr<CSocket> socket;
    Variant chunk;
    uint64_t left = 0;
    bool connected = false;
    void OnConnect() override { connected = true; }
    void OnSendComplete() override { Next(); }
    void Next() {
        if (left == 0) {
            return;
        }
        left -= size_;
        socket->SendData(chunk);
    }

  private:
    std::size_t size_;
};

// Ping-pong (bench_pingpong, bench_tls). Each end keeps the value it takes data into, as the
// other peers keep their buffers: a fresh value per message would add an allocation and a
// release that none of them makes.
class EchoEnd : public CSocketEvents {
  public:
    std::shared_ptr<CSocket> socket;
    void OnDataArrival(int32_t) override {
        socket->GetData(data_);
        socket->SendData(data_);
    }

  private:
    Variant data_;
};

// The client end: a request of `message` bytes, sent again as each whole reply is taken while
// `running`.
class PingClient : public CSocketEvents {
  public:
    explicit PingClient(std::size_t message)
        : request(std::string(message, 'p')), message_(message) {}
    std::shared_ptr<CSocket> socket;
    Variant request;
    bool connected = false;
    bool running = false;
    uint64_t trips = 0;
    void OnConnect() override { connected = true; }
    void OnDataArrival(int32_t bytesTotal) override {
        if (static_cast<std::size_t>(bytesTotal) < message_) {
            return;  // the rest of the reply is still on its way
        }
        socket->GetData(reply_, Variant(), Variant(static_cast<int32_t>(message_)));
        ++trips;
        if (running) {
            socket->SendData(request);
        }
    }

  private:
    std::size_t message_;
    Variant reply_;
};

}  // namespace bench
