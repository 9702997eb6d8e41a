// sandbox-check's judgement of what each row saw, its lines, its JSON and its command line.
#include <gtest/gtest.h>

#include "check/judge.h"
#include "config/json.h"
#include "report/report.h"

namespace sandbox::check {
namespace {

// A run that started, ended and reported `status` and `exitCode`.
RunSeen ran(const std::string& status, std::int64_t exitCode, std::uint64_t wallMs = 10,
            std::uint64_t cpuMs = 0, const std::string& out = "") {
  RunSeen run;
  run.started = run.ended = run.complete = true;
  run.status = status;
  run.exitCode = exitCode;
  run.wallTimeMs = wallMs;
  run.cpuTimeMs = cpuMs;
  run.out = out;
  run.reportText = "{\"status\": \"" + status + "\"}";
  return run;
}

RunSeen withPeak(RunSeen run, std::uint64_t bytes) {
  run.peakMemoryBytes = bytes;
  return run;
}

RunSeen lifetime(RunSeen run, std::uint64_t ms) {
  run.lifetimeMs = ms;
  return run;
}

RunSeen exitStatus(RunSeen run, std::uint32_t status) {
  run.exitStatus = status;
  return run;
}

RunSeen broken(bool started, bool ended, const char* missing) {
  RunSeen run = ran("Accepted", 0);
  run.started = started;
  run.startError = 2;
  run.ended = ended;
  run.complete = missing == nullptr;
  run.missing = missing == nullptr ? "" : missing;
  return run;
}

ConfinementSeen confined(const std::string& answers) {
  ConfinementSeen seen;
  seen.supported = true;
  seen.io = ran("Accepted", 0, 10, 0, answers);
  seen.user32 = ran("Accepted", 0);
  seen.securityBefore = seen.securityAfter = "D:(A;;FA;;;WD)";
  return seen;
}

std::vector<RunSeen> spins(std::initializer_list<std::uint64_t> cpu) {
  std::vector<RunSeen> runs;
  for (const std::uint64_t ms : cpu) runs.push_back(lifetime(ran("Accepted", 0, 200, ms), 260));
  return runs;
}

PipeConversation talk(bool connected, const std::string& received) {
  PipeConversation conversation{"raw line", connected, received, ran("Accepted", 0)};
  return conversation;
}

constexpr std::uint64_t MiB = 1 << 20;
const char* ok = "cwd-file:ok prepared:ok temp:ok secret:denied network:refused process:denied";

// Rows: what a row saw => its result and the start of its detail (each edge of each judgement).
TEST(CheckRows, EachVerdictFromWhatTheRowSaw) {
  const RunSeen tle = ran("TimeLimitExceeded", 1001, 600);
  const RunSeen accepted = ran("Accepted", 0, 1000, 1000);
  const RunSeen mle = ran("MemoryLimitExceeded", 3), spawnRefused = ran("RuntimeError", 20);
  const RunSeen echoed = ran("Accepted", 0, 10, 0, "abc");
  const ErrorReportingSettings off{true, true, false, ""}, quiet{false, true, false, ""};
  const ErrorReportingSettings shown{false, false, false, ""}, debugger{true, true, true, "dbg"};
  ConfinementSeen changed = confined(ok), left = confined(ok), prepared = confined(ok);
  changed.securityAfter = "D:(A;;FA;;;WD)(A;;FA;;;AC)";
  left.profilesLeft = {"TesselSandbox_7_1"};
  prepared.preparedAfter = "D:(A;ID;FA;;;AC)";
  const std::string refused = "Failed to connect to control pipe: p";
  RunSeen denied = exitStatus(lifetime(ran("InternalError", 0), 1000), 1), slow = denied;
  denied.message = slow.message = refused;
  denied.err = slow.err = refused +
                          "\nAccess to the pipe was denied: its security descriptor "
                          "must let this account read and write.\n";
  slow.lifetimeMs = 1001;
  RunSeen unexplained = denied, misreported = denied;
  unexplained.err = refused + "\n";
  misreported.message = "x";
  const struct {
    Row row;
    const char* expected;
  } rows[] = {
      {judgeStart(accepted), "PASS "},
      {judgeStart(exitStatus(accepted, 1)), "FAIL sandbox.exe ended with status 1 for an Accepted"},
      {judgeStart(broken(false, false, nullptr)),
       "FAIL sandbox.exe could not be started (error 2)"},
      {judgeStart(broken(true, false, nullptr)), "FAIL sandbox.exe did not end"},
      {judgeStart(broken(true, true, "")), "FAIL sandbox.exe left no report"},
      {judgeStart(broken(true, true, "message")), "FAIL the report has no member \"message\""},
      {judgeStart(ran("RuntimeError", 3)),
       "FAIL expected \"Accepted\" with exit code 0, got \"RuntimeError\" with exit code 3"},
      {judgeWallLimit(tle, 500), "PASS "},
      {judgeWallLimit(ran("TimeLimitExceeded", 1001, 601), 500),
       "FAIL a sleeping probe was stopped 101 ms past its 500 ms limit"},
      {judgeWallLimit(ran("TimeLimitExceeded", 1002, 510), 500), "FAIL expected \"TimeLimit"},
      {judgeCpuLimit(ran("TimeLimitExceeded", 1001, 2500, 500), 500, 5000, accepted), "PASS "},
      {judgeCpuLimit(ran("TimeLimitExceeded", 1001, 600, 499), 500, 5000, accepted),
       "FAIL the CPU-time limit was not enforced"},
      {judgeCpuLimit(ran("TimeLimitExceeded", 1001, 2501, 500), 500, 5000, accepted),
       "FAIL the CPU-time limit was not enforced"},
      {judgeCpuLimit(tle, 0, 5000, ran("Accepted", 0, 1000, 900)), "PASS "},
      {judgeCpuLimit(tle, 0, 5000, ran("Accepted", 0, 1000, 1100)), "PASS "},
      {judgeCpuLimit(tle, 0, 5000, ran("Accepted", 0, 1000, 899)),
       "WARN a probe spinning on one processor was accounted 899 ms"},
      {judgeCpuLimit(tle, 0, 5000, ran("Accepted", 0, 1000, 1101)), "WARN"},
      {judgeCpuLimit(tle, 0, 5000, broken(true, false, nullptr)), "FAIL sandbox.exe did not end"},
      {judgeCpuLimit(accepted, 0, 5000, accepted), "FAIL expected \"TimeLimitExceeded\""},
      {judgeMemoryLimit(ran("Accepted", 0), accepted, withPeak(accepted, 64 * MiB), 64),
       "FAIL the memory limit was not enforced"},
      {judgeMemoryLimit(mle, accepted, withPeak(accepted, 64 * MiB), 64), "PASS "},
      {judgeMemoryLimit(mle, accepted, withPeak(accepted, 96 * MiB), 64), "PASS "},
      {judgeMemoryLimit(mle, accepted, withPeak(accepted, 96 * MiB + 1), 64),
       "FAIL a probe that committed 64 MiB was reported with a peak of 96.0 MiB"},
      {judgeMemoryLimit(mle, accepted, withPeak(accepted, 64 * MiB - 1), 64), "FAIL a probe that"},
      {judgeMemoryLimit(mle, mle, withPeak(accepted, 64 * MiB), 64), "FAIL expected \"Accepted\""},
      {judgeMemoryLimit(ran("RuntimeError", 3), accepted, accepted, 64),
       "FAIL expected \"MemoryLimitExceeded\", got"},
      {judgeProcessLimit(accepted, accepted), "FAIL the process limit was not enforced"},
      {judgeProcessLimit(spawnRefused, accepted), "PASS "},
      {judgeProcessLimit(spawnRefused, spawnRefused), "FAIL expected \"Accepted\""},
      {judgeProcessLimit(ran("RuntimeError", 21), accepted), "FAIL expected \"RuntimeError\" with"},
      {judgeAffinity({{0, ran("Accepted", 0, 1, 0, "1")}, {3, ran("Accepted", 0, 1, 0, "8")}}),
       "PASS "},
      {judgeAffinity({{0, ran("Accepted", 0, 1, 0, "1")}, {3, ran("Accepted", 0, 1, 0, "15")}}),
       "FAIL the processor pin was not applied: under --core 3 the probe could run on the "
       "processors 0xF, not 0x8"},
      {judgeCrash(ran("RuntimeError", -1073741819, 2000), ran("RuntimeError", -1073741515), 2000),
       "PASS "},
      {judgeCrash(ran("RuntimeError", -1073741819), ran("RuntimeError", -1073741515, 2001), 2000),
       "FAIL a crashing program was reported only after 2001 ms"},
      {judgeCrash(ran("TimeLimitExceeded", 1001), ran("RuntimeError", -1073741515), 2000),
       "FAIL expected \"RuntimeError\" with exit code -1073741819"},
      {judgeErrorReporting(off), "PASS "},
      {judgeErrorReporting(quiet), "WARN Windows Error Reporting queues a report"},
      {judgeErrorReporting(shown), "WARN Windows Error Reporting may show a window"},
      {judgeErrorReporting(debugger), "WARN a debugger (dbg) starts by itself on every crash; set"},
      {judgeInAJob(ran("Accepted", 0, 1, 0, "in-job"), ran("Accepted", 0, 1, 0, "in-job")),
       "PASS "},
      {judgeInAJob(ran("Accepted", 0, 1, 0, "no-job"), ran("Accepted", 0, 1, 0, "in-job")),
       "FAIL sandbox.exe started inside a job that allows no breakaway: the probe found itself"},
      {judgeInAJob(ran("Accepted", 0, 1, 0, "in-job"), ran("RuntimeError", 1)),
       "FAIL sandbox.exe started inside a job that allows breakaway: expected"},
      {judgeOutput(ran("OutputLimitExceeded", 1002, 1, 0, "ab"), 2, echoed, "abc"), "PASS "},
      {judgeOutput(ran("OutputLimitExceeded", 1002, 1, 0, "a"), 2, echoed, "abc"),
       "FAIL the output was cut at 1 bytes, not at the limit"},
      {judgeOutput(ran("OutputLimitExceeded", 1002, 1, 0, "ab"), 2, echoed, "abd"),
       "FAIL the standard input did not come back byte for byte"},
      {judgeFiles(ran("FileLimitExceeded", 0), ""), "PASS "},
      {judgeFiles(ran("FileLimitExceeded", 0), "File count"), "FAIL the message was \"\""},
      {judgeControlPipe({talk(true, ran("Accepted", 0).reportText)}), "PASS "},
      {judgeControlPipe({talk(false, "")}),
       "FAIL over the raw line conversation: sandbox.exe never connected"},
      {judgeControlPipe({talk(true, "")}),
       "FAIL over the raw line conversation: no report arrived"},
      {judgeControlPipe({talk(true, "{}")}),
       "FAIL over the raw line conversation: the report that"},
      {judgePipeIdentity({true, 1, "", 0}, true), "PASS "},
      {judgePipeIdentity({true, 2, "", 0}, true),
       "FAIL the service could act as the sandbox's account (level impersonation); Wine's"},
      {judgePipeIdentity({true, 2, "", 0}, false),
       "FAIL the service could act as the sandbox's "
       "account (level impersonation); use this"},
      {judgePipeIdentity({true, -1, "ImpersonateNamedPipeClient", 1368}, false),
       "FAIL the service could not identify the sandbox's account (ImpersonateNamedPipeClient: "
       "error 1368)"},
      {judgePipeIdentity({false, -1, "", 0}, false), "FAIL sandbox.exe never connected"},
      {judgePipeSecurity(denied, "p", false, false), "PASS "},
      {judgePipeSecurity(denied, "p", true, true),
       "FAIL sandbox.exe connected to a control pipe whose security descriptor denies its account "
       "writing, so pipe security is not enforced here; Wine stores"},
      {judgePipeSecurity(slow, "p", false, false),
       "FAIL sandbox.exe gave up on the denied pipe only after 1001 ms"},
      {judgePipeSecurity(unexplained, "p", false, false),
       "FAIL sandbox.exe ended with status 1 and said \"Failed to connect to control pipe: p\n\", "
       "not"},
      {judgePipeSecurity(exitStatus(denied, 2), "p", false, false),
       "FAIL sandbox.exe ended with status 2"},
      {judgePipeSecurity(misreported, "p", false, false), "FAIL the report said \"x\""},
      {judgeAppContainer(ConfinementSeen{}), "SKIP userenv.dll has no CreateAppContainerProfile"},
      {judgeAppContainer(confined(ok)), "PASS "},
      {judgeAppContainer(confined("cwd-file:ok prepared:ok temp:ok secret:opened")),
       "FAIL confined, the probe answered \"secret:opened\" where \"secret:denied\" was due"},
      {judgeAppContainer(confined("cwd-file:ok")),
       "FAIL confined, the probe answered \"\" where \"prepared:ok\" was due"},
      {judgeAppContainer(changed), "FAIL the working directory's security was D:(A;;FA;;;WD)(A"},
      {judgeAppContainer(prepared), "FAIL a prepared file's access list was D:(A;ID;FA;;;AC)"},
      {judgeAppContainer(left), "FAIL the profile TesselSandbox_7_1 was left behind"},
      {judgeTiming(spins({200, 190, 210, 200})), "PASS "},
      {judgeTiming(spins({200, 190, 211, 200})), "WARN the same work was accounted CPU times"},
      {judgeTiming(spins({0, 0})), "SKIP the system accounts no CPU time to job objects"},
      {judgeTiming({accepted, broken(true, true, "")}), "FAIL sandbox.exe left no report"},
      {judgeToolchain("cc", accepted, accepted), "PASS "},
      {judgeToolchain("cc", accepted, std::nullopt), "PASS "},
      {judgeToolchain("cc", accepted, ran("RuntimeError", -1073741790)),
       "FAIL the command works unconfined but not confined"},
      {judgeToolchain("cc", ran("CompileError", 1), ran("CompileError", 1)),
       "FAIL the command fails even unconfined: expected \"Accepted\""},
  };
  for (const auto& row : rows) {
    const std::string seen = std::string(resultWord(row.row.result)) + " " + row.row.detail;
    EXPECT_EQ(seen.substr(0, std::string(row.expected).size()), row.expected)
        << row.row.check << ": " << row.row.figure;
    EXPECT_EQ(row.row.detail.empty(), row.row.result == Result::Pass) << seen;
    EXPECT_FALSE(row.row.check.empty()) << row.expected;
  }
}

// Rows: what the figures of a row say.
TEST(CheckRows, FiguresSayWhatWasMeasured) {
  const RunSeen tle = ran("TimeLimitExceeded", 1001, 512);
  MachineFacts machine{"10.0.19045", "", 8, true, 0};
  MachineFacts wine{"6.1.7601", "8.0", 2, false, 1};
  const struct {
    Row row;
    const char* figure;
  } rows[] = {
      {judgeStart(lifetime(ran("Accepted", 0), 42)), "42 ms from start to report"},
      {judgeWallLimit(tle, 500), "overshoot 12 ms"},
      {judgeWallLimit(ran("TimeLimitExceeded", 1001, 499), 500), "overshoot 0 ms"},
      {judgeMemoryLimit(ran("MemoryLimitExceeded", 3), ran("Accepted", 0),
                        withPeak(ran("Accepted", 0), 66 * MiB + MiB / 2), 64),
       "peak 66.5 MiB for 64 MiB"},
      {judgeTiming(spins({200, 190, 210})),
       "CPU time median 200 ms, spread 20 ms over 3 runs; the sandbox's own cost 60 ms a run"},
      {judgeProcessLimit(ran("RuntimeError", 20), ran("Accepted", 0)),
       "run profile: refused, compile profile: created"},
      {judgeProcessLimit(ran("Accepted", 0), ran("RuntimeError", 20)),
       "run profile: created, compile profile: refused"},
      {judgeAffinity({{0, ran("Accepted", 0, 1, 0, "1")}, {5, ran("Accepted", 0, 1, 0, "48")}}),
       "processor 0: mask 0x1, processor 5: mask 0x30"},
      {judgePipeIdentity({true, 0, "", 0}, false), "level anonymous"},
      {judgePipeIdentity({true, 3, "", 0}, false), "level delegation"},
      {judgeToolchain("cc", ran("Accepted", 0), std::nullopt),
       "cc: unconfined Accepted, confined not tried (no AppContainer on this system)"},
      {machineRow(machine), "Windows 10.0.19045, 8 processors, in a job, session 0 (a service)"},
      {machineRow(wine), "Windows 6.1.7601 (Wine 8.0), 2 processors, in no job, session 1"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.row.figure, row.figure) << row.row.check;
}

// A report is complete only with every member; its members are read from it.
TEST(CheckRows, ReportsAreReadWithEveryMember) {
  ExecutionReport report;
  report.status = "TimeLimitExceeded";
  report.exitCode = -5;
  report.wallTimeMs = 7;
  report.cpuTimeMs = 8;
  report.peakMemoryBytes = 9;
  report.message = "m";
  RunSeen run;
  run.reportText = reportToJson(report);
  readReport(run);
  EXPECT_TRUE(run.complete);
  EXPECT_EQ(run.status + run.message + std::to_string(run.exitCode) +
                std::to_string(run.wallTimeMs) + std::to_string(run.cpuTimeMs) +
                std::to_string(run.peakMemoryBytes),
            "TimeLimitExceededm-5789");
  for (const std::string member : {"\"mode\"", "\"generatedFiles\"", "\"message\""}) {
    run.reportText = reportToJson(report);
    run.reportText.replace(run.reportText.find(member), member.size(), "\"x\"");
    readReport(run);
    EXPECT_FALSE(run.complete);
    EXPECT_EQ("\"" + run.missing + "\"", member);
  }
  run.reportText = "[]";
  readReport(run);
  EXPECT_EQ(run.complete || !run.missing.empty(), false);
}

// Lines, JSON (read back), the exit status, and the check's command line.
TEST(CheckRows, LinesJsonExitStatusAndOptions) {
  const std::vector<Row> rows = {{"start", Result::Pass, "1 ms", ""},
                                 {"error-reporting", Result::Warn, "on", "a \"quoted\"\\ text"}};
  EXPECT_EQ(rowLine(rows[0]), "start           PASS  1 ms");
  EXPECT_EQ(rowLine(rows[1]), "error-reporting WARN  on - a \"quoted\"\\ text");
  JsonValue json;
  ASSERT_TRUE(parseJson(rowsToJson(rows), json));
  ASSERT_EQ(json.arrayValue.size(), 2u);
  EXPECT_EQ(json.arrayValue[1].get("detail").getString(""), rows[1].detail);
  EXPECT_EQ(json.arrayValue[1].get("result").getString("") +
                json.arrayValue[0].get("check").getString(""),
            "WARNstart");
  EXPECT_EQ(exitStatusFor(rows), 0);
  EXPECT_EQ(exitStatusFor({rows[0], {"x", Result::Fail, "", "d"}, rows[1]}), 1);
  EXPECT_EQ(exitStatusFor({{"x", Result::Skip, "", "d"}}), 0);
  const struct {
    std::vector<std::string> args;
    const char* expected;  // the options as parsed, or the error
  } optionRows[] = {
      {{}, "|||"},
      {{"--sandbox", "s.exe", "--dir", "d", "--json", "j", "--toolchain", "cc", "--toolchain", "g"},
       "s.exe|d|j|cc,g,"},
      {{"--dir"}, "Missing value for option: --dir"},
      {{"--toolchain", ""}, "Missing value for option: --toolchain"},
      {{"--sandbox", "a", "probe"}, "Unknown argument: probe"},
  };
  for (const auto& row : optionRows) {
    Options options;
    std::string error, seen;
    if (parseOptions(row.args, options, error)) {
      seen = options.sandbox + "|" + options.dir + "|" + options.json + "|";
      for (const std::string& command : options.toolchains) seen += command + ",";
    } else {
      seen = error;
    }
    EXPECT_EQ(seen, row.expected);
  }
}

}  // namespace
}  // namespace sandbox::check
