// sandbox.exe started as a judging service starts it: arguments, configuration files, where the
// report goes and the exit status, for runs that never reach a command.
#include <gtest/gtest.h>

#include "app/options.h"
#include "report/report.h"
#include "support/process.h"

namespace sandbox::test {
namespace {

// The report a run without --exec gives, as sandbox.exe renders it, and a line feed.
std::string noExecReport(const std::string& mode) {
  ExecutionReport report;
  report.mode = mode;
  report.status = "InternalError";
  report.message = "No execution command specified (--exec).";
  return reportToJson(report) + "\n";
}

TEST(FrontEnd, ArgumentsToStreamsAndExitStatus) {
  TempDir dir(L"front \u00fc");
  const auto config = dir.path() / L"c\u00f6nfig.json";
  writeFile(config, "\xEF\xBB\xBF {\"mode\": \"run\", \"timeLimitMs\": \"ignored\"} trailing");
  writeFile(dir.path() / L"bad.json", "{\"mode\": ");
  writeFile(dir.path() / L"deep.json", std::string(100000, '['));
  const std::string mode =
      "Pr\xC3\xBC"
      "fung-\xE6\x97\xA5\xE6\x9C\xAC";
  const std::map<std::string, std::string> values = {
      {"@config", pathUtf8(config)},
      {"@bad", pathUtf8(dir.path() / L"bad.json")},
      {"@deep", pathUtf8(dir.path() / L"deep.json")},
      {"@unwritable", pathUtf8(dir.path() / L"missing" / L"r.json")},
      {"@mode", mode}};
  struct Row {
    const char* args;
    std::uint32_t status;
    std::string out;
    std::string err;
  };
  const Row rows[] = {
      {"", 1, usageText(), ""},
      {"--compile --time 5 -h --exec x", 0, usageText(), ""},
      {"--time abc", 2, "", "invalid stoull argument\n"},
      {"--report-file never.json --core 4294967296 --help", 2, "", "stoul argument out of range\n"},
      {"--time 12abc --base64 --TIME x", 1, "", noExecReport("run")},
      {"--mode @mode", 1, "", noExecReport(mode)},
      {"--report-file @unwritable", 1, "", noExecReport("run")},
      {"--compile --config-file @config", 1, "", noExecReport("run")},
      {"--config-file @config --compile", 1, "", noExecReport("compile")},
      {"--compile --config-file @bad", 1, "", noExecReport("compile")},
      {"--compile --config-file @deep", 1, "", noExecReport("compile")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args);
    const ProcessResult result = runSandbox(words(row.args, values));
    EXPECT_EQ(result.exitCode, row.status);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, row.err);
  }
}

}  // namespace
}  // namespace sandbox::test
