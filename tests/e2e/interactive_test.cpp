// The test plays a judging service running an interactive problem: two sandboxes, the first's
// standard output wired to the second's standard input and back, with input forwarded (neither
// stdin nor stdinFile set).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "config/json.h"
#include "support/capture.h"
#include "support/process.h"

namespace sandbox::test {
namespace {

struct Side {
  std::vector<std::string> options;
  std::vector<std::string> behaviours;
};

struct Ended {
  JsonValue report;
  double endMs = -1;  // when its sandbox ended, from the start of both; -1: it had to be killed
};

void inheritablePipe(UniqueHandle& read, UniqueHandle& write) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  ASSERT_TRUE(CreatePipe(&r, &w, &inherit, 0));
  read.reset(r);
  write.reset(w);
}

std::wstring sandboxLine(const Side& side, const std::filesystem::path& reportFile) {
  std::vector<std::string> args = side.options;
  for (const std::string& arg : {std::string("--report-file"), pathUtf8(reportFile),
                                 std::string("--exec"), childCommand(side.behaviours)}) {
    args.push_back(arg);
  }
  return commandLine(sandboxExe(), args);
}

// Runs both sandboxes to their end (at most 60 s) and returns their reports and end times.
std::vector<Ended> runInteractive(const Side& first, const Side& second) {
  TempDir dir(L"interactive");
  UniqueHandle toSecondRead, toSecondWrite, toFirstRead, toFirstWrite;
  inheritablePipe(toSecondRead, toSecondWrite);
  inheritablePipe(toFirstRead, toFirstWrite);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  UniqueHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr));
  const std::filesystem::path reports[2] = {dir.path() / L"first.json",
                                            dir.path() / L"second.json"};
  const auto start = std::chrono::steady_clock::now();
  UniqueHandle processes[2] = {startProcess(sandboxLine(first, reports[0]), toFirstRead.get(),
                                            toSecondWrite.get(), nul.get()),
                               startProcess(sandboxLine(second, reports[1]), toSecondRead.get(),
                                            toFirstWrite.get(), nul.get())};
  // Now only the sandboxes hold the pipes, so one's end is the other's end of input.
  for (UniqueHandle* end : {&toSecondRead, &toSecondWrite, &toFirstRead, &toFirstWrite}) {
    end->reset();
  }
  std::vector<Ended> ended(2);
  HANDLE running[2] = {processes[0].get(), processes[1].get()};
  for (DWORD count = 2; count > 0; --count) {
    const DWORD which = WaitForMultipleObjects(count, running, FALSE, 60000) - WAIT_OBJECT_0;
    if (which >= count) break;
    const std::size_t side = running[which] == processes[0].get() ? 0 : 1;
    ended[side].endMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    running[which] = running[count - 1];
  }
  for (std::size_t side = 0; side < 2; ++side) {
    TerminateProcess(processes[side].get(), 0xDEAD);
    const std::string text = readFile(reports[side]);
    captureReport(text);
    EXPECT_TRUE(parseJson(text, ended[side].report)) << "no report from sandbox " << side;
  }
  return ended;
}

TEST(Interactive, InteractorAndSolutionExchangeHundredsOfLines) {
  const std::vector<Ended> ended =
      runInteractive({{"--time", "30000"}, {"interact", "300"}},
                     {{"--time", "30000"}, {"answer", "1000", "exit", "0"}});
  for (const Ended& side : ended) {
    EXPECT_EQ(side.report.get("status").getString(""), "Accepted")
        << side.report.get("message").getString("");
  }
}

TEST(Interactive, SolutionStoppedAtItsLimitEndsTheInteractorPromptly) {
  const std::vector<Ended> ended =
      runInteractive({{"--time", "30000"}, {"interact", "300"}},
                     {{"--time", "1500"}, {"answer", "100", "sleep", "60000"}});
  EXPECT_EQ(ended[1].report.get("status").getString(""), "TimeLimitExceeded");
  // The interactor reads the end of its input and stops (exit 3) instead of waiting 30 s.
  EXPECT_EQ(ended[0].report.get("status").getString(""), "RuntimeError");
  EXPECT_EQ(ended[0].report.get("exitCode").getInt64(), 3);
  ASSERT_GE(ended[0].endMs, 0);
  ASSERT_GE(ended[1].endMs, 0);
  EXPECT_LT(ended[0].endMs - ended[1].endMs, 2000);
}

}  // namespace
}  // namespace sandbox::test
