// SPDX-License-Identifier: MIT
// The socket layer's side of the benchmarks: a CSocket listener on 127.0.0.1 (or ::1) and a
// client connect, both driven by the service's own loop.
#pragma once

#include <functional>
#include <memory>
#include <string>

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

}  // namespace bench
