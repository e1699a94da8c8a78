// SPDX-License-Identifier: MIT
// Helpers shared by the CSocket sources for secure connections; not part of the public contract.
// Everything secure lives in one block the object allocates only once Secure is set, so a plain
// socket carries a single null pointer for it.
#pragma once

#include <memory>
#include <string>

#include "packwarden/ByteBuffer.h"
#include "packwarden/CSocket.h"
#include "tls/TlsSession.h"

namespace packwarden::detail {

struct SecureLink {
    bool on = false;  // the Secure property
    bool up = false;  // the session's handshake has been seen through (SecureUp)
    // A listener's certificate and key, shared by the sessions of what it accepts.
    std::shared_ptr<const tls::ServerCredentials> credentials;
    std::string name;  // the host a client verifies: the one given to Connect
    std::unique_ptr<tls::TlsSession> session;  // while connected; holds the unsent ciphertext
};

}  // namespace packwarden::detail

namespace packwarden {

inline bool CSocket::SecureOn() const {
    return secure_ && secure_->on;
}

inline tls::TlsSession* CSocket::Session() const {
    return secure_ ? secure_->session.get() : nullptr;
}

}  // namespace packwarden
