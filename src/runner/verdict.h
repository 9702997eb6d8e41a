// Classification of a finished run into its verdict word and message.
#pragma once

#include <cstdint>
#include <string>

#include "report/report.h"

namespace sandbox {

// Exit codes with which the sandbox terminates a job.
inline constexpr std::uint32_t kExitTimeLimit = 1001;
inline constexpr std::uint32_t kExitOutputLimit = 1002;
inline constexpr std::uint32_t kExitMemoryLimit = 1003;
inline constexpr std::uint32_t kStatusQuotaExceeded = 0xC0000044;
inline constexpr std::uint32_t kStatusNoMemory = 0xC0000017;

// The facts of a finished run that decide its verdict.
struct RunOutcome {
  bool timedOut = false;
  bool memoryHit = false;
  bool memoryLimitRefused = false;  // the job refused an allocation beyond its memory limit
  std::uint32_t exitCode = 0;
  std::uint64_t effectiveMemoryLimit = 0;
  std::uint64_t peakMemoryBytes = 0;
  bool outputLimitHit = false;
  bool stdoutTruncated = false;
  bool stderrTruncated = false;
  bool fileLimitExceeded = false;
  std::string fileLimitMessage;
  std::string mode;
};

// Sets the report's status and message; changes no other field.
void classifyVerdict(const RunOutcome& outcome, ExecutionReport& report);

}  // namespace sandbox
