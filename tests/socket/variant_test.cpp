// SPDX-License-Identifier: MIT
// The value type and the byte conversions of SendData and GetData; the byte buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "packwarden/ByteBuffer.h"
#include "packwarden/MSocketSupport.h"
#include "packwarden/Variant.h"

namespace packwarden {
namespace {

using Bytes = Variant::Bytes;

TEST(VariantNumber, NumericTextCountsAndOtherTextDoesNot) {
    EXPECT_EQ(Variant("80").ToNumber(), 80.0);
    EXPECT_EQ(Variant(" 8e1 ").ToNumber(), 80.0);
    EXPECT_EQ(Variant("-2.5").ToNumber(), -2.5);
    EXPECT_EQ(Variant("&H50").ToNumber(), 80.0);
    EXPECT_EQ(Variant("1D2").ToNumber(), 100.0);
    for (const char* no : {"", " ", "http", "80x", "0x50", "inf", "nan", ".", "1e", "--1"}) {
        EXPECT_FALSE(Variant(no).ToNumber()) << no;
    }
    EXPECT_FALSE(Variant().ToNumber());
    EXPECT_FALSE(Variant::Null().ToNumber());
    EXPECT_FALSE(Variant(Bytes{1, 2}).ToNumber());
    EXPECT_EQ(Variant(true).ToNumber(), -1.0);
    EXPECT_EQ(Variant::Currency(15000).ToNumber(), 1.5);
}

TEST(VariantNumber, ToInt32RoundsHalvesToEvenAndOverflowsBeyond32Bits) {
    EXPECT_EQ(Variant(2.5).ToInt32(), 2);
    EXPECT_EQ(Variant(3.5).ToInt32(), 4);
    EXPECT_EQ(Variant("-0.5").ToInt32(), 0);
    EXPECT_EQ(Variant(2147483647.0).ToInt32(), 2147483647);
    EXPECT_EQ(Variant(-2147483648.0).ToInt32(), -2147483647 - 1);
    for (const Variant& big : {Variant(2147483647.5), Variant("3000000000"), Variant("1e400")}) {
        try {
            big.ToInt32();
            ADD_FAILURE() << "no overflow";
        } catch (const MSocketSupport::SocketError& e) {
            EXPECT_EQ(e.Number, 6);
            EXPECT_EQ(e.Description, "Overflow");
        }
    }
    try {
        Variant("port").ToInt32();
        ADD_FAILURE() << "no type mismatch";
    } catch (const MSocketSupport::SocketError& e) {
        EXPECT_EQ(e.Number, 13);
    }
}

TEST(VariantWire, EachTypeCodeGivesItsLittleEndianBytes) {
    EXPECT_EQ(Variant(int32_t{1}).WireBytes(), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(Variant(int16_t{-2}).WireBytes(), (Bytes{0xFE, 0xFF}));
    EXPECT_EQ(Variant(true).WireBytes(), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(Variant(false).WireBytes(), (Bytes{0, 0}));
    EXPECT_EQ(Variant(uint8_t{0xAB}).WireBytes(), (Bytes{0xAB}));
    EXPECT_EQ(Variant("abc").WireBytes(), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(Variant(Bytes{0, 0xFF, 7}).WireBytes(), (Bytes{0, 0xFF, 7}));
    EXPECT_EQ(Variant::Currency(1).WireBytes(), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Variant(1.0f).WireBytes(), (Bytes{0, 0, 0x80, 0x3F}));
    EXPECT_EQ(Variant(1.0).WireBytes(), (Bytes{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
    EXPECT_EQ(Variant::Date(1.0).WireBytes(), Variant(1.0).WireBytes());
    EXPECT_TRUE(Variant().WireBytes().empty());
    EXPECT_TRUE(Variant::Null().WireBytes().empty());
    EXPECT_TRUE(Variant("").WireBytes().empty());
}

TEST(VariantWire, ValuesRoundTripThroughTheirBytes) {
    const Variant values[] = {
        Variant(int16_t{-12345}),  Variant(int32_t{-7}),    Variant(2.5f), Variant(-1e300),
        Variant::Currency(-15000), Variant::Date(45000.25), Variant(true), Variant(uint8_t{200}),
        Variant("text \xFF"),      Variant(Bytes{9, 8, 7})};
    for (const Variant& v : values) {
        const Bytes b = v.WireBytes();
        const auto back = Variant::FromWireBytes(
            v.Type(), std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, v) << "type " << v.Type();
    }
}

TEST(VariantWire, ShortInputIsZeroFilledLongInputIsCutAndUnknownCodesGiveNothing) {
    EXPECT_EQ(*Variant::FromWireBytes(vbLong, std::string_view("\x01\x02", 2)),
              Variant(int32_t{0x0201}));
    EXPECT_EQ(*Variant::FromWireBytes(vbDouble, std::string_view("\x01", 1)).value().ToNumber(),
              4.94065645841246544e-324);
    EXPECT_EQ(*Variant::FromWireBytes(vbInteger, std::string_view("\x01\x00\xFF\xFF", 4)),
              Variant(int16_t{1}));
    EXPECT_EQ(*Variant::FromWireBytes(vbString, "abc"), Variant("abc"));
    EXPECT_FALSE(Variant::FromWireBytes(99, "abc"));
    EXPECT_FALSE(Variant::FromWireBytes(vbEmpty, "abc"));
}

// The receivers' side: values filled in place or by an exchange of storage are ordinary
// values, and a byte array compares by its bytes whichever form holds it.
TEST(VariantStorage, FilledAndExchangedValuesAreOrdinaryValues) {
    Variant v;
    v.AssignBytes(vbByteArray, "abc");
    EXPECT_EQ(v, Variant(Variant::Bytes{'a', 'b', 'c'}));
    EXPECT_NE(v, Variant("abc"));
    EXPECT_EQ(v.AsString(), "abc");
    EXPECT_EQ(v.WireBytes(), (Variant::Bytes{'a', 'b', 'c'}));

    // Storage the value has is reused; a copy taken before is not touched.
    std::string block(1000, 'x');
    const char* blockData = block.data();
    v.ExchangeStorage(vbString, std::move(block));
    EXPECT_EQ(v, Variant(std::string(1000, 'x')));
    const Variant copy = v;
    v.AssignBytes(vbString, "short");
    EXPECT_EQ(v, Variant("short"));
    EXPECT_EQ(v.WireView()->data(), blockData);
    EXPECT_GE(v.StorageCapacity(), 1000u);
    EXPECT_EQ(copy, Variant(std::string(1000, 'x')));

    // The exchange hands back the storage (and bytes) the value had.
    std::string previous = v.ExchangeStorage(vbByteArray, std::string("new"));
    EXPECT_EQ(previous, "short");
    EXPECT_EQ(previous.data(), blockData);
    EXPECT_EQ(v, Variant(Variant::Bytes{'n', 'e', 'w'}));
    // A value without such storage hands back nothing; a byte array built from Bytes keeps its
    // own form when filled again.
    Variant number(int32_t{5});
    EXPECT_EQ(number.StorageCapacity(), 0u);
    EXPECT_TRUE(number.ExchangeStorage(vbString, std::string("five")).empty());
    EXPECT_EQ(number, Variant("five"));
    Variant bytes(Variant::Bytes(64, 1));
    bytes.AssignBytes(vbByteArray, "zz");
    EXPECT_EQ(bytes.StorageCapacity(), 0u);
    EXPECT_EQ(bytes, Variant(Variant::Bytes{'z', 'z'}));
    bytes.AssignBytes(vbString, "text");
    EXPECT_EQ(bytes, Variant("text"));
}

TEST(ByteBufferTest, ConsumesFromTheHeadAndKeepsOrderAcrossInterleavedUse) {
    ByteBuffer b;
    std::string model;
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        const std::string chunk(rng() % 300, static_cast<char>('a' + i % 26));
        b.append(chunk);
        model += chunk;
        const std::size_t n = rng() % 350;
        b.consume(n);
        model.erase(0, std::min(n, model.size()));
        ASSERT_EQ(b.view(), model);
    }
    b.consume(b.size() + 10);
    EXPECT_TRUE(b.empty());
    b.append("x");
    b.reset();
    EXPECT_EQ(b.size(), 0u);
}

}  // namespace
}  // namespace packwarden
