// SPDX-License-Identifier: MIT
// Socket addresses of both families and lookup results, read and written the same way on both
// platforms; only the headers that declare them differ.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "Backend.h"
#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"

namespace packwarden::MSocketSupport::detail {

// A socket address for `address` and `port` (network byte order), and its length.
struct SocketAddress {
    sockaddr_storage storage{};
    int length = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

inline SocketAddress MakeAddress(const Platform::Address& address, uint16_t port) {
    SocketAddress sa;
    if (address.IsV6()) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(sa.storage);
        in6.sin6_family = AF_INET6;
        std::memcpy(&in6.sin6_addr, address.bytes.data(), 16);
        in6.sin6_port = port;
        in6.sin6_scope_id = address.scope;
        sa.length = sizeof(sockaddr_in6);
    } else {
        auto& in = reinterpret_cast<sockaddr_in&>(sa.storage);
        in.sin_family = AF_INET;
        std::memcpy(&in.sin_addr.s_addr, address.bytes.data(), 4);
        in.sin_port = port;
        sa.length = sizeof(sockaddr_in);
    }
    return sa;
}

// One end as address and port (network byte order); an IPv4-mapped IPv6 address comes back as
// the IPv4 address it maps; an empty address for any other family.
inline void ReadAddress(const sockaddr_storage& sa, Platform::Address* address, uint16_t* port) {
    Platform::Address a;
    uint16_t p = 0;
    if (sa.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(sa);
        a = Platform::Address::V4(in.sin_addr.s_addr);
        p = in.sin_port;
    } else if (sa.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
        std::array<uint8_t, 16> bytes{};
        std::memcpy(bytes.data(), &in6.sin6_addr, 16);
        a = Platform::Address::V6(bytes, in6.sin6_scope_id);
        p = in6.sin6_port;
    }
    if (address != nullptr) {
        *address = a;
    }
    if (port != nullptr) {
        *port = p;
    }
}

// Names under the reserved "invalid" top-level domain never resolve; they are answered without
// asking the network, as the name's reservation intends.
inline bool ReservedInvalidName(std::string name) {
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    constexpr std::string_view tail = ".invalid";
    return name == "invalid" ||
           (name.size() > tail.size() &&
            name.compare(name.size() - tail.size(), tail.size(), tail.data(), tail.size()) == 0);
}

// Copies a lookup's answer into `buffer`: the canonical name (the asked name when the system
// gives none) and every IPv4 and IPv6 address once, in the system's order.
inline void FillLookup(const addrinfo* list, const std::string& asked, LookupBuffer& buffer) {
    buffer.name = list != nullptr && list->ai_canonname != nullptr ? list->ai_canonname : asked;
    buffer.addresses.clear();
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addr == nullptr || (ai->ai_family != AF_INET && ai->ai_family != AF_INET6)) {
            continue;
        }
        sockaddr_storage storage{};
        std::memcpy(&storage, ai->ai_addr,
                    std::min(sizeof storage, static_cast<std::size_t>(ai->ai_addrlen)));
        Platform::Address address;
        ReadAddress(storage, &address, nullptr);
        bool seen = false;
        for (const auto& known : buffer.addresses) {
            seen = seen || known == address;
        }
        if (!seen) {
            buffer.addresses.push_back(address);
        }
    }
}

}  // namespace packwarden::MSocketSupport::detail
