// Starting the command and its job, checked from what Windows and the child see.
#include "isolation/launch_win.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <tuple>

#include "env/environment_win.h"
#include "isolation/job_win.h"
#include "support/process.h"

namespace sandbox {
namespace {

// A copy of the test child as prog.exe in a non-ASCII folder, found only through the working
// directory, started suspended with pipes as its three standard streams (`request` may name
// another standard output). A child a failed test leaves suspended is ended.
struct SuspendedChild {
  test::TempDir dir{L"l\u00e4unch"};
  UniqueHandle out, err;  // the test's ends; standard input is closed, so it ends at once
  LaunchResult launched;

  explicit SuspendedChild(const std::string& exec, const std::u16string* environment = nullptr,
                          HANDLE stdOutput = nullptr) {
    EXPECT_TRUE(CopyFileW(test::childExe().c_str(), (dir.path() / L"prog.exe").c_str(), FALSE));
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    UniqueHandle in, ends[3];
    EXPECT_TRUE(CreatePipe(ends[0].put(), in.put(), &inheritable, 0) &&
                CreatePipe(out.put(), ends[1].put(), &inheritable, 0) &&
                CreatePipe(err.put(), ends[2].put(), &inheritable, 0));
    for (HANDLE own : {in.get(), out.get(), err.get()}) {
      SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
    }
    launched = createSuspendedProcess({.exec = exec,
                                       .environmentBlock = environment,
                                       .workingDirectory = dir.path(),
                                       .stdInput = ends[0].get(),
                                       .stdOutput = stdOutput ? stdOutput : ends[1].get(),
                                       .stdError = ends[2].get()});
    EXPECT_EQ(launched.failure, LaunchResult::Failure::None) << launched.errorCode;
  }
  ~SuspendedChild() {
    TerminateProcess(launched.info.hProcess, 0);
    CloseHandle(launched.info.hProcess);
    CloseHandle(launched.info.hThread);
  }
  void resume() { EXPECT_EQ(ResumeThread(launched.info.hThread), 1u) << "not suspended once"; }
  // Resumes the child and returns its standard output once it has ended with 0.
  std::string output() {
    resume();
    std::string text;
    char buffer[4096];
    for (DWORD got = 0; ReadFile(out.get(), buffer, sizeof buffer, &got, nullptr);) {
      text.append(buffer, got);
    }
    DWORD code = 1;
    EXPECT_EQ(WaitForSingleObject(launched.info.hProcess, 30000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(launched.info.hProcess, &code) && code == 0) << code;
    return text;
  }
};

TEST(CreateSuspendedProcess, ChildRunsOnlyAfterResume) {
  SuspendedChild child("prog write-file made 0");
  Sleep(300);
  EXPECT_FALSE(std::filesystem::exists(child.dir.path() / L"made"));
  child.output();
  EXPECT_TRUE(std::filesystem::exists(child.dir.path() / L"made"));
}

TEST(CreateSuspendedProcess, EmptyEnvironmentBlockGivesAnEmptyEnvironment) {
  SandboxConfig config;
  config.inheritEnv = false;
  const std::u16string block = buildCommandEnvironmentBlock(config);
  EXPECT_EQ(block, std::u16string(2, u'\0'));
  std::istringstream lines(SuspendedChild("prog print-env", &block).output());
  for (std::string line; std::getline(lines, line);) {
    const std::string name = line.substr(0, line.find('='));
    const bool addedByWine =
        name.starts_with("WINE") || name == "SystemDrive" || name == "SystemRoot";
    EXPECT_TRUE(test::isWine() && addedByWine) << line;
  }
}

// A child handed the value of an inheritable handle outside the list (a uniquely named file)
// finds no such file there. Values are reused for other objects, so the probe names the object.
TEST(CreateSuspendedProcess, InheritsOnlyItsThreeHandles) {
  const test::TempDir dir(L"secret");
  const std::wstring name = L"secret_" + std::to_wstring(GetCurrentProcessId()) + L".txt";
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const UniqueHandle secret(CreateFileW((dir.path() / name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(secret.valid());
  const std::string probe =
      "prog probe-handle " + std::to_string(reinterpret_cast<std::uintptr_t>(secret.get()));
  EXPECT_EQ(SuspendedChild(probe).output().find(test::pathUtf8(name)), std::string::npos);
  // Control: as standard output the same handle is inherited, and the probe names the file.
  SuspendedChild(probe, nullptr, secret.get()).output();
  EXPECT_NE(test::readFile(dir.path() / name).find(test::pathUtf8(name)), std::string::npos);
}

TEST(AssignProcessToJob, WithoutAJobTerminatesAndCloses) {
  const UniqueHandle notAJob(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (HANDLE job : {HANDLE{}, notAJob.get()}) {
    SCOPED_TRACE(job == nullptr ? "no job" : "assignment refused");
    SuspendedChild child("prog exit 0");
    PROCESS_INFORMATION& info = child.launched.info;
    const PROCESS_INFORMATION given = info;
    UniqueHandle process;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), info.hProcess, GetCurrentProcess(),
                                process.put(), 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_FALSE(assignProcessToJob(job, info));
    EXPECT_EQ(std::tuple(info.hProcess, info.hThread), std::tuple(HANDLE{}, HANDLE{}));
    DWORD flags = 0, code = 0;
    EXPECT_FALSE(GetHandleInformation(given.hProcess, &flags) ||
                 GetHandleInformation(given.hThread, &flags))
        << "a handle was left open";
    const bool ended = WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0;
    GetExitCodeProcess(process.get(), &code);
    TerminateProcess(process.get(), 0);
    EXPECT_TRUE(ended && code == 1) << "the child was left suspended or ran: " << code;
  }
}

// Running the command unconfined would pass a failure off as isolation.
TEST(CreateSuspendedProcess, RefusedAppContainerAttributeStartsNothing) {
  if (!test::isWine()) GTEST_SKIP() << "only Wine refuses the AppContainer attribute";
  SID_IDENTIFIER_AUTHORITY packageAuthority = SECURITY_APP_PACKAGE_AUTHORITY;
  PSID rawSid = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&packageAuthority, 8, 2, 1, 2, 3, 4, 5, 6, 7, &rawSid));
  const std::unique_ptr<void, PVOID(WINAPI*)(PSID)> sid(rawSid, FreeSid);
  LaunchRequest request;
  request.exec = '"' + test::pathUtf8(test::childExe()) + "\" exit 0";
  request.appContainerSid = sid.get();
  const LaunchResult result = createSuspendedProcess(request);
  TerminateProcess(result.info.hProcess, 0);
  EXPECT_EQ(result.failure, LaunchResult::Failure::AppContainer);
  EXPECT_EQ(result.info.hProcess, nullptr) << "the command was started unconfined";
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
  SuspendedChild child("prog spawn-grandchild sleep 60000");
  auto writersGone = [&] {
    DWORD available = 0;
    return !PeekNamedPipe(child.out.get(), nullptr, 0, nullptr, &available, nullptr) &&
           GetLastError() == ERROR_BROKEN_PIPE;
  };
  JobHandle job = createLimitedJob(0, 0, false);
  ASSERT_TRUE(assignProcessToJob(job.get(), child.launched.info));
  child.resume();
  ASSERT_EQ(WaitForSingleObject(child.launched.info.hProcess, 10000), WAIT_OBJECT_0);
  Sleep(200);
  ASSERT_FALSE(writersGone()) << "no grandchild holds the output";
  job.reset();
  for (int i = 0; i < 100 && !writersGone(); ++i) Sleep(20);
  EXPECT_TRUE(writersGone()) << "the grandchild outlived the job's close";
}

}  // namespace
}  // namespace sandbox
