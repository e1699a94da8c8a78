// SPDX-License-Identifier: MIT
#include "packwarden/Variant.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "packwarden/MSocketSupport.h"

namespace packwarden {

namespace {

constexpr int32_t TypeMismatchNumber = 13;
constexpr const char* TypeMismatchText = "Type mismatch";

[[noreturn]] void ThrowTypeMismatch(const char* source) {
    throw MSocketSupport::SocketError(TypeMismatchNumber, source, TypeMismatchText);
}

template <typename T>
void PutLittleEndian(Variant::Bytes& out, T value) {
    // The platform is little-endian, so the in-memory bytes are the wire bytes.
    const std::size_t at = out.size();
    out.resize(at + sizeof(T));
    std::memcpy(out.data() + at, &value, sizeof(T));
}

// The first sizeof(T) bytes, with missing high bytes taken as zero.
template <typename T>
T GetLittleEndian(std::string_view bytes) {
    uint8_t raw[sizeof(T)] = {};
    std::memcpy(raw, bytes.data(), std::min(bytes.size(), sizeof(T)));
    T value;
    std::memcpy(&value, raw, sizeof(T));
    return value;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Numeric text: optional blanks, sign, decimal digits with one optional point, an optional
// exponent (E or D), optional blanks; or &H / &O followed by hexadecimal / octal digits.
std::optional<double> ParseNumber(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    if (text.size() > 2 && text[0] == '&') {
        const char kind = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
        const int base = kind == 'H' ? 16 : kind == 'O' ? 8 : 0;
        if (base == 0) {
            return std::nullopt;
        }
        uint64_t value = 0;
        const std::string_view digits = text.substr(2);
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
        if (ec != std::errc() || end != digits.data() + digits.size()) {
            return std::nullopt;
        }
        return static_cast<double>(value);
    }

    std::string normal;
    normal.reserve(text.size());
    std::size_t i = 0;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        ++i;
    }
    std::size_t mantissaDigits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            ++mantissaDigits;
            normal += c;
        } else if (c == '.' && !point) {
            point = true;
            normal += c;
        } else {
            break;
        }
    }
    if (mantissaDigits == 0) {
        return std::nullopt;
    }
    if (i < text.size()) {
        const char e = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
        if (e != 'E' && e != 'D') {
            return std::nullopt;
        }
        normal += 'e';
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            normal += text[i++];
        }
        std::size_t exponentDigits = 0;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            normal += text[i];
            ++exponentDigits;
        }
        if (exponentDigits == 0 || i != text.size()) {
            return std::nullopt;
        }
    }
    double value = 0;
    auto [end, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
    if (end != normal.data() + normal.size() ||
        (ec != std::errc() && ec != std::errc::result_out_of_range)) {
        return std::nullopt;
    }
    if (ec == std::errc::result_out_of_range) {
        // Too large for a double: it is still a number, and an overflow for every caller.
        value = std::numeric_limits<double>::infinity();
    }
    return negative ? -value : value;
}

std::string FormatDouble(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

}  // namespace

Variant Variant::Null() {
    Variant v;
    v.type_ = vbNull;
    return v;
}

Variant Variant::Currency(int64_t scaled) {
    Variant v;
    v.type_ = vbCurrency;
    v.value_ = scaled;
    return v;
}

Variant Variant::Date(double oleDate) {
    Variant v;
    v.type_ = vbDate;
    v.value_ = oleDate;
    return v;
}

int64_t Variant::AsInteger() const {
    if (const auto* i = std::get_if<int64_t>(&value_)) {
        return *i;
    }
    if (const auto* d = std::get_if<double>(&value_)) {
        const double r = std::nearbyint(*d);
        if (!(r >= -9.2233720368547758e18 && r < 9.2233720368547758e18)) {
            throw MSocketSupport::SocketError(MSocketSupport::OverflowErrorNumber,
                                              "Variant.AsInteger",
                                              MSocketSupport::OverflowErrorText);
        }
        return static_cast<int64_t>(r);
    }
    ThrowTypeMismatch("Variant.AsInteger");
}

double Variant::AsDouble() const {
    if (type_ == vbCurrency) {
        return static_cast<double>(std::get<int64_t>(value_)) /
               10'000.0;  // currency: four decimal places
    }
    if (const auto* i = std::get_if<int64_t>(&value_)) {
        return static_cast<double>(*i);
    }
    if (const auto* d = std::get_if<double>(&value_)) {
        return *d;
    }
    ThrowTypeMismatch("Variant.AsDouble");
}

std::string Variant::AsString() const {
    switch (type_) {
        case vbEmpty:
            return {};
        case vbString:
        case vbByteArray:
            return std::string(Payload());
        case vbBoolean:
            return std::get<int64_t>(value_) != 0 ? "True" : "False";
        case vbCurrency:
        case vbSingle:
        case vbDouble:
        case vbDate:
            return FormatDouble(AsDouble());
        case vbInteger:
        case vbLong:
        case vbByte:
            return std::to_string(std::get<int64_t>(value_));
        default:
            ThrowTypeMismatch("Variant.AsString");
    }
}

Variant::Bytes Variant::AsBytes() const {
    if (const auto* b = std::get_if<Bytes>(&value_); b != nullptr && type_ == vbByteArray) {
        return *b;
    }
    if (type_ == vbString || type_ == vbByteArray) {
        const std::string_view s = Payload();
        return Bytes(s.begin(), s.end());
    }
    if (type_ == vbEmpty) {
        return {};
    }
    ThrowTypeMismatch("Variant.AsBytes");
}

std::optional<double> Variant::ToNumber() const {
    switch (type_) {
        case vbInteger:
        case vbLong:
        case vbByte:
        case vbBoolean:
        case vbCurrency:
        case vbSingle:
        case vbDouble:
        case vbDate:
            return AsDouble();
        case vbString:
            return ParseNumber(std::get<std::string>(value_));
        default:
            return std::nullopt;
    }
}

int32_t Variant::ToInt32() const {
    const auto n = ToNumber();
    if (!n) {
        ThrowTypeMismatch("Variant.ToInt32");
    }
    // nearbyint follows the default rounding mode: to nearest, halves to even.
    const double r = std::nearbyint(*n);
    if (!(r >= -2147483648.0 && r <= 2147483647.0)) {
        throw MSocketSupport::SocketError(MSocketSupport::OverflowErrorNumber, "Variant.ToInt32",
                                          MSocketSupport::OverflowErrorText);
    }
    return static_cast<int32_t>(r);
}

Variant::Bytes Variant::WireBytes() const {
    Bytes out;
    switch (type_) {
        case vbInteger:
            PutLittleEndian(out, static_cast<int16_t>(std::get<int64_t>(value_)));
            break;
        case vbLong:
            PutLittleEndian(out, static_cast<int32_t>(std::get<int64_t>(value_)));
            break;
        case vbSingle:
            PutLittleEndian(out, static_cast<float>(std::get<double>(value_)));
            break;
        case vbDouble:
        case vbDate:
            PutLittleEndian(out, std::get<double>(value_));
            break;
        case vbCurrency:
            PutLittleEndian(out, std::get<int64_t>(value_));
            break;
        case vbBoolean:
            PutLittleEndian(out, static_cast<int16_t>(std::get<int64_t>(value_) != 0 ? -1 : 0));
            break;
        case vbByte:
            out.push_back(static_cast<uint8_t>(std::get<int64_t>(value_)));
            break;
        case vbString:
        case vbByteArray:
            out = AsBytes();
            break;
        default:
            break;
    }
    return out;
}

std::optional<std::string_view> Variant::WireView() const {
    if (type_ == vbString || type_ == vbByteArray) {
        return Payload();
    }
    return std::nullopt;
}

std::string_view Variant::Payload() const {
    if (const auto* b = std::get_if<Bytes>(&value_)) {
        return {reinterpret_cast<const char*>(b->data()), b->size()};
    }
    if (const auto* s = std::get_if<std::string>(&value_)) {
        return *s;
    }
    return {};
}

void Variant::AssignBytes(int32_t varType, std::string_view bytes) {
    // The type changes last: a copy that fails (out of memory) leaves the value as it was.
    const int32_t type = varType == vbByteArray ? vbByteArray : vbString;
    if (auto* b = std::get_if<Bytes>(&value_);
        b != nullptr && type == vbByteArray && b->capacity() >= bytes.size()) {
        b->assign(bytes.begin(), bytes.end());
    } else if (auto* s = std::get_if<std::string>(&value_)) {
        s->assign(bytes);
    } else {
        std::string text(bytes);
        value_ = std::move(text);
    }
    type_ = type;
}

std::string Variant::ExchangeStorage(int32_t varType, std::string&& storage) {
    std::string previous;
    if (auto* s = std::get_if<std::string>(&value_)) {
        previous.swap(*s);
        s->swap(storage);
    } else {
        value_.emplace<std::string>().swap(storage);
    }
    type_ = varType == vbByteArray ? vbByteArray : vbString;
    return previous;
}

bool operator==(const Variant& a, const Variant& b) {
    if (a.type_ != b.type_) {
        return false;
    }
    if (a.type_ == vbByteArray) {
        return a.Payload() == b.Payload();
    }
    return a.value_ == b.value_;
}

std::optional<Variant> Variant::FromWireBytes(int32_t varType, std::string_view bytes) {
    switch (varType) {
        case vbByteArray:
            return Variant(Bytes(bytes.begin(), bytes.end()));
        case vbBoolean:
            return Variant(GetLittleEndian<int16_t>(bytes) != 0);
        case vbByte:
            return Variant(GetLittleEndian<uint8_t>(bytes));
        case vbCurrency:
            return Currency(GetLittleEndian<int64_t>(bytes));
        case vbDate:
            return Date(GetLittleEndian<double>(bytes));
        case vbDouble:
            return Variant(GetLittleEndian<double>(bytes));
        case vbInteger:
            return Variant(GetLittleEndian<int16_t>(bytes));
        case vbLong:
            return Variant(GetLittleEndian<int32_t>(bytes));
        case vbSingle:
            return Variant(GetLittleEndian<float>(bytes));
        case vbString:
            return Variant(std::string(bytes));
        default:
            return std::nullopt;
    }
}

}  // namespace packwarden
