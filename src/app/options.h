// The command-line walk: arguments in, a configuration (or a usage or numeric-error exit) out.
#pragma once

#include <string>
#include <vector>

#include "config/config.h"

namespace sandbox {

// The usage text, byte for byte.
const std::string& usageText();

// Every option the walk takes, in the order it tries them.
std::vector<std::string> optionNames();

// What the option walk decided.
struct CommandLine {
  enum class Action {
    Run,
    PrintUsage,
    PrintVersion,
    NumericError,
    GrantToolchain,
    RevokeToolchain
  };
  Action action = Action::Run;
  SandboxConfig config;            // meaningful for Run (and as far as the walk got otherwise)
  int exitStatus = 0;              // for PrintUsage: 1 with no arguments, 0 for --help / -h
  std::string errorText;           // for NumericError: "invalid stoull argument" and the like
  std::string toolchainDirectory;  // for GrantToolchain and RevokeToolchain, as given
  // The first mistake of the walk, in either mode, as strict mode words it: an unknown option, a
  // value missing or malformed, a configuration file unreadable or faulty. It refuses the run
  // (the message of the report that takes its place) when strict mode is on once every source
  // is read: config.strict at the end of the walk, or a control-pipe document that switches it
  // on. Empty when there is none. In strict mode the walk goes on past it (--help and --version
  // no longer end it), so that the report reaches the channels named after it.
  std::string mistake;
};

// Reads a JSON configuration file for --config-file: the whole file as bytes, or false when
// nothing readable exists at the UTF-8 path. Given as a parameter so the walk stays portable.
using ConfigFileReader = bool (*)(const std::string& utf8Path, std::string& contents);

// Walks the arguments (program name excluded, UTF-8) in order into a fresh SandboxConfig.
// Unknown arguments and options short of their values are skipped; the walk stops at --help,
// -h, --version, --grant-toolchain, --revoke-toolchain or the first malformed number. --strict
// anywhere the walk reaches it as an option makes the whole walk strict; a configuration file that
// sets "strict" makes strict the rest of the walk, and the mistakes passed over before it refuse
// the run all the same. A null
// `readFile` means readConfigFile.
CommandLine parseCommandLine(const std::vector<std::string>& args, ConfigFileReader readFile);

// The default file reader: converts the path to the platform's form and reads in binary.
bool readConfigFile(const std::string& utf8Path, std::string& contents);

}  // namespace sandbox
