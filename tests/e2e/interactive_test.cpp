// The test plays a judging service running an interactive problem: two sandboxes, the first's
// standard output wired to the second's standard input and back, with input forwarded (neither
// stdin nor stdinFile set).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "config/json.h"
#include "support/support.h"

namespace sandbox::test {
namespace {

struct Ended {
  JsonValue report;
  double endMs = -1;  // when its sandbox ended, from the start of both; -1: it had to be killed
};

// Runs two sandboxes, each with its options and the test child's behaviours, the first's output
// wired to the second's input and back, to their end (at most 60 s).
std::vector<Ended> runInteractive(const std::string (&sides)[2][2]) {
  TempDir dir(L"interactive");
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  UniqueHandle ends[4];  // read and write end of the pipe into the first, then into the second
  createPipe(ends[0], ends[1]);
  createPipe(ends[2], ends[3]);
  UniqueHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr));
  std::vector<Ended> ended(2);
  UniqueHandle processes[2];
  const auto start = std::chrono::steady_clock::now();
  for (int side = 0; side < 2; ++side) {
    std::vector<std::string> args = words(sides[side][0]);
    args.insert(args.end(), {"--report-file", pathUtf8(dir.path() / std::to_wstring(side)),
                             "--exec", childCommand(words(sides[side][1]))});
    processes[side] = startProcess(commandLine(besideTests(L"sandbox.exe"), args),
                                   ends[side * 2].get(), ends[3 - side * 2].get(), nul.get());
  }
  // Now only the sandboxes hold the pipes, so one's end is the other's end of input.
  for (UniqueHandle& end : ends) end.reset();
  HANDLE running[2] = {processes[0].get(), processes[1].get()};
  for (DWORD count = 2; count > 0; --count) {
    const DWORD which = WaitForMultipleObjects(count, running, FALSE, 60000) - WAIT_OBJECT_0;
    if (which >= count) break;
    ended[running[which] == processes[0].get() ? 0 : 1].endMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    running[which] = running[count - 1];
  }
  for (int side = 0; side < 2; ++side) {
    TerminateProcess(processes[side].get(), 0xDEAD);
    const std::string text = readFile(dir.path() / std::to_wstring(side));
    capture("report", text);
    EXPECT_TRUE(parseJson(text, ended[side].report)) << "no report from sandbox " << side;
  }
  return ended;
}

// Both accepted; and a solution stopped at its time limit in the middle ends the interactor
// promptly: it reads the end of its input and stops (exit 3) instead of waiting 30 s.
TEST(Interactive, InteractorAndSolutionExchangeLines) {
  const std::string rows[][2][2] = {
      {{"--time 30000", "interact 300"}, {"--time 30000", "answer 1000 exit 0"}},
      {{"--time 30000", "interact 300"}, {"--time 1500", "answer 100 sleep 60000"}},
  };
  const char* statuses[][2] = {{"Accepted", "Accepted"}, {"RuntimeError", "TimeLimitExceeded"}};
  for (int row = 0; row < 2; ++row) {
    SCOPED_TRACE(rows[row][1][1]);
    const std::vector<Ended> ended = runInteractive(rows[row]);
    for (int side = 0; side < 2; ++side) {
      EXPECT_EQ(ended[side].report.get("status").getString(""), statuses[row][side]);
      EXPECT_GE(ended[side].endMs, 0) << "killed after 60 s";
    }
    EXPECT_LT(ended[0].endMs - ended[1].endMs, 2000);
  }
}

}  // namespace
}  // namespace sandbox::test
