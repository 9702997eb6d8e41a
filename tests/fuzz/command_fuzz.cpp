// Resolving the command text. Input: byte 0 the probe's answers (2 bits each: exists, directory),
// byte 1 the working directory's length, then the working directory and the command text.
#include "common/text.h"
#include "fuzz.h"
#include "isolation/launch.h"

void fuzzOne(const std::string& input) {
  if (input.size() < 2) return;
  const std::string wd = input.substr(2, static_cast<unsigned char>(input[1]));
  const std::string exec = input.substr(2 + wd.size());
  unsigned answers = static_cast<unsigned char>(input[0]);
  const auto probe = [&](const std::u16string& path) {  // no '"' in a Windows file name
    const unsigned bits = std::exchange(answers, answers >> 2);
    return FileFacts{(bits & 1) != 0 && path.find(u'"') == path.npos, (bits & 2) != 0};
  };
  const std::u16string line = buildCommandLine(exec, utf8ToUtf16(wd), probe);
  // The rest of the command text follows the program unchanged.
  FUZZ_CHECK(line.ends_with(splitCommand(utf8ToUtf16(exec)).tail));
}
