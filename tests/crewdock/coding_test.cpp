// Percent and form coding, HTML escaping and log-line safety.
#include <gtest/gtest.h>

#include <algorithm>

#include "FormCoding.h"

using namespace crewdock;

TEST(PercentDecode, EscapesPlusAndErrors) {
    EXPECT_EQ(PercentDecode("a%20b%2fc%2F", false), "a b/c/");
    EXPECT_EQ(PercentDecode("a+b", false), "a+b");
    EXPECT_EQ(PercentDecode("a+b", true), "a b");
    EXPECT_EQ(PercentDecode("%00%ff", false), std::string("\0\xff", 2));
    EXPECT_EQ(PercentDecode("", true), "");
    for (const char* bad : {"%", "%2", "a%2", "%zz", "%g0", "%%41", "100%"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(PercentDecode(bad, true).has_value());
    }
}

TEST(DecodeForm, FieldsInOrderWithHostileNames) {
    // What the synchroniser sends for names holding & = + % and a space.
    const auto fields = DecodeForm(
        "game=ef2&version=2&session=0&filename0=a%26b%3Dc%2Bd%25e+f.pk3&filesize0=12"
        "&filename1=%C3%A9t%C3%A9.pk3&filesize1=3");
    ASSERT_TRUE(fields);
    ASSERT_EQ(fields->size(), 7u);
    EXPECT_EQ((*fields)[3].first, "filename0");
    EXPECT_EQ((*fields)[3].second, "a&b=c+d%e f.pk3");
    EXPECT_EQ((*fields)[5].second, "\xC3\xA9t\xC3\xA9.pk3");
    EXPECT_EQ(*FindField(*fields, "session"), "0");
    EXPECT_EQ(FindField(*fields, "missing"), nullptr);
}

TEST(DecodeForm, EmptyPiecesNoValueAndBadEscapes) {
    const auto fields = DecodeForm("&a&&b=&=c&");
    ASSERT_TRUE(fields);
    ASSERT_EQ(fields->size(), 3u);
    EXPECT_EQ((*fields)[0], (std::pair<std::string, std::string>("a", "")));
    EXPECT_EQ((*fields)[1], (std::pair<std::string, std::string>("b", "")));
    EXPECT_EQ((*fields)[2], (std::pair<std::string, std::string>("", "c")));
    EXPECT_TRUE(DecodeForm("")->empty());
    EXPECT_FALSE(DecodeForm("a=%4"));
    EXPECT_FALSE(DecodeForm("a%zz=1"));
}

TEST(FormEncode, RoundTripsEveryByte) {
    std::string all;
    for (int c = 0; c < 256; ++c) {
        all += static_cast<char>(c);
    }
    const std::string encoded = FormEncode(all);
    EXPECT_EQ(encoded.find_first_of("&= "), std::string::npos);
    EXPECT_EQ(std::count(encoded.begin(), encoded.end(), '+'), 1);
    EXPECT_EQ(PercentDecode(encoded, true), all);
    EXPECT_EQ(PercentDecode(PercentEncode(all), false), all);
    EXPECT_EQ(FormEncode("a b*-._~"), "a+b*-._%7E");
    EXPECT_EQ(PercentEncode("a b/..&"), "a%20b%2F..%26");
}

TEST(HtmlEscape, NeutralisesMarkup) {
    EXPECT_EQ(HtmlEscape("<script>alert('x')</script>&\""),
              "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;&quot;");
    EXPECT_EQ(HtmlEscape("plain.pk3"), "plain.pk3");
}

TEST(LogSafe, ControlBytesBecomeVisible) {
    EXPECT_EQ(LogSafe("/a\r\nb\\\x1b\xff"), "/a\\x0D\\x0Ab\\x5C\\x1B\\xFF");
}
