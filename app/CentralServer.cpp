#include "CentralServer.h"

#include <cctype>
#include <cstdlib>
#include <ostream>

namespace packwarden {

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
    CentralServer server;
    std::string_view host = text;
    if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        host = text.substr(0, colon);
        const std::string_view port = text.substr(colon + 1);
        if (port.empty() || port.size() > 5) {
            why = "the port must be a number from 1 to 65535";
            return std::nullopt;
        }
        int32_t number = 0;
        for (char c : port) {
            if (!std::isdigit(static_cast<unsigned char>(c))) {
                why = "the port must be a number from 1 to 65535";
                return std::nullopt;
            }
            number = number * 10 + (c - '0');
        }
        if (number < 1 || number > 65535) {
            why = "the port must be a number from 1 to 65535";
            return std::nullopt;
        }
        server.port = number;
    }
    if (host.empty() || host.size() > 253) {
        why = "the host name is empty or too long";
        return std::nullopt;
    }
    std::size_t labelLength = 0;
    for (char c : host) {
        if (c == '.') {
            if (labelLength == 0) {
                why = "the host name has an empty label";
                return std::nullopt;
            }
            labelLength = 0;
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') {
            ++labelLength;
        } else {
            why = "the host name may hold only letters, digits, '-' and '.'";
            return std::nullopt;
        }
    }
    if (labelLength == 0) {
        why = "the host name has an empty label";
        return std::nullopt;
    }
    server.host = std::string(host);
    return server;
}

CentralServer CentralServerFromEnvironment(std::ostream& diagnostics) {
    const char* value = std::getenv("PACKWARDEN_SERVER");
    if (value == nullptr || *value == '\0') {
        return {};
    }
    std::string why;
    if (std::optional<CentralServer> server = ParseServerOverride(value, why)) {
        return *server;
    }
    CentralServer central;
    diagnostics << "packwarden: ignoring PACKWARDEN_SERVER=\"" << value << "\": " << why
                << "; using " << central.HostAndPort() << '\n';
    return central;
}

}  // namespace packwarden
