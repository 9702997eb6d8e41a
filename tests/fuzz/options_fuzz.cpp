// The command-line walk: the input split at NUL bytes into arguments, --config-file served from
// memory, and the last argument read as a number against the C library's strtoull.
#include <algorithm>
#include <cerrno>
#include <vector>

#include "app/options.h"
#include "fuzz.h"

using namespace sandbox;
using Action = CommandLine::Action;

// Every path names the same small document, so no file is touched.
bool serveDocument(const std::string&, std::string& contents) {
  contents = R"({"mode":"compile","timeLimitMs":1500.9,"coreAffinity":-1,"env":{"B":"2","A":1}})";
  return true;
}

// The walk reads a number as strtoull (64 bits) or Windows' 32-bit strtoul reads it.
void checkNumber(const std::string& text, bool wide) {
  const CommandLine result = parseCommandLine({wide ? "--time" : "--core", text}, serveDocument);
  const std::size_t start = text.find_first_not_of(" \t\n\v\f\r");
  const std::size_t digits =
      start == std::string::npos ? start : start + (text[start] == '-' || text[start] == '+');
  const bool valid = digits < text.size() && text[digits] >= '0' && text[digits] <= '9';
  errno = 0;
  const unsigned long long read = std::strtoull(text.c_str(), nullptr, 10);
  const bool negative = start != std::string::npos && text[start] == '-';
  const unsigned long long magnitude = negative ? 0 - read : read;
  const bool inRange = errno != ERANGE && (wide || magnitude <= UINT32_MAX);
  const char* kind = wide ? "stoull" : "stoul";
  if (!valid || !inRange) {
    FUZZ_CHECK(result.action == Action::NumericError);
    FUZZ_CHECK(result.errorText == (valid ? std::string(kind) + " argument out of range"
                                          : std::string("invalid ") + kind + " argument"));
  } else {
    FUZZ_CHECK(result.action == Action::Run);
    FUZZ_CHECK(wide ? result.config.timeLimitMs == read
                    : result.config.coreAffinity == static_cast<std::uint32_t>(read));
  }
}

void fuzzOne(const std::string& input) {
  std::vector<std::string> args;
  if (!input.empty()) {
    std::size_t begin = 0;
    for (std::size_t end; (end = input.find('\0', begin)) != std::string::npos; begin = end + 1) {
      args.push_back(input.substr(begin, end - begin));
    }
    args.push_back(input.substr(begin));
  }
  const CommandLine result = parseCommandLine(args, serveDocument);
  const auto given = [&args](const std::string& word) {
    return std::find(args.begin(), args.end(), word) != args.end();
  };
  if (result.action == Action::PrintUsage) {
    FUZZ_CHECK(result.exitStatus == (args.empty() ? 1 : 0));
    FUZZ_CHECK(args.empty() || given("--help") || given("-h"));
  } else if (result.action == Action::NumericError) {
    FUZZ_CHECK(!result.errorText.empty());
  } else {
    FUZZ_CHECK(!args.empty() && result.errorText.empty());
  }
  if (!args.empty()) {
    checkNumber(args.back(), true);
    checkNumber(args.back(), false);
  }
}
