// CSocket: closing the connection and releasing the handle.
#include "packwarden/CSocket.h"
#include "CSocketInternal.h"

namespace packwarden {

namespace Platform = MSocketSupport::Platform;
using namespace detail;

void CSocket::CloseSocket() {
    const auto self = shared_from_this();
    const SelfHold held(*this);
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
        if (Platform::shutdown(m_.SocketHandle, SdSend) == -1) {
            throw PlatformFailure("CSocket.CloseSocket");
        }
    } catch (...) {
        // Closing never fails for the caller.
    }
}

void CSocket::DestroySocket() {
    m_.ReceiveBuffer.reset();
    if (m_.SocketHandle == -1) {
        return;
    }
    const int32_t handle = m_.SocketHandle;
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
