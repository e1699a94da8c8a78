// SPDX-License-Identifier: MIT
// Objects' deadlines, served by the same wake-up of the loop as the closes the service finishes.
#include <algorithm>
#include <vector>

#include "Backend.h"
#include "Lingering.h"
#include "ServiceState.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::MSocketSupport {

using Clock = std::chrono::steady_clock;

void SetDeadline(std::weak_ptr<SocketEventSink> object, Clock::time_point when) {
    const std::shared_ptr<SocketEventSink> caller = object.lock();
    if (!caller) {
        return;
    }
    detail::State().deadlines[caller.get()] = {std::move(object), when};
    detail::backend::WakeAt(when);
}

void ClearDeadline(const SocketEventSink* object) {
    detail::State().deadlines.erase(object);
}

std::size_t DeadlineCount() {
    return detail::State().deadlines.size();
}

namespace detail {

void WakeUpDue() {
    ExpireLingeringCloses();
    auto& st = State();
    const auto now = Clock::now();
    std::vector<std::shared_ptr<SocketEventSink>> due;
    for (auto it = st.deadlines.begin(); it != st.deadlines.end();) {
        if (it->second.when > now) {
            ++it;
            continue;
        }
        // Taken out before any is called: a call may set its object's next deadline.
        if (auto object = it->second.object.lock()) {
            due.push_back(std::move(object));
        }
        it = st.deadlines.erase(it);
    }
    for (const auto& object : due) {
        try {
            object->DeadlineReached();
        } catch (...) {
            // Absorbed, as every dispatch is.
        }
    }
    // The wake-up that called this has been used: set the next one still needed.
    auto next = Clock::time_point::max();
    for (const auto& [key, deadline] : st.deadlines) {
        next = std::min(next, deadline.when);
    }
    if (next != Clock::time_point::max()) {
        backend::WakeAt(next);
    }
}

}  // namespace detail

}  // namespace packwarden::MSocketSupport
