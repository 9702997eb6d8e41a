// A small, lenient JSON reader for configuration documents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sandbox {

// One parsed value. Every member exists whatever the kind; only those of `kind` mean anything.
struct JsonValue {
  enum class Kind : std::int32_t {
    Null = 0,
    Bool = 1,
    Number = 2,
    String = 3,
    Object = 4,
    Array = 5
  };

  Kind kind = Kind::Null;
  bool boolValue = false;
  double numberValue = 0.0;
  std::string stringValue;
  std::map<std::string, JsonValue> objectValue;  // byte-wise key order
  std::vector<JsonValue> arrayValue;

  // True only for an Object with a member of exactly this key.
  bool has(const std::string& key) const;
  // The member, or the shared Null value when there is none (or this is not an Object).
  const JsonValue& get(const std::string& key) const;
  std::string getString(const std::string& fallback) const;
  // Number conversions with a defined result for every double (NaN, infinities, out of range).
  std::uint64_t getUint64() const;
  std::int64_t getInt64() const;
  bool getBool(bool fallback) const;

  // The process-wide read-only Null returned by get() for a missing member.
  static const JsonValue& null();
};

// Deepest nesting of objects and arrays the reader follows; deeper documents fail.
inline constexpr int kMaxJsonDepth = 256;

// Parses a whole document: skips a UTF-8 byte-order mark and white space, reads one value and
// ignores whatever follows it. Returns false for malformed text (`out` may be partly filled).
bool parseJson(const std::string& text, JsonValue& out);
// The same, and `end` is the index just after the value.
bool parseJson(const std::string& text, JsonValue& out, std::size_t& end);

// True when the value parsed from `text` up to `end` is one whole JSON object: closed by its own
// brace and followed by white space only. parseJson also takes an object cut off after a comma
// or its opening brace, and ignores text after the value; strict mode refuses both.
bool isWholeObject(const std::string& text, const JsonValue& value, std::size_t end);

// Parses one value at `pos` (leading white space skipped); on success `pos` is just after it.
bool parseValue(const std::string& text, std::size_t& pos, JsonValue& out, int depth = 0);
bool parseString(const std::string& text, std::size_t& pos, JsonValue& out);
bool parseNumber(const std::string& text, std::size_t& pos, JsonValue& out);
bool parseObject(const std::string& text, std::size_t& pos, JsonValue& out, int depth = 0);
bool parseArray(const std::string& text, std::size_t& pos, JsonValue& out, int depth = 0);

}  // namespace sandbox
