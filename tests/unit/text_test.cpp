#include "common/text.h"

#include <gtest/gtest.h>

namespace sandbox {
namespace {

struct Utf8Case {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

class Utf8ToUtf16 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ToUtf16, ConvertsAsWindowsDoes) {
  EXPECT_EQ(utf8ToUtf16(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8ToUtf16,
    ::testing::Values(Utf8Case{"Empty", "", u""}, Utf8Case{"Ascii", "abc", u"abc"},
                      Utf8Case{"TwoByte", "\xC3\xA9", u"\u00E9"},
                      Utf8Case{"ThreeByte", "\xE2\x82\xAC", u"\u20AC"},
                      Utf8Case{"FourByteIsSurrogatePair", "\xF0\x9F\x98\x80", u"\U0001F600"},
                      Utf8Case{"EmbeddedZero", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
                      Utf8Case{"LoneContinuation", "a\x80z", u"a\uFFFDz"},
                      Utf8Case{"TruncatedAtEnd", "a\xE2\x82", u"a\uFFFD"},
                      Utf8Case{"TruncatedBeforeAscii", "\xE2\x82z", u"\uFFFDz"},
                      Utf8Case{"Overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
                      Utf8Case{"BeyondUnicode", "\xF5\x80", u"\uFFFD\uFFFD"}),
    [](const auto& info) { return std::string(info.param.name); });

// A surrogate encoded in UTF-8 is malformed; how many U+FFFD it gives varies between systems.
TEST(Utf8ToUtf16Malformed, EncodedSurrogateGivesOnlyReplacements) {
  const std::u16string converted = utf8ToUtf16("\xED\xA0\x80");
  ASSERT_FALSE(converted.empty());
  for (char16_t unit : converted) EXPECT_EQ(unit, char16_t{0xFFFD});
}

TEST(Utf16ToUtf8, RoundTripsValidText) {
  const std::string text = "Z\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(utf16ToUtf8(utf8ToUtf16(text)), text);
}

TEST(Utf16ToUtf8, UnpairedSurrogateBecomesReplacement) {
  EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
  EXPECT_EQ(utf16ToUtf8(std::u16string{char16_t{0xDC00}, u'x'}), "\xEF\xBF\xBDx");
}

TEST(Utf16ToUtf8, EmptyGivesEmpty) { EXPECT_EQ(utf16ToUtf8(u""), ""); }

}  // namespace
}  // namespace sandbox
