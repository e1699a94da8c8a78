// SPDX-License-Identifier: MIT
// Variant: the tagged value that SendData, GetData, PeekData and Connect's optional arguments
// take. The tag is an automation type code; the codes below are all the socket object knows.
//
// A byte array is held either as the Bytes it was built from or, when GetData made it, in a
// std::string, so that received bytes can change hands without a copy; the two forms are the
// same value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace packwarden {

enum VarType : int32_t {
    vbEmpty = 0,
    vbNull = 1,
    vbInteger = 2,      // 16-bit signed integer, 2 bytes
    vbLong = 3,         // 32-bit signed integer, 4 bytes
    vbSingle = 4,       // IEEE single, 4 bytes
    vbDouble = 5,       // IEEE double, 8 bytes
    vbCurrency = 6,     // 64-bit signed integer scaled by 10 000, 8 bytes
    vbDate = 7,         // OLE date as an IEEE double, 8 bytes
    vbString = 8,       // text, one byte per character
    vbBoolean = 11,     // 16-bit: 0 false, -1 true
    vbByte = 17,        // unsigned byte
    vbByteArray = 8209  // array of unsigned bytes (8192 + 17)
};

class Variant {
  public:
    using Bytes = std::vector<uint8_t>;

    Variant() = default;  // Empty
    Variant(int16_t v) : type_(vbInteger), value_(int64_t{v}) {}
    Variant(int32_t v) : type_(vbLong), value_(int64_t{v}) {}
    Variant(float v) : type_(vbSingle), value_(double{v}) {}
    Variant(double v) : type_(vbDouble), value_(v) {}
    Variant(bool v) : type_(vbBoolean), value_(int64_t{v ? -1 : 0}) {}
    Variant(uint8_t v) : type_(vbByte), value_(int64_t{v}) {}
    Variant(std::string v) : type_(vbString), value_(std::move(v)) {}
    Variant(const char* v) : type_(vbString), value_(std::string(v)) {}
    Variant(Bytes v) : type_(vbByteArray), value_(std::move(v)) {}

    static Variant Null();
    // A currency value from its scaled 64-bit integer (1.5 is 15000).
    static Variant Currency(int64_t scaled);
    static Variant Date(double oleDate);

    int32_t Type() const { return type_; }
    bool IsEmpty() const { return type_ == vbEmpty; }

    // Typed access; each returns the value converted from whatever the variant holds
    // (numbers from numbers, text as its bytes). Throws SocketError 13 ("Type mismatch") when
    // no conversion exists.
    int64_t AsInteger() const;  // vbInteger, vbLong, vbByte, vbBoolean, vbCurrency (scaled)
    double AsDouble() const;    // vbSingle, vbDouble, vbDate and every integer type
    std::string AsString() const;
    Bytes AsBytes() const;

    // The number a value stands for: numbers, and text that reads as a number ("80", " 8e1 ",
    // "&H50"). Empty for Empty, Null, byte arrays and text that is no number.
    std::optional<double> ToNumber() const;
    // ToNumber() rounded to a 32-bit integer, halves to even. Throws SocketError 13
    // ("Type mismatch") when the value is no number, 6 ("Overflow") beyond the 32-bit range.
    int32_t ToInt32() const;

    // The bytes SendData puts on the wire for this value: numbers as their little-endian
    // in-memory bytes (Boolean true is FF FF), text and byte arrays as they are. Empty, Null
    // and anything outside the table give no bytes.
    Bytes WireBytes() const;
    // The same bytes without a copy, for the types that carry payloads (text and byte arrays);
    // no value for the others, whose few bytes WireBytes() builds. Valid while the value lives
    // unchanged.
    std::optional<std::string_view> WireView() const;
    // The value GetData builds from received bytes for a type code: a number from the leading
    // bytes of its size (high bytes zero when fewer are given, further bytes ignored), text or
    // a byte array from all of them. No value for a code outside the table.
    static std::optional<Variant> FromWireBytes(int32_t varType, std::string_view bytes);

    // For receivers. `varType` is vbString or vbByteArray (anything else counts as vbString).
    // AssignBytes makes the value that type holding a copy of `bytes`, in the storage it
    // already has when that is large enough (a value that is reused then allocates nothing).
    // ExchangeStorage makes it that type holding `storage` itself, without a copy, and returns
    // the storage it had (its text or byte array, when held as a string; an empty string
    // otherwise) for the caller to reuse. StorageCapacity is that storage's capacity (0 when
    // there is none to hand back).
    void AssignBytes(int32_t varType, std::string_view bytes);
    std::string ExchangeStorage(int32_t varType, std::string&& storage);
    std::size_t StorageCapacity() const {
        const auto* s = std::get_if<std::string>(&value_);
        return s == nullptr ? 0 : s->capacity();
    }

    // Same type and same value (a byte array's two forms compare by their bytes).
    friend bool operator==(const Variant& a, const Variant& b);

  private:
    // The bytes of text or a byte array, whichever form holds them.
    std::string_view Payload() const;

    int32_t type_ = vbEmpty;
    std::variant<std::monostate, int64_t, double, std::string, Bytes> value_;
};

}  // namespace packwarden
