// CSocket: the receive side (one receive per read notification, GetData and PeekData).
#include <cmath>

#include "CSocket.h"
#include "CSocketInternal.h"

namespace packwarden {

namespace Platform = MSocketSupport::Platform;
using namespace detail;

namespace {

// A type code or length argument as a number; Empty and Null count as absent.
std::optional<double> NumericArgument(const Variant& v, const char* source) {
    if (v.IsEmpty() || v.Type() == vbNull) {
        return std::nullopt;
    }
    const auto n = v.ToNumber();
    if (!n) {
        throw MSocketSupport::SocketError(13, source, "Type mismatch");
    }
    return n;
}

}  // namespace

void CSocket::ReadBufferSizes() {
    if (m_.Protocol == ProtocolTcp) {
        int32_t size = 0;
        if (Platform::getsockopt(m_.SocketHandle, SolSocket, SoRcvBuf, &size) == 0 && size > 0) {
            m_.ReceiveChunkSize = size;
        }
    } else {
        // A service that reports no datagram limit still gets room for the largest one.
        m_.ReceiveChunkSize =
            m_.MaxDatagramSize > 0 ? m_.MaxDatagramSize : MSocketSupport::DefaultMaxDatagramSize;
    }
}

int32_t CSocket::RecvToBuffer() {
    // A receive of 0 bytes would read as the peer's close.
    const std::size_t chunk = static_cast<std::size_t>(
        m_.ReceiveChunkSize > 0      ? m_.ReceiveChunkSize
        : m_.Protocol == ProtocolTcp ? FallbackStreamChunk
                                     : MSocketSupport::DefaultMaxDatagramSize);
    if (deferredReceiveError_ != 0) {
        const int32_t error = deferredReceiveError_;
        deferredReceiveError_ = 0;
        Platform::SetLastPlatformError(error);
        throw PlatformFailure("CSocket.RecvToBuffer");
    }
    // Straight into the tail of the receive buffer: no copy on the way.
    uint8_t* room = m_.ReceiveBuffer.prepare(chunk);

    int32_t n = -1;
    if (m_.Protocol == ProtocolTcp) {
        n = Platform::recv(m_.SocketHandle, room, chunk);
    } else {
        uint32_t address = 0;
        uint16_t port = 0;
        n = Platform::recvfrom(m_.SocketHandle, room, chunk, &address, &port);
        if (n != -1) {
            m_.RemotePort = HostPort(port);
            m_.RemoteHostIP = Platform::inet_ntoa(address);
            std::string name;
            m_.RemoteHost = Platform::gethostbyaddr(address, name) ? name : m_.RemoteHostIP;
        }
    }
    if (n == -1) {
        throw PlatformFailure("CSocket.RecvToBuffer");
    }
    if (n > 0) {
        m_.ReceiveBuffer.commit(static_cast<std::size_t>(n));
    }
    if (m_.Protocol == ProtocolTcp && static_cast<std::size_t>(n) == chunk) {
        n = Clamp32(static_cast<std::size_t>(n) + ReceiveMore(chunk));
    }
    return n;
}

std::size_t CSocket::ReceiveMore(std::size_t chunk) {
    // A full chunk means more is probably waiting: Linux grows a busy socket's buffer well past
    // the size read at its creation. Another chunk now keeps a fast stream from falling behind
    // its sender a chunk per turn of the loop; the bound keeps the bytes handed to the owner at
    // once small enough to stay in the cache (more measured slower) and one socket from
    // holding the loop.
    std::size_t more = 0;
    for (int i = 1; i < MaxReceivesPerRead; ++i) {
        uint8_t* room = m_.ReceiveBuffer.prepare(chunk);
        const int32_t n = Platform::recv(m_.SocketHandle, room, chunk);
        if (n == -1) {
            // Would block: the socket is empty. A real error is this socket's next receive's
            // to report, after the bytes already taken have been delivered.
            if (Platform::LastPlatformError() != WsaEWouldBlock) {
                deferredReceiveError_ = Platform::LastPlatformError();
            }
            break;
        }
        if (n == 0) {
            break;  // the peer's close, which FD_CLOSE reports after these bytes
        }
        m_.ReceiveBuffer.commit(static_cast<std::size_t>(n));
        more += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < chunk) {
            break;
        }
    }
    return more;
}

void CSocket::ReceiveData(Variant& varData, bool peek, const Variant& varType,
                          const Variant& maxLen) {
    if (m_.ReceiveBuffer.empty()) {
        return;
    }
    const std::size_t length = m_.ReceiveBuffer.size();
    std::size_t take = length;
    if (const auto m = NumericArgument(maxLen, "CSocket.ReceiveData")) {
        if (*m > 0 && *m <= static_cast<double>(length)) {
            const double rounded = std::nearbyint(*m);
            if (rounded >= 1) {
                take = static_cast<std::size_t>(rounded);
            }
        }
    }
    const std::string_view taken = m_.ReceiveBuffer.view().substr(0, take);

    if (const auto code = NumericArgument(varType, "CSocket.ReceiveData")) {
        // A code outside the table leaves varData as it was; the bytes are taken regardless.
        const double c = *code;
        if (c == std::nearbyint(c) && c >= -2147483648.0 && c <= 2147483647.0) {
            if (auto value = Variant::FromWireBytes(static_cast<int32_t>(c), taken)) {
                varData = std::move(*value);
            }
        }
    } else {
        varData = Variant(std::string(taken));
    }

    if (!peek) {
        m_.ReceiveBuffer.consume(take);
    }
    m_.BytesReceived = Clamp32(m_.ReceiveBuffer.size());
}

void CSocket::GetData(Variant& varData, const Variant& varType, const Variant& maxLen) {
    try {
        ReceiveData(varData, false, varType, maxLen);
    } catch (const MSocketSupport::SocketError& e) {
        throw Resourced(e, "CSocket.GetData");
    }
}

void CSocket::PeekData(Variant& varData, const Variant& varType, const Variant& maxLen) {
    try {
        ReceiveData(varData, true, varType, maxLen);
    } catch (const MSocketSupport::SocketError& e) {
        throw Resourced(e, "CSocket.PeekData");
    }
}

}  // namespace packwarden
