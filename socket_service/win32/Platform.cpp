// SPDX-License-Identifier: MIT
// The platform layer on Windows: the Winsock calls themselves. Winsock numbers its errors as
// this layer does and keeps the asynchronous-select rules itself (a receive re-enables FD_READ,
// a send that would block FD_WRITE, an accept FD_ACCEPT).
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which it needs.
#include <mstcpip.h>

#ifndef SIO_TCP_INFO
#define SIO_TCP_INFO _WSAIORW(IOC_VENDOR, 39)
#endif

#include <algorithm>
#include <climits>

#include "SocketAddress.h"
#include "WinsockHandles.h"
#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/TestHooks.h"

namespace packwarden::MSocketSupport::Platform {

namespace {

using detail::MakeAddress;
using detail::ReadAddress;

using detail::FitsHandle;
using detail::ToSocket;

int32_t Fail() {
    SetLastPlatformError(::WSAGetLastError());
    return -1;
}

// A new socket, not inherited by child processes, in the 32-bit numbering.
int32_t Adopt(SOCKET s) {
    if (s == INVALID_SOCKET) {
        return Fail();
    }
    if (!FitsHandle(s)) {
        ::closesocket(s);
        SetLastPlatformError(WsaENoBufs);
        return -1;
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<int32_t>(s);
}

int Length(std::size_t length) {
    return static_cast<int>(std::min<std::size_t>(length, INT_MAX));
}

}  // namespace

int32_t socket(int32_t family, int32_t type, int32_t protocol) {
    if (auto& hook = TestHooks().socket) {
        return hook(family, type, protocol);
    }
    const int32_t handle = Adopt(::socket(family, type, protocol));
    if (handle != -1) {
        // Non-blocking from the start, as WSAAsyncSelect would make it anyway.
        u_long on = 1;
        ::ioctlsocket(ToSocket(handle), FIONBIO, &on);
    }
    return handle;
}

int32_t closesocket(int32_t handle) {
    if (auto& hook = TestHooks().closesocket) {
        return hook(handle);
    }
    return ::closesocket(ToSocket(handle)) == SOCKET_ERROR ? Fail() : 0;
}

int32_t connect(int32_t handle, const Address& address, uint16_t port) {
    const auto sa = MakeAddress(address, port);
    return ::connect(ToSocket(handle), sa.get(), sa.length) == SOCKET_ERROR ? Fail() : 0;
}

int32_t bind(int32_t handle, const Address& address, uint16_t port) {
    const auto sa = MakeAddress(address, port);
    return ::bind(ToSocket(handle), sa.get(), sa.length) == SOCKET_ERROR ? Fail() : 0;
}

int32_t listen(int32_t handle, int32_t backlog) {
    return ::listen(ToSocket(handle), backlog) == SOCKET_ERROR ? Fail() : 0;
}

int32_t accept(int32_t handle, Address* address, uint16_t* port) {
    sockaddr_storage sa{};
    int len = sizeof sa;
    // The accepted socket shares the listener's asynchronous selection until it is registered.
    const int32_t accepted =
        Adopt(::accept(ToSocket(handle), reinterpret_cast<sockaddr*>(&sa), &len));
    if (accepted != -1) {
        ReadAddress(sa, address, port);
    }
    return accepted;
}

int32_t send(int32_t handle, const void* data, std::size_t length) {
    const int n = ::send(ToSocket(handle), static_cast<const char*>(data), Length(length), 0);
    return n == SOCKET_ERROR ? Fail() : n;
}

int32_t sendto(int32_t handle, const void* data, std::size_t length, const Address& address,
               uint16_t port) {
    const auto sa = MakeAddress(address, port);
    const int n = ::sendto(ToSocket(handle), static_cast<const char*>(data), Length(length), 0,
                           sa.get(), sa.length);
    return n == SOCKET_ERROR ? Fail() : n;
}

int32_t recv(int32_t handle, void* data, std::size_t length) {
    const int n = ::recv(ToSocket(handle), static_cast<char*>(data), Length(length), 0);
    return n == SOCKET_ERROR ? Fail() : n;
}

int32_t recvfrom(int32_t handle, void* data, std::size_t length, Address* address, uint16_t* port) {
    sockaddr_storage sa{};
    int len = sizeof sa;
    const int n = ::recvfrom(ToSocket(handle), static_cast<char*>(data), Length(length), 0,
                             reinterpret_cast<sockaddr*>(&sa), &len);
    if (n == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        if (error == WSAEMSGSIZE) {
            // The first part was delivered, and from whom.
            ReadAddress(sa, address, port);
        }
        SetLastPlatformError(error);
        return -1;
    }
    ReadAddress(sa, address, port);
    return n;
}

int32_t shutdown(int32_t handle, int32_t how) {
    return ::shutdown(ToSocket(handle), how) == SOCKET_ERROR ? Fail() : 0;
}

namespace {
// getsockname and getpeername: one end of a socket as an address and port.
int32_t ReadEnd(int(WSAAPI* query)(SOCKET, sockaddr*, int*), int32_t handle, Address* address,
                uint16_t* port) {
    sockaddr_storage sa{};
    int len = sizeof sa;
    if (query(ToSocket(handle), reinterpret_cast<sockaddr*>(&sa), &len) == SOCKET_ERROR) {
        return Fail();
    }
    ReadAddress(sa, address, port);
    return 0;
}
}  // namespace

int32_t getsockname(int32_t handle, Address* address, uint16_t* port) {
    return ReadEnd(::getsockname, handle, address, port);
}

int32_t getpeername(int32_t handle, Address* address, uint16_t* port) {
    return ReadEnd(::getpeername, handle, address, port);
}

int32_t getsockopt(int32_t handle, int32_t level, int32_t option, int32_t* value) {
    // The option numbers are Winsock's own.
    int v = 0;
    int len = sizeof v;
    if (::getsockopt(ToSocket(handle), level, option, reinterpret_cast<char*>(&v), &len) ==
        SOCKET_ERROR) {
        return Fail();
    }
    if (value != nullptr) {
        *value = v;
    }
    return 0;
}

namespace {
// TCP_INFO_v0 as Windows 10 1703 lays it out; the headers declare it only for builds that
// target that version, and this one still starts on older systems.
struct TcpInfoV0 {
    int State;
    ULONG Mss;
    ULONG64 ConnectionTimeMs;
    BOOLEAN TimestampsEnabled;
    ULONG RttUs;
    ULONG MinRttUs;
    ULONG BytesInFlight;
    ULONG Cwnd;
    ULONG SndWnd;
    ULONG RcvWnd;
    ULONG RcvBuf;
    ULONG64 BytesOut;
    ULONG64 BytesIn;
    ULONG BytesReordered;
    ULONG BytesRetrans;
    ULONG FastRetrans;
    ULONG DupAcksIn;
    ULONG TimeoutEpisodes;
    UCHAR SynRetrans;
};

// SIO_TCP_INFO (Windows 10 1703 and later); false where the system does not have it.
bool TcpInfo(int32_t handle, TcpInfoV0& info) {
    DWORD version = 0;
    DWORD returned = 0;
    return ::WSAIoctl(ToSocket(handle), SIO_TCP_INFO, &version, sizeof version, &info, sizeof info,
                      &returned, nullptr, nullptr) == 0 &&
           returned >= sizeof info;
}
}  // namespace

bool BytesAcknowledged(int32_t handle, uint64_t* count) {
    TcpInfoV0 info{};
    if (!TcpInfo(handle, info) || info.BytesOut < info.BytesInFlight) {
        return false;
    }
    *count = info.BytesOut - info.BytesInFlight;
    return true;
}

bool BytesUnacknowledged(int32_t, uint64_t*) {
    // SIO_TCP_INFO tells what is in flight, not what still waits in Winsock's own buffer.
    return false;
}

int32_t setsockopt(int32_t handle, int32_t level, int32_t option, int32_t value) {
    if (level == SOL_SOCKET && option == SO_LINGER) {
        // SO_LINGER takes a record; here the value is the time, negative for off.
        const ::linger l{static_cast<u_short>(value >= 0 ? 1 : 0),
                         static_cast<u_short>(value >= 0 ? std::min(value, 0xFFFF) : 0)};
        if (::setsockopt(ToSocket(handle), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                         sizeof l) == SOCKET_ERROR) {
            return Fail();
        }
        return 0;
    }
    const int v = value;
    if (::setsockopt(ToSocket(handle), level, option, reinterpret_cast<const char*>(&v),
                     sizeof v) == SOCKET_ERROR) {
        return Fail();
    }
    return 0;
}

int32_t AllowRebind(int32_t) {
    return 0;
}

int32_t AllowBothFamilies(int32_t handle) {
    const DWORD off = 0;
    return ::setsockopt(ToSocket(handle), IPPROTO_IPV6, IPV6_V6ONLY,
                        reinterpret_cast<const char*>(&off), sizeof off) == SOCKET_ERROR
               ? Fail()
               : 0;
}

uint32_t inet_addr(const std::string& text) {
    return ::inet_addr(text.c_str());
}

std::string inet_ntoa(uint32_t address) {
    in_addr in{};
    in.s_addr = address;
    const char* text = ::inet_ntoa(in);
    return text == nullptr ? std::string() : std::string(text);
}

bool gethostbyaddr(const Address& address, std::string& officialName) {
    const bool v6 = address.IsV6();
    const hostent* found = ::gethostbyaddr(reinterpret_cast<const char*>(address.bytes.data()),
                                           v6 ? 16 : 4, v6 ? AF_INET6 : AF_INET);
    if (found == nullptr || found->h_name == nullptr) {
        const int error = ::WSAGetLastError();
        SetLastPlatformError(error != 0 ? error : WsaNoData);
        return false;
    }
    officialName = found->h_name;
    return true;
}

}  // namespace packwarden::MSocketSupport::Platform
