#include "isolation/job_win.h"

#include <algorithm>

namespace sandbox {
namespace {

JobHandle createJobWithLimits(const JobLimits& limits, StepFailure* failure) {
  JobHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) {
    if (failure != nullptr) *failure = StepFailure::win32("CreateJobObjectW", GetLastError());
    return job;
  }

  JOBOBJECT_EXTENDED_LIMIT_INFORMATION extended{};
  extended.BasicLimitInformation.LimitFlags = limits.limitFlags;
  extended.BasicLimitInformation.Affinity = static_cast<ULONG_PTR>(limits.affinity);
  extended.BasicLimitInformation.ActiveProcessLimit = limits.activeProcessLimit;
  extended.ProcessMemoryLimit = static_cast<SIZE_T>(limits.processMemoryLimit);
  extended.JobMemoryLimit = static_cast<SIZE_T>(limits.jobMemoryLimit);
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &extended,
                               sizeof extended)) {
    if (failure != nullptr) {
      *failure = StepFailure::win32("SetInformationJobObject", GetLastError());
    }
    job.reset();
    return job;
  }

  // A job that is to nest is never given any, not even an empty set.
  if (limits.uiRestrictionsClass != 0) restrictUserInterface(job);

  // Without a port the run loses only the word of a refused allocation; the job is still used. The
  // key (the job's handle) is this association's: every message on the port carries it, those of
  // a job nested inside this one too, so it names the port, not the job that sent the message.
  UniqueHandle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT association{job.get(), port.get()};
  if (port && SetInformationJobObject(job.get(), JobObjectAssociateCompletionPortInformation,
                                      &association, sizeof association)) {
    job.adoptPort(port.release());
  }
  return job;
}

// Takes one notification if one is waiting or arrives within `waitMs`; false when none did.
bool takeJobMessage(HANDLE port, JobEvents& events, DWORD waitMs) {
  DWORD message = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED detail = nullptr;
  if (!GetQueuedCompletionStatus(port, &message, &key, &detail, waitMs)) return false;
  noteJobMessage(message, events);
  return true;
}

}  // namespace

JobHandle createLimitedJob(std::uint64_t memoryLimitBytes, std::uint64_t affinityMask,
                           bool oneProcessOnly, StepFailure* failure) {
  return createJobWithLimits(
      computeJobLimits(memoryLimitBytes, affinityMask, oneProcessOnly, false), failure);
}

JobHandle createJobFor(const SandboxConfig& config) {
  return createJobWithLimits(jobLimitsFor(config), nullptr);
}

JobPlacement placementOfThisProcess() {
  const bool inJob = isInAnyJob(GetCurrentProcess());
  JOBOBJECT_BASIC_LIMIT_INFORMATION own{};
  // A null handle names the job this process is in (the innermost one, when nested).
  if (!inJob || !QueryInformationJobObject(nullptr, JobObjectBasicLimitInformation, &own,
                                           sizeof own, nullptr)) {
    own.LimitFlags = 0;
  }
  return placeCommandJob(inJob, own.LimitFlags);
}

std::uint64_t systemAffinityMask() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 0;
  return system;
}

bool isInAnyJob(HANDLE process) {
  BOOL inJob = TRUE;
  return !IsProcessInJob(process, nullptr, &inJob) || inJob != FALSE;
}

void restrictUserInterface(const JobHandle& job) {
  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{};
  ui.UIRestrictionsClass = kJobUiRestrictAll;
  SetInformationJobObject(job.get(), JobObjectBasicUIRestrictions, &ui, sizeof ui);
}

void drainJobEvents(const JobHandle& job, JobEvents& events) {
  if (job.port() == nullptr) return;
  while (takeJobMessage(job.port(), events, 0)) {
  }
}

bool waitUntilJobEmpty(const JobHandle& job, JobEvents& events, std::uint32_t timeoutMs) {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    drainJobEvents(job, events);
    // Asked of the run's own job: its zero message may never arrive, and one of a nested job
    // comes while the run's own processes are still going.
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION basic{};
    const bool counted = QueryInformationJobObject(job.get(), JobObjectBasicAccountingInformation,
                                                   &basic, sizeof basic, nullptr) != FALSE;
    noteActiveProcesses(counted, basic.ActiveProcesses, events);
    const ULONGLONG waited = GetTickCount64() - start;
    if (events.empty || waited >= timeoutMs) return events.empty;
    const DWORD pause = static_cast<DWORD>(std::min<ULONGLONG>(timeoutMs - waited, 10));
    if (job.port() == nullptr) {
      Sleep(pause);
    } else {
      takeJobMessage(job.port(), events, pause);
    }
  }
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
