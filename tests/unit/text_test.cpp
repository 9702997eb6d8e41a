// UTF-8 <-> UTF-16 as Windows converts, and argument quoting for the C runtime's splitting.
#include <gtest/gtest.h>

#include "common/quote.h"
#include "common/text.h"

namespace sandbox {
namespace {

// Valid text at every encoding-length boundary converts both ways unchanged.
TEST(Text, ValidTextRoundTrips) {
  const std::pair<std::string, std::u16string> rows[] = {
      {"", u""},
      {"a\x7F", u"a\x7F"},
      {"\xC2\x80\xDF\xBF", u"\x0080\x07FF"},
      {"\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF", u"\x0800\xD7FF\xFFFF"},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", u"\xD800\xDC00\xDBFF\xDFFF"},
  };
  for (const auto& [utf8, utf16] : rows) {
    EXPECT_EQ(utf8ToUtf16(utf8), utf16) << utf8;
    EXPECT_EQ(utf16ToUtf8(utf16), utf8) << utf8;
  }
}

// Each malformed part becomes one U+FFFD, as MultiByteToWideChar does, and decoding resumes at
// the byte that broke it; an unpaired surrogate becomes U+FFFD the other way.
TEST(Text, MalformedTextBecomesReplacementCharacters) {
  const std::pair<std::string, std::u16string> rows[] = {
      {"\x80z", u"\xFFFDz"},
      {"\xC1\xBF", u"\xFFFD\xFFFD"},
      {"\xE0\x9F\x80", u"\xFFFD\xFFFD\xFFFD"},
      {"\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD"},
      {"\xF0\x8F\xBF\xBF", u"\xFFFD\xFFFD\xFFFD\xFFFD"},
      {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"},
      {"\xF5z", u"\xFFFDz"},
      {"\xE2\x82z", u"\xFFFDz"},
      {"\xF0\x90\x80", u"\xFFFD"},
  };
  for (const auto& [utf8, utf16] : rows) EXPECT_EQ(utf8ToUtf16(utf8), utf16) << utf8;
  EXPECT_EQ(utf16ToUtf8(u"\xD800"), "\xEF\xBF\xBD");
  EXPECT_EQ(utf16ToUtf8(u"\xDC00z\xDBFFz"), "\xEF\xBF\xBDz\xEF\xBF\xBDz");
}

TEST(QuoteArgument, CRuntimeSplittingGivesTheArgumentBack) {
  const std::pair<std::u16string, std::u16string> rows[] = {
      {u"a\\b", u"a\\b"},
      {u"", u"\"\""},
      {u"a b", u"\"a b\""},
      {u"a\tb", u"\"a\tb\""},
      {u"a\"b", uR"("a\"b")"},
      {uR"(a\\"b)", uR"("a\\\\\"b")"},
      {uR"(a\b c\)", uR"("a\b c\\")"},
  };
  for (const auto& [argument, quoted] : rows) {
    EXPECT_EQ(utf16ToUtf8(quoteArgument(argument)), utf16ToUtf8(quoted)) << utf16ToUtf8(argument);
  }
}

}  // namespace
}  // namespace sandbox
