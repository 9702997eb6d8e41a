// The operator's check of a judging machine (sandbox-check.exe): what each row saw, judged.
// Portable: the Windows program (tools/check) runs sandbox.exe on its probes, as a judging service
// does, and hands the facts here; every verdict, figure and sentence an operator reads is made
// here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sandbox::check {

enum class Result { Pass, Fail, Warn, Skip };

// One line of the check: PASS rows carry no detail; every other row says, in one sentence, what is
// wrong and what to do.
struct Row {
  std::string check;
  Result result = Result::Pass;
  std::string figure;
  std::string detail;
};

// "PASS", "FAIL", "WARN" or "SKIP".
const char* resultWord(Result result);

// The row as the one line the check prints (no line feed).
std::string rowLine(const Row& row);

// The rows as a JSON array of objects with the members "check", "result", "figure" and "detail".
std::string rowsToJson(const std::vector<Row>& rows);

// 0 when no row says FAIL, else 1.
int exitStatusFor(const std::vector<Row>& rows);

// The check's own command line (the program name excluded, not a probe).
struct Options {
  std::string sandbox;                  // sandbox.exe to check; empty: the one beside the check
  std::string dir;                      // where the runs' folders go; empty: a temporary one
  std::string json;                     // where the JSON rows go; empty: nowhere
  std::vector<std::string> toolchains;  // compile commands to try
};

// False with `error` (one sentence) for an unknown argument or an option without its value.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// The usage text the check prints for a usage error.
const std::string& usageText();

// One run of sandbox.exe as the check saw it: the raw facts (filled by the Windows side), then
// the report's members (readReport).
struct RunSeen {
  bool started = false;
  std::uint32_t startError = 0;  // the system's error when sandbox.exe could not be started
  bool ended = false;            // it ended by itself within the check's wait
  std::uint32_t processId = 0;
  std::uint32_t exitStatus = 0;
  std::uint64_t lifetimeMs = 0;  // from its creation to its exit
  std::string out;               // its standard output: what the probe printed
  std::string err;               // its standard error
  std::string reportText;        // the report file

  // From the report: `complete` when it is an object with every member of a report, else
  // `missing` names the first member it lacks (empty: no report at all).
  bool complete = false;
  std::string missing;
  std::string status;
  std::string message;
  std::int64_t exitCode = 0;
  std::uint64_t wallTimeMs = 0;
  std::uint64_t cpuTimeMs = 0;
  std::uint64_t peakMemoryBytes = 0;
};

// Reads `run.reportText` into the report's members of `run`.
void readReport(RunSeen& run);

// The probe's answers in the affinity row: the processor asked for and the mask the probe saw.
struct AffinitySeen {
  std::uint32_t processor = 0;
  RunSeen run;
};

// What the error-reporting row reads from the registry.
struct ErrorReportingSettings {
  bool werDisabled = false;   // Windows Error Reporting's "Disabled" is 1
  bool werNoUi = false;       // its "DontShowUI" is 1
  bool autoDebugger = false;  // AeDebug's "Auto" is "1" and a "Debugger" is named
  std::string debugger;
};

// One conversation of the control-pipe row: the check as the service.
struct PipeConversation {
  std::string name;  // "length-prefixed", "raw line", "report pipe"
  bool connected = false;
  std::string received;  // the report that arrived on the pipe
  RunSeen run;
};

// The service's impersonation of the sandbox's client: the level of the token it got (1 is
// SecurityIdentification), or the failing call and its error.
struct ImpersonationSeen {
  bool connected = false;
  int level = -1;
  std::string failedCall;
  std::uint32_t error = 0;
};

// The appcontainer row's observations.
struct ConfinementSeen {
  bool supported = false;      // CreateAppContainerProfile exists in userenv.dll
  RunSeen io;                  // the confined-io probe
  RunSeen user32;              // a program that uses USER32, confined
  std::string securityBefore;  // the working directory's access list and label, as SDDL
  std::string securityAfter;
  // The access lists, after the runs, of a file the configuration prepared in the directory and
  // of one the check put there before the runs: equal once the run's grant is taken back.
  std::string preparedAfter;
  std::string untouchedAfter;
  std::vector<std::string> profilesLeft;  // profiles of these runs still there afterwards
};

// The facts of the machine row.
struct MachineFacts {
  std::string windowsVersion;  // "10.0.19045"
  std::string wineVersion;     // empty unless under Wine
  std::uint32_t processors = 0;
  bool inJob = false;
  std::uint32_t session = 0;
};

// The answers `probe confined-io` prints, in order, and what each must be.
inline constexpr const char* kConfinedExpectations[] = {
    "cwd-file:ok", "prepared:ok", "temp:ok", "secret:denied", "network:refused", "process:denied"};

// Exit codes of the probes: `probe spawn` when the child was refused, `probe alloc` when the
// allocation was refused and not caught.
inline constexpr std::uint32_t kSpawnRefusedExit = 20;
inline constexpr std::uint32_t kAllocRefusedExit = 3;

Row judgeStart(const RunSeen& run);
Row judgeWallLimit(const RunSeen& run, std::uint64_t limitMs);
// `limited`: a spin under a CPU limit with a longer wall limit; `pinned`: a spin of `spinMs`
// pinned to one processor with no limit in reach.
Row judgeCpuLimit(const RunSeen& limited, std::uint64_t cpuLimitMs, std::uint64_t wallLimitMs,
                  const RunSeen& pinned);
// `refused`: more than the limit in one commit; `caught`: the same, the refusal caught; `small`:
// `smallMiB` well within the limit.
Row judgeMemoryLimit(const RunSeen& refused, const RunSeen& caught, const RunSeen& small,
                     std::uint64_t smallMiB);
Row judgeProcessLimit(const RunSeen& runProfile, const RunSeen& compileProfile);
Row judgeAffinity(const std::vector<AffinitySeen>& seen);
Row judgeCrash(const RunSeen& accessViolation, const RunSeen& missingDll, std::uint64_t boundMs);
Row judgeErrorReporting(const ErrorReportingSettings& settings);
Row judgeInAJob(const RunSeen& withoutBreakaway, const RunSeen& withBreakaway);
Row judgeOutput(const RunSeen& limited, std::uint64_t limitBytes, const RunSeen& echoed,
                const std::string& expected);
Row judgeFiles(const RunSeen& run, const std::string& expectedMessage);
Row judgeControlPipe(const std::vector<PipeConversation>& conversations);
Row judgePipeIdentity(const ImpersonationSeen& seen, bool wine);
// `run`: sandbox.exe told to connect to the control pipe `pipeName`, whose security descriptor
// denies its account writing; `connected`: whether it connected all the same.
Row judgePipeSecurity(const RunSeen& run, const std::string& pipeName, bool connected, bool wine);
Row judgeAppContainer(const ConfinementSeen& seen);
Row judgeTiming(const std::vector<RunSeen>& runs);
// `confined` is empty where the system has no AppContainer.
Row judgeToolchain(const std::string& command, const RunSeen& unconfined,
                   const std::optional<RunSeen>& confined);
Row machineRow(const MachineFacts& facts);

}  // namespace sandbox::check
