// SPDX-License-Identifier: MIT
#include "CentralServer.h"

#include <cstdlib>

#include "AsciiText.h"

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

// "[...]" or hex digits with two colons or more: "host:80:80" is a bad port, not this.
bool LooksLikeIpv6(std::string_view text) {
    if (!text.empty() && text.front() == '[') {
        return true;
    }
    return text.find(':') != text.rfind(':') &&
           text.find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos;
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

std::string CentralServer::HostAndPort() const {
    return port == CentralPort ? host : host + ":" + std::to_string(port);
}

std::string CentralServer::Address(std::string_view path) const {
    return "http://" + HostAndPort() + std::string(path);
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
    if (StartsWithIgnoringCase(rest, "http://")) {
        rest.remove_prefix(7);
        if (!rest.empty() && rest.back() == '/') {
            rest.remove_suffix(1);
        }
    } else if (rest.find("://") != std::string_view::npos) {
        return fail("only http:// addresses are accepted");
    }
    if (LooksLikeIpv6(rest)) {
        return fail("it is an IPv6 address, and Packwarden connects over IPv4 only");
    }
    if (rest.find_first_of("/?#") != std::string_view::npos) {
        return fail("nothing but a single '/' may follow the host and port");
    }

    CentralServer server;
    std::string_view host = rest;
    if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        const std::string_view port = rest.substr(colon + 1);
        if (port.empty()) {
            return fail("the port after ':' is missing");
        }
        int32_t number = 0;
        if (!ParseDecimal(port, 5, number) || number < 1 || number > 65535) {
            return fail("the port must be a number from 1 to 65535");
        }
        server.port = number;
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
