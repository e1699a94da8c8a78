// SPDX-License-Identifier: MIT
// The channel's handle and the dispatch procedure, the same on every platform; the platform's
// folder delivers the records (and provides the loop entry points).
#include "Backend.h"
#include "ServiceState.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"
#include "packwarden/detail/TestHooks.h"

namespace packwarden::MSocketSupport {

using detail::State;

int32_t SocketWindow() {
    return State().window;
}

int32_t CreateSocketWindow() {
    auto& st = State();
    auto& hooks = Platform::TestHooks();
    if (hooks.createChannel && !hooks.createChannel()) {
        return 0;
    }
    const int32_t window = detail::backend::CreateChannelWindow();
    if (window == 0) {
        return 0;
    }
    st.window = window;
    st.retireWhenIdle = false;
    return st.window;
}

bool DestroySocketWindow() {
    auto& st = State();
    if (st.window == 0) {
        return false;
    }
    if (st.lookups.Present() || !st.closing.empty()) {
        // Outstanding lookups and closes still need the channel to complete through.
        st.retireWhenIdle = true;
        return true;
    }
    detail::backend::DestroyChannelWindow(st.window);
    st.window = 0;
    st.retireWhenIdle = false;
    return true;
}

namespace detail {

void RetireWindowIfIdle() {
    auto& st = State();
    if (st.retireWhenIdle && !st.sockets.Present()) {
        DestroySocketWindow();  // keeps it while lookups or closes still need it
    }
}

namespace {

// Delivers a lookup's completion to the object that asked for it and releases the lookup.
void DeliverLookup(int32_t task, int32_t error) {
    auto& st = State();
    auto* entry = st.lookups.Find(task);
    if (entry == nullptr) {
        return;
    }
    // A strong reference for the one call; an object that has gone gets nothing.
    std::shared_ptr<SocketEventSink> object = entry->object.lock();
    const std::shared_ptr<LookupBuffer> buffer = entry->buffer;
    if (object) {
        try {
            std::string name;
            int32_t code = error;
            if (error == 0 && buffer->addresses.empty()) {
                code = WsaNoData;  // a lookup that answered nothing usable
            }
            if (code != 0) {
                object->PostGetHostEvent(0, nullptr, 0, name, code);
            } else {
                name = buffer->name;
                object->PostGetHostEvent(task, buffer->addresses.data(), buffer->addresses.size(),
                                         name, code);
            }
        } catch (...) {
            // Dispatch never raises; the lookup is released all the same, so nothing leaks.
        }
    }
    st.lookups.Remove(task);
    RetireWindowIfIdle();
}

}  // namespace
}  // namespace detail

bool PostChannelRecord(int32_t window, uint32_t message, int32_t wParam, int32_t lParam) {
    if (window == 0 || window != State().window) {
        return false;
    }
    return detail::backend::Post(window, message, wParam, lParam);
}

bool PostSocketRecord(int32_t socketHandle, int32_t eventCode) {
    const auto& st = State();
    if (st.window == 0) {
        return false;
    }
    return detail::backend::Post(st.window, st.winsockMessage, socketHandle, eventCode);
}

int32_t SocketWindowProc(int32_t window, uint32_t message, int32_t wParam, int32_t lParam) {
    auto& st = State();
    if (message != 0 && message == st.winsockMessage) {
        std::shared_ptr<SocketEventSink> object = st.sockets.Find(wParam);
        if (!object && !st.closing.empty()) {
            // A connection its object let go of, whose close the service is finishing.
            if (auto it = st.closing.find(wParam); it != st.closing.end()) {
                object = it->second;
            }
        }
        if (object) {
            try {
                object->PostHandleEvent(wParam, LowWord(lParam), HighWord(lParam));
            } catch (...) {
                // Absorbed: the dispatch never raises.
            }
        }
        return 0;
    }
    if (message != 0 && message == st.resolveMessage) {
        detail::DeliverLookup(wParam, HighWord(lParam));
        return 0;
    }
    if (st.previousProc) {
        try {
            return st.previousProc(window, message, wParam, lParam);
        } catch (...) {
            return 0;
        }
    }
    return 0;
}

void SetPreviousWindowProc(WindowProc proc) {
    State().previousProc = std::move(proc);
}

bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        // Records left after a drain's last round are seen by the wait below, which does not
        // block for them: no wake-up needed on the way, only when this returns (the caller's
        // loop may block next).
        detail::backend::Drain(false);
        if (done()) {
            AnnouncePending();
            return true;
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            const bool result = done();
            AnnouncePending();
            return result;
        }
        // Round up, so a sub-millisecond remainder still waits instead of spinning.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        detail::backend::WaitForWork(static_cast<int>(ms));
    }
}

}  // namespace packwarden::MSocketSupport
