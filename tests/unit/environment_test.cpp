// The command's environment: Windows name order, the forgiving dictionary parser, the block.
#include "env/environment.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/path.h"
#include "common/text.h"
#include "scratch.h"

namespace sandbox {
namespace {

// The map as NAME=VALUE;... in its order, for readable comparisons.
std::string show(const EnvironmentMap& env) {
  std::string text;
  for (const auto& [name, value] : env) text += utf16ToUtf8(name + u"=" + value) + ";";
  return text;
}

TEST(Environment, NamesOrderAsWindowsOrdersThem) {
  const struct {
    std::u16string left, right;
    bool less, greater;
  } rows[] = {
      {u"_X", u"A", true, false},          {u"@", u"a", true, false},  {u"Z", u"[", false, true},
      {u"A", u"a", false, false},          {u"z", u"Z", false, false}, {u"A", u"AB", true, false},
      {u"\x00C4", u"\x00E4", true, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(utf16ToUtf8(row.left + u" " + row.right));
    EXPECT_EQ(EnvNameLess{}(row.left, row.right), row.less);
    EXPECT_EQ(EnvNameLess{}(row.right, row.left), row.greater);
  }
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

TEST(Environment, DictionarySetsMembersUpToTheFault) {
  const struct {
    std::string text;
    bool ok;
    std::string env;
  } rows[] = {
      {" \t{\"A\": \"1\" \"b\" : true}", true, "A=1;b=true;"},
      {"\n\v\f\r{\"A\"\n:\v1\f}", true, "A=1;"},
      {"{,,\"A\":x y ,,\"B\":{\"n\":1}}", true, "A=xy;B={\"n\":1;"},
      {"{\"A\":\"q\\\"\\\\\\n\\r\\t\\z\"}", true, "A=q\"\\\n\r\tz;"},
      {"{\"A\":\"1", true, "A=1;"},
      {"{\"A\":1", true, "A=1;"},
      {"{\"\":\"x\"}", true, ""},
      {std::string("{\"A\":\"x\0y\"}", 11), true, "A=x;"},
      {"{\"A\":\"1\", B:2}", false, "A=1;"},
      {"{\"A\" 1}", false, ""},
      {"{\"A\":", false, ""},
      {"{\"A", false, ""},
      {"[1]", false, ""},
      {" ", false, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EnvironmentMap env;
    EXPECT_EQ(parseEnvJson(env, row.text), row.ok);
    EXPECT_EQ(show(env), row.env);
  }
}

TEST(Environment, BlockEndsWithTwoZeroUnitsEvenWhenEmpty) {
  EXPECT_EQ(buildEnvironmentBlock({}), std::u16string(2, u'\0'));
  EnvironmentMap env;
  addEnvironmentStrings(env, u"b=2\0=C:=C:\\\0NOEQ\0A=1=x\0\0ignored\0");
  addEnvironmentStrings(env, nullptr);
  EXPECT_EQ(buildEnvironmentBlock(env), std::u16string(u"A=1=x\0b=2\0\0", 11));
}

// Later sources override earlier ones: inherited, --env-json, its file, then each --env.
TEST(Environment, AssembledFromEverySourceInOrder) {
  const ScratchDir scratch;
  const std::string file = scratch.utf8("env_\xC3\xA9.json");  // a non-ASCII name is found
  std::ofstream(pathFromUtf8(file), std::ios::binary) << "{\"F\":\"file\",\"E\":\"file\"}";
  SandboxConfig config;
  config.envJson = R"({"J":"json","F":"json","I":"json"})";
  config.envJsonFile = file;
  config.env = {"E=env=1", "=skip", "NOEQ", ""};
  const auto inherit = [](EnvironmentMap& env) { setEnvVar(env, "I", "inherited"); };
  EXPECT_EQ(show(assembleEnvironment(config, inherit)), "E=env=1;F=file;I=json;J=json;");

  config.inheritEnv = false;
  config.envJson.clear();
  config.envJsonFile += ".missing";
  EXPECT_EQ(show(assembleEnvironment(config, inherit)), "E=env=1;");
}

}  // namespace
}  // namespace sandbox
