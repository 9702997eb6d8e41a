// sandbox.exe running the test child end to end: verdicts, limits, streams, input, files.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "config/json.h"
#include "support/process.h"

namespace sandbox::test {
namespace {

const std::string kRunOk = "Execution completed successfully within limits.";
const std::string kOutputLimit = "Process stdout or stderr exceeded maximum size limit.";

// The status sandbox.exe ends with: 0 for "Accepted", else the report's exit code, never 0.
std::uint32_t statusFor(const std::string& verdict, std::int64_t exitCode) {
  if (verdict == "Accepted") return 0;
  return exitCode == 0 ? 1u : static_cast<std::uint32_t>(exitCode);
}

TEST(Run, VerdictsExitStatusAndStreams) {
  struct Row {
    const char* options;
    const char* behaviours;  // of the test child; none: the options name the command
    const char* status;
    std::int64_t exitCode;
    std::string message;
    std::string out;
    std::string errStart;
  };
  const Row rows[] = {
      {"", "print hi", "Accepted", 0, kRunOk, "hi", ""},
      {"--compile", "exit 2", "CompileError", 2, "Compilation failed with exit code: 2", "", ""},
      {"", "print-err oops exit 3", "RuntimeError", 3, "Process exited with non-zero exit code: 3",
       "", "oops"},
      {"", "crash", "RuntimeError", -1073741819,
       "Process exited with non-zero exit code: -1073741819", "", ""},
      {"--time 300", "sleep 10000", "TimeLimitExceeded", 1001,
       "Process exceeded maximum CPU or Wall-clock time limit.", "", ""},
      {"--max-out 10000", "write-stdout 100000 sleep 5000", "OutputLimitExceeded", 1002,
       kOutputLimit, pattern(10000), ""},
      {"--max-out 1000", "write-stdout 1000", "Accepted", 0, kRunOk, pattern(1000), ""},
      {"--max-err 10", "write-stderr 11 sleep 5000", "OutputLimitExceeded", 1002, kOutputLimit, "",
       pattern(10)},
      {"--exec no_such_program_here.exe", "", "InternalError", 0,
       "CreateProcessW failed with error code: 2", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.options) + " / " + row.behaviours);
    const std::vector<std::string> options = words(row.options);
    const ProcessResult result =
        runSandbox(*row.behaviours ? withChild(options, words(row.behaviours)) : options);
    const JsonValue report = reportOf(result);
    EXPECT_EQ(report.get("status").getString(""), row.status);
    EXPECT_EQ(report.get("exitCode").getInt64(), row.exitCode);
    EXPECT_EQ(report.get("message").getString(""), row.message);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err.substr(0, row.errStart.size()), row.errStart);
    EXPECT_EQ(result.exitCode, statusFor(row.status, row.exitCode));
  }
}

TEST(Run, KernelEnforcedLimits) {
  if (isWine()) GTEST_SKIP() << "Wine neither enforces job memory limits nor accounts CPU time";
  const char* rows[][3] = {
      {"--cpu 300 --time 10000", "spin 8000", "TimeLimitExceeded"},
      {"--mem 64", "alloc 256 sleep 2000", "MemoryLimitExceeded"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row[2]);
    const ProcessResult result = runSandbox(withChild(words(row[0]), words(row[1])));
    EXPECT_EQ(reportOf(result).get("status").getString(""), row[2]);
    EXPECT_LT(result.wallMs, 5000);
  }
}

// Files directly in the working directory that are new or resized, under their stored names:
// names the C runtime would rewrite ("big.", "big ", device stems) cannot hide a file.
TEST(Run, FileScanAndLimits) {
  struct Row {
    const char* options;
    const char* behaviours;  // "@" starts a name given through the directory's "\\?\" path
    std::string message;
    std::uint64_t newFiles;
    const char* generated;
  };
  const Row rows[] = {
      {"", "write-file @aux.txt 10 write-file @big_ 20 write-file @big. 300000",
       "File size limit exceeded: big. (300000 bytes > 131072 bytes)", 3, "aux.txt big_ big."},
      {"--max-file-count 2", "make-files 3 1", "File count limit exceeded: 3 > 2", 3,
       "f0.txt f1.txt f2.txt"},
      {"--write-file a.txt abc --write-file c.txt xyz --write-file sub/keep.txt k "
       "--max-file-count 1",
       "append-file a.txt 2 write-file c.txt 3 write-file sub\\new.txt 5 write-file B.txt 1", "", 1,
       "B.txt a.txt"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.behaviours);
    TempDir dir(L"files");
    std::vector<std::string> options = words(row.options);
    options.insert(options.end(), {"--cwd", dir.utf8()});
    // "_" stands for a trailing space, which a row cannot hold.
    const auto stored = [](std::string name) {
      if (name.back() == '_') name.back() = ' ';
      return name;
    };
    std::vector<std::string> behaviours = words(row.behaviours);
    for (std::string& word : behaviours) {
      if (word[0] == '@') word = "\\\\?\\" + dir.utf8() + "\\" + stored(word.substr(1));
    }
    const JsonValue report = reportOf(runSandbox(withChild(options, behaviours)));
    EXPECT_EQ(report.get("status").getString(""),
              row.message.empty() ? "Accepted" : "FileLimitExceeded");
    EXPECT_EQ(report.get("message").getString(""), row.message.empty() ? kRunOk : row.message);
    EXPECT_EQ(report.get("newFilesCount").getUint64(), row.newFiles);
    std::vector<std::string> generated;
    for (const JsonValue& name : report.get("generatedFiles").arrayValue) {
      generated.push_back(name.stringValue);
    }
    std::vector<std::string> expected = words(row.generated);
    for (std::string& name : expected) name = stored(name);
    EXPECT_EQ(generated, expected);
  }
}

TEST(Run, OutputIsLive) {
  const ProcessResult result = runSandbox(withChild({}, {"print", "line\n", "sleep", "1500"}));
  EXPECT_EQ(result.out, "line\n");
  ASSERT_GE(result.firstOutMs, 0);
  EXPECT_LT(result.firstOutMs, result.wallMs - 1000) << "the line arrived only at the end";
}

// However the service reads the sandbox's own output (one pipe to its end before the other, one
// never read at all) or leaves its input open, the run ends within its limits with its report.
TEST(Run, ServiceHabitsNeverCostTheReport) {
  TempDir dir(L"habits");
  const auto reportFile = dir.path() / L"report.json";
  struct Row {
    Reading reading;
    bool keepStdinOpen;
    const char* options;  // with "@report", the report goes to a file
    const char* behaviours;
    const char* status;
    double maxWallMs;
  };
  const Row rows[] = {
      {Reading::OutputThenError, false, "", "print hi print-err e", "Accepted", 3000},
      {Reading::Concurrent, true, "", "print hi", "Accepted", 3000},
      {Reading::ErrorOnly, false, "--report-file @report", "write-stdout 100", "Accepted", 3000},
      {Reading::ErrorOnly, false, "--time 2000 --max-out 2000000 --report-file @report",
       "write-stdout 1048576", "TimeLimitExceeded", 4000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.options) + " / " + row.behaviours);
    std::filesystem::remove(reportFile);
    RunOptions options;
    options.reading = row.reading;
    options.keepStdinOpen = row.keepStdinOpen;
    options.timeoutMs = 15000;
    const ProcessResult result = runSandbox(
        withChild(words(row.options, {{"@report", pathUtf8(reportFile)}}), words(row.behaviours)),
        options);
    EXPECT_FALSE(result.timedOut);
    EXPECT_LT(result.wallMs, row.maxWallMs);
    JsonValue report;
    if (*row.options == '\0') {
      report = reportOf(result);
      EXPECT_EQ(result.out, "hi");
    } else {
      EXPECT_TRUE(parseJson(readFile(reportFile), report));
    }
    EXPECT_EQ(report.get("status").getString(""), row.status);
  }
}

// Input from the options, a file (non-ASCII name; more than a pipe holds, written while the
// command is still suspended) or the sandbox's own standard input.
TEST(Run, SourcesOfStandardInput) {
  TempDir dir(L"stdin");
  std::string big(5 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
  writeFile(dir.path() / L"\u00e9ntr\u00e9e.txt", big);
  const std::map<std::string, std::string> files = {
      {"@file", pathUtf8(dir.path() / L"\u00e9ntr\u00e9e.txt")},
      {"@missing", pathUtf8(dir.path() / L"missing.txt")}};
  struct Row {
    const char* options;
    std::string piped;
    std::string expected;
  };
  const Row rows[] = {
      {"--stdin-raw text --stdin @file --max-out 10000000 --time 20000", "", big},
      {"--stdin-raw text --stdin @missing", "ignored", "text"},
      {"", "piped bytes", "piped bytes"},
      {"--stdin-raw text --stdin-pipe", "piped", "piped"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.options);
    RunOptions options;
    options.stdinData = row.piped;
    const ProcessResult result =
        runSandbox(withChild(words(row.options, files), {"echo-stdin"}), options);
    EXPECT_TRUE(result.out == row.expected)
        << result.out.size() << " bytes: " << result.out.substr(0, 100);
    EXPECT_EQ(reportOf(result).get("status").getString(""), "Accepted");
  }
}

TEST(Run, EnvironmentAndWorkingDirectoryAsTheChildSeesThem) {
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

}  // namespace
}  // namespace sandbox::test
