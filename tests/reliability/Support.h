// SPDX-License-Identifier: MIT
// Shared pieces of the fault scenarios: raw loopback peers owned by RAII, a bounded loop, an
// owner that records every event of its object and may release the object inside any of them,
// and readings of the process's descriptors and memory.
#pragma once

#include "LoopbackSupport.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <psapi.h>
#endif

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "packwarden/CSocket.h"

namespace packwarden::reliability {

using namespace std::chrono_literals;

inline bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    return MSocketSupport::RunUntil(done, limit);
}

// Dispatches what is pending, and what that causes, for a short while.
inline void Settle(std::chrono::milliseconds span = 100ms) {
    MSocketSupport::RunUntil([] { return false; }, span);
}

using packwarden::testsupport::Fd;
using packwarden::testsupport::Loopback;
using packwarden::testsupport::OpenDescriptorCount;

// A TCP socket on 127.0.0.1 and a port the system chose; it listens only when asked.
class RawServer {
  public:
    RawServer() : fd_(raw::Socket()) {
        EXPECT_EQ(raw::Bind(fd_.get(), 0), 0);
        port_ = raw::LocalPortOf(fd_.get());
    }
    void Listen(int backlog = 64) { EXPECT_EQ(raw::Listen(fd_.get(), backlog), 0); }
    uint16_t port() const { return port_; }
    int fd() const { return fd_.get(); }
    // Accepts while the service's loop runs (our client connects asynchronously).
    Fd AcceptPumping(std::chrono::milliseconds limit = 5s) {
        Fd peer;
        RunUntil(
            [&] {
                if (raw::Readable(fd_.get(), 0)) {
                    peer.reset(raw::Accept(fd_.get()));
                }
                return static_cast<bool>(peer);
            },
            limit);
        return peer;
    }

  private:
    Fd fd_;
    uint16_t port_ = 0;
};

// Closes `fd` with a reset instead of an orderly close.
inline void Reset(Fd& fd) {
    raw::AbortiveClose(fd.release());
}

// Everything readable on a blocking descriptor until the peer closes or `limit` passes.
inline std::string ReadAll(int fd, std::chrono::milliseconds limit = 10s) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buf[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        if (!raw::Readable(fd, static_cast<int>(left.count()))) {
            break;
        }
        const long n = raw::Recv(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// Records the events of one object; `react` runs inside each event with its name. Once the
// object is released (through Release, which the reaction may call) any further event is a
// fault, and the object is never touched again.
class Owner : public CSocketEvents {
  public:
    explicit Owner(std::shared_ptr<CSocket> socket) : socket_(std::move(socket)) {
        socket_->SetOwner(this);
    }
    ~Owner() override {
        if (socket_) {
            socket_->SetOwner(nullptr);
        }
    }

    CSocket& socket() { return *socket_; }
    bool released() const { return !socket_; }
    void Release() { socket_.reset(); }

    std::vector<std::string> events;
    std::vector<int> errors;
    int afterRelease = 0;
    std::function<void(const std::string&)> react;

    bool Has(const std::string& name) const {
        for (const auto& e : events) {
            if (e == name) {
                return true;
            }
        }
        return false;
    }

    void OnClose() override { Event("Close"); }
    void OnConnect() override { Event("Connect"); }
    void OnConnectionRequest(int32_t requestID) override {
        requests.push_back(requestID);
        Event("ConnectionRequest");
    }
    void OnDataArrival(int32_t) override { Event("DataArrival"); }
    void OnError(int16_t Number, std::string&, int32_t, const std::string&, const std::string&,
                 int32_t, bool&) override {
        errors.push_back(Number);
        Event("Error");
    }
    void OnSendComplete() override { Event("SendComplete"); }
    void OnSendProgress(int32_t, int32_t) override { Event("SendProgress"); }

    std::vector<int32_t> requests;

  private:
    void Event(const std::string& name) {
        if (!socket_) {
            ++afterRelease;
            return;
        }
        events.push_back(name);
        if (react) {
            react(name);
        }
    }
    std::shared_ptr<CSocket> socket_;
};

// The number of descriptors (on Windows: handles) the process holds.
// Resident memory in KiB (VmRSS; on Windows the working set).
inline long ResidentKiB() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) {
        return -1;
    }
    return static_cast<long>(counters.WorkingSetSize / 1024);
#else
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
#endif
}

}  // namespace packwarden::reliability
