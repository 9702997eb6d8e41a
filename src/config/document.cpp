#include "config/document.h"

#include <cstdint>

namespace sandbox {
namespace {

// A text field keeps its value unless the member is a string.
void readText(const JsonValue& document, const char* key, std::string& field) {
  if (document.has(key)) field = document.get(key).getString(field);
}

// A number field is written whenever the key is present: 0 for a value of another kind.
void readUint64(const JsonValue& document, const char* key, std::uint64_t& field) {
  if (document.has(key)) field = document.get(key).getUint64();
}

// The 32-bit fields keep the low 32 bits of the signed conversion (-1 sets every bit).
void readUint32(const JsonValue& document, const char* key, std::uint32_t& field) {
  if (document.has(key)) field = static_cast<std::uint32_t>(document.get(key).getInt64());
}

std::string textOrEmpty(const JsonValue& value) { return value.getString(std::string()); }

void appendEnv(const JsonValue& members, std::vector<std::string>& env) {
  if (members.kind != JsonValue::Kind::Object) return;
  for (const auto& [name, value] : members.objectValue)
    env.push_back(name + "=" + textOrEmpty(value));
}

void appendPairs(const JsonValue& members,
                 std::vector<std::pair<std::string, std::string>>& pairs) {
  if (members.kind != JsonValue::Kind::Object) return;
  for (const auto& [name, value] : members.objectValue)
    pairs.emplace_back(name, textOrEmpty(value));
}

}  // namespace

void applyConfigDocument(const JsonValue& document, SandboxConfig& config) {
  if (document.kind != JsonValue::Kind::Object) return;
  readText(document, "mode", config.mode);
  readText(document, "exec", config.exec);
  readText(document, "cwd", config.cwd);
  readText(document, "stdin", config.stdinText);
  readText(document, "stdinFile", config.stdinFile);
  if (document.has("stdinPipe"))
    config.stdinPipe = document.get("stdinPipe").getBool(config.stdinPipe);
  readText(document, "reportFile", config.reportFile);
  readText(document, "stdoutFile", config.stdoutFile);
  readText(document, "stderrFile", config.stderrFile);
  readUint64(document, "timeLimitMs", config.timeLimitMs);
  readUint64(document, "cpuLimitMs", config.cpuLimitMs);
  readUint64(document, "memoryLimitMb", config.memoryLimitMb);
  readUint64(document, "memoryLimitBytes", config.memoryLimitBytes);
  readUint32(document, "coreAffinity", config.coreAffinity);
  readUint64(document, "maxStdoutBytes", config.maxStdoutBytes);
  readUint64(document, "maxStderrBytes", config.maxStderrBytes);
  readUint64(document, "maxFileSizeBytes", config.maxFileSizeBytes);
  readUint32(document, "maxFileCount", config.maxFileCount);
  if (document.has("allowChildProcess")) {
    // Present in any form, it is an explicit choice the mode defaults must not override.
    config.allowChildProcess = document.get("allowChildProcess").getBool(false);
    config.allowChildProcessSet = true;
  }
  if (document.has("appcontainer")) {
    config.appcontainer = document.get("appcontainer").getBool(false);
  }
  appendEnv(document.get("env"), config.env);
  appendPairs(document.get("writeFiles"), config.writeFiles);
  appendPairs(document.get("copyFiles"), config.copyFiles);
}

}  // namespace sandbox
