// Stress runs of sandbox.exe: several sandboxes at once, one of them with a large stream, and many
// runs in a row whose command leaves a grandchild holding standard output.
// SANDBOX_STRESS_SCALE=full gives the full counts (scripts/stress); without it the reduced counts
// keep the ordinary test run short.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "config/json.h"
#include "support/support.h"

namespace sandbox::test {
namespace {

struct StressScale {
  int sandboxesAtOnce = 4, runsInARow = 10;
  std::size_t streamBytes = 8u << 20;
  std::uint32_t timeoutMs = 90000;
};

StressScale stressScale() {
  wchar_t value[16] = {};
  const DWORD length = GetEnvironmentVariableW(L"SANDBOX_STRESS_SCALE", value, 16);
  if (length == 4 && std::wstring(value) == L"full") return {8, 200, 64u << 20, 300000};
  return {};
}

// Sandboxes at once, each with its own working directory, input, output (a size no other run
// has), file, report and verdict: accepted, a runtime error, or stopped at its output limit
// half way through its pattern (every third). The copies of the output lie in the working
// directory: they are the sandbox's, not files of the command's.
TEST(StressParallel, SandboxesAtOnceKeepTheirOwnOutputsFilesAndReports) {
  const StressScale scale = stressScale();
  const int count = scale.sandboxesAtOnce;
  // Run 0 carries the large stream; the others a size no other run has.
  const auto sizeOf = [&scale](int i) { return i == 0 ? scale.streamBytes : 150000 + 7919 * i; };
  std::vector<std::unique_ptr<TempDir>> dirs;
  std::vector<std::future<ProcessResult>> started;
  RunOptions options;
  options.timeoutMs = scale.timeoutMs;
  for (int i = 0; i < count; ++i) {
    const std::string tag = std::to_string(i);
    const std::size_t bytes = sizeOf(i);
    dirs.push_back(std::make_unique<TempDir>(L"stress"));
    const auto& dir = dirs.back()->path();
    started.push_back(startSandbox(
        withChild(
            {"--cwd", pathUtf8(dir), "--stdout-file", pathUtf8(dir / L"out"), "--stderr-file",
             pathUtf8(dir / L"err"), "--report-file", pathUtf8(dir / L"report"), "--stdin-raw",
             tag + ";", "--max-out", std::to_string(i % 3 == 2 ? bytes / 2 : bytes + 99), "--time",
             "60000"},
            {"echo-stdin", "write-stdout", std::to_string(bytes), "print-err", tag, "write-file",
             tag + ".bin", std::to_string(1000 + i), "exit", std::to_string(i % 3 == 1 ? i : 0)}),
        options));
  }
  for (int i = 0; i < count; ++i) {
    const std::string tag = std::to_string(i);
    const std::size_t bytes = sizeOf(i);
    const std::filesystem::path& dir = dirs[i]->path();
    SCOPED_TRACE("run " + tag);
    const ProcessResult result = started[i].get();
    ASSERT_FALSE(result.timedOut);
    JsonValue report;
    ASSERT_TRUE(parseJson(readFile(dir / L"report"), report));
    EXPECT_TRUE(readFile(dir / L"out") == result.out) << "the file copy differs from the live one";
    EXPECT_EQ(readFile(dir / L"err"), result.err);
    const std::string stream = tag + ";" + pattern(bytes);
    const bool stopped = i % 3 == 2;
    const std::int64_t exitCode = stopped ? 1002 : i % 3 == 1 ? i : 0;
    EXPECT_EQ(report.get("exitCode").getInt64(), exitCode);
    EXPECT_EQ(result.exitCode, static_cast<std::uint32_t>(exitCode));
    EXPECT_EQ(report.get("status").getString(""), stopped         ? "OutputLimitExceeded"
                                                  : exitCode != 0 ? "RuntimeError"
                                                                  : "Accepted");
    EXPECT_TRUE(result.out == stream.substr(0, stopped ? bytes / 2 : stream.size()))
        << result.out.size() << " bytes where " << bytes << " were written";
    EXPECT_EQ(result.err, stopped ? "" : tag) << "nothing but the command's own error text";
    EXPECT_EQ(report.get("newFilesCount").getInt64(), stopped ? 0 : 1);
    EXPECT_EQ(report.get("stdoutTruncated").getBool(!stopped), stopped);
    EXPECT_EQ(report.get("maxFileSizeSeen").getInt64(), stopped ? 0 : 1000 + i);
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

}  // namespace
}  // namespace sandbox::test
