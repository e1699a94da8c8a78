// Text codings at the edges of crewdock-dev: percent escapes in addresses and form bodies, and
// HTML escaping for everything a page shows (names come from players and may be hostile).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace crewdock {

using FormFields = std::vector<std::pair<std::string, std::string>>;

// Decodes %XX escapes (either case of hex digit); with plusIsSpace, '+' becomes a space as in
// form bodies and queries. Empty result for a '%' not followed by two hex digits.
std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace);

// application/x-www-form-urlencoded: fields split on '&', name and value on the first '=', both
// decoded. Empty pieces ("a&&b", a trailing '&') are skipped; a piece without '=' is a name
// with an empty value. Empty result when any escape is bad.
std::optional<FormFields> DecodeForm(std::string_view body);

// The first value of `name`, or null.
const std::string* FindField(const FormFields& fields, std::string_view name);

// Percent-encodes every byte except unreserved ones (letters, digits, "-._~"), so the result
// is safe as one path segment or one query value.
std::string PercentEncode(std::string_view bytes);

// Form-encodes as a client does: space as '+', letters, digits and "-._*" as they are, every
// other byte as %XX.
std::string FormEncode(std::string_view bytes);

// Escapes & < > " ' for text and attribute values alike.
std::string HtmlEscape(std::string_view text);

// Bytes below 0x20, 0x7F and above, and the backslash as \xHH: safe on one log line.
std::string LogSafe(std::string_view text);

}  // namespace crewdock
