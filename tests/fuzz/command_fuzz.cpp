// Resolving the command text with a file probe that answers from the input. Input: byte 0 holds
// the answers (bit 0: the path exists, bit 1: it is a directory; bits 2-3 for the second probe),
// byte 1 the length of the working directory, then the working directory and the command text.
#include <algorithm>

#include "common/text.h"
#include "fuzz.h"
#include "isolation/launch.h"

using namespace sandbox;

void fuzzOne(const std::string& input) {
  if (input.size() < 2) return;
  const std::size_t wdSize =
      std::min<std::size_t>(static_cast<unsigned char>(input[1]), input.size() - 2);
  const std::string exec = input.substr(2 + wdSize);
  unsigned answers = static_cast<unsigned char>(input[0]);
  const std::u16string line =
      buildCommandLine(exec, utf8ToUtf16(input.substr(2, wdSize)), [&](const std::u16string& path) {
        const FileFacts facts{(answers & 1) != 0 && path.find(u'"') == path.npos,  // as on Windows
                              (answers & 2) != 0};
        answers >>= 2;
        return facts;
      });
  // Whatever the program resolves to, the rest of the command text follows it unchanged.
  FUZZ_CHECK(line.ends_with(splitCommand(utf8ToUtf16(exec)).tail));
}
