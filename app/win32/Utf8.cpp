// SPDX-License-Identifier: MIT
#include "win32/Utf8.h"

#include <windows.h>

#include <climits>

namespace packwarden {

std::string Utf8FromWide(std::wstring_view text) {
    if (text.empty() || text.size() > INT_MAX / 4) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), needed, nullptr,
                              nullptr);
    }
    return out;
}

std::wstring WideFromUtf8(std::string_view text) {
    if (text.empty() || text.size() > INT_MAX) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(needed > 0 ? needed : 0), L'\0');
    if (needed > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), needed);
    }
    return out;
}

}  // namespace packwarden
