// Splitting and resolving the command text, with a file probe that answers from the input.
// Input: byte 0 holds the probe's answers (bit 0: the program exists, bit 1: it is a directory;
// bits 2 and 3: the same with ".exe" appended), byte 1 the length of the working directory,
// then the working directory and the command text, both UTF-8.
#include <algorithm>
#include <vector>

#include "common/text.h"
#include "fuzz.h"
#include "isolation/launch.h"
#include "isolation/winpath.h"

using namespace sandbox;
constexpr auto npos = std::u16string::npos;

void fuzzOne(const std::string& input) {
  if (input.size() < 2) return;
  const std::size_t wdSize =
      std::min<std::size_t>(static_cast<unsigned char>(input[1]), input.size() - 2);
  const std::u16string wd = utf8ToUtf16(input.substr(2, wdSize));
  const std::string exec = input.substr(2 + wdSize);
  const std::u16string full = utf8ToUtf16(exec);
  const CommandSplit split = splitCommand(full);
  // The split loses nothing but the quotes around a quoted program.
  if (!full.empty() && full[0] == u'"') {
    const bool closed = full.find(u'"', 1) != npos;
    FUZZ_CHECK(split.program.find(u'"') == npos);
    FUZZ_CHECK(u"\"" + split.program + (closed ? u"\"" : u"") + split.tail == full);
  } else {
    FUZZ_CHECK(split.program + split.tail == full && split.program.find_first_of(u" \t") == npos);
    FUZZ_CHECK(split.tail.empty() || split.tail[0] == u' ' || split.tail[0] == u'\t');
  }
  // Normal forms use backslashes only; a rooted one is its own normal form. (Folding "x\.."
  // can bring a drive-like "t:." to the front of a relative path, as on Windows.)
  for (const std::u16string& path : {wd, split.program}) {
    const std::u16string normal = winpath::lexicallyNormal(path);
    FUZZ_CHECK(normal.find(u'/') == npos && normal.empty() == path.empty());
    if (winpath::isAbsolute(path)) FUZZ_CHECK(winpath::lexicallyNormal(normal) == normal);
  }
  // A name with a double quote cannot exist on Windows, whatever the input says.
  std::vector<std::u16string> asked;
  std::vector<FileFacts> answers;
  const std::u16string line = buildCommandLine(exec, wd, [&](const std::u16string& path) {
    const unsigned bits = static_cast<unsigned char>(input[0]) >> (2 * asked.size());
    asked.push_back(path);
    answers.push_back({(bits & 1) != 0 && path.find(u'"') == npos, (bits & 2) != 0});
    return answers.back();
  });
  // The program in the working directory, then with ".exe" when missing and without extension.
  FUZZ_CHECK(!asked.empty() && asked[0] == winpath::join(wd, split.program));
  const bool exeTried = !answers[0].exists && !winpath::hasExtension(asked[0]);
  FUZZ_CHECK(asked.size() == (exeTried ? 2u : 1u) && (!exeTried || asked[1] == asked[0] + u".exe"));
  const std::size_t chosen = exeTried && answers[1].exists ? 1 : 0;
  if (!answers[chosen].exists || answers[chosen].isDirectory) {
    FUZZ_CHECK(line == full);
    return;
  }
  // Windows reads the program up to the next double quote: it must be the whole normal path.
  const std::u16string normal = winpath::lexicallyNormal(asked[chosen]);
  FUZZ_CHECK(line == u"\"" + normal + u"\"" + split.tail &&
             line.find(u'"', 1) == normal.size() + 1);
}
