// SPDX-License-Identifier: MIT
// The network side of crewdock-dev: a listening CSocket (on 127.0.0.1 unless told otherwise)
// and one CSocket per accepted connection. Each connection reads one request, gets its answer from
// CrewdockApp, sends it and closes.
//
// Nothing here blocks, and nothing grows without bound:
// - a request has a deadline as a whole (head and body), however steadily its bytes trickle;
// - requests still arriving and requests being answered have slots of their own, so a flood
//   of slow senders never takes the slots of requests already complete: when the arriving
//   side is full, the connection that has been arriving longest makes room for the newcomer;
// - request bodies being received share one budget, charged as their bytes arrive; when it is
//   spent, the body stalled longest makes room (503), and a body that finds none gets 503;
// - answers are produced a piece at a time as the client takes them (at most one piece waits
//   in the process per connection), and a client that takes nothing for the idle time-out is
//   dropped;
// - a client that closes its sending side after its request still gets the whole answer;
// - connections and the closes the socket service finishes for us share one descriptor budget:
//   when it is spent, the oldest such close goes first (a reset), then an idle connection.
//
// The owner runs the socket service's channel (ProcessPending) and calls Sweep() after each
// round, which enforces the time limits and frees finished connections outside any event
// handler.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "CrewdockApp.h"
#include "Log.h"
#include "packwarden/CSocket.h"

namespace crewdock {

// An address as a URL writes it: IPv6 in brackets ("[::1]"), IPv4 as it is.
std::string UrlHost(const std::string& address);

struct ServerOptions {
    // The address listened on, IPv4 or IPv6 as the socket writes it; "::" takes both families.
    std::string bind = "127.0.0.1";
    uint16_t port = 8080;  // 0: any free port
    std::optional<std::filesystem::path> catalog;
    // A request must have arrived whole within this time of its connection.
    std::chrono::milliseconds requestTimeout{5000};
    // An answer the client takes nothing of for this long is dropped; so is a request that
    // sends nothing for this long (when that comes before its deadline).
    std::chrono::milliseconds idleTimeout{30000};
    // Requests answered at once; the same number may be arriving meanwhile.
    std::size_t maxConnections = 512;
    // Descriptors for connections, those being answered and arriving and those whose close
    // the socket service finishes, all together; 0: twice maxConnections.
    std::size_t descriptorBudget = 0;
    // The longest the socket service finishes a connection's close for us, whatever the client
    // does (keeps sending, or trickles a byte now and then).
    std::chrono::milliseconds closeLifetime{120000};
    // PEM files of the certificate chain (the server's own first) and its private key: both
    // set, every connection is HTTPS; both empty, plain HTTP.
    std::string tlsCertificate;
    std::string tlsKey;

    bool Tls() const { return !tlsCertificate.empty(); }
};

// Output handed to a connection's socket at a time; the kernel's buffer holds the rest back.
constexpr std::size_t kPieceBytes = 32 * 1024;
// Request bodies being received, all connections together, charged as their bytes arrive.
constexpr std::size_t kBodyBudgetBytes = 64 * 1024 * 1024;
// A body that has received nothing for this long makes room in that budget for one that moves.
constexpr std::chrono::milliseconds kBodyStall{1000};
// The socket receive buffer asked for each connection: the component reads up to twice what
// the kernel grants (double this) at once, and keeps that room.
constexpr int kReceiveBufferBytes = 16 * 1024;

// The most resident memory the program can reach with `options`, in bytes: what the program
// itself needs, the session store, the body budget, one request being handled, and each
// connection's buffers at their bounds.
std::size_t WorstCaseResidentBytes(const ServerOptions& options);

class CrewdockServer final : private packwarden::CSocketEvents {
  public:
    using Clock = std::chrono::steady_clock;

    // Writes one line per request to `log`.
    CrewdockServer(ServerOptions options, RequestLog& log);
    ~CrewdockServer() override;
    CrewdockServer(const CrewdockServer&) = delete;
    CrewdockServer& operator=(const CrewdockServer&) = delete;

    // Binds the address of the options and listens, with the certificate first when the
    // options have one. Throws MSocketSupport::SocketError when it cannot (source
    // "CSocket.SetCertificate" when the certificate or key cannot be loaded).
    void Start();
    // The port listened on (the one the system chose for port 0).
    uint16_t Port() const { return port_; }

    // Enforces the time limits and frees finished connections.
    void Sweep(Clock::time_point now);
    // How long the owner may wait for the channel before the next Sweep is due.
    std::chrono::milliseconds NextSweepIn(Clock::time_point now) const;

    std::size_t ConnectionCount() const { return connections_.size(); }

  private:
    class Connection;
    friend class Connection;

    void OnConnectionRequest(int32_t requestID) override;
    // By Connection::Phase: how many are in it, and of those the one that arrived first (null
    // when none is).
    std::size_t CountIn(int phase) const;
    Connection* OldestIn(int phase) const;

    std::size_t DescriptorBudget() const;
    // Frees one descriptor of the budget for a newcomer; false when none can go.
    bool MakeRoom();

    bool ReserveBody(std::size_t bytes);
    void ReleaseBody(std::size_t bytes);
    // Answers 503 to the request whose body has received nothing for kBodyStall and longest,
    // other than `mover` (whose bytes arrived at `now`), freeing its share of the body budget;
    // false when none has stalled.
    bool EvictStalledBody(const Connection* mover, Clock::time_point now);

    ServerOptions options_;
    RequestLog& log_;
    CrewdockApp app_;
    std::shared_ptr<packwarden::CSocket> listener_;
    uint16_t port_ = 0;
    std::list<std::unique_ptr<Connection>> connections_;
    std::size_t bodyBytes_ = 0;
};

}  // namespace crewdock
