// SPDX-License-Identifier: MIT
// Small pieces shared by the socket fuzz targets: checks that abort with a message, raw
// loopback descriptors owned by RAII, and a bounded wait on the service's loop.
#pragma once

#include "LoopbackSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "packwarden/MSocketSupport.h"

namespace packwarden::fuzz {

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

using packwarden::testsupport::Fd;
using packwarden::testsupport::Loopback;

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
