// SPDX-License-Identifier: MIT
// The attempts of a connect to a name with more than one address; private to the CSocket
// sources.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "packwarden/detail/Platform.h"

namespace packwarden::detail {

// How long an attempt has before the next one starts alongside it.
constexpr std::chrono::milliseconds AttemptHeadStart{250};

struct ConnectRace {
    using Clock = std::chrono::steady_clock;
    struct Attempt {
        int32_t handle;
        MSocketSupport::Platform::Address address;
    };

    // Not tried yet, in the order they are to be tried.
    std::vector<MSocketSupport::Platform::Address> waiting;
    std::size_t next = 0;
    // Under way, each a handle registered for the object; the object's own handle is one.
    std::vector<Attempt> attempts;
    // The last failure's error, which the owner gets when every address has failed.
    int32_t lastError = 0;
    // When the next waiting address starts if nothing fails before then.
    Clock::time_point nextStart = Clock::time_point::max();

    bool Waiting() const { return next < waiting.size(); }
    const Attempt* Find(int32_t handle) const {
        for (const Attempt& a : attempts) {
            if (a.handle == handle) {
                return &a;
            }
        }
        return nullptr;
    }
};

// The order to try addresses in: IPv6 first, then the families in turn, each family's addresses
// in the order given.
std::vector<MSocketSupport::Platform::Address> RaceOrder(
    const MSocketSupport::Platform::Address* addresses, std::size_t count);

}  // namespace packwarden::detail
