#include "config/document.h"

#include <cmath>
#include <cstdint>

namespace sandbox {
namespace {

using C = SandboxConfig;

// What a key's value must be in strict mode.
enum class Expect { Text, Mode, Flag, Uint64, Uint32, Texts };

// A text field keeps its value unless the member is a string.
template <std::string C::*Field>
void readText(const JsonValue& value, C& config) {
  config.*Field = value.getString(config.*Field);
}

// A number field is written whenever the key is present: 0 for a value of another kind.
template <std::uint64_t C::*Field>
void readUint64(const JsonValue& value, C& config) {
  config.*Field = value.getUint64();
}

// The 32-bit fields keep the low 32 bits of the signed conversion (-1 sets every bit); a
// magnitude of 2^32 or more saturates, since its low bits could be 0 or 1 (no limit, or one).
template <std::uint32_t C::*Field>
void readUint32(const JsonValue& value, C& config) {
  const bool beyond =
      value.kind == JsonValue::Kind::Number && std::fabs(value.numberValue) >= 4294967296.0;
  config.*Field = beyond ? UINT32_MAX : static_cast<std::uint32_t>(value.getInt64());
}

void readStdinPipe(const JsonValue& value, C& config) {
  config.stdinPipe = value.getBool(config.stdinPipe);
}

// Present in any form, it is an explicit choice the mode defaults must not override.
void readAllowChild(const JsonValue& value, C& config) {
  config.allowChildProcess = value.getBool(false);
  config.allowChildProcessSet = true;
}

void readAppContainer(const JsonValue& value, C& config) {
  config.appcontainer = value.getBool(false);
}

void readStrict(const JsonValue& value, C& config) {
  if (value.getBool(false)) config.strict = true;
}

std::string textOrEmpty(const JsonValue& value) { return value.getString(std::string()); }

void appendEnv(const JsonValue& members, C& config) {
  if (members.kind != JsonValue::Kind::Object) return;
  for (const auto& [name, value] : members.objectValue)
    config.env.push_back(name + "=" + textOrEmpty(value));
}

template <std::vector<std::pair<std::string, std::string>> C::*Field>
void appendPairs(const JsonValue& members, C& config) {
  if (members.kind != JsonValue::Kind::Object) return;
  for (const auto& [name, value] : members.objectValue)
    (config.*Field).emplace_back(name, textOrEmpty(value));
}

struct Key {
  const char* name;
  Expect expect;
  void (*apply)(const JsonValue& value, C& config);
};

// Applied in this order; "strict" is last, as it changes no other field.
constexpr Key kKeys[] = {
    {"mode", Expect::Mode, readText<&C::mode>},
    {"exec", Expect::Text, readText<&C::exec>},
    {"cwd", Expect::Text, readText<&C::cwd>},
    {"stdin", Expect::Text, readText<&C::stdinText>},
    {"stdinFile", Expect::Text, readText<&C::stdinFile>},
    {"stdinPipe", Expect::Flag, readStdinPipe},
    {"reportFile", Expect::Text, readText<&C::reportFile>},
    {"stdoutFile", Expect::Text, readText<&C::stdoutFile>},
    {"stderrFile", Expect::Text, readText<&C::stderrFile>},
    {"timeLimitMs", Expect::Uint64, readUint64<&C::timeLimitMs>},
    {"cpuLimitMs", Expect::Uint64, readUint64<&C::cpuLimitMs>},
    {"memoryLimitMb", Expect::Uint64, readUint64<&C::memoryLimitMb>},
    {"memoryLimitBytes", Expect::Uint64, readUint64<&C::memoryLimitBytes>},
    {"coreAffinity", Expect::Uint32, readUint32<&C::coreAffinity>},
    {"maxStdoutBytes", Expect::Uint64, readUint64<&C::maxStdoutBytes>},
    {"maxStderrBytes", Expect::Uint64, readUint64<&C::maxStderrBytes>},
    {"maxFileSizeBytes", Expect::Uint64, readUint64<&C::maxFileSizeBytes>},
    {"maxFileCount", Expect::Uint32, readUint32<&C::maxFileCount>},
    {"allowChildProcess", Expect::Flag, readAllowChild},
    {"appcontainer", Expect::Flag, readAppContainer},
    {"env", Expect::Texts, appendEnv},
    {"writeFiles", Expect::Texts, appendPairs<&C::writeFiles>},
    {"copyFiles", Expect::Texts, appendPairs<&C::copyFiles>},
    {"strict", Expect::Flag, readStrict},
};

// An integral number from 0 to below `end`. Numbers are doubles, so a 64-bit field ends where
// they reach 2^64: the largest 64-bit value itself reads as 2^64, as do all numbers too large.
bool isCount(const JsonValue& value, double end) {
  const double number = value.numberValue;
  return value.kind == JsonValue::Kind::Number && number >= 0 && number < end &&
         std::trunc(number) == number;
}

bool isObjectOfTexts(const JsonValue& value) {
  if (value.kind != JsonValue::Kind::Object) return false;
  for (const auto& member : value.objectValue) {
    if (member.second.kind != JsonValue::Kind::String) return false;
  }
  return true;
}

bool isSound(const JsonValue& value, Expect expect) {
  switch (expect) {
    case Expect::Text:
      return value.kind == JsonValue::Kind::String;
    case Expect::Mode:
      return value.kind == JsonValue::Kind::String &&
             (value.stringValue == "run" || value.stringValue == "compile");
    case Expect::Flag:
      return value.kind == JsonValue::Kind::Bool;
    case Expect::Uint64:
      return isCount(value, 18446744073709551616.0);
    case Expect::Uint32:
      return isCount(value, 4294967296.0);
    case Expect::Texts:
      break;
  }
  return isObjectOfTexts(value);
}

}  // namespace

void applyConfigDocument(const JsonValue& document, SandboxConfig& config) {
  if (document.kind != JsonValue::Kind::Object) return;
  for (const Key& key : kKeys) {
    if (document.has(key.name)) key.apply(document.get(key.name), config);
  }
}

std::string findDocumentFault(const JsonValue& document) {
  for (const auto& [name, value] : document.objectValue) {
    const Key* known = nullptr;
    for (const Key& key : kKeys) {
      if (name == key.name) known = &key;
    }
    if (known == nullptr) return "Unknown configuration key: " + name;
    if (!isSound(value, known->expect)) return "Invalid value for configuration key: " + name;
  }
  return {};
}

std::string applyConfigText(const std::string& text, const std::string& source,
                            SandboxConfig& config) {
  JsonValue document;
  std::size_t end = 0;
  const bool parsed = parseJson(text, document, end);
  if (parsed) applyConfigDocument(document, config);
  if (!parsed || !isWholeObject(text, document, end)) {
    return "Configuration is not a valid JSON object: " + source;
  }
  return findDocumentFault(document);
}

bool isJsonObjectOfTexts(const std::string& text) {
  JsonValue value;
  std::size_t end = 0;
  return parseJson(text, value, end) && isWholeObject(text, value, end) && isObjectOfTexts(value);
}

}  // namespace sandbox
