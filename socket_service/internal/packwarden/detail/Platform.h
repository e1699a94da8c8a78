// SPDX-License-Identifier: MIT
// Not API, and never installed: the platform's socket calls as the socket object makes them.
// May change in any release.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace packwarden::MSocketSupport {

// One end's address, of either family. IPv4 keeps its four bytes first, in network order; an
// IPv4-mapped IPv6 address (a dual-stack socket's view of an IPv4 peer) is always held as the
// IPv4 address it maps, so it reads and prints as one.
struct NetAddress {
    enum class Family : uint8_t { None, V4, V6 };
    Family family = Family::None;
    std::array<uint8_t, 16> bytes{};
    uint32_t scope = 0;  // IPv6 zone (interface index); 0 for none

    static NetAddress V4(uint32_t networkOrder);
    static NetAddress V6(const std::array<uint8_t, 16>& bytes, uint32_t scope = 0);
    uint32_t V4NetworkOrder() const;
    // The IPv4 address as an IPv6 socket that takes both families reaches it (::ffff:a.b.c.d);
    // only for handing to such a socket's calls.
    NetAddress Mapped() const;
    bool IsV6() const { return family == Family::V6; }
    bool IsUnspecified() const;
    friend bool operator==(const NetAddress&, const NetAddress&) = default;
};

// Platform layer: the socket calls the socket object makes. Each one performs the real call,
// keeps the channel's readiness rules (a receive re-arms FD_READ, a send that would block arms
// FD_WRITE, a connect in progress arms FD_CONNECT, a successful listen arms FD_ACCEPT, an accept
// re-arms it), and leaves the Winsock-numbered error in LastPlatformError(). They return what
// the Winsock call returns (-1 for failure). Sockets are created non-blocking and close-on-exec;
// sends never raise SIGPIPE.

namespace Platform {

// The address of either family, NetAddress (declared ahead of this namespace, so that the
// installed headers can name it without naming the platform layer).
using Address = NetAddress;

// The family's number for socket(): AF_INET or the platform's AF_INET6.
int32_t FamilyNumber(Address::Family family);
// Text to address: dotted IPv4 by inet_addr's rules (the all-ones address is no address here),
// or IPv6, with or without brackets, with an optional numeric %zone. False for anything else.
bool ParseAddress(const std::string& text, Address& address);
// Dotted IPv4; IPv6 as RFC 5952 writes it (lower case, longest run of zero fields shortened
// to "::", the first of equal runs, never a single field), with "%zone" when it has one.
std::string AddressText(const Address& address);

int32_t LastPlatformError();
void SetLastPlatformError(int32_t winsockError);
// errno -> the Winsock numbering (EAGAIN -> WsaEWouldBlock, ECONNREFUSED -> WsaEConnRefused, ...).
int32_t WinsockErrorFromErrno(int err);

int32_t socket(int32_t family, int32_t type, int32_t protocol);
int32_t closesocket(int32_t handle);
// Ports in network byte order. The address's family must be the socket's.
int32_t connect(int32_t handle, const Address& address, uint16_t port);
int32_t bind(int32_t handle, const Address& address, uint16_t port);
int32_t listen(int32_t handle, int32_t backlog);
// Returns the new handle (non-blocking) or -1; fills the peer's address when given room.
// Out of descriptors (WsaEMFile): the listener's FD_ACCEPT comes again only after a short pause.
int32_t accept(int32_t handle, Address* address, uint16_t* port);
int32_t send(int32_t handle, const void* data, std::size_t length);
int32_t sendto(int32_t handle, const void* data, std::size_t length, const Address& address,
               uint16_t port);
int32_t recv(int32_t handle, void* data, std::size_t length);
// A datagram longer than `length` fills `data`, the rest is lost, and the call fails with
// WsaEMsgSize.
int32_t recvfrom(int32_t handle, void* data, std::size_t length, Address* address, uint16_t* port);
int32_t shutdown(int32_t handle, int32_t how);
int32_t getsockname(int32_t handle, Address* address, uint16_t* port);
int32_t getpeername(int32_t handle, Address* address, uint16_t* port);
// Socket-level options in the Winsock numbering: SO_BROADCAST 0x20, SO_RCVBUF 0x1002,
// SO_TYPE 0x1008 (level 0xFFFF). SO_LINGER 0x80 is set with the linger time in seconds as its
// value (0: a close drops what is unsent and resets the connection), negative for off.
int32_t getsockopt(int32_t handle, int32_t level, int32_t option, int32_t* value);
int32_t setsockopt(int32_t handle, int32_t level, int32_t option, int32_t value);
// What the peer has acknowledged of a stream connection, as a count that only grows: progress
// as the peer sees it, rather than bytes handed to a send buffer that may hold megabytes.
// TCP_INFO on Linux; SIO_TCP_INFO on Windows 10 and later. False where the system cannot tell.
bool BytesAcknowledged(int32_t handle, uint64_t* count);
// Bytes handed to the system that the peer has not acknowledged yet, sent or not, the end of
// the stream counting as one once sending is shut down (SIOCOUTQ on Linux); 0 once the peer
// has every byte. False where the system cannot tell (Windows).
bool BytesUnacknowledged(int32_t handle, uint64_t* count);
// Lets a stream socket about to be bound take a port whose earlier connections still wait out
// TIME_WAIT, without letting it share a port someone listens on: SO_REUSEADDR on Linux;
// nothing on Windows, whose plain bind already allows it and whose SO_REUSEADDR would let the
// socket take over a port in use.
int32_t AllowRebind(int32_t handle);
// Lets an IPv6 socket about to be bound take IPv4 peers too (IPV6_V6ONLY off), so one
// listener serves both families.
int32_t AllowBothFamilies(int32_t handle);
// inet_addr: INADDR_NONE (0xFFFFFFFF) for text that is no address; network byte order.
uint32_t inet_addr(const std::string& text);
std::string inet_ntoa(uint32_t address);
// Blocking reverse lookup; false when the address has no name.
bool gethostbyaddr(const Address& address, std::string& officialName);

}  // namespace Platform

}  // namespace packwarden::MSocketSupport
