#include "isolation/job.h"

#include <bit>

namespace sandbox {

std::uint64_t affinityMaskFor(std::uint32_t coreAffinity) {
  return coreAffinity < 64 ? std::uint64_t{1} << coreAffinity : 0;
}

std::string missingProcessor(std::uint64_t systemAffinityMask, std::uint32_t coreAffinity) {
  const std::uint64_t pin = affinityMaskFor(coreAffinity);
  if (pin == 0 || systemAffinityMask == 0 || (systemAffinityMask & pin) != 0) return {};
  return "Processor " + std::to_string(coreAffinity) + " does not exist on this machine (it has " +
         std::to_string(std::popcount(systemAffinityMask)) + ").";
}

JobPlacement placeCommandJob(bool sandboxInJob, std::uint32_t jobLimitFlags) {
  JobPlacement placement;
  const bool breakaway = (jobLimitFlags & kJobLimitBreakawayOk) != 0;
  const bool silent = (jobLimitFlags & kJobLimitSilentBreakawayOk) != 0;
  if (sandboxInJob && breakaway) placement.creationFlags |= kCreateBreakawayFromJob;
  placement.uiRestrictions = !sandboxInJob || breakaway || silent;
  return placement;
}

JobLimits computeJobLimits(std::uint64_t memoryLimitBytes, std::uint64_t affinityMask,
                           bool oneProcessOnly, bool uiRestrictions) {
  JobLimits limits;
  limits.limitFlags = kJobLimitKillOnJobClose | kJobLimitDieOnUnhandledException;
  if (memoryLimitBytes != 0) {
    limits.limitFlags |= kJobLimitProcessMemory | kJobLimitJobMemory;
    limits.processMemoryLimit = memoryLimitBytes;
    limits.jobMemoryLimit = memoryLimitBytes;
  }
  if (affinityMask != 0) {
    limits.limitFlags |= kJobLimitAffinity;
    limits.affinity = affinityMask;
  }
  if (oneProcessOnly) {
    limits.limitFlags |= kJobLimitActiveProcess;
    limits.activeProcessLimit = 1;
  }
  limits.uiRestrictionsClass = uiRestrictions ? kJobUiRestrictAll : 0;
  return limits;
}

JobLimits jobLimitsFor(const SandboxConfig& config, bool uiRestrictions) {
  return computeJobLimits(effectiveMemoryLimit(config), affinityMaskFor(config.coreAffinity),
                          !config.allowChildProcess, uiRestrictions);
}

void noteJobMessage(std::uint32_t message, JobEvents& events) {
  if (message == kJobMessageProcessMemoryLimit || message == kJobMessageJobMemoryLimit) {
    events.memoryLimitRefused = true;
  }
}

void noteActiveProcesses(bool counted, std::uint32_t activeProcesses, JobEvents& events) {
  if (counted) events.empty = activeProcesses == 0;
}

JobAccounting accountingFromRaw(const RawJobCounters& raw) {
  JobAccounting accounting;
  if (raw.extendedOk) {
    accounting.peakMemoryBytes =
        raw.peakProcessMemory > raw.peakJobMemory ? raw.peakProcessMemory : raw.peakJobMemory;
  }
  if (raw.basicOk) {
    // Signed division truncates toward zero; a negative result wraps as the unsigned field.
    const std::int64_t userMs = raw.totalUserTime / 10000;
    const std::int64_t kernelMs = raw.totalKernelTime / 10000;
    accounting.userTimeMs = static_cast<std::uint64_t>(userMs);
    accounting.kernelTimeMs = static_cast<std::uint64_t>(kernelMs);
    accounting.cpuTimeMs = accounting.userTimeMs + accounting.kernelTimeMs;
    accounting.ioReadCount = raw.readOperationCount;
    accounting.ioWriteCount = raw.writeOperationCount;
    accounting.ioReadBytes = raw.readTransferCount;
    accounting.ioWriteBytes = raw.writeTransferCount;
  }
  return accounting;
}

}  // namespace sandbox
