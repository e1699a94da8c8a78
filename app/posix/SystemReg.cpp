// SPDX-License-Identifier: MIT
#include "posix/SystemReg.h"

#include <vector>

#include "AsciiText.h"
#include "Module1.h"

namespace Module1 {
namespace {

using packwarden::AsciiLower;
using packwarden::EqualsIgnoringCase;
using packwarden::StartsWithIgnoringCase;

constexpr std::size_t MaxLineLength = 1u << 20;
constexpr std::string_view RegistryHeader = "WINE REGISTRY Version 2";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = AsciiLower(c);
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Turns UTF-16 code units into UTF-8, pairing surrogates. An unpaired surrogate becomes "?",
// as the platform's conversion to 8-bit text writes its default character.
class Utf16Sink {
  public:
    explicit Utf16Sink(std::string& out) : out_(out) {}
    ~Utf16Sink() { Flush(); }
    void Unit(uint32_t u) {
        if (high_ != 0) {
            if (u >= 0xDC00 && u <= 0xDFFF) {
                AppendUtf8(out_, 0x10000 + ((high_ - 0xD800) << 10) + (u - 0xDC00));
                high_ = 0;
                return;
            }
            Flush();
        }
        if (u >= 0xD800 && u <= 0xDBFF) {
            high_ = u;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            out_ += '?';
        } else {
            AppendUtf8(out_, u);
        }
    }
    // A byte of the file taken literally (the file is UTF-8 or ASCII).
    void Byte(char c) {
        Flush();
        out_ += c;
    }
    void Flush() {
        if (high_ != 0) {
            out_ += '?';
            high_ = 0;
        }
    }

  private:
    std::string& out_;
    uint32_t high_ = 0;
};

// Reads Wine's escaped text from s[pos] up to the unescaped `terminator`, leaving pos after it.
// Escapes: \a \b \e \f \n \r \t \v, up to three octal digits, \x with up to four hex digits (a
// UTF-16 code unit); a backslash before any other character stands for that character.
bool ParseEscaped(std::string_view s, std::size_t& pos, char terminator, std::string& out) {
    Utf16Sink sink(out);
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == terminator) {
            return true;
        }
        if (c != '\\') {
            sink.Byte(c);
            continue;
        }
        if (pos >= s.size()) {
            return false;
        }
        c = s[pos++];
        switch (c) {
            case 'a':
                sink.Unit('\a');
                break;
            case 'b':
                sink.Unit('\b');
                break;
            case 'e':
                sink.Unit(0x1B);
                break;
            case 'f':
                sink.Unit('\f');
                break;
            case 'n':
                sink.Unit('\n');
                break;
            case 'r':
                sink.Unit('\r');
                break;
            case 't':
                sink.Unit('\t');
                break;
            case 'v':
                sink.Unit('\v');
                break;
            case 'x': {
                uint32_t unit = 0;
                int digits = 0;
                while (digits < 4 && pos < s.size() && HexDigit(s[pos]) >= 0) {
                    unit = unit * 16 + static_cast<uint32_t>(HexDigit(s[pos++]));
                    ++digits;
                }
                if (digits == 0) {
                    sink.Byte('x');
                } else {
                    sink.Unit(unit);
                }
                break;
            }
            default:
                if (c >= '0' && c <= '7') {
                    uint32_t unit = static_cast<uint32_t>(c - '0');
                    for (int digits = 1;
                         digits < 3 && pos < s.size() && s[pos] >= '0' && s[pos] <= '7'; ++digits) {
                        unit = unit * 8 + static_cast<uint32_t>(s[pos++] - '0');
                    }
                    sink.Unit(unit);
                } else {
                    sink.Byte(c);
                }
        }
    }
    return false;
}

std::string Utf8FromUtf16Le(const std::string& bytes) {
    std::string out;
    Utf16Sink sink(out);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        sink.Unit(static_cast<uint8_t>(bytes[i]) |
                  (static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8));
    }
    sink.Flush();
    return out;
}

void SkipBlanks(std::string_view s, std::size_t& pos) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) {
        ++pos;
    }
}

bool OnlyBlanksFrom(std::string_view s, std::size_t pos) {
    SkipBlanks(s, pos);
    return pos == s.size();
}

// Parses a hex number (type codes, dwords): at least one digit, at most eight.
bool ParseHexNumber(std::string_view s, std::size_t& pos, uint32_t& value) {
    value = 0;
    int digits = 0;
    while (pos < s.size() && HexDigit(s[pos]) >= 0) {
        if (++digits > 8) {
            return false;
        }
        value = value * 16 + static_cast<uint32_t>(HexDigit(s[pos++]));
    }
    return digits > 0;
}

// The file's lines, each without its line end (LF or CR LF).
class RegistryFile {
  public:
    explicit RegistryFile(std::string_view content) : content_(content) {}

    bool NextLine(std::string_view& line) {
        if (pos_ >= content_.size()) {
            return false;
        }
        std::size_t end = content_.find('\n', pos_);
        if (end == std::string_view::npos) {
            end = content_.size();
        }
        line = content_.substr(pos_, end - pos_);
        pos_ = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        return true;
    }

  private:
    std::string_view content_;
    std::size_t pos_ = 0;
};

// The last character that is not a blank is a backslash: hex data goes on at the next line.
bool ContinuesOnNextLine(std::string_view line) {
    const std::size_t last = line.find_last_not_of(" \t");
    return last != std::string_view::npos && line[last] == '\\';
}

// Hex bytes "01,02,\" from line[pos], continued on the lines of `more`.
bool ParseHexBytes(std::string_view line, std::size_t pos,
                   const std::vector<std::string_view>& more, std::string& out) {
    std::size_t next = 0;
    while (true) {
        SkipBlanks(line, pos);
        if (pos == line.size()) {
            return true;
        }
        if (line[pos] == '\\' && OnlyBlanksFrom(line, pos + 1)) {
            if (next == more.size()) {
                return false;
            }
            line = more[next++];
            pos = 0;
            continue;
        }
        if (pos + 1 >= line.size() || HexDigit(line[pos]) < 0 || HexDigit(line[pos + 1]) < 0) {
            return false;
        }
        out += static_cast<char>(HexDigit(line[pos]) * 16 + HexDigit(line[pos + 1]));
        pos += 2;
        SkipBlanks(line, pos);
        if (pos < line.size() && line[pos] == ',') {
            ++pos;
        } else if (pos < line.size() && line[pos] != '\\') {
            return false;
        }
    }
}

// The value's data after "name"=, converted to what the 8-bit query returns.
// An optional "(N)" after "str" or "hex": the value's type in hex.
bool ParseTypeSuffix(std::string_view line, std::size_t& pos, uint32_t& type) {
    if (pos >= line.size() || line[pos] != '(') {
        return true;
    }
    ++pos;
    if (!ParseHexNumber(line, pos, type) || pos >= line.size() || line[pos] != ')') {
        return false;
    }
    ++pos;
    return true;
}

// The rest of a quoted text whose opening quote is behind `pos`, as the stored bytes with
// their terminating zero; nothing but blanks may follow it.
bool ParseQuotedText(std::string_view line, std::size_t& pos, std::string& data) {
    if (!ParseEscaped(line, pos, '"', data) || !OnlyBlanksFrom(line, pos)) {
        return false;
    }
    data += '\0';
    return true;
}

// The data of a value from line[pos]; hex data goes on over the lines of `more`.
bool ParseValueData(std::string_view line, std::size_t pos,
                    const std::vector<std::string_view>& more, RawValue& value) {
    std::string_view rest = line.substr(pos);
    if (!rest.empty() && rest[0] == '"') {
        ++pos;
        value.type = REG_SZ;
        return ParseQuotedText(line, pos, value.data);
    }
    if (StartsWithIgnoringCase(rest, "str")) {
        pos += 3;
        value.type = REG_SZ;
        if (!ParseTypeSuffix(line, pos, value.type)) {
            return false;
        }
        if (line.substr(pos, 2) != ":\"") {
            return false;
        }
        pos += 2;
        return ParseQuotedText(line, pos, value.data);
    }
    if (StartsWithIgnoringCase(rest, "dword:")) {
        pos += 6;
        uint32_t number = 0;
        if (!ParseHexNumber(line, pos, number) || !OnlyBlanksFrom(line, pos)) {
            return false;
        }
        value.type = REG_DWORD;
        for (int i = 0; i < 4; ++i) {
            value.data += static_cast<char>((number >> (8 * i)) & 0xFF);
        }
        return true;
    }
    if (StartsWithIgnoringCase(rest, "hex")) {
        pos += 3;
        value.type = REG_BINARY;
        if (!ParseTypeSuffix(line, pos, value.type)) {
            return false;
        }
        if (pos >= line.size() || line[pos] != ':') {
            return false;
        }
        std::string bytes;
        if (!ParseHexBytes(line, pos + 1, more, bytes)) {
            return false;
        }
        // Texts are stored as UTF-16; the 8-bit query converts them.
        value.data = IsTextType(value.type) ? Utf8FromUtf16Le(bytes) : std::move(bytes);
        return true;
    }
    return false;
}

}  // namespace

Lookup FindValue(std::string_view content, const std::string& keyPath, const std::string& valueName,
                 RawValue& value) {
    RegistryFile file(content);
    std::string_view line;
    if (!file.NextLine(line) || line != RegistryHeader) {
        return Lookup::Malformed;
    }
    std::string_view wantedKey(keyPath);
    while (!wantedKey.empty() && wantedKey.back() == '\\') {
        wantedKey.remove_suffix(1);
    }
    const bool wantDefault = valueName.empty() || valueName == "@";
    bool inKey = false;
    std::vector<std::string_view> continuation;
    while (file.NextLine(line)) {
        std::size_t pos = 0;
        SkipBlanks(line, pos);
        if (pos == line.size()) {
            continue;
        }
        if (line[pos] == '[') {
            // A header that cannot be read still ends the key before it.
            ++pos;
            std::string name;
            inKey = line.size() <= MaxLineLength && ParseEscaped(line, pos, ']', name) &&
                    EqualsIgnoringCase(name, wantedKey);
            continue;
        }
        // Comments, options and stray lines; other keys' values, unless their data goes on at
        // the next lines, which must then be passed over.
        if ((line[pos] != '"' && line[pos] != '@') || (!inKey && !ContinuesOnNextLine(line))) {
            continue;
        }
        const bool isDefault = line[pos] == '@';
        ++pos;
        std::string name;
        if (!isDefault && !ParseEscaped(line, pos, '"', name)) {
            continue;
        }
        SkipBlanks(line, pos);
        if (pos >= line.size() || line[pos] != '=') {
            continue;
        }
        ++pos;
        SkipBlanks(line, pos);
        continuation.clear();
        bool withinBound = line.size() <= MaxLineLength;
        if (StartsWithIgnoringCase(line.substr(pos), "hex")) {
            for (std::string_view last = line; ContinuesOnNextLine(last) && file.NextLine(last);) {
                withinBound = withinBound && last.size() <= MaxLineLength;
                continuation.push_back(last);
            }
        }
        const bool matches =
            inKey &&
            (isDefault ? wantDefault : !wantDefault && EqualsIgnoringCase(name, valueName));
        if (!matches) {
            continue;
        }
        if (withinBound && ParseValueData(line, pos, continuation, value)) {
            return Lookup::Found;
        }
        value = RawValue{};
    }
    return Lookup::NotFound;
}

}  // namespace Module1
