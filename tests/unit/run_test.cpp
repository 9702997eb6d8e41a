// A run and its report: its limits, verdict, report text, delivery and exit status.
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>
#include <vector>

#include "app/delivery.h"
#include "isolation/job.h"
#include "report/report.h"
#include "runner/supervision.h"
#include "runner/verdict.h"
#include "streams/cut.h"

namespace sandbox {
namespace {

using Action = SupervisionAction;

// Wall and CPU time stop above their limits, memory at its limit; 0 is no limit; time first.
TEST(Supervision, StopsAtEachLimitsEdge) {
  const SupervisionLimits limits{100, 50, 1000};
  const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, Action> rows[] = {
      {100, 50, 999, Action::Continue},    {101, 0, 0, Action::StopForTime},
      {0, 51, 0, Action::StopForTime},     {0, 0, 1000, Action::StopForMemory},
      {101, 0, 1000, Action::StopForTime}, {0, 51, 1000, Action::StopForTime}};
  for (const auto& [elapsed, cpu, peak, action] : rows)
    EXPECT_EQ(decideSupervision(limits, elapsed, cpu, peak), action) << elapsed << " " << cpu;
  EXPECT_EQ(decideSupervision({}, UINT64_MAX, UINT64_MAX, UINT64_MAX), Action::Continue);
}

// After the stop a read has a short grace; an echo write is overdue only once it has stalled.
TEST(OutputCut, PumpCallOverdue) {
  const std::tuple<bool, std::uint64_t, std::uint64_t, std::uint64_t, bool> rows[] = {
      {false, 100, 1000, 1049, false},  {false, 100, 1000, 1050, true},
      {false, 2000, 1000, 2049, false}, {false, 2000, 1000, 2050, true},
      {true, 100, 5000, 1099, false},   {true, 100, 5000, 1100, true},
      {true, 5000, 100, 4000, false}};
  for (const auto& [write, started, stopped, now, overdue] : rows) {
    EXPECT_EQ(pumpCallOverdue(write, started, stopped, now), overdue)
        << write << " " << started << " " << stopped << " " << now;
  }
}

// Rows: MiB, bytes, core, children allowed => flags, process and job memory, affinity, active
// processes, UI restrictions (hex). Too many MiB saturate: wrapping to 0 would lift the limit.
TEST(Job, LimitsFollowTheConfiguration) {
  for (const std::string row :
       {"2 0 3 0 => 2718 200000 200000 8 1 ff", "2 5 63 1 => 2710 5 5 8000000000000000 0 ff",
        "0 0 64 1 => 2400 0 0 0 0 ff",
        "17592186044415 0 64 1 => 2700 fffffffffff00000 fffffffffff00000 0 0 ff",
        "17592186044416 0 64 1 => 2700 ffffffffffffffff ffffffffffffffff 0 0 ff"}) {
    SandboxConfig config;
    std::istringstream(row) >> config.memoryLimitMb >> config.memoryLimitBytes >>
        config.coreAffinity >> config.allowChildProcess;
    const JobLimits limits = jobLimitsFor(config);
    std::ostringstream out;
    out << std::hex << limits.limitFlags << ' ' << limits.processMemoryLimit << ' '
        << limits.jobMemoryLimit << ' ' << limits.affinity << ' ' << limits.activeProcessLimit
        << ' ' << limits.uiRestrictionsClass;
    EXPECT_EQ(out.str(), row.substr(row.find(" => ") + 4)) << row;
  }
}

using Values = std::vector<std::uint64_t>;

// Times truncate to ms one by one, the peak is job's or process's larger, a failed query gives 0.
TEST(Job, AccountingFromTheRawCounters) {
  for (const bool ok : {true, false}) {
    const JobAccounting a = accountingFromRaw({ok, 7, 9, !ok, 19999, 29999, 1, 2, 3, 4});
    EXPECT_EQ((Values{a.peakMemoryBytes, a.userTimeMs, a.kernelTimeMs, a.cpuTimeMs, a.ioReadCount,
                      a.ioWriteCount, a.ioReadBytes, a.ioWriteBytes}),
              (ok ? Values{9, 0, 0, 0, 0, 0, 0, 0} : Values{0, 1, 2, 3, 1, 2, 3, 4}));
  }
}

// Rows: mode, time, memory, output, stdout, stderr and files hit, exit code, peak of a 100 MiB
// limit => verdict. Time, memory, output, files, then the exit code; 88% of the limit is memory.
TEST(Verdict, FirstBrokenLimitDecidesThenTheExitCode) {
  for (const std::string row :
       {"run 1 1 1 0 0 0 0 0 => TimeLimitExceeded", "run 0 1 1 0 0 0 0 0 => MemoryLimitExceeded",
        "run 0 0 0 0 0 0 3221225495 0 => MemoryLimitExceeded",
        "run 0 0 0 0 0 0 1 92274688 => MemoryLimitExceeded",
        "run 0 0 0 0 0 0 1 92274687 => RuntimeError", "run 0 0 0 0 0 0 0 104857600 => Accepted",
        "run 0 0 0 1 0 0 0 0 => OutputLimitExceeded", "run 0 0 0 0 1 0 0 0 => OutputLimitExceeded",
        "run 0 0 0 0 0 1 1 0 => FileLimitExceeded", "compile 0 0 0 0 0 0 2 0 => CompileError",
        "Compile 0 0 0 0 0 0 2 0 => RuntimeError"}) {
    RunOutcome o;
    o.effectiveMemoryLimit = 104857600;
    std::istringstream(row) >> o.mode >> o.timedOut >> o.memoryHit >> o.outputLimitHit >>
        o.stdoutTruncated >> o.stderrTruncated >> o.fileLimitExceeded >> o.exitCode >>
        o.peakMemoryBytes;
    ExecutionReport report;
    report.exitCode = 7;  // the verdict changes no field but status and message
    classifyVerdict(o, report);
    EXPECT_EQ(report.status + " " + std::to_string(report.exitCode),
              row.substr(row.find(" => ") + 4) + " 7");
  }
}

TEST(Report, RendersEveryMemberInOrder) {
  ExecutionReport report{
      "compile", "CompileError", -1073741819, 1234567,    30,     20, 10,   1572864, 1.5, 7,
      8,         UINT64_MAX,     4096,        UINT32_MAX, 131072, {}, true, false,   {}};
  report.generatedFiles = {"a\"b", "r\xC3\xA9sum\xC3\xA9"};
  report.message = std::string("\b\f\n\r\t\\/ \x01\x1F\x7F\0", 12);
  EXPECT_EQ(reportToJson(report),
            "{\n  \"mode\": \"compile\",\n  \"status\": \"CompileError\",\n  \"exitCode\": "
            "-1073741819,\n  \"wallTimeMs\": 1234567,\n  \"cpuTimeMs\": 30,\n  \"userTimeMs\": "
            "20,\n  \"kernelTimeMs\": 10,\n  \"peakMemoryBytes\": 1572864,\n  \"peakMemoryMb\": "
            "1.500,\n  \"ioReadCount\": 7,\n  \"ioWriteCount\": 8,\n  \"ioReadBytes\": "
            "18446744073709551615,\n  \"ioWriteBytes\": 4096,\n  \"newFilesCount\": 4294967295,\n  "
            "\"maxFileSizeSeen\": 131072,\n  \"generatedFiles\": [\"a\\\"b\", "
            "\"r\xC3\xA9sum\xC3\xA9\"],\n  \"stdoutTruncated\": true,\n  \"stderrTruncated\": "
            "false,\n  \"message\": \"\\b\\f\\n\\r\\t\\\\/ \\u0001\\u001f\x7F\\u0000\"\n}");
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

// A named file always gets the report, then one pipe; standard error when none is named or none
// received it. The exit status is never 0 for a verdict other than "Accepted".
TEST(Delivery, EveryReportReachesSomeChannelWithItsExitStatus) {
  EXPECT_EQ(delivered(false, false, false, ""), "stderr ");
  EXPECT_EQ(delivered(false, false, true, "file"), "file ");
  EXPECT_EQ(delivered(false, false, true, ""), "file then stderr");
  EXPECT_EQ(delivered(false, true, true, "file"), "file pipe ");
  EXPECT_EQ(delivered(false, true, false, "file control"), "pipe then stderr");
  EXPECT_EQ(delivered(true, true, false, "control"), "control ");
  EXPECT_EQ(delivered(true, false, true, "pipe"), "file control then stderr");
  for (const char* row : {"Accepted 3 0", "RuntimeError 0 1", "TimeLimitExceeded 1001 1001",
                          "RuntimeError -1073741819 -1073741819"}) {
    ExecutionReport report;
    int expected = 0;
    std::istringstream(row) >> report.status >> report.exitCode >> expected;
    EXPECT_EQ(exitStatusFor(report), expected) << row;
  }
}

}  // namespace
}  // namespace sandbox
