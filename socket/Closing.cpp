// SPDX-License-Identifier: MIT
// CSocket: closing the connection and releasing the handle.
#include "CSocketInternal.h"
#include "Securing.h"
#include "packwarden/CSocket.h"

namespace packwarden {

namespace Platform = MSocketSupport::Platform;
using namespace detail;

void CSocket::CloseSocket() {
    const auto self = shared_from_this();
    const SelfHold held(selfHolds_);
    try {
        if (m_.SocketHandle == -1) {
            return;
        }
        if (m_.State != StateConnected) {
            // A lookup still under way no longer concerns this object.
            m_.LookupHandle = 0;
            DestroySocket();
            m_.State = StateClosed;
            return;
        }
        // Graceful: stop sending only, so the peer's remaining data and its close still
        // arrive; FD_CLOSE then destroys the handle and raises OnClose.
        m_.State = StateClosing;
        if (!m_.SendBuffer.empty()) {
            // Bytes already handed over go first; the last send shuts the direction down.
            flags_.shutdownWhenSent = true;
            return;
        }
        ShutDownSending();
    } catch (...) {
        // Closing never fails for the caller.
    }
}

// CloseSocket's shutdown of the sending direction, now or once the send buffer is empty.
void CSocket::ShutDownSending() {
    if (Session() != nullptr && !SecureCloseSent()) {
        flags_.shutdownWhenSent = true;  // the close notice waits for the network
        return;
    }
    flags_.shutdownWhenSent = false;
    if (Platform::shutdown(m_.SocketHandle, SdSend) == -1) {
        throw PlatformFailure("CSocket.CloseSocket");
    }
    flags_.sendShutDown = true;
}

void CSocket::Abort() {
    const auto self = shared_from_this();
    const SelfHold held(selfHolds_);
    ForgetUnsentStream();
    if (m_.SocketHandle == -1) {
        return;
    }
    // No lingering: what the network still holds for the peer is dropped with the connection.
    Platform::setsockopt(m_.SocketHandle, SolSocket, SoLinger, 0);
    m_.LookupHandle = 0;
    try {
        DestroySocket(/*abortive=*/true);
    } catch (...) {
    }
    m_.State = StateClosed;
}

// True when DestroySocket is to hand the handle over rather than close it (see above).
bool CSocket::ClosesGracefully() const {
    // An established stream, not broken: bytes may still be owed either way. After the peer's
    // close has been read to its end with nothing left to send, a plain close is clean.
    if (m_.Protocol != ProtocolTcp || (m_.State != StateConnected && m_.State != StateClosing)) {
        return false;
    }
    return !(flags_.peerClosed && m_.SendBuffer.empty());
}

// Closes the handle, or hands it over for a graceful close; `abortive` (Abort) never does.
void CSocket::DestroySocket(bool abortive) {
    m_.ReceiveBuffer.reset();
    EndRace();  // attempts of a connect under way go with the handle
    if (m_.SocketHandle == -1) {
        return;
    }
    const int32_t handle = m_.SocketHandle;
    const bool graceful = !abortive && ClosesGracefully();
    const bool shutDown = flags_.sendShutDown;
    // A secure stream hands over ciphertext: the rest of the owner's bytes and the close notice.
    std::string unsent = !graceful              ? std::string()
                         : Session() != nullptr ? SecureRemainder()
                                                : std::string(m_.SendBuffer.view());
    if (secure_) {
        secure_->session.reset();
        secure_->up = false;
    }
    // Per-connection flags go with the handle.
    flags_ = {};
    if (graceful) {
        // Registered: the service finishes the close. (Not registered: an accepted handle
        // whose registration failed; it is closed below like any other.)
        if (MSocketSupport::HandOverClose(handle, std::move(unsent), shutDown)) {
            m_.SendBuffer.reset();
            m_.SocketHandle = -1;
            m_.IsBound = false;
            m_.BroadcastEnabled = false;
            return;
        }
    }
    try {
        MSocketSupport::DeregisterSocket(handle);
    } catch (...) {
        // Not registered (an accepted handle whose registration failed): close it anyway.
    }
    const int32_t result = Platform::closesocket(handle);
    const int32_t error = Platform::LastPlatformError();
    // close releases the descriptor even when it reports an error, so the handle is gone
    // either way; keeping its number would later close a descriptor reused by someone else.
    m_.SocketHandle = -1;
    m_.IsBound = false;
    m_.BroadcastEnabled = false;
    if (result == -1) {
        throw SocketFailure(error, "CSocket.DestroySocket");
    }
}

}  // namespace packwarden
