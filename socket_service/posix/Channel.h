// SPDX-License-Identifier: MIT
// The notification channel on Linux: one FIFO of records fed by an epoll set.
//
// Readiness is turned into Winsock-style network events through per-socket "armed" flags, so
// at most one event of a kind is outstanding. Sockets are only in the epoll set while their
// phase makes readiness meaningful (a fresh TCP socket reports writable and hung-up), and a
// socket whose readiness produced nothing is parked (taken out of the set) until one of its
// flags changes, so the loop never spins. Reading (and accepting) interest stays in the set
// while the flag is disarmed: the receive that re-arms it normally comes before the next
// collection, so the steady state costs no epoll_ctl at all.
#pragma once

#include <sys/epoll.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "FileDescriptor.h"
#include "RecordQueue.h"

namespace packwarden::MSocketSupport::detail {

struct Record {
    int32_t window = 0;
    uint32_t message = 0;
    int32_t wParam = 0;
    int32_t lParam = 0;
    // The socket slot's generation when the record was queued; a record that outlives its
    // socket's registration (the descriptor may be reused) is dropped.
    uint32_t generation = 0;
};

enum class Phase : uint8_t { Fresh, Connecting, Connected, Listening, Datagram };

class Channel {
  public:
    Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    bool Valid() const { return epoll_.Valid() && wake_.Valid(); }
    int Fd() const { return epoll_.Get(); }
    int WakeFd() const { return wake_.Get(); }

    // The FIFO. A record pushed while a drain is under way (DrainScope) is held for that
    // drain's next round, which releases it behind the readiness it collects first: a socket
    // that becomes readable is served before the completion its peer just earned (the FD_WRITE
    // after a full send), so a stream's data is read as soon as it is sent. Held records make
    // no wake-up; any other push makes the descriptor readable.
    void Push(const Record& record) {
        if (draining_ > 0) {
            held_.push_back(record);
            return;
        }
        queue_.Push(record);
        Announce();
    }
    // Moves the held records to the FIFO's tail, in the order they were pushed.
    void Release();
    bool Pop(Record& out) { return queue_.Pop(out); }
    // Nothing queued and nothing held.
    bool Empty() const { return queue_.Empty() && held_.empty(); }
    // Records in the FIFO (not counting held ones).
    std::size_t Size() const { return queue_.Size(); }
    // Makes the channel's descriptor readable (from any thread: it only writes the eventfd).
    // The eventfd is edge-triggered in the set, so a wake-up is consumed by the collection
    // that reports it and the counter never needs reading.
    void Wake() const;
    // Makes the descriptor readable if records wait: for a loop that a handler runs inside a
    // drain, which would otherwise block with records that only the outer drain would reach.
    void Announce();
    // Marks a drain (collection and dispatch) under way; drains nest.
    class DrainScope {
      public:
        explicit DrainScope(Channel& channel) : channel_(channel) { ++channel_.draining_; }
        ~DrainScope() { --channel_.draining_; }
        DrainScope(const DrainScope&) = delete;
        DrainScope& operator=(const DrainScope&) = delete;

      private:
        Channel& channel_;
    };
    // True once after a collection that reported a wake-up: work announced from another
    // thread (a lookup completion) may have arrived since it was last looked for.
    bool TakeWoken() {
        const bool woken = woken_;
        woken_ = false;
        return woken;
    }
    // Makes the descriptor readable at `when` (or earlier, if an earlier wake-up is set) and
    // TakeTimerFired() true once after the collection that sees it.
    void WakeAt(std::chrono::steady_clock::time_point when);
    bool TakeTimerFired() {
        const bool fired = timerFired_;
        timerFired_ = false;
        return fired;
    }

    // Registration: classify the socket, arm FD_READ/FD_CLOSE (and FD_ACCEPT when listening),
    // queue the FD_WRITE an accepted or datagram socket gets at once. Returns 0 or a Winsock
    // error number.
    int32_t Watch(int fd, int32_t window, uint32_t message);
    // Deregistration: out of the set; queued records for it are dropped.
    void Unwatch(int fd);
    // The type (SOCK_STREAM, SOCK_DGRAM) of a socket whose phase the platform calls set; 0
    // for one they have not seen, or only made.
    int KnownType(int fd) const;
    uint32_t Generation(int fd) const {
        if (fd < 0 || static_cast<std::size_t>(fd) >= slots_.size()) {
            return 0;
        }
        return slots_[static_cast<std::size_t>(fd)].generation;
    }

    // Flag changes made by the platform calls.
    void SocketCreated(int fd, bool datagram);
    void SocketClosed(int fd);
    void ConnectStarted(int fd);
    void Listening(int fd);
    void Accepted(int listener, int newFd);
    // An accept that failed for lack of descriptors: re-arm only after a pause.
    void AcceptDeferred(int listener);
    void ReceiveDone(int fd);
    void SendWouldBlock(int fd);

    // Turns pending readiness into records (never blocks). Readiness found by Wait is used
    // first, without asking the system again.
    void Collect(int32_t window, uint32_t message);
    // Blocks until something is ready or `timeoutMs` passes; keeps what it found for Collect.
    // Does not block while records wait.
    void Wait(int timeoutMs);

  private:
    // One per descriptor number, the idle ones included: 16 bytes, the flags as bits.
    struct Slot {
        uint32_t generation = 0;
        uint32_t interest = 0;
        // The collection in which the socket last queued a record.
        uint32_t queuedIn = 0;
        Phase phase = Phase::Fresh;
        bool watched : 1 = false;
        bool inSet : 1 = false;
        bool parked : 1 = false;
        bool armRead : 1 = false;
        bool armWrite : 1 = false;
        bool armAccept : 1 = false;
        bool armConnect : 1 = false;
        bool closeQueued : 1 = false;
    };
    static_assert(sizeof(Slot) <= 16);
    struct Deferred {
        int fd;
        uint32_t generation;
    };

    Slot* Find(int fd) {
        if (fd < 0 || static_cast<std::size_t>(fd) >= slots_.size()) {
            return nullptr;
        }
        return &slots_[static_cast<std::size_t>(fd)];
    }
    Slot& At(int fd);
    void Reset(int fd, Phase phase);
    uint32_t Interest(const Slot& slot) const;
    void Update(int fd, Slot& slot);
    void Changed(int fd);
    // Turns one socket's readiness into records, by the socket's phase. False when the socket
    // had already queued its records in this collection (epoll's ready list has come round
    // again).
    bool HandleSocket(int fd, uint32_t events, int32_t window, uint32_t message);
    struct Readiness;
    static void ConnectingReady(Slot& slot, uint32_t events, Readiness& ready);
    static void ConnectedReady(Slot& slot, uint32_t events, Readiness& ready);
    static void ListeningReady(Slot& slot, uint32_t events, Readiness& ready);
    static void DatagramReady(Slot& slot, uint32_t events, Readiness& ready);
    // After the phase's step: marks the collection that queued, or parks a socket whose
    // readiness queued nothing, and brings the set up to date when the flags changed.
    bool Settle(Slot& slot, const Readiness& ready);
    void HandleTimer();

    FileDescriptor epoll_;
    FileDescriptor wake_;
    FileDescriptor timer_;
    FileDescriptor wakeTimer_;
    std::chrono::steady_clock::time_point wakeAt_ = std::chrono::steady_clock::time_point::max();
    bool timerFired_ = false;
    std::vector<Slot> slots_;
    std::vector<Deferred> deferred_;
    RecordQueue<Record> queue_;
    std::vector<Record> held_;
    std::array<epoll_event, 64> events_{};
    // Events Wait took from the system and Collect has not yet handled.
    int waited_ = 0;
    bool wakeSignalled_ = false;
    bool woken_ = false;
    int draining_ = 0;
    uint32_t collection_ = 0;
};

}  // namespace packwarden::MSocketSupport::detail
