// SPDX-License-Identifier: MIT
// Raw sockets for the tests' own peers on 127.0.0.1, the same on Linux and Windows: a
// descriptor owned by RAII, loopback addresses, the port a socket got, and the few calls a
// peer makes (raw::), blocking unless asked otherwise; and the process's count of open
// descriptors (handles on Windows), to show that nothing leaks. Shared by tests, fuzz targets
// and benchmarks.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// The tests name the event codes through MSocketSupport, not through Winsock's macros.
#undef FD_READ
#undef FD_WRITE
#undef FD_OOB
#undef FD_ACCEPT
#undef FD_CONNECT
#undef FD_CLOSE
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace raw {

#ifdef _WIN32
constexpr bool OnWindows = true;
using SocketLength = int;
using Buffer = char*;
using ConstBuffer = const char*;
constexpr int NoSignal = 0;
constexpr int CloseOnExec = 0;
constexpr int ShutSend = SD_SEND;
constexpr int ConnectionReset = WSAECONNRESET;
// The peers' own use of Winsock, before and after the service's.
inline const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(0x0202, &data) == 0;
}();
inline int Poll(pollfd* fds, unsigned long n, int timeoutMs) {
    return ::WSAPoll(fds, n, timeoutMs);
}
inline int CloseHandle(int fd) {
    return ::closesocket(static_cast<SOCKET>(fd));
}
inline int LastError() {
    return ::WSAGetLastError();
}
#else
constexpr bool OnWindows = false;
using SocketLength = socklen_t;
using Buffer = void*;
using ConstBuffer = const void*;
constexpr int NoSignal = MSG_NOSIGNAL;
constexpr int CloseOnExec = SOCK_CLOEXEC;
constexpr int ShutSend = SHUT_WR;
constexpr int ConnectionReset = ECONNRESET;
inline int Poll(pollfd* fds, nfds_t n, int timeoutMs) {
    return ::poll(fds, n, timeoutMs);
}
inline int CloseHandle(int fd) {
    return ::close(fd);
}
inline int LastError() {
    return errno;
}
#endif

// 127.0.0.1 at `port` (host byte order).
inline sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// ::1 at `port` (host byte order).
inline sockaddr_in6 Loopback6(uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    return a;
}

// A blocking IPv4 socket of `type` (SOCK_STREAM, SOCK_DGRAM); -1 on failure.
inline int Socket(int type = SOCK_STREAM) {
    return static_cast<int>(::socket(AF_INET, type | CloseOnExec, 0));
}
// The same, IPv6 only (never mapped IPv4).
inline int Socket6(int type = SOCK_STREAM) {
    const int fd = static_cast<int>(::socket(AF_INET6, type | CloseOnExec, 0));
    const int on = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
    return fd;
}
inline int Bind6(int fd, uint16_t port) {
    const sockaddr_in6 a = Loopback6(port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
}
inline int Connect6(int fd, uint16_t port) {
    const sockaddr_in6 a = Loopback6(port);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
}
inline int Close(int fd) {
    return CloseHandle(fd);
}
inline int Bind(int fd, uint16_t port) {
    const sockaddr_in a = Loopback(port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
}
inline int Listen(int fd, int backlog) {
    return ::listen(fd, backlog);
}
inline int Connect(int fd, uint16_t port) {
    const sockaddr_in a = Loopback(port);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
}
// Close-on-exec, as Socket makes its sockets: a program a test starts holds none of them.
inline int Accept(int fd) {
#ifdef _WIN32
    return static_cast<int>(::accept(fd, nullptr, nullptr));
#else
    return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}
inline long Send(int fd, const void* data, std::size_t n) {
    return ::send(fd, static_cast<ConstBuffer>(data), static_cast<int>(n), NoSignal);
}
inline long Send(int fd, const std::string& bytes) {
    return Send(fd, bytes.data(), bytes.size());
}
inline long SendTo(int fd, const void* data, std::size_t n, uint16_t port) {
    const sockaddr_in a = Loopback(port);
    return ::sendto(fd, static_cast<ConstBuffer>(data), static_cast<int>(n), NoSignal,
                    reinterpret_cast<const sockaddr*>(&a), sizeof a);
}
inline long Recv(int fd, void* data, std::size_t n, int flags = 0) {
    return ::recv(fd, static_cast<Buffer>(data), static_cast<int>(n), flags);
}
inline int ShutdownSend(int fd) {
    return ::shutdown(fd, ShutSend);
}
inline int SetOption(int fd, int level, int option, int value) {
    return ::setsockopt(fd, level, option, reinterpret_cast<ConstBuffer>(&value), sizeof value);
}
// Calls that would block fail with would-block instead (true), or block again (false).
inline void SetNonBlocking(int fd, bool on = true) {
#ifdef _WIN32
    u_long value = on ? 1 : 0;
    ::ioctlsocket(fd, FIONBIO, &value);
#else
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
#endif
}
// True when `events` (POLLIN, POLLOUT) hold within `timeoutMs`.
inline bool Wait(int fd, short events, int timeoutMs) {
    pollfd p{};
    p.fd = static_cast<decltype(p.fd)>(fd);
    p.events = events;
    return Poll(&p, 1, timeoutMs) == 1;
}
inline bool Readable(int fd, int timeoutMs) {
    return Wait(fd, POLLIN, timeoutMs);
}
// Closes with a reset instead of an orderly close.
inline void AbortiveClose(int fd) {
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<ConstBuffer>(&abort), sizeof abort);
    Close(fd);
}
// True while `fd` is an open socket.
inline bool IsSocket(int fd) {
    int type = 0;
    SocketLength len = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, reinterpret_cast<Buffer>(&type), &len) == 0;
}
// Where Wine is known to differ from what Windows documents, the check skips there and says why.
#define SKIP_UNDER_WINE(why) \
    if (raw::UnderWine())    \
    GTEST_SKIP() << "Wine differs from Windows here: " why
// Wine's server takes a reset's pending error when it sees the socket fail, so the owner's
// notification (and a later receive) reads as an orderly close.
#define SKIP_UNDER_WINE_ABORTIVE_CLOSE()                                     \
    SKIP_UNDER_WINE(                                                         \
        "an abortive close arrives as FD_CLOSE with error 0, where Windows " \
        "documents WSAECONNRESET (10054)")

#define SKIP_UNLESS_LOOKUPS_FAIL()                                                            \
    if (!raw::LookupsFailHere())                                                              \
    GTEST_SKIP() << "needs lookups that fail: no private network namespace here (unshare -n " \
                    "refused), and the names would reach a real resolver"

// The error of a lookup of a name that does not exist. Linux answers names under .invalid
// itself: host not found. Winsock asks the resolver, which the private network namespace the
// Windows tests run in cannot reach: "try again" (11002).
constexpr int32_t HostNotFound = OnWindows ? 11002 : 11001;

// The local port of a socket (host byte order); 0 when it has none.
inline uint16_t LocalPortOf(int fd) {
    sockaddr_storage a{};
    SocketLength len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return 0;
    }
    // Both families keep the port at the same place.
    return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
}

// True when running under Wine (whose ntdll exports wine_get_version); never on Linux.
inline bool UnderWine() {
#ifdef _WIN32
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// False when the test runs where names may reach a real resolver (Windows without the private
// network namespace scripts/lib/wine-run makes): a lookup that must fail cannot be made to.
inline bool LookupsFailHere() {
#ifdef _WIN32
    return std::getenv("PACKWARDEN_SHARED_NETWORK") == nullptr;
#else
    return true;  // the service answers names under .invalid itself
#endif
}

}  // namespace raw

namespace packwarden::testsupport {

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset(o.release());
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            raw::Close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

using raw::LocalPortOf;
using raw::Loopback;

// The number of descriptors (on Windows: handles) the process holds, to show that nothing leaks.
inline std::size_t OpenDescriptorCount() {
#ifdef _WIN32
    DWORD n = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &n);
    return n;
#else
    std::size_t n = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) {
            ++n;
        }
        ::closedir(dir);
    }
    return n;
#endif
}

}  // namespace packwarden::testsupport
