// SPDX-License-Identifier: MIT
// CSocket: binding, listening and taking over accepted connections.
#include "CSocketInternal.h"
#include "Securing.h"
#include "packwarden/CSocket.h"

namespace packwarden {

namespace Platform = MSocketSupport::Platform;
using namespace detail;

void CSocket::Bind(int32_t lngLocalPort, const std::string& strLocalIP) {
    const auto self = shared_from_this();
    const SelfHold held(selfHolds_);
    try {
        if (!EnsureSocket()) {
            return;
        }
        if (!strLocalIP.empty()) {
            m_.LocalIP = strLocalIP;
        }
        if (lngLocalPort > 0) {
            m_.LocalPort = lngLocalPort;
        }
        Platform::Address address = Platform::Address::V4(0);
        if (!m_.LocalIP.empty() && !Platform::ParseAddress(m_.LocalIP, address)) {
            // Text that is no address, and the limited broadcast, which parses the same way.
            throw SocketFailure(WsaEAddrNotAvail, "CSocket.Bind");
        }
        if (m_.LocalIP.empty() && m_.Protocol == ProtocolTcp) {
            // No address: both families, on one IPv6 handle that maps IPv4 peers.
            if (!EnsureBothFamilies()) {
                return;
            }
            if (socketV6_) {
                address = Platform::Address::V6({});
            }
        } else if (!EnsureFamily(address.IsV6())) {
            return;
        }
        const uint16_t port = NetworkPort(m_.LocalPort);
        if (m_.Protocol == ProtocolTcp) {
            // A server restarted on its port must not wait for its old connections to leave
            // TIME_WAIT; a port that someone listens on is still refused.
            Platform::AllowRebind(m_.SocketHandle);
        }
        if (Platform::bind(m_.SocketHandle, address, port) == -1) {
            throw PlatformFailure("CSocket.Bind");
        }
        m_.IsBound = true;
    } catch (const MSocketSupport::SocketError& e) {
        throw Resourced(e, "CSocket.Bind");
    }
}

void CSocket::Listen() {
    const auto self = shared_from_this();
    const SelfHold held(selfHolds_);
    try {
        if (SecureOn() && m_.Protocol == ProtocolTcp && !secure_->credentials) {
            // Every connection would fail its handshake: say so now, to the one who can fix it.
            throw SocketFailure(MSocketSupport::TlsCredentials, "CSocket.Listen");
        }
        if (!EnsureSocket()) {
            return;
        }
        if (!m_.IsBound) {
            Bind(0, std::string());
        }
        if (Platform::listen(m_.SocketHandle, ListenBacklog) == -1) {
            const int32_t error = Platform::LastPlatformError();
            m_.State = StateError;
            throw SocketFailure(error, "CSocket.Listen");
        }
        m_.State = StateListening;
    } catch (const MSocketSupport::SocketError& e) {
        throw Resourced(e, "CSocket.Listen");
    }
}

void CSocket::Accept(int32_t requestID) {
    const auto self = shared_from_this();
    const SelfHold held(selfHolds_);
    try {
        if (requestID < 0) {
            throw SocketFailure(WsaENotSock, "CSocket.Accept");
        }
        if (m_.SocketHandle != -1) {
            // Replacing a handle without closing it would leak it.
            DestroySocket();
        }
        m_.SocketHandle = requestID;

        Platform::Address address;
        uint16_t port = 0;
        if (Platform::getsockname(requestID, &address, &port) == 0) {
            socketV6_ = address.IsV6();
            m_.LocalPort = HostPort(port);
            m_.LocalIP = Platform::AddressText(address);
            m_.LocalHostName = m_.LocalIP;
        }
        if (Platform::getpeername(requestID, &address, &port) == 0) {
            m_.RemotePort = HostPort(port);
            m_.RemoteHostIP = Platform::AddressText(address);
            m_.RemoteHost = m_.RemoteHostIP;
        }
        int32_t type = 0;
        if (Platform::getsockopt(requestID, SolSocket, SoType, &type) == 0) {
            m_.Protocol = type == SockStream ? ProtocolTcp : ProtocolUdp;
        }
        if (m_.Protocol == ProtocolTcp) {
            ForgetUnsentStream();
        }
        ReadBufferSizes();

        MSocketSupport::CurrentError().Clear();
        if (!MSocketSupport::RegisterSocket(requestID, SinkReference())) {
            const MSocketSupport::ErrorRecord recorded = MSocketSupport::CurrentError();
            if (recorded.Empty()) {
                // Already registered: another object owns this handle, so it is not ours to
                // keep or to close.
                m_.SocketHandle = -1;
                throw SocketFailure(WsaEInval, "CSocket.Accept");
            }
            throw MSocketSupport::SocketError(recorded.Number, recorded.Source,
                                              recorded.Description);
        }
        m_.State = StateConnected;
        AcceptSecure(requestID);  // a secure listener's connection: the server handshake
    } catch (const MSocketSupport::SocketError& e) {
        throw Resourced(e, "CSocket.Accept");
    }
}

}  // namespace packwarden
