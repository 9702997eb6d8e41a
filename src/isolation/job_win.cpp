#include "isolation/job_win.h"

namespace sandbox {
namespace {

JobHandle createJobWithLimits(const JobLimits& limits) {
  JobHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) return job;

  JOBOBJECT_EXTENDED_LIMIT_INFORMATION extended{};
  extended.BasicLimitInformation.LimitFlags = limits.limitFlags;
  extended.BasicLimitInformation.Affinity = static_cast<ULONG_PTR>(limits.affinity);
  extended.BasicLimitInformation.ActiveProcessLimit = limits.activeProcessLimit;
  extended.ProcessMemoryLimit = static_cast<SIZE_T>(limits.processMemoryLimit);
  extended.JobMemoryLimit = static_cast<SIZE_T>(limits.jobMemoryLimit);
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &extended,
                               sizeof extended)) {
    job.reset();
    return job;
  }

  // The UI restrictions are a hardening extra: the job is used even when they are refused.
  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{};
  ui.UIRestrictionsClass = limits.uiRestrictionsClass;
  SetInformationJobObject(job.get(), JobObjectBasicUIRestrictions, &ui, sizeof ui);
  return job;
}

}  // namespace

JobHandle createLimitedJob(std::uint64_t memoryLimitBytes, std::uint64_t affinityMask,
                           bool oneProcessOnly) {
  return createJobWithLimits(computeJobLimits(memoryLimitBytes, affinityMask, oneProcessOnly));
}

JobHandle createJobFor(const SandboxConfig& config) {
  return createJobWithLimits(jobLimitsFor(config));
}

JobAccounting queryJobAccounting(const JobHandle& job) {
  RawJobCounters raw;
  if (!job) return accountingFromRaw(raw);

  JOBOBJECT_EXTENDED_LIMIT_INFORMATION extended{};
  raw.extendedOk = QueryInformationJobObject(job.get(), JobObjectExtendedLimitInformation,
                                             &extended, sizeof extended, nullptr) != FALSE;
  raw.peakJobMemory = extended.PeakJobMemoryUsed;
  raw.peakProcessMemory = extended.PeakProcessMemoryUsed;

  JOBOBJECT_BASIC_AND_IO_ACCOUNTING_INFORMATION basic{};
  raw.basicOk = QueryInformationJobObject(job.get(), JobObjectBasicAndIoAccountingInformation,
                                          &basic, sizeof basic, nullptr) != FALSE;
  raw.totalUserTime = basic.BasicInfo.TotalUserTime.QuadPart;
  raw.totalKernelTime = basic.BasicInfo.TotalKernelTime.QuadPart;
  raw.readOperationCount = basic.IoInfo.ReadOperationCount;
  raw.writeOperationCount = basic.IoInfo.WriteOperationCount;
  raw.readTransferCount = basic.IoInfo.ReadTransferCount;
  raw.writeTransferCount = basic.IoInfo.WriteTransferCount;
  return accountingFromRaw(raw);
}

bool terminateJob(const JobHandle& job, std::uint32_t exitCode) {
  if (!job) return false;
  return TerminateJobObject(job.get(), exitCode) != FALSE;
}

}  // namespace sandbox
