// The command's environment: Windows name order, the forgiving dictionary parser, the block.
#include "env/environment.h"

#include <gtest/gtest.h>

#include "common/text.h"

namespace sandbox {
namespace {

// The map as NAME=VALUE;... in its order, for readable comparisons.
std::string show(const EnvironmentMap& env) {
  std::string text;
  for (const auto& [name, value] : env) text += utf16ToUtf8(name + u"=" + value) + ";";
  return text;
}

// Windows compares names with A-Z lowered and nothing else; a prefix sorts first.
TEST(Environment, NamesOrderAsWindowsOrdersThem) {
  const std::pair<std::u16string, std::u16string> ordered[] = {
      {u"_X", u"A"}, {u"@", u"a"}, {u"[", u"Z"}, {u"A", u"aB"}, {u"\x00C4", u"\x00E4"},
  };
  for (const auto& [left, right] : ordered) {
    EXPECT_TRUE(EnvNameLess{}(left, right)) << utf16ToUtf8(left + u" " + right);
    EXPECT_FALSE(EnvNameLess{}(right, left)) << utf16ToUtf8(left + u" " + right);
  }
  EXPECT_FALSE(EnvNameLess{}(u"Az", u"aZ") || EnvNameLess{}(u"aZ", u"Az"));
}

// A NUL would end a string of the block early, or the whole block at the start of a name.
TEST(Environment, NamesAndValuesEndAtTheirFirstNul) {
  EnvironmentMap env;
  setEnvVar(env, "Path", "1");
  setEnvVar(env, "PATH", std::string("2\0tail", 6));
  setEnvVar(env, std::string("\0X", 2), "ignored");
  setEnvVar(env, "", "ignored");
  setEnvVar(env, std::string("B\0C", 3), "\xFF");
  EXPECT_EQ(show(env), "B=\xEF\xBF\xBD;Path=2;");
}

// The members before a fault stay set; "!" marks a dictionary reported as malformed.
TEST(Environment, DictionarySetsMembersUpToTheFault) {
  const std::pair<std::string, std::string> rows[] = {
      {" \t{\"A\": \"1\" \"b\" : true}", "A=1;b=true;"},
      {"\n\v\f\r{\"A\"\n:\v1\f}", "A=1;"},
      {"{,,\"A\":x y ,,\"B\":{\"n\":1}}", "A=xy;B={\"n\":1;"},
      {"{\"A\":\"q\\\"\\\\\\n\\r\\t\\z\"}", "A=q\"\\\n\r\tz;"},
      {"{\"A\":\"1", "A=1;"},
      {"{\"A\":1", "A=1;"},
      {"{\"\":\"x\"}", ""},
      {std::string("{\"A\":\"x\0y\"}", 11), "A=x;"},
      {"{\"A\":\"1\", B:2}", "A=1;!"},
      {"{\"A\" 1}", "!"},
      {"{\"A\":", "!"},
      {"{\"A", "!"},
      {"[1]", "!"},
      {" ", "!"},
  };
  for (const auto& [text, expected] : rows) {
    EnvironmentMap env;
    const bool ok = parseEnvJson(env, text);
    EXPECT_EQ(show(env) + (ok ? "" : "!"), expected) << text;
  }
}

TEST(Environment, BlockEndsWithTwoZeroUnitsEvenWhenEmpty) {
  EXPECT_EQ(buildEnvironmentBlock({}), std::u16string(2, u'\0'));
  EnvironmentMap env;
  addEnvironmentStrings(env, u"b=2\0=C:=C:\\\0NOEQ\0A=1=x\0\0ignored\0");
  addEnvironmentStrings(env, nullptr);
  EXPECT_EQ(buildEnvironmentBlock(env), std::u16string(u"A=1=x\0b=2\0\0", 11));
}

}  // namespace
}  // namespace sandbox
