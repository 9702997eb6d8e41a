#include <chrono>
#include <filesystem>
#include <vector>

#include "common/failure.h"
#include "common/handle_win.h"
#include "common/path.h"
#include "common/text.h"
#include "env/environment_win.h"
#include "isolation/appcontainer.h"
#include "isolation/appcontainer_win.h"
#include "isolation/job.h"
#include "isolation/job_win.h"
#include "isolation/launch_win.h"
#include "isolation/toolchain_win.h"
#include "runner/runner.h"
#include "runner/supervision.h"
#include "runner/verdict.h"
#include "streams/pipes_win.h"
#include "workdir/prepare.h"
#include "workdir/scan.h"

namespace sandbox {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kPollIntervalMs = 10;
constexpr DWORD kWaitAfterTerminationMs = 1000;
constexpr const char* kAppContainerFailure =
    "AppContainer isolation was requested but could not be set up.";

// The three standard streams of one run. Destroyed in the order the clean-up wants:
// the input pipe, then the error pump, then the output pump.
struct StandardStreams {
  OutputPump out;
  OutputPump err;
  InputPipe input;
  InputRoute inputRoute = InputRoute::Content;
};

// Terminates whatever is left in the job when the run's scope ends, before the streams are
// closed: a pump or feeder blocked on a pipe that a leftover process holds would never end.
class LeftoverKiller {
 public:
  explicit LeftoverKiller(const JobHandle& job) : job_(job) {}
  ~LeftoverKiller() { terminateJob(job_, 1); }
  LeftoverKiller(const LeftoverKiller&) = delete;
  LeftoverKiller& operator=(const LeftoverKiller&) = delete;

 private:
  const JobHandle& job_;
};

ExecutionReport& fail(ExecutionReport& report, std::string message) {
  report.status = "InternalError";
  report.message = std::move(message);
  return report;
}

// The pipes of the three streams, with the sandbox's own output handles as echo targets and
// the optional file copies. False when a pipe cannot be created.
bool createStandardStreams(const SandboxConfig& config, StandardStreams& streams) {
  HANDLE ownOut = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE ownErr = GetStdHandle(STD_ERROR_HANDLE);
  const auto prepare = [](OutputPump& pump, HANDLE echo, std::uint64_t limitBytes) {
    pump.reset();
    pump.state->echoHandle = echo == INVALID_HANDLE_VALUE ? nullptr : echo;
    pump.state->limitBytes = limitBytes;
    pump.state->limitExitCode = kExitOutputLimit;
    return pump.createPipe();
  };
  if (!prepare(streams.out, ownOut, config.maxStdoutBytes)) return false;
  if (!prepare(streams.err, ownErr, config.maxStderrBytes)) return false;
  streams.input.close();
  // The sandbox's own standard input goes to the command itself where it can; a source that
  // cannot be duplicated is forwarded as before.
  HANDLE ownIn = GetStdHandle(STD_INPUT_HANDLE);
  streams.inputRoute = chooseInputRoute(config, inputFactsOf(ownIn));
  if (streams.inputRoute == InputRoute::HandOff && !streams.input.handOver(ownIn)) {
    streams.inputRoute = InputRoute::Forward;
  }
  if (streams.inputRoute != InputRoute::HandOff && !streams.input.createPipe()) return false;
  if (!config.stdoutFile.empty()) streams.out.openFile(utf8ToUtf16(config.stdoutFile));
  if (!config.stderrFile.empty()) streams.err.openFile(utf8ToUtf16(config.stderrFile));
  return true;
}

// The command now holds its ends; the sandbox's copies would keep the pumps from ever
// seeing the end of the streams.
void handOverCommandEnds(StandardStreams& streams) {
  CloseHandle(std::exchange(streams.out.writeEnd, nullptr));
  CloseHandle(std::exchange(streams.err.writeEnd, nullptr));
  CloseHandle(std::exchange(streams.input.readEnd, nullptr));
}

// Both pumps run on their own threads; either may stop the whole job at its limit.
void startPumps(StandardStreams& streams, const JobHandle& job) {
  streams.out.start(job.get());
  streams.err.start(job.get());
}

// A standard input handed over needs nothing more: the command holds it.
void deliverInput(const SandboxConfig& config, StandardStreams& streams) {
  if (streams.inputRoute == InputRoute::Forward) {
    streams.input.startForwarding(GetStdHandle(STD_INPUT_HANDLE));
  } else if (streams.inputRoute == InputRoute::Content) {
    std::string content = config.stdinText;
    if (!config.stdinFile.empty()) readWholeFile(pathFromUtf8(config.stdinFile), content);
    streams.input.startContent(std::move(content));
  }
}

// What confines one run, released in reverse order: the grant is undone before the profile is
// deleted.
struct Confinement {
  AppContainerProfile profile;
  DirectoryGrant grant;
  std::vector<unsigned char> capability;  // the toolchain capability's SID; empty: none here
  EnvironmentMap variables;               // the profile's variables, naming its folder
};

// A fresh profile granted the working directory, the toolchain capability, and the profile's
// variables naming its own folder, which the container may write. Profiles that killed sandboxes
// left are deleted on the way. False, with the failing call, when a step fails: the command must
// then not run at all, since running it unconfined would pass a failure off as isolation.
bool confineToAppContainer(const std::filesystem::path& workDir, Confinement& confinement,
                           StepFailure& failure) {
  const std::u16string name = appContainerProfileName(GetCurrentProcessId(), GetTickCount64());
  AppContainerProfile& profile = confinement.profile;
  if (!profile.createProfile(name, kAppContainerDisplayName)) {
    failure = profile.failure();
    return false;
  }
  const std::u16string folder = appContainerFolder(profile.sid(), &failure);
  if (folder.empty()) return false;
  // Where the capability cannot be derived (before Windows 10) the run goes on without it: it
  // only adds access.
  StepFailure derived;
  confinement.capability = deriveToolchainCapability(derived);
  if (confinement.capability.empty() && derived.kind != StepFailure::Kind::Missing) {
    failure = derived;
    return false;
  }
  deleteStaleProfiles(folder, name);
  confinement.variables = containerProfileVariables(folder);
  if (confinement.grant.grant(fromWide(workDir.wstring()), profile.sid())) return true;
  failure = confinement.grant.failure();
  return false;
}

struct SupervisionResult {
  bool timedOut = false;
  bool memoryHit = false;
  JobEvents events;  // what the job's notifications said during the run and until it was empty
};

std::int64_t nanoseconds(Clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

std::uint64_t elapsedMsSince(Clock::time_point start) {
  return elapsedMsBetween(nanoseconds(start), nanoseconds(Clock::now()));
}

// Polls every 10 ms until the command ends or a limit stops the job. Limits are checked
// before the end is acted on, so a command ending in the pass that finds a limit is stopped.
SupervisionResult supervise(HANDLE process, const JobHandle& job, const SupervisionLimits& limits,
                            Clock::time_point start) {
  SupervisionResult result;
  for (;;) {
    const DWORD wait = WaitForSingleObject(process, kPollIntervalMs);
    drainJobEvents(job, result.events);
    const std::uint64_t elapsedMs = elapsedMsSince(start);
    const JobAccounting accounting = queryJobAccounting(job);
    const SupervisionAction action =
        decideSupervision(limits, elapsedMs, accounting.cpuTimeMs, accounting.peakMemoryBytes);
    if (action != SupervisionAction::Continue) {
      result.timedOut = action == SupervisionAction::StopForTime;
      result.memoryHit = action == SupervisionAction::StopForMemory;
      terminateJob(job, exitCodeForStop(action));
      WaitForSingleObject(process, kWaitAfterTerminationMs);
      return result;
    }
    if (wait == WAIT_OBJECT_0) return result;
  }
}

void collectAccounting(const JobHandle& job, ExecutionReport& report) {
  const JobAccounting accounting = queryJobAccounting(job);
  report.peakMemoryBytes = accounting.peakMemoryBytes;
  report.cpuTimeMs = accounting.cpuTimeMs;
  report.userTimeMs = accounting.userTimeMs;
  report.kernelTimeMs = accounting.kernelTimeMs;
  report.ioReadCount = accounting.ioReadCount;
  report.ioWriteCount = accounting.ioWriteCount;
  report.ioReadBytes = accounting.ioReadBytes;
  report.ioWriteBytes = accounting.ioWriteBytes;
  report.peakMemoryMb = static_cast<double>(report.peakMemoryBytes) * 9.5367431640625e-07;
}

void collectFileScan(const FileScanResult& scan, ExecutionReport& report) {
  report.newFilesCount = scan.newFilesCount;
  report.maxFileSizeSeen = scan.maxFileSizeSeen;
  report.generatedFiles = scan.generatedFiles;
}

// Creates the command suspended and puts it into the job. False with the run's failure message.
bool launchInJob(const SandboxConfig& config, const std::filesystem::path& workDir,
                 const std::u16string& environment, const StandardStreams& streams,
                 const Confinement& confinement, const JobHandle& job,
                 const JobPlacement& placement, PROCESS_INFORMATION& launched,
                 std::string& failure) {
  LaunchRequest request;
  request.creationFlags = placement.creationFlags;
  request.exec = config.exec;
  request.environmentBlock = &environment;
  request.workingDirectory = workDir;
  request.stdInput = streams.input.readEnd;
  request.stdOutput = streams.out.writeEnd;
  request.stdError = streams.err.writeEnd;
  request.appContainerSid = confinement.profile.sid();
  if (!confinement.capability.empty()) {
    request.capabilitySid = const_cast<unsigned char*>(confinement.capability.data());
  }
  LaunchResult result = createSuspendedProcess(request);
  if (result.failure == LaunchResult::Failure::AttributeList) {
    failure = "Failed to initialize ProcThreadAttributeList.";
    return false;
  }
  if (result.failure == LaunchResult::Failure::AppContainer) {
    failure = withReason(kAppContainerFailure,
                         StepFailure::win32("UpdateProcThreadAttribute", result.errorCode));
    return false;
  }
  if (result.failure == LaunchResult::Failure::CreateProcess) {
    failure = "CreateProcessW failed with error code: " + std::to_string(result.errorCode);
    return false;
  }
  // A command that broke away may still be in a job further up that allows no breakaway: its job
  // must then nest, without the user-interface restrictions.
  if (placement.uiRestrictions && !isInAnyJob(result.info.hProcess)) restrictUserInterface(job);
  if (!assignProcessToJob(job.get(), result.info)) {
    failure = "Failed to assign process to Job Object.";
    return false;
  }
  launched = result.info;
  return true;
}

RunOutcome outcomeOf(const SupervisionResult& supervision, DWORD exitCode,
                     std::uint64_t memoryLimit, bool outputLimitHit, const FileScanResult& scan,
                     const SandboxConfig& config, const ExecutionReport& report) {
  RunOutcome outcome;
  outcome.timedOut = supervision.timedOut;
  outcome.memoryHit = supervision.memoryHit;
  outcome.memoryLimitRefused = supervision.events.memoryLimitRefused;
  outcome.exitCode = exitCode;
  outcome.effectiveMemoryLimit = memoryLimit;
  outcome.peakMemoryBytes = report.peakMemoryBytes;
  outcome.outputLimitHit = outputLimitHit;
  outcome.stdoutTruncated = report.stdoutTruncated;
  outcome.stderrTruncated = report.stderrTruncated;
  outcome.fileLimitExceeded = scan.limitExceeded;
  outcome.fileLimitMessage = scan.message;
  outcome.mode = config.mode;
  return outcome;
}

}  // namespace

ExecutionReport SandboxRunner::run(SandboxConfig& config) {
  ExecutionReport report;
  if (!beginReport(config, report)) return report;
  const std::string noProcessor = missingProcessor(systemAffinityMask(), config.coreAffinity);
  if (!noProcessor.empty()) return fail(report, noProcessor);

  const std::filesystem::path workDir = prepareWorkingDirectory(config);
  FileScanner scanner{
      workDir, config.maxFileSizeBytes, config.maxFileCount, takeSnapshot(workDir),
      namesDirectlyIn(workDir, {config.stdoutFile, config.stderrFile, config.reportFile})};

  const std::uint64_t memoryLimit = effectiveMemoryLimit(config);
  const JobPlacement placement = placementOfThisProcess();
  StepFailure jobFailure;
  JobHandle job = createLimitedJob(memoryLimit, affinityMaskFor(config.coreAffinity),
                                   !config.allowChildProcess, &jobFailure);
  if (job.get() == nullptr) {
    return fail(report, withReason("Failed to create Windows Job Object.", jobFailure));
  }

  StandardStreams streams;
  if (!createStandardStreams(config, streams)) {
    return fail(report, "Failed to create standard I/O pipes.");
  }

  Confinement confinement;
  StepFailure confinementFailure;
  if (config.appcontainer && !confineToAppContainer(workDir, confinement, confinementFailure)) {
    return fail(report, withReason(kAppContainerFailure, confinementFailure));
  }
  const std::u16string environment = buildCommandEnvironmentBlock(config, confinement.variables);

  PROCESS_INFORMATION launched{};
  std::string failure;
  if (!launchInJob(config, workDir, environment, streams, confinement, job, placement, launched,
                   failure)) {
    return fail(report, failure);
  }
  UniqueHandle process(launched.hProcess);
  UniqueHandle mainThread(launched.hThread);
  handOverCommandEnds(streams);

  LeftoverKiller leftoverKiller(job);
  startPumps(streams, job);
  deliverInput(config, streams);

  const Clock::time_point start = Clock::now();
  if (ResumeThread(mainThread.get()) == static_cast<DWORD>(-1)) {
    const DWORD error = GetLastError();
    terminateJob(job, 1);
    return fail(report, "ResumeThread failed with error code: " + std::to_string(error));
  }
  mainThread.reset();
  SupervisionResult supervision =
      supervise(process.get(), job,
                SupervisionLimits{config.timeLimitMs, config.cpuLimitMs, memoryLimit}, start);

  report.wallTimeMs = elapsedMsSince(start);
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.get(), &exitCode)) exitCode = 0;
  report.exitCode = static_cast<std::int32_t>(exitCode);
  process.reset();

  // The command has ended: whatever it left in the job could hold a pipe open forever. The job is
  // measured and its folder scanned once its processes are gone and their files closed.
  terminateJob(job, 1);
  waitUntilJobEmpty(job, supervision.events, kWaitAfterTerminationMs);
  streams.out.finish();
  streams.err.finish();
  streams.input.stopFeeder(kFeederGraceMs);

  report.stdoutTruncated = streams.out.state->truncated.load();
  report.stderrTruncated = streams.err.state->truncated.load();
  const bool outputLimitHit = report.stdoutTruncated || report.stderrTruncated;
  collectAccounting(job, report);
  const FileScanResult scan = scanAfterRun(scanner);
  collectFileScan(scan, report);

  const RunOutcome outcome =
      outcomeOf(supervision, exitCode, memoryLimit, outputLimitHit, scan, config, report);
  classifyVerdict(outcome, report);
  return report;
}

}  // namespace sandbox
