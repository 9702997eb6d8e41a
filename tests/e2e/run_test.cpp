// sandbox.exe running the test child end to end: verdicts, limits, streams, input, files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "config/json.h"
#include "support/process.h"

namespace sandbox::test {
namespace {

// The bytes the test child writes for "write-stdout N": 'a' + i % 26.
std::string pattern(std::size_t bytes) {
  std::string text(bytes, '\0');
  for (std::size_t i = 0; i < bytes; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

// The report sandbox.exe wrote to its standard error (the last line there).
JsonValue reportOf(const ProcessResult& result) {
  JsonValue report;
  const std::size_t start = result.err.rfind("{\n");
  EXPECT_NE(start, std::string::npos) << "no report on standard error: " << result.err;
  if (start != std::string::npos) {
    EXPECT_TRUE(parseJson(result.err.substr(start), report));
  }
  return report;
}

std::vector<std::string> generatedFiles(const JsonValue& report) {
  std::vector<std::string> names;
  for (const JsonValue& name : report.get("generatedFiles").arrayValue) {
    names.push_back(name.stringValue);
  }
  return names;
}

// Sandbox options plus the child's behaviours, and what must come back.
struct RunCase {
  const char* name;
  std::vector<std::string> options;
  std::vector<std::string> behaviours;
  const char* status;
  std::int32_t exitCode;
  std::string message;
  std::string out;
  std::string err;
};

class VerdictTable : public ::testing::TestWithParam<RunCase> {};

TEST_P(VerdictTable, ReportStatusAndStreams) {
  const RunCase& c = GetParam();
  std::vector<std::string> args = c.options;
  args.push_back("--exec");
  args.push_back(childCommand(c.behaviours));
  const ProcessResult result = runSandbox(args);
  const JsonValue report = reportOf(result);
  EXPECT_EQ(report.get("status").getString(""), c.status);
  EXPECT_EQ(report.get("exitCode").getInt64(), c.exitCode);
  EXPECT_EQ(report.get("message").getString(""), c.message);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(result.err.substr(0, c.err.size()), c.err);
  const std::uint32_t status = std::string(c.status) == "Accepted" ? 0u
                               : c.exitCode == 0                   ? 1u
                                                 : static_cast<std::uint32_t>(c.exitCode);
  EXPECT_EQ(result.exitCode, status);
}

const std::string kRunOk = "Execution completed successfully within limits.";
const std::string kOutputLimit = "Process stdout or stderr exceeded maximum size limit.";

INSTANTIATE_TEST_SUITE_P(
    Verdicts, VerdictTable,
    ::testing::Values(RunCase{"AcceptedRun", {}, {"print", "hi"}, "Accepted", 0, kRunOk, "hi", ""},
                      RunCase{"AcceptedCompile",
                              {"--compile"},
                              {"exit", "0"},
                              "Accepted",
                              0,
                              "Compilation completed successfully.",
                              "",
                              ""},
                      RunCase{"RuntimeError",
                              {},
                              {"print-err", "oops", "exit", "3"},
                              "RuntimeError",
                              3,
                              "Process exited with non-zero exit code: 3",
                              "",
                              "oops"},
                      RunCase{"NegativeExitCode",
                              {},
                              {"exit", "-2"},
                              "RuntimeError",
                              -2,
                              "Process exited with non-zero exit code: -2",
                              "",
                              ""},
                      RunCase{"CompileError",
                              {"--compile"},
                              {"exit", "2"},
                              "CompileError",
                              2,
                              "Compilation failed with exit code: 2",
                              "",
                              ""},
                      RunCase{"CrashIsAccessViolation",
                              {},
                              {"crash"},
                              "RuntimeError",
                              -1073741819,
                              "Process exited with non-zero exit code: -1073741819",
                              "",
                              ""},
                      RunCase{"OwnExit1001IsRuntimeError",
                              {},
                              {"exit", "1001"},
                              "RuntimeError",
                              1001,
                              "Process exited with non-zero exit code: 1001",
                              "",
                              ""},
                      RunCase{"OwnExit1003IsMemory",
                              {},
                              {"exit", "1003"},
                              "MemoryLimitExceeded",
                              1003,
                              "Process exceeded memory allocation limit.",
                              "",
                              ""},
                      RunCase{"StdoutOverLimit",
                              {"--max-out", "1000"},
                              {"write-stdout", "5000", "sleep", "5000"},
                              "OutputLimitExceeded",
                              1002,
                              kOutputLimit,
                              pattern(1000),
                              ""},
                      RunCase{"StdoutExactlyAtLimit",
                              {"--max-out", "1000"},
                              {"write-stdout", "1000"},
                              "Accepted",
                              0,
                              kRunOk,
                              pattern(1000),
                              ""},
                      RunCase{"StdoutChunkCrossingLimit",
                              {"--max-out", "10000"},
                              {"write-stdout", "100000"},
                              "OutputLimitExceeded",
                              1002,
                              kOutputLimit,
                              pattern(10000),
                              ""},
                      RunCase{"StderrOverLimit",
                              {"--max-err", "10"},
                              {"write-stderr", "11", "sleep", "5000"},
                              "OutputLimitExceeded",
                              1002,
                              kOutputLimit,
                              "",
                              pattern(10)}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<std::string> withChild(std::vector<std::string> options,
                                   const std::vector<std::string>& behaviours) {
  options.push_back("--exec");
  options.push_back(childCommand(behaviours));
  return options;
}

TEST(RunLimits, WallClockLimitStopsTheCommand) {
  const ProcessResult result = runSandbox(withChild({"--time", "300"}, {"sleep", "10000"}));
  const JsonValue report = reportOf(result);
  EXPECT_EQ(report.get("status").getString(""), "TimeLimitExceeded");
  EXPECT_EQ(report.get("message").getString(""),
            "Process exceeded maximum CPU or Wall-clock time limit.");
  EXPECT_EQ(report.get("exitCode").getInt64(), 1001);
  EXPECT_GE(report.get("wallTimeMs").getUint64(), 300u);
  EXPECT_LT(report.get("wallTimeMs").getUint64(), 2000u);
  EXPECT_EQ(result.exitCode, 1001u);
}

TEST(RunLimits, CpuLimitStopsASpinningCommand) {
  if (isWine()) GTEST_SKIP() << "Wine keeps no CPU time in the job's accounting";
  const ProcessResult result =
      runSandbox(withChild({"--cpu", "300", "--time", "10000"}, {"spin", "8000"}));
  const JsonValue report = reportOf(result);
  EXPECT_EQ(report.get("status").getString(""), "TimeLimitExceeded");
  EXPECT_EQ(report.get("exitCode").getInt64(), 1001);
  EXPECT_LT(report.get("wallTimeMs").getUint64(), 5000u);
}

TEST(RunLimits, MemoryLimitStopsAnAllocatingCommand) {
  if (isWine()) GTEST_SKIP() << "Wine neither enforces job memory limits nor reports peak memory";
  const ProcessResult result =
      runSandbox(withChild({"--mem", "64"}, {"alloc", "256", "sleep", "2000"}));
  EXPECT_EQ(reportOf(result).get("status").getString(""), "MemoryLimitExceeded");
}

TEST(RunLimits, OutputLimitCopiesExactlyTheLimitIntoTheFile) {
  TempDir dir(L"out");
  const auto outFile = dir.path() / L"out.txt";
  const auto errFile = dir.path() / L"err.txt";
  const ProcessResult result =
      runSandbox(withChild({"--max-out", "20000", "--stdout-file", pathUtf8(outFile),
                            "--stderr-file", pathUtf8(errFile)},
                           {"write-stderr", "7", "write-stdout", "50000", "sleep", "5000"}));
  const JsonValue report = reportOf(result);
  EXPECT_EQ(report.get("status").getString(""), "OutputLimitExceeded");
  EXPECT_TRUE(report.get("stdoutTruncated").getBool(false));
  EXPECT_FALSE(report.get("stderrTruncated").getBool(true));
  EXPECT_EQ(readFile(outFile), pattern(20000));
  EXPECT_EQ(result.out, pattern(20000));
  EXPECT_EQ(readFile(errFile), pattern(7));
}

TEST(RunFiles, SizeAndCountLimitsWithTheirMessages) {
  TempDir dir(L"files");
  ProcessResult result = runSandbox(withChild({"--cwd", dir.utf8(), "--max-file-size", "100"},
                                              {"write-file", "ok.txt", "100", "write-file",
                                               "big.txt", "101", "write-file", "z.txt", "500"}));
  JsonValue report = reportOf(result);
  EXPECT_EQ(report.get("status").getString(""), "FileLimitExceeded");
  EXPECT_EQ(report.get("message").getString(""),
            "File size limit exceeded: big.txt (101 bytes > 100 bytes)");
  EXPECT_EQ(generatedFiles(report), std::vector<std::string>{"big.txt"});
  EXPECT_EQ(result.exitCode, 1u);

  TempDir counted(L"count");
  result = runSandbox(
      withChild({"--cwd", counted.utf8(), "--max-file-count", "2"}, {"make-files", "3", "1"}));
  report = reportOf(result);
  EXPECT_EQ(report.get("status").getString(""), "FileLimitExceeded");
  EXPECT_EQ(report.get("message").getString(""), "File count limit exceeded: 3 > 2");
  EXPECT_EQ(report.get("newFilesCount").getUint64(), 3u);
  EXPECT_EQ(generatedFiles(report), (std::vector<std::string>{"f0.txt", "f1.txt", "f2.txt"}));
}

TEST(RunFiles, ScanSeesOnlyNewAndResizedFilesDirectlyInTheDirectory) {
  TempDir dir(L"scan");
  const ProcessResult result = runSandbox(
      withChild({"--cwd", dir.utf8(), "--write-file", "a.txt", "abc", "--write-file", "c.txt",
                 "xyz", "--write-file", "sub/keep.txt", "k", "--max-file-count", "1"},
                {"append-file", "a.txt", "2", "write-file", "c.txt", "3", "write-file",
                 "sub\\new.txt", "5", "write-file", "B.txt", "1"}));
  const JsonValue report = reportOf(result);
  EXPECT_EQ(report.get("status").getString(""), "Accepted");
  EXPECT_EQ(report.get("newFilesCount").getUint64(), 1u);
  EXPECT_EQ(report.get("maxFileSizeSeen").getUint64(), 5u);
  EXPECT_EQ(generatedFiles(report), (std::vector<std::string>{"B.txt", "a.txt"}));
}

// Names the C runtime would rewrite ("big.", "big ", device stems) are still the files the
// command left: listed, counted and held to the size limit.
TEST(RunFiles, NamesTheRuntimeRewritesCannotHideAFile) {
  TempDir dir(L"names");
  const std::string verbatim = "\\\\?\\" + dir.utf8() + "\\";
  const ProcessResult result = runSandbox(withChild(
      {"--cwd", dir.utf8()}, {"write-file", verbatim + "aux.txt", "10", "write-file",
                              verbatim + "big ", "20", "write-file", verbatim + "big.", "300000"}));
  const JsonValue report = reportOf(result);
  EXPECT_EQ(report.get("status").getString(""), "FileLimitExceeded");
  EXPECT_EQ(report.get("message").getString(""),
            "File size limit exceeded: big. (300000 bytes > 131072 bytes)");
  EXPECT_EQ(report.get("newFilesCount").getUint64(), 3u);
  EXPECT_EQ(generatedFiles(report), (std::vector<std::string>{"aux.txt", "big ", "big."}));
}

TEST(RunStreams, OutputIsLive) {
  const ProcessResult result = runSandbox(withChild({}, {"print", "line\n", "sleep", "1500"}));
  EXPECT_EQ(result.out, "line\n");
  ASSERT_GE(result.firstOutMs, 0);
  EXPECT_LT(result.firstOutMs, result.wallMs - 1000) << "the line arrived only at the end";
}

// However the service reads the sandbox's own output (one pipe to its end before the other, or
// one never read at all), the run ends within its limits and the report arrives.
TEST(RunStreams, ServiceReadingHabitsNeverCostTheReport) {
  TempDir dir(L"habits");
  const std::string reportFile = pathUtf8(dir.path() / L"report.json");
  struct HabitCase {
    const char* name;
    Reading reading;
    std::vector<std::string> options;
    std::vector<std::string> behaviours;
    const char* status;
    double maxWallMs;
  };
  const HabitCase cases[] = {
      {"OutputThenError",
       Reading::OutputThenError,
       {},
       {"print", "hi", "print-err", "e"},
       "Accepted",
       3000},
      {"UnreadSmallOutput",
       Reading::ErrorOnly,
       {"--report-file", reportFile},
       {"write-stdout", "100"},
       "Accepted",
       3000},
      {"UnreadLargeOutput",
       Reading::ErrorOnly,
       {"--time", "2000", "--max-out", "2000000", "--report-file", reportFile},
       {"write-stdout", "1048576"},
       "TimeLimitExceeded",
       4000},
  };
  for (const HabitCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir.path() / L"report.json");
    RunOptions options;
    options.reading = c.reading;
    options.timeoutMs = 15000;
    const ProcessResult result = runSandbox(withChild(c.options, c.behaviours), options);
    EXPECT_FALSE(result.timedOut);
    EXPECT_LT(result.wallMs, c.maxWallMs);
    JsonValue report;
    if (c.options.empty()) {
      report = reportOf(result);
      EXPECT_EQ(result.out, "hi");
    } else {
      EXPECT_TRUE(parseJson(readFile(dir.path() / L"report.json"), report));
    }
    EXPECT_EQ(report.get("status").getString(""), c.status);
  }
}

TEST(RunInput, SourcesOfStandardInput) {
  TempDir dir(L"stdin");
  const auto inputFile = dir.path() / L"\u00e9ntr\u00e9e.txt";
  writeFile(inputFile, std::string("from file\r\n\0end", 16));
  const std::string missing = pathUtf8(dir.path() / L"missing.txt");
  struct InputCase {
    const char* name;
    std::vector<std::string> options;
    std::string piped;
    std::string expected;
  };
  const InputCase cases[] = {
      {"Text", {"--stdin-raw", "hello\n"}, "ignored", "hello\n"},
      {"FileReplacesText",
       {"--stdin-raw", "text", "--stdin", pathUtf8(inputFile)},
       "",
       std::string("from file\r\n\0end", 16)},
      {"MissingFileFallsBackToText", {"--stdin-raw", "text", "--stdin", missing}, "", "text"},
      {"MissingFileNoText", {"--stdin", missing}, "ignored", ""},
      {"PassThroughWhenNothingGiven", {}, "piped bytes", "piped bytes"},
      {"PipeOptionOverridesText", {"--stdin-raw", "text", "--stdin-pipe"}, "piped", "piped"},
  };
  for (const InputCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions options;
    options.stdinData = c.piped;
    const ProcessResult result = runSandbox(withChild(c.options, {"echo-stdin"}), options);
    EXPECT_EQ(result.out, c.expected);
    EXPECT_EQ(reportOf(result).get("status").getString(""), "Accepted");
  }
}

TEST(RunInput, LargeInputArrivesWholeAndByteExact) {
  TempDir dir(L"big");
  std::string data(5 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 3);
  const auto inputFile = dir.path() / L"in.bin";
  writeFile(inputFile, data);
  const ProcessResult fromFile = runSandbox(
      withChild({"--stdin", pathUtf8(inputFile), "--max-out", "10000000", "--time", "20000"},
                {"echo-stdin"}));
  EXPECT_EQ(reportOf(fromFile).get("status").getString(""), "Accepted");
  EXPECT_TRUE(fromFile.out == data) << "echoed " << fromFile.out.size() << " bytes";

  RunOptions piped;
  piped.stdinData = data;
  const ProcessResult passedThrough =
      runSandbox(withChild({"--time", "20000"}, {"count-stdin"}), piped);
  EXPECT_EQ(passedThrough.out, std::to_string(data.size()));
}

TEST(RunInput, OpenStandardInputDoesNotHoldUpTheReport) {
  RunOptions options;
  options.keepStdinOpen = true;
  options.timeoutMs = 10000;
  const ProcessResult result = runSandbox(withChild({}, {"exit", "0"}), options);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(reportOf(result).get("status").getString(""), "Accepted");
  EXPECT_LT(result.wallMs, 3000);
}

TEST(RunProcesses, GrandchildHoldingStandardOutputDoesNotHangTheRun) {
  RunOptions options;
  options.timeoutMs = 15000;
  const ProcessResult result = runSandbox(
      withChild({"--allow-child"}, {"spawn-grandchild", "print", "g", "sleep", "30000"}), options);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(reportOf(result).get("status").getString(""), "Accepted");
  EXPECT_LT(result.wallMs, 3000) << "the report waited for the grandchild";
}

TEST(RunPreparation, EnvironmentAndWorkingDirectoryAsTheChildSeesThem) {
  TempDir dir(L"prep");
  const std::string work = pathUtf8(dir.path() / L"w\u00f6rk" / L"deep");
  const ProcessResult result = runSandbox(
      withChild({"--cwd", work, "--no-inherit-env", "--env", "Zeta=1", "--env-json",
                 "{\"alpha\": \"2\"}", "--env", "ALPHA=3", "--write-file", "given.txt", "data"},
                {"print-cwd", "print-env"}));
  EXPECT_EQ(reportOf(result).get("status").getString(""), "Accepted");
  EXPECT_EQ(result.out.substr(0, result.out.find('\n')), work);
  EXPECT_NE(result.out.find("\nalpha=3\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\nZeta=1\n"), std::string::npos) << result.out;
  EXPECT_LT(result.out.find("alpha=3"), result.out.find("Zeta=1"));
  EXPECT_EQ(readFile(dir.path() / L"w\u00f6rk" / L"deep" / L"given.txt"), "data");
}

TEST(RunFailures, CommandThatCannotStart) {
  TempDir dir(L"fail");
  const ProcessResult result =
      runSandbox({"--cwd", dir.utf8(), "--exec", "no_such_program_here.exe"});
  const JsonValue report = reportOf(result);
  EXPECT_EQ(report.get("status").getString(""), "InternalError");
  EXPECT_EQ(report.get("message").getString(""), "CreateProcessW failed with error code: 2");
  EXPECT_EQ(result.exitCode, 1u);
}

}  // namespace
}  // namespace sandbox::test
