#include "check/judge.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "config/json.h"
#include "report/report.h"

namespace sandbox::check {
namespace {

constexpr const char* kCheckDocs = "docs/operating.md#checking-the-machine-sandbox-check";
constexpr const char* kReportMembers[] = {
    "mode",           "status",          "exitCode",        "wallTimeMs",    "cpuTimeMs",
    "userTimeMs",     "kernelTimeMs",    "peakMemoryBytes", "peakMemoryMb",  "ioReadCount",
    "ioWriteCount",   "ioReadBytes",     "ioWriteBytes",    "newFilesCount", "maxFileSizeSeen",
    "generatedFiles", "stdoutTruncated", "stderrTruncated", "message"};

std::string number(std::uint64_t value) { return std::to_string(value); }

std::string mib(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
  return text;
}

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

Row pass(const char* check, std::string figure) {
  return Row{check, Result::Pass, std::move(figure), ""};
}

// A row that is not PASS: what is wrong, what to do, and where to read more, as one sentence.
Row notPass(const char* check, Result result, std::string figure, const std::string& wrong,
            const std::string& todo, const char* docs = kCheckDocs) {
  return Row{check, result, std::move(figure), wrong + "; " + todo + " (see " + docs + ")."};
}

// What went wrong with the run itself, before its verdict is looked at; empty when it started,
// ended by itself and left a whole report.
std::string runFault(const RunSeen& run) {
  if (!run.started) {
    return "sandbox.exe could not be started (error " + number(run.startError) + ")";
  }
  if (!run.ended) return "sandbox.exe did not end within its time limit and was ended by the check";
  if (run.missing.empty() && !run.complete) return "sandbox.exe left no report";
  if (!run.complete) return "the report has no member \"" + run.missing + "\"";
  return {};
}

// runFault, or a verdict other than `status` (with `exitCode` unless it is null).
std::string verdictFault(const RunSeen& run, const std::string& status,
                         std::optional<std::int64_t> exitCode) {
  std::string fault = runFault(run);
  if (!fault.empty()) return fault;
  if (run.status == status && (!exitCode || run.exitCode == *exitCode)) return {};
  return "expected \"" + status + "\"" +
         (exitCode ? " with exit code " + std::to_string(*exitCode) : std::string()) + ", got \"" +
         run.status + "\" with exit code " + std::to_string(run.exitCode) + " (" + run.message +
         ")";
}

// What to do when sandbox.exe itself misbehaved.
constexpr const char* kRunAdvice =
    "check that --sandbox names this release's sandbox.exe and read the report's message";

std::uint64_t overshoot(std::uint64_t wallMs, std::uint64_t limitMs) {
  return wallMs > limitMs ? wallMs - limitMs : 0;
}

std::uint64_t median(std::vector<std::uint64_t> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

const char* resultWord(Result result) {
  switch (result) {
    case Result::Pass:
      return "PASS";
    case Result::Fail:
      return "FAIL";
    case Result::Warn:
      return "WARN";
    case Result::Skip:
      break;
  }
  return "SKIP";
}

std::string rowLine(const Row& row) {
  std::string line = row.check;
  line.resize(std::max<std::size_t>(line.size() + 1, 16), ' ');
  line += resultWord(row.result);
  line += "  " + row.figure;
  if (!row.detail.empty()) line += " - " + row.detail;
  return line;
}

std::string rowsToJson(const std::vector<Row>& rows) {
  std::string json = "[";
  for (const Row& row : rows) {
    json += json.size() == 1 ? "\n" : ",\n";
    json += "  {\"check\": \"" + jsonEscape(row.check) + "\", \"result\": \"" +
            resultWord(row.result) + "\", \"figure\": \"" + jsonEscape(row.figure) +
            "\", \"detail\": \"" + jsonEscape(row.detail) + "\"}";
  }
  return json + "\n]\n";
}

int exitStatusFor(const std::vector<Row>& rows) {
  return std::any_of(rows.begin(), rows.end(),
                     [](const Row& row) { return row.result == Result::Fail; })
             ? 1
             : 0;
}

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    std::string* field = option == "--sandbox" ? &options.sandbox
                         : option == "--dir"   ? &options.dir
                         : option == "--json"  ? &options.json
                                               : nullptr;
    if (field == nullptr && option != "--toolchain") {
      error = "Unknown argument: " + option;
      return false;
    }
    if (i + 1 == args.size() || args[i + 1].empty()) {
      error = "Missing value for option: " + option;
      return false;
    }
    if (field != nullptr) {
      *field = args[++i];
    } else {
      options.toolchains.push_back(args[++i]);
    }
  }
  return true;
}

const std::string& usageText() {
  static const std::string text =
      "Usage: sandbox-check [--sandbox PATH] [--dir DIR] [--json FILE] [--toolchain "
      "\"COMMAND\"]...\n"
      "Runs sandbox.exe on probes whose outcome is known and says, row by row, whether this\n"
      "machine keeps each limit and each confinement. Exit status: 0 when no row says FAIL, 1\n"
      "otherwise, 2 for a usage error.\n"
      "  --sandbox PATH       the sandbox.exe to check (default: the one beside sandbox-check)\n"
      "  --dir DIR            where each run gets a folder (default: a new folder under %TEMP%,\n"
      "                       removed at the end)\n"
      "  --json FILE          also write the rows as a JSON array\n"
      "  --toolchain \"CMD\"    a compile command to try in the compile profile, unconfined and\n"
      "                       confined (repeatable)\n";
  return text;
}

void readReport(RunSeen& run) {
  JsonValue report;
  run.complete = false;
  run.missing.clear();
  if (!parseJson(run.reportText, report) || report.kind != JsonValue::Kind::Object) return;
  for (const char* member : kReportMembers) {
    if (!report.has(member)) {
      run.missing = member;
      return;
    }
  }
  run.complete = true;
  run.status = report.get("status").getString("");
  run.message = report.get("message").getString("");
  run.exitCode = report.get("exitCode").getInt64();
  run.wallTimeMs = report.get("wallTimeMs").getUint64();
  run.cpuTimeMs = report.get("cpuTimeMs").getUint64();
  run.peakMemoryBytes = report.get("peakMemoryBytes").getUint64();
}

Row judgeStart(const RunSeen& run) {
  const char* check = "start";
  std::string fault = verdictFault(run, "Accepted", 0);
  if (fault.empty() && run.exitStatus != 0) {
    fault = "sandbox.exe ended with status " + number(run.exitStatus) + " for an Accepted run";
  }
  const std::string figure = number(run.lifetimeMs) + " ms from start to report";
  if (fault.empty()) return pass(check, figure);
  return notPass(check, Result::Fail, figure, fault, kRunAdvice);
}

Row judgeWallLimit(const RunSeen& run, std::uint64_t limitMs) {
  const char* check = "wall-limit";
  const std::string fault = verdictFault(run, "TimeLimitExceeded", 1001);
  const std::uint64_t late = overshoot(run.wallTimeMs, limitMs);
  const std::string figure = "overshoot " + number(late) + " ms";
  if (!fault.empty()) return notPass(check, Result::Fail, figure, fault, kRunAdvice);
  if (late > 100) {
    return notPass(check, Result::Fail, figure,
                   "a sleeping probe was stopped " + number(late) + " ms past its " +
                       number(limitMs) + " ms limit (at most 100 ms expected)",
                   "the machine is too busy to keep time: run fewer sandboxes at once");
  }
  return pass(check, figure);
}

Row judgeCpuLimit(const RunSeen& limited, std::uint64_t cpuLimitMs, std::uint64_t wallLimitMs,
                  const RunSeen& pinned) {
  const char* check = "cpu-limit";
  const std::string fault = verdictFault(limited, "TimeLimitExceeded", 1001);
  const std::string figure = number(limited.cpuTimeMs) + " ms of CPU time at the stop (wall " +
                             number(limited.wallTimeMs) + " ms)";
  if (!fault.empty()) return notPass(check, Result::Fail, figure, fault, kRunAdvice);
  if (limited.cpuTimeMs < cpuLimitMs || limited.wallTimeMs * 2 > wallLimitMs) {
    return notPass(check, Result::Fail, figure,
                   "the CPU-time limit was not enforced: a spinning probe under a " +
                       number(cpuLimitMs) + " ms CPU limit ran " + number(limited.wallTimeMs) +
                       " ms and the system accounted " + number(limited.cpuTimeMs) +
                       " ms of CPU time",
                   "judge on a Windows kernel that accounts CPU time to job objects");
  }
  const std::string pinnedFault = verdictFault(pinned, "Accepted", 0);
  if (!pinnedFault.empty()) return notPass(check, Result::Fail, figure, pinnedFault, kRunAdvice);
  const std::uint64_t gap = pinned.cpuTimeMs > pinned.wallTimeMs
                                ? pinned.cpuTimeMs - pinned.wallTimeMs
                                : pinned.wallTimeMs - pinned.cpuTimeMs;
  if (gap * 10 > pinned.wallTimeMs) {
    return notPass(check, Result::Warn, figure,
                   "a probe spinning on one processor was accounted " + number(pinned.cpuTimeMs) +
                       " ms of CPU time in " + number(pinned.wallTimeMs) +
                       " ms, so that processor is shared or busy",
                   "keep the processors the sandboxes use free of other work",
                   "docs/operating.md#one-sandbox-per-core");
  }
  return pass(check, figure);
}

Row judgeMemoryLimit(const RunSeen& refused, const RunSeen& caught, const RunSeen& small,
                     std::uint64_t smallMiB) {
  const char* check = "memory-limit";
  const std::string figure =
      "peak " + mib(small.peakMemoryBytes) + " for " + number(smallMiB) + " MiB";
  if (runFault(refused).empty() && refused.status == "Accepted") {
    return notPass(check, Result::Fail, figure,
                   "the memory limit was not enforced: a probe committed and touched more memory "
                   "than its limit and was \"Accepted\"",
                   "judge on a Windows kernel that enforces job memory limits");
  }
  std::string fault = verdictFault(refused, "MemoryLimitExceeded", std::nullopt);
  if (fault.empty()) fault = verdictFault(caught, "Accepted", 0);
  if (fault.empty()) fault = verdictFault(small, "Accepted", 0);
  if (!fault.empty()) return notPass(check, Result::Fail, figure, fault, kRunAdvice);
  const std::uint64_t low = smallMiB << 20;
  if (small.peakMemoryBytes < low || small.peakMemoryBytes > low + low / 2) {
    return notPass(check, Result::Fail, figure,
                   "a probe that committed " + number(smallMiB) +
                       " MiB was reported with a peak of " + mib(small.peakMemoryBytes) +
                       ", so peak memory is not accounted",
                   "judge on a Windows kernel that accounts memory to job objects");
  }
  return pass(check, figure);
}

Row judgeProcessLimit(const RunSeen& runProfile, const RunSeen& compileProfile) {
  const char* check = "process-limit";
  const std::string figure =
      std::string("run profile: ") +
      (runProfile.exitCode == kSpawnRefusedExit ? "refused" : "created") +
      ", compile profile: " + (compileProfile.exitCode == 0 ? "created" : "refused");
  if (runFault(runProfile).empty() && runProfile.status == "Accepted") {
    return notPass(check, Result::Fail, figure,
                   "the process limit was not enforced: a probe created a child process in the "
                   "run profile",
                   "judge on a Windows kernel that enforces job process limits");
  }
  std::string fault = verdictFault(runProfile, "RuntimeError", kSpawnRefusedExit);
  if (fault.empty()) fault = verdictFault(compileProfile, "Accepted", 0);
  if (!fault.empty()) return notPass(check, Result::Fail, figure, fault, kRunAdvice);
  return pass(check, figure);
}

Row judgeAffinity(const std::vector<AffinitySeen>& seen) {
  const char* check = "affinity";
  std::string figure, fault;
  for (const AffinitySeen& one : seen) {
    const std::uint64_t mask = std::strtoull(one.run.out.c_str(), nullptr, 10);
    const std::uint64_t expected = std::uint64_t{1} << one.processor;
    if (!figure.empty()) figure += ", ";
    figure += "processor " + number(one.processor) + ": mask " + hex(mask);
    if (!fault.empty()) continue;
    fault = verdictFault(one.run, "Accepted", 0);
    if (fault.empty() && mask != expected) {
      fault = "the processor pin was not applied: under --core " + number(one.processor) +
              " the probe could run on the processors " + hex(mask) + ", not " + hex(expected);
    }
  }
  if (fault.empty()) return pass(check, figure);
  return notPass(check, Result::Fail, figure, fault,
                 "judge on a Windows kernel that applies a job's processor affinity",
                 "docs/operating.md#one-sandbox-per-core");
}

Row judgeCrash(const RunSeen& accessViolation, const RunSeen& missingDll, std::uint64_t boundMs) {
  const char* check = "crash";
  const std::string figure = "access violation reported after " +
                             number(accessViolation.wallTimeMs) + " ms, missing DLL after " +
                             number(missingDll.wallTimeMs) + " ms";
  const struct {
    const RunSeen& run;
    std::int64_t code;
  } runs[] = {{accessViolation, -1073741819}, {missingDll, -1073741515}};
  for (const auto& one : runs) {
    std::string fault = verdictFault(one.run, "RuntimeError", one.code);
    if (fault.empty() && one.run.wallTimeMs > boundMs) {
      fault = "a crashing program was reported only after " + number(one.run.wallTimeMs) +
              " ms (at most " + number(boundMs) + " ms expected)";
    }
    if (!fault.empty()) {
      return notPass(check, Result::Fail, figure, fault,
                     "a dialog or a debugger holds crashing programs: turn them off",
                     "docs/operating.md#error-reporting");
    }
  }
  return pass(check, figure);
}

Row judgeErrorReporting(const ErrorReportingSettings& settings) {
  const char* check = "error-reporting";
  const std::string figure =
      std::string("Windows Error Reporting ") +
      (settings.werDisabled ? "off"
       : settings.werNoUi   ? "on, no window"
                            : "on, may show a window") +
      ", AeDebug " + (settings.autoDebugger ? "starts " + settings.debugger : "starts nothing");
  std::string wrong, todo;
  if (settings.autoDebugger) {
    wrong = "a debugger (" + settings.debugger + ") starts by itself on every crash";
    todo = "set \"Auto\" to 0 under HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug";
  }
  if (!settings.werDisabled) {
    wrong += std::string(wrong.empty() ? "" : ", and ") + "Windows Error Reporting " +
             (settings.werNoUi ? "queues a report" : "may show a window and queue a report") +
             " for every fail-fast crash";
    todo += std::string(todo.empty() ? "" : ", and ") +
            "set \"Disabled\" and \"DontShowUI\" to 1 under HKLM\\SOFTWARE\\Microsoft\\Windows\\"
            "Windows Error Reporting";
  }
  if (wrong.empty()) return pass(check, figure);
  return notPass(check, Result::Warn, figure, wrong, todo, "docs/operating.md#error-reporting");
}

Row judgeInAJob(const RunSeen& withoutBreakaway, const RunSeen& withBreakaway) {
  const char* check = "in-a-job";
  const std::string figure =
      "without breakaway: " + withoutBreakaway.status + ", with breakaway: " + withBreakaway.status;
  for (const RunSeen* run : {&withoutBreakaway, &withBreakaway}) {
    std::string fault = verdictFault(*run, "Accepted", 0);
    if (fault.empty() && run->out != "in-job") {
      fault = "the probe found itself in no job at all";
    }
    if (!fault.empty()) {
      return notPass(check, Result::Fail, figure,
                     "sandbox.exe started inside a job " +
                         std::string(run == &withBreakaway ? "that allows breakaway"
                                                           : "that allows no breakaway") +
                         ": " + fault,
                     "start sandbox.exe outside a job, or in one that allows breakaway",
                     "docs/operating.md#the-account-to-run-it-under");
    }
  }
  return pass(check, figure);
}

Row judgeOutput(const RunSeen& limited, std::uint64_t limitBytes, const RunSeen& echoed,
                const std::string& expected) {
  const char* check = "output";
  const std::string figure = number(limited.out.size()) + " bytes kept under a limit of " +
                             number(limitBytes) + ", " + number(echoed.out.size()) + " of " +
                             number(expected.size()) + " bytes echoed";
  std::string fault = verdictFault(limited, "OutputLimitExceeded", std::nullopt);
  if (fault.empty() && limited.out.size() != limitBytes) {
    fault = "the output was cut at " + number(limited.out.size()) + " bytes, not at the limit";
  }
  if (fault.empty()) fault = verdictFault(echoed, "Accepted", 0);
  if (fault.empty() && echoed.out != expected) {
    fault = "the standard input did not come back byte for byte";
  }
  if (fault.empty()) return pass(check, figure);
  return notPass(check, Result::Fail, figure, fault, kRunAdvice);
}

Row judgeFiles(const RunSeen& run, const std::string& expectedMessage) {
  const char* check = "files";
  std::string fault = verdictFault(run, "FileLimitExceeded", std::nullopt);
  if (fault.empty() && run.message != expectedMessage) {
    fault = "the message was \"" + run.message + "\", not \"" + expectedMessage + "\"";
  }
  if (fault.empty()) return pass(check, run.message);
  return notPass(check, Result::Fail, run.message, fault, kRunAdvice);
}

Row judgeControlPipe(const std::vector<PipeConversation>& conversations) {
  const char* check = "control-pipe";
  std::size_t arrived = 0;
  std::string fault;
  for (const PipeConversation& talk : conversations) {
    std::string wrong = verdictFault(talk.run, "Accepted", 0);
    if (!talk.connected) {
      wrong = "sandbox.exe never connected";
    } else if (wrong.empty() && talk.received != talk.run.reportText) {
      wrong = talk.received.empty() ? "no report arrived"
                                    : "the report that arrived differs from the report file";
    }
    if (wrong.empty()) {
      ++arrived;
    } else if (fault.empty()) {
      fault = "over the " + talk.name + " conversation: " + wrong;
    }
  }
  const std::string figure =
      number(arrived) + " of " + number(conversations.size()) + " reports arrived";
  if (fault.empty()) return pass(check, figure);
  return notPass(
      check, Result::Fail, figure, fault,
      "a service that drives sandbox.exe over pipes would lose runs: " + std::string(kRunAdvice));
}

Row judgePipeIdentity(const ImpersonationSeen& seen, bool wine) {
  const char* check = "pipe-identity";
  const char* levels[] = {"anonymous", "identification", "impersonation", "delegation"};
  const std::string figure =
      seen.level >= 0 && seen.level <= 3 ? std::string("level ") + levels[seen.level] : "none";
  if (!seen.connected) {
    return notPass(check, Result::Fail, figure, "sandbox.exe never connected to the pipe",
                   kRunAdvice);
  }
  if (!seen.failedCall.empty()) {
    return notPass(check, Result::Fail, figure,
                   "the service could not identify the sandbox's account (" + seen.failedCall +
                       ": error " + number(seen.error) + ")",
                   "check that nothing between the service and sandbox.exe rewrites the pipe");
  }
  if (seen.level == 1) return pass(check, figure);
  return notPass(check, Result::Fail, figure,
                 "the service could act as the sandbox's account (" + figure + ")",
                 wine ? "Wine's pipe server impersonates itself, not the client, so judge on "
                        "Windows"
                      : "use this release's sandbox.exe, which opens its pipes at the "
                        "identification level");
}

Row judgePipeSecurity(const RunSeen& run, const std::string& pipeName, bool connected, bool wine) {
  const char* check = "pipe-security";
  const std::string refusal = "Failed to connect to control pipe: " + pipeName;
  const std::string figure =
      connected ? "connected" : "refused after " + number(run.lifetimeMs) + " ms";
  if (connected) {
    return notPass(check, Result::Fail, figure,
                   "sandbox.exe connected to a control pipe whose security descriptor denies its "
                   "account writing, so pipe security is not enforced here",
                   wine ? "Wine stores no pipe security, so judge on Windows"
                        : "run the service and the sandbox where pipe security holds");
  }
  std::string fault = verdictFault(run, "InternalError", std::nullopt);
  if (fault.empty() && run.message != refusal) fault = "the report said \"" + run.message + "\"";
  if (fault.empty() &&
      (run.exitStatus != 1 ||
       run.err != refusal + "\nAccess to the pipe was denied: its security "
                            "descriptor must let this account read and write.\n")) {
    fault = "sandbox.exe ended with status " + number(run.exitStatus) + " and said \"" + run.err +
            "\", not the refusal and its reason";
  }
  if (fault.empty() && run.lifetimeMs > 1000) {
    fault = "sandbox.exe gave up on the denied pipe only after " + number(run.lifetimeMs) +
            " ms (at most 1000 ms expected)";
  }
  if (fault.empty()) return pass(check, figure);
  return notPass(check, Result::Fail, figure, fault, kRunAdvice);
}

Row judgeAppContainer(const ConfinementSeen& seen) {
  const char* check = "appcontainer";
  const char* docs = "docs/operating.md#appcontainer-for-untrusted-code";
  if (!seen.supported) {
    return notPass(check, Result::Skip, "no AppContainer",
                   "userenv.dll has no CreateAppContainerProfile, so every --appcontainer run "
                   "ends in \"InternalError\"",
                   "confine submissions on Windows 8 or later", docs);
  }
  std::string answers, fault = verdictFault(seen.io, "Accepted", 0);
  std::size_t at = 0;
  for (const char* expected : kConfinedExpectations) {
    const std::size_t end = std::min(seen.io.out.find(' ', at), seen.io.out.size());
    const std::string answer = at < seen.io.out.size() ? seen.io.out.substr(at, end - at) : "";
    at = end + 1;
    if (answer != expected && fault.empty()) {
      fault = "confined, the probe answered \"" + answer + "\" where \"" + expected + "\" was due";
    }
    answers += answers.empty() ? answer : " " + answer;
  }
  if (fault.empty()) fault = verdictFault(seen.user32, "Accepted", 0);
  if (fault.empty() && seen.securityAfter != seen.securityBefore) {
    fault = "the working directory's security was " + seen.securityAfter + " after the run, " +
            seen.securityBefore + " before";
  }
  if (fault.empty() && seen.preparedAfter != seen.untouchedAfter) {
    fault = "a prepared file's access list was " + seen.preparedAfter + " after the run, " +
            seen.untouchedAfter + " for a file of the directory no run touched";
  }
  if (fault.empty() && !seen.profilesLeft.empty()) {
    fault = "the profile " + seen.profilesLeft.front() + " was left behind";
  }
  if (fault.empty()) return pass(check, answers);
  return notPass(check, Result::Fail, answers, fault,
                 "do not confine submissions with --appcontainer on this machine until it passes",
                 docs);
}

Row judgeTiming(const std::vector<RunSeen>& runs) {
  const char* check = "timing";
  std::vector<std::uint64_t> cpu, cost;
  for (const RunSeen& run : runs) {
    const std::string fault = verdictFault(run, "Accepted", 0);
    if (!fault.empty()) return notPass(check, Result::Fail, "", fault, kRunAdvice);
    cpu.push_back(run.cpuTimeMs);
    cost.push_back(overshoot(run.lifetimeMs, run.wallTimeMs));
  }
  const std::uint64_t middle = median(cpu);
  const std::uint64_t spread = cpu.empty() ? 0
                                           : *std::max_element(cpu.begin(), cpu.end()) -
                                                 *std::min_element(cpu.begin(), cpu.end());
  const std::string figure = "CPU time median " + number(middle) + " ms, spread " + number(spread) +
                             " ms over " + number(runs.size()) + " runs; the sandbox's own cost " +
                             number(median(cost)) + " ms a run";
  if (std::all_of(cpu.begin(), cpu.end(), [](std::uint64_t ms) { return ms == 0; })) {
    return notPass(check, Result::Skip, figure, "the system accounts no CPU time to job objects",
                   "measure timing on a Windows kernel");
  }
  if (spread * 10 > middle) {
    return notPass(check, Result::Warn, figure,
                   "the same work was accounted CPU times more than 10% apart",
                   "keep the processors the sandboxes use free of other work",
                   "docs/operating.md#one-sandbox-per-core");
  }
  return pass(check, figure);
}

Row judgeToolchain(const std::string& command, const RunSeen& unconfined,
                   const std::optional<RunSeen>& confined) {
  const std::string check = "toolchain";
  const std::string figure = command + ": unconfined " + unconfined.status + ", confined " +
                             (confined ? confined->status : std::string("not tried"));
  const std::string fault = verdictFault(unconfined, "Accepted", 0);
  Row row{check, Result::Fail, figure, ""};
  if (!fault.empty()) {
    row.detail =
        "the command fails even unconfined: " + fault +
        "; run it by hand in the compile profile and fix the toolchain's installation (see " +
        kCheckDocs + ").";
  } else if (!confined) {
    row.result = Result::Pass;
    row.figure += " (no AppContainer on this system)";
  } else if (const std::string confinedFault = verdictFault(*confined, "Accepted", 0);
             !confinedFault.empty()) {
    row.detail = "the command works unconfined but not confined (" + confinedFault +
                 "), so the toolchain's folder is not readable from the container; grant it "
                 "once with sandbox.exe --grant-toolchain DIR (see "
                 "docs/operating.md#appcontainer-for-untrusted-code).";
  } else {
    row.result = Result::Pass;
  }
  return row;
}

Row machineRow(const MachineFacts& facts) {
  std::string figure = "Windows " + facts.windowsVersion;
  if (!facts.wineVersion.empty()) figure += " (Wine " + facts.wineVersion + ")";
  figure += ", " + number(facts.processors) + " processors, " +
            (facts.inJob ? "in a job" : "in no job") + ", session " + number(facts.session) +
            (facts.session == 0 ? " (a service)" : "");
  return pass("machine", figure);
}

}  // namespace sandbox::check
