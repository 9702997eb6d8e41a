#include "config/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace sandbox {
namespace {

using Kind = JsonValue::Kind;

struct DocumentCase {
  const char* name;
  std::string text;
  bool ok;
  Kind kind;  // checked only when ok
};

class ParseJsonDocument : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(ParseJsonDocument, AcceptsOrRejects) {
  JsonValue value;
  EXPECT_EQ(parseJson(GetParam().text, value), GetParam().ok);
  if (GetParam().ok) {
    EXPECT_EQ(value.kind, GetParam().kind);
  }
}

const std::string kBom = "\xEF\xBB\xBF";

INSTANTIATE_TEST_SUITE_P(
    Accepted, ParseJsonDocument,
    ::testing::Values(DocumentCase{"EmptyObject", "{}", true, Kind::Object},
                      DocumentCase{"TrailingWords", "{} trailing words", true, Kind::Object},
                      DocumentCase{"SecondValueIgnored", "[1] [2", true, Kind::Array},
                      DocumentCase{"BomThenObject", kBom + "{\"a\":1}", true, Kind::Object},
                      DocumentCase{"BomThenSpace", kBom + " \t[]", true, Kind::Array},
                      DocumentCase{"LoneBrace", "{", true, Kind::Object},
                      DocumentCase{"LoneBracket", "[", true, Kind::Array},
                      DocumentCase{"LoneBraceThenSpace", "{  ", true, Kind::Object},
                      DocumentCase{"ObjectCutAfterComma", "{\"a\":1,", true, Kind::Object},
                      DocumentCase{"ArrayCutAfterComma", "[1,", true, Kind::Array},
                      DocumentCase{"AllCLocaleSpace", " \t\n\v\f\r true", true, Kind::Bool},
                      DocumentCase{"TopLevelTrueX", "truex", true, Kind::Bool},
                      DocumentCase{"TopLevelNullX", "nullx", true, Kind::Null},
                      DocumentCase{"False", "false", true, Kind::Bool},
                      DocumentCase{"String", "\"abc\"", true, Kind::String},
                      DocumentCase{"LoneMinus", "-", true, Kind::Number},
                      DocumentCase{"SpacesInside", "{ \"a\" : [ 1 , { \"b\" : null } ] }", true,
                                   Kind::Object},
                      DocumentCase{"EmptyContainersWithSpace", "[ [ ] , { } ]", true, Kind::Array},
                      DocumentCase{"EmptyKey", "{\"\":1}", true, Kind::Object}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Rejected, ParseJsonDocument,
    ::testing::Values(DocumentCase{"Empty", "", false, Kind::Null},
                      DocumentCase{"SpaceOnly", " \t\r\n", false, Kind::Null},
                      DocumentCase{"BomOnly", kBom, false, Kind::Null},
                      DocumentCase{"BomOnlyThenSpace", kBom + "  ", false, Kind::Null},
                      DocumentCase{"PartialBom", "\xEF\xBB{}", false, Kind::Null},
                      DocumentCase{"BomAfterSpace", " " + kBom + "{}", false, Kind::Null},
                      DocumentCase{"DoubleBom", kBom + kBom + "{}", false, Kind::Null},
                      DocumentCase{"NoBreakSpaceIsNotSpace", "\xC2\xA0{}", false, Kind::Null},
                      DocumentCase{"SpaceAfterComma", "{\"a\":1, ", false, Kind::Null},
                      DocumentCase{"ObjectTrailingComma", "{\"a\":1,}", false, Kind::Null},
                      DocumentCase{"MissingComma", "{\"a\":1 \"b\":2}", false, Kind::Null},
                      DocumentCase{"ArrayTrailingComma", "[1,]", false, Kind::Null},
                      DocumentCase{"ArraySpaceAfterComma", "[1, ", false, Kind::Null},
                      DocumentCase{"ObjectValueTrueX", "{\"a\":truex}", false, Kind::Null},
                      DocumentCase{"ArrayNullX", "[nullx]", false, Kind::Null},
                      DocumentCase{"KeyWithoutValue", "{\"a\"}", false, Kind::Null},
                      DocumentCase{"ColonWithoutValue", "{\"a\":}", false, Kind::Null},
                      DocumentCase{"MissingColon", "{\"a\" 1}", false, Kind::Null},
                      DocumentCase{"BareKey", "{a:1}", false, Kind::Null},
                      DocumentCase{"SingleQuotes", "{'a':1}", false, Kind::Null},
                      DocumentCase{"ObjectCutAfterValue", "{\"a\":1", false, Kind::Null},
                      DocumentCase{"ObjectCutAfterKey", "{\"a\"", false, Kind::Null},
                      DocumentCase{"ObjectCutInValue", "{\"a\":", false, Kind::Null},
                      DocumentCase{"ArrayCutAfterValue", "[1 ", false, Kind::Null},
                      DocumentCase{"NestedCutOff", "[[", false, Kind::Null},
                      DocumentCase{"LeadingComma", "{,}", false, Kind::Null},
                      DocumentCase{"ArrayLeadingComma", "[,]", false, Kind::Null},
                      DocumentCase{"UnterminatedString", "\"abc", false, Kind::Null},
                      DocumentCase{"BackslashLast", "\"abc\\", false, Kind::Null},
                      DocumentCase{"EscapedQuoteOnly", "\"abc\\\"", false, Kind::Null},
                      DocumentCase{"Tru", "tru", false, Kind::Null},
                      DocumentCase{"Fals", "fals", false, Kind::Null},
                      DocumentCase{"Nul", "nul", false, Kind::Null},
                      DocumentCase{"CapitalTrue", "True", false, Kind::Null},
                      DocumentCase{"Infinity", "Infinity", false, Kind::Null},
                      DocumentCase{"NaN", "NaN", false, Kind::Null},
                      DocumentCase{"PlusSign", "+1", false, Kind::Null},
                      DocumentCase{"LeadingDot", ".5", false, Kind::Null},
                      DocumentCase{"DeepFailure", "{\"a\":[1,{\"b\":[x]}]}", false, Kind::Null}),
    [](const auto& info) { return info.param.name; });

TEST(ParseValue, LiteralsAreMatchedAsPrefixes) {
  JsonValue value;
  std::size_t pos = 0;
  ASSERT_TRUE(parseValue("nullx", pos, value));
  EXPECT_EQ(value.kind, Kind::Null);
  EXPECT_EQ(pos, 4u);

  pos = 0;
  ASSERT_TRUE(parseValue("  falsey", pos, value));
  EXPECT_EQ(value.kind, Kind::Bool);
  EXPECT_FALSE(value.boolValue);
  EXPECT_EQ(pos, 7u);
}

TEST(ParseValue, LeavesPositionJustAfterTheValue) {
  const std::string text = "xx {\"a\":[1,2]} , 5";
  JsonValue value;
  std::size_t pos = 2;
  ASSERT_TRUE(parseValue(text, pos, value));
  EXPECT_EQ(pos, text.find(" ,"));
  EXPECT_EQ(value.get("a").arrayValue.size(), 2u);
}

TEST(ParseValue, FailsAtTheEndOrOnAnUnknownByte) {
  JsonValue value;
  std::size_t pos = 3;
  EXPECT_FALSE(parseValue("[1]", pos, value));
  pos = 0;
  EXPECT_FALSE(parseValue("  ", pos, value));
  pos = 0;
  EXPECT_FALSE(parseValue("}", pos, value));
}

struct NumberCase {
  const char* name;
  std::string text;
  double value;
  std::size_t consumed;
};

class ParseNumberValue : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ParseNumberValue, ReadsTheLongestDecimalPrefix) {
  JsonValue value;
  std::size_t pos = 0;
  ASSERT_TRUE(parseNumber(GetParam().text, pos, value));
  EXPECT_EQ(value.kind, Kind::Number);
  EXPECT_EQ(pos, GetParam().consumed);
  EXPECT_EQ(value.numberValue, GetParam().value);
  EXPECT_EQ(std::signbit(value.numberValue), std::signbit(GetParam().value));
}

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string oneThenZeros(std::size_t zeros, const char* tail) {
  std::string text = "1";
  text.append(zeros, '0');
  text.append(tail);
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseNumberValue,
    ::testing::Values(
        NumberCase{"Integer", "42", 42.0, 2}, NumberCase{"Fraction", "0.1", 0.1, 3},
        NumberCase{"Negative", "-2.5", -2.5, 4}, NumberCase{"NegativeZero", "-0", -0.0, 2},
        NumberCase{"TwoDots", "1.2.3", 1.2, 5}, NumberCase{"LoneMinus", "-", 0.0, 1},
        NumberCase{"MinusInside", "1-2", 1.0, 3}, NumberCase{"LeadingZero", "01", 1.0, 2},
        NumberCase{"HexStopsAtX", "0x1F", 0.0, 1}, NumberCase{"Exponent", "1e3", 1000.0, 3},
        NumberCase{"NegativeExponent", "1E-2", 0.01, 4},
        NumberCase{"ExponentWithoutDigits", "1e", 1.0, 2},
        NumberCase{"ExponentSignWithoutDigits", "1e+", 1.0, 3},
        NumberCase{"StopsAtOtherByte", "1.5e+2x", 150.0, 6},
        NumberCase{"TrailingDot", "5.", 5.0, 2}, NumberCase{"DotThenExponent", "5.e3", 5000.0, 4},
        NumberCase{"MinusDot", "-.5", -0.5, 3}, NumberCase{"MinusPlus", "-+5", 0.0, 3},
        NumberCase{"DoubleMinus", "--5", 0.0, 3}, NumberCase{"MinusDotOnly", "-.", 0.0, 2},
        NumberCase{"Big", "12345678901234567890", 12345678901234567890.0, 20},
        NumberCase{"Largest", "1.7976931348623157e308", std::numeric_limits<double>::max(), 22},
        NumberCase{"Smallest", "4.9e-324", std::numeric_limits<double>::denorm_min(), 8},
        NumberCase{"Overflow", "1e5000", kInf, 6},
        NumberCase{"NegativeOverflow", "-1e5000", -kInf, 7},
        NumberCase{"HugeExponent", "1e99999999999999999999", kInf, 22},
        NumberCase{"Underflow", "1e-5000", 0.0, 7},
        NumberCase{"NegativeUnderflow", "-1e-5000", -0.0, 8},
        NumberCase{"UnderflowBelowHalfDenormal", "10000e-328", 0.0, 10},
        NumberCase{"FractionTimesHugeExponent", "0.1e310", kInf, 7},
        NumberCase{"LeadingZerosKeepItFinite", "0.00001e312", 1e307, 11},
        NumberCase{"ManyDigitsBigUnderflow", "1000e-1000", 0.0, 10},
        NumberCase{"ZeroWithHugeExponent", "0e99999", 0.0, 7},
        NumberCase{"ManyIntegerDigitsNegativeExponent", oneThenZeros(400, "e-10"), kInf, 405}),
    [](const auto& info) { return info.param.name; });

TEST(ParseNumber, IsReachedThroughParseValueForMinusAndDigits) {
  JsonValue value;
  ASSERT_TRUE(parseJson("[-3, 7e1]", value));
  ASSERT_EQ(value.arrayValue.size(), 2u);
  EXPECT_EQ(value.arrayValue[0].numberValue, -3.0);
  EXPECT_EQ(value.arrayValue[1].numberValue, 70.0);
}

struct StringCase {
  const char* name;
  std::string text;  // a whole document
  std::string value;
};

class ParseStringValue : public ::testing::TestWithParam<StringCase> {};

TEST_P(ParseStringValue, DecodesEscapes) {
  JsonValue value;
  ASSERT_TRUE(parseJson(GetParam().text, value));
  ASSERT_EQ(value.kind, Kind::String);
  EXPECT_EQ(value.stringValue, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseStringValue,
    ::testing::Values(StringCase{"Empty", "\"\"", ""},
                      StringCase{"SimpleEscapes", R"("\b\f\n\r\t\"\\\/")", "\b\f\n\r\t\"\\/"},
                      StringCase{"UnknownEscapesDropBackslash", R"("\a\'\q")", "a'q"},
                      StringCase{"BackslashBeforeHighByte", "\"\\\xC3\xA9\"", "\xC3\xA9"},
                      StringCase{"RawBytesKept", "\"a\x01\x7F\xFF\tb\"", "a\x01\x7F\xFF\tb"},
                      StringCase{"Ascii", R"("\u0041")", "A"},
                      StringCase{"Zero", R"("a\u0000b")", std::string("a\0b", 3)},
                      StringCase{"OneByteMax", R"("\u007F")", "\x7F"},
                      StringCase{"TwoByteMin", R"("\u0080")", "\xC2\x80"},
                      StringCase{"EAcute", R"("\u00e9")", "\xC3\xA9"},
                      StringCase{"TwoByteMax", R"("\u07FF")", "\xDF\xBF"},
                      StringCase{"ThreeByteMin", R"("\u0800")", "\xE0\xA0\x80"},
                      StringCase{"Euro", R"("\u20AC")", "\xE2\x82\xAC"},
                      StringCase{"Max", R"("\uFFFF")", "\xEF\xBF\xBF"},
                      StringCase{"SurrogatesEncodedSeparately", R"("\ud83d\ude00")",
                                 "\xED\xA0\xBD\xED\xB8\x80"},
                      StringCase{"ShortEscapeAtEnd", R"("\u12")", "12"},
                      StringCase{"BareUAtEnd", R"("ab\u")", "ab"},
                      StringCase{"ShortEscapeConsumesQuote", R"("\u12"abc")",
                                 "\x12"
                                 "bc"},
                      StringCase{"LeadingSpaceInHex", R"("\u 41x")", "A"},
                      StringCase{"PlusSignInHex", R"("\u+041")", "A"},
                      StringCase{"MinusSignInHex", R"("\u-001")", "\xEF\xBF\xBF"},
                      StringCase{"HexPrefix", R"("\u0x41")", "A"},
                      StringCase{"HexPrefixWithoutDigits", R"("\u0xzz")", std::string(1, '\0')},
                      StringCase{"NoHexDigits", R"("\uzzzz")", std::string(1, '\0')},
                      StringCase{"PartlyHex", R"("\u12zz")", "\x12"}),
    [](const auto& info) { return info.param.name; });

TEST(ParseString, EscapeTakingTheClosingQuoteAtTheEndFails) {
  JsonValue value;
  EXPECT_FALSE(parseJson(R"("\u004")", value));
  EXPECT_FALSE(parseJson(R"("\u0041)", value));
}

TEST(ParseString, EscapeTakingTheClosingQuoteBreaksAnEnclosingArray) {
  JsonValue value;
  EXPECT_FALSE(parseJson(R"(["\u12","x"])", value));
}

std::vector<std::string> keysOf(const JsonValue& value) {
  std::vector<std::string> keys;
  for (const auto& member : value.objectValue) keys.push_back(member.first);
  return keys;
}

TEST(ParseObject, MembersIterateInByteOrder) {
  JsonValue value;
  ASSERT_TRUE(parseJson("{\"b\":1,\"\xC3\xA9\":2,\"a\":3,\"ab\":4,\"B\":5,\"\":6,\"~\":7}", value));
  EXPECT_EQ(keysOf(value), (std::vector<std::string>{"", "B", "a", "ab", "b", "~", "\xC3\xA9"}));
}

TEST(ParseObject, LastDuplicateWins) {
  JsonValue value;
  ASSERT_TRUE(parseJson(R"({"a":1,"a":"x"})", value));
  ASSERT_EQ(value.objectValue.size(), 1u);
  EXPECT_EQ(value.get("a").kind, Kind::String);
  EXPECT_EQ(value.get("a").stringValue, "x");

  ASSERT_TRUE(parseJson(R"({"b":1,"a":2,"b":3})", value));
  EXPECT_EQ(keysOf(value), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(value.get("b").numberValue, 3.0);
}

TEST(ParseObject, KeysUseEscapes) {
  JsonValue value;
  ASSERT_TRUE(parseJson(R"({"\u0041\n":true})", value));
  EXPECT_TRUE(value.get("A\n").getBool(false));
}

TEST(ParseArray, KeepsDocumentOrderAndNesting) {
  JsonValue value;
  ASSERT_TRUE(parseJson(R"([3, "x", [true], {"k": null}, 1])", value));
  ASSERT_EQ(value.arrayValue.size(), 5u);
  EXPECT_EQ(value.arrayValue[0].numberValue, 3.0);
  EXPECT_EQ(value.arrayValue[1].stringValue, "x");
  ASSERT_EQ(value.arrayValue[2].arrayValue.size(), 1u);
  EXPECT_TRUE(value.arrayValue[2].arrayValue[0].boolValue);
  EXPECT_TRUE(value.arrayValue[3].has("k"));
  EXPECT_EQ(value.arrayValue[4].numberValue, 1.0);
}

std::string nestedArrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string nestedObjects(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "{\"k\":";
  text += "1";
  text += std::string(depth, '}');
  return text;
}

TEST(ParseDepth, AcceptsTheLimitAndRejectsOneMore) {
  const auto limit = static_cast<std::size_t>(kMaxJsonDepth);
  JsonValue value;
  EXPECT_TRUE(parseJson(nestedArrays(limit), value));
  EXPECT_FALSE(parseJson(nestedArrays(limit + 1), value));
  EXPECT_TRUE(parseJson(nestedObjects(limit), value));
  EXPECT_FALSE(parseJson(nestedObjects(limit + 1), value));
}

TEST(ParseDepth, VeryDeepDocumentsFailWithoutCrashing) {
  JsonValue value;
  EXPECT_FALSE(parseJson(nestedArrays(100000), value));
  EXPECT_FALSE(parseJson(std::string(100000, '['), value));
  EXPECT_FALSE(parseJson(nestedObjects(100000), value));
}

JsonValue number(double d) {
  JsonValue value;
  value.kind = Kind::Number;
  value.numberValue = d;
  return value;
}

struct ConversionCase {
  const char* name;
  double number;
  std::int64_t asInt64;
  std::uint64_t asUint64;
};

class NumberConversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(NumberConversion, HasADefinedResult) {
  const JsonValue value = number(GetParam().number);
  EXPECT_EQ(value.getInt64(), GetParam().asInt64);
  EXPECT_EQ(value.getUint64(), GetParam().asUint64);
}

constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kUintSentinel = 9223372036854775808ULL;

INSTANTIATE_TEST_SUITE_P(
    Cases, NumberConversion,
    ::testing::Values(
        ConversionCase{"Zero", 0.0, 0, 0}, ConversionCase{"NegativeZero", -0.0, 0, 0},
        ConversionCase{"Thousand", 1e3, 1000, 1000}, ConversionCase{"TwoPointNine", 2.9, 2, 2},
        ConversionCase{"ThreePointNine", 3.9, 3, 3},
        ConversionCase{"MinusThreePointNine", -3.9, -3, 18446744073709551613ULL},
        ConversionCase{"MinusHalf", -0.5, 0, 0},
        ConversionCase{"MinusOne", -1.0, -1, 18446744073709551615ULL},
        ConversionCase{"BelowTwoPow63", 9223372036854774784.0, 9223372036854774784LL,
                       9223372036854774784ULL},
        ConversionCase{"TwoPow63", 9223372036854775808.0, kInt64Min, 9223372036854775808ULL},
        ConversionCase{"BelowTwoPow64", 18446744073709549568.0, kInt64Min, 18446744073709549568ULL},
        ConversionCase{"TwoPow64", 18446744073709551616.0, kInt64Min, kUintSentinel},
        ConversionCase{"AboveMinusTwoPow63", -9223372036854774784.0, -9223372036854774784LL,
                       9223372036854776832ULL},
        ConversionCase{"MinusTwoPow63", -9223372036854775808.0, kInt64Min, kUintSentinel},
        ConversionCase{"Huge", 1e300, kInt64Min, kUintSentinel},
        ConversionCase{"HugeNegative", -1e300, kInt64Min, kUintSentinel},
        ConversionCase{"Infinity", kInf, kInt64Min, kUintSentinel},
        ConversionCase{"MinusInfinity", -kInf, kInt64Min, kUintSentinel},
        ConversionCase{"NaN", std::numeric_limits<double>::quiet_NaN(), kInt64Min, kUintSentinel}),
    [](const auto& info) { return info.param.name; });

TEST(Accessors, NeverConvertBetweenKinds) {
  JsonValue value;
  ASSERT_TRUE(parseJson(R"({"s":"5","t":true,"n":1,"z":null,"o":{},"a":[1]})", value));
  for (const char* key : {"s", "t", "z", "o", "a"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(value.get(key).getUint64(), 0u);
    EXPECT_EQ(value.get(key).getInt64(), 0);
  }
  EXPECT_EQ(value.get("n").getUint64(), 1u);
  EXPECT_TRUE(value.get("n").getBool(true));
  EXPECT_FALSE(value.get("n").getBool(false));
  EXPECT_TRUE(value.get("t").getBool(false));
  EXPECT_EQ(value.get("n").getString("fb"), "fb");
  EXPECT_EQ(value.get("z").getString("fb"), "fb");
  EXPECT_EQ(value.get("s").getString("fb"), "5");
  EXPECT_EQ(value.get("o").getString("fb"), "fb");
}

TEST(Accessors, HasAndGetOnlyFindMembersOfObjects) {
  JsonValue object;
  ASSERT_TRUE(parseJson(R"({"a":1,"":2})", object));
  EXPECT_TRUE(object.has("a"));
  EXPECT_TRUE(object.has(""));
  EXPECT_FALSE(object.has("A"));
  EXPECT_FALSE(object.has("a "));
  EXPECT_EQ(&object.get("A"), &JsonValue::null());

  JsonValue array;
  ASSERT_TRUE(parseJson(R"(["a"])", array));
  EXPECT_FALSE(array.has("a"));
  EXPECT_EQ(&array.get("a"), &JsonValue::null());

  const JsonValue& missing = object.get("missing");
  EXPECT_EQ(missing.kind, Kind::Null);
  EXPECT_FALSE(missing.has("a"));
  EXPECT_EQ(&missing.get("a"), &JsonValue::null());
}

TEST(Accessors, SharedNullIsOneValueForEveryThread) {
  std::vector<const JsonValue*> seen(4, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &JsonValue().get("x"); });
  }
  for (auto& thread : threads) thread.join();
  for (const JsonValue* value : seen) EXPECT_EQ(value, &JsonValue::null());
  EXPECT_EQ(JsonValue::null().kind, Kind::Null);
  EXPECT_TRUE(JsonValue::null().objectValue.empty());
}

}  // namespace
}  // namespace sandbox
