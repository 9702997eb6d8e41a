// sandbox.exe started as a judging service starts it: arguments, streams and exit status.
#include <gtest/gtest.h>

#include "app/options.h"
#include "config/json.h"
#include "report/report.h"
#include "support/process.h"

namespace sandbox::test {
namespace {

// The report a run without --exec gives, as sandbox.exe renders it.
std::string noExecReport(const std::string& mode) {
  ExecutionReport report;
  report.mode = mode;
  report.status = "InternalError";
  report.message = "No execution command specified (--exec).";
  return reportToJson(report);
}

TEST(FrontEnd, NoArgumentsPrintsUsageWithStatusOne) {
  const ProcessResult result = runSandbox({});
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_EQ(result.out, usageText());
  EXPECT_EQ(result.err, "");
}

TEST(FrontEnd, HelpAfterOtherOptionsPrintsUsageWithStatusZero) {
  for (const char* help : {"--help", "-h"}) {
    SCOPED_TRACE(help);
    const ProcessResult result = runSandbox({"--compile", "--time", "5", help, "--exec", "x"});
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out, usageText());
    EXPECT_EQ(result.err, "");  // nothing run, no report
  }
}

struct NumericCase {
  std::vector<std::string> args;
  const char* error;
};

TEST(FrontEnd, MalformedNumbersStopWithTheirTextAndRunNothing) {
  const NumericCase cases[] = {
      {{"--time", "abc"}, "invalid stoull argument"},
      {{"--mem", "99999999999999999999"}, "stoull argument out of range"},
      {{"--core", "4294967296"}, "stoul argument out of range"},
      {{"--max-file-count", "x1"}, "invalid stoul argument"},
      {{"--report-file", "never.json", "--max-out", "", "--help"}, "invalid stoull argument"},
  };
  for (const NumericCase& c : cases) {
    SCOPED_TRACE(c.error);
    const ProcessResult result = runSandbox(c.args);
    EXPECT_NE(result.exitCode, 0u);
    EXPECT_EQ(result.err, std::string(c.error) + "\n");
    EXPECT_EQ(result.out, "");
  }
}

TEST(FrontEnd, NoCommandReportGoesToStandardErrorWithStatusOne) {
  const ProcessResult result = runSandbox({"--time", "12abc", "--base64", "--TIME", "x"});
  EXPECT_EQ(result.err, noExecReport("run") + "\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exitCode, 1u);
}

TEST(FrontEnd, ReportFileReceivesTheReportAndStandardErrorNothing) {
  TempDir dir(L"report");
  const auto reportPath = dir.path() / L"r\u00e9port.json";
  const ProcessResult result = runSandbox({"--compile", "--report-file", pathUtf8(reportPath)});
  EXPECT_EQ(readFile(reportPath), noExecReport("compile"));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, 1u);
}

TEST(FrontEnd, UnwritableReportFileFallsBackToStandardError) {
  TempDir dir(L"report");
  const auto reportPath = dir.path() / L"missing" / L"r.json";
  const ProcessResult result = runSandbox({"--report-file", pathUtf8(reportPath)});
  EXPECT_EQ(result.err, noExecReport("run") + "\n");
  EXPECT_EQ(result.exitCode, 1u);
}

TEST(FrontEnd, NonAsciiArgumentsArriveAsUtf8) {
  const std::string mode =
      "Pr\xC3\xBC"
      "fung-\xE6\x97\xA5\xE6\x9C\xAC";
  const ProcessResult result = runSandbox({"--mode", mode});
  EXPECT_EQ(result.err, noExecReport(mode) + "\n");
}

TEST(FrontEnd, ConfigFileAppliesWhereItStands) {
  TempDir dir(L"config \u00fc");
  const auto configPath = dir.path() / L"c\u00f6nfig.json";
  writeFile(configPath, "\xEF\xBB\xBF {\"mode\": \"run\", \"timeLimitMs\": \"ignored\"} trailing");
  const std::string path = pathUtf8(configPath);

  EXPECT_EQ(runSandbox({"--compile", "--config-file", path}).err, noExecReport("run") + "\n");
  EXPECT_EQ(runSandbox({"--config-file", path, "--compile"}).err, noExecReport("compile") + "\n");
}

TEST(FrontEnd, BadConfigFilesAreSkippedSilently) {
  TempDir dir(L"config");
  const auto notJson = dir.path() / L"bad.json";
  writeFile(notJson, "{\"mode\": ");
  const auto deep = dir.path() / L"deep.json";
  writeFile(deep, std::string(100000, '['));
  const std::string candidates[] = {pathUtf8(notJson), pathUtf8(deep), dir.utf8(),
                                    pathUtf8(dir.path() / L"missing.json")};
  for (const std::string& path : candidates) {
    SCOPED_TRACE(path);
    const ProcessResult result = runSandbox({"--compile", "--config-file", path});
    EXPECT_EQ(result.err, noExecReport("compile") + "\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.exitCode, 1u);
  }
}

}  // namespace
}  // namespace sandbox::test
