#include "runner/supervision.h"

#include "runner/verdict.h"

namespace sandbox {

SupervisionAction decideSupervision(const SupervisionLimits& limits, std::uint64_t elapsedMs,
                                    std::uint64_t cpuTimeMs, std::uint64_t peakMemoryBytes) {
  if (limits.timeLimitMs != 0 && elapsedMs > limits.timeLimitMs) {
    return SupervisionAction::StopForTime;
  }
  if (limits.cpuLimitMs != 0 && cpuTimeMs > limits.cpuLimitMs) {
    return SupervisionAction::StopForTime;
  }
  if (limits.memoryLimitBytes != 0 && peakMemoryBytes >= limits.memoryLimitBytes) {
    return SupervisionAction::StopForMemory;
  }
  return SupervisionAction::Continue;
}

std::uint32_t exitCodeForStop(SupervisionAction action) {
  switch (action) {
    case SupervisionAction::StopForTime:
      return kExitTimeLimit;
    case SupervisionAction::StopForMemory:
      return kExitMemoryLimit;
    case SupervisionAction::Continue:
      break;
  }
  return 0;
}

std::uint64_t elapsedMsBetween(std::int64_t startNs, std::int64_t nowNs) {
  if (nowNs <= startNs) return 0;
  // Unsigned difference: cannot overflow even when the readings lie far apart.
  const std::uint64_t elapsedNs =
      static_cast<std::uint64_t>(nowNs) - static_cast<std::uint64_t>(startNs);
  return elapsedNs / 1000000;
}

}  // namespace sandbox
