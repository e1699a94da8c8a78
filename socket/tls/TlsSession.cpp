// SPDX-License-Identifier: MIT
// What every backend shares: the buffers the owner reads and takes from, the end of stream, and
// the first failure.
#include "tls/TlsSession.h"

#include <algorithm>
#include <cstring>

#include "packwarden/MSocketSupport.h"

namespace packwarden::tls {

namespace {

// Takes up to `cap` bytes from the head of `buffer`.
std::size_t TakeFrom(ByteBuffer& buffer, void* out, std::size_t cap) {
    const std::size_t n = std::min(cap, buffer.size());
    if (n > 0) {
        std::memcpy(out, buffer.data(), n);
        buffer.consume(n);
    }
    return n;
}

}  // namespace

void TlsSession::FeedEnd() {
    if (Failed() || peerClosed_ || peerGone_) {
        return;
    }
    if (!handshakeDone_) {
        Fail(MSocketSupport::TlsHandshakeFailed, "the peer closed the connection during it");
        return;
    }
    peerGone_ = true;
}

void TlsSession::Shutdown() {
    if (shutdown_) {
        return;
    }
    shutdown_ = true;
    if (handshakeDone_) {
        SendCloseNotify();
    }
}

std::size_t TlsSession::ReadPlaintext(void* out, std::size_t cap) {
    return TakeFrom(plain_, out, cap);
}

std::size_t TlsSession::TakeCiphertext(void* out, std::size_t cap) {
    return TakeFrom(out_, out, cap);
}

void TlsSession::Fail(int32_t number, const std::string& detail) {
    if (Failed()) {
        return;
    }
    error_.number = number;
    error_.description = MSocketSupport::SocketErrorText(number);
    if (!detail.empty()) {
        error_.description += " (" + detail + ")";
    }
}

}  // namespace packwarden::tls
