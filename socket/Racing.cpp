// SPDX-License-Identifier: MIT
// CSocket: connecting to a name with more than one address, racing them, and the connect's
// deadline.
#include <algorithm>

#include "CSocketInternal.h"
#include "ConnectRace.h"
#include "Securing.h"
#include "packwarden/CSocket.h"

namespace packwarden {

namespace Platform = MSocketSupport::Platform;
using namespace detail;

std::vector<Platform::Address> detail::RaceOrder(const Platform::Address* addresses,
                                                 std::size_t count) {
    std::vector<Platform::Address> v6;
    std::vector<Platform::Address> v4;
    for (std::size_t i = 0; i < count; ++i) {
        (addresses[i].IsV6() ? v6 : v4).push_back(addresses[i]);
    }
    std::vector<Platform::Address> order;
    order.reserve(count);
    for (std::size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
        if (i < v6.size()) {
            order.push_back(v6[i]);
        }
        if (i < v4.size()) {
            order.push_back(v4[i]);
        }
    }
    return order;
}

// A lookup for Connect has finished with `count` addresses (at least one).
void CSocket::ConnectToResolved(const Platform::Address* addresses, std::size_t count) {
    std::vector<Platform::Address> order = RaceOrder(addresses, count);
    // A connected handle stays, and its connect fails as any second connect does.
    Platform::Address peer;
    uint16_t peerPort = 0;
    const bool connected = m_.Protocol == ProtocolTcp && m_.SocketHandle != -1 &&
                           Platform::getpeername(m_.SocketHandle, &peer, &peerPort) == 0;
    if (m_.Protocol == ProtocolTcp && !m_.IsBound && !connected && order.size() > 1) {
        StartRace(std::move(order));
        return;
    }
    // One address, or a handle already bound: one attempt, from the handle's own family where
    // the name has an address of it.
    Platform::Address chosen = order.front();
    if (m_.IsBound && m_.SocketHandle != -1) {
        for (const auto& a : order) {
            if (a.IsV6() == socketV6_ || (dualStack_ && !a.IsV6())) {
                chosen = a;
                break;
            }
        }
    }
    if (!m_.IsBound && !connected && m_.SocketHandle != -1 && chosen.IsV6() != socketV6_ &&
        !(dualStack_ && !chosen.IsV6())) {
        // The handle Connect made before the family was known; one of the address's family
        // takes its place.
        DestroySocket();
    }
    m_.RemoteHostIP = Platform::AddressText(chosen);
    const int32_t error = StartConnect(chosen);
    ArmDeadline();
    if (error != 0) {
        RaiseError(error, "CSocket.PostGetHostEvent");
    }
}

void CSocket::StartRace(std::vector<Platform::Address> order) {
    EndRace();  // a race an earlier Connect left under way
    race_ = std::make_unique<ConnectRace>();
    race_->waiting = std::move(order);
    m_.State = StateConnecting;
    StartNextAttempt();
    if (race_->attempts.empty()) {
        // Every address failed at once.
        const int32_t error = race_->lastError;
        m_.State = StateError;
        giveUp_ = ConnectRace::Clock::time_point::max();
        DestroySocket();
        RaiseError(error, "");
        return;
    }
    ArmDeadline();
}

// Starts the next waiting address, and, while each fails at once, the one after it.
void CSocket::StartNextAttempt() {
    const uint16_t port = NetworkPort(m_.RemotePort);
    while (race_->Waiting()) {
        const Platform::Address address = race_->waiting[race_->next++];
        // Each attempt has a handle of its own family, registered for this object.
        const int32_t handle = vbSocket(address.IsV6());
        if (handle == -1) {
            race_->lastError = Platform::LastPlatformError();
            continue;
        }
        int32_t error = 0;
        if (Platform::connect(handle, address, port) != 0) {
            error = Platform::LastPlatformError();
        }
        if (error != 0 && error != WsaEWouldBlock) {
            race_->lastError = error;
            try {
                MSocketSupport::DeregisterSocket(handle);
            } catch (...) {
            }
            Platform::closesocket(handle);
            continue;
        }
        race_->attempts.push_back({handle, address});
        race_->nextStart = ConnectRace::Clock::now() + AttemptHeadStart;
        if (race_->Find(m_.SocketHandle) == nullptr) {
            // The first attempt under way takes the place of the handle Connect made before the
            // family was known.
            if (m_.SocketHandle != -1) {
                try {
                    MSocketSupport::DeregisterSocket(m_.SocketHandle);
                } catch (...) {
                }
                Platform::closesocket(m_.SocketHandle);
            }
            m_.SocketHandle = handle;
            socketV6_ = address.IsV6();
            dualStack_ = false;
            m_.RemoteHostIP = Platform::AddressText(address);
            ReadBufferSizes();
        }
        return;
    }
    race_->nextStart = ConnectRace::Clock::time_point::max();
}

// Closes an attempt that has lost or failed, abortively and without an event. When it was the
// object's handle, another attempt under way takes its place.
void CSocket::CloseAttempt(int32_t handle) {
    std::erase_if(race_->attempts, [handle](const auto& a) { return a.handle == handle; });
    Platform::setsockopt(handle, SolSocket, SoLinger, 0);
    try {
        MSocketSupport::DeregisterSocket(handle);
    } catch (...) {
    }
    Platform::closesocket(handle);
    if (handle != m_.SocketHandle) {
        return;
    }
    m_.SocketHandle = -1;
    if (!race_->attempts.empty()) {
        const auto& next = race_->attempts.front();
        m_.SocketHandle = next.handle;
        socketV6_ = next.address.IsV6();
        dualStack_ = false;
        m_.RemoteHostIP = Platform::AddressText(next.address);
        ReadBufferSizes();
    }
}

void CSocket::AttemptFailed(int32_t handle, int32_t error) {
    race_->lastError = error;
    // Failed before its head start ran out: the next one need not wait.
    StartNextAttempt();
    CloseAttempt(handle);
    if (race_->attempts.empty()) {
        const int32_t last = race_->lastError;
        m_.State = StateError;
        giveUp_ = ConnectRace::Clock::time_point::max();
        DestroySocket();  // ends the race
        RaiseError(last, "");
        return;
    }
    ArmDeadline();
}

void CSocket::AttemptWon(int32_t handle) {
    const ConnectRace::Attempt won = *race_->Find(handle);
    if (won.handle != m_.SocketHandle) {
        m_.SocketHandle = won.handle;
        socketV6_ = won.address.IsV6();
        dualStack_ = false;
        ReadBufferSizes();
    }
    m_.RemoteHostIP = Platform::AddressText(won.address);
    EndRace();  // the others go, raising nothing
    if (!SecureOn()) {
        giveUp_ = ConnectRace::Clock::time_point::max();  // a secure one's handshake still counts
    }
}

// Closes every attempt but the object's handle, and forgets the race and the deadline.
void CSocket::EndRace() {
    if (race_) {
        while (true) {
            auto other =
                std::find_if(race_->attempts.begin(), race_->attempts.end(),
                             [this](const auto& a) { return a.handle != m_.SocketHandle; });
            if (other == race_->attempts.end()) {
                break;
            }
            CloseAttempt(other->handle);
        }
        race_.reset();
    }
    MSocketSupport::ClearDeadline(this);
}

// Asks the service for a call at the next moment the connect needs one: the next attempt's
// start, or the end ConnectTimeout sets.
void CSocket::ArmDeadline() {
    auto when = giveUp_;
    if (race_ && race_->Waiting()) {
        when = std::min(when, race_->nextStart);
    }
    if (when == ConnectRace::Clock::time_point::max()) {
        MSocketSupport::ClearDeadline(this);
        return;
    }
    MSocketSupport::SetDeadline(SinkReference(), when);
}

void CSocket::PostHandleEvent(int32_t handle, int32_t eventCode, int32_t errorCode) {
    if (!race_) {
        PostSocketEvent(eventCode, errorCode);
        return;
    }
    bool won = false;
    {
        const SelfHold held(selfHolds_);  // the service holds the object for this call
        try {
            if (race_->Find(handle) == nullptr) {
                return;  // not one of the attempts (a record that outlived its handle)
            }
            if (errorCode > 0) {
                AttemptFailed(handle, errorCode);
            } else if (eventCode == MSocketSupport::FD_CONNECT) {
                AttemptWon(handle);
                won = true;
            }
            // Nothing else comes before the outcome of an attempt.
        } catch (...) {
        }
    }
    if (won) {
        // The winner's completion, as a single connect's: OnConnect. (Outside the hold above:
        // the event's own dispatch counts the service's reference once.)
        PostSocketEvent(MSocketSupport::FD_CONNECT, 0);
    }
}

void CSocket::DeadlineReached() {
    const SelfHold held(selfHolds_);
    try {
        if (SecureDeadline()) {
            return;  // an accepted connection's handshake
        }
        const bool connecting = m_.State == StateResolvingHost || m_.State == StateHostResolved ||
                                m_.State == StateConnecting;
        if (!connecting) {
            giveUp_ = ConnectRace::Clock::time_point::max();
            EndRace();
            return;
        }
        const auto now = ConnectRace::Clock::now();
        if (now >= giveUp_) {
            giveUp_ = ConnectRace::Clock::time_point::max();
            m_.LookupHandle = 0;  // a lookup still under way no longer concerns this object
            m_.State = StateError;
            DestroySocket();  // every attempt with it
            RaiseError(MSocketSupport::WsaETimedOut, "");
            return;
        }
        if (race_ && race_->Waiting() && now >= race_->nextStart) {
            StartNextAttempt();
        }
        ArmDeadline();
    } catch (...) {
    }
}

void CSocket::ConnectTimeout(int32_t NewValue) {
    if (NewValue < 0) {
        throw MSocketSupport::SocketError(InvalidPropertyValue, "CSocket.ConnectTimeout",
                                          "Invalid property value");
    }
    connectTimeout_ = NewValue;
}

}  // namespace packwarden
