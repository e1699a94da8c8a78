// SPDX-License-Identifier: MIT
// The tests' own peer on 127.0.0.1 and the bounded loop they run the service's channel with:
// one raw listener (ports in host byte order), a raw client, the stream reads and writes a
// peer makes, and a peer that serves one connection at a time on a thread of its own. Every
// wait is bounded.
#pragma once

#include "LoopbackSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#include "packwarden/MSocketSupport.h"

namespace packwarden::testsupport {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds Deadline = 5s;

// Runs the service's loop until `done` holds; false when the limit passed first. The loop is
// woken every few milliseconds, so a condition another thread makes true (a raw peer's) is
// seen promptly too.
inline bool RunUntil(const std::function<bool()>& done,
                     std::chrono::milliseconds limit = Deadline) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return done();
        }
        if (MSocketSupport::RunUntil(done, std::min(left, std::chrono::milliseconds(10)))) {
            return true;
        }
    }
}

// Dispatches what is pending, and what that causes, for a short while: not a timing assertion,
// it only gives stray records the chance to show up.
inline void Settle(std::chrono::milliseconds span = 100ms) {
    MSocketSupport::RunUntil([] { return false; }, span);
}

// A port that was free a moment ago (bound to port 0, read back, closed).
inline uint16_t FreePort(int type = SOCK_STREAM) {
    Fd s(raw::Socket(type));
    raw::Bind(s.get(), 0);
    return LocalPortOf(s.get());
}
// The same on ::1.
inline uint16_t FreePort6() {
    Fd s(raw::Socket6());
    raw::Bind6(s.get(), 0);
    return LocalPortOf(s.get());
}

// A raw client connected to 127.0.0.1:port (blocking), optionally from a given local port.
inline Fd RawConnect(uint16_t port, uint16_t fromPort = 0) {
    Fd s(raw::Socket());
    if (fromPort != 0) {
        raw::SetOption(s.get(), SOL_SOCKET, SO_REUSEADDR, 1);
        EXPECT_EQ(raw::Bind(s.get(), fromPort), 0);
    }
    EXPECT_EQ(raw::Connect(s.get(), port), 0);
    return s;
}

inline bool SendAll(int fd, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const long w = raw::Send(fd, p, n);
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}
inline bool SendAll(int fd, const std::string& s) {
    return SendAll(fd, s.data(), s.size());
}

// Reads what arrives within the limit, up to `max` bytes; stops early at the peer's close.
inline std::string RecvSome(int fd, std::size_t max, std::chrono::milliseconds limit = Deadline) {
    std::string out;
    const auto until = std::chrono::steady_clock::now() + limit;
    char buf[65536];
    while (out.size() < max) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (!raw::Readable(fd, static_cast<int>(std::max<int64_t>(left.count(), 0)))) {
            break;
        }
        const long r = raw::Recv(fd, buf, std::min(sizeof buf, max - out.size()));
        if (r <= 0) {
            break;
        }
        out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
}

// Everything that arrives until the peer closes or the limit passes.
inline std::string ReadAll(int fd, std::chrono::milliseconds limit = 10s) {
    return RecvSome(fd, std::numeric_limits<std::size_t>::max(), limit);
}

// True when the peer has closed (recv reports end of stream) within the limit.
inline bool PeerClosed(int fd, std::chrono::milliseconds limit = Deadline) {
    if (!raw::Readable(fd, static_cast<int>(limit.count()))) {
        return false;
    }
    char c;
    return raw::Recv(fd, &c, 1, MSG_PEEK) == 0;
}

// Closes `fd` with a reset instead of an orderly close.
inline void Reset(Fd& fd) {
    raw::AbortiveClose(fd.release());
}

// A TCP socket bound to 127.0.0.1 on a port the system chose; listening at once, or only when
// asked (until then a connection to its port is refused).
class RawPeer {
  public:
    enum class Start { Listening, Bound };
    enum class Family { V4, V6 };  // 127.0.0.1, or ::1 alone

    explicit RawPeer(Start start = Start::Listening, int receiveBuffer = 0,
                     Family family = Family::V4)
        : fd_(family == Family::V6 ? raw::Socket6() : raw::Socket()) {
        if (receiveBuffer > 0) {  // before the handshake, so the window is small from the start
            raw::SetOption(fd_.get(), SOL_SOCKET, SO_RCVBUF, receiveBuffer);
        }
        EXPECT_EQ(family == Family::V6 ? raw::Bind6(fd_.get(), 0) : raw::Bind(fd_.get(), 0), 0);
        port_ = LocalPortOf(fd_.get());
        if (start == Start::Listening) {
            Listen();
        }
    }
    explicit RawPeer(Family family) : RawPeer(Start::Listening, 0, family) {}
    ~RawPeer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    uint16_t port() const { return port_; }  // host byte order
    int fd() const { return fd_.get(); }
    void Listen(int backlog = 256) { EXPECT_EQ(raw::Listen(fd_.get(), backlog), 0); }

    // Waits (bounded) for a connection; an empty Fd when none came.
    Fd Accept(std::chrono::milliseconds limit = Deadline) const {
        if (!raw::Readable(fd_.get(), static_cast<int>(limit.count()))) {
            return Fd();
        }
        return Fd(raw::Accept(fd_.get()));
    }
    // Accepts while the service's loop runs, for clients of ours that connect asynchronously.
    Fd AcceptPumping(std::chrono::milliseconds limit = Deadline) const {
        Fd peer;
        RunUntil(
            [&] {
                peer = Accept(0ms);
                return static_cast<bool>(peer);
            },
            limit);
        return peer;
    }

    // On a thread of its own: accepts one connection, sends `reply` and records what arrives
    // until the sender closes (or, with `read` false, holds it open without reading), for at
    // most `limit`; then closes it. Called again, it serves the next connection (after the
    // previous one ended), appending to what was received.
    void Serve(bool read = true, std::string reply = {}, std::chrono::milliseconds limit = 20s) {
        if (thread_.joinable()) {
            thread_.join();
        }
        finished_ = false;
        thread_ = std::thread(
            [this, read, reply = std::move(reply), limit] { Session(read, reply, limit); });
    }
    int connections() const { return connections_; }
    bool finished() const { return finished_; }
    std::string received() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

  private:
    void Session(bool read, const std::string& reply, std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        const auto open = [&] { return !stop_ && std::chrono::steady_clock::now() < until; };
        Fd connection;
        while (open() && !connection) {
            connection = Accept(50ms);
        }
        if (!connection) {
            return;
        }
        ++connections_;
        if (!reply.empty()) {
            raw::Send(connection.get(), reply);
        }
        while (open()) {
            if (!read) {
                std::this_thread::sleep_for(20ms);
                continue;
            }
            if (!raw::Readable(connection.get(), 50)) {
                continue;
            }
            char buffer[65536];
            const long n = raw::Recv(connection.get(), buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            received_.append(buffer, static_cast<std::size_t>(n));
        }
        finished_ = true;
    }

    Fd fd_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::string received_;
};

}  // namespace packwarden::testsupport
