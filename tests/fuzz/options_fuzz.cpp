// The command-line walk: the input split at NUL bytes into arguments, --config-file served from
// memory, and the numeric options against the C library's strtoull.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/options.h"
#include "fuzz_check.h"

namespace {

using sandbox::CommandLine;

// Every path names the same small document, so no file is touched.
bool serveDocument(const std::string&, std::string& contents) {
  contents =
      "{\"mode\":\"compile\",\"timeLimitMs\":1500.9,\"coreAffinity\":-1,\"env\":{\"B\":\"2\","
      "\"A\":1},\"writeFiles\":{\"f.txt\":\"x\"},\"allowChildProcess\":\"yes\"}";
  return true;
}

std::vector<std::string> splitAtNul(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  if (size == 0) return args;
  args.emplace_back();
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }
  return args;
}

bool contains(const std::vector<std::string>& args, const char* word) {
  for (const std::string& arg : args) {
    if (arg == word) return true;
  }
  return false;
}

void checkWalk(const std::vector<std::string>& args) {
  const CommandLine result = sandbox::parseCommandLine(args, serveDocument);
  const CommandLine again = sandbox::parseCommandLine(args, serveDocument);
  FUZZ_CHECK(result.action == again.action && result.config == again.config);
  switch (result.action) {
    case CommandLine::Action::PrintUsage:
      FUZZ_CHECK(result.exitStatus == (args.empty() ? 1 : 0));
      FUZZ_CHECK(args.empty() || contains(args, "--help") || contains(args, "-h"));
      break;
    case CommandLine::Action::NumericError:
      FUZZ_CHECK(result.errorText == "invalid stoull argument" ||
                 result.errorText == "stoull argument out of range" ||
                 result.errorText == "invalid stoul argument" ||
                 result.errorText == "stoul argument out of range");
      break;
    case CommandLine::Action::Run:
      FUZZ_CHECK(!args.empty() && result.errorText.empty());
      // Text values are stored as given: each came from an argument or the served document.
      FUZZ_CHECK(result.config.exec.empty() || contains(args, result.config.exec.c_str()));
      for (const std::string& entry : result.config.env) {
        FUZZ_CHECK(contains(args, entry.c_str()) || entry == "A=" || entry == "B=2");
      }
      break;
  }
}

// What strtoull (64-bit fields) or a 32-bit strtoul (Windows' unsigned long) reads from `text`,
// as the walk must store it or reject it.
struct Expected {
  bool valid = false;
  bool inRange = false;
  std::uint64_t value = 0;
};

Expected expectedNumber(const std::string& text, bool wide) {
  Expected expected;
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) {
    ++pos;
  }
  const bool negative = pos < text.size() && text[pos] == '-';
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) ++pos;
  expected.valid = pos < text.size() && text[pos] >= '0' && text[pos] <= '9';
  errno = 0;
  const unsigned long long read = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return expected;
  const std::uint64_t magnitude = negative ? 0 - read : read;
  if (!wide && magnitude > UINT32_MAX) return expected;
  expected.inRange = true;
  expected.value = wide ? read : (negative ? (0 - magnitude) & UINT32_MAX : magnitude);
  return expected;
}

void checkNumber(const std::string& text) {
  if (text.find('\0') != std::string::npos) return;
  for (const bool wide : {true, false}) {
    const CommandLine result =
        sandbox::parseCommandLine({wide ? "--time" : "--core", text}, serveDocument);
    const Expected expected = expectedNumber(text, wide);
    if (!expected.valid) {
      FUZZ_CHECK(result.action == CommandLine::Action::NumericError);
      FUZZ_CHECK(result.errorText == (wide ? "invalid stoull argument" : "invalid stoul argument"));
    } else if (!expected.inRange) {
      FUZZ_CHECK(result.action == CommandLine::Action::NumericError);
      FUZZ_CHECK(result.errorText ==
                 (wide ? "stoull argument out of range" : "stoul argument out of range"));
    } else {
      FUZZ_CHECK(result.action == CommandLine::Action::Run);
      FUZZ_CHECK((wide ? result.config.timeLimitMs : result.config.coreAffinity) == expected.value);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> args = splitAtNul(data, size);
  checkWalk(args);
  if (!args.empty()) checkNumber(args.back());
  return 0;
}
