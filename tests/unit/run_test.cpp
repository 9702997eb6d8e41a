// A run and its report: its limits, verdict, report text, delivery and exit status.
#include <gtest/gtest.h>

#include <sstream>
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

// Rows: elapsed, CPU, peak against limits 100, 50, 1000 => 0 go on, 1 stop for time, 2 memory.
// Time stops above its limit and first, memory at it; no limits never stop.
TEST(Supervision, StopsAtEachLimitsEdge) {
  for (const char* row : {"100 50 999 0", "101 0 0 1", "0 51 1000 1", "0 0 1000 2"}) {
    std::uint64_t elapsed = 0, cpu = 0, peak = 0, action = 0;
    std::istringstream(row) >> elapsed >> cpu >> peak >> action;
    EXPECT_EQ(decideSupervision({100, 50, 1000}, elapsed, cpu, peak), Action(action)) << row;
  }
  EXPECT_EQ(decideSupervision({}, UINT64_MAX, UINT64_MAX, UINT64_MAX), Action::Continue);
}

// Rows: echo write, started, stopped, now => overdue. A read has a short grace after the stop;
// an echo write is overdue only once it has stalled.
TEST(OutputCut, PumpCallOverdue) {
  for (const char* row :
       {"0 100 1000 1049 0", "0 100 1000 1050 1", "0 2000 1000 2049 0", "0 2000 1000 2050 1",
        "1 100 5000 1099 0", "1 100 5000 1100 1", "1 5000 100 4000 0"}) {
    std::uint64_t write = 0, started = 0, stopped = 0, now = 0, overdue = 0;
    std::istringstream(row) >> write >> started >> stopped >> now >> overdue;
    EXPECT_EQ(pumpCallOverdue(write, started, stopped, now), overdue == 1) << row;
  }
}

// Rows: MiB, bytes, core, children allowed => flags, process and job memory, affinity, active
// processes, UI restrictions (hex). Too many MiB saturate, never wrap to 0 (no limit).
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

// Rows: mode, time, memory, output, stdout, stderr, files hit, exit code, peak of a 100 MiB limit
// => verdict. Time, memory, output, files, then the exit code; 88% of the limit is memory.
TEST(Verdict, FirstBrokenLimitDecidesThenTheExitCode) {
  for (const std::string row :
       {"run 1 1 1 0 0 0 0 0 => TimeLimitExceeded", "run 0 1 1 0 0 0 0 0 => MemoryLimitExceeded",
        "run 0 0 0 0 0 0 3221225495 0 => MemoryLimitExceeded",
        "run 0 0 0 0 0 0 1 92274688 => MemoryLimitExceeded",
        "run 0 0 0 0 0 0 1 92274687 => RuntimeError", "run 0 0 0 0 0 0 0 104857600 => Accepted",
        "run 0 0 0 1 0 0 0 0 => OutputLimitExceeded", "run 0 0 0 0 1 0 0 0 => OutputLimitExceeded",
        "run 0 0 0 0 0 1 1 0 => FileLimitExceeded", "compile 0 0 0 0 0 0 2 0 => CompileError"}) {
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

// Rows: control pipe, report pipe, report file named, channels written => the report's channels.
// The exit status is never 0 for a verdict other than "Accepted".
TEST(Delivery, EveryReportReachesSomeChannelWithItsExitStatus) {
  for (const std::string row :
       {"000 => stderr ", "001 => file then stderr", "011 file => file pipe ",
        "010 file control => pipe then stderr", "101 pipe => file control then stderr"}) {
    const DeliveryPlan plan = planDelivery(row[0] == '1', row[1] == '1', row[2] == '1');
    const std::string written = row.substr(3, row.find(" => ") - 3);
    const bool fallback = needsStandardErrorFallback(plan, written.find("file") != row.npos,
                                                     written.find("control") != row.npos,
                                                     written.find("pipe") != row.npos);
    EXPECT_EQ(std::string(plan.toReportFile ? "file " : "") +
                  (plan.toControlPipe ? "control " : "") + (plan.toReportPipe ? "pipe " : "") +
                  (plan.toStandardError ? "stderr " : "") + (fallback ? "then stderr" : ""),
              row.substr(row.find(" => ") + 4))
        << row;
  }
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
