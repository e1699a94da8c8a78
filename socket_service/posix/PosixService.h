// SPDX-License-Identifier: MIT
// The POSIX realisation's own state: the epoll channel and the resolver's worker.
#pragma once

#include <cstdint>
#include <vector>

#include "Channel.h"
#include "Resolver.h"

namespace packwarden::MSocketSupport::detail {

struct PosixService {
    PosixService() : resolver(channel.WakeFd()) {}

    int32_t lastWindow = 0;
    std::vector<Resolver::Completion> completions;
    Channel channel;
    // Last, so that it is destroyed first: the worker stops writing to the channel before the
    // channel goes.
    Resolver resolver;
};

// Inline, like State(): the platform calls reach the channel through it on every event.
inline PosixService& Posix() {
    static PosixService service;
    return service;
}

}  // namespace packwarden::MSocketSupport::detail
