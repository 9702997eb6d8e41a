// The command's environment: a case-insensitive map of variables, the forgiving dictionary
// parser of --env-json, and the UTF-16 block handed to process creation. Portable.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "config/config.h"

namespace sandbox {

// Orders variable names as Windows sorts its own block: each UTF-16 unit a-z is raised to A-Z
// (other letters keep their case), then units compare as unsigned 16-bit numbers; a prefix sorts
// first. So names equal but for ASCII case are one variable, and "_X", "[" and "^" sort after
// "Z" (the runtime's lookups and updates of the block assume this order).
struct EnvNameLess {
  bool operator()(const std::u16string& left, const std::u16string& right) const;
};

// Name -> value. Replacing a value keeps the name's first-inserted spelling.
using EnvironmentMap = std::map<std::u16string, std::u16string, EnvNameLess>;

// Sets `name` to `value`, both UTF-8 (malformed bytes become U+FFFD). Each ends at its first NUL
// byte, as a C string does, so the block stays well formed. An empty name is ignored.
void setEnvVar(EnvironmentMap& env, const std::string& name, const std::string& value);

// Sets one variable per member of a flat dictionary text such as {"A": "1", "B": true}. Commas
// are optional, values are quoted strings or bare words (whitespace dropped, up to , or }).
// False for malformed text, but the members before the fault stay set.
bool parseEnvJson(EnvironmentMap& env, const std::string& text);

// Adds the NAME=VALUE strings of a block ending with an empty string (GetEnvironmentStringsW's
// layout). Strings without "=" or starting with "=" (per-drive directories) are skipped. A null
// block adds nothing.
void addEnvironmentStrings(EnvironmentMap& env, const char16_t* block);

// NAME=VALUE\0 per variable in map order, then one more \0. An empty map gives two \0 units, so
// a reader that looks for the double terminator never reads past the end.
std::u16string buildEnvironmentBlock(const EnvironmentMap& env);

// The run variables that put a confined command's profile in its container's own folder, the one
// place besides its working directory it may write: TEMP, TMP, LOCALAPPDATA, APPDATA and
// USERPROFILE name `folder`, and HOMEDRIVE and HOMEPATH split it ("C:" and "\Users\...", or
// "\\server\share" and the rest; a folder of another form gives neither).
EnvironmentMap containerProfileVariables(const std::u16string& folder);

// The command's variables from every source of `config`, later ones overriding earlier ones:
// `inherit` (it adds the sandbox's own environment), the run's own `runVariables` (set whether or
// not the environment is inherited: containerProfileVariables of a confined run), envJson, the
// envJsonFile dictionary (a missing or unreadable file is skipped), then the env entries
// (NAME=VALUE split at the first "="; entries without a name are skipped). Without inheritEnv only
// the sandbox's own SystemRoot is taken from `inherit`, unless a source sets one: system DLLs
// (Winsock among them) fail to initialise without it.
EnvironmentMap assembleEnvironment(const SandboxConfig& config,
                                   const std::function<void(EnvironmentMap&)>& inherit,
                                   const EnvironmentMap& runVariables = {});

}  // namespace sandbox
