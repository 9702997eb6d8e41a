// The report: its verdict, its exact text, where it goes and the status the sandbox ends with.
#include <gtest/gtest.h>

#include <locale>

#include "app/delivery.h"
#include "report/report.h"
#include "runner/runner.h"
#include "runner/verdict.h"

namespace sandbox {
namespace {

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
      {{.exitCode = 0xC0000044}, "MemoryLimitExceeded"},
      {{.exitCode = 0xC0000017}, "MemoryLimitExceeded"},
      {{.exitCode = 1003}, "MemoryLimitExceeded"},
      {{.exitCode = 1, .memoryLimit = k100MiB, .peakMemory = kNear}, "MemoryLimitExceeded"},
      {{.exitCode = 1, .memoryLimit = k100MiB, .peakMemory = kNear - 1}, "RuntimeError"},
      {{.exitCode = 0, .memoryLimit = k100MiB, .peakMemory = k100MiB}, "Accepted"},
      {{.exitCode = 1, .peakMemory = 1}, "RuntimeError"},
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

TEST(Verdict, MessageNamesTheExitCodeOrTheLimit) {
  EXPECT_EQ(judged({}).message, "Execution completed successfully within limits.");
  EXPECT_EQ(judged({.mode = "compile"}).message, "Compilation completed successfully.");
  EXPECT_EQ(judged({.exitCode = 2, .mode = "compile"}).message,
            "Compilation failed with exit code: 2");
  EXPECT_EQ(judged({.exitCode = 0xC0000005}).message,
            "Process exited with non-zero exit code: -1073741819");
  EXPECT_EQ(judged({.fileLimitExceeded = true}).message, "File count limit exceeded: 2 > 1");
}

// Whoever parses the report gets plain numbers whatever the global locale says.
TEST(Report, RendersEveryMemberInOrderWhateverTheLocale) {
  struct Grouping : std::numpunct<char> {
    char do_thousands_sep() const override { return '\''; }
    std::string do_grouping() const override { return "\3"; }
    char do_decimal_point() const override { return ','; }
  };
  ExecutionReport report{"compile",
                         "CompileError",
                         -1073741819,
                         1234567,
                         30,
                         20,
                         10,
                         1572864,
                         1.5,
                         7,
                         8,
                         18446744073709551615ULL,
                         4096,
                         4294967295U,
                         131072,
                         {"a\"b", "r\xC3\xA9sum\xC3\xA9"},
                         true,
                         false,
                         std::string("\b\f\n\r\t\\/\x01\x1F\x7F\0", 11)};
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new Grouping));
  const std::string json = reportToJson(report);
  std::locale::global(previous);
  EXPECT_EQ(json,
            "{\n"
            "  \"mode\": \"compile\",\n"
            "  \"status\": \"CompileError\",\n"
            "  \"exitCode\": -1073741819,\n"
            "  \"wallTimeMs\": 1234567,\n"
            "  \"cpuTimeMs\": 30,\n"
            "  \"userTimeMs\": 20,\n"
            "  \"kernelTimeMs\": 10,\n"
            "  \"peakMemoryBytes\": 1572864,\n"
            "  \"peakMemoryMb\": 1.500,\n"
            "  \"ioReadCount\": 7,\n"
            "  \"ioWriteCount\": 8,\n"
            "  \"ioReadBytes\": 18446744073709551615,\n"
            "  \"ioWriteBytes\": 4096,\n"
            "  \"newFilesCount\": 4294967295,\n"
            "  \"maxFileSizeSeen\": 131072,\n"
            "  \"generatedFiles\": [\"a\\\"b\", \"r\xC3\xA9sum\xC3\xA9\"],\n"
            "  \"stdoutTruncated\": true,\n"
            "  \"stderrTruncated\": false,\n"
            "  \"message\": \"\\b\\f\\n\\r\\t\\\\/\\u0001\\u001f\x7F\\u0000\"\n"
            "}");
  report.generatedFiles.clear();
  report.stderrTruncated = true;
  EXPECT_NE(reportToJson(report).find("[],\n  \"stdoutTruncated\": true,\n  \"stderrTruncated\": "
                                      "true,"),
            std::string::npos);
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
  EXPECT_EQ(delivered(false, true, true, "pipe"), "file pipe ");
  EXPECT_EQ(delivered(false, true, true, "file"), "file pipe ");
  EXPECT_EQ(delivered(false, true, false, "file control"), "pipe then stderr");
  EXPECT_EQ(delivered(true, true, false, "control"), "control ");
  EXPECT_EQ(delivered(true, false, true, "pipe"), "file control then stderr");
}

// Never 0 for a verdict other than "Accepted", whatever the report's exit code.
TEST(Delivery, ExitStatusIsZeroOnlyWhenAccepted) {
  const std::tuple<const char*, std::int32_t, int> rows[] = {
      {"Accepted", 0, 0},
      {"Accepted", 3, 0},
      {"RuntimeError", 0, 1},
      {"InternalError", 0, 1},
      {"TimeLimitExceeded", 1001, 1001},
      {"RuntimeError", -1073741819, -1073741819},
  };
  for (const auto& [status, exitCode, exitStatus] : rows) {
    ExecutionReport report;
    report.status = status;
    report.exitCode = exitCode;
    EXPECT_EQ(exitStatusFor(report), exitStatus) << status << " " << exitCode;
  }
}

TEST(BeginReport, AppliesTheModeAndRejectsAnEmptyCommand) {
  SandboxConfig config;
  config.mode = "compile";
  ExecutionReport report;
  report.exitCode = 5;
  EXPECT_FALSE(beginReport(config, report));
  EXPECT_EQ(config.timeLimitMs, 15000u);
  EXPECT_EQ(report.mode, "compile");
  EXPECT_EQ(report.status, "InternalError");
  EXPECT_EQ(report.message, "No execution command specified (--exec).");
  EXPECT_EQ(report.exitCode, 0);
  config.exec = "a.exe";
  EXPECT_TRUE(beginReport(config, report));
  EXPECT_EQ(report.status, "Accepted");
  EXPECT_EQ(report.message, "");
}

}  // namespace
}  // namespace sandbox
