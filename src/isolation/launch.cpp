#include "isolation/launch.h"

#include "common/text.h"
#include "isolation/winpath.h"

namespace sandbox {

CommandSplit splitCommand(const std::u16string& full) {
  if (!full.empty() && full.front() == u'"') {
    const std::size_t close = full.find(u'"', 1);
    if (close == std::u16string::npos) return {full.substr(1), {}};
    return {full.substr(1, close - 1), full.substr(close + 1)};
  }
  const std::size_t separator = full.find_first_of(u" \t");
  if (separator == std::u16string::npos) return {full, {}};
  return {full.substr(0, separator), full.substr(separator)};
}

std::u16string buildCommandLine(const std::string& exec, const std::u16string& workingDirectory,
                                const FileProbeFn& probe) {
  const std::u16string full = utf8ToUtf16(exec);
  const CommandSplit split = splitCommand(full);
  std::u16string candidate = winpath::join(workingDirectory, split.program);
  FileFacts facts = probe(candidate);
  if (!facts.exists && !winpath::hasExtension(candidate)) {
    std::u16string withExe = candidate + u".exe";
    const FileFacts exeFacts = probe(withExe);
    if (exeFacts.exists) {
      candidate = std::move(withExe);
      facts = exeFacts;
    }
  }
  if (!facts.exists || facts.isDirectory) return full;
  std::u16string line = u"\"";
  line.append(winpath::lexicallyNormal(candidate)).append(u"\"").append(split.tail);
  return line;
}

bool isRetryableCreateError(std::uint32_t error) {
  return error == kErrorSharingViolation || error == kErrorAccessDenied;
}

CreateAttempts runCreateAttempts(const CreateAttemptFn& attempt, const PauseFn& pause) {
  CreateAttempts outcome;
  while (outcome.attempts < kCreateAttempts) {
    ++outcome.attempts;
    std::uint32_t error = 0;
    if (attempt(error)) {
      outcome.created = true;
      outcome.error = 0;
      return outcome;
    }
    outcome.error = error;
    if (!isRetryableCreateError(error)) return outcome;
    pause(kCreateRetryPauseMs);
  }
  return outcome;
}

}  // namespace sandbox
