// The test plays the judging service: it creates the pipes, starts sandbox.exe, sends the
// configuration and reads the report; and it asks for AppContainer isolation.
#include <gtest/gtest.h>

#include <thread>

#include "common/text.h"
#include "config/json.h"
#include "ipc/framing.h"
#include "isolation/appcontainer_win.h"
#include "support/process.h"
#include "support/service.h"

namespace sandbox::test {
namespace {

std::string pipeArg(const std::wstring& name) { return utf16ToUtf8(fromWide(name)); }

std::string statusOf(const std::string& report) {
  JsonValue value;
  EXPECT_TRUE(parseJson(report, value)) << report;
  EXPECT_EQ(report.back(), '}');  // no prefix, no terminator
  return value.get("status").getString("");
}

// A configuration document that runs the test child with these behaviours.
std::string configFor(const std::vector<std::string>& behaviours, const std::string& extra = "") {
  std::string exec;
  for (char c : childCommand(behaviours)) {
    if (c == '\\' || c == '"') exec += '\\';
    exec += c;
  }
  return "{\"exec\": \"" + exec + "\"" + extra + "}";
}

// The report goes back on the control pipe only, not to the report pipe also named; the report
// file gets a copy.
TEST(ControlPipe, ConfigurationInReportOut) {
  const std::string config = configFor({"exit", "3"}, ", \"mode\": \"compile\"");
  struct Row {
    std::vector<std::string> writes;  // what the service sends, write by write
    const char* options;
    const char* status;
    std::uint32_t exitStatus;
  };
  const Row rows[] = {
      {{frameWithLengthPrefix("\xEF\xBB\xBF \r\n" + config)}, "", "CompileError", 3},
      {{config.substr(0, 10), config.substr(10) + "\n"}, "", "CompileError", 3},
      // A document that is not JSON leaves the options as they are.
      {{"{\"mode\": run}\n"}, "--compile --exec @child", "Accepted", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << "row " << (&row - rows));
    const std::wstring name = uniquePipeName(L"ctl");
    const std::wstring reports = uniquePipeName(L"rep");
    PipeServer server(name);
    PipeServer reportServer(reports);
    TempDir dir(L"ctl");
    std::vector<std::string> args = {"--pipe",        pipeArg(name),
                                     "--report-pipe", pipeArg(reports),
                                     "--report-file", pathUtf8(dir.path() / L"r")};
    for (const std::string& word : words(row.options, {{"@child", childCommand({"exit", "0"})}})) {
      args.push_back(word);
    }
    auto sandbox = startSandbox(args);
    ASSERT_TRUE(server.accept());
    for (const std::string& write : row.writes) {
      ASSERT_TRUE(server.send(write));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string report = server.receiveAll();
    EXPECT_EQ(statusOf(report), row.status);
    const ProcessResult result = sandbox.get();
    EXPECT_EQ(result.exitCode, row.exitStatus);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(readFile(dir.path() / L"r"), report);
    EXPECT_TRUE(reportServer.neverConnected());
  }
}

TEST(ControlPipe, PipeNeverCreatedGivesTheMessageAfterFiveSeconds) {
  const std::string name = pipeArg(uniquePipeName(L"none"));
  const ProcessResult result = runSandbox({"--pipe", name, "--exec", "x"});
  EXPECT_EQ(result.err, "Failed to connect to control pipe: " + name + "\n");
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_GE(result.wallMs, 4900);
  EXPECT_LT(result.wallMs, 9000);
}

TEST(ReportPipe, ReportPipeAloneReceivesTheReport) {
  const std::wstring reports = uniquePipeName(L"only");
  PipeServer reportServer(reports);
  auto sandbox =
      startSandbox({"--report-pipe", pipeArg(reports), "--exec", childCommand({"exit", "4"})});
  ASSERT_TRUE(reportServer.accept());
  EXPECT_EQ(statusOf(reportServer.receiveAll()), "RuntimeError");
  EXPECT_FALSE(reportServer.neverConnected());  // the check used above can tell
  const ProcessResult result = sandbox.get();
  EXPECT_EQ(result.exitCode, 4u);
  EXPECT_EQ(result.err, "");
}

// A confined command reaches its working directory but nothing else of the user's; isolation
// that cannot be set up (always under Wine) fails the run before the command starts.
TEST(AppContainer, RunIsConfinedOrNeverStarts) {
  TempDir outside(L"outside");
  writeFile(outside.path() / L"secret.txt", "secret");
  TempDir dir(L"ac");
  const ProcessResult result = runSandbox({"--appcontainer", "--cwd", dir.utf8(), "--exec",
                                           childCommand({"write-file", "ran.txt", "1", "open-file",
                                                         pathUtf8(outside.path() / L"secret.txt"),
                                                         "print", "|", "open-file", "ran.txt"})});
  const JsonValue report = reportOf(result);
  if (appContainerSupported()) {
    EXPECT_EQ(report.get("status").getString(""), "Accepted");
    EXPECT_EQ(result.out.substr(0, 7), "denied:") << result.out;
    EXPECT_NE(result.out.find("|opened"), std::string::npos) << result.out;
    return;
  }
  EXPECT_EQ(report.get("status").getString(""), "InternalError");
  EXPECT_EQ(report.get("message").getString(""),
            "AppContainer isolation was requested but could not be set up.");
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / L"ran.txt")) << "the command ran unconfined";
}

}  // namespace
}  // namespace sandbox::test
