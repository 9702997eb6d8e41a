// The decision of one supervision pass: go on, or stop the job for time or for memory.
#pragma once

#include <cstdint>

namespace sandbox {

enum class SupervisionAction { Continue, StopForTime, StopForMemory };

// The limits the supervision loop enforces. A limit of 0 is not enforced.
struct SupervisionLimits {
  std::uint64_t timeLimitMs = 0;       // wall clock since the resume
  std::uint64_t cpuLimitMs = 0;        // user plus kernel time of the whole job
  std::uint64_t memoryLimitBytes = 0;  // the effective limit in bytes
};

// Checks wall time (stop when elapsed > limit), then CPU time (stop when cpu > limit), then
// memory (stop when peak >= limit). The first limit found broken decides; time is reported
// before memory when both are.
SupervisionAction decideSupervision(const SupervisionLimits& limits, std::uint64_t elapsedMs,
                                    std::uint64_t cpuTimeMs, std::uint64_t peakMemoryBytes);

// The exit code the job is terminated with for a stop: 1001 for time, 1003 for memory; 0 for
// Continue, which terminates nothing.
std::uint32_t exitCodeForStop(SupervisionAction action);

// Whole milliseconds between two steady-clock readings in nanoseconds, truncated; 0 when `now`
// lies before `start`.
std::uint64_t elapsedMsBetween(std::int64_t startNs, std::int64_t nowNs);

}  // namespace sandbox
