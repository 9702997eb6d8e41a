// Stress runs of sandbox.exe: several sandboxes at once, many runs in a row whose command leaves
// a grandchild holding standard output, and one large stream. SANDBOX_STRESS_SCALE=full gives the
// full counts (scripts/stress); without it the reduced counts keep the ordinary test run short.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "config/json.h"
#include "support/process.h"

namespace sandbox::test {
namespace {

struct StressScale {
  bool full = false;
  int sandboxesAtOnce = 4;
  int runsInARow = 10;
  std::size_t streamBytes = 8u << 20;
};

StressScale stressScale() {
  wchar_t value[16] = {};
  const DWORD length = GetEnvironmentVariableW(L"SANDBOX_STRESS_SCALE", value, 16);
  if (length == 4 && std::wstring(value) == L"full") return {true, 8, 200, 64u << 20};
  return {};
}

// Compares without printing megabytes: the sizes, and the first offset where the bytes differ.
::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
  const auto mismatch =
      std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  if (actual.size() == expected.size() && mismatch.first == actual.end()) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << actual.size() << " bytes where " << expected.size()
         << " were expected; first difference at offset " << (mismatch.first - actual.begin());
}

// One of the sandboxes that run at once. Everything it is given and must give back is its own:
// working directory, input, output bytes (a size no other run has), file, report and verdict.
// Every third run is stopped at its output limit, half way through its pattern.
struct ParallelRun {
  explicit ParallelRun(int index)
      : index(index),
        tag(std::to_string(index)),
        stopped(index % 3 == 2),
        stream("run-" + tag + ":input-" + tag + ";" + pattern(150000 + 7919 * index)),
        fileName("own-" + tag + ".bin") {}

  std::vector<std::string> arguments() const {
    const std::size_t limit = stopped ? stream.size() - 75000 : 100000000;
    return withChild(
        {"--cwd", work.utf8(), "--stdout-file", pathUtf8(outputs.path() / L"out"), "--report-file",
         pathUtf8(outputs.path() / L"report"), "--stdin-raw", "input-" + tag + ";", "--max-out",
         std::to_string(limit), "--time", "60000"},
        {"print", "run-" + tag + ":", "echo-stdin", "write-stdout",
         std::to_string(150000 + 7919 * index), "print-err", "err-" + tag, "write-file", fileName,
         std::to_string(1000 + index), "exit", std::to_string(index % 3 == 1 ? index : 0)});
  }

  void expectOwnResults(const ProcessResult& result) const {
    JsonValue report;
    ASSERT_TRUE(parseJson(readFile(outputs.path() / L"report"), report));
    EXPECT_TRUE(sameBytes(readFile(outputs.path() / L"out"), result.out)) << "file vs live copy";
    const std::int64_t exitCode = stopped ? 1002 : index % 3 == 1 ? index : 0;
    EXPECT_EQ(report.get("exitCode").getInt64(), exitCode);
    EXPECT_EQ(result.exitCode, static_cast<std::uint32_t>(exitCode));
    if (stopped) {
      EXPECT_EQ(report.get("status").getString(""), "OutputLimitExceeded");
      EXPECT_TRUE(sameBytes(result.out, stream.substr(0, stream.size() - 75000)));
      EXPECT_EQ(result.err, "") << "stopped before it wrote to standard error";
      EXPECT_EQ(report.get("newFilesCount").getUint64(), 0u);
      return;
    }
    EXPECT_EQ(report.get("status").getString(""), exitCode == 0 ? "Accepted" : "RuntimeError");
    EXPECT_TRUE(sameBytes(result.out, stream));
    EXPECT_EQ(result.err, "err-" + tag) << "nothing but the command's own error text";
    ASSERT_EQ(report.get("generatedFiles").arrayValue.size(), 1u);
    EXPECT_EQ(report.get("generatedFiles").arrayValue[0].stringValue, fileName);
    EXPECT_EQ(report.get("maxFileSizeSeen").getInt64(), 1000 + index);
  }

  int index;
  std::string tag;
  bool stopped;
  std::string stream;  // the whole standard output when nothing stops the command
  std::string fileName;
  TempDir work{L"stress_work"};
  TempDir outputs{L"stress_out"};  // apart from the working directory, which the scan watches
};

TEST(StressParallel, SandboxesAtOnceKeepTheirOwnOutputsFilesAndReports) {
  std::vector<std::unique_ptr<ParallelRun>> runs;
  std::vector<std::future<ProcessResult>> started;
  RunOptions options;
  options.timeoutMs = 90000;
  for (int i = 0; i < stressScale().sandboxesAtOnce; ++i) {
    runs.push_back(std::make_unique<ParallelRun>(i));
    started.push_back(startSandbox(runs.back()->arguments(), options));
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE("run " + runs[i]->tag);
    const ProcessResult result = started[i].get();
    ASSERT_FALSE(result.timedOut);
    runs[i]->expectOwnResults(result);
  }
}

// A run that waited for the grandchild would take its whole 30 s. Allowed: the two seconds the
// report may follow the command's end by, and one second for starting three Wine processes on a
// loaded two-core machine (measured: median 376 ms, at worst 965 ms for the whole run).
TEST(StressSequential, GrandchildHoldingStandardOutputNeverHoldsUpTheReport) {
  const StressScale scale = stressScale();
  std::vector<double> wallMs;
  RunOptions options;
  options.timeoutMs = 15000;
  for (int i = 0; i < scale.runsInARow; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    const ProcessResult result =
        runSandbox(withChild({"--allow-child"}, {"spawn-grandchild", "sleep", "30000"}), options);
    ASSERT_FALSE(result.timedOut) << "the sandbox waited for the grandchild";
    EXPECT_EQ(reportOf(result).get("status").getString(""), "Accepted");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_LT(result.wallMs, 3000);
    wallMs.push_back(result.wallMs);
  }
  std::sort(wallMs.begin(), wallMs.end());
  std::printf("[ stress   ] %d runs with a grandchild: wall time median %.0f ms, max %.0f ms\n",
              scale.runsInARow, wallMs[wallMs.size() / 2], wallMs.back());
}

TEST(StressStreaming, LargeOutputArrivesWholeAndInOrderOnBothCopies) {
  const StressScale scale = stressScale();
  TempDir dir(L"stream");
  const auto outFile = dir.path() / L"out.bin";
  RunOptions options;
  options.timeoutMs = scale.full ? 300000 : 90000;
  const ProcessResult result =
      runSandbox(withChild({"--max-out", std::to_string(scale.streamBytes * 2), "--time", "600000",
                            "--stdout-file", pathUtf8(outFile)},
                           {"write-stdout", std::to_string(scale.streamBytes)}),
                 options);
  ASSERT_FALSE(result.timedOut);
  const JsonValue report = reportOf(result);
  EXPECT_EQ(report.get("status").getString(""), "Accepted");
  EXPECT_FALSE(report.get("stdoutTruncated").getBool(true));
  const std::string expected = pattern(scale.streamBytes);
  EXPECT_TRUE(sameBytes(result.out, expected)) << "on the sandbox's standard output";
  EXPECT_TRUE(sameBytes(readFile(outFile), expected)) << "in the --stdout-file copy";
  std::printf("[ stress   ] %zu MiB streamed in %.0f ms\n", scale.streamBytes >> 20, result.wallMs);
}

}  // namespace
}  // namespace sandbox::test
