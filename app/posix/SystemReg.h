// SPDX-License-Identifier: MIT
// The Wine prefix's registry file, system.reg, parsed as Wine's own loader reads it: escaped
// key and value names, quoted and typed texts, dwords, hex data continued over lines, texts
// stored as UTF-16 turned into UTF-8. Reading the file is the lookup's part (Module1.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Module1 {

// A value as the 8-bit query returns it: its type and its bytes, texts with their zero byte.
struct RawValue {
    uint32_t type = 0;
    std::string data;
};

enum class Lookup { Found, NotFound, Malformed };

// Finds value `valueName` ("" or "@" for the key's default value) of key `keyPath` in the
// file's `content`, names compared without regard to case; Malformed when the content does not
// start with the file's header line. A line that cannot be read (a broken header or value, a
// line past the length bound) is skipped as Wine's own loader skips it: it costs that line,
// never the whole file. Lines may be indented with blanks.
Lookup FindValue(std::string_view content, const std::string& keyPath, const std::string& valueName,
                 RawValue& value);

}  // namespace Module1
