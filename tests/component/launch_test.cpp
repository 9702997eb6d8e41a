// Starting the command and its job, checked from what Windows and the child see.
#include "isolation/launch_win.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <sstream>
#include <thread>
#include <tuple>

#include "env/environment_win.h"
#include "isolation/job_win.h"
#include "support/process.h"

namespace sandbox {
namespace {

// A non-ASCII working directory with a copy of the test child as prog.exe, and the child's three
// standard streams as pipes (inheritable child's ends: input, output, error).
struct Child {
  test::TempDir dir{L"l\u00e4unch"};
  UniqueHandle ends[3], own[3];
  Child() {
    EXPECT_TRUE(CopyFileW(test::childExe().c_str(), (dir.path() / L"prog.exe").c_str(), FALSE));
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    EXPECT_TRUE(CreatePipe(ends[0].put(), own[0].put(), &inheritable, 0));
    for (int i : {1, 2}) EXPECT_TRUE(CreatePipe(own[i].put(), ends[i].put(), &inheritable, 0));
    for (const UniqueHandle& end : own) SetHandleInformation(end.get(), HANDLE_FLAG_INHERIT, 0);
  }
  // "prog ..." is found only through the working directory.
  LaunchRequest request(const std::string& exec) const {
    return {.exec = exec,
            .workingDirectory = dir.path(),
            .stdInput = ends[0].get(),
            .stdOutput = ends[1].get(),
            .stdError = ends[2].get()};
  }
  LaunchResult start(const LaunchRequest& request) {
    LaunchResult launched = createSuspendedProcess(request);
    EXPECT_EQ(launched.failure, LaunchResult::Failure::None) << launched.errorCode;
    for (UniqueHandle& end : ends) end.reset();
    own[0].reset();
    return launched;
  }
  // Runs the request to its end and returns its standard output.
  std::string output(const LaunchRequest& request) {
    const LaunchResult launched = start(request);
    const UniqueHandle process(launched.info.hProcess), thread(launched.info.hThread);
    EXPECT_EQ(ResumeThread(thread.get()), 1u);
    std::string out;
    char buffer[4096];
    for (DWORD got = 0; ReadFile(own[1].get(), buffer, sizeof buffer, &got, nullptr);) {
      out.append(buffer, got);
    }
    EXPECT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
    return out;
  }
};

TEST(CreateSuspendedProcess, ChildRunsOnlyAfterResume) {
  Child child;
  const LaunchResult launched = child.start(child.request("prog write-file made 0"));
  const UniqueHandle process(launched.info.hProcess), thread(launched.info.hThread);
  Sleep(300);
  EXPECT_FALSE(std::filesystem::exists(child.dir.path() / L"made"));
  EXPECT_EQ(ResumeThread(thread.get()), 1u);  // suspended once, by the creation
  ASSERT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
  EXPECT_TRUE(std::filesystem::exists(child.dir.path() / L"made"));
}

// Two zero units: Windows reads a block up to its double terminator.
TEST(CreateSuspendedProcess, EmptyEnvironmentBlockGivesAnEmptyEnvironment) {
  SandboxConfig config;
  config.inheritEnv = false;
  const std::u16string block = buildCommandEnvironmentBlock(config);
  EXPECT_EQ(block, std::u16string(2, u'\0'));
  Child child;
  LaunchRequest request = child.request("prog print-env");
  request.environmentBlock = &block;
  std::istringstream lines(child.output(request));
  for (std::string line; std::getline(lines, line);) {
    const std::string name = line.substr(0, line.find('='));
    const bool addedByWine =
        name.rfind("WINE", 0) == 0 || name == "SystemDrive" || name == "SystemRoot";
    EXPECT_TRUE(test::isWine() && addedByWine) << line;
  }
}

// The child handed the value of an inheritable handle outside the list (a uniquely named file)
// finds no such file there. Values are reused for other objects, so the probe names the object.
TEST(CreateSuspendedProcess, InheritsOnlyItsThreeHandles) {
  Child child, control;
  const std::wstring name = L"secret_" + std::to_wstring(GetCurrentProcessId()) + L".txt";
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const UniqueHandle secret(CreateFileW((child.dir.path() / name).c_str(),
                                        GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(secret.valid());
  const std::string probe =
      "prog probe-handle " + std::to_string(reinterpret_cast<std::uintptr_t>(secret.get()));
  EXPECT_EQ(child.output(child.request(probe)).find(test::pathUtf8(name)), std::string::npos);
  // Control: as standard output the same handle is inherited, and the probe names the file.
  LaunchRequest request = control.request(probe);
  request.stdOutput = secret.get();
  control.output(request);
  EXPECT_NE(test::readFile(child.dir.path() / name).find(test::pathUtf8(name)), std::string::npos);
}

// A program still held open (just written, being scanned) is started once the holder lets go.
TEST(CreateSuspendedProcess, RetriesWhileTheProgramIsLocked) {
  Child child;
  UniqueHandle held(CreateFileW((child.dir.path() / L"prog.exe").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held.valid());
  std::thread holder([&] {
    Sleep(150);
    held.reset();
  });
  const auto start = std::chrono::steady_clock::now();
  const LaunchResult launched = child.start(child.request("prog exit 0"));
  const auto took = std::chrono::steady_clock::now() - start;
  holder.join();
  const UniqueHandle process(launched.info.hProcess), thread(launched.info.hThread);
  TerminateProcess(process.get(), 0);
  if (launched.failure == LaunchResult::Failure::None && took < std::chrono::milliseconds(100)) {
    GTEST_SKIP() << "this system starts a program that is held open";
  }
}

TEST(AssignProcessToJob, WithoutAJobTerminatesAndCloses) {
  const UniqueHandle notAJob(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (HANDLE job : {static_cast<HANDLE>(nullptr), notAJob.get()}) {
    SCOPED_TRACE(job == nullptr ? "no job" : "assignment refused");
    Child child;
    LaunchResult launched = child.start(child.request("prog exit 0"));
    UniqueHandle process;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), launched.info.hProcess, GetCurrentProcess(),
                                process.put(), 0, FALSE, DUPLICATE_SAME_ACCESS));
    const PROCESS_INFORMATION given = launched.info;
    EXPECT_FALSE(assignProcessToJob(job, launched.info));
    EXPECT_EQ(std::tuple(launched.info.hProcess, launched.info.hThread),
              std::tuple(HANDLE{}, HANDLE{}));
    DWORD flags = 0, code = 0;
    EXPECT_FALSE(GetHandleInformation(given.hProcess, &flags) ||
                 GetHandleInformation(given.hThread, &flags))
        << "a handle was left open";
    const bool ended = WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process.get(), 0);
    EXPECT_TRUE(ended && GetExitCodeProcess(process.get(), &code) && code == 1)
        << "the child was left suspended or ran: " << code;
  }
}

// Running the command unconfined would pass a failure off as isolation.
TEST(CreateSuspendedProcess, RefusedAppContainerAttributeStartsNothing) {
  if (!test::isWine()) GTEST_SKIP() << "only Wine refuses the AppContainer attribute";
  SID_IDENTIFIER_AUTHORITY packageAuthority = SECURITY_APP_PACKAGE_AUTHORITY;
  PSID rawSid = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&packageAuthority, 8, 2, 1, 2, 3, 4, 5, 6, 7, &rawSid));
  const std::unique_ptr<void, PVOID(WINAPI*)(PSID)> sid(rawSid, FreeSid);
  Child child;
  LaunchRequest request = child.request("prog exit 0");
  request.appContainerSid = sid.get();
  const LaunchResult result = createSuspendedProcess(request);
  const UniqueHandle process(result.info.hProcess), thread(result.info.hThread);
  if (process) TerminateProcess(process.get(), 0);
  EXPECT_EQ(result.failure, LaunchResult::Failure::AppContainer);
  EXPECT_FALSE(process.valid()) << "the command was started unconfined";
}

// Every limit on, so that a limit lost on its way to Windows shows.
TEST(JobLimits, ReadBackFromWindowsAreTheConfigurationsLimits) {
  SandboxConfig config;
  config.memoryLimitMb = 64;
  config.coreAffinity = 1;
  const JobHandle job = createJobFor(config);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  ASSERT_TRUE(QueryInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &info,
                                        sizeof info, nullptr));
  if (info.BasicLimitInformation.LimitFlags == 0 && test::isWine()) {
    GTEST_SKIP() << "Wine reads a job's extended limits back as zeros";
  }
  const JOBOBJECT_BASIC_LIMIT_INFORMATION& basic = info.BasicLimitInformation;
  const JobLimits set = jobLimitsFor(config);
  EXPECT_EQ(std::tuple(basic.LimitFlags, info.ProcessMemoryLimit, info.JobMemoryLimit,
                       basic.Affinity, basic.ActiveProcessLimit),
            std::tuple(set.limitFlags, set.processMemoryLimit, set.jobMemoryLimit, set.affinity,
                       set.activeProcessLimit));
  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{};
  EXPECT_TRUE(
      QueryInformationJobObject(job.get(), JobObjectBasicUIRestrictions, &ui, sizeof ui, nullptr));
  EXPECT_EQ(ui.UIRestrictionsClass, set.uiRestrictionsClass);
}

// The grandchild outlives the child and holds its standard output; only the job's close ends it.
TEST(JobClose, KillsAGrandchildTheChildLeftBehind) {
  auto writersGone = [](HANDLE read) {
    DWORD available = 0;
    return !PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr) &&
           GetLastError() == ERROR_BROKEN_PIPE;
  };
  Child child;
  JobHandle job = createLimitedJob(0, 0, false);
  LaunchResult launched = child.start(child.request("prog spawn-grandchild sleep 60000"));
  ASSERT_TRUE(assignProcessToJob(job.get(), launched.info));
  const UniqueHandle process(launched.info.hProcess), thread(launched.info.hThread);
  ResumeThread(thread.get());
  ASSERT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
  Sleep(200);
  ASSERT_FALSE(writersGone(child.own[1].get())) << "no grandchild holds the output";
  job.reset();
  for (int i = 0; i < 100 && !writersGone(child.own[1].get()); ++i) Sleep(20);
  EXPECT_TRUE(writersGone(child.own[1].get())) << "the grandchild outlived the job's close";
}

}  // namespace
}  // namespace sandbox
