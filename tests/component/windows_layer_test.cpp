// The Windows layer against the real system: the command's launch and job, the output pumps and
// the file calls the sandbox relies on, checked from what Windows, the pipes and the child see.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>
#include <tuple>
#include <utility>

#include "common/io_win.h"
#include "common/text.h"
#include "isolation/job_win.h"
#include "isolation/launch_win.h"
#include "isolation/winpath.h"
#include "streams/pipes_win.h"
#include "support/process.h"
#include "workdir/prepare.h"

namespace sandbox {
namespace {

// A copy of the test child as prog.exe in a non-ASCII folder, found only through the working
// directory, started suspended with pipes as its three standard streams (input at its end;
// `stdError` replaces the error pipe). A child a failed test leaves suspended is ended.
struct SuspendedChild {
  test::TempDir dir{L"l\u00e4unch"};
  UniqueHandle out, err;  // the test's ends
  LaunchResult launched;

  explicit SuspendedChild(const std::string& exec, const std::u16string* environment = nullptr,
                          HANDLE stdError = nullptr, PSID appContainer = nullptr) {
    EXPECT_TRUE(CopyFileW(test::childExe().c_str(), (dir.path() / L"prog.exe").c_str(), FALSE));
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    UniqueHandle in, ends[3];
    EXPECT_TRUE(CreatePipe(ends[0].put(), in.put(), &inheritable, 0) &&
                CreatePipe(out.put(), ends[1].put(), &inheritable, 0) &&
                CreatePipe(err.put(), ends[2].put(), &inheritable, 0));
    launched = createSuspendedProcess({exec, environment, dir.path(), ends[0].get(), ends[1].get(),
                                       stdError ? stdError : ends[2].get(), appContainer});
  }
  ~SuspendedChild() {
    TerminateProcess(launched.info.hProcess, 0);
    CloseHandle(launched.info.hProcess);
    CloseHandle(launched.info.hThread);
  }
  // Resumes the child, suspended once by its creation, and returns its output; it must exit with 0.
  std::string output() {
    EXPECT_EQ(launched.failure, LaunchResult::Failure::None) << launched.errorCode;
    EXPECT_EQ(ResumeThread(launched.info.hThread), 1u);
    std::string text;
    char buffer[4096];
    for (DWORD got = 0; ReadFile(out.get(), buffer, sizeof buffer, &got, nullptr);) {
      text.append(buffer, got);
    }
    DWORD code = 1;
    WaitForSingleObject(launched.info.hProcess, 30000);
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
  const std::u16string block(2, u'\0');
  std::istringstream lines(SuspendedChild("prog print-env", &block).output());
  for (std::string line; std::getline(lines, line);) {
    const std::string name = line.substr(0, line.find('='));
    const bool addedByWine =
        name.starts_with("WINE") || name == "SystemDrive" || name == "SystemRoot";
    EXPECT_TRUE(test::isWine() && addedByWine) << line;
  }
}

// A child handed the value of an inheritable handle outside the list (the test child's program
// file; the copy runs as prog.exe) sees no such file. Values are reused, so the probe names it.
TEST(CreateSuspendedProcess, InheritsOnlyItsThreeHandles) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const UniqueHandle secret(CreateFileW(test::childExe().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        &inheritable, OPEN_EXISTING, 0, nullptr));
  const std::string probe = "prog probe-handle " + std::to_string(HandleToULong(secret.get()));
  EXPECT_EQ(SuspendedChild(probe).output().find("test_child"), std::string::npos);
  // Control: as standard error the same handle is inherited, and the probe names the file.
  EXPECT_NE(SuspendedChild(probe, nullptr, secret.get()).output().find("test_child"),
            std::string::npos);
}

TEST(AssignProcessToJob, WithoutAJobTerminatesAndCloses) {
  const UniqueHandle notAJob(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (HANDLE job : {HANDLE{}, notAJob.get()}) {
    SCOPED_TRACE(job == nullptr ? "no job" : "assignment refused");
    SuspendedChild child("prog exit 0");
    PROCESS_INFORMATION& info = child.launched.info;
    const PROCESS_INFORMATION given = info;
    const UniqueHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, info.dwProcessId));
    EXPECT_FALSE(assignProcessToJob(job, info));
    EXPECT_TRUE(info.hProcess == nullptr && info.hThread == nullptr);
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
  SID package{SID_REVISION, 1, SECURITY_APP_PACKAGE_AUTHORITY, {SECURITY_APP_PACKAGE_BASE_RID}};
  const SuspendedChild child("prog exit 0", nullptr, nullptr, &package);
  EXPECT_EQ(child.launched.failure, LaunchResult::Failure::AppContainer);
  EXPECT_EQ(child.launched.info.hProcess, nullptr) << "the command was started unconfined";
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
  const JOBOBJECT_BASIC_LIMIT_INFORMATION& basic = info.BasicLimitInformation;
  if (basic.LimitFlags == 0 && test::isWine()) GTEST_SKIP() << "Wine reads the limits as zeros";
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
    return !PeekNamedPipe(child.out.get(), nullptr, 0, nullptr, nullptr, nullptr) &&
           GetLastError() == ERROR_BROKEN_PIPE;
  };
  JobHandle job = createLimitedJob(0, 0, false);
  ASSERT_TRUE(assignProcessToJob(job.get(), child.launched.info));
  ResumeThread(child.launched.info.hThread);
  ASSERT_EQ(WaitForSingleObject(child.launched.info.hProcess, 10000), WAIT_OBJECT_0);
  ASSERT_FALSE(writersGone()) << "no grandchild holds the output";
  job.reset();
  for (int i = 0; i < 100 && !writersGone(); ++i) Sleep(20);
  EXPECT_TRUE(writersGone()) << "the grandchild outlived the job's close";
}

// A started pump with a file copy, echoing onto a pipe of its own when `echo` is set. With
// `bytes`, a writer thread (the command) sends that many bytes and closes its end; without, the
// end stays open, as a process outside the job would hold it.
struct PumpRun {
  test::TempDir dir{L"pump"};
  UniqueHandle echoRead, echoWrite;
  OutputPump pump;
  std::string sent;
  std::thread writer;

  PumpRun(bool echo, std::size_t bytes) : sent(test::pattern(bytes)) {
    EXPECT_TRUE(pump.createPipe() && pump.openFile(fromWide((dir.path() / L"copy").wstring())));
    EXPECT_TRUE(!echo || CreatePipe(echoRead.put(), echoWrite.put(), nullptr, 0));
    pump.state->echoHandle = echoWrite.get();
    pump.state->limitBytes = bytes + 100;
    pump.start(nullptr);
    if (bytes == 0) return;
    writer = std::thread([this, end = UniqueHandle(std::exchange(pump.writeEnd, nullptr))] {
      writeAll(end.get(), sent);
    });
  }
  ~PumpRun() {
    pump.reset();  // closes the read end, so a writer still blocked fails and ends
    if (writer.joinable()) writer.join();
  }
  std::string copy() const { return test::readFile(dir.path() / L"copy"); }
  double finishMs() {
    const auto start = std::chrono::steady_clock::now();
    pump.finish();
    return (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1);
  }
};

TEST(OutputPumpFinish, ReadHeldOpenOutsideTheJobIsCancelledAfterTheGrace) {
  PumpRun run(false, 0);
  ASSERT_TRUE(writeAll(run.pump.writeEnd, std::string("early")));
  EXPECT_LT(run.finishMs(), 1000);
  EXPECT_EQ(run.copy(), "early");
}

TEST(OutputPumpFinish, EchoNobodyReadsIsGivenUpAfterAboutASecond) {
  PumpRun run(true, 256 * 1024);  // its echo is never read
  const double ms = run.finishMs();
  EXPECT_TRUE(ms >= 500 && ms < 3000) << ms << " ms: given up too early for a slow reader or late";
  const std::uint64_t read = run.pump.state->totalBytes.load();
  EXPECT_GE(read, 8192u);
  EXPECT_EQ(run.copy(), run.sent.substr(0, read)) << "the file copy lost bytes";
}

TEST(OutputPumpFinish, SlowButLiveEchoReaderLosesNothing) {
  PumpRun run(true, 48 * 1024);
  std::string echoed;
  std::thread reader([&] {
    char buffer[1024];
    for (DWORD read = 0; ReadFile(run.echoRead.get(), buffer, sizeof buffer, &read, nullptr);) {
      echoed.append(buffer, read);
      Sleep(15);
    }
  });
  run.pump.finish();
  run.echoWrite.reset();  // the reader sees the end once the echo is complete
  reader.join();
  EXPECT_TRUE(echoed == run.sent) << "echoed " << echoed.size() << " of " << run.sent.size();
}

// The portable path rules agree with std::filesystem where Windows paths differ from POSIX ones.
TEST(WinPathMatchesFilesystem, JoinNormalFormAndExtension) {
  for (const char16_t* right : {u"..\\x.", u"D:x", u"/a/.profile"}) {
    const std::u16string left = u"C:\\w\u00f6rk", joined = winpath::join(left, right);
    const std::filesystem::path expected = toWide(left) / std::filesystem::path(toWide(right));
    SCOPED_TRACE(utf16ToUtf8(joined));
    EXPECT_EQ(joined, fromWide(expected.wstring()));
    EXPECT_EQ(winpath::lexicallyNormal(joined), fromWide(expected.lexically_normal().wstring()));
    EXPECT_EQ(winpath::hasExtension(joined), expected.has_extension());
  }
}

// MinGW's std::filesystem::copy_file cannot replace an existing file.
TEST(CopyFileReplacing, ReplacesAnExistingFileAndFailsWithoutASource) {
  const test::TempDir dir(L"c\u00f6py");
  test::writeFile(dir.path() / L"from.txt", "new");
  test::writeFile(dir.path() / L"to.txt", "older and longer");
  EXPECT_TRUE(copyFileReplacing(dir.path() / L"from.txt", dir.path() / L"to.txt"));
  EXPECT_FALSE(copyFileReplacing(dir.path() / L"absent.txt", dir.path() / L"to.txt"));
  EXPECT_EQ(test::readFile(dir.path() / L"to.txt"), "new");
}

}  // namespace
}  // namespace sandbox
