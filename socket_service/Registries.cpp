// SPDX-License-Identifier: MIT
// RegisterSocket, DeregisterSocket, ResolveHost: filling and emptying the service's tables.
#include "packwarden/detail/Registries.h"
#include "Backend.h"
#include "ServiceState.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/TestHooks.h"

namespace packwarden::MSocketSupport {

using detail::State;

bool RegisterSocket(int32_t socketHandle, std::weak_ptr<SocketEventSink> object) {
    auto& st = State();
    if (st.window == 0 && CreateSocketWindow() == 0) {
        CurrentError() =
            ErrorRecord{WsaEIntr, "MSocketSupport.RegisterSocket", "The operation was canceled."};
        return false;
    }
    st.retireWhenIdle = false;
    if (!st.sockets.Add(socketHandle, std::move(object))) {
        CurrentError().Clear();
        return false;
    }
    auto& hooks = Platform::TestHooks();
    int32_t error = 0;
    Platform::SetLastPlatformError(0);
    if (hooks.selectEvents && !hooks.selectEvents(socketHandle)) {
        error = Platform::LastPlatformError() != 0 ? Platform::LastPlatformError() : WsaEInval;
    } else {
        error = detail::backend::SelectEvents(socketHandle, st.window, st.winsockMessage);
    }
    if (error != 0) {
        // Leave nothing behind: the caller closes the handle without deregistering it.
        Platform::SetLastPlatformError(error);
        detail::backend::StopEvents(socketHandle);
        st.sockets.Remove(socketHandle);
        if (!st.sockets.Present()) {
            DestroySocketWindow();
        }
        detail::RecordError(error, "MSocketSupport.RegisterSocket");
        return false;
    }
    return true;
}

bool DeregisterSocket(int32_t socketHandle) {
    auto& st = State();
    if (!st.sockets.Present() || socketHandle == -1) {
        return false;
    }
    detail::backend::StopEvents(socketHandle);
    if (!st.sockets.Remove(socketHandle)) {
        throw SocketError(5, "MSocketSupport.DeregisterSocket",
                          "Invalid procedure call or argument");
    }
    bool result = true;
    if (!st.sockets.Present()) {
        result = DestroySocketWindow();
    }
    return result;
}

int32_t ResolveHost(std::string& hostName, std::weak_ptr<SocketEventSink> object) {
    auto& st = State();
    if (st.window == 0) {
        // Normally a registered socket asks, so the window exists; make one that lasts for
        // this lookup so its completion has somewhere to go.
        if (CreateSocketWindow() == 0) {
            detail::RecordError(WsaEIntr, "MSocketSupport.ResolveHost");
            CurrentError().Description = "The operation was canceled.";
            return 0;
        }
        st.retireWhenIdle = !st.sockets.Present();
    }
    const std::shared_ptr<SocketEventSink> caller = object.lock();
    const SocketEventSink* key = caller.get();
    auto buffer = std::make_shared<detail::LookupBuffer>();

    auto& hooks = Platform::TestHooks();
    int32_t error = 0;
    int32_t task = 0;
    Platform::SetLastPlatformError(0);
    if (hooks.startLookup && !hooks.startLookup(hostName)) {
        error = Platform::LastPlatformError() != 0 ? Platform::LastPlatformError() : WsaENoBufs;
    } else {
        // The completion comes through the channel, after this returns.
        error = detail::backend::StartLookup(hostName, buffer, task);
        if (error == 0) {
            st.lookups.Add(task, {std::move(object), key, buffer});
        }
    }
    if (error != 0) {
        Platform::SetLastPlatformError(error);
        detail::RetireWindowIfIdle();
        detail::RecordError(error, "MSocketSupport.ResolveHost");
        return 0;
    }
    return task;
}

void ForgetLookupBuffer(const SocketEventSink* object) {
    State().lookups.Forget(object);
}

bool SocketRegistryPresent() {
    return State().sockets.Present();
}
std::size_t SocketRegistryCount() {
    return State().sockets.Count();
}
bool LookupRegistryPresent() {
    return State().lookups.Present();
}
std::size_t LookupRegistryCount() {
    return State().lookups.Count();
}

std::shared_ptr<SocketEventSink> LookupOwner(int32_t taskHandle) {
    auto* entry = State().lookups.Find(taskHandle);
    return entry == nullptr ? nullptr : entry->object.lock();
}

}  // namespace packwarden::MSocketSupport
