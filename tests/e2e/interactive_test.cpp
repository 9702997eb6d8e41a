// The test plays a judging service running an interactive problem: two sandboxes, the first's
// standard output wired to the second's standard input and back, with input forwarded (neither
// stdin nor stdinFile set).
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "config/json.h"
#include "support/support.h"

namespace sandbox::test {
namespace {

// Rows: each side's options and test child behaviours, then its verdict. Both accepted; and a
// solution stopped at its time limit in the middle ends the interactor promptly: it reads the end
// of its input and stops (exit 3) instead of waiting 30 s.
TEST(Interactive, InteractorAndSolutionExchangeLines) {
  const char* rows[][2][3] = {
      {{"--time 30000", "interact 300", "Accepted"},
       {"--time 30000", "answer 1000 exit 0", "Accepted"}},
      {{"--time 30000", "interact 300", "RuntimeError"},
       {"--time 1500", "answer 100 sleep 60000", "TimeLimitExceeded"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row[1][1]);
    TempDir dir(L"interactive");
    UniqueHandle ends[4];  // read and write end of the pipe into the first, then into the second
    createPipe(ends[0], ends[1]);
    createPipe(ends[2], ends[3]);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    UniqueHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inheritable, OPEN_EXISTING, 0, nullptr));
    UniqueHandle processes[2];
    const auto start = std::chrono::steady_clock::now();
    for (int side = 0; side < 2; ++side) {
      std::vector<std::string> args = words(row[side][0]);
      args.insert(args.end(), {"--report-file", pathUtf8(dir.path() / std::to_wstring(side)),
                               "--exec", childCommand(words(row[side][1]))});
      processes[side] = startProcess(commandLine(besideTests(L"sandbox.exe"), args),
                                     ends[side * 2].get(), ends[3 - side * 2].get(), nul.get());
    }
    // Now only the sandboxes hold the pipes, so one's end is the other's end of input.
    for (UniqueHandle& end : ends) end.reset();
    double endMs[2] = {};  // the solution's first: the interactor's end is then at least its end
    for (const int side : {1, 0}) {
      EXPECT_EQ(WaitForSingleObject(processes[side].get(), 60000), WAIT_OBJECT_0) << "killed";
      TerminateProcess(processes[side].get(), 0xDEAD);
      endMs[side] = (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1);
      const std::string text = readFile(dir.path() / std::to_wstring(side));
      capture("report", text);
      JsonValue report;
      EXPECT_TRUE(parseJson(text, report)) << "no report from sandbox " << side;
      EXPECT_EQ(report.get("status").getString(""), row[side][2]);
    }
    EXPECT_LT(endMs[0] - endMs[1], 2000);
  }
}

}  // namespace
}  // namespace sandbox::test
