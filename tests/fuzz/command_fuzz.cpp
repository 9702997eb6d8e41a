// Splitting and resolving the command text, with a file probe that answers from the input.
//
// Input layout: byte 0 holds the probe's answers (bit 0: the program exists, bit 1: it is a
// directory; bits 2 and 3: the same for the program with ".exe" appended), byte 1 the length
// of the working directory, then the working directory and the command text, both UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/text.h"
#include "fuzz_check.h"
#include "isolation/launch.h"
#include "isolation/winpath.h"

namespace {

using sandbox::CommandSplit;
using sandbox::FileFacts;

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }

void checkSplit(const std::u16string& full, const CommandSplit& split) {
  if (!full.empty() && full.front() == u'"') {
    FUZZ_CHECK(split.program.find(u'"') == std::u16string::npos);
    const bool closed = full.find(u'"', 1) != std::u16string::npos;
    FUZZ_CHECK(closed || split.tail.empty());
    FUZZ_CHECK(u"\"" + split.program + (closed ? u"\"" : u"") + split.tail == full);
    return;
  }
  FUZZ_CHECK(split.program + split.tail == full);
  for (const char16_t c : split.program) FUZZ_CHECK(!isBlank(c));
  FUZZ_CHECK(split.tail.empty() || isBlank(split.tail.front()));
}

void checkNormal(const std::u16string& path) {
  const std::u16string normal = sandbox::winpath::lexicallyNormal(path);
  FUZZ_CHECK(normal.find(u'/') == std::u16string::npos);
  FUZZ_CHECK(normal.empty() == path.empty());
  // Only a rooted path is sure to be its own normal form: folding "x\.." can bring a component
  // such as "t:." to the front of a relative one, which then reads as a drive, as it does for
  // std::filesystem on Windows. The working directory is always absolute.
  if (sandbox::winpath::isAbsolute(path)) {
    FUZZ_CHECK(sandbox::winpath::lexicallyNormal(normal) == normal);
  }
}

struct Probe {
  FileFacts answers[2];
  std::vector<std::u16string> asked;

  // A name with a double quote cannot exist on Windows, whatever the input says.
  FileFacts operator()(const std::u16string& path) {
    asked.push_back(path);
    FUZZ_CHECK(asked.size() <= 2);
    if (path.find(u'"') != std::u16string::npos) return {};
    return answers[asked.size() - 1];
  }
};

void checkCommandLine(const std::string& exec, const std::u16string& workingDirectory,
                      std::uint8_t answers) {
  Probe probe;
  probe.answers[0] = {(answers & 1) != 0, (answers & 2) != 0};
  probe.answers[1] = {(answers & 4) != 0, (answers & 8) != 0};
  const std::u16string line = sandbox::buildCommandLine(
      exec, workingDirectory, [&probe](const std::u16string& path) { return probe(path); });

  const std::u16string full = sandbox::utf8ToUtf16(exec);
  const CommandSplit split = sandbox::splitCommand(full);
  FUZZ_CHECK(!probe.asked.empty());
  const std::u16string& candidate = probe.asked[0];
  FUZZ_CHECK(candidate == sandbox::winpath::join(workingDirectory, split.program));
  const FileFacts first =
      candidate.find(u'"') == std::u16string::npos ? probe.answers[0] : FileFacts{};
  // The ".exe" form is tried exactly when the program as written is missing and has no extension.
  FUZZ_CHECK((probe.asked.size() == 2) ==
             (!first.exists && !sandbox::winpath::hasExtension(candidate)));
  std::u16string chosen = candidate;
  FileFacts facts = first;
  if (probe.asked.size() == 2) {
    FUZZ_CHECK(probe.asked[1] == candidate + u".exe");
    if (probe.answers[1].exists && probe.asked[1].find(u'"') == std::u16string::npos) {
      chosen = probe.asked[1];
      facts = probe.answers[1];
    }
  }
  if (!facts.exists || facts.isDirectory) {
    FUZZ_CHECK(line == full);
    return;
  }
  // Windows reads the program up to the next double quote: it must be the whole normal path.
  const std::u16string normal = sandbox::winpath::lexicallyNormal(chosen);
  FUZZ_CHECK(line == u"\"" + normal + u"\"" + split.tail);
  FUZZ_CHECK(line.find(u'"', 1) == normal.size() + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t rest = size - 2;
  const std::size_t wdSize = data[1] < rest ? data[1] : rest;
  const char* text = reinterpret_cast<const char*>(data) + 2;
  const std::u16string workingDirectory = sandbox::utf8ToUtf16(std::string(text, wdSize));
  const std::string exec(text + wdSize, rest - wdSize);

  const std::u16string full = sandbox::utf8ToUtf16(exec);
  const CommandSplit split = sandbox::splitCommand(full);
  checkSplit(full, split);
  checkNormal(workingDirectory);
  checkNormal(split.program);
  checkCommandLine(exec, workingDirectory, data[0]);
  return 0;
}
