// The central Torvane server: one host and port for the socket, the request's Host header and
// every browser address.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace packwarden {

inline constexpr const char* CentralHost = "www.torvane.net";
constexpr int32_t CentralPort = 80;

struct CentralServer {
    std::string host = CentralHost;
    int32_t port = CentralPort;

    // "host", or "host:port" when the port is not 80: the Host header and the addresses.
    std::string HostAndPort() const;
    // "http://" + HostAndPort() + path; path starts with "/".
    std::string Address(std::string_view path) const;
    // The page that shows the download links for one posted inventory.
    std::string SessionPage(int32_t session, int32_t version) const;
};

// Parses "host[:port]": a host name or dotted IPv4 address (letters, digits, "-" and ".",
// no empty label, at most 253 characters) and a decimal port 1..65535. Empty on anything else,
// with the reason in `why`.
std::optional<CentralServer> ParseServerOverride(std::string_view text, std::string& why);

// The central server, or the one PACKWARDEN_SERVER names. A bad value is reported on
// `diagnostics` and the central server is used.
CentralServer CentralServerFromEnvironment(std::ostream& diagnostics);

}  // namespace packwarden
