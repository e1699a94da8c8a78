// SPDX-License-Identifier: MIT
// The platform layer's last error and the seam through which tests make calls fail.
#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/TestHooks.h"

namespace packwarden::MSocketSupport::Platform {

namespace {
thread_local int32_t lastError = 0;
}  // namespace

int32_t LastPlatformError() {
    return lastError;
}

void SetLastPlatformError(int32_t winsockError) {
    lastError = winsockError;
}

Hooks& TestHooks() {
    static Hooks hooks;
    return hooks;
}

void ResetHooks() {
    TestHooks() = Hooks{};
}

}  // namespace packwarden::MSocketSupport::Platform
