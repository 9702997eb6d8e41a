#include "app/options.h"

#include <cstddef>
#include <cstdint>

#include "common/path.h"
#include "config/document.h"
#include "config/json.h"

namespace sandbox {
namespace {

// The walk's state handed to each option's handler.
struct Walk {
  CommandLine& result;
  ConfigFileReader readFile;
};

// Applies one option to the walk, given its values; false ends the walk.
using Handler = bool (*)(Walk& walk, const std::string* values);

struct Option {
  const char* name;
  std::size_t values;
  Handler handler;
};

enum class NumberStatus { Ok, Invalid, OutOfRange };

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads a base-10 number as strtoull/strtoul do: leading white space, an optional sign,
// digits up to the first other byte (the rest ignored). A magnitude above `max` is out of
// range whatever the sign; a minus sign negates modulo max + 1 (max is 2^n - 1).
NumberStatus parseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& value) {
  std::size_t pos = 0;
  while (pos < text.size() && isSpace(text[pos])) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  const std::size_t digitsBegin = pos;
  std::uint64_t magnitude = 0;
  bool overflow = false;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    const auto digit = static_cast<std::uint64_t>(text[pos] - '0');
    if (magnitude > (max - digit) / 10) overflow = true;
    if (!overflow) magnitude = magnitude * 10 + digit;
  }
  if (pos == digitsBegin) return NumberStatus::Invalid;
  if (overflow) return NumberStatus::OutOfRange;
  value = negative ? (0 - magnitude) & max : magnitude;
  return NumberStatus::Ok;
}

bool numericError(Walk& walk, const char* text) {
  walk.result.action = CommandLine::Action::NumericError;
  walk.result.errorText = text;
  return false;
}

template <std::uint64_t SandboxConfig::*Field>
bool setUint64(Walk& walk, const std::string* values) {
  std::uint64_t value = 0;
  switch (parseUnsigned(values[0], UINT64_MAX, value)) {
    case NumberStatus::Invalid:
      return numericError(walk, "invalid stoull argument");
    case NumberStatus::OutOfRange:
      return numericError(walk, "stoull argument out of range");
    case NumberStatus::Ok:
      break;
  }
  walk.result.config.*Field = value;
  return true;
}

template <std::uint32_t SandboxConfig::*Field>
bool setUint32(Walk& walk, const std::string* values) {
  std::uint64_t value = 0;
  switch (parseUnsigned(values[0], UINT32_MAX, value)) {
    case NumberStatus::Invalid:
      return numericError(walk, "invalid stoul argument");
    case NumberStatus::OutOfRange:
      return numericError(walk, "stoul argument out of range");
    case NumberStatus::Ok:
      break;
  }
  walk.result.config.*Field = static_cast<std::uint32_t>(value);
  return true;
}

template <std::string SandboxConfig::*Field>
bool setText(Walk& walk, const std::string* values) {
  walk.result.config.*Field = values[0];
  return true;
}

template <bool SandboxConfig::*Field, bool Value>
bool setFlag(Walk& walk, const std::string*) {
  walk.result.config.*Field = Value;
  return true;
}

bool printHelp(Walk& walk, const std::string*) {
  walk.result.action = CommandLine::Action::PrintUsage;
  walk.result.exitStatus = 0;
  return false;
}

bool setCompile(Walk& walk, const std::string*) {
  walk.result.config.mode = "compile";
  return true;
}

bool setRun(Walk& walk, const std::string*) {
  walk.result.config.mode = "run";
  return true;
}

bool setAllowChild(Walk& walk, const std::string*) {
  walk.result.config.allowChildProcess = true;
  walk.result.config.allowChildProcessSet = true;
  return true;
}

bool setNoAllowChild(Walk& walk, const std::string*) {
  walk.result.config.allowChildProcess = false;
  walk.result.config.allowChildProcessSet = true;
  return true;
}

bool appendEnv(Walk& walk, const std::string* values) {
  walk.result.config.env.push_back(values[0]);
  return true;
}

bool appendWriteFile(Walk& walk, const std::string* values) {
  walk.result.config.writeFiles.emplace_back(values[0], values[1]);
  return true;
}

bool appendCopyFile(Walk& walk, const std::string* values) {
  walk.result.config.copyFiles.emplace_back(values[0], values[1]);
  return true;
}

// The file is laid over the configuration here, between the options before and after it.
// A file that cannot be read or is not JSON is passed over without a word.
bool applyConfigFile(Walk& walk, const std::string* values) {
  std::string contents;
  if (!walk.readFile(values[0], contents)) return true;
  JsonValue document;
  if (parseJson(contents, document)) applyConfigDocument(document, walk.result.config);
  return true;
}

using C = SandboxConfig;

constexpr Option kOptions[] = {
    {"--help", 0, printHelp},
    {"-h", 0, printHelp},
    {"--pipe", 1, setText<&C::controlPipe>},
    {"--control-pipe", 1, setText<&C::controlPipe>},
    {"--mode", 1, setText<&C::mode>},
    {"--compile", 0, setCompile},
    {"--run", 0, setRun},
    {"--exec", 1, setText<&C::exec>},
    {"--cwd", 1, setText<&C::cwd>},
    {"--stdin", 1, setText<&C::stdinFile>},
    {"--stdin-raw", 1, setText<&C::stdinText>},
    {"--stdin-pipe", 0, setFlag<&C::stdinPipe, true>},
    {"--report-pipe", 1, setText<&C::reportPipe>},
    {"--time", 1, setUint64<&C::timeLimitMs>},
    {"--cpu", 1, setUint64<&C::cpuLimitMs>},
    {"--mem", 1, setUint64<&C::memoryLimitMb>},
    {"--core", 1, setUint32<&C::coreAffinity>},
    {"--max-out", 1, setUint64<&C::maxStdoutBytes>},
    {"--max-err", 1, setUint64<&C::maxStderrBytes>},
    {"--max-file-size", 1, setUint64<&C::maxFileSizeBytes>},
    {"--max-file-count", 1, setUint32<&C::maxFileCount>},
    {"--allow-child", 0, setAllowChild},
    {"--no-allow-child", 0, setNoAllowChild},
    {"--appcontainer", 0, setFlag<&C::appcontainer, true>},
    {"--env", 1, appendEnv},
    {"--env-json", 1, setText<&C::envJson>},
    {"--env-json-file", 1, setText<&C::envJsonFile>},
    {"--no-inherit-env", 0, setFlag<&C::inheritEnv, false>},
    {"--write-file", 2, appendWriteFile},
    {"--config-file", 1, applyConfigFile},
    {"--report-file", 1, setText<&C::reportFile>},
    {"--stdout-file", 1, setText<&C::stdoutFile>},
    {"--stderr-file", 1, setText<&C::stderrFile>},
    {"--mem-bytes", 1, setUint64<&C::memoryLimitBytes>},
    {"--copy-file", 2, appendCopyFile},
};

const Option* findOption(const std::string& argument) {
  for (const Option& option : kOptions) {
    if (argument == option.name) return &option;
  }
  return nullptr;
}

}  // namespace

const std::string& usageText() {
  static const std::string text =
      "Tessel Sandbox (Windows C++)\n"
      "Usage: sandbox.exe --exec <command> [options]\n\n"
      "Core Options:\n"
      "  --mode <compile|run>    Sandbox profile mode (default: run)\n"
      "  --compile               Shortcut for --mode compile\n"
      "  --run                   Shortcut for --mode run\n"
      "  --exec <cmd>            Executable command to run (e.g. \"main.exe\", \"cl.exe ...\", "
      "\"python.exe ...\")\n"
      "  --cwd <path>            Working directory (default: current directory)\n\n"
      "I/O Options:\n"
      "  --stdin <file>          File to pipe into standard input\n"
      "  --stdin-raw <string>    Raw string to pipe into standard input\n"
      "  --base64                Encode stdout and stderr as Base64 in JSON report\n\n"
      "Resource Limits:\n"
      "  --time <ms>             Wall-clock time limit (default: 3000ms run / 15000ms compile)\n"
      "  --cpu <ms>              CPU time limit (default: 3000ms run / 15000ms compile)\n"
      "  --mem <MB>              Memory limit in MB (default: 1024MB run / 2048MB compile)\n"
      "  --core <index>          CPU core affinity index (default: 0)\n"
      "  --max-out <bytes>       Max stdout bytes (default: 128KB run / 1MB compile)\n"
      "  --max-err <bytes>       Max stderr bytes (default: 128KB run / 1MB compile)\n"
      "  --max-file-size <bytes> Max single file size (default: 128KB run / 50MB compile)\n"
      "  --max-file-count <num>  Max newly created files (default: 32 run / 128 compile)\n\n"
      "Environment & Security:\n"
      "  --env <KEY=VAL>         Set an environment variable (repeatable)\n"
      "  --env-json <json>       JSON dictionary of environment variables\n"
      "  --env-json-file <file>  JSON file of environment variables (from relaykit.js)\n"
      "  --no-inherit-env        Do not inherit parent process environment\n"
      "  --pipe <name>           Bidirectional Named Pipe control channel (config IN, report "
      "OUT)\n"
      "  --report-pipe <name>    Dedicated Named pipe to send execution metrics JSON\n"
      "  --write-file <rel> <content> Pre-write file in working directory\n"
      "  --copy-file <rel> <src> Pre-copy file into working directory\n"
      "  --allow-child           Allow process to create child processes\n"
      "  --no-allow-child        Disallow child processes\n"
      "  --appcontainer          Enable AppContainer network/fs isolation\n"
      "  --help                  Show this help message\n\n"
      "Note: Standard Output (stdout) and Standard Error (stderr) are transparently\n"
      "streamed in real time from the target process. When --pipe is specified, all\n"
      "configuration is read from the pipe and the metrics report is returned on the same "
      "pipe.\n";
  return text;
}

CommandLine parseCommandLine(const std::vector<std::string>& args, ConfigFileReader readFile) {
  CommandLine result;
  if (args.empty()) {
    result.action = CommandLine::Action::PrintUsage;
    result.exitStatus = 1;
    return result;
  }
  Walk walk{result, readFile != nullptr ? readFile : readConfigFile};
  std::size_t i = 0;
  while (i < args.size()) {
    const Option* option = findOption(args[i]);
    // Unknown arguments, and options short of their values, are passed over one at a time.
    if (option == nullptr || args.size() - i - 1 < option->values) {
      ++i;
      continue;
    }
    if (!option->handler(walk, args.data() + i + 1)) break;
    i += 1 + option->values;
  }
  return result;
}

bool readConfigFile(const std::string& utf8Path, std::string& contents) {
  return readWholeFile(pathFromUtf8(utf8Path), contents);
}

}  // namespace sandbox
