// Small pieces shared by the socket fuzz targets: checks that abort with a message, raw
// loopback descriptors owned by RAII, and a bounded wait on the service's loop.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "MSocketSupport.h"

namespace packwarden::fuzz {

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        reset(o.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

inline sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A raw listener on 127.0.0.1 and a port the system chose.
inline Fd RawListener(uint16_t& port, int backlog = 64) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(0);
    Check(::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "bind");
    Check(::listen(fd.get(), backlog) == 0, "listen");
    socklen_t len = sizeof a;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// A blocking raw client connected to 127.0.0.1:port.
inline Fd RawClient(uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(port);
    Check(::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "connect");
    return fd;
}

// Runs the service's loop until `done` holds; a wait that does not end is a finding.
inline void MustReach(const std::function<bool()>& done, const char* what) {
    Check(MSocketSupport::RunUntil(done, std::chrono::seconds(3)), what);
}

}  // namespace packwarden::fuzz
