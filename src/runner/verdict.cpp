#include "runner/verdict.h"

#include <string>
#include <utility>

namespace sandbox {
namespace {

constexpr double kMemoryHeuristicFactor = 0.88;

bool isCompileMode(const std::string& mode) { return mode == "compile"; }

// Memory exhaustion as the exit status shows it: the job's quota, an allocator giving up, or
// the code the sandbox stops a job with for memory.
bool exitSaysOutOfMemory(std::uint32_t exitCode) {
  return exitCode == kStatusQuotaExceeded || exitCode == kStatusNoMemory ||
         exitCode == kExitMemoryLimit;
}

// A failed command close to its limit most likely died of an allocation failure that it
// reported in its own way. The threshold is computed in double and truncated on purpose.
bool nearMemoryLimitAndFailed(const RunOutcome& outcome) {
  if (outcome.effectiveMemoryLimit == 0 || outcome.exitCode == 0) return false;
  const auto threshold = static_cast<std::uint64_t>(
      static_cast<double>(outcome.effectiveMemoryLimit) * kMemoryHeuristicFactor);
  return outcome.peakMemoryBytes >= threshold;
}

// A command whose allocation the job refused never reaches the limit; one that then failed (a
// bad_alloc ending in abort, a MemoryError) failed for memory. One that coped and exited 0 did not.
bool refusedAndFailed(const RunOutcome& outcome) {
  return outcome.memoryLimitRefused && outcome.exitCode != 0;
}

bool outputOverrun(const RunOutcome& outcome) {
  return outcome.outputLimitHit || outcome.stdoutTruncated || outcome.stderrTruncated ||
         outcome.exitCode == kExitOutputLimit;
}

void setVerdict(ExecutionReport& report, const char* status, std::string message) {
  report.status = status;
  report.message = std::move(message);
}

}  // namespace

void classifyVerdict(const RunOutcome& outcome, ExecutionReport& report) {
  const std::string signedExit = std::to_string(static_cast<std::int32_t>(outcome.exitCode));
  if (outcome.timedOut) {
    setVerdict(report, "TimeLimitExceeded",
               "Process exceeded maximum CPU or Wall-clock time limit.");
  } else if (outcome.memoryHit || exitSaysOutOfMemory(outcome.exitCode) ||
             nearMemoryLimitAndFailed(outcome) || refusedAndFailed(outcome)) {
    setVerdict(report, "MemoryLimitExceeded", "Process exceeded memory allocation limit.");
  } else if (outputOverrun(outcome)) {
    setVerdict(report, "OutputLimitExceeded",
               "Process stdout or stderr exceeded maximum size limit.");
  } else if (outcome.fileLimitExceeded) {
    setVerdict(report, "FileLimitExceeded", outcome.fileLimitMessage);
  } else if (outcome.exitCode == 0) {
    setVerdict(report, "Accepted",
               isCompileMode(outcome.mode) ? "Compilation completed successfully."
                                           : "Execution completed successfully within limits.");
  } else if (isCompileMode(outcome.mode)) {
    setVerdict(report, "CompileError", "Compilation failed with exit code: " + signedExit);
  } else {
    setVerdict(report, "RuntimeError", "Process exited with non-zero exit code: " + signedExit);
  }
}

}  // namespace sandbox
