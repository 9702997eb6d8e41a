// The command-line walk over the input split at NUL bytes; every --config-file is one document.
#include "app/options.h"
#include "fuzz.h"

bool serveDocument(const std::string&, std::string& contents) {
  contents = R"({"mode":"compile","timeLimitMs":1500.9,"coreAffinity":-1,"env":{"B":"2","A":1}})";
  return true;
}

void fuzzOne(const std::string& input) {
  std::vector<std::string> args;
  for (std::size_t begin = 0, end = 0; !input.empty() && end != input.npos; begin = end + 1) {
    end = input.find('\0', begin);
    args.push_back(input.substr(begin, end - begin));
  }
  const CommandLine result = parseCommandLine(args, serveDocument);
  // Only a bad number stops the walk with a message.
  FUZZ_CHECK(result.errorText.empty() == (result.action != CommandLine::Action::NumericError));
}
