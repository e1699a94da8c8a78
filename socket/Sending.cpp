// SPDX-License-Identifier: MIT
// CSocket: the send side. SendData appends to the send buffer and offers the whole buffer to
// the network; what is not taken goes out on the next write notification.
#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>

#include "CSocketInternal.h"
#include "Securing.h"
#include "packwarden/CSocket.h"

namespace packwarden {

namespace Platform = MSocketSupport::Platform;
using namespace detail;

void CSocket::SendData(const Variant& varData) {
    // A handler of OnSendProgress may release the owner's last reference. Inside a dispatch
    // or another operation of this object a frame below already holds it (the common case:
    // a reply sent from OnDataArrival); otherwise this call holds it. The reference and the
    // SelfHold go together, or Abandoned() would count a frame that holds nothing.
    std::shared_ptr<CSocket> self;
    std::optional<SelfHold> held;
    if (selfHolds_ == 0) {
        self = shared_from_this();
        held.emplace(selfHolds_);
    }
    try {
        if (m_.Protocol != ProtocolTcp) {
            Platform::Address to;
            const bool v6 = Platform::ParseAddress(m_.RemoteHostIP, to) && to.IsV6();
            if (!(v6 ? EnsureFamily(true) : EnsureSocket())) {
                return;
            }
        } else if (m_.SocketHandle == -1) {
            throw MSocketSupport::SocketError(
                WrongProtocolOrStateError, "CSocket.SendData",
                "Wrong protocol or connection state for the requested transaction or request.");
        } else if (m_.State == StateClosing) {
            // CloseSocket ended the sending direction, even while its shutdown waits for the
            // bytes handed over before it.
            throw SocketFailure(WsaEShutdown, "CSocket.SendData");
        }
        // Text and byte arrays are read in place; numbers are built.
        Variant::Bytes built;
        std::optional<std::string_view> view = varData.WireView();
        if (!view) {
            built = varData.WireBytes();
            view = std::string_view(reinterpret_cast<const char*>(built.data()), built.size());
        }
        const std::string_view bytes = *view;
        if (bytes.empty()) {
            // Nothing to hand over: no send, no event, the buffer as it was.
            return;
        }
        m_.SendPending = true;
        if (m_.Protocol == ProtocolTcp && m_.SendBuffer.empty()) {
            // Nothing waits: offer the caller's bytes as they are; only what the network
            // leaves is copied into the buffer.
            SendBufferedData(bytes);
            return;
        }
        // Appended, never replaced: bytes still waiting from an earlier call go out first.
        if (m_.Protocol != ProtocolTcp) {
            if (datagrams_.empty() && !m_.SendBuffer.empty()) {
                datagrams_.push_back(m_.SendBuffer.size());  // left over from a stream
            }
            datagrams_.push_back(bytes.size());
        }
        m_.SendBuffer.append(bytes);
        SendBufferedData();
    } catch (const MSocketSupport::SocketError& e) {
        if (e.Number == WsaENotSock) {
            throw MSocketSupport::SocketError(
                WrongProtocolOrStateError, "CSocket.SendData",
                "Wrong protocol or connection state for the requested transaction or request.");
        }
        throw Resourced(e, "CSocket.SendData");
    }
}

// Offers SendBuffer, or, when it is empty, `fresh` (the caller's bytes, read in place).
void CSocket::SendBufferedData(std::string_view fresh) {
    if (secure_ && m_.Protocol == ProtocolTcp && secure_->on) {
        SecureSend(fresh);  // plaintext into the session, ciphertext out
        return;
    }
    const int32_t handle = m_.SocketHandle;
    for (;;) {
        m_.SendPending = true;
        int32_t sent = 0;
        if (m_.Protocol == ProtocolTcp) {
            datagrams_.clear();  // a stream keeps no boundaries
            sent = fresh.empty()
                       ? Platform::send(handle, m_.SendBuffer.data(), m_.SendBuffer.size())
                       : Platform::send(handle, fresh.data(), fresh.size());
        } else if (m_.RemoteHostIP.empty()) {
            // The destination is a name: the datagram waits for the lookup (PostGetHostEvent).
            if (m_.LookupPurpose == LookupForSend && m_.LookupHandle != 0 &&
                MSocketSupport::LookupOwner(m_.LookupHandle) != nullptr) {
                return;  // already under way; its completion sends everything waiting
            }
            m_.LookupPurpose = LookupForSend;
            MSocketSupport::ErrorRecord recorded;
            if (!StartLookup(recorded)) {
                // Otherwise the datagrams would wait for a completion that never comes, and go
                // out with a later call.
                DropWaitingDatagrams();
                if (recorded.Empty()) {
                    throw SocketFailure(WsaENoBufs, "CSocket.SendData");
                }
                throw MSocketSupport::SocketError(recorded.Number, "CSocket.SendData",
                                                  recorded.Description);
            }
        } else {
            // One SendData, one datagram: values waiting together are not merged.
            // An address that does not parse goes to 255.255.255.255, as inet_addr's answer did.
            Platform::Address to = Platform::Address::V4(InaddrNone);
            Platform::ParseAddress(m_.RemoteHostIP, to);
            sent = Platform::sendto(handle, m_.SendBuffer.data(), FirstDatagramLength(),
                                    ForSocket(to), NetworkPort(m_.RemotePort));
            if (sent != -1 && !datagrams_.empty()) {
                datagrams_.pop_front();
            }
        }

        if (sent == -1) {
            const int32_t error = Platform::LastPlatformError();
            if (error == WsaEWouldBlock) {
                // The caller's bytes wait in the buffer like any others.
                m_.SendBuffer.append(fresh);
                return;  // the bytes wait for the next write notification
            }
            if (m_.Protocol != ProtocolTcp) {
                // The datagram the network refused is reported and dropped: it must not go
                // out later, with another call's bytes or to another address.
                DropFirstDatagram();
            } else {
                m_.SendBuffer.append(fresh);
                if (flags_.closeAfterSend) {
                    PostWriteCheck();  // the teardown waiting for this send must not wait on
                }
            }
            throw SocketFailure(error, "CSocket.SendData");
        }
        if (!fresh.empty()) {
            // Only what the network left of the caller's bytes is kept (nothing, usually).
            m_.SendBuffer.append(fresh.substr(static_cast<std::size_t>(sent)));
            fresh = {};
        } else {
            m_.SendBuffer.consume(static_cast<std::size_t>(sent));
        }
        if (m_.SendBuffer.empty()) {
            if (flags_.shutdownWhenSent) {
                ShutDownSending();  // CloseSocket came while these bytes waited
            }
            // OnSendComplete comes from the loop, after the caller has returned.
            MSocketSupport::PostSocketRecord(handle, MSocketSupport::FD_WRITE);
        }
        RaiseSendProgress(static_cast<std::size_t>(sent), m_.SendBuffer.size());

        // What is left goes again at once (the rest of a stream, the next datagram): only a
        // send that would block makes the platform report writability later.
        if (m_.SendBuffer.empty() || sent == 0 || m_.SocketHandle != handle) {
            return;
        }
    }
}

// Queues a write notification for this object: the loop then sends what waits, or finds
// that nothing can be sent any more.
void CSocket::PostWriteCheck() {
    MSocketSupport::PostSocketRecord(m_.SocketHandle, MSocketSupport::FD_WRITE);
}

// The bytes of the oldest waiting datagram: one SendData, one datagram.
std::size_t CSocket::FirstDatagramLength() const {
    return datagrams_.empty() ? m_.SendBuffer.size()
                              : std::min(datagrams_.front(), m_.SendBuffer.size());
}

// Datagrams whose sending failed: the oldest waiting one, or all that wait for a lookup.
void CSocket::DropFirstDatagram() {
    m_.SendBuffer.consume(FirstDatagramLength());
    if (!datagrams_.empty()) {
        datagrams_.pop_front();
    }
}

void CSocket::DropWaitingDatagrams() {
    m_.SendBuffer.reset();
    datagrams_.clear();
}

}  // namespace packwarden
