// The network side of crewdock-dev: a listening CSocket on 127.0.0.1 and one CSocket per
// accepted connection. Each connection reads one request, gets its answer from CrewdockApp,
// sends it (files in pieces, one piece per completed send) and closes.
//
// Nothing here blocks: the owner runs the socket service's channel (ProcessPending) and calls
// Sweep() after each round, which closes connections that have been idle too long and frees
// finished ones outside any event handler.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <optional>
#include <ostream>

#include "packwarden/CSocket.h"
#include "CrewdockApp.h"

namespace crewdock {

struct ServerOptions {
    uint16_t port = 8080;  // 0: any free port
    std::optional<std::filesystem::path> catalog;
    std::chrono::milliseconds idleTimeout{30000};
    std::size_t maxConnections = 512;
};

class CrewdockServer final : private packwarden::CSocketEvents {
  public:
    using Clock = std::chrono::steady_clock;

    // Writes one line per request to `log`.
    CrewdockServer(ServerOptions options, std::ostream& log);
    ~CrewdockServer() override;
    CrewdockServer(const CrewdockServer&) = delete;
    CrewdockServer& operator=(const CrewdockServer&) = delete;

    // Binds 127.0.0.1 and listens. Throws MSocketSupport::SocketError when it cannot.
    void Start();
    // The port listened on (the one the system chose for port 0).
    uint16_t Port() const { return port_; }

    // Closes connections idle for longer than the timeout and frees finished ones.
    void Sweep(Clock::time_point now);
    // How long the owner may wait for the channel before the next Sweep is due.
    std::chrono::milliseconds NextSweepIn(Clock::time_point now) const;

    std::size_t ConnectionCount() const { return connections_.size(); }

  private:
    class Connection;
    friend class Connection;

    void OnConnectionRequest(int32_t requestID) override;

    ServerOptions options_;
    std::ostream& log_;
    CrewdockApp app_;
    std::shared_ptr<packwarden::CSocket> listener_;
    uint16_t port_ = 0;
    std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace crewdock
