// The limits a command's job object carries and the accounting read back from it. Portable: the
// values here are exactly what the Windows layer (job_win.h) stores into and reads from the job.
#pragma once

#include <cstdint>
#include <string>

#include "config/config.h"

namespace sandbox {

// Limit flags of the job (the values of the JOB_OBJECT_LIMIT_* constants).
inline constexpr std::uint32_t kJobLimitActiveProcess = 0x8;
inline constexpr std::uint32_t kJobLimitAffinity = 0x10;
inline constexpr std::uint32_t kJobLimitProcessMemory = 0x100;
inline constexpr std::uint32_t kJobLimitJobMemory = 0x200;
inline constexpr std::uint32_t kJobLimitDieOnUnhandledException = 0x400;
inline constexpr std::uint32_t kJobLimitBreakawayOk = 0x800;
inline constexpr std::uint32_t kJobLimitSilentBreakawayOk = 0x1000;
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
// that may break away from the sandbox's job (`jobLimitFlags`, the limit flags of that job, hold
// kJobLimitBreakawayOk) does, and its own job keeps every restriction. A job that lets children go
// only silently (kJobLimitSilentBreakawayOk alone) refuses the breakaway flag, but the command
// leaves it by itself: the restrictions stay planned, and the check of the created command
// (restrictUserInterface only for a command in no job) decides. Otherwise the job goes without
// them, so that it nests.
JobPlacement placeCommandJob(bool sandboxInJob, std::uint32_t jobLimitFlags);

// The processor mask for `coreAffinity`: only that bit when it is below 64, else 0 (no limit).
std::uint64_t affinityMaskFor(std::uint32_t coreAffinity);

// The run's failure when `coreAffinity` (below 64) names no processor of `systemAffinityMask`,
// the processors of the machine (of the sandbox's processor group): "Processor N does not exist on
// this machine (it has M)." A job's affinity must lie within that mask, so such a pin could only
// fail as a job Windows refuses. Empty when the processor exists, for 64 and more (no pin), and
// for a mask of 0 (not known).
std::string missingProcessor(std::uint64_t systemAffinityMask, std::uint32_t coreAffinity);

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

// What the run knows of its job. A job the command makes inside the run's job posts its
// notifications to the run's port as well (every job of a chain posts to the ports above it), and
// nothing in them tells the two apart: the completion key is that of the run's own association
// whichever job sent the message, and a process id names a process that is in the run's job too.
struct JobEvents {
  // An allocation beyond a memory limit was refused: the run's, or one a job of the command's set
  // (counted as the run's, since it cannot be told apart).
  bool memoryLimitRefused = false;
  // The run's own job counted no active process. A zero message cannot say so: it may be a
  // nested job's, emptied while the run's processes are still being ended.
  bool empty = false;
};

// Takes one notification into the events; other messages, and the zero count of any job of the
// chain (ACTIVE_PROCESS_ZERO only prompts the question to the run's job), change nothing.
void noteJobMessage(std::uint32_t message, JobEvents& events);

// Takes the run's own job's count of active processes (JOBOBJECT_BASIC_ACCOUNTING_INFORMATION,
// asked of that job); `counted` false when the question failed, which says nothing.
void noteActiveProcesses(bool counted, std::uint32_t activeProcesses, JobEvents& events);

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
