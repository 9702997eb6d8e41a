// The JSON reader, the configuration document laid over a configuration, and the mode defaults.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <tuple>

#include "app/options.h"
#include "config/config.h"
#include "config/document.h"
#include "config/json.h"

namespace sandbox {
namespace {

using Kind = JsonValue::Kind;
const std::string kBom = "\xEF\xBB\xBF";

TEST(ParseJson, AcceptsLenientDocuments) {
  const std::pair<std::string, Kind> rows[] = {
      {"{} trailing", Kind::Object},   {kBom + "\t{}", Kind::Object}, {" \n\v\f\r[]", Kind::Array},
      {"[ {\"a\":[]} ]", Kind::Array}, {"{", Kind::Object},           {"[", Kind::Array},
      {"{\"a\":1,", Kind::Object},     {"[1,", Kind::Array},          {"truex", Kind::Bool},
      {"nullx", Kind::Null},           {"false", Kind::Bool},         {"-", Kind::Number},
  };
  JsonValue value;  // reused: each parse must set the kind it read
  for (const auto& [text, kind] : rows) {
    EXPECT_TRUE(parseJson(text, value)) << text;
    EXPECT_EQ(value.kind, kind) << text;
  }
}

TEST(ParseJson, RejectsBrokenDocuments) {
  for (const std::string& text :
       {std::string(), kBom, " " + kBom + "{}", std::string("\xC2\xA0{}"),
        std::string("{\"a\":1, "), std::string("{\"a\":1,}"), std::string("{\"a\":1 \"b\":2}"),
        std::string("[1,]"), std::string("[1 2]"), std::string("[1"), std::string("{\"a\":truex}"),
        std::string("{\"a\" 1}"), std::string("{\"a\""), std::string("{\"a\":1"),
        std::string("{a:1}"), std::string("\"abc\\\""), std::string("fals"), std::string("nul"),
        std::string("+1")}) {
    JsonValue value;
    EXPECT_FALSE(parseJson(text, value)) << text;
  }
}

// Numbers are read as strtod reads the longest decimal prefix of [-0-9.eE+]*.
TEST(ParseJson, NumbersAreTheLongestDecimalPrefix) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::string kHuge = "1e99999999999999999999", kLong = "1" + std::string(400, '0') + "e-1";
  const std::tuple<std::string, double, std::size_t> rows[] = {
      {"-2.5,", -2.5, 4},    {"-0", -0.0, 2},
      {"1.2.3", 1.2, 5},     {"0x1F", 0.0, 1},
      {"1E-2", 0.01, 4},     {"1e+", 1.0, 3},
      {"-.5", -0.5, 3},      {"--5", 0.0, 3},
      {"1e5000", kInf, 6},   {"-1e5000", -kInf, 7},
      {"-1e-5000", -0.0, 8}, {"0.1e310", kInf, 7},
      {"1000e-1000", 0, 10}, {"0.00001e312", 1e307, 11},
      {kHuge, kInf, 22},     {kLong, kInf, 404},
  };
  for (const auto& [text, number, end] : rows) {
    SCOPED_TRACE(text);
    JsonValue value;
    std::size_t pos = 0;
    ASSERT_TRUE(parseValue(text, pos, value));
    EXPECT_EQ(value.kind, Kind::Number);
    EXPECT_EQ(pos, end);
    EXPECT_EQ(value.numberValue, number);
    EXPECT_EQ(std::signbit(value.numberValue), std::signbit(number));
  }
}

TEST(ParseJson, StringEscapesAndDuplicateKeys) {
  JsonValue value;
  ASSERT_TRUE(parseJson(
      R"({"k\"1":"\b","k\"1":"\u007F\u0080\u07FF\u0800\u0AFa\u00ff\u0x41\u+041\u-001\uzzzz"})",
      value));
  ASSERT_EQ(value.objectValue.size(), 1u);
  const std::string decoded =
      "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xE0\xAB\xBA\xC3\xBF"
      "AA\xEF\xBF\xBF";
  EXPECT_EQ(value.get("k\"1").stringValue, decoded + std::string(1, '\0'));
  ASSERT_TRUE(parseJson(R"(["\b\f\n\r\t\/\q"])", value));
  EXPECT_EQ(value.arrayValue[0].stringValue, "\b\f\n\r\t/q");
  ASSERT_TRUE(parseJson(R"("\u12")", value));  // too short for an escape: bytes as they are
  EXPECT_EQ(value.stringValue, "12");
}

// The reader follows 256 levels of nesting and fails, never crashes, beyond them.
TEST(ParseJson, NestingStopsAt256Levels) {
  for (const auto& [open, close] : {std::pair{"[", "]"}, std::pair{"{\"a\":", "}"}}) {
    for (const int depth : {kMaxJsonDepth, kMaxJsonDepth + 1, 100000}) {
      std::string text;
      for (int i = 0; i < depth; ++i) text += open;
      text += "1";
      for (int i = 0; i < depth; ++i) text += close;
      JsonValue value;
      EXPECT_EQ(parseJson(text, value), depth <= kMaxJsonDepth) << open << " x " << depth;
    }
  }
}

// Every double has a defined integer: truncated toward zero, or the sentinel out of range.
TEST(JsonValue, NumberConversionsAreDefinedForEveryDouble) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::uint64_t kSentinel = 9223372036854775808ULL;
  const std::tuple<double, std::int64_t, std::uint64_t> rows[] = {
      {2.9, 2, 2},
      {-0.5, 0, 0},
      {-3.9, -3, 18446744073709551613ULL},
      {9223372036854774784.0, 9223372036854774784LL, 9223372036854774784ULL},
      {9223372036854775808.0, kMin, 9223372036854775808ULL},
      {18446744073709549568.0, kMin, 18446744073709549568ULL},
      {18446744073709551616.0, kMin, kSentinel},
      {-9223372036854774784.0, -9223372036854774784LL, 9223372036854776832ULL},
      {std::numeric_limits<double>::quiet_NaN(), kMin, kSentinel}};
  for (const auto& [number, asInt64, asUint64] : rows) {
    JsonValue value;
    value.kind = Kind::Number;
    value.numberValue = number;
    EXPECT_EQ(value.getInt64(), asInt64) << number;
    EXPECT_EQ(value.getUint64(), asUint64) << number;
  }
}

TEST(JsonValue, AccessorsNeverConvertBetweenKinds) {
  JsonValue document;
  ASSERT_TRUE(parseJson(R"({"n":"7","s":7,"b":1,"o":{"k":true}})", document));
  EXPECT_EQ(document.get("n").getUint64(), 0u);
  EXPECT_EQ(document.get("n").getInt64(), 0);
  EXPECT_EQ(document.get("s").getString("fallback"), "fallback");
  EXPECT_TRUE(document.get("b").getBool(true));
  EXPECT_FALSE(document.get("b").getBool(false));
  EXPECT_TRUE(document.get("o").get("k").getBool(false));
  EXPECT_FALSE(document.get("o").get("k").has("k"));
  EXPECT_EQ(&document.get("missing"), &JsonValue::null());
  EXPECT_EQ(&document.get("s").get("s"), &JsonValue::null());
}

SandboxConfig withDocument(const std::string& text, SandboxConfig config = {}) {
  JsonValue document;
  EXPECT_TRUE(parseJson(text, document)) << text;
  applyConfigDocument(document, config);
  return config;
}

// Each key sets the field its option sets; numbers of another kind read as 0, texts of another
// kind keep the field, and the lists append.
TEST(ConfigDocument, EachKeySetsTheFieldOfItsOption) {
  const SandboxConfig before = withDocument(
      R"({"cwd":"w","memoryLimitMb":9,"env":{"E":"","F":"1"},"writeFiles":{"w1":"W"}})");
  std::vector<std::string> options;
  std::istringstream words(
      "--cwd w --env E= --env F=1 --write-file w1 W --mode compile --exec a.exe --stdin-raw 12 "
      "--stdin in --stdin-pipe --report-file r --stdout-file o --stderr-file e --time 1500 "
      "--cpu -1 --mem-bytes 9223372036854775808 --core -1 --max-out 1 --max-err 2 "
      "--max-file-size 3 --max-file-count 4 --no-allow-child --appcontainer --env A= "
      "--env B=x --write-file w2 X --copy-file c s");
  for (std::string word; words >> word;) options.push_back(word);
  const SandboxConfig expected = parseCommandLine(options, nullptr).config;
  EXPECT_EQ(withDocument(R"({"mode":"compile","exec":"a.exe","cwd":5,"stdin":"12",
      "stdinFile":"in","stdinPipe":true,"reportFile":"r","stdoutFile":"o","stderrFile":"e",
      "timeLimitMs":1500.9,"cpuLimitMs":-1,"memoryLimitMb":"9","memoryLimitBytes":1e300,
      "coreAffinity":-1,"maxStdoutBytes":1,"maxStderrBytes":2,"maxFileSizeBytes":3,
      "maxFileCount":4,"allowChildProcess":"yes","appcontainer":true,
      "env":{"B":"x","A":1},"writeFiles":{"w2":"X"},"copyFiles":{"c":"s"}})",
                         before),
            expected);
  EXPECT_EQ(withDocument("[{\"exec\":\"a\"}]", before), before);
  const SandboxConfig wrongKinds =
      withDocument(R"({"env":[1],"writeFiles":"x","allowChildProcess":true})", before);
  EXPECT_TRUE(wrongKinds.allowChildProcess);
  EXPECT_EQ(wrongKinds.env, before.env);
  EXPECT_EQ(wrongKinds.writeFiles, before.writeFiles);
}

// The profile fills every limit left at 0 and decides child processes unless given.
TEST(ModeDefaults, FillOnlyWhatIsNotGiven) {
  using Values = std::vector<std::uint64_t>;
  const auto defaulted = [](SandboxConfig config) {
    applyModeDefaults(config);
    return Values{config.timeLimitMs,      config.cpuLimitMs,     config.memoryLimitMb,
                  config.memoryLimitBytes, config.maxStdoutBytes, config.maxStderrBytes,
                  config.maxFileSizeBytes, config.maxFileCount,   config.allowChildProcess};
  };
  const Values run{3000, 3000, 1024, 0, 131072, 131072, 131072, 32, 0};
  EXPECT_EQ(defaulted(withDocument(R"({"mode":"run"})")), run);
  EXPECT_EQ(defaulted(withDocument(R"({"mode":"Compile"})")), run);
  EXPECT_EQ(defaulted(withDocument(R"({"mode":"compile"})")),
            (Values{15000, 15000, 2048, 0, 1048576, 1048576, 52428800, 128, 1}));
  // Given limits stay, and a byte limit keeps the MiB default away.
  const std::string given = R"({"timeLimitMs":1,"cpuLimitMs":2,"memoryLimitBytes":3,
      "maxStdoutBytes":4,"maxStderrBytes":5,"maxFileSizeBytes":6,"maxFileCount":7,)";
  EXPECT_EQ(defaulted(withDocument(given + R"("mode":"run","allowChildProcess":true})")),
            (Values{1, 2, 0, 3, 4, 5, 6, 7, 1}));
  EXPECT_EQ(defaulted(withDocument(given + R"("mode":"compile","allowChildProcess":false})")),
            (Values{1, 2, 0, 3, 4, 5, 6, 7, 0}));
  SandboxConfig config;
  config.memoryLimitMb = 2;
  EXPECT_EQ(effectiveMemoryLimit(config), 2097152u);
  config.memoryLimitBytes = 5;
  EXPECT_EQ(effectiveMemoryLimit(config), 5u);
}

}  // namespace
}  // namespace sandbox
