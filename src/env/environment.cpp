#include "env/environment.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "common/path.h"
#include "common/text.h"

namespace sandbox {
namespace {

char16_t upperAscii(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

// isspace of the "C" locale, without its locale or its undefined behaviour on negative chars.
bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char unescape(char c) {
  switch (c) {
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return c;  // \" and \\ and every unknown escape give the byte itself
  }
}

// Collects from `pos` (just after an opening quote) up to the next unescaped quote or the end,
// decoding escapes; leaves `pos` after the closing quote. False when the text ended first.
bool readQuoted(const std::string& text, std::size_t& pos, std::string& out) {
  while (pos < text.size()) {
    const char c = text[pos++];
    if (c == '"') return true;
    if (c == '\\' && pos < text.size()) {
      out += unescape(text[pos++]);
    } else {
      out += c;  // a lone backslash at the very end stays
    }
  }
  return false;
}

// A value that is not quoted: its non-space bytes up to the next , or } or the end.
std::string readBare(const std::string& text, std::size_t& pos) {
  std::string out;
  for (; pos < text.size() && text[pos] != ',' && text[pos] != '}'; ++pos) {
    if (!isSpace(text[pos])) out += text[pos];
  }
  return out;
}

void skipSpace(const std::string& text, std::size_t& pos) {
  while (pos < text.size() && isSpace(text[pos])) ++pos;
}

// The text up to its first NUL byte, as a C string reads it.
std::string_view upToNul(const std::string& text) {
  return std::string_view(text).substr(0, text.find('\0'));
}

// Where the drive of a folder ends: after "C:", or after "\\server\share"; 0 for other forms
// ("\\?\" and "\\.\" paths among them).
std::size_t driveEnd(const std::u16string& folder) {
  if (folder.size() >= 2 && folder[1] == u':') return 2;
  if (folder.size() < 3 || !folder.starts_with(u"\\\\") || folder[2] == u'?' || folder[2] == u'.') {
    return 0;
  }
  const std::size_t share = folder.find(u'\\', 2);
  if (share == std::u16string::npos || share == 2) return 0;
  return std::min(folder.find(u'\\', share + 1), folder.size());
}

}  // namespace

bool EnvNameLess::operator()(const std::u16string& left, const std::u16string& right) const {
  const std::size_t common = left.size() < right.size() ? left.size() : right.size();
  for (std::size_t i = 0; i < common; ++i) {
    const char16_t a = upperAscii(left[i]);
    const char16_t b = upperAscii(right[i]);
    if (a != b) return a < b;
  }
  return left.size() < right.size();
}

void setEnvVar(EnvironmentMap& env, const std::string& name, const std::string& value) {
  // A zero unit inside a name or value would end that string early in the block, and one at
  // the start of a name would end the whole block there.
  std::u16string wideName = utf8ToUtf16(upToNul(name));
  if (wideName.empty()) return;
  env.insert_or_assign(std::move(wideName), utf8ToUtf16(upToNul(value)));
}

bool parseEnvJson(EnvironmentMap& env, const std::string& text) {
  std::size_t pos = 0;
  skipSpace(text, pos);
  if (pos == text.size() || text[pos] != '{') return false;
  ++pos;
  for (;;) {
    while (pos < text.size() && (isSpace(text[pos]) || text[pos] == ',')) ++pos;
    if (pos == text.size() || text[pos] == '}') return true;
    if (text[pos] != '"') return false;
    ++pos;
    std::string name;
    if (!readQuoted(text, pos, name)) return false;
    skipSpace(text, pos);
    if (pos == text.size() || text[pos] != ':') return false;
    ++pos;
    skipSpace(text, pos);
    if (pos == text.size()) return false;
    std::string value;
    if (text[pos] == '"') {
      ++pos;
      readQuoted(text, pos, value);  // an unterminated value is taken as far as it goes
    } else {
      value = readBare(text, pos);
    }
    setEnvVar(env, name, value);
    if (pos == text.size()) return true;
  }
}

void addEnvironmentStrings(EnvironmentMap& env, const char16_t* block) {
  if (block == nullptr) return;
  while (*block != u'\0') {
    const std::u16string entry(block);
    block += entry.size() + 1;
    const std::size_t equals = entry.find(u'=');
    if (equals == std::u16string::npos || equals == 0) continue;
    env.insert_or_assign(entry.substr(0, equals), entry.substr(equals + 1));
  }
}

std::u16string buildEnvironmentBlock(const EnvironmentMap& env) {
  if (env.empty()) return std::u16string(2, u'\0');
  std::u16string block;
  for (const auto& [name, value] : env) {
    block += name;
    block += u'=';
    block += value;
    block += u'\0';
  }
  block += u'\0';
  return block;
}

EnvironmentMap containerProfileVariables(const std::u16string& folder) {
  EnvironmentMap variables;
  for (const char16_t* name : {u"TEMP", u"TMP", u"LOCALAPPDATA", u"APPDATA", u"USERPROFILE"}) {
    variables.emplace(name, folder);
  }
  const std::size_t end = driveEnd(folder);
  if (end == 0) return variables;
  variables.emplace(u"HOMEDRIVE", folder.substr(0, end));
  variables.emplace(u"HOMEPATH", end < folder.size() ? folder.substr(end) : u"\\");
  return variables;
}

EnvironmentMap assembleEnvironment(const SandboxConfig& config,
                                   const std::function<void(EnvironmentMap&)>& inherit,
                                   const EnvironmentMap& runVariables) {
  EnvironmentMap env;
  if (config.inheritEnv && inherit) inherit(env);
  for (const auto& [name, value] : runVariables) env.insert_or_assign(name, value);
  if (!config.envJson.empty()) parseEnvJson(env, config.envJson);
  if (!config.envJsonFile.empty()) {
    std::string text;
    if (readWholeFile(pathFromUtf8(config.envJsonFile), text)) parseEnvJson(env, text);
  }
  for (const std::string& entry : config.env) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos || equals == 0) continue;  // also skips the empty entry
    setEnvVar(env, entry.substr(0, equals), entry.substr(equals + 1));
  }
  if (!config.inheritEnv && inherit && env.find(u"SystemRoot") == env.end()) {
    EnvironmentMap own;
    inherit(own);
    const auto systemRoot = own.find(u"SystemRoot");
    if (systemRoot != own.end()) env.insert(*systemRoot);
  }
  return env;
}

}  // namespace sandbox
