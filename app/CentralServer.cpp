// SPDX-License-Identifier: MIT
#include "CentralServer.h"

#include <array>
#include <cstdlib>

#include "AsciiText.h"
#include "packwarden/detail/Platform.h"

namespace packwarden {
namespace {

constexpr std::size_t MaxHostLength = 253;
constexpr std::size_t MaxLabelLength = 63;
constexpr std::size_t MaxEchoedBytes = 200;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHostCharacter(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

// Decimal digits only, at most `maxDigits` of them; the value in `number`.
bool ParseDecimal(std::string_view text, std::size_t maxDigits, int32_t& number) {
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    number = 0;
    for (char c : text) {
        if (!IsDigit(c)) {
            return false;
        }
        number = number * 10 + (c - '0');
    }
    return true;
}

// Four decimal numbers 0..255 without leading zeros: a leading zero reads as octal to some
// parsers, so the address would not be the same everywhere.
bool IsDottedQuad(std::string_view host) {
    int parts = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = host.find('.', start);
        const std::string_view part = host.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        int32_t value = 0;
        if (!ParseDecimal(part, 3, value) || value > 255 || (part.size() > 1 && part[0] == '0')) {
            return false;
        }
        ++parts;
        if (dot == std::string_view::npos) {
            return parts == 4;
        }
        start = dot + 1;
    }
}

// A last label that a URL parser reads as a number ("ends in a number"): decimal digits, or
// 0x/0X and hex digits; a leading 0 (octal) is all digits already. Such a host is an IPv4
// address to every browser, so it must pass the strict rule rather than pass as a name.
bool EndsInNumber(std::string_view last) {
    if (last.find_first_not_of("0123456789") == std::string_view::npos) {
        return true;
    }
    return last.size() >= 2 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X') &&
           last.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string_view::npos;
}

bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Hex digits, ':' and '.' with two colons or more, perhaps a zone after '%': meant as an IPv6
// address written without brackets. "host:80:80" is a bad port, not this.
bool LooksLikeBareIpv6(std::string_view text) {
    const std::string_view address = text.substr(0, text.find('%'));
    return address.find(':') != address.rfind(':') &&
           address.find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos;
}

// Groups of 1 to 4 hex digits separated by ':' into `words` from `at` on; the last may be a
// dotted IPv4 address standing for two groups. False when a group is malformed or there are
// too many.
bool ParseGroups(std::string_view text, bool last, std::array<uint16_t, 8>& words,
                 std::size_t& at) {
    if (text.empty()) {
        return true;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = text.find(':', start);
        const std::string_view group = text.substr(
            start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
        if (last && colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
            if (!IsDottedQuad(group) || at + 2 > words.size()) {
                return false;
            }
            uint32_t v4 = 0;
            std::size_t from = 0;
            for (int i = 0; i < 4; ++i) {
                const std::size_t dot = group.find('.', from);
                int32_t part = 0;
                ParseDecimal(group.substr(from, dot - from), 3, part);
                v4 = v4 << 8 | static_cast<uint32_t>(part);
                from = dot + 1;
            }
            words[at++] = static_cast<uint16_t>(v4 >> 16);
            words[at++] = static_cast<uint16_t>(v4 & 0xFFFF);
            return true;
        }
        if (group.empty() || group.size() > 4 || at >= words.size()) {
            return false;
        }
        uint16_t word = 0;
        for (char c : group) {
            if (!IsHexDigit(c)) {
                return false;
            }
            const int digit = IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
            word = static_cast<uint16_t>(word << 4 | digit);
        }
        words[at++] = word;
        if (colon == std::string_view::npos) {
            return true;
        }
        start = colon + 1;
    }
}

// An IPv6 address as RFC 5952 writes it (an IPv4-mapped one as the IPv4 address it maps, as
// the socket shows it): eight groups, or fewer around one "::", the last two perhaps as a
// dotted IPv4 address. Empty for anything else.
std::string CanonicalIpv6(std::string_view text) {
    std::array<uint16_t, 8> head{};
    std::array<uint16_t, 8> tail{};
    std::size_t headCount = 0;
    std::size_t tailCount = 0;
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        if (!ParseGroups(text, true, head, headCount) || headCount != 8) {
            return {};
        }
    } else {
        // "::" stands for one group of zeros or more, and only once.
        if (text.find("::", gap + 1) != std::string_view::npos ||
            !ParseGroups(text.substr(0, gap), false, head, headCount) ||
            !ParseGroups(text.substr(gap + 2), true, tail, tailCount) ||
            headCount + tailCount > 7) {
            return {};
        }
    }
    std::array<uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < 8; ++i) {
        const uint16_t word = i < headCount        ? head[i]
                              : i >= 8 - tailCount ? tail[i - (8 - tailCount)]
                                                   : 0;
        bytes[2 * i] = static_cast<uint8_t>(word >> 8);
        bytes[2 * i + 1] = static_cast<uint8_t>(word & 0xFF);
    }
    namespace Platform = MSocketSupport::Platform;
    return Platform::AddressText(Platform::Address::V6(bytes));
}

// Empty when `port` (the text after ':') is a port; otherwise why not.
std::string CheckPort(std::string_view port, int32_t& number) {
    if (port.empty()) {
        return "the port after ':' is missing";
    }
    if (!ParseDecimal(port, 5, number) || number < 1 || number > 65535) {
        return "the port must be a number from 1 to 65535";
    }
    return {};
}

// A zone names the interface of a link-local address on this machine only: the Host header
// and a browser's address cannot carry it.
constexpr const char* ZoneRefused =
    "an IPv6 zone (the part from '%') cannot be used: give an address that needs none";

// "[address]" with an optional ":port" after it.
std::string ParseBracketed(std::string_view rest, CentralServer& server) {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) {
        return "the IPv6 address has no closing ']'";
    }
    const std::string_view literal = rest.substr(1, close - 1);
    if (literal.find('%') != std::string_view::npos) {
        return ZoneRefused;
    }
    std::string canonical = CanonicalIpv6(literal);
    if (canonical.empty()) {
        return "the address in brackets is not an IPv6 address";
    }
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
        if (after.front() != ':') {
            return "only ':' and a port may follow the ']'";
        }
        if (std::string problem = CheckPort(after.substr(1), server.port); !problem.empty()) {
            return problem;
        }
    }
    server.host = std::move(canonical);
    return {};
}

// An IPv6 address without brackets: the whole text is the address, the port is 80. Text that
// reads as well as an address followed by a port is refused rather than guessed at: the list
// could otherwise go to a server the player did not mean.
std::string ParseBare(std::string_view text, CentralServer& server) {
    if (text.find('%') != std::string_view::npos) {
        return ZoneRefused;
    }
    std::string canonical = CanonicalIpv6(text);
    if (canonical.empty()) {
        return "it is not an IPv6 address (with a port, one is written in brackets: "
               "[2001:db8::1]:8080)";
    }
    const std::size_t colon = text.rfind(':');
    const std::string_view front = text.substr(0, colon);
    const std::string_view last = text.substr(colon + 1);
    int32_t port = 0;
    if (ParseDecimal(last, 5, port) && port >= 1 && port <= 65535 &&
        !CanonicalIpv6(front).empty()) {
        return "it reads as an address and a port both: write [" + std::string(front) +
               "]:" + std::string(last) + " for port " + std::string(last) + ", or [" +
               std::string(text) + "] for the address alone";
    }
    server.host = std::move(canonical);
    return {};
}

// Empty when `host` can be used; otherwise why not.
std::string CheckHost(std::string_view host) {
    if (host.empty()) {
        return "the host is missing";
    }
    if (host.size() > MaxHostLength) {
        return "the host name is longer than 253 characters";
    }
    std::size_t labelStart = 0;
    std::size_t lastLabel = 0;
    for (std::size_t i = 0; i <= host.size(); ++i) {
        if (i == host.size() || host[i] == '.') {
            const std::size_t length = i - labelStart;
            if (length == 0) {
                return "the host name has an empty label (a dot at its start or two in a row)";
            }
            if (length > MaxLabelLength) {
                return "a label of the host name is longer than 63 characters";
            }
            lastLabel = labelStart;
            labelStart = i + 1;
        } else if (!IsHostCharacter(host[i])) {
            return "the host may hold only letters, digits, '-' and '.'";
        }
    }
    // A name never ends in a number: this is meant as an address.
    const std::string_view last = host.substr(lastLabel);
    if (EndsInNumber(last) && !IsDottedQuad(host)) {
        return "an IPv4 address is four numbers from 0 to 255 without leading zeros, such as "
               "127.0.0.1";
    }
    return {};
}

}  // namespace

std::string CentralServer::BracketedHost() const {
    // Names and IPv4 addresses never hold a colon.
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

std::string CentralServer::HostAndPort() const {
    return port == (secure ? SecurePort : CentralPort) ? BracketedHost() : Shown();
}

std::string CentralServer::Shown() const {
    return BracketedHost() + ":" + std::to_string(port);
}

std::string CentralServer::Address(std::string_view path) const {
    return (secure ? "https://" : "http://") + HostAndPort() + std::string(path);
}

std::string CentralServer::SessionPage(int32_t session, int32_t version) const {
    return Address("/crewdock/sync.php?session=" + std::to_string(session) +
                   "&version=" + std::to_string(version));
}

std::optional<CentralServer> ParseServerOverride(std::string_view text, std::string& why) {
    const auto fail = [&why](std::string reason) {
        why = std::move(reason);
        return std::nullopt;
    };
    if (text.empty()) {
        return fail("it is empty");
    }
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) {
            return fail("it holds a blank, a line break or another control character");
        }
        if (byte > 0x7F) {
            return fail("it holds a character that is not ASCII");
        }
    }
    std::string_view rest = text;
    CentralServer server;
    server.secure = StartsWithIgnoringCase(rest, "https://");
    const bool web = server.secure || StartsWithIgnoringCase(rest, "http://");
    if (web) {
        rest.remove_prefix(server.secure ? 8 : 7);
        if (server.secure) {
            server.port = SecurePort;
        }
        if (!rest.empty() && rest.back() == '/') {
            rest.remove_suffix(1);
        }
    } else if (rest.find("://") != std::string_view::npos) {
        return fail("only http:// and https:// addresses are accepted");
    }
    if (rest.find_first_of("/?#") != std::string_view::npos) {
        return fail("nothing but a single '/' may follow the host and port");
    }

    if (!rest.empty() && rest.front() == '[') {
        if (std::string problem = ParseBracketed(rest, server); !problem.empty()) {
            return fail(std::move(problem));
        }
        return server;
    }
    if (LooksLikeBareIpv6(rest)) {
        // In an address to paste into a browser the brackets are not optional.
        if (web) {
            return fail(
                "in an http:// or https:// address an IPv6 address is written in brackets, "
                "such as http://[::1]:8080/");
        }
        if (std::string problem = ParseBare(rest, server); !problem.empty()) {
            return fail(std::move(problem));
        }
        return server;
    }
    std::string_view host = rest;
    if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        if (std::string problem = CheckPort(rest.substr(colon + 1), server.port);
            !problem.empty()) {
            return fail(std::move(problem));
        }
    }
    // "name." is the fully qualified spelling of "name": the same host, and the spelling that
    // the hosts file and the server's virtual hosts know.
    if (host.size() > 1 && host.back() == '.') {
        host.remove_suffix(1);
    }
    if (std::string problem = CheckHost(host); !problem.empty()) {
        return fail(std::move(problem));
    }
    server.host = std::string(host);
    return server;
}

std::string EscapedForDisplay(std::string_view text) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string shown;
    for (std::size_t i = 0; i < text.size() && i < MaxEchoedBytes; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        switch (byte) {
            case '\\':
                shown += "\\\\";
                break;
            case '"':
                shown += "\\\"";
                break;
            case '\r':
                shown += "\\r";
                break;
            case '\n':
                shown += "\\n";
                break;
            case '\t':
                shown += "\\t";
                break;
            default:
                if (byte >= 0x20 && byte < 0x7F) {
                    shown += static_cast<char>(byte);
                } else {
                    shown += "\\x";
                    shown += Hex[byte >> 4];
                    shown += Hex[byte & 0x0F];
                }
        }
    }
    if (text.size() > MaxEchoedBytes) {
        shown += "...";
    }
    return shown;
}

std::optional<CentralServer> CentralServerFromEnvironment(std::string& problem) {
    const char* value = std::getenv("PACKWARDEN_SERVER");
    if (value == nullptr) {
        return CentralServer{};
    }
    std::string why;
    std::optional<CentralServer> server = ParseServerOverride(value, why);
    if (!server) {
        problem = "PACKWARDEN_SERVER=\"" + EscapedForDisplay(value) + "\" cannot be used: " + why +
                  ". Accepted forms: " + ServerOverrideForms +
                  ". No server was contacted; correct the value, or unset it to use " +
                  CentralHost + ".";
    }
    return server;
}

}  // namespace packwarden
