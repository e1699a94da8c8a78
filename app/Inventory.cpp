// SPDX-License-Identifier: MIT
#include "Inventory.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <iterator>

namespace packwarden {

SessionGenerator::SessionGenerator() {
    std::random_device device;
    const auto now =
        static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    std::seed_seq seed{static_cast<uint32_t>(now), static_cast<uint32_t>(now >> 32), device(),
                       device()};
    engine_.seed(seed);
}

SessionGenerator::SessionGenerator(std::seed_seq& seed) : engine_(seed) {}

int16_t SessionGenerator::NextSessionNumber() {
    // 24 random bits give every single-precision step of [0, 1) and never 1 itself.
    const float r = static_cast<float>(engine_() >> 8) * (1.0f / 16777216.0f);
    return SessionFromSingle(r);
}

int16_t SessionGenerator::SessionFromSingle(float r) {
    // nearbyint rounds halves to even in the default rounding mode.
    return static_cast<int16_t>(std::nearbyint(r * 10000.0f));
}

namespace {

void AppendFormEncoded(std::string& out, std::string_view text) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
            byte == '*') {
            out += c;
        } else if (byte == ' ') {
            out += '+';
        } else {
            out += '%';
            out += Hex[byte >> 4];
            out += Hex[byte & 0x0F];
        }
    }
}

void AppendNumber(std::string& out, int64_t value) {
    char digits[24];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
    out.append(digits, end);
}

}  // namespace

std::string FormEncode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendFormEncoded(out, text);
    return out;
}

std::string InventoryBody(int32_t version, int32_t session,
                          const std::vector<PackageEntry>& entries) {
    // Built in place, one field after another: no temporary strings per entry.
    std::size_t estimate = 48;
    for (const auto& entry : entries) {
        estimate += entry.name.size() + 48;
    }
    std::string body;
    body.reserve(estimate);
    body += "game=ef2&version=";
    AppendNumber(body, version);
    body += "&session=";
    AppendNumber(body, session);
    for (std::size_t n = 0; n < entries.size(); ++n) {
        body += "&filename";
        AppendNumber(body, static_cast<int64_t>(n));
        body += '=';
        AppendFormEncoded(body, entries[n].name);
        body += "&filesize";
        AppendNumber(body, static_cast<int64_t>(n));
        body += '=';
        AppendNumber(body, entries[n].size);
    }
    return body;
}

std::string HeaderTemplate(std::string_view hostHeader) {
    std::string header = "POST /crewdock/sync_session.php HTTP/1.0\r\n";
    header += "Host: ";
    header += hostHeader;
    header += "\r\n";
    header += "User-Agent: Packwarden\r\n";
    header += "Content-type: application/x-www-form-urlencoded\r\n";
    return header;
}

std::string ComposeRequest(std::string_view headerTemplate, std::string_view body) {
    std::string request;
    request.reserve(headerTemplate.size() + body.size() + 32);
    request += headerTemplate;
    request += "Content-length: " + std::to_string(body.size()) + "\r\n\r\n";
    request += body;
    request += "\r\n";
    return request;
}

}  // namespace packwarden
