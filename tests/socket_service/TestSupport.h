// SPDX-License-Identifier: MIT
// Shared pieces of the socket service tests, beside the common ones in tests/support: a
// recording socket object and a fixture that leaves the process-wide service as it found it.
#pragma once

#include "RawPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"
#include "packwarden/detail/TestHooks.h"

namespace test {

using namespace packwarden::testsupport;
namespace ms = MSocketSupport;
namespace pf = MSocketSupport::Platform;

struct Event {
    int32_t code;
    int32_t error;
    bool operator==(const Event&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Event& e) {
    return os << "{" << e.code << ", " << e.error << "}";
}

struct Lookup {
    int32_t handle;
    uint32_t address;  // the first IPv4 address, network order; 0 for none
    std::string name;
    int32_t error;
    std::vector<ms::Platform::Address> addresses;
};

// Records what the service delivers; optional hooks run inside the dispatch.
class RecordingSink final : public ms::SocketEventSink {
  public:
    std::vector<Event> events;
    std::vector<Lookup> lookups;
    std::function<void(const Event&)> onEvent;
    std::function<void(const Lookup&)> onLookup;

    void PostSocketEvent(int32_t eventCode, int32_t errorCode) override {
        events.push_back({eventCode, errorCode});
        if (onEvent) {
            onEvent(events.back());
        }
    }
    void PostGetHostEvent(int32_t lookupHandle, const ms::Platform::Address* addresses,
                          std::size_t count, std::string& hostName, int32_t& errorCode) override {
        Lookup got{lookupHandle, 0, hostName, errorCode, {addresses, addresses + count}};
        for (const auto& a : got.addresses) {
            if (!a.IsV6() && got.address == 0) {
                got.address = a.V4NetworkOrder();  // the first IPv4 address
            }
        }
        lookups.push_back(std::move(got));
        if (onLookup) {
            onLookup(lookups.back());
        }
    }
    // The deadlines reached (SetDeadline), with when each came.
    std::vector<std::chrono::steady_clock::time_point> deadlines;
    std::function<void()> onDeadline;
    void DeadlineReached() override {
        deadlines.push_back(std::chrono::steady_clock::now());
        if (onDeadline) {
            onDeadline();
        }
    }
    std::size_t Count(int32_t code) const {
        std::size_t n = 0;
        for (const auto& e : events) {
            n += e.code == code ? 1 : 0;
        }
        return n;
    }
};

inline packwarden::MSocketSupport::Platform::Address Loopback() {
    return packwarden::MSocketSupport::Platform::Address::V4(htonl(INADDR_LOOPBACK));
}

// A handle of the platform's that is no socket: a pipe's end, or an event object.
struct NotASocket {
#ifdef _WIN32
    NotASocket()
        : handle(static_cast<int>(
              reinterpret_cast<intptr_t>(::CreateEventA(nullptr, FALSE, FALSE, nullptr)))) {}
    ~NotASocket() {
        ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)));
    }
#else
    NotASocket() {
        int ends[2] = {-1, -1};
        EXPECT_EQ(::pipe(ends), 0);
        handle = ends[0];
        other = ends[1];
    }
    ~NotASocket() {
        ::close(handle);
        ::close(other);
    }
    int other = -1;
#endif
    NotASocket(const NotASocket&) = delete;
    NotASocket& operator=(const NotASocket&) = delete;
    int handle = -1;
};

// True when the channel has a descriptor to watch (Linux); on Windows the thread's message
// queue is the channel and ChannelFd() is -1.
inline bool ChannelHasDescriptor() {
    return ms::ChannelFd() >= 0;
}
inline bool ChannelReadable() {
    pollfd p{};
    p.fd = ms::ChannelFd();
    p.events = POLLIN;
    return raw::Poll(&p, 1, 0) == 1;
}
#define SKIP_WITHOUT_CHANNEL_DESCRIPTOR()                                                  \
    if (!ChannelHasDescriptor())                                                           \
    GTEST_SKIP() << "Linux only: about the channel's descriptor; on Windows the thread's " \
                    "message queue is the channel"

// Starts the service; afterwards deregisters and closes what the test left, waits for
// outstanding lookups and resets the seam.
class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pf::ResetHooks();
        ms::InitWinsockService();
        ms::CurrentError().Clear();
    }
    void TearDown() override {
        pf::ResetHooks();
        for (int fd : registered_) {
            if (ms::SocketRegistryPresent()) {
                try {
                    ms::DeregisterSocket(fd);
                } catch (const ms::SocketError&) {
                }
            }
        }
        for (int fd : owned_) {
            pf::closesocket(fd);
        }
        ms::RunUntil([] { return !ms::LookupRegistryPresent(); }, Deadline);
        ms::ProcessPending();
        EXPECT_FALSE(ms::SocketRegistryPresent());
        EXPECT_FALSE(ms::LookupRegistryPresent());
        EXPECT_EQ(ms::SocketWindow(), 0);
    }

    // A non-blocking TCP socket from the platform layer, registered for `sink`.
    int RegisteredSocket(const std::shared_ptr<RecordingSink>& sink, int type = SOCK_STREAM) {
        const int fd = pf::socket(AF_INET, type, 0);
        EXPECT_GE(fd, 0);
        owned_.push_back(fd);
        EXPECT_TRUE(ms::RegisterSocket(fd, sink));
        registered_.push_back(fd);
        return fd;
    }
    int Own(int fd) {
        owned_.push_back(fd);
        return fd;
    }
    void Register(int fd, const std::shared_ptr<RecordingSink>& sink) {
        ASSERT_TRUE(ms::RegisterSocket(fd, sink));
        registered_.push_back(fd);
    }
    // Deregisters now (the teardown then skips it).
    void Deregister(int fd) {
        ms::DeregisterSocket(fd);
        std::erase(registered_, fd);
    }
    void Close(int fd) {
        Deregister(fd);
        pf::closesocket(fd);
        std::erase(owned_, fd);
    }

    std::vector<int> registered_;
    std::vector<int> owned_;
};

// Connects a registered socket to `listener` and waits for FD_CONNECT; the accepted end.
inline int ConnectedPair(int fd, RecordingSink& sink, const RawPeer& listener) {
    const int rc = pf::connect(fd, Loopback(), htons(listener.port()));
    EXPECT_TRUE(rc == 0 || pf::LastPlatformError() == 10035);
    EXPECT_TRUE(RunUntil([&] { return sink.Count(ms::FD_CONNECT) == 1; }));
    return listener.Accept().release();
}

}  // namespace test
