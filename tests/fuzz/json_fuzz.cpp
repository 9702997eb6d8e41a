// The configuration JSON reader and the document mapping: whole documents, a tree written out
// and read back, a number from any start against strtod, and the document over a configuration.
#include <cmath>
#include <cstring>

#include "config/document.h"
#include "config/json.h"
#include "fuzz.h"
#include "report/report.h"

using namespace sandbox;
using Kind = JsonValue::Kind;

// Writes a tree as JSON (strings escaped as the report escapes them), checking on the way that
// every accessor answers for its own kind only.
void write(const JsonValue& value, std::string& out, int depth) {
  FUZZ_CHECK(depth <= kMaxJsonDepth + 1);
  FUZZ_CHECK(value.kind == Kind::Number || (value.getInt64() == 0 && value.getUint64() == 0));
  FUZZ_CHECK(value.getBool(true) == (value.kind != Kind::Bool || value.boolValue));
  FUZZ_CHECK(value.getString("\x01") == (value.kind == Kind::String ? value.stringValue : "\x01"));
  const bool holds = value.kind == Kind::Object && value.objectValue.count("\x01") == 1;
  FUZZ_CHECK(value.has("\x01") == holds && (holds || &value.get("\x01") == &JsonValue::null()));
  char number[40];  // the scalars by kind: Null, Bool, Number
  std::snprintf(number, sizeof number, "%.17g", value.numberValue);
  if (std::isinf(value.numberValue)) {
    std::snprintf(number, sizeof number, "%s1e999", value.numberValue < 0 ? "-" : "");
  }
  const char* const scalars[] = {"null", value.boolValue ? "true" : "false", number};
  if (value.kind <= Kind::Number) out += scalars[static_cast<int>(value.kind)];
  if (value.kind == Kind::String) out += "\"" + jsonEscape(value.stringValue) + "\"";
  if (value.kind == Kind::Object) {
    out += '{';
    for (const auto& [key, member] : value.objectValue) {
      FUZZ_CHECK(value.has(key) && &value.get(key) == &member);
      out += (out.back() == '{' ? "\"" : ",\"") + jsonEscape(key) + "\":";
      write(member, out, depth + 1);
    }
    out += '}';
  }
  if (value.kind == Kind::Array) {
    out += '[';
    for (const JsonValue& element : value.arrayValue) {
      if (out.back() != '[') out += ',';
      write(element, out, depth + 1);
    }
    out += ']';
  }
}

void fuzzOne(const std::string& input) {
  JsonValue document, reread, value;
  std::string text, again;
  if (parseJson(input, document)) {
    write(document, text, 0);
    FUZZ_CHECK(parseJson(text, reread));
    write(reread, again, 0);
    FUZZ_CHECK(again == text);
    // The document changes only what it names; applied again, only the lists grow.
    SandboxConfig once;
    applyConfigDocument(document, once);
    SandboxConfig twice = once;
    applyConfigDocument(document, twice);
    FUZZ_CHECK(twice.env.size() == 2 * once.env.size() && once.controlPipe.empty());
    FUZZ_CHECK(twice.writeFiles.size() == 2 * once.writeFiles.size());
    twice.env = once.env;
    twice.writeFiles = once.writeFiles;
    twice.copyFiles = once.copyFiles;
    FUZZ_CHECK(twice == once && once.allowChildProcessSet == document.has("allowChildProcess"));
    FUZZ_CHECK(once.timeLimitMs == document.get("timeLimitMs").getUint64());
  }
  // One value from a start the last two bytes pick; a number spans [-0-9.eE+]* after an
  // optional minus, and its value is strtod's.
  if (input.size() < 2) return;
  const auto byte = [&input](std::size_t back) {
    return static_cast<unsigned char>(input[input.size() - back]);
  };
  std::size_t start = (byte(1) | byte(2) << 8) % (input.size() + 1), pos = start;
  if (parseValue(input, pos, value)) FUZZ_CHECK(pos > start && pos <= input.size());
  start = input.find_first_not_of(" \t\n\v\f\r", start);
  if (start == std::string::npos || input.find_first_of("-0123456789", start) != start) return;
  const std::size_t end =
      std::min(input.find_first_not_of("0123456789.eE+-", start + 1), input.size());
  const double expected = std::strtod(input.substr(start, end - start).c_str(), nullptr);
  FUZZ_CHECK(value.kind == Kind::Number && pos == end);
  FUZZ_CHECK(std::memcmp(&value.numberValue, &expected, sizeof expected) == 0);
}
