// Starting real processes: the command line against real files, and what a child started by
// createSuspendedProcess sees.
#include "isolation/launch_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "common/handle_win.h"
#include "common/path.h"
#include "common/text.h"
#include "support/process.h"

namespace sandbox {
namespace {

using test::TempDir;

std::string show(std::u16string_view text) { return utf16ToUtf8(text); }
std::u16string textOf(const std::filesystem::path& path) { return fromWide(path.wstring()); }
std::u16string quoted(const std::u16string& text) { return u"\"" + text + u"\""; }

double msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// A working directory with a non-ASCII name holding a copy of the test child as prog.exe.
class ChildDir {
 public:
  ChildDir() : dir_(L"l\u00e4unch_\u00fc") {
    program_ = dir_.path() / L"prog.exe";
    if (!CopyFileW(test::childExe().c_str(), program_.c_str(), FALSE)) {
      ADD_FAILURE() << "cannot copy the test child: " << GetLastError();
    }
  }
  const std::filesystem::path& path() const { return dir_.path(); }
  const std::filesystem::path& program() const { return program_; }

 private:
  TempDir dir_;
  std::filesystem::path program_;
};

// The three standard-stream pipes; the child's ends are inheritable, the test's are not.
struct Pipes {
  UniqueHandle inRead, inWrite, outRead, outWrite, errRead, errWrite;
};

Pipes makePipes() {
  Pipes pipes;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  EXPECT_TRUE(CreatePipe(pipes.inRead.put(), pipes.inWrite.put(), &inheritable, 0));
  EXPECT_TRUE(CreatePipe(pipes.outRead.put(), pipes.outWrite.put(), &inheritable, 0));
  EXPECT_TRUE(CreatePipe(pipes.errRead.put(), pipes.errWrite.put(), &inheritable, 0));
  for (HANDLE testsEnd : {pipes.inWrite.get(), pipes.outRead.get(), pipes.errRead.get()}) {
    SetHandleInformation(testsEnd, HANDLE_FLAG_INHERIT, 0);
  }
  return pipes;
}

// A job that kills what is left in it when the test lets go.
UniqueHandle makeJob() {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return job;
}

std::string drain(HANDLE pipe) {
  std::string data;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0)
    data.append(buffer, read);
  return data;
}

LaunchRequest requestFor(const std::string& exec, const std::filesystem::path& dir,
                         const Pipes& pipes) {
  LaunchRequest request;
  request.exec = exec;
  request.workingDirectory = dir;
  request.stdInput = pipes.inRead.get();
  request.stdOutput = pipes.outWrite.get();
  request.stdError = pipes.errWrite.get();
  return request;
}

struct ChildRun {
  bool started = false;
  DWORD exitCode = 0;
  std::string out;
  std::string err;
};

// Starts the request suspended in a job, closes the child's pipe ends here, writes `input` and
// closes standard input, resumes the child and collects its outputs and exit code.
ChildRun runChild(const LaunchRequest& request, Pipes& pipes, const std::string& input = "") {
  ChildRun run;
  LaunchResult launched = createSuspendedProcess(request);
  if (launched.failure != LaunchResult::Failure::None) {
    ADD_FAILURE() << "launch failed with " << launched.errorCode;
    return run;
  }
  const UniqueHandle job = makeJob();
  if (!assignProcessToJob(job.get(), launched.info)) {
    ADD_FAILURE() << "assignment failed";
    return run;
  }
  const UniqueHandle process(launched.info.hProcess);
  const UniqueHandle thread(launched.info.hThread);
  pipes.inRead.reset();
  pipes.outWrite.reset();
  pipes.errWrite.reset();
  std::thread outReader([&] { run.out = drain(pipes.outRead.get()); });
  std::thread errReader([&] { run.err = drain(pipes.errRead.get()); });
  DWORD written = 0;
  if (!input.empty()) {
    WriteFile(pipes.inWrite.get(), input.data(), static_cast<DWORD>(input.size()), &written,
              nullptr);
  }
  pipes.inWrite.reset();
  run.started = ResumeThread(thread.get()) == 1;
  EXPECT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
  GetExitCodeProcess(process.get(), &run.exitCode);
  outReader.join();
  errReader.join();
  return run;
}

TEST(LaunchCommandLine, ResolvesAgainstRealFiles) {
  const ChildDir dir;
  std::filesystem::create_directory(dir.path() / L"sub");
  CopyFileW(dir.program().c_str(), (dir.path() / L"my prog.exe").c_str(), FALSE);
  test::writeFile(dir.path() / L"script", "not a program");
  const std::u16string wd = textOf(dir.path());
  const std::u16string prog = quoted(wd + u"\\prog.exe");
  const std::u16string child = textOf(test::childExe());
  const struct {
    const char* name;
    std::string exec;
    std::u16string commandLine;
  } cases[] = {
      {"single word finds .exe", "prog a", prog + u" a"},
      {"name with .exe", "prog.exe", prog},
      {"missing .exe left to Windows", "other.exe x", u"other.exe x"},
      {"quoted with spaces", "\"my prog\"  a\tb", quoted(wd + u"\\my prog.exe") + u"  a\tb"},
      {"tab separates", "prog\tx", prog + u"\tx"},
      {"unclosed quote", "\"prog", prog},
      {"directory left unchanged", "sub x", u"sub x"},
      {"dot slash", "./prog", prog},
      {"dot dot", "sub/../prog.exe", prog},
      {"file without extension", "script", quoted(wd + u"\\script")},
      {"absolute", show(quoted(child)) + " y", quoted(child) + u" y"},
      {"below a file", "prog.exe\\x", u"prog.exe\\x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(show(buildCommandLine(c.exec, dir.path())), show(c.commandLine));
  }
}

TEST(CreateSuspendedProcess, ChildRunsOnlyAfterResume) {
  const ChildDir dir;
  Pipes pipes = makePipes();
  LaunchResult launched = createSuspendedProcess(requestFor("prog touch made", dir.path(), pipes));
  ASSERT_EQ(launched.failure, LaunchResult::Failure::None) << launched.errorCode;
  const UniqueHandle process(launched.info.hProcess);
  const UniqueHandle thread(launched.info.hThread);
  Sleep(300);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / L"made"));
  EXPECT_EQ(ResumeThread(thread.get()), 1u);  // suspended once, by the creation
  ASSERT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
  EXPECT_TRUE(std::filesystem::exists(dir.path() / L"made"));
}

TEST(CreateSuspendedProcess, AssignedChildIsInTheJob) {
  const ChildDir dir;
  Pipes pipes = makePipes();
  LaunchResult launched = createSuspendedProcess(requestFor("prog exit 5", dir.path(), pipes));
  ASSERT_EQ(launched.failure, LaunchResult::Failure::None) << launched.errorCode;
  const UniqueHandle job = makeJob();
  const UniqueHandle otherJob = makeJob();
  ASSERT_TRUE(assignProcessToJob(job.get(), launched.info));
  const UniqueHandle process(launched.info.hProcess);
  const UniqueHandle thread(launched.info.hThread);
  BOOL inJob = FALSE;
  ASSERT_TRUE(IsProcessInJob(process.get(), job.get(), &inJob));
  EXPECT_TRUE(inJob);
  ASSERT_TRUE(IsProcessInJob(process.get(), otherJob.get(), &inJob));
  EXPECT_FALSE(inJob);
  ResumeThread(thread.get());
  ASSERT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  EXPECT_EQ(code, 5u);
}

TEST(CreateSuspendedProcess, RunsInTheWorkingDirectory) {
  const ChildDir dir;
  Pipes pipes = makePipes();
  const ChildRun run = runChild(requestFor("prog print-cwd", dir.path(), pipes), pipes);
  ASSERT_TRUE(run.started);
  ASSERT_FALSE(run.out.empty());
  ASSERT_EQ(run.out.back(), '\n');
  const std::filesystem::path seen = pathFromUtf8(run.out.substr(0, run.out.size() - 1));
  std::error_code error;
  EXPECT_TRUE(std::filesystem::equivalent(seen, dir.path(), error)) << run.out;
}

std::u16string environmentBlock(const std::vector<std::u16string>& entries) {
  std::u16string block;
  for (const std::u16string& entry : entries) block += entry + u'\0';
  block += u'\0';
  if (entries.empty()) block += u'\0';
  return block;
}

// The child's variables, sorted; under Wine without the ones Wine adds to every process.
std::vector<std::string> variablesSeen(const std::string& printed) {
  std::vector<std::string> variables;
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);) {
    const std::string name = line.substr(0, line.find('='));
    const bool addedByWine =
        name.rfind("WINE", 0) == 0 || name == "SystemDrive" || name == "SystemRoot";
    if (!(test::isWine() && addedByWine)) variables.push_back(line);
  }
  std::sort(variables.begin(), variables.end());
  return variables;
}

TEST(CreateSuspendedProcess, ChildSeesExactlyTheGivenEnvironment) {
  const ChildDir dir;
  const std::vector<std::vector<std::u16string>> blocks = {
      {u"ALPHA=1", u"BETA=\u00e9 \U0001F600", u"Path=C:\\nowhere", u"ZETA="},
      {},
  };
  for (const std::vector<std::u16string>& entries : blocks) {
    SCOPED_TRACE(entries.size());
    const std::u16string block = environmentBlock(entries);
    Pipes pipes = makePipes();
    LaunchRequest request = requestFor("prog print-env", dir.path(), pipes);
    request.environmentBlock = &block;
    const ChildRun run = runChild(request, pipes);
    ASSERT_TRUE(run.started);
    std::vector<std::string> expected;
    for (const std::u16string& entry : entries) expected.push_back(show(entry));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(variablesSeen(run.out), expected) << run.out;
  }
}

TEST(CreateSuspendedProcess, StandardStreamsAreTheGivenPipes) {
  const ChildDir dir;
  Pipes pipes = makePipes();
  const ChildRun run =
      runChild(requestFor("prog echo-stdin print-err \"to err\" exit 9", dir.path(), pipes), pipes,
               "line one\nline \xC3\xA9\n");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.out, "line one\nline \xC3\xA9\n");
  EXPECT_EQ(run.err, "to err");
  EXPECT_EQ(run.exitCode, 9u);
}

// An inheritable handle the child must not get: a uniquely named file. Handle values are reused
// for other objects in the child, so the check is on the object (the file's name), not the value.
TEST(CreateSuspendedProcess, InheritsOnlyItsThreeHandles) {
  const ChildDir dir;
  const std::wstring secretName = L"secret_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                  std::to_wstring(GetTickCount64()) + L".txt";
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const UniqueHandle secret(CreateFileW((dir.path() / secretName).c_str(),
                                        GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(secret.valid());
  const std::string value = std::to_string(reinterpret_cast<std::uintptr_t>(secret.get()));
  const std::string name = test::pathUtf8(secretName);

  Pipes pipes = makePipes();
  const ChildRun run = runChild(requestFor("prog probe-handle " + value, dir.path(), pipes), pipes);
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.out.find(name), std::string::npos) << run.out;

  // Control: given as standard output, the same handle is inherited under the same value, and
  // the probe names the file (it writes into that file).
  Pipes control = makePipes();
  LaunchRequest request = requestFor("prog probe-handle " + value, dir.path(), control);
  request.stdOutput = secret.get();
  const ChildRun controlRun = runChild(request, control);
  ASSERT_TRUE(controlRun.started);
  const std::string probed = test::readFile(dir.path() / secretName);
  EXPECT_EQ(probed.rfind("file:", 0), 0u) << probed;
  EXPECT_NE(probed.find(name), std::string::npos) << probed;
}

TEST(CreateSuspendedProcess, MissingWorkingDirectoryFailsWithoutRetry) {
  const TempDir dir;
  Pipes pipes = makePipes();
  const LaunchRequest request = requestFor(show(quoted(textOf(test::childExe()))) + " exit 0",
                                           dir.path() / L"missing", pipes);
  const auto start = std::chrono::steady_clock::now();
  const LaunchResult launched = createSuspendedProcess(request);
  const double elapsedMs = msSince(start);
  ASSERT_EQ(launched.failure, LaunchResult::Failure::CreateProcess);
  EXPECT_EQ(launched.errorCode, 267u);  // ERROR_DIRECTORY
  EXPECT_LT(elapsedMs, 150.0);
}

// Holds a file open with no sharing, as a scanner or the writer of a fresh program would.
UniqueHandle lockFile(const std::filesystem::path& path) {
  return UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

// What this system reports for starting a program that is locked; 0 when it starts anyway.
DWORD lockedStartError(const ChildDir& dir) {
  const UniqueHandle lock = lockFile(dir.program());
  std::wstring line = L"\"" + dir.program().wstring() + L"\" exit 0";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                     CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
    TerminateProcess(info.hProcess, 0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
  }
  return GetLastError();
}

TEST(CreateSuspendedProcess, RetriesWhileTheProgramIsLocked) {
  const ChildDir dir;
  const DWORD lockedError = lockedStartError(dir);
  if (!isRetryableCreateError(lockedError)) {
    GTEST_SKIP() << "starting a locked program gives error " << lockedError
                 << " here, not a sharing violation or denied access";
  }
  UniqueHandle lock = lockFile(dir.program());
  ASSERT_TRUE(lock.valid());
  std::thread releaser([&] {
    Sleep(100);
    lock.reset();
  });
  Pipes pipes = makePipes();
  const auto start = std::chrono::steady_clock::now();
  LaunchResult launched = createSuspendedProcess(requestFor("prog exit 7", dir.path(), pipes));
  const double elapsedMs = msSince(start);
  releaser.join();
  ASSERT_EQ(launched.failure, LaunchResult::Failure::None) << launched.errorCode;
  const UniqueHandle process(launched.info.hProcess);
  const UniqueHandle thread(launched.info.hThread);
  EXPECT_GE(elapsedMs, 80.0);
  ResumeThread(thread.get());
  ASSERT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  EXPECT_EQ(code, 7u);
}

TEST(CreateSuspendedProcess, GivesUpAfterFifteenAttemptsOnALockedProgram) {
  const ChildDir dir;
  const DWORD lockedError = lockedStartError(dir);
  if (!isRetryableCreateError(lockedError)) {
    GTEST_SKIP() << "starting a locked program gives error " << lockedError
                 << " here, not a sharing violation or denied access";
  }
  const UniqueHandle lock = lockFile(dir.program());
  Pipes pipes = makePipes();
  const auto start = std::chrono::steady_clock::now();
  const LaunchResult launched =
      createSuspendedProcess(requestFor("prog exit 7", dir.path(), pipes));
  const double elapsedMs = msSince(start);
  ASSERT_EQ(launched.failure, LaunchResult::Failure::CreateProcess);
  EXPECT_EQ(launched.errorCode, lockedError);
  EXPECT_GE(elapsedMs, 15 * 20 - 10);  // a pause after each of the 15 attempts
}

TEST(AssignProcessToJob, WithoutAJobTerminatesAndCloses) {
  const ChildDir dir;
  const UniqueHandle notAJob(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (HANDLE job : {static_cast<HANDLE>(nullptr), notAJob.get()}) {
    SCOPED_TRACE(job == nullptr ? "null job" : "assignment refused");
    Pipes pipes = makePipes();
    LaunchResult launched = createSuspendedProcess(requestFor("prog exit 0", dir.path(), pipes));
    ASSERT_EQ(launched.failure, LaunchResult::Failure::None) << launched.errorCode;
    HANDLE watcher = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), launched.info.hProcess, GetCurrentProcess(),
                                &watcher, 0, FALSE, DUPLICATE_SAME_ACCESS));
    const UniqueHandle process(watcher);
    const HANDLE processValue = launched.info.hProcess;
    const HANDLE threadValue = launched.info.hThread;

    EXPECT_FALSE(assignProcessToJob(job, launched.info));
    EXPECT_EQ(launched.info.hProcess, nullptr);
    EXPECT_EQ(launched.info.hThread, nullptr);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(processValue, &flags));
    EXPECT_FALSE(GetHandleInformation(threadValue, &flags));
    ASSERT_EQ(WaitForSingleObject(process.get(), 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 1u);
  }
}

// Whether this system takes the AppContainer attribute on a process attribute list.
bool acceptsAppContainerAttribute(PSID sid) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> buffer(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
  if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
  SECURITY_CAPABILITIES capabilities{};
  capabilities.AppContainerSid = sid;
  const bool accepted =
      UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES, &capabilities,
                                sizeof capabilities, nullptr, nullptr);
  DeleteProcThreadAttributeList(list);
  return accepted;
}

// Where the system refuses the AppContainer attribute (Wine), nothing is started: running the
// command unconfined would pass a failure off as isolation.
TEST(CreateSuspendedProcess, RefusedAppContainerAttributeStartsNothing) {
  SID_IDENTIFIER_AUTHORITY packageAuthority = SECURITY_APP_PACKAGE_AUTHORITY;
  PSID rawSid = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&packageAuthority, 8, 2, 1, 2, 3, 4, 5, 6, 7, &rawSid));
  const std::unique_ptr<void, PVOID(WINAPI*)(PSID)> sid(rawSid, FreeSid);
  if (acceptsAppContainerAttribute(sid.get())) {
    GTEST_SKIP() << "this system accepts the AppContainer attribute, so a refused one cannot be "
                    "shown here";
  }
  const ChildDir dir;
  Pipes pipes = makePipes();
  LaunchRequest request = requestFor("prog print ran", dir.path(), pipes);
  request.appContainerSid = sid.get();
  const LaunchResult result = createSuspendedProcess(request);
  EXPECT_EQ(result.failure, LaunchResult::Failure::AppContainer);
  EXPECT_EQ(result.info.hProcess, nullptr);
}

}  // namespace
}  // namespace sandbox
