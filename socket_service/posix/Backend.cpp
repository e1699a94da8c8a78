// SPDX-License-Identifier: MIT
// The POSIX realisation of the service's seam: no library to start, an epoll channel whose
// handle is a counter, readiness turned into records, lookups on a worker thread.
#include "Backend.h"

#include <unistd.h>

#include <array>
#include <mutex>
#include <unordered_map>

#include "PosixService.h"
#include "ServiceState.h"

namespace packwarden::MSocketSupport::detail {

namespace {

// Rounds of collection and dispatch in one ProcessPending while handlers keep queueing records.
constexpr int MaxRoundsPerDrain = 16;

}  // namespace

namespace backend {

int32_t Startup(int32_t& maxDatagramSize) {
    Posix();  // the channel's descriptors, made once for the life of the process
    // Nothing to start; the platform reports no datagram limit.
    maxDatagramSize = DefaultMaxDatagramSize;
    return 0;
}

void Cleanup() {}

uint32_t RegisterMessageName(const std::string& name) {
    // Numbers in the range the window system gives registered message names.
    static std::mutex mutex;
    static std::unordered_map<std::string, uint32_t> numbers;
    static uint32_t next = 0xC000;
    std::lock_guard lock(mutex);
    auto [it, added] = numbers.try_emplace(name, next);
    if (added) {
        ++next;
    }
    return it->second;
}

std::string ProgramName() {
    std::array<char, 4096> path{};
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    std::string name = n > 0 ? std::string(path.data(), static_cast<std::size_t>(n)) : "program";
    if (auto slash = name.rfind('/'); slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    return name;
}

int32_t CreateChannelWindow() {
    auto& px = Posix();
    if (!px.channel.Valid()) {
        return 0;
    }
    // A new value each time, so records queued for a destroyed window are told apart.
    px.lastWindow = px.lastWindow >= 0x7FFFFFFF ? 1 : px.lastWindow + 1;
    return px.lastWindow;
}

void DestroyChannelWindow(int32_t) {
    // Records still queued carry the old value and are dropped when they come up.
}

int32_t SelectEvents(int32_t handle, int32_t window, uint32_t message) {
    return Posix().channel.Watch(handle, window, message);
}

void StopEvents(int32_t handle) {
    Posix().channel.Unwatch(handle);
}

bool Post(int32_t window, uint32_t message, int32_t wParam, int32_t lParam) {
    auto& channel = Posix().channel;
    const uint32_t generation = message == State().winsockMessage ? channel.Generation(wParam) : 0;
    channel.Push({window, message, wParam, lParam, generation});
    return true;
}

int32_t StartLookup(const std::string& hostName, const std::shared_ptr<LookupBuffer>& buffer,
                    int32_t& task) {
    task = State().lookups.NewTask();
    return Posix().resolver.Start(task, hostName, buffer);
}

void WakeAt(std::chrono::steady_clock::time_point when) {
    Posix().channel.WakeAt(when);
}

void WaitForWork(int timeoutMs) {
    // The collection's own epoll_wait: what it finds is handled without a second call.
    Posix().channel.Wait(timeoutMs);
}

void Drain(bool announce) {
    auto& st = State();
    auto& px = Posix();
    // Whatever is queued from here on is dispatched before this returns (or announced, below).
    const Channel::DrainScope draining(px.channel);
    auto takeCompletions = [&st, &px] {
        if (!px.resolver.TakeCompleted(px.completions)) {
            return;
        }
        for (const auto& done : px.completions) {
            px.channel.Push({st.window, st.resolveMessage, done.task,
                             static_cast<int32_t>(done.error << 16), 0});
        }
        px.completions.clear();
    };
    takeCompletions();
    for (int round = 1;; ++round) {
        px.channel.Collect(st.window, st.winsockMessage);
        if (px.channel.TakeWoken()) {
            // The collection consumed a wake-up: a lookup may have completed since the last look.
            takeCompletions();
        }
        if (px.channel.TakeTimerFired()) {
            WakeUpDue();
        }
        // What handlers queued in the last round (and the completions) go behind the readiness
        // just collected.
        px.channel.Release();
        // A round dispatches what is queued now. What its handlers queue (the FD_WRITE after a
        // full send, above all) is held for the next round, behind fresh readiness, so that a
        // sender whose every completion sends again cannot keep the other sockets waiting.
        std::size_t batch = px.channel.Size();
        // Each record is popped before it is dispatched, so a handler may run a nested loop.
        Record record;
        while (batch-- > 0 && px.channel.Pop(record)) {
            if (record.window == 0 || record.window != st.window) {
                continue;
            }
            if (record.message == st.winsockMessage &&
                record.generation != px.channel.Generation(record.wParam)) {
                continue;
            }
            SocketWindowProc(record.window, record.message, record.wParam, record.lParam);
        }
        if (px.channel.Empty()) {
            return;
        }
        if (round == MaxRoundsPerDrain) {
            // The caller's loop gets its turn; the descriptor stays readable for the rest.
            if (announce) {
                px.channel.Announce();
            }
            return;
        }
    }
}

}  // namespace backend

}  // namespace packwarden::MSocketSupport::detail

namespace packwarden::MSocketSupport {

using detail::Posix;
using detail::State;

int ChannelFd() {
    return Posix().channel.Fd();
}

void ProcessPending() {
    detail::backend::Drain(true);
}

void AnnouncePending() {
    Posix().channel.Announce();
}

}  // namespace packwarden::MSocketSupport
