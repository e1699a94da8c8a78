// SPDX-License-Identifier: MIT
// CSocket: network notifications from the service become state changes and owner events.
#include <limits>

#include "CSocketInternal.h"
#include "Securing.h"
#include "packwarden/CSocket.h"

namespace packwarden {

namespace Platform = MSocketSupport::Platform;
using namespace detail;

// Raise an event to the owner, if any.
void CSocket::RaiseError(int32_t number, const std::string& source, std::string description) {
    if (number < std::numeric_limits<int16_t>::min() ||
        number > std::numeric_limits<int16_t>::max()) {
        throw Overflow("CSocket.PostSocketEvent");
    }
    if (description.empty()) {
        description = MSocketSupport::SocketErrorText(number);
    }
    bool cancelDisplay = false;
    if (CSocketEvents* owner = Listener()) {
        owner->OnError(static_cast<int16_t>(number), description, 0, source, std::string(), 0,
                       cancelDisplay);
    }
}

void CSocket::RaiseDataArrival() {
    if (CSocketEvents* owner = Listener()) {
        owner->OnDataArrival(Clamp32(m_.ReceiveBuffer.size()));
    }
}

void CSocket::RaiseSendProgress(std::size_t sent, std::size_t remaining) {
    if (CSocketEvents* owner = Listener()) {
        owner->OnSendProgress(Clamp32(sent), Clamp32(remaining));
    }
}

// Records the local end of a connected handle (FD_CONNECT).
void CSocket::ReadLocalEnd() {
    Platform::Address address;
    uint16_t port = 0;
    if (Platform::getsockname(m_.SocketHandle, &address, &port) != 0) {
        return;  // the local fields keep their former values
    }
    m_.LocalPort = HostPort(port);
    m_.LocalIP = Platform::AddressText(address);
    std::string name;
    m_.LocalHostName = Platform::gethostbyaddr(address, name) ? name : m_.LocalIP;
}

void CSocket::PostSocketEvent(int32_t eventCode, int32_t errorCode) {
    const SelfHold held(selfHolds_);  // the service holds the object for this call
    // Errors end the handling of this notification silently: the service discards whatever
    // escapes, so nothing is raised for them.
    try {
        if (errorCode > 0) {
            const bool handshake = Session() != nullptr && !secure_->up;
            m_.State = StateError;
            DestroySocket();
            if (handshake) {
                RaiseHandshakeFailed(MSocketSupport::SocketErrorText(errorCode));
                return;
            }
            RaiseError(errorCode, "");
            return;
        }
        const int32_t handle = m_.SocketHandle;
        switch (eventCode) {
            case MSocketSupport::FD_READ: {
                if (flags_.closePending) {
                    PeerClose(handle);  // the owner made room for the rest of a closed stream
                    break;
                }
                if (!ReceiveRoom()) {
                    // At the bound: no receive, so no further notification either, until the
                    // owner takes data (ResumeReading).
                    flags_.readSuspended = true;
                    break;
                }
                if (Session() != nullptr) {
                    SecureRead(handle);
                    break;
                }
                int32_t count = 0;
                try {
                    count = RecvToBuffer();
                } catch (const MSocketSupport::SocketError& e) {
                    if (m_.Protocol == ProtocolTcp || e.Number != WsaEMsgSize) {
                        throw;
                    }
                    // A datagram larger than the socket could take whole: lost, but never
                    // silently; the socket stays open and the next one arrives.
                    RaiseError(e.Number, "");
                    break;
                }
                const int64_t total = int64_t{m_.BytesReceived} + count;
                if (total > std::numeric_limits<int32_t>::max()) {
                    throw Overflow("CSocket.PostSocketEvent");
                }
                m_.BytesReceived = static_cast<int32_t>(total);
                if (count > 0) {
                    RaiseDataArrival();
                }
                break;
            }
            case MSocketSupport::FD_WRITE:
                try {
                    if (!m_.SendBuffer.empty() || (Session() != nullptr && SecureWaiting())) {
                        SendBufferedData();
                    } else if (m_.SendPending) {
                        m_.SendPending = false;
                        if (CSocketEvents* owner = Listener()) {
                            owner->OnSendComplete();
                        }
                    }
                } catch (const MSocketSupport::SocketError&) {
                    if (!flags_.closeAfterSend || m_.SocketHandle != handle) {
                        throw;
                    }
                    // The peer has gone altogether: what is left cannot be delivered.
                    m_.SendBuffer.reset();
                    m_.SendPending = false;
                }
                if (flags_.closeAfterSend && m_.SocketHandle == handle && !Abandoned() &&
                    m_.SendBuffer.empty() && !m_.SendPending) {
                    PeerClose(handle);  // our side has finished too
                }
                break;
            case MSocketSupport::FD_ACCEPT: {
                Platform::Address address;
                uint16_t port = 0;
                const int32_t accepted = Platform::accept(handle, &address, &port);
                // A failed accept has no connection to offer; the listener stays listening.
                if (accepted != -1) {
                    OfferAccepted(accepted);
                    if (CSocketEvents* owner = Listener()) {
                        owner->OnConnectionRequest(accepted);
                    } else {
                        Platform::closesocket(accepted);  // nobody to take it: not leaked
                    }
                }
                break;
            }
            case MSocketSupport::FD_CONNECT:
                if (SecureOn() && m_.Protocol == ProtocolTcp) {
                    StartSecureClient();  // OnConnect once the server is verified
                    break;
                }
                giveUp_ = std::chrono::steady_clock::time_point::max();
                MSocketSupport::ClearDeadline(this);
                ReadLocalEnd();
                m_.State = StateConnected;
                if (CSocketEvents* owner = Listener()) {
                    owner->OnConnect();
                }
                break;
            case MSocketSupport::FD_CLOSE:
                PeerClose(handle);
                break;
            default:
                break;
        }
    } catch (...) {
    }
}

// FD_CLOSE: reads what the peer sent before its close, then tears down and raises
// OnClose; waits instead while the receive buffer is at its bound.
void CSocket::PeerClose(int32_t handle) {
    // Drain what the peer sent before its close; it must reach the owner before the teardown
    // empties the buffer.
    flags_.closePending = false;
    while (!flags_.peerClosed) {
        if (!ReceiveRoom()) {
            // The rest waits in the network until the owner takes data (ResumeReading).
            flags_.closePending = true;
            flags_.readSuspended = true;
            return;
        }
        int32_t count = 0;
        try {
            count = RecvToBuffer();
        } catch (const MSocketSupport::SocketError& e) {
            if (e.Number == WsaEWouldBlock) {
                break;  // nothing more is waiting
            }
            // The connection broke during the drain (a reset): end it as an error
            // notification would, rather than leave a dead handle behind.
            m_.State = StateError;
            DestroySocket();
            RaiseError(e.Number, "", e.Description);
            return;
        }
        if (count <= 0) {
            break;
        }
        RaiseDataArrival();
        if (m_.SocketHandle != handle || Abandoned() || flags_.closePending) {
            return;  // the owner destroyed the handle, let go of the object, or nested a drain
        }
    }
    if (Session() != nullptr && Session()->Failed()) {
        FailSecure();  // the handshake ended with the stream: an error, not a close
        return;
    }
    if (m_.State == StateConnected && (m_.SendPending || !m_.SendBuffer.empty())) {
        // The peer has finished sending, perhaps only that (a half-close): what we still send
        // goes out first, and the owner may go on sending from OnSendComplete. The teardown
        // follows once a send completes with nothing more sent (see FD_WRITE).
        flags_.closeAfterSend = true;
        if (!m_.SendBuffer.empty()) {
            // Find out from the loop whether the rest can still go: a peer that has gone
            // altogether refuses it, and then the teardown must not wait.
            PostWriteCheck();
        }
        return;
    }
    flags_.closeAfterSend = false;
    if (m_.State != StateClosing) {
        m_.State = StateClosing;
        if (!m_.SendBuffer.empty()) {
            // A last attempt; a peer that has gone may refuse it, and the teardown must happen
            // all the same (what is left is handed over with the handle).
            try {
                SendBufferedData();
            } catch (const MSocketSupport::SocketError&) {
            }
            if (m_.SocketHandle != handle) {
                return;
            }
        }
    }
    DestroySocket();
    m_.State = StateClosed;
    if (CSocketEvents* owner = Listener()) {
        owner->OnClose();
    }
}

}  // namespace packwarden
