// The test plays the judging service: it creates the pipes, starts sandbox.exe, sends the
// configuration and reads the report; and it asks for AppContainer isolation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

#include "common/win.h"
#include "config/json.h"
#include "ipc/framing.h"
#include "isolation/appcontainer.h"
#include "isolation/appcontainer_win.h"
#include "support/support.h"

namespace sandbox::test {
namespace {

// The service's end of a named pipe: one duplex, byte-mode instance waiting for the sandbox.
struct PipeServer {
  std::wstring name = uniqueName(L"pipe");
  std::wstring path = toWide(pipePath(fromWide(name)));
  UniqueHandle pipe{CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536,
                                     65536, 0, nullptr)};

  bool accept() {
    return ConnectNamedPipe(pipe.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
  }
  // A whole length-prefixed message is a configuration document, captured.
  bool send(const std::string& bytes) {
    std::uint32_t length = 0;
    if (bytes.size() > 4) std::memcpy(&length, bytes.data(), 4);
    if (length != 0 && length == bytes.size() - 4) capture("config", bytes.substr(4));
    return writeAll(pipe.get(), bytes);
  }
  // Reads until the sandbox closes its end: the report, captured.
  std::string receiveAll() {
    const std::string data = readAll(pipe.get());
    if (!data.empty()) capture("report", data);
    return data;
  }
  // A client of our own can still connect only when the sandbox never did (a used single
  // instance stays busy until the server disconnects it).
  bool neverConnected() const {
    return UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr))
        .valid();
  }
};

// The report goes back on the control pipe only, not to the report pipe also named; without a
// control pipe, to the report pipe. The report file gets a copy, and a service that reads only
// once the sandbox has exited the report.
TEST(ControlPipe, ConfigurationInReportOut) {
  std::string exec;  // a configuration document that runs the test child with "exit 3"
  for (char c : childCommand({"exit", "3"})) {
    if (c == '\\' || c == '"') exec += '\\';
    exec += c;
  }
  const std::string config = "{\"exec\": \"" + exec + "\", \"mode\": \"compile\"}";
  const std::map<std::string, std::string> children = {{"@exit0", childCommand({"exit", "0"})},
                                                       {"@exit4", childCommand({"exit", "4"})}};
  const struct {
    std::vector<std::string> writes;  // what the service sends, write by write; none: no --pipe
    const char* options;
    const char* mode;
    const char* status;
    std::uint32_t exitStatus;
    bool readAfterExit = false;
  } rows[] = {
      {{frameWithLengthPrefix("\xEF\xBB\xBF \r\n" + config)}, "", "compile", "CompileError", 3},
      {{frameWithLengthPrefix(config)}, "", "compile", "CompileError", 3, true},
      {{config.substr(0, 10), config.substr(10) + "\n"}, "", "compile", "CompileError", 3},
      // A document that is not JSON leaves the options as they are, even what it named before
      // its fault.
      {{"{\"mode\": \"run\", \"exec\": \"none.exe\" \"x\": 1}\n"},
       "--compile --exec @exit0",
       "compile",
       "Accepted",
       0},
      {{}, "--exec @exit4", "run", "RuntimeError", 4},
      {{"{\"strict\": true}\n"}, "--bogus --exec @exit0", "run", "InternalError", 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "row " << (&row - rows));
    PipeServer control, reports;
    TempDir dir(L"ctl");
    std::vector<std::string> args = {"--report-pipe", pathUtf8(reports.name), "--report-file",
                                     pathUtf8(dir.path() / L"r")};
    if (!row.writes.empty()) args.insert(args.end(), {"--pipe", pathUtf8(control.name)});
    for (const std::string& word : words(row.options, children)) args.push_back(word);
    auto sandbox = startSandbox(args, RunOptions{.timeoutMs = 15000});
    PipeServer& receiver = row.writes.empty() ? reports : control;
    ASSERT_TRUE(receiver.accept());
    for (const std::string& write : row.writes) {
      ASSERT_TRUE(control.send(write));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (row.readAfterExit) sandbox.wait();
    const std::string report = receiver.receiveAll();
    JsonValue value;
    EXPECT_TRUE(parseJson(report, value) && report.back() == '}') << "prefixed or terminated";
    EXPECT_EQ(value.get("mode").getString("") + " " + value.get("status").getString(""),
              std::string(row.mode) + " " + row.status);
    const ProcessResult result = sandbox.get();
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, row.exitStatus);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(readFile(dir.path() / L"r"), report);
    EXPECT_EQ(reports.neverConnected(), !row.writes.empty());
  }
}

// The report file still gets a report: the message's text, as an "InternalError".
TEST(ControlPipe, PipeNeverCreatedGivesTheMessageAfterFiveSeconds) {
  const std::string name = pathUtf8(uniqueName(L"none"));
  TempDir dir(L"none");
  const ProcessResult result =
      runSandbox({"--pipe", name, "--exec", "x", "--report-file", pathUtf8(dir.path() / L"r")});
  EXPECT_EQ(result.err, "Failed to connect to control pipe: " + name + "\n");
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_GE(result.wallMs, 4900);
  EXPECT_LT(result.wallMs, 9000);
  JsonValue report;
  EXPECT_TRUE(parseJson(readFile(dir.path() / L"r"), report));
  EXPECT_EQ(report.get("status").getString("") + ": " + report.get("message").getString(""),
            "InternalError: " + result.err.substr(0, result.err.size() - 1));
}

// A zero length prefix starts a raw text that never ends: 10 s after the connection it is
// unreadable, the lenient run goes on, strict mode refuses. Both wait side by side.
TEST(ControlPipe, MessageNotCompleteWithinTenSecondsIsUnreadable) {
  PipeServer servers[2];
  std::future<ProcessResult> runs[2];
  for (const int strict : {0, 1}) {
    runs[strict] = startSandbox(
        withChild({"--pipe", pathUtf8(servers[strict].name), strict ? "--strict" : "--run"},
                  {"print", "ran"}));
    ASSERT_TRUE(servers[strict].accept() && servers[strict].send(std::string(4, '\0')));
  }
  for (const std::string expected : {"Execution completed successfully within limits.|ran|0",
                                     "Configuration is not a valid JSON object: control pipe||1"}) {
    const int strict = expected.ends_with('1');
    JsonValue report;
    parseJson(servers[strict].receiveAll(), report);
    const ProcessResult result = runs[strict].get();
    EXPECT_EQ(report.get("message").getString("") + "|" + result.out + "|" +
                  std::to_string(result.exitCode),
              expected);
    EXPECT_TRUE(result.wallMs >= 10000 && result.wallMs < 14000) << result.wallMs;
  }
}

// Rows: options ("!": not confined), behaviours of the test child copied into the one working
// directory => status, exit code, generated files | output; the first run deletes the profile a
// killed sandbox left. Isolation that cannot be set up (always under Wine) never starts the
// command. sandbox-check's appcontainer row shows the rest of the confinement, and that the
// directory's security is restored.
TEST(AppContainer, RunIsConfinedOrNeverStarts) {
  TempDir dir(L"ac"), outside(L"outside");
  if (!appContainerSupported()) {
    const ProcessResult result = runSandbox({"--appcontainer", "--cwd", dir.utf8(), "--exec",
                                             childCommand({"write-file", "ran.txt", "1"})});
    EXPECT_EQ(reportOf(result).get("message").getString("") + std::to_string(result.exitCode) +
                  result.out,
              "AppContainer isolation was requested but could not be set up. "
              "(CreateAppContainerProfile not available on this system)1");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / L"ran.txt")) << "the command ran unconfined";
    const ProcessResult grant = runSandbox({"--grant-toolchain", dir.utf8()});
    EXPECT_EQ(grant.err + std::to_string(grant.exitCode),
              "Cannot grant the toolchain capability on " + dir.utf8() +
                  ": the capability cannot be derived on this system "
                  "(DeriveCapabilitySidsFromName not available on this system)\n1");
    GTEST_SKIP() << "no AppContainer on this system (Wine has none): only its refusal is tested";
  }
  writeFile(outside.path() / L"secret.txt", "secret");
  writeFile(dir.path() / L"test_child.exe", readFile(besideTests(L"test_child.exe")));
  AppContainerProfile stale;  // named after a process id that no process has
  ASSERT_TRUE(stale.createProfile(appContainerProfileName(0xFFFFFFFC, 1), u"stale"));
  const std::u16string folder = appContainerFolder(stale.sid());
  ASSERT_EQ(listSandboxProfiles(folder, stale.profileName()).size(), 1u) << "not where it looks";
  const std::map<std::string, std::string> values = {
      {"@secret", pathUtf8(outside.path() / L"secret.txt")},
      {"@outside", pathUtf8(outside.path() / L"new.txt")}};
  const char* const rows[][3] = {
      {"", "open-file @secret print | write-file @outside 1", "RuntimeError 4 |denied:5|"},
      {"!", "open-file @secret", "Accepted 0 |opened"},
      {"",
       R"(write-file %LOCALAPPDATA%\l.txt 1 open-file %APPDATA%\l.txt open-file)"
       R"( %USERPROFILE%\l.txt open-file %HOMEDRIVE%%HOMEPATH%\l.txt)",
       "Accepted 0 |openedopenedopened"}};
  for (const auto& row : rows) {
    std::vector<std::string> args = words(row[0], values);
    if (std::erase(args, "!") == 0) args.push_back("--appcontainer");
    const std::wstring child = commandLine(dir.path() / L"test_child.exe", words(row[1], values));
    args.insert(args.end(), {"--cwd", dir.utf8(), "--exec", pathUtf8(child)});
    const ProcessResult result = runSandbox(args);
    const JsonValue report = reportOf(result);
    std::string seen = report.get("status").getString("") + " " +
                       std::to_string(report.get("exitCode").getInt64()) + " ";
    for (const JsonValue& name : report.get("generatedFiles").arrayValue) seen += name.stringValue;
    EXPECT_EQ(seen + "|" + result.out, row[2]) << row[1] << "\n" << result.err;
  }
  EXPECT_EQ(listSandboxProfiles(folder, stale.profileName()).size(), 0u) << "a profile was left";
  // A toolchain folder granted (twice: one entry) runs confined; revoked, it is as it was and
  // refuses the container again.
  TempDir tool(L"tool");
  writeFile(tool.path() / L"cc.exe", readFile(besideTests(L"test_child.exe")));
  const std::string toolBefore = securityInSddl(tool.path().wstring());
  // Whether a confined run can start the tool and read its files (Windows may refuse the start).
  const auto compile = [&] {
    const std::filesystem::path cc = tool.path() / L"cc.exe";
    const ProcessResult result =
        runSandbox({"--appcontainer", "--cwd", dir.utf8(), "--exec",
                    pathUtf8(commandLine(cc, {"open-file", pathUtf8(cc)}))});
    return result.out == "opened" ? "reads" : "refused";
  };
  std::string seen;
  for (const char* command : {"--grant-toolchain", "--grant-toolchain", "--revoke-toolchain"}) {
    const ProcessResult result = runSandbox({command, tool.utf8()});
    seen += std::to_string(result.exitCode) +
            (result.out.ends_with(": nothing changed.\n") ? "same" : result.out.substr(0, 7)) +
            " " + compile() + "|";
  }
  EXPECT_EQ(seen, "0Granted reads|0same reads|0Removed refused|");
  EXPECT_EQ(securityInSddl(tool.path().wstring()), toolBefore);
}

}  // namespace
}  // namespace sandbox::test
