// Shared pieces of the socket service tests: a recording socket object, loopback peers and a
// fixture that leaves the process-wide service as it found it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "packwarden/MSocketSupport.h"

namespace test {

using namespace std::chrono_literals;
namespace ms = MSocketSupport;
namespace pf = MSocketSupport::Platform;

constexpr auto Deadline = 5000ms;

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
    uint32_t address;
    std::string name;
    int32_t error;
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
    void PostGetHostEvent(int32_t lookupHandle, uint32_t address, std::string& hostName,
                          int32_t& errorCode) override {
        lookups.push_back({lookupHandle, address, hostName, errorCode});
        if (onLookup) {
            onLookup(lookups.back());
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

inline uint32_t Loopback() {
    return htonl(INADDR_LOOPBACK);
}

// A blocking loopback listener on a free port (the peer side of a test).
class Listener {
  public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = Loopback();
        sa.sin_port = 0;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        EXPECT_EQ(::listen(fd_, 8), 0);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = sa.sin_port;
    }
    ~Listener() { ::close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    uint16_t Port() const { return port_; }  // network byte order
    // Bounded: the connection is already queued when the test calls this.
    int Accept() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) {
            return -1;
        }
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A port on loopback with nobody listening: bound, then closed.
inline uint16_t ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = Loopback();
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return sa.sin_port;
}

inline bool RunUntil(const std::function<bool()>& done) {
    return ms::RunUntil(done, Deadline);
}

// Lets the loop run for a short while to show that nothing more arrives. Not a timing
// assertion: it only gives stray records the chance to show up.
inline void Settle() {
    ms::RunUntil([] { return false; }, 100ms);
}

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

// Connects a registered socket to `listener` and waits for FD_CONNECT.
inline int ConnectedPair(int fd, RecordingSink& sink, Listener& listener) {
    const int rc = pf::connect(fd, Loopback(), listener.Port());
    EXPECT_TRUE(rc == 0 || pf::LastPlatformError() == 10035);
    EXPECT_TRUE(RunUntil([&] { return sink.Count(ms::FD_CONNECT) == 1; }));
    return listener.Accept();
}

}  // namespace test
