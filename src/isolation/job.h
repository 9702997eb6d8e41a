// The limits a command's job object carries and the accounting read back from it. Portable: the
// values here are exactly what the Windows layer (job_win.h) stores into and reads from the job.
#pragma once

#include <cstdint>

#include "config/config.h"

namespace sandbox {

// Limit flags of the job (the values of the JOB_OBJECT_LIMIT_* constants).
inline constexpr std::uint32_t kJobLimitActiveProcess = 0x8;
inline constexpr std::uint32_t kJobLimitAffinity = 0x10;
inline constexpr std::uint32_t kJobLimitProcessMemory = 0x100;
inline constexpr std::uint32_t kJobLimitJobMemory = 0x200;
inline constexpr std::uint32_t kJobLimitDieOnUnhandledException = 0x400;
inline constexpr std::uint32_t kJobLimitKillOnJobClose = 0x2000;
// All eight user-interface restrictions (JOB_OBJECT_UILIMIT_HANDLES ... EXITWINDOWS).
inline constexpr std::uint32_t kJobUiRestrictAll = 0xFF;

// The command's creation flags (suspended, a process group of its own, a UTF-16 environment, an
// extended startup record, no window), and the one that takes it out of the sandbox's own job.
inline constexpr std::uint32_t kCommandCreationFlags = 0x08080604;
inline constexpr std::uint32_t kCreateBreakawayFromJob = 0x01000000;

// How the command's job stands towards a job the sandbox itself runs in (services, the Task
// Scheduler, CreateProcessWithLogonW and CI runners start it in one).
struct JobPlacement {
  std::uint32_t creationFlags = kCommandCreationFlags;
  bool uiRestrictions = true;  // whether the command's job gets kJobUiRestrictAll
};

// Windows nests a job in another only when it sets no user-interface restrictions. So a command
// that may break away from the sandbox's job does, and its own job keeps every restriction;
// otherwise its job goes without them, so that it nests.
JobPlacement placeCommandJob(bool sandboxInJob, bool breakawayAllowed);

// The processor mask for `coreAffinity`: only that bit when it is below 64, else 0 (no limit).
std::uint64_t affinityMaskFor(std::uint32_t coreAffinity);

// What the job's extended limit information and UI restrictions are set to. Fields whose flag
// is absent from `limitFlags` are 0.
struct JobLimits {
  std::uint32_t limitFlags = 0;
  std::uint64_t processMemoryLimit = 0;
  std::uint64_t jobMemoryLimit = 0;
  std::uint64_t affinity = 0;
  std::uint32_t activeProcessLimit = 0;
  std::uint32_t uiRestrictionsClass = 0;
};

// Kill-on-close and no crash dialog always; a memory limit of 0, an affinity mask of 0 and
// `oneProcessOnly` false each mean "no such limit". The same memory value caps every process
// and the job as a whole. All user-interface restrictions when `uiRestrictions`, else none.
JobLimits computeJobLimits(std::uint64_t memoryLimitBytes, std::uint64_t affinityMask,
                           bool oneProcessOnly, bool uiRestrictions);

// The limits for a configuration whose mode defaults are applied: memoryLimitBytes when not 0,
// else memoryLimitMb MiB; processor coreAffinity; one process unless allowChildProcess.
JobLimits jobLimitsFor(const SandboxConfig& config, bool uiRestrictions = true);

// Notifications the job posts to its completion port (JOB_OBJECT_MSG_*) that a run acts on.
inline constexpr std::uint32_t kJobMessageActiveProcessZero = 4;
inline constexpr std::uint32_t kJobMessageProcessMemoryLimit = 9;
inline constexpr std::uint32_t kJobMessageJobMemoryLimit = 10;

// What the job's notifications have said so far.
struct JobEvents {
  bool memoryLimitRefused = false;  // an allocation beyond a memory limit was refused
  bool empty = false;               // no process is left in the job
};

// Takes one notification into the events; other messages change nothing.
void noteJobMessage(std::uint32_t message, JobEvents& events);

// A job's accounting, summed over every process that has run in it. All 0 unless a query
// filled them.
struct JobAccounting {
  std::uint64_t peakMemoryBytes = 0;
  std::uint64_t cpuTimeMs = 0;
  std::uint64_t userTimeMs = 0;
  std::uint64_t kernelTimeMs = 0;
  std::uint64_t ioReadCount = 0;
  std::uint64_t ioWriteCount = 0;
  std::uint64_t ioReadBytes = 0;
  std::uint64_t ioWriteBytes = 0;
};

// The raw values of the two job queries. `extendedOk` / `basicOk` say whether the extended
// limit query / the basic-and-I/O accounting query succeeded; the fields of a failed query are
// not looked at.
struct RawJobCounters {
  bool extendedOk = false;
  std::uint64_t peakJobMemory = 0;
  std::uint64_t peakProcessMemory = 0;
  bool basicOk = false;
  std::int64_t totalUserTime = 0;    // 100 ns units
  std::int64_t totalKernelTime = 0;  // 100 ns units
  std::uint64_t readOperationCount = 0;
  std::uint64_t writeOperationCount = 0;
  std::uint64_t readTransferCount = 0;
  std::uint64_t writeTransferCount = 0;
};

// Times become milliseconds by a signed division truncating toward zero; the CPU time is the
// sum of the two truncated times, so it may be 1 less than the truncated raw sum. The peak is
// the larger of the job's and any one process's peak.
JobAccounting accountingFromRaw(const RawJobCounters& raw);

}  // namespace sandbox
