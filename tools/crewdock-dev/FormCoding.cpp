// SPDX-License-Identifier: MIT
#include "FormCoding.h"

#include <algorithm>

namespace crewdock {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHex(std::string& out, unsigned char byte) {
    out += '%';
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0xF];
}

bool IsAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsUnreserved(unsigned char c) {
    return IsAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// What HtmlEscape writes for `c`: empty for a byte kept as it is.
std::string_view HtmlEntity(char c) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '"':
            return "&quot;";
        case '\'':
            return "&#39;";
        case '\0':
            return "&#xFFFD;";
        default:
            return {};
    }
}

bool KeptAsItIs(char c, Coding coding) {
    switch (coding) {
        case Coding::Html:
            return HtmlEntity(c).empty();
        case Coding::Percent:
            return IsUnreserved(static_cast<unsigned char>(c));
        case Coding::None:
            break;
    }
    return true;
}

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            const int hi = HexValue(text[i + 1]);
            const int lo = HexValue(text[i + 2]);
            if (hi < 0 || lo < 0) {
                return std::nullopt;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<FormFields> DecodeForm(std::string_view body, FormError* error,
                                     std::size_t maxFields) {
    const auto fail = [&](FormError why) -> std::optional<FormFields> {
        if (error != nullptr) {
            *error = why;
        }
        return std::nullopt;
    };
    if (error != nullptr) {
        *error = FormError::None;
    }
    FormFields fields;
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string_view::npos) {
            end = body.size();
        }
        const std::string_view piece = body.substr(start, end - start);
        if (!piece.empty()) {
            if (fields.size() == maxFields) {
                return fail(FormError::TooManyFields);
            }
            const std::size_t eq = piece.find('=');
            auto name = PercentDecode(piece.substr(0, eq), true);
            auto value = eq == std::string_view::npos ? std::optional<std::string>(std::string())
                                                      : PercentDecode(piece.substr(eq + 1), true);
            if (!name || !value) {
                return fail(FormError::BadEscape);
            }
            fields.emplace_back(std::move(*name), std::move(*value));
        }
        start = end + 1;
    }
    return fields;
}

const std::string* FindField(const FormFields& fields, std::string_view name) {
    for (const auto& [key, value] : fields) {
        if (key == name) {
            return &value;
        }
    }
    return nullptr;
}

std::string PercentEncode(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    AppendCoded(out, bytes, Coding::Percent, 0, std::string::npos);
    return out;
}

std::string FormEncode(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == ' ') {
            out += '+';
        } else if (IsAlnum(c) || c == '-' || c == '.' || c == '_' || c == '*') {
            out += ch;
        } else {
            AppendHex(out, c);
        }
    }
    return out;
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendCoded(out, text, Coding::Html, 0, std::string::npos);
    return out;
}

std::size_t CodedSize(std::string_view text, Coding coding) {
    if (coding == Coding::None) {
        return text.size();
    }
    std::size_t size = 0;
    for (const char c : text) {
        size += KeptAsItIs(c, coding) ? 1 : coding == Coding::Html ? HtmlEntity(c).size() : 3;
    }
    return size;
}

std::size_t AppendCoded(std::string& out, std::string_view text, Coding coding, std::size_t from,
                        std::size_t limit) {
    while (from < text.size() && out.size() < limit) {
        // Bytes kept as they are go in one append, as far as the limit allows.
        const std::size_t end = from + std::min(text.size() - from, limit - out.size());
        std::size_t run = from;
        while (run < end && KeptAsItIs(text[run], coding)) {
            ++run;
        }
        out.append(text.substr(from, run - from));
        from = run;
        if (from == text.size() || out.size() >= limit) {
            break;
        }
        const char c = text[from++];
        if (coding == Coding::Html) {
            out += HtmlEntity(c);
        } else {
            AppendHex(out, static_cast<unsigned char>(c));
        }
    }
    return from;
}

std::string Excerpt(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return std::string(text);
    }
    return std::string(text.substr(0, maxBytes)) + "...";
}

std::string LogSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            out += "\\x";
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 0xF];
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace crewdock
