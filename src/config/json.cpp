#include "config/json.h"

#include <charconv>
#include <limits>
#include <utility>

namespace sandbox {
namespace {

constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

// White space as isspace() sees it in the "C" locale; bytes of 0x80 and above never are.
bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

void skipSpace(const std::string& text, std::size_t& pos) {
  while (pos < text.size() && isSpace(text[pos])) ++pos;
}

bool matchLiteral(const std::string& text, std::size_t& pos, const char* word, std::size_t n) {
  if (text.compare(pos, n, word) != 0) return false;
  pos += n;
  return true;
}

std::size_t scanDigits(const std::string& text, std::size_t pos, std::size_t end) {
  while (pos < end && isDigit(text[pos])) ++pos;
  return pos;
}

// The longest prefix of [begin, end) that strtod would accept as a decimal number (end of
// the prefix; `begin` when it accepts none), and the decimal order of magnitude of its value
// (the exponent of its leading significant digit), used to tell overflow from underflow.
std::size_t decimalPrefix(const std::string& text, std::size_t begin, std::size_t end,
                          long long& order) {
  std::size_t pos = begin;
  if (pos < end && text[pos] == '-') ++pos;
  const std::size_t intBegin = pos;
  pos = scanDigits(text, pos, end);
  const std::size_t intEnd = pos;
  std::size_t fracBegin = pos;
  std::size_t fracEnd = pos;
  if (pos < end && text[pos] == '.') {
    fracBegin = pos + 1;
    fracEnd = scanDigits(text, fracBegin, end);
  }
  if (intEnd == intBegin && fracEnd == fracBegin) return begin;
  pos = fracEnd;

  long long exponent = 0;
  if (pos < end && (text[pos] == 'e' || text[pos] == 'E')) {
    std::size_t expPos = pos + 1;
    const bool negative = expPos < end && text[expPos] == '-';
    if (expPos < end && (text[expPos] == '+' || text[expPos] == '-')) ++expPos;
    const std::size_t expEnd = scanDigits(text, expPos, end);
    if (expEnd > expPos) {
      for (std::size_t i = expPos; i < expEnd; ++i) {
        // Beyond this every value has long since overflowed or underflowed.
        if (exponent < 1000000000) exponent = exponent * 10 + (text[i] - '0');
      }
      if (negative) exponent = -exponent;
      pos = expEnd;
    }
  }

  std::size_t lead = intBegin;
  while (lead < intEnd && text[lead] == '0') ++lead;
  if (lead < intEnd) {
    order = static_cast<long long>(intEnd - lead) - 1 + exponent;
  } else {
    std::size_t frac = fracBegin;
    while (frac < fracEnd && text[frac] == '0') ++frac;
    order = -static_cast<long long>(frac - fracBegin) - 1 + exponent;
  }
  return pos;
}

// strtod's result for a decimal prefix, without depending on the process locale: correctly
// rounded, infinity on overflow and zero on underflow, both signed.
double convertDecimal(const std::string& text, std::size_t begin, std::size_t end,
                      long long order) {
  double value = 0.0;
  const char* first = text.data() + begin;
  const std::from_chars_result result =
      std::from_chars(first, text.data() + end, value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    const bool negative = text[begin] == '-';
    value = order >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
    if (negative) value = -value;
  } else if (result.ec != std::errc()) {
    value = 0.0;
  }
  return value;
}

bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

unsigned hexValue(char c) {
  if (isDigit(c)) return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

// The four bytes after \u read as strtoul reads them in base 16: leading white space, a
// sign, an optional 0x, then hexadecimal digits up to the first other byte (none gives 0).
std::uint32_t unicodeEscapeValue(const std::string& text, std::size_t begin) {
  const std::size_t end = begin + 4;
  std::size_t pos = begin;
  while (pos < end && isSpace(text[pos])) ++pos;
  bool negative = false;
  if (pos < end && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos + 2 < end && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X') &&
      isHexDigit(text[pos + 2])) {
    pos += 2;
  }
  std::uint32_t value = 0;
  for (; pos < end && isHexDigit(text[pos]); ++pos) value = value * 16 + hexValue(text[pos]);
  return negative ? 0u - value : value;
}

void appendUtf8(std::string& out, std::uint32_t v) {
  if (v <= 0x7F) {
    out += static_cast<char>(v);
  } else if (v <= 0x7FF) {
    out += static_cast<char>(0xC0 | ((v >> 6) & 0x1F));
    out += static_cast<char>(0x80 | (v & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | ((v >> 12) & 0x0F));
    out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (v & 0x3F));
  }
}

// Decodes the escape whose backslash is at `pos` (a byte follows it) and moves past it.
void decodeEscape(const std::string& text, std::size_t& pos, std::string& out) {
  const char e = text[pos + 1];
  switch (e) {
    case 'b':
      out += '\b';
      break;
    case 'f':
      out += '\f';
      break;
    case 'n':
      out += '\n';
      break;
    case 'r':
      out += '\r';
      break;
    case 't':
      out += '\t';
      break;
    case 'u':
      if (pos + 5 >= text.size()) {
        // Too short to be an escape: what follows the u is read as ordinary bytes.
        pos += 2;
        return;
      }
      appendUtf8(out, unicodeEscapeValue(text, pos + 2));
      pos += 6;
      return;
    default:
      out += e;
      break;  // quote, backslash, slash and any unknown escape
  }
  pos += 2;
}

}  // namespace

const JsonValue& JsonValue::null() {
  static const JsonValue shared;  // one-time initialisation is thread-safe
  return shared;
}

bool JsonValue::has(const std::string& key) const {
  return kind == Kind::Object && objectValue.find(key) != objectValue.end();
}

const JsonValue& JsonValue::get(const std::string& key) const {
  if (kind != Kind::Object) return null();
  const auto found = objectValue.find(key);
  return found == objectValue.end() ? null() : found->second;
}

std::string JsonValue::getString(const std::string& fallback) const {
  return kind == Kind::String ? stringValue : fallback;
}

std::uint64_t JsonValue::getUint64() const {
  if (kind != Kind::Number) return 0;
  const double d = numberValue;
  if (d >= 0.0 && d < kTwoPow64) return static_cast<std::uint64_t>(d);
  if (d > -kTwoPow63 && d < 0.0) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
  }
  return 9223372036854775808ULL;  // NaN and everything out of range
}

std::int64_t JsonValue::getInt64() const {
  if (kind != Kind::Number) return 0;
  const double d = numberValue;
  if (d > -kTwoPow63 && d < kTwoPow63) return static_cast<std::int64_t>(d);
  return std::numeric_limits<std::int64_t>::min();  // NaN and everything out of range
}

bool JsonValue::getBool(bool fallback) const { return kind == Kind::Bool ? boolValue : fallback; }

bool parseJson(const std::string& text, JsonValue& out) {
  std::size_t end = 0;
  return parseJson(text, out, end);
}

bool parseJson(const std::string& text, JsonValue& out, std::size_t& end) {
  end = 0;
  if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) end = 3;
  skipSpace(text, end);
  return parseValue(text, end, out);
}

bool isWholeObject(const std::string& text, const JsonValue& value, std::size_t end) {
  // A cut-off root object ends at the end of the text on something other than its brace.
  if (value.kind != JsonValue::Kind::Object || end == 0 || text[end - 1] != '}') return false;
  skipSpace(text, end);
  return end == text.size();
}

bool parseValue(const std::string& text, std::size_t& pos, JsonValue& out, int depth) {
  skipSpace(text, pos);
  if (pos >= text.size()) return false;
  const char c = text[pos];
  if (c == '"') return parseString(text, pos, out);
  if (c == '{') return parseObject(text, pos, out, depth);
  if (c == '[') return parseArray(text, pos, out, depth);
  if (c == '-' || isDigit(c)) return parseNumber(text, pos, out);
  // Literals are prefixes: the byte after them is the enclosing value's business.
  if (c == 't' || c == 'f') {
    bool value = true;
    if (!matchLiteral(text, pos, "true", 4)) {
      if (!matchLiteral(text, pos, "false", 5)) return false;
      value = false;
    }
    out.kind = JsonValue::Kind::Bool;
    out.boolValue = value;
    return true;
  }
  if (c == 'n' && matchLiteral(text, pos, "null", 4)) {
    out.kind = JsonValue::Kind::Null;
    return true;
  }
  return false;
}

bool parseNumber(const std::string& text, std::size_t& pos, JsonValue& out) {
  const std::size_t begin = pos;
  if (pos < text.size() && text[pos] == '-') ++pos;
  while (pos < text.size()) {
    const char c = text[pos];
    if (!isDigit(c) && c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-') break;
    ++pos;
  }
  long long order = 0;
  const std::size_t end = decimalPrefix(text, begin, pos, order);
  out.kind = JsonValue::Kind::Number;
  out.numberValue = end == begin ? 0.0 : convertDecimal(text, begin, end, order);
  return true;
}

bool parseString(const std::string& text, std::size_t& pos, JsonValue& out) {
  if (pos >= text.size() || text[pos] != '"') return false;
  ++pos;
  std::string value;
  while (pos < text.size()) {
    const char c = text[pos];
    if (c == '"') {
      ++pos;
      out.kind = JsonValue::Kind::String;
      out.stringValue = std::move(value);
      return true;
    }
    if (c == '\\' && pos + 1 < text.size()) {
      decodeEscape(text, pos, value);
    } else {
      value += c;
      ++pos;
    }
  }
  return false;
}

bool parseObject(const std::string& text, std::size_t& pos, JsonValue& out, int depth) {
  if (depth >= kMaxJsonDepth || pos >= text.size() || text[pos] != '{') return false;
  ++pos;
  out.kind = JsonValue::Kind::Object;
  out.objectValue.clear();
  skipSpace(text, pos);
  if (pos >= text.size()) return true;  // a lone brace is an empty object
  if (text[pos] == '}') {
    ++pos;
    return true;
  }
  while (true) {
    skipSpace(text, pos);
    if (pos >= text.size() || text[pos] != '"') return false;
    JsonValue key;
    if (!parseString(text, pos, key)) return false;
    skipSpace(text, pos);
    if (pos >= text.size() || text[pos] != ':') return false;
    ++pos;
    JsonValue member;
    if (!parseValue(text, pos, member, depth + 1)) return false;
    out.objectValue.insert_or_assign(std::move(key.stringValue), std::move(member));
    skipSpace(text, pos);
    if (pos >= text.size()) return false;
    if (text[pos] == '}') {
      ++pos;
      return true;
    }
    if (text[pos] != ',') return false;
    ++pos;
    if (pos == text.size()) return true;  // cut off right after a comma: what was read
  }
}

bool parseArray(const std::string& text, std::size_t& pos, JsonValue& out, int depth) {
  if (depth >= kMaxJsonDepth || pos >= text.size() || text[pos] != '[') return false;
  ++pos;
  out.kind = JsonValue::Kind::Array;
  out.arrayValue.clear();
  skipSpace(text, pos);
  if (pos >= text.size()) return true;  // a lone bracket is an empty array
  if (text[pos] == ']') {
    ++pos;
    return true;
  }
  while (true) {
    JsonValue element;
    if (!parseValue(text, pos, element, depth + 1)) return false;
    out.arrayValue.push_back(std::move(element));
    skipSpace(text, pos);
    if (pos >= text.size()) return false;
    if (text[pos] == ']') {
      ++pos;
      return true;
    }
    if (text[pos] != ',') return false;
    ++pos;
    if (pos == text.size()) return true;  // cut off right after a comma: what was read
  }
}

}  // namespace sandbox
