// SPDX-License-Identifier: MIT
// CSocket: connecting to an address or to a name resolved asynchronously, and the RemoteHost
// write.
#include "CSocketInternal.h"
#include "ConnectRace.h"
#include "Securing.h"
#include "packwarden/CSocket.h"

namespace packwarden {

namespace Platform = MSocketSupport::Platform;
using namespace detail;

// Starts a non-blocking connect to address:RemotePort; State 6 while under way. RemoteHostIP
// names the address connected to, for a literal as for a name.
// Returns the Winsock error of a connect that failed outright, 0 otherwise.
int32_t CSocket::StartConnect(const Platform::Address& address) {
    const uint16_t port = NetworkPort(m_.RemotePort);
    // Linux answers a second connect on an established socket with success (it reports the
    // earlier non-blocking connect as complete); a connected socket cannot connect again.
    Platform::Address peerAddress;
    uint16_t peerPort = 0;
    if (m_.Protocol != ProtocolUdp &&
        Platform::getpeername(m_.SocketHandle, &peerAddress, &peerPort) == 0) {
        return WsaEIsConn;
    }
    if (!EnsureFamily(address.IsV6())) {
        return Platform::LastPlatformError();
    }
    m_.RemoteHostIP = Platform::AddressText(address);
    if (Platform::connect(m_.SocketHandle, ForSocket(address), port) == 0) {
        return 0;  // the platform still reports FD_CONNECT
    }
    const int32_t error = Platform::LastPlatformError();
    if (error == WsaEWouldBlock) {
        m_.State = StateConnecting;
        return 0;
    }
    return error;
}

void CSocket::Connect(const Variant& strRemoteHost, const Variant& lngRemotePort) {
    const auto self = shared_from_this();
    const SelfHold held(selfHolds_);
    try {
        if (!EnsureSocket()) {
            return;
        }
        if (!strRemoteHost.IsEmpty() && strRemoteHost.Type() != vbNull) {
            std::string host = strRemoteHost.AsString();
            if (!host.empty()) {
                m_.RemoteHost = std::move(host);
            }
        }
        if (lngRemotePort.ToNumber()) {
            m_.RemotePort = lngRemotePort.ToInt32();
        }
        if (m_.RemoteHost.empty()) {
            throw SocketFailure(WsaEAddrNotAvail, "CSocket.Connect");
        }
        if (secure_) {
            secure_->name = m_.RemoteHost;  // before a lookup replaces it with the official name
        }
        // A port that cannot be used fails here, also when a lookup would come first.
        NetworkPort(m_.RemotePort);
        m_.LookupPurpose = LookupForConnect;
        // The connect's own deadline, counted from here; a new Connect replaces the last one's.
        giveUp_ = connectTimeout_ > 0 ? std::chrono::steady_clock::now() +
                                            std::chrono::milliseconds(connectTimeout_)
                                      : std::chrono::steady_clock::time_point::max();

        Platform::Address literal;
        if (!Platform::ParseAddress(m_.RemoteHost, literal)) {
            m_.State = StateResolvingHost;
            m_.LookupHandle = 0;
            MSocketSupport::ErrorRecord recorded;
            if (!StartLookup(recorded)) {
                DestroySocket();
                if (recorded.Empty()) {
                    // The lookup could not even be set up (no buffer for its result).
                    throw SocketFailure(WsaENoBufs, "CSocket.Connect");
                }
                throw MSocketSupport::SocketError(recorded.Number, recorded.Source,
                                                  recorded.Description);
            }
            ArmDeadline();
            return;
        }

        const int32_t error = StartConnect(literal);
        ArmDeadline();
        if (error != 0) {
            throw SocketFailure(error, "CSocket.Connect");
        }
    } catch (const MSocketSupport::SocketError& e) {
        throw Resourced(e, "CSocket.CSocket.Connect");
    }
}

void CSocket::RemoteHost(const std::string& NewValue) {
    const auto self = shared_from_this();
    const SelfHold held(selfHolds_);
    m_.RemoteHost = NewValue;
    Platform::Address literal;
    if (!Platform::ParseAddress(NewValue, literal)) {
        return;
    }
    if (literal.IsV6()) {
        // Datagrams to it need a handle of its family; broadcast is IPv4's alone.
        m_.RemoteHostIP = Platform::AddressText(literal);
        if (m_.Protocol == ProtocolUdp) {
            EnsureFamily(true);
        }
        return;
    }
    m_.RemoteHostIP = NewValue;
    if (m_.Protocol != ProtocolUdp) {
        return;
    }
    if (!EnsureSocket()) {
        return;
    }
    const bool broadcast =
        NewValue.size() >= 4 && NewValue.compare(NewValue.size() - 4, 4, ".255") == 0;
    if (broadcast != m_.BroadcastEnabled) {
        if (Platform::setsockopt(m_.SocketHandle, SolSocket, SoBroadcast, broadcast ? 1 : 0) ==
            -1) {
            throw PlatformFailure("CSocket.RemoteHost");
        }
        m_.BroadcastEnabled = broadcast;
    }
}

void CSocket::PostGetHostEvent(int32_t lookupHandle, const Platform::Address* addresses,
                               std::size_t count, std::string& hostName, int32_t& errorCode) {
    const SelfHold held(selfHolds_);  // the service holds the object for this call
    // Errors end the handling silently: the service discards whatever escapes.
    try {
        Platform::Address dotted;
        if (errorCode > 0) {
            if (m_.LookupHandle == 0) {
                return;  // the owner closed the socket while the lookup was under way
            }
            if (!IsDottedAddress(hostName)) {
                m_.State = StateError;
                giveUp_ = std::chrono::steady_clock::time_point::max();
                MSocketSupport::ClearDeadline(this);
                if (m_.LookupPurpose == LookupForSend) {
                    DropWaitingDatagrams();  // reported here, so never sent later
                }
                RaiseError(errorCode, "");
                return;
            }
            dotted = Platform::Address::V4(Platform::inet_addr(hostName));
            addresses = &dotted;
            count = 1;
        }
        if (lookupHandle == 0 || lookupHandle != m_.LookupHandle || count == 0) {
            return;  // not this object's current lookup
        }
        m_.State = StateHostResolved;
        m_.RemoteHost = hostName;
        if (m_.LookupPurpose == LookupForConnect) {
            ConnectToResolved(addresses, count);
        } else if (m_.LookupPurpose == LookupForSend) {
            // Datagrams go to the name's IPv4 address, as they always have; to its IPv6 one
            // when it has no other.
            const Platform::Address* chosen = &addresses[0];
            for (std::size_t i = 0; i < count; ++i) {
                if (!addresses[i].IsV6()) {
                    chosen = &addresses[i];
                    break;
                }
            }
            m_.RemoteHostIP = Platform::AddressText(*chosen);
            if (chosen->IsV6() && !socketV6_) {
                if (m_.IsBound) {
                    // A handle bound to IPv4 cannot reach it: the datagrams are reported, and
                    // never sent later.
                    DropWaitingDatagrams();
                    RaiseError(MSocketSupport::WsaEAfNoSupport, "");
                    return;
                }
                // The handle made before the family was known; the datagrams wait in the
                // object's buffer, not in the handle.
                DestroySocket();
                if (!EnsureSocket(true)) {
                    return;
                }
            }
            if (!m_.SendBuffer.empty()) {
                SendBufferedData();
            }
        }
    } catch (...) {
    }
}

}  // namespace packwarden
