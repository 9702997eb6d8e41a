#include "common/quote.h"

#include <gtest/gtest.h>

#include "common/text.h"

namespace sandbox {
namespace {

TEST(QuoteArgument, QuotesOnlyWhatTheRuntimeWouldSplit) {
  struct Case {
    std::u16string argument, quoted;
  };
  const Case cases[] = {
      {u"plain", u"plain"},
      {u"C:\\dir\\a.exe", u"C:\\dir\\a.exe"},  // backslashes alone stay as they are
      {u"", u"\"\""},
      {u"two words", u"\"two words\""},
      {u"tab\there", u"\"tab\there\""},
      {u"say \"hi\"", u"\"say \\\"hi\\\"\""},
      {u"a\\\"b", u"\"a\\\\\\\"b\""},  // a backslash before a quote doubles, plus one
      {u"dir with space\\", u"\"dir with space\\\\\""},  // trailing backslash before the close
      {u"x\\\\ y", u"\"x\\\\ y\""},  // backslashes not before a quote stay single
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf16ToUtf8(c.argument));
    EXPECT_EQ(utf16ToUtf8(quoteArgument(c.argument)), utf16ToUtf8(c.quoted));
  }
}

}  // namespace
}  // namespace sandbox
