// SPDX-License-Identifier: MIT
// IPv4 socket addresses and lookup results, read and written the same way on both platforms;
// only the headers that declare them differ.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <cstring>
#include <string>

#include "Backend.h"
#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"

namespace packwarden::MSocketSupport::detail {

// Address and port in network byte order.
inline sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = port;
    return sa;
}

// An IPv4 end as address and port (network byte order); zeros for any other family.
inline void ReadAddress(const sockaddr_storage& sa, uint32_t* address, uint16_t* port) {
    uint32_t a = 0;
    uint16_t p = 0;
    if (sa.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(sa);
        a = in.sin_addr.s_addr;
        p = in.sin_port;
    }
    if (address != nullptr) {
        *address = a;
    }
    if (port != nullptr) {
        *port = p;
    }
}

// A completed lookup's official name and first IPv4 address (network order): the hostent at
// the buffer's start, as the resolver or WSAAsyncGetHostByName laid it there.
inline void ReadHostEntry(const LookupBuffer& buffer, std::string& name, uint32_t& address) {
    const auto* host = reinterpret_cast<const hostent*>(buffer.bytes);
    name = AnsiStringAt(host->h_name);
    std::memcpy(&address, host->h_addr_list[0], sizeof address);
}

}  // namespace packwarden::MSocketSupport::detail
