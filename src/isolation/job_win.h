// The command's job object: creation with its limits, notifications, accounting, termination,
// ownership.
#pragma once

#include <cstdint>

#include "common/failure.h"
#include "common/handle_win.h"
#include "config/config.h"
#include "isolation/job.h"

namespace sandbox {

// Move-only owner of one job-object handle and of the completion port its notifications arrive
// on; null and INVALID_HANDLE_VALUE both mean "none". Closing the last handle of a job made by
// createLimitedJob kills every process still in it.
class JobHandle {
 public:
  JobHandle() = default;
  explicit JobHandle(HANDLE handle) : handle_(handle) {}

  HANDLE get() const { return handle_.get(); }
  bool valid() const { return handle_.valid(); }
  explicit operator bool() const { return handle_.valid(); }
  // The job's completion port; null when none could be associated.
  HANDLE port() const { return port_.get(); }
  // Closes the held job and its port (keeping the caller's last error) and takes `handle`.
  void reset(HANDLE handle = nullptr) {
    port_.reset();
    handle_.reset(handle);
  }
  // Takes `port` as the port associated with the job.
  void adoptPort(HANDLE port) { port_.reset(port); }

 private:
  UniqueHandle handle_;
  UniqueHandle port_;
};

// A new job that kills its processes when closed, shows no crash dialog, carries the limits of
// computeJobLimits but the user-interface restrictions (restrictUserInterface adds them once the
// command is known to be in no other job), and posts its notifications to a port of its own (a
// job without one is still used). Null when the job cannot be created or its extended limits are
// refused; `failure`, when given, then names the call and its error.
JobHandle createLimitedJob(std::uint64_t memoryLimitBytes, std::uint64_t affinityMask,
                           bool oneProcessOnly, StepFailure* failure = nullptr);

// A job with every limit of a configuration whose mode defaults are applied, user-interface
// restrictions included (a refusal of those is ignored).
JobHandle createJobFor(const SandboxConfig& config);

// placeCommandJob for this process: whether it runs in a job, and that job's limit flags (0 when
// they cannot be read).
JobPlacement placementOfThisProcess();

// The processors of this process's group (GetProcessAffinityMask's system mask); 0 when unknown.
std::uint64_t systemAffinityMask();

// Whether `process` is in any job; a failed question counts as yes (a job that can nest runs
// anywhere).
bool isInAnyJob(HANDLE process);

// Adds every user-interface restriction to the job; a refusal is ignored (they are a hardening
// extra). Windows nests no job that has them, so only for a job whose command is in no other.
void restrictUserInterface(const JobHandle& job);

// The job's accounting; all zeros for a null job, and a query that fails leaves its fields 0.
// Cheap enough for every supervision pass: two queries into stack structures, no allocation.
JobAccounting queryJobAccounting(const JobHandle& job);

// Takes every notification waiting on the job's port into `events`, without waiting. Cheap enough
// for every supervision pass: no allocation.
void drainJobEvents(const JobHandle& job, JobEvents& events);

// Waits until the job's own count of active processes is 0, at most `timeoutMs`; a notification
// (the job's zero message, or any of a job the command made) only ends a pause early, and goes
// into `events`. True when the job is empty.
bool waitUntilJobEmpty(const JobHandle& job, JobEvents& events, std::uint32_t timeoutMs);

// Ends every process in the job with `exitCode`. False for a null job or when Windows refuses.
// Safe from several threads at once (the supervision loop and the output-limit callbacks).
bool terminateJob(const JobHandle& job, std::uint32_t exitCode);

}  // namespace sandbox
