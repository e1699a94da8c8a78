// SPDX-License-Identifier: MIT
// A raw POSIX TCP peer on 127.0.0.1 for the window tests: it listens on a free port and, in a
// thread of its own, accepts one connection and records everything sent until the sender
// closes. Every wait is bounded.
#pragma once

#include "LoopbackSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace packwarden::testing {

using packwarden::testsupport::Fd;

// A TCP socket bound to 127.0.0.1 on a free port; it listens only when asked, so until then a
// connection to the port is refused.
class Peer {
  public:
    explicit Peer(int receiveBuffer = 0) : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
        if (listener_.get() < 0) {
            throw std::runtime_error("socket failed");
        }
        if (receiveBuffer > 0) {
            ::setsockopt(listener_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer,
                         sizeof receiveBuffer);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("bind failed");
        }
        socklen_t length = sizeof address;
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Peer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    uint16_t port() const { return port_; }
    int listener() const { return listener_.get(); }

    void Listen(int backlog = 8) {
        if (::listen(listener_.get(), backlog) != 0) {
            throw std::runtime_error("listen failed");
        }
    }

    // Accepts one connection, sends `reply` and records what arrives until the sender closes
    // (or, with `read` false, holds it open without reading), for at most `limit`; then closes
    // it. Called again, it serves the next connection (after the previous one ended), appending
    // to what was received.
    void Serve(bool read = true, std::string reply = {},
               std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        if (thread_.joinable()) {
            thread_.join();
        }
        finished_ = false;
        thread_ =
            std::thread([this, read, reply = std::move(reply), limit] { Run(read, reply, limit); });
    }

    int connections() const { return connections_; }
    bool finished() const { return finished_; }
    std::string received() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

  private:
    void Run(bool read, const std::string& reply, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        const auto remaining = [&] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                .count();
        };
        Fd connection;
        while (!stop_ && remaining() > 0) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (::poll(&p, 1, 50) == 1) {
                connection.reset(raw::Accept(listener_.get()));
                break;
            }
        }
        if (connection.get() < 0) {
            return;
        }
        ++connections_;
        if (!reply.empty()) {
            ::send(connection.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        while (!stop_ && remaining() > 0) {
            if (!read) {
                ::usleep(20000);
                continue;
            }
            pollfd p{connection.get(), POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) {
                continue;
            }
            char buffer[65536];
            const ssize_t n = ::recv(connection.get(), buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            received_.append(buffer, static_cast<std::size_t>(n));
        }
        finished_ = true;
    }

    Fd listener_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::string received_;
};

}  // namespace packwarden::testing
