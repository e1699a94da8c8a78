// SPDX-License-Identifier: MIT
// The platform layer: the socket calls a socket object makes, with Winsock error numbers and
// the channel's armed-flag rules kept beside each call.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "PosixService.h"
#include "SocketAddress.h"
#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/TestHooks.h"

namespace packwarden::MSocketSupport::Platform {

namespace {

using detail::MakeAddress;
using detail::ReadAddress;

int32_t Fail(int err) {
    SetLastPlatformError(WinsockErrorFromErrno(err));
    return -1;
}

// Winsock socket-level option numbers (level 0xFFFF) and TCP_NODELAY, to Linux ones.
bool TranslateOption(int32_t level, int32_t option, int& linuxLevel, int& linuxOption) {
    if (level == 0xFFFF) {
        linuxLevel = SOL_SOCKET;
        switch (option) {
            case 0x0002:
                linuxOption = SO_ACCEPTCONN;
                return true;
            case 0x0004:
                linuxOption = SO_REUSEADDR;
                return true;
            case 0x0008:
                linuxOption = SO_KEEPALIVE;
                return true;
            case 0x0010:
                linuxOption = SO_DONTROUTE;
                return true;
            case 0x0020:
                linuxOption = SO_BROADCAST;
                return true;
            case 0x0100:
                linuxOption = SO_OOBINLINE;
                return true;
            case 0x1001:
                linuxOption = SO_SNDBUF;
                return true;
            case 0x1002:
                linuxOption = SO_RCVBUF;
                return true;
            case 0x1007:
                linuxOption = SO_ERROR;
                return true;
            case 0x1008:
                linuxOption = SO_TYPE;
                return true;
            default:
                return false;
        }
    }
    if (level == IPPROTO_TCP && option == 1) {
        linuxLevel = IPPROTO_TCP;
        linuxOption = TCP_NODELAY;
        return true;
    }
    return false;
}

detail::Channel& Chan() {
    return detail::Posix().channel;
}

// The peer of the connection accepted last, until it is asked for: accept4 reports it, and
// the object that takes the connection asks for it at once. Its local end too, when the
// listener's address is a specific one: then every connection it accepts has that end.
struct AcceptedPeer {
    int32_t handle = -1;
    sockaddr_storage address{};
    int32_t localHandle = -1;  // the same connection, until its local end is asked for
};
AcceptedPeer& LastAccepted() {
    static AcceptedPeer peer;
    return peer;
}

// The local end of the listener that accepted last, read once per listener.
struct ListenerEnd {
    int32_t handle = -1;
    sockaddr_storage address{};
    bool specific = false;  // not a wildcard address: its connections share it
};
ListenerEnd& LastListener() {
    static ListenerEnd end;
    return end;
}

bool IsWildcard(const sockaddr_storage& sa) {
    if (sa.ss_family == AF_INET) {
        return reinterpret_cast<const sockaddr_in&>(sa).sin_addr.s_addr == htonl(INADDR_ANY);
    }
    if (sa.ss_family == AF_INET6) {
        const auto& a6 = reinterpret_cast<const sockaddr_in6&>(sa);
        return IN6_IS_ADDR_UNSPECIFIED(&a6.sin6_addr) || IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr);
    }
    return true;
}

// Whether the connection just accepted from `listener` has the listener's own local end.
bool SharesListenerEnd(int32_t listener) {
    ListenerEnd& end = LastListener();
    if (end.handle != listener) {
        socklen_t len = sizeof end.address;
        end.handle = listener;
        end.specific =
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&end.address), &len) == 0 &&
            !IsWildcard(end.address);
    }
    return end.specific;
}

}  // namespace

int32_t socket(int32_t family, int32_t type, int32_t protocol) {
    if (auto& hook = TestHooks().socket) {
        return hook(family, type, protocol);
    }
    const int fd = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        return Fail(errno);
    }
    Chan().SocketCreated(fd, type == SOCK_DGRAM);
    return fd;
}

int32_t closesocket(int32_t handle) {
    if (auto& hook = TestHooks().closesocket) {
        return hook(handle);
    }
    Chan().SocketClosed(handle);
    if (LastAccepted().handle == handle) {
        LastAccepted().handle = -1;
    }
    if (LastAccepted().localHandle == handle) {
        LastAccepted().localHandle = -1;
    }
    if (LastListener().handle == handle) {
        LastListener().handle = -1;
    }
    if (::close(handle) != 0) {
        return Fail(errno);
    }
    return 0;
}

int32_t connect(int32_t handle, const Address& address, uint16_t port) {
    // Linux answers 0 to a connect on a stream whose earlier connect has completed, where
    // Winsock answers "already connected"; re-arming FD_CONNECT there would report a second
    // connection that never happened.
    int type = 0;
    socklen_t typeLength = sizeof type;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (::getsockopt(handle, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 && type == SOCK_STREAM &&
        ::getpeername(handle, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0) {
        return Fail(EISCONN);
    }
    const auto sa = MakeAddress(address, port);
    if (::connect(handle, sa.get(), static_cast<socklen_t>(sa.length)) == 0) {
        // Done at once (or a datagram peer set): FD_CONNECT and FD_WRITE still follow.
        Chan().ConnectStarted(handle);
        return 0;
    }
    const int err = errno;
    if (err == EINPROGRESS) {
        Chan().ConnectStarted(handle);
    }
    return Fail(err);
}

int32_t bind(int32_t handle, const Address& address, uint16_t port) {
    const auto sa = MakeAddress(address, port);
    if (::bind(handle, sa.get(), static_cast<socklen_t>(sa.length)) != 0) {
        return Fail(errno);
    }
    return 0;
}

int32_t listen(int32_t handle, int32_t backlog) {
    if (::listen(handle, backlog) != 0) {
        return Fail(errno);
    }
    Chan().Listening(handle);
    return 0;
}

int32_t accept(int32_t handle, Address* address, uint16_t* port) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    const int fd =
        ::accept4(handle, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
            // The connection stays queued; asking again at once would only fail again.
            Chan().AcceptDeferred(handle);
        } else {
            Chan().Accepted(handle, -1);
        }
        return Fail(err);
    }
    Chan().Accepted(handle, fd);
    LastAccepted() = {fd, sa, SharesListenerEnd(handle) ? fd : -1};
    ReadAddress(sa, address, port);
    return fd;
}

namespace {
// The result of send or sendto: a send that would block arms FD_WRITE for when it can go on.
int32_t Sent(int32_t handle, ssize_t n) {
    if (n < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            Chan().SendWouldBlock(handle);
        }
        return Fail(err);
    }
    return static_cast<int32_t>(n);
}
}  // namespace

int32_t send(int32_t handle, const void* data, std::size_t length) {
    return Sent(handle, ::send(handle, data, length, MSG_NOSIGNAL));
}

int32_t sendto(int32_t handle, const void* data, std::size_t length, const Address& address,
               uint16_t port) {
    const auto sa = MakeAddress(address, port);
    return Sent(handle, ::sendto(handle, data, length, MSG_NOSIGNAL, sa.get(),
                                 static_cast<socklen_t>(sa.length)));
}

int32_t recv(int32_t handle, void* data, std::size_t length) {
    const ssize_t n = ::recv(handle, data, length, 0);
    const int err = n < 0 ? errno : 0;  // before the re-arming, which may make a call of its own
    Chan().ReceiveDone(handle);
    if (n < 0) {
        return Fail(err);
    }
    return static_cast<int32_t>(n);
}

int32_t recvfrom(int32_t handle, void* data, std::size_t length, Address* address, uint16_t* port) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    // A datagram larger than the room is cut short and reported as too long, as Winsock does.
    msghdr msg{};
    iovec iov{data, length};
    msg.msg_name = &sa;
    msg.msg_namelen = len;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(handle, &msg, 0);
    const int err = n < 0 ? errno : 0;
    Chan().ReceiveDone(handle);
    if (n < 0) {
        return Fail(err);
    }
    ReadAddress(sa, address, port);
    if ((msg.msg_flags & MSG_TRUNC) != 0) {
        return Fail(EMSGSIZE);
    }
    return static_cast<int32_t>(n);
}

int32_t shutdown(int32_t handle, int32_t how) {
    if (::shutdown(handle, how) != 0) {
        return Fail(errno);
    }
    return 0;
}

namespace {
// getsockname and getpeername: one end of a socket as an address and port.
int32_t ReadEnd(int (*query)(int, sockaddr*, socklen_t*), int32_t handle, Address* address,
                uint16_t* port) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (query(handle, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return Fail(errno);
    }
    ReadAddress(sa, address, port);
    return 0;
}
}  // namespace

int32_t getsockname(int32_t handle, Address* address, uint16_t* port) {
    if (AcceptedPeer& accepted = LastAccepted(); accepted.localHandle == handle && handle >= 0) {
        accepted.localHandle = -1;
        ReadAddress(LastListener().address, address, port);
        return 0;
    }
    return ReadEnd(::getsockname, handle, address, port);
}

int32_t getpeername(int32_t handle, Address* address, uint16_t* port) {
    if (AcceptedPeer& accepted = LastAccepted(); accepted.handle == handle && handle >= 0) {
        accepted.handle = -1;
        ReadAddress(accepted.address, address, port);
        return 0;
    }
    return ReadEnd(::getpeername, handle, address, port);
}

int32_t getsockopt(int32_t handle, int32_t level, int32_t option, int32_t* value) {
    int linuxLevel = 0;
    int linuxOption = 0;
    if (!TranslateOption(level, option, linuxLevel, linuxOption)) {
        return Fail(ENOPROTOOPT);
    }
    int v = 0;
    socklen_t len = sizeof v;
    if (linuxLevel == SOL_SOCKET && linuxOption == SO_TYPE && Chan().KnownType(handle) != 0) {
        v = Chan().KnownType(handle);  // accepted, connecting, listening or a datagram
    } else if (::getsockopt(handle, linuxLevel, linuxOption, &v, &len) != 0) {
        return Fail(errno);
    }
    if (linuxLevel == SOL_SOCKET && linuxOption == SO_ERROR) {
        v = WinsockErrorFromErrno(v);
    }
    if (value != nullptr) {
        *value = v;
    }
    return 0;
}

int32_t setsockopt(int32_t handle, int32_t level, int32_t option, int32_t value) {
    if (level == 0xFFFF && option == 0x0080) {
        // SO_LINGER takes a record; here the value is the time, negative for off.
        const ::linger l{value >= 0 ? 1 : 0, value >= 0 ? value : 0};
        if (::setsockopt(handle, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) {
            return Fail(errno);
        }
        return 0;
    }
    int linuxLevel = 0;
    int linuxOption = 0;
    if (!TranslateOption(level, option, linuxLevel, linuxOption)) {
        return Fail(ENOPROTOOPT);
    }
    const int v = value;
    if (::setsockopt(handle, linuxLevel, linuxOption, &v, sizeof v) != 0) {
        return Fail(errno);
    }
    return 0;
}

int32_t AllowRebind(int32_t handle) {
    const int on = 1;
    if (::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return Fail(errno);
    }
    return 0;
}

int32_t AllowBothFamilies(int32_t handle) {
    const int off = 0;
    if (::setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
        return Fail(errno);
    }
    return 0;
}

uint32_t inet_addr(const std::string& text) {
    return ::inet_addr(text.c_str());
}

std::string inet_ntoa(uint32_t address) {
    in_addr in{};
    in.s_addr = address;
    std::array<char, INET_ADDRSTRLEN> text{};
    if (::inet_ntop(AF_INET, &in, text.data(), text.size()) == nullptr) {
        return {};
    }
    return text.data();
}

bool gethostbyaddr(const Address& address, std::string& officialName) {
    hostent entry{};
    std::array<char, 2048> data{};
    hostent* result = nullptr;
    int hostError = 0;
    const bool v6 = address.IsV6();
    const int rc = ::gethostbyaddr_r(address.bytes.data(), v6 ? 16 : 4, v6 ? AF_INET6 : AF_INET,
                                     &entry, data.data(), data.size(), &result, &hostError);
    if (rc != 0 || result == nullptr || result->h_name == nullptr) {
        SetLastPlatformError(hostError == HOST_NOT_FOUND ? WsaHostNotFound
                             : hostError == TRY_AGAIN    ? WsaTryAgain
                             : hostError == NO_RECOVERY  ? WsaNoRecovery
                                                         : WsaNoData);
        return false;
    }
    officialName = result->h_name;
    return true;
}

}  // namespace packwarden::MSocketSupport::Platform
