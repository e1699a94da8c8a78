// SPDX-License-Identifier: MIT
// The central Torvane server: one host and port for the socket, the request's Host header and
// every browser address.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace packwarden {

inline constexpr const char* CentralHost = "www.torvane.net";
constexpr int32_t CentralPort = 80;
// The port of an https:// server given without one.
constexpr int32_t SecurePort = 443;

struct CentralServer {
    std::string host = CentralHost;
    int32_t port = CentralPort;
    // Spoken to over TLS (an https:// override): the connection, and every address opened.
    bool secure = false;

    // The host as an address writes it: an IPv6 address in brackets ("[::1]"), anything else
    // as it is.
    std::string BracketedHost() const;
    // "host", or "host:port" when the port is not the scheme's own (80, or 443 when secure):
    // the Host header and the addresses. An IPv6 host is in brackets: "[::1]:8080".
    std::string HostAndPort() const;
    // "host:port", the port always: how messages name the server ("[::1]:80" for IPv6).
    std::string Shown() const;
    // "http://" (or "https://" when secure) + HostAndPort() + path; path starts with "/".
    std::string Address(std::string_view path) const;
    // The page that shows the download links for one posted inventory.
    std::string SessionPage(int32_t session, int32_t version) const;
};

// The forms ParseServerOverride accepts, as messages name them.
inline constexpr const char* ServerOverrideForms =
    "host, host:port, http://host[:port]/, https://host[:port]/ (a host name, an IPv4 address, "
    "or an IPv6 address in brackets such as [::1]:8080; a port from 1 to 65535)";

// Parses a server override in one of the forms "host", "host:port", "http://host[:port]",
// "http://host[:port]/" or the same with "https://" (the scheme in any case; https:// is
// secure, port 443 unless given). The host is a name (labels of letters, digits
// and "-", 1 to 63 characters each, at most 253 in all), a dotted IPv4 address (four decimal
// numbers 0..255 without leading zeros) or an IPv6 address in brackets ("[::1]", "[::1]:8080");
// a name's trailing dot is dropped, as it names the same host. An IPv6 address alone, with no
// scheme and no port, may go without brackets ("::1"), unless its last group could as well be
// a port ("fe80::1:8080"). IPv6 addresses are kept as RFC 5952 writes them, an IPv4-mapped one
// as the IPv4 address; one with a zone ("%eth0") is refused. The port is decimal, 1..65535.
// Empty on anything else, with the reason in `why`.
std::optional<CentralServer> ParseServerOverride(std::string_view text, std::string& why);

// `text` made safe to echo: printable ASCII as it is, except "\" and "\"" which are escaped;
// CR, LF and tab as \r, \n, \t; every other byte as \xHH. At most 200 bytes of `text` are
// shown, then "...".
std::string EscapedForDisplay(std::string_view text);

// The central server when PACKWARDEN_SERVER is unset, or the server it names. A value that
// cannot be used (an empty one included) gives nothing, and `problem` tells the player what is
// wrong, the value escaped, and which forms are accepted: the program must then contact no
// server at all, rather than send the player's list somewhere the player did not mean.
std::optional<CentralServer> CentralServerFromEnvironment(std::string& problem);

}  // namespace packwarden
