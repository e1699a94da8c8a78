// SPDX-License-Identifier: MIT
#include "Channel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::MSocketSupport::detail {

namespace {

constexpr uint64_t WakeTag = uint64_t{1} << 40;
constexpr uint64_t TimerTag = uint64_t{2} << 40;
constexpr uint64_t WakeTimerTag = uint64_t{3} << 40;
// How long a listener rests after an accept that ran out of descriptors.
constexpr long AcceptPauseNanoseconds = 100'000'000;

int32_t PendingSocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        err = errno;
    }
    return err == 0 ? 0 : Platform::WinsockErrorFromErrno(err);
}

bool HasUnreadData(int fd) {
    int available = 0;
    return ::ioctl(fd, FIONREAD, &available) == 0 && available > 0;
}

}  // namespace

Channel::Channel()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      timer_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      wakeTimer_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
    if (!Valid()) {
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = WakeTag;
    ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), &ev);
    if (timer_.Valid()) {
        ev.events = EPOLLIN;
        ev.data.u64 = TimerTag;
        ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, timer_.Get(), &ev);
    }
    if (wakeTimer_.Valid()) {
        ev.events = EPOLLIN;
        ev.data.u64 = WakeTimerTag;
        ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wakeTimer_.Get(), &ev);
    }
}

void Channel::WakeAt(std::chrono::steady_clock::time_point when) {
    if (when >= wakeAt_) {
        return;  // an earlier wake-up is set; whoever it wakes looks again
    }
    wakeAt_ = when;
    const auto left = std::max(when - std::chrono::steady_clock::now(),
                               std::chrono::steady_clock::duration(std::chrono::microseconds(1)));
    const auto seconds = std::chrono::floor<std::chrono::seconds>(left);
    itimerspec due{};
    due.it_value.tv_sec = static_cast<time_t>(seconds.count());
    due.it_value.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
    if (!wakeTimer_.Valid() || ::timerfd_settime(wakeTimer_.Get(), 0, &due, nullptr) != 0) {
        // Without a timer the next collection reports it: late rather than never.
        wakeAt_ = std::chrono::steady_clock::time_point::max();
        timerFired_ = true;
    }
}

void Channel::Release() {
    for (const Record& record : held_) {
        queue_.Push(record);
    }
    held_.clear();
}

void Channel::Announce() {
    if (!Empty() && !wakeSignalled_) {
        wakeSignalled_ = true;
        Wake();
    }
}

void Channel::Wake() const {
    const uint64_t one = 1;
    // Every write is an edge. The counter is never read; it would take 2^64 writes to fill.
    [[maybe_unused]] auto written = ::write(wake_.Get(), &one, sizeof one);
}

Channel::Slot& Channel::At(int fd) {
    const auto index = static_cast<std::size_t>(fd);
    if (index >= slots_.size()) {
        std::size_t size = slots_.empty() ? 64 : slots_.size();
        while (size <= index) {
            size *= 2;
        }
        slots_.resize(size);
    }
    return slots_[index];
}

void Channel::Reset(int fd, Phase phase) {
    Slot& slot = At(fd);
    if (slot.inSet) {
        ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr);
    }
    const uint32_t generation = slot.generation + 1;
    slot = Slot{};
    slot.generation = generation;
    slot.phase = phase;
}

uint32_t Channel::Interest(const Slot& slot) const {
    constexpr uint32_t In = EPOLLIN;
    constexpr uint32_t Out = EPOLLOUT;
    constexpr uint32_t PeerClosed = EPOLLRDHUP;
    if (!slot.watched || slot.parked) {
        return 0;
    }
    switch (slot.phase) {
        case Phase::Fresh:
            return 0;
        case Phase::Connecting:
            return slot.armConnect ? Out : 0;
        case Phase::Connected:
            if (slot.closeQueued) {
                // Only a pending FD_WRITE may still be owed after the close was reported.
                return slot.armWrite ? Out : 0;
            }
            // Reading interest whatever the flag (see the header); writable is nearly always
            // true, so that one follows its flag.
            return PeerClosed | In | (slot.armWrite ? Out : 0);
        case Phase::Listening:
            return In;
        case Phase::Datagram:
            return In | (slot.armWrite ? Out : 0);
    }
    return 0;
}

void Channel::Update(int fd, Slot& slot) {
    const uint32_t wanted = Interest(slot);
    if (wanted == 0) {
        // Out of the set altogether: EPOLLHUP/EPOLLERR would be reported even with no interest.
        if (slot.inSet) {
            ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr);
            slot.inSet = false;
        }
        slot.interest = 0;
        return;
    }
    if (slot.inSet && wanted == slot.interest) {
        return;
    }
    epoll_event ev{};
    ev.events = wanted;
    ev.data.u64 = static_cast<uint64_t>(fd);
    if (::epoll_ctl(epoll_.Get(), slot.inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) == 0) {
        slot.inSet = true;
        slot.interest = wanted;
    }
}

void Channel::Changed(int fd) {
    if (Slot* slot = Find(fd)) {
        slot->parked = false;
        Update(fd, *slot);
    }
}

int32_t Channel::Watch(int fd, int32_t window, uint32_t message) {
    if (fd < 0) {
        return WsaENotSock;
    }
    Slot& slot = At(fd);
    if (slot.phase == Phase::Fresh) {
        // A socket made outside the platform layer, or not yet connected: ask the kernel
        // whether and what it is. One the platform layer accepted or connected is known, and
        // an accept then costs no question.
        int type = 0;
        socklen_t len = sizeof type;
        if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) {
            return Platform::WinsockErrorFromErrno(errno);
        }
        if (type == SOCK_DGRAM) {
            slot.phase = Phase::Datagram;
        } else {
            int accepting = 0;
            len = sizeof accepting;
            sockaddr_storage peer{};
            socklen_t peerLen = sizeof peer;
            if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) == 0 &&
                accepting != 0) {
                slot.phase = Phase::Listening;
            } else if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0) {
                slot.phase = Phase::Connected;
            }
        }
    }
    slot.watched = true;
    slot.parked = false;
    slot.armRead = true;
    slot.armWrite = false;
    slot.armAccept = slot.phase == Phase::Listening;
    slot.closeQueued = false;
    if (slot.phase == Phase::Connected || slot.phase == Phase::Datagram) {
        // An accepted or datagram socket may send at once.
        Push({window, message, fd, FD_WRITE, slot.generation});
    }
    Update(fd, slot);
    return 0;
}

int Channel::KnownType(int fd) const {
    if (fd < 0 || static_cast<std::size_t>(fd) >= slots_.size()) {
        return 0;
    }
    switch (slots_[static_cast<std::size_t>(fd)].phase) {
        case Phase::Connecting:
        case Phase::Connected:
        case Phase::Listening:
            return SOCK_STREAM;
        case Phase::Datagram:
            return SOCK_DGRAM;
        case Phase::Fresh:
            break;
    }
    return 0;
}

void Channel::Unwatch(int fd) {
    if (Slot* slot = Find(fd)) {
        const Phase phase = slot->phase;
        Reset(fd, phase);
    }
}

void Channel::SocketCreated(int fd, bool datagram) {
    Reset(fd, datagram ? Phase::Datagram : Phase::Fresh);
}

void Channel::SocketClosed(int fd) {
    if (Find(fd) != nullptr) {
        Reset(fd, Phase::Fresh);
    }
}

void Channel::ConnectStarted(int fd) {
    Slot& slot = At(fd);
    if (slot.phase == Phase::Datagram) {
        return;  // a datagram "connect" only fixes the peer
    }
    slot.phase = Phase::Connecting;
    slot.armConnect = true;
    slot.closeQueued = false;
    Changed(fd);
}

void Channel::Listening(int fd) {
    Slot& slot = At(fd);
    slot.phase = Phase::Listening;
    slot.armAccept = true;
    Changed(fd);
}

void Channel::Accepted(int listener, int newFd) {
    if (Slot* slot = Find(listener)) {
        slot->armAccept = true;
        Changed(listener);
    }
    if (newFd >= 0) {
        Reset(newFd, Phase::Connected);
    }
}

void Channel::AcceptDeferred(int listener) {
    Slot* slot = Find(listener);
    if (slot == nullptr) {
        return;
    }
    deferred_.push_back({listener, slot->generation});
    if (timer_.Valid()) {
        itimerspec pause{};
        pause.it_value.tv_nsec = AcceptPauseNanoseconds;
        ::timerfd_settime(timer_.Get(), 0, &pause, nullptr);
    } else {
        HandleTimer();
    }
}

void Channel::ReceiveDone(int fd) {
    if (Slot* slot = Find(fd)) {
        slot->armRead = true;
        // No phase's interest follows the flag (see Interest): only a parked socket, or one
        // the set does not hold, needs looking at again.
        if (slot->parked || !slot->inSet) {
            Changed(fd);
        }
    }
}

void Channel::SendWouldBlock(int fd) {
    if (Slot* slot = Find(fd)) {
        slot->armWrite = true;
        Changed(fd);
    }
}

void Channel::HandleTimer() {
    uint64_t expirations = 0;
    if (timer_.Valid()) {
        [[maybe_unused]] auto got = ::read(timer_.Get(), &expirations, sizeof expirations);
    }
    std::vector<Deferred> due;
    due.swap(deferred_);
    for (const Deferred& d : due) {
        Slot* slot = Find(d.fd);
        if (slot != nullptr && slot->generation == d.generation) {
            slot->armAccept = true;
            Changed(d.fd);
        }
    }
}

// The records one socket's readiness queues in one collection, and what they ask of the set.
struct Channel::Readiness {
    RecordQueue<Record>& queue;
    int fd;
    int32_t window;
    uint32_t message;
    uint32_t generation;
    bool queued = false;
    // Only reading and accepting were disarmed, which no interest follows (see Interest): the
    // set needs no update. Anything else that queues sets this.
    bool reconsider = false;

    void Queue(int32_t code, int32_t error) {
        // Collected readiness goes straight into the FIFO (see Push for the others).
        queue.Push({window, message, fd, code | (error << 16), generation});
        queued = true;
        reconsider = reconsider || (code != FD_READ && code != FD_ACCEPT);
    }
};

bool Channel::HandleSocket(int fd, uint32_t events, int32_t window, uint32_t message) {
    Slot* found = Find(fd);
    if (found == nullptr || !found->watched) {
        ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr);
        if (found != nullptr) {
            found->inSet = false;
        }
        return true;
    }
    Slot& slot = *found;
    Readiness ready{queue_, fd, window, message, slot.generation};
    // Each phase queues in the order FD_CONNECT, FD_WRITE, FD_READ, FD_ACCEPT, FD_CLOSE.
    switch (slot.phase) {
        case Phase::Fresh:
            break;  // readiness means nothing yet (a fresh TCP socket reports writable, hung up)
        case Phase::Connecting:
            ConnectingReady(slot, events, ready);
            break;
        case Phase::Connected:
            ConnectedReady(slot, events, ready);
            break;
        case Phase::Listening:
            ListeningReady(slot, events, ready);
            break;
        case Phase::Datagram:
            DatagramReady(slot, events, ready);
            break;
    }
    return Settle(slot, ready);
}

void Channel::ConnectingReady(Slot& slot, uint32_t events, Readiness& ready) {
    if (!slot.armConnect || (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) {
        return;
    }
    slot.armConnect = false;
    const int32_t error = PendingSocketError(ready.fd);
    if (error == 0 && (events & EPOLLOUT) != 0 && (events & EPOLLHUP) == 0) {
        ready.Queue(FD_CONNECT, 0);
        slot.phase = Phase::Connected;
        ready.Queue(FD_WRITE, 0);
        slot.armWrite = false;
    } else {
        ready.Queue(FD_CONNECT, error != 0 ? error : WsaEConnRefused);
        slot.phase = Phase::Fresh;
    }
}

void Channel::ConnectedReady(Slot& slot, uint32_t events, Readiness& ready) {
    const bool failed = (events & EPOLLERR) != 0;
    if (slot.closeQueued) {
        if (slot.armWrite && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
            slot.armWrite = false;
            ready.Queue(FD_WRITE, 0);
        }
        return;
    }
    if (slot.armWrite && (events & EPOLLOUT) != 0 && !failed) {
        slot.armWrite = false;
        ready.Queue(FD_WRITE, 0);
    }
    if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0) {
        if (slot.armRead && (events & EPOLLIN) != 0) {
            slot.armRead = false;
            ready.Queue(FD_READ, 0);
        }
        return;
    }
    // The stream has ended: readable now means only "at its end" unless bytes remain.
    const bool unread = HasUnreadData(ready.fd);
    if (slot.armRead && (events & EPOLLIN) != 0 && unread) {
        slot.armRead = false;
        ready.Queue(FD_READ, 0);
    }
    // A reset is reported at once. An orderly close, as Winsock documents, only once nothing
    // is left to read: until then the reads that drain it come first.
    if (failed || !unread) {
        slot.closeQueued = true;
        ready.Queue(FD_CLOSE, failed ? PendingSocketError(ready.fd) : 0);
    }
}

void Channel::ListeningReady(Slot& slot, uint32_t events, Readiness& ready) {
    if (slot.armAccept && (events & EPOLLIN) != 0) {
        slot.armAccept = false;
        ready.Queue(FD_ACCEPT, 0);
    }
}

void Channel::DatagramReady(Slot& slot, uint32_t events, Readiness& ready) {
    if (slot.armWrite && (events & EPOLLOUT) != 0) {
        slot.armWrite = false;
        ready.Queue(FD_WRITE, 0);
    }
    // A pending error (an ICMP port-unreachable, say) is what the next receive reports.
    if (slot.armRead && (events & (EPOLLIN | EPOLLERR)) != 0) {
        slot.armRead = false;
        ready.Queue(FD_READ, 0);
    }
}

bool Channel::Settle(Slot& slot, const Readiness& ready) {
    if (ready.queued) {
        slot.queuedIn = collection_;
        if (!ready.reconsider) {
            return true;
        }
    } else if (slot.queuedIn == collection_) {
        // Reported again before its records were dispatched; their dispatch re-arms it.
        return false;
    } else {
        slot.parked = true;
    }
    Update(ready.fd, slot);
    return true;
}

void Channel::Wait(int timeoutMs) {
    if (!epoll_.Valid()) {
        ::poll(nullptr, 0, timeoutMs);  // nothing can come: just let the time pass
        return;
    }
    if (waited_ > 0) {
        return;
    }
    if (!Empty()) {
        timeoutMs = 0;  // posted records are due now
    }
    const int n =
        ::epoll_wait(epoll_.Get(), events_.data(), static_cast<int>(events_.size()), timeoutMs);
    waited_ = n > 0 ? n : 0;
}

void Channel::Collect(int32_t window, uint32_t message) {
    if (!epoll_.Valid()) {
        return;
    }
    // Zero never names a collection, so a fresh slot has queued in none.
    collection_ = collection_ == UINT32_MAX ? 1 : collection_ + 1;
    for (;;) {
        int n = waited_;
        waited_ = 0;
        if (n == 0) {
            n = ::epoll_wait(epoll_.Get(), events_.data(), static_cast<int>(events_.size()), 0);
        }
        if (n <= 0) {
            return;
        }
        bool wrapped = false;
        for (int i = 0; i < n; ++i) {
            const epoll_event& ev = events_[static_cast<std::size_t>(i)];
            if (ev.data.u64 == WakeTag) {
                wakeSignalled_ = false;
                woken_ = true;
                continue;
            }
            if (ev.data.u64 == TimerTag) {
                HandleTimer();
                continue;
            }
            if (ev.data.u64 == WakeTimerTag) {
                uint64_t expirations = 0;
                [[maybe_unused]] auto got =
                    ::read(wakeTimer_.Get(), &expirations, sizeof expirations);
                wakeAt_ = std::chrono::steady_clock::time_point::max();
                timerFired_ = true;
                continue;
            }
            if (!HandleSocket(static_cast<int>(ev.data.u64), ev.events, window, message)) {
                wrapped = true;
            }
        }
        // A full batch may hide more, unless the ready list has already come round.
        if (static_cast<std::size_t>(n) < events_.size() || wrapped) {
            return;
        }
    }
}

}  // namespace packwarden::MSocketSupport::detail
