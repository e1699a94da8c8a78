// SPDX-License-Identifier: MIT
// CSocket: the receive side (one receive per read notification, GetData and PeekData).
#include <algorithm>
#include <cmath>
#include <memory>

#include "CSocketInternal.h"
#include "Securing.h"
#include "packwarden/CSocket.h"

namespace packwarden {

namespace Platform = MSocketSupport::Platform;
using namespace detail;

namespace {

// The receive area shared by every socket of the thread (see RecvToBuffer).
struct PlainReceive;

[[noreturn]] void ThrowTypeMismatch(const char* source) {
    throw MSocketSupport::SocketError(13, source, "Type mismatch");
}

// Rounded to the nearest whole number, halves to even. Whole numbers, the usual arguments, are
// returned as they are: nearbyint is a library call.
double RoundedHalfEven(double d) {
    if (d >= -1e15 && d <= 1e15 && static_cast<double>(static_cast<int64_t>(d)) == d) {
        return d;
    }
    return std::nearbyint(d);
}

// A type code or length argument as a number, into `number`; false when absent (Empty and
// Null). Numbers are read directly: an optional<double> passed through memory costs a stalled
// load per copy, several per GetData.
inline bool NumericArgument(const Variant& v, const char* source, double& number) {
    switch (v.Type()) {
        case vbEmpty:
        case vbNull:
            return false;
        case vbInteger:
        case vbLong:
        case vbSingle:
        case vbDouble:
        case vbCurrency:
        case vbDate:
        case vbBoolean:
        case vbByte:
            number = v.AsDouble();
            return true;
        default:
            break;
    }
    const auto n = v.ToNumber();
    if (!n) {
        ThrowTypeMismatch(source);
    }
    number = *n;
    return true;
}

}  // namespace

void CSocket::ReadBufferSizes() {
    if (m_.Protocol == ProtocolTcp) {
        int32_t size = 0;
        if (Platform::getsockopt(m_.SocketHandle, SolSocket, SoRcvBuf, &size) == 0 && size > 0) {
            m_.ReceiveChunkSize = size;
        }
    } else {
        // Room for the largest datagram the socket takes (SO_MAX_MSG_SIZE): Windows reports
        // 65 467 at start-up while its sockets take 65 507, and a datagram that does not fit
        // is lost. Where the socket cannot tell, the larger of the service's figure and the
        // largest IPv4 payload.
        int32_t largest = 0;
        if (Platform::getsockopt(m_.SocketHandle, SolSocket, SoMaxMsgSize, &largest) != 0 ||
            largest <= 0) {
            largest = std::max(m_.MaxDatagramSize, MSocketSupport::DefaultMaxDatagramSize);
        }
        m_.ReceiveChunkSize = largest;
    }
}

void CSocket::ReceiveBufferLimit(int32_t NewValue) {
    receiveLimit_ = std::max(NewValue, 1);
    if (flags_.readSuspended && ReceiveRoom()) {
        ResumeReading();
    }
}

// Room left in the receive buffer for one more receive.
bool CSocket::ReceiveRoom() const {
    const std::size_t held = m_.ReceiveBuffer.size();
    const auto limit = static_cast<std::size_t>(receiveLimit_);
    if (m_.Protocol == ProtocolTcp) {
        return held < limit;
    }
    // A datagram is taken whole or not at all: the next one may be as large as the largest.
    const auto largest = static_cast<std::size_t>(
        m_.ReceiveChunkSize > 0 ? m_.ReceiveChunkSize : MSocketSupport::DefaultMaxDatagramSize);
    return held == 0 || held + largest <= limit;
}

// The owner made room: reading, stopped at the bound, goes on (from the loop).
void CSocket::ResumeReading() {
    flags_.readSuspended = false;
    if (m_.SocketHandle != -1) {
        // The notification left unanswered is answered now, from the loop, as it would have
        // been: its receive re-arms the next one.
        MSocketSupport::PostSocketRecord(m_.SocketHandle, MSocketSupport::FD_READ);
    }
}

int32_t CSocket::RecvToBuffer() {
    if (Session() != nullptr) {
        return SecureRecvToBuffer();  // ciphertext in, plaintext into the buffer
    }
    // A receive of 0 bytes would read as the peer's close.
    const std::size_t chunk = static_cast<std::size_t>(
        m_.ReceiveChunkSize > 0      ? m_.ReceiveChunkSize
        : m_.Protocol == ProtocolTcp ? FallbackStreamChunk
                                     : MSocketSupport::DefaultMaxDatagramSize);
    // A socket that receives large amounts does so straight into its buffer's tail, and a
    // stream then gets room for more than one chunk: Linux grows a busy socket's buffer well
    // past the size read at its creation, and a chunk per turn of the loop let a fast sender
    // run megabytes ahead. Two chunks: more measured slower (the bytes handed to the owner at
    // once no longer stay in the cache). Other sockets receive into one area all of them
    // share and copy the few bytes that came, so a thousand quiet connections keep no
    // chunk-sized block each in the cache.
    const bool direct = m_.ReceivesLarge;
    std::size_t room = direct && m_.Protocol == ProtocolTcp ? chunk * ChunksPerLargeReceive : chunk;
    if (m_.Protocol == ProtocolTcp) {
        // Never past the bound (callers check ReceiveRoom first).
        room = std::min(
            room, static_cast<std::size_t>(receiveLimit_) -
                      std::min(m_.ReceiveBuffer.size(), static_cast<std::size_t>(receiveLimit_)));
    }
    uint8_t* area = direct ? m_.ReceiveBuffer.prepare(room) : ThreadArea<PlainReceive>(room);

    int32_t n = -1;
    if (m_.Protocol == ProtocolTcp) {
        n = Platform::recv(m_.SocketHandle, area, room);
    } else {
        Platform::Address address;
        uint16_t port = 0;
        n = Platform::recvfrom(m_.SocketHandle, area, room, &address, &port);
        if (n != -1) {
            m_.RemotePort = HostPort(port);
            m_.RemoteHostIP = Platform::AddressText(address);
            std::string name;
            m_.RemoteHost = Platform::gethostbyaddr(address, name) ? name : m_.RemoteHostIP;
        }
    }
    if (n == -1) {
        throw PlatformFailure("CSocket.RecvToBuffer");
    }
    if (n == 0 && m_.Protocol == ProtocolTcp) {
        flags_.peerClosed = true;
    }
    if (n > 0) {
        if (direct) {
            m_.ReceiveBuffer.commit(static_cast<std::size_t>(n));
        } else {
            m_.ReceiveBuffer.append(area, static_cast<std::size_t>(n));
        }
    }
    m_.ReceivesLarge = static_cast<std::size_t>(n) >= chunk / 2;
    return n;
}

// GetData's whole take as text or bytes: the receive buffer's block becomes the value's
// storage and the value's storage the next block, so an owner that keeps one value gets
// the bytes without a copy, and the two blocks go back and forth with nothing allocated.
// Not for a few bytes (a copy is cheaper than the exchange, and a value it fills once
// keeps its storage), nor when the bytes fill little of the block (the value would hold
// a large block for them) or the value's storage is far larger than the block (the
// socket would keep it).
inline bool CSocket::HandOverFits(const Variant& varData, std::size_t length) const {
    constexpr std::size_t HandOverMinimum = 1024;
    const std::size_t block = m_.ReceiveBuffer.capacity();
    return length >= HandOverMinimum && length >= block / 8 &&
           varData.StorageCapacity() / 2 <= block;
}

void CSocket::ReceiveData(Variant& varData, bool peek, const Variant& varType,
                          const Variant& maxLen) {
    if (m_.ReceiveBuffer.empty()) {
        return;
    }
    const std::size_t length = m_.ReceiveBuffer.size();
    std::size_t take = length;
    if (double m = 0; NumericArgument(maxLen, "CSocket.ReceiveData", m)) {
        if (m > 0 && m <= static_cast<double>(length)) {
            const double rounded = RoundedHalfEven(m);
            if (rounded >= 1) {
                take = static_cast<std::size_t>(rounded);
            }
        }
    }
    // Text unless a code says otherwise; a code outside the table leaves varData as it was
    // (the bytes are taken regardless).
    int32_t type = vbString;
    bool known = true;
    if (double c = 0; NumericArgument(varType, "CSocket.ReceiveData", c)) {
        known = c == RoundedHalfEven(c) && c >= -2147483648.0 && c <= 2147483647.0;
        type = known ? static_cast<int32_t>(c) : vbEmpty;
    }
    bool taken = false;
    if (known && (type == vbString || type == vbByteArray)) {
        if (!peek && take == length && HandOverFits(varData, length)) {
            HandOverReceived(varData, type);
            taken = true;
        }
        if (!taken) {
            varData.AssignBytes(type, m_.ReceiveBuffer.view().substr(0, take));
        }
    } else if (known) {
        if (auto value = Variant::FromWireBytes(type, m_.ReceiveBuffer.view().substr(0, take))) {
            varData = std::move(*value);
        }
    }

    if (!peek) {
        if (!taken) {
            m_.ReceiveBuffer.consume(take);
        }
        if (flags_.readSuspended && ReceiveRoom()) {
            ResumeReading();
        }
    }
    m_.BytesReceived = Clamp32(m_.ReceiveBuffer.size());
}

void CSocket::HandOverReceived(Variant& varData, int32_t type) {
    std::string previous = varData.ExchangeStorage(type, m_.ReceiveBuffer.release());
    m_.ReceiveBuffer.adopt(previous);
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
