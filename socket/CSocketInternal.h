// SPDX-License-Identifier: MIT
// Helpers shared by the CSocket sources; not part of the public contract.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::detail {

// Socket-level options, in the numbering the platform layer takes.
constexpr int32_t SolSocket = 0xFFFF;
// The value is the linger time in seconds; negative switches lingering off.
constexpr int32_t SoLinger = 0x80;
constexpr int32_t SoBroadcast = 0x20;
constexpr int32_t SoRcvBuf = 0x1002;
constexpr int32_t SoMaxMsgSize = 0x2003;  // the largest datagram the socket takes (Windows)
constexpr int32_t SoType = 0x1008;

constexpr int32_t AfInet = 2;
constexpr int32_t SockStream = 1;
constexpr int32_t SockDgram = 2;
constexpr int32_t IpProtoTcp = 6;
constexpr int32_t IpProtoUdp = 17;
constexpr int32_t SdSend = 1;
constexpr int32_t ListenBacklog = 5;

constexpr uint32_t InaddrNone = 0xFFFFFFFFu;

// A property given a value it cannot take.
constexpr int32_t InvalidPropertyValue = 380;

// A scratch area of at least `size` bytes, one per thread and per `Use`, kept and grown to the
// largest size asked for: receives land here when they cannot go straight into a buffer.
template <typename Use>
uint8_t* ThreadArea(std::size_t size) {
    thread_local std::unique_ptr<uint8_t[]> area;
    thread_local std::size_t capacity = 0;
    if (capacity < size) {
        area = std::make_unique_for_overwrite<uint8_t[]>(size);
        capacity = size;
    }
    return area.get();
}

// The error numbers the object raises itself, from the one table (SocketErrors.h).
using MSocketSupport::WsaEAddrNotAvail;
using MSocketSupport::WsaEInval;
using MSocketSupport::WsaEIsConn;
using MSocketSupport::WsaEMsgSize;
using MSocketSupport::WsaENoBufs;
using MSocketSupport::WsaENotSock;
using MSocketSupport::WsaEShutdown;
using MSocketSupport::WsaEWouldBlock;

// A receive size for a stream socket whose buffer size could not be read.
constexpr int32_t FallbackStreamChunk = 64 * 1024;
// The receive buffer's bound unless the owner sets another (ReceiveBufferLimit).
constexpr int32_t DefaultReceiveBufferLimit = 4 * 1024 * 1024;
// The room, in chunks, of a stream's receive once the socket has been receiving large amounts.
constexpr std::size_t ChunksPerLargeReceive = 2;

inline MSocketSupport::SocketError SocketFailure(int32_t number, const std::string& source) {
    return MSocketSupport::SocketError(number, source, MSocketSupport::SocketErrorText(number));
}

// The error of the last platform call, under `source`.
inline MSocketSupport::SocketError PlatformFailure(const std::string& source) {
    return SocketFailure(MSocketSupport::Platform::LastPlatformError(), source);
}

// The same error under the source of the operation that passes it on.
inline MSocketSupport::SocketError Resourced(const MSocketSupport::SocketError& e,
                                             const std::string& source) {
    return MSocketSupport::SocketError(e.Number, source, e.Description);
}

inline MSocketSupport::SocketError Overflow(const std::string& source) {
    return MSocketSupport::SocketError(MSocketSupport::OverflowErrorNumber, source,
                                       MSocketSupport::OverflowErrorText);
}

// A dotted address is text that the address parser accepts with a value other than all ones
// (so 255.255.255.255 counts as a name).
inline bool IsDottedAddress(const std::string& text) {
    return !text.empty() && MSocketSupport::Platform::inet_addr(text) != InaddrNone;
}

// Host <-> network byte order for 16-bit fields, without the platform's socket headers, so
// this source is the same on every platform.
constexpr uint16_t SwapToNetwork(uint16_t value) {
    if constexpr (std::endian::native == std::endian::big) {
        return value;
    } else {
        return static_cast<uint16_t>((value >> 8) | (value << 8));
    }
}

// A port of 0..65535 in network byte order; overflow error 6 outside that range.
inline uint16_t NetworkPort(int32_t port) {
    return SwapToNetwork(static_cast<uint16_t>(MSocketSupport::UnsignedToShort(port)));
}

inline int32_t HostPort(uint16_t networkPort) {
    return MSocketSupport::ShortToUnsigned(static_cast<int16_t>(SwapToNetwork(networkPort)));
}

// Buffer lengths reported through 32-bit event parameters.
inline int32_t Clamp32(std::size_t n) {
    return static_cast<int32_t>(
        std::min<std::size_t>(n, static_cast<std::size_t>(std::numeric_limits<int32_t>::max())));
}

}  // namespace packwarden::detail
