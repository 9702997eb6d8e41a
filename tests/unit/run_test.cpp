// A run and its report: the limits it is held to, its verdict, the report text, where it goes
// and the status the sandbox ends with.
#include <gtest/gtest.h>

#include <locale>
#include <tuple>
#include <vector>

#include "app/delivery.h"
#include "isolation/job.h"
#include "report/report.h"
#include "runner/runner.h"
#include "runner/supervision.h"
#include "runner/verdict.h"
#include "streams/cut.h"

namespace sandbox {
namespace {

using Action = SupervisionAction;

// Wall and CPU time stop above their limits, memory at its limit; 0 is no limit. Time is
// reported before memory.
TEST(Supervision, StopsAtEachLimitsEdge) {
  const SupervisionLimits limits{100, 50, 1000};
  const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, Action> rows[] = {
      {100, 50, 999, Action::Continue},    {101, 0, 0, Action::StopForTime},
      {0, 51, 0, Action::StopForTime},     {0, 0, 1000, Action::StopForMemory},
      {101, 0, 1000, Action::StopForTime}, {0, 51, 1000, Action::StopForTime},
  };
  for (const auto& [elapsed, cpu, peak, action] : rows) {
    EXPECT_EQ(decideSupervision(limits, elapsed, cpu, peak), action) << elapsed << " " << cpu;
  }
  EXPECT_EQ(decideSupervision({}, UINT64_MAX, UINT64_MAX, UINT64_MAX), Action::Continue);
}

// After the stop, a read gets a short grace from the stop (or its own later start); an echo
// write is judged by its own duration only, so a slow reader that keeps reading loses nothing.
TEST(OutputCut, PumpCallOverdue) {
  const std::tuple<bool, std::uint64_t, std::uint64_t, std::uint64_t, bool> rows[] = {
      {false, 100, 1000, 1049, false},  {false, 100, 1000, 1050, true},
      {false, 2000, 1000, 2049, false}, {false, 2000, 1000, 2050, true},
      {true, 100, 5000, 1099, false},   {true, 100, 5000, 1100, true},
      {true, 5000, 100, 4000, false},
  };
  for (const auto& [write, started, stopped, now, overdue] : rows) {
    EXPECT_EQ(pumpCallOverdue(write, started, stopped, now), overdue)
        << write << " " << started << " " << stopped << " " << now;
  }
}

using Values = std::vector<std::uint64_t>;

// Kill on close, no crash dialog and every UI restriction always; the rest as configured.
TEST(Job, LimitsFollowTheConfiguration) {
  const std::tuple<std::uint64_t, std::uint64_t, std::uint32_t, bool, Values> rows[] = {
      {2, 0, 3, false, {0x2718, 2097152, 2097152, 8, 1, 0xFF}},
      {2, 5, 63, true, {0x2710, 5, 5, 0x8000000000000000ULL, 0, 0xFF}},
      {0, 0, 64, true, {0x2400, 0, 0, 0, 0, 0xFF}},
      // Megabytes too many for bytes saturate: wrapping round to 0 would lift the limit.
      {(1ULL << 44) - 1, 0, 64, true, {0x2700, ~0ULL - 1048575, ~0ULL - 1048575, 0, 0, 0xFF}},
      {1ULL << 44, 0, 64, true, {0x2700, ~0ULL, ~0ULL, 0, 0, 0xFF}},
  };
  for (const auto& [mb, bytes, core, allowChild, expected] : rows) {
    SandboxConfig config;
    config.memoryLimitMb = mb;
    config.memoryLimitBytes = bytes;
    config.coreAffinity = core;
    config.allowChildProcess = allowChild;
    const JobLimits limits = jobLimitsFor(config);
    EXPECT_EQ((Values{limits.limitFlags, limits.processMemoryLimit, limits.jobMemoryLimit,
                      limits.affinity, limits.activeProcessLimit, limits.uiRestrictionsClass}),
              expected);
  }
}

// Times truncate to milliseconds one by one; the peak is the larger of job and process; a
// failed query leaves its fields 0.
TEST(Job, AccountingFromTheRawCounters) {
  const auto accounting = [](const RawJobCounters& raw) {
    const JobAccounting a = accountingFromRaw(raw);
    return Values{a.peakMemoryBytes, a.userTimeMs,   a.kernelTimeMs, a.cpuTimeMs,
                  a.ioReadCount,     a.ioWriteCount, a.ioReadBytes,  a.ioWriteBytes};
  };
  EXPECT_EQ(accounting({true, 9, 7, true, 19999, 29999, 1, 2, 3, 4}),
            (Values{9, 1, 2, 3, 1, 2, 3, 4}));
  EXPECT_EQ(accounting({true, 9, 10, false, 19999, 29999, 1, 2, 3, 4}),
            (Values{10, 0, 0, 0, 0, 0, 0, 0}));
}

// RunOutcome with a default for every member, so a row names only the facts it is about.
struct Facts {
  bool timedOut = false, memoryHit = false;
  std::uint32_t exitCode = 0;
  std::uint64_t memoryLimit = 0, peakMemory = 0;
  bool outputLimitHit = false, stdoutTruncated = false, stderrTruncated = false;
  bool fileLimitExceeded = false;
  std::string mode = "run";
};

ExecutionReport judged(const Facts& f) {
  ExecutionReport report;
  report.exitCode = 7;  // the verdict changes nothing else
  classifyVerdict({f.timedOut, f.memoryHit, f.exitCode, f.memoryLimit, f.peakMemory,
                   f.outputLimitHit, f.stdoutTruncated, f.stderrTruncated, f.fileLimitExceeded,
                   "File count limit exceeded: 2 > 1", f.mode},
                  report);
  EXPECT_EQ(report.exitCode, 7);
  return report;
}

// Time before memory before output before files before the exit code. A failed command near
// its memory limit (88% of it) ran out of memory.
TEST(Verdict, FirstBrokenLimitDecidesThenTheExitCode) {
  constexpr std::uint64_t k100MiB = 104857600, kNear = 92274688;
  const std::pair<Facts, const char*> rows[] = {
      {{.timedOut = true, .memoryHit = true, .outputLimitHit = true}, "TimeLimitExceeded"},
      {{.memoryHit = true, .outputLimitHit = true}, "MemoryLimitExceeded"},
      {{.exitCode = 0xC0000017}, "MemoryLimitExceeded"},
      {{.exitCode = 1003}, "MemoryLimitExceeded"},
      {{.exitCode = 1, .memoryLimit = k100MiB, .peakMemory = kNear}, "MemoryLimitExceeded"},
      {{.exitCode = 1, .memoryLimit = k100MiB, .peakMemory = kNear - 1}, "RuntimeError"},
      {{.exitCode = 0, .memoryLimit = k100MiB, .peakMemory = k100MiB}, "Accepted"},
      {{.outputLimitHit = true, .fileLimitExceeded = true}, "OutputLimitExceeded"},
      {{.stdoutTruncated = true}, "OutputLimitExceeded"},
      {{.stderrTruncated = true}, "OutputLimitExceeded"},
      {{.exitCode = 1002}, "OutputLimitExceeded"},
      {{.exitCode = 1, .fileLimitExceeded = true}, "FileLimitExceeded"},
      {{.exitCode = 2, .mode = "compile"}, "CompileError"},
      {{.exitCode = 2, .mode = "Compile"}, "RuntimeError"},
  };
  for (const auto& [facts, status] : rows) {
    EXPECT_EQ(judged(facts).status, status) << judged(facts).message;
  }
}

// Whoever parses the report gets plain numbers whatever the global locale says.
TEST(Report, RendersEveryMemberInOrderWhateverTheLocale) {
  struct Grouping : std::numpunct<char> {
    char do_thousands_sep() const override { return '\''; }
    std::string do_grouping() const override { return "\3"; }
    char do_decimal_point() const override { return ','; }
  };
  ExecutionReport report{
      "compile", "CompileError", -1073741819, 1234567,    30,     20, 10,   1572864, 1.5, 7,
      8,         UINT64_MAX,     4096,        UINT32_MAX, 131072, {}, true, false,   {}};
  report.generatedFiles = {"a\"b", "r\xC3\xA9sum\xC3\xA9"};
  report.message = std::string("\b\f\n\r\t\\/ \x01\x1F\x7F\0", 12);
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new Grouping));
  const std::string json = reportToJson(report);
  std::locale::global(previous);
  EXPECT_EQ(json,
            "{\n  \"mode\": \"compile\",\n  \"status\": \"CompileError\",\n  \"exitCode\": "
            "-1073741819,\n  \"wallTimeMs\": 1234567,\n  \"cpuTimeMs\": 30,\n  \"userTimeMs\": "
            "20,\n  \"kernelTimeMs\": 10,\n  \"peakMemoryBytes\": 1572864,\n  \"peakMemoryMb\": "
            "1.500,\n  \"ioReadCount\": 7,\n  \"ioWriteCount\": 8,\n  \"ioReadBytes\": "
            "18446744073709551615,\n  \"ioWriteBytes\": 4096,\n  \"newFilesCount\": 4294967295,\n  "
            "\"maxFileSizeSeen\": 131072,\n  \"generatedFiles\": [\"a\\\"b\", "
            "\"r\xC3\xA9sum\xC3\xA9\"],\n  \"stdoutTruncated\": true,\n  \"stderrTruncated\": "
            "false,\n  \"message\": \"\\b\\f\\n\\r\\t\\\\/ \\u0001\\u001f\x7F\\u0000\"\n}");
  report.generatedFiles.clear();
  EXPECT_NE(reportToJson(report).find("\"generatedFiles\": [],"), std::string::npos);
}

// The channels a report takes, and whether it must go to standard error after all.
std::string delivered(bool controlPipe, bool reportPipe, bool reportFile,
                      const std::string& written) {
  const DeliveryPlan plan = planDelivery(controlPipe, reportPipe, reportFile);
  const bool fallback = needsStandardErrorFallback(plan, written.find("file") != std::string::npos,
                                                   written.find("control") != std::string::npos,
                                                   written.find("pipe") != std::string::npos);
  return std::string(plan.toReportFile ? "file " : "") + (plan.toControlPipe ? "control " : "") +
         (plan.toReportPipe ? "pipe " : "") + (plan.toStandardError ? "stderr " : "") +
         (fallback ? "then stderr" : "");
}

// A report is never lost: a named file always gets it, then one pipe, and standard error takes
// it when no channel is named or none received it.
TEST(Delivery, EveryReportReachesSomeChannel) {
  EXPECT_EQ(delivered(false, false, false, ""), "stderr ");
  EXPECT_EQ(delivered(false, false, true, "file"), "file ");
  EXPECT_EQ(delivered(false, false, true, ""), "file then stderr");
  EXPECT_EQ(delivered(false, true, true, "file"), "file pipe ");
  EXPECT_EQ(delivered(false, true, false, "file control"), "pipe then stderr");
  EXPECT_EQ(delivered(true, true, false, "control"), "control ");
  EXPECT_EQ(delivered(true, false, true, "pipe"), "file control then stderr");
}

// Never 0 for a verdict other than "Accepted", whatever the report's exit code.
TEST(Delivery, ExitStatusIsZeroOnlyWhenAccepted) {
  const auto exitStatus = [](const char* status, std::int32_t exitCode) {
    ExecutionReport report;
    report.status = status;
    report.exitCode = exitCode;
    return exitStatusFor(report);
  };
  EXPECT_EQ(exitStatus("Accepted", 3), 0);
  EXPECT_EQ(exitStatus("RuntimeError", 0), 1);
  EXPECT_EQ(exitStatus("TimeLimitExceeded", 1001), 1001);
  EXPECT_EQ(exitStatus("RuntimeError", -1073741819), -1073741819);
}

TEST(BeginReport, AppliesTheModeAndRejectsAnEmptyCommand) {
  SandboxConfig config;
  config.mode = "compile";
  ExecutionReport report;
  report.exitCode = 5;
  EXPECT_FALSE(beginReport(config, report));
  EXPECT_EQ(config.timeLimitMs, 15000u);
  EXPECT_EQ(report.mode + " " + report.status + " " + report.message + " " +
                std::to_string(report.exitCode),
            "compile InternalError No execution command specified (--exec). 0");
  config.exec = "a.exe";
  EXPECT_TRUE(beginReport(config, report));
  EXPECT_EQ(report.status + report.message, "Accepted");
}

}  // namespace
}  // namespace sandbox
