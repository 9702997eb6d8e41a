#include "app/options.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>
#include <utility>

#include "common/path.h"
#include "config/document.h"

namespace sandbox {
namespace {

// The walk's state handed to each option's handler.
struct Walk {
  CommandLine& result;
  ConfigFileReader readFile;
  const char* optionName;  // the option being applied
};

// Applies one option to the walk, given its values; false ends the walk.
using Handler = bool (*)(Walk& walk, const std::string* values);

struct Option {
  const char* name;
  std::size_t values;
  Handler handler;
};

enum class NumberStatus { Invalid, OutOfRange, Ok };

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

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
  for (; pos < text.size() && isDigit(text[pos]); ++pos) {
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

// Keeps the first mistake, in either mode, and walks on: a strict source later in the invocation
// refuses it all the same.
bool noteMistake(Walk& walk, std::string message) {
  if (walk.result.mistake.empty()) walk.result.mistake = std::move(message);
  return true;
}

bool noteInvalidValue(Walk& walk, const std::string& value) {
  return noteMistake(walk,
                     "Invalid value for option " + std::string(walk.optionName) + ": " + value);
}

template <auto Field>
bool setNumber(Walk& walk, const std::string* values) {
  using Number = std::remove_reference_t<decltype(std::declval<SandboxConfig&>().*Field)>;
  constexpr bool wide = sizeof(Number) == 8;
  std::uint64_t value = 0;
  const std::string& text = values[0];
  const NumberStatus status = parseUnsigned(text, std::numeric_limits<Number>::max(), value);
  if (status != NumberStatus::Ok && !walk.result.config.strict) {
    // The lenient walk ends here, before any strict source further on is read.
    if (status == NumberStatus::Invalid) {
      return numericError(walk, wide ? "invalid stoull argument" : "invalid stoul argument");
    }
    return numericError(walk,
                        wide ? "stoull argument out of range" : "stoul argument out of range");
  }
  // Only decimal digits: a sign, a fraction, a unit or trailing text is a mistake. Lenient mode
  // still takes what strtoull reads of it.
  if (status != NumberStatus::Ok || !std::all_of(text.begin(), text.end(), isDigit)) {
    noteMistake(walk, "Invalid number for option " + std::string(walk.optionName) + ": " + text);
    if (walk.result.config.strict) return true;
  }
  walk.result.config.*Field = static_cast<Number>(value);
  return true;
}

template <std::string SandboxConfig::*Field>
bool setText(Walk& walk, const std::string* values) {
  walk.result.config.*Field = values[0];
  return true;
}

// Any text is a mode to the lenient reading (all but "compile" run); strict mode takes only the
// two profiles' names.
bool setMode(Walk& walk, const std::string* values) {
  if (values[0] != "run" && values[0] != "compile") noteInvalidValue(walk, values[0]);
  walk.result.config.mode = values[0];
  return true;
}

bool setEnvJson(Walk& walk, const std::string* values) {
  if (!isJsonObjectOfTexts(values[0])) noteInvalidValue(walk, values[0]);
  walk.result.config.envJson = values[0];
  return true;
}

template <bool SandboxConfig::*Field, bool Value>
bool setFlag(Walk& walk, const std::string*) {
  walk.result.config.*Field = Value;
  return true;
}

// --help and --version end the walk, unless strict mode has a mistake to report.
template <CommandLine::Action Action>
bool stopFor(Walk& walk, const std::string*) {
  if (walk.result.config.strict && !walk.result.mistake.empty()) return true;
  walk.result.action = Action;
  walk.result.exitStatus = 0;
  return false;
}

// The operator's commands run nothing and end the walk as --version does.
template <CommandLine::Action Action>
bool toolchainCommand(Walk& walk, const std::string* values) {
  if (stopFor<Action>(walk, values)) return true;
  walk.result.toolchainDirectory = values[0];
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

// NAME=VALUE; an entry without a name is passed over when the environment is assembled.
bool appendEnv(Walk& walk, const std::string* values) {
  const std::size_t equals = values[0].find('=');
  if (equals == std::string::npos || equals == 0) noteInvalidValue(walk, values[0]);
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
// A file that cannot be read or is not JSON is passed over, its mistake noted.
bool applyConfigFile(Walk& walk, const std::string* values) {
  std::string contents;
  if (!walk.readFile(values[0], contents)) {
    return noteMistake(walk, "Configuration file could not be read: " + values[0]);
  }
  const std::string fault = applyConfigText(contents, values[0], walk.result.config);
  return fault.empty() || noteMistake(walk, fault);
}

using C = SandboxConfig;

constexpr Option kOptions[] = {
    {"--help", 0, stopFor<CommandLine::Action::PrintUsage>},
    {"-h", 0, stopFor<CommandLine::Action::PrintUsage>},
    {"--pipe", 1, setText<&C::controlPipe>},
    {"--control-pipe", 1, setText<&C::controlPipe>},
    {"--mode", 1, setMode},
    {"--compile", 0, setCompile},
    {"--run", 0, setRun},
    {"--exec", 1, setText<&C::exec>},
    {"--cwd", 1, setText<&C::cwd>},
    {"--stdin", 1, setText<&C::stdinFile>},
    {"--stdin-raw", 1, setText<&C::stdinText>},
    {"--stdin-pipe", 0, setFlag<&C::stdinPipe, true>},
    {"--report-pipe", 1, setText<&C::reportPipe>},
    {"--time", 1, setNumber<&C::timeLimitMs>},
    {"--cpu", 1, setNumber<&C::cpuLimitMs>},
    {"--mem", 1, setNumber<&C::memoryLimitMb>},
    {"--core", 1, setNumber<&C::coreAffinity>},
    {"--max-out", 1, setNumber<&C::maxStdoutBytes>},
    {"--max-err", 1, setNumber<&C::maxStderrBytes>},
    {"--max-file-size", 1, setNumber<&C::maxFileSizeBytes>},
    {"--max-file-count", 1, setNumber<&C::maxFileCount>},
    {"--allow-child", 0, setAllowChild},
    {"--no-allow-child", 0, setNoAllowChild},
    {"--appcontainer", 0, setFlag<&C::appcontainer, true>},
    {"--grant-toolchain", 1, toolchainCommand<CommandLine::Action::GrantToolchain>},
    {"--revoke-toolchain", 1, toolchainCommand<CommandLine::Action::RevokeToolchain>},
    {"--env", 1, appendEnv},
    {"--env-json", 1, setEnvJson},
    {"--env-json-file", 1, setText<&C::envJsonFile>},
    {"--no-inherit-env", 0, setFlag<&C::inheritEnv, false>},
    {"--write-file", 2, appendWriteFile},
    {"--config-file", 1, applyConfigFile},
    {"--report-file", 1, setText<&C::reportFile>},
    {"--stdout-file", 1, setText<&C::stdoutFile>},
    {"--stderr-file", 1, setText<&C::stderrFile>},
    {"--mem-bytes", 1, setNumber<&C::memoryLimitBytes>},
    {"--copy-file", 2, appendCopyFile},
    {"--strict", 0, setFlag<&C::strict, true>},
    {"--version", 0, stopFor<CommandLine::Action::PrintVersion>},
};

const Option* findOption(const std::string& argument) {
  for (const Option& option : kOptions) {
    if (argument == option.name) return &option;
  }
  return nullptr;
}

// The option at args[i] when all its values follow it; null for an unknown argument or an
// option short of its values.
const Option* completeOptionAt(const std::vector<std::string>& args, std::size_t i) {
  const Option* option = findOption(args[i]);
  return option != nullptr && args.size() - i - 1 >= option->values ? option : nullptr;
}

// Whether the walk reaches --strict as an option (not as the value of another one).
bool reachesStrict(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size();) {
    const Option* option = completeOptionAt(args, i);
    if (option != nullptr && std::string_view(option->name) == "--strict") return true;
    i += option != nullptr ? 1 + option->values : 1;
  }
  return false;
}

}  // namespace

std::vector<std::string> optionNames() {
  std::vector<std::string> names;
  for (const Option& option : kOptions) names.emplace_back(option.name);
  return names;
}

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
      "  --config-file <file>    JSON configuration file, applied where it stands\n"
      "  --cwd <path>            Working directory (default: current directory)\n\n"
      "I/O Options:\n"
      "  --stdin <file>          File to pipe into standard input\n"
      "  --stdin-raw <string>    Raw string to pipe into standard input\n"
      "  --stdin-pipe            Forward the sandbox's own standard input (over the two above)\n"
      "  --stdout-file <file>    Also copy standard output into this file\n"
      "  --stderr-file <file>    Also copy standard error into this file\n"
      "  --report-file <file>    Also write the JSON report into this file\n"
      "  --base64                Encode stdout and stderr as Base64 in JSON report\n\n"
      "Resource Limits:\n"
      "  --time <ms>             Wall-clock time limit (default: 3000ms run / 15000ms compile)\n"
      "  --cpu <ms>              CPU time limit (default: 3000ms run / 15000ms compile)\n"
      "  --mem <MB>              Memory limit in MB (default: 1024MB run / 2048MB compile)\n"
      "  --mem-bytes <bytes>     Memory limit in bytes (when not 0, instead of --mem)\n"
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
      "  --control-pipe <name>   The same as --pipe\n"
      "  --report-pipe <name>    Dedicated Named pipe to send execution metrics JSON\n"
      "  --write-file <rel> <content> Pre-write file in working directory\n"
      "  --copy-file <rel> <src> Pre-copy file into working directory\n"
      "  --allow-child           Allow process to create child processes\n"
      "  --no-allow-child        Disallow child processes\n"
      "  --appcontainer          Enable AppContainer network/fs isolation\n"
      "  --grant-toolchain <dir> Let confined runs read and run a toolchain folder; runs nothing\n"
      "  --revoke-toolchain <dir> Take that access away again; runs nothing\n"
      "  --strict                Refuse unknown options, malformed values and unreadable files\n"
      "  --version               Print the version and exit\n"
      "  --help                  Show this help message\n\n"
      "Note: Standard Output (stdout) and Standard Error (stderr) are transparently\n"
      "streamed in real time from the target process. When --pipe is specified, the\n"
      "configuration document read from the pipe is laid over the options, and the metrics\n"
      "report is returned on the same pipe.\n";
  return text;
}

CommandLine parseCommandLine(const std::vector<std::string>& args, ConfigFileReader readFile) {
  CommandLine result;
  if (args.empty()) {
    result.action = CommandLine::Action::PrintUsage;
    result.exitStatus = 1;
    return result;
  }
  Walk walk{result, readFile != nullptr ? readFile : readConfigFile, ""};
  result.config.strict = reachesStrict(args);
  std::size_t i = 0;
  while (i < args.size()) {
    const Option* option = completeOptionAt(args, i);
    // Unknown arguments, and options short of their values, are passed over one at a time.
    if (option == nullptr) {
      noteMistake(walk, (findOption(args[i]) != nullptr ? "Missing value for option: "
                                                        : "Unknown option: ") +
                            args[i]);
      ++i;
      continue;
    }
    walk.optionName = option->name;
    if (!option->handler(walk, args.data() + i + 1)) break;
    i += 1 + option->values;
  }
  return result;
}

bool readConfigFile(const std::string& utf8Path, std::string& contents) {
  return readWholeFile(pathFromUtf8(utf8Path), contents);
}

}  // namespace sandbox
