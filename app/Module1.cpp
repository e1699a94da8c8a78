// SPDX-License-Identifier: MIT
// What the registry query gives back, the same on both platforms: only where the bytes come
// from differs.
#include "Module1.h"

#include <utility>

namespace Module1 {

bool IsTextType(uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == 7 /* REG_MULTI_SZ */;
}

bool StoreValue(uint32_t type, std::string bytes, std::string& result) {
    if (bytes.size() > ValueBufferSize) {
        return false;
    }
    // The platform's buffer: the bytes stored, a text's terminating zero byte trimmed.
    if (!bytes.empty() && bytes.back() == '\0') {
        bytes.pop_back();
    }
    if (type == REG_SZ) {
        result = std::move(bytes);
    } else if (type == REG_DWORD) {
        bytes.resize(4, '\0');  // gives back a zero byte trimmed above
        uint32_t number = 0;
        for (int i = 3; i >= 0; --i) {
            number = (number << 8) | static_cast<uint8_t>(bytes[static_cast<std::size_t>(i)]);
        }
        result = std::to_string(number);
    }
    return true;
}

}  // namespace Module1
