// SPDX-License-Identifier: MIT
// Small conversions at the boundary to the platform's 8-bit strings and 16-bit fields.
#include <cstring>

#include "packwarden/MSocketSupport.h"

namespace packwarden::MSocketSupport {

std::string AnsiStringAt(const char* address) {
    if (address == nullptr) {
        return {};
    }
    return std::string(address, std::strlen(address));
}

int16_t UnsignedToShort(int32_t value) {
    if (value < 0 || value > 65535) {
        throw SocketError(OverflowErrorNumber, "MSocketSupport.UnsignedToShort", OverflowErrorText);
    }
    return static_cast<int16_t>(value > 32767 ? value - 65536 : value);
}

int32_t ShortToUnsigned(int16_t value) {
    return value < 0 ? value + 65536 : value;
}

int32_t LowWord(int32_t x) {
    return static_cast<int32_t>(static_cast<uint32_t>(x) & 0xFFFFu);
}

int32_t HighWord(int32_t x) {
    return static_cast<int32_t>((static_cast<uint32_t>(x) >> 16) & 0xFFFFu);
}

}  // namespace packwarden::MSocketSupport
