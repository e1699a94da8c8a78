// SPDX-License-Identifier: MIT
// Text codings at the edges of crewdock-dev: percent escapes in addresses and form bodies, and
// HTML escaping for everything a page shows (names come from players and may be hostile).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace crewdock {

using FormFields = std::vector<std::pair<std::string, std::string>>;

// The most fields a form may hold: the synchroniser sends three, then a name and a size for each
// of at most 32 767 packages. Beyond that a form only costs time and memory.
constexpr std::size_t kMaxFormFields = 3 + 2 * 32767;

enum class FormError { None, BadEscape, TooManyFields };

// Decodes %XX escapes (either case of hex digit); with plusIsSpace, '+' becomes a space as in
// form bodies and queries. Empty result for a '%' not followed by two hex digits.
std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace);

// application/x-www-form-urlencoded: fields split on '&', name and value on the first '=', both
// decoded. Empty pieces ("a&&b", a trailing '&') are skipped; a piece without '=' is a name
// with an empty value. Empty result when any escape is bad or there are more than `maxFields`
// fields; `error` (when given) says which. Linear in the body, and it stops at the first field
// too many.
std::optional<FormFields> DecodeForm(std::string_view body, FormError* error = nullptr,
                                     std::size_t maxFields = kMaxFormFields);

// The first value of `name`, or null.
const std::string* FindField(const FormFields& fields, std::string_view name);

// Percent-encodes every byte except unreserved ones (letters, digits, "-._~"), so the result
// is safe as one path segment or one query value.
std::string PercentEncode(std::string_view bytes);

// Form-encodes as a client does: space as '+', letters, digits and "-._*" as they are, every
// other byte as %XX.
std::string FormEncode(std::string_view bytes);

// Escapes & < > " ' for text and attribute values alike; NUL becomes U+FFFD.
std::string HtmlEscape(std::string_view text);

// A text as it is, HTML-escaped (HtmlEscape) or percent-encoded (PercentEncode).
enum class Coding { None, Html, Percent };
// The size of `text` in `coding`.
std::size_t CodedSize(std::string_view text, Coding coding);
// Appends `text`, from its byte `from`, in `coding`, until `out` holds `limit` bytes or the text
// ends; returns where the next call goes on. An escape is never split: the one that reaches
// the limit is written whole, a few bytes past it. Unlimited with std::string::npos.
std::size_t AppendCoded(std::string& out, std::string_view text, Coding coding, std::size_t from,
                        std::size_t limit);

// At most `maxBytes` of `text`, "..." added when cut: echoing a client's input in a message or a
// log line never costs more than a line.
std::string Excerpt(std::string_view text, std::size_t maxBytes = 80);

// Bytes below 0x20, 0x7F and above, and the backslash as \xHH: safe on one log line.
std::string LogSafe(std::string_view text);

}  // namespace crewdock
