// The channel's logical handle, the dispatch procedure and the loop entry points.
#include <netdb.h>

#include <cstring>

#include "ServiceState.h"
#include "packwarden/MSocketSupport.h"

namespace MSocketSupport {

using detail::State;

namespace {

// Rounds of collection and dispatch in one ProcessPending while handlers keep queueing records.
constexpr int MaxRoundsPerDrain = 16;

}  // namespace

int32_t SocketWindow() {
    return State().window;
}

int32_t CreateSocketWindow() {
    auto& st = State();
    auto& hooks = Platform::TestHooks();
    if (hooks.createChannel && !hooks.createChannel()) {
        return 0;
    }
    if (!st.channel.Valid()) {
        return 0;
    }
    // A new value each time, so records queued for a destroyed window are told apart.
    st.lastWindow = st.lastWindow >= 0x7FFFFFFF ? 1 : st.lastWindow + 1;
    st.window = st.lastWindow;
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
    st.window = 0;
    st.retireWhenIdle = false;
    return true;
}

namespace detail {

void RetireWindowIfIdle() {
    auto& st = State();
    if (st.retireWhenIdle && !st.lookups.Present() && !st.sockets.Present() && st.closing.empty()) {
        st.window = 0;
        st.retireWhenIdle = false;
    }
}

namespace {

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
            if (error != 0) {
                std::string name;
                int32_t code = error;
                object->PostGetHostEvent(0, 0, name, code);
            } else {
                const auto* host = reinterpret_cast<const hostent*>(buffer->bytes);
                std::string name = AnsiStringAt(host->h_name);
                uint32_t address = 0;
                std::memcpy(&address, host->h_addr_list[0], sizeof address);
                int32_t code = 0;
                object->PostGetHostEvent(task, address, name, code);
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
    auto& st = State();
    if (window == 0 || window != st.window) {
        return false;
    }
    const uint32_t generation = message == st.winsockMessage ? st.channel.Generation(wParam) : 0;
    st.channel.Push({window, message, wParam, lParam, generation});
    return true;
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
                object->PostSocketEvent(LowWord(lParam), HighWord(lParam));
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

int ChannelFd() {
    return State().channel.Fd();
}

void ProcessPending() {
    auto& st = State();
    // Whatever is queued from here on is dispatched before this returns (or announced, below).
    const detail::Channel::DrainScope draining(st.channel);
    auto takeCompletions = [&st] {
        st.resolver.TakeCompleted(st.completions);
        for (const auto& done : st.completions) {
            st.channel.Push({st.window, st.resolveMessage, done.task,
                             static_cast<int32_t>(done.error << 16), 0});
        }
        st.completions.clear();
    };
    takeCompletions();
    for (int round = 1;; ++round) {
        st.channel.Collect(st.window, st.winsockMessage);
        if (st.channel.TakeWoken()) {
            // The collection consumed a wake-up: a lookup may have completed since the last look.
            takeCompletions();
        }
        if (st.channel.TakeTimerFired()) {
            detail::ExpireLingeringCloses();
        }
        // What handlers queued in the last round (and the completions) go behind the readiness
        // just collected.
        st.channel.Release();
        // A round dispatches what is queued now. What its handlers queue (the FD_WRITE after a
        // full send, above all) is held for the next round, behind fresh readiness, so that a
        // sender whose every completion sends again cannot keep the other sockets waiting.
        std::size_t batch = st.channel.Size();
        // Each record is popped before it is dispatched, so a handler may run a nested loop.
        detail::Record record;
        while (batch-- > 0 && st.channel.Pop(record)) {
            if (record.window == 0 || record.window != st.window) {
                continue;
            }
            if (record.message == st.winsockMessage &&
                record.generation != st.channel.Generation(record.wParam)) {
                continue;
            }
            SocketWindowProc(record.window, record.message, record.wParam, record.lParam);
        }
        if (st.channel.Empty()) {
            return;
        }
        if (round == MaxRoundsPerDrain) {
            // The embedding loop gets its turn; the descriptor stays readable for the rest.
            st.channel.Announce();
            return;
        }
    }
}

void AnnouncePending() {
    State().channel.Announce();
}

bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto& st = State();
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        ProcessPending();
        if (done()) {
            return true;
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return done();
        }
        // Round up, so a sub-millisecond remainder still waits instead of spinning. The wait
        // is the collection's own epoll_wait: what it finds is handled without a second call.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        st.channel.Wait(static_cast<int>(ms));
    }
}

}  // namespace MSocketSupport
