// The configuration JSON reader and the document mapping: whole documents, single values from
// an arbitrary start, the number conversions against the C library, and a written-out tree read
// back the same.
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "config/config.h"
#include "config/document.h"
#include "config/json.h"
#include "fuzz_check.h"

namespace {

using sandbox::JsonValue;
using Kind = JsonValue::Kind;

constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

bool sameNumber(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The accessors' conversions, written from their contract.
std::int64_t expectedInt64(double v) {
  if (!(v > -kTwoPow63 && v < kTwoPow63)) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

std::uint64_t expectedUint64(double v) {
  if (v >= 0 && v < kTwoPow64) return static_cast<std::uint64_t>(v);
  if (v > -kTwoPow63 && v < 0) return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
  return std::uint64_t{1} << 63;
}

// Visits every value: the accessors must answer for each kind without converting between kinds.
void checkAccessors(const JsonValue& value, int depth) {
  FUZZ_CHECK(depth <= sandbox::kMaxJsonDepth + 1);
  const bool isNumber = value.kind == Kind::Number;
  FUZZ_CHECK(value.getInt64() == (isNumber ? expectedInt64(value.numberValue) : 0));
  FUZZ_CHECK(value.getUint64() == (isNumber ? expectedUint64(value.numberValue) : 0));
  FUZZ_CHECK(value.getBool(true) == (value.kind == Kind::Bool ? value.boolValue : true));
  FUZZ_CHECK(value.getString("fallback") ==
             (value.kind == Kind::String ? value.stringValue : std::string("fallback")));
  FUZZ_CHECK(!value.has("\x01missing") || value.kind == Kind::Object);
  FUZZ_CHECK(&value.get("\x01missing") == &JsonValue::null() ||
             value.objectValue.count("\x01missing") == 1);
  for (const auto& [key, member] : value.objectValue) {
    FUZZ_CHECK(value.kind == Kind::Object && value.has(key) && &value.get(key) == &member);
    checkAccessors(member, depth + 1);
  }
  for (const JsonValue& element : value.arrayValue) {
    FUZZ_CHECK(value.kind == Kind::Array);
    checkAccessors(element, depth + 1);
  }
}

// Writes a tree as JSON that the reader must read back as the same tree: every byte of a
// string that is a quote, a backslash or below 0x20 escaped, other bytes as they are.
void write(const JsonValue& value, std::string& out);

void writeString(const std::string& text, std::string& out) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
}

void write(const JsonValue& value, std::string& out) {
  switch (value.kind) {
    case Kind::Null:
      out += "null";
      return;
    case Kind::Bool:
      out += value.boolValue ? "true" : "false";
      return;
    case Kind::Number: {
      if (std::isinf(value.numberValue)) {
        out += value.numberValue > 0 ? "1e999" : "-1e999";
        return;
      }
      char number[40];
      std::snprintf(number, sizeof number, "%.17g", value.numberValue);
      out += number;
      return;
    }
    case Kind::String:
      writeString(value.stringValue, out);
      return;
    case Kind::Object: {
      out += '{';
      const char* separator = "";
      for (const auto& [key, member] : value.objectValue) {
        out += separator;
        writeString(key, out);
        out += ':';
        write(member, out);
        separator = ",";
      }
      out += '}';
      return;
    }
    case Kind::Array: {
      out += '[';
      const char* separator = "";
      for (const JsonValue& element : value.arrayValue) {
        out += separator;
        write(element, out);
        separator = ",";
      }
      out += ']';
      return;
    }
  }
  FUZZ_CHECK(false);
}

bool sameTree(const JsonValue& a, const JsonValue& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Kind::Null:
      return true;
    case Kind::Bool:
      return a.boolValue == b.boolValue;
    case Kind::Number:
      return sameNumber(a.numberValue, b.numberValue);
    case Kind::String:
      return a.stringValue == b.stringValue;
    case Kind::Object: {
      if (a.objectValue.size() != b.objectValue.size()) return false;
      auto other = b.objectValue.begin();
      for (const auto& [key, member] : a.objectValue) {
        if (key != other->first || !sameTree(member, other->second)) return false;
        ++other;
      }
      return true;
    }
    case Kind::Array: {
      if (a.arrayValue.size() != b.arrayValue.size()) return false;
      for (std::size_t i = 0; i < a.arrayValue.size(); ++i) {
        if (!sameTree(a.arrayValue[i], b.arrayValue[i])) return false;
      }
      return true;
    }
  }
  return false;
}

void checkRoundTrip(const JsonValue& document) {
  std::string text;
  write(document, text);
  JsonValue again;
  FUZZ_CHECK(sandbox::parseJson(text, again));
  FUZZ_CHECK(sameTree(document, again));
}

// A number token is every byte of [0-9.eE+-] after an optional leading minus; its value is
// what strtod makes of it (strtod stops at the same place the reader's own conversion must).
void checkNumberAt(const std::string& text, std::size_t start) {
  std::size_t pos = start;
  while (pos < text.size() && std::strchr(" \t\n\v\f\r", text[pos]) != nullptr && text[pos] != 0) {
    ++pos;
  }
  if (pos == text.size() || (text[pos] != '-' && (text[pos] < '0' || text[pos] > '9'))) return;
  std::size_t end = pos + (text[pos] == '-' ? 1 : 0);
  while (end < text.size() && std::strchr("0123456789.eE+-", text[end]) != nullptr &&
         text[end] != 0) {
    ++end;
  }
  const std::string token = text.substr(pos, end - pos);
  errno = 0;
  const double expected = std::strtod(token.c_str(), nullptr);

  std::size_t at = start;
  JsonValue value;
  FUZZ_CHECK(sandbox::parseValue(text, at, value));
  FUZZ_CHECK(at == end && value.kind == Kind::Number);
  FUZZ_CHECK(sameNumber(value.numberValue, expected));
}

// The mapping changes only what the document names; applied twice, the lists grow twice and
// every other field ends the same.
void checkDocument(const JsonValue& document) {
  const sandbox::SandboxConfig initial;
  sandbox::SandboxConfig once = initial;
  sandbox::applyConfigDocument(document, once);
  if (document.kind != Kind::Object) {
    FUZZ_CHECK(once == initial);
    return;
  }
  const auto membersOf = [&document](const char* key) -> std::size_t {
    const JsonValue& list = document.get(key);
    return list.kind == Kind::Object ? list.objectValue.size() : 0;
  };
  FUZZ_CHECK(once.env.size() == membersOf("env"));
  FUZZ_CHECK(once.writeFiles.size() == membersOf("writeFiles"));
  FUZZ_CHECK(once.copyFiles.size() == membersOf("copyFiles"));
  FUZZ_CHECK(once.timeLimitMs == document.get("timeLimitMs").getUint64());
  FUZZ_CHECK(once.maxFileCount ==
             static_cast<std::uint32_t>(document.get("maxFileCount").getInt64()));
  FUZZ_CHECK(once.allowChildProcessSet == document.has("allowChildProcess"));
  FUZZ_CHECK(once.mode == document.get("mode").getString(initial.mode));
  FUZZ_CHECK(once.envJson == initial.envJson && once.controlPipe == initial.controlPipe);

  sandbox::SandboxConfig twice = once;
  sandbox::applyConfigDocument(document, twice);
  FUZZ_CHECK(twice.env.size() == 2 * once.env.size());
  FUZZ_CHECK(twice.writeFiles.size() == 2 * once.writeFiles.size());
  FUZZ_CHECK(twice.copyFiles.size() == 2 * once.copyFiles.size());
  twice.env = once.env;
  twice.writeFiles = once.writeFiles;
  twice.copyFiles = once.copyFiles;
  FUZZ_CHECK(twice == once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  JsonValue document;
  if (sandbox::parseJson(text, document)) {
    checkAccessors(document, 0);
    checkRoundTrip(document);
    checkDocument(document);
  }

  // One value from a start picked by the input's last bytes: the reader must not look before
  // the start or past the end, and a value it accepts ends inside the text.
  if (size >= 2) {
    const std::size_t start = (data[size - 1] | (data[size - 2] << 8)) % (size + 1);
    std::size_t pos = start;
    JsonValue value;
    if (sandbox::parseValue(text, pos, value)) {
      FUZZ_CHECK(pos > start && pos <= size);
      checkAccessors(value, 0);
    }
    checkNumberAt(text, start);
  }
  return 0;
}
