#include "env/environment.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/text.h"

namespace sandbox {
namespace {

using Vars = std::vector<std::pair<std::string, std::string>>;

// The map in its own order, as UTF-8 pairs, so a failure prints readably.
Vars varsOf(const EnvironmentMap& env) {
  Vars vars;
  for (const auto& [name, value] : env) vars.emplace_back(utf16ToUtf8(name), utf16ToUtf8(value));
  return vars;
}

// A UTF-16 literal with its inner zero units, without its final terminator.
template <std::size_t N>
std::u16string units(const char16_t (&literal)[N]) {
  return std::u16string(literal, N - 1);
}

EnvironmentMap mapOf(const Vars& vars) {
  EnvironmentMap env;
  for (const auto& [name, value] : vars) setEnvVar(env, name, value);
  return env;
}

TEST(EnvNameLess, LowersOnlyAsciiLettersAndComparesUnsignedUnits) {
  struct Case {
    std::u16string left;
    std::u16string right;
    bool less;
  };
  const Case cases[] = {
      {u"A", u"B", true},      {u"b", u"A", false},          {u"a", u"A", false},
      {u"A", u"a", false},     {u"_X", u"A", true},          {u"_X", u"a", true},
      {u"Z", u"_", false},     {u"[", u"a", true},           {u"`", u"A", true},
      {u"A", u"AB", true},     {u"AB", u"A", false},         {u"", u"A", true},
      {u"A_", u"AB", true},    {u"\u00C9", u"\u00E9", true}, {u"\u00E9", u"\u00C9", false},
      {u"z", u"\uFFFF", true}, {u"\uFFFF", u"z", false},     {u"PATH", u"path", false},
  };
  const EnvNameLess less;
  for (const Case& c : cases) {
    SCOPED_TRACE(utf16ToUtf8(c.left) + " < " + utf16ToUtf8(c.right));
    EXPECT_EQ(less(c.left, c.right), c.less);
  }
}

TEST(EnvironmentMap, NamesEqualButForAsciiCaseAreOneVariable) {
  EnvironmentMap env;
  setEnvVar(env, "Path", "first");
  setEnvVar(env, "PATH", "second");
  setEnvVar(env, "pAtH", "third");
  EXPECT_EQ(varsOf(env), (Vars{{"Path", "third"}}));
}

TEST(EnvironmentMap, NonAsciiLettersKeepTheirCase) {
  EnvironmentMap env;
  setEnvVar(env, "\xC3\xA9", "small");    // é
  setEnvVar(env, "\xC3\x89", "capital");  // É
  EXPECT_EQ(varsOf(env), (Vars{{"\xC3\x89", "capital"}, {"\xC3\xA9", "small"}}));
}

TEST(SetEnvVar, IgnoresEmptyNameAndKeepsEmptyValue) {
  EnvironmentMap env;
  setEnvVar(env, "", "x");
  EXPECT_TRUE(env.empty());
  setEnvVar(env, "E", "");
  EXPECT_EQ(varsOf(env), (Vars{{"E", ""}}));
}

TEST(SetEnvVar, MalformedUtf8BecomesReplacementCharacter) {
  EnvironmentMap env;
  setEnvVar(env, "N\xFF", "v\x80");
  ASSERT_EQ(env.size(), 1u);
  EXPECT_EQ(env.begin()->first, u"N\uFFFD");
  EXPECT_EQ(env.begin()->second, u"v\uFFFD");
}

// A NUL byte (from a dictionary file, or an escaped zero in a configuration document) would
// otherwise split an entry of the block, or end the block at a name that starts with it.
TEST(SetEnvVar, NameAndValueEndAtTheirFirstNul) {
  struct Case {
    std::string name;
    std::string value;
    Vars vars;
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {"A"s, "x\0y"s, {{"A", "x"}}}, {"A\0B"s, "1"s, {{"A", "1"}}},    {"\0B"s, "1"s, {}},
      {"A"s, "\0"s, {{"A", ""}}},    {"A\0"s, "x\0\0"s, {{"A", "x"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.name) + " = " + testing::PrintToString(c.value));
    EnvironmentMap env;
    setEnvVar(env, c.name, c.value);
    EXPECT_EQ(varsOf(env), c.vars);
  }
}

TEST(ParseEnvJson, NulInsideAMemberKeepsTheBlockWellFormed) {
  using namespace std::string_literals;
  EnvironmentMap env;
  EXPECT_TRUE(parseEnvJson(env, "{\"A\": \"x\0y\", \"\0Z\": 1, \"B\": 2\0 3}"s));
  EXPECT_EQ(buildEnvironmentBlock(env), units(u"A=x\0B=2\0\0"));
}

struct ParseCase {
  const char* name;
  std::string text;
  bool result;
  Vars vars;
};

class ParseEnvJson : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseEnvJson, SetsMembersUpToTheFault) {
  EnvironmentMap env;
  EXPECT_EQ(parseEnvJson(env, GetParam().text), GetParam().result);
  EXPECT_EQ(varsOf(env), GetParam().vars);
}

INSTANTIATE_TEST_SUITE_P(
    Complete, ParseEnvJson,
    ::testing::Values(
        ParseCase{"Plain", R"({"B": "2", "A": "1"})", true, {{"A", "1"}, {"B", "2"}}},
        ParseCase{
            "SpacesSeparateMembers", "{\"A\":\"1\" \n\"B\":\"2\"}", true, {{"A", "1"}, {"B", "2"}}},
        ParseCase{"NoSeparator", R"({"A":"1""B":"2"})", true, {{"A", "1"}, {"B", "2"}}},
        ParseCase{"LeadingComma", R"({,"A":"1"})", true, {{"A", "1"}}},
        ParseCase{"DoubledCommas", R"({"A":"1",, ,"B":"2"})", true, {{"A", "1"}, {"B", "2"}}},
        ParseCase{"TrailingComma", R"({"A":"1",})", true, {{"A", "1"}}},
        ParseCase{"NoClosingBrace", R"({"A":"1")", true, {{"A", "1"}}},
        ParseCase{"OnlyOpeningBrace", "{", true, {}}, ParseCase{"EmptyObject", " \t{ } ", true, {}},
        ParseCase{"WhitespaceAroundColon", "{\"A\" \t:\r\n\"1\"}", true, {{"A", "1"}}},
        ParseCase{"AfterClosingBraceIgnored", R"({"A":"1"} {"B":"2"} junk)", true, {{"A", "1"}}},
        ParseCase{"BareNumber", R"({"N": 42})", true, {{"N", "42"}}},
        ParseCase{"BareWords", R"({"T":true,"Z":null})", true, {{"T", "true"}, {"Z", "null"}}},
        ParseCase{"BareInnerSpaceDropped",
                  "{\"A\": 12 34\t5 ,\"B\":x}",
                  true,
                  {{"A", "12345"}, {"B", "x"}}},
        ParseCase{"BareToTheEnd", R"({"A": abc)", true, {{"A", "abc"}}},
        ParseCase{"BareKeepsQuotes", R"({"A":x"y"})", true, {{"A", "x\"y\""}}},
        ParseCase{"BareEmptyBeforeComma", R"({"A":,"B":"1"})", true, {{"A", ""}, {"B", "1"}}},
        ParseCase{"BareEmptyBeforeBrace", R"({"A": })", true, {{"A", ""}}},
        ParseCase{
            "NestedObjectEndsAtItsBrace", R"({"A":{"b":1},"C":"2"})", true, {{"A", "{\"b\":1"}}},
        ParseCase{"Escapes", R"({"A":"q\"b\\c\nd\re\tf"})", true, {{"A", "q\"b\\c\nd\re\tf"}}},
        ParseCase{"UnknownEscapeGivesTheByte", R"({"A":"\/\b\x"})", true, {{"A", "/bx"}}},
        ParseCase{"NoUnicodeEscape", R"({"A":"\u0041"})", true, {{"A", "u0041"}}},
        ParseCase{"EscapesInName", R"({"A\"\tB":"1"})", true, {{"A\"\tB", "1"}}},
        ParseCase{"UnterminatedValue", R"({"A":"abc)", true, {{"A", "abc"}}},
        ParseCase{"TrailingLoneBackslashStays", "{\"A\":\"x\\", true, {{"A", "x\\"}}},
        ParseCase{"EmptyNameSetsNothing", R"({"":"x","A":"1"})", true, {{"A", "1"}}},
        ParseCase{
            "LaterMemberWinsFirstSpellingStays", R"({"Ab":"1","AB":"2"})", true, {{"Ab", "2"}}},
        ParseCase{"Utf8", "{\"\xC3\x89\":\"\xE2\x82\xAC\"}", true, {{"\xC3\x89", "\xE2\x82\xAC"}}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Malformed, ParseEnvJson,
    ::testing::Values(
        ParseCase{"Empty", "", false, {}}, ParseCase{"OnlySpace", " \n ", false, {}},
        ParseCase{"Array", R"(["A"])", false, {}},
        ParseCase{"TextBeforeBrace", R"(x{"A":"1"})", false, {}},
        ParseCase{"UnquotedWordBeforeNextMember", R"({"A":"1" x "B":"2"})", false, {{"A", "1"}}},
        ParseCase{"UnquotedName", R"({A:"1"})", false, {}},
        ParseCase{"UnterminatedName", R"({"A)", false, {}},
        ParseCase{"NameEndsInBackslash", "{\"A\\", false, {}},
        ParseCase{"EndAfterName", R"({"A" )", false, {}},
        ParseCase{"MissingColon", R"({"A" "1"})", false, {}},
        ParseCase{"EndAfterColon", "{\"A\": \t", false, {}},
        ParseCase{"FaultKeepsEarlierMembers",
                  R"({"A":"1","B":"2","C" "3"})",
                  false,
                  {{"A", "1"}, {"B", "2"}}},
        ParseCase{"ArrayValueStopsAtItsComma", R"({"A":[1,2],"B":"x"})", false, {{"A", "[1"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseEnvJson, OverridesWhatIsAlreadySet) {
  EnvironmentMap env = mapOf({{"PATH", "old"}, {"KEEP", "k"}});
  EXPECT_TRUE(parseEnvJson(env, R"({"path":"new"})"));
  EXPECT_EQ(varsOf(env), (Vars{{"KEEP", "k"}, {"PATH", "new"}}));
}

TEST(AddEnvironmentStrings, SkipsEntriesWithoutAName) {
  const char16_t block[] =
      u"=C:=C:\\work\0PATH=a\0Path=b\0NOEQUALS\0EMPTY=\0X=1=2\0=\0\u00E9=\u20AC\0";
  EnvironmentMap env;
  addEnvironmentStrings(env, block);
  EXPECT_EQ(varsOf(env),
            (Vars{{"EMPTY", ""}, {"PATH", "b"}, {"X", "1=2"}, {"\xC3\xA9", "\xE2\x82\xAC"}}));
}

TEST(AddEnvironmentStrings, NullOrEmptyBlockAddsNothing) {
  EnvironmentMap env = mapOf({{"A", "1"}});
  addEnvironmentStrings(env, nullptr);
  addEnvironmentStrings(env, u"");
  EXPECT_EQ(varsOf(env), (Vars{{"A", "1"}}));
}

TEST(BuildEnvironmentBlock, EmptyMapGivesTwoZeroUnits) {
  EXPECT_EQ(buildEnvironmentBlock(EnvironmentMap{}), std::u16string(2, u'\0'));
}

TEST(BuildEnvironmentBlock, EntriesInMapOrderThenOneMoreZero) {
  const std::u16string one = buildEnvironmentBlock(mapOf({{"A", "1"}}));
  EXPECT_EQ(one, units(u"A=1\0\0"));

  const std::u16string many =
      buildEnvironmentBlock(mapOf({{"b", "2"}, {"Empty", ""}, {"A", "x=y"}, {"_U", "u"}}));
  EXPECT_EQ(many, units(u"_U=u\0A=x=y\0b=2\0Empty=\0\0"));
}

TEST(BuildEnvironmentBlock, KeepsFirstSpellingOfAName) {
  EnvironmentMap env = mapOf({{"Path", "1"}, {"PATH", "2"}});
  EXPECT_EQ(buildEnvironmentBlock(env), units(u"Path=2\0\0"));
}

// A scratch folder under the temporary folder, removed with its contents.
class ScratchDir {
 public:
  ScratchDir() {
    std::random_device random;
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("sbx_env_" + std::to_string(random()) + "_" + std::to_string(ticks));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Writes `text` into a file named by the UTF-16 `name`; returns its path as UTF-8 text.
  std::string write(const std::u16string& name, const std::string& text) const {
    const std::filesystem::path file = path_ / std::filesystem::path(name);
    std::ofstream out(file, std::ios::binary);
    out << text;
    return utf8Of(file);
  }
  std::string utf8() const { return utf8Of(path_); }
  static std::string utf8Of(const std::filesystem::path& path) {
    return utf16ToUtf8(path.u16string());
  }

 private:
  std::filesystem::path path_;
};

void fakeInherit(EnvironmentMap& env) {
  for (const char* name : {"PATH", "A", "B", "C", "D"}) {
    setEnvVar(env, name, name == std::string("PATH") ? "inherited" : "inh");
  }
}

TEST(AssembleEnvironment, LaterSourcesOverrideEarlierOnes) {
  ScratchDir dir;
  SandboxConfig config;
  config.envJson = R"({"a":"json","b":"json","c":"json","J":"json"})";
  config.envJsonFile = dir.write(u"env.json", R"({"b":"file","c":"file","F":"file"})");
  config.env = {"c=env", "E=env"};
  EXPECT_EQ(varsOf(assembleEnvironment(config, fakeInherit)), (Vars{{"A", "json"},
                                                                    {"B", "file"},
                                                                    {"C", "env"},
                                                                    {"D", "inh"},
                                                                    {"E", "env"},
                                                                    {"F", "file"},
                                                                    {"J", "json"},
                                                                    {"PATH", "inherited"}}));
}

TEST(AssembleEnvironment, InheritsOnlyWhenAsked) {
  int calls = 0;
  const auto inherit = [&calls](EnvironmentMap& env) {
    ++calls;
    fakeInherit(env);
  };
  SandboxConfig config;
  config.inheritEnv = false;
  const EnvironmentMap none = assembleEnvironment(config, inherit);
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(buildEnvironmentBlock(none), std::u16string(2, u'\0'));

  config.inheritEnv = true;
  EXPECT_EQ(assembleEnvironment(config, inherit).size(), 5u);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(assembleEnvironment(config, nullptr).empty());
}

TEST(AssembleEnvironment, EnvEntriesSplitAtTheFirstEquals) {
  SandboxConfig config;
  config.env = {"A=1=2", "=X", "X", "", "Y=", "path=new", "B=first", "b=second", "=", "C=="};
  EXPECT_EQ(
      varsOf(assembleEnvironment(config, fakeInherit)),
      (Vars{{"A", "1=2"}, {"B", "second"}, {"C", "="}, {"D", "inh"}, {"PATH", "new"}, {"Y", ""}}));
}

TEST(AssembleEnvironment, MalformedDictionaryKeepsItsPrefixAndTheRun) {
  SandboxConfig config;
  config.inheritEnv = false;
  config.envJson = R"({"A":"1" oops "B":"2"})";
  config.env = {"C=3"};
  EXPECT_EQ(varsOf(assembleEnvironment(config, nullptr)), (Vars{{"A", "1"}, {"C", "3"}}));
}

TEST(AssembleEnvironment, UnreadableDictionaryFileIsSkipped) {
  ScratchDir dir;
  SandboxConfig config;
  config.inheritEnv = false;
  config.env = {"K=v"};
  for (const std::string& file :
       {dir.utf8() + "/missing.json", dir.utf8(), dir.utf8() + "/no/such/folder/e.json"}) {
    SCOPED_TRACE(file);
    config.envJsonFile = file;
    EXPECT_EQ(varsOf(assembleEnvironment(config, nullptr)), (Vars{{"K", "v"}}));
  }
}

TEST(AssembleEnvironment, DictionaryFileWithNonAsciiNameIsRead) {
  ScratchDir dir;
  SandboxConfig config;
  config.inheritEnv = false;
  config.envJsonFile = dir.write(u"env_\u00E9\u20AC.json", "{\"V\": \"\xC3\xA9\"}");
  EXPECT_EQ(varsOf(assembleEnvironment(config, nullptr)), (Vars{{"V", "\xC3\xA9"}}));
}

TEST(AssembleEnvironment, DictionaryFileBytesPassUnchanged) {
  ScratchDir dir;
  SandboxConfig config;
  config.inheritEnv = false;
  config.envJsonFile = dir.write(u"crlf.json", "{\"A\":\"x\r\ny\",\r\n\"B\":1}\r\n");
  EXPECT_EQ(varsOf(assembleEnvironment(config, nullptr)), (Vars{{"A", "x\r\ny"}, {"B", "1"}}));
}

}  // namespace
}  // namespace sandbox
