// The command's job object: creation with its limits, accounting, termination, ownership.
#pragma once

#include <cstdint>

#include "common/handle_win.h"
#include "config/config.h"
#include "isolation/job.h"

namespace sandbox {

// Move-only owner of one job-object handle; null and INVALID_HANDLE_VALUE both mean "no job".
// Closing the last handle of a job made by createLimitedJob kills every process still in it.
class JobHandle {
 public:
  JobHandle() = default;
  explicit JobHandle(HANDLE handle) : handle_(handle) {}

  HANDLE get() const { return handle_.get(); }
  bool valid() const { return handle_.valid(); }
  explicit operator bool() const { return handle_.valid(); }
  // Closes the held job (keeping the caller's last error) and takes `handle` instead.
  void reset(HANDLE handle = nullptr) { handle_.reset(handle); }
  // Gives up ownership without closing; the caller then owns the returned handle.
  HANDLE release() { return handle_.release(); }

 private:
  UniqueHandle handle_;
};

// A new job that kills its processes when closed, shows no crash dialog, and carries the limits
// of computeJobLimits plus all UI restrictions (a refusal of the latter is ignored). Null when
// the job cannot be created or its extended limits are refused.
JobHandle createLimitedJob(std::uint64_t memoryLimitBytes, std::uint64_t affinityMask,
                           bool oneProcessOnly);

// createLimitedJob with the limits of a configuration whose mode defaults are applied.
JobHandle createJobFor(const SandboxConfig& config);

// The job's accounting; all zeros for a null job, and a query that fails leaves its fields 0.
// Cheap enough for every supervision pass: two queries into stack structures, no allocation.
JobAccounting queryJobAccounting(const JobHandle& job);

// Ends every process in the job with `exitCode`. False for a null job or when Windows refuses.
// Safe from several threads at once (the supervision loop and the output-limit callbacks).
bool terminateJob(const JobHandle& job, std::uint32_t exitCode);

}  // namespace sandbox
