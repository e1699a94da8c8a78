// SPDX-License-Identifier: MIT
// Text between the program (UTF-8) and Windows' wide-character calls (UTF-16).
#pragma once

#include <string>
#include <string_view>

namespace packwarden {

// An unpaired surrogate (a name Windows allows but Unicode does not) becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view text);
// Bytes that are not UTF-8 become U+FFFD.
std::wstring WideFromUtf8(std::string_view text);

}  // namespace packwarden
