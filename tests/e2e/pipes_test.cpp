// The test plays the judging service: it creates the pipes, starts sandbox.exe, sends the
// configuration and reads the report.
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

JsonValue parsed(const std::string& text) {
  JsonValue value;
  EXPECT_TRUE(parseJson(text, value)) << text;
  EXPECT_EQ(text.back(), '}');  // no prefix, no terminator
  return value;
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

struct FramingCase {
  const char* name;
  std::vector<std::string> writes;  // what the service sends, write by write
};

TEST(ControlPipe, ConfigurationInReportOutInEveryFraming) {
  const std::string config = configFor({"exit", "3"}, ", \"mode\": \"compile\"");
  const FramingCase cases[] = {
      {"LengthPrefixed", {frameWithLengthPrefix(config)}},
      {"RawLine", {config + "\n"}},
      {"RawInSeveralWrites", {config.substr(0, 10), config.substr(10) + "\n"}},
      {"ByteOrderMarkAndSpace", {frameWithLengthPrefix("\xEF\xBB\xBF \r\n" + config)}},
  };
  for (const FramingCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring name = uniquePipeName(L"ctl");
    PipeServer server(name);
    ASSERT_TRUE(server.valid());
    auto sandbox = startSandbox({"--pipe", pipeArg(name), "--time", "9000"});
    ASSERT_TRUE(server.accept());
    for (const std::string& write : c.writes) {
      ASSERT_TRUE(server.send(write));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const JsonValue report = parsed(server.receiveAll());
    const ProcessResult result = sandbox.get();
    EXPECT_EQ(report.get("status").getString(""), "CompileError");
    EXPECT_EQ(report.get("exitCode").getInt64(), 3);
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_EQ(result.err, "");  // the report went back on the pipe only
  }
}

TEST(ControlPipe, LargestLengthPrefixedMessageIsReadWhole) {
  std::string config = configFor({"exit", "0"}, ", \"mode\": \"compile\"");
  config.resize(16 * 1024 * 1024, ' ');  // trailing text after the value is ignored
  const std::wstring name = uniquePipeName(L"big");
  PipeServer server(name);
  auto sandbox = startSandbox({"--pipe", pipeArg(name)});
  ASSERT_TRUE(server.accept());
  ASSERT_TRUE(server.send(frameWithLengthPrefix(config)));
  const JsonValue report = parsed(server.receiveAll());
  EXPECT_EQ(report.get("mode").getString(""), "compile");
  EXPECT_EQ(report.get("status").getString(""), "Accepted");
  EXPECT_EQ(sandbox.get().exitCode, 0u);
}

TEST(ControlPipe, InvalidDocumentLeavesOptionsAndStillReportsOnThePipe) {
  const std::wstring name = uniquePipeName(L"bad");
  PipeServer server(name);
  auto sandbox =
      startSandbox({"--pipe", pipeArg(name), "--compile", "--exec", childCommand({"exit", "0"})});
  ASSERT_TRUE(server.accept());
  ASSERT_TRUE(server.send("{\"mode\": run}\n"));
  const JsonValue report = parsed(server.receiveAll());
  EXPECT_EQ(report.get("mode").getString(""), "compile");
  EXPECT_EQ(report.get("status").getString(""), "Accepted");
  EXPECT_EQ(sandbox.get().exitCode, 0u);
}

TEST(ControlPipe, PeerClosingEarlyStillGetsARunFromTheOptions) {
  const std::wstring name = uniquePipeName(L"cut");
  PipeServer server(name);
  auto sandbox = startSandbox({"--pipe", pipeArg(name), "--exec", childCommand({"exit", "0"})});
  ASSERT_TRUE(server.accept());
  ASSERT_TRUE(server.send(std::string("\x10\x00\x00\x00{\"mo", 8)));  // prefix of 16, cut short
  DisconnectNamedPipe(server.handle());
  const ProcessResult result = sandbox.get();
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0u);  // ran with the options
}

TEST(ControlPipe, PipeCreatedLateIsStillConnected) {
  const std::wstring name = uniquePipeName(L"late");
  auto sandbox = startSandbox({"--pipe", pipeArg(name)});
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  PipeServer server(name);
  ASSERT_TRUE(server.accept());
  ASSERT_TRUE(server.send(configFor({"exit", "0"}) + "\n"));
  EXPECT_EQ(parsed(server.receiveAll()).get("status").getString(""), "Accepted");
  EXPECT_EQ(sandbox.get().exitCode, 0u);
}

TEST(ControlPipe, PipeNeverCreatedGivesTheMessageAfterFiveSeconds) {
  const std::string name = pipeArg(uniquePipeName(L"none"));
  const ProcessResult result = runSandbox({"--pipe", name, "--exec", "x"});
  EXPECT_EQ(result.err, "Failed to connect to control pipe: " + name + "\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_GE(result.wallMs, 4900);
  EXPECT_LT(result.wallMs, 9000);
}

TEST(ReportPipe, ControlPipeWinsOverReportPipe) {
  const std::wstring control = uniquePipeName(L"both");
  const std::wstring reports = uniquePipeName(L"rep");
  PipeServer server(control);
  PipeServer reportServer(reports);
  auto sandbox = startSandbox({"--pipe", pipeArg(control), "--report-pipe", pipeArg(reports)});
  ASSERT_TRUE(server.accept());
  ASSERT_TRUE(server.send(frameWithLengthPrefix(configFor({"exit", "0"}))));
  EXPECT_EQ(parsed(server.receiveAll()).get("status").getString(""), "Accepted");
  const ProcessResult result = sandbox.get();
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(reportServer.neverConnected());
}

TEST(ReportPipe, ReportPipeAloneReceivesTheReport) {
  const std::wstring reports = uniquePipeName(L"only");
  PipeServer reportServer(reports);
  auto sandbox =
      startSandbox({"--report-pipe", pipeArg(reports), "--exec", childCommand({"exit", "4"})});
  ASSERT_TRUE(reportServer.accept());
  const JsonValue report = parsed(reportServer.receiveAll());
  EXPECT_EQ(report.get("status").getString(""), "RuntimeError");
  EXPECT_FALSE(reportServer.neverConnected());  // the check used above can tell
  const ProcessResult result = sandbox.get();
  EXPECT_EQ(result.exitCode, 4u);
  EXPECT_EQ(result.err, "");
}

TEST(ReportPipe, MissingReportPipeFallsBackToStandardError) {
  const ProcessResult result = runSandbox(
      {"--report-pipe", pipeArg(uniquePipeName(L"gone")), "--exec", childCommand({"exit", "0"})});
  EXPECT_NE(result.err.find("\"status\": \"Accepted\""), std::string::npos) << result.err;
  EXPECT_EQ(result.exitCode, 0u);
}

TEST(ReportPipe, ReportFileAndControlPipeBothReceiveIt) {
  TempDir dir(L"both");
  const auto reportFile = dir.path() / L"report.json";
  const std::wstring name = uniquePipeName(L"file");
  PipeServer server(name);
  auto sandbox = startSandbox({"--pipe", pipeArg(name), "--report-file", pathUtf8(reportFile)});
  ASSERT_TRUE(server.accept());
  ASSERT_TRUE(server.send(configFor({"exit", "0"}) + "\n"));
  const std::string viaPipe = server.receiveAll();
  const ProcessResult result = sandbox.get();
  EXPECT_EQ(readFile(reportFile), viaPipe);
  EXPECT_EQ(result.err, "");
}

// Isolation that cannot be set up (always under Wine) fails the run before the command starts.
TEST(AppContainer, RunIsConfinedOrNeverStarts) {
  TempDir dir(L"ac");
  const ProcessResult result =
      runSandbox({"--appcontainer", "--cwd", dir.utf8(), "--exec",
                  childCommand({"write-file", "ran.txt", "1", "print", "x", "exit", "0"})});
  if (appContainerSupported()) {
    EXPECT_NE(result.err.find("\"status\": \"Accepted\""), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "x");
    return;
  }
  EXPECT_NE(result.err.find("\"status\": \"InternalError\""), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("\"message\": \"AppContainer isolation was requested but could not "
                            "be set up.\""),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / L"ran.txt")) << "the command ran unconfined";
}

TEST(AppContainer, CommandCannotOpenFilesOutsideItsWorkingDirectory) {
  if (!appContainerSupported()) {
    GTEST_SKIP()
        << "this system has no AppContainer profiles (Wine lacks them): such runs never start";
  }
  TempDir outside(L"outside");
  const auto secret = outside.path() / L"secret.txt";
  writeFile(secret, "secret");
  TempDir work(L"inside");
  writeFile(work.path() / L"mine.txt", "mine");
  const ProcessResult result = runSandbox(
      {"--appcontainer", "--cwd", work.utf8(), "--exec",
       childCommand({"open-file", pathUtf8(secret), "print", "|", "open-file", "mine.txt"})});
  EXPECT_EQ(result.out.substr(0, 7), "denied:") << result.out;
  EXPECT_NE(result.out.find("|opened"), std::string::npos) << result.out;
}

}  // namespace
}  // namespace sandbox::test
