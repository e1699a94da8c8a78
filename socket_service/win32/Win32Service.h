// SPDX-License-Identifier: MIT
// The Win32 realisation's own state: the hidden notification window and what it must know to
// route Winsock's messages.
#pragma once

#include "WinsockHandles.h"

#include <chrono>
#include <cstdint>
#include <unordered_map>

namespace packwarden::MSocketSupport::detail {

struct Win32Service {
    Win32Service() = default;
    Win32Service(const Win32Service&) = delete;
    Win32Service& operator=(const Win32Service&) = delete;

    HWND window = nullptr;
    WNDPROC previous = nullptr;
    // Handles deregistered while messages for them may still be queued: their messages are
    // dropped until the marker posted behind them comes up (a closed handle's number is soon
    // given to a new socket, which must not hear the old one's events).
    std::unordered_map<int32_t, int> stale;
    // When the window's timer is due to call ExpireLingeringCloses; max when it is not set.
    std::chrono::steady_clock::time_point wakeAt = std::chrono::steady_clock::time_point::max();
};

Win32Service& Win32();

}  // namespace packwarden::MSocketSupport::detail
