// SPDX-License-Identifier: MIT
// Never installed: the seam through which the tests make the platform's calls fail. Only the
// service's own sources and the tests include it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace packwarden::MSocketSupport::Platform {

// The seam through which tests make fail what cannot be made to fail for real. Each hook,
// when set, replaces the real call; reset with ResetHooks().
struct Hooks {
    // Start-up: return 0, or one of WsaEInval/WsaSysNotReady/WsaVerNotSupported/other; set
    // LastPlatformError yourself.
    std::function<int32_t()> startup;
    std::function<bool()> createChannel;
    std::function<int32_t(int32_t family, int32_t type, int32_t protocol)> socket;
    std::function<int32_t(int32_t handle)> closesocket;
    // The request for a handle's notifications (RegisterSocket): return false to refuse it
    // (the error reported is the LastPlatformError the hook leaves; WsaEInval when it leaves none).
    std::function<bool(int32_t handle)> selectEvents;
    // Starting an asynchronous lookup (ResolveHost): return false to refuse it (the error
    // reported is the LastPlatformError the hook leaves; WsaENoBufs when it leaves none).
    std::function<bool(const std::string& hostName)> startLookup;
    // The lookup itself, run on the resolver's worker in place of the real one (a lookup that
    // never answers, say): returns the error number the lookup ends with (not 0). Taken when
    // the lookup starts, so resetting the hooks later does not reach a lookup under way.
    std::function<int32_t(const std::string& hostName)> lookup;
};
Hooks& TestHooks();
void ResetHooks();

}  // namespace packwarden::MSocketSupport::Platform
