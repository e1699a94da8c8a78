// SPDX-License-Identifier: MIT
// The address type of both families and its text forms, the same on every platform.
#include <algorithm>
#include <cstdio>

#include "SocketAddress.h"
#include "packwarden/detail/Platform.h"

namespace packwarden::MSocketSupport {

namespace {

// ::ffff:0:0/96, which a dual-stack socket shows an IPv4 peer as.
bool IsMapped(const std::array<uint8_t, 16>& b) {
    return std::all_of(b.begin(), b.begin() + 10, [](uint8_t x) { return x == 0; }) &&
           b[10] == 0xFF && b[11] == 0xFF;
}

}  // namespace

NetAddress NetAddress::V4(uint32_t networkOrder) {
    NetAddress a;
    a.family = Family::V4;
    std::memcpy(a.bytes.data(), &networkOrder, 4);
    return a;
}

NetAddress NetAddress::V6(const std::array<uint8_t, 16>& bytes, uint32_t scope) {
    if (IsMapped(bytes)) {
        uint32_t v4 = 0;
        std::memcpy(&v4, bytes.data() + 12, 4);
        return V4(v4);
    }
    NetAddress a;
    a.family = Family::V6;
    a.bytes = bytes;
    a.scope = scope;
    return a;
}

uint32_t NetAddress::V4NetworkOrder() const {
    uint32_t v = 0;
    if (family == Family::V4) {
        std::memcpy(&v, bytes.data(), 4);
    }
    return v;
}

NetAddress NetAddress::Mapped() const {
    if (family != Family::V4) {
        return *this;
    }
    NetAddress a;
    a.family = Family::V6;
    a.bytes[10] = 0xFF;
    a.bytes[11] = 0xFF;
    std::memcpy(a.bytes.data() + 12, bytes.data(), 4);
    return a;
}

bool NetAddress::IsUnspecified() const {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t x) { return x == 0; });
}

}  // namespace packwarden::MSocketSupport

namespace packwarden::MSocketSupport::Platform {

int32_t FamilyNumber(Address::Family family) {
    return family == Address::Family::V6 ? AF_INET6 : AF_INET;
}

bool ParseAddress(const std::string& text, Address& address) {
    if (text.empty()) {
        return false;
    }
    const uint32_t v4 = inet_addr(text);
    if (v4 != 0xFFFFFFFFu) {
        address = Address::V4(v4);
        return true;
    }
    std::string body = text;
    if (body.size() >= 2 && body.front() == '[' && body.back() == ']') {
        body = body.substr(1, body.size() - 2);
    }
    uint32_t scope = 0;
    if (const auto percent = body.find('%'); percent != std::string::npos) {
        const std::string zone = body.substr(percent + 1);
        if (zone.empty() || zone.size() > 9 ||
            !std::all_of(zone.begin(), zone.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return false;
        }
        scope = static_cast<uint32_t>(std::stoul(zone));
        body.resize(percent);
    }
    // inet_pton accepts no brackets and no zone: both were taken off above.
    if (body.find(':') == std::string::npos) {
        return false;
    }
    std::array<uint8_t, 16> bytes{};
    if (::inet_pton(AF_INET6, body.c_str(), bytes.data()) != 1) {
        return false;
    }
    address = Address::V6(bytes, scope);
    return true;
}

std::string AddressText(const Address& address) {
    if (address.family == Address::Family::V4) {
        return inet_ntoa(address.V4NetworkOrder());
    }
    if (address.family != Address::Family::V6) {
        return {};
    }
    std::array<uint16_t, 8> words{};
    for (std::size_t i = 0; i < 8; ++i) {
        words[i] = static_cast<uint16_t>(address.bytes[2 * i] << 8 | address.bytes[2 * i + 1]);
    }
    // The longest run of zero fields, the first of equal ones; a single field stays.
    std::size_t bestStart = 8;
    std::size_t bestLength = 1;
    for (std::size_t i = 0; i < 8;) {
        if (words[i] != 0) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < 8 && words[j] == 0) {
            ++j;
        }
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    std::string text;
    char field[8];
    for (std::size_t i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') {
            text += ':';
        }
        std::snprintf(field, sizeof field, "%x", static_cast<unsigned>(words[i]));
        text += field;
    }
    if (address.scope != 0) {
        text += '%' + std::to_string(address.scope);
    }
    return text;
}

}  // namespace packwarden::MSocketSupport::Platform
