// SPDX-License-Identifier: MIT
// CSocket: construction, destruction, properties and the creation of the handle.
#include "packwarden/CSocket.h"

#include "CSocketInternal.h"
#include "ConnectRace.h"
#include "Securing.h"

namespace packwarden {

namespace Platform = MSocketSupport::Platform;
using namespace detail;

// detail::CSocketMembers starts from these without seeing the enumerations.
static_assert(StateClosed == 0 && ProtocolTcp == 0 && LookupForConnect == 0);

std::shared_ptr<CSocket> CSocket::Create() {
    auto socket = std::make_shared<CSocket>(ConstructionKey());
    socket->self_ = socket;
    return socket;
}

CSocket::CSocket(ConstructionKey) : receiveLimit_(DefaultReceiveBufferLimit) {
    m_.SocketHandle = -1;
    // A service that cannot start fails the construction with its own error.
    m_.MaxDatagramSize = MSocketSupport::InitWinsockService();
}

CSocket::~CSocket() {
    // A destructor must not throw: a failure to close is dropped (the descriptor is released
    // by close on Linux whatever it reports), and the service is still asked to shut down.
    try {
        if (m_.SocketHandle != -1) {
            DestroySocket();  // and the attempts of a connect under way
        }
        MSocketSupport::ClearDeadline(this);
    } catch (...) {
    }
    try {
        MSocketSupport::CleanupWinsockService();
    } catch (...) {
    }
}

void CSocket::Protocol(int32_t NewValue) {
    // The protocol of an existing handle cannot change.
    if (m_.SocketHandle == -1) {
        m_.Protocol = NewValue;
    }
}

// The weak reference under which the service knows this object.
std::weak_ptr<MSocketSupport::SocketEventSink> CSocket::SinkReference() {
    // The base is private: convert here, where it is accessible, and share ownership with
    // the object itself.
    std::shared_ptr<CSocket> self = shared_from_this();
    return std::shared_ptr<MSocketSupport::SocketEventSink>(
        self, static_cast<MSocketSupport::SocketEventSink*>(this));
}

// Starts the lookup of RemoteHost into LookupHandle. False when it could not start, with
// what the service recorded (empty when it recorded nothing).
bool CSocket::StartLookup(MSocketSupport::ErrorRecord& failure) {
    std::string host = m_.RemoteHost;
    MSocketSupport::CurrentError().Clear();  // so a failure that records nothing reads as such
    m_.LookupHandle = MSocketSupport::ResolveHost(host, SinkReference());
    if (m_.LookupHandle != 0) {
        return true;
    }
    failure = MSocketSupport::CurrentError();
    return false;
}

int32_t CSocket::vbSocket(bool v6) {
    const bool datagram = m_.Protocol == ProtocolUdp;
    const int32_t family = v6 ? Platform::FamilyNumber(Platform::Address::Family::V6) : AfInet;
    const int32_t handle = Platform::socket(family, datagram ? SockDgram : SockStream,
                                            datagram ? IpProtoUdp : IpProtoTcp);
    if (handle == -1) {
        return -1;
    }
    bool registered = false;
    try {
        registered = MSocketSupport::RegisterSocket(handle, SinkReference());
    } catch (...) {
        registered = false;
    }
    if (!registered) {
        Platform::closesocket(handle);
        return -1;
    }
    return handle;
}

bool CSocket::EnsureSocket(bool v6) {
    if (m_.SocketHandle != -1) {
        return true;
    }
    m_.SocketHandle = vbSocket(v6);
    if (m_.SocketHandle == -1) {
        return false;
    }
    socketV6_ = v6;
    dualStack_ = false;
    if (m_.Protocol == ProtocolTcp) {
        ForgetUnsentStream();
    }
    ReadBufferSizes();
    return true;
}

// A handle of the family an address needs. A fresh handle of the other family (made before
// the address was known) is replaced; one already bound, connected or listening cannot change
// family, and the address is refused as the platform would refuse it.
bool CSocket::EnsureFamily(bool v6) {
    if (m_.SocketHandle != -1 && socketV6_ != v6 && !(dualStack_ && !v6)) {
        if (m_.IsBound || m_.State != StateClosed) {
            throw SocketFailure(MSocketSupport::WsaEAfNoSupport, "CSocket.EnsureFamily");
        }
        DestroySocket();
    }
    return EnsureSocket(v6);
}

// An IPv6 handle that takes IPv4 peers as well, where the system has IPv6; an IPv4 handle
// where it has not. False when there is no handle at all.
bool CSocket::EnsureBothFamilies() {
    if (m_.SocketHandle != -1 && (dualStack_ || m_.IsBound || m_.State != StateClosed)) {
        return true;
    }
    if (m_.SocketHandle == -1 || !socketV6_) {
        DestroySocket();
        if (!EnsureSocket(true)) {
            return EnsureSocket(false);  // no IPv6 here
        }
    }
    if (Platform::AllowBothFamilies(m_.SocketHandle) == 0) {
        dualStack_ = true;
        return true;
    }
    DestroySocket();  // IPv6 alone would shut IPv4 peers out
    return EnsureSocket(false);
}

// An address in the form the handle's calls take: IPv4 through a dual-stack handle is mapped.
Platform::Address CSocket::ForSocket(const Platform::Address& a) const {
    return socketV6_ && !a.IsV6() ? a.Mapped() : a;
}

// Drops what a previous stream connection left unsent, when a new handle takes over.
void CSocket::ForgetUnsentStream() {
    // Bytes a closed connection never sent belong to that connection; on a new one they would
    // precede the new data. (Datagrams keep their destination and still go out.)
    m_.SendBuffer.reset();
    datagrams_.clear();
    m_.SendPending = false;
}

}  // namespace packwarden
