// SPDX-License-Identifier: MIT
// Start-up and shut-down of the service, and its process-wide state.
#include "Backend.h"
#include "ServiceState.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"
#include "packwarden/detail/TestHooks.h"

namespace packwarden::MSocketSupport {

namespace detail {

void ReleaseService() {
    auto& st = State();
    if (st.libraryStarted) {
        backend::Cleanup();
    }
    st.started = false;
}

}  // namespace detail

int32_t InitWinsockService() {
    auto& st = detail::State();
    if (st.started) {
        // A new user: a release put off until the handed-over closes finish no longer holds.
        st.releaseAfterCloses = false;
        return st.maxDatagramSize;
    }
    auto& hooks = Platform::TestHooks();
    int32_t maxDatagramSize = 0;
    const int32_t code =
        hooks.startup ? hooks.startup() : detail::backend::Startup(maxDatagramSize);
    if (code != 0) {
        throw SocketError(Platform::LastPlatformError(), "MSocketSupport.InitWinsockService",
                          detail::StartupFailureText(code));
    }
    st.started = true;
    st.releaseAfterCloses = false;
    st.libraryStarted = !hooks.startup;
    // A stand-in start-up reports no size: the platform's own figure then holds.
    st.maxDatagramSize = hooks.startup ? DefaultMaxDatagramSize : maxDatagramSize;
    const std::string program = detail::backend::ProgramName();
    st.resolveMessage = detail::backend::RegisterMessageName(program + ".ResolveMessage");
    st.winsockMessage = detail::backend::RegisterMessageName(program + ".WinsockMessage");
    return st.maxDatagramSize;
}

void CleanupWinsockService() {
    auto& st = detail::State();
    if (!st.sockets.Present() && st.started) {
        if (!st.closing.empty()) {
            st.releaseAfterCloses = true;  // they still need the service
            return;
        }
        detail::ReleaseService();
    }
}

bool WinsockStarted() {
    return detail::State().started;
}
int32_t MaxDatagramSize() {
    return detail::State().maxDatagramSize;
}
uint32_t WinsockMessage() {
    return detail::State().winsockMessage;
}
uint32_t ResolveMessage() {
    return detail::State().resolveMessage;
}

}  // namespace packwarden::MSocketSupport
